"""Waiting for events: wait() and the session's descriptor wake on events from
the vendor's threads, on overflow and on close, never miss a wake-up, and
let Ctrl-C through."""

import asyncio
import math
import os
import select
import selectors
import signal
import threading
import time

import pytest

import _ctp
from conftest import Session, leaked
from records import record

CAPACITY = 32768


def readable(fd, timeout=0.0):
    return bool(select.select([fd], [], [], timeout)[0])


def later(delay, fn, *args):
    """Runs fn(*args) on another thread after delay seconds."""
    t = threading.Timer(delay, fn, args)
    t.start()
    return t


class TestWait:
    def test_just_checking(self, sim, session):
        assert _ctp.wait(session.handle, 0) is False
        sim.emit(session.api, "OnFrontDisconnected", id=1)
        assert _ctp.wait(session.handle, 0) is True
        assert _ctp.wait(session.handle, timeout=0) is True  # waiting consumes nothing
        assert session.poll() == [{"name": "FrontDisconnected", "reason": 1}]
        assert _ctp.wait(session.handle, 0) is False

    def test_woken_by_an_event_from_a_vendor_thread(self, sim, session):
        t = later(0.05, lambda: sim.emit(session.api, "OnRtnOrder", record("CThostFtdcOrderField"), thread=1))
        started = time.monotonic()
        assert _ctp.wait(session.handle) is True
        assert time.monotonic() - started < 5
        t.join()
        assert [e["name"] for e in session.poll()] == ["RtnOrder"]

    def test_short_timeout_passes(self, sim, session):
        started = time.monotonic()
        assert _ctp.wait(session.handle, 0.08) is False
        assert time.monotonic() - started >= 0.08

    def test_woken_by_overflow_and_stays_ready(self, sim, session):
        t = later(0.05, sim.flood, session.api, "OnFrontDisconnected", CAPACITY + 1)
        assert _ctp.wait(session.handle, 30) is True
        t.join()
        for _ in range(2):
            with pytest.raises(BufferError):
                session.poll()
            assert _ctp.wait(session.handle, 0) is True

    def test_woken_by_close_from_another_thread(self, sim, session):
        t = later(0.05, session.close)
        started = time.monotonic()
        assert _ctp.wait(session.handle, 30) is False
        assert time.monotonic() - started < 10
        t.join()
        assert _ctp.wait(session.handle, None) is False  # closed: never blocks again

    def test_closed_with_events_left_is_ready(self, sim, session):
        sim.emit(session.api, "OnFrontDisconnected", id=7)
        session.close()
        assert _ctp.wait(session.handle) is True
        assert session.poll() == [{"name": "FrontDisconnected", "reason": 7}]
        assert _ctp.wait(session.handle) is False

    def test_several_threads_wait_at_once(self, sim, session):
        results = []
        waiters = [threading.Thread(target=lambda: results.append(_ctp.wait(session.handle, 30))) for _ in range(3)]
        for w in waiters:
            w.start()
        time.sleep(0.05)
        sim.emit(session.api, "OnFrontConnected")
        for w in waiters:
            w.join()
        assert results == [True, True, True]

    @pytest.mark.parametrize("timeout, error", [(-1, ValueError), (-0.001, ValueError), (math.nan, ValueError),
                                                ("1", TypeError), (b"", TypeError)])
    def test_bad_timeouts(self, sim, session, timeout, error):
        with pytest.raises(error):
            _ctp.wait(session.handle, timeout)

    def test_huge_timeouts_mean_no_limit(self, sim, session):
        sim.emit(session.api, "OnFrontConnected")
        assert _ctp.wait(session.handle, math.inf) is True
        assert _ctp.wait(session.handle, 1e300) is True

    def test_not_a_session(self):
        with pytest.raises(ValueError):
            _ctp.wait(None)
        with pytest.raises(ValueError):
            _ctp.fileno(1)

    @pytest.mark.skipif(threading.current_thread() is not threading.main_thread(), reason="needs the main thread")
    def test_ctrl_c_interrupts_promptly(self, sim, session):
        later(0.1, os.kill, os.getpid(), signal.SIGINT)
        started = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            _ctp.wait(session.handle)
        assert time.monotonic() - started < 5

    @pytest.mark.parametrize("use_descriptor", [False, True])
    def test_no_lost_wake_up_under_two_flooding_threads(self, sim, session, use_descriptor):
        """Two vendor threads flood while the consumer alternates waiting and
        polling: a wait that times out with events still to come is a lost
        wake-up."""
        n = 15000  # both floods together stay below the queue's capacity
        fd = _ctp.fileno(session.handle) if use_descriptor else None
        floods = [threading.Thread(target=sim.flood, args=(session.api, "OnFrontDisconnected", n), kwargs={"thread": t})
                  for t in (0, 1)]
        for f in floods:
            f.start()
        got = 0
        while got < 2 * n:
            woke = readable(fd, 10) if use_descriptor else _ctp.wait(session.handle, 10)
            assert woke, f"lost wake-up after {got} events"
            got += len(session.poll())
        for f in floods:
            f.join()
        assert got == 2 * n
        assert session.poll() == []


