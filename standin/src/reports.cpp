// The exchange's records: what queries find (instruments, the account,
// positions, orders, trades) and the market-data snapshot.
#include "exchange.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cstring>

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
        out.LongMarginRatio = setup.long_margin.by_money;
        out.ShortMarginRatio = setup.short_margin.by_money;
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
    out.PreBalance = yuan(account.pre_balance);
    out.PreMargin = yuan(account.pre_margin());
    out.Deposit = yuan(account.deposit);
    out.Withdraw = yuan(account.withdraw);
    out.FrozenMargin = yuan(account.frozen_margin());
    out.FrozenCommission = yuan(account.frozen_commission());
    out.CurrMargin = yuan(account.curr_margin());
    out.Commission = yuan(account.commission);
    out.CloseProfit = yuan(account.close_profit());
    out.PositionProfit = yuan(account.position_profit());
    out.Balance = yuan(account.balance());
    const Cents available = account.available();
    out.Available = yuan(available);
    out.WithdrawQuota = yuan(std::max<Cents>(0, available));
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

namespace {

// The sums of a position's part (today's or yesterday's details).
struct Part {
    int volume = 0;
    int close_volume = 0;
    Cents margin = 0;
    Cents pre_margin = 0;
    Cents profit = 0;
    Cents close_profit = 0;
    Cents close_profit_by_trade = 0;
    Cents close_amount = 0;
    Cents cost = 0;
    Cents open_cost = 0;

    Part(const Position &position, bool today) {
        const Instrument &instrument = *position.instrument;
        const int multiple = instrument.setup.multiple;
        for (const Detail &detail : position.details(today)) {
            volume += detail.volume;
            close_volume += detail.close_volume;
            margin += position.margin(detail, today);
            if (!today)
                pre_margin += instrument.margin(position.direction, instrument.settlement_price(),
                                                detail.volume + detail.close_volume);
            profit += position.profit_by_date(detail, today);
            close_profit += detail.close_profit_by_date;
            close_profit_by_trade += detail.close_profit_by_trade;
            close_amount += detail.close_amount;
            cost += cents(position.base_price(detail, today) * detail.volume * multiple);
            open_cost += cents(detail.open_price * detail.volume * multiple);
        }
    }
    Part &operator+=(const Part &other) {
        volume += other.volume;
        close_volume += other.close_volume;
        margin += other.margin;
        pre_margin += other.pre_margin;
        profit += other.profit;
        close_profit += other.close_profit;
        close_profit_by_trade += other.close_profit_by_trade;
        close_amount += other.close_amount;
        cost += other.cost;
        open_cost += other.open_cost;
        return *this;
    }
};

}  // namespace

CThostFtdcInvestorPositionField Exchange::position_record(const Position &position, char date) const {
    const Instrument &instrument = *position.instrument;
    const bool whole = !instrument.closes_by_date();
    const bool today_part = date == '1';
    // Where positions are not kept by date, one record holds both parts.
    Part part(position, today_part);
    Cents commission = today_part ? position.today_commission : position.yd_commission;
    if (whole) {
        part += Part(position, false);
        commission += position.yd_commission;
    }
    const int today_volume = position.today_volume();

    CThostFtdcInvestorPositionField out{};
    put(out.reserve1, instrument.setup.id);
    out.PosiDirection = position.direction;
    out.HedgeFlag = '1';
    out.PositionDate = date;
    out.Position = part.volume;
    out.TodayPosition = whole || today_part ? today_volume : 0;
    out.YdPosition = whole || !today_part ? position.yd_start() : 0;
    const int frozen = whole ? position.frozen_any : today_part ? position.frozen_today : position.frozen_yd;
    // A long position is closed by sells: their pending volume shows as
    // ShortFrozen; a short one's as LongFrozen.
    (position.direction == '2' ? out.ShortFrozen : out.LongFrozen) = frozen;
    if (whole || today_part) {
        out.OpenVolume = position.open_volume;
        out.OpenAmount = yuan(position.open_amount);
    }
    out.CloseVolume = part.close_volume;
    out.CloseAmount = yuan(part.close_amount);
    out.Commission = yuan(commission);
    out.CloseProfit = yuan(part.close_profit);
    out.UseMargin = yuan(part.margin);
    out.PreMargin = yuan(part.pre_margin);
    out.PositionProfit = yuan(part.profit);
    out.PositionCost = yuan(part.cost);
    out.OpenCost = yuan(part.open_cost);
    out.ExchangeMargin = out.UseMargin;
    out.PreSettlementPrice = instrument.settlement_price();
    out.SettlementPrice = instrument.mark();
    put(out.TradingDay, trading_day_);
    out.SettlementID = 1;
    const Rate &rate = instrument.margin_rate(position.direction);
    out.MarginRateByMoney = rate.by_money;
    out.MarginRateByVolume = rate.by_volume;
    out.CloseProfitByDate = out.CloseProfit;
    out.CloseProfitByTrade = yuan(part.close_profit_by_trade);
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
            // A part answers once it held anything today: today's once the
            // position opened today, yesterday's when it held any as the day began.
            const bool opened = !position.details(true).empty();
            const bool held = !position.details(false).empty();
            if (!position.instrument->closes_by_date()) {
                if (opened || held)
                    add('1');
                continue;
            }
            if (opened)
                add('1');
            if (held)
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
        for (const Fill &trade : account.trades)
            if (matches(text(query.ExchangeID), text(trade.record.ExchangeID)) &&
                matches(text(query.InstrumentID), text(trade.record.InstrumentID)))
                found.push_back(trade.record);
}

