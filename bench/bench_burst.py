"""Prints what a callback costs the vendor's thread in bursts: each RtnOrder
callback of a flood is timed inside the stand-in, for floods of 1,000 and
20,000 events, with Python idle and with Python busy, beside the floor: the
same record copied into a preallocated ring on the same thread, in the same
run. Slow callbacks are told apart by whether the scheduler preempted the
thread while they ran (involuntary context switches, counted per callback).

Run: bench/run (or tools/run 'PYTHONPATH=build/release:python python3.14 bench/bench_burst.py')
"""

import sys
import threading
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import standin  # noqa: E402
import _ctp  # noqa: E402
from records import record  # noqa: E402

FLOODS = (1000, 20000)
ROUNDS = 5
SLOW_NS = 50_000


def order():
    return record("CThostFtdcOrderField", TradingDay=b"20261208", ExchangeID=b"SHFE", InstrumentID=b"rb2705",
                  OrderSysID=b"      1001", OrderRef=b"12", FrontID=1, SessionID=7, Direction=b"0",
                  CombOffsetFlag=b"0", CombHedgeFlag=b"1", LimitPrice=3512.0, VolumeTotalOriginal=5, VolumeTraded=2,
                  VolumeTotal=3, OrderStatus=b"1", OrderSubmitStatus=b"3", StatusMsg=b"partly traded",
                  InsertDate=b"20261208", InsertTime=b"09:01:02")


def flood(sim, h, api, callback, rec, n):
    """Per-callback (duration, preempted, blocked, faults) over ROUNDS floods
    of n after one to warm up, each drained by poll before the next, as a
    strategy keeping up would."""
    samples = []
    for round in range(ROUNDS + 1):
        sim.timing(n, count_switches=True)
        sim.flood_record(api, callback, rec, n)
        if round:
            samples += [t[1:] for t in sim.timings()]
        while _ctp.poll(h):
            pass
    return samples


def figures(samples):
    durations = sorted(s[0] for s in samples)

    def at(q):
        return durations[min(len(durations) - 1, int(q * len(durations)))]

    slow = [s for s in samples if s[0] > SLOW_NS]
    why = (f"{sum(1 for s in slow if s[1])} preempted, {sum(1 for s in slow if not s[1] and s[2])} blocked, "
           f"{sum(1 for s in slow if not s[1] and not s[2] and s[3])} faulting, "
           f"{sum(1 for s in slow if not any(s[1:]))} neither")
    return at(0.5), at(0.99), at(0.999), durations[-1], len(slow), why


def busy(stop):
    x = 0
    while not stop.is_set():
        x = sum(range(200))  # pure Python, holding the interpreter lock


def main():
    sim, h, api = standin.session()
    rec = order()
    print(f"vendor thread: ns per RtnOrder callback, {ROUNDS} floods each, timed inside the library")
    print(f"  {'':48s} {'p50':>6s} {'p99':>7s} {'p99.9':>8s} {'max':>9s}   callbacks over 50 µs")
    for python in ("idle", "busy"):
        stop = threading.Event()
        loop = threading.Thread(target=busy, args=(stop,)) if python == "busy" else None
        if loop:
            loop.start()
        for n in FLOODS:
            for label, callback in (("floor: copy into a ring", "ctpsim:floor"), ("RtnOrder through _ctp", "OnRtnOrder")):
                p50, p99, p999, top, slow, why = figures(flood(sim, h, api, callback, rec, n))
                print(f"  Python {python}, flood {n:5d}, {label:24s} {p50:6d} {p99:7d} {p999:8d} {top:9d}"
                      f"   {slow}: {why}")
        stop.set()
        if loop:
            loop.join()
    sim.timing(0)
    _ctp.close(h)


if __name__ == "__main__":
    main()
