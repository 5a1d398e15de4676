// The exchange's trading: orders, matching, cancels and the simulated market.
#include "exchange.h"

#include "ctpsim.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>

namespace standin {


Exchange::Exchange(const FrontConfig &config, const Clock &clock, Flow &flow)
    : clock(clock), flow(flow), calendar(config.exchange_calendar) {
    // The exchange calendar's trading day follows the clock; else it is the
    // one configured, or the clock's date (the Monday after a weekend).
    const Millis now = clock.now();
    if (calendar)
        day = trading_day_at(now);
    else if (!config.trading_day.empty())
        day = *parse_date(config.trading_day);
    else
        day = weekday_on_or_after(now / millis_per_day - (now % millis_per_day < 0));
    trading_day_ = date_text(day);
    previous_day_ = date_text(previous_weekday(day));
    const Stamp started = standin::stamp(now);
    for (const auto &setup : config.instruments) {
        instruments_.push_back(std::make_unique<Instrument>(setup));
        Instrument &added = *instruments_.back();
        added.book.install(Book::market_quotes(added.reference, setup.market_levels, setup.market_volume, added.lower,
                                               added.upper, ++next_seq));
        put(added.enter_time, started.time);
    }
    long long held_count = 0;
    for (const auto &setup : config.investors) {
        accounts.push_back(std::make_unique<Account>());
        Account &account = *accounts.back();
        account.setup = setup;
        account.password = setup.password;
        account.pre_balance = cents(setup.balance);
        account.deposit = cents(setup.deposit);
        account.withdraw = cents(setup.withdraw);
        // Each position line is one lot of yesterday's, a detail of its own.
        for (const auto &held : setup.positions) {
            Instrument &instrument = *this->instrument(held.instrument);
            Detail detail{};
            put(detail.trade_id, "Y" + std::to_string(++held_count));
            put(detail.open_date, previous_day_);
            detail.open_price = held.price > 0 ? held.price : instrument.settlement_price();
            detail.volume = held.volume;
            account.position(instrument, held.direction).hold(detail);
        }
    }
    if (calendar) {
        changes = changes_of(day);
        resync(now, true);
    }
    caught_up = now;
    // Yesterday's statement, of what the day began with.
    for (auto &account : accounts)
        account->statements.emplace_back(previous_day_, statement_text(*account, previous_day_, false));
}

Instrument *Exchange::instrument(std::string_view id) {
    for (auto &found : instruments_)
        if (found->setup.id == id)
            return found.get();
    return nullptr;
}

Account *Exchange::investor(std::string_view broker, std::string_view user) {
    for (auto &found : accounts)
        if (found->setup.broker == broker && found->setup.user == user)
            return found.get();
    return nullptr;
}

// ---- orders -----------------------------------------------------------------

Error Exchange::check(Account &account, const CThostFtdcInputOrderField &in, Order &order, bool exchange_last) {
    Instrument *instrument = this->instrument(text(in.InstrumentID));
    if (!instrument || !matches(text(in.ExchangeID), instrument->setup.exchange))
        return Error::unknown_instrument;
    if (!instrument->setup.trading)
        return Error::not_trading;
    if (!exchange_last && instrument->status != status::continuous)
        return Error::not_continuous;
    if (in.OrderPriceType != '2')
        return Error::bad_price_type;
    if (in.Direction != '0' && in.Direction != '1')
        return Error::bad_direction;
    const char offset = in.CombOffsetFlag[0];
    if (offset != '0' && offset != '1' && offset != '3' && offset != '4')
        return Error::bad_offset;
    if (in.CombHedgeFlag[0] != '1')
        return Error::bad_hedge;
    if (in.TimeCondition != '1' && in.TimeCondition != '3')
        return Error::bad_time_condition;
    // All-or-nothing makes sense only for an order that does not rest.
    if (in.VolumeCondition != '1' && !(in.VolumeCondition == '3' && in.TimeCondition == '1'))
        return Error::bad_volume_condition;
    if (in.ContingentCondition != '1')
        return Error::bad_contingent_condition;
    if (in.ForceCloseReason != '0' || in.UserForceClose != 0)
        return Error::bad_force_close;
    if (in.VolumeTotalOriginal < instrument->setup.min_volume || in.VolumeTotalOriginal > instrument->setup.max_volume)
        return Error::bad_volume;
    if (!(in.LimitPrice > 0))
        return Error::bad_price;
    Ticks limit = 0;
    if (!instrument->ticks(in.LimitPrice, limit))
        return Error::bad_tick;
    if (limit < instrument->lower || limit > instrument->upper)
        return Error::out_of_band;

    order.instrument = instrument;
    order.account = &account;
    order.buy = in.Direction == '0';
    order.limit = limit;
    order.offset = offset;
    order.remaining = in.VolumeTotalOriginal;
    if (offset == '0')
        order.bucket = Bucket::open;
    else if (!instrument->closes_by_date())
        order.bucket = Bucket::any;
    else
        order.bucket = offset == '3' ? Bucket::today : Bucket::yesterday;

    if (order.bucket != Bucket::open) {
        const char held = order.position_side();
        auto found = account.positions.find({instrument->setup.id, held});
        const int closable = found == account.positions.end() ? 0 : found->second.closable(order.bucket);
        if (closable < order.remaining)
            return Error::not_enough_position;
    }
    // What the order freezes while it waits, at its limit price.
    const double price = instrument->price(limit);
    Cents needed = cents(instrument->fee(order.commission_rate(), price, order.remaining));
    if (order.bucket == Bucket::open)
        needed += instrument->margin(in.Direction, price, order.remaining);
    if (needed > account.available())
        return Error::insufficient_funds;
    if (exchange_last && instrument->status != status::continuous)
        return Error::not_continuous;
    if (instrument->book.meets_own(order.buy, limit, order.remaining, account))
        return Error::self_trade;
    return Error::none;
}

void Exchange::prepare(const CThostFtdcInputOrderField &in, Ready &ahead, Outbox &out) {
    Order &order = *ahead.order;
    Account &account = *order.account;
    Instrument &instrument = *order.instrument;
    Book &book = instrument.book;
    Room room;
    room.update(flow, account);  // taken by the front
    room.update(flow, account);  // accepted by the exchange
    // Walks the book as match will.
    int remaining = order.remaining;
    const bool killed = in.VolumeCondition == '3' && book.available(order.buy, order.limit, remaining) < remaining;
    if (!killed) {
        for (auto &[key, entry] : book.opposite(order.buy)) {
            if (remaining == 0 || !Book::crosses(order.buy, order.limit, Book::price(!order.buy, key)))
                break;
            remaining -= std::min(remaining, entry.volume());
            room.fill(flow, order);
            if (entry.order)
                room.fill(flow, *entry.order);
        }
    }
    const bool rests = !killed && remaining > 0 && in.TimeCondition != '1';
    if (killed || (remaining > 0 && !rests))
        room.update(flow, account);  // cancelled: killed whole, or what an immediate order left
    room_for(orders, 1);
    room_for(account.orders, 1);
    room_for(account.waiting, 1);
    account.position(instrument, order.position_side());
    order.seq = next_seq + 1;
    ahead.sys_id = std::to_string(next_order_sys_id + 1);
    decltype(by_sys_id) one;
    one.emplace(std::pair(instrument.setup.exchange, ahead.sys_id), &order);
    ahead.sys_node = one.extract(one.begin());
    if (rests)
        ahead.book_node = Book::make_node(order);
    room.make(out);
}

void Exchange::update(Order &order, char status, const char *message, Outbox &out) noexcept {
    CThostFtdcOrderField &o = order.record;
    o.OrderStatus = status;
    put(o.StatusMsg, message);
    put(o.UpdateTime, clock.stamp().time);
    o.SequenceNo = ++next_sequence;
    ++o.NotifySequence;
    notify(out, *order.account, "OnRtnOrder", o);
}

void Exchange::describe(Origin origin, const CThostFtdcInputOrderField &in, int id, Order &order) noexcept {
    const Account &account = *order.account;
    const Instrument &instrument = *order.instrument;
    CThostFtdcOrderField &o = order.record;
    put(o.BrokerID, text(in.BrokerID));
    put(o.InvestorID, text(in.InvestorID));
    put(o.reserve1, instrument.setup.id);
    put(o.OrderRef, trim(text(in.OrderRef)));
    put(o.UserID, text(in.UserID));
    o.OrderPriceType = in.OrderPriceType;
    o.Direction = in.Direction;
    put(o.CombOffsetFlag, text(in.CombOffsetFlag));
    put(o.CombHedgeFlag, text(in.CombHedgeFlag));
    o.LimitPrice = in.LimitPrice;
    o.VolumeTotalOriginal = in.VolumeTotalOriginal;
    o.TimeCondition = in.TimeCondition;
    o.VolumeCondition = in.VolumeCondition;
    o.MinVolume = in.MinVolume;
    o.ContingentCondition = in.ContingentCondition;
    o.ForceCloseReason = in.ForceCloseReason;
    o.IsAutoSuspend = in.IsAutoSuspend;
    o.RequestID = id;
    put(o.OrderLocalID, std::to_string(++next_local_id));
    put(o.ExchangeID, instrument.setup.exchange);
    put(o.ParticipantID, account.setup.broker);
    put(o.ClientID, account.setup.user);
    put(o.reserve2, instrument.setup.id);
    put(o.TraderID, "standin");
    o.InstallID = 1;
    o.OrderSubmitStatus = '0';
    put(o.TradingDay, trading_day_);
    o.SettlementID = 1;
    o.OrderSource = '0';
    o.OrderType = '0';
    o.VolumeTraded = 0;
    o.VolumeTotal = order.remaining;
    const Stamp now = clock.stamp();
    put(o.InsertDate, now.date);
    put(o.InsertTime, now.time);
    put(o.ActiveTime, text(o.InsertTime));
    o.FrontID = origin.front_id;
    o.SessionID = origin.session_id;
    o.UserForceClose = in.UserForceClose;
    put(o.ActiveUserID, text(in.UserID));
    o.BrokerOrderSeq = static_cast<int>(next_local_id);
    put(o.AccountID, account.setup.user);
    put(o.CurrencyID, "CNY");
    put(o.InstrumentID, instrument.setup.id);
    put(o.ExchangeInstID, instrument.setup.id);
}

void Exchange::accept(Origin origin, const CThostFtdcInputOrderField &in, int id, Ready &ahead,
                      Outbox &out) noexcept {
    Order &order = *ahead.order;
    orders.push_back(std::move(ahead.order));
    Account &account = *order.account;
    Instrument &instrument = *order.instrument;
    account.orders.push_back(&order);
    account.wait(order);
    next_seq = order.seq;
    if (order.bucket != Bucket::open)
        account.position(instrument, order.position_side()).frozen(order.bucket) += order.remaining;

    describe(origin, in, id, order);
    CThostFtdcOrderField &o = order.record;
    update(order, 'a', status_text::submitted, out);

    // The exchange takes it.
    ++next_order_sys_id;
    put(o.OrderSysID, ahead.sys_id);
    by_sys_id.insert(std::move(ahead.sys_node));
    o.OrderSubmitStatus = '3';
    update(order, '3', status_text::queued, out);

    const bool immediate = in.TimeCondition == '1';
    const bool whole_or_nothing = in.VolumeCondition == '3';
    if (whole_or_nothing && instrument.book.available(order.buy, order.limit, order.remaining) < order.remaining) {
        finish(order, status_text::fok_unfilled, out);
        return;
    }
    match(order, out);
    if (order.remaining == 0)
        return;
    if (immediate)
        finish(order, status_text::ioc_rest, out);
    else
        instrument.book.add(order, std::move(ahead.book_node));
}

void Exchange::prepare_refusal(Ready &ahead, Outbox &out) {
    Account &account = *ahead.order->account;
    Room room;
    room.update(flow, account);  // taken by the front
    room.update(flow, account);  // refused by the exchange
    room_for(orders, 1);
    room_for(account.orders, 1);
    room.make(out);
}

void Exchange::refuse(Origin origin, const CThostFtdcInputOrderField &in, int id, Ready &ahead, Error error,
                      Outbox &out) noexcept {
    // Known to the queries as the day's other orders, but never live: no
    // OrderSysID, nothing frozen, nothing on the book.
    Order &order = *ahead.order;
    orders.push_back(std::move(ahead.order));
    order.account->orders.push_back(&order);
    describe(origin, in, id, order);
    update(order, 'a', status_text::submitted, out);
    order.record.OrderSubmitStatus = '4';  // insert rejected
    put(order.record.CancelTime, clock.stamp().time);
    update(order, '5', error_text(error), out);
}

void Exchange::refuse_cancel(Order &order, Error error) {
    Outbox out;
    out.reserve(flow.listeners(*order.account), sizeof(CThostFtdcOrderField));
    order.record.OrderSubmitStatus = '5';  // cancel rejected
    update(order, order.record.OrderStatus, error_text(error), out);
}

void Exchange::match(Order &order, Outbox &out) noexcept {
    Book::Side &side = order.instrument->book.opposite(order.buy);
    while (order.remaining > 0 && !side.empty()) {
        auto best = side.begin();
        const Ticks price = Book::price(!order.buy, best->first);
        if (!Book::crosses(order.buy, order.limit, price))
            break;
        Book::Entry &entry = best->second;
        const int volume = std::min(order.remaining, entry.volume());
        Order *resting = entry.order;
        if (resting) {
            if (resting->remaining == volume) {
                resting->resting = false;
                side.erase(best);
            }
        } else if ((entry.market_volume -= volume) == 0) {
            side.erase(best);
        }
        // The newer order hears of the trade first; both share its TradeID.
        const std::string trade_id = std::to_string(++next_trade_id);
        order.instrument->trade(price, volume);
        fill(order, price, volume, trade_id, out);
        if (resting)
            fill(*resting, price, volume, trade_id, out);
    }
}

void Exchange::plan_uncross(Book &book, Room &room) {
    // The walk of uncross, on volumes kept aside.
    auto bid = book.bids.begin();
    auto ask = book.asks.begin();
    int bid_left = bid == book.bids.end() ? 0 : bid->second.volume();
    int ask_left = ask == book.asks.end() ? 0 : ask->second.volume();
    while (bid != book.bids.end() && ask != book.asks.end()) {
        if (Book::price(true, bid->first) < Book::price(false, ask->first))
            break;
        const int volume = std::min(bid_left, ask_left);
        if (bid->second.order)
            room.fill(flow, *bid->second.order);
        if (ask->second.order)
            room.fill(flow, *ask->second.order);
        if ((bid_left -= volume) == 0 && ++bid != book.bids.end())
            bid_left = bid->second.volume();
        if ((ask_left -= volume) == 0 && ++ask != book.asks.end())
            ask_left = ask->second.volume();
    }
}

void Exchange::uncross(Instrument &instrument, Outbox &out) noexcept {
    Book &book = instrument.book;
    auto take = [](Book::Side &side, Book::Side::iterator at, int volume) {
        Book::Entry &entry = at->second;
        if (entry.order) {
            if (entry.order->remaining == volume) {
                entry.order->resting = false;
                side.erase(at);
            }
        } else if ((entry.market_volume -= volume) == 0) {
            side.erase(at);
        }
    };
    while (!book.bids.empty() && !book.asks.empty()) {
        auto bid = book.bids.begin();
        auto ask = book.asks.begin();
        const Ticks bid_price = Book::price(true, bid->first);
        const Ticks ask_price = Book::price(false, ask->first);
        if (bid_price < ask_price)
            break;
        // The order that rested first sets the price.
        const Ticks price = bid->first.second < ask->first.second ? bid_price : ask_price;
        const int volume = std::min(bid->second.volume(), ask->second.volume());
        Order *buyer = bid->second.order;
        Order *seller = ask->second.order;
        take(book.bids, bid, volume);
        take(book.asks, ask, volume);
        const std::string trade_id = std::to_string(++next_trade_id);
        instrument.trade(price, volume);
        if (buyer)
            fill(*buyer, price, volume, trade_id, out);
        if (seller)
            fill(*seller, price, volume, trade_id, out);
    }
}

void Exchange::fill(Order &order, Ticks ticks, int volume, const std::string &trade_id, Outbox &out) noexcept {
    Instrument &instrument = *order.instrument;
    const InstrumentSetup &setup = instrument.setup;
    Account &account = *order.account;
    const double price = instrument.price(ticks);
    const Cents amount = cents(price * volume * setup.multiple);
    order.remaining -= volume;
    if (order.remaining == 0)
        account.done(order);

    // An open adds a detail; a close takes yesterday's lots at the close
    // rate, today's at the close-today rate.
    Position &position = account.position(instrument, order.position_side());
    Cents fee = 0;
    Cents profit = 0;
    if (order.bucket == Bucket::open) {
        fee = cents(instrument.fee(setup.open_commission, price, volume));
        Detail detail{};
        put(detail.trade_id, trade_id);
        put(detail.open_date, trading_day_);
        detail.open_price = price;
        detail.volume = volume;
        position.open(detail);
        position.open_volume += volume;
        position.open_amount += amount;
        position.today_commission += fee;
    } else {
        position.frozen(order.bucket) -= volume;
        const Position::Closed closed = position.close(order.bucket, volume, price);
        fee = cents(instrument.fee(setup.close_commission, price, closed.yd) +
                    instrument.fee(setup.close_today_commission, price, closed.today));
        profit = closed.profit_by_date;
        (order.bucket == Bucket::yesterday ? position.yd_commission : position.today_commission) += fee;
    }
    account.commission += fee;

    // The trade's RtnTrade and the RtnOrder that reports it, in the order the
    // front draws (the RtnOrder first, unless it behaves otherwise).
    CThostFtdcOrderField &o = order.record;
    o.VolumeTraded += volume;
    o.VolumeTotal = order.remaining;
    const bool trade_first = flow.trade_first();
    const auto report_order = [&] {
        update(order, order.remaining ? '1' : '0',
               order.remaining ? status_text::part_traded : status_text::all_traded, out);
    };
    if (!trade_first)
        report_order();

    CThostFtdcTradeField t{};
    put(t.BrokerID, text(o.BrokerID));
    put(t.InvestorID, text(o.InvestorID));
    put(t.reserve1, instrument.setup.id);
    put(t.OrderRef, text(o.OrderRef));
    put(t.UserID, text(o.UserID));
    put(t.ExchangeID, instrument.setup.exchange);
    put(t.TradeID, trade_id);
    t.Direction = o.Direction;
    put(t.OrderSysID, text(o.OrderSysID));
    put(t.ParticipantID, text(o.ParticipantID));
    put(t.ClientID, text(o.ClientID));
    t.TradingRole = '1';
    put(t.reserve2, instrument.setup.id);
    t.OffsetFlag = o.CombOffsetFlag[0];
    t.HedgeFlag = o.CombHedgeFlag[0];
    t.Price = price;
    t.Volume = volume;
    const Stamp now = clock.stamp();
    put(t.TradeDate, now.date);
    put(t.TradeTime, now.time);
    t.TradeType = '0';
    t.PriceSource = '0';
    put(t.TraderID, text(o.TraderID));
    put(t.OrderLocalID, text(o.OrderLocalID));
    put(t.ClearingPartID, text(o.ParticipantID));
    t.SequenceNo = ++next_sequence;
    put(t.TradingDay, trading_day_);
    t.SettlementID = 1;
    t.BrokerOrderSeq = o.BrokerOrderSeq;
    t.TradeSource = '0';
    put(t.InstrumentID, instrument.setup.id);
    put(t.ExchangeInstID, instrument.setup.id);
    account.trades.push_back({t, fee, profit});
    notify(out, account, "OnRtnTrade", t);
    if (trade_first)
        report_order();
}

void Exchange::finish(Order &order, const char *status_message, Outbox &out) noexcept {
    order.instrument->book.remove(order);
    order.resting = false;
    order.account->done(order);
    if (order.bucket != Bucket::open)
        order.account->position(*order.instrument, order.position_side()).frozen(order.bucket) -= order.remaining;
    put(order.record.CancelTime, clock.stamp().time);
    update(order, '5', status_message, out);
}

// ---- cancels ----------------------------------------------------------------

Order *Exchange::order(std::string_view exchange, std::string_view sys_id) {
    auto found = by_sys_id.find({std::string(exchange), std::string(sys_id)});
    return found == by_sys_id.end() ? nullptr : found->second;
}

void Exchange::cancel(Order &order) {
    Outbox out;
    out.reserve(flow.listeners(*order.account), sizeof(CThostFtdcOrderField));
    finish(order, status_text::cancelled, out);
}

// ---- the simulated market ---------------------------------------------------

void Exchange::requote(Instrument &instrument, Ticks reference) {
    install(instrument, Book::market_quotes(reference, instrument.setup.market_levels, instrument.setup.market_volume,
                                            instrument.lower, instrument.upper, next_seq + 1));
    instrument.reference = reference;
}

void Exchange::install(Instrument &instrument, Book::Quotes quotes) {
    const auto has_orders = [](const Book::Side &side) {
        return std::ranges::any_of(side, [](const auto &item) { return item.second.order != nullptr; });
    };
    if (!has_orders(instrument.book.bids) && !has_orders(instrument.book.asks)) {
        // No order to trade: nothing to plan (crossed quotes trade among themselves, telling nobody).
        Outbox out;
        instrument.book.install(std::move(quotes));
        next_seq += 1;
        if (instrument.status == status::continuous)
            uncross(instrument, out);
        return;
    }
    // Planned on the book as it will be, then done without allocating.
    Book planned;
    for (auto [side, fresh, now] : {std::tuple(&planned.bids, &quotes.bids, &instrument.book.bids),
                                    std::tuple(&planned.asks, &quotes.asks, &instrument.book.asks)}) {
        *side = *fresh;
        for (const auto &[key, entry] : *now)
            if (entry.order)
                side->emplace(key, entry);
    }
    // Outside continuous trading, crossed orders wait for the market to open.
    const bool trading = instrument.status == status::continuous;
    Room room;
    if (trading)
        plan_uncross(planned, room);
    Outbox out;
    room.make(out);
    instrument.book.install(std::move(quotes));
    next_seq += 1;
    if (trading)
        uncross(instrument, out);
}

void Exchange::replay(Instrument &instrument, const CThostFtdcDepthMarketDataField &tick) noexcept {
    // A price the recording leaves unset is no level; one off the tick grid
    // counts at the nearest tick.
    auto nearest = [&](double price, Ticks &out) {
        if (!(price > 0 && price / instrument.setup.tick < 1e15))
            return false;
        out = static_cast<Ticks>(std::llround(price / instrument.setup.tick));
        return true;
    };
    Ticks ticks = 0;
    if (nearest(tick.UpperLimitPrice, ticks))
        instrument.upper = ticks;
    if (nearest(tick.LowerLimitPrice, ticks))
        instrument.lower = ticks;
    if (nearest(tick.LastPrice, ticks)) {
        instrument.last = ticks;
        if (!instrument.traded)
            instrument.open = instrument.high = instrument.low = ticks;
        instrument.traded = true;
        instrument.high = std::max(instrument.high, ticks);
        instrument.low = std::min(instrument.low, ticks);
        ++instrument.moves;
    }
    try {
        Book::Quotes quotes;
        const Seq seq = next_seq + 1;
        each_level(tick, [&](int, double bid, int bid_volume, double ask, int ask_volume) {
            if (bid_volume > 0 && nearest(bid, ticks))
                quotes.bids[{-ticks, seq}].market_volume += bid_volume;
            if (ask_volume > 0 && nearest(ask, ticks))
                quotes.asks[{ticks, seq}].market_volume += ask_volume;
        });
        install(instrument, std::move(quotes));
        if (!instrument.book.bids.empty() || !instrument.book.asks.empty())
            instrument.reference = instrument.traded ? instrument.last : instrument.reference;
    } catch (...) {
        // Out of memory: the book keeps the quotes of the tick before.
    }
}

int Exchange::set_price(std::string_view id, double price) {
    Instrument *found = instrument(id);
    if (!found)
        return CTPSIM_NO_FRONT;
    Ticks ticks = 0;
    if (!found->ticks(price, ticks) || ticks < found->lower || ticks > found->upper)
        return CTPSIM_BAD_VALUE;
    requote(*found, ticks);
    return CTPSIM_OK;
}

int Exchange::move_price(std::string_view id, int ticks) {
    Instrument *found = instrument(id);
    if (!found)
        return CTPSIM_NO_FRONT;
    const Ticks moved = found->reference + ticks;
    if (moved < found->lower || moved > found->upper)
        return CTPSIM_BAD_VALUE;
    requote(*found, moved);
    return CTPSIM_OK;
}

int Exchange::get_price(std::string_view id, double &price) {
    Instrument *found = instrument(id);
    if (!found)
        return CTPSIM_NO_FRONT;
    price = found->price(found->reference);
    return CTPSIM_OK;
}

}  // namespace standin
