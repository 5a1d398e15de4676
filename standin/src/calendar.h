// The exchange calendar: trading sessions, the trading day a time belongs
// to, and the status changes of an instrument over a trading day.
#pragma once

#include "clock.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

// Instrument statuses (the vendor's TThostFtdcInstrumentStatusType).
namespace status {
inline constexpr char before_trading = '0';
inline constexpr char no_trading = '1';
inline constexpr char continuous = '2';
inline constexpr char auction_ordering = '3';
inline constexpr char auction_balance = '4';
inline constexpr char auction_match = '5';
inline constexpr char closed = '6';
}  // namespace status

// Why an instrument entered its status (TThostFtdcInstStatusEnterReasonType).
namespace enter_reason {
inline constexpr char automatic = '1';
inline constexpr char manual = '2';
inline constexpr char fuse = '3';
}  // namespace enter_reason

// One trading session, in minutes after midnight. A session starting at or
// after the day change belongs to the night before its trading day and may
// run past midnight (its end then comes before its start).
struct Hours {
    int start;
    int end;
    bool operator==(const Hours &) const = default;
};
using Sessions = std::vector<Hours>;

// Trading day D runs from 20:00 on the weekday before it (Friday for a
// Monday) to 20:00 on D.
inline constexpr int day_change_minute = 20 * 60;
// The opening auction: orders from 5 minutes before the first session,
// matching in its last minute.
inline constexpr int auction_minutes = 5;

// Days since 1970-01-01: the weekday strictly after and before a day, and
// the first weekday on or after it.
std::int64_t next_weekday(std::int64_t day) noexcept;
std::int64_t previous_weekday(std::int64_t day) noexcept;
std::int64_t weekday_on_or_after(std::int64_t day) noexcept;
// The trading day a time falls in.
std::int64_t trading_day_at(Millis time) noexcept;
Millis day_begins(std::int64_t day) noexcept;
Millis day_ends(std::int64_t day) noexcept;

struct Transition {
    Millis at;
    char status;
};
// The status changes of an instrument trading in `sessions` over trading day
// `day`, in time order: before trading from the day's start, the opening
// auction before the first session (orders, then matching), continuous
// trading in each session, no trading between them, closed after the last.
std::vector<Transition> transitions(const Sessions &sessions, std::int64_t day);

// "21:00-23:00 09:00-10:15 10:30-11:30 13:30-15:00": sessions in the order
// of the trading day, each after the one before and apart from it, the first
// at least 5 minutes after the day change. Nothing, with the reason in
// `error`, when the text says otherwise.
std::optional<Sessions> parse_sessions(std::string_view text, std::string &error);

// The day sessions of most products: 09:00-10:15, 10:30-11:30, 13:30-15:00.
Sessions standard_day_sessions();

}  // namespace standin
