"""The clients' sessions through what fronts do to them: logins that fail after a drop,
drops while the client is being made, overflows, closing; each scenario on every face
(``Client``, ``AsyncClient``, ``MarketData``, ``AsyncMarketData``)."""

import logging
import os
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import ctp
from clients import LONG, face, trading, viewing  # noqa: F401
from conftest import subprocess_env


def named(*names):
    return lambda event: event["name"] in names


def ask(face, client, timeout=None):
    """A call that waits for the front: a query, or a subscription."""
    if face.kind.name == "trading":
        return client.query("QryOrder", timeout=timeout)
    return client.subscribe("rb2705", timeout=timeout)


def first_login_step(face):
    return "Authenticate" if face.kind.name == "trading" else "UserLogin"


@pytest.mark.parametrize("failure", ["raises", "returns -1"])
def test_a_login_that_cannot_be_sent_after_a_drop_is_reported_and_tried_again(face, failure, caplog):
    sim = face.kind.sim
    client = face.open()
    events = client.events(timeout=LONG)
    face.kind.disconnect(client.api)
    face.runner.collect(events, named("FrontDisconnected"), 1)
    step = first_login_step(face)
    caplog.set_level(logging.ERROR, "ctp")
    try:
        if failure == "raises":
            sim.throw_next("Req" + step)
        else:
            sim.force_result(-1)
        face.kind.reconnect(client.api)
        [failed] = face.runner.collect(events, named("ReconnectFailed"), 1)
        assert failed["request"] == step and isinstance(failed["exception"], Exception)
        assert any(step in record.getMessage() for record in caplog.records), "and logged"
        if failure == "returns -1":
            assert not client.ready
            # Not ready, and not going to be while the vendor refuses: the call still ends in its time.
            with pytest.raises(TimeoutError):
                face.runner.do(ask(face, client, 0.3))
    finally:
        sim.force_result(None)
    [back] = face.runner.collect(events, named("Reconnected"), 1)
    assert client.ready and back["data"]["TradingDay"]
    face.runner.do(ask(face, client))


def test_a_drop_between_the_login_and_the_confirmation_does_not_stall_creation(trading):
    sim = trading.kind.sim
    sim.set_request_delay(1_000_000)   # each request takes a second inside the library: time to drop in between
    dropped = threading.Event()

    def drop_at_the_confirmation():
        deadline = time.monotonic() + LONG
        while not (confirming := sim.calls(op="ReqSettlementInfoConfirm")):
            if time.monotonic() > deadline:
                return
            time.sleep(0.002)
        api = confirming[0].api
        sim.disconnect(api)
        sim.set_request_delay(0)
        sim.reconnect(api)
        dropped.set()
    thread = threading.Thread(target=drop_at_the_confirmation)
    thread.start()
    try:
        client = trading.open(timeout=10)
    finally:
        sim.set_request_delay(0)
        thread.join(LONG)
    assert dropped.is_set() and client.ready
    assert len(sim.calls(api=client.api, op="ReqUserLogin")) == 2, "it logged in again"
    trading.runner.do(client.query("QryOrder"))


def test_after_an_overflow_events_end_once_they_told_it(trading):
    client = trading.open()
    events = client.events(timeout=LONG)
    trading.runner.inside(lambda: trading.kind.sim.flood(client.api, "OnRtnTrade", 32_769))
    seen = trading.runner.collect(events)            # to its end, without an exception
    assert [e["name"] for e in seen] == ["Overflowed"] and "full queue" in seen[0]["error"]
    with pytest.raises(ctp.Overflowed):
        trading.runner.do(client.query("QryOrder"))


def test_a_closed_client_s_streams_fail_as_its_other_calls_do(face):
    client = face.open()
    before = client.events(timeout=LONG)
    face.runner.inside(client.close)
    assert face.runner.collect(before) == [], "one made before ends"
    for call in (lambda: ask(face, client), client.events) + ((client.ticks,) if face.kind.name != "trading" else ()):
        with pytest.raises(ctp.Disconnected, match="closed"):
            face.runner.do(call())


