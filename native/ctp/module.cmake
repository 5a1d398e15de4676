# _ctp: the vendor's trader library (thosttraderapi_se.so) on the bridge.
# Included by the top-level CMakeLists.txt, which has found the trader
# library (the vendor's SDK, else the stand-in) as the target thosttraderapi_se.
ctp_module(_ctp thosttraderapi_se thosttraderapi_se.so native/ctp/module.cpp)
