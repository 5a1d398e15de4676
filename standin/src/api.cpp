// The stand-in trader library: API objects, their callback threads, and the
// exported static entry points of CThostFtdcTraderApi.
#include "api.h"
#include "ctpsim.h"
#include "front.h"
#include "state.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstring>

namespace standin {

namespace {

// ---- callback kinds ---------------------------------------------------------

template <class Record>
using RspCallback = void (CThostFtdcTraderSpi::*)(Record *, CThostFtdcRspInfoField *, int, bool);
template <class Record>
using ErrRtnCallback = void (CThostFtdcTraderSpi::*)(Record *, CThostFtdcRspInfoField *);
template <class Record>
using RtnCallback = void (CThostFtdcTraderSpi::*)(Record *);

template <class Record, RspCallback<Record> fn>
CallbackKind rsp(const char *name) {
    return {name, sizeof(Record), [](CThostFtdcTraderSpi &spi, void *r, CThostFtdcRspInfoField *info, int id, bool last) {
                (spi.*fn)(static_cast<Record *>(r), info, id, last);
            }};
}
template <class Record, ErrRtnCallback<Record> fn>
CallbackKind err_rtn(const char *name) {
    return {name, sizeof(Record), [](CThostFtdcTraderSpi &spi, void *r, CThostFtdcRspInfoField *info, int, bool) {
                (spi.*fn)(static_cast<Record *>(r), info);
            }};
}
template <class Record, RtnCallback<Record> fn>
CallbackKind rtn(const char *name) {
    return {name, sizeof(Record), [](CThostFtdcTraderSpi &spi, void *r, CThostFtdcRspInfoField *, int, bool) {
                (spi.*fn)(static_cast<Record *>(r));
            }};
}

using S = CThostFtdcTraderSpi;

const CallbackKind callbacks[] = {
    {"OnFrontConnected", 0, [](S &spi, void *, CThostFtdcRspInfoField *, int, bool) { spi.OnFrontConnected(); }},
    {"OnFrontDisconnected", 0, [](S &spi, void *, CThostFtdcRspInfoField *, int reason, bool) { spi.OnFrontDisconnected(reason); }},
    {"OnHeartBeatWarning", 0, [](S &spi, void *, CThostFtdcRspInfoField *, int lapse, bool) { spi.OnHeartBeatWarning(lapse); }},
    rsp<CThostFtdcRspAuthenticateField, &S::OnRspAuthenticate>("OnRspAuthenticate"),
    rsp<CThostFtdcRspUserLoginField, &S::OnRspUserLogin>("OnRspUserLogin"),
    rsp<CThostFtdcUserLogoutField, &S::OnRspUserLogout>("OnRspUserLogout"),
    rsp<CThostFtdcInputOrderField, &S::OnRspOrderInsert>("OnRspOrderInsert"),
    rsp<CThostFtdcInputOrderActionField, &S::OnRspOrderAction>("OnRspOrderAction"),
    rsp<CThostFtdcSettlementInfoConfirmField, &S::OnRspSettlementInfoConfirm>("OnRspSettlementInfoConfirm"),
    rsp<CThostFtdcOrderField, &S::OnRspQryOrder>("OnRspQryOrder"),
    rsp<CThostFtdcTradeField, &S::OnRspQryTrade>("OnRspQryTrade"),
    rsp<CThostFtdcInvestorPositionField, &S::OnRspQryInvestorPosition>("OnRspQryInvestorPosition"),
    rsp<CThostFtdcTradingAccountField, &S::OnRspQryTradingAccount>("OnRspQryTradingAccount"),
    rsp<CThostFtdcInstrumentField, &S::OnRspQryInstrument>("OnRspQryInstrument"),
    {"OnRspError", sizeof(CThostFtdcRspInfoField),
     [](S &spi, void *r, CThostFtdcRspInfoField *, int id, bool last) { spi.OnRspError(static_cast<CThostFtdcRspInfoField *>(r), id, last); }},
    rtn<CThostFtdcOrderField, &S::OnRtnOrder>("OnRtnOrder"),
    rtn<CThostFtdcTradeField, &S::OnRtnTrade>("OnRtnTrade"),
    err_rtn<CThostFtdcInputOrderField, &S::OnErrRtnOrderInsert>("OnErrRtnOrderInsert"),
    err_rtn<CThostFtdcOrderActionField, &S::OnErrRtnOrderAction>("OnErrRtnOrderAction"),
    rtn<CThostFtdcInstrumentStatusField, &S::OnRtnInstrumentStatus>("OnRtnInstrumentStatus"),
};

// What a buffer holds once its callback has returned: a record kept past its
// callback shows up as garbage.
constexpr unsigned char scribble = 0xA5;

}  // namespace

const CallbackKind *find_callback(std::string_view name) {
    for (const auto &kind : callbacks)
        if (name == kind.name)
            return &kind;
    return nullptr;
}

// ---- completion -------------------------------------------------------------

int Completion::wait(int timeout_ms) {
    std::unique_lock lock(mutex);
    if (!done.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return state != 1; }))
        return CTPSIM_TIMED_OUT;
    return state;
}

