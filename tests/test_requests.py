"""Requests in: each request name reads its keys into a zero-filled vendor
record with exact checks and calls the vendor without the interpreter lock."""

import ctypes
import threading

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import _ctp
from conftest import Session, leaked
from ctp import _interface
from records import RECORDS, decode, put, record
from test_front import ALPHA, Trader, front  # noqa: F401  (the fixture)
from test_stubs import EVENTS, conforms

# Request name -> (vendor operation, record type, [(key, kind, size)]) in read order.
T, C, I, R = "text", "code", "int", "real"
REQUESTS = {
    "Authenticate": ("ReqAuthenticate", "CThostFtdcReqAuthenticateField",
                     [("BrokerID", T, 11), ("UserID", T, 16), ("AuthCode", T, 17), ("AppID", T, 33)]),
    "UserLogin": ("ReqUserLogin", "CThostFtdcReqUserLoginField",
                  [("BrokerID", T, 11), ("UserID", T, 16), ("Password", T, 41)]),
    "UserLogout": ("ReqUserLogout", "CThostFtdcUserLogoutField", [("BrokerID", T, 11), ("UserID", T, 16)]),
    "UserPasswordUpdate": ("ReqUserPasswordUpdate", "CThostFtdcUserPasswordUpdateField",
                           [("BrokerID", T, 11), ("UserID", T, 16), ("OldPassword", T, 41), ("NewPassword", T, 41)]),
    "SettlementInfoConfirm": ("ReqSettlementInfoConfirm", "CThostFtdcSettlementInfoConfirmField",
                              [("BrokerID", T, 11), ("InvestorID", T, 13), ("CurrencyID", T, 4)]),
    "QryOrder": ("ReqQryOrder", "CThostFtdcQryOrderField",
                 [("BrokerID", T, 11), ("InvestorID", T, 13), ("ExchangeID", T, 9), ("OrderSysID", T, 21),
                  ("InstrumentID", T, 81)]),
    "QryTrade": ("ReqQryTrade", "CThostFtdcQryTradeField",
                 [("BrokerID", T, 11), ("InvestorID", T, 13), ("ExchangeID", T, 9), ("InstrumentID", T, 81)]),
    "QryInvestorPosition": ("ReqQryInvestorPosition", "CThostFtdcQryInvestorPositionField",
                            [("BrokerID", T, 11), ("InvestorID", T, 13), ("ExchangeID", T, 9),
                             ("InstrumentID", T, 81)]),
    "QryTradingAccount": ("ReqQryTradingAccount", "CThostFtdcQryTradingAccountField",
                          [("BrokerID", T, 11), ("InvestorID", T, 13), ("CurrencyID", T, 4)]),
    "QryInstrument": ("ReqQryInstrument", "CThostFtdcQryInstrumentField",
                      [("ExchangeID", T, 9), ("InstrumentID", T, 81)]),
    "QryInstrumentMarginRate": ("ReqQryInstrumentMarginRate", "CThostFtdcQryInstrumentMarginRateField",
                                [("BrokerID", T, 11), ("InvestorID", T, 13), ("InstrumentID", T, 81),
                                 ("HedgeFlag", C, 1), ("ExchangeID", T, 9), ("InvestUnitID", T, 17)]),
    "QryInstrumentCommissionRate": ("ReqQryInstrumentCommissionRate", "CThostFtdcQryInstrumentCommissionRateField",
                                    [("BrokerID", T, 11), ("InvestorID", T, 13), ("InstrumentID", T, 81),
                                     ("ExchangeID", T, 9), ("InvestUnitID", T, 17)]),
    "QryInvestorPositionDetail": ("ReqQryInvestorPositionDetail", "CThostFtdcQryInvestorPositionDetailField",
                                  [("BrokerID", T, 11), ("InvestorID", T, 13), ("InstrumentID", T, 81),
                                   ("ExchangeID", T, 9), ("InvestUnitID", T, 17)]),
    "QrySettlementInfo": ("ReqQrySettlementInfo", "CThostFtdcQrySettlementInfoField",
                          [("BrokerID", T, 11), ("InvestorID", T, 13), ("TradingDay", T, 9), ("AccountID", T, 13),
                           ("CurrencyID", T, 4)]),
    "QrySettlementInfoConfirm": ("ReqQrySettlementInfoConfirm", "CThostFtdcQrySettlementInfoConfirmField",
                                 [("BrokerID", T, 11), ("InvestorID", T, 13), ("AccountID", T, 13),
                                  ("CurrencyID", T, 4)]),
    "QryDepthMarketData": ("ReqQryDepthMarketData", "CThostFtdcQryDepthMarketDataField",
                           [("InstrumentID", T, 81), ("ExchangeID", T, 9)]),
    "QryExchange": ("ReqQryExchange", "CThostFtdcQryExchangeField", [("ExchangeID", T, 9)]),
    "OrderInsert": ("ReqOrderInsert", "CThostFtdcInputOrderField", [
        ("BrokerID", T, 11), ("InvestorID", T, 13), ("OrderRef", T, 13), ("UserID", T, 16),
        ("OrderPriceType", C, 1), ("Direction", C, 1), ("CombOffsetFlag", T, 5), ("CombHedgeFlag", T, 5),
        ("LimitPrice", R, 8), ("VolumeTotalOriginal", I, 4), ("TimeCondition", C, 1), ("VolumeCondition", C, 1),
        ("MinVolume", I, 4), ("ContingentCondition", C, 1), ("ForceCloseReason", C, 1), ("IsAutoSuspend", I, 4),
        ("UserForceClose", I, 4), ("ExchangeID", T, 9), ("CurrencyID", T, 4), ("InstrumentID", T, 81)]),
    "OrderAction": ("ReqOrderAction", "CThostFtdcInputOrderActionField", [
        ("BrokerID", T, 11), ("InvestorID", T, 13), ("ExchangeID", T, 9), ("OrderSysID", T, 21),
        ("ActionFlag", C, 1), ("LimitPrice", R, 8), ("UserID", T, 16), ("InstrumentID", T, 81)]),
}

