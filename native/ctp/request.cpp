// request(capsule, method, data, id): reads the dict into a zero-filled vendor
// input record and calls the matching Req operation without the interpreter lock.
#include "session.h"

#include "../bridge/calls.h"

#include <cstring>

namespace {

using Api = CThostFtdcTraderApi;

bool is(const char *method, const char *name) { return std::strcmp(method, name) == 0; }

PyObject *dispatch(Spi &s, const char *method, PyObject *data, int id) {
    if (is(method, "Authenticate")) {
        using R = CThostFtdcReqAuthenticateField;
        return send(s, &Api::ReqAuthenticate, data, id,
                    key("BrokerID", &R::BrokerID), key("UserID", &R::UserID), key("AuthCode", &R::AuthCode),
                    key("AppID", &R::AppID));
    }
    if (is(method, "UserLogin")) {
        using R = CThostFtdcReqUserLoginField;
        return send(s, &Api::ReqUserLogin, data, id,
                    key("BrokerID", &R::BrokerID), key("UserID", &R::UserID), key("Password", &R::Password));
    }
    if (is(method, "SettlementInfoConfirm")) {
        using R = CThostFtdcSettlementInfoConfirmField;
        return send(s, &Api::ReqSettlementInfoConfirm, data, id,
                    key("BrokerID", &R::BrokerID), key("InvestorID", &R::InvestorID), key("CurrencyID", &R::CurrencyID));
    }
    if (is(method, "QryOrder")) {
        using R = CThostFtdcQryOrderField;
        return send(s, &Api::ReqQryOrder, data, id,
                    key("BrokerID", &R::BrokerID), key("InvestorID", &R::InvestorID), key("ExchangeID", &R::ExchangeID),
                    key("OrderSysID", &R::OrderSysID), key("InstrumentID", &R::InstrumentID));
    }
    if (is(method, "QryTrade")) {
        using R = CThostFtdcQryTradeField;
        return send(s, &Api::ReqQryTrade, data, id,
                    key("BrokerID", &R::BrokerID), key("InvestorID", &R::InvestorID), key("ExchangeID", &R::ExchangeID),
                    key("InstrumentID", &R::InstrumentID));
    }
    if (is(method, "QryInvestorPosition")) {
        using R = CThostFtdcQryInvestorPositionField;
        return send(s, &Api::ReqQryInvestorPosition, data, id,
                    key("BrokerID", &R::BrokerID), key("InvestorID", &R::InvestorID), key("ExchangeID", &R::ExchangeID),
                    key("InstrumentID", &R::InstrumentID));
    }
    if (is(method, "QryTradingAccount")) {
        using R = CThostFtdcQryTradingAccountField;
        return send(s, &Api::ReqQryTradingAccount, data, id,
                    key("BrokerID", &R::BrokerID), key("InvestorID", &R::InvestorID), key("CurrencyID", &R::CurrencyID));
    }
    if (is(method, "QryInstrument")) {
        using R = CThostFtdcQryInstrumentField;
        return send(s, &Api::ReqQryInstrument, data, id,
                    key("ExchangeID", &R::ExchangeID), key("InstrumentID", &R::InstrumentID));
    }
    if (is(method, "OrderInsert")) {
        using R = CThostFtdcInputOrderField;
        return send(s, &Api::ReqOrderInsert, data, id,
                    key("BrokerID", &R::BrokerID), key("InvestorID", &R::InvestorID), key("OrderRef", &R::OrderRef),
                    key("UserID", &R::UserID), key("OrderPriceType", &R::OrderPriceType),
                    key("Direction", &R::Direction), key("CombOffsetFlag", &R::CombOffsetFlag),
                    key("CombHedgeFlag", &R::CombHedgeFlag), key("LimitPrice", &R::LimitPrice),
                    key("VolumeTotalOriginal", &R::VolumeTotalOriginal), key("TimeCondition", &R::TimeCondition),
                    key("VolumeCondition", &R::VolumeCondition), key("MinVolume", &R::MinVolume),
                    key("ContingentCondition", &R::ContingentCondition),
                    key("ForceCloseReason", &R::ForceCloseReason), key("IsAutoSuspend", &R::IsAutoSuspend),
                    key("UserForceClose", &R::UserForceClose), key("ExchangeID", &R::ExchangeID),
                    key("CurrencyID", &R::CurrencyID), key("InstrumentID", &R::InstrumentID));
    }
    if (is(method, "OrderAction")) {
        using R = CThostFtdcInputOrderActionField;
        return send(s, &Api::ReqOrderAction, data, id,
                    key("BrokerID", &R::BrokerID), key("InvestorID", &R::InvestorID), key("ExchangeID", &R::ExchangeID),
                    key("OrderSysID", &R::OrderSysID), key("ActionFlag", &R::ActionFlag),
                    key("LimitPrice", &R::LimitPrice), key("UserID", &R::UserID),
                    key("InstrumentID", &R::InstrumentID));
    }
    PyErr_SetString(PyExc_ValueError, "不支持的 CTP 请求");
    return nullptr;
}

}  // namespace

PyObject *request(PyObject *, PyObject *args) {
    PyObject *capsule = nullptr;
    const char *method = nullptr;
    PyObject *data = nullptr;
    int id = 0;
    if (!PyArg_ParseTuple(args, "OsO!i", &capsule, &method, &PyDict_Type, &data, &id))
        return nullptr;
    Spi *session = usable(capsule);
    if (session == nullptr)
        return nullptr;
    if (session->api == nullptr)
        return closed_session();
    return dispatch(*session, method, data, id);
}
