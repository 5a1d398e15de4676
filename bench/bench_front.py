"""Prints how fast the simulated front trades through _ctp: the time from
sending an order to polling its trade, and how many orders a burst gets
through, two investors trading with each other.

Run: tools/run 'PYTHONPATH=build/release:python python3.14 bench/bench_front.py'
"""

import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import _ctp  # noqa: E402

ROUND_TRIPS = 2000
BURST = 20000


def events(handle, test, timeout=30.0):
    """Polls until test(event) holds for one event; returns all polled."""
    seen = []
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        batch = _ctp.poll(handle)
        seen += batch
        if any(test(e) for e in batch):
            return seen
    raise SystemExit("the front stopped answering")


def session(front, flow, user):
    handle = _ctp.create(front, flow)
    events(handle, lambda e: e["name"] == "FrontConnected")
    steps = [("Authenticate", dict(BrokerID="9999", UserID=user, AppID="standin_client_1.0",
                                   AuthCode="0000000000000000")),
             ("UserLogin", dict(BrokerID="9999", UserID=user, Password="123456")),
             ("SettlementInfoConfirm", dict(BrokerID="9999", InvestorID=user))]
    for n, (method, data) in enumerate(steps, 1):
        assert _ctp.request(handle, method, data, n) == 0
        (reply,) = [e for e in events(handle, lambda e: e.get("request_id") == n) if e.get("request_id") == n]
        assert reply["error"]["ErrorID"] == 0, reply
    return handle


def pair(n):
    """The two orders of the n-th trade: the maker's, resting at 3100 inside the
    market's spread, then the taker's, which meets it. Opens and closes of
    today's position alternate, so nobody's position grows."""
    if n % 2 == 0:
        return order("000002", "1", "0"), order("000001", "0", "0")
    return order("000002", "0", "3"), order("000001", "1", "3")


def order(user, direction, offset, volume=1):
    return dict(BrokerID="9999", InvestorID=user, UserID=user, InstrumentID="rb2705", ExchangeID="SHFE",
                OrderPriceType="2", Direction=direction, CombOffsetFlag=offset, CombHedgeFlag="1", LimitPrice=3100.0,
                VolumeTotalOriginal=volume, TimeCondition="3", VolumeCondition="1", MinVolume=1,
                ContingentCondition="1", ForceCloseReason="0", IsAutoSuspend=0, UserForceClose=0)


def main():
    flow = tempfile.mkdtemp().encode()
    front = "sim://bench"
    maker = session(front, flow + b"/m/", "000002")
    taker = session(front, flow + b"/t/", "000001")
    latencies = []
    for n in range(ROUND_TRIPS):
        resting, meeting = pair(n)
        assert _ctp.request(maker, "OrderInsert", resting, n) == 0
        start = time.perf_counter()
        assert _ctp.request(taker, "OrderInsert", meeting, n) == 0
        events(taker, lambda e: e["name"] == "RtnTrade")
        latencies.append(time.perf_counter() - start)
        _ctp.poll(maker)
    latencies.sort()
    micro = [x * 1e6 for x in latencies]
    print(f"order to its trade polled, {ROUND_TRIPS} times: median {statistics.median(micro):.0f} us, "
          f"p99 {micro[int(len(micro) * 0.99)]:.0f} us, max {micro[-1]:.0f} us")

    polled = []
    start = time.perf_counter()
    for n in range(BURST // 2):
        resting, meeting = pair(n)
        assert _ctp.request(maker, "OrderInsert", resting, n) == 0
        assert _ctp.request(taker, "OrderInsert", meeting, n) == 0
        if n % 1000 == 999:     # keep the event queues well below their bound
            _ctp.poll(maker)
            polled += _ctp.poll(taker)
    sent = time.perf_counter() - start
    last = str(ROUND_TRIPS + BURST // 2)
    finished = lambda e: e["name"] == "RtnTrade" and e["data"]["OrderRef"] == last  # noqa: E731
    if not any(finished(e) for e in polled):
        events(taker, finished)
    done = time.perf_counter() - start
    print(f"burst of {BURST} orders, two sessions: sent at {BURST / sent:,.0f} orders/s, "
          f"all traded and polled at {BURST / done:,.0f} orders/s")
    _ctp.close(maker)
    _ctp.close(taker)


if __name__ == "__main__":
    main()
