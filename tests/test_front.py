"""The simulated front end to end: sessions through _ctp and poll, the way a
strategy drives a real front."""

import contextlib
import itertools
import os
import subprocess
import sys
import time
import uuid

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _ctp
from conftest import ROOT, subprocess_env
from ledger import Ledger, Terms, cents, fee, to_cents
from ctp.sim import ControlError, Result


@contextlib.contextmanager
def refused(result):
    """Expects a control to fail with result."""
    with pytest.raises(ControlError) as caught:
        yield
    assert caught.value.result == result

ALPHA = dict(broker="9999", user="000001", password="123456", app_id="standin_client_1.0", auth_code="0" * 16)
BETA = dict(ALPHA, user="000002")

# Our own configuration for tests that need numbers of their choosing.
CONFIG = """\
front_id = 7
trading_day = 20250102

[investor]
broker = 1010
user = alpha
password = pw-alpha
app_id = test_app
auth_code = code-alpha
balance = 2000000
deposit = 1000
withdraw = 500
position = ag2512 long 3 7990
position = ag2512 long 1
position = p2509 short 3 8210

[investor]
broker = 1010
user = beta
password = pw-beta
app_id = test_app
auth_code = code-beta
balance = 2000000
position = ag2512 short 3
position = p2509 long 4
position = AP510 short 2

[investor]
broker = 1010
user = gamma
password = pw-gamma
app_id = test_app
auth_code = code-gamma
balance = 500000

[instrument]
id = ag2512
exchange = SHFE
price = 8000
tick = 1
multiple = 15
long_margin = 0.12
short_margin = 0.1
open_commission_rate = 0.00005
close_commission_rate = 0.00005
close_today_commission_rate = 0.0002
market_levels = 3
market_volume = 4

[instrument]
id = p2509
exchange = DCE
price = 8200
tick = 2
multiple = 10
margin = 0.05
long_margin_per_lot = 320
short_margin_per_lot = 330
open_commission_per_lot = 2.5
close_commission_per_lot = 2.5
close_today_commission_per_lot = 1.2
market_levels = 3
market_volume = 5

[instrument]
id = AP510
exchange = CZCE
name = 苹果510
price = 7650
tick = 1
multiple = 10
margin = 0.1
commission_rate = 0.0001
commission_per_lot = 5

[instrument]
id = halted
exchange = GFEX
price = 100
tick = 0.5
multiple = 1
trading = 0
"""
TERMS = {  # exchange, tick, multiple, margin long and short, commission open, close, close today, settlement
    "ag2512": Terms("SHFE", 1, 15, (0.12, 0), (0.1, 0), (0.00005, 0), (0.00005, 0), (0.0002, 0), 8000),
    "p2509": Terms("DCE", 2, 10, (0.05, 320), (0.05, 330), (0, 2.5), (0, 2.5), (0, 1.2), 8200),
    "AP510": Terms("CZCE", 1, 10, (0.1, 0), (0.1, 0), (0.0001, 5), (0.0001, 5), (0.0001, 5), 7650),
}
# Of the built-in instruments (standin/README.md).
RB = Terms("SHFE", 1, 10, (0.1, 0), (0.1, 0), (0.0001, 0), (0.0001, 0), (0.0001, 0), 3100)
EXCHANGE = {"ag2512": "SHFE", "p2509": "DCE", "AP510": "CZCE", "halted": "GFEX", "rb2705": "SHFE", "m2705": "DCE"}
CUSTOM_ALPHA = dict(broker="1010", user="alpha", password="pw-alpha", app_id="test_app", auth_code="code-alpha")
CUSTOM_BETA = dict(CUSTOM_ALPHA, user="beta", password="pw-beta", auth_code="code-beta")
CUSTOM_GAMMA = dict(CUSTOM_ALPHA, user="gamma", password="pw-gamma", auth_code="code-gamma")



class Trader:
    """One session on a simulated front, with every event it has received."""

    def __init__(self, sim, flow, front, **keywords):
        self.sim, self.front = sim, front
        self.handle = _ctp.create(front, flow, **keywords)
        self.api = sim.api_of(flow)
        self.ids = itertools.count(1)
        self.log = []
        self.who = None
        assert self.settle() == [{"name": "FrontConnected"}]

    def settle(self):
        """Events that arrived since the last call. The front posts everything
        a request causes before Req* returns; a heartbeat warning run on the
        same thread after them marks the end, and is left out."""
        self.sim.emit(self.api, "OnHeartBeatWarning", id=-1)
        *new, end = _ctp.poll(self.handle)
        assert end == {"name": "HeartBeatWarning", "time_lapse": -1}
        self.log += new
        return new

    def call(self, method, data, result=0):
        rid = next(self.ids)
        assert _ctp.request(self.handle, method, data, rid) == result
        return rid, self.settle()

    def replies(self, method, data=None):
        """The reply records of one request: data dicts, last flag only on the final one."""
        rid, events = self.call(method, data or {})
        mine = [e for e in events if e["request_id"] == rid]
        assert [e["last"] for e in mine] == [False] * (len(mine) - 1) + [True]
        assert all(e["error"]["ErrorID"] == 0 for e in mine), mine
        return [e["data"] for e in mine if e["data"] is not None]

    def login(self, who=ALPHA, confirm=True):
        self.who = who
        auth = self.call("Authenticate", dict(BrokerID=who["broker"], UserID=who["user"], AppID=who["app_id"],
                                              AuthCode=who["auth_code"]))[1]
        assert auth[0]["error"]["ErrorID"] == 0
        login = self.call("UserLogin", dict(BrokerID=who["broker"], UserID=who["user"], Password=who["password"]))[1]
        assert login[0]["error"]["ErrorID"] == 0, login
        if confirm:
            (confirmed,) = self.call("SettlementInfoConfirm", dict(BrokerID=who["broker"], InvestorID=who["user"]))[1]
            assert confirmed["error"]["ErrorID"] == 0
        return login[0]["data"]

    def order(self, instrument="rb2705", direction="0", offset="0", price=3101.0, volume=1, tc="3", vc="1", **extra):
        who = self.who or ALPHA
        data = dict(BrokerID=who["broker"], InvestorID=who["user"], UserID=who["user"], OrderPriceType="2",
                    Direction=direction, CombOffsetFlag=offset, CombHedgeFlag="1", LimitPrice=float(price),
                    VolumeTotalOriginal=volume, TimeCondition=tc, VolumeCondition=vc, MinVolume=1,
                    ContingentCondition="1", ForceCloseReason="0", IsAutoSuspend=0, UserForceClose=0,
                    ExchangeID=EXCHANGE.get(instrument, ""), InstrumentID=instrument)
        data.update(extra)
        return self.call("OrderInsert", data)

    def cancel(self, order, **extra):
        who = self.who or ALPHA
        data = dict(BrokerID=who["broker"], InvestorID=who["user"], UserID=who["user"], ActionFlag="0",
                    ExchangeID=order["ExchangeID"], OrderSysID=order["OrderSysID"],
                    InstrumentID=order["InstrumentID"])
        data.update(extra)
        return self.call("OrderAction", data)

    def account(self):
        (account,) = self.replies("QryTradingAccount")
        return account

    def close(self):
        _ctp.close(self.handle)


def names(events):
    return [e["name"] for e in events]


def statuses(events):
    return [e["data"]["OrderStatus"] for e in events if e["name"] == "RtnOrder"]


def trades(events):
    return [(e["data"]["Price"], e["data"]["Volume"]) for e in events if e["name"] == "RtnTrade"]


