// The stand-in trader library: its API object, its callbacks and the
// exported static entry points of CThostFtdcTraderApi.
#include "trader.h"

#include "callbacks.h"
#include "link.h"

#include <array>
#include <atomic>
#include <cstring>
#include <memory>

namespace standin {

namespace {

// The floor for benchmarks: a copy of an order record into a preallocated,
// prefaulted ring as large as a session's queue.
void floor_copy(const void *record) {
    constexpr std::size_t slots = 0x8000;
    using Slot = std::array<unsigned char, sizeof(CThostFtdcOrderField)>;
    static const auto ring = [] {
        auto made = std::make_unique<Slot[]>(slots);
        std::memset(made.get(), 0, slots * sizeof(Slot));
        return made;
    }();
    static std::atomic<std::size_t> next{0};
    Slot &slot = ring[next.fetch_add(1, std::memory_order_relaxed) % slots];
    if (record)
        std::memcpy(slot.data(), record, slot.size());
    else
        std::memset(slot.data(), 0, slot.size());
}

using namespace callbacks;
using S = CThostFtdcTraderSpi;

const CallbackKind trader_callbacks[] = {
    front_connected<S>(),
    front_disconnected<S>(),
    heart_beat_warning<S>(),
    rsp<S, CThostFtdcRspAuthenticateField, &S::OnRspAuthenticate>("OnRspAuthenticate"),
    rsp<S, CThostFtdcRspUserLoginField, &S::OnRspUserLogin>("OnRspUserLogin"),
    rsp<S, CThostFtdcUserLogoutField, &S::OnRspUserLogout>("OnRspUserLogout"),
    rsp<S, CThostFtdcInputOrderField, &S::OnRspOrderInsert>("OnRspOrderInsert"),
    rsp<S, CThostFtdcInputOrderActionField, &S::OnRspOrderAction>("OnRspOrderAction"),
    rsp<S, CThostFtdcSettlementInfoConfirmField, &S::OnRspSettlementInfoConfirm>("OnRspSettlementInfoConfirm"),
    rsp<S, CThostFtdcOrderField, &S::OnRspQryOrder>("OnRspQryOrder"),
    rsp<S, CThostFtdcTradeField, &S::OnRspQryTrade>("OnRspQryTrade"),
    rsp<S, CThostFtdcInvestorPositionField, &S::OnRspQryInvestorPosition>("OnRspQryInvestorPosition"),
    rsp<S, CThostFtdcTradingAccountField, &S::OnRspQryTradingAccount>("OnRspQryTradingAccount"),
    rsp<S, CThostFtdcInstrumentField, &S::OnRspQryInstrument>("OnRspQryInstrument"),
    rsp_error<S>(),
    rtn<S, CThostFtdcOrderField, &S::OnRtnOrder>("OnRtnOrder"),
    rtn<S, CThostFtdcTradeField, &S::OnRtnTrade>("OnRtnTrade"),
    err_rtn<S, CThostFtdcInputOrderField, &S::OnErrRtnOrderInsert>("OnErrRtnOrderInsert"),
    err_rtn<S, CThostFtdcOrderActionField, &S::OnErrRtnOrderAction>("OnErrRtnOrderAction"),
    rtn<S, CThostFtdcInstrumentStatusField, &S::OnRtnInstrumentStatus>("OnRtnInstrumentStatus"),
    // Not a callback: what the cheapest possible client does with an order
    // record, for benchmarks to measure callbacks against.
    {"ctpsim:floor", sizeof(CThostFtdcOrderField),
     [](void *, void *r, CThostFtdcRspInfoField *, int, bool) { floor_copy(r); }},
};

}  // namespace

TraderApi::TraderApi(int serial, std::string flow) : ApiObject(serial, std::move(flow), trader_callbacks) {}

std::unique_ptr<FrontLink> TraderApi::make_link(std::shared_ptr<Front> front) {
    return std::make_unique<Link<TraderSession>>(std::move(front), *this);
}

void TraderApi::SubscribePrivateTopic(THOST_TE_RESUME_TYPE type, int length) {
    if (dead("SubscribePrivateTopic"))
        return;
    log("SubscribePrivateTopic", [&](Call &call) {
        call.arg1 = type;
        call.arg2 = length;
    });
    throw_if_asked("SubscribePrivateTopic");
}

void TraderApi::SubscribePublicTopic(THOST_TE_RESUME_TYPE type) {
    if (dead("SubscribePublicTopic"))
        return;
    log("SubscribePublicTopic", [&](Call &call) { call.arg1 = type; });
    throw_if_asked("SubscribePublicTopic");
}

template <class Record>
int TraderApi::request(const char *op, Record *record, int id) {
    return ApiObject::request(op, record, id,
                              [&](const Record &sent) { return link_as<Link<TraderSession>>()->request(sent, id); });
}

int TraderApi::ReqAuthenticate(CThostFtdcReqAuthenticateField *r, int id) { return request("ReqAuthenticate", r, id); }
int TraderApi::ReqUserLogin(CThostFtdcReqUserLoginField *r, int id) { return request("ReqUserLogin", r, id); }
int TraderApi::ReqUserLogout(CThostFtdcUserLogoutField *r, int id) { return request("ReqUserLogout", r, id); }
int TraderApi::ReqOrderInsert(CThostFtdcInputOrderField *r, int id) { return request("ReqOrderInsert", r, id); }
int TraderApi::ReqOrderAction(CThostFtdcInputOrderActionField *r, int id) { return request("ReqOrderAction", r, id); }
int TraderApi::ReqSettlementInfoConfirm(CThostFtdcSettlementInfoConfirmField *r, int id) { return request("ReqSettlementInfoConfirm", r, id); }
int TraderApi::ReqQryOrder(CThostFtdcQryOrderField *r, int id) { return request("ReqQryOrder", r, id); }
int TraderApi::ReqQryTrade(CThostFtdcQryTradeField *r, int id) { return request("ReqQryTrade", r, id); }
int TraderApi::ReqQryInvestorPosition(CThostFtdcQryInvestorPositionField *r, int id) { return request("ReqQryInvestorPosition", r, id); }
int TraderApi::ReqQryTradingAccount(CThostFtdcQryTradingAccountField *r, int id) { return request("ReqQryTradingAccount", r, id); }
int TraderApi::ReqQryInstrument(CThostFtdcQryInstrumentField *r, int id) { return request("ReqQryInstrument", r, id); }

}  // namespace standin

using namespace standin;

CThostFtdcTraderApi *CThostFtdcTraderApi::CreateFtdcTraderApi(const char *flow_path, bool production) {
    return create<TraderApi>("CreateFtdcTraderApi", flow_path, production, 0);
}

const char *CThostFtdcTraderApi::GetApiVersion() { return api_version(); }
