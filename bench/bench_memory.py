"""Prints what a day of cancel/replace costs a trading client in memory: 100,000 cycles of
an order that rests and is cancelled, on the simulated front, through a ``ctp.Client`` whose
``events()`` iterator nobody reads, memory traced by tracemalloc (after a collection) at
10,000, 50,000 and 100,000 cycles, and the growth per cycle from the first mark to the last
(with the client's defaults: 10,000 finished orders kept, 10,000 unread events kept, so from
the first mark on it should stay flat); beside a floor measured in the same run: the same cycles through ``_ctp`` alone, which keeps
nothing.

Run: bench/run (or tools/run 'PYTHONPATH=build/release:python python3.14 bench/bench_memory.py [CYCLES]')
"""

import gc
import sys
import tempfile
import time
import tracemalloc
import uuid
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import _ctp  # noqa: E402
import ctp  # noqa: E402
from ctp import Direction, sim  # noqa: E402

CYCLES = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
MARKS = (CYCLES // 10, CYCLES // 2, CYCLES)
WHO = dict(broker="9999", user="000002", password="123456")
APP = dict(app_id="standin_client_1.0", auth_code="0000000000000000")


def traced() -> int:
    gc.collect()
    return tracemalloc.get_traced_memory()[0]


def report(what: str, marks: dict[int, int], seconds: float) -> float:
    first, last = MARKS[0], MARKS[-1]
    growth = (marks[last] - marks[first]) / (last - first)
    shown = ", ".join(f"{n:,}: {marks[n] / 1e6:.2f} MB" for n in MARKS)
    print(f"{what}: {growth:7.1f} B per cycle after {first:,}   (traced {shown}; {seconds / CYCLES * 1e6:.0f} µs "
          f"per cycle)")
    return growth


def through_client(front: str) -> float:
    with ctp.Client(front, **WHO, **APP, flow=tempfile.mkdtemp(), query_interval=0.0, timeout=60) as client:
        unread = client.events()            # an iterator nobody reads
        tracemalloc.start()
        marks = {}
        started = time.perf_counter()
        for n in range(1, CYCLES + 1):
            order = client.insert_order("rb2705", Direction.BUY, 1, 3090.0)
            client.cancel(order)
            if n in MARKS:
                marks[n] = traced()
        seconds = time.perf_counter() - started
        tracemalloc.stop()
        unread.close()
        return report("Client, events() unread", marks, seconds)


def await_event(handle, test) -> None:
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        if any(test(event) for event in _ctp.poll(handle)):
            return
        _ctp.wait(handle, 1.0)
    raise SystemExit("the front stopped answering")


def through_module(front: str) -> float:
    flow = tempfile.mkdtemp().encode() + b"/"
    handle = _ctp.create(front, flow)
    await_event(handle, lambda e: e["name"] == "FrontConnected")
    login = [("Authenticate", dict(BrokerID="9999", UserID=WHO["user"], AppID=APP["app_id"],
                                   AuthCode=APP["auth_code"])),
             ("UserLogin", dict(BrokerID="9999", UserID=WHO["user"], Password=WHO["password"])),
             ("SettlementInfoConfirm", dict(BrokerID="9999", InvestorID=WHO["user"]))]
    for n, (name, fields) in enumerate(login, 1):
        _ctp.request(handle, name, fields, n)
        await_event(handle, lambda e, n=n: e.get("request_id") == n)
    order = dict(BrokerID="9999", InvestorID=WHO["user"], UserID=WHO["user"], InstrumentID="rb2705",
                 ExchangeID="SHFE", OrderPriceType="2", Direction="0", CombOffsetFlag="0", CombHedgeFlag="1",
                 LimitPrice=3090.0, VolumeTotalOriginal=1, TimeCondition="3", VolumeCondition="1", MinVolume=1,
                 ContingentCondition="1", ForceCloseReason="0", UserForceClose=0)
    tracemalloc.start()
    marks = {}
    started = time.perf_counter()
    accepted: list[str] = []
    for n in range(1, CYCLES + 1):
        _ctp.request(handle, "OrderInsert", order, 0)
        await_event(handle, lambda e: e["name"] == "RtnOrder" and e["data"]["OrderStatus"] == "3"
                    and not accepted.append(e["data"]["OrderSysID"]))
        _ctp.request(handle, "OrderAction", dict(BrokerID="9999", InvestorID=WHO["user"], UserID=WHO["user"],
                                                 ActionFlag="0", ExchangeID="SHFE", OrderSysID=accepted.pop()), 0)
        await_event(handle, lambda e: e["name"] == "RtnOrder" and e["data"]["OrderStatus"] == "5")
        if n in MARKS:
            marks[n] = traced()
    seconds = time.perf_counter() - started
    tracemalloc.stop()
    _ctp.close(handle)
    return report("_ctp alone (floor)     ", marks, seconds)


def main() -> None:
    sim.query_interval(0)
    front = f"sim://mem{uuid.uuid4().hex[:8]}"
    print(f"{CYCLES:,} cancel/replace cycles, an order resting on rb2705 then cancelled:")
    through_client(front)
    through_module(front)


if __name__ == "__main__":
    main()
