// Field types of the trader interface, under the vendor's names, as
// interface/ctp.toml describes them (interface/generate.py writes them).
// Text fields are fixed char arrays holding NUL-terminated GB18030 text,
// codes are single chars, integers are int or short and reals are double.
#pragma once

enum THOST_TE_RESUME_TYPE
{
	THOST_TERT_RESTART = 0,
	THOST_TERT_RESUME,
	THOST_TERT_QUICK,
	THOST_TERT_NONE
};

// BEGIN interface/ctp.toml: types (written by interface/generate.py)
// ---- text ---------------------------------------------------------------------
typedef char TThostFtdcDateType[9];
typedef char TThostFtdcTimeType[9];
typedef char TThostFtdcExchangeIDType[9];
typedef char TThostFtdcInstrumentIDType[81];
typedef char TThostFtdcOldInstrumentIDType[31];
typedef char TThostFtdcExchangeInstIDType[81];
typedef char TThostFtdcOldExchangeInstIDType[31];
typedef char TThostFtdcProductIDType[81];
typedef char TThostFtdcOldProductIDType[31];
typedef char TThostFtdcInstrumentNameType[21];
typedef char TThostFtdcOrderSysIDType[21];
typedef char TThostFtdcOrderRefType[13];
typedef char TThostFtdcOrderLocalIDType[13];
typedef char TThostFtdcTradeIDType[21];
typedef char TThostFtdcCombOffsetFlagType[5];
typedef char TThostFtdcCombHedgeFlagType[5];
typedef char TThostFtdcErrorMsgType[81];
typedef char TThostFtdcAccountIDType[13];
typedef char TThostFtdcCurrencyIDType[4];
typedef char TThostFtdcBrokerIDType[11];
typedef char TThostFtdcUserIDType[16];
typedef char TThostFtdcInvestorIDType[13];
typedef char TThostFtdcAppIDType[33];
typedef char TThostFtdcAuthCodeType[17];
typedef char TThostFtdcPasswordType[41];
typedef char TThostFtdcProductInfoType[11];
typedef char TThostFtdcProtocolInfoType[11];
typedef char TThostFtdcSystemNameType[41];
typedef char TThostFtdcMacAddressType[21];
typedef char TThostFtdcIPAddressType[33];
typedef char TThostFtdcOldIPAddressType[16];
typedef char TThostFtdcLoginRemarkType[36];
typedef char TThostFtdcSMSCodeType[7];
typedef char TThostFtdcInvestUnitIDType[17];
typedef char TThostFtdcBusinessUnitType[21];
typedef char TThostFtdcClientIDType[11];
typedef char TThostFtdcOrderMemoType[13];
typedef char TThostFtdcParticipantIDType[11];
typedef char TThostFtdcTraderIDType[21];
typedef char TThostFtdcSettlementIDTextType[9];
typedef char TThostFtdcSequenceLabelType[2];
typedef char TThostFtdcApiVersionType[41];

// ---- codes --------------------------------------------------------------------
typedef char TThostFtdcDirectionType;
typedef char TThostFtdcOffsetFlagType;
typedef char TThostFtdcHedgeFlagType;
typedef char TThostFtdcPosiDirectionType;
typedef char TThostFtdcPositionDateType;
typedef char TThostFtdcOrderStatusType;
typedef char TThostFtdcOrderSubmitStatusType;
typedef char TThostFtdcOrderPriceTypeType;
typedef char TThostFtdcTimeConditionType;
typedef char TThostFtdcVolumeConditionType;
typedef char TThostFtdcContingentConditionType;
typedef char TThostFtdcForceCloseReasonType;
typedef char TThostFtdcActionFlagType;
typedef char TThostFtdcProductClassType;
typedef char TThostFtdcBizTypeType;
typedef char TThostFtdcOrderTypeType;
typedef char TThostFtdcOrderSourceType;
typedef char TThostFtdcTradeTypeType;
typedef char TThostFtdcInstrumentStatusType;
typedef char TThostFtdcInstStatusEnterReasonType;
typedef char TThostFtdcInstLifePhaseType;
typedef char TThostFtdcPositionTypeType;
typedef char TThostFtdcOrderActionStatusType;

// ---- integers -----------------------------------------------------------------
typedef int TThostFtdcErrorIDType;
typedef int TThostFtdcFrontIDType;
typedef int TThostFtdcSessionIDType;
typedef int TThostFtdcVolumeType;
typedef int TThostFtdcBoolType;
typedef int TThostFtdcRequestIDType;
typedef int TThostFtdcSettlementIDType;
typedef int TThostFtdcIPPortType;
typedef int TThostFtdcOrderActionRefType;
typedef int TThostFtdcSequenceNoType;
typedef int TThostFtdcVolumeMultipleType;
typedef int TThostFtdcYearType;
typedef int TThostFtdcMonthType;
typedef int TThostFtdcTimeLapseType;
typedef int TThostFtdcMillisecType;

// ---- reals --------------------------------------------------------------------
typedef double TThostFtdcPriceType;
typedef double TThostFtdcMoneyType;
typedef double TThostFtdcRatioType;
typedef double TThostFtdcLargeVolumeType;
// END interface/ctp.toml: types
