// Process-wide switches of the stand-in library, set through the control interface.
#pragma once

#include <cstdint>
#include <cstddef>
#include <optional>
#include <string>

namespace standin {

// The value every Req* returns while forced.
std::optional<int> forced_result();
// True once after ctpsim_fail_next_create.
bool take_create_failure();
// True once when the next library thread is to fail to start (ctpsim_fail_thread).
bool take_thread_failure();
// The version text now; copy_version copies it, cut to fit and NUL-terminated.
std::string version_text();
void copy_version(char *out, std::size_t size);
// How long each Req* takes, in microseconds (0: no delay).
int request_delay_us();
// Throws what ctpsim_throw_next asked for, once, when op is the operation named.
void throw_if_asked(const char *op);
// Callback timing (ctpsim_timing): whether it is on, and one callback's
// start (CLOCK_MONOTONIC, ns) and duration.
bool timing_enabled();
std::int64_t monotonic_ns();
// What the calling thread has been through so far, when counted
// (ctpsim_timing's count_switches), else zeros: times the scheduler preempted
// it, times it blocked, and minor page faults.
struct Switches {
    long preempted = 0;
    long blocked = 0;
    long faults = 0;
};
Switches switches();
void record_timing(std::int64_t begin, std::int64_t duration, const Switches &before, const Switches &after);
// Undoes ctpsim_hold, ctpsim_query_interval and ctpsim_max_pending, and stops
// every random walk (control_front.cpp).
void reset_front_switches();

}  // namespace standin
