#include "convert.h"

#include "../bridge/codecs.h"

// Keys in the order the event records show them. InstrumentID is always the
// 81-byte member, never the legacy reserve1.

PyObject *convert(const CThostFtdcRspAuthenticateField &data) {
    PyObject *dict = start<CThostFtdcRspAuthenticateField>();
    put(dict, "BrokerID", data.BrokerID);
    put(dict, "UserID", data.UserID);
    put(dict, "AppID", data.AppID);
    return finish<CThostFtdcRspAuthenticateField>(dict);}

PyObject *convert(const CThostFtdcRspUserLoginField &data) {
    PyObject *dict = start<CThostFtdcRspUserLoginField>();
    put(dict, "TradingDay", data.TradingDay);
    put(dict, "FrontID", data.FrontID);
    put(dict, "SessionID", data.SessionID);
    put(dict, "MaxOrderRef", data.MaxOrderRef);
    return finish<CThostFtdcRspUserLoginField>(dict);}

PyObject *convert(const CThostFtdcSettlementInfoConfirmField &data) {
    PyObject *dict = start<CThostFtdcSettlementInfoConfirmField>();
    put(dict, "BrokerID", data.BrokerID);
    put(dict, "InvestorID", data.InvestorID);
    return finish<CThostFtdcSettlementInfoConfirmField>(dict);}

PyObject *convert(const CThostFtdcOrderField &data) {
    PyObject *dict = start<CThostFtdcOrderField>();
    put(dict, "TradingDay", data.TradingDay);
    put(dict, "ExchangeID", data.ExchangeID);
    put(dict, "InstrumentID", data.InstrumentID);
    put(dict, "OrderSysID", data.OrderSysID);
    put(dict, "OrderRef", data.OrderRef);
    put(dict, "FrontID", data.FrontID);
    put(dict, "SessionID", data.SessionID);
    put(dict, "Direction", data.Direction);
    put(dict, "CombOffsetFlag", data.CombOffsetFlag);
    put(dict, "CombHedgeFlag", data.CombHedgeFlag);
    put(dict, "LimitPrice", data.LimitPrice);
    put(dict, "VolumeTotalOriginal", data.VolumeTotalOriginal);
    put(dict, "VolumeTraded", data.VolumeTraded);
    put(dict, "VolumeTotal", data.VolumeTotal);
    put(dict, "OrderStatus", data.OrderStatus);
    put(dict, "OrderSubmitStatus", data.OrderSubmitStatus);
    put(dict, "StatusMsg", data.StatusMsg);
    put(dict, "InsertDate", data.InsertDate);
    put(dict, "InsertTime", data.InsertTime);
    return finish<CThostFtdcOrderField>(dict);}

PyObject *convert(const CThostFtdcTradeField &data) {
    PyObject *dict = start<CThostFtdcTradeField>();
    put(dict, "TradingDay", data.TradingDay);
    put(dict, "ExchangeID", data.ExchangeID);
    put(dict, "InstrumentID", data.InstrumentID);
    put(dict, "OrderSysID", data.OrderSysID);
    put(dict, "OrderRef", data.OrderRef);
    put(dict, "TradeID", data.TradeID);
    put(dict, "Direction", data.Direction);
    put(dict, "OffsetFlag", data.OffsetFlag);
    put(dict, "HedgeFlag", data.HedgeFlag);
    put(dict, "Price", data.Price);
    put(dict, "Volume", data.Volume);
    put(dict, "TradeDate", data.TradeDate);
    put(dict, "TradeTime", data.TradeTime);
    return finish<CThostFtdcTradeField>(dict);}

PyObject *convert(const CThostFtdcInvestorPositionField &data) {
    PyObject *dict = start<CThostFtdcInvestorPositionField>();
    put(dict, "TradingDay", data.TradingDay);
    put(dict, "ExchangeID", data.ExchangeID);
    put(dict, "InstrumentID", data.InstrumentID);
    put(dict, "HedgeFlag", data.HedgeFlag);
    put(dict, "PosiDirection", data.PosiDirection);
    put(dict, "PositionDate", data.PositionDate);
    put(dict, "Position", data.Position);
    put(dict, "TodayPosition", data.TodayPosition);
    put(dict, "YdPosition", data.YdPosition);
    put(dict, "LongFrozen", data.LongFrozen);
    put(dict, "ShortFrozen", data.ShortFrozen);
    put(dict, "PositionProfit", data.PositionProfit);
    put(dict, "UseMargin", data.UseMargin);
    return finish<CThostFtdcInvestorPositionField>(dict);}

PyObject *convert(const CThostFtdcTradingAccountField &data) {
    PyObject *dict = start<CThostFtdcTradingAccountField>();
    put(dict, "AccountID", data.AccountID);
    put(dict, "CurrencyID", data.CurrencyID);
    put(dict, "TradingDay", data.TradingDay);
    put(dict, "Balance", data.Balance);
    put(dict, "Available", data.Available);
    put(dict, "CurrMargin", data.CurrMargin);
    put(dict, "FrozenMargin", data.FrozenMargin);
    put(dict, "Commission", data.Commission);
    put(dict, "FrozenCommission", data.FrozenCommission);
    put(dict, "CloseProfit", data.CloseProfit);
    put(dict, "PositionProfit", data.PositionProfit);
    put(dict, "Deposit", data.Deposit);
    put(dict, "Withdraw", data.Withdraw);
    return finish<CThostFtdcTradingAccountField>(dict);}

PyObject *convert(const CThostFtdcInstrumentField &data) {
    PyObject *dict = start<CThostFtdcInstrumentField>();
    put(dict, "ExchangeID", data.ExchangeID);
    put(dict, "InstrumentID", data.InstrumentID);
    put(dict, "ProductClass", data.ProductClass);
    put(dict, "IsTrading", data.IsTrading);
    put(dict, "PriceTick", data.PriceTick);
    put(dict, "MinLimitOrderVolume", data.MinLimitOrderVolume);
    put(dict, "MaxLimitOrderVolume", data.MaxLimitOrderVolume);
    return finish<CThostFtdcInstrumentField>(dict);}

PyObject *convert(const CThostFtdcInputOrderField &data) {
    PyObject *dict = start<CThostFtdcInputOrderField>();
    put(dict, "InstrumentID", data.InstrumentID);
    put(dict, "ExchangeID", data.ExchangeID);
    put(dict, "OrderRef", data.OrderRef);
    return finish<CThostFtdcInputOrderField>(dict);}

PyObject *convert(const CThostFtdcInputOrderActionField &data) {
    PyObject *dict = start<CThostFtdcInputOrderActionField>();
    put(dict, "InstrumentID", data.InstrumentID);
    put(dict, "ExchangeID", data.ExchangeID);
    put(dict, "OrderSysID", data.OrderSysID);
    return finish<CThostFtdcInputOrderActionField>(dict);}

PyObject *convert(const CThostFtdcOrderActionField &data) {
    PyObject *dict = start<CThostFtdcOrderActionField>();
    put(dict, "InstrumentID", data.InstrumentID);
    put(dict, "ExchangeID", data.ExchangeID);
    put(dict, "OrderSysID", data.OrderSysID);
    return finish<CThostFtdcOrderActionField>(dict);}
