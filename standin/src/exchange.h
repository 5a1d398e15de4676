// The exchange behind a simulated front: instruments with their order books
// and simulated market, orders and their matching, and each investor's
// positions and money. It has no lock of its own: the front that owns it
// serialises every call (front.h).
//
// What happens to an investor's orders goes out through the front's private
// flow, the instruments' statuses through its public flow (Flow). Every
// operation makes ahead all that it will send or keep (Outbox, Room) before
// it changes anything, so that running out of memory throws out of it with
// nothing changed.
#pragma once

#include "calendar.h"
#include "clock.h"
#include "config.h"
#include "market.h"
#include "messages.h"
#include "records.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace standin {

// Where the exchange's notices go: an investor's private flow (OnRtnOrder,
// OnRtnTrade, OnErrRtn*) reaches every session logged in as the investor,
// the public flow (OnRtnInstrumentStatus) every logged-in session; the
// front keeps both for the sessions that replay them.
class Flow {
public:
    // The events a notice to the account takes (to make room ahead).
    virtual std::size_t listeners(const Account &account) const = 0;
    // Sends a notice to each of them, from events made ahead.
    virtual void notify(Outbox &out, Account &account, const char *callback, const void *record, std::size_t size,
                        const CThostFtdcRspInfoField *info) noexcept = 0;
    // The same for the public flow.
    virtual std::size_t audience() const = 0;
    virtual void broadcast(Outbox &out, const char *callback, const void *record, std::size_t size) noexcept = 0;
    // A trading day has ended: the front drops every trading session and
    // takes it back, as a real one restarting for the new day. Events it
    // sends: `restarts()`.
    virtual std::size_t restarts() const = 0;
    virtual void restart(Outbox &out) noexcept = 0;
    // Whether this trade's RtnTrade goes before the RtnOrder that reports it
    // (the front's behaviour, drawn).
    virtual bool trade_first() noexcept = 0;

protected:
    ~Flow() = default;
};

// Where an order comes from: it carries these ids.
struct Origin {
    int front_id;
    int session_id;
};

// Orders by (ExchangeID, OrderSysID).
using SysIds = std::map<std::pair<std::string, std::string>, Order *>;

class Exchange {
public:
    Exchange(const FrontConfig &config, const Clock &clock, Flow &flow);
    Exchange(const Exchange &) = delete;
    Exchange &operator=(const Exchange &) = delete;

    const std::string &trading_day() const { return trading_day_; }
    // The trading day before it, whose settlement the investors confirm.
    const std::string &previous_day() const { return previous_day_; }
    const std::vector<std::unique_ptr<Instrument>> &instruments() const { return instruments_; }
    Instrument *instrument(std::string_view id);
    Account *investor(std::string_view broker, std::string_view user);

    // ---- orders (exchange.cpp) -----------------------------------------------
    // Checks what the exchange and the account allow of an order (the
    // instrument, its fields, price band, position, money, self-trade), in the
    // order of the error table, filling `order` as it goes; with
    // `exchange_last`, the exchange's own checks (continuous trading,
    // self-trade) come after all the others. Changes nothing.
    Error check(Account &account, const CThostFtdcInputOrderField &input, Order &order, bool exchange_last = false);
    // An order that passed its checks with all that accepting it needs.
    struct Ready {
        std::unique_ptr<Order> order;
        std::string sys_id;
        SysIds::node_type sys_node;
        Book::Node book_node;  // empty when the order will not rest
    };
    // Makes ahead all that accept needs. May throw; changes nothing.
    void prepare(const CThostFtdcInputOrderField &input, Ready &ready, Outbox &out);
    // Takes the order: it trades what it crosses, then rests or ends.
    void accept(Origin origin, const CThostFtdcInputOrderField &input, int id, Ready &ready, Outbox &out) noexcept;
    // The exchange refuses an order that passed the front's checks (its own
    // checks failed: `error`): taken by the front, then insert rejected and
    // cancelled, the reason in StatusMsg. prepare_refusal makes room ahead
    // (may throw); refuse cannot fail.
    void prepare_refusal(Ready &ready, Outbox &out);
    void refuse(Origin origin, const CThostFtdcInputOrderField &input, int id, Ready &ready, Error error,
                Outbox &out) noexcept;
    // The exchange refuses a cancel of the order: an RtnOrder with its status
    // as it was, cancel rejected, the reason in StatusMsg. May throw, before
    // it changes anything.
    void refuse_cancel(Order &order, Error error);
    // The order with this OrderSysID on this exchange, or null.
    Order *order(std::string_view exchange, std::string_view sys_id);
    // Cancels a live order. May throw, before it changes anything.
    void cancel(Order &order);

