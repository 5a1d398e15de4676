"""Records out: every handled callback reaches poll as an event record with
the reply envelope and its "data" laid out key by key."""

import ctypes
import random

import pytest

from conftest import leaked
from records import RECORDS, info, put, raw, record

TEXT, CODE, INT, REAL, BYTES = "text", "code", "int", "real", "bytes"

LEVELS = [(f"{side}{what}{n}", kind) for n in range(1, 6)
          for side, what, kind in (("Bid", "Price", REAL), ("Bid", "Volume", INT),
                                   ("Ask", "Price", REAL), ("Ask", "Volume", INT))]
DEPTH = [("TradingDay", TEXT), ("ActionDay", TEXT), ("UpdateTime", TEXT), ("UpdateMillisec", INT),
         ("ExchangeID", TEXT), ("InstrumentID", TEXT), ("LastPrice", REAL), ("PreSettlementPrice", REAL),
         ("PreClosePrice", REAL), ("PreOpenInterest", REAL), ("OpenPrice", REAL), ("HighestPrice", REAL),
         ("LowestPrice", REAL), ("Volume", INT), ("Turnover", REAL), ("OpenInterest", REAL), ("ClosePrice", REAL),
         ("SettlementPrice", REAL), ("UpperLimitPrice", REAL), ("LowerLimitPrice", REAL), ("AveragePrice", REAL),
         *LEVELS]


def listed(text, kind=TEXT):
    """[(member, kind)] from "A, B (int), C": the kind in brackets, else `kind`."""
    out = []
    for item in text.split(", "):
        name, _, given = item.partition(" (")
        out.append((name, {"int": INT, "real": REAL, "code": CODE, "bytes": BYTES}.get(given.rstrip(")"), kind)))
    return out


# Exported keys of each record type, in order, with their kinds: what every
# session shows.
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
    # The records of the queries and notices that came later: the same in both modes.
    "CThostFtdcUserLogoutField": [("BrokerID", TEXT), ("UserID", TEXT)],
    "CThostFtdcUserPasswordUpdateField": [("BrokerID", TEXT), ("UserID", TEXT)],
    "CThostFtdcInstrumentMarginRateField": listed(
        "InstrumentID, ExchangeID, InvestorRange (code), BrokerID, InvestorID, HedgeFlag (code), "
        "LongMarginRatioByMoney (real), LongMarginRatioByVolume (real), ShortMarginRatioByMoney (real), "
        "ShortMarginRatioByVolume (real), IsRelative (int)"),
    "CThostFtdcInstrumentCommissionRateField": listed(
        "InstrumentID, ExchangeID, InvestorRange (code), BrokerID, InvestorID, OpenRatioByMoney (real), "
        "OpenRatioByVolume (real), CloseRatioByMoney (real), CloseRatioByVolume (real), "
        "CloseTodayRatioByMoney (real), CloseTodayRatioByVolume (real)"),
    "CThostFtdcInvestorPositionDetailField": listed(
        "TradingDay, ExchangeID, InstrumentID, BrokerID, InvestorID, HedgeFlag (code), Direction (code), OpenDate, "
        "TradeID, Volume (int), OpenPrice (real), TradeType (code), CloseProfitByDate (real), "
        "CloseProfitByTrade (real), PositionProfitByDate (real), PositionProfitByTrade (real), Margin (real), "
        "ExchMargin (real), MarginRateByMoney (real), MarginRateByVolume (real), LastSettlementPrice (real), "
        "SettlementPrice (real), CloseVolume (int), CloseAmount (real)"),
    "CThostFtdcSettlementInfoField": listed(
        "TradingDay, SettlementID (int), BrokerID, InvestorID, SequenceNo (int), Content (bytes), AccountID, "
        "CurrencyID"),
    "CThostFtdcDepthMarketDataField": DEPTH,
    "CThostFtdcExchangeField": listed("ExchangeID, ExchangeName, ExchangeProperty (code)"),
    "CThostFtdcInstrumentStatusField": listed(
        "ExchangeID, InstrumentID, SettlementGroupID, InstrumentStatus (code), TradingSegmentSN (int), EnterTime, "
        "EnterReason (code)"),
    "CThostFtdcTradingNoticeInfoField": listed(
        "BrokerID, InvestorID, SendTime, FieldContent, SequenceSeries (int), SequenceNo (int)"),
}

