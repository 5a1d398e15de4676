#include "convert.h"

#include "../bridge/codecs.h"

// Keys in the order the event records show them.

PyObject *convert(const CThostFtdcUserLogoutField &data) {
    PyObject *dict = start<CThostFtdcUserLogoutField>();
    put(dict, "BrokerID", data.BrokerID);
    put(dict, "UserID", data.UserID);
    return finish<CThostFtdcUserLogoutField>(dict);
}

PyObject *convert(const CThostFtdcSpecificInstrumentField &data) {
    PyObject *dict = start<CThostFtdcSpecificInstrumentField>();
    put(dict, "InstrumentID", data.InstrumentID);
    return finish<CThostFtdcSpecificInstrumentField>(dict);
}

// Reals pass unchanged, DBL_MAX (a price the exchange has not set) included.
PyObject *convert(const CThostFtdcDepthMarketDataField &data) {
    PyObject *dict = start<CThostFtdcDepthMarketDataField>();
    put(dict, "TradingDay", data.TradingDay);
    put(dict, "ActionDay", data.ActionDay);
    put(dict, "UpdateTime", data.UpdateTime);
    put(dict, "UpdateMillisec", data.UpdateMillisec);
    put(dict, "ExchangeID", data.ExchangeID);
    put(dict, "InstrumentID", data.InstrumentID);
    put(dict, "LastPrice", data.LastPrice);
    put(dict, "PreSettlementPrice", data.PreSettlementPrice);
    put(dict, "PreClosePrice", data.PreClosePrice);
    put(dict, "PreOpenInterest", data.PreOpenInterest);
    put(dict, "OpenPrice", data.OpenPrice);
    put(dict, "HighestPrice", data.HighestPrice);
    put(dict, "LowestPrice", data.LowestPrice);
    put(dict, "Volume", data.Volume);
    put(dict, "Turnover", data.Turnover);
    put(dict, "OpenInterest", data.OpenInterest);
    put(dict, "ClosePrice", data.ClosePrice);
    put(dict, "SettlementPrice", data.SettlementPrice);
    put(dict, "UpperLimitPrice", data.UpperLimitPrice);
    put(dict, "LowerLimitPrice", data.LowerLimitPrice);
    put(dict, "AveragePrice", data.AveragePrice);
    put(dict, "BidPrice1", data.BidPrice1);
    put(dict, "BidVolume1", data.BidVolume1);
    put(dict, "AskPrice1", data.AskPrice1);
    put(dict, "AskVolume1", data.AskVolume1);
    put(dict, "BidPrice2", data.BidPrice2);
    put(dict, "BidVolume2", data.BidVolume2);
    put(dict, "AskPrice2", data.AskPrice2);
    put(dict, "AskVolume2", data.AskVolume2);
    put(dict, "BidPrice3", data.BidPrice3);
    put(dict, "BidVolume3", data.BidVolume3);
    put(dict, "AskPrice3", data.AskPrice3);
    put(dict, "AskVolume3", data.AskVolume3);
    put(dict, "BidPrice4", data.BidPrice4);
    put(dict, "BidVolume4", data.BidVolume4);
    put(dict, "AskPrice4", data.AskPrice4);
    put(dict, "AskVolume4", data.AskVolume4);
    put(dict, "BidPrice5", data.BidPrice5);
    put(dict, "BidVolume5", data.BidVolume5);
    put(dict, "AskPrice5", data.AskPrice5);
    put(dict, "AskVolume5", data.AskVolume5);
    return finish<CThostFtdcDepthMarketDataField>(dict);
}
