// Running out of memory in the middle of a request to the simulated front:
// every request is all or nothing, a trading session's and a market-data
// session's. The program replaces operator new so that the nth allocation
// made on the test's thread fails; each request is tried with its 1st, 2nd,
// ... allocation failing until it goes through. A failed try must return -1 (a control call -10), send no
// event and change nothing: the session then goes on exactly as on a front
// that never ran short (the same events, order and trade ids, figures).
#include "ThostFtdcMdApi.h"
#include "ThostFtdcTraderApi.h"
#include "check.h"
#include "ctpsim.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <unistd.h>

namespace {
// > 0: the allocation on this thread that makes it reach 0 fails.
thread_local long allocations_until_failure = 0;

void *allocate(std::size_t size) {
    if (allocations_until_failure > 0 && --allocations_until_failure == 0)
        throw std::bad_alloc();
    if (void *memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}
}  // namespace

void *operator new(std::size_t size) { return allocate(size); }
void *operator new[](std::size_t size) { return allocate(size); }
void operator delete(void *memory) noexcept { std::free(memory); }
void operator delete[](void *memory) noexcept { std::free(memory); }
void operator delete(void *memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void *memory, std::size_t) noexcept { std::free(memory); }

namespace {

template <std::size_t N>
void put(char (&field)[N], const char *text) {
    std::memcpy(field, text, std::min(std::strlen(text), N - 1));  // the record starts zeroed
}

template <class... Args>
std::string format(const char *pattern, Args... args) {
    char out[256];
    std::snprintf(out, sizeof out, pattern, args...);
    return out;
}

std::string error(const CThostFtdcRspInfoField *info) { return info ? format(" error %d", info->ErrorID) : ""; }

// The lines a spi noted, taken in order.
struct Notes {
    std::mutex mutex;
    std::vector<std::string> seen;

    void note(std::string line) {
        std::lock_guard lock(mutex);
        seen.push_back(std::move(line));
    }
    std::vector<std::string> take() {
        std::lock_guard lock(mutex);
        return std::exchange(seen, {});
    }
};

// Every callback as a line without clock fields.
struct Listener : CThostFtdcTraderSpi, Notes {
    static std::string order(const char *kind, const CThostFtdcOrderField *o) {
        if (!o)
            return std::string(kind) + " null";
        return format("%s %s ref %s session %d status %c traded %d left %d seq %d local %s", kind, o->OrderSysID,
                      o->OrderRef, o->SessionID, o->OrderStatus, o->VolumeTraded, o->VolumeTotal, o->SequenceNo,
                      o->OrderLocalID);
    }
    static std::string trade(const char *kind, const CThostFtdcTradeField *t) {
        if (!t)
            return std::string(kind) + " null";
        return format("%s %s order %s price %.2f volume %d seq %d", kind, t->TradeID, t->OrderSysID, t->Price,
                      t->Volume, t->SequenceNo);
    }

