#include "clock.h"

#include <ctime>

namespace standin {

namespace {

std::tm local_at(std::time_t when) {
    std::tm parts{};
    ::localtime_r(&when, &parts);
    return parts;
}

void date_text(const std::tm &parts, char (&out)[9]) {
    if (std::strftime(out, sizeof out, "%Y%m%d", &parts) == 0)
        out[0] = 0;  // a year beyond 9999
}

}  // namespace

Stamp wall_clock() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const std::tm parts = local_at(now.tv_sec);
    Stamp out{};
    date_text(parts, out.date);
    std::strftime(out.time, sizeof out.time, "%H:%M:%S", &parts);
    out.millisec = static_cast<int>(now.tv_nsec / 1000000);
    return out;
}

std::string default_trading_day() {
    // Days are added to the time, not normalised with mktime: mktime
    // re-reads the time zone on every call, which is not safe while other
    // threads do the same (two fronts made at once).
    const std::time_t now = std::time(nullptr);
    const std::tm parts = local_at(now);
    const int skip = parts.tm_wday == 6 ? 2 : parts.tm_wday == 0 ? 1 : 0;
    char out[9];
    date_text(skip == 0 ? parts : local_at(now + skip * 24 * 60 * 60), out);
    return out;
}

}  // namespace standin
