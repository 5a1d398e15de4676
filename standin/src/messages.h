// Error numbers and texts of the simulated front. Texts are GB18030, as the
// vendor's records carry them (messages.cpp is compiled to that charset).
#pragma once

namespace standin {

// What went wrong; error_id gives the number a client sees (several share one).
enum class Error {
    none,
    not_logged_in,
    already_logged_in,
    investor_mismatch,
    auth_failed,
    unknown_instrument,
    not_trading,
    not_authenticated,
    bad_order_ref,
    bad_price_type,
    bad_direction,
    bad_offset,
    bad_hedge,
    bad_time_condition,
    bad_volume_condition,
    bad_contingent_condition,
    bad_force_close,
    bad_tick,
    bad_price,
    order_not_found,
    order_finished,
    out_of_band,
    action_unsupported,
    bad_volume,
    insufficient_funds,
    not_confirmed,
    not_enough_position,
    bad_password,
    self_trade,
    not_continuous,
    wrong_old_password,
    empty_new_password,
    unsupported,
    front_not_ready,
};

// The ErrorID that a client sees.
int error_id(Error error);
// The ErrorMsg, GB18030.
const char *error_text(Error error);

// StatusMsg of an order in each state, GB18030.
namespace status_text {
extern const char *const submitted;   // 'a'
extern const char *const queued;      // '3'
extern const char *const part_traded; // '1'
extern const char *const all_traded;  // '0'
extern const char *const cancelled;   // '5' by an order action
extern const char *const ioc_rest;    // '5': what an immediate-or-cancel order could not fill at once
extern const char *const fok_unfilled;// '5': a fill-or-kill order that could not fill whole
extern const char *const day_ended;   // '5': waiting when its trading day ended
}  // namespace status_text

}  // namespace standin
