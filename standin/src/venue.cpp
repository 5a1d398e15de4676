// The venue's sessions: connections, login, settlement confirmation and queries.
#include "venue.h"

#include "ctpsim.h"
#include "records.h"
#include "state.h"

#include <atomic>

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

// ---- the venue --------------------------------------------------------------

Venue::Venue(const FrontConfig &config)
    : front_id(config.front_id),
      trading_day(config.trading_day.empty() ? default_trading_day() : config.trading_day) {
    for (const auto &setup : config.instruments) {
        instruments.push_back(std::make_unique<Instrument>(setup));
        Instrument &added = *instruments.back();
        added.book.install(Book::market_quotes(added.reference, setup.market_levels, setup.market_volume, added.lower,
                                               added.upper, ++next_seq));
    }
    for (const auto &setup : config.investors) {
        accounts.push_back(std::make_unique<Account>());
        Account &account = *accounts.back();
        account.setup = setup;
        for (const auto &held : setup.positions) {
            Position &position = account.position(*instrument(held.instrument), held.direction);
            position.yd_start += held.volume;
            position.yd += held.volume;
        }
    }
}

Instrument *Venue::instrument(std::string_view id) {
    for (auto &found : instruments)
        if (found->setup.id == id)
            return found.get();
    return nullptr;
}

Account *Venue::investor(std::string_view broker, std::string_view user) {
    for (auto &found : accounts)
        if (found->setup.broker == broker && found->setup.user == user)
            return found.get();
    return nullptr;
}

std::size_t Venue::listeners(const Account &account) const {
    std::size_t count = 0;
    for (const Session *session : sessions)
        count += session->account == &account;
    return count;
}

int Venue::admit(Session &session, bool query) {
    if (!session.connected)
        return -1;
    if (session.api.pending(0) >= static_cast<std::size_t>(limits::max_pending()))
        return -2;
    // The front announces its query limit at login; before that, queries are
    // only refused with an error record.
    if (query && session.account) {
        const auto interval = std::chrono::milliseconds(limits::query_interval_ms());
        if (session.queried && std::chrono::steady_clock::now() - session.last_query < interval)
            return -3;
    }
    return 0;
}

void Venue::count_query(Session &session) noexcept {
    if (!session.account)
        return;
    session.queried = true;
    session.last_query = std::chrono::steady_clock::now();
}

// ---- connection -------------------------------------------------------------

void Venue::connect(Session &session) {
    std::lock_guard lock(mutex);
    if (session.connected)
        return;
    Outbox out;
    out.reserve(1, 0);
    room_for(sessions, 1);
    session.connected = true;
    session.authenticated = false;
    session.account = nullptr;
    session.queried = false;
    sessions.push_back(&session);
    out.send_bare(session.api, "OnFrontConnected", 0);
}

int Venue::disconnect(Session &session, int reason) {
    std::lock_guard lock(mutex);
    if (!session.connected)
        return CTPSIM_BAD_VALUE;
    Outbox out;
    out.reserve(1, 0);
    std::erase(sessions, &session);
    session.connected = false;
    session.authenticated = false;
    session.account = nullptr;
    out.send_bare(session.api, "OnFrontDisconnected", reason);
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
    send(out, session, "OnRspAuthenticate", &reply, &status, id, true);
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
    else if (!account || account->setup.password != text(r.Password))
        error = Error::bad_password;
    Outbox out;
    out.reserve(1, sizeof(CThostFtdcRspUserLoginField));
    if (error != Error::none) {
        const auto status = info(error);
        send<CThostFtdcRspUserLoginField>(out, session, "OnRspUserLogin", nullptr, &status, id, true);
        return 0;
    }
    CThostFtdcRspUserLoginField reply{};
    const int session_id = next_session_id + 1;
    const Stamp now = wall_clock();
    put(reply.TradingDay, trading_day);
    put(reply.LoginTime, now.time);
    put(reply.BrokerID, account->setup.broker);
    put(reply.UserID, account->setup.user);
    put(reply.SystemName, "standin simulated front");
    reply.FrontID = front_id;
    reply.SessionID = session_id;
    put(reply.MaxOrderRef, std::to_string(account->max_order_ref));
    for (auto *exchange_time : {&reply.SHFETime, &reply.DCETime, &reply.CZCETime, &reply.FFEXTime, &reply.INETime,
                                &reply.GFEXTime})
        put(*exchange_time, now.time);
    put(reply.SysVersion, version_text());

    next_session_id = session_id;
    session.account = account;
    session.session_id = session_id;
    session.max_order_ref = account->max_order_ref;
    session.queried = false;
    session.api.set_trading_day(trading_day);
    const auto status = info(Error::none);
    send(out, session, "OnRspUserLogin", &reply, &status, id, true);
    return 0;
}

