// The wall clock, as the front's records show it.
#pragma once

#include <string>

namespace standin {

// One reading of the local wall clock. A record takes its date, time and
// millisecond from one reading, so that they never disagree: read apart, a
// tick showed the millisecond of a new second beside the old second, and a
// record made at midnight could show yesterday's date beside today's time.
struct Stamp {
    char date[9];  // YYYYMMDD
    char time[9];  // HH:MM:SS
    int millisec;
};

Stamp wall_clock() noexcept;

// A front's clock: the time its records show. The machine's local time.
class Clock {
public:
    Stamp now() const noexcept { return wall_clock(); }
};

// Today, or the Monday after a weekend.
std::string default_trading_day();

}  // namespace standin