@pytest.fixture
def front():
    return f"sim://t{uuid.uuid4().hex[:12]}"


@pytest.fixture
def traders(sim, tmp_path, front):
    """Makes sessions on one fresh front, with the query limit lifted; closes them after."""
    sim.query_interval(0)
    made = []

    def make(address=None, **keywords):
        made.append(Trader(sim, bytes(tmp_path / f"s{len(made)}") + b"/", address or front, **keywords))
        return made[-1]

    yield make
    for trader in made:
        trader.close()
    assert sim.violations() == 0


@pytest.fixture(scope="module")
def custom(tmp_path_factory):
    path = tmp_path_factory.mktemp("front") / "front.conf"
    path.write_text(CONFIG, encoding="utf-8")
    return path


# ---- a whole session ---------------------------------------------------------------------------

def test_whole_session_on_the_defaults(traders):
    t = traders()
    login = t.login()
    assert len(login["TradingDay"]) == 8 and login["FrontID"] == 1 and login["SessionID"] > 0
    assert login["MaxOrderRef"] == "0"

    instruments = t.replies("QryInstrument")
    assert len(instruments) == 12
    assert {i["ExchangeID"] for i in instruments} == {"SHFE", "DCE", "CZCE", "CFFEX", "INE", "GFEX"}
    assert all(i["IsTrading"] == 1 and i["PriceTick"] > 0 for i in instruments)

    start = t.account()
    assert start["Balance"] == 1_000_000 and start["CurrMargin"] == 3100 * 2 * 10 * 0.1
    assert start["Available"] == start["Balance"] - start["CurrMargin"]
    (held,) = t.replies("QryInvestorPosition")
    assert (held["InstrumentID"], held["PosiDirection"], held["PositionDate"], held["Position"]) == \
        ("rb2705", "2", "2", 2)

    _, filled = t.order(price=3102, volume=3)
    assert names(filled) == ["RtnOrder", "RtnOrder", "RtnOrder", "RtnTrade"]
    assert statuses(filled) == ["a", "3", "0"] and trades(filled) == [(3101.0, 3)]
    assert [e["data"]["OrderSubmitStatus"] for e in filled[:3]] == ["0", "3", "3"]
    assert filled[0]["data"]["OrderSysID"] == "" and filled[1]["data"]["OrderSysID"] != ""
    assert filled[0]["data"]["OrderRef"] == "1" and filled[2]["data"]["SessionID"] == login["SessionID"]

    _, resting = t.order(price=3090, volume=2)
    assert statuses(resting) == ["a", "3"]
    assert t.account()["FrozenMargin"] == 3090 * 2 * 10 * 0.1
    _, cancelled = t.cancel(resting[-1]["data"])
    assert names(cancelled) == ["RtnOrder"] and statuses(cancelled) == ["5"]
    assert cancelled[0]["data"]["StatusMsg"] == "已撤单"

    end = t.account()
    assert end["FrozenMargin"] == 0 and end["FrozenCommission"] == 0
    assert end["Commission"] == 9.30                 # 9.303, to the cent
    assert end["PositionProfit"] == (3101 - 3100) * 2 * 10     # at the last price; today's 3 bought at it
    assert [o["OrderStatus"] for o in t.replies("QryOrder")] == ["0", "5"]
    assert [(x["Price"], x["Volume"]) for x in t.replies("QryTrade")] == [(3101.0, 3)]
    assert t.replies("QryInstrument", {"InstrumentID": "nothing"}) == []


# ---- the session protocol ----------------------------------------------------------------------

@pytest.mark.parametrize("method, data", [
    ("SettlementInfoConfirm", dict(BrokerID="9999", InvestorID="000001")),
    ("QryInstrument", {}), ("QryTradingAccount", {}), ("QryInvestorPosition", {}), ("QryOrder", {}),
    ("QryTrade", {}), ("OrderInsert", dict(InstrumentID="rb2705")), ("OrderAction", dict(OrderSysID="1")),
])
def test_requests_before_login_are_refused(traders, method, data):
    t = traders()
    rid, events = t.call(method, data)
    (reply,) = events
    assert reply["name"] == "Rsp" + method and reply["request_id"] == rid and reply["last"]
    assert reply["error"] == {"ErrorID": 3, "ErrorMsg": "尚未登录，请先认证并登录"}
    assert (reply["data"] is None) == (method not in ("OrderInsert", "OrderAction"))


def test_refused_logins(traders):
    t = traders()

    def auth(**change):
        who = dict(ALPHA, **change)
        (reply,) = t.call("Authenticate", dict(BrokerID=who["broker"], UserID=who["user"], AppID=who["app_id"],
                                               AuthCode=who["auth_code"]))[1]
        return reply["error"]["ErrorID"]

    def login(**change):
        who = dict(ALPHA, **change)
        reply, *statuses = t.call("UserLogin", dict(BrokerID=who["broker"], UserID=who["user"],
                                                    Password=who["password"]))[1]
        assert len(statuses) == (12 if reply["data"] else 0)        # a login is followed by each instrument's
        assert names(statuses) == ["RtnInstrumentStatus"] * len(statuses)
        return reply["error"]["ErrorID"], reply["data"]

    assert login() == (21, None)                            # not authenticated
    assert [auth(auth_code="1" * 16), auth(app_id="other"), auth(user="nobody"), auth(broker="1")] == [15] * 4
    assert login() == (21, None)
    assert auth() == 0
    assert login(user="000002") == (21, None)               # authenticated as someone else
    assert login(password="654321") == (60, None)
    assert login(password="") == (60, None)
    code, data = login()
    assert code == 0 and data["SessionID"] > 0
    assert login()[0] == 4 and auth() == 4                  # already logged in
    (reply,) = t.call("UserLogin", {})[1]
    assert reply["error"]["ErrorMsg"] == "本会话已经登录"


def test_orders_need_the_settlement_confirmed(traders):
    t = traders()
    t.login(confirm=False)
    rid, events = t.order()
    assert names(events) == ["RspOrderInsert", "ErrRtnOrderInsert"]
    assert [e["error"]["ErrorID"] for e in events] == [42, 42]
    assert [e["request_id"] for e in events] == [rid, 0]
    # Refused before its reference was looked at: none is used up.
    assert events[0]["data"] == events[1]["data"] == {"InstrumentID": "rb2705", "ExchangeID": "SHFE",
                                                      "OrderRef": ""}
    t.call("SettlementInfoConfirm", dict(BrokerID="9999", InvestorID="000001"))
    assert statuses(t.order()[1]) == ["a", "3", "0"]
    # Confirmed for the investor, not the session.
    other = traders()
    other.login(confirm=False)
    assert statuses(other.order()[1]) == ["a", "3", "0"]


