// The front's sessions: connections, what it admits, the session protocol,
// queries, orders and cancels passed to its exchange, and market-data requests.
#include "front.h"

#include "ctpsim.h"
#include "records.h"
#include "schedule.h"
#include "state.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <exception>
#include <memory>
#include <type_traits>

#include <unistd.h>

namespace standin {

// ---- limits -----------------------------------------------------------------

namespace limits {
namespace {
std::atomic<int> query_interval{default_query_interval_ms};
std::atomic<int> pending{default_max_pending};
}  // namespace
int query_interval_ms() { return query_interval.load(); }
int max_pending() { return pending.load(); }
void set_query_interval_ms(int ms) { query_interval.store(std::max(ms, 0)); }
void set_max_pending(int count) { pending.store(std::max(count, 1)); }
}  // namespace limits

namespace {

bool parse_ref(std::string_view text, long long &out) {
    if (text.empty() || text.size() > 12)
        return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc() && end == text.data() + text.size() && out > 0;
}

// The trader library's callbacks, for the kinds of the messages the flows keep
// (a replay sends each by name, to the session's own table).
const auto flow_kinds = interface::trader::callback_table();

const CallbackKind *flow_kind(std::string_view name) { return callbacks::find(flow_kinds, name); }

using Steady = std::chrono::steady_clock;

// Whether a request of a session logged in as `account` names its own investor.
Error own_investor(const Account *account, std::string_view broker, std::string_view investor) {
    if (!account)
        return Error::not_logged_in;
    if (account->setup.broker != broker || account->setup.user != investor)
        return Error::investor_mismatch;
    return Error::none;
}

}  // namespace

// ---- the gate ---------------------------------------------------------------

void Gate::post(std::list<Event> &from, std::list<Event>::iterator event) noexcept {
    if (muted)
        return;  // the connection is going: lost (it stays in `from`)
    if (event->topic != Topic::none) {
        Followed &flow = followed[static_cast<int>(event->topic)];
        event->generation = flow.generation;
        flow.posted = std::max(flow.posted, event->sequence);
    }
    to.post(from, event);
}

std::uint32_t Gate::follow(Topic topic, std::string_view identity, std::uint32_t &generation) {
    Followed &flow = followed[static_cast<int>(topic)];
    std::string named(identity);
    const std::uint32_t stored = to.follow(topic, identity, generation);
    // What this gate sent may not have been delivered yet: it counts too.
    const std::uint32_t from = flow.identity == named ? std::max(stored, flow.posted) : stored;
    flow.identity.swap(named);
    flow.posted = from;
    flow.generation = generation;
    return from;
}

// ---- the front --------------------------------------------------------------

namespace {

// The clock a configuration starts: the machine's, or from a time given.
Clock configured(const FrontConfig &config) {
    Clock clock;
    if (config.clock)
        clock.set(*config.clock);
    clock.freeze(config.freeze_clock);
    return clock;
}

}  // namespace

Front::Front(const FrontConfig &config, std::string name)
    : name(std::move(name)), front_id(config.front_id), clock(configured(config)), exchange(config, clock, *this),
      feed(exchange), behaviour(config.behaviour) {
    dice.reseed(behaviour.seed);
    Outbox out;
    out.reserve(exchange.instruments().size(), sizeof(CThostFtdcInstrumentStatusField));
    begin_public_flow(out);
}

namespace {

// Whether a session takes a flow's messages at all (THOST_TERT_NONE: not).
bool takes(const TraderSession &session, Topic topic) {
    return session.endpoint.resume(topic) != THOST_TERT_NONE;
}

}  // namespace

std::size_t Front::listeners(const Account &account) const {
    std::size_t count = 1;  // the flow's own copy
    for (const TraderSession *session : traders)
        count += session->account == &account && takes(*session, Topic::private_flow);
    return count;
}

void Front::notify(Outbox &out, Account &account, const char *callback, const void *record, std::size_t size,
                   const CThostFtdcRspInfoField *info) noexcept {
    out.keep(account.flow, flow_kind(callback), record, size, info);
    const auto sequence = static_cast<std::uint32_t>(account.flow.size());
    for (TraderSession *session : traders)
        if (session->account == &account && takes(*session, Topic::private_flow))
            out.send(session->endpoint, callback, record, size, info, Topic::private_flow, sequence);
}

std::size_t Front::audience() const {
    std::size_t count = 1;  // the flow's own copy
    for (const TraderSession *session : traders)
        count += session->logged_in() && takes(*session, Topic::public_flow);
    return count;
}

void Front::broadcast(Outbox &out, const char *callback, const void *record, std::size_t size) noexcept {
    out.keep(public_flow, flow_kind(callback), record, size, nullptr);
    const auto sequence = static_cast<std::uint32_t>(public_flow.size());
    for (TraderSession *session : traders)
        if (session->logged_in() && takes(*session, Topic::public_flow))
            out.send(session->endpoint, callback, record, size, nullptr, Topic::public_flow, sequence);
}

void Front::begin_public_flow(Outbox &out) noexcept {
    public_flow.clear();
    for (const auto &instrument : exchange.instruments()) {
        const CThostFtdcInstrumentStatusField notice = exchange.status_record(*instrument);
        out.keep(public_flow, flow_kind("OnRtnInstrumentStatus"), &notice, sizeof notice, nullptr);
    }
}

void Front::restart(Outbox &out) noexcept {
    // As when a real front restarts for the new day: the connection drops
    // (a read failure, to the client) and comes back at once, through the
    // same door.
    for (TraderSession *session : traders) {
        session->log_out();
        ++session->epoch;
        forget(*session);
        session->unanswered = 0;
        session->busy_until = {};
        session->not_ready = dice.level(Draw::not_ready, behaviour.not_ready, behaviour.unruly);
        out.send_bare(session->endpoint, "OnFrontDisconnected", 0x1001);
        out.send_bare(session->endpoint, "OnFrontConnected", 0);
    }
    begin_public_flow(out);
}

bool Front::trade_first() noexcept {
    if (!dice.chance(Draw::fill_first, behaviour.fill_first))
        return false;
    dice.note("fill first");
    return true;
}

bool Front::by_exchange(Error error) noexcept {
    if (!dice.chance(Draw::exchange_refusal, behaviour.exchange_refusals))
        return false;
    dice.note("refused by the exchange", {error_id(error)});
    return true;
}

std::string Front::flow_identity(const Account *account) const {
    // The front of this process: another process's front of the same name
    // is another front, its flows numbered afresh.
    std::string identity = "sim://" + name + "#" + std::to_string(::getpid());
    if (account)
        identity += " " + account->setup.broker + " " + account->setup.user;
    return identity + " " + exchange.trading_day();
}

void Front::replay(Outbox &out, TraderSession &session, Topic topic, const std::list<Event> &flow,
                   std::uint32_t after) {
    std::uint32_t sequence = 0;
    for (const Event &kept : flow)
        if (++sequence > after)
            out.resend(session.endpoint, kept, topic, sequence);
}

bool Front::keep_time() noexcept {
    if (!exchange.next_due())
        return true;
    bool done = true;
    try {
        exchange.catch_up();
    } catch (...) {
        done = false;  // out of memory: a later call makes the rest
    }
    feed.publish(watchers);
    return done;
}

int Front::admit(const Session &session) const {
    if (!session.connected)
        return -1;
    if (session.endpoint.pending() >= static_cast<std::size_t>(limits::max_pending()))
        return -2;
    return 0;
}

int Front::admit_query(const TraderSession &session) const {
    if (int refused = admit(session))
        return refused;
    // The front announces its query limits at login; before that, queries are
    // only refused with an error record.
    if (!session.account)
        return 0;
    const auto interval = std::chrono::milliseconds(limits::query_interval_ms());
    const auto rate = static_cast<std::size_t>(behaviour.query_rate);
    if (interval.count() > 0 && session.queries.size() >= rate &&
        Steady::now() - session.queries[session.queries.size() - rate] < interval)
        return -3;
    if (behaviour.query_backlog > 0 && session.unanswered >= behaviour.query_backlog)
        return -2;
    return 0;
}

void Front::count_query(TraderSession &session) {
    if (!session.account)
        return;
    session.queries.push_back(Steady::now());
    while (session.queries.size() > static_cast<std::size_t>(behaviour.query_rate))
        session.queries.pop_front();
}

// ---- connection -------------------------------------------------------------

template <class Connected>
void Front::join(Connected &session, Outbox &out) noexcept {
    auto &list = connected(session);
    session.connected = true;
    session.ever_connected = true;
    session.door = session.ring[session.at];
    ++session.epoch;
    session.outage = 0;
    session.log_out();
    session.endpoint.muted = false;
    list.push_back(&session);  // within the room made
    if constexpr (std::is_same_v<Connected, TraderSession>) {
        session.not_ready = dice.level(Draw::not_ready, behaviour.not_ready, behaviour.unruly);
        if (session.not_ready > 0)
            dice.note("not ready", {session.not_ready});
    }
    out.send_bare(session.endpoint, "OnFrontConnected", 0);
}

template <class Connected>
void Front::part(Connected &session) noexcept {
    std::erase(connected(session), &session);
    session.connected = false;
    session.endpoint.muted = false;
    session.log_out();
    ++session.epoch;
    forget(session);
    if constexpr (std::is_same_v<Connected, TraderSession>) {
        session.unanswered = 0;
        session.busy_until = {};
    }
}

void Front::forget(const Session &session) noexcept {
    std::erase_if(timers, [&](const auto &timer) { return timer.second.session == &session; });
}

void Front::start(Timers::node_type timer) noexcept {
    timers.insert(std::move(timer));
    clocks_changed();  // the schedule thread looks again at when to wake
}

template <class Connected>
Front::Timers::node_type Front::plan_attempt(Connected &session) {
    if (!scheduled) {
        keep_on_time(shared_from_this());
        scheduled = true;
    }
    const int delay = dice.level(Draw::delay, behaviour.reconnect, behaviour.unruly);
    Timers made;
    const auto at = made.emplace(Steady::now() + std::chrono::milliseconds(delay),
                                 Timer{&session, session.epoch, [](Front &front, Timer &timer) {
                                           front.attempt(static_cast<Connected &>(*timer.session));
                                       }, {}, false});
    return made.extract(at);
}

template <class Connected>
void Front::attempt(Connected &session) {
    if (session.connected)
        return;
    // The next address the library registered, after the one it was at.
    session.at = (session.at + 1) % session.ring.size();
    Outbox out;
    out.reserve(1, 0);
    room_for(connected(session), 1);
    Timers::node_type next = plan_attempt(session);
    const int door = session.ring[session.at];
    if (session.outage > 0 || !door_up(door)) {
        // Failed: the library says so again (once it had been connected) and
        // tries the next one after the delay.
        if (session.outage > 0)
            --session.outage;
        if (session.ever_connected)
            out.send_bare(session.endpoint, "OnFrontDisconnected", drop_reasons[0]);
        start(std::move(next));
        return;
    }
    join(session, out);
}

template <class Connected>
void Front::drop(Connected &session, int reason, int warnings, Outbox &out, Timers::node_type attempt) noexcept {
    session.endpoint.muted = false;
    // Each warning tells the seconds since the front was last heard of.
    for (int i = 1; i <= warnings; ++i)
        out.send_bare(session.endpoint, "OnHeartBeatWarning", 10 * i);
    part(session);
    out.send_bare(session.endpoint, "OnFrontDisconnected", reason);
    session.outage = dice.level(Draw::outage, behaviour.outage, behaviour.unruly);
    if (session.outage > 0)
        dice.note("outage", {session.outage});
    attempt.mapped().epoch = session.epoch;
    start(std::move(attempt));
}

template <class Connected>
void Front::connect(Connected &session) {
    std::lock_guard lock(mutex);
    keep_time();
    if (session.connected)
        return;
    Outbox out;
    out.reserve(1, 0);
    room_for(connected(session), 1);
    for (std::size_t i = 0; i < session.ring.size(); ++i) {
        if (door_up(session.ring[i])) {
            session.at = i;
            join(session, out);
            return;
        }
    }
    // Every door down (or none reached): the library keeps trying, the first
    // registered address next.
    session.at = session.ring.size() - 1;
    start(plan_attempt(session));
}

template <class Connected>
int Front::disconnect(Connected &session, int reason) {
    std::lock_guard lock(mutex);
    keep_time();
    if (!session.connected)
        return CTPSIM_BAD_VALUE;
    Outbox out;
    out.reserve(1, 0);
    part(session);
    out.send_bare(session.endpoint, "OnFrontDisconnected", reason);
    return CTPSIM_OK;
}

template <class Connected>
int Front::reconnect(Connected &session) {
    std::lock_guard lock(mutex);
    keep_time();
    if (session.connected)
        return CTPSIM_BAD_VALUE;
    Outbox out;
    out.reserve(1, 0);
    room_for(connected(session), 1);
    for (std::size_t i = 0; i < session.ring.size(); ++i) {
        const std::size_t at = (session.at + i) % session.ring.size();
        if (door_up(session.ring[at])) {
            session.at = at;
            join(session, out);
            return CTPSIM_OK;
        }
    }
    return CTPSIM_BAD_VALUE;  // every door down
}

template <class Connected>
void Front::leave(Connected &session) {
    std::lock_guard lock(mutex);
    part(session);
}

template void Front::connect(TraderSession &);
template void Front::connect(MdSession &);
template int Front::disconnect(TraderSession &, int);
template int Front::disconnect(MdSession &, int);
template int Front::reconnect(TraderSession &);
template int Front::reconnect(MdSession &);
template void Front::leave(TraderSession &);
template void Front::leave(MdSession &);

// ---- the front's own drops ---------------------------------------------------

Front::Drop::Drop(Front &front, TraderSession &session)
    : front(front), session(session), unwinding(std::uncaught_exceptions()) {
    Dice &dice = front.dice;
    const Behaviour &behaviour = front.behaviour;
    if (!dice.chance(Draw::drop, behaviour.drop))
        return;
    const int why = behaviour.drop_reason ? behaviour.drop_reason
                                          : drop_reasons[dice.pick(Draw::drop_reason, std::size(drop_reasons))];
    const auto when = static_cast<Moment>(behaviour.drop_moment ? behaviour.drop_moment
                                                                 : 1 + dice.pick(Draw::drop_moment, 3));
    const int warned =
        why == heartbeat_timeout ? dice.level(Draw::warnings, behaviour.heartbeat_warnings, behaviour.unruly) : 0;
    out.reserve(warned + 1, 0);
    attempt = front.plan_attempt(session);
    static constexpr const char *moments[] = {"", "drop before the request", "drop losing the replies",
                                              "drop after the replies"};
    dice.note(moments[static_cast<int>(when)], {why, warned});
    reason = why;
    warnings = warned;
    moment = when;
    session.endpoint.muted = moment == Moment::between;
}

Front::Drop::~Drop() {
    if (moment == Moment::none)
        return;
    if (std::uncaught_exceptions() > unwinding) {
        session.endpoint.muted = false;  // the request failed: nothing happened
        return;
    }
    front.drop(session, reason, warnings, out, std::move(attempt));
}

// ---- authentication and login -----------------------------------------------

CThostFtdcRspUserLoginField Front::login_record(std::string_view broker, std::string_view user, int session_id,
                                                long long max_order_ref, int door) const {
    CThostFtdcRspUserLoginField reply{};
    const Stamp now = clock.stamp();
    put(reply.TradingDay, exchange.trading_day());
    put(reply.LoginTime, now.time);
    put(reply.BrokerID, broker);
    put(reply.UserID, user);
    put(reply.SystemName, "standin simulated front");
    reply.FrontID = front_id + (door - 1);
    reply.SessionID = session_id;
    put(reply.MaxOrderRef, std::to_string(max_order_ref));
    for (auto *exchange_time : {&reply.SHFETime, &reply.DCETime, &reply.CZCETime, &reply.FFEXTime, &reply.INETime,
                                &reply.GFEXTime})
        put(*exchange_time, now.time);
    put(reply.SysVersion, version_text());
    return reply;
}

int Front::request(TraderSession &session, const CThostFtdcReqAuthenticateField &r, int id) {
    std::lock_guard lock(mutex);
    keep_time();
    if (int refused = admit(session))
        return refused;
    const Drop drop(*this, session);
    if (drop.request_lost())
        return 0;
    CThostFtdcRspAuthenticateField reply{};
    put(reply.BrokerID, text(r.BrokerID));
    put(reply.UserID, text(r.UserID));
    put(reply.UserProductInfo, text(r.UserProductInfo));
    put(reply.AppID, text(r.AppID));
    reply.AppType = '1';
    Error error = Error::none;
    const Account *account = exchange.investor(text(r.BrokerID), text(r.UserID));
    if (session.account)
        error = Error::already_logged_in;
    else if (!account || account->setup.app_id != text(r.AppID) || account->setup.auth_code != text(r.AuthCode))
        error = Error::auth_failed;
    Outbox out;
    out.reserve(1, sizeof reply);
    std::string broker(text(r.BrokerID));
    std::string user(text(r.UserID));
    if (error == Error::none) {
        session.authenticated = true;
        session.auth_broker.swap(broker);
        session.auth_user.swap(user);
    }
    const auto status = info(error);
    out.send(session.endpoint, "OnRspAuthenticate", &reply, &status, id, true);
    return 0;
}

int Front::request(TraderSession &session, const CThostFtdcReqUserLoginField &r, int id) {
    std::lock_guard lock(mutex);
    keep_time();
    if (int refused = admit(session))
        return refused;
    const Drop drop(*this, session);
    if (drop.request_lost())
        return 0;
    Account *account = exchange.investor(text(r.BrokerID), text(r.UserID));
    Error error = Error::none;
    if (session.account)
        error = Error::already_logged_in;
    else if (!session.authenticated || session.auth_broker != text(r.BrokerID) || session.auth_user != text(r.UserID))
        error = Error::not_authenticated;
    else if (session.not_ready > 0)
        error = Error::front_not_ready;
    else if (!account || account->password != text(r.Password))
        error = Error::bad_password;
    Outbox out;
    if (error != Error::none) {
        out.reserve(1, sizeof(CThostFtdcRspUserLoginField));
        if (error == Error::front_not_ready)
            --session.not_ready;
        const auto status = info(error);
        out.send<CThostFtdcRspUserLoginField>(session.endpoint, "OnRspUserLogin", nullptr, &status, id, true);
        return 0;
    }
    // The reply, then the public flow (each instrument's status now, or the
    // day's flow again), then the private flow again, as subscribed.
    const auto &instruments = exchange.instruments();
    const THOST_TE_RESUME_TYPE publicly = session.endpoint.resume(Topic::public_flow);
    const THOST_TE_RESUME_TYPE privately = session.endpoint.resume(Topic::private_flow);
    std::uint32_t public_from = 0;
    std::uint32_t private_from = 0;
    std::uint32_t generation = 0;
    if (publicly != THOST_TERT_NONE)
        public_from = session.endpoint.follow(Topic::public_flow, flow_identity(nullptr), generation);
    if (privately != THOST_TERT_NONE)
        private_from = session.endpoint.follow(Topic::private_flow, flow_identity(account), generation);
    if (publicly == THOST_TERT_RESTART)
        public_from = 0;
    if (privately == THOST_TERT_RESTART)
        private_from = 0;
    const std::size_t public_count = publicly == THOST_TERT_QUICK ? instruments.size()
                                     : publicly == THOST_TERT_NONE ? 0
                                                                   : public_flow.size() - std::min<std::size_t>(
                                                                                              public_from, public_flow.size());
    const std::size_t private_count =
        privately == THOST_TERT_RESTART || privately == THOST_TERT_RESUME
            ? account->flow.size() - std::min<std::size_t>(private_from, account->flow.size())
            : 0;
    out.reserve(1 + public_count + private_count,
                std::max({sizeof(CThostFtdcRspUserLoginField), sizeof(CThostFtdcInstrumentStatusField),
                          sizeof(CThostFtdcOrderField), sizeof(CThostFtdcTradeField),
                          sizeof(CThostFtdcInputOrderField), sizeof(CThostFtdcOrderActionField)}));
    const int session_id = next_session_id + 1;
    const CThostFtdcRspUserLoginField reply =
        login_record(account->setup.broker, account->setup.user, session_id, account->max_order_ref, session.door);
    next_session_id = session_id;
    session.account = account;
    session.session_id = session_id;
    session.max_order_ref = account->max_order_ref;
    session.queries.clear();
    session.endpoint.set_trading_day(exchange.trading_day());
    const auto status = info(Error::none);
    out.send(session.endpoint, "OnRspUserLogin", &reply, &status, id, true);
    if (publicly == THOST_TERT_QUICK) {
        for (const auto &instrument : instruments) {
            const CThostFtdcInstrumentStatusField notice = exchange.status_record(*instrument);
            out.send(session.endpoint, "OnRtnInstrumentStatus", &notice, nullptr, 0, true);
        }
    } else if (publicly != THOST_TERT_NONE) {
        replay(out, session, Topic::public_flow, public_flow, public_from);
    }
    if (privately == THOST_TERT_RESTART || privately == THOST_TERT_RESUME)
        replay(out, session, Topic::private_flow, account->flow, private_from);
    return 0;
}

template <class Connected>
int Front::log_out(Connected &session, const CThostFtdcUserLogoutField &r, int id) {
    std::lock_guard lock(mutex);
    keep_time();
    if (int refused = admit(session))
        return refused;
    std::optional<Drop> drop;  // of trading sessions only
    if constexpr (std::is_same_v<Connected, TraderSession>) {
        drop.emplace(*this, session);
        if (drop->request_lost())
            return 0;
    }
    Outbox out;
    out.reserve(1, sizeof r);
    Error error = session.logged_in() ? Error::none : Error::not_logged_in;
    // A trading session logs out only as its own user.
    if constexpr (std::is_same_v<Connected, TraderSession>)
        if (error == Error::none)
            error = own_investor(session.account, text(r.BrokerID), text(r.UserID));
    if (error == Error::none)
        session.log_out();
    const auto status = info(error);
    out.send(session.endpoint, "OnRspUserLogout", &r, &status, id, true);
    return 0;
}

int Front::request(TraderSession &session, const CThostFtdcUserLogoutField &r, int id) {
    return log_out(session, r, id);
}

int Front::request(TraderSession &session, const CThostFtdcSettlementInfoConfirmField &r, int id) {
    std::lock_guard lock(mutex);
    keep_time();
    if (int refused = admit(session))
        return refused;
    const Drop drop(*this, session);
    if (drop.request_lost())
        return 0;
    Account *account = session.account;
    const Error error = own_investor(account, text(r.BrokerID), text(r.InvestorID));
    Outbox out;
    out.reserve(1, sizeof r);
    const auto status = info(error);
    if (error != Error::none) {
        out.send<CThostFtdcSettlementInfoConfirmField>(session.endpoint, "OnRspSettlementInfoConfirm", nullptr,
                                                       &status, id, true);
        return 0;
    }
    // Confirmed once per investor and trading day, for all of its sessions.
    const Stamp now = clock.stamp();
    std::string date = now.date;
    std::string time = now.time;
    if (!account->confirmed) {
        account->confirmed = true;
        account->confirm_date.swap(date);
        account->confirm_time.swap(time);
    }
    const CThostFtdcSettlementInfoConfirmField reply = exchange.confirmation(*account);
    out.send(session.endpoint, "OnRspSettlementInfoConfirm", &reply, &status, id, true);
    return 0;
}

// ---- queries ----------------------------------------------------------------

template <class Query>
int Front::query(TraderSession &session, const Query &filter, int id) {
    using Record = typename interface::trader::Answer<Query>::Record;
    const char *callback = interface::trader::Answer<Query>::callback;
    std::lock_guard lock(mutex);
    keep_time();
    if (int refused = admit_query(session))
        return refused;
    const Drop drop(*this, session);
    if (drop.request_lost())
        return 0;
    Outbox out;
    if (!session.account) {
        out.reserve(1, sizeof(Record));
        const auto status = info(Error::not_logged_in);
        out.send<Record>(session.endpoint, callback, nullptr, &status, id, true);
        return 0;
    }
    std::vector<Record> found;
    exchange.collect(*session.account, filter, found);
    // The records as found now, in batches: the first at once, unless the
    // session's queries before are still being answered, each later one
    // after a pause; pushes that come meanwhile go between them.
    std::vector<std::size_t> batches;
    if (behaviour.query_batch > 0 && found.size() > 1) {
        for (std::size_t left = found.size(); left > 0;) {
            const auto size = std::min<std::size_t>(
                left, dice.level(Draw::batch, behaviour.query_batch, behaviour.unruly, 1));
            batches.push_back(size);
            left -= size;
        }
    } else {
        batches.push_back(std::max<std::size_t>(found.size(), 1));
    }
    const auto now = Steady::now();
    auto when = std::max(now, session.busy_until);
    Timers later;
    out.reserve(std::max<std::size_t>(found.size(), 1), sizeof(Record));
    for (std::size_t b = 0; b < batches.size(); ++b) {
        if (b > 0)
            when += std::chrono::milliseconds(dice.level(Draw::pause, behaviour.query_pause, behaviour.unruly));
        if (when > now)
            later.emplace(when, Timer{&session, 0,
                                      [](Front &, Timer &timer) {
                                          auto &asked = static_cast<TraderSession &>(*timer.session);
                                          while (!timer.events.empty())
                                              asked.endpoint.post(timer.events, timer.events.begin());
                                          if (timer.answers)
                                              --asked.unanswered;
                                      },
                                      {}, false});
    }
    if (!later.empty() && !scheduled) {
        keep_on_time(shared_from_this());
        scheduled = true;
    }
    count_query(session);
    if (batches.size() > 1 || !later.empty())
        dice.note("replies in batches", {static_cast<long long>(batches.size()),
                                         static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                                    when - now).count())});
    // From here on nothing allocates.
    const auto status = info(Error::none);
    auto timer = later.begin();
    const std::size_t sent_now = batches.size() - later.size();
    std::size_t next = 0;
    for (std::size_t b = 0; b < batches.size(); ++b) {
        const bool now_batch = b < sent_now;
        for (std::size_t i = 0; i < batches[b]; ++i, ++next) {
            const bool last = next + 1 >= found.size();
            const Record *record = found.empty() ? nullptr : &found[next];
            if (now_batch)
                out.send(session.endpoint, callback, record, sizeof(Record), &status, id, last);
            else
                out.hold(timer->second.events, session.endpoint, callback, record, sizeof(Record), &status, id,
                         last);
        }
        if (!now_batch)
            ++timer;
    }
    if (!later.empty()) {
        ++session.unanswered;
        std::prev(later.end())->second.answers = true;
        session.busy_until = std::prev(later.end())->first;
        while (!later.empty()) {
            auto node = later.extract(later.begin());
            node.mapped().epoch = session.epoch;
            start(std::move(node));
        }
    }
    return 0;
}

