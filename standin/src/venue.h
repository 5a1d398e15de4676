// One simulated front (sim://NAME): the sessions connected to it and the
// trading state they share. Every request and control call runs under the
// venue's mutex; callbacks are posted to each session's API thread 0 in that
// same order, and none runs under the mutex.
//
// Each request is all or nothing: whatever it allocates (events included,
// see Outbox) is allocated before it changes any state, so that running out
// of memory throws out of it with nothing changed (Req* returns -1).
#pragma once

#include "config.h"
#include "market.h"
#include "messages.h"
#include "records.h"

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

class TraderApi;
struct Event;

// What the front knows about one API object's connection. Guarded by the
// venue's mutex.
struct Session {
    explicit Session(TraderApi &owner) : api(owner) {}
    TraderApi &api;
    bool connected = false;
    bool authenticated = false;
    std::string auth_broker;
    std::string auth_user;
    Account *account = nullptr;  // set while logged in
    int session_id = 0;
    long long max_order_ref = 0;
    bool queried = false;
    std::chrono::steady_clock::time_point last_query{};
};

class Venue {
public:
    explicit Venue(const FrontConfig &config);
    Venue(const Venue &) = delete;
    Venue &operator=(const Venue &) = delete;

    // Connection events; results are CTPSIM_ codes.
    void connect(Session &session);
    int disconnect(Session &session, int reason);
    int reconnect(Session &session);
    // The API object is going away: no callback reaches it from now on. Its
    // orders stay on the book, as at a real exchange.
    void leave(Session &session);

    // Requests; results as Req* returns them (0, -1, -2, -3).
    int request(Session &session, const CThostFtdcReqAuthenticateField &record, int id);
    int request(Session &session, const CThostFtdcReqUserLoginField &record, int id);
    int request(Session &session, const CThostFtdcUserLogoutField &record, int id);
    int request(Session &session, const CThostFtdcSettlementInfoConfirmField &record, int id);
    int request(Session &session, const CThostFtdcQryInstrumentField &record, int id);
    int request(Session &session, const CThostFtdcQryTradingAccountField &record, int id);
    int request(Session &session, const CThostFtdcQryInvestorPositionField &record, int id);
    int request(Session &session, const CThostFtdcQryOrderField &record, int id);
    int request(Session &session, const CThostFtdcQryTradeField &record, int id);
    int request(Session &session, const CThostFtdcInputOrderField &record, int id);
    int request(Session &session, const CThostFtdcInputOrderActionField &record, int id);

    // The simulated market; CTPSIM_ codes.
    int set_price(std::string_view instrument, double price);
    int move_price(std::string_view instrument, int ticks);
    int get_price(std::string_view instrument, double &price);

private:
    // -1, -2 or -3 when the request cannot be sent, else 0. Changes nothing:
    // a query that is answered counts for the limit through count_query.
    int admit(Session &session, bool query);
    void count_query(Session &session) noexcept;

    template <class Record>
    void send(Outbox &out, Session &session, const char *callback, const Record *record,
              const CThostFtdcRspInfoField *info, int id, bool last) noexcept {
        out.send(session.api, callback, record, info, id, last);
    }
    // To every logged-in session of the account (the investor's private flow).
    template <class Record>
    void notify(Outbox &out, const Account &account, const char *callback, const Record *record,
                const CThostFtdcRspInfoField *info) noexcept {
        for (Session *session : sessions)
            if (session->account == &account)
                out.send(session->api, callback, record, info, 0, true);
    }
    // The sessions that notify reaches.
    std::size_t listeners(const Account &account) const;

    Instrument *instrument(std::string_view id);
    Account *investor(std::string_view broker, std::string_view user);

    // A query: admitted under the query limit, refused before login, then
    // answered with the records that collect(account, found) gathers, one
    // reply per record, the last flagged; a null record when there is none.
    template <class Record, class Collect>
    int query(Session &session, const char *callback, int id, Collect collect);

    struct Room;      // what trades will need, gathered before they happen
    struct Accepted;  // what accepting an order needs, made ahead

    // Checks an order; order_ref > 0 when its OrderRef passed its check
    // (and is used up, whatever comes of the order). Changes nothing.
    Error check_order(Session &session, const CThostFtdcInputOrderField &input, Order &order, long long &order_ref);
    void use_order_ref(Session &session, long long order_ref) noexcept;
    void reject_order(Outbox &out, Session &session, const CThostFtdcInputOrderField &input, int id,
                      Error error) noexcept;
    void reject_action(Session &session, const CThostFtdcInputOrderActionField &input, const Order *order, int id,
                       Error error);
    // Makes ahead all that accept_order needs. May throw.
    void prepare_order(const CThostFtdcInputOrderField &input, Order &order, Accepted &ahead, Outbox &out);
    void accept_order(Session &session, const CThostFtdcInputOrderField &input, int id, Accepted &ahead,
                      Outbox &out) noexcept;
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

    std::mutex mutex;
    const int front_id;
    const std::string trading_day;
    std::vector<std::unique_ptr<Instrument>> instruments;
    std::vector<std::unique_ptr<Account>> accounts;
    std::vector<std::unique_ptr<Order>> orders;
    std::map<std::pair<std::string, std::string>, Order *> by_sys_id;  // (ExchangeID, OrderSysID)
    std::vector<Session *> sessions;  // connected ones
    int next_session_id = 0;
    long long next_order_sys_id = 0;
    long long next_trade_id = 0;
    long long next_local_id = 0;
    int next_sequence = 0;
    Seq next_seq = 0;
};

// Limits that apply to every simulated front, set through the control
// interface (CTPSIM_ defaults restored by ctpsim_reset).
namespace limits {
inline constexpr int default_query_interval_ms = 1000;
inline constexpr int default_max_pending = 10000;
int query_interval_ms();
int max_pending();
void set_query_interval_ms(int ms);
void set_max_pending(int count);
}  // namespace limits

}  // namespace standin
