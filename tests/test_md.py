"""_ctpmd, the market-data module: its records out, its session (the queue,
overflow, close, wait, fileno, faults, fork) on the bridge _ctp uses."""

import contextlib
import ctypes
import gc
import math
import os
import random
import select
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import _ctpmd
from conftest import leaked, subprocess_env
from ctp.sim import ControlError, Result, Throw
from records import info, raw, record
from test_records import CODE, COMPLETE, DEPTH, INT, REAL, TEXT, ZERO_ERROR, filled

CAPACITY = 0x8000
DBL_MAX = sys.float_info.max

MD_LAYOUTS = {
    "CThostFtdcDepthMarketDataField": DEPTH,
    "CThostFtdcSpecificInstrumentField": [("InstrumentID", TEXT)],
    "CThostFtdcUserLogoutField": [("BrokerID", TEXT), ("UserID", TEXT)],
    "CThostFtdcRspUserLoginField": [("TradingDay", TEXT), ("FrontID", INT), ("SessionID", INT),
                                    ("MaxOrderRef", TEXT)],
}
RSP, RTN = "rsp", "rtn"
MD_CALLBACKS = {
    "OnRspUserLogin": ("RspUserLogin", "CThostFtdcRspUserLoginField", RSP),
    "OnRspUserLogout": ("RspUserLogout", "CThostFtdcUserLogoutField", RSP),
    "OnRspSubMarketData": ("RspSubMarketData", "CThostFtdcSpecificInstrumentField", RSP),
    "OnRspUnSubMarketData": ("RspUnSubMarketData", "CThostFtdcSpecificInstrumentField", RSP),
    "OnRtnDepthMarketData": ("RtnDepthMarketData", "CThostFtdcDepthMarketDataField", RTN),
}


def poll_until(handle, count, timeout=10.0):
    events = []
    deadline = time.monotonic() + timeout
    while len(events) < count:
        events += _ctpmd.poll(handle)
        if len(events) >= count:
            break
        if time.monotonic() > deadline:
            raise AssertionError(f"only {len(events)} of {count} events: {events[:5]}")
        _ctpmd.wait(handle, 0.05)
    return events


class MdSession:
    """An open market-data session on a simulated front, connected."""

    def __init__(self, sim, flow, front="sim://md", **keywords):
        self.handle = _ctpmd.create(front, flow, **keywords)
        self.api = sim.md_api_of(flow)
        assert poll_until(self.handle, 1) == [{"name": "FrontConnected"}]

    def poll(self):
        return _ctpmd.poll(self.handle)

    def close(self):
        _ctpmd.close(self.handle)

    def login(self):
        assert _ctpmd.request(self.handle, "UserLogin", {"BrokerID": "9999", "UserID": "u"}, 1) == 0
        [reply] = poll_until(self.handle, 1)
        assert reply["name"] == "RspUserLogin" and reply["error"] == ZERO_ERROR


@pytest.fixture
def md(sim, flow):
    s = MdSession(sim, flow)
    yield s
    s.close()


@pytest.fixture
def full_md(sim, flow):
    """A market-data session whose records are complete."""
    s = MdSession(sim, flow, full_records=True)
    yield s
    s.close()


def md_layout(record_type, complete=False):
    return MD_LAYOUTS[record_type] + (COMPLETE.get(record_type, []) if complete else [])


def expected_md(record_type, rec, complete=False):
    """What "data" must hold for rec, from its raw bytes."""
    out = {}
    for member, kind in md_layout(record_type, complete):
        if kind == TEXT:
            out[member] = raw(rec, member).split(b"\0", 1)[0].decode("gb18030", "replace")
        else:
            out[member] = getattr(rec, member)
    return out


# ---- records -------------------------------------------------------------------

def test_module_basics(sim):
    assert _ctpmd.version() == _ctpmd.version() and isinstance(_ctpmd.version(), str)
    for record_type in MD_LAYOUTS:
        assert sim.sizeof(record_type) > 0


