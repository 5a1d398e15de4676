// Records of the trader interface, under the vendor's names. Every record is a
// plain structure of text, code, integer and real fields (see
// ThostFtdcUserApiDataType.h); a zero-filled record is a valid empty one.
#pragma once

#include "ThostFtdcUserApiDataType.h"

// BEGIN interface/ctp.toml: records (written by interface/generate.py)
// Error information ("error"; also RspError's "data"). ErrorID 0 is success.
struct CThostFtdcRspInfoField
{
	TThostFtdcErrorIDType ErrorID;
	TThostFtdcErrorMsgType ErrorMsg;
};

// Authenticate's record: the client's app id and auth code.
struct CThostFtdcReqAuthenticateField
{
	TThostFtdcBrokerIDType BrokerID;
	TThostFtdcUserIDType UserID;
	TThostFtdcProductInfoType UserProductInfo;
	TThostFtdcAuthCodeType AuthCode;
	TThostFtdcAppIDType AppID;
};

// RspAuthenticate's record.
struct CThostFtdcRspAuthenticateField
{
	TThostFtdcBrokerIDType BrokerID;
	TThostFtdcUserIDType UserID;
	TThostFtdcProductInfoType UserProductInfo;
	TThostFtdcAppIDType AppID;
	char AppType;
};

// UserLogin's record.
struct CThostFtdcReqUserLoginField
{
	TThostFtdcDateType TradingDay;
	TThostFtdcBrokerIDType BrokerID;
	TThostFtdcUserIDType UserID;
	TThostFtdcPasswordType Password;
	TThostFtdcProductInfoType UserProductInfo;
	TThostFtdcProductInfoType InterfaceProductInfo;
	TThostFtdcProtocolInfoType ProtocolInfo;
	TThostFtdcMacAddressType MacAddress;
	TThostFtdcPasswordType OneTimePassword;
	TThostFtdcOldIPAddressType reserve1;
	TThostFtdcLoginRemarkType LoginRemark;
	TThostFtdcIPPortType ClientIPPort;
	TThostFtdcIPAddressType ClientIPAddress;
	TThostFtdcSMSCodeType SMSCode;
};

// RspUserLogin's record.
struct CThostFtdcRspUserLoginField
{
	TThostFtdcDateType TradingDay;
	TThostFtdcTimeType LoginTime;
	TThostFtdcBrokerIDType BrokerID;
	TThostFtdcUserIDType UserID;
	TThostFtdcSystemNameType SystemName;
	TThostFtdcFrontIDType FrontID;
	TThostFtdcSessionIDType SessionID;
	TThostFtdcOrderRefType MaxOrderRef;
	TThostFtdcTimeType SHFETime;
	TThostFtdcTimeType DCETime;
	TThostFtdcTimeType CZCETime;
	TThostFtdcTimeType FFEXTime;
	TThostFtdcTimeType INETime;
	TThostFtdcSystemNameType SysVersion;
	TThostFtdcTimeType GFEXTime;
};

// RspUserLogout's record.
struct CThostFtdcUserLogoutField
{
	TThostFtdcBrokerIDType BrokerID;
	TThostFtdcUserIDType UserID;
};

// A password change (UserPasswordUpdate); its reply shows the user alone, never the passwords.
struct CThostFtdcUserPasswordUpdateField
{
	TThostFtdcBrokerIDType BrokerID;
	TThostFtdcUserIDType UserID;
	TThostFtdcPasswordType OldPassword;
	TThostFtdcPasswordType NewPassword;
};

// A confirmation of the settlement (RspSettlementInfoConfirm, RspQrySettlementInfoConfirm).
struct CThostFtdcSettlementInfoConfirmField
{
	TThostFtdcBrokerIDType BrokerID;
	TThostFtdcInvestorIDType InvestorID;
	TThostFtdcDateType ConfirmDate;
	TThostFtdcTimeType ConfirmTime;
	TThostFtdcSettlementIDType SettlementID;
	TThostFtdcAccountIDType AccountID;
	TThostFtdcCurrencyIDType CurrencyID;
};

// QryOrder's filter.
struct CThostFtdcQryOrderField
{
	TThostFtdcBrokerIDType BrokerID;
	TThostFtdcInvestorIDType InvestorID;
	TThostFtdcOldInstrumentIDType reserve1;
	TThostFtdcExchangeIDType ExchangeID;
	TThostFtdcOrderSysIDType OrderSysID;
	TThostFtdcTimeType InsertTimeStart;
	TThostFtdcTimeType InsertTimeEnd;
	TThostFtdcInvestUnitIDType InvestUnitID;
	TThostFtdcInstrumentIDType InstrumentID;
};