int Front::request(TraderSession &session, const CThostFtdcQryInstrumentField &r, int id) {
    return query(session, r, id);
}
int Front::request(TraderSession &session, const CThostFtdcQryTradingAccountField &r, int id) {
    return query(session, r, id);
}
int Front::request(TraderSession &session, const CThostFtdcQryInvestorPositionField &r, int id) {
    return query(session, r, id);
}
int Front::request(TraderSession &session, const CThostFtdcQryOrderField &r, int id) {
    return query(session, r, id);
}
int Front::request(TraderSession &session, const CThostFtdcQryTradeField &r, int id) {
    return query(session, r, id);
}
int Front::request(TraderSession &session, const CThostFtdcQryInstrumentMarginRateField &r, int id) {
    return query(session, r, id);
}
int Front::request(TraderSession &session, const CThostFtdcQryInstrumentCommissionRateField &r, int id) {
    return query(session, r, id);
}
int Front::request(TraderSession &session, const CThostFtdcQryInvestorPositionDetailField &r, int id) {
    return query(session, r, id);
}
int Front::request(TraderSession &session, const CThostFtdcQrySettlementInfoField &r, int id) {
    return query(session, r, id);
}
int Front::request(TraderSession &session, const CThostFtdcQrySettlementInfoConfirmField &r, int id) {
    return query(session, r, id);
}
int Front::request(TraderSession &session, const CThostFtdcQryDepthMarketDataField &r, int id) {
    return query(session, r, id);
}
int Front::request(TraderSession &session, const CThostFtdcQryExchangeField &r, int id) {
    return query(session, r, id);
}

