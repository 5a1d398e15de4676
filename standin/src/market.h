// The simulated front's trading state: instruments with their order books and
// simulated market, orders, and each investor's positions and money. Plain
// data without locks: the venue that owns it serialises every access.
#pragma once

#include "ThostFtdcUserApiStruct.h"
#include "config.h"
#include "event.h"
#include "money.h"

#include <array>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace standin {

using Ticks = std::int64_t;  // a price in whole price ticks
using Seq = std::uint64_t;   // time priority: lower came first

struct Order;
struct Account;

// Resting liquidity of one instrument: the sessions' orders and the simulated
// market's quotes, in price-time priority.
class Book {
public:
    // One resting entry: an order, or a market level (order null).
    struct Entry {
        Order *order = nullptr;
        int market_volume = 0;
        int volume() const;
    };
    // Ordered best first: bids by descending price, asks by ascending, then by time.
    using Key = std::pair<Ticks, Seq>;  // bids store -price
    using Side = std::map<Key, Entry>;
    // An entry made ahead, to go in without allocating.
    using Node = Side::node_type;
    // The market's quotes, made aside.
    struct Quotes {
        Side bids;
        Side asks;
    };

    static Node make_node(Order &order);
    // Rests the order, with the node make_node made for it.
    void add(Order &order, Node node) noexcept;
    void remove(const Order &order) noexcept;
    // The market's quotes: `levels` prices each side of `reference`, `volume`
    // lots each, kept inside [lower, upper], all posted at time `seq`.
    static Quotes market_quotes(Ticks reference, int levels, int volume, Ticks lower, Ticks upper, Seq seq);
    // Replaces the market's quotes with these.
    void install(Quotes quotes) noexcept;

    // Where an order on side `buy` looks for the other side.
    Side &opposite(bool buy) { return buy ? asks : bids; }
    Side &same(bool buy) { return buy ? bids : asks; }
    static Ticks price(bool bid_side, const Key &key) { return bid_side ? -key.first : key.first; }
    // Whether a buy (sell) at `limit` trades with a resting ask (bid) at `resting`.
    static bool crosses(bool buy, Ticks limit, Ticks resting) { return buy ? resting <= limit : resting >= limit; }

    // Volume an order could take at once, stopping at `wanted`.
    int available(bool buy, Ticks limit, int wanted);
    // Whether an order of `wanted` lots would trade with a resting order of
    // `account`, after what rests ahead of it in price-time priority.
    bool meets_own(bool buy, Ticks limit, int wanted, const Account &account);

    Side bids;
    Side asks;
};

struct Instrument {
    InstrumentSetup setup;
    Ticks pre_settlement = 0;  // yesterday's settlement price
    Ticks reference = 0;
    std::uint64_t moves = 0;   // times the mark may have moved (a trade, a settlement)
    Ticks lower = 0;  // price band
    Ticks upper = 0;
    int decimals = 0;  // of the tick, to print prices without binary noise
    Book book;

    // Today's trades, as the market-data feed reports them.
    bool traded = false;
    Ticks last = 0;
    Ticks open = 0;
    Ticks high = 0;
    Ticks low = 0;
    long long volume = 0;
    double turnover = 0;
    void trade(Ticks price, int lots);

    // What a snapshot's change is judged by: the top five levels, the last
    // price and the volume.
    struct Top {
        std::array<Ticks, 5> bid{};
        std::array<Ticks, 5> ask{};
        std::array<int, 5> bid_volume{};
        std::array<int, 5> ask_volume{};
        Ticks last = 0;
        long long volume = 0;
        bool operator==(const Top &) const = default;
    };
    Top top() const;

    // Its trading status (RtnInstrumentStatus): since when, the how-manieth
    // change of the trading day, and why.
    char status = '2';
    char enter_time[9] = "";
    int segment = 1;
    char enter_reason = '1';

