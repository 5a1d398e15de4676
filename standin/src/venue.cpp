#include "venue.h"

#include "api.h"
#include "ctpsim.h"
#include "state.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstring>
#include <ctime>

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

// ---- records and events -----------------------------------------------------

template <std::size_t N>
void put(char (&field)[N], std::string_view text) {
    const std::size_t n = std::min(text.size(), N - 1);
    std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, N - n);
}

template <std::size_t N>
std::string_view text(const char (&field)[N]) {
    const void *nul = std::memchr(field, 0, N);
    return {field, nul ? static_cast<std::size_t>(static_cast<const char *>(nul) - field) : N};
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    return text;
}

template <class Record>
Event event(const char *callback, const Record *record, const CThostFtdcRspInfoField *info, int id, bool last) {
    Event e;
    e.kind = find_callback(callback);
    if (record) {
        const auto *bytes = reinterpret_cast<const unsigned char *>(record);
        e.has_record = true;
        e.record.assign(bytes, bytes + sizeof(Record));
    }
    if (info) {
        e.has_info = true;
        e.info = *info;
    }
    e.id = id;
    e.last = last;
    return e;
}

Event bare_event(const char *callback, int id) {
    Event e;
    e.kind = find_callback(callback);
    e.id = id;
    return e;
}

CThostFtdcRspInfoField info(Error error) {
    CThostFtdcRspInfoField out{};
    out.ErrorID = error_id(error);
    put(out.ErrorMsg, error_text(error));
    return out;
}

// ---- clock ------------------------------------------------------------------

std::tm local_now() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    ::localtime_r(&now, &parts);
    return parts;
}

std::string date_text(const std::tm &parts) {
    char out[16];
    std::strftime(out, sizeof out, "%Y%m%d", &parts);
    return out;
}

std::string today() { return date_text(local_now()); }

std::string now_time() {
    const std::tm parts = local_now();
    char out[16];
    std::strftime(out, sizeof out, "%H:%M:%S", &parts);
    return out;
}

// Today, or the Monday after a weekend.
std::string default_trading_day() {
    std::tm parts = local_now();
    const int skip = parts.tm_wday == 6 ? 2 : parts.tm_wday == 0 ? 1 : 0;
    parts.tm_mday += skip;
    parts.tm_hour = 12;
    std::mktime(&parts);
    return date_text(parts);
}

bool parse_ref(std::string_view text, long long &out) {
    if (text.empty() || text.size() > 12)
        return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc() && end == text.data() + text.size() && out > 0;
}

// Where a position's direction comes from an order: opens go with the order,
// closes against it.
char position_direction(const Order &order) {
    const bool long_side = order.bucket == Bucket::open ? order.buy : !order.buy;
    return long_side ? '2' : '3';
}

}  // namespace

// ---- the venue --------------------------------------------------------------

Venue::Venue(std::string name, const FrontConfig &config)
    : name_(std::move(name)), front_id(config.front_id),
      trading_day(config.trading_day.empty() ? default_trading_day() : config.trading_day) {
    for (const auto &spec : config.instruments) {
        instruments.push_back(std::make_unique<Instrument>(spec));
        Instrument &added = *instruments.back();
        added.book.quote_market(added.reference, spec.market_levels, spec.market_volume, added.lower, added.upper,
                                ++next_seq);
    }
    for (const auto &spec : config.investors) {
        accounts.push_back(std::make_unique<Account>());
        Account &account = *accounts.back();
        account.spec = spec;
        for (const auto &held : spec.positions) {
            Position &position = account.position(*instrument(held.instrument), held.direction);
            position.yd_start += held.volume;
            position.yd += held.volume;
        }
    }
}

Instrument *Venue::instrument(std::string_view id) {
    for (auto &found : instruments)
        if (found->spec.id == id)
            return found.get();
    return nullptr;
}

Account *Venue::investor(std::string_view broker, std::string_view user) {
    for (auto &found : accounts)
        if (found->spec.broker == broker && found->spec.user == user)
            return found.get();
    return nullptr;
}

void Venue::send(Session &session, Event e) { session.api.post(0, std::move(e)); }

