// The unruly front through the C++ interface: its keys in configuration files
// and ctpsim_behave, the same choices for the same seed, and event-driven
// clients trading on several threads while the front drops them, refuses
// their logins, fails them over between doors and answers in batches from
// its timer thread. A deadlock shows as a test that never ends (ctest's
// timeout); a data race under ThreadSanitizer.
#include "ThostFtdcTraderApi.h"
#include "check.h"
#include "ctpsim.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

using namespace std::chrono_literals;

template <std::size_t N>
void put(char (&field)[N], const char *text) {
    std::memcpy(field, text, std::min(std::strlen(text), N - 1));  // the record starts zeroed
}

CThostFtdcInputOrderField order(const char *user, char direction, double price, int volume) {
    CThostFtdcInputOrderField o{};
    put(o.BrokerID, "9999");
    put(o.InvestorID, user);
    put(o.UserID, user);
    put(o.InstrumentID, "rb2705");
    put(o.ExchangeID, "SHFE");
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
    return o;
}

std::string choices(const char *front) {
    const long long length = ctpsim_choices(front, nullptr, 0);
    if (length < 0)
        return "error";
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    ctpsim_choices(front, text.data(), text.size());
    text.resize(static_cast<std::size_t>(length));
    return text;
}

// Logs in again after every connection, from inside the callbacks, retrying a
// login the front is not ready for; counts what it saw.
struct Client : CThostFtdcTraderSpi {
    CThostFtdcTraderApi *api = nullptr;
    const char *user = "000001";
    std::atomic<bool> ready{false};
    std::atomic<int> connects{0};
    std::atomic<int> drops{0};
    std::atomic<int> refused_logins{0};
    std::atomic<int> orders{0};
    std::atomic<int> trades{0};
    std::atomic<int> replies{0};
    int ids = 0;

    void OnFrontConnected() override {
        ++connects;
        CThostFtdcReqAuthenticateField r{};
        put(r.BrokerID, "9999");
        put(r.UserID, user);
        put(r.AppID, "standin_client_1.0");
        put(r.AuthCode, "0000000000000000");
        api->ReqAuthenticate(&r, ++ids);
    }
    void OnFrontDisconnected(int) override {
        ++drops;
        ready = false;
    }
    void login() {
        CThostFtdcReqUserLoginField r{};
        put(r.BrokerID, "9999");
        put(r.UserID, user);
        put(r.Password, "123456");
        api->ReqUserLogin(&r, ++ids);
    }
    void OnRspAuthenticate(CThostFtdcRspAuthenticateField *, CThostFtdcRspInfoField *, int, bool) override {
        login();
    }
    void OnRspUserLogin(CThostFtdcRspUserLoginField *, CThostFtdcRspInfoField *info, int, bool) override {
        if (info && info->ErrorID == 8) {
            ++refused_logins;
            login();
            return;
        }
        CThostFtdcSettlementInfoConfirmField r{};
        put(r.BrokerID, "9999");
        put(r.InvestorID, user);
        api->ReqSettlementInfoConfirm(&r, ++ids);
    }
    void OnRspSettlementInfoConfirm(CThostFtdcSettlementInfoConfirmField *, CThostFtdcRspInfoField *, int,
                                    bool) override {
        ready = true;
    }
    void OnRtnOrder(CThostFtdcOrderField *) override { ++orders; }
    void OnRtnTrade(CThostFtdcTradeField *) override { ++trades; }
    void OnRspQryInstrument(CThostFtdcInstrumentField *, CThostFtdcRspInfoField *, int, bool) override { ++replies; }
};

bool eventually(const std::atomic<bool> &flag) {
    for (int i = 0; i < 5000 && !flag; ++i)
        std::this_thread::sleep_for(1ms);
    return flag;
}

void start(Client &client, const std::vector<std::string> &fronts, const std::string &flow,
           THOST_TE_RESUME_TYPE resume = THOST_TERT_QUICK) {
    std::filesystem::create_directories(flow);
    client.api = CThostFtdcTraderApi::CreateFtdcTraderApi((flow + "/").c_str());
    client.api->RegisterSpi(&client);
    client.api->SubscribePrivateTopic(resume, 0);
    client.api->SubscribePublicTopic(resume);
    for (std::string address : fronts)
        client.api->RegisterFront(address.data());
    client.api->Init();
}

void stop(Client &client) {
    client.api->RegisterSpi(nullptr);
    client.api->Release();
}

void keys_are_checked(const std::string &flow) {
    // A configuration's front section takes the behaviours; a bad one leaves
    // the front unreachable.
    const std::string good = flow + "/good.conf";
    std::ofstream(good) << "front_id = 3\nunruly = 9\nnot_ready = 0\ndrop = 0\nquery_batch = 2\ndown = 1, 3\n";
    const std::string bad = flow + "/bad.conf";
    std::ofstream(bad) << "fill_first = 2\n";
    Client configured;
    start(configured, {"sim://conf?config=" + good, "sim://conf/3", "sim://conf/2"}, flow + "/configured");
    check(eventually(configured.ready), "logged in through door 2, doors 1 and 3 down");
    Client refused;
    start(refused, {"sim://badconf?config=" + bad}, flow + "/refused");
    std::this_thread::sleep_for(50ms);
    check(refused.connects == 0, "a bad behaviour in the file: unreachable");
    stop(configured);
    stop(refused);

    struct Case {
        const char *key;
        const char *value;
        int result;
    };
    constexpr Case cases[] = {
        {"fill_first", "0.25", CTPSIM_OK},      {"fill_first", "1.5", CTPSIM_BAD_VALUE},
        {"drop_reason", "0x2003", CTPSIM_OK},   {"drop_reason", "0x2004", CTPSIM_BAD_VALUE},
        {"query_rate", "0", CTPSIM_BAD_VALUE},  {"query_backlog", "1001", CTPSIM_BAD_VALUE},
        {"down", "1 64", CTPSIM_OK},            {"down", "65", CTPSIM_BAD_VALUE},
        {"down", "", CTPSIM_OK},                {"unruly", "off", CTPSIM_OK},
        {"unruly", "-1", CTPSIM_BAD_VALUE},     {"seed", "18446744073709551615", CTPSIM_OK},
        {"weather", "stormy", CTPSIM_BAD_VALUE}, {"drop_moment", "4", CTPSIM_BAD_VALUE},
    };
    for (const Case &c : cases)
        check(ctpsim_behave("conf", c.key, c.value) == c.result, c.key);
    check(ctpsim_behave("nowhere", "drop", "0") == CTPSIM_NO_FRONT, "an unknown front");
}

