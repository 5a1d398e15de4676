// Replay: a front plays a tape; ticks are posted a window ahead of the reader,
// the market moves through a tick only when the reader takes it, and the fills
// it causes have reached the trading session when the take returns; the end
// of the tape drops the market-data sessions; bad addresses stay unreachable.
// Run under ThreadSanitizer too: the player, the reader and the sessions'
// threads meet at the front's lock.
#include "ThostFtdcMdApi.h"
#include "ThostFtdcTraderApi.h"
#include "check.h"
#include "ctpsim.h"
#include "replay.h"

#include <atomic>
#include <cfloat>
#include <chrono>
#include <cstdio>
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

std::filesystem::path dir() {
    auto path = std::filesystem::temp_directory_path() / ("standin_replay_" + std::to_string(::getpid()));
    std::filesystem::create_directories(path);
    return path;
}

// rb2705 at 09:00:n.250 with one level a side.
standin::TapeRecord tick(int n, double bid, double ask, int ask_volume = 5) {
    standin::TapeRecord r{};
    put(r.TradingDay, "20261208");
    put(r.ActionDay, "20261208");
    const std::string time = "09:" + std::string(n / 60 % 60 < 10 ? "0" : "") + std::to_string(n / 60 % 60) + ":" +
                             std::string(n % 60 < 10 ? "0" : "") + std::to_string(n % 60);
    put(r.UpdateTime, time.c_str());
    r.UpdateMillisec = 250;
    put(r.ExchangeID, "SHFE");
    put(r.InstrumentID, "rb2705");
    r.LastPrice = r.PreSettlementPrice = r.PreClosePrice = r.OpenPrice = r.HighestPrice = r.LowestPrice =
        r.ClosePrice = r.SettlementPrice = r.AveragePrice = DBL_MAX;
    r.UpperLimitPrice = 3348;
    r.LowerLimitPrice = 2852;
    for (auto &level : r.levels)
        level = {DBL_MAX, 0, DBL_MAX, 0};
    r.levels[0] = {bid, 5, ask, ask_volume};
    return r;
}

std::string write_tape(const char *name, const std::vector<standin::TapeRecord> &records) {
    const std::string path = (dir() / name).string();
    std::FILE *file = std::fopen(path.c_str(), "wb");
    const std::uint32_t size = sizeof(standin::TapeRecord), zero = 0;
    std::fwrite(standin::tape_magic, 8, 1, file);
    std::fwrite(&size, 4, 1, file);
    std::fwrite(&zero, 4, 1, file);
    std::fwrite(records.data(), sizeof(standin::TapeRecord), records.size(), file);
    std::fclose(file);
    return path;
}

struct Feed : CThostFtdcMdSpi {
    std::atomic<int> connected{0}, logged_in{0}, ticks{0}, dropped{0}, reason{0};
    void OnFrontConnected() override { ++connected; }
    void OnFrontDisconnected(int why) override {
        reason = why;
        ++dropped;
    }
    void OnRspUserLogin(CThostFtdcRspUserLoginField *, CThostFtdcRspInfoField *, int, bool) override { ++logged_in; }
    void OnRtnDepthMarketData(CThostFtdcDepthMarketDataField *) override { ++ticks; }
};

struct Trader : CThostFtdcTraderSpi {
    std::atomic<int> connected{0}, replies{0}, trades{0};
    std::mutex mutex;
    std::vector<double> prices;
    void OnFrontConnected() override { ++connected; }
    void OnRspAuthenticate(CThostFtdcRspAuthenticateField *, CThostFtdcRspInfoField *, int, bool) override { ++replies; }
    void OnRspUserLogin(CThostFtdcRspUserLoginField *, CThostFtdcRspInfoField *, int, bool) override { ++replies; }
    void OnRspSettlementInfoConfirm(CThostFtdcSettlementInfoConfirmField *, CThostFtdcRspInfoField *, int,
                                    bool) override {
        ++replies;
    }
    void OnRtnTrade(CThostFtdcTradeField *trade) override {
        std::lock_guard lock(mutex);
        prices.push_back(trade->Price);
        ++trades;
    }
};

bool wait_until(const std::atomic<int> &value, int target) {
    for (int i = 0; i < 1000 && value.load() < target; ++i)
        std::this_thread::sleep_for(10ms);
    return value.load() >= target;
}

CThostFtdcMdApi *open_md(Feed &feed, const char *name, const std::string &front) {
    CThostFtdcMdApi *api = CThostFtdcMdApi::CreateFtdcMdApi((dir() / name).string().append("/").c_str());
    api->RegisterSpi(&feed);
    std::string address = front;
    api->RegisterFront(address.data());
    api->Init();
    return api;
}

CThostFtdcTraderApi *open_trader(Trader &trader, const std::string &front) {
    CThostFtdcTraderApi *t = CThostFtdcTraderApi::CreateFtdcTraderApi((dir() / "t").string().append("/").c_str());
    t->RegisterSpi(&trader);
    std::string address = front;
    t->RegisterFront(address.data());
    t->Init();
    check(wait_until(trader.connected, 1), "trader connected");
    CThostFtdcReqAuthenticateField auth{};
    put(auth.BrokerID, "9999");
    put(auth.UserID, "000002");
    put(auth.AppID, "standin_client_1.0");
    put(auth.AuthCode, "0000000000000000");
    t->ReqAuthenticate(&auth, 1);
    CThostFtdcReqUserLoginField login{};
    put(login.BrokerID, "9999");
    put(login.UserID, "000002");
    put(login.Password, "123456");
    check(wait_until(trader.replies, 1), "authenticated");
    t->ReqUserLogin(&login, 2);
    check(wait_until(trader.replies, 2), "logged in");
    CThostFtdcSettlementInfoConfirmField confirm{};
    put(confirm.BrokerID, "9999");
    put(confirm.InvestorID, "000002");
    t->ReqSettlementInfoConfirm(&confirm, 3);
    check(wait_until(trader.replies, 3), "confirmed");
    return t;
}

