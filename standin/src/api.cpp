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
#include <memory>
#include <deque>
#include <map>
#include <system_error>

namespace standin {

namespace {

// ---- callback kinds ---------------------------------------------------------

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
    // Its record is the error information: given as either.
    {"OnRspError", sizeof(CThostFtdcRspInfoField),
     [](S &spi, void *r, CThostFtdcRspInfoField *info, int id, bool last) {
         spi.OnRspError(r ? static_cast<CThostFtdcRspInfoField *>(r) : info, id, last);
     }},
    rtn<CThostFtdcOrderField, &S::OnRtnOrder>("OnRtnOrder"),
    rtn<CThostFtdcTradeField, &S::OnRtnTrade>("OnRtnTrade"),
    err_rtn<CThostFtdcInputOrderField, &S::OnErrRtnOrderInsert>("OnErrRtnOrderInsert"),
    err_rtn<CThostFtdcOrderActionField, &S::OnErrRtnOrderAction>("OnErrRtnOrderAction"),
    rtn<CThostFtdcInstrumentStatusField, &S::OnRtnInstrumentStatus>("OnRtnInstrumentStatus"),
    // Not a callback: what the cheapest possible client does with an order
    // record, for benchmarks to measure callbacks against.
    {"ctpsim:floor", sizeof(CThostFtdcOrderField), [](S &, void *r, CThostFtdcRspInfoField *, int, bool) { floor_copy(r); }},
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
    if (!done.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return state != 1; })) {
        // Nobody waits for it any more: what has not started never runs.
        cancelled = true;
        return CTPSIM_TIMED_OUT;
    }
    return state;
}

bool Completion::may_run() {
    std::lock_guard lock(mutex);
    return !cancelled;
}

void Completion::finish(int result) {
    std::lock_guard lock(mutex);
    state = result;
    done.notify_all();
}

// ---- worker threads ---------------------------------------------------------

Worker::Worker(TraderApi &owner, int) : api(owner) {
    if (take_thread_failure())
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                "thread creation refused");
    thread = std::thread([this] { run(); });
}

Worker::~Worker() { stop(); }

void Worker::post(Event event) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(event));
    wake.notify_one();
}

void Worker::adopt(std::list<Event> &from, std::list<Event>::iterator event) noexcept {
    std::lock_guard lock(mutex);
    events.splice(events.end(), from, event);
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
    std::list<Event> dropped;
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
            if (stopping) {
                exited_ = true;  // the last touch of this worker and its API object
                return;
            }
            event = std::move(events.front());
            events.pop_front();
        }
        for (int i = 0; i < event.repeat; ++i) {
            if (event.completion && !event.completion->may_run())
                break;
            api.deliver(event, i, buffer, info);
        }
        if (event.completion)
            event.completion->finish(CTPSIM_OK);
    }
}

// ---- the API object ---------------------------------------------------------

TraderApi::TraderApi(int serial, std::string flow) : serial_(serial), flow_path(std::move(flow)) {}

template <class Fill>
void TraderApi::log(std::string_view op, Fill fill) const noexcept {
    if (!logging_calls())
        return;
    try {
        Call call;
        call.api = serial_;
        call.op = op;
        call.gil = gil_state();
        fill(call);
        log_call(std::move(call));
    } catch (...) {
        // Out of memory: the call is left out of the log; nothing may escape
        // into the caller.
    }
}

bool TraderApi::dead(const char *op) {
    std::lock_guard lock(state_mutex);
    if (!released)
        return false;
    log_violation();
    log("violation:", [&](Call &call) { call.op += op; });
    return true;
}

bool TraderApi::alive() {
    std::lock_guard lock(state_mutex);
    return !released;
}

bool TraderApi::retirable() {
    std::lock_guard lock(state_mutex);
    return released && (!parked || parked->exited());
}

void TraderApi::Release() {
    if (dead("Release"))
        return;
    log("Release", [](Call &) {});
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
        if (own) {
            std::lock_guard lock(state_mutex);
            parked = std::move(worker);
        }
    }
    // The object itself stays behind as a tombstone (see find_api).
    retire(serial_);
}

