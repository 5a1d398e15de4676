// The stand-in market-data library: a market-data session sees the front a
// trader session of the same process trades on; subscription replies and
// snapshots; a snapshot on every change, none without one; the random walk;
// buffers scribbled after each callback; tombstones.
#include "ThostFtdcMdApi.h"
#include "ThostFtdcTraderApi.h"
#include "check.h"
#include "ctpsim.h"

#include <atomic>
#include <cfloat>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

using namespace std::chrono_literals;

template <std::size_t N>
void put(char (&field)[N], const char *text) {
    std::memcpy(field, text, std::min(std::strlen(text), N - 1));
}

std::string flow(const char *name) {
    auto dir = std::filesystem::temp_directory_path() / ("standin_md_" + std::to_string(::getpid())) / name;
    return dir.string() + "/";
}

// Keeps what arrives, in order.
struct Feed : CThostFtdcMdSpi {
    std::mutex mutex;
    std::vector<std::string> events;
    std::vector<CThostFtdcDepthMarketDataField> ticks;
    std::vector<CThostFtdcDepthMarketDataField *> pointers;
    std::vector<int> errors;

    void add(const char *name, CThostFtdcRspInfoField *info = nullptr) {
        std::lock_guard lock(mutex);
        events.push_back(name);
        errors.push_back(info ? info->ErrorID : 0);
    }
    void OnFrontConnected() override { add("FrontConnected"); }
    void OnFrontDisconnected(int) override { add("FrontDisconnected"); }
    void OnRspUserLogin(CThostFtdcRspUserLoginField *, CThostFtdcRspInfoField *info, int, bool) override {
        add("RspUserLogin", info);
    }
    void OnRspUserLogout(CThostFtdcUserLogoutField *, CThostFtdcRspInfoField *info, int, bool) override {
        add("RspUserLogout", info);
    }
    void OnRspSubMarketData(CThostFtdcSpecificInstrumentField *r, CThostFtdcRspInfoField *info, int, bool) override {
        add(("RspSubMarketData " + std::string(r ? r->InstrumentID : "")).c_str(), info);
    }
    void OnRspUnSubMarketData(CThostFtdcSpecificInstrumentField *r, CThostFtdcRspInfoField *info, int, bool) override {
        add(("RspUnSubMarketData " + std::string(r ? r->InstrumentID : "")).c_str(), info);
    }
    void OnRtnDepthMarketData(CThostFtdcDepthMarketDataField *r) override {
        std::lock_guard lock(mutex);
        events.push_back("Tick " + std::string(r->InstrumentID));
        errors.push_back(0);
        ticks.push_back(*r);
        pointers.push_back(r);
    }

    std::size_t count() {
        std::lock_guard lock(mutex);
        return events.size();
    }
    bool wait_for(std::size_t n) {
        for (int i = 0; i < 1000 && count() < n; ++i)
            std::this_thread::sleep_for(10ms);
        return count() >= n;
    }
};

struct Trader : CThostFtdcTraderSpi {
    std::atomic<int> connected{0};
    std::atomic<int> replies{0};
    void OnFrontConnected() override { ++connected; }
    void OnRspAuthenticate(CThostFtdcRspAuthenticateField *, CThostFtdcRspInfoField *, int, bool) override { ++replies; }
    void OnRspUserLogin(CThostFtdcRspUserLoginField *, CThostFtdcRspInfoField *, int, bool) override { ++replies; }
    void OnRspSettlementInfoConfirm(CThostFtdcSettlementInfoConfirmField *, CThostFtdcRspInfoField *, int,
                                    bool) override {
        ++replies;
    }
};

void wait_until(const std::atomic<int> &value, int target) {
    for (int i = 0; i < 1000 && value.load() < target; ++i)
        std::this_thread::sleep_for(10ms);
}

CThostFtdcMdApi *open_md(Feed &feed, const char *name, const char *front) {
    CThostFtdcMdApi *api = CThostFtdcMdApi::CreateFtdcMdApi(flow(name).c_str());
    check(api != nullptr, "CreateFtdcMdApi");
    api->RegisterSpi(&feed);
    std::string address = front;
    api->RegisterFront(address.data());
    api->Init();
    check(feed.wait_for(1), "FrontConnected");
    CThostFtdcReqUserLoginField login{};
    check(api->ReqUserLogin(&login, 1) == 0, "ReqUserLogin sent");
    check(feed.wait_for(2), "RspUserLogin");
    return api;
}

