"""Sessions: create, poll, close, the handle's life, the event queue and the
lock discipline towards the vendor's threads."""

import ctypes
import errno
import gc
import os
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

import _ctp
from conftest import Session, leaked, poll_until, subprocess_env
from records import record

CAPACITY = 32768
UNREACHABLE = "tcp://192.0.2.1:17001"


def capsule(name):
    """A capsule under another name, made the C way."""
    new = ctypes.pythonapi.PyCapsule_New
    new.restype = ctypes.py_object
    new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    return new(ctypes.c_void_p(1), name, None)


class TestVersion:
    def test_version_needs_no_session(self, sim, flow):
        assert _ctp.version() == "6.7.2_standin (simulated front)"
        h = _ctp.create("sim://v", flow)
        sim.set_version(b"v9.9 \xb2\xe2\xca\xd4")
        assert _ctp.version() == "v9.9 \ufffd\ufffd\ufffd\ufffd"
        _ctp.close(h)

    def test_version_without_the_stand_in(self):
        assert isinstance(_ctp.version(), str)


class TestCreate:
    def test_set_up_calls_in_order_with_lock_released_only_for_init(self, sim, flow):
        h = _ctp.create("sim://order", flow)
        api = sim.last_api()
        calls = [(c.name, c.api, c.gil, c.arg1, c.arg2, c.text) for c in sim.calls()]
        assert calls == [
            ("CreateFtdcTraderApi", 0, 1, 1, 0, flow),
            ("RegisterSpi", api, 1, 1, 0, b""),
            ("SubscribePrivateTopic", api, 1, 2, 1, b""),
            ("SubscribePublicTopic", api, 1, 2, 0, b""),
            ("RegisterFront", api, 1, 0, 0, b"sim://order"),
            ("Init", api, 0, 0, 0, b""),
        ]
        _ctp.close(h)

    @pytest.mark.parametrize("args, error", [
        (("sim://x", "flow"), TypeError),
        ((b"sim://x", b"flow"), TypeError),
        (("sim://x",), TypeError),
        (("sim://\0x", b"flow"), ValueError),
        (("sim://x", b"fl\0ow"), ValueError),
    ])
    def test_bad_arguments_create_nothing(self, sim, args, error):
        with pytest.raises(error):
            _ctp.create(*args)
        assert sim.calls() == []

    @pytest.mark.parametrize("private, public", [("restart", "resume"), ("resume", "quick"), ("quick", "restart")])
    def test_resume_types_go_to_the_topics(self, sim, flow, private, public):
        code = {"restart": 0, "resume": 1, "quick": 2}
        h = _ctp.create("sim://order", flow, private_resume=private, public_resume=public)
        api = sim.last_api()
        [private_call] = sim.calls(api, "SubscribePrivateTopic")
        [public_call] = sim.calls(api, "SubscribePublicTopic")
        assert (private_call.arg1, private_call.arg2, public_call.arg1) == (code[private], 1, code[public])
        _ctp.close(h)

    def test_several_fronts_are_registered_in_order(self, sim, flow):
        fronts = ["tcp://192.0.2.1:1", "sim://order", "tcp://192.0.2.2:2"]
        for given in (fronts, tuple(fronts)):
            h = _ctp.create(given, flow)
            assert [c.text for c in sim.calls(sim.last_api(), "RegisterFront")] == [f.encode() for f in fronts]
            assert poll_until(h, 1) == [{"name": "FrontConnected"}]
            _ctp.close(h)
        h = _ctp.create(["sim://order"], flow)
        assert [c.text for c in sim.calls(sim.last_api(), "RegisterFront")] == [b"sim://order"]
        _ctp.close(h)

    @pytest.mark.parametrize("front, keywords, error, message", [
        ([], {}, ValueError, "CTP 前置地址列表为空"),
        (["sim://x", 1], {}, TypeError, "CTP 前置地址必须是字符串或字符串序列"),
        (["sim://x", b"sim://y"], {}, TypeError, "CTP 前置地址必须是字符串或字符串序列"),
        ([b"sim://x"], {}, TypeError, "CTP 前置地址必须是字符串或字符串序列"),
        (bytearray(b"sim://x"), {}, TypeError, "CTP 前置地址必须是字符串或字符串序列"),
        (7, {}, TypeError, "CTP 前置地址必须是字符串或字符串序列"),
        (["sim://x", "sim://\0y"], {}, ValueError, "embedded null character"),
        (["sim://\udc80"], {}, UnicodeEncodeError, "surrogates not allowed"),
        ("sim://x", {"private_resume": "fast"}, ValueError,
         'private_resume 必须是 CTP 的续传方式 "restart"、"resume" 或 "quick"'),
        ("sim://x", {"public_resume": "RESTART"}, ValueError, "public_resume 必须是"),
        ("sim://x", {"public_resume": 0}, TypeError, "public_resume 必须是字符串"),
        ("sim://x", {"private_resume": None}, TypeError, "private_resume 必须是字符串"),
        ("sim://x", {"full_records": True, "unknown": 1}, TypeError, "unknown"),
    ])
    def test_bad_fronts_and_keywords_create_nothing(self, sim, flow, front, keywords, error, message):
        with pytest.raises(error, match=message):
            _ctp.create(front, flow, **keywords)
        assert sim.calls() == []

    def test_keywords_are_keywords_only(self, sim, flow):
        with pytest.raises(TypeError):
            _ctp.create("sim://x", flow, "quick")
        assert sim.calls() == []

    def test_vendor_refusing_to_create(self, sim, flow, tmp_path):
        (tmp_path / "file").write_bytes(b"")
        # The flow directory cannot be made: the system's reason follows.
        with pytest.raises(RuntimeError) as refused:
            _ctp.create("sim://x", bytes(tmp_path / "file") + b"/sub/")
        assert str(refused.value) == "创建 CTP 接口失败: " + os.strerror(errno.ENOTDIR)
        assert isinstance(refused.value.__cause__, NotADirectoryError)
        sim.fail_next_create()
        with pytest.raises(RuntimeError, match="^创建 CTP 接口失败$"):
            _ctp.create("sim://x", flow)
        assert [c.name for c in sim.calls()] == ["CreateFtdcTraderApi"] * 2

        def failing():
            sim.fail_next_create()
            with pytest.raises(RuntimeError):
                _ctp.create("sim://x", flow)
        assert leaked(failing) < 0.1