// QryTrade's filter.
struct CThostFtdcQryTradeField
{
	TThostFtdcBrokerIDType BrokerID;
	TThostFtdcInvestorIDType InvestorID;
	TThostFtdcOldInstrumentIDType reserve1;
	TThostFtdcExchangeIDType ExchangeID;
	TThostFtdcTradeIDType TradeID;
	TThostFtdcTimeType TradeTimeStart;
	TThostFtdcTimeType TradeTimeEnd;
	TThostFtdcInvestUnitIDType InvestUnitID;
	TThostFtdcInstrumentIDType InstrumentID;
};

// QryInvestorPosition's filter.
struct CThostFtdcQryInvestorPositionField
{
	TThostFtdcBrokerIDType BrokerID;
	TThostFtdcInvestorIDType InvestorID;
	TThostFtdcOldInstrumentIDType reserve1;
	TThostFtdcExchangeIDType ExchangeID;
	TThostFtdcInvestUnitIDType InvestUnitID;
	TThostFtdcInstrumentIDType InstrumentID;
};

// QryTradingAccount's filter.
struct CThostFtdcQryTradingAccountField
{
	TThostFtdcBrokerIDType BrokerID;
	TThostFtdcInvestorIDType InvestorID;
	TThostFtdcCurrencyIDType CurrencyID;
	TThostFtdcBizTypeType BizType;
	TThostFtdcAccountIDType AccountID;
};

// QryInstrument's filter.
struct CThostFtdcQryInstrumentField
{
	TThostFtdcOldInstrumentIDType reserve1;
	TThostFtdcExchangeIDType ExchangeID;
	TThostFtdcOldExchangeInstIDType reserve2;
	TThostFtdcOldProductIDType reserve3;
	TThostFtdcInstrumentIDType InstrumentID;
	TThostFtdcExchangeInstIDType ExchangeInstID;
	TThostFtdcProductIDType ProductID;
};

// QryInstrumentMarginRate's filter.
struct CThostFtdcQryInstrumentMarginRateField
{
	TThostFtdcBrokerIDType BrokerID;
	TThostFtdcInvestorIDType InvestorID;
	TThostFtdcOldInstrumentIDType reserve1;
	TThostFtdcHedgeFlagType HedgeFlag;
	TThostFtdcExchangeIDType ExchangeID;
	TThostFtdcInvestUnitIDType InvestUnitID;
	TThostFtdcInstrumentIDType InstrumentID;
};

// QryInstrumentCommissionRate's filter.
struct CThostFtdcQryInstrumentCommissionRateField
{
	TThostFtdcBrokerIDType BrokerID;
	TThostFtdcInvestorIDType InvestorID;
	TThostFtdcOldInstrumentIDType reserve1;
	TThostFtdcExchangeIDType ExchangeID;
	TThostFtdcInvestUnitIDType InvestUnitID;
	TThostFtdcInstrumentIDType InstrumentID;
};

// QryInvestorPositionDetail's filter.
struct CThostFtdcQryInvestorPositionDetailField
{
	TThostFtdcBrokerIDType BrokerID;
	TThostFtdcInvestorIDType InvestorID;
	TThostFtdcOldInstrumentIDType reserve1;
	TThostFtdcExchangeIDType ExchangeID;
	TThostFtdcInvestUnitIDType InvestUnitID;
	TThostFtdcInstrumentIDType InstrumentID;
};

// QrySettlementInfo's filter: the trading day of the statement (empty: the latest).
struct CThostFtdcQrySettlementInfoField
{
	TThostFtdcBrokerIDType BrokerID;
	TThostFtdcInvestorIDType InvestorID;
	TThostFtdcDateType TradingDay;
	TThostFtdcAccountIDType AccountID;
	TThostFtdcCurrencyIDType CurrencyID;
};

// QrySettlementInfoConfirm's filter.
struct CThostFtdcQrySettlementInfoConfirmField
{
	TThostFtdcBrokerIDType BrokerID;
	TThostFtdcInvestorIDType InvestorID;
	TThostFtdcAccountIDType AccountID;
	TThostFtdcCurrencyIDType CurrencyID;
};

