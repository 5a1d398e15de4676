#include "clock.h"

#include <charconv>
#include <ctime>

namespace standin {

namespace {

// Days since 1970-01-01 of a Gregorian date, and back (the well-known
// algorithms on 400-year eras; exact for every year of a long long).
std::int64_t days_from_civil(std::int64_t y, int m, int d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

struct Civil {
    std::int64_t year;
    int month;
    int day;
};

Civil civil_from_days(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {era * 400 + yoe + (m <= 2), m, d};
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

bool digits(std::string_view text, int &out) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc() && end == text.data() + text.size();
}

void two(char *out, int value) {
    out[0] = static_cast<char>('0' + value / 10);
    out[1] = static_cast<char>('0' + value % 10);
}

}  // namespace

Stamp stamp(Millis civil) noexcept {
    Stamp out{};
    const std::int64_t days = floor_div(civil, millis_per_day);
    const Millis into = civil - days * millis_per_day;
    const Civil date = civil_from_days(days);
    if (date.year >= 0 && date.year <= 9999) {
        const int year = static_cast<int>(date.year);
        two(out.date, year / 100);
        two(out.date + 2, year % 100);
        two(out.date + 4, date.month);
        two(out.date + 6, date.day);
    }
    const int seconds = static_cast<int>(into / 1000);
    two(out.time, seconds / 3600);
    out.time[2] = ':';
    two(out.time + 3, seconds / 60 % 60);
    out.time[5] = ':';
    two(out.time + 6, seconds % 60);
    out.millisec = static_cast<int>(into % 1000);
    return out;
}

std::optional<std::int64_t> parse_date(std::string_view text) noexcept {
    int year = 0, month = 0, day = 0;
    if (text.size() != 8 || !digits(text.substr(0, 4), year) || !digits(text.substr(4, 2), month) ||
        !digits(text.substr(6, 2), day))
        return std::nullopt;
    if (year < 1 || month < 1 || month > 12 || day < 1)
        return std::nullopt;
    constexpr int lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (day > lengths[month - 1] + (month == 2 && leap))
        return std::nullopt;
    return days_from_civil(year, month, day);
}

std::string date_text(std::int64_t days) { return stamp(days * millis_per_day).date; }

int weekday(std::int64_t days) noexcept {
    const std::int64_t n = days + 4;  // 1970-01-01 was a Thursday
    return static_cast<int>(n - floor_div(n, 7) * 7);
}

std::optional<Millis> parse_civil(std::string_view text) noexcept {
    // YYYYMMDD HH:MM:SS[.mmm]
    if (text.size() != 17 && text.size() != 21)
        return std::nullopt;
    const auto days = parse_date(text.substr(0, 8));
    int hours = 0, minutes = 0, seconds = 0, millis = 0;
    if (!days || text[8] != ' ' || text[11] != ':' || text[14] != ':' || !digits(text.substr(9, 2), hours) ||
        !digits(text.substr(12, 2), minutes) || !digits(text.substr(15, 2), seconds) || hours > 23 ||
        minutes > 59 || seconds > 59)
        return std::nullopt;
    if (text.size() == 21 && (text[17] != '.' || !digits(text.substr(18, 3), millis)))
        return std::nullopt;
    return *days * millis_per_day + ((hours * 60 + minutes) * 60 + seconds) * Millis{1000} + millis;
}

Millis machine_now() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::tm parts{};
    ::localtime_r(&now.tv_sec, &parts);
    return (static_cast<Millis>(now.tv_sec) + parts.tm_gmtoff) * 1000 + now.tv_nsec / 1000000;
}

Millis Clock::now() const noexcept {
    if (frozen_)
        return base;
    if (machine)
        return machine_now();
    const auto elapsed = std::chrono::steady_clock::now() - anchor;
    return base + std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

void Clock::set(Millis civil) noexcept {
    machine = false;
    base = civil;
    anchor = std::chrono::steady_clock::now();
}

void Clock::follow_machine() noexcept {
    machine = true;
    if (frozen_)
        base = machine_now();
}

void Clock::freeze(bool frozen) noexcept {
    if (frozen == frozen_)
        return;
    if (frozen) {
        base = now();
        frozen_ = true;
        return;
    }
    // Runs on from the time it stood at.
    frozen_ = false;
    set(base);
}

std::optional<std::chrono::milliseconds> Clock::until(Millis civil) const noexcept {
    if (frozen_)
        return std::nullopt;
    const Millis left = civil - now();
    return std::chrono::milliseconds(left > 0 ? left : 0);
}

}  // namespace standin
