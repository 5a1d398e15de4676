"""The market-data client on the simulated front: each scenario runs once with
``ctp.MarketData`` and once with ``ctp.AsyncMarketData`` (on an event loop in a
thread of its own)."""

import asyncio
import inspect
import logging
import os
import subprocess
import sys
import threading
import uuid

import pytest

import ctp
from conftest import subprocess_env

WHO = dict(broker="9999", user="000001", password="123456")
LONG = 30.0       # generous limit for any wait: the suite also runs under sanitizers on a loaded machine


class Blocking:
    name = "blocking"

    def connect(self, **options):
        return ctp.MarketData(**options)

    def do(self, result):
        return result

    def inside(self, fn):
        return fn()

    def collect(self, stream, test=lambda tick: True, count=None):
        """Items of the stream that pass test, up to count of them (None: until the stream ends)."""
        seen = []
        for item in stream:
            if test(item):
                seen.append(item)
                if len(seen) == count:
                    break
        return seen

    def stop(self):
        pass


class Asyncio:
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
        return self.run(ctp.AsyncMarketData(**options).connect())

    def do(self, result):
        return self.run(result) if inspect.isawaitable(result) else result

    def inside(self, fn):
        """Runs fn on the loop's thread."""
        async def call():
            return fn()
        return self.run(call())

    def collect(self, stream, test=lambda tick: True, count=None):
        async def gather():
            seen = []
            async for item in stream:
                if test(item):
                    seen.append(item)
                    if len(seen) == count:
                        break
            return seen
        return self.run(gather())

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
    return f"c{uuid.uuid4().hex[:12]}"


@pytest.fixture
def connect(sim, flavour, front, tmp_path):
    """Opens market-data sessions on a fresh front; closes them after."""
    opened = []

    def make(**options):
        flow = tmp_path / f"md{len(opened)}"
        md = flavour.connect(**(dict(WHO, front=f"sim://{front}", flow=flow, timeout=LONG) | options))
        md.api = sim.md_api_of(os.fsencode(os.path.join(flow, "")))
        opened.append(md)
        return md

    yield make
    for md in opened:
        flavour.inside(md.close)


def of(instrument):
    return lambda tick: tick["InstrumentID"] == instrument


def test_subscribe_gives_a_snapshot_kept_as_the_latest(connect, flavour, sim, front):
    md = connect()
    assert md.ready and len(md.login["TradingDay"]) == 8
    ticks = flavour.inside(lambda: md.ticks(LONG))
    assert flavour.inside(lambda: md.latest("rb2705")) is None
    flavour.do(md.subscribe("rb2705", "au2706"))
    assert md.subscribed == ["rb2705", "au2706"]
    [snapshot] = flavour.collect(ticks, of("rb2705"), 1)
    assert snapshot["ExchangeID"] == "SHFE" and snapshot["Volume"] == 0
    assert snapshot["BidPrice1"] < sim.price(front, "rb2705") < snapshot["AskPrice1"]
    assert flavour.inside(lambda: md.latest("rb2705")) == snapshot
    assert flavour.inside(lambda: md.latest("cu2702")) is None


def test_a_price_move_gives_a_new_tick(connect, flavour, sim, front):
    md = connect()
    ticks = flavour.inside(lambda: md.ticks(LONG))
    flavour.do(md.subscribe("rb2705"))
    [snapshot] = flavour.collect(ticks, of("rb2705"), 1)
    sim.move_price(front, "rb2705", 5)
    [moved] = flavour.collect(ticks, lambda t: of("rb2705")(t) and t["BidPrice1"] > snapshot["BidPrice1"], 1)
    assert moved["BidPrice1"] < sim.price(front, "rb2705") < moved["AskPrice1"]
    assert flavour.inside(lambda: md.latest("rb2705"))["BidPrice1"] > snapshot["BidPrice1"]


