// The venue's trading: orders, matching, cancels and the simulated market.
#include "venue.h"

#include "ctpsim.h"
#include "records.h"

#include <algorithm>
#include <charconv>
#include <map>

namespace standin {

namespace {

bool parse_ref(std::string_view text, long long &out) {
    if (text.empty() || text.size() > 12)
        return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc() && end == text.data() + text.size() && out > 0;
}

bool matches(std::string_view filter, std::string_view value) { return filter.empty() || filter == value; }

// The side of the position an order works on: opens add to their own side,
// closes take from the other.
char position_direction(const Order &order) {
    const bool long_side = order.bucket == Bucket::open ? order.buy : !order.buy;
    return long_side ? '2' : '3';
}

}  // namespace

// ---- orders -----------------------------------------------------------------

Error Venue::check_order(Session &session, const CThostFtdcInputOrderField &in, Order &order, long long &order_ref) {
    Account &account = *session.account;
    if (account.setup.broker != text(in.BrokerID) || account.setup.user != text(in.InvestorID))
        return Error::investor_mismatch;
    if (!account.confirmed)
        return Error::not_confirmed;

    // References count up per session; a reference once sent is used up,
    // whatever becomes of its order (use_order_ref).
    const std::string_view given = trim(text(in.OrderRef));
    if (given.empty()) {
        order_ref = session.max_order_ref + 1;
    } else if (!parse_ref(given, order_ref) || order_ref <= session.max_order_ref) {
        order_ref = 0;
        return Error::bad_order_ref;
    }

    Instrument *instrument = this->instrument(text(in.InstrumentID));
    if (!instrument || !matches(text(in.ExchangeID), instrument->setup.exchange))
        return Error::unknown_instrument;
    if (!instrument->setup.trading)
        return Error::not_trading;
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
    order.remaining = in.VolumeTotalOriginal;
    if (offset == '0')
        order.bucket = Bucket::open;
    else if (!instrument->closes_by_date())
        order.bucket = Bucket::any;
    else
        order.bucket = offset == '3' ? Bucket::today : Bucket::yesterday;

    if (order.bucket != Bucket::open) {
        const char held = position_direction(order);
        auto found = account.positions.find({instrument->setup.id, held});
        const int closable = found == account.positions.end() ? 0 : found->second.closable(order.bucket);
        if (closable < order.remaining)
            return Error::not_enough_position;
    }
    // What the order freezes while it waits, at its limit price.
    const double price = instrument->price(limit);
    double needed = instrument->commission(price, order.remaining);
    if (order.bucket == Bucket::open)
        needed += instrument->margin(in.Direction, price, order.remaining);
    if (needed > account.available() + 1e-6)
        return Error::insufficient_funds;
    if (instrument->book.meets_own(order.buy, limit, order.remaining, account))
        return Error::self_trade;
    return Error::none;
}

void Venue::use_order_ref(Session &session, long long order_ref) noexcept {
    if (order_ref <= 0)
        return;
    session.max_order_ref = order_ref;
    session.account->max_order_ref = std::max(session.account->max_order_ref, order_ref);
}

void Venue::reject_order(Outbox &out, Session &session, const CThostFtdcInputOrderField &input, int id,
                         Error error) noexcept {
    const auto status = info(error);
    send(out, session, "OnRspOrderInsert", &input, &status, id, true);
    if (session.account)
        notify(out, *session.account, "OnErrRtnOrderInsert", &input, &status);
}

// What the trades and updates of one step need: room for the events, for
// the trades each account keeps and for the lots each position gains.
struct Venue::Room {
    std::size_t events = 0;
    std::map<Account *, std::size_t> trades;
    std::map<Position *, std::size_t> lots;