    void OnFrontConnected() override { note("connected"); }
    void OnRspAuthenticate(CThostFtdcRspAuthenticateField *, CThostFtdcRspInfoField *info, int, bool) override {
        note("authenticate" + error(info));
    }
    void OnRspUserLogin(CThostFtdcRspUserLoginField *r, CThostFtdcRspInfoField *info, int, bool) override {
        note("login" + error(info) + (r ? format(" session %d max %s", r->SessionID, r->MaxOrderRef) : ""));
    }
    void OnRspUserLogout(CThostFtdcUserLogoutField *, CThostFtdcRspInfoField *info, int, bool) override {
        note("logout" + error(info));
    }
    void OnRspSettlementInfoConfirm(CThostFtdcSettlementInfoConfirmField *, CThostFtdcRspInfoField *info, int,
                                    bool) override {
        note("confirm" + error(info));
    }
    void OnRspOrderInsert(CThostFtdcInputOrderField *r, CThostFtdcRspInfoField *info, int, bool) override {
        note("refused" + error(info) + " ref " + (r ? r->OrderRef : "-"));
    }
    void OnErrRtnOrderInsert(CThostFtdcInputOrderField *r, CThostFtdcRspInfoField *info) override {
        note("refused (private)" + error(info) + " ref " + (r ? r->OrderRef : "-"));
    }
    void OnRspOrderAction(CThostFtdcInputOrderActionField *, CThostFtdcRspInfoField *info, int, bool) override {
        note("cancel refused" + error(info));
    }
    void OnErrRtnOrderAction(CThostFtdcOrderActionField *, CThostFtdcRspInfoField *info) override {
        note("cancel refused (private)" + error(info));
    }
    void OnRtnOrder(CThostFtdcOrderField *o) override { note(order("order", o)); }
    void OnRtnTrade(CThostFtdcTradeField *t) override { note(trade("trade", t)); }
    void OnRspQryOrder(CThostFtdcOrderField *o, CThostFtdcRspInfoField *, int, bool) override {
        note(order("queried order", o));
    }
    void OnRspQryTrade(CThostFtdcTradeField *t, CThostFtdcRspInfoField *, int, bool) override {
        note(trade("queried trade", t));
    }
    void OnRspQryTradingAccount(CThostFtdcTradingAccountField *a, CThostFtdcRspInfoField *, int, bool) override {
        note(a ? format("account %.2f available %.2f margin %.2f frozen %.2f %.2f commission %.2f profit %.2f %.2f",
                        a->Balance, a->Available, a->CurrMargin, a->FrozenMargin, a->FrozenCommission,
                        a->Commission, a->CloseProfit, a->PositionProfit)
               : "account null");
    }
    void OnRspQryInvestorPosition(CThostFtdcInvestorPositionField *p, CThostFtdcRspInfoField *, int,
                                  bool) override {
        note(p ? format("position %s %c %c %d today %d yd %d frozen %d %d", p->InstrumentID, p->PosiDirection,
                        p->PositionDate, p->Position, p->TodayPosition, p->YdPosition, p->LongFrozen, p->ShortFrozen)
               : "position null");
    }
    void OnRspQryInvestorPositionDetail(CThostFtdcInvestorPositionDetailField *d, CThostFtdcRspInfoField *info, int,
                                        bool) override {
        note(d ? format("detail %s %c %s %d closed %d profit %.2f", d->InstrumentID, d->Direction, d->TradeID,
                        d->Volume, d->CloseVolume, d->CloseProfitByDate)
               : "detail null" + error(info));
    }
    void OnRspQryInstrumentMarginRate(CThostFtdcInstrumentMarginRateField *r, CThostFtdcRspInfoField *info, int,
                                      bool last) override {
        if (last)
            note(r ? format("margin rate %s", r->InstrumentID) : "margin rate null" + error(info));
    }
    void OnRspQryInstrumentCommissionRate(CThostFtdcInstrumentCommissionRateField *r, CThostFtdcRspInfoField *info,
                                          int, bool last) override {
        if (last)
            note(r ? format("commission rate %s", r->InstrumentID) : "commission rate null" + error(info));
    }
    void OnRspQrySettlementInfo(CThostFtdcSettlementInfoField *r, CThostFtdcRspInfoField *info, int,
                                bool last) override {
        note(r ? format("statement %s %d%s", r->TradingDay, r->SequenceNo, last ? " last" : "")
               : "statement null" + error(info));
    }
    void OnRspQrySettlementInfoConfirm(CThostFtdcSettlementInfoConfirmField *r, CThostFtdcRspInfoField *info, int,
                                       bool) override {
        note(r ? format("confirmed %s", r->InvestorID) : "confirmed null" + error(info));
    }
    void OnRspQryDepthMarketData(CThostFtdcDepthMarketDataField *d, CThostFtdcRspInfoField *info, int,
                                 bool) override {
        note(d ? format("depth %s %.2f", d->InstrumentID, d->BidPrice1) : "depth null" + error(info));
    }
    void OnRspQryExchange(CThostFtdcExchangeField *r, CThostFtdcRspInfoField *info, int, bool) override {
        note(r ? format("exchange %s %c", r->ExchangeID, r->ExchangeProperty) : "exchange null" + error(info));
    }
    void OnRspUserPasswordUpdate(CThostFtdcUserPasswordUpdateField *r, CThostFtdcRspInfoField *info, int,
                                 bool) override {
        note("password" + error(info) + " " + (r ? r->UserID : "-") + (r && r->NewPassword[0] ? " echoed" : ""));
    }
    void OnRtnInstrumentStatus(CThostFtdcInstrumentStatusField *r) override {
        note(format("status %s %c %d %c", r->InstrumentID, r->InstrumentStatus, r->TradingSegmentSN, r->EnterReason));
    }
    void OnRtnTradingNotice(CThostFtdcTradingNoticeInfoField *r) override {
        note(format("notice %s %d ", r->InvestorID, r->SequenceNo) + r->FieldContent);
    }
    void OnFrontDisconnected(int reason) override { note(format("disconnected %x", reason)); }
};

struct Client {
    Listener spi;
    CThostFtdcTraderApi *api = nullptr;
    int serial = 0;
    const char *user = "000001";
    int ids = 0;