# What complete records (create(..., full_records=True)) show after those keys.
COMPLETE = {
    "CThostFtdcInstrumentField": listed(
        "InstrumentName, ExchangeInstID, ProductID, DeliveryYear (int), DeliveryMonth (int), "
        "MaxMarketOrderVolume (int), MinMarketOrderVolume (int), VolumeMultiple (int), CreateDate, OpenDate, "
        "ExpireDate, StartDelivDate, EndDelivDate, InstLifePhase (code), PositionType (code), "
        "PositionDateType (code), LongMarginRatio (real), ShortMarginRatio (real), MaxMarginSideAlgorithm (code), "
        "UnderlyingInstrID, StrikePrice (real), OptionsType (code), UnderlyingMultiple (real), "
        "CombinationType (code)"),
    "CThostFtdcOrderField": listed(
        "BrokerID, InvestorID, UserID, OrderPriceType (code), TimeCondition (code), GTDDate, VolumeCondition (code), "
        "MinVolume (int), ContingentCondition (code), StopPrice (real), ForceCloseReason (code), "
        "IsAutoSuspend (int), RequestID (int), OrderLocalID, ExchangeInstID, ParticipantID, ClientID, TraderID, "
        "OrderSource (code), OrderType (code), ActiveTime, SuspendTime, UpdateTime, CancelTime, SequenceNo (int), "
        "SettlementID (int), UserProductInfo, BrokerOrderSeq (int), RelativeOrderSysID, "
        "ZCETotalTradedVolume (int), IsSwapOrder (int), InvestUnitID"),
    "CThostFtdcTradeField": listed(
        "BrokerID, InvestorID, UserID, ExchangeInstID, ParticipantID, ClientID, TradingRole (code), "
        "TradeType (code), PriceSource (code), TraderID, OrderLocalID, ClearingPartID, BusinessUnit, "
        "SequenceNo (int), SettlementID (int), BrokerOrderSeq (int), TradeSource (code), InvestUnitID"),
    "CThostFtdcInvestorPositionField": listed(
        "BrokerID, InvestorID") + listed(
        "PreMargin, FrozenMargin, FrozenCash, FrozenCommission, CashIn, Commission, CloseProfit, PositionCost, "
        "PreSettlementPrice, SettlementPrice, OpenCost, ExchangeMargin, CloseProfitByDate, CloseProfitByTrade, "
        "MarginRateByMoney, MarginRateByVolume, OpenAmount, CloseAmount", REAL) + listed(
        "SettlementID, OpenVolume, CloseVolume, CombPosition, CombLongFrozen, CombShortFrozen", INT) + listed(
        "InvestUnitID"),
    "CThostFtdcTradingAccountField": listed("BrokerID") + listed(
        "PreMortgage, PreCredit, PreDeposit, PreBalance, PreMargin, InterestBase, Interest, FrozenCash, CashIn, "
        "Reserve, WithdrawQuota, Credit, Mortgage, ExchangeMargin, DeliveryMargin, ExchangeDeliveryMargin, "
        "ReserveBalance", REAL) + listed("SettlementID (int)"),
    "CThostFtdcRspUserLoginField": listed(
        "LoginTime, BrokerID, UserID, SystemName, SHFETime, DCETime, CZCETime, FFEXTime, INETime"),
    "CThostFtdcInputOrderField": listed(
        "BrokerID, InvestorID, UserID, OrderPriceType (code), Direction (code), CombOffsetFlag, CombHedgeFlag, "
        "LimitPrice (real), VolumeTotalOriginal (int), TimeCondition (code), GTDDate, VolumeCondition (code), "
        "MinVolume (int), ContingentCondition (code), StopPrice (real), ForceCloseReason (code), "
        "IsAutoSuspend (int), RequestID (int), UserForceClose (int), IsSwapOrder (int), InvestUnitID"),
    "CThostFtdcInputOrderActionField": listed(
        "BrokerID, InvestorID, OrderActionRef (int), OrderRef, RequestID (int), FrontID (int), SessionID (int), "
        "ActionFlag (code), LimitPrice (real), VolumeChange (int), UserID, InvestUnitID"),
    "CThostFtdcOrderActionField": listed(
        "BrokerID, InvestorID, OrderActionRef (int), OrderRef, RequestID (int), FrontID (int), SessionID (int), "
        "ActionFlag (code), ActionDate, ActionTime, OrderActionStatus (code), StatusMsg, UserID, InvestUnitID"),
    "CThostFtdcSettlementInfoConfirmField": listed(
        "ConfirmDate, ConfirmTime, SettlementID (int), AccountID, CurrencyID"),
    "CThostFtdcRspAuthenticateField": listed("UserProductInfo, AppType (code)"),
}


