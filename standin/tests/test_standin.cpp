// Checks the promises of the stand-in library that the module relies on,
// through its C++ interface and the control functions.
#include "ThostFtdcTraderApi.h"
#include "check.h"
#include "ctpsim.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <source_location>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// Records what reaches it; some callbacks can be slowed down.
struct Recorder : CThostFtdcTraderSpi {
    std::mutex mutex;
    std::vector<std::string> seen;
    std::vector<std::thread::id> threads;
    CThostFtdcOrderField *kept = nullptr;  // a pointer kept past its callback
    CThostFtdcOrderField copy{};
    std::atomic<bool> slow{false};
    std::atomic<bool> in_slow{false};
    std::atomic<bool> slow_done{false};

    void note(std::string what) {
        std::lock_guard lock(mutex);
        seen.push_back(std::move(what));
        threads.push_back(std::this_thread::get_id());
    }
    void OnFrontConnected() override { note("connected"); }
    void OnFrontDisconnected(int reason) override {
        if (slow) {
            in_slow = true;
            std::this_thread::sleep_for(200ms);
            slow_done = true;
        }
        note("disconnected " + std::to_string(reason));
    }
    void OnRtnOrder(CThostFtdcOrderField *order) override {
        kept = order;
        if (order)
            copy = *order;
        note(order ? std::string("order ") + order->OrderSysID : "order null");
    }
    void OnRspError(CThostFtdcRspInfoField *info, int id, bool last) override {
        note("error " + std::to_string(info ? info->ErrorID : -999) + " " + std::to_string(id) + (last ? " last" : ""));
    }
    std::vector<std::string> events() {
        std::lock_guard lock(mutex);
        return seen;
    }
};