    explicit Instrument(InstrumentSetup setup);
    // The price of a tick count, rounded to the tick's decimals.
    double price(Ticks ticks) const;
    double settlement_price() const { return price(pre_settlement); }
    // What positions are valued at: the last price of today's trades (the
    // feed's LastPrice), or yesterday's settlement price before the first.
    Ticks mark_ticks() const { return traded ? last : pre_settlement; }
    double mark() const { return price(mark_ticks()); }
    // The tick count of a price, or false when it is off the tick grid.
    bool ticks(double price, Ticks &out) const;
    // SHFE and INE keep today's and yesterday's positions apart when closing.
    bool closes_by_date() const { return setup.exchange == "SHFE" || setup.exchange == "INE"; }
    // The price band around a settlement price.
    void band(Ticks settlement, Ticks &lower, Ticks &upper) const;
    // The day's settlement price is the mark now; the price band moves
    // around it, the simulated market quotes around `reference` (inside the
    // new band), and the day's trades are forgotten.
    void settle(Ticks reference) noexcept;

    // The margin rate of a side ('0' buy or '2' long, else short).
    const Rate &margin_rate(char direction) const;
    // Margin of `volume` lots of a side at `price`, and a fee at a rate.
    Cents margin(char direction, double price, int volume) const;
    double fee(const Rate &rate, double price, int volume) const;
};

// Which of a position's volumes a close order draws on.
enum class Bucket { open, today, yesterday, any };

struct Order {
    CThostFtdcOrderField record{};  // as RtnOrder and RspQryOrder report it
    Instrument *instrument = nullptr;
    Account *account = nullptr;
    bool buy = true;
    char offset = '0';  // CombOffsetFlag[0]
    Bucket bucket = Bucket::open;
    Ticks limit = 0;
    int remaining = 0;
    bool resting = false;  // in the book
    bool live = false;     // may still trade or be cancelled
    Seq seq = 0;

    double limit_price() const { return instrument->price(limit); }
    // The side of the position it works on ('2' long, '3' short): opens add
    // to their own side, closes take from the other.
    char position_side() const { return (bucket == Bucket::open ? buy : !buy) ? '2' : '3'; }
    // The commission rate of its offset: an open's, a close today's, or a close's.
    const Rate &commission_rate() const;
    // What it freezes while it waits, for its remaining volume at its limit price.
    Cents frozen_margin() const;
    Cents frozen_commission() const;
};

// One open trade of a position (a position detail): a trade of today, or a
// lot held as the day began. Closes take them first in, first out; one
// closed out stays until the day ends (as its position does), with volume 0.
struct Detail {
    char trade_id[21];
    char open_date[9];
    double open_price;
    int volume;  // still open
    int close_volume = 0;
    Cents close_amount = 0;
    Cents close_profit_by_date = 0;   // against yesterday's settlement price for yesterday's lots
    Cents close_profit_by_trade = 0;  // against the opening price
};

// One instrument and direction of an investor's holding (hedge flag speculation).
struct Position {
    Instrument *instrument = nullptr;
    char direction = '2';      // '2' long, '3' short
    int frozen_today = 0;      // volume pending close orders draw on
    int frozen_yd = 0;
    int frozen_any = 0;
    int open_volume = 0;
    Cents open_amount = 0;
    Cents today_commission = 0;  // of opens, and of closes that draw on today's lots (or on any)
    Cents yd_commission = 0;     // of closes of yesterday's lots (close yesterday on SHFE and INE)

    // A part's details: yesterday's (held as the day began) or today's, oldest first.
    const std::vector<Detail> &details(bool today_part) const { return parts[today_part].details; }
    double sign() const { return direction == '2' ? 1 : -1; }
    int today_volume() const { return parts[1].volume; }
    int yd_volume() const { return parts[0].volume; }
    int yd_start() const;  // yesterday's volume as the day began
    // Volume a new close order on this bucket may still take.
    int closable(Bucket bucket) const;
    int &frozen(Bucket bucket);

