# _ctpmd: the vendor's market-data library (thostmduserapi_se.so) on the
# bridge. Included by the top-level CMakeLists.txt after _ctp: with the
# vendor's SDK when its directory also holds the market-data library and
# header, else with the stand-in's.
set(CTPMD_BUILD ON)
if(CTP_STANDIN)
    set(ctpmd_library thostmduserapi_se)
elseif(EXISTS "${CTP_SDK_DIR}/thostmduserapi_se.so" AND EXISTS "${CTP_SDK_DIR}/ThostFtdcMdApi.h")
    # Linked by its exact name, as the trader library is.
    add_library(thostmduserapi_se_vendor INTERFACE)
    target_include_directories(thostmduserapi_se_vendor SYSTEM INTERFACE "${CTP_SDK_DIR}")
    target_link_directories(thostmduserapi_se_vendor INTERFACE "${CTP_SDK_DIR}")
    target_link_libraries(thostmduserapi_se_vendor INTERFACE "-l:thostmduserapi_se.so")
    set(ctpmd_library thostmduserapi_se_vendor)
else()
    message(STATUS "_ctpmd: not built (${CTP_SDK_DIR} holds no thostmduserapi_se.so and ThostFtdcMdApi.h)")
    set(CTPMD_BUILD OFF)
endif()

if(CTPMD_BUILD)
    ctp_module(_ctpmd ${ctpmd_library} thostmduserapi_se.so native/ctpmd/module.cpp)
endif()