// ---- password ---------------------------------------------------------------

int Front::request(TraderSession &session, const CThostFtdcUserPasswordUpdateField &r, int id) {
    std::lock_guard lock(mutex);
    keep_time();
    if (int refused = admit(session))
        return refused;
    const Drop drop(*this, session);
    if (drop.request_lost())
        return 0;
    Account *account = session.account;
    Error error = own_investor(account, text(r.BrokerID), text(r.UserID));
    if (error == Error::none && account->password != text(r.OldPassword))
        error = Error::wrong_old_password;
    else if (error == Error::none && text(r.NewPassword).empty())
        error = Error::empty_new_password;
    // The reply names the user; it never carries a password back.
    CThostFtdcUserPasswordUpdateField reply{};
    put(reply.BrokerID, text(r.BrokerID));
    put(reply.UserID, text(r.UserID));
    std::string changed(error == Error::none ? text(r.NewPassword) : std::string_view());
    Outbox out;
    out.reserve(1, sizeof reply);
    // For the next login: the sessions logged in stay so.
    if (error == Error::none)
        account->password.swap(changed);
    const auto status = info(error);
    out.send(session.endpoint, "OnRspUserPasswordUpdate", &reply, &status, id, true);
    return 0;
}

// ---- orders -----------------------------------------------------------------

