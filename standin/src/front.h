// One simulated front (sim://NAME): the sessions connected to it, what it
// admits, the session protocol (authentication, login, settlement
// confirmation), queries and orders passed to its exchange, and its
// market-data feed. Every request and control call runs under the front's
// lock; callbacks are posted to each session's thread 0 in that same order,
// and none runs under the lock.
//
// Each request is all or nothing: whatever it allocates (events included,
// see Outbox) is allocated before it changes any state, so that running out
// of memory throws out of it with nothing changed (Req* returns -1).
#pragma once

#include "clock.h"
#include "config.h"
#include "exchange.h"
#include "feed.h"
#include "interface.h"
#include "messages.h"
#include "records.h"
#include "session.h"

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

class Front final : private Flow {
public:
    explicit Front(const FrontConfig &config);
    Front(const Front &) = delete;
    Front &operator=(const Front &) = delete;

    // Connection events of a TraderSession or an MdSession; CTPSIM_ results.
    template <class Connected>
    void connect(Connected &session);
    template <class Connected>
    int disconnect(Connected &session, int reason);
    template <class Connected>
    int reconnect(Connected &session);
    // The API object is going away: no callback reaches it from now on. Its
    // orders stay on the book, as at a real exchange.
    template <class Connected>
    void leave(Connected &session);
    // The front warns the session that its heartbeat is late (OnHeartBeatWarning).
    template <class Connected>
    int heartbeat_warning(Connected &session, int time_lapse);

    // Trader requests; results as Req* returns them (0, -1, -2, -3).
    int request(TraderSession &session, const CThostFtdcReqAuthenticateField &record, int id);
    int request(TraderSession &session, const CThostFtdcReqUserLoginField &record, int id);
    int request(TraderSession &session, const CThostFtdcUserLogoutField &record, int id);
    int request(TraderSession &session, const CThostFtdcSettlementInfoConfirmField &record, int id);
    int request(TraderSession &session, const CThostFtdcInputOrderField &record, int id);
    int request(TraderSession &session, const CThostFtdcInputOrderActionField &record, int id);
    int request(TraderSession &session, const CThostFtdcQryInstrumentField &record, int id);
    int request(TraderSession &session, const CThostFtdcQryTradingAccountField &record, int id);
    int request(TraderSession &session, const CThostFtdcQryInvestorPositionField &record, int id);
    int request(TraderSession &session, const CThostFtdcQryOrderField &record, int id);
    int request(TraderSession &session, const CThostFtdcQryTradeField &record, int id);
    int request(TraderSession &session, const CThostFtdcUserPasswordUpdateField &record, int id);
    int request(TraderSession &session, const CThostFtdcQryInstrumentMarginRateField &record, int id);
    int request(TraderSession &session, const CThostFtdcQryInstrumentCommissionRateField &record, int id);
    int request(TraderSession &session, const CThostFtdcQryInvestorPositionDetailField &record, int id);
    int request(TraderSession &session, const CThostFtdcQrySettlementInfoField &record, int id);
    int request(TraderSession &session, const CThostFtdcQrySettlementInfoConfirmField &record, int id);
    int request(TraderSession &session, const CThostFtdcQryDepthMarketDataField &record, int id);
    int request(TraderSession &session, const CThostFtdcQryExchangeField &record, int id);
    // Any other trader request: a query finds nothing (one reply with a null
    // record, last), any other request is refused (Error::unsupported).
    template <class Record>
    int request(TraderSession &session, const Record &record, int id);

    // Market-data requests, with Req*'s results.
    int request(MdSession &session, const CThostFtdcReqUserLoginField &record, int id);
    int request(MdSession &session, const CThostFtdcUserLogoutField &record, int id);
    int subscribe(MdSession &session, const std::vector<std::string> &ids, bool subscribe);

    // The simulated market; CTPSIM_ results.
    int set_price(std::string_view instrument, double price);
    int move_price(std::string_view instrument, int ticks);
    int get_price(std::string_view instrument, double &price);

