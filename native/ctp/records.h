// The trading records, as layouts (../bridge/tables.h): the keys of each
// record's "data" dict in the order the event records show them. The login
// record, which market data delivers too, is in ../bridge/records.h.
// InstrumentID is always the 81-byte member, never the legacy reserve1.
#pragma once

#include "ThostFtdcUserApiStruct.h"

#include "../bridge/records.h"
#include "../bridge/tables.h"

#include <tuple>

template <>
struct Layout<CThostFtdcRspAuthenticateField> {
    using R = CThostFtdcRspAuthenticateField;
    static constexpr std::tuple keys{
        key("BrokerID", &R::BrokerID),
        key("UserID", &R::UserID),
        key("AppID", &R::AppID),
    };
};

template <>
struct Layout<CThostFtdcSettlementInfoConfirmField> {
    using R = CThostFtdcSettlementInfoConfirmField;
    static constexpr std::tuple keys{key("BrokerID", &R::BrokerID), key("InvestorID", &R::InvestorID)};
};

template <>
struct Layout<CThostFtdcOrderField> {
    using R = CThostFtdcOrderField;
    static constexpr std::tuple keys{
        key("TradingDay", &R::TradingDay),
        key("ExchangeID", &R::ExchangeID),
        key("InstrumentID", &R::InstrumentID),
        key("OrderSysID", &R::OrderSysID),
        key("OrderRef", &R::OrderRef),
        key("FrontID", &R::FrontID),
        key("SessionID", &R::SessionID),
        key("Direction", &R::Direction),
        key("CombOffsetFlag", &R::CombOffsetFlag),
        key("CombHedgeFlag", &R::CombHedgeFlag),
        key("LimitPrice", &R::LimitPrice),
        key("VolumeTotalOriginal", &R::VolumeTotalOriginal),
        key("VolumeTraded", &R::VolumeTraded),
        key("VolumeTotal", &R::VolumeTotal),
        key("OrderStatus", &R::OrderStatus),
        key("OrderSubmitStatus", &R::OrderSubmitStatus),
        key("StatusMsg", &R::StatusMsg),
        key("InsertDate", &R::InsertDate),
        key("InsertTime", &R::InsertTime),
    };
};

template <>
struct Layout<CThostFtdcTradeField> {
    using R = CThostFtdcTradeField;
    static constexpr std::tuple keys{
        key("TradingDay", &R::TradingDay),
        key("ExchangeID", &R::ExchangeID),
        key("InstrumentID", &R::InstrumentID),
        key("OrderSysID", &R::OrderSysID),
        key("OrderRef", &R::OrderRef),
        key("TradeID", &R::TradeID),
        key("Direction", &R::Direction),
        key("OffsetFlag", &R::OffsetFlag),
        key("HedgeFlag", &R::HedgeFlag),
        key("Price", &R::Price),
        key("Volume", &R::Volume),
        key("TradeDate", &R::TradeDate),
        key("TradeTime", &R::TradeTime),
    };
};

template <>
struct Layout<CThostFtdcInvestorPositionField> {
    using R = CThostFtdcInvestorPositionField;
    static constexpr std::tuple keys{
        key("TradingDay", &R::TradingDay),
        key("ExchangeID", &R::ExchangeID),
        key("InstrumentID", &R::InstrumentID),
        key("HedgeFlag", &R::HedgeFlag),
        key("PosiDirection", &R::PosiDirection),
        key("PositionDate", &R::PositionDate),
        key("Position", &R::Position),
        key("TodayPosition", &R::TodayPosition),
        key("YdPosition", &R::YdPosition),
        key("LongFrozen", &R::LongFrozen),
        key("ShortFrozen", &R::ShortFrozen),
        key("PositionProfit", &R::PositionProfit),
        key("UseMargin", &R::UseMargin),
    };
};

template <>
struct Layout<CThostFtdcTradingAccountField> {
    using R = CThostFtdcTradingAccountField;
    static constexpr std::tuple keys{
        key("AccountID", &R::AccountID),
        key("CurrencyID", &R::CurrencyID),
        key("TradingDay", &R::TradingDay),
        key("Balance", &R::Balance),
        key("Available", &R::Available),
        key("CurrMargin", &R::CurrMargin),
        key("FrozenMargin", &R::FrozenMargin),
        key("Commission", &R::Commission),
        key("FrozenCommission", &R::FrozenCommission),
        key("CloseProfit", &R::CloseProfit),
        key("PositionProfit", &R::PositionProfit),
        key("Deposit", &R::Deposit),
        key("Withdraw", &R::Withdraw),
    };
};

template <>
struct Layout<CThostFtdcInstrumentField> {
    using R = CThostFtdcInstrumentField;
    static constexpr std::tuple keys{
        key("ExchangeID", &R::ExchangeID),
        key("InstrumentID", &R::InstrumentID),
        key("ProductClass", &R::ProductClass),
        key("IsTrading", &R::IsTrading),
        key("PriceTick", &R::PriceTick),
        key("MinLimitOrderVolume", &R::MinLimitOrderVolume),
        key("MaxLimitOrderVolume", &R::MaxLimitOrderVolume),
    };
};

template <>
struct Layout<CThostFtdcInputOrderField> {
    using R = CThostFtdcInputOrderField;
    static constexpr std::tuple keys{
        key("InstrumentID", &R::InstrumentID),
        key("ExchangeID", &R::ExchangeID),
        key("OrderRef", &R::OrderRef),
    };
};

template <>
struct Layout<CThostFtdcInputOrderActionField> {
    using R = CThostFtdcInputOrderActionField;
    static constexpr std::tuple keys{
        key("InstrumentID", &R::InstrumentID),
        key("ExchangeID", &R::ExchangeID),
        key("OrderSysID", &R::OrderSysID),
    };
};

template <>
struct Layout<CThostFtdcOrderActionField> {
    using R = CThostFtdcOrderActionField;
    static constexpr std::tuple keys{
        key("InstrumentID", &R::InstrumentID),
        key("ExchangeID", &R::ExchangeID),
        key("OrderSysID", &R::OrderSysID),
    };
};
