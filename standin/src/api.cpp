// The API objects of both stand-in libraries: their life, their threads, the
// call log, and the registry of objects by serial.
#include "api.h"

#include "callbacks.h"
#include "link.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <thread>

namespace standin {

namespace {

// What a buffer holds once its callback has returned: a record kept past its
// callback shows up as garbage.
constexpr unsigned char scribble = 0xA5;

// Keeps a released object as a tombstone, freeing the oldest beyond max_tombstones.
void retire(int serial) noexcept;

}  // namespace

// ---- the API object ---------------------------------------------------------

ApiObject::ApiObject(int serial, std::string flow, std::span<const CallbackKind> callbacks)
    : serial_(serial), flow_path(std::move(flow)), callback_kinds(callbacks) {}

ApiObject::~ApiObject() {
    for (const Followed &flow : followed)
        if (flow.file >= 0)
            ::close(flow.file);
}

bool ApiObject::dead(const char *op) {
    std::lock_guard lock(state_mutex);
    if (!released)
        return false;
    log_violation();
    log("violation:", [&](Call &call) { call.op += op; });
    return true;
}

bool ApiObject::alive() {
    std::lock_guard lock(state_mutex);
    return !released;
}

bool ApiObject::retirable() {
    std::lock_guard lock(state_mutex);
    return released && (!parked || parked->exited());
}

void ApiObject::release() {
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
    // Its flow directory keeps what it received; the tombstone holds no file.
    std::lock_guard lock(flow_mutex);
    released_flows = true;
    for (Followed &flow : followed) {
        if (flow.file >= 0)
            ::close(flow.file);
        flow.file = -1;
    }
    // The object itself stays behind as a tombstone (see find_api).
    retire(serial_);
}

void ApiObject::init() {
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
            for (auto &worker : starting)
                worker = std::make_unique<Worker>(*this);
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
        std::shared_ptr<Front> reached = reach_front(*address);
        if (!reached)
            break;  // its configuration cannot be read: unreachable
        // The library goes round every address registered; those of the
        // same venue are its doors, the others reach nothing.
        std::unique_ptr<FrontLink> made;
        try {
            std::vector<int> ring;
            for (const auto &registered : fronts) {
                const auto door = parse_sim_address(registered);
                ring.push_back(door && door->name == address->name ? door->door : 0);
            }
            made = make_link(std::move(reached), std::move(ring));
        } catch (...) {
            break;  // out of memory: as unreachable
        }
        FrontLink *connecting = made.get();
        {
            std::lock_guard lock(state_mutex);
            link_ = std::move(made);
        }
        connecting->connect();
        break;
    }
}

int ApiObject::join() { return dead("Join") ? -1 : 0; }

const char *ApiObject::trading_day() {
    if (dead("GetTradingDay"))
        return "";
    std::lock_guard lock(state_mutex);
    return trading_day_;
}