    // Every callback so far (a callback run after them on thread 0 marks the end).
    std::vector<std::string> events() {
        ctpsim_emit(serial, 0, "OnHeartBeatWarning", nullptr, 0, nullptr, 0, 0, 1, 10000);
        return spi.take();
    }
    int authenticate() {
        CThostFtdcReqAuthenticateField r{};
        put(r.BrokerID, "9999");
        put(r.UserID, user);
        put(r.AppID, "standin_client_1.0");
        put(r.AuthCode, "0000000000000000");
        return api->ReqAuthenticate(&r, ++ids);
    }
    int login() {
        CThostFtdcReqUserLoginField r{};
        put(r.BrokerID, "9999");
        put(r.UserID, user);
        put(r.Password, "123456");
        return api->ReqUserLogin(&r, ++ids);
    }
    int logout() {
        CThostFtdcUserLogoutField r{};
        put(r.BrokerID, "9999");
        put(r.UserID, user);
        return api->ReqUserLogout(&r, ++ids);
    }
    int confirm() {
        CThostFtdcSettlementInfoConfirmField r{};
        put(r.BrokerID, "9999");
        put(r.InvestorID, user);
        return api->ReqSettlementInfoConfirm(&r, ++ids);
    }
    int order(char direction, char offset, double price, int volume, char time = '3', char volumes = '1') {
        CThostFtdcInputOrderField o{};
        put(o.BrokerID, "9999");
        put(o.InvestorID, user);
        put(o.UserID, user);
        put(o.InstrumentID, "rb2705");
        put(o.ExchangeID, "SHFE");
        o.OrderPriceType = '2';
        o.Direction = direction;
        o.CombOffsetFlag[0] = offset;
        o.CombHedgeFlag[0] = '1';
        o.LimitPrice = price;
        o.VolumeTotalOriginal = volume;
        o.TimeCondition = time;
        o.VolumeCondition = volumes;
        o.ContingentCondition = '1';
        o.ForceCloseReason = '0';
        return api->ReqOrderInsert(&o, ++ids);
    }
    int cancel(const char *sys_id) {
        CThostFtdcInputOrderActionField a{};
        put(a.BrokerID, "9999");
        put(a.InvestorID, user);
        put(a.UserID, user);
        put(a.ExchangeID, "SHFE");
        put(a.OrderSysID, sys_id);
        put(a.InstrumentID, "rb2705");
        a.ActionFlag = '0';
        return api->ReqOrderAction(&a, ++ids);
    }
    int query_account() {
        CThostFtdcQryTradingAccountField q{};
        return api->ReqQryTradingAccount(&q, ++ids);
    }
    int change_password(const char *from, const char *to) {
        CThostFtdcUserPasswordUpdateField r{};
        put(r.BrokerID, "9999");
        put(r.UserID, user);
        put(r.OldPassword, from);
        put(r.NewPassword, to);
        return api->ReqUserPasswordUpdate(&r, ++ids);
    }
    // The queries that came with the position details, the rates and the settlement.
    int query_detail() {
        CThostFtdcQryInvestorPositionDetailField q{};
        return api->ReqQryInvestorPositionDetail(&q, ++ids);
    }
    int query_margin_rate() {
        CThostFtdcQryInstrumentMarginRateField q{};
        return api->ReqQryInstrumentMarginRate(&q, ++ids);
    }
    int query_commission_rate() {
        CThostFtdcQryInstrumentCommissionRateField q{};
        return api->ReqQryInstrumentCommissionRate(&q, ++ids);
    }
    int query_statement() {
        CThostFtdcQrySettlementInfoField q{};
        return api->ReqQrySettlementInfo(&q, ++ids);
    }
    int query_confirmation() {
        CThostFtdcQrySettlementInfoConfirmField q{};
        return api->ReqQrySettlementInfoConfirm(&q, ++ids);
    }
    int query_exchange() {
        CThostFtdcQryExchangeField q{};
        return api->ReqQryExchange(&q, ++ids);
    }
    int query_depth() {
        CThostFtdcQryDepthMarketDataField q{};
        put(q.InstrumentID, "rb2705");
        return api->ReqQryDepthMarketData(&q, ++ids);
    }
    // The session's view of its investor, through queries.
    std::vector<std::string> books() {
        CThostFtdcQryInvestorPositionField p{};
        CThostFtdcQryOrderField o{};
        CThostFtdcQryTradeField t{};
        CThostFtdcQryInvestorPositionDetailField d{};
        const bool sent = query_account() == 0 && api->ReqQryInvestorPosition(&p, ++ids) == 0 &&
                          api->ReqQryOrder(&o, ++ids) == 0 && api->ReqQryTrade(&t, ++ids) == 0 &&
                          api->ReqQryInvestorPositionDetail(&d, ++ids) == 0;
        check(sent, "queries sent");
        return events();
    }
};

// Three sessions on one front: two of investor 000001, one of 000002.
struct Trading {
    Client a, a2, b;
    std::vector<Client *> all{&a, &a2, &b};
    std::string front;