// QryDepthMarketData's filter.
struct CThostFtdcQryDepthMarketDataField
{
	TThostFtdcOldInstrumentIDType reserve1;
	TThostFtdcExchangeIDType ExchangeID;
	TThostFtdcInstrumentIDType InstrumentID;
	TThostFtdcProductClassType ProductClass;
};

// QryExchange's filter.
struct CThostFtdcQryExchangeField
{
	TThostFtdcExchangeIDType ExchangeID;
};

// An order as sent (OrderInsert); the order a refusal is about (RspOrderInsert, ErrRtnOrderInsert).
struct CThostFtdcInputOrderField
{
	TThostFtdcBrokerIDType BrokerID;
	TThostFtdcInvestorIDType InvestorID;
	TThostFtdcOldInstrumentIDType reserve1;
	TThostFtdcOrderRefType OrderRef;
	TThostFtdcUserIDType UserID;
	TThostFtdcOrderPriceTypeType OrderPriceType;
	TThostFtdcDirectionType Direction;
	TThostFtdcCombOffsetFlagType CombOffsetFlag;
	TThostFtdcCombHedgeFlagType CombHedgeFlag;
	TThostFtdcPriceType LimitPrice;
	TThostFtdcVolumeType VolumeTotalOriginal;
	TThostFtdcTimeConditionType TimeCondition;
	TThostFtdcDateType GTDDate;
	TThostFtdcVolumeConditionType VolumeCondition;
	TThostFtdcVolumeType MinVolume;
	TThostFtdcContingentConditionType ContingentCondition;
	TThostFtdcPriceType StopPrice;
	TThostFtdcForceCloseReasonType ForceCloseReason;
	TThostFtdcBoolType IsAutoSuspend;
	TThostFtdcBusinessUnitType BusinessUnit;
	TThostFtdcRequestIDType RequestID;
	TThostFtdcBoolType UserForceClose;
	TThostFtdcBoolType IsSwapOrder;
	TThostFtdcExchangeIDType ExchangeID;
	TThostFtdcInvestUnitIDType InvestUnitID;
	TThostFtdcAccountIDType AccountID;
	TThostFtdcCurrencyIDType CurrencyID;
	TThostFtdcClientIDType ClientID;
	TThostFtdcOldIPAddressType reserve2;
	TThostFtdcMacAddressType MacAddress;
	TThostFtdcInstrumentIDType InstrumentID;
	TThostFtdcIPAddressType IPAddress;
	TThostFtdcOrderMemoType OrderMemo;
	TThostFtdcSequenceNoType SessionReqSeq;
};

// A cancel as sent (OrderAction); the cancel a refusal is about (RspOrderAction).
struct CThostFtdcInputOrderActionField
{
	TThostFtdcBrokerIDType BrokerID;
	TThostFtdcInvestorIDType InvestorID;
	TThostFtdcOrderActionRefType OrderActionRef;
	TThostFtdcOrderRefType OrderRef;
	TThostFtdcRequestIDType RequestID;
	TThostFtdcFrontIDType FrontID;
	TThostFtdcSessionIDType SessionID;
	TThostFtdcExchangeIDType ExchangeID;
	TThostFtdcOrderSysIDType OrderSysID;
	TThostFtdcActionFlagType ActionFlag;
	TThostFtdcPriceType LimitPrice;
	TThostFtdcVolumeType VolumeChange;
	TThostFtdcUserIDType UserID;
	TThostFtdcOldInstrumentIDType reserve1;
	TThostFtdcInvestUnitIDType InvestUnitID;
	TThostFtdcOldIPAddressType reserve2;
	TThostFtdcMacAddressType MacAddress;
	TThostFtdcInstrumentIDType InstrumentID;
	TThostFtdcIPAddressType IPAddress;
	TThostFtdcOrderMemoType OrderMemo;
	TThostFtdcSequenceNoType SessionReqSeq;
};