void Exchange::collect(const Account &account, const CThostFtdcQryInstrumentMarginRateField &query,
                       std::vector<CThostFtdcInstrumentMarginRateField> &found) const {
    // Speculation is the only hedge flag the front keeps.
    if (!own(account, text(query.BrokerID), text(query.InvestorID)) || (query.HedgeFlag && query.HedgeFlag != '1'))
        return;
    for (const auto &instrument : instruments_) {
        const InstrumentSetup &setup = instrument->setup;
        if (!matches(text(query.InstrumentID), setup.id) || !matches(text(query.ExchangeID), setup.exchange))
            continue;
        CThostFtdcInstrumentMarginRateField &out = found.emplace_back();
        put(out.reserve1, setup.id);
        out.InvestorRange = '1';  // the same for every investor
        put(out.BrokerID, account.setup.broker);
        put(out.InvestorID, account.setup.user);
        out.HedgeFlag = '1';
        out.LongMarginRatioByMoney = setup.long_margin.by_money;
        out.LongMarginRatioByVolume = setup.long_margin.by_volume;
        out.ShortMarginRatioByMoney = setup.short_margin.by_money;
        out.ShortMarginRatioByVolume = setup.short_margin.by_volume;
        out.IsRelative = 0;
        put(out.ExchangeID, setup.exchange);
        put(out.InstrumentID, setup.id);
    }
}

void Exchange::collect(const Account &account, const CThostFtdcQryInstrumentCommissionRateField &query,
                       std::vector<CThostFtdcInstrumentCommissionRateField> &found) const {
    if (!own(account, text(query.BrokerID), text(query.InvestorID)))
        return;
    for (const auto &instrument : instruments_) {
        const InstrumentSetup &setup = instrument->setup;
        if (!matches(text(query.InstrumentID), setup.id) || !matches(text(query.ExchangeID), setup.exchange))
            continue;
        CThostFtdcInstrumentCommissionRateField &out = found.emplace_back();
        put(out.reserve1, setup.id);
        out.InvestorRange = '1';
        put(out.BrokerID, account.setup.broker);
        put(out.InvestorID, account.setup.user);
        out.OpenRatioByMoney = setup.open_commission.by_money;
        out.OpenRatioByVolume = setup.open_commission.by_volume;
        out.CloseRatioByMoney = setup.close_commission.by_money;
        out.CloseRatioByVolume = setup.close_commission.by_volume;
        out.CloseTodayRatioByMoney = setup.close_today_commission.by_money;
        out.CloseTodayRatioByVolume = setup.close_today_commission.by_volume;
        put(out.ExchangeID, setup.exchange);
        put(out.InstrumentID, setup.id);
    }
}

void Exchange::collect(const Account &account, const CThostFtdcQryInvestorPositionDetailField &query,
                       std::vector<CThostFtdcInvestorPositionDetailField> &found) const {
    if (!own(account, text(query.BrokerID), text(query.InvestorID)))
        return;
    for (const auto &[key, position] : account.positions) {
        const Instrument &instrument = *position.instrument;
        const InstrumentSetup &setup = instrument.setup;
        if (!matches(text(query.InstrumentID), setup.id) || !matches(text(query.ExchangeID), setup.exchange))
            continue;
        const Rate &rate = instrument.margin_rate(position.direction);
        // Yesterday's lots, then today's, each oldest first: the order closes take them in.
        for (bool today : {false, true})
            for (const Detail &detail : position.details(today)) {
                CThostFtdcInvestorPositionDetailField &out = found.emplace_back();
                put(out.reserve1, setup.id);
                put(out.BrokerID, account.setup.broker);
                put(out.InvestorID, account.setup.user);
                out.HedgeFlag = '1';
                out.Direction = position.direction == '2' ? '0' : '1';
                put(out.OpenDate, text(detail.open_date));
                put(out.TradeID, text(detail.trade_id));
                out.Volume = detail.volume;
                out.OpenPrice = detail.open_price;
                put(out.TradingDay, trading_day_);
                out.SettlementID = 1;
                out.TradeType = '0';
                put(out.reserve2, setup.id);
                put(out.ExchangeID, setup.exchange);
                out.CloseProfitByDate = yuan(detail.close_profit_by_date);
                out.CloseProfitByTrade = yuan(detail.close_profit_by_trade);
                out.PositionProfitByDate = yuan(position.profit_by_date(detail, today));
                out.PositionProfitByTrade = yuan(position.profit_by_trade(detail));
                out.Margin = yuan(position.margin(detail, today));
                out.ExchMargin = out.Margin;
                out.MarginRateByMoney = rate.by_money;
                out.MarginRateByVolume = rate.by_volume;
                out.LastSettlementPrice = instrument.settlement_price();
                out.SettlementPrice = instrument.mark();
                out.CloseVolume = detail.close_volume;
                out.CloseAmount = yuan(detail.close_amount);
                put(out.InstrumentID, setup.id);
            }
    }
}

