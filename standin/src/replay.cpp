// Replay: the tape, the address's options, the player thread, and the
// front's side of the lockstep with the consumer.
#include "replay.h"

#include "ctpsim.h"
#include "front.h"
#include "records.h"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

namespace standin {

static_assert(sizeof(TapeRecord) == 9 * 3 + 4 + 9 + 81 + 8 * 7 + 4 + 8 * 7 + 5 * 24,
              "the tape's record is packed, as ctp.data writes it");

// ---- the tape ---------------------------------------------------------------------

namespace {

constexpr std::size_t block_records = 4096;

struct Header {
    char magic[8];
    std::uint32_t record_size;
    std::uint32_t reserved;
};
static_assert(sizeof(Header) == 16);

}  // namespace

std::unique_ptr<Tape> Tape::open(const std::string &path, std::string &error) {
    std::string file_path = path;
    std::error_code failed;
    if (std::filesystem::is_directory(path, failed))
        file_path = (std::filesystem::path(path) / "ticks.tape").string();
    std::FILE *file = std::fopen(file_path.c_str(), "rbe");
    if (!file) {
        error = "cannot open the tape " + file_path + ": " + std::strerror(errno);
        return nullptr;
    }
    Header header{};
    if (std::fread(&header, sizeof header, 1, file) != 1 || std::memcmp(header.magic, tape_magic, 8) != 0 ||
        header.record_size != sizeof(TapeRecord)) {
        std::fclose(file);
        error = file_path + " is not a tape of this version (write it again with ctp.data.tape)";
        return nullptr;
    }
    std::unique_ptr<Tape> tape(new Tape(file));
    tape->block.resize(block_records);
    return tape;
}

Tape::~Tape() { std::fclose(file); }

const TapeRecord *Tape::peek() {
    if (at == count) {
        count = std::fread(block.data(), sizeof(TapeRecord), block.size(), file);
        at = 0;
    }
    return at < count ? &block[at] : nullptr;
}

bool Tape::next(TapeRecord &record) {
    const TapeRecord *next = peek();
    if (!next)
        return false;
    record = *next;
    ++at;
    return true;
}

// ---- options ------------------------------------------------------------------------

namespace {

std::optional<Millis> parse_when(std::string_view text) {
    // YYYYMMDD-HH:MM:SS[.mmm] (or with a T or a space): a civil time.
    if (text.size() < 9)
        return std::nullopt;
    std::string civil(text);
    if (civil[8] == '-' || civil[8] == 'T')
        civil[8] = ' ';
    return parse_civil(civil);
}

}  // namespace

bool replay_option(ReplaySetup &setup, std::string_view key, std::string_view value, std::string &error) {
    if (key == "replay") {
        setup.path = value;
        return !value.empty() || (error = "replay= needs a path", false);
    }
    if (key == "speed") {
        if (value == "max") {
            setup.speed = 0;
            return true;
        }
        double speed = 0;
        auto [end, failed] = std::from_chars(value.data(), value.data() + value.size(), speed);
        if (failed != std::errc() || end != value.data() + value.size() || !(speed > 0 && speed <= 1e6)) {
            error = "speed must be max or a factor above 0, at most 1000000";
            return false;
        }
        setup.speed = speed;
        return true;
    }
    if (key == "start" || key == "end") {
        const std::optional<Millis> when = parse_when(value);
        if (!when) {
            error = std::string(key) + " must be a time YYYYMMDD-HH:MM:SS[.mmm]";
            return false;
        }
        (key == "start" ? setup.start : setup.end) = when;
        return true;
    }
    if (key == "window") {
        int window = 0;
        auto [end, failed] = std::from_chars(value.data(), value.data() + value.size(), window);
        if (failed != std::errc() || end != value.data() + value.size() || window < 1 || window > 16384) {
            error = "window must be 1 to 16384";
            return false;
        }
        setup.window = window;
        return true;
    }
    error = "unknown option " + std::string(key);
    return false;
}

// ---- ticks ----------------------------------------------------------------------------

std::optional<Millis> tick_time(const CThostFtdcDepthMarketDataField &tick) noexcept {
    char civil[18];
    std::memcpy(civil, tick.ActionDay, 8);
    civil[8] = ' ';
    std::memcpy(civil + 9, tick.UpdateTime, 8);
    civil[17] = 0;
    if (std::strlen(tick.ActionDay) != 8 || std::strlen(tick.UpdateTime) != 8)
        return std::nullopt;
    const std::optional<Millis> at = parse_civil(std::string_view(civil, 17));
    if (!at || tick.UpdateMillisec < 0 || tick.UpdateMillisec > 999)
        return at;
    return *at + tick.UpdateMillisec;
}

CThostFtdcDepthMarketDataField depth_of(const TapeRecord &r) noexcept {
    constexpr double unset = DBL_MAX;
    CThostFtdcDepthMarketDataField d{};
    auto copy = [](auto &to, const char *from, std::size_t size) {
        const std::size_t n = std::min(sizeof to - 1, size);
        std::memcpy(to, from, n);
        to[n] = 0;
    };
    copy(d.TradingDay, r.TradingDay, sizeof r.TradingDay);
    copy(d.ActionDay, r.ActionDay, sizeof r.ActionDay);
    copy(d.UpdateTime, r.UpdateTime, sizeof r.UpdateTime);
    d.UpdateMillisec = r.UpdateMillisec;
    copy(d.ExchangeID, r.ExchangeID, sizeof r.ExchangeID);
    copy(d.InstrumentID, r.InstrumentID, sizeof r.InstrumentID);
    copy(d.ExchangeInstID, r.InstrumentID, sizeof r.InstrumentID);
    copy(d.reserve1, r.InstrumentID, sizeof r.InstrumentID);
    copy(d.reserve2, r.InstrumentID, sizeof r.InstrumentID);
    d.LastPrice = r.LastPrice;
    d.PreSettlementPrice = r.PreSettlementPrice;
    d.PreClosePrice = r.PreClosePrice;
    d.PreOpenInterest = r.PreOpenInterest;
    d.OpenPrice = r.OpenPrice;
    d.HighestPrice = r.HighestPrice;
    d.LowestPrice = r.LowestPrice;
    d.Volume = r.Volume;
    d.Turnover = r.Turnover;
    d.OpenInterest = r.OpenInterest;
    d.ClosePrice = r.ClosePrice;
    d.SettlementPrice = r.SettlementPrice;
    d.UpperLimitPrice = r.UpperLimitPrice;
    d.LowerLimitPrice = r.LowerLimitPrice;
    d.PreDelta = unset;
    d.CurrDelta = unset;
    d.AveragePrice = r.AveragePrice;
    d.BandingUpperPrice = unset;
    d.BandingLowerPrice = unset;
    each_level(d, [&r](int level, double &bid, int &bid_volume, double &ask, int &ask_volume) {
        bid = r.levels[level].bid_price;
        bid_volume = r.levels[level].bid_volume;
        ask = r.levels[level].ask_price;
        ask_volume = r.levels[level].ask_volume;
    });
    return d;
}

// ---- the player ---------------------------------------------------------------------

namespace {

// Reads the tape and posts its ticks, as the front's window and the pace allow: at full speed a
// batch at a time (one lock of the front for many ticks).
void play(std::shared_ptr<Front> front, std::unique_ptr<Tape> tape, ReplaySetup setup) {
    using Steady = std::chrono::steady_clock;
    constexpr std::size_t batch_size = 256;
    std::optional<Millis> first;  // the first tick's time, and when it was posted
    Steady::time_point began{};
    std::vector<CThostFtdcDepthMarketDataField> batch;
    batch.reserve(batch_size);
    TapeRecord record{};
    bool more = true;
    while (more) {
        const std::size_t room = front->replay_room();
        batch.clear();
        while (batch.size() < std::min(room, batch_size)) {
            if (!tape->next(record)) {
                more = false;
                break;
            }
            const CThostFtdcDepthMarketDataField tick = depth_of(record);
            const std::optional<Millis> at = tick_time(tick);
            if (at && setup.start && *at < *setup.start)
                continue;
            if (at && setup.end && *at >= *setup.end) {
                more = false;
                break;
            }
            batch.push_back(tick);
            if (setup.speed > 0 && at) {
                // Paced: each tick goes when its time has come, on its own.
                if (!first) {
                    first = at;
                    began = Steady::now();
                }
                std::this_thread::sleep_until(began + std::chrono::duration_cast<Steady::duration>(
                                                          std::chrono::duration<double, std::milli>(
                                                              (*at - *first) / setup.speed)));
                break;
            }
        }
        front->replay_post(batch);
    }
    front->replay_finish();
}

}  // namespace

void start_replay(std::shared_ptr<Front> front, std::unique_ptr<Tape> tape, const ReplaySetup &setup) {
    std::thread(play, std::move(front), std::move(tape), setup).detach();
}

// ---- the front's side -------------------------------------------------------------------

void Front::replay_begin(const ReplaySetup &setup) {
    std::lock_guard lock(mutex);
    replaying = std::make_unique<Replaying>();
    replaying->window = setup.window;
    feed.quiet = true;
    // The clock stands at each tick's time as the consumer takes it.
    clock.freeze(true);
}

std::size_t Front::replay_room() {
    std::unique_lock lock(mutex);
    Replaying &r = *replaying;
    if (!r.started || r.posted - r.taken >= r.window) {
        // Full: it waits until half the window is free, so that the player and the consumer do
        // not wake each other at every tick.
        r.player_waits = true;
        r.room.wait(lock, [&] { return r.started && r.posted - r.taken <= r.window / 2; });
        r.player_waits = false;
    }
    return static_cast<std::size_t>(r.window - (r.posted - r.taken));
}

void Front::replay_post(const std::vector<CThostFtdcDepthMarketDataField> &ticks) {
    // The events made outside the lock, one a tick (as for one session; more under the lock if need be).
    Outbox out;
    bool ahead = true;
    try {
        out.reserve(ticks.size(), sizeof(CThostFtdcDepthMarketDataField));
    } catch (...) {
        ahead = false;  // out of memory: made tick by tick below
    }
    std::lock_guard lock(mutex);
    Replaying &r = *replaying;
    std::vector<MdSession *> to;
    bool silent = false;  // a tick no session watches
    for (const CThostFtdcDepthMarketDataField &tick : ticks) {
        to.clear();
        for (MdSession *session : watchers)
            if (std::ranges::any_of(session->subscribed,
                                    [&](const Instrument *i) { return i->setup.id == tick.InstrumentID; }))
                to.push_back(session);
        try {
            out.reserve(ahead ? to.size() - std::min<std::size_t>(to.size(), 1) : to.size(), sizeof tick);
            r.pending.push_back({tick, !to.empty()});
            for (MdSession *session : to)
                out.send(session->endpoint, "OnRtnDepthMarketData", &tick, nullptr, 0, true);
        } catch (...) {
            continue;  // out of memory: the tick is left out
        }
        if (to.empty())
            silent = true;
        else
            ++r.posted;
    }
    if (silent)
        replay_settle(out);
}

void Front::replay_finish() {
    std::lock_guard lock(mutex);
    replaying->finished = true;
    Outbox out;
    replay_settle(out);
}

void Front::replay_settle(Outbox &out) {
    Replaying &r = *replaying;
    // Ticks no session watches move the market as soon as the ticks before them have.
    while (!r.pending.empty() && !r.pending.front().counted) {
        replay_apply(r.pending.front().tick);
        r.pending.pop_front();
    }
    if (!r.finished || r.ended || !r.pending.empty())
        return;
    r.ended = true;
    try {
        out.reserve(watchers.size(), 0);
    } catch (...) {
        r.ended = false;  // out of memory: the next take tries again
        return;
    }
    for (MdSession *session : watchers) {
        session->connected = false;
        session->log_out();
        out.send_bare(session->endpoint, "OnFrontDisconnected", CTPSIM_REPLAY_ENDED);
    }
    watchers.clear();
}

void Front::replay_apply(const CThostFtdcDepthMarketDataField &tick) noexcept {
    if (const std::optional<Millis> at = tick_time(tick)) {
        clock.set(*at);
        keep_time();
    }
    if (Instrument *instrument = exchange.instrument(tick.InstrumentID))
        exchange.replay(*instrument, tick);
}

void Front::replay_deliver() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (TraderSession *session : traders)
        while (!session->endpoint.settled() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
}

int Front::replay_take(long long count) {
    std::lock_guard lock(mutex);
    if (!replaying || count > replaying->posted)
        return CTPSIM_BAD_VALUE;
    Replaying &r = *replaying;
    bool moved = false;
    while (!r.pending.empty()) {
        const Replaying::Pending &next = r.pending.front();
        if (next.counted) {
            if (r.taken >= count)
                break;
            ++r.taken;
        }
        replay_apply(next.tick);
        r.pending.pop_front();
        moved = true;
    }
    Outbox out;
    replay_settle(out);
    if (moved) {
        if (r.player_waits && r.posted - r.taken <= r.window / 2)
            r.room.notify_all();
        replay_deliver();
    }
    return CTPSIM_OK;
}

int Front::replay_state(long long &posted, long long &taken, bool &ended) {
    std::lock_guard lock(mutex);
    if (!replaying)
        return CTPSIM_BAD_VALUE;
    posted = replaying->posted;
    taken = replaying->taken;
    ended = replaying->ended;
    return CTPSIM_OK;
}

}  // namespace standin