@pytest.mark.parametrize("change, error", [
    (dict(instrument="xx9999"), 16), (dict(ExchangeID="DCE"), 16), (dict(OrderPriceType="1"), 23),
    (dict(direction="2"), 23), (dict(offset="2"), 23), (dict(CombHedgeFlag="3"), 23), (dict(tc="2"), 23),
    (dict(vc="2"), 23), (dict(vc="3", tc="3"), 23), (dict(ContingentCondition="2"), 23),
    (dict(ForceCloseReason="1"), 23), (dict(UserForceClose=1), 23), (dict(volume=0), 30), (dict(volume=501), 30),
    (dict(price=0), 24), (dict(price=3101.5), 24), (dict(price=3100 * 1.09), 27), (dict(price=2800), 27),
    (dict(InvestorID="000002"), 7), (dict(BrokerID=""), 7), (dict(OrderRef="x1"), 22),
    (dict(instrument="IF2703", price=3900, volume=20), 31),          # 2.8 million of margin
    (dict(direction="1", offset="1", price=3099, volume=3), 50),     # holds yesterday's 2
    (dict(direction="1", offset="3", price=3099), 50),               # none of today's
    (dict(direction="0", offset="1", price=3101), 50),               # no short position
])
def test_each_rejection(traders, change, error):
    t = traders()
    t.login()
    rid, events = t.order(**change)
    assert names(events) == ["RspOrderInsert", "ErrRtnOrderInsert"]
    assert [(e["error"]["ErrorID"], e["request_id"]) for e in events] == [(error, rid), (error, 0)]
    assert events[0]["error"]["ErrorMsg"] and events[0]["data"] == events[1]["data"]
    account = t.account()
    assert account["FrozenMargin"] == 0 and account["Commission"] == 0
    assert t.replies("QryOrder") == []


def test_order_references_count_up_across_sessions(traders):
    t = traders()
    t.login()
    assert t.order(OrderRef="5")[1][0]["data"]["OrderRef"] == "5"
    assert t.order(OrderRef="5")[1][0]["error"]["ErrorID"] == 22    # used up
    assert t.order(OrderRef="4")[1][0]["error"]["ErrorID"] == 22
    assert t.order()[1][0]["data"]["OrderRef"] == "6"               # given by the front
    again = traders()
    assert again.login()["MaxOrderRef"] == "6"


def test_instrument_not_trading_and_custom_accounts(traders, front, custom):
    t = traders(f"{front}?config={custom}")
    login = t.login(CUSTOM_ALPHA)
    assert (login["FrontID"], login["TradingDay"]) == (7, "20250102")
    assert [i["InstrumentID"] for i in t.replies("QryInstrument")] == ["ag2512", "p2509", "AP510", "halted"]
    account = t.account()
    assert (account["Deposit"], account["Withdraw"], account["Balance"]) == (1000, 500, 2000500)
    assert t.order("halted", price=100)[1][0]["error"]["ErrorID"] == 17
    # Later sessions share the front whatever address they give.
    assert traders(front).login(CUSTOM_BETA)["FrontID"] == 7


def test_the_documented_configuration_loads(traders, front, tmp_path):
    readme = (ROOT / "standin" / "README.md").read_text(encoding="utf-8")
    example = readme.split("### Configuration files", 1)[1].split("```", 2)[1]
    path = tmp_path / "documented.conf"
    path.write_text(example, encoding="utf-8")
    t = traders(f"{front}?config={path}")
    login = t.login(dict(broker="1010", user="alpha", password="secret", app_id="my_app", auth_code="1234abcd"))
    assert (login["FrontID"], login["TradingDay"]) == (7, "20250102")
    (silver,) = t.replies("QryInstrument")
    assert (silver["InstrumentID"], silver["ExchangeID"], silver["PriceTick"]) == ("ag2706", "SHFE", 1.0)
    assert t.account()["Balance"] == 2000500


def test_a_bad_configuration_leaves_the_front_unreachable(sim, tmp_path, capfd):
    bad = tmp_path / "bad.conf"
    bad.write_text("[instrument]\nid = x\nexchange = SHFE\nprice = 10.5\n")
    for address in (f"sim://bad{uuid.uuid4().hex}?config={bad}", f"sim://bad{uuid.uuid4().hex}?config=/nonexistent"):
        handle = _ctp.create(address, bytes(tmp_path) + b"/")
        assert _ctp.request(handle, "QryInstrument", {}, 1) == -1
        sim.emit(sim.last_api(), "OnHeartBeatWarning")
        assert _ctp.poll(handle) == [{"name": "HeartBeatWarning", "time_lapse": 0}]
        _ctp.close(handle)
    err = capfd.readouterr().err
    assert "price is not a multiple of tick" in err and "cannot open the file" in err


# ---- matching ----------------------------------------------------------------------------------

def test_partial_fills_rest_then_trade_when_the_market_moves(traders, front, sim):
    t = traders()
    t.login()
    _, events = t.order(price=3102, volume=25)          # the market offers 10 a tick from 3101
    assert statuses(events) == ["a", "3", "1", "1"] and trades(events) == [(3101, 10), (3102, 10)]
    assert names(events)[2:] == ["RtnOrder", "RtnTrade", "RtnOrder", "RtnTrade"]
    assert events[-2]["data"]["VolumeTraded"] == 20 and events[-2]["data"]["VolumeTotal"] == 5
    sim.move_price(front, "rb2705", 3)     # asks from 3104: still no cross
    assert t.settle() == []
    sim.move_price(front, "rb2705", -6)    # asks from 3098: the resting bid's price wins
    events = t.settle()
    assert statuses(events) == ["0"] and trades(events) == [(3102, 5)]
    assert sim.price(front, "rb2705") == 3097


def test_immediate_or_cancel_and_fill_or_kill(traders):
    t = traders()
    t.login()
    _, ioc = t.order(price=3102, volume=25, tc="1")
    assert statuses(ioc) == ["a", "3", "1", "1", "5"] and sum(v for _, v in trades(ioc)) == 20
    assert ioc[-1]["data"]["VolumeTraded"] == 20 and ioc[-1]["data"]["VolumeTotal"] == 5
    _, fok = t.order(price=3105, volume=31, tc="1", vc="3")    # 30 left on the market
    assert statuses(fok) == ["a", "3", "5"] and trades(fok) == []
    assert fok[-1]["data"]["StatusMsg"] == "不能全部成交，报单已撤销"
    _, fok = t.order(price=3105, volume=30, tc="1", vc="3")
    assert statuses(fok)[-1] == "0" and sum(v for _, v in trades(fok)) == 30
    _, nothing = t.order(price=3105, volume=1, tc="1")          # the market is used up
    assert statuses(nothing) == ["a", "3", "5"]
    assert t.account()["FrozenMargin"] == 0


def test_sessions_trade_with_each_other_in_price_time_priority(traders, front, custom):
    address = f"{front}?config={custom}"
    a, b, g, c = (traders(address) for _ in range(4))
    for trader, who in ((a, CUSTOM_ALPHA), (b, CUSTOM_BETA), (g, CUSTOM_GAMMA), (c, CUSTOM_ALPHA)):
        trader.login(who)
    _, first = a.order("ag2512", direction="1", price=8000, volume=2)    # inside the market's spread
    _, second = b.order("ag2512", direction="1", price=8000, volume=2)
    assert statuses(first) == statuses(second) == ["a", "3"]
    assert statuses(c.settle()) == ["a", "3"]          # the investor's private flow reaches its other session
    # Beyond alpha's 2 lots ahead of it, the third would meet beta's own order.
    assert b.order("ag2512", price=8000, volume=3)[1][0]["error"]["ErrorID"] == 70

    _, bought = g.order("ag2512", price=8000, volume=3)
    assert trades(bought) == [(8000, 2), (8000, 1)]     # the older order first
    sold = a.settle()
    assert statuses(sold) == ["0"] and trades(sold) == [(8000, 2)] and statuses(c.settle()) == ["0"]
    assert statuses(b.settle()) == ["1"]
    trade_ids = lambda events: [e["data"]["TradeID"] for e in events if e["name"] == "RtnTrade"]  # noqa: E731
    assert trade_ids(sold) == trade_ids(bought)[:1]    # both sides share the TradeID
    assert sold[0]["data"]["SessionID"] == first[0]["data"]["SessionID"] != bought[0]["data"]["SessionID"]

    _, more = g.order("ag2512", price=8001, volume=3)
    assert trades(more) == [(8000, 1), (8001, 2)]      # the better price first, then the market
    positions = a.replies("QryInvestorPosition", {"InstrumentID": "ag2512"})
    assert {(p["PosiDirection"], p["PositionDate"]): p["Position"] for p in positions} == \
        {("2", "2"): 4, ("3", "1"): 2}