Error Front::check_order(const TraderSession &session, const CThostFtdcInputOrderField &in, long long &order_ref) {
    const Account &account = *session.account;
    if (const Error error = own_investor(&account, text(in.BrokerID), text(in.InvestorID)); error != Error::none)
        return error;
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
    return Error::none;
}

void Front::use_order_ref(TraderSession &session, long long order_ref) noexcept {
    if (order_ref <= 0)
        return;
    session.max_order_ref = order_ref;
    session.account->max_order_ref = std::max(session.account->max_order_ref, order_ref);
}

void Front::reject_order(Outbox &out, TraderSession &session, const CThostFtdcInputOrderField &input, int id,
                         Error error) noexcept {
    const auto status = info(error);
    out.send(session.endpoint, "OnRspOrderInsert", &input, &status, id, true);
    if (session.account)
        notify(out, *session.account, "OnErrRtnOrderInsert", &input, sizeof input, &status);
}

int Front::request(TraderSession &session, const CThostFtdcInputOrderField &r, int id) {
    std::lock_guard lock(mutex);
    const Publish publish(*this);
    const Delivered delivered(*this);
    keep_time();
    if (int refused = admit(session))
        return refused;
    const Drop drop(*this, session);
    if (drop.request_lost())
        return 0;
    Outbox out;
    if (!session.account) {
        // Not logged in: no private flow to report on, only the reply.
        out.reserve(1, sizeof r);
        const auto status = info(Error::not_logged_in);
        out.send(session.endpoint, "OnRspOrderInsert", &r, &status, id, true);
        return 0;
    }
    Exchange::Ready ready;
    ready.order = std::make_unique<Order>();
    long long order_ref = 0;
    Error error = check_order(session, r, order_ref);
    // Where the exchange may refuse, its checks come after the front's.
    if (error == Error::none)
        error = exchange.check(*session.account, r, *ready.order, behaviour.exchange_refusals > 0);
    CThostFtdcInputOrderField input = r;
    if (order_ref > 0 && trim(text(r.OrderRef)).empty())
        put(input.OrderRef, std::to_string(order_ref));
    const Origin origin{front_id + (session.door - 1), session.session_id};
    if ((error == Error::not_continuous || error == Error::self_trade) && by_exchange(error)) {
        exchange.prepare_refusal(ready, out);
        use_order_ref(session, order_ref);
        exchange.refuse(origin, input, id, ready, error, out);
        return 0;
    }
    if (error != Error::none) {
        out.reserve(1 + listeners(*session.account), sizeof input);
        use_order_ref(session, order_ref);
        reject_order(out, session, input, id, error);
        return 0;
    }
    exchange.prepare(input, ready, out);
    // Nothing has changed so far; from here on nothing allocates (the ids and
    // times put in records are short enough for std::string's inline buffer).
    use_order_ref(session, order_ref);
    exchange.accept(origin, input, id, ready, out);
    return 0;
}