LENGTH = "超出 CTP 字段长度或包含 NUL 字符"


def full_values(name):
    """A value for every key: text at its longest, distinct codes and numbers."""
    values = {}
    for n, (key, kind, size) in enumerate(REQUESTS[name][2]):
        if kind == T:
            values[key] = (key * 20)[: size - 1]
        elif kind == C:
            values[key] = chr(0x30 + n)
        elif kind == I:
            values[key] = -1000 * n - 7
        else:
            values[key] = n + 0.25
    return values


def expected_record(name, values):
    rec = RECORDS[REQUESTS[name][1]]()
    for key, kind, _ in REQUESTS[name][2]:
        if key in values:
            value = values[key]
            if kind == T:
                value = value.encode("gb18030")
            elif kind == C:
                value = value.encode() or 0
            put(rec, key, value)
    return bytes(rec)


@pytest.fixture
def sent(sim, session):
    """Sends a request with a forced result; returns the calls that reached the vendor."""
    sim.force_result(0)

    def send(name, data, id=1, expect=0):
        before = len(sim.calls(session.api))
        assert _ctp.request(session.handle, name, data, id) == expect
        return sim.calls(session.api)[before:]
    return send


class TestRecords:
    @pytest.mark.parametrize("name", list(REQUESTS))
    def test_every_key_lands_in_its_member_and_nothing_else(self, sim, session, sent, name):
        values = full_values(name)
        values.update({"RequestID": 99, "FrontID": 5, "SessionID": 6, "OrderRef": values.get("OrderRef", "9")})
        [call] = sent(name, values, id=-31)
        assert call.name == REQUESTS[name][0]
        assert call.arg1 == -31
        assert call.gil == 0
        expected = expected_record(name, {k: v for k, v in values.items()
                                          if k in {key for key, _, _ in REQUESTS[name][2]}})
        assert call.bytes() == expected

    @pytest.mark.parametrize("name", list(REQUESTS))
    def test_empty_dict_sends_all_zero(self, sent, name):
        [call] = sent(name, {})
        assert call.bytes() == bytes(ctypes.sizeof(RECORDS[REQUESTS[name][1]]))

    def test_request_id_only_as_argument(self, sent):
        [call] = sent("OrderAction", {"RequestID": 4, "FrontID": 1, "SessionID": 2, "OrderRef": "7"}, id=12345)
        rec = decode(call)
        assert (call.arg1, rec.RequestID, rec.FrontID, rec.SessionID, rec.OrderRef) == (12345, 0, 0, 0, b"")

    def test_partial_order_is_not_defaulted(self, sent):
        [call] = sent("OrderInsert", {"InstrumentID": "rb2610", "Direction": "0", "VolumeTotalOriginal": 3})
        rec = decode(call)
        assert (rec.InstrumentID, rec.Direction, rec.VolumeTotalOriginal) == (b"rb2610", b"0", 3)
        assert (rec.LimitPrice, rec.OrderPriceType, rec.CombOffsetFlag, rec.MinVolume) == (0.0, b"\0", b"", 0)
        assert call.bytes() == bytes(record("CThostFtdcInputOrderField", InstrumentID=b"rb2610", Direction=b"0",
                                            VolumeTotalOriginal=3))

    @pytest.mark.parametrize("result", [0, -1, -2, -3, 7])
    def test_vendor_result_returned_unchanged(self, sim, session, result):
        sim.force_result(result)
        assert _ctp.request(session.handle, "QryInstrument", {}, 1) == result

    def test_dict_subclass_read_as_a_plain_dict(self, sent):
        class Odd(dict):
            def __getitem__(self, key):
                return "hooked"

            def __missing__(self, key):
                return "missing"

            def get(self, key, default=None):
                return "hooked"

        [call] = sent("UserLogin", Odd(UserID="alice"))
        assert (decode(call).UserID, decode(call).BrokerID) == (b"alice", b"")

    def test_str_subclass_and_int_like_values(self, sent):
        class Name(str):
            pass

        class Volume:
            def __index__(self):
                return 5

        [call] = sent("OrderInsert", {"InstrumentID": Name("ag2612"), "MinVolume": Volume(), "UserForceClose": True,
                                      "LimitPrice": 3, "Direction": ""})
        rec = decode(call)
        assert (rec.InstrumentID, rec.MinVolume, rec.UserForceClose, rec.LimitPrice) == (b"ag2612", 5, 1, 3.0)