    Trading(const std::string &name, const std::string &flow) : front("sim://" + name) {
        b.user = "000002";
        int n = 0;
        for (Client *client : all) {
            const std::string path = flow + "/" + name + std::to_string(n++) + "/";
            client->api = CThostFtdcTraderApi::CreateFtdcTraderApi(path.c_str());
            client->serial = ctpsim_api_of(path.c_str());
            client->api->RegisterSpi(&client->spi);
            std::string address = front;
            client->api->RegisterFront(address.data());
            client->api->Init();
            check(client->events() == std::vector<std::string>{"connected"}, "connected");
        }
    }
    ~Trading() {
        for (Client *client : all)
            client->api->Release();
    }
    // Every callback so far, each line after the number of its session.
    std::vector<std::string> events() {
        std::vector<std::string> out;
        for (std::size_t n = 0; n < all.size(); ++n)
            for (auto &line : all[n]->events())
                out.push_back(std::to_string(n) + " " + line);
        return out;
    }
    // The investors' books, through queries.
    std::vector<std::string> state() {
        auto out = a.books();
        auto more = b.books();
        out.insert(out.end(), more.begin(), more.end());
        return out;
    }
};

// A query that ran short does not count against the query limit; a control
// call that ran short returns CTPSIM_NO_MEMORY.
void a_query_that_ran_short_is_not_counted(const std::string &flow) {
    Trading trading("oom-query", flow);
    check(trading.a.authenticate() == 0 && trading.a.login() == 0, "logged in");
    trading.events();
    ctpsim_query_interval(60000);
    allocations_until_failure = 1;
    const int failed = trading.a.query_account();
    allocations_until_failure = 0;
    check(failed == -1, "the query ran short");
    check(trading.a.query_account() == 0, "and was not counted");
    check(trading.a.query_account() == -3, "the next is limited");
    ctpsim_query_interval(0);
    allocations_until_failure = 1;
    const int emitted = ctpsim_emit(trading.a.serial, 0, "OnHeartBeatWarning", nullptr, 0, nullptr, 0, 0, 1, 1000);
    allocations_until_failure = 0;
    check(emitted == CTPSIM_NO_MEMORY, "a control call that ran short says so");
}

// With the call log on, a call that cannot be logged is left out of it:
// nothing escapes into the caller, whichever allocation fails.
void calls_never_throw_while_logged(const std::string &flow) {
    ctpsim_log_calls(1);
    Trading trading("oom-log", flow);
    for (long nth = 1; nth < 40; ++nth) {
        allocations_until_failure = nth;
        try {
            trading.a.authenticate();
            trading.a.api->RegisterSpi(&trading.a.spi);
            trading.a.api->SubscribePublicTopic(THOST_TERT_QUICK);
            allocations_until_failure = 0;
        } catch (...) {
            allocations_until_failure = 0;
            check(false, "a logged call threw");
            break;
        }
    }
    ctpsim_reset();
}

// Creating an API object of either library that runs short returns null and
// uses up no serial: the next object gets the next one.
void a_create_that_ran_short_uses_no_serial(const std::string &flow) {
    const std::string path = flow + "/create/";
    for (bool md : {false, true}) {
        for (long nth = 1;; ++nth) {
            const int before = ctpsim_last_api();
            allocations_until_failure = nth;
            void *made = md ? static_cast<void *>(CThostFtdcMdApi::CreateFtdcMdApi(path.c_str()))
                            : static_cast<void *>(CThostFtdcTraderApi::CreateFtdcTraderApi(path.c_str()));
            const bool ran_short = allocations_until_failure == 0;
            allocations_until_failure = 0;
            if (!ran_short) {
                check(made && ctpsim_last_api() == before + 1 && ctpsim_api_of(path.c_str()) == before + 1,
                      "created with the next serial");
                if (md)
                    static_cast<CThostFtdcMdApi *>(made)->Release();
                else
                    static_cast<CThostFtdcTraderApi *>(made)->Release();
                break;
            }
            check(!made, "a create that ran short returns null");
            if (ctpsim_last_api() != before) {
                const char *op = md ? "CreateFtdcMdApi" : "CreateFtdcTraderApi";
                std::fprintf(stderr, "%s: allocation %ld failed\n", op, nth);
                check(false, "a create that ran short uses no serial");
            }
        }
    }
}

// ---- market data ---------------------------------------------------------------

// Every market-data callback as a line without clock fields.
struct Watcher : CThostFtdcMdSpi, Notes {
    static std::string reply(const char *kind, const CThostFtdcSpecificInstrumentField *r, CThostFtdcRspInfoField *info,
                             bool last) {
        return std::string(kind) + " " + (r ? r->InstrumentID : "null") + error(info) + (last ? " last" : "");
    }