// ---- cancels ----------------------------------------------------------------

void Front::reject_action(TraderSession &session, const CThostFtdcInputOrderActionField &in, const Order *order, int id,
                          Error error) {
    // Changes nothing: the events are all it makes.
    Outbox out;
    out.reserve(1 + (session.account ? listeners(*session.account) : 0),
                std::max(sizeof(CThostFtdcInputOrderActionField), sizeof(CThostFtdcOrderActionField)));
    const auto status = info(error);
    out.send(session.endpoint, "OnRspOrderAction", &in, &status, id, true);
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
    const Stamp now = clock.stamp();
    put(action.ActionDate, now.date);
    put(action.ActionTime, now.time);
    action.OrderActionStatus = 'c';  // rejected
    put(action.UserID, text(in.UserID));
    put(action.StatusMsg, error_text(error));
    put(action.InstrumentID, text(in.InstrumentID));
    notify(out, *session.account, "OnErrRtnOrderAction", &action, sizeof action, &status);
}

int Front::request(TraderSession &session, const CThostFtdcInputOrderActionField &r, int id) {
    std::lock_guard lock(mutex);
    const Publish publish(*this);
    const Delivered delivered(*this);
    keep_time();
    if (int refused = admit(session))
        return refused;
    const Drop drop(*this, session);
    if (drop.request_lost())
        return 0;
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
    Order *order = exchange.order(text(r.ExchangeID), trim(text(r.OrderSysID)));
    if (!order || order->account != &account) {
        reject_action(session, r, nullptr, id, Error::order_not_found);
        return 0;
    }
    if (!order->live) {
        // The cancel crossed the order's end: the exchange may be the one to say so.
        if (by_exchange(Error::order_finished))
            exchange.refuse_cancel(*order, Error::order_finished);
        else
            reject_action(session, r, order, id, Error::order_finished);
        return 0;
    }
    exchange.cancel(*order);
    return 0;
}

