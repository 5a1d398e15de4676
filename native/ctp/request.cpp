// request(capsule, method, data, id): reads the dict into a zero-filled vendor
// input record and calls the matching Req operation without the interpreter lock.
#include "session.h"

#include "../bridge/codecs.h"
#include "../bridge/unlocked.h"

#include <atomic>
#include <cstring>
#include <exception>

namespace {

using Api = CThostFtdcTraderApi;

template <class Record>
using Operation = int (Api::*)(Record *, int);

// A dict key and the record member it is read into.
template <class Record, class Member>
struct Key {
    const char *name;
    Member Record::*member;
};

template <class Record, class Member>
constexpr Key<Record, Member> key(const char *name, Member Record::*member) {
    return {name, member};
}

// Counts down a vendor call that was counted up while the interpreter lock was
// held, and wakes a release() waiting for it.
class Finished {
public:
    explicit Finished(std::atomic<int> &in_flight) noexcept : calls(in_flight) {}
    ~Finished() {
        if (calls.fetch_sub(1) == 1)
            calls.notify_all();
    }
    Finished(const Finished &) = delete;
    Finished &operator=(const Finished &) = delete;

private:
    std::atomic<int> &calls;
};

PyObject *closed() {
    PyErr_SetString(PyExc_RuntimeError, "CTP 接口已关闭");
    return nullptr;
}

// Calls the vendor without the interpreter lock.
//
// request and close may run on two Python threads at once. release() clears
// api while holding the interpreter lock, then, without it, waits until no
// call is counted before it gives the API object back. Here the pointer is
// read and the call counted under the same lock, after the dict has been read
// (reading can run Python code that closes the session). So either release()
// cleared api first and the call is refused, or it sees the count and waits.
// The count is lowered before the lock is taken back, so release() never
// waits on a thread that waits for the interpreter lock.
template <class Record>
PyObject *invoke(Spi &session, Operation<Record> operation, Record &record, int id) {
    Api *api = session.api;
    if (api == nullptr)
        return closed();
    session.calls.fetch_add(1);
    int result = 0;
    std::exception_ptr failed;
    {
        Unlocked unlocked;
        Finished finished(session.calls);
        try {
            result = (api->*operation)(&record, id);
        } catch (...) {
            failed = std::current_exception();
        }
    }
    if (failed)
        return raise_error(failed);
    return PyLong_FromLong(result);
}

template <class Record, class... Members>
PyObject *send(Spi &session, Operation<Record> operation, PyObject *data, int id, Key<Record, Members>... keys) {
    Record record;
    std::memset(&record, 0, sizeof record);
    // Keys in table order; the first bad one is reported and nothing is sent.
    if (!(read(data, keys.name, record.*keys.member) && ...))
        return nullptr;
    return invoke(session, operation, record, id);
}

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
        return closed();
    return dispatch(*session, method, data, id);
}
