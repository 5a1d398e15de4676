// The "data" dict of each market-data record, as native/ctp/convert.h.
#pragma once

#include <Python.h>

#include "ThostFtdcUserApiStruct.h"

PyObject *convert(const CThostFtdcUserLogoutField &data);
PyObject *convert(const CThostFtdcSpecificInstrumentField &data);
PyObject *convert(const CThostFtdcDepthMarketDataField &data);