// ---- market data ------------------------------------------------------------

// A market-data front takes any user: prices are public.
int Front::request(MdSession &session, const CThostFtdcReqUserLoginField &r, int id) {
    std::lock_guard lock(mutex);
    keep_time();
    if (int refused = admit(session))
        return refused;
    Outbox out;
    out.reserve(1, sizeof(CThostFtdcRspUserLoginField));
    if (session.logged_in()) {
        const auto status = info(Error::already_logged_in);
        out.send<CThostFtdcRspUserLoginField>(session.endpoint, "OnRspUserLogin", nullptr, &status, id, true);
        return 0;
    }
    const CThostFtdcRspUserLoginField reply = login_record(text(r.BrokerID), text(r.UserID), 0, 0, session.door);
    session.log_in();
    session.endpoint.set_trading_day(exchange.trading_day());
    const auto status = info(Error::none);
    out.send(session.endpoint, "OnRspUserLogin", &reply, &status, id, true);
    return 0;
}

int Front::request(MdSession &session, const CThostFtdcUserLogoutField &r, int id) {
    return log_out(session, r, id);
}

int Front::subscribe(MdSession &session, const std::vector<std::string> &ids, bool subscribe) {
    std::lock_guard lock(mutex);
    keep_time();
    if (int refused = admit(session))
        return refused;
    feed.subscribe(session, ids, subscribe);
    if (replaying && subscribe && !ids.empty() && !replaying->started) {
        // The replay starts with the first subscription, so that the reader misses nothing.
        replaying->started = true;
        replaying->room.notify_all();
    }
    return 0;
}

