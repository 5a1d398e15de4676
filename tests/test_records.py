"""Records out: every handled callback reaches poll as an event record with
the reply envelope and its "data" laid out key by key."""

import ctypes
import random

import pytest

from conftest import leaked
from records import RECORDS, info, put, raw, record

TEXT, CODE, INT, REAL = "text", "code", "int", "real"

# Exported keys of each record type, in order, with their kinds.
LAYOUTS = {
    "CThostFtdcRspAuthenticateField": [("BrokerID", TEXT), ("UserID", TEXT), ("AppID", TEXT)],
    "CThostFtdcRspUserLoginField": [("TradingDay", TEXT), ("FrontID", INT), ("SessionID", INT),
                                    ("MaxOrderRef", TEXT)],
    "CThostFtdcSettlementInfoConfirmField": [("BrokerID", TEXT), ("InvestorID", TEXT)],
    "CThostFtdcOrderField": [
        ("TradingDay", TEXT), ("ExchangeID", TEXT), ("InstrumentID", TEXT), ("OrderSysID", TEXT), ("OrderRef", TEXT),
        ("FrontID", INT), ("SessionID", INT), ("Direction", CODE), ("CombOffsetFlag", TEXT), ("CombHedgeFlag", TEXT),
        ("LimitPrice", REAL), ("VolumeTotalOriginal", INT), ("VolumeTraded", INT), ("VolumeTotal", INT),
        ("OrderStatus", CODE), ("OrderSubmitStatus", CODE), ("StatusMsg", TEXT), ("InsertDate", TEXT),
        ("InsertTime", TEXT)],
    "CThostFtdcTradeField": [
        ("TradingDay", TEXT), ("ExchangeID", TEXT), ("InstrumentID", TEXT), ("OrderSysID", TEXT), ("OrderRef", TEXT),
        ("TradeID", TEXT), ("Direction", CODE), ("OffsetFlag", CODE), ("HedgeFlag", CODE), ("Price", REAL),
        ("Volume", INT), ("TradeDate", TEXT), ("TradeTime", TEXT)],
    "CThostFtdcInvestorPositionField": [
        ("TradingDay", TEXT), ("ExchangeID", TEXT), ("InstrumentID", TEXT), ("HedgeFlag", CODE),
        ("PosiDirection", CODE), ("PositionDate", CODE), ("Position", INT), ("TodayPosition", INT),
        ("YdPosition", INT), ("LongFrozen", INT), ("ShortFrozen", INT), ("PositionProfit", REAL),
        ("UseMargin", REAL)],
    "CThostFtdcTradingAccountField": [
        ("AccountID", TEXT), ("CurrencyID", TEXT), ("TradingDay", TEXT), ("Balance", REAL), ("Available", REAL),
        ("CurrMargin", REAL), ("FrozenMargin", REAL), ("Commission", REAL), ("FrozenCommission", REAL),
        ("CloseProfit", REAL), ("PositionProfit", REAL), ("Deposit", REAL), ("Withdraw", REAL)],
    "CThostFtdcInstrumentField": [
        ("ExchangeID", TEXT), ("InstrumentID", TEXT), ("ProductClass", CODE), ("IsTrading", INT),
        ("PriceTick", REAL), ("MinLimitOrderVolume", INT), ("MaxLimitOrderVolume", INT)],
    "CThostFtdcInputOrderField": [("InstrumentID", TEXT), ("ExchangeID", TEXT), ("OrderRef", TEXT)],
    "CThostFtdcInputOrderActionField": [("InstrumentID", TEXT), ("ExchangeID", TEXT), ("OrderSysID", TEXT)],
    "CThostFtdcOrderActionField": [("InstrumentID", TEXT), ("ExchangeID", TEXT), ("OrderSysID", TEXT)],
    "CThostFtdcRspInfoField": [("ErrorID", INT), ("ErrorMsg", TEXT)],
}

