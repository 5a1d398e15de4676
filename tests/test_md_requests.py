"""_ctpmd's requests in: UserLogin and UserLogout read like _ctp's; subscribe
and unsubscribe check every id before anything is sent; and a strategy that
trades on sim://X through _ctp sees its trades in the ticks of sim://X."""

import time

import pytest

import _ctp
import _ctpmd
from conftest import Session, leaked
from conftest import poll_until as poll_trader
from ctp.sim import ControlError, Result
from records import RECORDS, put
from test_md import MdSession, md, poll_until  # noqa: F401  (md: the fixture)

LENGTH = "超出 CTP 字段长度或包含 NUL 字符"
DBL_MAX = 1.7976931348623157e308


@pytest.fixture
def sent(sim, md):  # noqa: F811
    """Calls that reached the vendor for one module call, with results forced to 0."""
    sim.force_result(0)

    def send(call, *args, expect=0):
        before = len(sim.calls(md.api))
        assert call(md.handle, *args) == expect
        return sim.calls(md.api)[before:]
    return send


class TestRequests:
    @pytest.mark.parametrize("name, op, record_type, keys", [
        ("UserLogin", "ReqUserLogin", "CThostFtdcReqUserLoginField",
         [("BrokerID", 11), ("UserID", 16), ("Password", 41)]),
        ("UserLogout", "ReqUserLogout", "CThostFtdcUserLogoutField", [("BrokerID", 11), ("UserID", 16)]),
    ])
    def test_every_key_lands_in_its_member_and_nothing_else(self, sent, name, op, record_type, keys):
        values = {key: (key * 20)[: size - 1] for key, size in keys}
        [call] = sent(_ctpmd.request, name, values, 42)
        assert (call.name, call.arg1, call.gil) == (op, 42, 0)
        expected = RECORDS[record_type]()
        for key, value in values.items():
            put(expected, key, value.encode())
        assert call.bytes() == bytes(expected)

    @pytest.mark.parametrize("data, error", [
        ({"BrokerID": "x" * 11}, ValueError), ({"UserID": 1}, TypeError), ({"Password": "a\0"}, ValueError),
        ({"BrokerID": "\udc80"}, ValueError)])
    def test_bad_fields_send_nothing(self, sent, data, error):
        with pytest.raises(error):
            sent(_ctpmd.request, "UserLogin", data, 1)
        assert sent(_ctpmd.request, "UserLogin", {}, 1)[0].name == "ReqUserLogin"

    @pytest.mark.parametrize("name", ["OrderInsert", "Subscribe", "userlogin", ""])
    def test_other_names_are_refused(self, sent, name):
        with pytest.raises(ValueError, match="^不支持的 CTP 请求$"):
            sent(_ctpmd.request, name, {}, 1)

    def test_closed_session(self, md):  # noqa: F811
        md.close()
        for call in (lambda: _ctpmd.request(md.handle, "UserLogin", {}, 1),
                     lambda: _ctpmd.subscribe(md.handle, []), lambda: _ctpmd.unsubscribe(md.handle, ["a"])):
            with pytest.raises(RuntimeError, match="^CTP 接口已关闭$"):
                call()


class TestSubscribeLists:
    @pytest.mark.parametrize("call, op", [(_ctpmd.subscribe, "SubscribeMarketData"),
                                          (_ctpmd.unsubscribe, "UnSubscribeMarketData")])
    @pytest.mark.parametrize("ids", [[], ["rb2705"], ("rb2705", "au2706"), ["rb2705", "rb2705"],
                                     ["合" * 40, "x" * 80, ""]])
    def test_ids_reach_the_vendor_as_given(self, sent, call, op, ids):
        [logged] = sent(call, ids)
        assert (logged.name, logged.arg1, logged.gil) == (op, len(ids), 0)
        assert logged.text == "".join(i + "\n" for i in ids).encode("gb18030")[:255]

    @pytest.mark.parametrize("ids, error, message", [
        (["rb2705", "x" * 81], ValueError, "^InstrumentID " + LENGTH + "$"),
        (["合" * 40 + "x"], ValueError, "^InstrumentID " + LENGTH + "$"),
        (["rb2705", "a\0b"], ValueError, "^InstrumentID " + LENGTH + "$"),
        (["rb2705", 2705], TypeError, "^InstrumentID 必须是字符串$"),
        (["rb2705", b"au2706"], TypeError, "^InstrumentID 必须是字符串$"),
        (["rb2705", None], TypeError, None),
        (["\udc80"], ValueError, "^InstrumentID 包含 CTP 不支持的字符$"),
        ("rb2705", TypeError, None),
        (b"rb2705", TypeError, None),
        ({"rb2705"}, TypeError, None),
        (iter(["rb2705"]), TypeError, None),
        (5, TypeError, None),
    ])
    def test_one_bad_id_sends_nothing(self, sim, md, ids, error, message):  # noqa: F811
        sim.force_result(0)
        before = len(sim.calls(md.api))
        with pytest.raises(error, match=message):
            _ctpmd.subscribe(md.handle, ids)
        with pytest.raises(error, match=message):
            _ctpmd.unsubscribe(md.handle, ids)
        assert sim.calls(md.api)[before:] == []

    def test_the_vendors_result_is_returned(self, sim, md):  # noqa: F811
        sim.force_result(-2)
        assert _ctpmd.subscribe(md.handle, ["rb2705"]) == -2
        sim.force_result(None)
        assert _ctpmd.subscribe(md.handle, ["rb2705"]) == 0  # sent; refused by the front: not logged in
        [reply] = poll_until(md.handle, 1)
        assert reply["error"]["ErrorID"] != 0

    def test_a_list_subclass_and_a_str_subclass(self, sent):
        class Ids(list):
            pass

        class Id(str):
            pass
        [logged] = sent(_ctpmd.subscribe, Ids([Id("rb2705")]))
        assert logged.text == b"rb2705\n"

    def test_subscribing_leaks_nothing(self, sim, md):  # noqa: F811
        sim.force_result(0)

        def roundtrip():
            assert _ctpmd.subscribe(md.handle, ["rb2705", "au2706"]) == 0
            with pytest.raises(TypeError):
                _ctpmd.subscribe(md.handle, ["rb2705", 1])
            with pytest.raises(ValueError):
                _ctpmd.unsubscribe(md.handle, ["x" * 81])
        assert leaked(roundtrip) < 0.1