class TestTextLimits:
    def test_password_of_40_and_41_bytes(self, sent):
        [call] = sent("UserLogin", {"Password": "p" * 40})
        assert decode(call).Password == b"p" * 40
        with pytest.raises(ValueError, match=f"^Password {LENGTH}$"):
            sent("UserLogin", {"Password": "p" * 41})

    def test_limit_counts_gb18030_bytes(self, sent):
        [call] = sent("UserLogin", {"BrokerID": "期货公司甲"})  # five two-byte characters
        assert decode(call).BrokerID == "期货公司甲".encode("gb18030")
        with pytest.raises(ValueError, match=f"^BrokerID {LENGTH}$"):
            sent("UserLogin", {"BrokerID": "期货公司甲乙"})
        with pytest.raises(ValueError, match=f"^BrokerID {LENGTH}$"):
            sent("UserLogin", {"BrokerID": "期货公司甲x"[:5] + "xx"})
        [call] = sent("OrderInsert", {"CombOffsetFlag": "\U0001F600"})  # four bytes
        assert decode(call).CombOffsetFlag == "\U0001F600".encode("gb18030")
        with pytest.raises(ValueError, match=f"^CombOffsetFlag {LENGTH}$"):
            sent("OrderInsert", {"CombOffsetFlag": "\U0001F600a"})

    def test_full_width_ascii_is_refused(self, sent):
        [call] = sent("UserLogin", {"BrokerID": "b" * 10})
        with pytest.raises(ValueError, match=f"^BrokerID {LENGTH}$"):
            sent("UserLogin", {"BrokerID": "b" * 11})