SHARE = """
import ctp, sys, time
cls = getattr(ctp, sys.argv[1])
options = dict(eval(sys.argv[2]), front=sys.argv[3], timeout=30)
flow = None if sys.argv[4] == "-" else sys.argv[4]
try:
    client = cls(**options, flow=flow)
except RuntimeError as refused:
    print("refused:", refused)
    sys.exit(0)
print(client.flow)
client.close()
"""


def test_a_flow_directory_is_one_session_s(face, tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    flow = tmp_path / "shared"
    first = face.open(flow=flow)
    with pytest.raises(RuntimeError, match="flow directory .* in use by another session of this process"):
        face.make(**face.options(flow=flow))
    # Another process: refused the directory it was given, and apart by itself when given none.
    other = face.runner.do(face.make(**face.options(flow=None)))
    code = [sys.executable, "-c", SHARE, face.kind.classes["blocking"], repr(face.kind.who), face.front]
    env = dict(subprocess_env(), XDG_CACHE_HOME=str(tmp_path / "cache"))
    given = subprocess.run(code + [str(flow)], env=env, capture_output=True, text=True, timeout=LONG * 2)
    assert "in use by another session of another process" in given.stdout, given.stderr
    default = subprocess.run(code + ["-"], env=env, capture_output=True, text=True, timeout=LONG * 2)
    assert default.returncode == 0, default.stderr
    assert Path(default.stdout.strip()).parent == other.flow.parent and Path(default.stdout.strip()) != other.flow
    face.runner.inside(other.close)
    face.runner.inside(first.close)
    again = face.open(flow=flow)
    assert again.ready and again.flow == flow


def test_after_an_overflow_market_data_recovers_by_itself(viewing):
    sim = viewing.kind.sim
    md = viewing.open()
    events = md.events(timeout=LONG)
    viewing.runner.do(md.subscribe("rb2705"))
    viewing.runner.inside(lambda: sim.md_flood(md.api, "OnRtnDepthMarketData", 32_769))
    seen = viewing.runner.collect(events, named("Overflowed", "Reconnected"), 2)
    assert [e["name"] for e in seen] == ["Overflowed", "Reconnected"], "reported, and back"
    assert md.ready and md.subscribed == ["rb2705"]
    fresh = viewing.kind.api_of(os.fsencode(os.path.join(md.flow, "")))
    assert fresh != md.api and not sim.md_alive(md.api), "a fresh session in place of the old one"
    ticks = md.ticks(timeout=LONG)
    sim.move_price(viewing.front, "rb2705", 4)
    price = sim.price(viewing.front, "rb2705")
    viewing.runner.collect(ticks, lambda t: t["BidPrice1"] < price < t["AskPrice1"], 1)


def test_a_read_takes_in_what_has_arrived_first(face):
    """Every read of a client's state takes in what has arrived before it answers, as every call
    does: a program that only reads sees the order book and the ticks up to date."""
    from records import record
    sim = face.kind.sim
    client = face.open()
    if face.kind.name == "trading":
        order = record("CThostFtdcOrderField", BrokerID="9999", InvestorID="000001", InstrumentID="rb2705",
                       ExchangeID="SHFE", OrderRef="7", FrontID=1, SessionID=999, OrderSysID="77", Direction=b"0",
                       CombOffsetFlag=b"0", OrderStatus=b"3", OrderSubmitStatus=b"3", VolumeTotalOriginal=1)
        face.runner.inside(lambda: sim.emit(client.api, "OnRtnOrder", order))     # waits in the module's queue
        seen = face.runner.inside(lambda: client.order_by_ref(1, 999, "7"))
        assert seen is not None and seen.status == ctp.OrderStatus.NO_TRADE_QUEUEING
        assert face.runner.inside(lambda: [o.order_sys_id for o in client.orders]) == ["77"]
    else:
        tick = record("CThostFtdcDepthMarketDataField", InstrumentID="rb2705", ExchangeID="SHFE", BidPrice1=3099.0)
        face.runner.inside(lambda: sim.md_emit(client.api, "OnRtnDepthMarketData", tick))
        assert face.runner.inside(lambda: client.latest("rb2705"))["BidPrice1"] == 3099.0
    emit = sim.emit if face.kind.name == "trading" else sim.md_emit
    face.runner.inside(lambda: emit(client.api, "OnFrontDisconnected", id=0x1001))
    assert not face.runner.inside(lambda: client.ready), "a drop that has arrived is known"