void Venue::notify(const Account &account, const Event &e) {
    for (Session *session : sessions)
        if (session->account == &account)
            send(*session, e);
}

int Venue::admit(Session &session, bool query) {
    if (!session.connected)
        return -1;
    if (session.api.pending(0) >= static_cast<std::size_t>(limits::max_pending()))
        return -2;
    // The front announces its query limit at login; before that, queries are
    // only refused with an error record.
    if (query && session.account) {
        const auto now = std::chrono::steady_clock::now();
        const auto interval = std::chrono::milliseconds(limits::query_interval_ms());
        if (session.queried && now - session.last_query < interval)
            return -3;
        session.queried = true;
        session.last_query = now;
    }
    return 0;
}

// ---- connection -------------------------------------------------------------

void Venue::connect(Session &session) {
    std::lock_guard lock(mutex);
    if (session.connected)
        return;
    session.connected = true;
    session.authenticated = false;
    session.account = nullptr;
    session.queried = false;
    sessions.push_back(&session);
    send(session, bare_event("OnFrontConnected", 0));
}

int Venue::disconnect(Session &session, int reason) {
    std::lock_guard lock(mutex);
    if (!session.connected)
        return CTPSIM_BAD_VALUE;
    std::erase(sessions, &session);
    session.connected = false;
    session.authenticated = false;
    session.account = nullptr;
    send(session, bare_event("OnFrontDisconnected", reason));
    return CTPSIM_OK;
}

int Venue::reconnect(Session &session) {
    {
        std::lock_guard lock(mutex);
        if (session.connected)
            return CTPSIM_BAD_VALUE;
    }
    connect(session);
    return CTPSIM_OK;
}

void Venue::leave(Session &session) {
    std::lock_guard lock(mutex);
    std::erase(sessions, &session);
    session.connected = false;
    session.account = nullptr;
}

// ---- authentication and login -----------------------------------------------

int Venue::request(Session &session, const CThostFtdcReqAuthenticateField &r, int id) {
    std::lock_guard lock(mutex);
    if (int refused = admit(session, false))
        return refused;
    CThostFtdcRspAuthenticateField reply{};
    put(reply.BrokerID, text(r.BrokerID));
    put(reply.UserID, text(r.UserID));
    put(reply.UserProductInfo, text(r.UserProductInfo));
    put(reply.AppID, text(r.AppID));
    reply.AppType = '1';
    Error error = Error::none;
    const Account *account = investor(text(r.BrokerID), text(r.UserID));
    if (session.account)
        error = Error::already_logged_in;
    else if (!account || account->spec.app_id != text(r.AppID) || account->spec.auth_code != text(r.AuthCode))
        error = Error::auth_failed;
    if (error == Error::none) {
        session.authenticated = true;
        session.auth_broker = text(r.BrokerID);
        session.auth_user = text(r.UserID);
    }
    const auto status = info(error);
    send(session, event("OnRspAuthenticate", &reply, &status, id, true));
    return 0;
}

int Venue::request(Session &session, const CThostFtdcReqUserLoginField &r, int id) {
    std::lock_guard lock(mutex);
    if (int refused = admit(session, false))
        return refused;
    Account *account = investor(text(r.BrokerID), text(r.UserID));
    Error error = Error::none;
    if (session.account)
        error = Error::already_logged_in;
    else if (!session.authenticated || session.auth_broker != text(r.BrokerID) || session.auth_user != text(r.UserID))
        error = Error::not_authenticated;
    else if (!account || account->spec.password != text(r.Password))
        error = Error::bad_password;
    if (error != Error::none) {
        const auto status = info(error);
        send(session, event<CThostFtdcRspUserLoginField>("OnRspUserLogin", nullptr, &status, id, true));
        return 0;
    }
    session.account = account;
    session.session_id = ++next_session_id;
    session.max_order_ref = account->max_order_ref;
    session.queried = false;
    session.api.set_trading_day(trading_day);

    CThostFtdcRspUserLoginField reply{};
    const std::string time = now_time();
    put(reply.TradingDay, trading_day);
    put(reply.LoginTime, time);
    put(reply.BrokerID, account->spec.broker);
    put(reply.UserID, account->spec.user);
    put(reply.SystemName, "standin simulated front");
    reply.FrontID = front_id;
    reply.SessionID = session.session_id;
    put(reply.MaxOrderRef, std::to_string(session.max_order_ref));
    for (auto *exchange_time : {&reply.SHFETime, &reply.DCETime, &reply.CZCETime, &reply.FFEXTime, &reply.INETime,
                                &reply.GFEXTime})
        put(*exchange_time, time);
    put(reply.SysVersion, version_text());
    const auto status = info(Error::none);
    send(session, event("OnRspUserLogin", &reply, &status, id, true));
    return 0;
}