void Completion::finish(int result) {
    std::lock_guard lock(mutex);
    state = result;
    done.notify_all();
}

// ---- worker threads ---------------------------------------------------------

Worker::Worker(TraderApi &owner, int) : api(owner), thread([this] { run(); }) {}

Worker::~Worker() { stop(); }

void Worker::post(Event event) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(event));
    wake.notify_one();
}

std::size_t Worker::pending() {
    std::lock_guard lock(mutex);
    return events.size();
}

void Worker::hold(bool hold) {
    std::lock_guard lock(mutex);
    held = hold;
    wake.notify_one();
}

void Worker::stop() {
    {
        std::lock_guard lock(mutex);
        stopping = true;
        wake.notify_one();
    }
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id())
        thread.join();
    else if (thread.joinable())
        thread.detach();  // Release called from a callback: the thread ends after it
    std::deque<Event> dropped;
    {
        std::lock_guard lock(mutex);
        dropped.swap(events);
    }
    for (auto &event : dropped)
        if (event.completion)
            event.completion->finish(CTPSIM_DROPPED);
}

void Worker::run() {
    for (;;) {
        Event event;
        {
            std::unique_lock lock(mutex);
            wake.wait(lock, [this] { return stopping || (!held && !events.empty()); });
            if (stopping)
                return;
            event = std::move(events.front());
            events.pop_front();
        }
        for (int i = 0; i < event.repeat; ++i)
            api.deliver(event, i, buffer, info);
        if (event.completion)
            event.completion->finish(CTPSIM_OK);
    }
}

// ---- the API object ---------------------------------------------------------

TraderApi::TraderApi(int serial, std::string flow) : serial_(serial), flow_path(std::move(flow)) {}

Call TraderApi::entry(std::string op) const {
    Call call;
    call.api = serial_;
    call.op = std::move(op);
    call.gil = gil_state();
    return call;
}

bool TraderApi::dead(const char *op) {
    std::lock_guard lock(state_mutex);
    if (!released)
        return false;
    log_violation();
    log_call(entry(std::string("violation:") + op));
    return true;
}

bool TraderApi::alive() {
    std::lock_guard lock(state_mutex);
    return !released;
}

void TraderApi::Release() {
    if (dead("Release"))
        return;
    log_call(entry("Release"));
    throw_if_asked("Release");
    // Leave the front first, so that nothing it does is posted to this object.
    if (FrontLink *front = link())
        front->leave();
    std::array<std::unique_ptr<Worker>, thread_count> stopping;
    {
        std::lock_guard lock(state_mutex);
        released = true;
        stopping.swap(workers);
    }
    for (auto &worker : stopping) {
        if (!worker)
            continue;
        const bool own = worker->runs_here();
        worker->stop();
        // Released from one of its own callbacks: the thread still returns
        // through the worker, which therefore stays with the tombstone.
        if (own)
            parked = std::move(worker);
    }
    // The object itself stays behind as a tombstone (see find_api).
}

