// The market-data interface: CThostFtdcMdApi, which the application drives,
// and CThostFtdcMdSpi, whose callbacks the library calls on threads of its
// own. Declared with the vendor's names and shapes; records are shared with
// the trader interface (ThostFtdcUserApiStruct.h).
#pragma once

#include "ThostFtdcUserApiStruct.h"

#if defined(_WIN32)
#define MD_API_EXPORT __declspec(dllexport)
#else
#define MD_API_EXPORT __attribute__((visibility("default")))
#endif

class CThostFtdcMdSpi
{
public:
	// The connection to the front is up; the client may log in.
	virtual void OnFrontConnected() {}

	// The connection to the front is lost; the library reconnects by itself.
	virtual void OnFrontDisconnected(int nReason) {}

	virtual void OnHeartBeatWarning(int nTimeLapse) {}

	virtual void OnRspUserLogin(CThostFtdcRspUserLoginField *pRspUserLogin, CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {}

	virtual void OnRspUserLogout(CThostFtdcUserLogoutField *pUserLogout, CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {}

	virtual void OnRspError(CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {}

	virtual void OnRspSubMarketData(CThostFtdcSpecificInstrumentField *pSpecificInstrument, CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {}

	virtual void OnRspUnSubMarketData(CThostFtdcSpecificInstrumentField *pSpecificInstrument, CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {}

	virtual void OnRtnDepthMarketData(CThostFtdcDepthMarketDataField *pDepthMarketData) {}
};

class MD_API_EXPORT CThostFtdcMdApi
{
public:
	// Creates an API object that keeps its files under pszFlowPath (a prefix,
	// usually a directory with a trailing '/'). Returns null when the flow
	// path cannot be created or written.
	static CThostFtdcMdApi *CreateFtdcMdApi(const char *pszFlowPath = "", const bool bIsUsingUdp = false, const bool bIsMulticast = false);

	// The library's version text.
	static const char *GetApiVersion();

	// Stops the library's threads and gives the object back. No callback runs
	// once it has returned.
	virtual void Release() = 0;

	// Starts the library: from here on callbacks may arrive.
	virtual void Init() = 0;

	// Waits until the library's threads end.
	virtual int Join() = 0;

	// The trading day, valid after login.
	virtual const char *GetTradingDay() = 0;

	// Adds a front address (copied).
	virtual void RegisterFront(char *pszFrontAddress) = 0;

	// Registers the callback object; null detaches the previous one.
	virtual void RegisterSpi(CThostFtdcMdSpi *pSpi) = 0;

	// Subscribes to (stops) the instruments' market data: one reply per
	// instrument. Returns 0 sent, -1 network failure, -2 too many requests waiting.
	virtual int SubscribeMarketData(char *ppInstrumentID[], int nCount) = 0;

	virtual int UnSubscribeMarketData(char *ppInstrumentID[], int nCount) = 0;

	virtual int ReqUserLogin(CThostFtdcReqUserLoginField *pReqUserLoginField, int nRequestID) = 0;

	virtual int ReqUserLogout(CThostFtdcUserLogoutField *pUserLogout, int nRequestID) = 0;

protected:
	~CThostFtdcMdApi() {}
};