int Venue::request(Session &session, const CThostFtdcUserLogoutField &r, int id) {
    std::lock_guard lock(mutex);
    if (int refused = admit(session, false))
        return refused;
    const Error error = session.account ? Error::none : Error::not_logged_in;
    if (error == Error::none) {
        session.account = nullptr;
        session.authenticated = false;
    }
    const auto status = info(error);
    send(session, event("OnRspUserLogout", &r, &status, id, true));
    return 0;
}

int Venue::request(Session &session, const CThostFtdcSettlementInfoConfirmField &r, int id) {
    std::lock_guard lock(mutex);
    if (int refused = admit(session, false))
        return refused;
    Account *account = session.account;
    Error error = Error::none;
    if (!account)
        error = Error::not_logged_in;
    else if (account->spec.broker != text(r.BrokerID) || account->spec.user != text(r.InvestorID))
        error = Error::investor_mismatch;
    const auto status = info(error);
    if (error != Error::none) {
        send(session, event<CThostFtdcSettlementInfoConfirmField>("OnRspSettlementInfoConfirm", nullptr, &status, id,
                                                                   true));
        return 0;
    }
    // Confirmed once per investor and trading day, for all of its sessions.
    if (!account->confirmed) {
        account->confirmed = true;
        account->confirm_date = today();
        account->confirm_time = now_time();
    }
    CThostFtdcSettlementInfoConfirmField reply{};
    put(reply.BrokerID, account->spec.broker);
    put(reply.InvestorID, account->spec.user);
    put(reply.ConfirmDate, account->confirm_date);
    put(reply.ConfirmTime, account->confirm_time);
    reply.SettlementID = 1;
    put(reply.AccountID, account->spec.user);
    put(reply.CurrencyID, "CNY");
    send(session, event("OnRspSettlementInfoConfirm", &reply, &status, id, true));
    return 0;
}

// ---- queries ----------------------------------------------------------------

template <class Record>
void Venue::answer(Session &session, const char *callback, int id, const std::vector<Record> &records) {
    const auto status = info(Error::none);
    if (records.empty()) {
        send(session, event<Record>(callback, nullptr, &status, id, true));
        return;
    }
    for (std::size_t i = 0; i < records.size(); ++i)
        send(session, event(callback, &records[i], &status, id, i + 1 == records.size()));
}

namespace {

// An empty filter matches everything.
bool matches(std::string_view filter, std::string_view value) { return filter.empty() || filter == value; }

template <class Record>
bool refuse_query(Session &session, const char *callback, int id) {
    if (session.account)
        return false;
    const auto status = info(Error::not_logged_in);
    session.api.post(0, event<Record>(callback, nullptr, &status, id, true));
    return true;
}

bool own(const Account &account, std::string_view broker, std::string_view investor) {
    return matches(broker, account.spec.broker) && matches(investor, account.spec.user);
}

}  // namespace

