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
//
// One front object is a venue: its doors (sim://NAME, sim://NAME/2, ...) are
// fronts of one exchange, each with its FrontID, sharing the instruments,
// books, accounts and flows. Its behaviour (unruly.h) may be less orderly:
// what it sends later (replies in batches, the library's reconnect attempts)
// waits on its timers, which the schedule thread runs (tick).
#pragma once

#include "clock.h"
#include "config.h"
#include "exchange.h"
#include "feed.h"
#include "interface.h"
#include "messages.h"
#include "records.h"
#include "replay.h"
#include "session.h"
#include "unruly.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <limits>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

class Front final : private Flow, public std::enable_shared_from_this<Front> {
public:
    // The venue NAME of sim://NAME.
    Front(const FrontConfig &config, std::string name);
    Front(const Front &) = delete;
    Front &operator=(const Front &) = delete;

    // Connection events of a TraderSession or an MdSession; CTPSIM_ results.
    // Init: the first door of the session's ring that is up; none, and the
    // library keeps trying (in silence: it was never connected).
    template <class Connected>
    void connect(Connected &session);
    // ctpsim_disconnect: down until ctpsim_reconnect, which takes the session
    // back through the first door up from the one it was at.
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
    // Makes what the clock has made due and runs the timers due; returns how
    // long until the next, in the machine's time (nothing: never, or only
    // when a control moves the clock).
    std::optional<std::chrono::milliseconds> tick();

    // Its behaviour: one `key = value` of a configuration file's front keys
    // (unruly.h); CTPSIM_ results. Doors going down drop their sessions.
    int behave(std::string_view key, std::string_view value);
    // The unruly things it did since its seed was last set, in order.
    std::vector<std::string> choices();

    // ---- replay (replay.cpp) ------------------------------------------------------
    // The front plays a tape as its market from now on: its feed sends the
    // recorded ticks only, its clock stands at the time of the last tick the
    // consumer took.
    void replay_begin(const ReplaySetup &setup);
    // The player waits until it may post: a market-data session has
    // subscribed and fewer than the window's ticks wait untaken. Returns how
    // many ticks it may post now.
    std::size_t replay_room();
    // Posts recorded ticks, each to the market-data sessions subscribed to
    // its instrument (a tick counts once, whatever the number of sessions);
    // a tick that no session watches moves the market when the ticks
    // before it have.
    void replay_post(const std::vector<CThostFtdcDepthMarketDataField> &ticks);
    // The tape has ended: once the consumer has taken every tick posted,
    // the market-data sessions are dropped with reason replay_ended.
    void replay_finish();
    // The consumer has taken `count` ticks in all: the market, the clock and
    // the orders resting on the book move through each of them, in order.
    // CTPSIM_BAD_VALUE when the front does not replay or `count` is more
    // than was posted.
    int replay_take(long long count);
    // Ticks posted and taken so far, and whether the replay has ended.
    int replay_state(long long &posted, long long &taken, bool &ended);

private:
    // The private flow: notices to every session logged in as the investor,
    // kept for replays (listeners counts the copy kept too).
    std::size_t listeners(const Account &account) const override;
    void notify(Outbox &out, Account &account, const char *callback, const void *record, std::size_t size,
                const CThostFtdcRspInfoField *info) noexcept override;
    // The public flow: notices to every logged-in trading session, kept too.
    std::size_t audience() const override;
    void broadcast(Outbox &out, const char *callback, const void *record, std::size_t size) noexcept override;
    // A new trading day: every trading session is dropped and taken back; the
    // public flow starts again from the statuses as the day begins.
    std::size_t restarts() const override { return 2 * traders.size() + exchange.instruments().size(); }
    void restart(Outbox &out) noexcept override;
    bool trade_first() noexcept override;
    // Keeps each instrument's status now as the public flow's first messages.
    void begin_public_flow(Outbox &out) noexcept;