int Venue::request(Session &session, const CThostFtdcUserLogoutField &r, int id) {
    std::lock_guard lock(mutex);
    if (int refused = admit(session, false))
        return refused;
    Outbox out;
    out.reserve(1, sizeof r);
    const Error error = session.account ? Error::none : Error::not_logged_in;
    if (error == Error::none) {
        session.account = nullptr;
        session.authenticated = false;
    }
    const auto status = info(error);
    send(out, session, "OnRspUserLogout", &r, &status, id, true);
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
    else if (account->setup.broker != text(r.BrokerID) || account->setup.user != text(r.InvestorID))
        error = Error::investor_mismatch;
    Outbox out;
    out.reserve(1, sizeof r);
    const auto status = info(error);
    if (error != Error::none) {
        send<CThostFtdcSettlementInfoConfirmField>(out, session, "OnRspSettlementInfoConfirm", nullptr, &status, id,
                                                   true);
        return 0;
    }
    // Confirmed once per investor and trading day, for all of its sessions.
    const Stamp now = wall_clock();
    std::string date = now.date;
    std::string time = now.time;
    if (!account->confirmed) {
        account->confirmed = true;
        account->confirm_date.swap(date);
        account->confirm_time.swap(time);
    }
    CThostFtdcSettlementInfoConfirmField reply{};
    put(reply.BrokerID, account->setup.broker);
    put(reply.InvestorID, account->setup.user);
    put(reply.ConfirmDate, account->confirm_date);
    put(reply.ConfirmTime, account->confirm_time);
    reply.SettlementID = 1;
    put(reply.AccountID, account->setup.user);
    put(reply.CurrencyID, "CNY");
    send(out, session, "OnRspSettlementInfoConfirm", &reply, &status, id, true);
    return 0;
}

// ---- queries ----------------------------------------------------------------

namespace {

// An empty filter matches everything.
bool matches(std::string_view filter, std::string_view value) { return filter.empty() || filter == value; }

bool own(const Account &account, std::string_view broker, std::string_view investor) {
    return matches(broker, account.setup.broker) && matches(investor, account.setup.user);
}

}  // namespace

template <class Record, class Collect>
int Venue::query(Session &session, const char *callback, int id, Collect collect) {
    std::lock_guard lock(mutex);
    if (int refused = admit(session, true))
        return refused;
    Outbox out;
    if (!session.account) {
        out.reserve(1, sizeof(Record));
        const auto status = info(Error::not_logged_in);
        send<Record>(out, session, callback, nullptr, &status, id, true);
        return 0;
    }
    std::vector<Record> found;
    collect(static_cast<const Account &>(*session.account), found);
    out.reserve(std::max<std::size_t>(found.size(), 1), sizeof(Record));
    count_query(session);
    const auto status = info(Error::none);
    if (found.empty())
        send<Record>(out, session, callback, nullptr, &status, id, true);
    for (std::size_t i = 0; i < found.size(); ++i)
        send(out, session, callback, &found[i], &status, id, i + 1 == found.size());
    return 0;
}

int Venue::request(Session &session, const CThostFtdcQryInstrumentField &r, int id) {
    return query<CThostFtdcInstrumentField>(session, "OnRspQryInstrument", id, [&](const Account &, auto &found) {
        for (const auto &instrument : instruments) {
            const InstrumentSetup &setup = instrument->setup;
            if (!matches(text(r.ExchangeID), setup.exchange) || !matches(text(r.InstrumentID), setup.id))
                continue;
            CThostFtdcInstrumentField &out = found.emplace_back();
            put(out.reserve1, setup.id);
            put(out.ExchangeID, setup.exchange);
            put(out.InstrumentName, setup.name);
            put(out.reserve2, setup.id);
            put(out.reserve3, setup.product);
            out.ProductClass = '1';
            out.DeliveryYear = setup.delivery_year;
            out.DeliveryMonth = setup.delivery_month;
            out.MaxMarketOrderVolume = setup.max_volume;
            out.MinMarketOrderVolume = setup.min_volume;
            out.MaxLimitOrderVolume = setup.max_volume;
            out.MinLimitOrderVolume = setup.min_volume;
            out.VolumeMultiple = setup.multiple;
            out.PriceTick = setup.tick;
            put(out.CreateDate, "20240101");
            put(out.OpenDate, "20240101");
            put(out.ExpireDate, "20991231");
            out.InstLifePhase = '1';
            out.IsTrading = setup.trading ? 1 : 0;
            out.PositionType = '2';
            out.PositionDateType = instrument->closes_by_date() ? '1' : '2';
            out.LongMarginRatio = setup.long_margin;
            out.ShortMarginRatio = setup.short_margin;
            out.MaxMarginSideAlgorithm = '0';
            put(out.InstrumentID, setup.id);
            put(out.ExchangeInstID, setup.id);
            put(out.ProductID, setup.product);
        }
    });
}