template <class Predicate>
bool eventually(Predicate p) {
    for (int i = 0; i < 500; ++i) {
        if (p())
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

std::string flow_dir(const char *name) {
    auto dir = std::filesystem::temp_directory_path() / ("standin-tests-" + std::to_string(::getpid())) / name;
    return dir.string() + "/";
}

void test_create_and_version() {
    ctpsim_reset();
    check(std::strcmp(CThostFtdcTraderApi::GetApiVersion(), "6.7.2_standin (simulated front)") == 0, "default version");
    ctpsim_set_version("v-test");
    check(std::strcmp(CThostFtdcTraderApi::GetApiVersion(), "v-test") == 0, "version text is settable");

    std::string flow = flow_dir("a/b");
    CThostFtdcTraderApi *api = CThostFtdcTraderApi::CreateFtdcTraderApi(flow.c_str());
    check(api != nullptr, "create with a new flow directory");
    check(std::filesystem::exists(flow + "TradingDay.con"), "files kept under the flow path");
    api->Release();

    check(CThostFtdcTraderApi::CreateFtdcTraderApi((flow + "TradingDay.con/x/").c_str()) == nullptr,
          "a flow path below a file cannot be used");
    ctpsim_fail_next_create();
    check(CThostFtdcTraderApi::CreateFtdcTraderApi(flow.c_str()) == nullptr, "forced create failure");
    api = CThostFtdcTraderApi::CreateFtdcTraderApi(flow.c_str());
    check(api != nullptr, "the failure is for the next create only");
    api->Release();
    ctpsim_reset();
}

void test_callbacks_and_buffers() {
    Recorder spi;
    CThostFtdcTraderApi *api = CThostFtdcTraderApi::CreateFtdcTraderApi(flow_dir("cb").c_str());
    const int serial = ctpsim_last_api();
    api->RegisterSpi(&spi);
    char front[] = "sim://unit";
    api->RegisterFront(front);
    check(ctpsim_emit(serial, 0, "OnFrontDisconnected", nullptr, 0, nullptr, 0, 1, 1, 1000) == CTPSIM_NOT_STARTED,
          "no callback before Init");
    api->Init();
    check(eventually([&] { return spi.events().size() == 1; }), "connect after Init");
    check(spi.threads.at(0) != std::this_thread::get_id(), "callbacks run on the library's thread");

    CThostFtdcOrderField order{};
    std::strcpy(order.OrderSysID, "42");
    check(ctpsim_emit(serial, 1, "OnRtnOrder", &order, sizeof order, nullptr, 0, 0, 1, 1000) == CTPSIM_OK, "emit order");
    check(spi.copy.OrderSysID == std::string("42"), "record bytes delivered");
    check(spi.kept && spi.kept != &order && static_cast<unsigned char>(spi.kept->OrderSysID[0]) == 0xA5,
          "the buffer is overwritten once the callback returns");
    check(ctpsim_emit(serial, 0, "OnRtnOrder", &order, sizeof order - 1, nullptr, 0, 0, 1, 1000) == CTPSIM_BAD_SIZE,
          "record size is checked");
    check(ctpsim_emit(serial, 0, "OnNothing", nullptr, 0, nullptr, 0, 0, 1, 1000) == CTPSIM_NO_CALLBACK,
          "unknown callbacks are refused");
    check(ctpsim_emit(serial, 2, "OnFrontConnected", nullptr, 0, nullptr, 0, 0, 1, 1000) == CTPSIM_BAD_THREAD,
          "two threads");

    CThostFtdcRspInfoField info{};
    info.ErrorID = 7;
    ctpsim_emit(serial, 0, "OnRspError", &info, sizeof info, nullptr, 0, 3, 0, 1000);
    ctpsim_emit(serial, 0, "OnRspError", nullptr, 0, nullptr, 0, -4, 1, 1000);
    check(ctpsim_flood(serial, 1, "OnFrontDisconnected", 3, 1000) == CTPSIM_OK, "flood");
    auto seen = spi.events();
    std::vector<std::string> expected = {"connected", "order 42", "error 7 3", "error -999 -4 last",
                                         "disconnected 0", "disconnected 1", "disconnected 2"};
    check(seen == expected, "callbacks arrive in order with their arguments");

    // RegisterSpi waits for a running callback to return, then none reaches the old spi.
    spi.slow = true;
    std::thread emitter([&] { ctpsim_emit(serial, 0, "OnFrontDisconnected", nullptr, 0, nullptr, 0, 9, 1, 5000); });
    check(eventually([&] { return spi.in_slow.load(); }), "slow callback started");
    api->RegisterSpi(nullptr);
    check(spi.slow_done, "RegisterSpi(nullptr) returned only after the running callback");
    emitter.join();
    spi.slow = false;
    const auto before = spi.events().size();
    ctpsim_emit(serial, 0, "OnFrontConnected", nullptr, 0, nullptr, 0, 0, 1, 1000);
    check(spi.events().size() == before, "a detached spi gets nothing");

    api->Release();
    check(!ctpsim_alive(serial), "released");
    check(ctpsim_emit(serial, 0, "OnFrontConnected", nullptr, 0, nullptr, 0, 0, 1, 1000) == CTPSIM_NO_API,
          "no callback after Release");
}

// Init starts both threads or none: a refused thread leaves the object as
// before Init, and a later Init may try again.
void test_failed_init() {
    ctpsim_reset();
    Recorder spi;
    const std::string flow = flow_dir("init");
    CThostFtdcTraderApi *api = CThostFtdcTraderApi::CreateFtdcTraderApi(flow.c_str());
    const int serial = ctpsim_api_of(flow.c_str());
    check(serial == ctpsim_last_api() && serial > 0, "the serial of a flow path");
    api->RegisterSpi(&spi);
    char front[] = "sim://unit-init";
    api->RegisterFront(front);
    ctpsim_fail_thread(2);
    api->Init();
    for (int thread : {0, 1})
        check(ctpsim_emit(serial, thread, "OnFrontConnected", nullptr, 0, nullptr, 0, 0, 1, 1000) ==
                  CTPSIM_NOT_STARTED,
              "no thread after a failed Init");
    CThostFtdcQryInstrumentField query{};
    check(api->ReqQryInstrument(&query, 1) == -1, "no front reached after a failed Init");
    std::this_thread::sleep_for(50ms);
    check(spi.events().empty(), "a failed Init stays silent");
    api->Init();
    check(eventually([&] { return spi.events() == std::vector<std::string>{"connected"}; }), "Init again starts");
    check(ctpsim_emit(serial, 1, "OnFrontConnected", nullptr, 0, nullptr, 0, 0, 1, 1000) == CTPSIM_OK,
          "both threads run");
    api->Release();
    ctpsim_reset();
}

// OnRspError takes its error information as the record or as info; an emit
// that timed out before its callback started never delivers it.
void test_emit_details() {
    ctpsim_reset();
    Recorder spi;
    const std::string flow = flow_dir("emit");
    CThostFtdcTraderApi *api = CThostFtdcTraderApi::CreateFtdcTraderApi(flow.c_str());
    const int serial = ctpsim_api_of(flow.c_str());
    api->RegisterSpi(&spi);
    api->Init();
    CThostFtdcRspInfoField info{};
    info.ErrorID = 9;
    check(ctpsim_emit(serial, 0, "OnRspError", nullptr, 0, &info, sizeof info, 4, 1, 1000) == CTPSIM_OK,
          "OnRspError with info only");
    check(ctpsim_hold(serial, 1) == CTPSIM_OK, "hold");
    info.ErrorID = 10;
    check(ctpsim_emit(serial, 0, "OnRspError", &info, sizeof info, nullptr, 0, 5, 1, 100) == CTPSIM_TIMED_OUT,
          "timed out while held");
    check(ctpsim_flood(serial, 0, "OnFrontDisconnected", 3, 100) == CTPSIM_TIMED_OUT, "flood timed out");
    check(ctpsim_hold(serial, 0) == CTPSIM_OK, "let go");
    check(ctpsim_emit(serial, 0, "OnFrontConnected", nullptr, 0, nullptr, 0, 0, 1, 1000) == CTPSIM_OK, "emit");
    check(spi.events() == std::vector<std::string>{"error 9 4 last", "connected"},
          "what timed out before it started never runs");
    api->Release();
    ctpsim_reset();
}

// GetApiVersion never shows a text half rewritten by ctpsim_set_version.
void test_version_while_set() {
    // Texts of very different lengths: a torn copy mixes them or cuts one short.
    const std::string a(250, 'a'), b(1, 'b');
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; !done; ++i)
            ctpsim_set_version((i % 2 ? a : b).c_str());
    });
    int torn = 0;
    for (int i = 0; i < 200000; ++i) {
        const std::string seen = CThostFtdcTraderApi::GetApiVersion();
        torn += seen != a && seen != b && seen != "6.7.2_standin (simulated front)";
    }
    done = true;
    writer.join();
    check(torn == 0, ("version texts are whole, " + std::to_string(torn) + " torn").c_str());
    ctpsim_reset();
}

