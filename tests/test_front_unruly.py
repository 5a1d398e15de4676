"""The simulated front's unruly behaviours through _ctp, each alone: fills
before their orders, refusals by the exchange, replies in batches, the query
limits, drops with each reason and the library's reconnect attempts, several
doors, logins refused while the front is not ready, the resume types of the
flows, and the unruly mode's seeded choices."""

import os
import time

import pytest

import _ctp
from ctp.sim import ControlError, Result
from test_front import ALPHA, BETA, Trader, front, names, statuses, traders, trades  # noqa: F401 (fixtures)

DROP_REASONS = (0x1001, 0x1002, 0x2001, 0x2002, 0x2003)
# StatusMsg of the exchange's refusals (GB18030 in the record, str here).
NOT_CONTINUOUS = "合约当前不在连续交易时段，不能报单"
FINISHED = "报单已全部成交或已撤销，不能再撤"


def gather(trader, done, timeout=10.0):
    """Polls the trader's session until done(events so far) holds; returns them."""
    events = []
    deadline = time.monotonic() + timeout
    while not done(events):
        if time.monotonic() > deadline:
            raise AssertionError(f"gave up waiting; got {names(events)}")
        events += _ctp.poll(trader.handle)
        time.sleep(0.002)
    trader.log += events
    return events


def connected(events):
    return bool(events) and events[-1]["name"] == "FrontConnected"


def errors(events):
    return [e["error"]["ErrorID"] for e in events if e.get("error")]


# ---- fills and refusals ------------------------------------------------------------------------

def test_a_fill_may_come_before_the_order_status_that_reports_it(traders, front, sim):
    t = traders()
    sim.behave(front, fill_first=1)
    t.login()
    _, bought = t.order(price=3102, volume=12)          # 10 at 3101, 2 at 3102
    assert names(bought) == ["RtnOrder", "RtnOrder", "RtnTrade", "RtnOrder", "RtnTrade", "RtnOrder"]
    assert statuses(bought) == ["a", "3", "1", "0"]
    assert trades(bought) == [(3101, 10), (3102, 2)]
    # Each trade comes just before the status with its volume traded.
    traded = [e["data"]["VolumeTraded"] for e in bought if e["name"] == "RtnOrder"]
    assert traded == [0, 0, 10, 12]
    assert sim.choices(front) == ["fill first", "fill first"]
    sim.behave(front, fill_first=0)
    assert names(t.order(price=3103)[1])[-2:] == ["RtnOrder", "RtnTrade"]


def test_the_exchange_refuses_an_order_as_an_order_status(traders, front, sim):
    t = traders()
    t.login()
    sim.behave(front, exchange_refusals=1)
    sim.set_status(front, "rb2705", "1")                # no trading: the exchange refuses
    t.settle()
    _, refused = t.order(price=3090, volume=2)
    assert names(refused) == ["RtnOrder", "RtnOrder"]   # no RspOrderInsert, no ErrRtnOrderInsert
    taken, rejected = (e["data"] for e in refused)
    assert (taken["OrderSubmitStatus"], taken["OrderStatus"]) == ("0", "a")
    assert (rejected["OrderSubmitStatus"], rejected["OrderStatus"]) == ("4", "5")
    assert rejected["StatusMsg"] == NOT_CONTINUOUS and rejected["OrderSysID"] == ""
    assert (rejected["VolumeTotal"], rejected["VolumeTraded"]) == (2, 0)
    (known,) = t.replies("QryOrder")
    assert (known["OrderSubmitStatus"], known["OrderStatus"]) == ("4", "5")
    assert t.account()["FrozenMargin"] == 0
    # The front's own checks still answer with both error records, and come
    # before the exchange's.
    assert errors(t.order(price=3090, volume=100_000)[1]) == [30, 30]
    assert errors(t.order(price=3090, volume=400)[1]) == [31, 31]
    assert sim.choices(front) == ["refused by the exchange 75"]
    sim.behave(front, exchange_refusals=0)
    assert errors(t.order(price=3090)[1]) == [75, 75]