void ApiObject::register_front(const char *address) {
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

void ApiObject::register_spi(void *new_spi) {
    if (dead("RegisterSpi"))
        return;
    log("RegisterSpi", [&](Call &call) { call.arg1 = new_spi != nullptr; });
    throw_if_asked("RegisterSpi");
    std::unique_lock lock(spi_mutex);
    spi = new_spi;
}

std::optional<int> ApiObject::admit(const char *op) {
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
    if (!link())
        return -1;  // not started, or no reachable front
    return std::nullopt;
}

const CallbackKind *ApiObject::callback(std::string_view name) const noexcept {
    return callbacks::find(callback_kinds, name);
}

template <class Use>
int ApiObject::with_worker(int index, Use use) {
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

int ApiObject::post(int index, Event event) {
    return with_worker(index, [&](Worker &worker) { worker.post(std::move(event)); });
}

void ApiObject::post(std::list<Event> &from, std::list<Event>::iterator event) noexcept {
    with_worker(0, [&](Worker &worker) { worker.adopt(from, event); });
    // Not delivered: the event stays in `from`, which drops it.
}

std::size_t ApiObject::pending() {
    std::lock_guard lock(state_mutex);
    return workers[0] ? workers[0]->pending() : 0;
}

int ApiObject::hold(int index, bool held) {
    return with_worker(index, [&](Worker &worker) { worker.hold(held); });
}

void ApiObject::set_trading_day(std::string_view day) {
    std::lock_guard lock(state_mutex);
    const std::size_t n = std::min(day.size(), sizeof trading_day_ - 1);
    std::memcpy(trading_day_, day.data(), n);
    trading_day_[n] = 0;
}

THOST_TE_RESUME_TYPE ApiObject::resume(Topic topic) const noexcept {
    return static_cast<THOST_TE_RESUME_TYPE>(resume_types[static_cast<int>(topic)].load());
}

void ApiObject::subscribe_topic(Topic topic, THOST_TE_RESUME_TYPE type) noexcept {
    resume_types[static_cast<int>(topic)].store(type);
}

namespace {

// A flow's file in the flow directory: "SEQUENCE IDENTITY", padded with
// spaces to a fixed length so that each rewrite covers the one before.
constexpr std::size_t flow_record = 256;

const char *flow_file(Topic topic) {
    return topic == Topic::private_flow ? "standin-private.flow" : "standin-public.flow";
}

}  // namespace

std::uint32_t ApiObject::follow(Topic topic, std::string_view identity, std::uint32_t &generation) {
    std::lock_guard lock(flow_mutex);
    Followed &flow = followed[static_cast<int>(topic)];
    if (flow.file < 0 && !released_flows) {
        const std::string path = flow_path + flow_file(topic);
        flow.file = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    }
    if (flow.identity != identity) {
        // What an earlier object of this flow directory received, if of the
        // same flow; else nothing yet.
        std::uint32_t stored = 0;
        char kept[flow_record + 1] = {};
        if (flow.file >= 0 && ::pread(flow.file, kept, flow_record, 0) > 0) {
            std::string_view line(kept);
            const auto space = line.find(' ');
            std::string_view named = space == std::string_view::npos ? "" : line.substr(space + 1);
            while (!named.empty() && (named.back() == ' ' || named.back() == '\n'))
                named.remove_suffix(1);
            if (named == identity)
                std::from_chars(line.data(), line.data() + space, stored);
        }
        flow.identity = identity;
        flow.received = stored;
    }
    flow.generation += 1;
    generation = flow.generation;
    return flow.received;
}

void ApiObject::received(const Event &event) noexcept {
    std::lock_guard lock(flow_mutex);
    Followed &flow = followed[static_cast<int>(event.topic)];
    if (event.generation != flow.generation || event.sequence <= flow.received)
        return;
    flow.received = event.sequence;
    if (flow.file < 0)
        return;
    char line[flow_record];
    std::memset(line, ' ', sizeof line);
    const int n = std::snprintf(line, sizeof line, "%u %s", flow.received, flow.identity.c_str());
    if (n > 0 && static_cast<std::size_t>(n) < sizeof line) {
        line[n] = ' ';
        line[sizeof line - 1] = '\n';
        // A flow directory that cannot be written: the resume starts earlier.
        [[maybe_unused]] const auto written = ::pwrite(flow.file, line, sizeof line, 0);
    }
}

FrontLink *ApiObject::link() {
    std::lock_guard lock(state_mutex);
    return link_.get();
}

void ApiObject::deliver(const Event &event, int repeat_index, unsigned char *buffer, CThostFtdcRspInfoField &info) {
    if (event.topic != Topic::none)
        received(event);  // the library has it, whatever the spi does
    std::shared_lock lock(spi_mutex);
    if (!spi || !event.kind)
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
        event.kind->invoke(spi, record, info_ptr, event.id + repeat_index, event.last);
        const std::int64_t end = monotonic_ns();
        record_timing(begin, end - begin, before, switches());
    } else {
        event.kind->invoke(spi, record, info_ptr, event.id + repeat_index, event.last);
    }
    if (record)
        std::memset(buffer, scribble, event.record.size());
    if (info_ptr)
        std::memset(&info, scribble, sizeof info);
}

// ---- the registry -----------------------------------------------------------

namespace {

// Never destroyed: API threads may outlive static destructors.
struct Registry {
    std::mutex mutex;
    int last = 0;
    std::map<int, std::shared_ptr<ApiObject>> apis;  // by serial
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

std::shared_ptr<ApiObject> find_api(int serial) {
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    auto found = r.apis.find(serial);
    return found == r.apis.end() ? nullptr : found->second;
}

std::vector<std::shared_ptr<ApiObject>> all_apis() {
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    std::vector<std::shared_ptr<ApiObject>> out;
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

namespace {

void retire(int serial) noexcept {
    // Freed outside the lock: freeing leaves the object's front.
    std::vector<std::shared_ptr<ApiObject>> freed;
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

}  // namespace

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

bool create_api(const char *op, const char *flow_path, int arg1, int arg2, const MakeApi &make) {
    if (logging_calls()) {
        try {
            Call call;
            call.op = op;
            call.gil = gil_state();
            call.arg1 = arg1;
            call.arg2 = arg2;
            call.text = flow_path ? flow_path : "";
            log_call(std::move(call));
        } catch (...) {
            // Out of memory: left out of the log.
        }
    }
    throw_if_asked(op);
    if (take_create_failure())
        return false;
    try {
        std::string flow = flow_path ? flow_path : "";
        if (!make_flow_path(flow))
            return false;
        Registry &r = registry();
        std::lock_guard lock(r.mutex);
        // The serial is used up only by an object that is made.
        std::shared_ptr<ApiObject> api = make(r.last + 1, std::move(flow));
        r.apis.emplace(api->serial(), api);
        ++r.last;
        return true;
    } catch (...) {
        return false;  // out of memory: as if the library refused
    }
}

const char *api_version() {
    throw_if_asked("GetApiVersion");
    // A copy per thread: ctpsim_set_version may rewrite the text meanwhile.
    thread_local char copy[256];
    copy_version(copy, sizeof copy);
    return copy;
}

}  // namespace standin