def test_self_trade_is_refused_only_when_matching_would_reach_the_own_order(traders, front, sim):
    a, b = traders(), traders()
    a.login()
    b.login()                                           # the same investor in another session
    _, resting = a.order(direction="1", price=3101, volume=1)     # behind the market's 10 lots at 3101
    assert statuses(resting) == ["a", "3"] and statuses(b.settle()) == ["a", "3"]
    _, bought = b.order(price=3101, volume=10)          # the market's lots fill it whole
    assert statuses(bought) == ["a", "3", "0"] and trades(bought) == [(3101, 10)]
    _, refused = b.order(price=3101, volume=1)          # now the own order is first
    assert [e["error"]["ErrorID"] for e in refused] == [70, 70]

    a.cancel(resting[-1]["data"])
    sim.move_price(front, "rb2705", 0)     # the market at full depth: 50 lots up to 3105
    a.order(direction="1", price=3110, volume=1)
    b.settle()
    _, bought = b.order(price=3110, volume=50)
    assert sum(v for _, v in trades(bought)) == 50
    sim.move_price(front, "rb2705", 0)
    _, refused = b.order(price=3110, volume=51)         # one lot more would reach it
    assert [e["error"]["ErrorID"] for e in refused] == [70, 70]
    _, bought = b.order(price=3109, volume=51, tc="1")  # below the own order's price: never reaches it
    assert statuses(bought)[-1] == "5" and sum(v for _, v in trades(bought)) == 50


# ---- cancels -----------------------------------------------------------------------------------

def test_cancels_and_their_refusals(traders, front, sim):
    t = traders()
    t.login()
    other = traders()
    other.login(BETA)
    _, resting = t.order(price=3095, volume=4)
    order = resting[-1]["data"]
    assert other.cancel(order)[1][0]["error"]["ErrorID"] == 25      # not beta's order
    assert t.cancel(order, ActionFlag="3")[1][0]["error"]["ErrorID"] == 28
    assert t.cancel(order, OrderSysID="999")[1][0]["error"]["ErrorID"] == 25
    assert t.cancel(order, ExchangeID="DCE")[1][0]["error"]["ErrorID"] == 25
    sim.move_price(front, "rb2705", -6)                # asks from 3095: the order fills
    assert statuses(t.settle()) == ["0"]
    rid, late = t.cancel(order)                         # the cancel came too late
    assert names(late) == ["RspOrderAction", "ErrRtnOrderAction"]
    assert [(e["error"]["ErrorID"], e["request_id"]) for e in late] == [(26, rid), (26, 0)]
    assert late[0]["data"] == late[1]["data"] == {"InstrumentID": "rb2705", "ExchangeID": "SHFE",
                                                  "OrderSysID": order["OrderSysID"]}
    # A partly filled order cancels what is left.
    sim.move_price(front, "rb2705", 0)                 # the market at full depth again
    _, partial = t.order(price=3096, volume=25)         # 10 at 3095, 10 at 3096, 5 rest
    _, cancelled = t.cancel(partial[-1]["data"])
    assert statuses(cancelled) == ["5"] and cancelled[0]["data"]["VolumeTraded"] == 20
    assert cancelled[0]["data"]["VolumeTotal"] == 5
    assert t.cancel(partial[-1]["data"])[1][0]["error"]["ErrorID"] == 26
    assert t.account()["FrozenMargin"] == 0


# ---- positions ---------------------------------------------------------------------------------

def test_closing_by_date_on_shfe_and_freezing(traders):
    t = traders()
    t.login()
    assert trades(t.order(price=3102, volume=12)[1]) == [(3101, 10), (3102, 2)]    # beside yesterday's 2
    _, pending = t.order(direction="1", offset="4", price=3105, volume=2)     # closes yesterday's, rests
    assert statuses(pending) == ["a", "3"]
    by_date = {p["PositionDate"]: p for p in t.replies("QryInvestorPosition")}
    assert (by_date["2"]["Position"], by_date["2"]["ShortFrozen"]) == (2, 2)
    assert (by_date["1"]["Position"], by_date["1"]["ShortFrozen"]) == (12, 0)
    assert t.order(direction="1", offset="1", price=3105)[1][0]["error"]["ErrorID"] == 50
    t.cancel(pending[-1]["data"])
    assert trades(t.order(direction="1", offset="1", price=3099, volume=2)[1]) == [(3099, 2)]   # yesterday's
    assert trades(t.order(direction="1", offset="3", price=3098, volume=11)[1]) == [(3099, 8), (3098, 3)]
    by_date = {p["PositionDate"]: p for p in t.replies("QryInvestorPosition")}
    assert [(p["Position"], p["YdPosition"]) for p in (by_date["1"], by_date["2"])] == [(1, 0), (0, 2)]
    account = t.account()
    assert account["CurrMargin"] == 3102 * 10 * 0.1
    assert account["PositionProfit"] == (3098 - 3102) * 10     # at the last price
    # Yesterday's close against the settlement price; today's first in, first out against the opening prices.
    assert account["CloseProfit"] == 10 * ((3099 - 3100) * 2 + (3099 - 3101) * 8 + (3098 - 3101) * 2
                                           + (3098 - 3102) * 1)


def test_closing_elsewhere_draws_on_yesterday_first(traders, front, custom):
    t = traders(f"{front}?config={custom}")
    t.login(CUSTOM_ALPHA)
    t.order("p2509", direction="1", price=8198, volume=2)       # short 3 yesterday, 2 today
    (short,) = t.replies("QryInvestorPosition", {"InstrumentID": "p2509"})
    assert (short["PositionDate"], short["Position"], short["TodayPosition"], short["YdPosition"]) == \
        ("1", 5, 2, 3)
    _, closed = t.order("p2509", direction="0", offset="3", price=8202, volume=4)
    assert sum(v for _, v in trades(closed)) == 4
    (short,) = t.replies("QryInvestorPosition", {"InstrumentID": "p2509"})
    assert (short["Position"], short["TodayPosition"], short["YdPosition"]) == (1, 1, 3)
    assert t.order("p2509", direction="0", offset="1", price=8202, volume=2)[1][0]["error"]["ErrorID"] == 50


