// The test control interface (ctpsim.h) and the state behind it.
#include "api.h"
#include "control.h"
#include "ctpsim.h"
#include "interface.h"
#include "records.h"
#include "state.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include <sys/resource.h>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <string_view>
#include <utility>

namespace standin {

namespace {

constexpr const char default_version[] = "6.7.2_standin (simulated front)";

std::mutex control_mutex;  // guards everything below
std::vector<Call> calls;
int violations = 0;
bool fail_next_create = false;
int threads_until_failure = 0;  // 0: none fails
std::optional<int> forced;
std::atomic<int> delay_us{0};
// Off unless a test asks: a paper-trading process runs all day.
std::atomic<bool> logging{false};
char version[256] = "6.7.2_standin (simulated front)";
std::vector<std::pair<std::string, int>> armed;  // ctpsim_throw_next: operation, kind

// ctpsim_timing: slots are claimed with one atomic increment, so that timing
// adds next to nothing to the callback it measures.
struct Timing {
    std::int64_t begin;
    std::int64_t duration;
    int preempted;
    int blocked;
    int faults;
};
constexpr int max_timings = 1 << 22;
std::atomic<bool> timing_on{false};
std::atomic<bool> counting_switches{false};
std::atomic<std::size_t> timed{0};
std::atomic<std::size_t> timing_capacity{0};
std::unique_ptr<Timing[]> timings;  // made once, never freed: callbacks may still write

}  // namespace

void log_call(Call call) {
    // Bounded, so that a long run with the log on does not grow forever.
    constexpr std::size_t max_logged = 100000;
    if (!logging)
        return;
    std::lock_guard lock(control_mutex);
    if (calls.size() < max_logged)
        calls.push_back(std::move(call));
}

bool logging_calls() { return logging; }

void log_violation() {
    std::lock_guard lock(control_mutex);
    ++violations;
}

std::optional<int> forced_result() {
    std::lock_guard lock(control_mutex);
    return forced;
}

bool take_create_failure() {
    std::lock_guard lock(control_mutex);
    return std::exchange(fail_next_create, false);
}

bool timing_enabled() { return timing_on.load(std::memory_order_relaxed); }

std::int64_t monotonic_ns() {
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

Switches switches() {
    if (!counting_switches.load(std::memory_order_relaxed))
        return {};
    rusage usage;
    ::getrusage(RUSAGE_THREAD, &usage);
    return {usage.ru_nivcsw, usage.ru_nvcsw, usage.ru_minflt};
}

void record_timing(std::int64_t begin, std::int64_t duration, const Switches &before, const Switches &after) {
    const std::size_t slot = timed.fetch_add(1, std::memory_order_relaxed);
    if (slot < timing_capacity.load(std::memory_order_relaxed))
        timings[slot] = {begin, duration, static_cast<int>(after.preempted - before.preempted),
                         static_cast<int>(after.blocked - before.blocked), static_cast<int>(after.faults - before.faults)};
}

void throw_if_asked(const char *op) {
    int kind;
    {
        std::lock_guard lock(control_mutex);
        auto found = std::find_if(armed.begin(), armed.end(), [&](const auto &entry) { return entry.first == op; });
        if (found == armed.end())
            return;
        kind = found->second;
        armed.erase(found);
    }
    switch (kind) {
    case CTPSIM_THROW_BAD_ALLOC:
        throw std::bad_alloc();
    case CTPSIM_THROW_SYSTEM:
        throw std::system_error(EAGAIN, std::generic_category(), std::string(op) + " failed in the stand-in");
    case CTPSIM_THROW_OTHER:
        throw kind;
    default:
        throw std::runtime_error(std::string(op) + " failed in the stand-in");
    }
}

bool take_thread_failure() {
    std::lock_guard lock(control_mutex);
    return threads_until_failure > 0 && --threads_until_failure == 0;
}

std::string version_text() {
    std::lock_guard lock(control_mutex);
    return version;
}

void copy_version(char *out, std::size_t size) {
    std::lock_guard lock(control_mutex);
    const std::size_t n = std::min(std::strlen(version), size - 1);
    std::memcpy(out, version, n);
    out[n] = 0;
}

int request_delay_us() { return delay_us.load(); }

}  // namespace standin

using namespace standin;

namespace {

std::size_t record_size(std::string_view name) {
    for (const auto &[record, size] : interface::record_sizes)
        if (record == name)
            return size;
    return 0;
}

// Runs the named callback of the object's own library `repeat` times on one
// of its threads, ids counting up from `id`, and waits for it.
int run(int api, int thread, const char *callback, const void *record, size_t record_size, const void *info,
        size_t info_size, int id, int last, int repeat, int timeout_ms) {
    std::shared_ptr<ApiObject> found = find_api(api);
    if (!found)
        return CTPSIM_NO_API;
    Event event;
    event.kind = found->callback(callback ? callback : "");
    if (!event.kind)
        return CTPSIM_NO_CALLBACK;
    if (record && (event.kind->record_size == 0 || record_size != event.kind->record_size))
        return CTPSIM_BAD_SIZE;
    if (info && info_size != sizeof(CThostFtdcRspInfoField))
        return CTPSIM_BAD_SIZE;
    if (repeat <= 0)
        return CTPSIM_OK;
    event.attach(record, record_size, info);
    event.id = id;
    event.last = last != 0;
    event.repeat = repeat;
    auto completion = std::make_shared<Completion>();
    event.completion = completion;
    if (int posted = found->post(thread, std::move(event)); posted != CTPSIM_OK)
        return posted;
    return completion->wait(timeout_ms);
}

}  // namespace

extern "C" {

int ctpsim_last_api(void) { return last_serial(); }

int ctpsim_alive(int api) {
    auto found = find_api(api);
    return found && found->alive();
}

int ctpsim_api_of(const char *flow_path) { return api_of(flow_path ? flow_path : ""); }

int ctpsim_emit(int api, int thread, const char *callback, const void *record, size_t record_size,
                const void *info, size_t info_size, int id, int last, int timeout_ms) {
    return guarded([&] {
        return run(api, thread, callback, record, record_size, info, info_size, id, last, 1, timeout_ms);
    });
}

int ctpsim_flood(int api, int thread, const char *callback, int n, int timeout_ms) {
    return guarded([&] { return run(api, thread, callback, nullptr, 0, nullptr, 0, 0, 1, n, timeout_ms); });
}

int ctpsim_flood_record(int api, int thread, const char *callback, const void *record, size_t record_size, int n,
                        int timeout_ms) {
    return guarded([&] { return run(api, thread, callback, record, record_size, nullptr, 0, 0, 1, n, timeout_ms); });
}

int ctpsim_calls(struct ctpsim_call *out, int max) {
    std::lock_guard lock(control_mutex);
    int count = static_cast<int>(calls.size());
    for (int i = 0; out && i < std::min(count, max); ++i) {
        const Call &call = calls[i];
        ctpsim_call &o = out[i];
        std::memset(&o, 0, sizeof o);
        o.api = call.api;
        put(o.op, call.op);
        o.gil = call.gil;
        o.arg1 = call.arg1;
        o.arg2 = call.arg2;
        put(o.text, call.text);
        o.size = std::min(call.record.size(), sizeof o.record);
        if (o.size != 0)
            std::memcpy(o.record, call.record.data(), o.size);
    }
    return count;
}

int ctpsim_violations(void) {
    std::lock_guard lock(control_mutex);
    return violations;
}

void ctpsim_reset(void) {
    {
        std::lock_guard lock(control_mutex);
        calls.clear();
        logging = false;
        violations = 0;
        armed.clear();
        timing_on = false;
        fail_next_create = false;
        threads_until_failure = 0;
        forced.reset();
        delay_us = 0;
        put(version, default_version);
    }
    // Outside control_mutex: this takes API objects' locks, which are held
    // elsewhere while control_mutex is taken (log_call from dead()).
    try {
        reset_front_switches();
    } catch (...) {
        // Out of memory: held threads stay held; nothing may escape into the caller.
    }
}

void ctpsim_log_calls(int enabled) { logging = enabled != 0; }

void ctpsim_fail_thread(int nth) {
    std::lock_guard lock(control_mutex);
    threads_until_failure = std::max(nth, 0);
}

void ctpsim_fail_next_create(void) {
    std::lock_guard lock(control_mutex);
    fail_next_create = true;
}

void ctpsim_force_result(int enabled, int value) {
    std::lock_guard lock(control_mutex);
    if (enabled)
        forced = value;
    else
        forced.reset();
}

void ctpsim_set_version(const char *text) {
    std::lock_guard lock(control_mutex);
    put(version, text ? text : "");
}

void ctpsim_timing(int capacity, int count_switches) {
    std::lock_guard lock(control_mutex);
    timing_on = false;
    counting_switches = count_switches != 0;
    if (capacity <= 0)
        return;
    if (!timings)
        timings.reset(new (std::nothrow) Timing[max_timings]);
    if (!timings)
        return;
    timing_capacity = std::min(capacity, max_timings);
    timed = 0;
    timing_on = true;
}

int ctpsim_timings(long long *begin_ns, long long *duration_ns, int *preempted, int *blocked, int *faults, int max) {
    std::lock_guard lock(control_mutex);
    const std::size_t count = timed.load();
    const std::size_t kept = std::min({count, timing_capacity.load(), static_cast<std::size_t>(std::max(max, 0))});
    for (std::size_t i = 0; timings && i < kept; ++i) {
        if (begin_ns)
            begin_ns[i] = timings[i].begin;
        if (duration_ns)
            duration_ns[i] = timings[i].duration;
        if (preempted)
            preempted[i] = timings[i].preempted;
        if (blocked)
            blocked[i] = timings[i].blocked;
        if (faults)
            faults[i] = timings[i].faults;
    }
    return static_cast<int>(std::min<std::size_t>(count, INT32_MAX));
}

void ctpsim_throw_next(const char *op, int kind) {
    std::lock_guard lock(control_mutex);
    armed.emplace_back(op ? op : "", kind);
}

void ctpsim_set_request_delay(int microseconds) { delay_us = microseconds; }

size_t ctpsim_sizeof(const char *record) { return record_size(record ? record : ""); }

}  // extern "C"
