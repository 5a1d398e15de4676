"""A simulated front replaying a recording (sim://NAME?replay=PATH): the recorded ticks come back
bit for bit through market data, the market (quotes, clock) follows the ticks the reader takes,
orders fill by the documented model, the same input gives the same fills, the end of the tape
ends the reader's streams, and the backtest example makes its report and chart. Skipped where
pyarrow or pandas cannot be imported (the package's optional data extra), and under
ThreadSanitizer, for pyarrow's own races."""

import datetime
import os
import subprocess
import sys
import time
import uuid

import pytest

if "libtsan" in os.environ.get("LD_PRELOAD", ""):
    pytest.skip("pyarrow's thread pool, built without ThreadSanitizer, reports races of its own",
                allow_module_level=True)
pytest.importorskip("pyarrow")
pytest.importorskip("pandas")

import ctp  # noqa: E402
import ctp.data  # noqa: E402
from conftest import ROOT, subprocess_env  # noqa: E402
from ctp import Direction, OffsetFlag  # noqa: E402
from test_data import MAX, same, tick  # noqa: E402

LONG = 60.0
WHO = dict(broker="9999", user="000002", password="123456")
APP = dict(app_id="standin_client_1.0", auth_code="0000000000000000")


def name():
    return f"r{uuid.uuid4().hex[:12]}"


def record_walk(sim, directory, flow, seconds=1.0, least=300):
    """The simulated walk of two instruments, recorded through market data: the ticks seen."""
    front = f"sim://{name()}"
    seen = []
    with ctp.MarketData(front, **WHO, flow=flow, timeout=LONG) as md, \
            ctp.data.Recorder(directory, flush_rows=64) as recorder:
        stream = md.ticks(timeout=LONG)
        md.subscribe("rb2705", "au2706")
        sim.walk(front, "rb2705", 7, 400)
        sim.walk(front, "au2706", 8, 400)
        try:
            deadline = time.monotonic() + seconds
            for record in stream:
                recorder.write(record)
                seen.append(record)
                if time.monotonic() > deadline and len(seen) >= least:
                    break
        finally:
            sim.walk(front, "rb2705", 0, 0)
            sim.walk(front, "au2706", 0, 0)
    return seen


@pytest.fixture
def walk(sim, tmp_path):
    """A recorded walk: (directory, ticks)."""
    seen = record_walk(sim, tmp_path / "walk", tmp_path / "walk-flow")
    return tmp_path / "walk", seen


def write_tape(tmp_path, ticks):
    """Hand-made ticks recorded, then written as a tape."""
    directory = tmp_path / f"rec{uuid.uuid4().hex[:6]}"
    with ctp.data.Recorder(directory) as recorder:
        for n, record in enumerate(ticks):
            recorder.write(record, received=1_800_000_000_000_000_000 + n)
    return ctp.data.tape(directory)


def quote(n, bid=None, ask=None, last=MAX, volume=0, instrument="rb2705", second=None):
    """A tick of rb2705 at 09:00:0n with the given best levels ((price, lots) each) and nothing behind them."""
    record = tick(n, instrument=instrument)
    second = n if second is None else second
    record.update(ExchangeID="SHFE", UpdateTime=f"09:{second // 60:02d}:{second % 60:02d}", UpdateMillisec=250,
                  LastPrice=last, Volume=volume, UpperLimitPrice=3348.0, LowerLimitPrice=2852.0)
    for level in range(1, 6):
        record.update({f"BidPrice{level}": MAX, f"BidVolume{level}": 0, f"AskPrice{level}": MAX,
                       f"AskVolume{level}": 0})
    if bid is not None:
        record.update(BidPrice1=float(bid[0]), BidVolume1=bid[1])
    if ask is not None:
        record.update(AskPrice1=float(ask[0]), AskVolume1=ask[1])
    return record


# ---- the feed -----------------------------------------------------------------------------------


def test_a_recorded_walk_replays_bit_for_bit_and_ends(sim, walk, tmp_path):
    directory, seen = walk
    tape = ctp.data.tape(directory)
    assert len(ctp.data.read_tape(tape)) == len(seen)
    front = sim.replay_address(name(), directory)
    with ctp.MarketData(front, **WHO, flow=tmp_path / "md", timeout=LONG) as md:
        stream = md.ticks(timeout=LONG)
        md.subscribe("rb2705", "au2706")
        back = list(stream)              # ends with the tape, after its last tick
        assert md.replay_ended
        assert sim.replay_state(front) == (len(seen), len(seen), True)
    assert len(back) == len(seen) and all(same(a, b) for a, b in zip(back, seen))
    assert any(t["LastPrice"] == MAX for t in back)       # unset prices come back as the vendor's unset value
    # Recorded again, the replay makes the same files' contents.
    with ctp.data.Recorder(tmp_path / "again") as recorder:
        for record in back:
            recorder.write(record)
    assert all(same(a, b) for a, b in zip(ctp.data.iter_ticks(tmp_path / "again"), seen))


