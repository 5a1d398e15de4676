// What a simulated front starts with: its investors and instruments, either
// the built-in defaults or a configuration file.
#pragma once

#include "calendar.h"
#include "clock.h"
#include "unruly.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

// What a configuration may ask for (documented in standin/README.md): values
// the front's arithmetic represents exactly, with room to trade all day.
namespace bounds {
inline constexpr int max_int = 2147483647;
inline constexpr double max_money = 1e12;        // balance, deposit, withdraw
inline constexpr double max_price = 1e9;
inline constexpr double max_price_ticks = 1e9;   // price / tick
inline constexpr double min_tick = 1e-6;
inline constexpr double max_tick = 1e6;
inline constexpr int max_multiple = 1000000;
inline constexpr double max_per_lot = 1e6;       // commission_per_lot
inline constexpr int max_volume = 10000;         // min_volume, max_volume, market_volume
inline constexpr int max_market_levels = 100;
inline constexpr int max_position = 1000000;     // yesterday's lots of one instrument and side
inline constexpr double max_contract_value = 1e9;  // price * multiple: a position's value fits in int64 cents
inline constexpr std::size_t max_file_size = 1 << 20;
}  // namespace bounds

struct Rate {
    double by_money = 0;
    double by_volume = 0;
};

struct InstrumentSetup {
    std::string id;        // "rb2705"
    std::string exchange;  // "SHFE"
    std::string name;      // UTF-8 in the file; stored as given (GB18030 on the wire)
    std::string product;   // "rb"
    double price = 0;      // reference price, also yesterday's settlement price
    double tick = 1;
    int multiple = 10;
    // Margin of a long and of a short lot, and commission of an open, a
    // close (of yesterday's lots) and a close of today's lots: by money (a
    // ratio of price * volume * multiple) plus by volume (per lot).
    Rate long_margin{0.1, 0};
    Rate short_margin{0.1, 0};
    Rate open_commission;
    Rate close_commission;
    Rate close_today_commission;
    int min_volume = 1;             // per limit order
    int max_volume = 500;
    bool trading = true;
    double limit_ratio = 0.08;  // price band around yesterday's settlement price
    int market_levels = 5;      // price levels the simulated market quotes on each side
    int market_volume = 10;     // lots at each of those levels
    int delivery_year = 0;
    int delivery_month = 0;
    Sessions sessions = standard_day_sessions();  // under the exchange calendar
};

// A position the investor held at the end of the previous trading day.
struct YesterdayPosition {
    std::string instrument;
    char direction = '2';  // '2' long, '3' short
    int volume = 0;
    double price = 0;  // its opening price; 0: the instrument's settlement price
};

struct InvestorSetup {
    std::string broker;
    std::string user;  // also the investor id and the account id
    std::string password;
    std::string app_id;
    std::string auth_code;
    double balance = 0;  // yesterday's balance
    double deposit = 0;
    double withdraw = 0;
    std::vector<YesterdayPosition> positions;
};

struct FrontConfig {
    int front_id = 1;
    std::string trading_day;  // YYYYMMDD; empty: the clock's date, weekends moved to Monday
    // Always continuous trading on one trading day (false), or each
    // instrument's sessions with the trading day following the clock.
    bool exchange_calendar = false;
    std::optional<Millis> clock;  // where the clock starts; nothing: the machine's time
    bool freeze_clock = false;
    Behaviour behaviour;  // orderly unless set (unruly.h)
    std::vector<InvestorSetup> investors;
    std::vector<InstrumentSetup> instruments;
};

FrontConfig default_config();
// The name of an exchange the front knows by its id (GB18030), else the id.
std::string exchange_name(std::string_view id);

// Reads a configuration file (format in standin/README.md) on top of the
// defaults. On failure returns nothing and describes the problem in `error`.
std::optional<FrontConfig> load_config(const std::string &path, std::string &error);
// The same, from text already read.
std::optional<FrontConfig> parse_config(std::string_view text, std::string &error);

}  // namespace standin