class TestRecords:
    @pytest.mark.parametrize("complete", [False, True], ids=["today's records", "complete records"])
    @pytest.mark.parametrize("callback", sorted(MD_CALLBACKS))
    def test_every_member_of_a_full_width_record(self, sim, request, callback, complete):
        md = request.getfixturevalue("full_md" if complete else "md")
        event_name, record_type, how = MD_CALLBACKS[callback]
        rec = filled(record_type, random.Random(callback))
        err = info(-7, "交易所拒绝".encode("gb18030"))
        sim.md_emit(md.api, callback, rec, err, id=-12, last=False)
        [event] = md.poll()
        assert list(event) == ["name", "data", "error", "request_id", "last"]
        assert event["name"] == event_name
        data = event["data"]
        assert list(data) == [m for m, _ in md_layout(record_type, complete)]
        assert data == expected_md(record_type, rec, complete)
        for member, kind in md_layout(record_type, complete):
            assert type(data[member]) is {TEXT: str, CODE: str, INT: int, REAL: float}[kind]
        if how == RSP:
            assert (event["error"], event["request_id"], event["last"]) == (
                {"ErrorID": -7, "ErrorMsg": "交易所拒绝"}, -12, False)
        else:
            assert (event["error"], event["request_id"], event["last"]) == (ZERO_ERROR, 0, True)

    @pytest.mark.parametrize("callback", sorted(MD_CALLBACKS))
    def test_null_record_and_null_info(self, sim, md, callback):
        event_name, _, how = MD_CALLBACKS[callback]
        sim.md_emit(md.api, callback, None, None, id=3, last=True)
        [event] = md.poll()
        assert event == {"name": event_name, "data": None, "error": ZERO_ERROR,
                         "request_id": 3 if how == RSP else 0, "last": True}

    def test_rsp_error_and_connection_events(self, sim, md):
        sim.md_emit(md.api, "OnRspError", info(5, b"x"), id=2)
        sim.md_emit(md.api, "OnHeartBeatWarning", id=12)
        sim.md_emit(md.api, "OnFrontDisconnected", id=0x2001)
        error, warning, disconnected = md.poll()
        assert error["data"] == error["error"] == {"ErrorID": 5, "ErrorMsg": "x"}
        assert error["data"] is not error["error"]
        assert list(warning.items()) == [("name", "HeartBeatWarning"), ("time_lapse", 12)]
        assert disconnected == {"name": "FrontDisconnected", "reason": 0x2001}

    def test_text_edges(self, sim, md):
        full = "合" * 40  # 80 GB18030 bytes, no NUL: the whole field but its last byte
        cases = [b"", b"rb2705", full.encode("gb18030") + b"x", b"a\0b", b"\xff\xfe", "螺纹".encode("gb18030")]
        for raw_id in cases:
            sim.md_emit(md.api, "OnRtnDepthMarketData", record("CThostFtdcDepthMarketDataField", InstrumentID=raw_id))
        got = [e["data"]["InstrumentID"] for e in md.poll()]
        assert got == [b.split(b"\0")[0].decode("gb18030", "replace") for b in cases]

    def test_unset_and_special_reals_pass_unchanged(self, sim, md):
        values = [DBL_MAX, -DBL_MAX, math.inf, -0.0, 5e-324, 3100.5]
        for value in values:
            sim.md_emit(md.api, "OnRtnDepthMarketData",
                        record("CThostFtdcDepthMarketDataField", LastPrice=value, AskPrice5=value))
        sim.md_emit(md.api, "OnRtnDepthMarketData", record("CThostFtdcDepthMarketDataField", LastPrice=math.nan))
        events = md.poll()
        for event, value in zip(events, values):
            assert event["data"]["LastPrice"] == value and event["data"]["AskPrice5"] == value
            assert math.copysign(1, event["data"]["LastPrice"]) == math.copysign(1, value)
        assert math.isnan(events[-1]["data"]["LastPrice"])

    def test_record_is_copied_when_the_callback_runs(self, sim, md):
        # The library scribbles its buffer after each callback: a record read
        # later would come out as 0xA5 bytes.
        sim.md_flood(md.api, "OnRtnDepthMarketData", 3,
                     record=record("CThostFtdcDepthMarketDataField", InstrumentID=b"au2706", Volume=7))
        assert [(e["data"]["InstrumentID"], e["data"]["Volume"]) for e in md.poll()] == [("au2706", 7)] * 3

    def test_ticks_of_one_batch_are_separate_dicts(self, sim, md):
        for volume in (1, 2):
            sim.md_emit(md.api, "OnRtnDepthMarketData", record("CThostFtdcDepthMarketDataField", Volume=volume))
        a, b = md.poll()
        assert a["data"] is not b["data"] and (a["data"]["Volume"], b["data"]["Volume"]) == (1, 2)

    def test_records_build_without_leaks(self, sim, md):
        tick = filled("CThostFtdcDepthMarketDataField", random.Random(1))

        def roundtrip():
            sim.md_emit(md.api, "OnRtnDepthMarketData", tick)
            sim.md_emit(md.api, "OnRspSubMarketData", None, info(1, "错".encode("gb18030")))
            assert len(md.poll()) == 2
        assert leaked(roundtrip) < 0.1