BAD_ITEMS = [
    # (request, key, value, exception, message)
    ("UserLogin", "UserID", 5, TypeError, "UserID 必须是字符串"),
    ("UserLogin", "UserID", b"alice", TypeError, "UserID 必须是字符串"),
    ("UserLogin", "UserID", None, TypeError, "UserID 必须是字符串"),
    ("UserLogin", "UserID", "al\0ce", ValueError, "UserID " + LENGTH),
    ("UserLogin", "UserID", "a\udc80", ValueError, "UserID 包含 CTP 不支持的字符"),
    ("OrderInsert", "Direction", "00", ValueError, "Direction " + LENGTH),
    ("OrderInsert", "Direction", "买", ValueError, "Direction " + LENGTH),
    ("OrderInsert", "Direction", "\0", ValueError, "Direction " + LENGTH),
    ("OrderInsert", "Direction", "\x80", ValueError, "Direction " + LENGTH),
    ("OrderInsert", "Direction", "\ud800", ValueError, "Direction 包含 CTP 不支持的字符"),
    ("OrderInsert", "Direction", 0x30, TypeError, "Direction 必须是字符串"),
    ("OrderInsert", "VolumeTotalOriginal", 2**31, OverflowError, "CTP 整数超出范围"),
    ("OrderInsert", "VolumeTotalOriginal", -(2**31) - 1, OverflowError, "CTP 整数超出范围"),
    ("OrderInsert", "VolumeTotalOriginal", 2**63, OverflowError, None),
    ("OrderInsert", "VolumeTotalOriginal", 1.5, TypeError, None),
    ("OrderInsert", "VolumeTotalOriginal", "1", TypeError, None),
    ("OrderInsert", "LimitPrice", "3.0", TypeError, None),
    ("OrderInsert", "LimitPrice", None, TypeError, None),
    ("OrderInsert", "LimitPrice", 10**400, OverflowError, None),
]


class TestBadItems:
    @pytest.mark.parametrize("name, key, value, error, message", BAD_ITEMS)
    def test_error_and_nothing_sent(self, sim, session, sent, name, key, value, error, message):
        before = len(sim.calls(session.api))
        with pytest.raises(error) as raised:
            _ctp.request(session.handle, name, {key: value}, 1)
        if message is not None:
            assert str(raised.value) == message
        assert type(raised.value) is error
        assert len(sim.calls(session.api)) == before

    @pytest.mark.parametrize("value, stored", [("", 0), ("0", 0x30), ("\x7f", 0x7F)])
    def test_codes(self, sent, value, stored):
        [call] = sent("OrderInsert", {"Direction": value})
        assert call.bytes()[RECORDS["CThostFtdcInputOrderField"].Direction.offset] == stored

    def test_integer_bounds_and_reals(self, sent):
        [call] = sent("OrderInsert", {"VolumeTotalOriginal": -(2**31), "MinVolume": 2**31 - 1, "LimitPrice": 3})
        rec = decode(call)
        assert (rec.VolumeTotalOriginal, rec.MinVolume, rec.LimitPrice) == (-(2**31), 2**31 - 1, 3.0)

    def test_first_bad_key_in_table_order_wins(self, sim, session):
        data = {"InstrumentID": 1, "LimitPrice": "x", "BrokerID": 2}
        with pytest.raises(TypeError, match="^BrokerID 必须是字符串$"):
            _ctp.request(session.handle, "OrderInsert", data, 1)
        # LimitPrice comes before InstrumentID: CPython's own float error.
        with pytest.raises(TypeError, match="real number"):
            _ctp.request(session.handle, "OrderAction", {"InstrumentID": 1, "LimitPrice": "x"}, 1)

    def test_failing_lookup_is_an_error_not_an_absent_key(self, sim, session):
        class Clash:
            def __hash__(self):
                return hash("BrokerID")

            def __eq__(self, other):
                raise KeyError("comparison failed")

        with pytest.raises(KeyError, match="comparison failed"):
            _ctp.request(session.handle, "UserLogin", {Clash(): 1}, 1)
        assert sim.calls(session.api, "ReqUserLogin") == []


