// thostmduserapi_se.so: CThostFtdcMdApi's static entry points. The API objects
// live in the stand-in trader library, which holds the simulated fronts that
// market-data and trader sessions of one process share.
#include "ThostFtdcMdApi.h"

extern "C" {
CThostFtdcMdApi *standin_create_md_api(const char *flow_path, bool udp, bool multicast);
const char *standin_md_api_version();
}

CThostFtdcMdApi *CThostFtdcMdApi::CreateFtdcMdApi(const char *flow_path, const bool udp, const bool multicast) {
    return standin_create_md_api(flow_path, udp, multicast);
}

const char *CThostFtdcMdApi::GetApiVersion() { return standin_md_api_version(); }
