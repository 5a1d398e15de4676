// The market-data records, as layouts (../bridge/tables.h): the keys of each
// record's "data" dict in the order the event records show them. The login
// record, which trading delivers too, is in ../bridge/records.h.
#pragma once

#include "ThostFtdcUserApiStruct.h"

#include "../bridge/records.h"
#include "../bridge/tables.h"

#include <tuple>

template <>
struct Layout<CThostFtdcUserLogoutField> {
    using R = CThostFtdcUserLogoutField;
    static constexpr std::tuple keys{key("BrokerID", &R::BrokerID), key("UserID", &R::UserID)};
};

template <>
struct Layout<CThostFtdcSpecificInstrumentField> {
    using R = CThostFtdcSpecificInstrumentField;
    static constexpr std::tuple keys{key("InstrumentID", &R::InstrumentID)};
};

// Reals pass unchanged, DBL_MAX (a price the exchange has not set) included.
template <>
struct Layout<CThostFtdcDepthMarketDataField> {
    using R = CThostFtdcDepthMarketDataField;
    static constexpr std::tuple keys{
        key("TradingDay", &R::TradingDay),
        key("ActionDay", &R::ActionDay),
        key("UpdateTime", &R::UpdateTime),
        key("UpdateMillisec", &R::UpdateMillisec),
        key("ExchangeID", &R::ExchangeID),
        key("InstrumentID", &R::InstrumentID),
        key("LastPrice", &R::LastPrice),
        key("PreSettlementPrice", &R::PreSettlementPrice),
        key("PreClosePrice", &R::PreClosePrice),
        key("PreOpenInterest", &R::PreOpenInterest),
        key("OpenPrice", &R::OpenPrice),
        key("HighestPrice", &R::HighestPrice),
        key("LowestPrice", &R::LowestPrice),
        key("Volume", &R::Volume),
        key("Turnover", &R::Turnover),
        key("OpenInterest", &R::OpenInterest),
        key("ClosePrice", &R::ClosePrice),
        key("SettlementPrice", &R::SettlementPrice),
        key("UpperLimitPrice", &R::UpperLimitPrice),
        key("LowerLimitPrice", &R::LowerLimitPrice),
        key("AveragePrice", &R::AveragePrice),
        key("BidPrice1", &R::BidPrice1),
        key("BidVolume1", &R::BidVolume1),
        key("AskPrice1", &R::AskPrice1),
        key("AskVolume1", &R::AskVolume1),
        key("BidPrice2", &R::BidPrice2),
        key("BidVolume2", &R::BidVolume2),
        key("AskPrice2", &R::AskPrice2),
        key("AskVolume2", &R::AskVolume2),
        key("BidPrice3", &R::BidPrice3),
        key("BidVolume3", &R::BidVolume3),
        key("AskPrice3", &R::AskPrice3),
        key("AskVolume3", &R::AskVolume3),
        key("BidPrice4", &R::BidPrice4),
        key("BidVolume4", &R::BidVolume4),
        key("AskPrice4", &R::AskPrice4),
        key("AskVolume4", &R::AskVolume4),
        key("BidPrice5", &R::BidPrice5),
        key("BidVolume5", &R::BidVolume5),
        key("AskPrice5", &R::AskPrice5),
        key("AskVolume5", &R::AskVolume5),
    };
};