class TestNamesAndArguments:
    @pytest.mark.parametrize("name", ["orderinsert", "ORDERINSERT", "ReqOrderInsert", "OrderInsert ", "", "Order"])
    def test_unsupported_names(self, session, name):
        with pytest.raises(ValueError, match="^不支持的 CTP 请求$"):
            _ctp.request(session.handle, name, {}, 1)

    @pytest.mark.parametrize("name", list(REQUESTS) + ["Nonsense"])
    def test_closed_session_refuses_every_name(self, sim, session, name):
        session.close()
        before = len(sim.calls())
        with pytest.raises(RuntimeError, match="^CTP 接口已关闭$"):
            _ctp.request(session.handle, name, {"BrokerID": 1}, 1)
        assert len(sim.calls()) == before

    @pytest.mark.parametrize("args, error", [
        (("QryInstrument", [], 1), TypeError),
        (("QryInstrument", None, 1), TypeError),
        ((b"QryInstrument", {}, 1), TypeError),
        (("QryInstrument", {}, 2**31), OverflowError),
        (("QryInstrument", {}, 1.0), TypeError),
        (("QryInstrument", {}), TypeError),
        (("Qry\0Instrument", {}, 1), ValueError),
    ])
    def test_parser_errors(self, sim, session, args, error):
        with pytest.raises(error):
            _ctp.request(session.handle, *args)
        assert sim.calls(session.api, "ReqQryInstrument") == []


class TestCloseRace:
    def test_close_while_reading_the_dict(self, sim, session):
        class Closing:
            def __index__(self):
                _ctp.close(session.handle)
                return 1

        with pytest.raises(RuntimeError, match="^CTP 接口已关闭$"):
            _ctp.request(session.handle, "OrderInsert", {"MinVolume": Closing()}, 1)
        assert sim.calls(session.api, "ReqOrderInsert") == []
        assert sim.violations() == 0

    @pytest.mark.parametrize("delay_us", [0, 300])
    def test_requests_racing_close(self, sim, flow, delay_us):
        """Senders on four threads while another closes: every call returns
        the vendor's result or raises the closed error, none hangs, and the
        library sees no call on a released object."""
        sim.set_request_delay(delay_us)
        sim.force_result(3)
        failures = []
        closed = 0
        for _ in range(20):
            s = Session(sim, flow)
            sent = threading.Semaphore(0)

            def sender():
                nonlocal closed
                for i in range(100000):
                    try:
                        if _ctp.request(s.handle, "QryOrder", {"BrokerID": "9999"}, i) != 3:
                            failures.append("wrong result")
                        sent.release()
                    except RuntimeError as e:
                        if str(e) != "CTP 接口已关闭":
                            failures.append(e)
                        closed += 1
                        return
                    except BaseException as e:  # noqa: B902 - reported below
                        failures.append(e)
                        return

            threads = [threading.Thread(target=sender) for _ in range(4)]
            for t in threads:
                t.start()
            for _ in range(20):  # close while requests are flowing
                assert sent.acquire(timeout=10)
            s.close()
            for t in threads:
                t.join(timeout=30)
                assert not t.is_alive(), "a request hangs after close"
        assert failures == []
        assert sim.violations() == 0
        assert closed == 80


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=st.text(max_size=14))
def test_any_str_is_stored_exactly_or_refused(sim, session, text):
    sim.force_result(0)
    before = len(sim.calls(session.api))
    try:
        encoded = text.encode("gb18030")
    except UnicodeEncodeError:
        encoded = None
    try:
        _ctp.request(session.handle, "SettlementInfoConfirm", {"InvestorID": text}, 1)
    except ValueError as e:
        assert len(sim.calls(session.api)) == before
        if encoded is None:
            assert str(e) == "InvestorID 包含 CTP 不支持的字符"
        else:
            assert len(encoded) >= 13 or b"\0" in encoded
            assert str(e) == "InvestorID " + LENGTH
        return
    [call] = sim.calls(session.api)[before:]
    field = decode(call).__class__.InvestorID
    assert call.bytes()[field.offset:field.offset + field.size] == encoded.ljust(13, b"\0")