void test_subscribe_and_snapshots() {
    Feed feed;
    CThostFtdcMdApi *api = open_md(feed, "a", "sim://md_a");
    char rb[] = "rb2705";
    char nope[] = "nope";
    char *ids[] = {rb, nope};
    check(api->SubscribeMarketData(ids, 2) == 0, "SubscribeMarketData sent");
    check(feed.wait_for(5), "replies and a snapshot");
    {
        std::lock_guard lock(feed.mutex);
        check(feed.events[2] == "RspSubMarketData rb2705" && feed.errors[2] == 0, "rb2705 subscribed");
        check(feed.events[3] == "Tick rb2705", "a snapshot at once");
        check(feed.events[4] == "RspSubMarketData nope" && feed.errors[4] != 0, "an unknown instrument refused");
        const auto &tick = feed.ticks[0];
        check(tick.LastPrice == DBL_MAX && tick.OpenPrice == DBL_MAX, "no trade yet: unset prices");
        check(tick.BidPrice1 == 3099 && tick.AskPrice1 == 3101, "the market's quotes");
        check(tick.BidVolume1 > 0 && tick.AskVolume5 > 0, "five levels");
        check(tick.PreSettlementPrice == 3100 && tick.UpperLimitPrice > 3100 && tick.LowerLimitPrice < 3100,
              "limits from the front");
        check(std::string(tick.ExchangeID) == "SHFE", "exchange");
        // The callback's buffer was scribbled once it returned.
        check(static_cast<unsigned char>(feed.pointers[0]->InstrumentID[0]) == 0xA5, "buffer scribbled");
    }
    // A price move changes the book: one snapshot.
    check(ctpsim_move_price("md_a", "rb2705", 3) == CTPSIM_OK, "move_price");
    check(feed.wait_for(6), "a snapshot on a move");
    {
        std::lock_guard lock(feed.mutex);
        check(feed.ticks.back().BidPrice1 == 3102, "the book moved");
    }
    // Moving back and forth by zero changes nothing: no snapshot.
    check(ctpsim_move_price("md_a", "rb2705", 0) == CTPSIM_OK, "refill");
    std::this_thread::sleep_for(100ms);
    check(feed.count() == 6, "no snapshot without a change");

    // A trader session on the same front trades with the market: the volume
    // and last price show up.
    Trader trader;
    CThostFtdcTraderApi *t = CThostFtdcTraderApi::CreateFtdcTraderApi(flow("t").c_str());
    t->RegisterSpi(&trader);
    char front[] = "sim://md_a";
    t->RegisterFront(front);
    t->Init();
    wait_until(trader.connected, 1);
    CThostFtdcReqAuthenticateField auth{};
    put(auth.BrokerID, "9999");
    put(auth.UserID, "000002");
    put(auth.AppID, "standin_client_1.0");
    put(auth.AuthCode, "0000000000000000");
    t->ReqAuthenticate(&auth, 1);
    wait_until(trader.replies, 1);
    CThostFtdcReqUserLoginField login{};
    put(login.BrokerID, "9999");
    put(login.UserID, "000002");
    put(login.Password, "123456");
    t->ReqUserLogin(&login, 2);
    wait_until(trader.replies, 2);
    CThostFtdcSettlementInfoConfirmField confirm{};
    put(confirm.BrokerID, "9999");
    put(confirm.InvestorID, "000002");
    t->ReqSettlementInfoConfirm(&confirm, 3);
    wait_until(trader.replies, 3);
    CThostFtdcInputOrderField o{};
    put(o.BrokerID, "9999");
    put(o.InvestorID, "000002");
    put(o.UserID, "000002");
    put(o.InstrumentID, "rb2705");
    put(o.ExchangeID, "SHFE");
    o.OrderPriceType = '2';
    o.Direction = '0';
    o.CombOffsetFlag[0] = '0';
    o.CombHedgeFlag[0] = '1';
    o.LimitPrice = 3104;
    o.VolumeTotalOriginal = 2;
    o.TimeCondition = '3';
    o.VolumeCondition = '1';
    o.ContingentCondition = '1';
    o.ForceCloseReason = '0';
    check(t->ReqOrderInsert(&o, 3) == 0, "order sent");
    check(feed.wait_for(7), "a snapshot on a trade");
    {
        std::lock_guard lock(feed.mutex);
        const auto &tick = feed.ticks.back();
        check(tick.Volume == 2 && tick.LastPrice == 3104, "volume and last price of the trade");
        check(tick.Turnover == 2 * 3104 * 10, "turnover");
        check(tick.OpenInterest == 4, "open interest: yesterday's two and today's two");
    }
    t->Release();

    // Unsubscribed, nothing more arrives.
    char *one[] = {rb};
    check(api->UnSubscribeMarketData(one, 1) == 0, "UnSubscribeMarketData sent");
    check(feed.wait_for(8), "RspUnSubMarketData");
    check(ctpsim_move_price("md_a", "rb2705", 1) == CTPSIM_OK, "move_price");
    std::this_thread::sleep_for(100ms);
    check(feed.count() == 8, "no snapshot after unsubscribing");
    api->Release();
    check(ctpsim_alive(ctpsim_api_of(flow("a").c_str())) == 0, "released");
    api->Init();  // a tombstone: counted, harmless
    check(ctpsim_violations() >= 1, "a call after Release is a violation");
    ctpsim_reset();
}

