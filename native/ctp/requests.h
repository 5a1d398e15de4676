// The trading requests, as a table (../bridge/tables.h): each request's name,
// the Req operation that sends it, and the keys it reads into that
// operation's record, in order.
#pragma once

#include "ThostFtdcTraderApi.h"

#include "../bridge/tables.h"

#include <tuple>

namespace trading {

using Api = CThostFtdcTraderApi;
using Authenticate = CThostFtdcReqAuthenticateField;
using UserLogin = CThostFtdcReqUserLoginField;
using SettlementInfoConfirm = CThostFtdcSettlementInfoConfirmField;
using QryOrder = CThostFtdcQryOrderField;
using QryTrade = CThostFtdcQryTradeField;
using QryInvestorPosition = CThostFtdcQryInvestorPositionField;
using QryTradingAccount = CThostFtdcQryTradingAccountField;
using QryInstrument = CThostFtdcQryInstrumentField;
using OrderInsert = CThostFtdcInputOrderField;
using OrderAction = CThostFtdcInputOrderActionField;

inline constexpr std::tuple requests{
    request("Authenticate", &Api::ReqAuthenticate,
            key("BrokerID", &Authenticate::BrokerID),
            key("UserID", &Authenticate::UserID),
            key("AuthCode", &Authenticate::AuthCode),
            key("AppID", &Authenticate::AppID)),
    request("UserLogin", &Api::ReqUserLogin,
            key("BrokerID", &UserLogin::BrokerID),
            key("UserID", &UserLogin::UserID),
            key("Password", &UserLogin::Password)),
    request("SettlementInfoConfirm", &Api::ReqSettlementInfoConfirm,
            key("BrokerID", &SettlementInfoConfirm::BrokerID),
            key("InvestorID", &SettlementInfoConfirm::InvestorID),
            key("CurrencyID", &SettlementInfoConfirm::CurrencyID)),
    request("QryOrder", &Api::ReqQryOrder,
            key("BrokerID", &QryOrder::BrokerID),
            key("InvestorID", &QryOrder::InvestorID),
            key("ExchangeID", &QryOrder::ExchangeID),
            key("OrderSysID", &QryOrder::OrderSysID),
            key("InstrumentID", &QryOrder::InstrumentID)),
    request("QryTrade", &Api::ReqQryTrade,
            key("BrokerID", &QryTrade::BrokerID),
            key("InvestorID", &QryTrade::InvestorID),
            key("ExchangeID", &QryTrade::ExchangeID),
            key("InstrumentID", &QryTrade::InstrumentID)),
    request("QryInvestorPosition", &Api::ReqQryInvestorPosition,
            key("BrokerID", &QryInvestorPosition::BrokerID),
            key("InvestorID", &QryInvestorPosition::InvestorID),
            key("ExchangeID", &QryInvestorPosition::ExchangeID),
            key("InstrumentID", &QryInvestorPosition::InstrumentID)),
    request("QryTradingAccount", &Api::ReqQryTradingAccount,
            key("BrokerID", &QryTradingAccount::BrokerID),
            key("InvestorID", &QryTradingAccount::InvestorID),
            key("CurrencyID", &QryTradingAccount::CurrencyID)),
    request("QryInstrument", &Api::ReqQryInstrument,
            key("ExchangeID", &QryInstrument::ExchangeID),
            key("InstrumentID", &QryInstrument::InstrumentID)),
    request("OrderInsert", &Api::ReqOrderInsert,
            key("BrokerID", &OrderInsert::BrokerID),
            key("InvestorID", &OrderInsert::InvestorID),
            key("OrderRef", &OrderInsert::OrderRef),
            key("UserID", &OrderInsert::UserID),
            key("OrderPriceType", &OrderInsert::OrderPriceType),
            key("Direction", &OrderInsert::Direction),
            key("CombOffsetFlag", &OrderInsert::CombOffsetFlag),
            key("CombHedgeFlag", &OrderInsert::CombHedgeFlag),
            key("LimitPrice", &OrderInsert::LimitPrice),
            key("VolumeTotalOriginal", &OrderInsert::VolumeTotalOriginal),
            key("TimeCondition", &OrderInsert::TimeCondition),
            key("VolumeCondition", &OrderInsert::VolumeCondition),
            key("MinVolume", &OrderInsert::MinVolume),
            key("ContingentCondition", &OrderInsert::ContingentCondition),
            key("ForceCloseReason", &OrderInsert::ForceCloseReason),
            key("IsAutoSuspend", &OrderInsert::IsAutoSuspend),
            key("UserForceClose", &OrderInsert::UserForceClose),
            key("ExchangeID", &OrderInsert::ExchangeID),
            key("CurrencyID", &OrderInsert::CurrencyID),
            key("InstrumentID", &OrderInsert::InstrumentID)),
    request("OrderAction", &Api::ReqOrderAction,
            key("BrokerID", &OrderAction::BrokerID),
            key("InvestorID", &OrderAction::InvestorID),
            key("ExchangeID", &OrderAction::ExchangeID),
            key("OrderSysID", &OrderAction::OrderSysID),
            key("ActionFlag", &OrderAction::ActionFlag),
            key("LimitPrice", &OrderAction::LimitPrice),
            key("UserID", &OrderAction::UserID),
            key("InstrumentID", &OrderAction::InstrumentID)),
};

}  // namespace trading
