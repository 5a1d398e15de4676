"""Prints how fast poll turns queued events into event records, and what a
vendor callback costs on the vendor's thread.

Run: tools/run 'PYTHONPATH=build/release:python python3.14 bench/bench_poll.py'
"""

import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import _ctp  # noqa: E402
from ctp import sim  # noqa: E402
from records import info, record  # noqa: E402

TOTAL = 20000
BATCHES = (100, 20000)  # a strategy polling often, and one that fell behind


def order(status):
    return record("CThostFtdcOrderField", TradingDay=b"20261208", ExchangeID=b"SHFE", InstrumentID=b"rb2610",
                  OrderSysID=b"      1001", OrderRef=b"12", FrontID=1, SessionID=7, Direction=b"0",
                  CombOffsetFlag=b"0", CombHedgeFlag=b"1", LimitPrice=3512.0, VolumeTotalOriginal=5, VolumeTraded=2,
                  VolumeTotal=3, OrderStatus=b"1", OrderSubmitStatus=b"3", StatusMsg=status, InsertDate=b"20261208",
                  InsertTime=b"09:01:02")


def main():
    flow = tempfile.mkdtemp().encode() + b"/"
    h = _ctp.create("tcp://192.0.2.1:1", flow)  # no front: only the events below
    api = sim.last_api()
    cases = [
        ("RtnOrder, ASCII text", "OnRtnOrder", order(b"partly traded"), None),
        ("RtnOrder, Chinese StatusMsg", "OnRtnOrder", order("部分成交".encode("gb18030")), None),
        ("RspQryInstrument", "OnRspQryInstrument",
         record("CThostFtdcInstrumentField", ExchangeID=b"SHFE", InstrumentID=b"rb2610", ProductClass=b"1",
                IsTrading=1, PriceTick=1.0, MinLimitOrderVolume=1, MaxLimitOrderVolume=500), info()),
        ("FrontDisconnected", "OnFrontDisconnected", None, None),
    ]
    for batch in BATCHES:
        print(f"poll: {TOTAL} events in batches of {batch}, best of 3")
        for label, callback, rec, err in cases:
            best = float("inf")
            for _ in range(3):
                spent = 0.0
                for _ in range(TOTAL // batch):
                    if rec is None:
                        sim.flood(api, callback, batch)
                    else:
                        for _ in range(batch):
                            sim.emit(api, callback, rec, err)
                    start = time.perf_counter()
                    events = _ctp.poll(h)
                    spent += time.perf_counter() - start
                    assert len(events) == batch
                    del events
                best = min(best, spent)
            print(f"  {label:32s} {best / TOTAL * 1e9:8.0f} ns/event  {TOTAL / best / 1e6:6.2f} M events/s")
    # The vendor thread's side: a flood of callbacks, none polled in between.
    start = time.perf_counter()
    sim.flood(api, "OnRspError", 30000)
    spent = time.perf_counter() - start
    _ctp.poll(h)
    print(f"vendor thread: {spent / 30000 * 1e9:.0f} ns per callback (copy, allocation, append), null records")
    _ctp.close(h)

if __name__ == "__main__":
    main()
