"""Prints how soon an event reaches Python after its callback starts on the
vendor's thread, for a wait() loop, an asyncio reader on the session's
descriptor and a poll loop sleeping 1 ms, each beside a floor measured in
the same run: one Python thread waking another through an eventfd. Also
prints what a callback costs the vendor's thread with and without a waiter.

Run: bench/run (or tools/run 'PYTHONPATH=build/release:python python3.14 bench/bench_wait.py')
"""

import asyncio
import os
import random
import statistics
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import standin  # noqa: E402
import _ctp  # noqa: E402
from records import record  # noqa: E402

EVENTS = 2000
FLOOD = 20000


def percentiles(samples_ns):
    samples = sorted(samples_ns)
    pick = lambda q: samples[min(len(samples) - 1, int(q * len(samples)))] / 1000  # noqa: E731
    return f"p50 {pick(0.50):7.1f} µs   p99 {pick(0.99):7.1f} µs   max {samples[-1] / 1000:8.1f} µs"


def pace():
    # Python idle between events, at irregular moments.
    time.sleep(random.uniform(0.0002, 0.001))


def emit_all(sim, api, order):
    for _ in range(EVENTS):
        sim.emit(api, "OnRtnOrder", order)
        pace()


def latencies(sim, receive_times):
    starts = [t[0] for t in sim.timings()]
    assert len(starts) == len(receive_times) == EVENTS, (len(starts), len(receive_times))
    return [received - start for start, received in zip(starts, receive_times)]


def with_wait(sim, h, api, order):
    received = []
    producer = threading.Thread(target=emit_all, args=(sim, api, order))
    sim.timing(EVENTS)
    producer.start()
    while len(received) < EVENTS:
        _ctp.wait(h, 10)
        now = time.monotonic_ns()
        received += [now] * len(_ctp.poll(h))
    producer.join()
    return latencies(sim, received)


def with_asyncio(sim, h, api, order):
    received = []

    async def main():
        loop = asyncio.get_running_loop()
        done = loop.create_future()

        def ready():
            events = _ctp.poll(h)
            now = time.monotonic_ns()
            received.extend([now] * len(events))
            if len(received) >= EVENTS and not done.done():
                done.set_result(None)

        loop.add_reader(_ctp.fileno(h), ready)
        producer = threading.Thread(target=emit_all, args=(sim, api, order))
        producer.start()
        await done
        loop.remove_reader(_ctp.fileno(h))
        producer.join()

    sim.timing(EVENTS)
    asyncio.run(main())
    return latencies(sim, received)


def with_sleep(sim, h, api, order):
    received = []
    producer = threading.Thread(target=emit_all, args=(sim, api, order))
    sim.timing(EVENTS)
    producer.start()
    while len(received) < EVENTS:
        events = _ctp.poll(h)
        if events:
            now = time.monotonic_ns()
            received += [now] * len(events)
        else:
            time.sleep(0.001)
    producer.join()
    return latencies(sim, received)


def floor():
    """One Python thread waking another blocked on an eventfd."""
    fd = os.eventfd(0, os.EFD_SEMAPHORE)
    sent = []
    got = []

    def sender():
        for _ in range(EVENTS):
            pace()
            sent.append(time.monotonic_ns())
            os.eventfd_write(fd, 1)

    t = threading.Thread(target=sender)
    t.start()
    for _ in range(EVENTS):
        os.eventfd_read(fd)
        got.append(time.monotonic_ns())
    t.join()
    os.close(fd)
    return [g - s for s, g in zip(sent, got)]


def vendor_cost(sim, h, api, waiting):
    """Per-callback cost on the vendor's thread for a flood, another thread
    blocked in wait() or none."""
    stop = threading.Event()

    def waiter():
        while not stop.is_set():
            _ctp.wait(h, 0.05)

    thread = threading.Thread(target=waiter) if waiting else None
    if thread:
        thread.start()
        time.sleep(0.01)
    sim.timing(FLOOD)
    sim.flood(api, "OnRtnOrder", FLOOD)
    durations = [t[1] for t in sim.timings()]
    stop.set()
    if thread:
        thread.join()
    while _ctp.poll(h):
        pass
    return durations


def main():
    sim, h, api = standin.session()
    order = record("CThostFtdcOrderField", ExchangeID=b"SHFE", InstrumentID=b"rb2705", OrderSysID=b"1",
                   OrderStatus=b"3", StatusMsg=b"queued")
    print(f"delivery: callback start -> Python holds the record, {EVENTS} events one at a time, Python idle")
    print(f"  floor: eventfd between two Python threads   {percentiles(floor())}")
    print(f"  wait() loop                                 {percentiles(with_wait(sim, h, api, order))}")
    print(f"  asyncio reader on fileno()                  {percentiles(with_asyncio(sim, h, api, order))}")
    print(f"  poll loop sleeping 1 ms                     {percentiles(with_sleep(sim, h, api, order))}")
    print(f"vendor thread: one RtnOrder callback in a flood of {FLOOD}")
    for waiting in (False, True, False, True):
        durations = vendor_cost(sim, h, api, waiting)
        label = "with a thread in wait()" if waiting else "no one waiting        "
        print(f"  {label}   mean {statistics.fmean(durations):6.0f} ns   {percentiles(durations)}")
    sim.timing(0)
    _ctp.close(h)


if __name__ == "__main__":
    main()
