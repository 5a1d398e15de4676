"""Prints how fast poll turns queued events into event records, per event, at
batches of 100, 1,000 and 10,000, each beside a floor measured in the same
run: the fastest loop Python has for building the same event records (dict
displays filled from values made beforehand, so the floor does none of the
decoding poll does). Depth records (RtnDepthMarketData through _ctpmd) are
measured the same way, and so are complete order records (a session created
with full_records=True: 51 keys), beside a floor that is the same dict
display with all 51 keys. Also prints what request("OrderInsert", ...) costs
per call, beside a floor of a call that sends nothing (an unknown name).

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
import _ctpmd  # noqa: E402
from bench_burst import tick  # noqa: E402
from ctp._interface import COMPLETE_RECORDS  # noqa: E402
from records import info, put, record  # noqa: E402

TOTAL = 20000
BATCHES = (100, 1000, 10000)
REPEATS = 5


def order(status):
    return record("CThostFtdcOrderField", TradingDay=b"20261208", ExchangeID=b"SHFE", InstrumentID=b"rb2705",
                  OrderSysID=b"      1001", OrderRef=b"12", FrontID=1, SessionID=7, Direction=b"0",
                  CombOffsetFlag=b"0", CombHedgeFlag=b"1", LimitPrice=3512.0, VolumeTotalOriginal=5, VolumeTraded=2,
                  VolumeTotal=3, OrderStatus=b"1", OrderSubmitStatus=b"3", StatusMsg=status, InsertDate=b"20261208",
                  InsertTime=b"09:01:02")


def complete_order(status):
    """An order record with every member a complete record shows set."""
    rec = order(status)
    for member, value in dict(
            BrokerID=b"9999", InvestorID=b"000001", UserID=b"000001", OrderPriceType=b"2", TimeCondition=b"3",
            GTDDate=b"", VolumeCondition=b"1", MinVolume=1, ContingentCondition=b"1", StopPrice=0.0,
            ForceCloseReason=b"0", IsAutoSuspend=0, RequestID=12, OrderLocalID=b"        1001",
            ExchangeInstID=b"rb2705", ParticipantID=b"9999", ClientID=b"000001", TraderID=b"9999cad",
            OrderSource=b"0", OrderType=b"0", ActiveTime=b"09:01:02", SuspendTime=b"", UpdateTime=b"09:01:03",
            CancelTime=b"", SequenceNo=1001, SettlementID=1, UserProductInfo=b"standin", BrokerOrderSeq=1001,
            RelativeOrderSysID=b"", ZCETotalTradedVolume=0, IsSwapOrder=0, InvestUnitID=b"").items():
        put(rec, member, value)
    return rec


def display(event, keys, request_id, last):
    """The floor of records with these keys: the loop of floor_order, one dict
    display per event, written out for every key (compiled, as if typed)."""
    items = ", ".join(f"{key!r}: d[{n}]" for n, key in enumerate(keys))
    source = (f"def floor(events):\n    out = []\n    for d in events:\n        out.append({{'name': {event!r}, "
              f"'data': {{{items}}}, 'error': {{'ErrorID': 0, 'ErrorMsg': ''}}, 'request_id': {request_id}, "
              f"'last': {last}}})\n    return out\n")
    namespace = {}
    exec(compile(source, "<floor>", "exec"), namespace)
    return namespace["floor"]


floor_complete_order = display("RtnOrder", [key for key, _ in COMPLETE_RECORDS["Order"]], 0, True)


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


def floor_depth(events):
    out = []
    for d in events:
        out.append({"name": "RtnDepthMarketData", "data": {
            "TradingDay": d[0], "ActionDay": d[1], "UpdateTime": d[2], "UpdateMillisec": d[3], "ExchangeID": d[4],
            "InstrumentID": d[5], "LastPrice": d[6], "PreSettlementPrice": d[7], "PreClosePrice": d[8],
            "PreOpenInterest": d[9], "OpenPrice": d[10], "HighestPrice": d[11], "LowestPrice": d[12],
            "Volume": d[13], "Turnover": d[14], "OpenInterest": d[15], "ClosePrice": d[16],
            "SettlementPrice": d[17], "UpperLimitPrice": d[18], "LowerLimitPrice": d[19], "AveragePrice": d[20],
            "BidPrice1": d[21], "BidVolume1": d[22], "AskPrice1": d[23], "AskVolume1": d[24],
            "BidPrice2": d[25], "BidVolume2": d[26], "AskPrice2": d[27], "AskVolume2": d[28],
            "BidPrice3": d[29], "BidVolume3": d[30], "AskPrice3": d[31], "AskVolume3": d[32],
            "BidPrice4": d[33], "BidVolume4": d[34], "AskPrice4": d[35], "AskVolume4": d[36],
            "BidPrice5": d[37], "BidVolume5": d[38], "AskPrice5": d[39], "AskVolume5": d[40]},
            "error": {"ErrorID": 0, "ErrorMsg": ""}, "request_id": 0, "last": True})
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
    _, full, full_api = standin.session(full_records=True)
    md, md_api = standin.md_session()
    cases = [
        ("RtnOrder, ASCII text", "OnRtnOrder", order(b"partly traded"), None, floor_order),
        ("RtnOrder, Chinese StatusMsg", "OnRtnOrder", order("部分成交还在队列中".encode("gb18030")), None,
         floor_order),
        ("RspQryInstrument", "OnRspQryInstrument",
         record("CThostFtdcInstrumentField", ExchangeID=b"SHFE", InstrumentID=b"rb2705", ProductClass=b"1",
                IsTrading=1, PriceTick=1.0, MinLimitOrderVolume=1, MaxLimitOrderVolume=500), info(), floor_instrument),
        ("RspError", "OnRspError", None, info(30, "平仓量超过持仓量".encode("gb18030")), floor_error),
        ("RtnDepthMarketData (_ctpmd)", "OnRtnDepthMarketData", tick(), None, floor_depth),
        ("RtnOrder, complete (51 keys)", "OnRtnOrder", complete_order(b"partly traded"), None,
         floor_complete_order),
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
                    if callback == "OnRtnDepthMarketData":
                        sim.md_flood(md_api, callback, batch, rec)
                        poll = lambda: _ctpmd.poll(md)  # noqa: E731
                    elif floor is floor_complete_order:
                        sim.flood_record(full_api, callback, rec, batch)
                        poll = lambda: _ctp.poll(full)  # noqa: E731
                    else:
                        # An RspError's record is its error information.
                        sim.flood_record(api, callback, rec if rec is not None else err, batch)
                        poll = lambda: _ctp.poll(h)  # noqa: E731
                    first = faults()
                    took, events = timed(poll)
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
    for batch in BATCHES:
        ratio = results[("RtnOrder, complete (51 keys)", batch)] / results[("RtnOrder, ASCII text", batch)]
        print(f"  RtnOrder complete / today's at batches of {batch}: {ratio:.2f}")

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
    _ctpmd.close(md)
    _ctp.close(full)
    _ctp.close(h)


if __name__ == "__main__":
    main()
