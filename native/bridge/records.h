// The records every library delivers, as layouts (tables.h): the error
// information of every reply, and the login.
#pragma once

#include "ThostFtdcUserApiStruct.h"
#include "tables.h"

#include <tuple>

// The error record {"ErrorID", "ErrorMsg"}; a zeroed one gives 0 and "".
template <>
struct Layout<CThostFtdcRspInfoField> {
    using R = CThostFtdcRspInfoField;
    static constexpr std::tuple keys{key("ErrorID", &R::ErrorID), key("ErrorMsg", &R::ErrorMsg)};
};

template <>
struct Layout<CThostFtdcRspUserLoginField> {
    using R = CThostFtdcRspUserLoginField;
    static constexpr std::tuple keys{
        key("TradingDay", &R::TradingDay),
        key("FrontID", &R::FrontID),
        key("SessionID", &R::SessionID),
        key("MaxOrderRef", &R::MaxOrderRef),
    };
};