class TestConnectionEvents:
    def test_poll_before_any_callback_is_empty(self, sim, flow):
        h = _ctp.create(UNREACHABLE, flow)
        assert _ctp.poll(h) == []
        assert _ctp.poll(h) == []
        _ctp.close(h)

    def test_connect_record_has_name_only(self, sim, flow):
        h = _ctp.create("sim://c", flow)
        [event] = poll_until(h, 1)
        assert event == {"name": "FrontConnected"}
        assert list(event) == ["name"]
        _ctp.close(h)

    @pytest.mark.parametrize("reason", [0, -1, 0x1001, 2**31 - 1, -(2**31)])
    def test_disconnect_passes_reason_on(self, sim, session, reason):
        sim.emit(session.api, "OnFrontDisconnected", id=reason)
        [event] = session.poll()
        assert list(event.items()) == [("name", "FrontDisconnected"), ("reason", reason)]

    def test_order_across_kinds_and_threads(self, sim, session):
        sim.emit(session.api, "OnFrontDisconnected", id=1, thread=1)
        sim.emit(session.api, "OnRspError", record("CThostFtdcRspInfoField", ErrorID=5), id=2, thread=0)
        sim.emit(session.api, "OnFrontConnected", thread=1)
        sim.emit(session.api, "OnRtnOrder", record("CThostFtdcOrderField", OrderSysID=b"9"), thread=0)
        sim.emit(session.api, "OnFrontDisconnected", id=3, thread=0)
        names = [(e["name"], e.get("reason", e.get("request_id"))) for e in session.poll()]
        assert names == [("FrontDisconnected", 1), ("RspError", 2), ("FrontConnected", None),
                         ("RtnOrder", 0), ("FrontDisconnected", 3)]

    def test_two_threads_flooding_at_once_lose_nothing(self, sim, session):
        threads = [threading.Thread(target=sim.flood, args=(session.api, "OnFrontDisconnected", 5000),
                                    kwargs={"thread": t}) for t in (0, 1)]
        for t in threads:
            t.start()
        events = []
        while any(t.is_alive() for t in threads):
            events += session.poll()
        for t in threads:
            t.join()
        events += session.poll()
        assert len(events) == 10000
        # Each thread's events keep their order; the two are interleaved.
        reasons = [e["reason"] for e in events]
        assert sorted(reasons) == sorted(list(range(5000)) * 2)