def test_the_clock_follows_the_ticks_taken_and_start_and_end_select(sim, tmp_path):
    ticks = [quote(n, bid=(3099, 5), ask=(3101, 5)) for n in range(6)]
    tape = write_tape(tmp_path, ticks)
    front = sim.replay_address(name(), tape, start="20261208-09:00:01", end=datetime.datetime(2026, 12, 8, 9, 0, 4))
    with ctp.MarketData(front, **WHO, flow=tmp_path / "md", timeout=LONG) as md:
        stream = md.ticks(timeout=LONG)
        md.subscribe("rb2705")
        times = []
        for record in stream:
            times.append(record["UpdateTime"])
            assert sim.clock(front) == datetime.datetime(2026, 12, 8, 9, 0, int(record["UpdateTime"][-2:]), 250000)
    assert times == ["09:00:01", "09:00:02", "09:00:03"]


def test_a_replay_at_a_speed_takes_the_recorded_time(sim, tmp_path):
    ticks = [quote(n, bid=(3099, 5), ask=(3101, 5), second=0) for n in range(3)]
    ticks[-1]["UpdateMillisec"] = 850                    # 0.6 s after the first
    tape = write_tape(tmp_path, ticks)
    front = sim.replay_address(name(), tape, speed=2.0)
    with ctp.MarketData(front, **WHO, flow=tmp_path / "md", timeout=LONG) as md:
        stream = md.ticks(timeout=LONG)
        md.subscribe("rb2705")
        began = time.monotonic()
        assert len(list(stream)) == 3
        assert time.monotonic() - began >= 0.25


def test_bad_replay_addresses_leave_the_front_unreachable(sim, tmp_path, capfd):
    tape = write_tape(tmp_path, [quote(0, bid=(3099, 5), ask=(3101, 5))])
    for query in (f"replay={tmp_path}/none.tape", f"replay={tape}&speed=0", f"replay={tape}&start=9:00",
                  f"replay={tape}&colour=red", f"speed=2"):
        front = f"sim://{name()}?{query}"
        with pytest.raises(TimeoutError):
            ctp.MarketData(front, **WHO, flow=tmp_path / "md", timeout=0.3)
        assert "standin: sim://" in capfd.readouterr().err
    (tmp_path / "bad.tape").write_bytes(b"CTPTAPE1" + bytes(8))
    with pytest.raises(TimeoutError):
        ctp.MarketData(f"sim://{name()}?replay={tmp_path}/bad.tape", **WHO, flow=tmp_path / "md", timeout=0.3)
    assert "not a tape" in capfd.readouterr().err


# ---- fills ----------------------------------------------------------------------------------------


def sessions(front, tmp_path):
    client = ctp.Client(front, **WHO, **APP, flow=tmp_path / "trader", timeout=LONG)
    md = ctp.MarketData(front, **WHO, flow=tmp_path / "md", timeout=LONG)
    return client, md


def fills(client):
    return [(t["Direction"], t["Price"], t["Volume"]) for t in client.trades]


def test_orders_fill_against_the_recorded_quotes_by_the_model(sim, tmp_path):
    ticks = [
        quote(0, bid=(3099, 5), ask=(3101, 3)),
        quote(1, bid=(3098, 5), ask=(3102, 1)),          # reaches the resting bid: 1 lot at its price
        quote(2, bid=(3098, 5), ask=(3103, 10), last=3102.0, volume=50),   # a trade at 3102 is no fill: the ask stays away
        quote(3, bid=(3097, 5), ask=(3100, 10)),         # through the bid: the rest, at the bid's price
        quote(4, bid=(3104, 2), ask=(3106, 4)),          # the bid side reaches the resting ask, 2 lots of 3
        quote(5, bid=(3104, 7), ask=(3106, 4)),
    ]
    front = sim.replay_address(name(), write_tape(tmp_path, ticks))
    client, md = sessions(front, tmp_path)
    with client, md:
        stream = md.ticks(timeout=LONG)
        md.subscribe("rb2705")
        next(stream)
        buy = client.insert_order("rb2705", Direction.BUY, 5, 3102.0, exchange="SHFE")
        assert fills(client) == [(Direction.BUY, 3101.0, 3)]        # at once: what the recorded ask holds
        next(stream)
        assert fills(client)[1:] == [(Direction.BUY, 3102.0, 1)]
        next(stream)
        assert len(fills(client)) == 2
        next(stream)
        assert fills(client)[2:] == [(Direction.BUY, 3102.0, 1)] and buy.done
        sell = client.insert_order("rb2705", Direction.SELL, 3, 3104.0, exchange="SHFE", offset=OffsetFlag.CLOSE_TODAY)
        assert len(fills(client)) == 3                              # the bid (3097) is below it: it rests
        next(stream)
        assert fills(client)[3:] == [(Direction.SELL, 3104.0, 2)]
        next(stream)                                                 # each tick's quotes are whole again
        assert fills(client)[4:] == [(Direction.SELL, 3104.0, 1)] and sell.done
        assert list(stream) == [] and md.replay_ended
        (account,) = client.query("QryTradingAccount")
        turnover = (3101 * 3 + 3102 * 2 + 3104 * 3) * 10
        assert account["Commission"] == pytest.approx(round(turnover * 0.0001, 2), abs=0.011)
        assert account["CloseProfit"] == pytest.approx((3 * 3104 - 3101 * 3) * 10)


