// The simulated front's unruly behaviours: the legal things a real front does
// that an orderly one does not (a fill reported before its order, refusals
// from the exchange, replies in batches, drops, the library's reconnect
// attempts, fronts down, logins refused while the front is not ready). Each
// is set alone, in a configuration file or by ctpsim_behave, with the same
// `key = value` text; the unruly mode sets them all at once and draws every
// choice from a seed (standin/README.md, "Unruly fronts").
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

// Doors of a venue: sim://NAME is door 1, sim://NAME/K door K.
inline constexpr int max_door = 64;

struct Behaviour {
    std::uint64_t seed = 0;
    // Counts and pauses are drawn from 0 (1 for a batch) up to their setting
    // at each occasion, rather than taken as set.
    bool unruly = false;
    double fill_first = 0;         // chance a trade's RtnTrade comes before the RtnOrder reporting it
    double exchange_refusals = 0;  // chance a refusal the exchange makes comes as the exchange's
    int query_batch = 0;           // records a reply batch holds at most (0: one batch)
    int query_pause = 0;           // ms between two batches
    int query_rate = 1;            // queries a session may send within the query interval
    int query_backlog = 0;         // its queries not yet answered whole (0: no limit)
    double drop = 0;               // chance a request comes with a drop of its connection
    int drop_reason = 0;           // the drop's reason (0: one of the five drawn)
    int drop_moment = 0;           // 1 before the request, 2 losing its replies, 3 after them (0: drawn)
    int heartbeat_warnings = 0;    // OnHeartBeatWarning before a heartbeat-timeout drop
    int reconnect = 1000;          // ms before each of the library's attempts after a drop the front made
    int outage = 0;                // attempts that fail after such a drop
    int not_ready = 0;             // logins refused after each connection
    std::uint64_t down = 0;        // doors down, bit K-1 for door K
};

// The vendor's reasons of OnFrontDisconnected.
inline constexpr int drop_reasons[] = {0x1001, 0x1002, 0x2001, 0x2002, 0x2003};
inline constexpr int heartbeat_timeout = 0x2001;

// Sets one behaviour from its text, as a configuration line gives it ("seed",
// "unruly", "fill_first", ...): "" when done, else what is wrong, "unknown
// key KEY" for a key that is none of them.
std::string behave(Behaviour &behaviour, std::string_view key, std::string_view value);
// The unruly mode with this seed: every behaviour at its unruly level.
void make_unruly(Behaviour &behaviour, std::uint64_t seed);
bool is_door_down(const Behaviour &behaviour, int door);

// The kinds of choice a front makes; each draws from a stream of its own, so
// that choices of one kind depend only on the occasions of that kind.
enum class Draw : unsigned {
    fill_first,
    exchange_refusal,
    batch,
    pause,
    drop,
    drop_reason,
    drop_moment,
    warnings,
    delay,
    outage,
    not_ready,
    count
};

// The front's choices, seeded: the n-th draw of a kind is a function of the
// seed, the kind and n alone. It notes every unruly thing done, in order, for
// ctpsim_choices (at most max_notes; under memory exhaustion a note may be
// missing, never a choice changed).
class Dice {
public:
    static constexpr std::size_t max_notes = 100000;

    // Starts every stream again from `seed`, and the notes.
    void reseed(std::uint64_t seed) noexcept;
    std::uint64_t draw(Draw kind) noexcept;
    // True with probability `chance` (no draw for 0 or 1).
    bool chance(Draw kind, double chance) noexcept;
    // `level` as set; unruly, drawn from `low` to `level`.
    int level(Draw kind, int level, bool unruly, int low = 0) noexcept;
    // One of `count` (0 ... count - 1).
    int pick(Draw kind, int count) noexcept;
    // Notes `what` and the numbers after it, apart by spaces.
    void note(std::string_view what, std::initializer_list<long long> numbers = {}) noexcept;
    const std::vector<std::string> &notes() const { return notes_; }

private:
    std::uint64_t seed = 0;
    std::uint64_t drawn[static_cast<unsigned>(Draw::count)] = {};
    std::vector<std::string> notes_;
};

}  // namespace standin