class TestQueueLimit:
    def test_exactly_capacity_events_are_kept(self, sim, session):
        sim.flood(session.api, "OnFrontDisconnected", CAPACITY - 1)
        sim.emit(session.api, "OnFrontDisconnected", id=CAPACITY - 1)
        events = session.poll()
        assert [e["reason"] for e in events] == list(range(CAPACITY))
        assert session.poll() == []

    def test_one_more_overflows_for_good(self, sim, session):
        sim.flood(session.api, "OnFrontDisconnected", CAPACITY)
        sim.emit(session.api, "OnFrontConnected")
        for _ in range(3):
            with pytest.raises(BufferError, match="^CTP 回调队列已满$"):
                session.poll()
        sim.emit(session.api, "OnFrontConnected")
        session.close()
        with pytest.raises(BufferError, match="^CTP 回调队列已满$"):
            session.poll()

    def test_room_made_by_poll_counts(self, sim, session):
        sim.flood(session.api, "OnFrontDisconnected", CAPACITY)
        assert len(session.poll()) == CAPACITY
        sim.flood(session.api, "OnFrontDisconnected", CAPACITY)
        assert len(session.poll()) == CAPACITY


class TestClose:
    def test_close_twice_releases_once_without_the_lock(self, sim, session):
        assert _ctp.close(session.handle) is None
        assert _ctp.close(session.handle) is None
        registered = sim.calls(session.api, "RegisterSpi")
        assert [(c.arg1, c.gil) for c in registered] == [(1, 1), (0, 0)]
        assert [c.gil for c in sim.calls(session.api, "Release")] == [0]
        ops = [c.name for c in sim.calls(session.api)]
        assert ops[-2:] == ["RegisterSpi", "Release"]
        assert not sim.alive(session.api)

    def test_events_queued_before_close_are_still_polled(self, sim, session):
        sim.emit(session.api, "OnFrontDisconnected", id=4)
        session.close()
        assert session.poll() == [{"name": "FrontDisconnected", "reason": 4}]
        assert session.poll() == []
        assert session.poll() == []

    def test_dropping_an_open_handle_closes_it(self, sim, flow):
        s = Session(sim, flow)
        sim.flood(s.api, "OnFrontDisconnected", 100)
        api = s.api
        del s
        gc.collect()
        assert [(c.name, c.arg1, c.gil) for c in sim.calls(api)][-2:] == [("RegisterSpi", 0, 0), ("Release", 0, 0)]
        assert not sim.alive(api)

    def test_dropping_a_closed_handle_calls_nothing_more(self, sim, flow):
        s = Session(sim, flow)
        s.close()
        count = len(sim.calls())
        del s
        gc.collect()
        assert len(sim.calls()) == count
        assert sim.violations() == 0

    def test_pending_events_are_discarded_without_leaks(self, sim, flow):
        def open_fill_drop():
            s = Session(sim, flow)
            sim.flood(s.api, "OnRspError", 50)
            sim.emit(s.api, "OnRtnOrder", record("CThostFtdcOrderField"))
        assert leaked(open_fill_drop, runs=50) < 0.1