def test_unsubscribe_stops_ticks_and_a_stream_ends_after_its_timeout(connect, flavour, sim, front):
    md = connect()
    ticks = flavour.inside(lambda: md.ticks(LONG))
    flavour.do(md.subscribe("rb2705", "au2706"))
    flavour.collect(ticks, lambda t: t["InstrumentID"] in ("rb2705", "au2706"), 2)
    flavour.do(md.unsubscribe("rb2705"))
    assert md.subscribed == ["au2706"]
    sim.move_price(front, "rb2705", 3)
    sim.move_price(front, "au2706", 3)
    # The session's events keep their order: a tick of rb2705 would come before au2706's.
    [seen] = flavour.collect(ticks, lambda t: True, 1)
    assert seen["InstrumentID"] == "au2706"
    idle = connect()       # nothing subscribed: its stream ends after the timeout
    assert flavour.collect(flavour.inside(lambda: idle.ticks(0.2))) == []


def test_an_unknown_instrument_raises_and_the_others_stay_subscribed(connect, flavour):
    md = connect()
    with pytest.raises(ctp.CtpError) as caught:
        flavour.do(md.subscribe("rb2705", "nope"))
    assert caught.value.request == "SubMarketData" and caught.value.error_id != 0 and caught.value.message
    assert md.subscribed == ["rb2705"]


def test_a_reconnect_logs_in_and_subscribes_again(connect, flavour, sim, front):
    md = connect()
    events = flavour.inside(lambda: md.events(LONG))
    flavour.do(md.subscribe("rb2705"))
    sim.md_disconnect(md.api)
    sim.md_reconnect(md.api)
    seen = flavour.collect(events, lambda e: e["name"] in ("FrontDisconnected", "Reconnected"), 2)
    assert [e["name"] for e in seen] == ["FrontDisconnected", "Reconnected"]
    assert seen[1]["data"]["TradingDay"] == md.login["TradingDay"] and md.ready
    ticks = flavour.inside(lambda: md.ticks(LONG))
    sim.move_price(front, "rb2705", 2)
    price = sim.price(front, "rb2705")
    # Only subscribed again can it come (the snapshot of the new subscription may come first).
    flavour.collect(ticks, lambda t: of("rb2705")(t) and t["BidPrice1"] < price < t["AskPrice1"], 1)


def test_close_ends_the_session_and_each_session_logs_apart(connect, flavour, front, caplog):
    caplog.set_level(logging.INFO, "ctp.md")
    md = connect()
    other = connect(user="000002")
    assert md.log.name == f"ctp.md.000001@sim://{front}" and other.log is not md.log
    assert any(r.name == md.log.name and "logged in" in r.getMessage() for r in caplog.records)
    flavour.inside(md.close)
    flavour.inside(md.close)
    with pytest.raises(ctp.Disconnected):
        flavour.do(md.subscribe("rb2705"))


def test_context_managers(sim, tmp_path):
    front = f"sim://c{uuid.uuid4().hex[:12]}"
    with ctp.MarketData(front, **WHO, flow=tmp_path / "a", timeout=LONG) as md:
        ticks = md.ticks(LONG)      # before subscribing: the snapshot may come with the reply
        md.subscribe("rb2705")
        assert next(ticks)["InstrumentID"] == "rb2705"
    assert not md.ready

    async def session():
        async with ctp.AsyncMarketData(front, **WHO, flow=tmp_path / "b", timeout=LONG) as amd:
            ticks = amd.ticks(LONG)
            await amd.subscribe("au2706")
            async for tick in ticks:
                return amd, tick
        raise AssertionError("no tick")
    amd, tick = asyncio.run(session())
    assert tick["InstrumentID"] == "au2706" and not amd.ready


# ---- the core, without I/O --------------------------------------------------------------------