class TestFeed:
    def test_subscribe_gives_a_reply_then_a_snapshot(self, sim, md):  # noqa: F811
        md.login()
        assert _ctpmd.subscribe(md.handle, ["rb2705", "nope"]) == 0
        sub, tick, refused = poll_until(md.handle, 3)
        assert (sub["name"], sub["data"], sub["error"]["ErrorID"], sub["last"]) == (
            "RspSubMarketData", {"InstrumentID": "rb2705"}, 0, False)
        assert tick["name"] == "RtnDepthMarketData"
        data = tick["data"]
        assert (data["InstrumentID"], data["ExchangeID"], data["Volume"]) == ("rb2705", "SHFE", 0)
        assert data["LastPrice"] == DBL_MAX and data["ClosePrice"] == DBL_MAX
        reference = sim.price("md", "rb2705")
        assert data["BidPrice1"] < reference < data["AskPrice1"]
        assert all(data[f"AskVolume{n}"] > 0 for n in range(1, 6))
        assert (refused["data"], refused["last"]) == ({"InstrumentID": "nope"}, True)
        assert refused["error"]["ErrorID"] != 0
        assert _ctpmd.unsubscribe(md.handle, ["rb2705"]) == 0
        [unsub] = poll_until(md.handle, 1)
        assert (unsub["name"], unsub["data"]) == ("RspUnSubMarketData", {"InstrumentID": "rb2705"})
        sim.move_price("md", "rb2705", 1)
        assert _ctpmd.wait(md.handle, 0.2) is False

    def test_a_move_gives_one_snapshot(self, sim, md):  # noqa: F811
        md.login()
        _ctpmd.subscribe(md.handle, ["cu2702"])
        poll_until(md.handle, 2)
        before = sim.price("md", "cu2702")
        sim.move_price("md", "cu2702", 2)
        [tick] = poll_until(md.handle, 1)
        assert tick["data"]["BidPrice1"] == before + 10  # two ticks of 10 up, a tick below the reference
        sim.move_price("md", "cu2702", 0)  # the same book again
        assert _ctpmd.wait(md.handle, 0.2) is False

    def test_the_walk_moves_the_market(self, sim, md):  # noqa: F811
        md.login()
        _ctpmd.subscribe(md.handle, ["i2705"])
        poll_until(md.handle, 2)
        sim.walk("md", "i2705", 3, 500)
        ticks = poll_until(md.handle, 20)
        sim.walk("md", "i2705", 3, 0)
        bids = [t["data"]["BidPrice1"] for t in ticks]
        assert all(abs(b - a) == pytest.approx(0.5) for a, b in zip(bids, bids[1:]))
        for front, rate in (("md", -1), ("nowhere", 1)):
            with pytest.raises(ControlError):
                sim.walk(front, "i2705", 3, rate)

    def test_tick_times_never_run_backwards_across_a_second(self, sim, tmp_path):
        # The date, the second and the millisecond of a tick come from one
        # reading of the clock: taken apart, the second lagged a few
        # milliseconds behind the millisecond at each turn of the second.
        feed = MdSession(sim, bytes(tmp_path / "stamps") + b"/", front="sim://stamps")
        try:
            feed.login()
            _ctpmd.subscribe(feed.handle, ["sc2703"])
            poll_until(feed.handle, 2)
            sim.walk("stamps", "sc2703", 9, 5000)
            turn = int(time.time()) + 1.2              # past the next turn of the second
            deadline = time.monotonic() + 30
            ticks = []
            while time.time() < turn or len(ticks) < 100:
                assert time.monotonic() < deadline, f"{len(ticks)} ticks"
                ticks += feed.poll()
                _ctpmd.wait(feed.handle, 0.05)
            sim.walk("stamps", "sc2703", 9, 0)
            stamps = [(t["data"]["ActionDay"], t["data"]["UpdateTime"], t["data"]["UpdateMillisec"]) for t in ticks]
            backwards = [(a, b) for a, b in zip(stamps, stamps[1:]) if b < a]
            assert backwards == [] and len({s[:2] for s in stamps}) >= 2
        finally:
            feed.close()

    def test_a_slow_walk_waits_and_one_too_slow_to_time_is_refused(self, sim, md):  # noqa: F811
        md.login()
        _ctpmd.subscribe(md.handle, ["i2705"])
        poll_until(md.handle, 2)
        sim.walk("md", "i2705", 3, 1e-9)           # a step every 32 years or so: none now
        assert _ctpmd.wait(md.handle, 0.3) is False
        for rate in (1e-10, 1e-300, 5e-324):       # intervals the clock cannot hold
            with pytest.raises(ControlError) as refused:
                sim.walk("md", "i2705", 3, rate)
            assert refused.value.result is Result.BAD_VALUE
        assert _ctpmd.wait(md.handle, 0.3) is False
        sim.walk("md", "i2705", 3, 0)