void test_walk() {
    Feed feed;
    CThostFtdcMdApi *api = open_md(feed, "w", "sim://md_w");
    char au[] = "au2706";
    char *ids[] = {au};
    api->SubscribeMarketData(ids, 1);
    check(feed.wait_for(4), "subscribed");
    check(ctpsim_walk("md_w", "au2706", 7, 0.5e6 + 1e6) == CTPSIM_BAD_VALUE, "too fast a walk refused");
    check(ctpsim_walk("md_w", "nope", 7, 100) == CTPSIM_NO_FRONT, "unknown instrument");
    check(ctpsim_walk("md_w", "au2706", 7, 2000) == CTPSIM_OK, "walk started");
    check(feed.wait_for(104), "a hundred ticks from the walk");
    check(ctpsim_walk("md_w", "au2706", 7, 0) == CTPSIM_OK, "walk stopped");
    // Ticks posted to the library's threads before the stop are still delivered.
    std::this_thread::sleep_for(300ms);
    const std::size_t stopped = feed.count();
    std::this_thread::sleep_for(100ms);
    check(feed.count() == stopped, "nothing after the walk stopped");
    ctpsim_walk("md_w", "au2706", 7, 1000);
    ctpsim_reset();  // stops it too
    std::this_thread::sleep_for(300ms);
    const std::size_t reset = feed.count();
    std::this_thread::sleep_for(100ms);
    check(feed.count() == reset, "ctpsim_reset stops walks");
    api->Release();
}

void test_controls() {
    Feed feed;
    CThostFtdcMdApi *api = open_md(feed, "c", "sim://md_c");
    const int serial = ctpsim_api_of(flow("c").c_str());
    check(serial > 0 && ctpsim_alive(serial), "found by flow path");
    CThostFtdcDepthMarketDataField tick{};
    put(tick.InstrumentID, "x");
    check(ctpsim_flood_record(serial, 0, "OnRtnDepthMarketData", &tick, sizeof tick, 100, 10000) == CTPSIM_OK,
          "flood");
    check(feed.count() == 102, "a hundred ticks");
    check(ctpsim_emit(serial, 1, "OnRtnDepthMarketData", &tick, sizeof tick - 1, nullptr, 0, 0, 1, 1000) ==
              CTPSIM_BAD_SIZE,
          "wrong size");
    check(ctpsim_emit(serial, 0, "OnRtnOrder", nullptr, 0, nullptr, 0, 0, 1, 1000) == CTPSIM_NO_CALLBACK,
          "a trader callback is no market-data one");
    check(ctpsim_disconnect(serial, 0x1001) == CTPSIM_OK, "disconnect");
    char rb[] = "rb2705";
    char *ids[] = {rb};
    check(api->SubscribeMarketData(ids, 1) == -1, "nothing sent while disconnected");
    check(ctpsim_reconnect(serial) == CTPSIM_OK, "reconnect");
    check(feed.wait_for(104), "disconnected and connected again");
    api->Release();

    // A trader object has no market-data callbacks either.
    CThostFtdcTraderApi *trader = CThostFtdcTraderApi::CreateFtdcTraderApi(flow("ct").c_str());
    trader->Init();
    check(ctpsim_emit(ctpsim_api_of(flow("ct").c_str()), 0, "OnRtnDepthMarketData", nullptr, 0, nullptr, 0, 0, 1,
                      1000) == CTPSIM_NO_CALLBACK,
          "a market-data callback is no trader one");
    trader->Release();
}

// Forced results come back as they are, whatever they are and whether or not
// a front was reached, as from the trader library.
void test_forced_results() {
    Feed feed;
    CThostFtdcMdApi *api = CThostFtdcMdApi::CreateFtdcMdApi(flow("forced").c_str());
    api->RegisterSpi(&feed);
    char unreachable[] = "tcp://192.0.2.1:1";
    api->RegisterFront(unreachable);
    api->Init();
    char rb[] = "rb2705";
    char *ids[] = {rb};
    CThostFtdcReqUserLoginField login{};
    CThostFtdcUserLogoutField logout{};
    for (int forced : {1, 0, -3}) {
        ctpsim_force_result(1, forced);
        check(api->ReqUserLogin(&login, 1) == forced, "ReqUserLogin forced");
        check(api->ReqUserLogout(&logout, 2) == forced, "ReqUserLogout forced");
        check(api->SubscribeMarketData(ids, 1) == forced, "SubscribeMarketData forced");
        check(api->UnSubscribeMarketData(ids, 1) == forced, "UnSubscribeMarketData forced");
    }
    ctpsim_force_result(0, 0);
    check(api->ReqUserLogin(&login, 3) == -1, "no front reached");
    check(feed.count() == 0, "nothing reached the client");
    api->Release();
}

}  // namespace

int main() {
    test_subscribe_and_snapshots();
    test_walk();
    test_controls();
    test_forced_results();
    std::filesystem::remove_all(std::filesystem::temp_directory_path() / ("standin_md_" + std::to_string(::getpid())));
    if (failures)
        std::fprintf(stderr, "%d checks failed\n", failures);
    return failures != 0;
}