# Vendor callback -> (event name, record type, how it is called)
RSP, RTN, ERR_RTN = "rsp", "rtn", "err_rtn"
CALLBACKS = {
    "OnRspAuthenticate": ("RspAuthenticate", "CThostFtdcRspAuthenticateField", RSP),
    "OnRspUserLogin": ("RspUserLogin", "CThostFtdcRspUserLoginField", RSP),
    "OnRspOrderInsert": ("RspOrderInsert", "CThostFtdcInputOrderField", RSP),
    "OnRspOrderAction": ("RspOrderAction", "CThostFtdcInputOrderActionField", RSP),
    "OnRspSettlementInfoConfirm": ("RspSettlementInfoConfirm", "CThostFtdcSettlementInfoConfirmField", RSP),
    "OnRspQryOrder": ("RspQryOrder", "CThostFtdcOrderField", RSP),
    "OnRspQryTrade": ("RspQryTrade", "CThostFtdcTradeField", RSP),
    "OnRspQryInvestorPosition": ("RspQryInvestorPosition", "CThostFtdcInvestorPositionField", RSP),
    "OnRspQryTradingAccount": ("RspQryTradingAccount", "CThostFtdcTradingAccountField", RSP),
    "OnRspQryInstrument": ("RspQryInstrument", "CThostFtdcInstrumentField", RSP),
    "OnRtnOrder": ("RtnOrder", "CThostFtdcOrderField", RTN),
    "OnRtnTrade": ("RtnTrade", "CThostFtdcTradeField", RTN),
    "OnErrRtnOrderInsert": ("ErrRtnOrderInsert", "CThostFtdcInputOrderField", ERR_RTN),
    "OnErrRtnOrderAction": ("ErrRtnOrderAction", "CThostFtdcOrderActionField", ERR_RTN),
}

ZERO_ERROR = {"ErrorID": 0, "ErrorMsg": ""}


def member_kind(record_type, member):
    ctype = dict(RECORDS[record_type]._fields_)[member]
    if ctype is ctypes.c_char:
        return CODE
    if ctype is ctypes.c_int:
        return INT
    if ctype is ctypes.c_double:
        return REAL
    return TEXT


def filled(record_type, rng):
    """A record with every member set to a random value (text members full
    width without NUL, reserve members included)."""
    rec = RECORDS[record_type]()
    for member, ctype in rec._fields_:
        kind = member_kind(record_type, member)
        if kind == TEXT:
            size = ctypes.sizeof(ctype)
            put(rec, member, bytes(rng.randrange(0x21, 0x7F) for _ in range(size)))
        elif kind == CODE:
            put(rec, member, rng.randrange(256))
        elif kind == INT:
            setattr(rec, member, rng.randrange(-2**31, 2**31))
        else:
            setattr(rec, member, rng.uniform(-1e12, 1e12))
    return rec


def expected(record_type, rec):
    """What "data" must hold for rec, computed from its raw bytes."""
    out = {}
    for member, kind in LAYOUTS[record_type]:
        if kind == TEXT:
            data = raw(rec, member)
            out[member] = data.split(b"\0", 1)[0].decode("gb18030", "replace")
        elif kind == CODE:
            out[member] = chr(raw(rec, member)[0])
        else:
            out[member] = getattr(rec, member)
    return out


def test_layouts_match_the_library(sim):
    for name, rec in RECORDS.items():
        assert ctypes.sizeof(rec) == sim.sizeof(name), name
    for name, layout in LAYOUTS.items():
        for member, kind in layout:
            assert member_kind(name, member) == kind, (name, member)


class TestEveryCallback:
    @pytest.mark.parametrize("callback", sorted(CALLBACKS))
    def test_envelope_and_data(self, sim, session, callback):
        event_name, record_type, how = CALLBACKS[callback]
        rng = random.Random(callback)
        rec = filled(record_type, rng)
        err = info(-7, "交易所拒绝".encode("gb18030"))
        sim.emit(session.api, callback, rec, err, id=-12, last=False)
        [event] = session.poll()
        assert list(event) == ["name", "data", "error", "request_id", "last"]
        assert event["name"] == event_name
        data = event["data"]
        assert list(data) == [m for m, _ in LAYOUTS[record_type]]
        assert data == expected(record_type, rec)
        for member, kind in LAYOUTS[record_type]:
            assert type(data[member]) is {TEXT: str, CODE: str, INT: int, REAL: float}[kind]
        if how == RSP:
            assert (event["error"], event["request_id"], event["last"]) == (
                {"ErrorID": -7, "ErrorMsg": "交易所拒绝"}, -12, False)
        elif how == RTN:
            assert (event["error"], event["request_id"], event["last"]) == (ZERO_ERROR, 0, True)
        else:
            assert (event["error"], event["request_id"], event["last"]) == (
                {"ErrorID": -7, "ErrorMsg": "交易所拒绝"}, 0, True)
        assert event["last"] is (how != RSP and True or False)

    @pytest.mark.parametrize("callback", sorted(CALLBACKS))
    def test_null_record_and_null_info(self, sim, session, callback):
        event_name, _, how = CALLBACKS[callback]
        sim.emit(session.api, callback, None, None, id=3, last=True)
        [event] = session.poll()
        assert event == {"name": event_name, "data": None, "error": ZERO_ERROR,
                         "request_id": 3 if how == RSP else 0, "last": True}

    def test_pairs_share_their_layout(self, sim, session):
        order = filled("CThostFtdcOrderField", random.Random(1))
        sim.emit(session.api, "OnRtnOrder", order)
        sim.emit(session.api, "OnRspQryOrder", order, id=1)
        trade = filled("CThostFtdcTradeField", random.Random(2))
        sim.emit(session.api, "OnRtnTrade", trade)
        sim.emit(session.api, "OnRspQryTrade", trade, id=1)
        inserted = filled("CThostFtdcInputOrderField", random.Random(3))
        sim.emit(session.api, "OnRspOrderInsert", inserted, id=1)
        sim.emit(session.api, "OnErrRtnOrderInsert", inserted)
        a, b, c, d, e, f = [event["data"] for event in session.poll()]
        assert a == b and c == d and e == f
        action = record("CThostFtdcInputOrderActionField", InstrumentID="rb2610", ExchangeID="SHFE", OrderSysID="77")
        failed = record("CThostFtdcOrderActionField", InstrumentID="rb2610", ExchangeID="SHFE", OrderSysID="77")
        sim.emit(session.api, "OnRspOrderAction", action)
        sim.emit(session.api, "OnErrRtnOrderAction", failed)
        g, h = [event["data"] for event in session.poll()]
        assert list(g.items()) == list(h.items())