def test_the_exchange_refuses_a_cancel_as_an_unchanged_order(traders, front, sim):
    t = traders()
    t.login()
    _, bought = t.order(price=3101)
    order = bought[-2]["data"]
    assert order["OrderStatus"] == "0"
    sim.behave(front, exchange_refusals=1)
    rid, late = t.cancel(order)
    assert names(late) == ["RtnOrder"]                  # no RspOrderAction, no ErrRtnOrderAction
    again = late[0]["data"]
    assert (again["OrderStatus"], again["OrderSubmitStatus"], again["StatusMsg"]) == ("0", "5", FINISHED)
    assert (again["VolumeTraded"], again["OrderSysID"]) == (1, order["OrderSysID"])
    sim.behave(front, exchange_refusals=0)
    assert names(t.cancel(order)[1]) == ["RspOrderAction", "ErrRtnOrderAction"]


# ---- queries -----------------------------------------------------------------------------------

def test_replies_come_in_batches_with_pauses(traders, front, sim):
    t = traders()
    t.login()
    sim.behave(front, query_batch=5, query_pause=40)
    assert _ctp.request(t.handle, "QryInstrument", {}, 7) == 0
    first = t.settle()
    assert len(first) == 5 and not any(e["last"] for e in first)
    rest = gather(t, lambda events: any(e["last"] for e in events))
    replies = first + rest
    assert [e["request_id"] for e in replies] == [7] * 12
    assert [e["last"] for e in replies] == [False] * 11 + [True]
    assert len({e["data"]["InstrumentID"] for e in replies}) == 12
    # Queried again meanwhile: answered after the first, in order.
    assert _ctp.request(t.handle, "QryInstrument", {}, 8) == 0
    assert _ctp.request(t.handle, "QryInstrument", {"InstrumentID": "rb2705"}, 9) == 0
    later = gather(t, lambda events: sum(e["last"] for e in events) == 2)
    assert [e["request_id"] for e in later] == [8] * 12 + [9]
    # Nothing found: one reply with a null record.
    (empty,) = t.call("QryInstrument", {"InstrumentID": "nothing"})[1]
    assert (empty["data"], empty["last"], empty["error"]["ErrorID"]) == (None, True, 0)
    assert sim.choices(front)[0] == "replies in batches 3 80"


def test_query_rate_and_backlog(traders, front, sim):
    t = traders()
    t.login()
    sim.query_interval(60_000)
    sim.behave(front, query_rate=3)
    assert [_ctp.request(t.handle, "QryTradingAccount", {}, i) for i in range(5)] == [0, 0, 0, -3, -3]
    sim.query_interval(0)
    sim.behave(front, query_backlog=1, query_batch=6, query_pause=1500)
    assert _ctp.request(t.handle, "QryInstrument", {}, 10) == 0     # answered over 1.5 s
    assert _ctp.request(t.handle, "QryTradingAccount", {}, 11) == -2
    gather(t, lambda events: any(e["last"] and e["request_id"] == 10 for e in events))
    assert _ctp.request(t.handle, "QryTradingAccount", {}, 12) == 0
    with pytest.raises(ControlError) as caught:
        sim.behave(front, query_rate=0)
    assert caught.value.result == Result.BAD_VALUE


# ---- drops and the library's attempts ----------------------------------------------------------

@pytest.mark.parametrize("reason", DROP_REASONS)
def test_drops_with_each_reason_then_the_library_connects_again(traders, front, sim, reason):
    t = traders()
    t.login()
    sim.behave(front, drop=1, drop_reason=reason, heartbeat_warnings=2, reconnect=20)
    _ctp.request(t.handle, "QryTradingAccount", {}, 1)
    sim.behave(front, drop=0)
    events = gather(t, connected)
    dropped = [e for e in events if e["name"] in ("HeartBeatWarning", "FrontDisconnected", "FrontConnected")]
    warnings = [{"name": "HeartBeatWarning", "time_lapse": 10}, {"name": "HeartBeatWarning", "time_lapse": 20}]
    assert dropped == (warnings if reason == 0x2001 else []) + [
        {"name": "FrontDisconnected", "reason": reason}, {"name": "FrontConnected"}]
    (choice,) = sim.choices(front)
    assert choice.startswith("drop ") and choice.endswith(f" {reason} {2 if reason == 0x2001 else 0}")
    assert _ctp.request(t.handle, "QryTradingAccount", {}, 2) == 0   # connected, not logged in
    assert errors(t.settle()) == [3]
    t.login()