// An order (RtnOrder, RspQryOrder).
struct CThostFtdcOrderField
{
	TThostFtdcBrokerIDType BrokerID;
	TThostFtdcInvestorIDType InvestorID;
	TThostFtdcOldInstrumentIDType reserve1;
	TThostFtdcOrderRefType OrderRef;
	TThostFtdcUserIDType UserID;
	TThostFtdcOrderPriceTypeType OrderPriceType;
	TThostFtdcDirectionType Direction;
	TThostFtdcCombOffsetFlagType CombOffsetFlag;
	TThostFtdcCombHedgeFlagType CombHedgeFlag;
	TThostFtdcPriceType LimitPrice;
	TThostFtdcVolumeType VolumeTotalOriginal;
	TThostFtdcTimeConditionType TimeCondition;
	TThostFtdcDateType GTDDate;
	TThostFtdcVolumeConditionType VolumeCondition;
	TThostFtdcVolumeType MinVolume;
	TThostFtdcContingentConditionType ContingentCondition;
	TThostFtdcPriceType StopPrice;
	TThostFtdcForceCloseReasonType ForceCloseReason;
	TThostFtdcBoolType IsAutoSuspend;
	TThostFtdcBusinessUnitType BusinessUnit;
	TThostFtdcRequestIDType RequestID;
	TThostFtdcOrderLocalIDType OrderLocalID;
	TThostFtdcExchangeIDType ExchangeID;
	TThostFtdcParticipantIDType ParticipantID;
	TThostFtdcClientIDType ClientID;
	TThostFtdcOldExchangeInstIDType reserve2;
	TThostFtdcTraderIDType TraderID;
	TThostFtdcSequenceNoType InstallID;
	TThostFtdcOrderSubmitStatusType OrderSubmitStatus;
	TThostFtdcSequenceNoType NotifySequence;
	TThostFtdcDateType TradingDay;
	TThostFtdcSettlementIDType SettlementID;
	TThostFtdcOrderSysIDType OrderSysID;
	TThostFtdcOrderSourceType OrderSource;
	TThostFtdcOrderStatusType OrderStatus;
	TThostFtdcOrderTypeType OrderType;
	TThostFtdcVolumeType VolumeTraded;
	TThostFtdcVolumeType VolumeTotal;
	TThostFtdcDateType InsertDate;
	TThostFtdcTimeType InsertTime;
	TThostFtdcTimeType ActiveTime;
	TThostFtdcTimeType SuspendTime;
	TThostFtdcTimeType UpdateTime;
	TThostFtdcTimeType CancelTime;
	TThostFtdcTraderIDType ActiveTraderID;
	TThostFtdcParticipantIDType ClearingPartID;
	TThostFtdcSequenceNoType SequenceNo;
	TThostFtdcFrontIDType FrontID;
	TThostFtdcSessionIDType SessionID;
	TThostFtdcProductInfoType UserProductInfo;
	TThostFtdcErrorMsgType StatusMsg;
	TThostFtdcBoolType UserForceClose;
	TThostFtdcUserIDType ActiveUserID;
	TThostFtdcSequenceNoType BrokerOrderSeq;
	TThostFtdcOrderSysIDType RelativeOrderSysID;
	TThostFtdcVolumeType ZCETotalTradedVolume;
	TThostFtdcBoolType IsSwapOrder;
	TThostFtdcInvestUnitIDType InvestUnitID;
	TThostFtdcAccountIDType AccountID;
	TThostFtdcCurrencyIDType CurrencyID;
	TThostFtdcOldIPAddressType reserve3;
	TThostFtdcMacAddressType MacAddress;
	TThostFtdcInstrumentIDType InstrumentID;
	TThostFtdcExchangeInstIDType ExchangeInstID;
	TThostFtdcIPAddressType IPAddress;
	TThostFtdcOrderMemoType OrderMemo;
	TThostFtdcSequenceNoType SessionReqSeq;
};

// The cancel the exchange refused (ErrRtnOrderAction).
struct CThostFtdcOrderActionField
{
	TThostFtdcBrokerIDType BrokerID;
	TThostFtdcInvestorIDType InvestorID;
	TThostFtdcOrderActionRefType OrderActionRef;
	TThostFtdcOrderRefType OrderRef;
	TThostFtdcRequestIDType RequestID;
	TThostFtdcFrontIDType FrontID;
	TThostFtdcSessionIDType SessionID;
	TThostFtdcExchangeIDType ExchangeID;
	TThostFtdcOrderSysIDType OrderSysID;
	TThostFtdcActionFlagType ActionFlag;
	TThostFtdcPriceType LimitPrice;
	TThostFtdcVolumeType VolumeChange;
	TThostFtdcDateType ActionDate;
	TThostFtdcTimeType ActionTime;
	TThostFtdcTraderIDType TraderID;
	TThostFtdcSequenceNoType InstallID;
	TThostFtdcOrderLocalIDType OrderLocalID;
	TThostFtdcOrderLocalIDType ActionLocalID;
	TThostFtdcParticipantIDType ParticipantID;
	TThostFtdcClientIDType ClientID;
	TThostFtdcBusinessUnitType BusinessUnit;
	TThostFtdcOrderActionStatusType OrderActionStatus;
	TThostFtdcUserIDType UserID;
	TThostFtdcErrorMsgType StatusMsg;
	TThostFtdcOldInstrumentIDType reserve1;
	TThostFtdcInvestUnitIDType InvestUnitID;
	TThostFtdcOldIPAddressType reserve2;
	TThostFtdcMacAddressType MacAddress;
	TThostFtdcInstrumentIDType InstrumentID;
	TThostFtdcIPAddressType IPAddress;
	TThostFtdcOrderMemoType OrderMemo;
	TThostFtdcSequenceNoType SessionReqSeq;
};