int Venue::request(Session &session, const CThostFtdcQryInstrumentField &r, int id) {
    std::lock_guard lock(mutex);
    if (int refused = admit(session, true))
        return refused;
    if (refuse_query<CThostFtdcInstrumentField>(session, "OnRspQryInstrument", id))
        return 0;
    std::vector<CThostFtdcInstrumentField> found;
    for (const auto &instrument : instruments) {
        const InstrumentSpec &spec = instrument->spec;
        if (!matches(text(r.ExchangeID), spec.exchange) || !matches(text(r.InstrumentID), spec.id))
            continue;
        CThostFtdcInstrumentField &out = found.emplace_back();
        put(out.reserve1, spec.id);
        put(out.ExchangeID, spec.exchange);
        put(out.InstrumentName, spec.name);
        put(out.reserve2, spec.id);
        put(out.reserve3, spec.product);
        out.ProductClass = '1';
        out.DeliveryYear = spec.delivery_year;
        out.DeliveryMonth = spec.delivery_month;
        out.MaxMarketOrderVolume = spec.max_volume;
        out.MinMarketOrderVolume = spec.min_volume;
        out.MaxLimitOrderVolume = spec.max_volume;
        out.MinLimitOrderVolume = spec.min_volume;
        out.VolumeMultiple = spec.multiple;
        out.PriceTick = spec.tick;
        put(out.CreateDate, "20240101");
        put(out.OpenDate, "20240101");
        put(out.ExpireDate, "20991231");
        out.InstLifePhase = '1';
        out.IsTrading = spec.trading ? 1 : 0;
        out.PositionType = '2';
        out.PositionDateType = instrument->closes_by_date() ? '1' : '2';
        out.LongMarginRatio = spec.long_margin;
        out.ShortMarginRatio = spec.short_margin;
        out.MaxMarginSideAlgorithm = '0';
        put(out.InstrumentID, spec.id);
        put(out.ExchangeInstID, spec.id);
        put(out.ProductID, spec.product);
    }
    answer(session, "OnRspQryInstrument", id, found);
    return 0;
}

CThostFtdcTradingAccountField Venue::account_record(const Account &account) const {
    CThostFtdcTradingAccountField out{};
    put(out.BrokerID, account.spec.broker);
    put(out.AccountID, account.spec.user);
    out.PreBalance = account.spec.balance;
    out.PreMargin = 0;
    for (const auto &[key, position] : account.positions)
        out.PreMargin += position.instrument->margin(position.direction,
                                                     position.instrument->price(position.instrument->pre_settlement),
                                                     position.yd_start);
    out.Deposit = account.spec.deposit;
    out.Withdraw = account.spec.withdraw;
    out.FrozenMargin = account.frozen_margin();
    out.FrozenCommission = account.frozen_commission();
    out.CurrMargin = account.curr_margin();
    out.Commission = account.commission;
    out.CloseProfit = account.close_profit;
    out.PositionProfit = account.position_profit();
    out.Balance = account.balance();
    out.Available = account.available();
    out.WithdrawQuota = std::max(0.0, out.Available);
    put(out.TradingDay, trading_day);
    out.SettlementID = 1;
    out.ExchangeMargin = out.CurrMargin;
    put(out.CurrencyID, "CNY");
    out.BizType = '1';
    return out;
}

int Venue::request(Session &session, const CThostFtdcQryTradingAccountField &r, int id) {
    std::lock_guard lock(mutex);
    if (int refused = admit(session, true))
        return refused;
    if (refuse_query<CThostFtdcTradingAccountField>(session, "OnRspQryTradingAccount", id))
        return 0;
    std::vector<CThostFtdcTradingAccountField> found;
    if (own(*session.account, text(r.BrokerID), text(r.InvestorID)) && matches(text(r.CurrencyID), "CNY"))
        found.push_back(account_record(*session.account));
    answer(session, "OnRspQryTradingAccount", id, found);
    return 0;
}