def test_a_front_that_stays_down_fails_several_attempts(traders, front, sim):
    t = traders()
    t.login()
    sim.behave(front, drop=1, drop_reason=0x2003, outage=3, reconnect=5)
    _ctp.request(t.handle, "QryTradingAccount", {}, 1)
    sim.behave(front, drop=0)
    events = gather(t, connected)
    assert [e.get("reason") for e in events if e["name"] == "FrontDisconnected"] == [0x2003] + [0x1001] * 3
    assert names(events)[-1] == "FrontConnected" and "outage 3" in sim.choices(front)


def test_several_fronts_fail_over_in_order(traders, front, sim):
    t = traders([front, "tcp://127.0.0.1:1", f"{front}/2"])
    assert t.login()["FrontID"] == 1
    sim.behave(front, reconnect=5, down=[1])            # door 1 goes down: the library tries the others
    events = gather(t, connected)
    assert [e.get("reason") for e in events if e["name"] == "FrontDisconnected"] == [0x1001, 0x1001]
    assert t.login()["FrontID"] == 2
    # The same accounts and orders through either door.
    _, placed = t.order(price=3090)
    assert placed[-1]["data"]["FrontID"] == 2
    sim.behave(front, down=[2])
    gather(t, connected)
    assert t.login()["FrontID"] == 1 and len(t.replies("QryOrder")) == 1
    # A session whose first door is down connects through the next one up.
    late = traders([f"{front}/2", f"{front}/3"])
    assert late.login()["FrontID"] == 3


def test_market_data_sessions_fail_over_too(traders, front, sim, tmp_path):
    import _ctpmd
    traders()                                           # the front is set up
    handle = _ctpmd.create([front, f"{front}/2"], bytes(tmp_path / "md") + b"/")
    try:
        events = []
        deadline = time.monotonic() + 10
        while names(events) != ["FrontConnected"]:
            assert time.monotonic() < deadline
            events += _ctpmd.poll(handle)
        sim.behave(front, reconnect=5, down=[1])
        while names(events) != ["FrontConnected", "FrontDisconnected", "FrontConnected"]:
            assert time.monotonic() < deadline, events
            events += _ctpmd.poll(handle)
            time.sleep(0.002)
        assert _ctpmd.request(handle, "UserLogin", {}, 1) == 0
        while "RspUserLogin" not in names(events):
            assert time.monotonic() < deadline, events
            events += _ctpmd.poll(handle)
        assert events[-1]["data"]["FrontID"] == 2
    finally:
        _ctpmd.close(handle)


def test_doors_are_checked(traders, front, sim):
    traders()
    for doors in ([0], [65]):
        with pytest.raises(ControlError):
            sim.behave(front, down=doors)
    with pytest.raises(TypeError):
        sim.behave(front, down=["1"])  # type: ignore[list-item]


def test_login_refused_while_the_front_is_not_ready(traders, front, sim):
    t = traders()
    t.login()                                           # connected before: ready
    sim.behave(front, not_ready=2)
    sim.disconnect(t.api)
    sim.reconnect(t.api)
    assert names(t.settle()) == ["FrontDisconnected", "FrontConnected"]
    t.call("Authenticate", dict(BrokerID="9999", UserID="000001", AppID=ALPHA["app_id"],
                                AuthCode=ALPHA["auth_code"]))
    login = dict(BrokerID="9999", UserID="000001", Password="123456")
    for _ in range(2):
        (refused,) = t.call("UserLogin", login)[1]
        assert refused["error"] == {"ErrorID": 8, "ErrorMsg": "前置尚未就绪，请稍后再登录"}
        assert refused["data"] is None
    (accepted,) = [e for e in t.call("UserLogin", login)[1] if e["name"] == "RspUserLogin"]
    assert accepted["error"]["ErrorID"] == 0


