// Replay: a simulated front plays a recorded tape as its market
// (sim://NAME?replay=PATH; standin/README.md, "Replay").
//
// The tape is a file the Python side writes from a recording before the
// session (ctp.data.tape): a 16-byte header, then one fixed-size record per
// tick in the order received. The player thread reads it a few thousand
// records at a time, so a tape of any size replays in the same memory.
#pragma once

#include "ThostFtdcUserApiStruct.h"
#include "clock.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

class Front;

// One tick on the tape: the recorded members of RtnDepthMarketData's record,
// in the recording's column order, little-endian and packed. Texts are
// NUL-padded, integers int32, prices float64 with the vendor's unset value
// (the largest double) where the recording holds a null.
struct [[gnu::packed]] TapeRecord {
    char TradingDay[9];
    char ActionDay[9];
    char UpdateTime[9];
    std::int32_t UpdateMillisec;
    char ExchangeID[9];
    char InstrumentID[81];
    double LastPrice;
    double PreSettlementPrice;
    double PreClosePrice;
    double PreOpenInterest;
    double OpenPrice;
    double HighestPrice;
    double LowestPrice;
    std::int32_t Volume;
    double Turnover;
    double OpenInterest;
    double ClosePrice;
    double SettlementPrice;
    double UpperLimitPrice;
    double LowerLimitPrice;
    double AveragePrice;
    struct [[gnu::packed]] Level {
        double bid_price;
        std::int32_t bid_volume;
        double ask_price;
        std::int32_t ask_volume;
    } levels[5];
};

inline constexpr char tape_magic[8] = {'C', 'T', 'P', 'T', 'A', 'P', 'E', '1'};

// Reads a tape front to back, a block of records at a time.
class Tape {
public:
    // The tape at `path` (a tape file, or a recording directory holding
    // "ticks.tape"); null with `error` set when it cannot be read.
    static std::unique_ptr<Tape> open(const std::string &path, std::string &error);
    ~Tape();
    Tape(const Tape &) = delete;
    Tape &operator=(const Tape &) = delete;
    // The next record; false at the end (a torn last record is left out).
    bool next(TapeRecord &record);
    // The next record's, without taking it; null at the end.
    const TapeRecord *peek();

private:
    explicit Tape(std::FILE *file) : file(file) {}
    std::FILE *file;
    std::vector<TapeRecord> block;
    std::size_t at = 0;
    std::size_t count = 0;
};

// How a front replays: its tape and pace.
struct ReplaySetup {
    std::string path;
    double speed = 0;  // times real time; 0: as fast as the consumer takes ticks
    std::optional<Millis> start;  // ticks before it are left out (civil time)
    std::optional<Millis> end;    // the replay ends at the first tick at or after it
    int window = 4096;            // ticks posted ahead of the consumer, at most
};

// Parses the replay's part of an address query ("replay=PATH", "speed=",
// "start=", "end=", "window="); false with `error` set on a bad value.
bool replay_option(ReplaySetup &setup, std::string_view key, std::string_view value, std::string &error);

// The civil time a tick shows (ActionDay, UpdateTime, UpdateMillisec), if it parses.
std::optional<Millis> tick_time(const CThostFtdcDepthMarketDataField &tick) noexcept;
// The tick as the feed sends it.
CThostFtdcDepthMarketDataField depth_of(const TapeRecord &record) noexcept;

// Starts the player of a front set up to replay (Front::replay_begin), for as
// long as the process lives.
void start_replay(std::shared_ptr<Front> front, std::unique_ptr<Tape> tape, const ReplaySetup &setup);

}  // namespace standin