def test_the_same_replay_gives_the_same_fills(sim, walk, tmp_path):
    sys.path.insert(0, str(ROOT / "examples"))
    try:
        import backtest
    finally:
        sys.path.remove(str(ROOT / "examples"))
    directory, _ = walk
    runs = [backtest.backtest(directory, ["rb2705"], flow=tmp_path / f"run{n}") for n in range(2)]
    keys = ("Direction", "OffsetFlag", "Price", "Volume", "TradeID", "OrderRef", "TradeTime")
    first, second = ([tuple(t[k] for k in keys) for t in run.fills] for run in runs)
    assert first and first == second
    assert (runs[0].profit, runs[0].commission, runs[0].max_position) == \
        (runs[1].profit, runs[1].commission, runs[1].max_position)


def test_the_backtest_example_reports_and_draws_its_chart(sim, walk, tmp_path):
    pytest.importorskip("matplotlib")
    directory, _ = walk
    chart = tmp_path / "backtest.png"
    result = subprocess.run([sys.executable, str(ROOT / "examples" / "backtest.py"), str(directory),
                             "--chart", str(chart)], env=subprocess_env(), capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, result.stderr
    assert " fills (" in result.stdout and "largest position" in result.stdout
    assert chart.stat().st_size > 10_000 and chart.read_bytes().startswith(b"\x89PNG")


def test_a_module_reader_paces_the_replay_itself(sim, tmp_path):
    """Through _ctpmd's poll: the front posts a window ahead and waits for replay_take."""
    import _ctpmd
    ticks = [quote(n % 60, bid=(3099, 5), ask=(3101, 5)) for n in range(50)]
    front = sim.replay_address(name(), write_tape(tmp_path, ticks), window=8)
    handle = _ctpmd.create(front, bytes(tmp_path) + b"/raw-")
    try:
        events = []

        def until(predicate):
            deadline = time.monotonic() + LONG
            while not predicate():
                assert time.monotonic() < deadline
                events.extend(_ctpmd.poll(handle))
                time.sleep(0.001)

        until(lambda: any(e["name"] == "FrontConnected" for e in events))
        _ctpmd.request(handle, "UserLogin", dict(BrokerID="9999", UserID="000002", Password="123456"), 1)
        until(lambda: any(e["name"] == "RspUserLogin" for e in events))
        assert _ctpmd.subscribe(handle, ["rb2705"]) == 0
        until(lambda: sim.replay_state(front).posted == 8)
        time.sleep(0.05)
        assert sim.replay_state(front) == (8, 0, False)              # the window is full: it waits
        taken = 0
        while not sim.replay_state(front).ended:
            until(lambda: sum(e["name"] == "RtnDepthMarketData" for e in events) > taken)
            taken = sum(e["name"] == "RtnDepthMarketData" for e in events)
            sim.replay_take(front, taken)
        until(lambda: any(e["name"] == "FrontDisconnected" for e in events))
        assert taken == 50
        assert [e for e in events if e["name"] == "FrontDisconnected"][0]["reason"] == sim.REPLAY_ENDED
        with pytest.raises(sim.ControlError):
            sim.replay_take(front, 51)
    finally:
        _ctpmd.close(handle)


def test_a_tape_holds_the_selected_ticks_and_is_kept_while_newer_than_the_recording(tmp_path):
    first = [quote(n, bid=(3099, 5), ask=(3101, 5), instrument=("rb2705", "au2706")[n % 2]) for n in range(10)]
    with ctp.data.Recorder(tmp_path) as recorder:
        for record in first:
            recorder.write(record)
    tape = ctp.data.tape(tmp_path)
    assert tape == tmp_path / "ticks.tape"
    records = ctp.data.read_tape(tape)
    assert [r["InstrumentID"].decode() for r in records] == [t["InstrumentID"] for t in first]
    assert records[0]["LastPrice"] == MAX and records[0]["BidVolume1"] == 5
    made = tape.stat().st_mtime_ns
    assert ctp.data.tape(tmp_path).stat().st_mtime_ns == made              # kept: nothing newer
    with ctp.data.Recorder(tmp_path) as recorder:                            # a second recorder's file
        recorder.write(quote(20, bid=(3099, 5), ask=(3101, 5)))
    assert len(ctp.data.read_tape(ctp.data.tape(tmp_path))) == 11
    only = ctp.data.tape(tmp_path, tmp_path / "rb.tape", instruments=["rb2705"])
    assert len(ctp.data.read_tape(only)) == 6
    (tmp_path / "ticks.tape").write_bytes(b"not a tape at all")
    with pytest.raises(ValueError, match="not a tape"):
        ctp.data.read_tape(tmp_path)