class TestValues:
    def emit_order(self, sim, session, **members):
        sim.emit(session.api, "OnRtnOrder", record("CThostFtdcOrderField", **members))
        [event] = session.poll()
        return event["data"]

    def test_text_edges(self, sim, session):
        data = self.emit_order(
            sim, session,
            TradingDay=b"20261208X",             # all 9 bytes, no NUL: decoded whole
            ExchangeID=b"SHFE\0junk",             # bytes after the first NUL are ignored
            OrderSysID=b"\0abc",                  # empty when the first byte is NUL
            StatusMsg="全部成交".encode("gb18030"),
            InsertTime=b"\x81\x30\xff",           # invalid GB18030
            CombOffsetFlag=b"\xb2\xe2",          # a two-byte character
        )
        assert data["TradingDay"] == "20261208X"
        assert data["ExchangeID"] == "SHFE"
        assert data["OrderSysID"] == ""
        assert data["StatusMsg"] == "全部成交"
        assert data["InsertTime"] == b"\x81\x30\xff".decode("gb18030", "replace")
        assert "\ufffd" in data["InsertTime"]
        assert data["CombOffsetFlag"] == "测"

    @pytest.mark.parametrize("byte", [0, 0x30, 0x7F, 0x80, 0xB2, 0xFF])
    def test_code_bytes_are_code_points(self, sim, session, byte):
        data = self.emit_order(sim, session, Direction=byte, OrderStatus=byte)
        assert data["Direction"] == data["OrderStatus"] == chr(byte)

    def test_instrument_id_is_never_reserve1(self, sim, session):
        data = self.emit_order(sim, session, reserve1=b"old-id", InstrumentID=b"")
        assert data["InstrumentID"] == ""
        long_id = b"x" * 81
        data = self.emit_order(sim, session, reserve1=b"old", InstrumentID=long_id)
        assert data["InstrumentID"] == long_id.decode()

    def test_numbers_pass_unchanged(self, sim, session):
        rec = record("CThostFtdcInstrumentField", IsTrading=7, PriceTick=1.7976931348623157e308,
                     MinLimitOrderVolume=-(2**31), MaxLimitOrderVolume=2**31 - 1)
        sim.emit(session.api, "OnRspQryInstrument", rec)
        [event] = session.poll()
        data = event["data"]
        assert data["IsTrading"] == 7 and type(data["IsTrading"]) is int
        assert data["PriceTick"] == 1.7976931348623157e308
        assert (data["MinLimitOrderVolume"], data["MaxLimitOrderVolume"]) == (-(2**31), 2**31 - 1)
        assert list(data)[-2:] == ["MinLimitOrderVolume", "MaxLimitOrderVolume"]

    def test_special_reals(self, sim, session):
        rec = record("CThostFtdcTradingAccountField", Balance=float("inf"), Available=-0.0, CurrMargin=float("nan"))
        sim.emit(session.api, "OnRspQryTradingAccount", rec)
        [event] = session.poll()
        data = event["data"]
        assert data["Balance"] == float("inf")
        assert str(data["Available"]) == "-0.0"
        assert data["CurrMargin"] != data["CurrMargin"]

    def test_record_is_copied_when_the_callback_runs(self, sim, session):
        # The library overwrites its buffer after each callback; two events
        # queued before one poll each keep their own bytes.
        sim.emit(session.api, "OnRtnOrder", record("CThostFtdcOrderField", OrderSysID=b"first", LimitPrice=1.5),
                 info(3, b"x"))
        sim.emit(session.api, "OnRtnOrder", record("CThostFtdcOrderField", OrderSysID=b"second", LimitPrice=2.5))
        first, second = session.poll()
        assert (first["data"]["OrderSysID"], first["data"]["LimitPrice"]) == ("first", 1.5)
        assert (second["data"]["OrderSysID"], second["data"]["LimitPrice"]) == ("second", 2.5)