// A trade (RtnTrade, RspQryTrade).
struct CThostFtdcTradeField
{
	TThostFtdcBrokerIDType BrokerID;
	TThostFtdcInvestorIDType InvestorID;
	TThostFtdcOldInstrumentIDType reserve1;
	TThostFtdcOrderRefType OrderRef;
	TThostFtdcUserIDType UserID;
	TThostFtdcExchangeIDType ExchangeID;
	TThostFtdcTradeIDType TradeID;
	TThostFtdcDirectionType Direction;
	TThostFtdcOrderSysIDType OrderSysID;
	TThostFtdcParticipantIDType ParticipantID;
	TThostFtdcClientIDType ClientID;
	char TradingRole;
	TThostFtdcOldExchangeInstIDType reserve2;
	TThostFtdcOffsetFlagType OffsetFlag;
	TThostFtdcHedgeFlagType HedgeFlag;
	TThostFtdcPriceType Price;
	TThostFtdcVolumeType Volume;
	TThostFtdcDateType TradeDate;
	TThostFtdcTimeType TradeTime;
	TThostFtdcTradeTypeType TradeType;
	char PriceSource;
	TThostFtdcTraderIDType TraderID;
	TThostFtdcOrderLocalIDType OrderLocalID;
	TThostFtdcParticipantIDType ClearingPartID;
	TThostFtdcBusinessUnitType BusinessUnit;
	TThostFtdcSequenceNoType SequenceNo;
	TThostFtdcDateType TradingDay;
	TThostFtdcSettlementIDType SettlementID;
	TThostFtdcSequenceNoType BrokerOrderSeq;
	char TradeSource;
	TThostFtdcInvestUnitIDType InvestUnitID;
	TThostFtdcInstrumentIDType InstrumentID;
	TThostFtdcExchangeInstIDType ExchangeInstID;
};

// One side and date of a position (RspQryInvestorPosition).
struct CThostFtdcInvestorPositionField
{
	TThostFtdcOldInstrumentIDType reserve1;
	TThostFtdcBrokerIDType BrokerID;
	TThostFtdcInvestorIDType InvestorID;
	TThostFtdcPosiDirectionType PosiDirection;
	TThostFtdcHedgeFlagType HedgeFlag;
	TThostFtdcPositionDateType PositionDate;
	TThostFtdcVolumeType YdPosition;
	TThostFtdcVolumeType Position;
	TThostFtdcVolumeType LongFrozen;
	TThostFtdcVolumeType ShortFrozen;
	TThostFtdcMoneyType LongFrozenAmount;
	TThostFtdcMoneyType ShortFrozenAmount;
	TThostFtdcVolumeType OpenVolume;
	TThostFtdcVolumeType CloseVolume;
	TThostFtdcMoneyType OpenAmount;
	TThostFtdcMoneyType CloseAmount;
	TThostFtdcMoneyType PositionCost;
	TThostFtdcMoneyType PreMargin;
	TThostFtdcMoneyType UseMargin;
	TThostFtdcMoneyType FrozenMargin;
	TThostFtdcMoneyType FrozenCash;
	TThostFtdcMoneyType FrozenCommission;
	TThostFtdcMoneyType CashIn;
	TThostFtdcMoneyType Commission;
	TThostFtdcMoneyType CloseProfit;
	TThostFtdcMoneyType PositionProfit;
	TThostFtdcPriceType PreSettlementPrice;
	TThostFtdcPriceType SettlementPrice;
	TThostFtdcDateType TradingDay;
	TThostFtdcSettlementIDType SettlementID;
	TThostFtdcMoneyType OpenCost;
	TThostFtdcMoneyType ExchangeMargin;
	TThostFtdcVolumeType CombPosition;
	TThostFtdcVolumeType CombLongFrozen;
	TThostFtdcVolumeType CombShortFrozen;
	TThostFtdcMoneyType CloseProfitByDate;
	TThostFtdcMoneyType CloseProfitByTrade;
	TThostFtdcVolumeType TodayPosition;
	TThostFtdcRatioType MarginRateByMoney;
	TThostFtdcRatioType MarginRateByVolume;
	TThostFtdcExchangeIDType ExchangeID;
	TThostFtdcVolumeType YdStrikeFrozen;
	TThostFtdcInvestUnitIDType InvestUnitID;
	TThostFtdcInstrumentIDType InstrumentID;
};