// ---- the simulated market -----------------------------------------------------

int Front::set_price(std::string_view instrument, double price) {
    std::lock_guard lock(mutex);
    const Publish publish(*this);
    keep_time();
    return exchange.set_price(instrument, price);
}

int Front::move_price(std::string_view instrument, int ticks) {
    std::lock_guard lock(mutex);
    const Publish publish(*this);
    keep_time();
    return exchange.move_price(instrument, ticks);
}

int Front::get_price(std::string_view instrument, double &price) {
    std::lock_guard lock(mutex);
    keep_time();
    return exchange.get_price(instrument, price);
}

// ---- the clock and the trading day ----------------------------------------------

int Front::set_clock(std::optional<Millis> civil) {
    std::lock_guard lock(mutex);
    const Publish publish(*this);
    keep_time();
    if (civil)
        clock.set(*civil);
    else
        clock.follow_machine();
    return keep_time() ? CTPSIM_OK : CTPSIM_NO_MEMORY;
}

int Front::advance_clock(Millis by) {
    std::lock_guard lock(mutex);
    const Publish publish(*this);
    keep_time();
    clock.advance(by);
    return keep_time() ? CTPSIM_OK : CTPSIM_NO_MEMORY;
}

int Front::freeze_clock(bool frozen) {
    std::lock_guard lock(mutex);
    const Publish publish(*this);
    keep_time();
    clock.freeze(frozen);
    return CTPSIM_OK;
}

