// The simulated front's clock and trading day through the C++ interface:
// the clock controls, trading sessions and instrument statuses, orders
// refused outside continuous trading, the end of a trading day, and the
// requests and notices that came with them (password, trading notices,
// heartbeat warnings).
#include "ThostFtdcTraderApi.h"
#include "check.h"
#include "ctpsim.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <unistd.h>

namespace {

template <std::size_t N>
void put(char (&field)[N], const char *text) {
    std::memset(field, 0, N);
    std::memcpy(field, text, std::min(std::strlen(text), N - 1));
}

template <class... Args>
std::string format(const char *pattern, Args... args) {
    char out[512];
    std::snprintf(out, sizeof out, pattern, args...);
    return out;
}

std::string error(const CThostFtdcRspInfoField *info) {
    return info && info->ErrorID ? format(" error %d", info->ErrorID) : "";
}

// Every callback as a line.
struct Listener : CThostFtdcTraderSpi {
    std::mutex mutex;
    std::vector<std::string> seen;
    std::vector<CThostFtdcOrderField> orders;
    std::vector<CThostFtdcSettlementInfoField> statement;
    std::string trading_day;

    void note(std::string line) {
        std::lock_guard lock(mutex);
        seen.push_back(std::move(line));
    }
    std::vector<std::string> take() {
        std::lock_guard lock(mutex);
        return std::exchange(seen, {});
    }

    void OnFrontConnected() override { note("connected"); }
    void OnFrontDisconnected(int reason) override { note(format("disconnected %x", reason)); }
    void OnHeartBeatWarning(int lapse) override {
        if (lapse != 0)
            note(format("heartbeat %d", lapse));
    }
    void OnRspAuthenticate(CThostFtdcRspAuthenticateField *, CThostFtdcRspInfoField *info, int, bool) override {
        note("authenticate" + error(info));
    }
    void OnRspUserLogin(CThostFtdcRspUserLoginField *r, CThostFtdcRspInfoField *info, int, bool) override {
        if (r)
            trading_day = r->TradingDay;
        note("login" + error(info) + (r ? std::string(" day ") + r->TradingDay : ""));
    }
    void OnRspSettlementInfoConfirm(CThostFtdcSettlementInfoConfirmField *, CThostFtdcRspInfoField *info, int,
                                    bool) override {
        note("confirm" + error(info));
    }
    void OnRspUserPasswordUpdate(CThostFtdcUserPasswordUpdateField *r, CThostFtdcRspInfoField *info, int,
                                 bool) override {
        note("password" + error(info) + " " + (r ? r->UserID : "-") +
             (r && (r->OldPassword[0] || r->NewPassword[0]) ? " echoed" : ""));
    }
    void OnRspOrderInsert(CThostFtdcInputOrderField *, CThostFtdcRspInfoField *info, int, bool) override {
        note("refused" + error(info));
    }
    void OnRtnOrder(CThostFtdcOrderField *o) override {
        {
            std::lock_guard lock(mutex);
            orders.push_back(*o);
        }
        note(format("order %c day %s at %s %s", o->OrderStatus, o->TradingDay, o->InsertDate, o->InsertTime));
    }
    void OnRtnTrade(CThostFtdcTradeField *t) override { note(format("trade day %s", t->TradingDay)); }
    void OnRtnInstrumentStatus(CThostFtdcInstrumentStatusField *s) override {
        note(format("status %s %c %s %d %c", s->InstrumentID, s->InstrumentStatus, s->EnterTime, s->TradingSegmentSN,
                    s->EnterReason));
    }
    void OnRtnTradingNotice(CThostFtdcTradingNoticeInfoField *n) override {
        note(format("notice %s %d %s", n->InvestorID, n->SequenceNo, n->SendTime) + " " + n->FieldContent);
    }
    void OnRspQryTrade(CThostFtdcTradeField *t, CThostFtdcRspInfoField *, int, bool) override {
        note(t ? format("queried trade %s", t->TradeID) : "queried trade null");
    }
    void OnRspQryInvestorPosition(CThostFtdcInvestorPositionField *p, CThostFtdcRspInfoField *, int,
                                  bool) override {
        note(p ? format("position %s %c %c %d yd %d", p->InstrumentID, p->PosiDirection, p->PositionDate,
                        p->Position, p->YdPosition)
               : "position null");
    }
    void OnRspQrySettlementInfo(CThostFtdcSettlementInfoField *r, CThostFtdcRspInfoField *, int,
                                bool last) override {
        if (r) {
            std::lock_guard lock(mutex);
            statement.push_back(*r);
        }
        note(r ? format("statement %s %d%s", r->TradingDay, r->SequenceNo, last ? " last" : "") : "statement null");
    }
    void OnRspQrySettlementInfoConfirm(CThostFtdcSettlementInfoConfirmField *r, CThostFtdcRspInfoField *, int,
                                       bool) override {
        note(r ? std::string("confirmed ") + r->ConfirmDate : "confirmed null");
    }
};

struct Client {
    Listener spi;
    CThostFtdcTraderApi *api = nullptr;
    int serial = 0;
    std::string user = "000001";
    std::string password = "123456";
    int ids = 0;