def test_a_strategy_trades_on_ticks(sim, flow, tmp_path):
    """A trader session on sim://X buys when the market-data session on sim://X
    shows the ask within its limit, and sees its own trade in the next tick."""
    md_session = MdSession(sim, bytes(tmp_path / "md") + b"/", front="sim://strategy")
    trader = Session(sim, flow, front="sim://strategy")
    try:
        md_session.login()
        for n, (name, data) in enumerate([
                ("Authenticate", {"BrokerID": "9999", "UserID": "000002", "AppID": "standin_client_1.0",
                                  "AuthCode": "0000000000000000"}),
                ("UserLogin", {"BrokerID": "9999", "UserID": "000002", "Password": "123456"}),
                ("SettlementInfoConfirm", {"BrokerID": "9999", "InvestorID": "000002"})], start=1):
            assert _ctp.request(trader.handle, name, data, n) == 0
            reply, *statuses = poll_trader(trader.handle, 13 if name == "UserLogin" else 1)
            assert reply["error"]["ErrorID"] == 0, reply
            assert {e["name"] for e in statuses} <= {"RtnInstrumentStatus"}    # one per instrument at login
        assert _ctpmd.subscribe(md_session.handle, ["m2705"]) == 0
        sim.walk("strategy", "m2705", 5, 200)
        limit = sim.price("strategy", "m2705") - 2
        bought = None
        deadline = time.monotonic() + 60
        while bought is None:
            assert time.monotonic() < deadline, "the market never came down to the limit"
            for event in _ctpmd.poll(md_session.handle):
                if event["name"] == "RtnDepthMarketData" and event["data"]["AskPrice1"] <= limit:
                    bought = event["data"]["AskPrice1"]
                    break
            else:
                _ctpmd.wait(md_session.handle, 0.1)
        # Stopped, the walk moves nothing more: the last tick shows the book.
        sim.walk("strategy", "m2705", 5, 0)
        while _ctpmd.wait(md_session.handle, 0.5):
            for event in _ctpmd.poll(md_session.handle):
                if event["name"] == "RtnDepthMarketData":
                    bought = event["data"]["AskPrice1"]
        order = {"BrokerID": "9999", "InvestorID": "000002", "UserID": "000002", "InstrumentID": "m2705",
                 "ExchangeID": "DCE", "OrderPriceType": "2", "Direction": "0", "CombOffsetFlag": "0",
                 "CombHedgeFlag": "1", "LimitPrice": bought, "VolumeTotalOriginal": 3, "TimeCondition": "1",
                 "VolumeCondition": "1", "ContingentCondition": "1", "ForceCloseReason": "0"}
        assert _ctp.request(trader.handle, "OrderInsert", order, 9) == 0
        deadline = time.monotonic() + 30
        trades = []
        while not trades:
            assert time.monotonic() < deadline, "no trade"
            trades = [e for e in _ctp.poll(trader.handle) if e["name"] == "RtnTrade"]
            _ctp.wait(trader.handle, 0.1)
        traded = sum(t["data"]["Volume"] for t in trades)
        # The market-data session sees the volume of that trade in a later tick.
        deadline = time.monotonic() + 30
        while True:
            assert time.monotonic() < deadline, "the trade never showed in a tick"
            ticks = [e["data"] for e in _ctpmd.poll(md_session.handle) if e["name"] == "RtnDepthMarketData"]
            if any(t["Volume"] >= traded and t["LastPrice"] == bought for t in ticks):
                break
            _ctpmd.wait(md_session.handle, 0.1)
    finally:
        sim.walk("strategy", "m2705", 5, 0)
        trader.close()
        md_session.close()