    void OnFrontConnected() override { note("connected"); }
    void OnRspUserLogin(CThostFtdcRspUserLoginField *r, CThostFtdcRspInfoField *info, int, bool) override {
        note("login" + error(info) + (r ? std::string(" day ") + r->TradingDay : ""));
    }
    void OnRspUserLogout(CThostFtdcUserLogoutField *, CThostFtdcRspInfoField *info, int, bool) override {
        note("logout" + error(info));
    }
    void OnRspSubMarketData(CThostFtdcSpecificInstrumentField *r, CThostFtdcRspInfoField *info, int,
                            bool last) override {
        note(reply("subscribed", r, info, last));
    }
    void OnRspUnSubMarketData(CThostFtdcSpecificInstrumentField *r, CThostFtdcRspInfoField *info, int,
                              bool last) override {
        note(reply("unsubscribed", r, info, last));
    }
    void OnRtnDepthMarketData(CThostFtdcDepthMarketDataField *d) override {
        note(format("tick %s bid %.2f ask %.2f volume %d", d->InstrumentID, d->BidPrice1, d->AskPrice1, d->Volume));
    }
};

struct Watch {
    Watcher spi;
    CThostFtdcMdApi *api = nullptr;
    int serial = 0;
    std::string front;
    int ids = 0;

    Watch(const std::string &name, const std::string &flow) : front(name) {
        const std::string path = flow + "/" + name + "/";
        api = CThostFtdcMdApi::CreateFtdcMdApi(path.c_str());
        serial = ctpsim_api_of(path.c_str());
        api->RegisterSpi(&spi);
        std::string address = "sim://" + name;
        api->RegisterFront(address.data());
        api->Init();
        check(events() == std::vector<std::string>{"connected"}, "connected");
    }
    ~Watch() { api->Release(); }