// One open trade of a position (RspQryInvestorPositionDetail).
struct CThostFtdcInvestorPositionDetailField
{
	TThostFtdcOldInstrumentIDType reserve1;
	TThostFtdcBrokerIDType BrokerID;
	TThostFtdcInvestorIDType InvestorID;
	TThostFtdcHedgeFlagType HedgeFlag;
	TThostFtdcDirectionType Direction;
	TThostFtdcDateType OpenDate;
	TThostFtdcTradeIDType TradeID;
	TThostFtdcVolumeType Volume;
	TThostFtdcPriceType OpenPrice;
	TThostFtdcDateType TradingDay;
	TThostFtdcSettlementIDType SettlementID;
	TThostFtdcTradeTypeType TradeType;
	TThostFtdcOldInstrumentIDType reserve2;
	TThostFtdcExchangeIDType ExchangeID;
	TThostFtdcMoneyType CloseProfitByDate;
	TThostFtdcMoneyType CloseProfitByTrade;
	TThostFtdcMoneyType PositionProfitByDate;
	TThostFtdcMoneyType PositionProfitByTrade;
	TThostFtdcMoneyType Margin;
	TThostFtdcMoneyType ExchMargin;
	TThostFtdcRatioType MarginRateByMoney;
	TThostFtdcRatioType MarginRateByVolume;
	TThostFtdcPriceType LastSettlementPrice;
	TThostFtdcPriceType SettlementPrice;
	TThostFtdcVolumeType CloseVolume;
	TThostFtdcMoneyType CloseAmount;
	TThostFtdcVolumeType TimeFirstVolume;
	TThostFtdcInvestUnitIDType InvestUnitID;
	char SpecPosiType;
	TThostFtdcInstrumentIDType InstrumentID;
	TThostFtdcInstrumentIDType CombInstrumentID;
};

// The trading account (RspQryTradingAccount).
struct CThostFtdcTradingAccountField
{
	TThostFtdcBrokerIDType BrokerID;
	TThostFtdcAccountIDType AccountID;
	TThostFtdcMoneyType PreMortgage;
	TThostFtdcMoneyType PreCredit;
	TThostFtdcMoneyType PreDeposit;
	TThostFtdcMoneyType PreBalance;
	TThostFtdcMoneyType PreMargin;
	TThostFtdcMoneyType InterestBase;
	TThostFtdcMoneyType Interest;
	TThostFtdcMoneyType Deposit;
	TThostFtdcMoneyType Withdraw;
	TThostFtdcMoneyType FrozenMargin;
	TThostFtdcMoneyType FrozenCash;
	TThostFtdcMoneyType FrozenCommission;
	TThostFtdcMoneyType CurrMargin;
	TThostFtdcMoneyType CashIn;
	TThostFtdcMoneyType Commission;
	TThostFtdcMoneyType CloseProfit;
	TThostFtdcMoneyType PositionProfit;
	TThostFtdcMoneyType Balance;
	TThostFtdcMoneyType Available;
	TThostFtdcMoneyType WithdrawQuota;
	TThostFtdcMoneyType Reserve;
	TThostFtdcDateType TradingDay;
	TThostFtdcSettlementIDType SettlementID;
	TThostFtdcMoneyType Credit;
	TThostFtdcMoneyType Mortgage;
	TThostFtdcMoneyType ExchangeMargin;
	TThostFtdcMoneyType DeliveryMargin;
	TThostFtdcMoneyType ExchangeDeliveryMargin;
	TThostFtdcMoneyType ReserveBalance;
	TThostFtdcCurrencyIDType CurrencyID;
	TThostFtdcBizTypeType BizType;
};

