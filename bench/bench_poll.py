"""Prints how fast poll turns queued events into event records, per event, at
batches of 100, 1,000 and 10,000, each beside a floor measured in the same
run: the fastest loop Python has for building the same event records (dict
displays filled from values made beforehand, so the floor does none of the
decoding poll does). Also prints what request("OrderInsert", ...) costs per
call, beside a floor of a call that sends nothing (an unknown name).

Run: bench/run (or tools/run 'PYTHONPATH=build/release:python python3.14 bench/bench_poll.py')
"""

import gc
import resource
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import standin  # noqa: E402
import _ctp  # noqa: E402
from records import info, record  # noqa: E402

TOTAL = 20000
BATCHES = (100, 1000, 10000)
REPEATS = 5


def order(status):
    return record("CThostFtdcOrderField", TradingDay=b"20261208", ExchangeID=b"SHFE", InstrumentID=b"rb2705",
                  OrderSysID=b"      1001", OrderRef=b"12", FrontID=1, SessionID=7, Direction=b"0",
                  CombOffsetFlag=b"0", CombHedgeFlag=b"1", LimitPrice=3512.0, VolumeTotalOriginal=5, VolumeTraded=2,
                  VolumeTotal=3, OrderStatus=b"1", OrderSubmitStatus=b"3", StatusMsg=status, InsertDate=b"20261208",
                  InsertTime=b"09:01:02")


def floor_order(events):
    out = []
    for d in events:
        out.append({"name": "RtnOrder", "data": {
            "TradingDay": d[0], "ExchangeID": d[1], "InstrumentID": d[2], "OrderSysID": d[3], "OrderRef": d[4],
            "FrontID": d[5], "SessionID": d[6], "Direction": d[7], "CombOffsetFlag": d[8], "CombHedgeFlag": d[9],
            "LimitPrice": d[10], "VolumeTotalOriginal": d[11], "VolumeTraded": d[12], "VolumeTotal": d[13],
            "OrderStatus": d[14], "OrderSubmitStatus": d[15], "StatusMsg": d[16], "InsertDate": d[17],
            "InsertTime": d[18]},
            "error": {"ErrorID": 0, "ErrorMsg": ""}, "request_id": 0, "last": True})
    return out


def floor_instrument(events):
    out = []
    for d in events:
        out.append({"name": "RspQryInstrument", "data": {
            "ExchangeID": d[0], "InstrumentID": d[1], "ProductClass": d[2], "IsTrading": d[3], "PriceTick": d[4],
            "MinLimitOrderVolume": d[5], "MaxLimitOrderVolume": d[6]},
            "error": {"ErrorID": 0, "ErrorMsg": ""}, "request_id": 5, "last": False})
    return out


def floor_error(events):
    out = []
    for d in events:
        out.append({"name": "RspError", "data": {"ErrorID": d[0], "ErrorMsg": d[1]},
                    "error": {"ErrorID": d[0], "ErrorMsg": d[1]}, "request_id": 3, "last": True})
    return out


def values(event):
    """The record's values as poll returned them: what the floor starts from."""
    return tuple(event["data"].values())


def faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def timed(fn):
    gc.collect()
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def main():
    sim, h, api = standin.session()
    cases = [
        ("RtnOrder, ASCII text", "OnRtnOrder", order(b"partly traded"), None, floor_order),
        ("RtnOrder, Chinese StatusMsg", "OnRtnOrder", order("部分成交还在队列中".encode("gb18030")), None,
         floor_order),
        ("RspQryInstrument", "OnRspQryInstrument",
         record("CThostFtdcInstrumentField", ExchangeID=b"SHFE", InstrumentID=b"rb2705", ProductClass=b"1",
                IsTrading=1, PriceTick=1.0, MinLimitOrderVolume=1, MaxLimitOrderVolume=500), info(), floor_instrument),
        ("RspError", "OnRspError", None, info(30, "平仓量超过持仓量".encode("gb18030")), floor_error),
    ]
    print(f"poll: ns per event, {TOTAL} events in batches, best of {REPEATS}; floor: dict displays of the same records")
    print(f"  {'':30s} {'batch':>6s} {'poll':>7s} {'floor':>7s}  ratio  page faults per event in poll")
    results = {}
    for label, callback, rec, err, floor in cases:
        for batch in BATCHES:
            best = best_floor = float("inf")
            faulted = 0
            for _ in range(REPEATS):
                spent = floor_spent = 0.0
                for _ in range(TOTAL // batch):
                    # An RspError's record is its error information.
                    sim.flood_record(api, callback, rec if rec is not None else err, batch)
                    first = faults()
                    took, events = timed(lambda: _ctp.poll(h))
                    faulted += faults() - first
                    assert len(events) == batch, len(events)
                    spent += took
                    # The floor starts from the values already made.
                    made = [values(e) if callback != "OnRspError" else (e["data"]["ErrorID"], e["data"]["ErrorMsg"])
                            for e in events]
                    del events
                    took, built = timed(lambda: floor(made))
                    floor_spent += took
                    del built, made
                best = min(best, spent)
                best_floor = min(best_floor, floor_spent)
            ns, floor_ns = best / TOTAL * 1e9, best_floor / TOTAL * 1e9
            results[(label, batch)] = ns
            print(f"  {label:30s} {batch:6d} {ns:7.0f} {floor_ns:7.0f}  {ns / floor_ns:5.2f}  "
                  f"{faulted / (REPEATS * TOTAL):.3f}")
    for batch in BATCHES:
        ratio = results[("RtnOrder, Chinese StatusMsg", batch)] / results[("RtnOrder, ASCII text", batch)]
        print(f"  RtnOrder Chinese / ASCII at batches of {batch}: {ratio:.2f}")
    for label, *_ in cases:
        print(f"  {label}: batches of 10,000 / of 100: {results[(label, 10000)] / results[(label, 100)]:.2f}")

    # request: the record is read and sent to a library that answers at once
    # (-1: no front); the floor is the same call refused before any key is read.
    data = dict(BrokerID="9999", InvestorID="000001", UserID="000001", InstrumentID="rb2705", ExchangeID="SHFE",
                OrderRef="1", OrderPriceType="2", Direction="0", CombOffsetFlag="0", CombHedgeFlag="1",
                LimitPrice=3100.0, VolumeTotalOriginal=1, TimeCondition="3", VolumeCondition="1", MinVolume=1,
                ContingentCondition="1", ForceCloseReason="0", IsAutoSuspend=0, UserForceClose=0)
    n = 50000
    request = _ctp.request

    def send():
        for i in range(n):
            request(h, "OrderInsert", data, i)

    def refused():
        for i in range(n):
            try:
                request(h, "Unknown", data, i)
            except ValueError:
                pass

    best = min(timed(send)[0] for _ in range(REPEATS))
    best_floor = min(timed(refused)[0] for _ in range(REPEATS))
    print(f"request OrderInsert (20 keys): {best / n * 1e9:.0f} ns per call; "
          f"floor (the call refused unread): {best_floor / n * 1e9:.0f} ns")
    _ctp.close(h)


if __name__ == "__main__":
    main()