// Released objects stay as tombstones, the newest 1000 only.
void test_tombstones_are_bounded() {
    ctpsim_reset();
    std::vector<std::string> flows;
    std::filesystem::create_directories(flow_dir("tomb"));
    for (int i = 0; i < 1100; ++i) {
        flows.push_back(flow_dir("tomb") + std::to_string(i) + "-");
        CThostFtdcTraderApi::CreateFtdcTraderApi(flows.back().c_str())->Release();
    }
    check(ctpsim_api_of(flows[0].c_str()) == 0, "an old tombstone is freed");
    const int recent = ctpsim_api_of(flows[1099].c_str());
    check(recent == ctpsim_last_api() && !ctpsim_alive(recent), "a recent tombstone is kept");
    check(ctpsim_api_of(flows[100].c_str()) == recent - 999, "the newest 1000 are kept");
    check(ctpsim_violations() == 0, "nothing touched them");
}

void test_requests_and_log() {
    ctpsim_reset();
    ctpsim_log_calls(1);
    CThostFtdcTraderApi *api = CThostFtdcTraderApi::CreateFtdcTraderApi(flow_dir("req").c_str(), false);
    const int serial = ctpsim_last_api();
    char front[] = "tcp://192.0.2.1:1";  // never dialled: not a simulated front
    api->RegisterFront(front);
    api->SubscribePrivateTopic(THOST_TERT_QUICK, 1);
    api->Init();
    CThostFtdcQryInstrumentField query{};
    std::strcpy(query.InstrumentID, "rb2610");
    check(api->ReqQryInstrument(&query, 77) == -1, "an unreachable front refuses requests");
    ctpsim_force_result(1, -3);
    check(api->ReqQryInstrument(&query, 78) == -3, "forced result");

    std::vector<ctpsim_call> calls(ctpsim_calls(nullptr, 0));
    ctpsim_calls(calls.data(), static_cast<int>(calls.size()));
    std::vector<std::string> ops;
    for (const auto &call : calls)
        ops.push_back(call.op);
    check(ops == std::vector<std::string>{"CreateFtdcTraderApi", "RegisterFront", "SubscribePrivateTopic", "Init",
                                          "ReqQryInstrument", "ReqQryInstrument"},
          "calls are logged in order");
    check(calls[0].arg1 == 0 && std::string(calls[0].text).ends_with("/req/"), "create arguments");
    check(calls[1].text == std::string("tcp://192.0.2.1:1"), "front address");
    check(calls[2].arg1 == THOST_TERT_QUICK && calls[2].arg2 == 1, "subscribe arguments");
    check(calls[4].api == serial && calls[4].arg1 == 77 && calls[4].size == sizeof query &&
              std::memcmp(calls[4].record, &query, sizeof query) == 0,
          "request record and id");
    check(calls[4].gil == -1, "no interpreter in this process");

    api->Release();
    check(api->ReqQryInstrument(&query, 79) == -1 && ctpsim_violations() == 1,
          "a call on a released object is refused and counted");
    ctpsim_reset();
}

}  // namespace

int main() {
    test_create_and_version();
    test_callbacks_and_buffers();
    test_requests_and_log();
    test_failed_init();
    test_emit_details();
    test_version_while_set();
    test_tombstones_are_bounded();
    std::filesystem::remove_all(std::filesystem::temp_directory_path() / ("standin-tests-" + std::to_string(::getpid())));
    if (failures)
        std::fprintf(stderr, "%d checks failed\n", failures);
    else
        std::puts("stand-in: all checks passed");
    return failures ? EXIT_FAILURE : EXIT_SUCCESS;
}