    // A detail's figures (standin/README.md, "Positions and the account"):
    // yesterday's lots are valued from yesterday's settlement price S,
    // today's from their opening price, both to the instrument's mark.
    double base_price(const Detail &detail, bool today_lot) const;
    Cents margin(const Detail &detail, bool today_lot) const;
    Cents profit_by_date(const Detail &detail, bool today_lot) const;
    Cents profit_by_trade(const Detail &detail) const;
    // Sums over a part's details: kept as the details change (whole cents,
    // so exactly the sums of the details' figures), the position profit
    // counted again when the mark has moved.
    Cents margin(bool today_part) const { return parts[today_part].margin; }
    Cents profit(bool today_part) const;
    Cents close_profit(bool today_part) const { return parts[today_part].close_profit; }

    // Room for `count` more of today's details (reserved ahead; may throw).
    void make_room(std::size_t count);
    // Adds a lot held from before today, or one opened today (within the room made).
    void hold(const Detail &detail);
    void open(const Detail &detail) noexcept;
    // Closes `volume` lots drawing on `bucket` at `price`: yesterday's lots
    // first (or only, or none), then today's, each oldest first.
    struct Closed {
        int yd = 0;     // lots taken from yesterday's
        int today = 0;  // and from today's
        Cents profit_by_date = 0;
    };
    Closed close(Bucket bucket, int volume, double price) noexcept;
    // The day has been settled: what is still open is yesterday's, at the new
    // settlement price; the day's figures start again. Room for it first.
    void make_room_to_carry();
    void carry_over() noexcept;
    bool empty() const { return parts[0].details.empty() && parts[1].details.empty(); }

private:
    struct Part {
        std::vector<Detail> details;
        std::size_t open_from = 0;  // details before it are closed out
        int volume = 0;
        Cents margin = 0;
        Cents close_profit = 0;
    };
    Part parts[2];  // yesterday's, today's
    // The position profit by date of each part as of the instrument's
    // `moves`-th mark (none yet: unmarked).
    static constexpr std::uint64_t unmarked = ~std::uint64_t{0};
    mutable std::uint64_t marked_at = unmarked;
    mutable Cents marked[2] = {0, 0};

    // Adds a detail's figures to its part's sums (sign -1: takes them away).
    void count(const Detail &detail, bool today_lot, int sign) noexcept;
};

// A trade of the investor's, with its commission and (a close's) close profit by date.
struct Fill {
    CThostFtdcTradeField record;
    Cents commission;
    Cents close_profit;
};

struct Account {
    InvestorSetup setup;
    std::string password;  // the setup's until changed
    bool confirmed = false;  // the settlement, for the trading day
    std::string confirm_date;
    std::string confirm_time;
    Cents pre_balance = 0;
    Cents deposit = 0;
    Cents withdraw = 0;
    Cents commission = 0;
    long long max_order_ref = 0;  // highest OrderRef any session of this investor used
    // (instrument id, direction) -> position, in a stable order for queries.
    std::map<std::pair<std::string, char>, Position> positions;
    std::vector<Order *> orders;   // today's accepted orders, in insertion order
    std::vector<Order *> waiting;  // of them, the live ones: what freezes money
    std::vector<Fill> trades;      // today's, in order
    // Today's private flow as the front sent it (OnRtnOrder, OnRtnTrade,
    // OnErrRtn*), in order: the n-th message is sequence number n, kept for
    // the sessions that restart or resume it (front.h).
    std::list<Event> flow;

    // An order starts or stops waiting (live).
    void wait(Order &order);
    void done(Order &order);

    // Settlement statements of the days settled, oldest first: (trading day, GB18030 text).
    std::vector<std::pair<std::string, std::string>> statements;

    Position &position(Instrument &instrument, char direction);
    // The account's figures, sums of its positions' details and live orders.
    Cents pre_margin() const;
    Cents curr_margin() const;
    Cents position_profit() const;
    Cents close_profit() const;
    Cents frozen_margin() const;
    Cents frozen_commission() const;
    Cents balance() const;
    Cents available() const;
};

}  // namespace standin
