// The simulated front's trading state: instruments with their order books and
// simulated market, orders, and each investor's positions and money. Plain
// data without locks: the venue that owns it serialises every access.
#pragma once

#include "ThostFtdcUserApiStruct.h"
#include "config.h"

#include <array>
#include <cstdint>
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
    Ticks pre_settlement = 0;
    Ticks reference = 0;
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

    explicit Instrument(InstrumentSetup setup);
    // The price of a tick count, rounded to the tick's decimals.
    double price(Ticks ticks) const;
    // The tick count of a price, or false when it is off the tick grid.
    bool ticks(double price, Ticks &out) const;
    // SHFE and INE keep today's and yesterday's positions apart when closing.
    bool closes_by_date() const { return setup.exchange == "SHFE" || setup.exchange == "INE"; }

    double margin(char direction, double price, int volume) const;  // direction '0' buy/long, '1' sell/short
    double commission(double price, int volume) const;
};

// Which of a position's volumes a close order draws on.
enum class Bucket { open, today, yesterday, any };

struct Order {
    CThostFtdcOrderField record{};  // as RtnOrder and RspQryOrder report it
    Instrument *instrument = nullptr;
    Account *account = nullptr;
    bool buy = true;
    Bucket bucket = Bucket::open;
    Ticks limit = 0;
    int remaining = 0;
    bool resting = false;  // in the book
    bool live = false;     // may still trade or be cancelled
    Seq seq = 0;

    double limit_price() const { return instrument->price(limit); }
    double frozen_margin() const;
    double frozen_commission() const;
};

// Lots opened today, oldest first: closed first in, first out.
struct Lot {
    double price;
    int volume;
};

// One instrument and direction of an investor's holding (hedge flag speculation).
struct Position {
    Instrument *instrument = nullptr;
    char direction = '2';  // '2' long, '3' short
    int yd_start = 0;      // yesterday's position as the day began
    int yd = 0;            // of it, still held
    std::vector<Lot> today;  // a vector: room for new lots is reserved ahead
    int frozen_today = 0;  // volume pending close orders draw on
    int frozen_yd = 0;
    int frozen_any = 0;
    bool opened_today = false;
    int open_volume = 0;
    int close_volume = 0;
    double open_amount = 0;
    double close_amount = 0;
    double commission = 0;
    double close_profit = 0;

    int today_volume() const;
    // Volume a new close order on this bucket may still take.
    int closable(Bucket bucket) const;
    int &frozen(Bucket bucket);
    // Margin and profit of today's lots, of yesterday's, at the reference price.
    double today_margin() const;
    double yd_margin() const;
    double today_profit() const;
    double yd_profit() const;
    // Removes `volume` lots drawing on `bucket` at `price`; returns the profit.
    double close(Bucket bucket, int volume, double price);
};

struct Account {
    InvestorSetup setup;
    bool confirmed = false;
    std::string confirm_date;
    std::string confirm_time;
    double commission = 0;
    double close_profit = 0;
    long long max_order_ref = 0;  // highest OrderRef any session of this investor used
    // (instrument id, direction) -> position, in a stable order for queries.
    std::map<std::pair<std::string, char>, Position> positions;
    std::vector<Order *> orders;   // today's accepted orders, in insertion order
    std::vector<Order *> waiting;  // of them, the live ones: what freezes money
    std::vector<CThostFtdcTradeField> trades;

    // An order starts or stops waiting (live).
    void wait(Order &order);
    void done(Order &order);

    Position &position(Instrument &instrument, char direction);
    // The account's figures, derived from positions and live orders.
    double curr_margin() const;
    double position_profit() const;
    double frozen_margin() const;
    double frozen_commission() const;
    double balance() const;
    double available() const;
};

}  // namespace standin
