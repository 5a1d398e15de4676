// The exchange's trading day: the instruments' statuses through the day as
// the calendar and the clock say, and the settlement that ends the day.
#include "exchange.h"

#include "ctpsim.h"

#include <algorithm>

namespace standin {

std::vector<Exchange::Change> Exchange::changes_of(std::int64_t of) {
    std::vector<Change> out;
    for (const auto &instrument : instruments_)
        for (const Transition &transition : transitions(instrument->setup.sessions, of))
            out.push_back({transition.at, instrument.get(), transition.status});
    // In time order; at one time, in the order of the instruments.
    std::stable_sort(out.begin(), out.end(), [](const Change &a, const Change &b) { return a.at < b.at; });
    return out;
}

CThostFtdcInstrumentStatusField Exchange::status_record(const Instrument &instrument) const {
    CThostFtdcInstrumentStatusField out{};
    put(out.ExchangeID, instrument.setup.exchange);
    put(out.reserve1, instrument.setup.id);
    put(out.reserve2, instrument.setup.id);
    out.InstrumentStatus = instrument.status;
    out.TradingSegmentSN = instrument.segment;
    put(out.EnterTime, text(instrument.enter_time));
    out.EnterReason = instrument.enter_reason;
    put(out.ExchangeInstID, instrument.setup.id);
    put(out.InstrumentID, instrument.setup.id);
    return out;
}

void Exchange::change(Instrument &instrument, char to, char reason, const char *enter_time) {
    if (instrument.status == to && instrument.enter_reason == reason)
        return;
    // A market that opens trades what its book crosses, as it would have
    // when the prices moved (set_price during a break quotes without trading).
    const bool opens = to == status::continuous && instrument.status != status::continuous;
    Room room;
    if (opens)
        plan_uncross(instrument.book, room);
    Outbox out;
    room.make(out);
    out.reserve(flow.audience(), sizeof(CThostFtdcInstrumentStatusField));
    instrument.segment = to == status::before_trading ? 1 : instrument.segment + 1;
    instrument.status = to;
    instrument.enter_reason = reason;
    put(instrument.enter_time, enter_time);
    const CThostFtdcInstrumentStatusField record = status_record(instrument);
    flow.broadcast(out, "OnRtnInstrumentStatus", &record, sizeof record);
    if (opens)
        uncross(instrument, out);
}

void Exchange::resync(Millis now, bool quiet) {
    next_change = 0;
    while (next_change < changes.size() && changes[next_change].at <= now)
        ++next_change;
    for (const auto &instrument : instruments_) {
        // Its last change by now, and how many it made; before the day
        // began, it waits for it.
        const Change *last = nullptr;
        int count = 0;
        for (std::size_t i = 0; i < next_change; ++i)
            if (changes[i].instrument == instrument.get()) {
                last = &changes[i];
                ++count;
            }
        const char to = last ? last->status : status::before_trading;
        const Stamp since = standin::stamp(last ? last->at : now);
        if (quiet) {
            instrument->status = to;
            instrument->enter_reason = enter_reason::automatic;
            put(instrument->enter_time, since.time);
        } else {
            change(*instrument, to, enter_reason::automatic, since.time);
        }
        instrument->segment = std::max(count, 1);
    }
}

void Exchange::catch_up() {
    if (!calendar)
        return;
    const Millis now = clock.now();
    if (now < caught_up)
        resync(now, false);  // the clock went back: no day is undone, the statuses follow it
    caught_up = now;
    for (;;) {
        if (next_change < changes.size() && changes[next_change].at <= now) {
            const Change &due = changes[next_change];
            change(*due.instrument, due.status, enter_reason::automatic, standin::stamp(due.at).time);
            ++next_change;
            continue;
        }
        if (now >= day_ends(day)) {
            // A clock that jumped over several days settles once, into the
            // day it shows; that day's changes up to now follow.
            settle(std::max(trading_day_at(now), next_weekday(day)));
            continue;
        }
        break;
    }
}

std::optional<Millis> Exchange::next_due() const {
    if (!calendar)
        return std::nullopt;
    const Millis end = day_ends(day);
    return next_change < changes.size() ? std::min(changes[next_change].at, end) : end;
}

void Exchange::settle() { settle(next_weekday(day)); }

void Exchange::settle(std::int64_t next) {
    // Made ahead: the cancels' events and the sessions' restarts, the
    // statements, room to carry today's details over, the next day's quotes
    // and status changes. From the first change on, nothing allocates.
    Outbox out;
    std::size_t events = flow.restarts();
    for (const auto &account : accounts)
        events += account->waiting.size() * flow.listeners(*account);
    out.reserve(events, sizeof(CThostFtdcOrderField));
    std::vector<std::string> texts;
    std::vector<Cents> balances;
    balances.reserve(accounts.size());
    for (const auto &account : accounts) {
        texts.push_back(statement_text(*account, trading_day_, true));
        room_for(account->statements, 1);
        for (auto &[key, position] : account->positions)
            position.make_room_to_carry();
    }
    // The settlement prices are the marks; the market quotes on around its
    // reference price, kept inside the new price band.
    std::vector<Book::Quotes> quotes;
    std::vector<Ticks> references;
    for (const auto &instrument : instruments_) {
        Ticks lower = 0, upper = 0;
        instrument->band(instrument->mark_ticks(), lower, upper);
        references.push_back(std::clamp(instrument->reference, lower, upper));
        quotes.push_back(Book::market_quotes(references.back(), instrument->setup.market_levels,
                                             instrument->setup.market_volume, lower, upper, next_seq + 1));
    }
    std::vector<Change> next_changes = calendar ? changes_of(next) : std::vector<Change>();
    const std::string next_day = date_text(next);

    // The day's waiting orders end with it.
    for (const auto &account : accounts)
        while (!account->waiting.empty())
            finish(*account->waiting.front(), status_text::day_ended, out);
    // The day's balances at the settlement prices, the marks now.
    for (const auto &account : accounts)
        balances.push_back(account->balance());  // within the room made
    for (std::size_t i = 0; i < instruments_.size(); ++i) {
        Instrument &instrument = *instruments_[i];
        instrument.settle(references[i]);
        instrument.book.install(std::move(quotes[i]));
    }
    for (std::size_t i = 0; i < accounts.size(); ++i) {
        Account &account = *accounts[i];
        account.statements.emplace_back(trading_day_, std::move(texts[i]));
        account.pre_balance = balances[i];
        account.deposit = account.withdraw = account.commission = 0;
        account.confirmed = false;
        // What is still open is yesterday's from now on; closed lots go.
        for (auto &[key, position] : account.positions)
            position.carry_over();
        std::erase_if(account.positions, [](const auto &item) { return item.second.empty(); });
        account.orders.clear();
        account.trades.clear();
        account.flow.clear();  // each trading day's flow numbers from 1
    }
    orders.clear();
    by_sys_id.clear();
    next_seq += 1;
    previous_day_ = trading_day_;
    trading_day_ = next_day;
    day = next;
    changes.swap(next_changes);
    next_change = 0;
    if (!calendar) {
        // Continuous trading again, whatever was set by hand.
        const Stamp now = clock.stamp();
        for (const auto &instrument : instruments_) {
            instrument->status = status::continuous;
            instrument->enter_reason = enter_reason::automatic;
            instrument->segment = 1;
            put(instrument->enter_time, now.time);
        }
    }
    flow.restart(out);
}

int Exchange::set_status(std::string_view id, char to) {
    Instrument *found = instrument(id);
    if (!found)
        return CTPSIM_NO_FRONT;
    if (to < status::before_trading || to > status::closed)
        return CTPSIM_BAD_VALUE;
    change(*found, to, enter_reason::manual, clock.stamp().time);
    return CTPSIM_OK;
}

}  // namespace standin