def test_the_rates_explain_the_account_to_the_cent(traders, front, custom):
    t = traders(f"{front}?config={custom}", full_records=True)
    t.login(CUSTOM_ALPHA)
    (ag_margin,) = t.replies("QryInstrumentMarginRate", {"InstrumentID": "ag2512"})
    (p_commission,) = t.replies("QryInstrumentCommissionRate", {"InstrumentID": "p2509", "ExchangeID": "DCE"})
    assert (ag_margin["LongMarginRatioByMoney"], ag_margin["ShortMarginRatioByMoney"]) == (0.12, 0.1)
    assert (p_commission["OpenRatioByVolume"], p_commission["CloseRatioByVolume"],
            p_commission["CloseTodayRatioByVolume"]) == (2.5, 2.5, 1.2)
    assert t.replies("QryInstrumentMarginRate", {"InstrumentID": "ag2512", "HedgeFlag": "2"}) == []   # no hedging
    t.details = t.replies("QryInvestorPositionDetail")

    # SHFE: open 3, close 1 of today's, close 2 of yesterday's (the older lot at 7990 first).
    assert trades(t.order("ag2512", price=8001, volume=3)[1]) == [(8001, 3)]
    assert trades(t.order("ag2512", direction="1", offset="3", price=7999)[1]) == [(7999, 1)]
    assert trades(t.order("ag2512", direction="1", offset="4", price=7999, volume=2)[1]) == [(7999, 2)]
    # DCE: open 2 short, then a close of 4 takes yesterday's 3 first, then 1 of today's.
    assert trades(t.order("p2509", direction="1", price=8198, volume=2)[1]) == [(8198, 2)]
    assert trades(t.order("p2509", direction="0", offset="1", price=8202, volume=4)[1]) == [(8202, 4)]
    # A waiting order freezes money until it is cancelled.
    _, waiting = t.order("AP510", price=7640)
    frozen = t.account()
    assert (frozen["FrozenMargin"], frozen["FrozenCommission"]) == (7640.0, 12.64)   # 7640*10*0.1; 7.64 + 5
    t.cancel(waiting[-1]["data"])

    account = t.account()
    # ag2512: 8001*3*15*0.00005 = 18.00225 -> 18.00; close today 7999*15*0.0002 = 23.997 -> 24.00;
    # close yesterday 7999*2*15*0.00005 = 11.9985 -> 12.00; p2509: 2*2.5 = 5.00, 3*2.5 + 1*1.2 = 8.70.
    assert account["Commission"] == 67.70
    # By date: ag (7999-8001)*15 = -30, (7999-8000)*2*15 = -30; p2509 -(8202-8200)*3*10 = -60, -(8202-8198)*10 = -40.
    assert account["CloseProfit"] == -160.0
    # Held: ag yd 1@7990 and 1@8000 at S 8000, today 2@8001; p2509 today 1@8198 short.
    # 8000*15*0.12*2 + 8001*2*15*0.12 (28803.60) + 8198*10*0.05 + 330.
    assert account["CurrMargin"] == 62032.60
    # At the last prices, ag2512 7999 and p2509 8202.
    assert account["PositionProfit"] == (7999 - 8000) * 2 * 15 + (7999 - 8001) * 2 * 15 - (8202 - 8198) * 10 \
        == -130.0
    assert account["Balance"] == 2000142.30                # 2000500 - 160 - 130 - 67.70
    assert account["Available"] == 1938109.70
    positions = {(p["InstrumentID"], p["PositionDate"]): p for p in t.replies("QryInvestorPosition")}
    assert positions[("ag2512", "2")]["CloseProfitByTrade"] == (7999 - 7990) * 2 * 15 == 270.0
    assert positions[("ag2512", "1")]["Commission"] == 42.00 and positions[("ag2512", "2")]["Commission"] == 12.00
    assert positions[("p2509", "1")]["CloseProfitByTrade"] == -(8202 - 8210) * 3 * 10 - (8202 - 8198) * 10 == 200.0
    details = {d["TradeID"]: d for d in t.replies("QryInvestorPositionDetail")}
    assert [(d["OpenPrice"], d["Volume"], d["CloseVolume"]) for d in details.values()
            if d["InstrumentID"] == "ag2512"] == [(7990, 1, 2), (8000, 1, 0), (8001, 2, 1)]
    assert sum(d["Margin"] for d in details.values()) == account["CurrMargin"]
    check_books(t.sim, front, t)


# ---- passwords, notices, snapshots, exchanges ----------------------------------------------------

def test_a_password_change_counts_from_the_next_login(traders):
    t = traders()
    t.login()

    def change(old, new, user="000001"):
        (reply,) = t.call("UserPasswordUpdate", dict(BrokerID="9999", UserID=user, OldPassword=old,
                                                     NewPassword=new))[1]
        assert reply["data"] == {"BrokerID": "9999", "UserID": user}          # never a password
        return reply["error"]["ErrorID"], reply["error"]["ErrorMsg"]

    assert change("654321", "abc123") == (61, "原口令不匹配")
    assert change("123456", "")[0] == 62
    assert change("123456", "abc123", user="000002")[0] == 7
    assert change("123456", "abc123") == (0, "")
    assert t.account()["Balance"] == 1_000_000                                # still logged in
    again = traders()
    with pytest.raises(AssertionError):
        again.login()                                                          # the old password: error 60
    assert again.log[-1]["error"] == {"ErrorID": 60, "ErrorMsg": "用户名或密码错误"}
    assert traders().login(dict(ALPHA, password="abc123"))["SessionID"] > 0
    refused_before = traders()
    (reply,) = refused_before.call("UserPasswordUpdate", dict(BrokerID="9999", UserID="000001",
                                                              OldPassword="abc123", NewPassword="x"))[1]
    assert reply["error"]["ErrorID"] == 3


def test_logging_out(traders):
    t = traders()
    t.login()
    (reply,) = t.call("UserLogout", dict(BrokerID="9999", UserID="000002"))[1]
    assert reply["error"]["ErrorID"] == 7 and t.account()["Balance"] == 1_000_000
    (reply,) = t.call("UserLogout", dict(BrokerID="9999", UserID="000001"))[1]
    assert (reply["name"], reply["data"], reply["error"]["ErrorID"]) == \
        ("RspUserLogout", {"BrokerID": "9999", "UserID": "000001"}, 0)
    assert t.call("QryTradingAccount", {})[1][0]["error"]["ErrorID"] == 3
    assert t.call("UserLogout", dict(BrokerID="9999", UserID="000001"))[1][0]["error"]["ErrorID"] == 3
    t.login()                                                                  # from authentication again


def test_trading_notices_and_heartbeat_warnings(traders, front, sim):
    a, b, c = traders(), traders(), traders()
    a.login()
    b.login(BETA)
    sim.set_clock(front, "20250102 13:45:10")
    sim.trading_notice(front, "交易所通知：今日提前收市", broker="9999")
    (notice,) = a.settle()
    assert notice == {"name": "RtnTradingNotice", "data": {
        "BrokerID": "9999", "InvestorID": "000001", "SendTime": "13:45:10", "FieldContent": "交易所通知：今日提前收市",
        "SequenceSeries": 1, "SequenceNo": 1}, "error": {"ErrorID": 0, "ErrorMsg": ""}, "request_id": 0,
        "last": True}
    assert [e["data"]["InvestorID"] for e in b.settle()] == ["000002"] and c.settle() == []
    sim.trading_notice(front, "to beta", investor="000002")
    assert a.settle() == [] and [e["data"]["SequenceNo"] for e in b.settle()] == [2]
    sim.trading_notice(front, "x" * 500)
    with refused(Result.BAD_VALUE):
        sim.trading_notice(front, "通" * 251)                                 # 502 bytes in GB18030
    sim.heartbeat_warning(a.api, 45)                                          # in order with the session's events
    assert [(e["name"], e.get("time_lapse")) for e in a.settle()] == [("RtnTradingNotice", None),
                                                                       ("HeartBeatWarning", 45)]
    sim.heartbeat_warning(c.api, 7)                                           # connected, not logged in: warned
    assert c.settle() == [{"name": "HeartBeatWarning", "time_lapse": 7}]
    sim.disconnect(c.api)
    with refused(Result.BAD_VALUE):
        sim.heartbeat_warning(c.api, 7)


