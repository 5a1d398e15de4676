// The "data" dict of each trading record, one overload per record type.
// Each returns a new dict, or null when the dict could not be created; a
// failed field leaves its exception pending and the dict partly filled.
#pragma once

#include <Python.h>

#include "ThostFtdcUserApiStruct.h"

PyObject *convert(const CThostFtdcRspAuthenticateField &data);
PyObject *convert(const CThostFtdcRspUserLoginField &data);
PyObject *convert(const CThostFtdcSettlementInfoConfirmField &data);
PyObject *convert(const CThostFtdcOrderField &data);
PyObject *convert(const CThostFtdcTradeField &data);
PyObject *convert(const CThostFtdcInvestorPositionField &data);
PyObject *convert(const CThostFtdcTradingAccountField &data);
PyObject *convert(const CThostFtdcInstrumentField &data);
PyObject *convert(const CThostFtdcInputOrderField &data);
PyObject *convert(const CThostFtdcInputOrderActionField &data);
PyObject *convert(const CThostFtdcOrderActionField &data);