def layout(record_type, complete=False):
    """The keys a record shows, in order, in a session of that mode."""
    return LAYOUTS[record_type] + (COMPLETE.get(record_type, []) if complete else [])


# Vendor callback -> (event name, record type, how it is called)
RSP, RTN, ERR_RTN = "rsp", "rtn", "err_rtn"
CALLBACKS = {
    "OnRspAuthenticate": ("RspAuthenticate", "CThostFtdcRspAuthenticateField", RSP),
    "OnRspUserLogin": ("RspUserLogin", "CThostFtdcRspUserLoginField", RSP),
    "OnRspUserLogout": ("RspUserLogout", "CThostFtdcUserLogoutField", RSP),
    "OnRspUserPasswordUpdate": ("RspUserPasswordUpdate", "CThostFtdcUserPasswordUpdateField", RSP),
    "OnRspOrderInsert": ("RspOrderInsert", "CThostFtdcInputOrderField", RSP),
    "OnRspOrderAction": ("RspOrderAction", "CThostFtdcInputOrderActionField", RSP),
    "OnRspSettlementInfoConfirm": ("RspSettlementInfoConfirm", "CThostFtdcSettlementInfoConfirmField", RSP),
    "OnRspQryOrder": ("RspQryOrder", "CThostFtdcOrderField", RSP),
    "OnRspQryTrade": ("RspQryTrade", "CThostFtdcTradeField", RSP),
    "OnRspQryInvestorPosition": ("RspQryInvestorPosition", "CThostFtdcInvestorPositionField", RSP),
    "OnRspQryTradingAccount": ("RspQryTradingAccount", "CThostFtdcTradingAccountField", RSP),
    "OnRspQryInstrument": ("RspQryInstrument", "CThostFtdcInstrumentField", RSP),
    "OnRspQryInstrumentMarginRate": ("RspQryInstrumentMarginRate", "CThostFtdcInstrumentMarginRateField", RSP),
    "OnRspQryInstrumentCommissionRate": ("RspQryInstrumentCommissionRate", "CThostFtdcInstrumentCommissionRateField",
                                         RSP),
    "OnRspQryInvestorPositionDetail": ("RspQryInvestorPositionDetail", "CThostFtdcInvestorPositionDetailField", RSP),
    "OnRspQrySettlementInfo": ("RspQrySettlementInfo", "CThostFtdcSettlementInfoField", RSP),
    "OnRspQrySettlementInfoConfirm": ("RspQrySettlementInfoConfirm", "CThostFtdcSettlementInfoConfirmField", RSP),
    "OnRspQryDepthMarketData": ("RspQryDepthMarketData", "CThostFtdcDepthMarketDataField", RSP),
    "OnRspQryExchange": ("RspQryExchange", "CThostFtdcExchangeField", RSP),
    "OnRtnOrder": ("RtnOrder", "CThostFtdcOrderField", RTN),
    "OnRtnTrade": ("RtnTrade", "CThostFtdcTradeField", RTN),
    "OnErrRtnOrderInsert": ("ErrRtnOrderInsert", "CThostFtdcInputOrderField", ERR_RTN),
    "OnErrRtnOrderAction": ("ErrRtnOrderAction", "CThostFtdcOrderActionField", ERR_RTN),
    "OnRtnInstrumentStatus": ("RtnInstrumentStatus", "CThostFtdcInstrumentStatusField", RTN),
    "OnRtnTradingNotice": ("RtnTradingNotice", "CThostFtdcTradingNoticeInfoField", RTN),
}