    // The clock and the trading day; CTPSIM_ results. A change of the clock
    // makes at once every status change and day end it passes.
    int set_clock(std::optional<Millis> civil);  // nothing: the machine's time
    int advance_clock(Millis by);
    int freeze_clock(bool frozen);
    Millis clock_now();
    int settle();
    int set_status(std::string_view instrument, char status);
    // A trading notice (GB18030 text) to every logged-in session of the
    // broker ("": of every broker) and investor ("": of every investor).
    int trading_notice(std::string_view broker, std::string_view investor, std::string_view text);
    // Whether its calendar changes anything by the clock (a trading calendar).
    bool keeps_time() const { return exchange.next_due().has_value(); }
    // Makes what the clock has made due; returns how long until the next,
    // in the machine's time (nothing: never, or only when a control moves
    // the clock).
    std::optional<std::chrono::milliseconds> tick();

private:
    // The private flow: notices to every session logged in as the investor.
    std::size_t listeners(const Account &account) const override;
    void notify(Outbox &out, const Account &account, const char *callback, const void *record, std::size_t size,
                const CThostFtdcRspInfoField *info) noexcept override;
    // The public flow: notices to every logged-in trading session.
    std::size_t audience() const override;
    void broadcast(Outbox &out, const char *callback, const void *record, std::size_t size) noexcept override;
    // A new trading day: every trading session is dropped and taken back.
    std::size_t restarts() const override { return 2 * traders.size(); }
    void restart(Outbox &out) noexcept override;
    // Brings the exchange up to the clock (under the lock, first thing in
    // every request and control). False when memory ran out meanwhile: the
    // rest waits for the next call.
    bool keep_time() noexcept;

    // Sends the feed's snapshots of what changed when it goes out of scope
    // (declared after the lock of a call that may change the market).
    class Publish {
    public:
        explicit Publish(Front &front) noexcept : front(front) {}
        ~Publish() { front.feed.publish(front.watchers); }
        Publish(const Publish &) = delete;
        Publish &operator=(const Publish &) = delete;

    private:
        Front &front;
    };

    // The connected sessions of a kind.
    std::vector<TraderSession *> &connected(const TraderSession &) { return traders; }
    std::vector<MdSession *> &connected(const MdSession &) { return watchers; }

    // -1 or -2 when a request cannot be sent now, else 0.
    int admit(const Session &session) const;
    // The same, and -3 for a query that comes too soon after the last. Changes
    // nothing: a query that is answered counts through count_query.
    int admit_query(const TraderSession &session) const;
    void count_query(TraderSession &session) noexcept;

    // A query: admitted under the query limit, refused before login, then
    // answered with the records the exchange finds, one reply per record, the
    // last flagged; a null record when there is none.
    template <class Query>
    int query(TraderSession &session, const Query &filter, int id);

    // ReqUserLogout of either kind: the reply carries the record as sent;
    // logged out, a trader session starts again at authentication, a
    // market-data session's subscriptions end.
    template <class Connected>
    int log_out(Connected &session, const CThostFtdcUserLogoutField &record, int id);
    CThostFtdcRspUserLoginField login_record(std::string_view broker, std::string_view user, int session_id,
                                             long long max_order_ref) const;
    // Checks what the front itself asks of an order: the session's investor,
    // the settlement confirmed, the OrderRef (order_ref > 0 once it passed:
    // used up, whatever comes of the order). Changes nothing.
    Error check_order(const TraderSession &session, const CThostFtdcInputOrderField &input, long long &order_ref);
    void use_order_ref(TraderSession &session, long long order_ref) noexcept;
    void reject_order(Outbox &out, TraderSession &session, const CThostFtdcInputOrderField &input, int id,
                      Error error) noexcept;
    void reject_action(TraderSession &session, const CThostFtdcInputOrderActionField &input, const Order *order,
                       int id, Error error);

    std::mutex mutex;
    const int front_id;
    Clock clock;
    Exchange exchange;
    Feed feed;
    std::vector<TraderSession *> traders;  // connected trader sessions
    std::vector<MdSession *> watchers;     // connected market-data sessions
    int next_session_id = 0;
    int next_notice = 0;
};

template <class Record>
int Front::request(TraderSession &session, const Record &, int id) {
    using Answer = interface::trader::Answer<Record>;
    std::lock_guard lock(mutex);
    if (int refused = Answer::query ? admit_query(session) : admit(session))
        return refused;
    Outbox out;
    out.reserve(1, sizeof(typename Answer::Record));
    Error error = Error::none;
    if (!session.account)
        error = Error::not_logged_in;
    else if (!Answer::query)
        error = Error::unsupported;
    else
        count_query(session);
    const auto status = info(error);
    out.send<typename Answer::Record>(session.endpoint, Answer::callback, nullptr, &status, id, true);
    return 0;
}

// Limits that apply to every simulated front, set through the control
// interface (defaults restored by ctpsim_reset).
namespace limits {
inline constexpr int default_query_interval_ms = 1000;
inline constexpr int default_max_pending = 10000;
int query_interval_ms();
int max_pending();
void set_query_interval_ms(int ms);
void set_max_pending(int count);
}  // namespace limits

}  // namespace standin