void TraderApi::Init() {
    if (dead("Init"))
        return;
    log("Init", [](Call &) {});
    {
        std::lock_guard lock(state_mutex);
        if (started)
            return;
        // All threads or none: when one cannot start, the object stays as it
        // was before Init (silent, and a later Init may try again).
        std::array<std::unique_ptr<Worker>, thread_count> starting;
        try {
            for (int i = 0; i < thread_count; ++i)
                starting[i] = std::make_unique<Worker>(*this, i);
        } catch (...) {
            return;
        }
        workers.swap(starting);
        started = true;
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
    log("RegisterFront", [&](Call &call) { call.text = address ? address : ""; });
    throw_if_asked("RegisterFront");
    try {
        fronts.emplace_back(address ? address : "");
    } catch (...) {
        // Out of memory: the address is not kept, as if never given.
    }
}

void TraderApi::RegisterSpi(CThostFtdcTraderSpi *new_spi) {
    if (dead("RegisterSpi"))
        return;
    log("RegisterSpi", [&](Call &call) { call.arg1 = new_spi != nullptr; });
    throw_if_asked("RegisterSpi");
    std::unique_lock lock(spi_mutex);
    spi = new_spi;
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
    static_assert(sizeof(Record) <= sizeof(ctpsim_call::record));
    if (dead(op))
        return -1;
    log(op, [&](Call &call) {
        call.arg1 = id;
        if (record) {
            const auto *bytes = reinterpret_cast<const unsigned char *>(record);
            call.record.assign(bytes, bytes + sizeof(Record));
        }
    });
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

void TraderApi::post(int index, std::list<Event> &from, std::list<Event>::iterator event) noexcept {
    with_worker(index, [&](Worker &worker) { worker.adopt(from, event); });
    // Not delivered: the event stays in `from`, which drops it.
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
    if (timing_enabled()) {
        const Switches before = switches();
        const std::int64_t begin = monotonic_ns();
        event.kind->invoke(*spi, record, info_ptr, event.id + repeat_index, event.last);
        const std::int64_t end = monotonic_ns();
        record_timing(begin, end - begin, before, switches());
    } else {
        event.kind->invoke(*spi, record, info_ptr, event.id + repeat_index, event.last);
    }
    if (record)
        std::memset(buffer, scribble, event.record.size());
    if (info_ptr)
        std::memset(&info, scribble, sizeof info);
}

// ---- process-wide state -----------------------------------------------------

namespace {

// Never destroyed: API threads may outlive static destructors.
struct Registry {
    std::mutex mutex;
    int last = 0;
    std::map<int, std::shared_ptr<TraderApi>> apis;  // by serial
    std::deque<int> tombstones;                     // released serials, oldest first
};

Registry &registry() {
    static auto *instance = new Registry;
    return *instance;
}

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

std::shared_ptr<TraderApi> find_api(int serial) {
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    auto found = r.apis.find(serial);
    return found == r.apis.end() ? nullptr : found->second;
}

std::vector<std::shared_ptr<TraderApi>> all_apis() {
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    std::vector<std::shared_ptr<TraderApi>> out;
    out.reserve(r.apis.size());
    for (const auto &[serial, api] : r.apis)
        out.push_back(api);
    return out;
}

int api_of(std::string_view flow_path) {
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    for (auto at = r.apis.rbegin(); at != r.apis.rend(); ++at)
        if (at->second->flow() == flow_path)
            return at->first;
    return 0;
}

int last_serial() {
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    return r.last;
}

void retire(int serial) noexcept {
    // Freed outside the lock: freeing leaves the object's front.
    std::vector<std::shared_ptr<TraderApi>> freed;
    try {
        Registry &r = registry();
        std::lock_guard lock(r.mutex);
        r.tombstones.push_back(serial);
        // Keep the newest tombstones; an older one goes once no thread of its
        // own still returns through it (one released from its own callback).
        for (auto at = r.tombstones.begin(); r.tombstones.size() > max_tombstones && at != r.tombstones.end();) {
            auto api = r.apis.find(*at);
            if (api == r.apis.end() || api->second->retirable()) {
                if (api != r.apis.end()) {
                    freed.push_back(std::move(api->second));
                    r.apis.erase(api);
                }
                at = r.tombstones.erase(at);
            } else {
                ++at;
            }
        }
    } catch (...) {
        // Out of memory: the tombstone is kept whole (never freed), which is safe.
    }
}

int gil_state() {
    // The calling thread holds the lock exactly when it has a thread state
    // attached. (PyGILState_Check answers 1 for every thread once any
    // sub-interpreter exists.)
    using Current = void *(*)();
    static const Current current = [] {
        void *found = ::dlsym(RTLD_DEFAULT, "PyThreadState_GetUnchecked");
        if (!found)
            found = ::dlsym(RTLD_DEFAULT, "_PyThreadState_UncheckedGet");
        return reinterpret_cast<Current>(found);
    }();
    static const auto initialized = reinterpret_cast<int (*)()>(::dlsym(RTLD_DEFAULT, "Py_IsInitialized"));
    if (!current || !initialized || !initialized())
        return -1;
    return current() ? 1 : 0;
}

}  // namespace standin

using namespace standin;

CThostFtdcTraderApi *CThostFtdcTraderApi::CreateFtdcTraderApi(const char *flow_path, bool production) {
    if (logging_calls()) {
        try {
            Call call;
            call.op = "CreateFtdcTraderApi";
            call.gil = gil_state();
            call.arg1 = production;
            call.text = flow_path ? flow_path : "";
            log_call(std::move(call));
        } catch (...) {
            // Out of memory: left out of the log.
        }
    }
    throw_if_asked("CreateFtdcTraderApi");
    if (take_create_failure())
        return nullptr;
    try {
        std::string flow = flow_path ? flow_path : "";
        if (!make_flow_path(flow))
            return nullptr;
        Registry &r = registry();
        std::lock_guard lock(r.mutex);
        auto api = std::make_shared<TraderApi>(r.last + 1, flow);
        r.apis.emplace(api->serial(), api);
        ++r.last;
        return api.get();
    } catch (...) {
        return nullptr;  // out of memory: as if the library refused
    }
}

const char *CThostFtdcTraderApi::GetApiVersion() {
    throw_if_asked("GetApiVersion");
    // A copy per thread: ctpsim_set_version may rewrite the text meanwhile.
    thread_local char copy[256];
    copy_version(copy, sizeof copy);
    return copy;
}