    // ---- the simulated market; CTPSIM_ results ---------------------------------
    int set_price(std::string_view instrument, double price);
    int move_price(std::string_view instrument, int ticks);
    int get_price(std::string_view instrument, double &price);

    // ---- the trading day (day.cpp) ------------------------------------------------
    // Brings the instruments' statuses and the trading day up to the clock,
    // in time order: each status change goes out on the public flow (an
    // instrument entering continuous trading trades what its book crosses);
    // once the trading day's end has passed, the day is settled. Each step is
    // all or nothing: out of memory it throws, the steps before it done.
    void catch_up();
    // When catch_up next has something to do (a civil time), if ever.
    std::optional<Millis> next_due() const;
    // Ends the trading day now: waiting orders are cancelled, the day is
    // settled, and the next weekday begins. All or nothing.
    void settle();
    // Sets an instrument's status by hand (EnterReason manual) until its next
    // status change in the calendar; CTPSIM_ results.
    int set_status(std::string_view instrument, char status);
    // The instrument's status as RtnInstrumentStatus reports it.
    CThostFtdcInstrumentStatusField status_record(const Instrument &instrument) const;

    // ---- records (reports.cpp) --------------------------------------------------
    // What a query of the account finds, one record each, into `found`.
    void collect(const Account &account, const CThostFtdcQryInstrumentField &query,
                 std::vector<CThostFtdcInstrumentField> &found) const;
    void collect(const Account &account, const CThostFtdcQryTradingAccountField &query,
                 std::vector<CThostFtdcTradingAccountField> &found) const;
    void collect(const Account &account, const CThostFtdcQryInvestorPositionField &query,
                 std::vector<CThostFtdcInvestorPositionField> &found) const;
    void collect(const Account &account, const CThostFtdcQryOrderField &query,
                 std::vector<CThostFtdcOrderField> &found) const;
    void collect(const Account &account, const CThostFtdcQryTradeField &query,
                 std::vector<CThostFtdcTradeField> &found) const;
    void collect(const Account &account, const CThostFtdcQryInstrumentMarginRateField &query,
                 std::vector<CThostFtdcInstrumentMarginRateField> &found) const;
    void collect(const Account &account, const CThostFtdcQryInstrumentCommissionRateField &query,
                 std::vector<CThostFtdcInstrumentCommissionRateField> &found) const;
    void collect(const Account &account, const CThostFtdcQryInvestorPositionDetailField &query,
                 std::vector<CThostFtdcInvestorPositionDetailField> &found) const;
    void collect(const Account &account, const CThostFtdcQrySettlementInfoField &query,
                 std::vector<CThostFtdcSettlementInfoField> &found) const;
    void collect(const Account &account, const CThostFtdcQrySettlementInfoConfirmField &query,
                 std::vector<CThostFtdcSettlementInfoConfirmField> &found) const;
    void collect(const Account &account, const CThostFtdcQryDepthMarketDataField &query,
                 std::vector<CThostFtdcDepthMarketDataField> &found) const;
    void collect(const Account &account, const CThostFtdcQryExchangeField &query,
                 std::vector<CThostFtdcExchangeField> &found) const;
    // The investor's settlement statement of a trading day ("": the last
    // settled), GB18030 text; null when there is none.
    const std::string *statement(const Account &account, std::string_view day) const;
    // The investor's confirmation of the settlement (as confirmed today).
    CThostFtdcSettlementInfoConfirmField confirmation(const Account &account) const;
    // The instrument's market now, as the market-data feed sends it.
    CThostFtdcDepthMarketDataField depth(const Instrument &instrument) const;

private:
    struct Room;  // what trades will need, gathered before they happen

