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
// BEGIN interface/ctp.toml: callbacks (written by interface/generate.py)
	// The front is reachable: log in (again) and subscribe.
	virtual void OnFrontConnected() {}

	// The connection dropped; the vendor reconnects by itself. The vendor's reason code, as in _ctp.
	virtual void OnFrontDisconnected(int nReason) {}

	// Nothing came from the front for a while; the connection may be about to drop. Seconds since the last
	// message from the front.
	virtual void OnHeartBeatWarning(int nTimeLapse) {}

	virtual void OnRspError(CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {}

	virtual void OnRspUserLogin(CThostFtdcRspUserLoginField *pRspUserLogin, CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {}

	virtual void OnRspUserLogout(CThostFtdcUserLogoutField *pUserLogout, CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {}

	virtual void OnRspSubMarketData(CThostFtdcSpecificInstrumentField *pSpecificInstrument, CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {}

	virtual void OnRspUnSubMarketData(CThostFtdcSpecificInstrumentField *pSpecificInstrument, CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {}

	virtual void OnRtnDepthMarketData(CThostFtdcDepthMarketDataField *pDepthMarketData) {}
// END interface/ctp.toml: callbacks
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

// BEGIN interface/ctp.toml: requests (written by interface/generate.py)
	virtual int ReqUserLogin(CThostFtdcReqUserLoginField *pReqUserLogin, int nRequestID) = 0;

	virtual int ReqUserLogout(CThostFtdcUserLogoutField *pUserLogout, int nRequestID) = 0;
// END interface/ctp.toml: requests

protected:
	~CThostFtdcMdApi() {}
};