# ---- the session -------------------------------------------------------------

class TestSession:
    def test_create_calls_in_order(self, sim, flow):
        h = _ctpmd.create("sim://md", flow)
        api = sim.md_api_of(flow)
        ops = [(c.name, c.gil) for c in sim.calls(api)]
        assert ops == [("RegisterSpi", 1), ("RegisterFront", 1), ("Init", 0)]
        [created] = sim.calls(0, "CreateFtdcMdApi")
        assert (created.text, created.arg1, created.arg2) == (flow, 0, 0)
        _ctpmd.close(h)
        assert [c.name for c in sim.calls(api)][-2:] == ["RegisterSpi", "Release"]
        assert not sim.md_alive(api)

    def test_vendor_refusing_to_create(self, sim, flow):
        sim.fail_next_create()
        with pytest.raises(RuntimeError, match="^创建 CTP 接口失败$"):
            _ctpmd.create("sim://md", flow)

    def test_several_fronts_and_complete_records(self, sim, flow):
        h = _ctpmd.create(("tcp://192.0.2.1:1", "sim://md"), flow, full_records=True)
        api = sim.md_api_of(flow)
        assert [c.text for c in sim.calls(api, "RegisterFront")] == [b"tcp://192.0.2.1:1", b"sim://md"]
        assert poll_until(h, 1) == [{"name": "FrontConnected"}]
        assert _ctpmd.request(h, "UserLogin", {"BrokerID": "9999", "UserID": "u"}, 1) == 0
        [login] = poll_until(h, 1)
        assert list(login["data"]) == [m for m, _ in md_layout("CThostFtdcRspUserLoginField", complete=True)]
        assert (login["data"]["BrokerID"], login["data"]["UserID"]) == ("9999", "u")
        _ctpmd.close(h)

    @pytest.mark.parametrize("front, error", [([], ValueError), (["sim://md", 7], TypeError), (b"sim://md", TypeError),
                                              (["sim://\0md"], ValueError), (None, TypeError)])
    def test_bad_fronts_create_nothing(self, sim, flow, front, error):
        with pytest.raises(error):
            _ctpmd.create(front, flow)
        with pytest.raises(TypeError):
            _ctpmd.create("sim://md", flow, full_records=True, private_resume="quick")
        assert sim.calls() == []

    @pytest.mark.parametrize("op", ["CreateFtdcMdApi", "RegisterSpi", "RegisterFront", "Init"])
    def test_create_failing_anywhere_leaves_nothing_open(self, sim, flow, op):
        sim.throw_next(op, Throw.RUNTIME)
        with pytest.raises(RuntimeError, match=op):
            _ctpmd.create("sim://md", flow)
        api = sim.md_api_of(flow)
        assert api == 0 or not sim.md_alive(api)

    def test_capsule_name_and_foreign_handles(self, md):
        import _ctp
        assert "morva.ctpmd" in repr(md.handle)
        for function in (_ctp.poll, _ctp.close, _ctp.fileno):
            with pytest.raises(ValueError):
                function(md.handle)
        with pytest.raises(ValueError):
            _ctpmd.poll(object())

    def test_exactly_capacity_then_overflow_for_good(self, sim, md):
        tick = record("CThostFtdcDepthMarketDataField", InstrumentID=b"rb2705")
        sim.md_flood(md.api, "OnRtnDepthMarketData", CAPACITY, record=tick)
        assert len(md.poll()) == CAPACITY
        sim.md_flood(md.api, "OnRtnDepthMarketData", CAPACITY + 1, record=tick)
        for _ in range(2):
            with pytest.raises(BufferError, match="^CTP 回调队列已满$"):
                md.poll()
        assert _ctpmd.wait(md.handle, 0) is True

    def test_tick_flood_from_the_walk_overflows_a_consumer_that_falls_behind(self, sim, md):
        md.login()
        assert _ctpmd.subscribe(md.handle, ["au2706"]) == 0
        assert [e["name"] for e in poll_until(md.handle, 2)] == ["RspSubMarketData", "RtnDepthMarketData"]
        sim.timing(1)  # counts every callback from here on
        sim.walk("md", "au2706", 11, 1e6)
        deadline = time.monotonic() + 120
        while sim.library().ctpsim_timings(None, None, None, None, None, 0) <= CAPACITY:
            assert time.monotonic() < deadline, "the walk did not get going"
            time.sleep(0.05)
        sim.walk("md", "au2706", 11, 0)
        with pytest.raises(BufferError, match="^CTP 回调队列已满$"):
            md.poll()
        assert _ctpmd.wait(md.handle, 0) is True

    def test_close_while_the_vendor_floods(self, sim, md):
        def floods():
            with contextlib.suppress(ControlError):  # the close drops what is left
                sim.md_flood(md.api, "OnRtnDepthMarketData", 200000, record("CThostFtdcDepthMarketDataField"))

        flood = threading.Thread(target=floods)
        flood.start()
        time.sleep(0.01)
        md.close()
        flood.join()
        assert not sim.md_alive(md.api) and sim.violations() == 0

    def test_second_close_returns_only_once_detached(self, sim, md):
        sim.force_result(0)
        sim.set_request_delay(300000)
        inside = threading.Thread(target=_ctpmd.subscribe, args=(md.handle, ["rb2705"]))
        inside.start()
        time.sleep(0.05)
        first = threading.Thread(target=md.close)
        first.start()
        time.sleep(0.05)
        md.close()
        assert not sim.md_alive(md.api)
        with pytest.raises(ControlError) as refused:
            sim.md_emit(md.api, "OnRtnDepthMarketData")
        assert refused.value.result == Result.NO_API
        first.join()
        inside.join()
        assert md.poll() == []
        assert sim.violations() == 0

    def test_vendor_exceptions_become_python_exceptions(self, sim, md):
        sim.throw_next("SubscribeMarketData", Throw.BAD_ALLOC)
        with pytest.raises(MemoryError):
            _ctpmd.subscribe(md.handle, ["rb2705"])
        sim.throw_next("ReqUserLogin", Throw.OTHER)
        with pytest.raises(RuntimeError):
            _ctpmd.request(md.handle, "UserLogin", {}, 1)
        sim.throw_next("Release", Throw.RUNTIME)
        with pytest.raises(RuntimeError, match="Release"):
            md.close()
        with pytest.raises(RuntimeError, match="^CTP 接口已关闭$"):
            _ctpmd.subscribe(md.handle, ["rb2705"])

    def test_callback_never_takes_the_interpreter_lock(self, sim, md):
        # Emitted with the interpreter lock held: a callback that took it would time out.
        sim.md_emit(md.api, "OnRtnDepthMarketData", record("CThostFtdcDepthMarketDataField"), timeout=5.0,
                    hold_gil=True)
        assert [e["name"] for e in md.poll()] == ["RtnDepthMarketData"]

    def test_sessions_build_without_leaks(self, sim, flow):
        def roundtrip():
            h = _ctpmd.create("sim://md", flow)
            poll_until(h, 1)
            _ctpmd.close(h)
        assert leaked(roundtrip, runs=30) < 0.5


