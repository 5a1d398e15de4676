// The simulated front under clients that the Python module never is: one that
// sends requests and releases its API object from inside callbacks, and
// several threads trading, moving prices and dropping connections at once.
// A deadlock shows as a test that never ends (ctest's timeout).
#include "ThostFtdcTraderApi.h"
#include "check.h"
#include "ctpsim.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <source_location>
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

// Logs in from inside the callbacks, one step per reply, like an
// event-driven client; optionally releases its API object when its order
// has traded, from inside that callback.
struct Client : CThostFtdcTraderSpi {
    CThostFtdcTraderApi *api = nullptr;
    const char *user = "000001";
    bool release_on_trade = false;
    std::atomic<bool> ready{false};
    std::atomic<bool> released{false};
    std::atomic<int> trades{0};
    std::atomic<int> errors{0};
    std::atomic<int> unsent{0};  // -1 while the connection is down is fair under churn
    int ids = 0;

    void sent(int result) { unsent += result != 0; }

    void OnFrontConnected() override {
        CThostFtdcReqAuthenticateField r{};
        put(r.BrokerID, "9999");
        put(r.UserID, user);
        put(r.AppID, "standin_client_1.0");
        put(r.AuthCode, "0000000000000000");
        sent(api->ReqAuthenticate(&r, ++ids));
    }
    void OnRspAuthenticate(CThostFtdcRspAuthenticateField *, CThostFtdcRspInfoField *info, int, bool) override {
        errors += info && info->ErrorID != 0;
        CThostFtdcReqUserLoginField r{};
        put(r.BrokerID, "9999");
        put(r.UserID, user);
        put(r.Password, "123456");
        sent(api->ReqUserLogin(&r, ++ids));
    }
    void OnRspUserLogin(CThostFtdcRspUserLoginField *, CThostFtdcRspInfoField *info, int, bool) override {
        errors += info && info->ErrorID != 0;
        CThostFtdcSettlementInfoConfirmField r{};
        put(r.BrokerID, "9999");
        put(r.InvestorID, user);
        sent(api->ReqSettlementInfoConfirm(&r, ++ids));
    }
    void OnRspSettlementInfoConfirm(CThostFtdcSettlementInfoConfirmField *, CThostFtdcRspInfoField *info, int,
                                    bool) override {
        errors += info && info->ErrorID != 0;
        ready = true;
    }
    void OnRspOrderInsert(CThostFtdcInputOrderField *, CThostFtdcRspInfoField *, int, bool) override { ++errors; }
    void OnRtnTrade(CThostFtdcTradeField *) override {
        ++trades;
        if (release_on_trade && !released.exchange(true))
            api->Release();
    }
};

bool eventually(const std::atomic<bool> &flag) {
    for (int i = 0; i < 2000 && !flag; ++i)
        std::this_thread::sleep_for(1ms);
    return flag;
}

CThostFtdcTraderApi *start(Client &client, const std::string &front, const std::string &flow) {
    std::filesystem::create_directories(flow);
    client.api = CThostFtdcTraderApi::CreateFtdcTraderApi((flow + "/").c_str());
    client.api->RegisterSpi(&client);
    std::string address = front;
    client.api->RegisterFront(address.data());
    client.api->Init();
    return client.api;
}

void requests_and_release_from_callbacks(const std::string &flow) {
    Client client;
    client.release_on_trade = true;
    start(client, "sim://reentrant", flow + "/reentrant");
    check(eventually(client.ready), "the login chain ran inside the callbacks");
    auto buy = order("000001", '0', 3101, 1);
    check(client.api->ReqOrderInsert(&buy, 99) == 0, "order sent");
    check(eventually(client.released), "released from inside OnRtnTrade");
    check(client.errors == 0 && client.unsent == 0, "requests from callbacks sent and answered");
    check(ctpsim_violations() == 0, "no call reached the released object");
}

void many_threads_on_one_front(const std::string &flow) {
    constexpr int sessions = 4;
    constexpr int rounds = 300;
    std::vector<Client> clients(sessions);
    for (int i = 0; i < sessions; ++i) {
        clients[i].user = i % 2 ? "000002" : "000001";
        start(clients[i], "sim://crowd", flow + "/crowd" + std::to_string(i));
        check(eventually(clients[i].ready), "logged in");
    }
    const int first_api = ctpsim_last_api() - sessions + 1;
    ctpsim_query_interval(0);
    std::atomic<bool> trading{true};
    std::vector<std::thread> threads;
    for (int i = 0; i < sessions; ++i)
        threads.emplace_back([&, i] {
            for (int n = 0; n < rounds; ++n) {
                // Sells and buys around the reference price cross each other and the market.
                auto o = order(clients[i].user, n % 2 ? '1' : '0', 3100 + (n % 5) - 2, 1 + n % 3);
                clients[i].api->ReqOrderInsert(&o, n);
                CThostFtdcQryTradingAccountField q{};
                clients[i].api->ReqQryTradingAccount(&q, n);
            }
        });
    threads.emplace_back([&] {
        for (int n = 0; trading; ++n)
            ctpsim_move_price("crowd", "rb2705", n % 2 ? 1 : -1);
    });
    threads.emplace_back([&] {
        // Session 0 drops and comes back; it logs in again by itself.
        while (trading) {
            ctpsim_disconnect(first_api, 0x1001);
            std::this_thread::sleep_for(100us);
            ctpsim_reconnect(first_api);
        }
    });
    for (int i = 0; i < sessions; ++i)
        threads[i].join();
    trading = false;
    for (std::size_t i = sessions; i < threads.size(); ++i)
        threads[i].join();
    int traded = 0;
    for (auto &client : clients) {
        traded += client.trades;
        // Detached first, as a careful client does: a callback still logging in
        // again after a reconnect must not call into a released object.
        client.api->RegisterSpi(nullptr);
        client.api->Release();
    }
    check(traded > 0, "sessions traded");
    check(ctpsim_violations() == 0, "no call reached a released object");
}

}  // namespace

int main() {
    const auto flow = (std::filesystem::temp_directory_path() / ("standin-front-" + std::to_string(::getpid())))
                          .string();
    requests_and_release_from_callbacks(flow);
    many_threads_on_one_front(flow);
    std::filesystem::remove_all(flow);
    if (failures)
        std::fprintf(stderr, "%d checks failed\n", failures);
    return failures ? 1 : 0;
}