    // ---- flows, after a login (the resume types) ----------------------------------
    // The identity of a flow for Endpoint::follow.
    std::string flow_identity(const Account *account) const;
    // Posts a kept flow's messages after the n-th to the session.
    void replay(Outbox &out, TraderSession &session, Topic topic, const std::list<Event> &flow, std::uint32_t after);

    // ---- connections and the library's attempts ------------------------------------
    // The session is connected through the door its ring is at now.
    template <class Connected>
    void join(Connected &session, Outbox &out) noexcept;
    // The session's connection goes (it leaves the list of connected ones,
    // logged out; its replies still planned are void).
    template <class Connected>
    void part(Connected &session) noexcept;
    // The front drops the session (heartbeat warnings first, for a heartbeat
    // timeout): OnFrontDisconnected, then the library's first attempt after
    // the delay. `warnings` events and the attempt's timer made ahead.
    struct Timer;
    using Timers = std::multimap<std::chrono::steady_clock::time_point, Timer>;
    template <class Connected>
    void drop(Connected &session, int reason, int warnings, Outbox &out, Timers::node_type attempt) noexcept;
    // Makes the timer of the library's next attempt for the session.
    template <class Connected>
    Timers::node_type plan_attempt(Connected &session);
    // The library's attempt: through the next door of the ring; it fails
    // while the door is down, reaches none or the outage lasts.
    template <class Connected>
    void attempt(Connected &session);
    // A door whose FrontID (the front's plus K - 1) an int cannot hold is never up.
    bool door_up(int door) const {
        return door >= 1 && door - 1 <= std::numeric_limits<int>::max() - front_id && !is_door_down(behaviour, door);
    }
    // Takes in a timer made ahead, and has the schedule thread see it.
    void start(Timers::node_type timer) noexcept;
    void forget(const Session &session) noexcept;
    class Drop;
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

    // On a replaying front, waits until every trading session has run the
    // callbacks posted to it when it goes out of scope (declared after the
    // lock of an order or a cancel): what an order did reaches the client
    // before Req* returns, so the strategy sees it at the same tick every run.
    class Delivered {
    public:
        explicit Delivered(Front &front) noexcept : front(front) {}
        ~Delivered() {
            if (front.replaying)
                front.replay_deliver();
        }
        Delivered(const Delivered &) = delete;
        Delivered &operator=(const Delivered &) = delete;

    private:
        Front &front;
    };

    // The connected sessions of a kind.
    std::vector<TraderSession *> &connected(const TraderSession &) { return traders; }
    std::vector<MdSession *> &connected(const MdSession &) { return watchers; }

    // -1 or -2 when a request cannot be sent now, else 0.
    int admit(const Session &session) const;
    // The same, then -3 for a query beyond the rate the front takes in the
    // query interval, -2 beyond the queries it leaves unanswered. Changes
    // nothing: a query that is answered counts through count_query (which
    // may throw, before anything changes).
    int admit_query(const TraderSession &session) const;
    void count_query(TraderSession &session);

    // A query: admitted under the query limits, refused before login, then
    // answered with the records the exchange finds, one reply per record, the
    // last flagged; a null record when there is none. Replies may come in
    // batches (Behaviour::query_batch), after the session's queries before.
    template <class Query>
    int query(TraderSession &session, const Query &filter, int id);