class TestWaiting:
    def test_wait_is_woken_by_a_vendor_thread(self, sim, md):
        assert _ctpmd.wait(md.handle, 0) is False
        timer = threading.Timer(0.05, sim.md_emit, args=(md.api, "OnRtnDepthMarketData"))
        timer.start()
        assert _ctpmd.wait(md.handle, 10) is True
        timer.join()
        assert len(md.poll()) == 1

    def test_wait_returns_false_when_closed(self, sim, md):
        threading.Timer(0.05, md.close).start()
        assert _ctpmd.wait(md.handle, None) is False

    def test_bad_timeouts(self, md):
        with pytest.raises(ValueError):
            _ctpmd.wait(md.handle, -1)
        with pytest.raises(TypeError):
            _ctpmd.wait(md.handle, "1")

    def test_descriptor_follows_the_queue(self, sim, md):
        fd = _ctpmd.fileno(md.handle)
        assert fd == _ctpmd.fileno(md.handle)
        assert select.select([fd], [], [], 0)[0] == []
        sim.md_emit(md.api, "OnRtnDepthMarketData")
        assert select.select([fd], [], [], 10)[0] == [fd]
        md.poll()
        assert select.select([fd], [], [], 0)[0] == []

    def test_waiting_leaks_nothing(self, sim, md):
        def roundtrip():
            sim.md_emit(md.api, "OnRtnDepthMarketData")
            assert _ctpmd.wait(md.handle, 10) is True
            _ctpmd.fileno(md.handle)
            md.poll()
        assert leaked(roundtrip, runs=50) < 0.1


