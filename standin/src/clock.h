// The front's clock: the civil time its records show and its trading
// calendar runs on, the machine's local time unless set.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace standin {

// Civil (wall-clock) time in milliseconds since 1970-01-01 00:00 of the same
// wall clock: no time zone is involved once a time is civil, so a time set
// from a recording made in China reads the same on a machine in UTC.
using Millis = std::int64_t;
inline constexpr Millis millis_per_day = 24 * 60 * 60 * 1000;

// One reading of the clock. A record takes its date, time and millisecond
// from one reading, so that they never disagree: read apart, a tick showed
// the millisecond of a new second beside the old second, and a record made at
// midnight could show yesterday's date beside today's time.
struct Stamp {
    char date[9];  // YYYYMMDD
    char time[9];  // HH:MM:SS
    int millisec;
};

Stamp stamp(Millis civil) noexcept;
// Days since 1970-01-01 of a YYYYMMDD date, or nothing when it is not a real
// date of the Gregorian calendar; and back.
std::optional<std::int64_t> parse_date(std::string_view date) noexcept;
std::string date_text(std::int64_t days);
// 0 Sunday ... 6 Saturday.
int weekday(std::int64_t days) noexcept;
// "YYYYMMDD HH:MM:SS" or "YYYYMMDD HH:MM:SS.mmm", or nothing.
std::optional<Millis> parse_civil(std::string_view text) noexcept;
// The machine's local time now.
Millis machine_now() noexcept;

// A front's clock. It reads the machine's local time until set; set, it runs
// on from the time given at the machine's pace; frozen, it stands until set
// or advanced. Not thread-safe: the front's lock guards it.
class Clock {
public:
    Millis now() const noexcept;
    Stamp stamp() const noexcept { return standin::stamp(now()); }
    // Runs on (or stands, when frozen) from `civil`.
    void set(Millis civil) noexcept;
    // Back to the machine's local time (frozen at it, when frozen).
    void follow_machine() noexcept;
    void advance(Millis by) noexcept { set(now() + by); }
    void freeze(bool frozen) noexcept;
    bool frozen() const noexcept { return frozen_; }
    // How long until the clock reads `civil`, in the machine's time; nothing
    // while frozen (only a control moves it then).
    std::optional<std::chrono::milliseconds> until(Millis civil) const noexcept;

private:
    bool machine = true;
    bool frozen_ = false;
    Millis base = 0;                                // the time at `anchor` (set), or when frozen
    std::chrono::steady_clock::time_point anchor{};
};

}  // namespace standin
