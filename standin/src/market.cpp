#include "market.h"

#include "records.h"

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
    band(pre_settlement, lower, upper);
}

void Instrument::band(Ticks settlement, Ticks &low, Ticks &high) const {
    // Whole ticks inside +-limit_ratio of yesterday's settlement price.
    const double width = std::floor(price(settlement) * setup.limit_ratio / setup.tick + 1e-9);
    high = settlement + static_cast<Ticks>(width);
    low = std::max<Ticks>(1, settlement - static_cast<Ticks>(width));
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

void Instrument::settle(Ticks new_reference) noexcept {
    pre_settlement = mark_ticks();
    band(pre_settlement, lower, upper);
    reference = new_reference;
    ++moves;
    traded = false;
    last = open = high = low = 0;
    volume = 0;
    turnover = 0;
}

const Rate &Instrument::margin_rate(char direction) const {
    return direction == '0' || direction == '2' ? setup.long_margin : setup.short_margin;
}

Cents Instrument::margin(char direction, double price, int volume) const {
    return cents(fee(margin_rate(direction), price, volume));
}

double Instrument::fee(const Rate &rate, double price, int volume) const {
    // The documented order of operations: a client computing the same
    // doubles gets the same cents.
    return price * volume * setup.multiple * rate.by_money + volume * rate.by_volume;
}

void Instrument::trade(Ticks price, int lots) {
    if (!traded) {
        open = high = low = price;
        traded = true;
    }
    last = price;
    ++moves;
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

const Rate &Order::commission_rate() const {
    if (bucket == Bucket::open)
        return instrument->setup.open_commission;
    return offset == '3' ? instrument->setup.close_today_commission : instrument->setup.close_commission;
}

Cents Order::frozen_margin() const {
    if (!live || bucket != Bucket::open)
        return 0;
    return instrument->margin(buy ? '0' : '1', limit_price(), remaining);
}

Cents Order::frozen_commission() const {
    return live ? cents(instrument->fee(commission_rate(), limit_price(), remaining)) : 0;
}

// ---- positions --------------------------------------------------------------

int Position::yd_start() const {
    int total = 0;
    for (const Detail &detail : parts[0].details)
        total += detail.volume + detail.close_volume;
    return total;
}

int Position::closable(Bucket bucket) const {
    switch (bucket) {
    case Bucket::today:
        return today_volume() - frozen_today;
    case Bucket::yesterday:
        return yd_volume() - frozen_yd;
    case Bucket::any:
        return yd_volume() + today_volume() - frozen_any;
    case Bucket::open:
        break;
    }
    return 0;
}

int &Position::frozen(Bucket bucket) {
    return bucket == Bucket::today ? frozen_today : bucket == Bucket::yesterday ? frozen_yd : frozen_any;
}

double Position::base_price(const Detail &detail, bool today_lot) const {
    return today_lot ? detail.open_price : instrument->settlement_price();
}

Cents Position::margin(const Detail &detail, bool today_lot) const {
    return instrument->margin(direction, base_price(detail, today_lot), detail.volume);
}

Cents Position::profit_by_date(const Detail &detail, bool today_lot) const {
    return cents(sign() * (instrument->mark() - base_price(detail, today_lot)) * detail.volume *
                 instrument->setup.multiple);
}

Cents Position::profit_by_trade(const Detail &detail) const {
    return cents(sign() * (instrument->mark() - detail.open_price) * detail.volume * instrument->setup.multiple);
}

void Position::count(const Detail &detail, bool today_lot, int sign) noexcept {
    Part &part = parts[today_lot];
    part.volume += sign * detail.volume;
    part.margin += sign * margin(detail, today_lot);
    part.close_profit += sign * detail.close_profit_by_date;
    if (marked_at == instrument->moves)
        marked[today_lot] += sign * profit_by_date(detail, today_lot);
}

Cents Position::profit(bool today_part) const {
    // Counted again only when the price moved: a sum of rounded figures
    // cannot follow the price by itself.
    if (marked_at != instrument->moves) {
        for (bool today : {false, true}) {
            const Part &part = parts[today];
            marked[today] = 0;
            for (std::size_t i = part.open_from; i < part.details.size(); ++i)
                marked[today] += profit_by_date(part.details[i], today);
        }
        marked_at = instrument->moves;
    }
    return marked[today_part];
}

void Position::make_room(std::size_t count) { room_for(parts[1].details, count); }

void Position::hold(const Detail &detail) {
    parts[0].details.push_back(detail);
    count(detail, false, 1);
}

void Position::open(const Detail &detail) noexcept {
    parts[1].details.push_back(detail);  // within the room made
    count(detail, true, 1);
}

Position::Closed Position::close(Bucket bucket, int volume, double price) noexcept {
    const int multiple = instrument->setup.multiple;
    Closed closed;
    // First in, first out: yesterday's lots before today's, each oldest first.
    auto draw = [&](bool today_lot, int &taken) {
        Part &part = parts[today_lot];
        for (std::size_t i = part.open_from; i < part.details.size() && volume > 0; ++i) {
            Detail &detail = part.details[i];
            const int lots = std::min(volume, detail.volume);
            if (lots == 0)
                continue;
            count(detail, today_lot, -1);
            const Cents profit = cents(sign() * (price - base_price(detail, today_lot)) * lots * multiple);
            detail.close_profit_by_date += profit;
            detail.close_profit_by_trade += cents(sign() * (price - detail.open_price) * lots * multiple);
            detail.close_amount += cents(price * lots * multiple);
            detail.close_volume += lots;
            detail.volume -= lots;
            count(detail, today_lot, 1);
            closed.profit_by_date += profit;
            volume -= lots;
            taken += lots;
        }
        while (part.open_from < part.details.size() && part.details[part.open_from].volume == 0)
            ++part.open_from;
    };
    if (bucket == Bucket::yesterday || bucket == Bucket::any)
        draw(false, closed.yd);
    if (bucket == Bucket::today || bucket == Bucket::any)
        draw(true, closed.today);
    return closed;
}

void Position::make_room_to_carry() { room_for(parts[0].details, parts[1].details.size()); }

void Position::carry_over() noexcept {
    Part &yd = parts[0];
    Part &today = parts[1];
    std::erase_if(yd.details, [](const Detail &detail) { return detail.volume == 0; });
    for (const Detail &detail : today.details)
        if (detail.volume > 0)
            yd.details.push_back(detail);  // within the room made
    today.details.clear();
    for (Part *part : {&yd, &today}) {
        part->open_from = 0;
        part->volume = 0;
        part->margin = part->close_profit = 0;
    }
    marked_at = unmarked;
    for (Detail &detail : yd.details) {
        detail.close_volume = 0;
        detail.close_amount = detail.close_profit_by_date = detail.close_profit_by_trade = 0;
        count(detail, false, 1);
    }
    frozen_today = frozen_yd = frozen_any = 0;
    open_volume = 0;
    open_amount = today_commission = yd_commission = 0;
}

// ---- accounts ---------------------------------------------------------------

Position &Account::position(Instrument &instrument, char direction) {
    Position &position = positions[{instrument.setup.id, direction}];
    position.instrument = &instrument;
    position.direction = direction;
    return position;
}

Cents Account::pre_margin() const {
    Cents total = 0;
    for (const auto &[key, position] : positions)
        for (const Detail &detail : position.details(false))
            total += position.instrument->margin(position.direction, position.instrument->settlement_price(),
                                                 detail.volume + detail.close_volume);
    return total;
}

Cents Account::curr_margin() const {
    Cents total = 0;
    for (const auto &[key, position] : positions)
        total += position.margin(true) + position.margin(false);
    return total;
}

Cents Account::position_profit() const {
    Cents total = 0;
    for (const auto &[key, position] : positions)
        total += position.profit(true) + position.profit(false);
    return total;
}

Cents Account::close_profit() const {
    Cents total = 0;
    for (const auto &[key, position] : positions)
        total += position.close_profit(true) + position.close_profit(false);
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

Cents Account::frozen_margin() const {
    Cents total = 0;
    for (const Order *order : waiting)
        total += order->frozen_margin();
    return total;
}

Cents Account::frozen_commission() const {
    Cents total = 0;
    for (const Order *order : waiting)
        total += order->frozen_commission();
    return total;
}

Cents Account::balance() const {
    return pre_balance + deposit - withdraw + close_profit() + position_profit() - commission;
}

Cents Account::available() const { return balance() - curr_margin() - frozen_margin() - frozen_commission(); }

}  // namespace standin
