"""Prints what the clients add to each event they hand on: a flood of 20,000 order records
through a ``ctp.Client``'s event stream (each one taken into the order book too), and of
20,000 ticks through a ``ctp.MarketData``'s tick stream, per event, each beside a floor
measured in the same run: ``poll`` alone turning the same flood into event records. Also
what a query costs from the call to its records on a front that answers at once.

Run: bench/run (or tools/run 'PYTHONPATH=build/release:python python3.14 bench/bench_client.py')
"""

import statistics
import sys
import tempfile
import time
import uuid
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import standin  # noqa: E402
import _ctp  # noqa: E402
import _ctpmd  # noqa: E402
import ctp  # noqa: E402
from bench_burst import tick  # noqa: E402
from bench_poll import order  # noqa: E402

TOTAL = 20000
REPEATS = 5
QUERIES = 300


def drained(poll, handle):
    got = 0
    while got < TOTAL:
        got += len(poll(handle))


def floor(flood, poll, handle):
    best = float("inf")
    for _ in range(REPEATS):
        flood()
        started = time.perf_counter()
        drained(poll, handle)
        best = min(best, time.perf_counter() - started)
    return best / TOTAL


def through(stream, flood):
    best = float("inf")
    for _ in range(REPEATS):
        flood()
        started = time.perf_counter()
        for _ in range(TOTAL):
            next(stream)
        best = min(best, time.perf_counter() - started)
    return best / TOTAL


def main():
    sim = standin.sim
    sim.query_interval(0)
    front = f"sim://bench{uuid.uuid4().hex[:8]}"
    who = dict(broker="9999", user="000001", password="123456")
    record, depth = order(b"bench"), tick()

    handle, api = standin.session()[1:]
    raw = floor(lambda: sim.flood_record(api, "OnRtnOrder", record, TOTAL), _ctp.poll, handle)
    with ctp.Client(front, **who, app_id="standin_client_1.0", auth_code="0000000000000000",
                    flow=tempfile.mkdtemp(), query_interval=0.0, timeout=60) as client:
        capi = sim.api_of(bytes(client.flow) + b"/") if getattr(client, "flow", None) else sim.last_api()
        events = client.events(timeout=60)
        cooked = through(events, lambda: sim.flood_record(capi, "OnRtnOrder", record, TOTAL))
        print(f"Client.events: {cooked * 1e9:7.0f} ns per RtnOrder   (poll alone: {raw * 1e9:5.0f} ns)")
        events.close()
        times = []
        for _ in range(QUERIES):
            started = time.perf_counter()
            client.query("QryTradingAccount")
            times.append(time.perf_counter() - started)
        print(f"Client.query:  {statistics.median(times) * 1e6:7.0f} µs per QryTradingAccount, call to records")

    md_handle, md_api = standin.md_session()
    raw = floor(lambda: sim.md_flood(md_api, "OnRtnDepthMarketData", TOTAL, depth), _ctpmd.poll, md_handle)
    flow = tempfile.mkdtemp()
    with ctp.MarketData(front, **who, flow=flow, timeout=60) as md:
        mapi = sim.md_api_of(flow.encode() + b"/")
        cooked = through(md.ticks(timeout=60), lambda: sim.md_flood(mapi, "OnRtnDepthMarketData", TOTAL, depth))
        print(f"MarketData.ticks: {cooked * 1e9:4.0f} ns per tick       (poll alone: {raw * 1e9:5.0f} ns)")


if __name__ == "__main__":
    main()