// The same requests on two fronts with the same seed make the same choices.
std::string scripted(const char *name, const std::string &flow, const char *seed) {
    Client client;
    start(client, {std::string("sim://") + name}, flow);
    check(eventually(client.ready), "logged in");
    ctpsim_behave(name, "unruly", seed);
    ctpsim_behave(name, "drop", "0");
    ctpsim_behave(name, "not_ready", "0");
    for (int n = 0; n < 20; ++n) {
        auto o = order("000001", n % 2 ? '1' : '0', n % 2 ? 3099 : 3101, 1 + n % 12);
        client.api->ReqOrderInsert(&o, 100 + n);
    }
    stop(client);
    return choices(name);
}

void same_seed_same_choices(const std::string &flow) {
    ctpsim_query_interval(0);
    const std::string first = scripted("seeded1", flow + "/seeded1", "42");
    const std::string second = scripted("seeded2", flow + "/seeded2", "42");
    const std::string other = scripted("seeded3", flow + "/seeded3", "43");
    check(!first.empty() && first == second, "the same seed: the same choices");
    check(first != other, "another seed: other choices");
}

void many_threads_on_an_unruly_front(const std::string &flow) {
    constexpr int sessions = 4;
    constexpr int rounds = 300;
    const std::vector<std::string> doors = {"sim://wild", "sim://wild/2", "sim://wild/3"};
    constexpr THOST_TE_RESUME_TYPE resumes[] = {THOST_TERT_QUICK, THOST_TERT_RESTART, THOST_TERT_RESUME,
                                                THOST_TERT_QUICK};
    std::vector<Client> clients(sessions);
    for (int i = 0; i < sessions; ++i) {
        clients[i].user = i % 2 ? "000002" : "000001";
        start(clients[i], doors, flow + "/wild" + std::to_string(i), resumes[i]);
        check(eventually(clients[i].ready), "logged in");
    }
    ctpsim_query_interval(0);
    check(ctpsim_behave("wild", "unruly", "7") == CTPSIM_OK, "unruly");
    ctpsim_behave("wild", "drop", "0.02");
    ctpsim_behave("wild", "reconnect", "2");
    ctpsim_behave("wild", "query_pause", "2");
    std::atomic<bool> trading{true};
    std::vector<std::thread> threads;
    for (int i = 0; i < sessions; ++i)
        threads.emplace_back([&, i] {
            for (int n = 0; n < rounds; ++n) {
                auto o = order(clients[i].user, n % 2 ? '1' : '0', 3100 + (n % 5) - 2, 1 + n % 3);
                clients[i].api->ReqOrderInsert(&o, n);
                CThostFtdcQryInstrumentField q{};
                clients[i].api->ReqQryInstrument(&q, n);
                if (n % 50 == 0)
                    std::this_thread::sleep_for(1ms);
            }
        });
    threads.emplace_back([&] {
        for (int n = 0; trading; ++n) {
            ctpsim_move_price("wild", "rb2705", n % 2 ? 1 : -1);
            std::this_thread::sleep_for(100us);
        }
    });
    threads.emplace_back([&] {
        // Doors go down and come back; at least one stays up.
        for (int n = 0; trading; ++n) {
            ctpsim_behave("wild", "down", n % 3 == 0 ? "1" : n % 3 == 1 ? "2 3" : "");
            std::this_thread::sleep_for(1ms);
        }
    });
    for (int i = 0; i < sessions; ++i)
        threads[i].join();
    trading = false;
    for (std::size_t i = sessions; i < threads.size(); ++i)
        threads[i].join();
    ctpsim_behave("wild", "unruly", "off");
    ctpsim_behave("wild", "down", "");
    int drops = 0;
    int orders = 0;
    for (auto &client : clients) {
        drops += client.drops;
        orders += client.orders;
        check(eventually(client.ready), "logged in again once the front is orderly");
        stop(client);
    }
    check(drops > 0 && orders > 0, "sessions were dropped and traded");
    check(choices("wild").find("fill first") != std::string::npos, "fills came first");
    check(ctpsim_violations() == 0, "no call reached a released object");
}

}  // namespace

int main() {
    const auto flow = (std::filesystem::temp_directory_path() / ("standin-unruly-" + std::to_string(::getpid())))
                          .string();
    std::filesystem::create_directories(flow);
    keys_are_checked(flow);
    same_seed_same_choices(flow);
    many_threads_on_an_unruly_front(flow);
    std::filesystem::remove_all(flow);
    if (failures)
        std::fprintf(stderr, "%d checks failed\n", failures);
    return failures ? 1 : 0;
}
