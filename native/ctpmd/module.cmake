# _ctpmd: the vendor's market-data library (thostmduserapi_se.so) on the same
# bridge as _ctp. Included by the top-level CMakeLists.txt after _ctp: with the
# vendor's SDK when its directory also holds the market-data library and
# header, else with the stand-in's.
set(CTPMD_BUILD ON)
if(CTP_STANDIN)
    set(ctpmd_library thostmduserapi_se)
elseif(EXISTS "${CTP_SDK_DIR}/thostmduserapi_se.so" AND EXISTS "${CTP_SDK_DIR}/ThostFtdcMdApi.h")
    # Linked by its exact name, as the trader library is.
    add_library(thostmduserapi_se_vendor INTERFACE)
    target_include_directories(thostmduserapi_se_vendor INTERFACE "${CTP_SDK_DIR}")
    target_link_directories(thostmduserapi_se_vendor INTERFACE "${CTP_SDK_DIR}")
    target_link_libraries(thostmduserapi_se_vendor INTERFACE "-l:thostmduserapi_se.so")
    set(ctpmd_library thostmduserapi_se_vendor)
else()
    message(STATUS "_ctpmd: not built (${CTP_SDK_DIR} holds no thostmduserapi_se.so and ThostFtdcMdApi.h)")
    set(CTPMD_BUILD OFF)
endif()

if(CTPMD_BUILD)
    Python_add_library(_ctpmd MODULE WITH_SOABI
        native/bridge/closure.cpp
        native/bridge/codecs.cpp
        native/bridge/errors.cpp
        native/bridge/handle.cpp
        native/bridge/names.cpp
        native/bridge/queue_spi.cpp
        native/ctp/convert.cpp
        native/ctpmd/convert.cpp
        native/ctpmd/module.cpp)
    # Only the records and the market-data classes: the trader's classes are
    # not needed, but its headers sit in the same directory.
    target_link_libraries(_ctpmd PRIVATE ${ctpmd_library})
    if(NOT CTP_STANDIN)
        target_include_directories(_ctpmd SYSTEM PRIVATE "${CTP_SDK_DIR}")
    endif()
    add_dependencies(_ctpmd ctp_generated)
    target_include_directories(_ctpmd PRIVATE "${CTP_GENERATED_DIR}")
    target_compile_options(_ctpmd PRIVATE -Wall -Wextra)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        target_compile_options(_ctpmd PRIVATE -fno-canonical-system-headers)
    endif()
    set_target_properties(_ctpmd PROPERTIES
        LIBRARY_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}"
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON
        BUILD_WITH_INSTALL_RPATH ON
        INSTALL_RPATH "$ORIGIN/ctp:$ORIGIN")
    if(NOT CTP_STANDIN)
        add_custom_command(TARGET _ctpmd POST_BUILD
            COMMAND ${CMAKE_COMMAND} -E copy_if_different "${CTP_SDK_DIR}/thostmduserapi_se.so" "${CMAKE_BINARY_DIR}/")
    endif()
endif()