def test_the_depth_snapshot_is_the_feeds(traders, front, sim, tmp_path):
    import _ctpmd
    from test_md import poll_until as md_poll

    t = traders(full_records=True)
    t.login()
    sim.freeze_clock(front)
    t.order(price=3102, volume=3)
    md = _ctpmd.create(front, bytes(tmp_path / "md") + b"/")
    try:
        md_poll(md, 1)
        assert _ctpmd.request(md, "UserLogin", {"BrokerID": "9999", "UserID": "000001"}, 1) == 0
        assert _ctpmd.subscribe(md, ["rb2705"]) == 0
        snapshot = [e for e in md_poll(md, 3) if e["name"] == "RtnDepthMarketData"][0]["data"]
    finally:
        _ctpmd.close(md)
    (queried,) = t.replies("QryDepthMarketData", {"InstrumentID": "rb2705", "ExchangeID": "SHFE"})
    assert queried == snapshot and queried["Volume"] == 3 and queried["AskVolume1"] == 7
    assert len(t.replies("QryDepthMarketData")) == 12
    assert t.replies("QryDepthMarketData", {"InstrumentID": "rb2705", "ExchangeID": "DCE"}) == []


def test_the_exchanges(traders):
    t = traders()
    t.login()
    assert [(e["ExchangeID"], e["ExchangeName"], e["ExchangeProperty"]) for e in t.replies("QryExchange")] == [
        ("SHFE", "上海期货交易所", "0"), ("DCE", "大连商品交易所", "0"), ("CZCE", "郑州商品交易所", "0"),
        ("CFFEX", "中国金融期货交易所", "0"), ("INE", "上海国际能源交易中心", "0"), ("GFEX", "广州期货交易所", "0")]
    assert [e["ExchangeID"] for e in t.replies("QryExchange", {"ExchangeID": "INE"})] == ["INE"]
    assert t.replies("QryExchange", {"ExchangeID": "LME"}) == []


# ---- connection --------------------------------------------------------------------------------

def test_disconnect_and_reconnect(traders, front, sim):
    t = traders()
    first = t.login()
    _, resting = t.order(price=3095, volume=1, OrderRef="3")
    sim.disconnect(t.api, 0x2001)
    assert t.settle() == [{"name": "FrontDisconnected", "reason": 0x2001}]
    assert _ctp.request(t.handle, "QryOrder", {}, 99) == -1
    assert _ctp.request(t.handle, "OrderInsert", {}, 99) == -1
    with refused(Result.BAD_VALUE):
        sim.disconnect(t.api)
    sim.move_price(front, "rb2705", -6)                 # fills while the session is away
    assert t.settle() == []
    sim.reconnect(t.api)
    with refused(Result.BAD_VALUE):
        sim.reconnect(t.api)
    assert t.settle() == [{"name": "FrontConnected"}]
    assert t.call("QryOrder", {})[1][0]["error"]["ErrorID"] == 3
    again = t.login(confirm=False)
    assert again["SessionID"] > first["SessionID"] and again["MaxOrderRef"] == "3"
    (order,) = t.replies("QryOrder")
    assert (order["OrderSysID"], order["OrderStatus"]) == (resting[-1]["data"]["OrderSysID"], "0")
    assert statuses(t.order()[1]) == ["a", "3", "0"]    # still confirmed for the day


def test_fronts_that_cannot_be_reached(sim, tmp_path, traders):
    handle = _ctp.create("tcp://127.0.0.1:1", bytes(tmp_path) + b"/")
    api = sim.last_api()
    assert _ctp.request(handle, "Authenticate", {}, 1) == -1
    sim.emit(api, "OnHeartBeatWarning")
    assert _ctp.poll(handle) == [{"name": "HeartBeatWarning", "time_lapse": 0}]
    for control in (sim.disconnect, sim.reconnect):
        with refused(Result.NO_FRONT):
            control(api)
    _ctp.close(handle)
    with refused(Result.NO_API):
        sim.disconnect(api)
    t = traders()
    for front, instrument, price in [("sim://nowhere", "rb2705", 3000), (t.front, "nothing", 3000)]:
        with refused(Result.NO_FRONT):
            sim.set_price(front, instrument, price)
    for price in (3000.5, 3100 * 1.2):
        with refused(Result.BAD_VALUE):
            sim.set_price(t.front, "rb2705", price)
    with refused(Result.BAD_VALUE):
        sim.move_price(t.front, "rb2705", 10_000)
    sim.set_price(t.front.removeprefix("sim://"), "rb2705", 3000)


def test_forced_results_never_reach_the_front(traders, sim):
    t = traders()
    sim.force_result(-2)
    assert t.call("Authenticate", dict(BrokerID="9999"), result=-2)[1] == []
    sim.force_result(None)
    assert names(t.call("Authenticate", dict(BrokerID="9999"))[1]) == ["RspAuthenticate"]
    assert len(sim.calls(t.api, "ReqAuthenticate")) == 2


def test_a_released_session_leaves_its_orders_behind(traders, sim):
    a, b = traders(), traders()
    a.login()
    b.login(BETA)
    a.order(direction="1", price=3100, volume=2)
    a.close()
    assert not sim.alive(a.api)
    _, bought = b.order(price=3100, volume=2)
    assert trades(bought) == [(3100, 2)]
    assert sim.violations() == 0


# ---- limits ------------------------------------------------------------------------------------

def test_one_query_per_second_once_logged_in(traders, sim):
    t, other = traders(), traders()
    sim.query_interval(1000)
    for method in ("QryInstrument", "QryTrade"):        # before login: refused, not limited
        assert _ctp.request(t.handle, method, {}, 1) == 0
    assert [e["error"]["ErrorID"] for e in t.settle()] == [3, 3]
    t.login()
    other.login()
    assert _ctp.request(t.handle, "QryTradingAccount", {}, 1) == 0
    assert [_ctp.request(t.handle, m, {}, 2) for m in ("QryOrder", "QryTrade", "QryInstrument",
                                                       "QryInvestorPosition", "QryTradingAccount")] == [-3] * 5
    t.order()                                           # orders are not queries
    assert _ctp.request(other.handle, "QryOrder", {}, 3) == 0     # per session
    sim.query_interval(30)
    time.sleep(0.05)
    assert _ctp.request(t.handle, "QryOrder", {}, 4) == 0


def test_too_many_callbacks_waiting(traders, sim):
    t = traders()
    t.login()
    sim.max_pending(5)
    sim.hold(t.api)
    results = [_ctp.request(t.handle, "QryInstrument", {}, i) for i in range(8)]   # 12 replies each
    assert results == [0, -2, -2, -2, -2, -2, -2, -2]
    sim.hold(t.api, False)
    assert len(t.settle()) == 12
    assert _ctp.request(t.handle, "QryInstrument", {}, 9) == 0


# ---- bookkeeping after random sequences --------------------------------------------------------

YESTERDAY = {  # instrument, side, lots, opening price (None: the settlement price), as configured
    "alpha": [("ag2512", "2", 3, 7990), ("ag2512", "2", 1, None), ("p2509", "3", 3, 8210)],
    "beta": [("ag2512", "3", 3, None), ("p2509", "2", 4, None), ("AP510", "3", 2, None)]}
FUNDS = {"alpha": 2000000 + 1000 - 500, "beta": 2000000}