// An instrument (RspQryInstrument).
struct CThostFtdcInstrumentField
{
	TThostFtdcOldInstrumentIDType reserve1;
	TThostFtdcExchangeIDType ExchangeID;
	TThostFtdcInstrumentNameType InstrumentName;
	TThostFtdcOldExchangeInstIDType reserve2;
	TThostFtdcOldProductIDType reserve3;
	TThostFtdcProductClassType ProductClass;
	TThostFtdcYearType DeliveryYear;
	TThostFtdcMonthType DeliveryMonth;
	TThostFtdcVolumeType MaxMarketOrderVolume;
	TThostFtdcVolumeType MinMarketOrderVolume;
	TThostFtdcVolumeType MaxLimitOrderVolume;
	TThostFtdcVolumeType MinLimitOrderVolume;
	TThostFtdcVolumeMultipleType VolumeMultiple;
	TThostFtdcPriceType PriceTick;
	TThostFtdcDateType CreateDate;
	TThostFtdcDateType OpenDate;
	TThostFtdcDateType ExpireDate;
	TThostFtdcDateType StartDelivDate;
	TThostFtdcDateType EndDelivDate;
	TThostFtdcInstLifePhaseType InstLifePhase;
	TThostFtdcBoolType IsTrading;
	TThostFtdcPositionTypeType PositionType;
	char PositionDateType;
	TThostFtdcRatioType LongMarginRatio;
	TThostFtdcRatioType ShortMarginRatio;
	char MaxMarginSideAlgorithm;
	TThostFtdcOldInstrumentIDType reserve4;
	TThostFtdcPriceType StrikePrice;
	char OptionsType;
	double UnderlyingMultiple;
	char CombinationType;
	TThostFtdcInstrumentIDType InstrumentID;
	TThostFtdcExchangeInstIDType ExchangeInstID;
	TThostFtdcProductIDType ProductID;
	TThostFtdcInstrumentIDType UnderlyingInstrID;
};

// An instrument's margin rates for the investor (RspQryInstrumentMarginRate).
struct CThostFtdcInstrumentMarginRateField
{
	TThostFtdcOldInstrumentIDType reserve1;
	char InvestorRange;
	TThostFtdcBrokerIDType BrokerID;
	TThostFtdcInvestorIDType InvestorID;
	TThostFtdcHedgeFlagType HedgeFlag;
	TThostFtdcRatioType LongMarginRatioByMoney;
	TThostFtdcMoneyType LongMarginRatioByVolume;
	TThostFtdcRatioType ShortMarginRatioByMoney;
	TThostFtdcMoneyType ShortMarginRatioByVolume;
	TThostFtdcBoolType IsRelative;
	TThostFtdcExchangeIDType ExchangeID;
	TThostFtdcInvestUnitIDType InvestUnitID;
	TThostFtdcInstrumentIDType InstrumentID;
};

// An instrument's commission rates for the investor (RspQryInstrumentCommissionRate).
struct CThostFtdcInstrumentCommissionRateField
{
	TThostFtdcOldInstrumentIDType reserve1;
	char InvestorRange;
	TThostFtdcBrokerIDType BrokerID;
	TThostFtdcInvestorIDType InvestorID;
	TThostFtdcRatioType OpenRatioByMoney;
	TThostFtdcRatioType OpenRatioByVolume;
	TThostFtdcRatioType CloseRatioByMoney;
	TThostFtdcRatioType CloseRatioByVolume;
	TThostFtdcRatioType CloseTodayRatioByMoney;
	TThostFtdcRatioType CloseTodayRatioByVolume;
	TThostFtdcExchangeIDType ExchangeID;
	TThostFtdcBizTypeType BizType;
	TThostFtdcInvestUnitIDType InvestUnitID;
	TThostFtdcInstrumentIDType InstrumentID;
};

// A piece of a settlement statement (RspQrySettlementInfo).
struct CThostFtdcSettlementInfoField
{
	TThostFtdcDateType TradingDay;
	TThostFtdcSettlementIDType SettlementID;
	TThostFtdcBrokerIDType BrokerID;
	TThostFtdcInvestorIDType InvestorID;
	TThostFtdcSequenceNoType SequenceNo;
	char Content[501];
	TThostFtdcAccountIDType AccountID;
	TThostFtdcCurrencyIDType CurrencyID;
};

