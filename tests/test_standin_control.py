"""The stand-in's control interface itself, as the tests use it: the call log
only when asked, the serial of a session's API object, and the lock state
each logged call records."""

import ctypes
import re
import subprocess
import sys
import textwrap
import threading

import pytest

import _ctp
import _ctpmd
from conftest import Session, subprocess_env
from ctp.sim import ControlError, Result
from records import HEADERS, RECORDS, info
from test_md import poll_until as md_poll_until


def test_the_call_log_is_off_unless_turned_on(sim, flow):
    sim.reset()                                         # as a process starts: off
    Session(sim, flow).close()
    assert sim.calls() == []
    sim.log_calls(True)
    Session(sim, flow).close()
    assert [c.name for c in sim.calls()][:2] == ["CreateFtdcTraderApi", "RegisterSpi"]
    sim.log_calls(False)
    count = len(sim.calls())
    Session(sim, flow).close()
    assert len(sim.calls()) == count


def test_each_flow_path_names_its_own_api_object(sim, tmp_path):
    flows = [bytes(tmp_path / f"s{i}") + b"/" for i in range(8)]
    handles = [None] * len(flows)

    def create(i):
        handles[i] = _ctp.create(f"sim://serial{i}", flows[i])

    threads = [threading.Thread(target=create, args=(i,)) for i in range(len(flows))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    serials = [sim.api_of(f) for f in flows]
    assert len(set(serials)) == len(flows) and sim.api_of(bytes(tmp_path) + b"/none/") == 0
    for i, serial in enumerate(serials):
        (front,) = sim.calls(serial, "RegisterFront")
        assert front.text == f"sim://serial{i}".encode()
    for handle in handles:
        _ctp.close(handle)


def test_rsp_error_given_as_info_arrives(sim, session):
    sim.emit(session.api, "OnRspError", None, info(42, b"x"), id=3)
    [event] = session.poll()
    assert (event["name"], event["request_id"], event["error"]["ErrorID"]) == ("RspError", 3, 42)


def test_lock_state_is_right_after_a_sub_interpreter(tmp_path):
    # PyGILState_Check answers 1 on every thread once a sub-interpreter
    # exists; the log must still see Init and Release made without the lock.
    script = textwrap.dedent(f"""
        import _ctp, _interpreters
        from ctp import sim
        sim.log_calls(True)
        interpreter = _interpreters.create()
        flow = {bytes(tmp_path) + b"/"!r}
        handle = _ctp.create("sim://sub", flow)
        _ctp.close(handle)
        _interpreters.destroy(interpreter)
        print(sorted({{(c.name, c.gil) for c in sim.calls(sim.api_of(flow))}}))
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                          env=subprocess_env())
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == str(sorted({("RegisterSpi", 1), ("SubscribePrivateTopic", 1),
                                              ("SubscribePublicTopic", 1), ("RegisterFront", 1), ("Init", 0),
                                              ("RegisterSpi", 0), ("Release", 0)}))


def test_one_set_of_controls_names_the_objects_of_both_libraries(sim, tmp_path):
    trader_flow, md_flow = bytes(tmp_path / "trader") + b"/", bytes(tmp_path / "md") + b"/"
    trader = _ctp.create("sim://both", trader_flow)
    md = _ctpmd.create("sim://both", md_flow)
    try:
        t, m = sim.api_of(trader_flow), sim.api_of(md_flow)
        assert 0 < t < m == sim.last_api() and sim.alive(t) and sim.alive(m)
        assert md_poll_until(md, 1) == [{"name": "FrontConnected"}]
        # Each object runs its own library's callbacks, and only those.
        for api, callback in ((m, "OnRtnOrder"), (t, "OnRtnDepthMarketData")):
            with pytest.raises(ControlError) as refused:
                sim.emit(api, callback)
            assert refused.value.result is Result.NO_CALLBACK
        sim.emit(m, "OnRspError", None, info(42, b"x"), id=3)
        sim.disconnect(m, 0x2001)
        sim.reconnect(m)
        events = md_poll_until(md, 3)
        assert [(e["name"], e.get("reason")) for e in events] == [
            ("RspError", None), ("FrontDisconnected", 0x2001), ("FrontConnected", None)]
        assert events[0]["error"]["ErrorID"] == 42
    finally:
        _ctp.close(trader)
        _ctpmd.close(md)
    assert not sim.alive(m) and not sim.alive(t)
    # The names of the market-data controls of old stand for the same functions.
    assert (sim.md_api_of, sim.md_alive, sim.md_emit, sim.md_flood, sim.md_disconnect, sim.md_reconnect,
            sim.md_hold) == (sim.api_of, sim.alive, sim.emit, sim.flood, sim.disconnect, sim.reconnect, sim.hold)


@pytest.mark.parametrize("header, spi", [("ThostFtdcTraderApi.h", "CThostFtdcTraderSpi"),
                                         ("ThostFtdcMdApi.h", "CThostFtdcMdSpi")])
def test_every_declared_callback_runs_by_name(sim, session, flow, header, spi):
    """ctpsim_emit runs each callback the stand-in's header declares, with a
    record of its exact size, on an object of either library."""
    text = (HEADERS / header).read_text()
    body = text[text.index(f"class {spi}"):]
    body = body[:body.index("};")]
    declared = re.findall(r"virtual void (On\w+)\((\w*)", body)
    assert len(declared) >= 9
    handle = _ctpmd.create("sim://test", flow + b"md/") if spi == "CThostFtdcMdSpi" else None
    api = sim.api_of(flow + b"md/") if handle else session.api
    try:
        for callback, first in declared:
            record = RECORDS[first]() if first in RECORDS else None
            sim.emit(api, callback, record, id=1)
        with pytest.raises(ControlError) as refused:
            sim.emit(api, "OnRtnNothing")
        assert refused.value.result == Result.NO_CALLBACK
        with pytest.raises(ControlError) as wrong:
            sim.emit(api, declared[-1][0], bytes(ctypes.sizeof(RECORDS[declared[-1][1]]) + 1))
        assert wrong.value.result == Result.BAD_SIZE
    finally:
        if handle:
            _ctpmd.close(handle)