ZERO_ERROR = {"ErrorID": 0, "ErrorMsg": ""}


def member_kind(record_type, member):
    ctype = dict(RECORDS[record_type]._fields_)[member]
    if ctype is ctypes.c_char:
        return CODE
    if ctype in (ctypes.c_int, ctypes.c_short):
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
            bits = 8 * ctypes.sizeof(ctype)
            setattr(rec, member, rng.randrange(-2**(bits - 1), 2**(bits - 1)))
        else:
            setattr(rec, member, rng.uniform(-1e12, 1e12))
    return rec


def expected(record_type, rec, complete=False):
    """What "data" must hold for rec, computed from its raw bytes."""
    out = {}
    for member, kind in layout(record_type, complete):
        if kind == TEXT:
            data = raw(rec, member)
            out[member] = data.split(b"\0", 1)[0].decode("gb18030", "replace")
        elif kind == BYTES:
            out[member] = raw(rec, member).split(b"\0", 1)[0]
        elif kind == CODE:
            out[member] = chr(raw(rec, member)[0])
        else:
            out[member] = getattr(rec, member)
    return out


def test_layouts_match_the_library(sim):
    for name, rec in RECORDS.items():
        assert ctypes.sizeof(rec) == sim.sizeof(name), name
    for name in LAYOUTS:
        keys = [member for member, _ in layout(name, complete=True)]
        assert len(set(keys)) == len(keys), name
        for member, kind in layout(name, complete=True):
            assert member_kind(name, member) == (TEXT if kind == BYTES else kind), (name, member)
    assert set(COMPLETE) <= set(LAYOUTS)


@pytest.fixture(params=[False, True], ids=["today's records", "complete records"])
def either(request, sim):
    """A session of either mode, and whether its records are complete."""
    return request.getfixturevalue("full_session" if request.param else "session"), request.param


class TestEveryCallback:
    @pytest.mark.parametrize("callback", sorted(CALLBACKS))
    def test_envelope_and_data(self, sim, either, callback):
        session, complete = either
        event_name, record_type, how = CALLBACKS[callback]
        rng = random.Random(callback)
        rec = filled(record_type, rng)
        err = info(-7, "交易所拒绝".encode("gb18030"))
        sim.emit(session.api, callback, rec, err, id=-12, last=False)
        [event] = session.poll()
        assert list(event) == ["name", "data", "error", "request_id", "last"]
        assert event["name"] == event_name
        data = event["data"]
        assert list(data) == [m for m, _ in layout(record_type, complete)]
        assert data == expected(record_type, rec, complete)
        for member, kind in layout(record_type, complete):
            assert type(data[member]) is {TEXT: str, CODE: str, INT: int, REAL: float, BYTES: bytes}[kind]
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
    def test_null_record_and_null_info(self, sim, either, callback):
        session, _ = either
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


