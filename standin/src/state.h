// Process-wide switches of the stand-in library, set through the control interface.
#pragma once

#include <cstdint>
#include <optional>

namespace standin {

// The value every Req* returns while forced.
std::optional<int> forced_result();
// True once after ctpsim_fail_next_create.
bool take_create_failure();
const char *version_text();
// How long each Req* takes, in microseconds (0: no delay).
int request_delay_us();
int last_serial();
// Throws what ctpsim_throw_next asked for, once, when op is the operation named.
void throw_if_asked(const char *op);
// Callback timing (ctpsim_timing): whether it is on, and one callback's
// start (CLOCK_MONOTONIC, ns) and duration.
bool timing_enabled();
std::int64_t monotonic_ns();
void record_timing(std::int64_t begin, std::int64_t duration);
// Undoes ctpsim_hold, ctpsim_query_interval and ctpsim_max_pending (control_front.cpp).
void reset_front_switches();

}  // namespace standin
