#include "unruly.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace standin {

namespace {

std::string_view strip(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

// A whole number (decimal, or hexadecimal after 0x) from low to high.
bool whole(std::string_view text, long long low, long long high, long long &out) {
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        base = 16;
    }
    long long read = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), read, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || read < low || read > high)
        return false;
    out = read;
    return true;
}

bool seed_of(std::string_view text, std::uint64_t &out) {
    std::uint64_t read = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), read);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return false;
    out = read;
    return true;
}

bool chance_of(std::string_view text, double &out) {
    double read = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), read);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !(read >= 0 && read <= 1))
        return false;
    out = read;
    return true;
}

// The counts and times a key takes, with their bounds.
struct Count {
    const char *key;
    int Behaviour::*member;
    int low;
    int high;
};
constexpr Count counts[] = {
    {"query_batch", &Behaviour::query_batch, 0, 10000},
    {"query_pause", &Behaviour::query_pause, 0, 60000},
    {"query_rate", &Behaviour::query_rate, 1, 1000},
    {"query_backlog", &Behaviour::query_backlog, 0, 1000},
    {"drop_moment", &Behaviour::drop_moment, 0, 3},
    {"heartbeat_warnings", &Behaviour::heartbeat_warnings, 0, 10},
    {"reconnect", &Behaviour::reconnect, 0, 600000},
    {"outage", &Behaviour::outage, 0, 100},
    {"not_ready", &Behaviour::not_ready, 0, 100},
};

struct Chance {
    const char *key;
    double Behaviour::*member;
};
constexpr Chance chances[] = {
    {"fill_first", &Behaviour::fill_first},
    {"exchange_refusals", &Behaviour::exchange_refusals},
    {"drop", &Behaviour::drop},
};

std::string bounds(const Count &count) {
    return std::string(count.key) + " must be a whole number from " + std::to_string(count.low) + " to " +
           std::to_string(count.high);
}

}  // namespace

std::string behave(Behaviour &behaviour, std::string_view key, std::string_view value) {
    value = strip(value);
    if (key == "seed")
        return seed_of(value, behaviour.seed) ? std::string() : "seed must be a whole number from 0 to 2^64 - 1";
    if (key == "unruly") {
        if (value == "off") {
            // Orderly again, with the doors as they are.
            const Behaviour orderly;
            const std::uint64_t down = behaviour.down;
            const std::uint64_t seed = behaviour.seed;
            behaviour = orderly;
            behaviour.down = down;
            behaviour.seed = seed;
            return {};
        }
        std::uint64_t seed = 0;
        if (!seed_of(value, seed))
            return "unruly must be a seed (a whole number from 0 to 2^64 - 1) or off";
        make_unruly(behaviour, seed);
        return {};
    }
    for (const Chance &chance : chances)
        if (key == chance.key)
            return chance_of(value, behaviour.*chance.member) ? std::string()
                                                                : std::string(chance.key) + " must be from 0 to 1";
    for (const Count &count : counts) {
        if (key != count.key)
            continue;
        long long read = 0;
        if (!whole(value, count.low, count.high, read))
            return bounds(count);
        behaviour.*count.member = static_cast<int>(read);
        return {};
    }
    if (key == "drop_reason") {
        long long read = 0;
        if (!whole(value, 0, 0xffff, read) ||
            (read != 0 && std::ranges::find(drop_reasons, read) == std::end(drop_reasons)))
            return "drop_reason must be 0 (any) or one of 0x1001, 0x1002, 0x2001, 0x2002, 0x2003";
        behaviour.drop_reason = static_cast<int>(read);
        return {};
    }
    if (key == "down") {
        // Door numbers, apart by spaces or commas; none: every door up.
        std::uint64_t down = 0;
        while (!(value = strip(value)).empty()) {
            const std::size_t end = std::min(value.find(','), value.find(' '));
            long long door = 0;
            if (!whole(value.substr(0, end), 1, max_door, door))
                return "down must list door numbers from 1 to " + std::to_string(max_door);
            down |= std::uint64_t{1} << (door - 1);
            value = end == std::string_view::npos ? std::string_view() : value.substr(end + 1);
        }
        behaviour.down = down;
        return {};
    }
    return "unknown key " + std::string(key);
}

void make_unruly(Behaviour &behaviour, std::uint64_t seed) {
    // Often enough that a session of a hundred requests meets each of them,
    // rarely enough that it gets something done between drops.
    behaviour.seed = seed;
    behaviour.unruly = true;
    behaviour.fill_first = 0.5;
    behaviour.exchange_refusals = 0.5;
    behaviour.query_batch = 4;
    behaviour.query_pause = 30;
    behaviour.drop = 0.03;
    behaviour.drop_reason = 0;
    behaviour.heartbeat_warnings = 2;
    behaviour.reconnect = 50;
    behaviour.outage = 2;
    behaviour.not_ready = 1;
}

bool is_door_down(const Behaviour &behaviour, int door) {
    return door >= 1 && door <= max_door && (behaviour.down >> (door - 1) & 1);
}

// ---- the dice ---------------------------------------------------------------

void Dice::reseed(std::uint64_t to) noexcept {
    seed = to;
    std::ranges::fill(drawn, 0);
    notes_.clear();
}

std::uint64_t Dice::draw(Draw kind) noexcept {
    // SplitMix64 of the seed, the kind and the count of its draws.
    const auto index = static_cast<unsigned>(kind);
    std::uint64_t x = seed + 0x9E3779B97F4A7C15ULL * (std::uint64_t{index} << 40 | ++drawn[index]);
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

bool Dice::chance(Draw kind, double chance) noexcept {
    if (chance <= 0)
        return false;
    if (chance >= 1)
        return true;
    return static_cast<double>(draw(kind) >> 11) * 0x1p-53 < chance;
}

int Dice::level(Draw kind, int level, bool unruly, int low) noexcept {
    if (!unruly || level <= low)
        return level;
    return low + pick(kind, level - low + 1);
}

int Dice::pick(Draw kind, int count) noexcept {
    return count <= 1 ? 0 : static_cast<int>(draw(kind) % static_cast<std::uint64_t>(count));
}

void Dice::note(std::string_view what, std::initializer_list<long long> numbers) noexcept {
    if (notes_.size() >= max_notes)
        return;
    try {
        std::string text(what);
        for (long long number : numbers)
            text += " " + std::to_string(number);
        notes_.push_back(std::move(text));
    } catch (...) {
        // Out of memory: the note is missing; the choice stands.
    }
}

}  // namespace standin
