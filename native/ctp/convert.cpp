#include "convert.h"

#include "../bridge/codecs.h"

// Keys in the order the event records show them. InstrumentID is always the
// 81-byte member, never the legacy reserve1.

PyObject *convert(const CThostFtdcRspAuthenticateField &data) {
    PyObject *dict = PyDict_New();
    put(dict, "BrokerID", data.BrokerID);
    put(dict, "UserID", data.UserID);
    put(dict, "AppID", data.AppID);
    return dict;
}

PyObject *convert(const CThostFtdcRspUserLoginField &data) {
    PyObject *dict = PyDict_New();
    put(dict, "TradingDay", data.TradingDay);
    put(dict, "FrontID", data.FrontID);
    put(dict, "SessionID", data.SessionID);
    put(dict, "MaxOrderRef", data.MaxOrderRef);
    return dict;
}

PyObject *convert(const CThostFtdcSettlementInfoConfirmField &data) {
    PyObject *dict = PyDict_New();
    put(dict, "BrokerID", data.BrokerID);
    put(dict, "InvestorID", data.InvestorID);
    return dict;
}

PyObject *convert(const CThostFtdcOrderField &data) {
    PyObject *dict = PyDict_New();
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
    return dict;
}

PyObject *convert(const CThostFtdcTradeField &data) {
    PyObject *dict = PyDict_New();
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
    return dict;
}

PyObject *convert(const CThostFtdcInvestorPositionField &data) {
    PyObject *dict = PyDict_New();
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
    return dict;
}

PyObject *convert(const CThostFtdcTradingAccountField &data) {
    PyObject *dict = PyDict_New();
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
    return dict;
}

PyObject *convert(const CThostFtdcInstrumentField &data) {
    PyObject *dict = PyDict_New();
    put(dict, "ExchangeID", data.ExchangeID);
    put(dict, "InstrumentID", data.InstrumentID);
    put(dict, "ProductClass", data.ProductClass);
    put(dict, "IsTrading", data.IsTrading);
    put(dict, "PriceTick", data.PriceTick);
    put(dict, "MinLimitOrderVolume", data.MinLimitOrderVolume);
    put(dict, "MaxLimitOrderVolume", data.MaxLimitOrderVolume);
    return dict;
}

PyObject *convert(const CThostFtdcInputOrderField &data) {
    PyObject *dict = PyDict_New();
    put(dict, "InstrumentID", data.InstrumentID);
    put(dict, "ExchangeID", data.ExchangeID);
    put(dict, "OrderRef", data.OrderRef);
    return dict;
}

PyObject *convert(const CThostFtdcInputOrderActionField &data) {
    PyObject *dict = PyDict_New();
    put(dict, "InstrumentID", data.InstrumentID);
    put(dict, "ExchangeID", data.ExchangeID);
    put(dict, "OrderSysID", data.OrderSysID);
    return dict;
}

PyObject *convert(const CThostFtdcOrderActionField &data) {
    PyObject *dict = PyDict_New();
    put(dict, "InstrumentID", data.InstrumentID);
    put(dict, "ExchangeID", data.ExchangeID);
    put(dict, "OrderSysID", data.OrderSysID);
    return dict;
}
