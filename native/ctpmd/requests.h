// The market-data requests, as a table (../bridge/tables.h): each request's
// name, the Req operation that sends it, and the keys it reads into that
// operation's record, in order. Subscriptions take a list of instruments
// rather than a record: they are module functions of their own.
#pragma once

#include "ThostFtdcMdApi.h"

#include "../bridge/tables.h"

#include <tuple>

namespace market_data {

using Api = CThostFtdcMdApi;
using UserLogin = CThostFtdcReqUserLoginField;
using UserLogout = CThostFtdcUserLogoutField;

inline constexpr std::tuple requests{
    request("UserLogin", &Api::ReqUserLogin,
            key("BrokerID", &UserLogin::BrokerID),
            key("UserID", &UserLogin::UserID),
            key("Password", &UserLogin::Password)),
    request("UserLogout", &Api::ReqUserLogout,
            key("BrokerID", &UserLogout::BrokerID),
            key("UserID", &UserLogout::UserID)),
};

}  // namespace market_data