# ---- flows and resume types --------------------------------------------------------------------

def flow_of(events):
    """The private flow's messages among events, as comparable tuples."""
    return [(e["name"], e["data"].get("OrderStatus"), e["data"].get("TradeID"), e["data"].get("OrderRef"))
            for e in events if e["name"] in ("RtnOrder", "RtnTrade", "ErrRtnOrderInsert", "ErrRtnOrderAction")]


def day_of_trading(t):
    """A few orders of alpha's: a fill, a resting order, a refusal, a cancel."""
    t.order(price=3102, volume=3)
    _, resting = t.order(price=3090)
    t.order(price=1)
    t.cancel(resting[-1]["data"])


def test_quick_sends_only_what_comes_after_login(traders):
    a = traders()
    a.login()
    day_of_trading(a)
    b = traders(private_resume="quick")
    b.login(confirm=False)
    assert flow_of(b.log) == []
    a.order(price=3090)
    assert flow_of(b.settle()) == flow_of(a.log)[-2:]


def test_restart_replays_the_day_after_every_login(traders, sim):
    a = traders()
    a.login()
    day_of_trading(a)
    b = traders(private_resume="restart")
    b.login(confirm=False)
    assert flow_of(b.log) == flow_of(a.log)
    replayed = [e for e in b.log if e["name"] == "ErrRtnOrderInsert"]
    assert errors(replayed) == [27]                     # as first sent, its error too
    sim.disconnect(b.api)
    sim.reconnect(b.api)
    b.log.clear()
    b.settle()
    b.login(confirm=False)
    assert flow_of(b.log) == flow_of(a.log)


def test_resume_goes_on_from_the_flow_directory(traders, sim, tmp_path, front):
    a = traders()
    a.login()
    day_of_trading(a)
    shared = bytes(tmp_path / "resumed") + b"/"
    b = Trader(sim, shared, front, private_resume="resume")
    try:
        b.login(confirm=False)
        assert flow_of(b.log) == flow_of(a.log)         # nothing received yet: the whole day
        seen = len(flow_of(a.log))
    finally:
        b.close()
    a.order(price=3102)
    c = Trader(sim, shared, front, private_resume="resume")      # the same flow directory
    try:
        c.login(confirm=False)
        assert flow_of(c.log) == flow_of(a.log)[seen:]
        assert (tmp_path / "resumed" / "standin-private.flow").read_text().split()[0] == str(len(flow_of(a.log)))
    finally:
        c.close()


def test_resume_resends_what_a_drop_lost(traders, sim, front):
    a = traders()
    a.login()
    b = traders(private_resume="resume")
    b.login()
    sim.behave(front, drop=1, drop_moment=2, reconnect=0)
    order = dict(BrokerID="9999", InvestorID="000001", UserID="000001", OrderPriceType="2", Direction="0",
                 CombOffsetFlag="0", CombHedgeFlag="1", LimitPrice=3090.0, VolumeTotalOriginal=2, TimeCondition="3",
                 VolumeCondition="1", MinVolume=1, ContingentCondition="1", ForceCloseReason="0",
                 ExchangeID="SHFE", InstrumentID="rb2705")
    assert _ctp.request(b.handle, "OrderInsert", order, 50) == 0   # done, its events lost with the connection
    sim.behave(front, drop=0)
    gather(b, connected)
    assert flow_of(b.log) == []
    a.order(price=3091)                                 # while b is logged out
    assert [status for _, status, _, _ in flow_of(a.log)] == ["a", "3", "a", "3"]
    b.login(confirm=False)
    assert flow_of(b.log) == flow_of(a.log)             # what it never received, once
    (choice,) = sim.choices(front)
    assert choice.startswith("drop losing the replies ")