    // An OnRtnOrder to the order's investor.
    void update(const Venue &venue, const Account &account) { events += venue.listeners(account); }
    // A trade of the order: its OnRtnOrder and OnRtnTrade, its trade, its lot.
    void fill(const Venue &venue, Order &order) {
        Account &account = *order.account;
        events += 2 * venue.listeners(account);
        ++trades[&account];
        // Making the position here adds at most an empty one, which no
        // query shows and no figure counts.
        if (order.bucket == Bucket::open)
            ++lots[&account.position(*order.instrument, position_direction(order))];
    }
    void make(Outbox &out) {
        for (auto [account, count] : trades)
            room_for(account->trades, count);
        for (auto [position, count] : lots)
            room_for(position->today, count);
        out.reserve(events, std::max(sizeof(CThostFtdcOrderField), sizeof(CThostFtdcTradeField)));
    }
};

struct Venue::Accepted {
    std::unique_ptr<Order> order;
    std::string sys_id;
    decltype(Venue::by_sys_id)::node_type sys_node;
    Book::Node book_node;  // empty when the order will not rest
};

int Venue::request(Session &session, const CThostFtdcInputOrderField &r, int id) {
    std::lock_guard lock(mutex);
    const Publish publish(*this);
    if (int refused = admit(session, false))
        return refused;
    Outbox out;
    if (!session.account) {
        // Not logged in: no private flow to report on, only the reply.
        out.reserve(1, sizeof r);
        const auto status = info(Error::not_logged_in);
        send(out, session, "OnRspOrderInsert", &r, &status, id, true);
        return 0;
    }
    Accepted ahead;
    ahead.order = std::make_unique<Order>();
    long long order_ref = 0;
    const Error error = check_order(session, r, *ahead.order, order_ref);
    CThostFtdcInputOrderField input = r;
    if (order_ref > 0 && trim(text(r.OrderRef)).empty())
        put(input.OrderRef, std::to_string(order_ref));
    if (error != Error::none) {
        out.reserve(1 + listeners(*session.account), sizeof input);
        use_order_ref(session, order_ref);
        reject_order(out, session, input, id, error);
        return 0;
    }
    prepare_order(input, *ahead.order, ahead, out);
    // Nothing has changed so far; from here on nothing allocates (the ids and
    // times put in records are short enough for std::string's inline buffer).
    use_order_ref(session, order_ref);
    accept_order(session, input, id, ahead, out);
    return 0;
}

void Venue::prepare_order(const CThostFtdcInputOrderField &in, Order &order, Accepted &ahead, Outbox &out) {
    Account &account = *order.account;
    Instrument &instrument = *order.instrument;
    Book &book = instrument.book;
    Room room;
    room.update(*this, account);  // taken by the front
    room.update(*this, account);  // accepted by the exchange
    // Walks the book as match will.
    int remaining = order.remaining;
    const bool killed = in.VolumeCondition == '3' && book.available(order.buy, order.limit, remaining) < remaining;
    if (!killed) {
        for (auto &[key, entry] : book.opposite(order.buy)) {
            if (remaining == 0 || !Book::crosses(order.buy, order.limit, Book::price(!order.buy, key)))
                break;
            remaining -= std::min(remaining, entry.volume());
            room.fill(*this, order);
            if (entry.order)
                room.fill(*this, *entry.order);
        }
    }
    const bool rests = !killed && remaining > 0 && in.TimeCondition != '1';
    if (killed || (remaining > 0 && !rests))
        room.update(*this, account);  // cancelled: killed whole, or what an immediate order left
    room_for(orders, 1);
    room_for(account.orders, 1);
    room_for(account.waiting, 1);
    account.position(instrument, position_direction(order));
    order.seq = next_seq + 1;
    ahead.sys_id = std::to_string(next_order_sys_id + 1);
    decltype(by_sys_id) one;
    one.emplace(std::pair(instrument.setup.exchange, ahead.sys_id), &order);
    ahead.sys_node = one.extract(one.begin());
    if (rests)
        ahead.book_node = Book::make_node(order);
    room.make(out);
}

void Venue::update(Order &order, char status, const char *message, Outbox &out) noexcept {
    CThostFtdcOrderField &o = order.record;
    o.OrderStatus = status;
    put(o.StatusMsg, message);
    put(o.UpdateTime, wall_clock().time);
    o.SequenceNo = ++next_sequence;
    ++o.NotifySequence;
    notify(out, *order.account, "OnRtnOrder", &o, nullptr);
}

void Venue::accept_order(Session &session, const CThostFtdcInputOrderField &in, int id, Accepted &ahead,
                         Outbox &out) noexcept {
    Order &order = *ahead.order;
    orders.push_back(std::move(ahead.order));
    Account &account = *order.account;
    Instrument &instrument = *order.instrument;
    account.orders.push_back(&order);
    account.wait(order);
    next_seq = order.seq;
    if (order.bucket != Bucket::open)
        account.position(instrument, position_direction(order)).frozen(order.bucket) += order.remaining;

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
    put(o.TradingDay, trading_day);
    o.SettlementID = 1;
    o.OrderSource = '0';
    o.OrderType = '0';
    o.VolumeTraded = 0;
    o.VolumeTotal = order.remaining;
    const Stamp now = wall_clock();
    put(o.InsertDate, now.date);
    put(o.InsertTime, now.time);
    put(o.ActiveTime, text(o.InsertTime));
    o.FrontID = front_id;
    o.SessionID = session.session_id;
    o.UserForceClose = in.UserForceClose;
    put(o.ActiveUserID, text(in.UserID));
    o.BrokerOrderSeq = static_cast<int>(next_local_id);
    put(o.AccountID, account.setup.user);
    put(o.CurrencyID, "CNY");
    put(o.InstrumentID, instrument.setup.id);
    put(o.ExchangeInstID, instrument.setup.id);
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

void Venue::match(Order &order, Outbox &out) noexcept {
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

void Venue::plan_uncross(Book &book, Room &room) {
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
            room.fill(*this, *bid->second.order);
        if (ask->second.order)
            room.fill(*this, *ask->second.order);
        if ((bid_left -= volume) == 0 && ++bid != book.bids.end())
            bid_left = bid->second.volume();
        if ((ask_left -= volume) == 0 && ++ask != book.asks.end())
            ask_left = ask->second.volume();
    }
}

void Venue::uncross(Instrument &instrument, Outbox &out) noexcept {
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

void Venue::fill(Order &order, Ticks ticks, int volume, const std::string &trade_id, Outbox &out) noexcept {
    Instrument &instrument = *order.instrument;
    Account &account = *order.account;
    const double price = instrument.price(ticks);
    const double fee = instrument.commission(price, volume);
    const double amount = price * volume * instrument.setup.multiple;
    order.remaining -= volume;
    if (order.remaining == 0)
        account.done(order);

    account.commission += fee;
    Position &position = account.position(instrument, position_direction(order));
    position.commission += fee;
    if (order.bucket == Bucket::open) {
        position.today.push_back({price, volume});
        position.opened_today = true;
        position.open_volume += volume;
        position.open_amount += amount;
    } else {
        position.frozen(order.bucket) -= volume;
        const double profit = position.close(order.bucket, volume, price);
        position.close_profit += profit;
        account.close_profit += profit;
        position.close_volume += volume;
        position.close_amount += amount;
    }

    CThostFtdcOrderField &o = order.record;
    o.VolumeTraded += volume;
    o.VolumeTotal = order.remaining;
    update(order, order.remaining ? '1' : '0', order.remaining ? status_text::part_traded : status_text::all_traded,
           out);

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
    const Stamp now = wall_clock();
    put(t.TradeDate, now.date);
    put(t.TradeTime, now.time);
    t.TradeType = '0';
    t.PriceSource = '0';
    put(t.TraderID, text(o.TraderID));
    put(t.OrderLocalID, text(o.OrderLocalID));
    put(t.ClearingPartID, text(o.ParticipantID));
    t.SequenceNo = ++next_sequence;
    put(t.TradingDay, trading_day);
    t.SettlementID = 1;
    t.BrokerOrderSeq = o.BrokerOrderSeq;
    t.TradeSource = '0';
    put(t.InstrumentID, instrument.setup.id);
    put(t.ExchangeInstID, instrument.setup.id);
    account.trades.push_back(t);
    notify(out, account, "OnRtnTrade", &t, nullptr);
}

void Venue::finish(Order &order, const char *status_message, Outbox &out) noexcept {
    order.instrument->book.remove(order);
    order.resting = false;
    order.account->done(order);
    if (order.bucket != Bucket::open)
        order.account->position(*order.instrument, position_direction(order)).frozen(order.bucket) -= order.remaining;
    put(order.record.CancelTime, wall_clock().time);
    update(order, '5', status_message, out);
}

// ---- cancels ----------------------------------------------------------------

void Venue::reject_action(Session &session, const CThostFtdcInputOrderActionField &in, const Order *order, int id,
                          Error error) {
    // Changes nothing: the events are all it makes.
    Outbox out;
    out.reserve(1 + (session.account ? listeners(*session.account) : 0),
                std::max(sizeof(CThostFtdcInputOrderActionField), sizeof(CThostFtdcOrderActionField)));
    const auto status = info(error);
    send(out, session, "OnRspOrderAction", &in, &status, id, true);
    if (!session.account)
        return;
    CThostFtdcOrderActionField action{};
    put(action.BrokerID, text(in.BrokerID));
    put(action.InvestorID, text(in.InvestorID));
    action.OrderActionRef = in.OrderActionRef;
    action.RequestID = id;
    if (order) {
        put(action.OrderRef, text(order->record.OrderRef));
        action.FrontID = order->record.FrontID;
        action.SessionID = order->record.SessionID;
        put(action.OrderLocalID, text(order->record.OrderLocalID));
    }
    put(action.ExchangeID, text(in.ExchangeID));
    put(action.OrderSysID, text(in.OrderSysID));
    action.ActionFlag = in.ActionFlag;
    action.LimitPrice = in.LimitPrice;
    const Stamp now = wall_clock();
    put(action.ActionDate, now.date);
    put(action.ActionTime, now.time);
    action.OrderActionStatus = 'c';  // rejected
    put(action.UserID, text(in.UserID));
    put(action.StatusMsg, error_text(error));
    put(action.InstrumentID, text(in.InstrumentID));
    notify(out, *session.account, "OnErrRtnOrderAction", &action, &status);
}

int Venue::request(Session &session, const CThostFtdcInputOrderActionField &r, int id) {
    std::lock_guard lock(mutex);
    const Publish publish(*this);
    if (int refused = admit(session, false))
        return refused;
    if (!session.account) {
        reject_action(session, r, nullptr, id, Error::not_logged_in);
        return 0;
    }
    const Account &account = *session.account;
    if (account.setup.broker != text(r.BrokerID) || account.setup.user != text(r.InvestorID)) {
        reject_action(session, r, nullptr, id, Error::investor_mismatch);
        return 0;
    }
    if (r.ActionFlag != '0') {
        reject_action(session, r, nullptr, id, Error::action_unsupported);
        return 0;
    }
    auto found = by_sys_id.find({std::string(text(r.ExchangeID)), std::string(trim(text(r.OrderSysID)))});
    Order *order = found == by_sys_id.end() ? nullptr : found->second;
    if (!order || order->account != &account) {
        reject_action(session, r, nullptr, id, Error::order_not_found);
        return 0;
    }
    if (!order->live) {
        reject_action(session, r, order, id, Error::order_finished);
        return 0;
    }
    Outbox out;
    out.reserve(listeners(account), sizeof(CThostFtdcOrderField));
    finish(*order, status_text::cancelled, out);
    return 0;
}

// ---- the simulated market ---------------------------------------------------

void Venue::requote(Instrument &instrument, Ticks reference) {
    // Planned on the book as it will be, then done without allocating.
    Book::Quotes quotes = Book::market_quotes(reference, instrument.setup.market_levels,
                                              instrument.setup.market_volume, instrument.lower, instrument.upper,
                                              next_seq + 1);
    Book planned;
    for (auto [side, fresh, now] : {std::tuple(&planned.bids, &quotes.bids, &instrument.book.bids),
                                    std::tuple(&planned.asks, &quotes.asks, &instrument.book.asks)}) {
        *side = *fresh;
        for (const auto &[key, entry] : *now)
            if (entry.order)
                side->emplace(key, entry);
    }
    Room room;
    plan_uncross(planned, room);
    Outbox out;
    room.make(out);
    instrument.book.install(std::move(quotes));
    instrument.reference = reference;
    next_seq += 1;
    uncross(instrument, out);
}

int Venue::set_price(std::string_view id, double price) {
    std::lock_guard lock(mutex);
    const Publish publish(*this);
    Instrument *found = instrument(id);
    if (!found)
        return CTPSIM_NO_FRONT;
    Ticks ticks = 0;
    if (!found->ticks(price, ticks) || ticks < found->lower || ticks > found->upper)
        return CTPSIM_BAD_VALUE;
    requote(*found, ticks);
    return CTPSIM_OK;
}

int Venue::move_price(std::string_view id, int ticks) {
    std::lock_guard lock(mutex);
    const Publish publish(*this);
    Instrument *found = instrument(id);
    if (!found)
        return CTPSIM_NO_FRONT;
    const Ticks moved = found->reference + ticks;
    if (moved < found->lower || moved > found->upper)
        return CTPSIM_BAD_VALUE;
    requote(*found, moved);
    return CTPSIM_OK;
}

int Venue::get_price(std::string_view id, double &price) {
    std::lock_guard lock(mutex);
    Instrument *found = instrument(id);
    if (!found)
        return CTPSIM_NO_FRONT;
    price = found->price(found->reference);
    return CTPSIM_OK;
}

}  // namespace standin