Millis Front::clock_now() {
    std::lock_guard lock(mutex);
    const Publish publish(*this);
    keep_time();
    return clock.now();
}

int Front::settle() {
    std::lock_guard lock(mutex);
    const Publish publish(*this);
    keep_time();
    exchange.settle();
    return CTPSIM_OK;
}

int Front::set_status(std::string_view instrument, char status) {
    std::lock_guard lock(mutex);
    const Publish publish(*this);
    keep_time();
    return exchange.set_status(instrument, status);
}

std::optional<std::chrono::milliseconds> Front::tick() {
    std::lock_guard lock(mutex);
    const Publish publish(*this);
    if (!keep_time())
        return std::chrono::seconds(1);  // out of memory: try again in a while
    // The timers due, in time order (a timer run may start new ones).
    const auto now = Steady::now();
    while (!timers.empty() && timers.begin()->first <= now) {
        auto node = timers.extract(timers.begin());
        Timer &timer = node.mapped();
        if (timer.epoch != timer.session->epoch)
            continue;  // its connection is gone
        try {
            timer.run(*this, timer);
        } catch (...) {
            // Out of memory: what it would have done is lost, as a packet.
        }
    }
    std::optional<std::chrono::milliseconds> wait;
    if (const std::optional<Millis> due = exchange.next_due())
        wait = clock.until(*due);
    if (!timers.empty()) {
        const auto next = std::chrono::ceil<std::chrono::milliseconds>(timers.begin()->first - Steady::now());
        wait = std::min(wait.value_or(next), std::max(next, std::chrono::milliseconds(0)));
    }
    return wait;
}

int Front::behave(std::string_view key, std::string_view value) {
    std::lock_guard lock(mutex);
    keep_time();
    Behaviour changed = behaviour;
    if (!standin::behave(changed, key, value).empty())
        return CTPSIM_BAD_VALUE;
    // Sessions at a door that goes down are dropped (a network read failure),
    // and their library tries the next address after the delay.
    std::vector<Session *> dropping;
    for (TraderSession *session : traders)
        if (is_door_down(changed, session->door) && !is_door_down(behaviour, session->door))
            dropping.push_back(session);
    const std::size_t traders_dropping = dropping.size();
    for (MdSession *session : watchers)
        if (is_door_down(changed, session->door) && !is_door_down(behaviour, session->door))
            dropping.push_back(session);
    Outbox out;
    out.reserve(dropping.size(), 0);
    std::vector<Timers::node_type> attempts;
    attempts.reserve(dropping.size());
    std::swap(behaviour, changed);
    try {
        for (std::size_t i = 0; i < dropping.size(); ++i) {
            if (i < traders_dropping)
                attempts.push_back(plan_attempt(static_cast<TraderSession &>(*dropping[i])));
            else
                attempts.push_back(plan_attempt(static_cast<MdSession &>(*dropping[i])));
        }
    } catch (...) {
        std::swap(behaviour, changed);  // nothing changed
        throw;
    }
    if (key == "seed" || (key == "unruly" && behaviour.unruly))
        dice.reseed(behaviour.seed);
    for (std::size_t i = 0; i < dropping.size(); ++i) {
        dice.note("door down", {dropping[i]->door});
        if (i < traders_dropping)
            drop(static_cast<TraderSession &>(*dropping[i]), drop_reasons[0], 0, out, std::move(attempts[i]));
        else
            drop(static_cast<MdSession &>(*dropping[i]), drop_reasons[0], 0, out, std::move(attempts[i]));
    }
    return CTPSIM_OK;
}

std::vector<std::string> Front::choices() {
    std::lock_guard lock(mutex);
    return dice.notes();
}

int Front::trading_notice(std::string_view broker, std::string_view investor, std::string_view content) {
    std::lock_guard lock(mutex);
    keep_time();
    if (content.size() >= sizeof(CThostFtdcTradingNoticeInfoField::FieldContent))
        return CTPSIM_BAD_VALUE;
    std::vector<TraderSession *> to;
    for (TraderSession *session : traders)
        if (session->account && matches(broker, session->account->setup.broker) &&
            matches(investor, session->account->setup.user))
            to.push_back(session);
    Outbox out;
    out.reserve(to.size(), sizeof(CThostFtdcTradingNoticeInfoField));
    CThostFtdcTradingNoticeInfoField notice{};
    put(notice.SendTime, clock.stamp().time);
    put(notice.FieldContent, content);
    notice.SequenceSeries = 1;
    notice.SequenceNo = ++next_notice;
    for (TraderSession *session : to) {
        put(notice.BrokerID, session->account->setup.broker);
        put(notice.InvestorID, session->account->setup.user);
        out.send(session->endpoint, "OnRtnTradingNotice", &notice, nullptr, 0, true);
    }
    return CTPSIM_OK;
}

template <class Connected>
int Front::heartbeat_warning(Connected &session, int time_lapse) {
    std::lock_guard lock(mutex);
    keep_time();
    if (!session.connected)
        return CTPSIM_BAD_VALUE;
    Outbox out;
    out.reserve(1, 0);
    out.send_bare(session.endpoint, "OnHeartBeatWarning", time_lapse);
    return CTPSIM_OK;
}

template int Front::heartbeat_warning(TraderSession &, int);
template int Front::heartbeat_warning(MdSession &, int);

}  // namespace standin