class TestNotices:
    @pytest.mark.parametrize("lapse", [0, 30, -1, 2**31 - 1])
    def test_heartbeat_warning_is_built_like_a_disconnect(self, sim, either, lapse):
        session, _ = either
        sim.emit(session.api, "OnHeartBeatWarning", id=lapse)
        sim.emit(session.api, "OnFrontDisconnected", id=0x2001)
        warning, dropped = session.poll()
        assert list(warning.items()) == [("name", "HeartBeatWarning"), ("time_lapse", lapse)]
        assert list(dropped.items()) == [("name", "FrontDisconnected"), ("reason", 0x2001)]

    def test_password_update_never_shows_the_passwords(self, sim, either):
        session, _ = either
        rec = record("CThostFtdcUserPasswordUpdateField", BrokerID="9999", UserID="000001", OldPassword="old-secret",
                     NewPassword="new-secret")
        sim.emit(session.api, "OnRspUserPasswordUpdate", rec, id=4)
        [event] = session.poll()
        assert event["data"] == {"BrokerID": "9999", "UserID": "000001"}
        assert "secret" not in repr(event)

    def test_a_statement_split_inside_a_character_comes_back_whole(self, sim, either):
        """The front cuts the statement's GB18030 text every 500 bytes, here
        between the two bytes of a character: each record's Content is its
        bytes, undecoded, and the statement decodes once joined."""
        session, _ = either
        statement = (" " * 499 + "客户交易结算日报 " * 60).encode("gb18030")
        pieces = [statement[at:at + 500] for at in range(0, len(statement), 500)]
        assert pieces[0][-1] >= 0x80 and len(pieces) == 4      # the lead byte of 客; its trail opens the next
        for n, piece in enumerate(pieces):
            sim.emit(session.api, "OnRspQrySettlementInfo",
                     record("CThostFtdcSettlementInfoField", TradingDay="20261208", SequenceNo=n + 1, Content=piece),
                     id=9, last=n == len(pieces) - 1)
        events = session.poll()
        contents = [e["data"]["Content"] for e in events]
        assert contents == pieces and all(type(c) is bytes for c in contents)
        assert b"".join(contents).decode("gb18030") == statement.decode("gb18030")
        with pytest.raises(UnicodeDecodeError):
            contents[0].decode("gb18030")
        assert [e["data"]["SequenceNo"] for e in events] == [1, 2, 3, 4]
        assert [e["last"] for e in events] == [False, False, False, True]

    def test_content_bytes_stop_at_the_first_nul_or_the_field_s_end(self, sim, session):
        full = (bytes(range(1, 256)) * 2)[:501]                            # the whole field, no NUL
        for content, shown in [(full, full), (b"abc\0def", b"abc"), (b"\0abc", b""), (b"", b"")]:
            sim.emit(session.api, "OnRspQrySettlementInfo", record("CThostFtdcSettlementInfoField", Content=content))
            [event] = session.poll()
            assert event["data"]["Content"] == shown


def test_records_build_without_leaks(sim, either):
    session, _ = either
    rng = random.Random(5)
    order = filled("CThostFtdcOrderField", rng)
    statement = filled("CThostFtdcSettlementInfoField", rng)
    err = info(1, "错误".encode("gb18030"))

    def roundtrip():
        sim.emit(session.api, "OnRtnOrder", order)
        sim.emit(session.api, "OnRspQryOrder", None, err, id=2)
        sim.emit(session.api, "OnRspError", err)
        sim.emit(session.api, "OnRspQrySettlementInfo", statement)
        sim.emit(session.api, "OnHeartBeatWarning", id=3)
        assert len(session.poll()) == 5
    assert leaked(roundtrip) < 0.1


def test_records_of_one_kind_in_a_batch_are_separate(sim, either):
    """Records of a kind are built from the first one's shape: each is still a
    dict of its own, with its own values and the keys in table order."""
    session, complete = either
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
        assert list(data) == [key for key, _ in layout("CThostFtdcOrderField", complete)]
        assert data == expected("CThostFtdcOrderField", rec, complete)
        assert data["OrderSysID"] == raw(rec, "OrderSysID").split(b"\0")[0].decode("gb18030", "replace")
    orders[0]["OrderSysID"] = "changed"
    del orders[0]["TradingDay"]
    assert orders[1]["OrderSysID"] != "changed" and "TradingDay" in orders[1]
    assert events[3]["data"] == events[3]["error"] == {"ErrorID": 7, "ErrorMsg": "seven"}
    assert events[4]["data"] is None and events[4]["error"] == {"ErrorID": 0, "ErrorMsg": ""}
    assert list(events[4]) == ["name", "data", "error", "request_id", "last"]