class TestCore:
    @staticmethod
    def logged_in():
        from ctp._core import Session
        from ctp._market import MARKET_DATA, Subscriptions
        subs = Subscriptions()
        core = Session(MARKET_DATA, [subs], broker="9999", user="u", password="p", timeout=5.0)
        connected = core.connect(0.0)
        core.receive({"name": "FrontConnected"})
        [login] = core.outgoing(0.0)
        core.sent(login, 0, 0.0)
        core.receive({"name": "RspUserLogin", "request_id": login.request_id, "data": {"TradingDay": "20270105"},
                      "error": {"ErrorID": 0, "ErrorMsg": ""}, "last": True})
        assert connected.value() == {"TradingDay": "20270105"}
        return core, subs

    @staticmethod
    def reply(core, name, instrument, error_id=0):
        core.receive({"name": name, "request_id": 0, "data": {"InstrumentID": instrument},
                      "error": {"ErrorID": error_id, "ErrorMsg": "x" if error_id else ""}, "last": True})

    def test_only_accepted_and_still_wanted_ids_are_subscribed_again(self):
        core, subs = self.logged_in()
        call = subs.subscribe(("a", "b", "c", "a"), 0.0)
        [out] = core.outgoing(0.0)
        assert out is call and call.ids == ("a", "b", "c")
        core.sent(call, 0, 0.0)
        self.reply(core, "RspSubMarketData", "a")
        self.reply(core, "RspSubMarketData", "b", error_id=16)
        assert not call.done
        self.reply(core, "RspSubMarketData", "c")
        with pytest.raises(ctp.CtpError):
            call.value()
        subs.unsubscribe(("c",), 0.0)
        events = []
        core.listen(events.append)
        core.receive({"name": "FrontDisconnected", "reason": 0x1001})
        assert core.outgoing(1.0) == []                 # the unsubscription waits for the login
        core.receive({"name": "FrontConnected"})
        [login] = core.outgoing(1.0)
        core.sent(login, 0, 1.0)
        core.receive({"name": "RspUserLogin", "request_id": login.request_id, "data": {},
                      "error": {"ErrorID": 0, "ErrorMsg": ""}, "last": True})
        again, unsub = core.outgoing(1.0)
        assert (again.name, again.ids, unsub.name, unsub.ids) == ("SubMarketData", ("a",), "UnSubMarketData", ("c",))
        core.sent(again, 0, 1.0)
        self.reply(core, "RspSubMarketData", "a")
        assert [e["name"] for e in events][-1] == "Reconnected"

    def test_a_busy_front_is_asked_again_and_an_unsent_login_waits_for_the_front(self):
        core, subs = self.logged_in()
        call = subs.subscribe(("a",), 0.0)
        [out] = core.outgoing(0.0)
        core.sent(out, -3, 0.0)
        assert not call.done and core.outgoing(0.0) == [] and core.next_wakeup() is not None
        [again] = core.outgoing(core.next_wakeup())
        assert again is call
        core.receive({"name": "FrontConnected"})
        [login] = core.outgoing(1.0)
        core.sent(login, -1, 1.0)
        assert core.phase is not ctp._core.Phase.LOGIN_FAILED
        core.receive({"name": "FrontDisconnected", "reason": 0x1001})
        core.receive({"name": "FrontConnected"})
        [login] = core.outgoing(2.0)
        assert login.name == "UserLogin"

    def test_a_drop_fails_what_was_sent_and_time_fails_what_got_no_reply(self):
        core, subs = self.logged_in()
        dropped = subs.subscribe(("a",), 0.0)
        core.sent(*core.outgoing(0.0), 0, 0.0)
        core.receive({"name": "FrontDisconnected", "reason": 0x1001})
        with pytest.raises(ctp.Disconnected):
            dropped.value()
        core, subs = self.logged_in()
        late = subs.subscribe(("a",), 10.0, timeout=2.0)
        core.sent(*core.outgoing(10.0), 0, 10.0)
        assert core.next_wakeup() == 12.0
        core.advance(12.0)
        with pytest.raises(TimeoutError):
            late.value()


def test_the_package_imports_without_the_market_data_module():
    code = ("import sys, ctp; assert '_ctpmd' not in sys.modules; sys.modules['_ctpmd'] = None; ctp.Client\n"
            "try:\n    ctp.MarketData\nexcept ImportError:\n    pass\nelse:\n    raise AssertionError\n")
    subprocess.run([sys.executable, "-c", code], env=subprocess_env(), check=True, timeout=LONG * 2)