class TestWrongHandles:
    @pytest.mark.parametrize("function", [_ctp.poll, _ctp.close])
    @pytest.mark.parametrize("make", [lambda: 1, lambda: None, lambda: capsule(b"morva.other"), lambda: capsule(None)])
    def test_not_a_session(self, function, make):
        with pytest.raises(ValueError):
            function(make())

    def test_request_on_not_a_session(self):
        with pytest.raises(ValueError):
            _ctp.request(capsule(b"other"), "UserLogin", {}, 1)


class TestVendorThreads:
    def test_callback_completes_while_python_holds_the_lock(self, sim, session):
        # The emit below is called with the interpreter lock held and waits
        # for the vendor thread; a callback that took the lock would time out.
        sim.emit(session.api, "OnRtnOrder", record("CThostFtdcOrderField"), hold_gil=True, timeout=5.0)
        sim.emit(session.api, "OnFrontDisconnected", id=1, hold_gil=True, timeout=5.0)
        assert [e["name"] for e in session.poll()] == ["RtnOrder", "FrontDisconnected"]

    def test_close_while_the_vendor_floods(self, sim, session):
        # The flood ends early (DROPPED) once the session is closed.
        flood = threading.Thread(target=sim.library().ctpsim_flood,
                                 args=(session.api, 0, b"OnFrontDisconnected", 200000, 60000))
        flood.start()
        time.sleep(0.01)
        session.close()  # joins the vendor's threads while they call back
        flood.join()
        assert not sim.alive(session.api)
        assert sim.violations() == 0


def test_poll_builds_no_leaks(sim, session):
    def roundtrip():
        sim.emit(session.api, "OnFrontDisconnected", id=3)
        sim.emit(session.api, "OnFrontConnected")
        assert len(session.poll()) == 2
    assert leaked(roundtrip) < 0.1


SANITIZED = pytest.mark.skipif("san.so" in os.environ.get("LD_PRELOAD", ""),
                               reason="sanitizers map shadow memory and reserve address space of their own")


class TestEventMemory:
    @SANITIZED
    def test_bursts_after_the_first_touch_no_fresh_page_on_the_vendor_thread(self, sim, session):
        order = record("CThostFtdcOrderField", ExchangeID=b"SHFE", InstrumentID=b"rb2705")
        for _ in range(2):  # warm-up: the pool's blocks are made here
            sim.flood_record(session.api, "OnRtnOrder", order, 5000)
            assert len(session.poll()) == 5000
        sim.timing(5000, count_switches=True)
        sim.flood_record(session.api, "OnRtnOrder", order, 5000)
        faults = sum(t.faults for t in sim.timings())
        sim.timing(0)
        assert len(session.poll()) == 5000
        assert faults == 0

    @SANITIZED
    def test_no_memory_on_the_vendor_thread_is_a_lost_event(self, sim, flow):
        """When the vendor's thread cannot get memory for an event, the event
        is lost the way a full queue loses one: every later poll raises."""
        script = textwrap.dedent(f"""
            import resource
            import _ctp
            from ctp import sim
            h = _ctp.create("tcp://192.0.2.1:1", {flow!r})
            api = sim.api_of({flow!r})
            sim.flood(api, "OnRtnOrder", 10)
            assert len(_ctp.poll(h)) == 10
            with open("/proc/self/statm") as f:
                size = int(f.read().split()[0]) * resource.getpagesize()
            resource.setrlimit(resource.RLIMIT_AS, (size + (8 << 20), resource.RLIM_INFINITY))
            sim.flood(api, "OnRtnOrder", 30000)
            try:
                _ctp.poll(h)
            except BufferError as e:
                print(e)
        """)
        # One malloc arena for every thread, so that the limit reaches the vendor's.
        env = dict(subprocess_env(), MALLOC_ARENA_MAX="1")
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120, env=env)
        assert result.stdout.strip() == "CTP 回调队列已满", result.stderr[-2000:]