    template <class Record>
    void notify(Outbox &out, Account &account, const char *callback, const Record &record) noexcept {
        flow.notify(out, account, callback, &record, sizeof record, nullptr);
    }
    // Fills the record of an order the front takes; changes nothing else.
    void describe(Origin origin, const CThostFtdcInputOrderField &input, int id, Order &order) noexcept;
    void match(Order &order, Outbox &out) noexcept;
    // Brings the book back to uncrossed after the market moved.
    void plan_uncross(Book &book, Room &room);
    void uncross(Instrument &instrument, Outbox &out) noexcept;
    // Quotes the market afresh and trades what it crosses; all or nothing.
    void requote(Instrument &instrument, Ticks reference);
    void fill(Order &order, Ticks price, int volume, const std::string &trade_id, Outbox &out) noexcept;
    void finish(Order &order, const char *status_message, Outbox &out) noexcept;
    void update(Order &order, char status, const char *message, Outbox &out) noexcept;

    // The calendar's status changes of a trading day, in time order.
    struct Change {
        Millis at;
        Instrument *instrument;
        char status;
    };
    std::vector<Change> changes_of(std::int64_t day);
    // Makes one status change (and the trades of an opening market), all or nothing.
    void change(Instrument &instrument, char status, char reason, const char *enter_time);
    // The statuses as of the time now (after the clock went back), quietly
    // while the front is being made.
    void resync(Millis now, bool quiet);
    // Settles the trading day and starts `next` (days since 1970), all or nothing.
    void settle(std::int64_t next);
    // The settlement statement of the trading day now ending (settlement.cpp).
    std::string statement_text(const Account &account, std::string_view day, bool with_trades) const;

    // date '1': today's part (or all of it where positions are not kept by
    // date), '2': yesterday's part.
    CThostFtdcInvestorPositionField position_record(const Position &position, char date) const;
    CThostFtdcTradingAccountField account_record(const Account &account) const;

    const Clock &clock;
    Flow &flow;
    const bool calendar;  // the exchange calendar; else always continuous
    std::int64_t day;     // the trading day, in days since 1970
    std::string trading_day_;
    std::string previous_day_;
    std::vector<Change> changes;  // the trading day's status changes, in time order
    std::size_t next_change = 0;  // the first not yet made
    Millis caught_up = 0;         // the clock's time at the last catch_up
    std::vector<std::unique_ptr<Instrument>> instruments_;
    std::vector<std::unique_ptr<Account>> accounts;
    std::vector<std::unique_ptr<Order>> orders;
    SysIds by_sys_id;
    long long next_order_sys_id = 0;
    long long next_trade_id = 0;
    long long next_local_id = 0;
    int next_sequence = 0;
    Seq next_seq = 0;
};

// What the trades and updates of one step need: room for the events, for
// the trades each account keeps and for the lots each position gains.
struct Exchange::Room {
    std::size_t events = 0;
    std::map<Account *, std::size_t> trades;
    std::map<Position *, std::size_t> lots;

    // An OnRtnOrder to the order's investor.
    void update(const Flow &flow, const Account &account) { events += flow.listeners(account); }
    // A trade of the order: its OnRtnOrder and OnRtnTrade, its trade, its detail.
    void fill(const Flow &flow, Order &order) {
        Account &account = *order.account;
        events += 2 * flow.listeners(account);
        ++trades[&account];
        // Making the position here adds at most an empty one, which no
        // query shows and no figure counts.
        if (order.bucket == Bucket::open)
            ++lots[&account.position(*order.instrument, order.position_side())];
    }
    void make(Outbox &out) {
        for (auto [account, count] : trades)
            room_for(account->trades, count);
        for (auto [position, count] : lots)
            position->make_room(count);
        out.reserve(events, std::max(sizeof(CThostFtdcOrderField), sizeof(CThostFtdcTradeField)));
    }
};

}  // namespace standin