void test_lockstep_fills_and_the_end() {
    std::vector<standin::TapeRecord> records;
    for (int n = 0; n < 40; ++n)
        records.push_back(tick(n, 3099, 3101));
    records[30] = tick(30, 3095, 3097, 1);  // reaches the resting bid at 3098: 1 lot
    records[31] = tick(31, 3095, 3096, 9);  // the other lot
    const std::string front = "sim://replay_a?replay=" + write_tape("a.tape", records) + "&window=8";
    Trader trader;
    CThostFtdcTraderApi *t = open_trader(trader, front);
    Feed feed;
    CThostFtdcMdApi *md = open_md(feed, "a", front);
    check(wait_until(feed.connected, 1), "md connected");
    CThostFtdcReqUserLoginField login{};
    md->ReqUserLogin(&login, 1);
    check(wait_until(feed.logged_in, 1), "md logged in");
    long long posted = -1, taken = -1;
    int ended = -1;
    std::this_thread::sleep_for(50ms);
    check(ctpsim_replay_state("replay_a", &posted, &taken, &ended) == CTPSIM_OK && posted == 0,
          "nothing posted before a subscription");
    char rb[] = "rb2705";
    char *ids[] = {rb};
    md->SubscribeMarketData(ids, 1);
    check(wait_until(feed.ticks, 8), "a window of ticks");
    std::this_thread::sleep_for(50ms);
    check(feed.ticks.load() == 8, "no more than the window ahead");
    long long clock = 0;
    check(ctpsim_get_clock("replay_a", &clock) == CTPSIM_OK, "clock");
    check(ctpsim_replay_take("replay_a", 1) == CTPSIM_OK, "take the first");
    long long after = 0;
    ctpsim_get_clock("replay_a", &after);
    check(after % standin::millis_per_day == (9 * 3600 + 0) * 1000 + 250, "the clock at the first tick");
    // A bid of 2 lots at 3098 rests (the ask is 3101).
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
    o.LimitPrice = 3098;
    o.VolumeTotalOriginal = 2;
    o.TimeCondition = '3';
    o.VolumeCondition = '1';
    o.ContingentCondition = '1';
    o.ForceCloseReason = '0';
    check(t->ReqOrderInsert(&o, 4) == 0, "order sent");
    // The reader takes tick after tick on its own thread; the fills of tick 31
    // (index 30) have been delivered when its take returns.
    std::atomic<int> trades_after_30{-1}, trades_after_31{-1}, trades_after_32{-1};
    std::thread reader([&] {
        for (int n = 2; n <= 40; ++n) {
            while (feed.ticks.load() < n)
                std::this_thread::sleep_for(1ms);
            ctpsim_replay_take("replay_a", n);
            if (n == 30)
                trades_after_30 = trader.trades.load();
            if (n == 31)
                trades_after_31 = trader.trades.load();
            if (n == 32)
                trades_after_32 = trader.trades.load();
        }
    });
    reader.join();
    check(trades_after_30.load() == 0, "no fill before the ask reaches the bid");
    check(trades_after_31.load() == 1, "one lot, delivered when the take returned");
    check(trades_after_32.load() == 2, "the other at the next tick");
    {
        std::lock_guard lock(trader.mutex);
        check(trader.prices == std::vector<double>{3098, 3098}, "at the resting order's price");
    }
    check(wait_until(feed.dropped, 1) && feed.reason.load() == CTPSIM_REPLAY_ENDED, "dropped at the end");
    check(ctpsim_replay_state("replay_a", &posted, &taken, &ended) == CTPSIM_OK && posted == 40 && taken == 40 &&
              ended == 1,
          "ended");
    check(ctpsim_replay_take("replay_a", 41) == CTPSIM_BAD_VALUE, "no more than was posted");
    check(ctpsim_replay_take("md_nope", 1) == CTPSIM_NO_FRONT, "no such front");
    md->Release();
    t->Release();
}

void test_bad_addresses_stay_unreachable() {
    const std::string tape = write_tape("b.tape", {tick(0, 3099, 3101)});
    for (const std::string &query : {"replay=" + (dir() / "none.tape").string(), "replay=" + tape + "&speed=0",
                                    "replay=" + tape + "&window=0", "replay=" + tape + "&start=tomorrow",
                                    std::string("speed=2"), "replay=" + tape + "&x"}) {
        static int n = 0;
        Feed feed;
        const std::string front = "sim://replay_bad" + std::to_string(++n) + "?" + query;
        CThostFtdcMdApi *md = open_md(feed, "bad", front);
        std::this_thread::sleep_for(50ms);
        check(feed.connected.load() == 0, ("unreachable: " + query).c_str());
        md->Release();
    }
    // A front that does not replay refuses the controls.
    check(ctpsim_replay_take("replay_a_not", 1) == CTPSIM_NO_FRONT, "unknown front");
}

}  // namespace

int main() {
    test_lockstep_fills_and_the_end();
    test_bad_addresses_stay_unreachable();
    std::filesystem::remove_all(dir());
    if (failures)
        std::fprintf(stderr, "%d check(s) failed\n", failures);
    return failures ? 1 : 0;
}