CThostFtdcTradingAccountField Venue::account_record(const Account &account) const {
    CThostFtdcTradingAccountField out{};
    put(out.BrokerID, account.setup.broker);
    put(out.AccountID, account.setup.user);
    out.PreBalance = account.setup.balance;
    out.PreMargin = 0;
    for (const auto &[key, position] : account.positions)
        out.PreMargin += position.instrument->margin(position.direction,
                                                     position.instrument->price(position.instrument->pre_settlement),
                                                     position.yd_start);
    out.Deposit = account.setup.deposit;
    out.Withdraw = account.setup.withdraw;
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
    return query<CThostFtdcTradingAccountField>(
        session, "OnRspQryTradingAccount", id, [&](const Account &account, auto &found) {
        if (own(account, text(r.BrokerID), text(r.InvestorID)) && matches(text(r.CurrencyID), "CNY"))
            found.push_back(account_record(account));
    });
}

CThostFtdcInvestorPositionField Venue::position_record(const Position &position, char date) const {
    const Instrument &instrument = *position.instrument;
    const int multiple = instrument.setup.multiple;
    const double pre_settlement = instrument.price(instrument.pre_settlement);
    const bool whole = !instrument.closes_by_date();
    const bool today_part = date == '1';
    const int today_volume = position.today_volume();
    double today_cost = 0;
    for (const Lot &lot : position.today)
        today_cost += lot.price * lot.volume * multiple;
    const double yd_cost = pre_settlement * position.yd * multiple;

    CThostFtdcInvestorPositionField out{};
    put(out.reserve1, instrument.setup.id);
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
    out.MarginRateByMoney = position.direction == '2' ? instrument.setup.long_margin : instrument.setup.short_margin;
    put(out.ExchangeID, instrument.setup.exchange);
    put(out.InstrumentID, instrument.setup.id);
    return out;
}

int Venue::request(Session &session, const CThostFtdcQryInvestorPositionField &r, int id) {
    return query<CThostFtdcInvestorPositionField>(
        session, "OnRspQryInvestorPosition", id, [&](const Account &account, auto &found) {
        if (own(account, text(r.BrokerID), text(r.InvestorID))) {
            for (const auto &[key, position] : account.positions) {
                const InstrumentSetup &setup = position.instrument->setup;
                if (!matches(text(r.InstrumentID), setup.id) || !matches(text(r.ExchangeID), setup.exchange))
                    continue;
                auto add = [&](char date) {
                    CThostFtdcInvestorPositionField record = position_record(position, date);
                    put(record.BrokerID, account.setup.broker);
                    put(record.InvestorID, account.setup.user);
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
    });
}

int Venue::request(Session &session, const CThostFtdcQryOrderField &r, int id) {
    return query<CThostFtdcOrderField>(session, "OnRspQryOrder", id, [&](const Account &account, auto &found) {
        if (own(account, text(r.BrokerID), text(r.InvestorID)))
            for (const Order *order : account.orders)
                if (matches(text(r.ExchangeID), text(order->record.ExchangeID)) &&
                    matches(text(r.OrderSysID), text(order->record.OrderSysID)) &&
                    matches(text(r.InstrumentID), text(order->record.InstrumentID)))
                    found.push_back(order->record);
    });
}

int Venue::request(Session &session, const CThostFtdcQryTradeField &r, int id) {
    return query<CThostFtdcTradeField>(session, "OnRspQryTrade", id, [&](const Account &account, auto &found) {
        if (own(account, text(r.BrokerID), text(r.InvestorID)))
            for (const auto &trade : account.trades)
                if (matches(text(r.ExchangeID), text(trade.ExchangeID)) &&
                    matches(text(r.InstrumentID), text(trade.InstrumentID)))
                    found.push_back(trade);
    });
}

}  // namespace standin
