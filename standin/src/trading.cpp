// The venue's trading: orders, matching, cancels and the simulated market.
#include "venue.h"

#include "ctpsim.h"
#include "records.h"

#include <charconv>

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
    // whatever becomes of its order.
    const std::string_view given = trim(text(in.OrderRef));
    if (given.empty())
        order_ref = session.max_order_ref + 1;
    else if (!parse_ref(given, order_ref) || order_ref <= session.max_order_ref)
        return Error::bad_order_ref;
    session.max_order_ref = order_ref;
    account.max_order_ref = std::max(account.max_order_ref, order_ref);

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

void Venue::reject_order(Session &session, const CThostFtdcInputOrderField &input, int id, Error error) {
    const auto status = info(error);
    send(session, event("OnRspOrderInsert", &input, &status, id, true));
    if (session.account)
        notify(*session.account, event("OnErrRtnOrderInsert", &input, &status, 0, true));
}

int Venue::request(Session &session, const CThostFtdcInputOrderField &r, int id) {
    std::lock_guard lock(mutex);
    if (int refused = admit(session, false))
        return refused;
    if (!session.account) {
        // Not logged in: no private flow to report on, only the reply.
        const auto status = info(Error::not_logged_in);
        send(session, event("OnRspOrderInsert", &r, &status, id, true));
        return 0;
    }
    auto order = std::make_unique<Order>();
    long long order_ref = 0;
    const Error error = check_order(session, r, *order, order_ref);
    CThostFtdcInputOrderField input = r;
    if (order_ref > 0 && trim(text(r.OrderRef)).empty())
        put(input.OrderRef, std::to_string(order_ref));
    if (error != Error::none) {
        reject_order(session, input, id, error);
        return 0;
    }
    accept_order(session, input, id, std::move(order));
    return 0;
}

void Venue::update(Order &order, char status, const char *message) {
    CThostFtdcOrderField &o = order.record;
    o.OrderStatus = status;
    put(o.StatusMsg, message);
    put(o.UpdateTime, now_time());
    o.SequenceNo = ++next_sequence;
    ++o.NotifySequence;
    notify(*order.account, event("OnRtnOrder", &o, static_cast<const CThostFtdcRspInfoField *>(nullptr), 0, true));
}

void Venue::accept_order(Session &session, const CThostFtdcInputOrderField &in, int id, std::unique_ptr<Order> owned) {
    Order &order = *owned;
    orders.push_back(std::move(owned));
    Account &account = *order.account;
    Instrument &instrument = *order.instrument;
    account.orders.push_back(&order);
    account.wait(order);
    order.seq = ++next_seq;
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
    put(o.InsertDate, today());
    put(o.InsertTime, now_time());
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
    update(order, 'a', status_text::submitted);

    // The exchange takes it.
    const std::string sys_id = std::to_string(++next_order_sys_id);
    put(o.OrderSysID, sys_id);
    by_sys_id[{instrument.setup.exchange, sys_id}] = &order;
    o.OrderSubmitStatus = '3';
    update(order, '3', status_text::queued);

    const bool immediate = in.TimeCondition == '1';
    const bool whole_or_nothing = in.VolumeCondition == '3';
    if (whole_or_nothing && instrument.book.available(order.buy, order.limit, order.remaining) < order.remaining) {
        finish(order, status_text::fok_unfilled);
        return;
    }
    match(order);
    if (order.remaining == 0)
        return;
    if (immediate)
        finish(order, status_text::ioc_rest);
    else
        instrument.book.add(order);
}

void Venue::match(Order &order) {
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
        fill(order, price, volume, trade_id);
        if (resting)
            fill(*resting, price, volume, trade_id);
    }
}

void Venue::uncross(Instrument &instrument) {
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
        if (buyer)
            fill(*buyer, price, volume, trade_id);
        if (seller)
            fill(*seller, price, volume, trade_id);
    }
}

void Venue::fill(Order &order, Ticks ticks, int volume, const std::string &trade_id) {
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
    update(order, order.remaining ? '1' : '0', order.remaining ? status_text::part_traded : status_text::all_traded);

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
    put(t.TradeDate, today());
    put(t.TradeTime, now_time());
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
    notify(account, event("OnRtnTrade", &t, static_cast<const CThostFtdcRspInfoField *>(nullptr), 0, true));
}

void Venue::finish(Order &order, const char *status_message) {
    order.instrument->book.remove(order);
    order.resting = false;
    order.account->done(order);
    if (order.bucket != Bucket::open)
        order.account->position(*order.instrument, position_direction(order)).frozen(order.bucket) -= order.remaining;
    put(order.record.CancelTime, now_time());
    update(order, '5', status_message);
}

// ---- cancels ----------------------------------------------------------------

void Venue::reject_action(Session &session, const CThostFtdcInputOrderActionField &in, const Order *order, int id,
                          Error error) {
    const auto status = info(error);
    send(session, event("OnRspOrderAction", &in, &status, id, true));
    if (!session.account)
        return;
    CThostFtdcOrderActionField out{};
    put(out.BrokerID, text(in.BrokerID));
    put(out.InvestorID, text(in.InvestorID));
    out.OrderActionRef = in.OrderActionRef;
    out.RequestID = id;
    if (order) {
        put(out.OrderRef, text(order->record.OrderRef));
        out.FrontID = order->record.FrontID;
        out.SessionID = order->record.SessionID;
        put(out.OrderLocalID, text(order->record.OrderLocalID));
    }
    put(out.ExchangeID, text(in.ExchangeID));
    put(out.OrderSysID, text(in.OrderSysID));
    out.ActionFlag = in.ActionFlag;
    out.LimitPrice = in.LimitPrice;
    put(out.ActionDate, today());
    put(out.ActionTime, now_time());
    out.OrderActionStatus = 'c';  // rejected
    put(out.UserID, text(in.UserID));
    put(out.StatusMsg, error_text(error));
    put(out.InstrumentID, text(in.InstrumentID));
    notify(*session.account, event("OnErrRtnOrderAction", &out, &status, 0, true));
}

int Venue::request(Session &session, const CThostFtdcInputOrderActionField &r, int id) {
    std::lock_guard lock(mutex);
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
    finish(*order, status_text::cancelled);
    return 0;
}

// ---- the simulated market ---------------------------------------------------

void Venue::requote(Instrument &instrument) {
    instrument.book.quote_market(instrument.reference, instrument.setup.market_levels, instrument.setup.market_volume,
                                 instrument.lower, instrument.upper, ++next_seq);
    uncross(instrument);
}

int Venue::set_price(std::string_view id, double price) {
    std::lock_guard lock(mutex);
    Instrument *found = instrument(id);
    if (!found)
        return CTPSIM_NO_FRONT;
    Ticks ticks = 0;
    if (!found->ticks(price, ticks) || ticks < found->lower || ticks > found->upper)
        return CTPSIM_BAD_VALUE;
    found->reference = ticks;
    requote(*found);
    return CTPSIM_OK;
}

int Venue::move_price(std::string_view id, int ticks) {
    std::lock_guard lock(mutex);
    Instrument *found = instrument(id);
    if (!found)
        return CTPSIM_NO_FRONT;
    const Ticks moved = found->reference + ticks;
    if (moved < found->lower || moved > found->upper)
        return CTPSIM_BAD_VALUE;
    found->reference = moved;
    requote(*found);
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