# A child process: alpha places `before` orders while a resuming session
# follows them, then one while that session is dropped; prints how many
# messages its login again replays.
RESUMING = """
import sys
from ctp import sim
from test_front import Trader
from test_front_unruly import flow_of
directory, before = sys.argv[1], int(sys.argv[2])
sim.query_interval(0)
a = Trader(sim, (directory + "/a" + str(before) + "/").encode(), "sim://again")
a.login()
b = Trader(sim, (directory + "/b/").encode(), "sim://again", private_resume="resume")
b.login(confirm=False)
for _ in range(before):
    a.order(price=3090)
sim.disconnect(b.api)
a.order(price=3091)
sim.reconnect(b.api)
b.settle()
b.log.clear()
b.login(confirm=False)
print(len(flow_of(b.log)))
"""


def test_resume_in_a_later_process_follows_its_own_front(tmp_path):
    import subprocess
    import sys
    from conftest import subprocess_env
    env = subprocess_env()
    env["PYTHONPATH"] += os.pathsep + os.path.dirname(__file__)
    replayed = [subprocess.run([sys.executable, "-c", RESUMING, str(tmp_path), str(before)], env=env, timeout=60,
                               capture_output=True, text=True, check=True).stdout.split()
                for before in (5, 1)]
    # The second process's front numbers its flow from 1 again: what the first
    # received (12 messages) does not hide what the second missed.
    assert replayed == [["2"], ["2"]]


def test_public_flow_restart_replays_the_statuses_of_the_day(traders, front, sim):
    a = traders()
    a.login()
    sim.set_status(front, "rb2705", "1")
    sim.set_status(front, "rb2705", "2")
    b = traders(public_resume="restart")
    b.login(confirm=False)
    rb = [e["data"]["InstrumentStatus"] for e in b.log
          if e["name"] == "RtnInstrumentStatus" and e["data"]["InstrumentID"] == "rb2705"]
    assert rb == ["2", "1", "2"]
    c = traders(public_resume="quick")
    c.login(confirm=False)
    assert [e["data"]["InstrumentStatus"] for e in c.log
            if e["name"] == "RtnInstrumentStatus" and e["data"]["InstrumentID"] == "rb2705"] == ["2"]


# ---- the unruly mode ---------------------------------------------------------------------------

def script(traders, front, sim, seed):
    """The same requests under the unruly mode without drops: the choices it made."""
    t = traders()
    sim.unruly(front, seed)
    sim.behave(front, drop=0, not_ready=0, query_pause=0)
    t.login()
    other = traders()
    other.login(BETA)
    for price in (3095, 3096, 3097):
        other.order(direction="1", price=price, volume=3)
    for price in (3098, 3101, 3103):
        t.order(price=price, volume=7)
    t.replies("QryOrder")
    sim.set_status(front, "rb2705", "1")
    t.order(price=3090)
    return sim.choices(front)


def test_the_unruly_mode_is_the_same_for_the_same_seed(sim, tmp_path):
    made = []

    def on(front):
        def make(address=None, **keywords):
            made.append(Trader(sim, bytes(tmp_path / f"s{len(made)}") + b"/", address or front, **keywords))
            return made[-1]
        return make

    sim.query_interval(0)
    try:
        runs = [script(on(f"sim://unruly{i}"), f"sim://unruly{i}", sim, seed) for i, seed in enumerate((11, 11, 12))]
    finally:
        for trader in made:
            trader.close()
    assert runs[0] == runs[1] and runs[0] != runs[2]
    assert "fill first" in runs[0] + runs[2]
    sim.unruly("sim://unruly0", None)
    assert sim.choices("sim://unruly0") == runs[0]      # off keeps the notes; a seed starts them again
    sim.unruly("sim://unruly0", 5)
    assert sim.choices("sim://unruly0") == []