void TraderApi::Init() {
    if (dead("Init"))
        return;
    log_call(entry("Init"));
    {
        std::lock_guard lock(state_mutex);
        if (started)
            return;
        started = true;
        for (int i = 0; i < thread_count; ++i)
            workers[i] = std::make_unique<Worker>(*this, i);
    }
    throw_if_asked("Init");  // half started: the threads run
    // A simulated front answers at once; any other address is unreachable,
    // which the library keeps retrying in silence, as it would on a network.
    for (const auto &front : fronts) {
        auto address = parse_sim_address(front);
        if (!address)
            continue;
        std::unique_ptr<FrontLink> reached = FrontLink::reach(*this, *address);
        FrontLink *connecting = reached.get();
        if (connecting) {
            {
                std::lock_guard lock(state_mutex);
                link_ = std::move(reached);
            }
            connecting->connect();
        }
        break;
    }
}

int TraderApi::Join() {
    if (dead("Join"))
        return -1;
    return 0;
}

const char *TraderApi::GetTradingDay() {
    if (dead("GetTradingDay"))
        return "";
    std::lock_guard lock(state_mutex);
    return trading_day;
}

void TraderApi::RegisterFront(char *address) {
    if (dead("RegisterFront"))
        return;
    Call call = entry("RegisterFront");
    call.text = address ? address : "";
    log_call(call);
    throw_if_asked("RegisterFront");
    fronts.push_back(call.text);
}

void TraderApi::RegisterSpi(CThostFtdcTraderSpi *new_spi) {
    if (dead("RegisterSpi"))
        return;
    Call call = entry("RegisterSpi");
    call.arg1 = new_spi != nullptr;
    log_call(std::move(call));
    throw_if_asked("RegisterSpi");
    std::unique_lock lock(spi_mutex);
    spi = new_spi;
}

void TraderApi::SubscribePrivateTopic(THOST_TE_RESUME_TYPE type, int length) {
    if (dead("SubscribePrivateTopic"))
        return;
    Call call = entry("SubscribePrivateTopic");
    call.arg1 = type;
    call.arg2 = length;
    log_call(std::move(call));
    throw_if_asked("SubscribePrivateTopic");
}

void TraderApi::SubscribePublicTopic(THOST_TE_RESUME_TYPE type) {
    if (dead("SubscribePublicTopic"))
        return;
    Call call = entry("SubscribePublicTopic");
    call.arg1 = type;
    log_call(std::move(call));
    throw_if_asked("SubscribePublicTopic");
}

template <class Record>
int TraderApi::request(const char *op, Record *record, int id) {
    static_assert(sizeof(Record) <= sizeof(ctpsim_call::record));
    if (dead(op))
        return -1;
    Call call = entry(op);
    call.arg1 = id;
    if (record) {
        const auto *bytes = reinterpret_cast<const unsigned char *>(record);
        call.record.assign(bytes, bytes + sizeof(Record));
    }
    log_call(std::move(call));
    throw_if_asked(op);
    // A slow request widens the window in which a careless caller could
    // release the object under a call that is still running.
    if (const int delay = request_delay_us(); delay > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(delay));
        if (dead(op))
            return -1;
    }
    if (auto forced = forced_result())
        return *forced;
    FrontLink *front = link();
    if (!front)
        return -1;  // not started, or no reachable front
    if (record)
        return front->request(*record, id);
    const Record empty{};
    return front->request(empty, id);
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

template <class Use>
int TraderApi::with_worker(int index, Use use) {
    if (index < 0 || index >= thread_count)
        return CTPSIM_BAD_THREAD;
    std::lock_guard lock(state_mutex);
    if (released)
        return CTPSIM_NO_API;
    if (!started)
        return CTPSIM_NOT_STARTED;
    use(*workers[index]);
    return CTPSIM_OK;
}

int TraderApi::post(int index, Event event) {
    return with_worker(index, [&](Worker &worker) { worker.post(std::move(event)); });
}

