// The trading session object: the queue of QueueSpi plus the trading record
// callbacks, each queued as a reply under its event name.
#pragma once

#include "ThostFtdcTraderApi.h"

#include "records.h"

#include "../bridge/queue_spi.h"

class Spi final : public QueueSpi<CThostFtdcTraderSpi, CThostFtdcTraderApi> {
public:
    using Info = CThostFtdcRspInfoField;

    void OnRspAuthenticate(CThostFtdcRspAuthenticateField *data, Info *info, int id, bool last) noexcept override {
        response("RspAuthenticate", data, info, id, last);
    }
    void OnRspUserLogin(CThostFtdcRspUserLoginField *data, Info *info, int id, bool last) noexcept override {
        response("RspUserLogin", data, info, id, last);
    }
    void OnRspOrderInsert(CThostFtdcInputOrderField *data, Info *info, int id, bool last) noexcept override {
        response("RspOrderInsert", data, info, id, last);
    }
    void OnRspOrderAction(CThostFtdcInputOrderActionField *data, Info *info, int id, bool last) noexcept override {
        response("RspOrderAction", data, info, id, last);
    }
    void OnRspSettlementInfoConfirm(CThostFtdcSettlementInfoConfirmField *data, Info *info, int id, bool last) noexcept override {
        response("RspSettlementInfoConfirm", data, info, id, last);
    }
    void OnRspQryOrder(CThostFtdcOrderField *data, Info *info, int id, bool last) noexcept override {
        response("RspQryOrder", data, info, id, last);
    }
    void OnRspQryTrade(CThostFtdcTradeField *data, Info *info, int id, bool last) noexcept override {
        response("RspQryTrade", data, info, id, last);
    }
    void OnRspQryInvestorPosition(CThostFtdcInvestorPositionField *data, Info *info, int id, bool last) noexcept override {
        response("RspQryInvestorPosition", data, info, id, last);
    }
    void OnRspQryTradingAccount(CThostFtdcTradingAccountField *data, Info *info, int id, bool last) noexcept override {
        response("RspQryTradingAccount", data, info, id, last);
    }
    void OnRspQryInstrument(CThostFtdcInstrumentField *data, Info *info, int id, bool last) noexcept override {
        response("RspQryInstrument", data, info, id, last);
    }
    // Pushes carry no request id, no last flag and no error information.
    void OnRtnOrder(CThostFtdcOrderField *data) noexcept override {
        response("RtnOrder", data, static_cast<Info *>(nullptr), 0, true);
    }
    void OnRtnTrade(CThostFtdcTradeField *data) noexcept override {
        response("RtnTrade", data, static_cast<Info *>(nullptr), 0, true);
    }
    void OnErrRtnOrderInsert(CThostFtdcInputOrderField *data, Info *info) noexcept override {
        response("ErrRtnOrderInsert", data, info, 0, true);
    }
    void OnErrRtnOrderAction(CThostFtdcOrderActionField *data, Info *info) noexcept override {
        response("ErrRtnOrderAction", data, info, 0, true);
    }
};