void Exchange::collect(const Account &account, const CThostFtdcQrySettlementInfoField &query,
                       std::vector<CThostFtdcSettlementInfoField> &found) const {
    if (!own(account, text(query.BrokerID), text(query.InvestorID)) ||
        !matches(text(query.AccountID), account.setup.user) || !matches(text(query.CurrencyID), "CNY"))
        return;
    const std::string_view day = text(query.TradingDay);
    const std::string *content = statement(account, day);
    if (!content)
        return;
    // Records of at most 500 bytes, cut wherever 500 bytes end: often inside
    // a two-byte character, which a client must join before decoding.
    constexpr std::size_t chunk = sizeof(CThostFtdcSettlementInfoField::Content) - 1;
    const std::string_view settled = day.empty() ? std::string_view(account.statements.back().first) : day;
    for (std::size_t at = 0; at < content->size(); at += chunk) {
        CThostFtdcSettlementInfoField &out = found.emplace_back();
        put(out.TradingDay, settled);
        out.SettlementID = 1;
        put(out.BrokerID, account.setup.broker);
        put(out.InvestorID, account.setup.user);
        out.SequenceNo = static_cast<int>(at / chunk) + 1;
        const std::size_t n = std::min(chunk, content->size() - at);
        std::memcpy(out.Content, content->data() + at, n);
        put(out.AccountID, account.setup.user);
        put(out.CurrencyID, "CNY");
    }
}

CThostFtdcSettlementInfoConfirmField Exchange::confirmation(const Account &account) const {
    CThostFtdcSettlementInfoConfirmField out{};
    put(out.BrokerID, account.setup.broker);
    put(out.InvestorID, account.setup.user);
    put(out.ConfirmDate, account.confirm_date);
    put(out.ConfirmTime, account.confirm_time);
    out.SettlementID = 1;
    put(out.AccountID, account.setup.user);
    put(out.CurrencyID, "CNY");
    return out;
}

void Exchange::collect(const Account &account, const CThostFtdcQrySettlementInfoConfirmField &query,
                       std::vector<CThostFtdcSettlementInfoConfirmField> &found) const {
    if (own(account, text(query.BrokerID), text(query.InvestorID)) &&
        matches(text(query.AccountID), account.setup.user) && matches(text(query.CurrencyID), "CNY") &&
        account.confirmed)
        found.push_back(confirmation(account));
}

void Exchange::collect(const Account &, const CThostFtdcQryDepthMarketDataField &query,
                       std::vector<CThostFtdcDepthMarketDataField> &found) const {
    for (const auto &instrument : instruments_)
        if (matches(text(query.InstrumentID), instrument->setup.id) &&
            matches(text(query.ExchangeID), instrument->setup.exchange))
            found.push_back(depth(*instrument));
}

void Exchange::collect(const Account &, const CThostFtdcQryExchangeField &query,
                       std::vector<CThostFtdcExchangeField> &found) const {
    // The exchanges of the instruments, in the order they first come.
    for (const auto &instrument : instruments_) {
        const std::string &id = instrument->setup.exchange;
        if (!matches(text(query.ExchangeID), id) ||
            std::ranges::any_of(found, [&](const CThostFtdcExchangeField &seen) { return text(seen.ExchangeID) == id; }))
            continue;
        CThostFtdcExchangeField &out = found.emplace_back();
        put(out.ExchangeID, id);
        put(out.ExchangeName, exchange_name(id));
        out.ExchangeProperty = '0';  // normal
    }
}

const std::string *Exchange::statement(const Account &account, std::string_view of) const {
    if (account.statements.empty())
        return nullptr;
    if (of.empty())
        return &account.statements.back().second;
    for (const auto &[day, text] : account.statements)
        if (day == of)
            return &text;
    return nullptr;
}

CThostFtdcDepthMarketDataField Exchange::depth(const Instrument &instrument) const {
    constexpr double unset = DBL_MAX;
    CThostFtdcDepthMarketDataField d{};
    const Stamp now = clock.stamp();
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
                pre_interest += position.yd_start();
                interest += position.yd_volume() + position.today_volume();
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
    each_level(d, [&](int level, double &bid, int &bid_volume, double &ask, int &ask_volume) {
        bid = top.bid_volume[level] ? price(top.bid[level]) : unset;
        bid_volume = top.bid_volume[level];
        ask = top.ask_volume[level] ? price(top.ask[level]) : unset;
        ask_volume = top.ask_volume[level];
    });
    return d;
}

}  // namespace standin