class TestDescriptor:
    def test_readiness_follows_the_queue(self, sim, session):
        fd = _ctp.fileno(session.handle)
        assert _ctp.fileno(session.handle) == fd
        assert not readable(fd)
        sim.emit(session.api, "OnFrontConnected")
        sim.emit(session.api, "OnFrontConnected")
        assert readable(fd)
        assert len(session.poll()) == 2
        assert not readable(fd)
        sim.emit(session.api, "OnFrontConnected")
        assert readable(fd)

    def test_made_with_events_pending_is_readable(self, sim, session):
        sim.emit(session.api, "OnFrontConnected")
        assert readable(_ctp.fileno(session.handle))

    def test_close_makes_it_readable_once(self, sim, session):
        fd = _ctp.fileno(session.handle)
        session.close()
        assert readable(fd)
        assert session.poll() == []
        assert not readable(fd)
        assert _ctp.fileno(session.handle) == fd  # still the session's until the handle goes

    def test_overflow_keeps_it_readable(self, sim, session):
        fd = _ctp.fileno(session.handle)
        sim.flood(session.api, "OnFrontDisconnected", CAPACITY + 1)
        for _ in range(2):
            assert readable(fd)
            with pytest.raises(BufferError):
                session.poll()

    def test_closed_when_the_handle_goes(self, sim, flow):
        s = Session(sim, flow)
        fd = _ctp.fileno(s.handle)
        del s
        with pytest.raises(OSError):
            os.fstat(fd)

    def test_a_selector_over_two_sessions(self, sim, flow):
        a, b = Session(sim, flow, "sim://sel-a"), Session(sim, flow, "sim://sel-b")
        with selectors.DefaultSelector() as selector:
            selector.register(_ctp.fileno(a.handle), selectors.EVENT_READ, a)
            selector.register(_ctp.fileno(b.handle), selectors.EVENT_READ, b)
            later(0.02, lambda: sim.emit(b.api, "OnFrontDisconnected", id=2))
            later(0.04, lambda: sim.emit(a.api, "OnFrontDisconnected", id=1))
            seen = []
            while len(seen) < 2:
                for key, _ in selector.select(10):
                    seen += [(key.data is a, e["reason"]) for e in key.data.poll()]
        assert sorted(seen) == [(False, 2), (True, 1)]
        a.close()
        b.close()

    def test_asyncio_readers_on_two_sessions(self, sim, flow):
        a, b = Session(sim, flow, "sim://aio-a"), Session(sim, flow, "sim://aio-b")

        async def main():
            loop = asyncio.get_running_loop()
            queue = asyncio.Queue()
            for s in (a, b):
                loop.add_reader(_ctp.fileno(s.handle), lambda s=s: [queue.put_nowait((s is a, e)) for e in s.poll()])
            await loop.run_in_executor(None, lambda: sim.emit(a.api, "OnFrontDisconnected", id=1))
            await loop.run_in_executor(None, lambda: sim.emit(b.api, "OnFrontDisconnected", id=2))
            got = [await asyncio.wait_for(queue.get(), 10) for _ in range(2)]
            for s in (a, b):
                loop.remove_reader(_ctp.fileno(s.handle))
            return got

        got = asyncio.run(main())
        assert sorted((mine, e["reason"]) for mine, e in got) == [(False, 2), (True, 1)]
        a.close()
        b.close()

    def test_no_descriptor_leaks_over_many_sessions(self, sim, flow):
        def count():
            return len(os.listdir("/proc/self/fd"))
        before = count()
        for _ in range(1000):
            h = _ctp.create("tcp://192.0.2.1:17001", flow)
            _ctp.fileno(h)
            del h
        assert count() == before


def test_waiting_leaks_nothing(sim, session):
    def roundtrip():
        sim.emit(session.api, "OnFrontConnected")
        assert _ctp.wait(session.handle, 1) is True
        _ctp.fileno(session.handle)
        session.poll()
        assert _ctp.wait(session.handle, 0) is False
    assert leaked(roundtrip) < 0.1
