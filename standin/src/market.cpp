#include "market.h"

#include <algorithm>
#include <cmath>

namespace standin {

// ---- book -------------------------------------------------------------------

int Book::Entry::volume() const { return order ? order->remaining : market_volume; }

Book::Node Book::make_node(Order &order) {
    Side one;
    one.emplace(Key{order.buy ? -order.limit : order.limit, order.seq}, Entry{&order, 0});
    return one.extract(one.begin());
}

void Book::add(Order &order, Node node) noexcept {
    same(order.buy).insert(std::move(node));
    order.resting = true;
}

void Book::remove(const Order &order) noexcept {
    if (!order.resting)
        return;
    same(order.buy).erase({order.buy ? -order.limit : order.limit, order.seq});
}

Book::Quotes Book::market_quotes(Ticks reference, int levels, int volume, Ticks lower, Ticks upper, Seq seq) {
    Quotes quotes;
    for (int level = 1; volume > 0 && level <= levels; ++level) {
        if (reference - level >= lower)
            quotes.bids[{-(reference - level), seq}] = Entry{nullptr, volume};
        if (reference + level <= upper)
            quotes.asks[{reference + level, seq}] = Entry{nullptr, volume};
    }
    return quotes;
}

void Book::install(Quotes quotes) noexcept {
    for (Side *side : {&bids, &asks})
        std::erase_if(*side, [](const auto &item) { return item.second.order == nullptr; });
    bids.merge(quotes.bids);
    asks.merge(quotes.asks);
}

int Book::available(bool buy, Ticks limit, int wanted) {
    const Side &side = opposite(buy);
    int total = 0;
    for (const auto &[key, entry] : side) {
        if (total >= wanted || !crosses(buy, limit, price(!buy, key)))
            break;
        total += entry.volume();
    }
    return std::min(total, wanted);
}

bool Book::meets_own(bool buy, Ticks limit, int wanted, const Account &account) {
    // Walks the book as matching would: the own order counts only when the
    // volume ahead of it leaves part of the order to trade with it.
    int ahead = 0;
    for (const auto &[key, entry] : opposite(buy)) {
        if (ahead >= wanted || !crosses(buy, limit, price(!buy, key)))
            break;
        if (entry.order && entry.order->account == &account)
            return true;
        ahead += entry.volume();
    }
    return false;
}

// ---- instruments ------------------------------------------------------------

Instrument::Instrument(InstrumentSetup s) : setup(std::move(s)) {
    while (decimals < 8 && std::fabs(setup.tick * std::pow(10.0, decimals) -
                                     std::round(setup.tick * std::pow(10.0, decimals))) > 1e-9)
        ++decimals;
    ticks(setup.price, pre_settlement);
    reference = pre_settlement;
    // The band is whole ticks inside +-limit_ratio of yesterday's settlement price.
    const double band = setup.price * setup.limit_ratio / setup.tick;
    upper = pre_settlement + static_cast<Ticks>(std::floor(band + 1e-9));
    lower = std::max<Ticks>(1, pre_settlement - static_cast<Ticks>(std::floor(band + 1e-9)));
}

double Instrument::price(Ticks ticks) const {
    const double scale = std::pow(10.0, decimals);
    return std::round(static_cast<double>(ticks) * setup.tick * scale) / scale;
}

bool Instrument::ticks(double price, Ticks &out) const {
    if (!std::isfinite(price))
        return false;
    const double count = price / setup.tick;
    const double whole = std::round(count);
    if (std::fabs(count - whole) > 1e-6 || std::fabs(whole) > 1e15)
        return false;
    out = static_cast<Ticks>(whole);
    return true;
}

double Instrument::margin(char direction, double price, int volume) const {
    const double ratio = direction == '0' || direction == '2' ? setup.long_margin : setup.short_margin;
    return price * volume * setup.multiple * ratio;
}

double Instrument::commission(double price, int volume) const {
    return price * volume * setup.multiple * setup.commission_rate + volume * setup.commission_per_lot;
}

void Instrument::trade(Ticks price, int lots) {
    if (!traded) {
        open = high = low = price;
        traded = true;
    }
    last = price;
    high = std::max(high, price);
    low = std::min(low, price);
    volume += lots;
    turnover += this->price(price) * lots * setup.multiple;
}

Instrument::Top Instrument::top() const {
    Top out;
    // Entries at one price (orders and the market's quote) make one level.
    auto levels = [](const Book::Side &side, bool bids, std::array<Ticks, 5> &prices, std::array<int, 5> &volumes) {
        int level = -1;
        for (const auto &[key, entry] : side) {
            const Ticks price = Book::price(bids, key);
            if (level < 0 || prices[level] != price) {
                if (++level == 5)
                    break;
                prices[level] = price;
            }
            volumes[level] += entry.volume();
        }
    };
    levels(book.bids, true, out.bid, out.bid_volume);
    levels(book.asks, false, out.ask, out.ask_volume);
    out.last = traded ? last : 0;
    out.volume = volume;
    return out;
}

// ---- orders -----------------------------------------------------------------

double Order::frozen_margin() const {
    if (!live || bucket != Bucket::open)
        return 0;
    return instrument->margin(buy ? '0' : '1', limit_price(), remaining);
}

double Order::frozen_commission() const { return live ? instrument->commission(limit_price(), remaining) : 0; }

// ---- positions --------------------------------------------------------------

int Position::today_volume() const {
    int total = 0;
    for (const Lot &lot : today)
        total += lot.volume;
    return total;
}

int Position::closable(Bucket bucket) const {
    switch (bucket) {
    case Bucket::today:
        return today_volume() - frozen_today;
    case Bucket::yesterday:
        return yd - frozen_yd;
    case Bucket::any:
        return yd + today_volume() - frozen_any;
    case Bucket::open:
        break;
    }
    return 0;
}

int &Position::frozen(Bucket bucket) {
    return bucket == Bucket::today ? frozen_today : bucket == Bucket::yesterday ? frozen_yd : frozen_any;
}

double Position::today_margin() const {
    double total = 0;
    for (const Lot &lot : today)
        total += instrument->margin(direction, lot.price, lot.volume);
    return total;
}

double Position::yd_margin() const {
    return instrument->margin(direction, instrument->price(instrument->pre_settlement), yd);
}

double Position::today_profit() const {
    const double mark = instrument->price(instrument->reference);
    const double sign = direction == '2' ? 1 : -1;
    double total = 0;
    for (const Lot &lot : today)
        total += sign * (mark - lot.price) * lot.volume * instrument->setup.multiple;
    return total;
}

double Position::yd_profit() const {
    const double sign = direction == '2' ? 1 : -1;
    return sign * (instrument->price(instrument->reference) - instrument->price(instrument->pre_settlement)) * yd *
           instrument->setup.multiple;
}

double Position::close(Bucket bucket, int volume, double price) {
    const double sign = direction == '2' ? 1 : -1;
    const int multiple = instrument->setup.multiple;
    double profit = 0;
    // Yesterday's lots are valued at yesterday's settlement price, today's at
    // their opening price (mark to market by day).
    if (bucket == Bucket::yesterday || bucket == Bucket::any) {
        const int from_yd = std::min(volume, yd);
        profit += sign * (price - instrument->price(instrument->pre_settlement)) * from_yd * multiple;
        yd -= from_yd;
        volume -= from_yd;
    }
    while (volume > 0 && !today.empty()) {
        Lot &lot = today.front();
        const int taken = std::min(volume, lot.volume);
        profit += sign * (price - lot.price) * taken * multiple;
        lot.volume -= taken;
        volume -= taken;
        if (lot.volume == 0)
            today.erase(today.begin());
    }
    return profit;
}

// ---- accounts ---------------------------------------------------------------

Position &Account::position(Instrument &instrument, char direction) {
    Position &position = positions[{instrument.setup.id, direction}];
    position.instrument = &instrument;
    position.direction = direction;
    return position;
}

double Account::curr_margin() const {
    double total = 0;
    for (const auto &[key, position] : positions)
        total += position.today_margin() + position.yd_margin();
    return total;
}

double Account::position_profit() const {
    double total = 0;
    for (const auto &[key, position] : positions)
        total += position.today_profit() + position.yd_profit();
    return total;
}

void Account::wait(Order &order) {
    order.live = true;
    waiting.push_back(&order);
}

void Account::done(Order &order) {
    order.live = false;
    std::erase(waiting, &order);
}

double Account::frozen_margin() const {
    double total = 0;
    for (const Order *order : waiting)
        total += order->frozen_margin();
    return total;
}

double Account::frozen_commission() const {
    double total = 0;
    for (const Order *order : waiting)
        total += order->frozen_commission();
    return total;
}

double Account::balance() const {
    return setup.balance + setup.deposit - setup.withdraw + close_profit + position_profit() - commission;
}

double Account::available() const { return balance() - curr_margin() - frozen_margin() - frozen_commission(); }

}  // namespace standin
