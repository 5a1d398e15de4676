// The exchange behind a simulated front: instruments with their order books
// and simulated market, orders and their matching, and each investor's
// positions and money. It has no lock of its own: the front that owns it
// serialises every call (front.h).
//
// What happens to an investor's orders goes out through the front's private
// flow (PrivateFlow). Every operation makes ahead all that it will send or
// keep (Outbox, Room) before it changes anything, so that running out of
// memory throws out of it with nothing changed.
#pragma once

#include "clock.h"
#include "config.h"
#include "market.h"
#include "messages.h"
#include "records.h"

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace standin {

// Where notices of an investor's orders and trades go (OnRtnOrder,
// OnRtnTrade, OnErrRtn*): every session logged in as the investor.
class PrivateFlow {
public:
    // The sessions a notice to the account reaches (to make room ahead).
    virtual std::size_t listeners(const Account &account) const = 0;
    // Sends a notice to each of them, from events made ahead.
    virtual void notify(Outbox &out, const Account &account, const char *callback, const void *record,
                        std::size_t size, const CThostFtdcRspInfoField *info) noexcept = 0;

protected:
    ~PrivateFlow() = default;
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
    Exchange(const FrontConfig &config, const Clock &clock, PrivateFlow &flow);
    Exchange(const Exchange &) = delete;
    Exchange &operator=(const Exchange &) = delete;

    const std::string &trading_day() const { return trading_day_; }
    const std::vector<std::unique_ptr<Instrument>> &instruments() const { return instruments_; }
    Instrument *instrument(std::string_view id);
    Account *investor(std::string_view broker, std::string_view user);

    // ---- orders (exchange.cpp) -----------------------------------------------
    // Checks what the exchange and the account allow of an order (the
    // instrument, its fields, price band, position, money, self-trade), in the
    // order of the error table, filling `order` as it goes. Changes nothing.
    Error check(Account &account, const CThostFtdcInputOrderField &input, Order &order);
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
    // The order with this OrderSysID on this exchange, or null.
    Order *order(std::string_view exchange, std::string_view sys_id);
    // Cancels a live order. May throw, before it changes anything.
    void cancel(Order &order);

    // ---- the simulated market; CTPSIM_ results ---------------------------------
    int set_price(std::string_view instrument, double price);
    int move_price(std::string_view instrument, int ticks);
    int get_price(std::string_view instrument, double &price);

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
    // The instrument's market now, as the market-data feed sends it.
    CThostFtdcDepthMarketDataField depth(const Instrument &instrument) const;

private:
    struct Room;  // what trades will need, gathered before they happen

    template <class Record>
    void notify(Outbox &out, const Account &account, const char *callback, const Record &record) noexcept {
        flow.notify(out, account, callback, &record, sizeof record, nullptr);
    }
    void match(Order &order, Outbox &out) noexcept;
    // Brings the book back to uncrossed after the market moved.
    void plan_uncross(Book &book, Room &room);
    void uncross(Instrument &instrument, Outbox &out) noexcept;
    // Quotes the market afresh and trades what it crosses; all or nothing.
    void requote(Instrument &instrument, Ticks reference);
    void fill(Order &order, Ticks price, int volume, const std::string &trade_id, Outbox &out) noexcept;
    void finish(Order &order, const char *status_message, Outbox &out) noexcept;
    void update(Order &order, char status, const char *message, Outbox &out) noexcept;

    // date '1': today's part (or all of it where positions are not kept by
    // date), '2': yesterday's part.
    CThostFtdcInvestorPositionField position_record(const Position &position, char date) const;
    CThostFtdcTradingAccountField account_record(const Account &account) const;

    const Clock &clock;
    PrivateFlow &flow;
    const std::string trading_day_;
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

}  // namespace standin