    std::vector<std::string> events() {
        ctpsim_emit(serial, 0, "OnHeartBeatWarning", nullptr, 0, nullptr, 0, 0, 1, 10000);
        return spi.take();
    }
    // What the session is subscribed to, shown by the ticks of two moves
    // that leave the market as it was.
    std::vector<std::string> state() {
        for (const char *instrument : {"rb2705", "au2706"})
            for (int ticks : {1, -1})
                check(ctpsim_move_price(front.c_str(), instrument, ticks) == CTPSIM_OK, "moved");
        return events();
    }
    int login() {
        CThostFtdcReqUserLoginField r{};
        put(r.BrokerID, "9999");
        put(r.UserID, "watcher");
        return api->ReqUserLogin(&r, ++ids);
    }
    int logout() {
        CThostFtdcUserLogoutField r{};
        put(r.BrokerID, "9999");
        put(r.UserID, "watcher");
        return api->ReqUserLogout(&r, ++ids);
    }
    // Without allocating: only the library's allocations may fail.
    int subscribe(std::initializer_list<const char *> names, bool on = true) {
        char texts[8][32] = {};
        char *ids[8] = {};
        int count = 0;
        for (const char *name : names) {
            put(texts[count], name);
            ids[count] = texts[count];
            ++count;
        }
        return on ? api->SubscribeMarketData(ids, count) : api->UnSubscribeMarketData(ids, count);
    }
};

// What a session of the kind does in one step: a request (or a control
// call), and what it returns when memory runs out.
template <class Session>
struct Step {
    const char *what;
    std::function<int(Session &)> run;
    int failed = -1;
};

std::vector<Step<Trading>> trading_steps() {
    const int control = CTPSIM_NO_MEMORY;
    return {
        {"authenticate", [](Trading &t) { return t.a.authenticate(); }},
        {"log in", [](Trading &t) { return t.a.login(); }},
        {"confirm", [](Trading &t) { return t.a.confirm(); }},
        {"authenticate a second session", [](Trading &t) { return t.a2.authenticate(); }},
        {"log it in", [](Trading &t) { return t.a2.login(); }},
        {"authenticate another investor", [](Trading &t) { return t.b.authenticate(); }},
        {"log in", [](Trading &t) { return t.b.login(); }},
        {"confirm", [](Trading &t) { return t.b.confirm(); }},
        {"rest a sell behind the market", [](Trading &t) { return t.b.order('1', '0', 3101, 2); }},
        {"rest another", [](Trading &t) { return t.b.order('1', '0', 3102, 3); }},
        {"buy across the market and both", [](Trading &t) { return t.a.order('0', '0', 3102, 30); }},
        {"query", [](Trading &t) { return t.a.query_account(); }},
        {"cancel what rests", [](Trading &t) { return t.a.cancel("3"); }},
        {"cancel it again", [](Trading &t) { return t.a.cancel("3"); }},
        {"close today, immediate or cancel", [](Trading &t) { return t.a.order('1', '3', 3099, 5, '1'); }},
        {"rest a bid", [](Trading &t) { return t.a.order('0', '0', 3095, 1); }},
        {"move the market across it", [](Trading &t) { return ctpsim_move_price(t.front.c_str(), "rb2705", -6); }, control},
        {"fill or kill", [](Trading &t) { return t.a.order('0', '0', 3105, 100, '1', '3'); }},
        {"refused order", [](Trading &t) { return t.a.order('0', '0', 3095.5, 1); }},
        {"position details", [](Trading &t) { return t.a.query_detail(); }},
        {"margin rates", [](Trading &t) { return t.a.query_margin_rate(); }},
        {"commission rates", [](Trading &t) { return t.a.query_commission_rate(); }},
        {"settlement statement", [](Trading &t) { return t.a.query_statement(); }},
        {"settlement confirmation", [](Trading &t) { return t.a.query_confirmation(); }},
        {"depth", [](Trading &t) { return t.a.query_depth(); }},
        {"exchanges", [](Trading &t) { return t.a.query_exchange(); }},
        {"change the password", [](Trading &t) { return t.a.change_password("123456", "abc123"); }},
        {"a wrong old password", [](Trading &t) { return t.a.change_password("123456", "x"); }},
        {"halt an instrument", [](Trading &t) { return ctpsim_set_status(t.front.c_str(), "rb2705", "1"); }, control},
        {"an order while it is halted", [](Trading &t) { return t.b.order('1', '0', 3101, 1); }},
        {"open it again", [](Trading &t) { return ctpsim_set_status(t.front.c_str(), "rb2705", "2"); }, control},
        {"a trading notice", [](Trading &t) { return ctpsim_trading_notice(t.front.c_str(), "9999", "", "x"); }, control},
        {"rest a bid to be cancelled at the day's end", [](Trading &t) { return t.b.order('0', '0', 3090, 1); }},
        {"log out", [](Trading &t) { return t.a.logout(); }},
        {"settle the day", [](Trading &t) { return ctpsim_settle(t.front.c_str()); }, control},
    };
}

std::vector<Step<Watch>> md_steps() {
    return {
        {"subscribe before login", [](Watch &w) { return w.subscribe({"rb2705"}); }},
        {"log in", [](Watch &w) { return w.login(); }},
        {"log in again", [](Watch &w) { return w.login(); }},
        {"subscribe", [](Watch &w) { return w.subscribe({"rb2705", "nope", "au2706", "rb2705"}); }},
        {"unsubscribe", [](Watch &w) { return w.subscribe({"au2706", "nope"}, false); }},
        {"subscribe again", [](Watch &w) { return w.subscribe({"au2706"}); }},
        {"log out", [](Watch &w) { return w.logout(); }},
        {"log out again", [](Watch &w) { return w.logout(); }},
    };
}

// Runs the steps on sessions of a front that never runs short, then again on
// another front with each step tried with its 1st, 2nd, ... allocation
// failing until it goes through. A Session has the events that arrived
// since last asked, and its state as queries or the market show it.
template <class Session>
void each_step_is_all_or_nothing(const std::string &name, const std::string &flow,
                                 const std::vector<Step<Session>> &steps) {
    auto seen = [](Session &session) {
        auto events = session.events();
        auto state = session.state();
        events.insert(events.end(), state.begin(), state.end());
        return events;
    };
    std::vector<std::vector<std::string>> expected;
    {
        Session reference(name + "-reference", flow);
        for (auto &step : steps) {
            check(step.run(reference) == 0, step.what);
            expected.push_back(seen(reference));
        }
    }
    Session session(name, flow);
    std::size_t index = 0;
    for (auto &step : steps) {
        const auto before = session.state();
        int failures = 0;
        for (long nth = 1;; ++nth) {
            allocations_until_failure = nth;
            const int result = step.run(session);
            const bool ran_short = allocations_until_failure == 0;
            allocations_until_failure = 0;
            if (!ran_short) {
                check(result == 0, step.what);
                break;
            }
            ++failures;
            const auto events = session.events();
            if (result != step.failed || !events.empty() || session.state() != before) {
                std::fprintf(stderr, "%s: allocation %ld failed, result %d, %zu events\n", step.what, nth, result,
                             events.size());
                check(false, "a request that ran short says so and changes nothing");
                break;
            }
        }
        check(failures > 0, step.what);
        const auto now = seen(session);
        if (now != expected[index]) {
            std::fprintf(stderr, "%s: not as on a front that never ran short\n", step.what);
            for (const auto &line : now)
                std::fprintf(stderr, "  got  %s\n", line.c_str());
            for (const auto &line : expected[index])
                std::fprintf(stderr, "  want %s\n", line.c_str());
            check(false, "the session goes on as if memory never ran short");
        }
        ++index;
    }
}

}  // namespace

int main() {
    const auto flow =
        (std::filesystem::temp_directory_path() / ("standin-memory-" + std::to_string(::getpid()))).string();
    ctpsim_query_interval(0);
    each_step_is_all_or_nothing("oom", flow, trading_steps());
    each_step_is_all_or_nothing("oom-md", flow, md_steps());
    a_query_that_ran_short_is_not_counted(flow);
    calls_never_throw_while_logged(flow);
    a_create_that_ran_short_uses_no_serial(flow);
    ctpsim_reset();
    std::filesystem::remove_all(flow);
    if (failures)
        std::fprintf(stderr, "%d checks failed\n", failures);
    return failures ? EXIT_FAILURE : EXIT_SUCCESS;
}
