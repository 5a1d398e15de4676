"""The client on the simulated front: each scenario runs once with ``ctp.Client``
and once with ``ctp.AsyncClient`` (on an event loop in a thread of its own)."""

import asyncio
import concurrent.futures
import importlib.util
import inspect
import json
import logging
import re
import subprocess
import sys
import threading
import time
import uuid

import pytest

import _ctp
import ctp
from conftest import ROOT, subprocess_env
from records import decode
from ctp import Direction, OffsetFlag, OrderStatus, TimeCondition

ALPHA = dict(broker="9999", user="000001", password="123456", app_id="standin_client_1.0",
             auth_code="0000000000000000")
BETA = dict(ALPHA, user="000002")
LONG = 30.0       # generous limit for any wait: the suite also runs under sanitizers on a loaded machine


class Blocking:
    """Runs the scenarios' calls on ctp.Client, in the calling thread."""

    name = "blocking"

    def __init__(self):
        self.pool = concurrent.futures.ThreadPoolExecutor(2)

    def connect(self, **options):
        return ctp.Client(**options)

    def do(self, result):
        return result

    def all(self, *thunks):
        """Runs the calls at the same time (one thread each); returns results or exceptions in order."""
        results = [None] * len(thunks)

        def run(i, thunk):
            try:
                results[i] = thunk()
            except Exception as error:
                results[i] = error
        threads = [threading.Thread(target=run, args=(i, thunk)) for i, thunk in enumerate(thunks)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(LONG * 4)
        return results

    def until(self, events, test, timeout=LONG):
        """Events from the stream up to the first that passes test."""
        seen = []
        for event in events:
            seen.append(event)
            if test(event):
                return seen
        raise AssertionError(f"not seen within the timeout: {[e['name'] for e in seen]}")

    def start(self, thunk):
        """Starts a call in the background; returns a concurrent future."""
        return self.pool.submit(thunk)

    def inside(self, fn):
        """Runs fn where the client's events are read (here: nowhere until the next call)."""
        return fn()

    def close(self, client):
        client.close()

    def stop(self):
        self.pool.shutdown()


class Asyncio:
    """Runs the scenarios' calls on ctp.AsyncClient, on a loop in another thread."""

    name = "asyncio"

    def __init__(self):
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()

    def run(self, awaitable):
        async def wrap():
            return await awaitable
        return asyncio.run_coroutine_threadsafe(wrap(), self.loop).result(LONG * 4)

    def connect(self, **options):
        return self.run(ctp.AsyncClient(**options).connect())

    def do(self, result):
        return self.run(result) if inspect.isawaitable(result) else result

    def all(self, *thunks):
        async def gather():
            return await asyncio.gather(*(thunk() for thunk in thunks), return_exceptions=True)
        return self.run(gather())

    def until(self, events, test, timeout=LONG):
        async def collect():
            seen = []
            async for event in events:
                seen.append(event)
                if test(event):
                    return seen
            raise AssertionError(f"not seen within the timeout: {[e['name'] for e in seen]}")
        return self.run(collect())

    def start(self, thunk):
        async def wrap():
            return await thunk()
        return asyncio.run_coroutine_threadsafe(wrap(), self.loop)

    def inside(self, fn):
        """Runs fn on the loop's thread, so that the loop reads nothing meanwhile."""
        async def call():
            return fn()
        return self.run(call())

    def close(self, client):
        async def close():
            client.close()
        self.run(close())

    def stop(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(LONG)
        self.loop.close()


@pytest.fixture(params=[Blocking, Asyncio], ids=["blocking", "asyncio"])
def flavour(request):
    f = request.param()
    yield f
    f.stop()


@pytest.fixture
def front():
    return f"sim://c{uuid.uuid4().hex[:12]}"


@pytest.fixture
def connect(sim, flavour, front, tmp_path):
    """Opens clients on a fresh front, queries unpaced on both sides unless asked; closes them after."""
    sim.query_interval(0)
    opened = []

    def make(who=ALPHA, **options):
        options = dict(who, front=front, flow=tmp_path / f"flow{len(opened)}", query_interval=0.0,
                       timeout=LONG) | options
        client = flavour.connect(**options)
        client.api = sim.last_api()
        opened.append(client)
        return client

    yield make
    for client in opened:
        flavour.close(client)
    assert sim.violations() == 0


# ---- the session ------------------------------------------------------------------------------------

def test_connect_logs_in_and_keeps_the_login(connect, tmp_path, flavour):
    client = connect(flow=tmp_path / "not" / "yet")
    assert (tmp_path / "not" / "yet").is_dir()
    assert client.ready and client.front_id == 1 and client.session_id > 0
    assert len(client.trading_day) == 8 and client.max_order_ref == "0"
    assert list(client.login.items())[:4] == [("TradingDay", client.trading_day), ("FrontID", 1),
                                              ("SessionID", client.session_id), ("MaxOrderRef", "0")]
    assert client.login["UserID"] == "000001", "complete records"
    second = connect()
    assert second.session_id != client.session_id


def test_a_refused_login_raises_with_the_front_s_error(connect):
    with pytest.raises(ctp.CtpError) as caught:
        connect(password="wrong")
    assert (caught.value.error_id, caught.value.request) == (60, "UserLogin")
    assert caught.value.message == "用户名或密码错误" and caught.value.request_id > 0


def test_connect_times_out_on_an_unreachable_front(flavour, tmp_path):
    with pytest.raises(TimeoutError, match="no login"):
        flavour.connect(**ALPHA, front="tcp://127.0.0.1:9", flow=tmp_path, timeout=0.3)


def test_close_fails_later_calls(connect, flavour):
    client = connect()
    flavour.close(client)
    flavour.close(client)
    with pytest.raises(ctp.Disconnected):
        flavour.do(client.query("QryOrder"))


# ---- queries ----------------------------------------------------------------------------------------

def test_queries_return_their_records(connect, flavour):
    client = connect()
    instruments = flavour.do(client.query("QryInstrument"))
    assert len(instruments) == 12 and {"rb2705", "IF2703"} <= {i["InstrumentID"] for i in instruments}
    (rb,) = flavour.do(client.query("QryInstrument", InstrumentID="rb2705"))
    assert rb["PriceTick"] == 1.0 and rb["ExchangeID"] == "SHFE"
    (account,) = flavour.do(client.query("QryTradingAccount"))
    assert account["Balance"] == 1_000_000
    (position,) = flavour.do(client.query("QryInvestorPosition"))
    assert (position["InstrumentID"], position["Position"]) == ("rb2705", 2)
    assert flavour.do(client.query("QryOrder")) == [] and flavour.do(client.query("QryTrade")) == []


def test_concurrent_queries_are_paced_to_the_front_s_limit(sim, connect, flavour):
    sim.query_interval(1000)         # the front's own limit, as on a real front
    client = connect(query_interval=1.0)
    results = flavour.all(lambda: client.query("QryTradingAccount"), lambda: client.query("QryInstrument"),
                          lambda: client.query("QryInvestorPosition"))
    assert [type(r) for r in results] == [list, list, list], results
    assert results[0][0]["Balance"] == 1_000_000 and len(results[1]) == 12 and results[2][0]["Position"] == 2


def test_queries_refused_for_coming_too_soon_are_retried(sim, connect, flavour):
    sim.query_interval(300)          # stricter than the client thinks: the front answers -3
    client = connect(query_interval=0.0)
    results = flavour.all(*[lambda: client.query("QryTradingAccount") for _ in range(3)])
    assert all(isinstance(r, list) and r[0]["Balance"] == 1_000_000 for r in results), results
    sent = sim.calls(api=client.api, op="ReqQryTradingAccount")
    assert len(sent) > 3, "some went out more than once"
    assert len({call.arg1 for call in sent}) == 3, "a retry keeps its request id"


def test_unknown_keys_raise_naming_the_valid_ones(sim, connect, flavour):
    client = connect()
    with pytest.raises(ValueError, match=r"'LimitPirce'.*BrokerID, InvestorID, ExchangeID, InstrumentID"):
        flavour.do(client.query("QryInvestorPosition", LimitPirce=3100))
    with pytest.raises(TypeError):
        flavour.do(client.insert_order("rb2705", Direction.BUY, 1, 3100.0, LimitPirce=3101))
    assert sim.calls(api=client.api, op="ReqQryInvestorPosition") == []


def test_a_timeout_raises_timeout_error(sim, connect, flavour):
    client = connect()
    sim.hold(client.api)
    try:
        with pytest.raises(TimeoutError):
            flavour.do(client.query("QryOrder", timeout=0.3))
    finally:
        sim.hold(client.api, False)
    assert flavour.do(client.query("QryTrade")) == [], "the late reply does not confuse the next query"


# ---- orders -------------------------------------------------------------------------------------------

def test_an_order_that_fills(sim, connect, flavour):
    client = connect()
    order = flavour.do(client.insert_order("rb2705", Direction.BUY, 3, 3102, exchange="SHFE"))
    assert order.order_ref == "1" and (order.front_id, order.session_id) == (1, client.session_id)
    flavour.do(order.wait(LONG))
    assert order.done and order.status == OrderStatus.ALL_TRADED and order.traded == 3
    assert [(t["Price"], t["Volume"]) for t in order.trades] == [(3101.0, 3)]
    assert client.order_by_sys_id("SHFE", order.order_sys_id) is order
    (record,) = sim.calls(api=client.api, op="ReqOrderInsert")
    sent = decode(record)
    assert (sent.OrderPriceType, sent.TimeCondition, sent.VolumeCondition, sent.CombHedgeFlag[:1]) == \
        (b"2", b"3", b"1", b"1")
    assert (sent.ContingentCondition, sent.ForceCloseReason, sent.IsAutoSuspend, sent.MinVolume) == \
        (b"1", b"0", 0, 1)


def test_partial_fill_then_cancel(sim, connect, flavour):
    client = connect()
    events = client.events(timeout=LONG)
    order = flavour.do(client.insert_order("rb2705", Direction.BUY, 15, 3101))
    flavour.until(events, lambda e: e["name"] == "RtnTrade")
    assert order.status == OrderStatus.PART_TRADED_QUEUEING and order.traded == 10 and order.remaining == 5
    assert flavour.do(client.cancel(order)) is order
    assert order.done and order.status == OrderStatus.CANCELED and order.traded == 10
    assert sum(t["Volume"] for t in order.trades) == 10
    assert flavour.do(client.cancel(order)) is order, "a finished order: nothing to do"
    assert len(sim.calls(api=client.api, op="ReqOrderAction")) == 1


def test_immediate_or_cancel_fills_what_it_can(connect, flavour):
    client = connect()
    order = flavour.do(client.insert_order("rb2705", Direction.BUY, 15, 3101, time_condition=TimeCondition.IOC))
    flavour.do(order.wait(LONG))
    assert order.status == OrderStatus.CANCELED and order.traded == 10 and len(order.trades) == 1


def test_a_refused_order_is_refused_once(sim, connect, flavour):
    client = connect()
    events = client.events(timeout=LONG)
    order = flavour.do(client.insert_order("rb2705", Direction.BUY, 1, 3100.5))
    flavour.do(order.wait(LONG))
    assert isinstance(order.error, ctp.CtpError) and order.error.error_id == 24 and order.rejected
    assert order.error.request == "OrderInsert" and order.status == ""
    seen = flavour.until(events, lambda e: e["name"] == "ErrRtnOrderInsert")
    assert [e["name"] for e in seen] == ["RspOrderInsert", "ErrRtnOrderInsert"], "both still reach the user"


def test_a_refused_cancel_raises(sim, connect, flavour):
    client = connect()
    unknown = (ctp.Order if flavour.name == "blocking" else ctp.AsyncOrder)(client)
    unknown.exchange, unknown.order_sys_id, unknown.instrument = "SHFE", "999999", "rb2705"
    with pytest.raises(ctp.CtpError) as caught:
        flavour.do(client.cancel(unknown))
    assert (caught.value.error_id, caught.value.request) == (25, "OrderAction")
    assert caught.value.message == "撤单找不到相应的报单"


def test_orders_of_the_investor_s_other_sessions_are_found(connect, flavour):
    client = connect()
    other = connect()
    events = other.events(timeout=LONG)
    order = flavour.do(client.insert_order("rb2705", Direction.BUY, 1, 3090))
    flavour.until(events, lambda e: e["name"] == "RtnOrder" and e["data"]["OrderStatus"] == "3")
    seen = other.order_by_ref(client.front_id, client.session_id, order.order_ref)
    assert seen is not None and seen is other.order_by_sys_id("SHFE", seen.order_sys_id)
    assert seen.status == OrderStatus.NO_TRADE_QUEUEING and seen.volume == 1 and seen.price == 3090
    assert flavour.do(other.cancel(seen)).status == OrderStatus.CANCELED
    flavour.do(order.wait(LONG))
    assert order.status == OrderStatus.CANCELED


def test_order_refs_continue_after_the_investor_s_highest(connect, flavour):
    first = connect()
    for _ in range(3):
        flavour.do(first.insert_order("rb2705", Direction.BUY, 1, 3102))
    second = connect()
    assert second.max_order_ref == "3"
    order = flavour.do(second.insert_order("rb2705", Direction.BUY, 1, 3102))
    flavour.do(order.wait(LONG))
    assert order.order_ref == "4" and order.status == OrderStatus.ALL_TRADED


# ---- reconnect and overflow -----------------------------------------------------------------------------

def test_reconnect_logs_in_again_and_sees_a_fill_made_while_away(sim, connect, flavour, front):
    client = connect()
    events = client.events(timeout=LONG)
    order = flavour.do(client.insert_order("rb2705", Direction.BUY, 1, 3090, exchange="SHFE"))
    flavour.until(events, lambda e: e["name"] == "RtnOrder" and e["data"]["OrderStatus"] == "3")
    first_session = client.session_id

    sim.disconnect(client.api)
    flavour.until(events, lambda e: e["name"] == "FrontDisconnected")
    with pytest.raises(ctp.Disconnected):
        flavour.do(client.query("QryOrder"))
    with pytest.raises(ctp.Disconnected):
        flavour.do(client.insert_order("rb2705", Direction.BUY, 1, 3090))
    assert not client.ready
    sim.set_price(front, "rb2705", 3085)     # the market comes down to the bid: it fills
    assert not order.done

    sim.reconnect(client.api)
    seen = flavour.until(events, lambda e: e["name"] == "Reconnected")
    assert [e["name"] for e in seen if e["name"] != "RtnInstrumentStatus"][:4] == [
        "FrontConnected", "RspAuthenticate", "RspUserLogin", "RspSettlementInfoConfirm"]
    assert seen[-1]["data"]["SessionID"] != first_session == order.session_id
    flavour.do(order.wait(LONG))
    assert order.status == OrderStatus.ALL_TRADED and [t["Price"] for t in order.trades] == [3090.0]
    assert client.ready and client.session_id == seen[-1]["data"]["SessionID"]
    after = flavour.do(client.insert_order("rb2705", Direction.SELL, 1, 3084, offset=OffsetFlag.CLOSE_TODAY))
    flavour.do(after.wait(LONG))
    assert after.order_ref == "2" and after.status == OrderStatus.ALL_TRADED


def test_after_an_overflow_the_client_refuses_to_trade(sim, connect, flavour):
    client = connect()
    events = client.events(timeout=LONG)
    # Floods the session while nothing reads it (for asyncio: from the loop's own thread).
    flavour.inside(lambda: sim.flood(client.api, "OnRtnTrade", 32_769))
    with pytest.raises(ctp.Overflowed, match="full queue"):
        flavour.do(client.insert_order("rb2705", Direction.BUY, 1, 3102))
    with pytest.raises(ctp.Overflowed):
        flavour.do(client.query("QryOrder"))
    assert sim.calls(api=client.api, op="ReqOrderInsert") == []
    assert flavour.until(events, lambda e: e["name"] == "Overflowed")[-1]["name"] == "Overflowed"


def test_each_session_logs_through_its_own_logger(connect, caplog, front):
    with caplog.at_level(logging.INFO, logger="ctp"):
        client = connect()
    assert client.log.name == f"ctp.session.000001@{front}"
    assert {record.name for record in caplog.records} == {client.log.name}
    assert any("logged in" in record.getMessage() for record in caplog.records)


# ---- the examples and the command line ----------------------------------------------------------------

def load_example(name):
    found = importlib.util.spec_from_file_location(name, ROOT / "examples" / f"{name}.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_the_market_maker_fills_on_the_walk_and_the_day_ends_flat(sim, front, tmp_path, capsys):
    """Out of the box: the walk fills its quotes, the client counts them; at the end of the day
    everything is closed and the P&L printed is the front's account."""
    sim.query_interval(0)
    maker, end_of_day = load_example("market_maker"), load_example("end_of_day")
    client = ctp.Client(front, **BETA, flow=tmp_path / "mm", query_interval=0.0, timeout=LONG)
    market = ctp.MarketData(front, "9999", "000002", "123456", flow=tmp_path / "md", timeout=LONG,
                            driver=client.driver)
    try:
        sim.walk(front, "rb2705", 7, 200)
        sim.walk(front, "m2705", 8, 200)
        stop, failed = threading.Event(), []

        def run():
            try:
                maker.run(client, market, ["rb2705", "m2705"], seconds=LONG * 4, stop=stop, lots=1)
            except BaseException as error:
                failed.append(error)
                raise
        running = threading.Thread(target=run)
        running.start()
        deadline = time.monotonic() + LONG * 2
        while len(client.trades) < 6 and running.is_alive():
            assert time.monotonic() < deadline, f"{len(client.trades)} fills"
            time.sleep(0.05)
        stop.set()
        running.join(LONG)
        assert not running.is_alive() and not failed and len(client.trades) >= 6
        sim.walk(front, "rb2705", 7, 0)
        sim.walk(front, "m2705", 8, 0)
        assert not [o for o in client.orders if not o.done], "its quotes are cancelled when it stops"
        held = {(p.instrument, p.side): p.volume for p in client.positions if p.volume}
        assert all(volume <= maker.LIMIT for volume in held.values())
        front_held = {(p["InstrumentID"], p["PosiDirection"]): 0 for p in client.query("QryInvestorPosition")}
        for p in client.query("QryInvestorPosition"):
            front_held[(p["InstrumentID"], p["PosiDirection"])] += p["Position"]
        assert held == {key: volume for key, volume in front_held.items() if volume}
        # The end of the day: everything closed, and the P&L is the front's.
        end_of_day.close_everything(client)
        assert not [p for p in client.positions if p.volume]
        for instrument in ("rb2705", "m2705"):
            (depth,) = client.query("QryDepthMarketData", InstrumentID=instrument)
            client.mark(depth)
        table = end_of_day.breakdown(client)
        (account,) = client.query("QryTradingAccount")
        pnl = client.pnl()
        assert (pnl.realised, pnl.floating, pnl.commission, pnl.margin) == (
            account["CloseProfit"], account["PositionProfit"], account["Commission"], account["CurrMargin"])
        assert pnl.margin == 0 and table.splitlines()[-1].split()[0] == "total"
        assert f"{pnl.net:.2f}" in table.splitlines()[-1]
    finally:
        market.close()
        client.close()


def cli(*args, password="123456", front=None):
    env = dict(subprocess_env(), CTP_PASSWORD=password)
    return subprocess.run([sys.executable, "-m", "ctp", *args, "--front", front, "--broker", "9999", "--user",
                           "000001", "--app-id", ALPHA["app_id"], "--auth-code", ALPHA["auth_code"]],
                          env=env, capture_output=True, text=True, timeout=LONG * 4)


@pytest.mark.parametrize("command", ["login", "instruments", "account", "positions", "orders"])
def test_the_command_line_checks(front, command):
    table, as_json = cli(command, front=front), cli(command, "--json", front=front)
    assert table.returncode == 0 and as_json.returncode == 0, table.stderr + as_json.stderr
    data = json.loads(as_json.stdout)
    if command == "login":
        assert data[0]["Front"] == front and data[0]["FrontID"] == 1 and len(data[0]["TradingDay"]) == 8
        assert "TradingDay" in table.stdout and front in table.stdout
    elif command == "instruments":
        assert len(data) == 12 and len(table.stdout.splitlines()) == 13
        assert " futures " in table.stdout and " 0.005 " in table.stdout, "codes by name, ticks unrounded"
    elif command == "account":
        assert data[0]["Balance"] == 1_000_000 and "1000000.00" in table.stdout
    elif command == "positions":
        assert [p["InstrumentID"] for p in data] == ["rb2705"] and data[0]["PosiDirection"] == "long"
        assert "rb2705" in table.stdout and " long " in table.stdout
    else:
        assert data == [] and table.stdout.strip() == "(no orders)"


def test_the_command_line_reports_a_refused_login(front):
    refused = cli("login", password="wrong", front=front)
    assert refused.returncode == 1 and "用户名或密码错误" in refused.stderr and refused.stdout == ""


def readme_examples():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    section = text.split("## The client", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```python\n(.*?)```", section, re.S)


def test_the_readme_s_client_examples_run(sim, front):
    blocking, in_asyncio, state = readme_examples()
    sim.query_interval(0)
    exec(blocking.replace("sim://demo", front), {"print": lambda *args: None})
    body = "\n".join("    " + line for line in in_asyncio.replace("sim://demo", front).splitlines())
    code = f"import asyncio, ctp\nfrom ctp import Direction, TimeCondition\nasync def main():\n{body}\nasyncio.run(main())"
    exec(code, {"print": lambda *args: None})
    exec(state.replace("sim://demo", front), {"ctp": ctp, "print": lambda *args: None})     # changes the password


def test_the_client_s_key_table_is_the_module_s(flow):
    """Every key the client allows is one the module reads: a bad value under it raises;
    under a key the module ignores it goes unread."""
    from ctp._trading import REQUEST_KEYS
    handle = _ctp.create("tcp://127.0.0.1:9", flow)
    try:
        for name, keys in REQUEST_KEYS.items():
            for key in keys:
                with pytest.raises((TypeError, ValueError)):
                    _ctp.request(handle, name, {key: object()}, 1)
            assert _ctp.request(handle, name, {"NotAKey": object()}, 1) == -1
    finally:
        _ctp.close(handle)


def test_a_drop_fails_the_query_in_flight(sim, connect, flavour):
    client = connect()
    sim.hold(client.api)                   # its reply waits on the session's thread 0
    try:
        asked = len(sim.calls(api=client.api, op="ReqQryOrder"))      # the login's catching up asked once
        pending = flavour.start(lambda: client.query("QryOrder"))
        deadline = time.monotonic() + LONG
        while len(sim.calls(api=client.api, op="ReqQryOrder")) == asked:
            assert time.monotonic() < deadline
            time.sleep(0.01)
        sim.emit(client.api, "OnFrontDisconnected", id=0x2003, thread=1)
        with pytest.raises(ctp.Disconnected) as caught:
            pending.result(LONG)
        assert caught.value.reason == 0x2003 and not client.ready
    finally:
        sim.hold(client.api, False)


def test_the_asyncio_client_runs_on_the_loop_alone(sim, front, tmp_path):
    """No thread and no task of its own: the loop's reader and one timer do it all."""
    async def scenario():
        threads, tasks = threading.active_count(), len(asyncio.all_tasks())
        async with ctp.AsyncClient(front, **ALPHA, flow=tmp_path, query_interval=0.0, timeout=LONG) as client:
            order = await client.insert_order("rb2705", Direction.BUY, 1, 3102)
            await order
            assert (threading.active_count(), len(asyncio.all_tasks())) == (threads, tasks)
            assert asyncio.get_running_loop()._selector.get_key(client._attached.fd) is not None
        return order
    sim.query_interval(0)
    assert asyncio.run(scenario()).status == OrderStatus.ALL_TRADED