std::size_t TraderApi::pending(int index) {
    std::lock_guard lock(state_mutex);
    if (index < 0 || index >= thread_count || !workers[index])
        return 0;
    return workers[index]->pending();
}

int TraderApi::hold(int index, bool held) {
    return with_worker(index, [&](Worker &worker) { worker.hold(held); });
}

void TraderApi::set_trading_day(std::string_view day) {
    std::lock_guard lock(state_mutex);
    const std::size_t n = std::min(day.size(), sizeof trading_day - 1);
    std::memcpy(trading_day, day.data(), n);
    trading_day[n] = 0;
}

FrontLink *TraderApi::link() {
    std::lock_guard lock(state_mutex);
    return link_.get();
}

void TraderApi::deliver(const Event &event, int repeat_index, unsigned char *buffer, CThostFtdcRspInfoField &info) {
    std::shared_lock lock(spi_mutex);
    if (!spi)
        return;
    void *record = nullptr;
    if (event.has_record) {
        std::memcpy(buffer, event.record.data(), event.record.size());
        record = buffer;
    }
    CThostFtdcRspInfoField *info_ptr = nullptr;
    if (event.has_info) {
        info = event.info;
        info_ptr = &info;
    }
    const std::int64_t begin = timing_enabled() ? monotonic_ns() : 0;
    event.kind->invoke(*spi, record, info_ptr, event.id + repeat_index, event.last);
    if (begin != 0)
        record_timing(begin, monotonic_ns() - begin);
    if (record)
        std::memset(buffer, scribble, event.record.size());
    if (info_ptr)
        std::memset(&info, scribble, sizeof info);
}

// ---- process-wide state -----------------------------------------------------

namespace {

std::mutex registry_mutex;
std::vector<TraderApi *> registry;  // tombstones are never freed

bool make_flow_path(const std::string &flow) {
    // The flow path is a prefix; when it names a directory (trailing '/'),
    // create it and its parents.
    if (!flow.empty() && flow.back() == '/') {
        for (std::size_t at = 1; at <= flow.size(); ++at) {
            if (at == flow.size() || flow[at] == '/') {
                std::string dir = flow.substr(0, at);
                if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
                    return false;
            }
        }
    }
    std::string file = flow + "TradingDay.con";
    std::FILE *f = std::fopen(file.c_str(), "a");
    if (!f)
        return false;
    std::fclose(f);
    return true;
}

}  // namespace

TraderApi *find_api(int serial) {
    std::lock_guard lock(registry_mutex);
    if (serial < 1 || static_cast<std::size_t>(serial) > registry.size())
        return nullptr;
    return registry[serial - 1];
}

int last_serial() {
    std::lock_guard lock(registry_mutex);
    return static_cast<int>(registry.size());
}

int gil_state() {
    using Check = int (*)();
    static const Check check = reinterpret_cast<Check>(::dlsym(RTLD_DEFAULT, "PyGILState_Check"));
    static const auto initialized = reinterpret_cast<int (*)()>(::dlsym(RTLD_DEFAULT, "Py_IsInitialized"));
    if (!check || !initialized || !initialized())
        return -1;
    return check() ? 1 : 0;
}

}  // namespace standin

using namespace standin;

CThostFtdcTraderApi *CThostFtdcTraderApi::CreateFtdcTraderApi(const char *flow_path, bool production) {
    std::string flow = flow_path ? flow_path : "";
    Call call;
    call.op = "CreateFtdcTraderApi";
    call.gil = gil_state();
    call.arg1 = production;
    call.text = flow;
    log_call(std::move(call));
    throw_if_asked("CreateFtdcTraderApi");
    if (take_create_failure() || !make_flow_path(flow))
        return nullptr;
    std::lock_guard lock(registry_mutex);
    auto *api = new TraderApi(static_cast<int>(registry.size()) + 1, flow);
    registry.push_back(api);
    return api;
}

const char *CThostFtdcTraderApi::GetApiVersion() {
    throw_if_asked("GetApiVersion");
    return version_text();
}
