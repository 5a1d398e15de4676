// The exchange's records: what queries find (instruments, the account,
// positions, orders, trades) and the market-data snapshot.
#include "exchange.h"

#include <algorithm>
#include <cfloat>
#include <climits>

namespace standin {

namespace {

// BrokerID and InvestorID, when given, must be the session's own: a query
// naming another investor finds nothing.
bool own(const Account &account, std::string_view broker, std::string_view investor) {
    return matches(broker, account.setup.broker) && matches(investor, account.setup.user);
}

}  // namespace

void Exchange::collect(const Account &, const CThostFtdcQryInstrumentField &query,
                       std::vector<CThostFtdcInstrumentField> &found) const {
    for (const auto &instrument : instruments_) {
        const InstrumentSetup &setup = instrument->setup;
        if (!matches(text(query.ExchangeID), setup.exchange) || !matches(text(query.InstrumentID), setup.id))
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
}

CThostFtdcTradingAccountField Exchange::account_record(const Account &account) const {
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
    put(out.TradingDay, trading_day_);
    out.SettlementID = 1;
    out.ExchangeMargin = out.CurrMargin;
    put(out.CurrencyID, "CNY");
    out.BizType = '1';
    return out;
}

void Exchange::collect(const Account &account, const CThostFtdcQryTradingAccountField &query,
                       std::vector<CThostFtdcTradingAccountField> &found) const {
    if (own(account, text(query.BrokerID), text(query.InvestorID)) && matches(text(query.CurrencyID), "CNY"))
        found.push_back(account_record(account));
}

CThostFtdcInvestorPositionField Exchange::position_record(const Position &position, char date) const {
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
    put(out.TradingDay, trading_day_);
    out.SettlementID = 1;
    out.MarginRateByMoney = position.direction == '2' ? instrument.setup.long_margin : instrument.setup.short_margin;
    put(out.ExchangeID, instrument.setup.exchange);
    put(out.InstrumentID, instrument.setup.id);
    return out;
}

void Exchange::collect(const Account &account, const CThostFtdcQryInvestorPositionField &query,
                       std::vector<CThostFtdcInvestorPositionField> &found) const {
    if (own(account, text(query.BrokerID), text(query.InvestorID))) {
        for (const auto &[key, position] : account.positions) {
            const InstrumentSetup &setup = position.instrument->setup;
            if (!matches(text(query.InstrumentID), setup.id) || !matches(text(query.ExchangeID), setup.exchange))
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
}

void Exchange::collect(const Account &account, const CThostFtdcQryOrderField &query,
                       std::vector<CThostFtdcOrderField> &found) const {
    if (own(account, text(query.BrokerID), text(query.InvestorID)))
        for (const Order *order : account.orders)
            if (matches(text(query.ExchangeID), text(order->record.ExchangeID)) &&
                matches(text(query.OrderSysID), text(order->record.OrderSysID)) &&
                matches(text(query.InstrumentID), text(order->record.InstrumentID)))
                found.push_back(order->record);
}

void Exchange::collect(const Account &account, const CThostFtdcQryTradeField &query,
                       std::vector<CThostFtdcTradeField> &found) const {
    if (own(account, text(query.BrokerID), text(query.InvestorID)))
        for (const auto &trade : account.trades)
            if (matches(text(query.ExchangeID), text(trade.ExchangeID)) &&
                matches(text(query.InstrumentID), text(trade.InstrumentID)))
                found.push_back(trade);
}

CThostFtdcDepthMarketDataField Exchange::depth(const Instrument &instrument) const {
    constexpr double unset = DBL_MAX;
    CThostFtdcDepthMarketDataField d{};
    const Stamp now = clock.now();
    put(d.TradingDay, trading_day_);
    put(d.ActionDay, now.date);
    put(d.UpdateTime, now.time);
    d.UpdateMillisec = now.millisec;
    put(d.ExchangeID, instrument.setup.exchange);
    put(d.InstrumentID, instrument.setup.id);
    put(d.ExchangeInstID, instrument.setup.id);
    put(d.reserve1, instrument.setup.id);
    put(d.reserve2, instrument.setup.id);
    auto price = [&](Ticks ticks) { return instrument.price(ticks); };
    d.PreSettlementPrice = price(instrument.pre_settlement);
    d.PreClosePrice = price(instrument.pre_settlement);
    // Open interest: every investor's long lots (as many as short ones).
    double pre_interest = 0;
    double interest = 0;
    for (const auto &account : accounts)
        for (const auto &[key, position] : account->positions)
            if (position.instrument == &instrument && position.direction == '2') {
                pre_interest += position.yd_start;
                interest += position.yd + position.today_volume();
            }
    d.PreOpenInterest = pre_interest;
    d.OpenInterest = interest;
    d.LastPrice = instrument.traded ? price(instrument.last) : unset;
    d.OpenPrice = instrument.traded ? price(instrument.open) : unset;
    d.HighestPrice = instrument.traded ? price(instrument.high) : unset;
    d.LowestPrice = instrument.traded ? price(instrument.low) : unset;
    d.Volume = static_cast<int>(std::min<long long>(instrument.volume, INT_MAX));
    d.Turnover = instrument.turnover;
    d.ClosePrice = unset;
    d.SettlementPrice = unset;
    d.UpperLimitPrice = price(instrument.upper);
    d.LowerLimitPrice = price(instrument.lower);
    d.PreDelta = unset;
    d.CurrDelta = unset;
    d.AveragePrice = instrument.volume ? instrument.turnover / static_cast<double>(instrument.volume) : unset;
    d.BandingUpperPrice = unset;
    d.BandingLowerPrice = unset;
    const Instrument::Top top = instrument.top();
    double *bid_prices[] = {&d.BidPrice1, &d.BidPrice2, &d.BidPrice3, &d.BidPrice4, &d.BidPrice5};
    int *bid_volumes[] = {&d.BidVolume1, &d.BidVolume2, &d.BidVolume3, &d.BidVolume4, &d.BidVolume5};
    double *ask_prices[] = {&d.AskPrice1, &d.AskPrice2, &d.AskPrice3, &d.AskPrice4, &d.AskPrice5};
    int *ask_volumes[] = {&d.AskVolume1, &d.AskVolume2, &d.AskVolume3, &d.AskVolume4, &d.AskVolume5};
    for (int level = 0; level < 5; ++level) {
        *bid_prices[level] = top.bid_volume[level] ? price(top.bid[level]) : unset;
        *bid_volumes[level] = top.bid_volume[level];
        *ask_prices[level] = top.ask_volume[level] ? price(top.ask[level]) : unset;
        *ask_volumes[level] = top.ask_volume[level];
    }
    return d;
}

}  // namespace standin