    // ReqUserLogout of either kind: the reply carries the record as sent;
    // logged out, a trader session starts again at authentication, a
    // market-data session's subscriptions end.
    template <class Connected>
    int log_out(Connected &session, const CThostFtdcUserLogoutField &record, int id);
    // The login's reply through a door (its FrontID: front_id + door - 1).
    CThostFtdcRspUserLoginField login_record(std::string_view broker, std::string_view user, int session_id,
                                             long long max_order_ref, int door) const;
    // Checks what the front itself asks of an order: the session's investor,
    // the settlement confirmed, the OrderRef (order_ref > 0 once it passed:
    // used up, whatever comes of the order). Changes nothing.
    Error check_order(const TraderSession &session, const CThostFtdcInputOrderField &input, long long &order_ref);
    void use_order_ref(TraderSession &session, long long order_ref) noexcept;
    void reject_order(Outbox &out, TraderSession &session, const CThostFtdcInputOrderField &input, int id,
                      Error error) noexcept;
    void reject_action(TraderSession &session, const CThostFtdcInputOrderActionField &input, const Order *order,
                       int id, Error error);
    // Whether the exchange, not the front, reports a refusal it makes.
    bool by_exchange(Error error) noexcept;

    std::mutex mutex;
    const std::string name;
    const int front_id;  // of door 1; door K answers front_id + K - 1
    Clock clock;
    Exchange exchange;
    Feed feed;
    // A replay's state, while the front replays.
    struct Replaying {
        int window = 0;
        bool started = false;   // a market-data session has subscribed
        bool finished = false;  // the tape has no more ticks
        bool ended = false;     // and the consumer took the last: the sessions were dropped
        bool player_waits = false;  // for room in the window
        long long posted = 0;
        long long taken = 0;
        struct Pending {
            CThostFtdcDepthMarketDataField tick;
            bool counted;  // posted to a session: the consumer takes it
        };
        std::deque<Pending> pending;  // posted, not yet taken, in order
        std::condition_variable room;
    };
    // Moves the exchange through one recorded tick (under the lock).
    void replay_apply(const CThostFtdcDepthMarketDataField &tick) noexcept;
    // Applies what no longer waits for the consumer, and ends the replay
    // once the tape's last tick has been taken (under the lock).
    void replay_settle(Outbox &out);
    // Waits (a while at most) until every trading session has run the
    // callbacks posted to it, so that the fills of a tick reach the client
    // before the consumer takes the next (under the lock).
    void replay_deliver();
    std::unique_ptr<Replaying> replaying;

    std::vector<TraderSession *> traders;  // connected trader sessions
    std::vector<MdSession *> watchers;     // connected market-data sessions
    int next_session_id = 0;
    int next_notice = 0;
    Behaviour behaviour;
    Dice dice;
    std::list<Event> public_flow;  // today's, from the statuses as the day began
    // What waits for its time: a batch of replies, or an attempt of the
    // library's to connect a session again.
    struct Timer {
        Session *session;
        std::uint64_t epoch;  // void once the session's epoch moved on
        void (*run)(Front &front, Timer &timer);
        std::list<Event> events;  // replies, posted in order
        bool answers = false;     // the last batch of a query
    };
    Timers timers;
    bool scheduled = false;  // the schedule thread knows this front
};

// The front's own drop around a request (Behaviour::drop), drawn as the
// request comes in: the connection goes before the front reads the request,
// after it answered, or in between (what it sent the session is lost; what
// the request did stands). Declared after the front's lock: the drop happens
// under it, when the request is done, unless the request failed.
class Front::Drop {
public:
    Drop(Front &front, TraderSession &session);
    ~Drop();
    Drop(const Drop &) = delete;
    Drop &operator=(const Drop &) = delete;
    // The request never reached the front: Req* returns 0, nothing follows.
    bool request_lost() const noexcept { return moment == Moment::before; }

private:
    enum class Moment { none, before, between, after };
    Front &front;
    TraderSession &session;
    Moment moment = Moment::none;
    int reason = 0;
    int warnings = 0;
    Outbox out;
    Timers::node_type attempt;
    int unwinding = 0;
};

template <class Record>
int Front::request(TraderSession &session, const Record &, int id) {
    using Answer = interface::trader::Answer<Record>;
    std::lock_guard lock(mutex);
    if (int refused = Answer::query ? admit_query(session) : admit(session))
        return refused;
    const Drop drop(*this, session);
    if (drop.request_lost())
        return 0;
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