CThostFtdcInvestorPositionField Venue::position_record(const Position &position, char date) const {
    const Instrument &instrument = *position.instrument;
    const int multiple = instrument.spec.multiple;
    const double pre_settlement = instrument.price(instrument.pre_settlement);
    const bool whole = !instrument.closes_by_date();
    const bool today_part = date == '1';
    const int today_volume = position.today_volume();
    double today_cost = 0;
    for (const Lot &lot : position.today)
        today_cost += lot.price * lot.volume * multiple;
    const double yd_cost = pre_settlement * position.yd * multiple;

    CThostFtdcInvestorPositionField out{};
    put(out.reserve1, instrument.spec.id);
    out.PosiDirection = position.direction;
    out.HedgeFlag = '1';
    out.PositionDate = date;
    int frozen = 0;
    if (whole) {
        out.Position = position.yd + today_volume;
        out.TodayPosition = today_volume;
        out.YdPosition = position.yd_start;
        frozen = position.frozen_any;
        out.UseMargin = position.today_margin() + position.yd_margin();
        out.PositionProfit = position.today_profit() + position.yd_profit();
        out.PositionCost = today_cost + yd_cost;
    } else if (today_part) {
        out.Position = today_volume;
        out.TodayPosition = today_volume;
        frozen = position.frozen_today;
        out.UseMargin = position.today_margin();
        out.PositionProfit = position.today_profit();
        out.PositionCost = today_cost;
    } else {
        out.Position = position.yd;
        out.YdPosition = position.yd_start;
        frozen = position.frozen_yd;
        out.UseMargin = position.yd_margin();
        out.PositionProfit = position.yd_profit();
        out.PositionCost = yd_cost;
    }
    // A long position is closed by sells: their pending volume shows as
    // ShortFrozen; a short one's as LongFrozen.
    (position.direction == '2' ? out.ShortFrozen : out.LongFrozen) = frozen;
    if (whole || today_part) {
        out.OpenVolume = position.open_volume;
        out.CloseVolume = position.close_volume;
        out.OpenAmount = position.open_amount;
        out.CloseAmount = position.close_amount;
        out.Commission = position.commission;
        out.CloseProfit = position.close_profit;
    }
    out.OpenCost = out.PositionCost;
    out.ExchangeMargin = out.UseMargin;
    out.PreSettlementPrice = pre_settlement;
    out.SettlementPrice = instrument.price(instrument.reference);
    put(out.TradingDay, trading_day);
    out.SettlementID = 1;
    out.MarginRateByMoney = position.direction == '2' ? instrument.spec.long_margin : instrument.spec.short_margin;
    put(out.ExchangeID, instrument.spec.exchange);
    put(out.InstrumentID, instrument.spec.id);
    return out;
}

int Venue::request(Session &session, const CThostFtdcQryInvestorPositionField &r, int id) {
    std::lock_guard lock(mutex);
    if (int refused = admit(session, true))
        return refused;
    if (refuse_query<CThostFtdcInvestorPositionField>(session, "OnRspQryInvestorPosition", id))
        return 0;
    const Account &account = *session.account;
    std::vector<CThostFtdcInvestorPositionField> found;
    if (own(account, text(r.BrokerID), text(r.InvestorID))) {
        for (const auto &[key, position] : account.positions) {
            const InstrumentSpec &spec = position.instrument->spec;
            if (!matches(text(r.InstrumentID), spec.id) || !matches(text(r.ExchangeID), spec.exchange))
                continue;
            auto add = [&](char date) {
                CThostFtdcInvestorPositionField record = position_record(position, date);
                put(record.BrokerID, account.spec.broker);
                put(record.InvestorID, account.spec.user);
                found.push_back(record);
            };
            if (!position.instrument->closes_by_date()) {
                if (position.opened_today || position.yd_start > 0)
                    add('1');
                continue;
            }
            if (position.opened_today)
                add('1');
            if (position.yd_start > 0)
                add('2');
        }
    }
    answer(session, "OnRspQryInvestorPosition", id, found);
    return 0;
}

int Venue::request(Session &session, const CThostFtdcQryOrderField &r, int id) {
    std::lock_guard lock(mutex);
    if (int refused = admit(session, true))
        return refused;
    if (refuse_query<CThostFtdcOrderField>(session, "OnRspQryOrder", id))
        return 0;
    const Account &account = *session.account;
    std::vector<CThostFtdcOrderField> found;
    if (own(account, text(r.BrokerID), text(r.InvestorID)))
        for (const Order *order : account.orders)
            if (matches(text(r.ExchangeID), text(order->record.ExchangeID)) &&
                matches(text(r.OrderSysID), text(order->record.OrderSysID)) &&
                matches(text(r.InstrumentID), text(order->record.InstrumentID)))
                found.push_back(order->record);
    answer(session, "OnRspQryOrder", id, found);
    return 0;
}

