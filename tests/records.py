"""The vendor's records as ctypes structures, read from the headers the
module is built against, to hand to ctp.sim.emit and to read the records the
stand-in logged (ctp.sim.calls)."""

import ctypes
import re
from pathlib import Path

from ctp.sim import Call

ROOT = Path(__file__).resolve().parent.parent
HEADERS = ROOT / "standin" / "include"


def _field_kinds(text):
    """typedef name -> ctypes type, from ThostFtdcUserApiDataType.h."""
    kinds = {"char": ctypes.c_char, "short": ctypes.c_short, "int": ctypes.c_int, "double": ctypes.c_double}
    for base, name, size in re.findall(r"typedef\s+(\w+)\s+(\w+)\s*(?:\[(\d+)\])?\s*;", text):
        ctype = kinds[base]
        kinds[name] = ctype * int(size) if size else ctype
    return kinds


def _records(headers=HEADERS):
    kinds = _field_kinds((headers / "ThostFtdcUserApiDataType.h").read_text())
    structs = (headers / "ThostFtdcUserApiStruct.h").read_text()
    records = {}
    for name, body in re.findall(r"struct\s+(CThostFtdc\w+)\s*\{(.*?)\};", structs, re.S):
        fields = [(member, kinds[kind] * int(size) if size else kinds[kind])
                  for kind, member, size in re.findall(r"^\s*(\w+)\s+(\w+)\s*(?:\[(\d+)\])?\s*;", body, re.M)]
        records[name] = type(name, (ctypes.Structure,), {"_fields_": fields})
    return records


RECORDS = _records()

# The record type each Req* operation takes.
REQUEST_RECORDS = {
    "ReqAuthenticate": "CThostFtdcReqAuthenticateField",
    "ReqUserLogin": "CThostFtdcReqUserLoginField",
    "ReqUserLogout": "CThostFtdcUserLogoutField",
    "ReqUserPasswordUpdate": "CThostFtdcUserPasswordUpdateField",
    "ReqSettlementInfoConfirm": "CThostFtdcSettlementInfoConfirmField",
    "ReqQryOrder": "CThostFtdcQryOrderField",
    "ReqQryTrade": "CThostFtdcQryTradeField",
    "ReqQryInvestorPosition": "CThostFtdcQryInvestorPositionField",
    "ReqQryTradingAccount": "CThostFtdcQryTradingAccountField",
    "ReqQryInstrument": "CThostFtdcQryInstrumentField",
    "ReqQryInstrumentMarginRate": "CThostFtdcQryInstrumentMarginRateField",
    "ReqQryInstrumentCommissionRate": "CThostFtdcQryInstrumentCommissionRateField",
    "ReqQryInvestorPositionDetail": "CThostFtdcQryInvestorPositionDetailField",
    "ReqQrySettlementInfo": "CThostFtdcQrySettlementInfoField",
    "ReqQrySettlementInfoConfirm": "CThostFtdcQrySettlementInfoConfirmField",
    "ReqQryDepthMarketData": "CThostFtdcQryDepthMarketDataField",
    "ReqQryExchange": "CThostFtdcQryExchangeField",
    "ReqOrderInsert": "CThostFtdcInputOrderField",
    "ReqOrderAction": "CThostFtdcInputOrderActionField",
}


def record(name, **values):
    """A zero-filled record of the named type with the given members set.
    Text members take bytes (copied as given, without adding a NUL) or str
    (encoded as GB18030); code members take a one-byte bytes or an int."""
    rec = RECORDS[name]()
    for member, value in values.items():
        put(rec, member, value)
    return rec


def put(rec, member, value):
    field = getattr(type(rec), member)
    kind = dict(type(rec)._fields_)[member]
    if isinstance(value, str):
        value = value.encode("gb18030")
    if isinstance(kind, type) and issubclass(kind, ctypes.Array):
        if len(value) > field.size:
            raise ValueError(f"{member}: {len(value)} bytes do not fit {field.size}")
        ctypes.memmove(ctypes.addressof(rec) + field.offset, bytes(value), len(value))
    elif kind is ctypes.c_char and isinstance(value, int):
        ctypes.memmove(ctypes.addressof(rec) + field.offset, bytes([value]), 1)
    else:
        setattr(rec, member, value)


def raw(rec, member):
    """The bytes of one member of a record."""
    field = getattr(type(rec), member)
    return bytes(rec)[field.offset:field.offset + field.size]


def info(error_id=0, message=b""):
    return record("CThostFtdcRspInfoField", ErrorID=error_id, ErrorMsg=message)


def decode(call: Call):
    """The record a logged Req* call received, as a ctypes structure."""
    return RECORDS[REQUEST_RECORDS[call.name]].from_buffer_copy(call.bytes())
