// Process-wide switches of the stand-in library, set through the control interface.
#pragma once

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
// Undoes ctpsim_hold, ctpsim_query_interval and ctpsim_max_pending (control_front.cpp).
void reset_front_switches();

}  // namespace standin