// An exchange (RspQryExchange).
struct CThostFtdcExchangeField
{
	TThostFtdcExchangeIDType ExchangeID;
	char ExchangeName[61];
	char ExchangeProperty;
};

// An instrument entered a trading phase (RtnInstrumentStatus).
struct CThostFtdcInstrumentStatusField
{
	TThostFtdcExchangeIDType ExchangeID;
	TThostFtdcOldExchangeInstIDType reserve1;
	TThostFtdcSettlementIDTextType SettlementGroupID;
	TThostFtdcOldInstrumentIDType reserve2;
	TThostFtdcInstrumentStatusType InstrumentStatus;
	TThostFtdcSequenceNoType TradingSegmentSN;
	TThostFtdcTimeType EnterTime;
	TThostFtdcInstStatusEnterReasonType EnterReason;
	TThostFtdcExchangeInstIDType ExchangeInstID;
	TThostFtdcInstrumentIDType InstrumentID;
};

// A notice the broker sent the investor (RtnTradingNotice).
struct CThostFtdcTradingNoticeInfoField
{
	TThostFtdcBrokerIDType BrokerID;
	TThostFtdcInvestorIDType InvestorID;
	TThostFtdcTimeType SendTime;
	char FieldContent[501];
	short SequenceSeries;
	TThostFtdcSequenceNoType SequenceNo;
	TThostFtdcInvestUnitIDType InvestUnitID;
};

// RspSubMarketData's and RspUnSubMarketData's record.
struct CThostFtdcSpecificInstrumentField
{
	TThostFtdcInstrumentIDType InstrumentID;
};

// A snapshot of one instrument (RtnDepthMarketData, RspQryDepthMarketData). Prices the exchange has not
// set arrive as the largest double (sys.float_info.max).
struct CThostFtdcDepthMarketDataField
{
	TThostFtdcDateType TradingDay;
	TThostFtdcOldInstrumentIDType reserve1;
	TThostFtdcExchangeIDType ExchangeID;
	TThostFtdcOldExchangeInstIDType reserve2;
	TThostFtdcPriceType LastPrice;
	TThostFtdcPriceType PreSettlementPrice;
	TThostFtdcPriceType PreClosePrice;
	TThostFtdcLargeVolumeType PreOpenInterest;
	TThostFtdcPriceType OpenPrice;
	TThostFtdcPriceType HighestPrice;
	TThostFtdcPriceType LowestPrice;
	TThostFtdcVolumeType Volume;
	TThostFtdcMoneyType Turnover;
	TThostFtdcLargeVolumeType OpenInterest;
	TThostFtdcPriceType ClosePrice;
	TThostFtdcPriceType SettlementPrice;
	TThostFtdcPriceType UpperLimitPrice;
	TThostFtdcPriceType LowerLimitPrice;
	TThostFtdcRatioType PreDelta;
	TThostFtdcRatioType CurrDelta;
	TThostFtdcTimeType UpdateTime;
	TThostFtdcMillisecType UpdateMillisec;
	TThostFtdcPriceType BidPrice1;
	TThostFtdcVolumeType BidVolume1;
	TThostFtdcPriceType AskPrice1;
	TThostFtdcVolumeType AskVolume1;
	TThostFtdcPriceType BidPrice2;
	TThostFtdcVolumeType BidVolume2;
	TThostFtdcPriceType AskPrice2;
	TThostFtdcVolumeType AskVolume2;
	TThostFtdcPriceType BidPrice3;
	TThostFtdcVolumeType BidVolume3;
	TThostFtdcPriceType AskPrice3;
	TThostFtdcVolumeType AskVolume3;
	TThostFtdcPriceType BidPrice4;
	TThostFtdcVolumeType BidVolume4;
	TThostFtdcPriceType AskPrice4;
	TThostFtdcVolumeType AskVolume4;
	TThostFtdcPriceType BidPrice5;
	TThostFtdcVolumeType BidVolume5;
	TThostFtdcPriceType AskPrice5;
	TThostFtdcVolumeType AskVolume5;
	TThostFtdcPriceType AveragePrice;
	TThostFtdcDateType ActionDay;
	TThostFtdcInstrumentIDType InstrumentID;
	TThostFtdcExchangeInstIDType ExchangeInstID;
	TThostFtdcPriceType BandingUpperPrice;
	TThostFtdcPriceType BandingLowerPrice;
};
// END interface/ctp.toml: records