def test_requests_leak_nothing(sim, session):
    sim.force_result(0)
    good = full_values("OrderInsert") | {"CombOffsetFlag": "开仓", "StatusMsg": "x"}

    def run():
        _ctp.request(session.handle, "OrderInsert", good, 1)
        for _, key, value, error, _ in BAD_ITEMS:
            try:
                _ctp.request(session.handle, "OrderInsert", {key: value}, 1)
            except error:
                pass
        try:
            _ctp.request(session.handle, "Bad", {}, 1)
        except ValueError:
            pass
    assert leaked(run, runs=50) < 0.1


# ---- on the simulated front ------------------------------------------------------------------------

# A value for every key a request of the interface reads, for investor ALPHA.
FILTERS = {"BrokerID": ALPHA["broker"], "InvestorID": ALPHA["user"], "UserID": ALPHA["user"], "AccountID": "",
           "InstrumentID": "rb2705", "ExchangeID": "SHFE", "HedgeFlag": "1", "CurrencyID": "CNY", "TradingDay": "",
           "InvestUnitID": "", "OrderSysID": "", "OldPassword": ALPHA["password"], "NewPassword": "654321"}
# Requests whose own tests are elsewhere (the session's protocol, orders): the rest are sent here.
ELSEWHERE = {"Authenticate", "UserLogin", "SettlementInfoConfirm", "OrderInsert", "OrderAction", "UserLogout",
             "UserPasswordUpdate"}


@pytest.mark.parametrize("complete", [False, True], ids=["today's records", "complete records"])
def test_every_request_is_answered_on_the_simulated_front(sim, tmp_path, front, complete):
    """Each request the module sends reaches the simulated front and comes
    back as its reply, all of its records typed as the stubs say for the
    session's mode; a password change shows no password; a logout logs out."""
    sim.query_interval(0)
    trader = Trader(sim, bytes(tmp_path) + b"/", front, full_records=complete)
    try:
        trader.login()
        for name, keys in _interface.REQUEST_KEYS.items():
            if name in ELSEWHERE:
                continue
            rid, events = trader.call(name, {key: FILTERS[key] for key in keys})
            replies = [e for e in events if e.get("request_id") == rid]
            assert replies and {e["name"] for e in replies} == {"Rsp" + name}, (name, events)
            assert [e["last"] for e in replies] == [False] * (len(replies) - 1) + [True], name
            assert all(e["error"]["ErrorID"] == 0 for e in replies), (name, replies)
            for event in replies:
                conforms(event, EVENTS[event["name"]], name, complete)
        rid, events = trader.call("UserPasswordUpdate", {key: FILTERS[key] for key in
                                                         _interface.REQUEST_KEYS["UserPasswordUpdate"]})
        [reply] = [e for e in events if e.get("request_id") == rid]
        conforms(reply, EVENTS["RspUserPasswordUpdate"], "RspUserPasswordUpdate", complete)
        assert reply["data"] in (None, {"BrokerID": ALPHA["broker"], "UserID": ALPHA["user"]})
        assert ALPHA["password"] not in repr(events) and "654321" not in repr(events)
        rid, events = trader.call("UserLogout", {"BrokerID": ALPHA["broker"], "UserID": ALPHA["user"]})
        assert [(e["name"], e["error"]["ErrorID"]) for e in events] == [("RspUserLogout", 0)]
        rid, events = trader.call("QryInstrument", {})
        assert events[0]["error"]["ErrorID"] != 0          # logged out: refused
    finally:
        trader.close()