class TestRspError:
    def test_error_twice_in_equal_but_distinct_dicts(self, sim, session):
        err = info(90, "查询未就绪".encode("gb18030"))
        sim.emit(session.api, "OnRspError", err, id=5, last=False)
        [event] = session.poll()
        assert event["name"] == "RspError"
        assert event["data"] == event["error"] == {"ErrorID": 90, "ErrorMsg": "查询未就绪"}
        assert event["data"] is not event["error"]
        assert list(event["error"]) == ["ErrorID", "ErrorMsg"]
        assert (event["request_id"], event["last"]) == (5, False)

    def test_null_error(self, sim, session):
        sim.emit(session.api, "OnRspError", None, id=0)
        [event] = session.poll()
        assert event == {"name": "RspError", "data": None, "error": ZERO_ERROR, "request_id": 0, "last": True}

    def test_message_without_nul(self, sim, session):
        sim.emit(session.api, "OnRspError", info(1, b"m" * 81))
        [event] = session.poll()
        assert event["error"]["ErrorMsg"] == "m" * 81


@pytest.mark.parametrize("callback, rec", [
    ("OnRspUserLogout", record("CThostFtdcUserLogoutField", BrokerID=b"9999")),
    ("OnHeartBeatWarning", None),
    ("OnRtnInstrumentStatus", record("CThostFtdcInstrumentStatusField", InstrumentID=b"rb2610")),
])
def test_callbacks_left_alone_give_nothing(sim, session, callback, rec):
    sim.emit(session.api, callback, rec, id=30)
    sim.emit(session.api, "OnFrontConnected")
    assert session.poll() == [{"name": "FrontConnected"}]


def test_records_build_without_leaks(sim, session):
    rng = random.Random(5)
    order = filled("CThostFtdcOrderField", rng)
    err = info(1, "错误".encode("gb18030"))

    def roundtrip():
        sim.emit(session.api, "OnRtnOrder", order)
        sim.emit(session.api, "OnRspQryOrder", None, err, id=2)
        sim.emit(session.api, "OnRspError", err)
        assert len(session.poll()) == 3
    assert leaked(roundtrip) < 0.1


def test_records_of_one_kind_in_a_batch_are_separate(sim, session):
    """Records of a kind are built from the first one's shape: each is still a
    dict of its own, with its own values and the keys in table order."""
    rng = random.Random(9)
    recs = [filled("CThostFtdcOrderField", rng) for _ in range(3)]
    for rec in recs:
        sim.emit(session.api, "OnRtnOrder", rec)
    sim.emit(session.api, "OnRspError", info(7, b"seven"))
    sim.emit(session.api, "OnRspError", None)
    events = session.poll()
    orders = [e["data"] for e in events[:3]]
    assert len({id(d) for d in orders}) == 3 and len({id(e["error"]) for e in events}) == 5
    for data, rec in zip(orders, recs):
        assert list(data) == [key for key, _ in LAYOUTS["CThostFtdcOrderField"]]
        assert data["OrderSysID"] == raw(rec, "OrderSysID").split(b"\0")[0].decode("gb18030", "replace")
    orders[0]["OrderSysID"] = "changed"
    del orders[0]["TradingDay"]
    assert orders[1]["OrderSysID"] != "changed" and "TradingDay" in orders[1]
    assert events[3]["data"] == events[3]["error"] == {"ErrorID": 7, "ErrorMsg": "seven"}
    assert events[4]["data"] is None and events[4]["error"] == {"ErrorID": 0, "ErrorMsg": ""}
    assert list(events[4]) == ["name", "data", "error", "request_id", "last"]
