#include "calendar.h"

#include <charconv>

namespace standin {

namespace {

constexpr Millis millis_per_minute = 60 * 1000;

bool is_weekday(std::int64_t day) {
    const int w = weekday(day);
    return w >= 1 && w <= 5;
}

// Minutes since the day change: the order of the trading day.
int position(int minute) {
    return minute >= day_change_minute ? minute - day_change_minute : minute + 24 * 60 - day_change_minute;
}

bool night(const Hours &hours) { return hours.start >= day_change_minute; }

// HH:MM, 00:00 to 23:59.
bool minute_of(std::string_view text, int &out) {
    if (text.size() != 5 || text[2] != ':')
        return false;
    int hours = 0, minutes = 0;
    for (auto [part, value] : {std::pair(text.substr(0, 2), &hours), std::pair(text.substr(3, 2), &minutes)}) {
        if (part.find_first_not_of("0123456789") != std::string_view::npos)
            return false;
        std::from_chars(part.data(), part.data() + part.size(), *value);
    }
    if (hours > 23 || minutes > 59)
        return false;
    out = hours * 60 + minutes;
    return true;
}

}  // namespace

std::int64_t next_weekday(std::int64_t day) noexcept {
    do
        ++day;
    while (!is_weekday(day));
    return day;
}

std::int64_t previous_weekday(std::int64_t day) noexcept {
    do
        --day;
    while (!is_weekday(day));
    return day;
}

std::int64_t weekday_on_or_after(std::int64_t day) noexcept { return is_weekday(day) ? day : next_weekday(day); }

std::int64_t trading_day_at(Millis time) noexcept {
    std::int64_t day = time / millis_per_day - (time % millis_per_day < 0);
    const Millis into = time - day * millis_per_day;
    if (is_weekday(day) && into < day_change_minute * millis_per_minute)
        return day;
    return next_weekday(day);
}

Millis day_begins(std::int64_t day) noexcept {
    return previous_weekday(day) * millis_per_day + day_change_minute * millis_per_minute;
}

Millis day_ends(std::int64_t day) noexcept { return day * millis_per_day + day_change_minute * millis_per_minute; }

std::vector<Transition> transitions(const Sessions &sessions, std::int64_t day) {
    std::vector<Transition> out;
    out.push_back({day_begins(day), status::before_trading});
    const std::int64_t eve = previous_weekday(day);
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        const Hours &hours = sessions[i];
        const Millis base = (night(hours) ? eve : day) * millis_per_day;
        const Millis start = base + hours.start * millis_per_minute;
        const Millis end = base + (hours.end + (hours.end < hours.start ? 24 * 60 : 0)) * millis_per_minute;
        if (i == 0) {
            out.push_back({start - auction_minutes * millis_per_minute, status::auction_ordering});
            out.push_back({start - millis_per_minute, status::auction_match});
        }
        out.push_back({start, status::continuous});
        out.push_back({end, i + 1 == sessions.size() ? status::closed : status::no_trading});
    }
    return out;
}

std::optional<Sessions> parse_sessions(std::string_view text, std::string &error) {
    Sessions out;
    while (!text.empty()) {
        const auto space = text.find_first_of(" \t");
        const std::string_view word = text.substr(0, space);
        text = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
        if (word.empty())
            continue;
        Hours hours{};
        if (word.size() != 11 || word[5] != '-' || !minute_of(word.substr(0, 5), hours.start) ||
            !minute_of(word.substr(6, 5), hours.end)) {
            error = "sessions must read HH:MM-HH:MM ...";
            return std::nullopt;
        }
        // Night sessions may run past midnight; no session runs past the day change.
        if (position(hours.end) <= position(hours.start)) {
            error = "a session must end after it starts, within its trading day (20:00 to 20:00)";
            return std::nullopt;
        }
        if (out.empty() && position(hours.start) < auction_minutes) {
            error = "the first session must start at least 5 minutes after 20:00, for the opening auction";
            return std::nullopt;
        }
        if (!out.empty() && position(hours.start) <= position(out.back().end)) {
            error = "sessions must come in the order of the trading day, apart from each other";
            return std::nullopt;
        }
        if (out.size() == 10) {
            error = "at most 10 sessions";
            return std::nullopt;
        }
        out.push_back(hours);
    }
    if (out.empty()) {
        error = "sessions must read HH:MM-HH:MM ...";
        return std::nullopt;
    }
    return out;
}

Sessions standard_day_sessions() { return {{9 * 60, 10 * 60 + 15}, {10 * 60 + 30, 11 * 60 + 30}, {13 * 60 + 30, 15 * 60}}; }

}  // namespace standin
