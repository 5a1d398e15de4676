// The market-data session object: the queue of QueueSpi plus the market-data
// record callbacks, each queued as a reply under its event name.
#pragma once

#include "ThostFtdcMdApi.h"

#include "records.h"

#include "../bridge/queue_spi.h"

class MdSpi final : public QueueSpi<CThostFtdcMdSpi, CThostFtdcMdApi> {
public:
    using Info = CThostFtdcRspInfoField;

    void OnRspUserLogin(CThostFtdcRspUserLoginField *data, Info *info, int id, bool last) noexcept override {
        response("RspUserLogin", data, info, id, last);
    }
    void OnRspUserLogout(CThostFtdcUserLogoutField *data, Info *info, int id, bool last) noexcept override {
        response("RspUserLogout", data, info, id, last);
    }
    void OnRspSubMarketData(CThostFtdcSpecificInstrumentField *data, Info *info, int id, bool last) noexcept override {
        response("RspSubMarketData", data, info, id, last);
    }
    void OnRspUnSubMarketData(CThostFtdcSpecificInstrumentField *data, Info *info, int id, bool last) noexcept override {
        response("RspUnSubMarketData", data, info, id, last);
    }
    // A push: no request id, no last flag, no error information.
    void OnRtnDepthMarketData(CThostFtdcDepthMarketDataField *data) noexcept override {
        response("RtnDepthMarketData", data, static_cast<Info *>(nullptr), 0, true);
    }
};