def test_forked_child_never_calls_the_vendor(tmp_path):
    script = textwrap.dedent(f"""
        import os, sys, time
        import _ctpmd
        from ctp import sim
        h = _ctpmd.create("sim://fork", {str(tmp_path).encode() + b"/"!r})
        api = sim.md_api_of({str(tmp_path).encode() + b"/"!r})
        while not _ctpmd.poll(h):
            time.sleep(0.001)
        pid = os.fork()
        if pid == 0:
            for call in (lambda: _ctpmd.poll(h), lambda: _ctpmd.subscribe(h, ["x"]),
                         lambda: _ctpmd.request(h, "UserLogin", {{}}, 1), lambda: _ctpmd.fileno(h)):
                try:
                    call()
                    os._exit(3)
                except RuntimeError as e:
                    if str(e) != "CTP 接口不能跨进程使用":
                        os._exit(4)
            _ctpmd.close(h)
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0, status
        assert sim.violations() == 0 and sim.md_alive(api)
        _ctpmd.close(h)
        print("ok")
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120,
                            env=subprocess_env())
    assert result.returncode == 0 and result.stdout.strip() == "ok", result.stdout + result.stderr[-3000:]


def test_garbage_collected_handle_closes_its_session(sim, flow):
    h = _ctpmd.create("sim://md", flow)
    api = sim.md_api_of(flow)
    del h
    gc.collect()
    assert not sim.md_alive(api)


MD_NAMES = ["RtnDepthMarketData", "RspSubMarketData", "RspError", "FrontDisconnected"]


def test_poll_out_of_memory_loses_only_the_failing_event(sim, md):
    """As for _ctp: a poll that runs out of memory returns what it built, or
    loses the first event alone (and says so), or takes nothing."""
    testcapi = pytest.importorskip("_testcapi")

    def emit():
        sim.md_emit(md.api, "OnRtnDepthMarketData", record("CThostFtdcDepthMarketDataField", InstrumentID=b"rb2705"))
        sim.md_emit(md.api, "OnRspSubMarketData", record("CThostFtdcSpecificInstrumentField", InstrumentID=b"rb"),
                    info(5, "错误".encode("gb18030")), id=9)
        sim.md_emit(md.api, "OnRspError", info(300, b"x"))
        sim.md_emit(md.api, "OnFrontDisconnected", id=2)

    def drain():
        got = []
        while batch := md.poll():
            got += batch
        return got

    outcomes = set()
    for start in range(0, 300):
        emit()
        gc.collect()
        testcapi.set_nomemory(start, start + 1)
        try:
            got, error = md.poll(), None
        except MemoryError as e:
            got, error = None, e
        finally:
            testcapi.remove_mem_hooks()
        rest = drain()
        if error is None:
            assert [e["name"] for e in got + rest] == MD_NAMES
            outcomes.add("prefix" if len(got) < len(MD_NAMES) else "whole")
        elif any("无法转换，已丢弃" in note for note in getattr(error, "__notes__", [])):
            assert error.__notes__[-1] == "CTP 事件 RtnDepthMarketData 无法转换，已丢弃"
            assert [e["name"] for e in rest] == MD_NAMES[1:]
            outcomes.add("first lost")
        else:
            assert [e["name"] for e in rest] == MD_NAMES
            outcomes.add("nothing taken")
    assert outcomes == {"prefix", "whole", "first lost", "nothing taken"}