# who, instrument, direction, offset, ticks towards the other side (crossing
# from 1 up), volume, time and volume conditions, and which holding a close picks
# Most activity on one instrument with a deep market, so that positions build
# up in several lots before they are closed.
order_steps = st.tuples(st.just("order"), st.integers(0, 1), st.sampled_from(["AP510"] * 3 + ["ag2512", "p2509"]),
                        st.sampled_from("01"), st.sampled_from("00001134"), st.integers(-2, 3), st.integers(1, 9),
                        st.sampled_from("331"), st.sampled_from("1113"), st.integers(0, 99))
actions = st.lists(st.one_of(
    order_steps, order_steps, order_steps,
    st.tuples(st.just("cancel"), st.integers(0, 1), st.integers(0, 99)),
    st.tuples(st.just("move"), st.sampled_from(sorted(TERMS)), st.integers(-4, 4)),
), min_size=8, max_size=30)


def play(sim, flow, custom, steps):
    """Two investors trade on a fresh front, with complete records; returns
    their sessions (each with the position details it found at login) and the
    front."""
    front = f"sim://p{uuid.uuid4().hex[:12]}"
    pair = [Trader(sim, flow + b"a/", f"{front}?config={custom}", full_records=True),
            Trader(sim, flow + b"b/", front, full_records=True)]
    for trader, who in zip(pair, (CUSTOM_ALPHA, CUSTOM_BETA)):
        trader.login(who)
        trader.details = trader.replies("QryInvestorPositionDetail")
    placed = [[], []]
    for step in steps:
        if step[0] == "order":
            _, who, instrument, direction, offset, ticks, volume, tc, vc, pick = step
            held = holdings(pair[who]) if offset != "0" else []
            if held:                # closes mostly pick something held, to reach the closing paths
                instrument, position, date, free = held[pick % len(held)]
                direction = "1" if position == "2" else "0"
                if EXCHANGE[instrument] == "SHFE":
                    offset = "3" if date == "1" else "1" if offset == "1" else "4"
                volume = min(volume, free)
            price = sim.price(front, instrument) + (ticks if direction == "0" else -ticks) * TERMS[instrument].tick
            events = pair[who].order(instrument, direction, offset, price, volume, tc, vc)[1]
            placed[who] += [e["data"] for e in events if e["name"] == "RtnOrder" and e["data"]["OrderStatus"] == "3"]
        elif step[0] == "cancel" and placed[step[1]]:
            pair[step[1]].cancel(placed[step[1]][step[2] % len(placed[step[1]])])
        elif step[0] == "move":
            sim.move_price(front, step[1], step[2])
        for trader in pair:
            trader.settle()
    return pair, front


def holdings(trader):
    """(instrument, direction, position date, volume free to close) of what the session holds."""
    return [(p["InstrumentID"], p["PosiDirection"], p["PositionDate"], free)
            for p in trader.replies("QryInvestorPosition")
            if (free := p["Position"] - p["LongFrozen"] - p["ShortFrozen"]) > 0]


def terms_of(trader):
    """Each instrument's terms as the front answers them: its record, the
    rate queries, and yesterday's settlement price of its snapshot."""
    instruments = {i["InstrumentID"]: i for i in trader.replies("QryInstrument")}
    margin = {r["InstrumentID"]: r for r in trader.replies("QryInstrumentMarginRate")}
    commission = {r["InstrumentID"]: r for r in trader.replies("QryInstrumentCommissionRate")}
    depth = {d["InstrumentID"]: d for d in trader.replies("QryDepthMarketData")}
    assert instruments.keys() == margin.keys() == commission.keys() == depth.keys()
    assert {(r["InvestorRange"], r["HedgeFlag"], r["IsRelative"]) for r in margin.values()} == {("1", "1", 0)}
    return {i: Terms(instruments[i]["ExchangeID"], instruments[i]["PriceTick"], instruments[i]["VolumeMultiple"],
                     (margin[i]["LongMarginRatioByMoney"], margin[i]["LongMarginRatioByVolume"]),
                     (margin[i]["ShortMarginRatioByMoney"], margin[i]["ShortMarginRatioByVolume"]),
                     (commission[i]["OpenRatioByMoney"], commission[i]["OpenRatioByVolume"]),
                     (commission[i]["CloseRatioByMoney"], commission[i]["CloseRatioByVolume"]),
                     (commission[i]["CloseTodayRatioByMoney"], commission[i]["CloseTodayRatioByVolume"]),
                     depth[i]["PreSettlementPrice"])
            for i in instruments}


def marks_of(trader):
    """What positions are valued at, as the snapshots show it: the last
    price, or yesterday's settlement price before the first trade."""
    return {d["InstrumentID"]: d["PreSettlementPrice"] if d["LastPrice"] == sys.float_info.max else d["LastPrice"]
            for d in trader.replies("QryDepthMarketData")}


def ledger_of(trader, fills):
    """The investor's books kept from what its session received: the rates,
    the position details found at login, and the day's trades."""
    terms = terms_of(trader)
    assert {i: terms[i] for i in TERMS} == TERMS                 # the queries tell the configured rates
    ledger = Ledger(terms)
    for d in trader.details:
        assert d["OpenDate"] < d["TradingDay"] and d["CloseVolume"] == 0
        ledger.hold(d["InstrumentID"], "2" if d["Direction"] == "0" else "3", d["Volume"], d["OpenPrice"],
                    d["TradeID"])
    for f in fills:
        ledger.trade(f)
    return ledger


