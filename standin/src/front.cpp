// The front's sessions: connections, what it admits, the session protocol,
// queries, orders and cancels passed to its exchange, and market-data requests.
#include "front.h"

#include "ctpsim.h"
#include "records.h"
#include "state.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <memory>
#include <type_traits>

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

}  // namespace

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

Front::Front(const FrontConfig &config)
    : front_id(config.front_id), clock(configured(config)), exchange(config, clock, *this), feed(exchange) {}

std::size_t Front::listeners(const Account &account) const {
    std::size_t count = 0;
    for (const TraderSession *session : traders)
        count += session->account == &account;
    return count;
}

void Front::notify(Outbox &out, const Account &account, const char *callback, const void *record, std::size_t size,
                   const CThostFtdcRspInfoField *info) noexcept {
    for (TraderSession *session : traders)
        if (session->account == &account)
            out.send(session->endpoint, callback, record, size, info, 0, true);
}

std::size_t Front::audience() const {
    std::size_t count = 0;
    for (const TraderSession *session : traders)
        count += session->logged_in();
    return count;
}

void Front::broadcast(Outbox &out, const char *callback, const void *record, std::size_t size) noexcept {
    for (TraderSession *session : traders)
        if (session->logged_in())
            out.send(session->endpoint, callback, record, size, nullptr, 0, true);
}

void Front::restart(Outbox &out) noexcept {
    // As when a real front restarts for the new day: the connection drops
    // (a read failure, to the client) and comes back at once.
    for (TraderSession *session : traders) {
        session->log_out();
        out.send_bare(session->endpoint, "OnFrontDisconnected", 0x1001);
        out.send_bare(session->endpoint, "OnFrontConnected", 0);
    }
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
    // The front announces its query limit at login; before that, queries are
    // only refused with an error record.
    if (session.account && session.queried) {
        const auto interval = std::chrono::milliseconds(limits::query_interval_ms());
        if (std::chrono::steady_clock::now() - session.last_query < interval)
            return -3;
    }
    return 0;
}

void Front::count_query(TraderSession &session) noexcept {
    if (!session.account)
        return;
    session.queried = true;
    session.last_query = std::chrono::steady_clock::now();
}

// ---- connection -------------------------------------------------------------

template <class Connected>
void Front::connect(Connected &session) {
    std::lock_guard lock(mutex);
    keep_time();
    if (session.connected)
        return;
    Outbox out;
    out.reserve(1, 0);
    auto &list = connected(session);
    room_for(list, 1);
    session.connected = true;
    session.log_out();
    list.push_back(&session);
    out.send_bare(session.endpoint, "OnFrontConnected", 0);
}

template <class Connected>
int Front::disconnect(Connected &session, int reason) {
    std::lock_guard lock(mutex);
    keep_time();
    if (!session.connected)
        return CTPSIM_BAD_VALUE;
    Outbox out;
    out.reserve(1, 0);
    std::erase(connected(session), &session);
    session.connected = false;
    session.log_out();
    out.send_bare(session.endpoint, "OnFrontDisconnected", reason);
    return CTPSIM_OK;
}

template <class Connected>
int Front::reconnect(Connected &session) {
    {
        std::lock_guard lock(mutex);
        if (session.connected)
            return CTPSIM_BAD_VALUE;
    }
    connect(session);
    return CTPSIM_OK;
}

template <class Connected>
void Front::leave(Connected &session) {
    std::lock_guard lock(mutex);
    std::erase(connected(session), &session);
    session.connected = false;
    session.log_out();
}

template void Front::connect(TraderSession &);
template void Front::connect(MdSession &);
template int Front::disconnect(TraderSession &, int);
template int Front::disconnect(MdSession &, int);
template int Front::reconnect(TraderSession &);
template int Front::reconnect(MdSession &);
template void Front::leave(TraderSession &);
template void Front::leave(MdSession &);

// ---- authentication and login -----------------------------------------------