    Client(const std::string &front, const std::string &flow) {
        std::filesystem::create_directories(flow);
        api = CThostFtdcTraderApi::CreateFtdcTraderApi((flow + "/").c_str());
        serial = ctpsim_api_of((flow + "/").c_str());
        api->RegisterSpi(&spi);
        std::string address = front;
        api->RegisterFront(address.data());
        api->Init();
        check(events() == std::vector<std::string>{"connected"}, "connected");
    }
    ~Client() { api->Release(); }

    // Every callback so far (a callback run after them on thread 0 marks the end).
    std::vector<std::string> events() {
        ctpsim_emit(serial, 0, "OnHeartBeatWarning", nullptr, 0, nullptr, 0, 0, 1, 10000);
        return spi.take();
    }
    // The events of one request or control, without the instrument statuses
    // unless asked for.
    std::vector<std::string> after(int result, bool statuses = false) {
        check(result == 0, "sent");
        auto all = events();
        if (!statuses)
            std::erase_if(all, [](const std::string &line) { return line.starts_with("status "); });
        return all;
    }
    std::vector<std::string> login() {
        CThostFtdcReqAuthenticateField a{};
        put(a.BrokerID, "9999");
        put(a.UserID, user.c_str());
        put(a.AppID, "standin_client_1.0");
        put(a.AuthCode, "0000000000000000");
        check(api->ReqAuthenticate(&a, ++ids) == 0, "authenticate sent");
        CThostFtdcReqUserLoginField r{};
        put(r.BrokerID, "9999");
        put(r.UserID, user.c_str());
        put(r.Password, password.c_str());
        check(api->ReqUserLogin(&r, ++ids) == 0, "login sent");
        CThostFtdcSettlementInfoConfirmField c{};
        put(c.BrokerID, "9999");
        put(c.InvestorID, user.c_str());
        check(api->ReqSettlementInfoConfirm(&c, ++ids) == 0, "confirm sent");
        return events();
    }
    int order(const char *instrument, char direction, double price, int volume = 1) {
        CThostFtdcInputOrderField o{};
        put(o.BrokerID, "9999");
        put(o.InvestorID, user.c_str());
        put(o.UserID, user.c_str());
        put(o.InstrumentID, instrument);
        o.OrderPriceType = '2';
        o.Direction = direction;
        o.CombOffsetFlag[0] = '0';
        o.CombHedgeFlag[0] = '1';
        o.LimitPrice = price;
        o.VolumeTotalOriginal = volume;
        o.TimeCondition = '3';
        o.VolumeCondition = '1';
        o.ContingentCondition = '1';
        o.ForceCloseReason = '0';
        return api->ReqOrderInsert(&o, ++ids);
    }
    int change_password(const char *user_id, const char *from, const char *to) {
        CThostFtdcUserPasswordUpdateField r{};
        put(r.BrokerID, "9999");
        put(r.UserID, user_id);
        put(r.OldPassword, from);
        put(r.NewPassword, to);
        return api->ReqUserPasswordUpdate(&r, ++ids);
    }
};

std::vector<std::string> lines_with(const std::vector<std::string> &lines, const std::string &part) {
    std::vector<std::string> out;
    for (const auto &line : lines)
        if (line.find(part) != std::string::npos)
            out.push_back(line);
    return out;
}

bool has(const std::vector<std::string> &lines, const std::string &line) {
    return std::ranges::find(lines, line) != lines.end();
}

// ---- the always-continuous calendar ---------------------------------------------------------

void statuses_by_hand(const std::string &flow) {
    Client a("sim://day-hand", flow + "/hand-a");
    Client b("sim://day-hand", flow + "/hand-b");  // connected, never logged in
    const auto logged = a.login();
    // At login, each instrument's status: continuous since the front began.
    const auto statuses = lines_with(logged, "status ");
    check(statuses.size() == 12, "one status per instrument at login");
    check(std::ranges::all_of(statuses, [](const std::string &line) {
              return line.find(" 2 ") != std::string::npos && line.ends_with(" 1 1");
          }),
          "continuous, segment 1, automatic");
    check(logged.front() == "authenticate" && logged[1] == "login day " + a.spi.trading_day, "the login reply first");

    check(ctpsim_set_status("day-hand", "rb2705", "1") == CTPSIM_OK, "halted by hand");
    const auto halted = a.events();
    check(halted.size() == 1 && halted[0].starts_with("status rb2705 1 ") && halted[0].ends_with(" 2 2"),
          "every logged-in session hears of it, manual, segment 2");
    check(b.events().empty(), "a session not logged in hears nothing");
    check(a.after(a.order("rb2705", '0', 3101)) == std::vector<std::string>{"refused error 75"},
          "no order outside continuous trading");
    check(a.after(a.order("au2706", '0', 780.02)).size() == 4, "other instruments trade on");
    check(ctpsim_set_status("day-hand", "rb2705", "2") == CTPSIM_OK, "open again");
    check(a.after(a.order("rb2705", '0', 3101)).size() == 4, "and trading");
    check(ctpsim_set_status("day-hand", "rb2705", "7") == CTPSIM_BAD_VALUE, "no such status");
    check(ctpsim_set_status("day-hand", "rb2705", "") == CTPSIM_BAD_VALUE, "no status");
    check(ctpsim_set_status("day-hand", "xx", "2") == CTPSIM_NO_FRONT, "no such instrument");
    check(ctpsim_set_status("nowhere", "rb2705", "2") == CTPSIM_NO_FRONT, "no such front");
}

// ---- the clock --------------------------------------------------------------------------------

long long clock_of(const char *front) {
    long long ms = 0;
    check(ctpsim_get_clock(front, &ms) == CTPSIM_OK, "clock read");
    return ms;
}

void clock_controls(const std::string &flow) {
    Client a("sim://day-clock", flow + "/clock");
    a.login();
    // The machine's local time to begin with.
    const auto machine = [] {
        const std::time_t now = std::time(nullptr);
        std::tm parts{};
        ::localtime_r(&now, &parts);
        return (static_cast<long long>(now) + parts.tm_gmtoff) * 1000;
    };
    check(std::llabs(clock_of("day-clock") - machine()) < 5000, "the machine's time");

    const long long at = 20090LL * 86400000 + (9 * 3600 + 30 * 60) * 1000LL + 250;  // 2025-01-02 09:30:00.250
    check(ctpsim_set_clock("day-clock", "20250102 09:30:00.250") == CTPSIM_OK, "set");
    const long long read = clock_of("day-clock");
    check(read >= at && read < at + 2000, "runs on from the time set");
    check(ctpsim_freeze_clock("day-clock", 1) == CTPSIM_OK, "frozen");
    const long long frozen = clock_of("day-clock");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    check(clock_of("day-clock") == frozen, "stands");
    check(ctpsim_advance_clock("day-clock", 1500) == CTPSIM_OK && clock_of("day-clock") == frozen + 1500,
          "advanced to the millisecond");
    check(ctpsim_set_clock("day-clock", "20250102 10:00:00") == CTPSIM_OK, "set while frozen");
    check(clock_of("day-clock") == 20090LL * 86400000 + 36000000, "stands at the time set");
    // Records carry the clock's date and time.
    const auto placed = a.after(a.order("rb2705", '0', 3101));
    check(!placed.empty() && placed[0].ends_with(" at 20250102 10:00:00"), "an order's insert date and time");
    check(ctpsim_freeze_clock("day-clock", 0) == CTPSIM_OK, "runs again");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    check(clock_of("day-clock") > 20090LL * 86400000 + 36000000, "from where it stood");

    for (const char *bad : {"2025-01-02 10:00:00", "20250230 10:00:00", "20250102 24:00:00", "20250102 10:00",
                            "20250102 10:00:00.5", "20250102T10:00:00"})
        check(ctpsim_set_clock("day-clock", bad) == CTPSIM_BAD_VALUE, bad);
    check(ctpsim_advance_clock("day-clock", -1) == CTPSIM_BAD_VALUE, "only forward");
    check(ctpsim_set_clock("nowhere", "20250102 10:00:00") == CTPSIM_NO_FRONT, "no such front");
    check(ctpsim_set_clock("day-clock", nullptr) == CTPSIM_OK, "the machine's time again");
    check(std::llabs(clock_of("day-clock") - machine()) < 5000, "follows the machine");
}

// ---- the exchange calendar --------------------------------------------------------------------

std::string write_config(const std::string &flow, const std::string &text) {
    const std::string path = flow + "/calendar.conf";
    std::ofstream(path) << text;
    return path;
}

void a_day_and_a_night(const std::string &flow) {
    std::filesystem::create_directories(flow);
    // Thursday evening: trading day Friday 20250103, whose night session is tonight.
    const std::string config = write_config(flow, "calendar = exchange\nclock = 20250102 20:50:00\nfreeze_clock = 1\n");
    const std::string front = "sim://day-calendar?config=" + config;
    ctpsim_query_interval(0);
    Client a(front, flow + "/calendar-a");
    const auto logged = a.login();
    check(a.spi.trading_day == "20250103", "the night belongs to the next trading day");
    const auto statuses = lines_with(logged, "status ");
    check(statuses.size() == 12 && has(statuses, "status rb2705 0 20:00:00 1 1") &&
              has(statuses, "status IF2703 0 20:00:00 1 1"),
          "before trading since the day began at 20:00");
    check(a.after(a.order("rb2705", '0', 3101)) == std::vector<std::string>{"refused error 75"}, "not yet");

    const char *name = "day-calendar";
    check(ctpsim_advance_clock(name, 5 * 60000) == CTPSIM_OK, "20:55");
    auto moved = a.events();
    check(moved.size() == 8 && has(moved, "status rb2705 3 20:55:00 2 1") && has(moved, "status sc2703 3 20:55:00 2 1"),
          "the night's products open their auction");
    check(ctpsim_advance_clock(name, 5 * 60000) == CTPSIM_OK, "21:00");
    moved = a.events();
    check(moved.size() == 16 && moved[0] == "status rb2705 5 20:59:00 3 1" && moved[8] == "status rb2705 2 21:00:00 4 1",
          "every change crossed, in time order: matching, then continuous trading");
    const auto placed = a.after(a.order("rb2705", '0', 3102, 3));
    check(has(placed, "order 0 day 20250103 at 20250102 21:00:00") && has(placed, "trade day 20250103"),
          "orders and trades carry the next trading day");
    check(a.after(a.order("IF2703", '0', 3900.2)) == std::vector<std::string>{"refused error 75"},
          "an index future has no night session");
    check(a.after(a.order("rb2705", '0', 3050)).size() == 2, "a bid that waits");

    check(ctpsim_set_clock(name, "20250103 01:00:00") == CTPSIM_OK, "past midnight");
    moved = a.events();
    check(has(moved, "status rb2705 1 23:00:00 5 1") && has(moved, "status cu2702 1 01:00:00 5 1") &&
              !lines_with(moved, "au2706").size(),
          "the short nights have closed, gold trades to 02:30");
    check(ctpsim_set_clock(name, "20250103 09:00:00") == CTPSIM_OK, "the morning");
    moved = a.events();
    check(has(moved, "status au2706 1 02:30:00 5 1") && has(moved, "status rb2705 2 09:00:00 6 1") &&
              has(moved, "status si2705 3 08:55:00 2 1") && has(moved, "status si2705 2 09:00:00 4 1"),
          "the day opens; products without a night have their auction now");
    check(ctpsim_set_clock(name, "20250103 15:00:00") == CTPSIM_OK, "the close");
    moved = a.events();
    check(has(moved, "status rb2705 6 15:00:00 11 1") && has(moved, "status T2703 2 13:00:00 6 1") &&
              lines_with(moved, "status T2703 6").empty(),
          "closed after the last session; bonds trade to 15:15");

    // 20:00: the day ends. The waiting bid is cancelled, the sessions drop
    // and come back, and Friday's night belongs to Monday.
    check(ctpsim_set_clock(name, "20250103 20:00:00") == CTPSIM_OK, "the day's end");
    moved = a.events();
    const auto cancelled = lines_with(moved, "order 5");
    check(cancelled.size() == 1 && moved.size() >= 3 && moved[moved.size() - 2] == "disconnected 1001" &&
              moved.back() == "connected",
          "waiting orders end, then the session restarts");
    const auto again = a.login();
    check(a.spi.trading_day == "20250106" && has(again, "status rb2705 0 20:00:00 1 1"),
          "Monday's trading day, before trading");
    a.spi.take();
    CThostFtdcQryTradeField trades{};
    check(a.api->ReqQryTrade(&trades, ++a.ids) == 0, "trades queried");
    CThostFtdcQryInvestorPositionField positions{};
    check(a.api->ReqQryInvestorPosition(&positions, ++a.ids) == 0, "positions queried");
    CThostFtdcQrySettlementInfoField statement{};
    check(a.api->ReqQrySettlementInfo(&statement, ++a.ids) == 0, "statement queried");
    const auto books = a.events();
    check(books[0] == "queried trade null", "a new day, no trades");
    check(books[1] == "position rb2705 2 2 5 yd 5", "yesterday's 2 and today's 3 are yesterday's now");
    check(books[2].starts_with("statement 20250103 1") && books.back().ends_with(" last"), "Friday's statement");
    // A clock that jumps days settles once, into the day it shows.
    check(ctpsim_set_clock(name, "20250109 10:00:00") == CTPSIM_OK, "a jump");
    moved = a.events();
    check(moved.size() >= 2 && moved[moved.size() - 2] == "disconnected 1001", "settled");
    a.login();
    check(a.spi.trading_day == "20250109", "the clock's trading day");
    ctpsim_query_interval(1000);
}

// A running clock's changes come when they fall due, with no request to
// bring them: the library's thread makes them.
void a_running_clock(const std::string &flow) {
    std::filesystem::create_directories(flow + "/running");
    const std::string path = flow + "/running/calendar.conf";
    std::ofstream(path) << "calendar = exchange\nclock = 20250102 20:54:59.700\n";
    Client a("sim://day-running?config=" + path, flow + "/running-a");
    a.login();
    std::vector<std::string> seen;
    for (int i = 0; i < 500 && lines_with(seen, "status rb2705 3 20:55:00").empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        for (auto &line : a.events())
            seen.push_back(line);
    }
    check(has(seen, "status rb2705 3 20:55:00 2 1"), "the auction opened on time by itself");
}

// ---- the requests and notices that came with it ------------------------------------------------

void password_notices_and_warnings(const std::string &flow) {
    Client a("sim://day-password", flow + "/password-a");
    a.login();
    check(a.after(a.change_password("000001", "wrong", "654321")) == std::vector<std::string>{"password error 61 000001"},
          "a wrong old password is refused");
    check(a.after(a.change_password("000001", "123456", "")) == std::vector<std::string>{"password error 62 000001"},
          "an empty new one too");
    check(a.after(a.change_password("000002", "123456", "654321")) ==
              std::vector<std::string>{"password error 7 000002"},
          "and another user's");
    check(a.after(a.change_password("000001", "123456", "654321")) == std::vector<std::string>{"password 000001"},
          "changed; the reply never carries a password");
    {
        Client b("sim://day-password", flow + "/password-b");
        const auto refused = b.login();
        check(refused.size() > 1 && refused[1] == "login error 60", "the old password no longer logs in");
    }
    Client c("sim://day-password", flow + "/password-c");
    c.password = "654321";
    check(c.login()[1].starts_with("login day"), "the new one does");

    check(ctpsim_trading_notice("day-password", "9999", "", "market closes early") == CTPSIM_OK, "a notice");
    const auto heard = a.events();
    check(heard.size() == 1 && heard[0].starts_with("notice 000001 1 ") && heard[0].ends_with(" market closes early"),
          "to every logged-in session of the broker");
    check(c.events().size() == 1, "both sessions");
    check(ctpsim_trading_notice("day-password", "9999", "000002", "to beta") == CTPSIM_OK && a.events().empty(),
          "addressed to another investor");
    check(ctpsim_trading_notice("day-password", "", "", std::string(500, 'x').c_str()) == CTPSIM_OK,
          "500 bytes fit");
    check(lines_with(a.events(), "notice 000001 3 ").size() == 1, "numbered on the front");
    check(ctpsim_trading_notice("day-password", "", "", std::string(501, 'x').c_str()) == CTPSIM_BAD_VALUE,
          "501 do not");

    check(ctpsim_heartbeat_warning(a.serial, 17) == CTPSIM_OK, "a heartbeat warning");
    check(a.events() == std::vector<std::string>{"heartbeat 17"}, "in order with the session's callbacks");
    check(ctpsim_disconnect(a.serial, 0x2001) == CTPSIM_OK, "dropped");
    check(ctpsim_heartbeat_warning(a.serial, 17) == CTPSIM_BAD_VALUE, "no warning while disconnected");
    check(ctpsim_heartbeat_warning(99999, 1) == CTPSIM_NO_API, "no such object");
}

}  // namespace

int main() {
    const auto flow =
        (std::filesystem::temp_directory_path() / ("standin-day-" + std::to_string(::getpid()))).string();
    statuses_by_hand(flow);
    clock_controls(flow);
    a_day_and_a_night(flow);
    a_running_clock(flow);
    password_notices_and_warnings(flow);
    std::filesystem::remove_all(flow);
    if (failures)
        std::fprintf(stderr, "%d checks failed\n", failures);
    return failures ? 1 : 0;
}