def check_books(sim, front, trader):
    """The account, positions and position details against the documented
    formulas applied to what the session received (the rates, the details at
    login, today's trades, its working orders, the reference prices), to the
    cent."""
    user = trader.who["user"]
    account = trader.account()
    positions, orders, fills, details = (trader.replies(m) for m in (
        "QryInvestorPosition", "QryOrder", "QryTrade", "QryInvestorPositionDetail"))
    # The private flow told the session of every trade the front keeps.
    assert [e["data"]["TradeID"] for e in trader.log if e["name"] == "RtnTrade"] == [f["TradeID"] for f in fills]
    # The details at login are yesterday's lots as configured.
    assert sorted((d["InstrumentID"], "2" if d["Direction"] == "0" else "3", d["Volume"], d["OpenPrice"])
                  for d in trader.details) == sorted(
        (i, side, lots, TERMS[i].settlement if price is None else price) for i, side, lots, price in YESTERDAY[user])

    ledger = ledger_of(trader, fills)
    marks = marks_of(trader)
    frozen_margin, frozen_commission = ledger.frozen(orders)
    money = ("Balance", "Available", "CurrMargin", "PositionProfit", "CloseProfit", "Commission", "FrozenMargin",
             "FrozenCommission", "PreBalance", "PreMargin", "WithdrawQuota", "ExchangeMargin")
    got = {key: to_cents(account[key]) for key in money}
    pre_balance = got["PreBalance"]
    assert pre_balance + to_cents(account["Deposit"]) - to_cents(account["Withdraw"]) == FUNDS[user] * 100
    balance = FUNDS[user] * 100 + ledger.close_profit() + ledger.position_profit(marks) - ledger.commission
    available = balance - ledger.margin() - frozen_margin - frozen_commission
    assert got == {"Balance": balance, "Available": available, "CurrMargin": ledger.margin(),
                   "PositionProfit": ledger.position_profit(marks), "CloseProfit": ledger.close_profit(),
                   "Commission": ledger.commission, "FrozenMargin": frozen_margin,
                   "FrozenCommission": frozen_commission, "PreBalance": pre_balance,
                   "PreMargin": sum(ledger.lot_pre_margin(i, s, lot) for i, s, lot in ledger.lots()),
                   "WithdrawQuota": max(0, available), "ExchangeMargin": ledger.margin()}

    # Each position record: a part (SHFE: today's '1', yesterday's '2'), or both parts elsewhere.
    expected = {}
    for (instrument, side), holding in ledger.holdings.items():
        by_date = ledger.terms[instrument].by_date
        mark = marks[instrument]
        for today in ((True, False) if by_date else (None,)):
            lots = holding.lots if today is None else holding.part(today)
            if not lots:
                continue
            commission = sum(holding.commission.values()) if today is None else holding.commission[today]
            margin = sum(ledger.lot_margin(instrument, side, lot) for lot in lots)
            expected[(instrument, side, "2" if today is False else "1")] = dict(
                Position=sum(lot.volume for lot in lots),
                UseMargin=margin, ExchangeMargin=margin,
                PositionProfit=sum(ledger.lot_profit(instrument, side, lot, mark) for lot in lots),
                CloseProfit=sum(lot.close_profit_by_date for lot in lots),
                CloseProfitByDate=sum(lot.close_profit_by_date for lot in lots),
                CloseProfitByTrade=sum(lot.close_profit_by_trade for lot in lots),
                CloseVolume=sum(lot.close_volume for lot in lots),
                CloseAmount=sum(lot.close_amount for lot in lots),
                PositionCost=sum(ledger.lot_cost(instrument, lot) for lot in lots),
                OpenCost=sum(ledger.lot_cost(instrument, lot, by_trade=True) for lot in lots),
                PreMargin=sum(ledger.lot_pre_margin(instrument, side, lot) for lot in lots),
                Commission=commission,
                OpenVolume=holding.open_volume if today is not False else 0)
    amounts = {"UseMargin", "ExchangeMargin", "PositionProfit", "CloseProfit", "CloseProfitByDate",
               "CloseProfitByTrade", "CloseAmount", "PositionCost", "OpenCost", "PreMargin", "Commission"}
    assert {(p["InstrumentID"], p["PosiDirection"], p["PositionDate"]):
            {key: to_cents(p[key]) if key in amounts else p[key] for key in next(iter(expected.values()))}
            for p in positions} == expected
    for p in positions:
        assert 0 <= p["TodayPosition"] <= p["Position"] and p["LongFrozen"] + p["ShortFrozen"] <= p["Position"]
        rate = ledger.terms[p["InstrumentID"]].margin_rate(p["PosiDirection"])
        assert (p["MarginRateByMoney"], p["MarginRateByVolume"]) == rate

    # Each position detail: one per lot, as the ledger keeps it.
    assert {d["TradeID"]: (d["InstrumentID"], d["Direction"], d["Volume"], d["OpenPrice"], d["CloseVolume"],
                           to_cents(d["CloseAmount"]), to_cents(d["CloseProfitByDate"]),
                           to_cents(d["CloseProfitByTrade"]), to_cents(d["PositionProfitByDate"]),
                           to_cents(d["PositionProfitByTrade"]), to_cents(d["Margin"]), to_cents(d["ExchMargin"]))
            for d in details} == {
        lot.trade_id: (i, "0" if s == "2" else "1", lot.volume, lot.open_price, lot.close_volume, lot.close_amount,
                       lot.close_profit_by_date, lot.close_profit_by_trade, ledger.lot_profit(i, s, lot, marks[i]),
                       ledger.lot_profit(i, s, lot, marks[i], by_trade=True), ledger.lot_margin(i, s, lot),
                       ledger.lot_margin(i, s, lot))
        for i, s, lot in ledger.lots()}

    live = [o for o in orders if o["OrderStatus"] in "13"]
    closing, frozen = {}, {}
    for o in live:
        if o["CombOffsetFlag"] != "0":
            key = (o["InstrumentID"], "3" if o["Direction"] == "0" else "2")
            closing[key] = closing.get(key, 0) + o["VolumeTotal"]
    for p in positions:
        key = (p["InstrumentID"], p["PosiDirection"])
        frozen[key] = frozen.get(key, 0) + (p["ShortFrozen"] if p["PosiDirection"] == "2" else p["LongFrozen"])
    assert {k: v for k, v in frozen.items() if v} == closing

    traded = {}
    for f in fills:
        traded[f["OrderSysID"]] = traded.get(f["OrderSysID"], 0) + f["Volume"]
    for o in orders:
        assert o["VolumeTraded"] == traded.get(o["OrderSysID"], 0)
        assert o["VolumeTraded"] + o["VolumeTotal"] == o["VolumeTotalOriginal"]
        assert (o["OrderStatus"] == "0") == (o["VolumeTotal"] == 0)
        updates = [e["data"]["OrderStatus"] for e in trader.log
                   if e["name"] == "RtnOrder" and e["data"]["OrderSysID"] in ("", o["OrderSysID"])
                   and e["data"]["OrderRef"] == o["OrderRef"]]
        assert updates[:2] == ["a", "3"] and updates[-1] == o["OrderStatus"]


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(steps=actions)
def test_accounts_and_positions_add_up(sim, tmp_path, custom, steps):
    sim.query_interval(0)
    flow = bytes(tmp_path / uuid.uuid4().hex) + b"/"
    pair, front = play(sim, flow, custom, steps)
    try:
        for trader in pair:
            check_books(sim, front, trader)
    finally:
        for trader in pair:
            trader.close()


def without_clock(events):
    clock = {"InsertTime", "InsertDate", "TradeTime", "TradeDate", "EnterTime", "UpdateTime", "ActiveTime",
             "CancelTime", "LoginTime", "ConfirmDate", "ConfirmTime", "ActionDate", "ActionTime", "SHFETime",
             "DCETime", "CZCETime", "FFEXTime", "INETime"}
    return [{**e, "data": {k: v for k, v in e["data"].items() if k not in clock}} if e.get("data") else e
            for e in events]


@settings(max_examples=10, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(steps=actions)
def test_the_same_inputs_give_the_same_flow(sim, tmp_path, custom, steps):
    sim.query_interval(0)
    runs = []
    for _ in range(2):
        pair, _ = play(sim, bytes(tmp_path / uuid.uuid4().hex) + b"/", custom, steps)
        runs.append([without_clock(trader.log) for trader in pair])
        for trader in pair:
            trader.close()
    assert runs[0] == runs[1]


# ---- the demo ----------------------------------------------------------------------------------

def test_the_demo_runs_and_fails_loudly(tmp_path):
    demo = ROOT / "examples" / "demo.py"
    env = subprocess_env()
    done = subprocess.run([sys.executable, str(demo)], env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith("trader library") and lines[-1] == "done"
    steps = [line for line in lines if not line.startswith("tick ")]
    assert len(steps) == 10 and any(line.startswith("tick ") for line in lines)   # one per step, one per move
    assert "traded 2@3101" in done.stdout and "then cancelled" in done.stdout
    assert "on the dip" in steps[-2] or "into the rise" in steps[-2]
    assert "'" not in done.stdout and done.stderr == ""       # compact lines, no reprs, no log output
    # A front whose only investor is someone else refuses the demo's login.
    other = tmp_path / "other.conf"
    other.write_text("[investor]\nbroker = 1\nuser = someone\npassword = secret\n")
    failed = subprocess.run([sys.executable, str(demo), f"sim://demo?config={other}"], env=env,
                            capture_output=True, text=True, timeout=60)
    assert failed.returncode == 1 and "demo failed: Authenticate #1: error 15:" in failed.stderr