CThostFtdcRspUserLoginField Front::login_record(std::string_view broker, std::string_view user, int session_id,
                                                long long max_order_ref) const {
    CThostFtdcRspUserLoginField reply{};
    const Stamp now = clock.stamp();
    put(reply.TradingDay, exchange.trading_day());
    put(reply.LoginTime, now.time);
    put(reply.BrokerID, broker);
    put(reply.UserID, user);
    put(reply.SystemName, "standin simulated front");
    reply.FrontID = front_id;
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
    Account *account = exchange.investor(text(r.BrokerID), text(r.UserID));
    Error error = Error::none;
    if (session.account)
        error = Error::already_logged_in;
    else if (!session.authenticated || session.auth_broker != text(r.BrokerID) || session.auth_user != text(r.UserID))
        error = Error::not_authenticated;
    else if (!account || account->password != text(r.Password))
        error = Error::bad_password;
    Outbox out;
    if (error != Error::none) {
        out.reserve(1, sizeof(CThostFtdcRspUserLoginField));
        const auto status = info(error);
        out.send<CThostFtdcRspUserLoginField>(session.endpoint, "OnRspUserLogin", nullptr, &status, id, true);
        return 0;
    }
    // The reply, then every instrument's status.
    const auto &instruments = exchange.instruments();
    out.reserve(1 + instruments.size(),
                std::max(sizeof(CThostFtdcRspUserLoginField), sizeof(CThostFtdcInstrumentStatusField)));
    const int session_id = next_session_id + 1;
    const CThostFtdcRspUserLoginField reply =
        login_record(account->setup.broker, account->setup.user, session_id, account->max_order_ref);
    next_session_id = session_id;
    session.account = account;
    session.session_id = session_id;
    session.max_order_ref = account->max_order_ref;
    session.queried = false;
    session.endpoint.set_trading_day(exchange.trading_day());
    const auto status = info(Error::none);
    out.send(session.endpoint, "OnRspUserLogin", &reply, &status, id, true);
    for (const auto &instrument : instruments) {
        const CThostFtdcInstrumentStatusField notice = exchange.status_record(*instrument);
        out.send(session.endpoint, "OnRtnInstrumentStatus", &notice, nullptr, 0, true);
    }
    return 0;
}

template <class Connected>
int Front::log_out(Connected &session, const CThostFtdcUserLogoutField &r, int id) {
    std::lock_guard lock(mutex);
    keep_time();
    if (int refused = admit(session))
        return refused;
    Outbox out;
    out.reserve(1, sizeof r);
    Error error = session.logged_in() ? Error::none : Error::not_logged_in;
    // A trading session logs out only as its own user.
    if constexpr (std::is_same_v<Connected, TraderSession>)
        if (error == Error::none &&
            (session.account->setup.broker != text(r.BrokerID) || session.account->setup.user != text(r.UserID)))
            error = Error::investor_mismatch;
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
    Account *account = session.account;
    Error error = Error::none;
    if (!account)
        error = Error::not_logged_in;
    else if (account->setup.broker != text(r.BrokerID) || account->setup.user != text(r.InvestorID))
        error = Error::investor_mismatch;
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
    Outbox out;
    if (!session.account) {
        out.reserve(1, sizeof(Record));
        const auto status = info(Error::not_logged_in);
        out.send<Record>(session.endpoint, callback, nullptr, &status, id, true);
        return 0;
    }
    std::vector<Record> found;
    exchange.collect(*session.account, filter, found);
    out.reserve(std::max<std::size_t>(found.size(), 1), sizeof(Record));
    count_query(session);
    const auto status = info(Error::none);
    if (found.empty())
        out.send<Record>(session.endpoint, callback, nullptr, &status, id, true);
    for (std::size_t i = 0; i < found.size(); ++i)
        out.send(session.endpoint, callback, &found[i], &status, id, i + 1 == found.size());
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
    Account *account = session.account;
    Error error = Error::none;
    if (!account)
        error = Error::not_logged_in;
    else if (account->setup.broker != text(r.BrokerID) || account->setup.user != text(r.UserID))
        error = Error::investor_mismatch;
    else if (account->password != text(r.OldPassword))
        error = Error::wrong_old_password;
    else if (text(r.NewPassword).empty())
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
    keep_time();
    if (int refused = admit(session))
        return refused;
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
    if (error == Error::none)
        error = exchange.check(*session.account, r, *ready.order);
    CThostFtdcInputOrderField input = r;
    if (order_ref > 0 && trim(text(r.OrderRef)).empty())
        put(input.OrderRef, std::to_string(order_ref));
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
    exchange.accept({front_id, session.session_id}, input, id, ready, out);
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
    keep_time();
    if (int refused = admit(session))
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
    Order *order = exchange.order(text(r.ExchangeID), trim(text(r.OrderSysID)));
    if (!order || order->account != &account) {
        reject_action(session, r, nullptr, id, Error::order_not_found);
        return 0;
    }
    if (!order->live) {
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
    const CThostFtdcRspUserLoginField reply = login_record(text(r.BrokerID), text(r.UserID), 0, 0);
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
    const std::optional<Millis> due = exchange.next_due();
    return due ? clock.until(*due) : std::nullopt;
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