int Venue::request(Session &session, const CThostFtdcQryTradeField &r, int id) {
    std::lock_guard lock(mutex);
    if (int refused = admit(session, true))
        return refused;
    if (refuse_query<CThostFtdcTradeField>(session, "OnRspQryTrade", id))
        return 0;
    const Account &account = *session.account;
    std::vector<CThostFtdcTradeField> found;
    if (own(account, text(r.BrokerID), text(r.InvestorID)))
        for (const auto &trade : account.trades)
            if (matches(text(r.ExchangeID), text(trade.ExchangeID)) &&
                matches(text(r.InstrumentID), text(trade.InstrumentID)))
                found.push_back(trade);
    answer(session, "OnRspQryTrade", id, found);
    return 0;
}

// ---- orders -----------------------------------------------------------------

Error Venue::check_order(Session &session, const CThostFtdcInputOrderField &in, Order &order, long long &order_ref) {
    Account &account = *session.account;
    if (account.spec.broker != text(in.BrokerID) || account.spec.user != text(in.InvestorID))
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
    if (!instrument || !matches(text(in.ExchangeID), instrument->spec.exchange))
        return Error::unknown_instrument;
    if (!instrument->spec.trading)
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
    if (in.VolumeTotalOriginal < instrument->spec.min_volume || in.VolumeTotalOriginal > instrument->spec.max_volume)
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
        auto found = account.positions.find({instrument->spec.id, held});
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
    if (instrument->book.meets_own(order.buy, limit, account))
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
    order.live = true;
    order.seq = ++next_seq;
    if (order.bucket != Bucket::open)
        account.position(instrument, position_direction(order)).frozen(order.bucket) += order.remaining;

    CThostFtdcOrderField &o = order.record;
    put(o.BrokerID, text(in.BrokerID));
    put(o.InvestorID, text(in.InvestorID));
    put(o.reserve1, instrument.spec.id);
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
    put(o.ExchangeID, instrument.spec.exchange);
    put(o.ParticipantID, account.spec.broker);
    put(o.ClientID, account.spec.user);
    put(o.reserve2, instrument.spec.id);
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
    put(o.AccountID, account.spec.user);
    put(o.CurrencyID, "CNY");
    put(o.InstrumentID, instrument.spec.id);
    put(o.ExchangeInstID, instrument.spec.id);
    update(order, 'a', status_text::submitted);

    // The exchange takes it.
    const std::string sys_id = std::to_string(++next_order_sys_id);
    put(o.OrderSysID, sys_id);
    by_sys_id[{instrument.spec.exchange, sys_id}] = &order;
    o.OrderSubmitStatus = '3';
    update(order, '3', status_text::queued);

    const bool immediate = in.TimeCondition == '1';
    if (in.VolumeCondition == '3' && instrument.book.available(order.buy, order.limit, order.remaining) < order.remaining) {
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
    const double amount = price * volume * instrument.spec.multiple;
    order.remaining -= volume;
    if (order.remaining == 0)
        order.live = false;

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
    put(t.reserve1, instrument.spec.id);
    put(t.OrderRef, text(o.OrderRef));
    put(t.UserID, text(o.UserID));
    put(t.ExchangeID, instrument.spec.exchange);
    put(t.TradeID, trade_id);
    t.Direction = o.Direction;
    put(t.OrderSysID, text(o.OrderSysID));
    put(t.ParticipantID, text(o.ParticipantID));
    put(t.ClientID, text(o.ClientID));
    t.TradingRole = '1';
    put(t.reserve2, instrument.spec.id);
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
    put(t.InstrumentID, instrument.spec.id);
    put(t.ExchangeInstID, instrument.spec.id);
    account.trades.push_back(t);
    notify(account, event("OnRtnTrade", &t, static_cast<const CThostFtdcRspInfoField *>(nullptr), 0, true));
}

void Venue::finish(Order &order, const char *status_message) {
    order.instrument->book.remove(order);
    order.resting = false;
    order.live = false;
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
    if (account.spec.broker != text(r.BrokerID) || account.spec.user != text(r.InvestorID)) {
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
    instrument.book.quote_market(instrument.reference, instrument.spec.market_levels, instrument.spec.market_volume,
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
