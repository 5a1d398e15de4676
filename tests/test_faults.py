"""Running out of memory at every allocation of create, poll and request:
each call either succeeds or raises MemoryError, nothing is half done, and
nothing leaks."""

import gc

import pytest

import _ctp
from conftest import leaked
from records import info, record

testcapi = pytest.importorskip("_testcapi")


def starved(fn, start):
    """fn() with every Python allocation from the start-th on failing."""
    gc.collect()
    testcapi.set_nomemory(start, 0)
    try:
        return fn(), None
    except MemoryError as error:
        return None, error
    finally:
        testcapi.remove_mem_hooks()


def events(sim, api):
    sim.emit(api, "OnRtnOrder", record("CThostFtdcOrderField", OrderSysID=b"1", StatusMsg="已撤单".encode("gb18030")))
    sim.emit(api, "OnRspQryInstrument", record("CThostFtdcInstrumentField", InstrumentID=b"rb2610"),
             info(5, "错误".encode("gb18030")), id=9)
    sim.emit(api, "OnRspError", info(300, b"x"))
    sim.emit(api, "OnFrontDisconnected", id=2)


def test_poll_failing_anywhere_loses_that_batch_only(sim, session):
    failures = 0
    for start in range(0, 200):
        events(sim, session.api)
        got, error = starved(session.poll, start)
        if error is None:
            assert [e["name"] for e in got] == ["RtnOrder", "RspQryInstrument", "RspError", "FrontDisconnected"]
            break
        failures += 1
        # The failed batch is gone; the session goes on.
        sim.emit(session.api, "OnFrontConnected")
        assert session.poll() == [{"name": "FrontConnected"}]
    assert failures > 20

    def starve_once():
        events(sim, session.api)
        starved(session.poll, 7)
    assert leaked(starve_once, runs=50) < 0.1


def test_create_failing_anywhere_leaves_nothing_open(sim, flow):
    failures = 0
    for start in range(0, 60):
        handle, error = starved(lambda: _ctp.create("sim://starved", flow), start)
        if error is None:
            _ctp.close(handle)
            break
        failures += 1
        api = sim.last_api()
        if api and sim.calls(api):
            assert not sim.alive(api), "an API object was left running"
    assert failures > 0
    assert sim.violations() == 0


def test_request_failing_anywhere_sends_nothing(sim, session):
    sim.force_result(0)
    data = {"InstrumentID": "螺纹钢", "ExchangeID": "SHFE", "LimitPrice": 3500.5, "VolumeTotalOriginal": 2,
            "Direction": "0"}
    failures = 0
    for start in range(0, 60):
        before = len(sim.calls(session.api, "ReqOrderInsert"))
        result, error = starved(lambda: _ctp.request(session.handle, "OrderInsert", data, 1), start)
        sent = len(sim.calls(session.api, "ReqOrderInsert")) - before
        if error is None:
            assert result == 0 and sent == 1
            break
        failures += 1
        assert sent == 0
    assert failures > 2
