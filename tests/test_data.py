"""ctp.data: recording ticks, orders and trades to Parquet and reading them back,
bars, frames, a recorder killed mid-file, and the simulated walk recorded live.
Skipped where pyarrow or pandas cannot be imported (they are the package's
optional data extra)."""

import ast
import datetime
import math
import os
import random
import signal
import struct
import subprocess
import sys
import textwrap
import time
import uuid

import pytest

if "libtsan" in os.environ.get("LD_PRELOAD", ""):
    pytest.skip("pyarrow's thread pool, built without ThreadSanitizer, reports races of its own",
                allow_module_level=True)
pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")
pq = pytest.importorskip("pyarrow.parquet")

import ctp  # noqa: E402
import ctp.data  # noqa: E402
from conftest import ROOT, subprocess_env  # noqa: E402
from ctp.data import schema  # noqa: E402

MAX = sys.float_info.max
CST = datetime.timezone(datetime.timedelta(hours=8))
LONG = 60.0
WHO = dict(broker="9999", user="000001", password="123456")


def tick(i, day="20261208", instrument=None, **fields):
    """A tick with every member set, varied by i (reproducible)."""
    rnd = random.Random(i)
    record = {}
    for name, kind in schema.DEPTH_MARKET_DATA:
        if kind == "text":
            record[name] = ""
        elif kind == "int":
            record[name] = rnd.randrange(0, 10000)
        else:
            record[name] = rnd.choice([MAX, 3000 + rnd.randrange(0, 20000) * 0.5, rnd.uniform(-1e6, 1e6)])
    second = i % 30000
    record.update(TradingDay=day, ActionDay=day, UpdateTime=f"{9 + second // 3600:02d}:{second // 60 % 60:02d}:"
                  f"{second % 60:02d}", UpdateMillisec=500 * (i % 2), ExchangeID="SHFE",
                  InstrumentID=instrument or ("rb2705", "au2706", "cu2702")[i % 3])
    record.update(fields)
    return record


def bits(value):
    return struct.pack("<d", value) if isinstance(value, float) else value


def same(a, b):
    """Equal to the bit: floats compared by their bytes (-0.0 is not 0.0)."""
    return list(a) == list(b) and all(bits(a[k]) == bits(b[k]) and type(a[k]) is type(b[k]) for k in a)


def exchange_ns(record):
    when = datetime.datetime.strptime(record["ActionDay"] + record["UpdateTime"], "%Y%m%d%H:%M:%S")
    when = when.replace(tzinfo=CST) + datetime.timedelta(milliseconds=record["UpdateMillisec"])
    return (when - datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)) // datetime.timedelta(microseconds=1) * 1000


def members_of(stub, record):
    """A TypedDict's members and kinds as the stub declares them."""
    tree = ast.parse((ROOT / "python" / stub).read_text())
    [cls] = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == record]
    kinds = {"str": "text", "int": "int", "float": "real"}
    # The members every record carries; those of complete records only are NotRequired.
    return tuple((n.target.id, kinds[ast.unparse(n.annotation)]) for n in cls.body
                 if isinstance(n, ast.AnnAssign) and ast.unparse(n.annotation) in kinds)


@pytest.mark.parametrize("members, stub, record", [
    (schema.DEPTH_MARKET_DATA, "_ctpmd.pyi", "DepthMarketData"),
    (schema.ORDER, "_ctp.pyi", "Order"),
    (schema.TRADE, "_ctp.pyi", "Trade"),
])
def test_the_files_columns_are_the_records_members(members, stub, record):
    assert members == members_of(stub, record)


# ---- round trip -------------------------------------------------------------------------------


def test_ticks_come_back_bit_for_bit(tmp_path):
    edge = [5e-324, -0.0, math.inf, -math.inf, 1.7976931348623155e308, MAX, 0.1 + 0.2]
    ticks = [tick(i) for i in range(3000)]
    for n, value in enumerate(edge):
        ticks[n]["LastPrice"] = value
    ticks[10].update(BidVolume1=2**31 - 1, AskVolume1=-2**31, InstrumentID="白糖2705", ExchangeID="")
    ticks[11].update(UpdateTime="", ActionDay="")           # no time: a null Timestamp, the record intact
    ticks += [tick(i, day="20261209") for i in range(3000, 3500)]
    received = [1_700_000_000_000_000_000 + 1000 * i for i in range(len(ticks))]
    with ctp.data.Recorder(tmp_path, flush_rows=97, row_group_size=500) as recorder:
        for record, when in zip(ticks, received):
            recorder.write(record, received=when)
    assert sorted(p.name for p in tmp_path.glob("*.parquet")) == ["ticks-20261208.parquet", "ticks-20261209.parquet"]
    assert not list(tmp_path.glob("*.arrows")) and not list(tmp_path.glob("*.tmp"))

    back = list(ctp.data.iter_ticks(tmp_path))
    assert len(back) == len(ticks) and all(same(a, b) for a, b in zip(back, ticks))

    file = pq.ParquetFile(tmp_path / "ticks-20261208.parquet")
    assert file.metadata.num_row_groups == 6
    types = {f.name: str(f.type) for f in file.schema_arrow}
    assert types["InstrumentID"] == "string" and types["Volume"] == "int32" and types["LastPrice"] == "double"
    assert types["Timestamp"] == types["ReceiveTime"] == "timestamp[ns, tz=+08:00]"

    frame = ctp.data.ticks(tmp_path)
    assert list(frame.columns) == [n for n, _ in schema.DEPTH_MARKET_DATA] + ["Timestamp", "ReceiveTime"]
    assert frame["Volume"].dtype == "int32" and frame["LastPrice"].dtype == "float64"
    for name, kind in schema.DEPTH_MARKET_DATA:
        column = frame[name].tolist()
        if kind == "real":     # unset prices are nulls (NaN); the rest exact
            assert all(math.isnan(v) if t[name] == MAX else bits(v) == bits(t[name]) for v, t in zip(column, ticks))
        else:
            assert column == [t[name] for t in ticks]
    assert frame["ReceiveTime"].astype("int64").tolist() == received
    stamps = frame["Timestamp"]
    assert pd.isna(stamps[11])
    assert [int(s.value) for s in stamps.drop(11)] == [exchange_ns(t) for n, t in enumerate(ticks) if n != 11]
    assert stamps[0] == pd.Timestamp("2026-12-08 09:00:00", tz=CST)


def test_selecting_instruments_and_times(tmp_path):
    ticks = [tick(i) for i in range(4000)]
    with ctp.data.Recorder(tmp_path, flush_rows=250, row_group_size=250) as recorder:
        for record in ticks:
            recorder.write(record)
    everything = ctp.data.ticks(tmp_path)
    start, end = pd.Timestamp("2026-12-08 09:10", tz=CST), pd.Timestamp("2026-12-08 09:40", tz=CST)
    picked = ctp.data.ticks(tmp_path, ["au2706"], start="2026-12-08 09:10", end=datetime.datetime(2026, 12, 8, 9, 40))
    expected = everything[(everything.InstrumentID == "au2706") & (everything.Timestamp >= start)
                          & (everything.Timestamp < end)]
    assert len(picked) == len(expected) > 0
    assert picked.reset_index(drop=True).equals(expected.reset_index(drop=True))
    assert ctp.data.ticks(tmp_path, "nope").empty and list(ctp.data.ticks(tmp_path, "nope").columns) == list(
        everything.columns)
    some = ctp.data.ticks(tmp_path, columns=["InstrumentID", "LastPrice"])
    assert list(some.columns) == ["InstrumentID", "LastPrice"] and len(some) == 4000
    assert [t["UpdateTime"] for t in ctp.data.iter_ticks(tmp_path, end=start)] == [
        t["UpdateTime"] for t in ticks if exchange_ns(t) < start.value]
    with pytest.raises(ValueError, match="no column 'Nope'"):
        ctp.data.ticks(tmp_path, columns=["Nope"])


def test_orders_and_trades_beside_the_ticks(tmp_path):
    order = {name: (1 if kind == "int" else 3100.0 if kind == "real" else "0") for name, kind in schema.ORDER}
    order.update(TradingDay="20261208", StatusMsg="全部成交", LimitPrice=MAX)
    trade = {name: (2 if kind == "int" else 3101.5 if kind == "real" else "1") for name, kind in schema.TRADE}
    trade.update(TradingDay="20261208")
    unsent = ctp.Order.__new__(ctp.Order)
    ctp.BaseOrder.__init__(unsent)
    with ctp.data.Recorder(tmp_path) as recorder:
        assert recorder.record({"name": "RtnDepthMarketData", "data": tick(1)})
        assert recorder.record({"name": "RtnOrder", "data": order})
        assert recorder.record({"name": "RtnTrade", "data": trade})
        assert not recorder.record({"name": "RspQryOrder", "data": order})
        recorder.write_order(unsent)        # never reported: nothing to record
        recorder.write_trade(dict(trade, TradingDay=""))   # no day: goes with the latest
    assert sorted(p.name for p in tmp_path.glob("*.parquet")) == [
        "orders-20261208.parquet", "ticks-20261208.parquet", "trades-20261208.parquet"]
    assert list(ctp.data.iter_ticks(tmp_path, kind="orders")) == [order]
    assert list(ctp.data.iter_ticks(tmp_path, kind="trades")) == [trade, dict(trade, TradingDay="")]
    assert math.isnan(ctp.data.ticks(tmp_path, kind="orders")["LimitPrice"][0])
    assert len(ctp.data.ticks(tmp_path / "trades-20261208.parquet", kind="trades")) == 2
    with pytest.raises(ValueError, match="kind='orders'"):
        ctp.data.ticks(tmp_path / "orders-20261208.parquet")


def test_a_record_that_does_not_convert_raises_and_the_others_are_kept(tmp_path):
    recorder = ctp.data.Recorder(tmp_path, flush_rows=3)
    recorder.write(tick(0))
    recorder.write(tick(1, LastPrice="3100"))
    with pytest.raises(ValueError, match="cannot record"):
        recorder.write(tick(2))
    recorder.close()
    with pytest.raises(ValueError, match="closed"):
        recorder.write(tick(3))
    assert [t["UpdateTime"] for t in ctp.data.iter_ticks(tmp_path)] == [tick(0)["UpdateTime"], tick(2)["UpdateTime"]]


def test_an_interrupted_write_leaves_the_journal_whole_and_loses_nothing(tmp_path, monkeypatch):
    from ctp.data import _store
    ticks = [tick(i, day=("20261208", "20261209")[i % 2]) for i in range(40)]
    recorder = ctp.data.Recorder(tmp_path, flush_rows=10)
    for record in ticks[:10]:
        recorder.write(record)
    real, calls = os.write, []

    def cut_short(fd, data):      # half a batch reaches the file, then Ctrl-C
        calls.append(len(data))
        if len(calls) == 1:
            return real(fd, bytes(data)[:len(data) // 2])
        raise KeyboardInterrupt
    monkeypatch.setattr(_store.os, "write", cut_short)
    with pytest.raises(KeyboardInterrupt):
        for record in ticks[10:20]:
            recorder.write(record)
    monkeypatch.undo()
    assert recorder.waiting == 10 and recorder.rows == 10
    for record in ticks[20:]:
        recorder.write(record)
    recorder.close()
    assert all(same(a, b) for a, b in zip(ctp.data.iter_ticks(tmp_path), ticks, strict=True))


def test_files_of_one_day_from_two_recorders_read_in_the_order_received(tmp_path):
    # Two recorders of one day (or one started again) write apart; some exchanges stamp the night with the
    # day session's trading day, so two days' files are written at once; reading merges them by receive time.
    a = ctp.data.Recorder(tmp_path, flush_rows=10)
    b = ctp.data.Recorder(tmp_path, flush_rows=7)
    ticks = [tick(i, day=("20261208", "20261209")[i % 5 == 0]) for i in range(300)]
    for n, record in enumerate(ticks):
        (a if n % 3 else b).write(record, received=1_000_000 + n)
    a.close()
    b.close()
    assert sorted(p.name for p in tmp_path.glob("*.parquet")) == [
        "ticks-20261208-1.parquet", "ticks-20261208.parquet", "ticks-20261209-1.parquet", "ticks-20261209.parquet"]
    assert all(same(x, y) for x, y in zip(ctp.data.iter_ticks(tmp_path), ticks, strict=True))
    assert ctp.data.ticks(tmp_path)["ReceiveTime"].astype("int64").tolist() == list(range(1_000_000, 1_000_300))
    with ctp.data.Recorder(tmp_path) as again:
        again.write(tick(0))
        again.flush()
        assert again.files == [tmp_path / "ticks-20261208-2.parquet"]


# ---- bars and frames ----------------------------------------------------------------------------


def test_bars_from_a_day_with_a_night_a_break_and_a_volume_reset(tmp_path):
    def t(instrument, day, action, at, price, volume, oi=100.0):
        hms, _, ms = at.partition(".")
        return tick(0, day, instrument, ActionDay=action, UpdateTime=hms, UpdateMillisec=int(ms or 0),
                    LastPrice=price, Volume=volume, Turnover=volume * 10.0, OpenInterest=oi)
    ticks = [
        t("rb2705", "20261208", "20261208", "14:59:00", 3100.0, 1000),
        t("SR705", "20261208", "20261208", "14:59:59", 6000.0, 500),
        t("rb2705", "20261208", "20261208", "14:59:30.500", 3102.0, 1010, 101.0),
        # The night of the 8th is the 9th's trading day: its totals start again.
        t("rb2705", "20261209", "20261208", "21:00:00", MAX, 0),
        t("rb2705", "20261209", "20261208", "21:00:10", 3105.0, 5),
        # CZCE's night keeps the day's TradingDay: only the drop in its total tells a new count.
        t("SR705", "20261208", "20261208", "21:00:01", 6010.0, 3),
        t("rb2705", "20261209", "20261208", "21:00:45", 3101.0, 12, 103.0),
        t("rb2705", "20261209", "20261208", "21:01:10", 3103.0, 20),
        t("rb2705", "20261209", "20261209", "10:14:50", 3110.0, 100),
        # the break from 10:15 to 10:30: no bars there
        t("rb2705", "20261209", "20261209", "10:30:05", 3108.0, 104),
        t("rb2705", "20261209", "20261209", "10:30:59", 3107.0, 104, 99.0),
    ]
    with ctp.data.Recorder(tmp_path) as recorder:
        for record in ticks:
            recorder.write(record)
    bars = ctp.data.bars(ctp.data.ticks(tmp_path), "1min")
    assert list(bars.columns) == ["InstrumentID", "TradingDay", "time", "open", "high", "low", "close", "volume",
                                  "turnover", "open_interest", "ticks"]
    got = [(b.InstrumentID, b.TradingDay, b.time.strftime("%m-%d %H:%M"), b.open, b.high, b.low, b.close, b.volume,
            b.open_interest, b.ticks) for b in bars.itertuples()]
    assert got == [
        ("SR705", "20261208", "12-08 14:59", 6000.0, 6000.0, 6000.0, 6000.0, 500, 100.0, 1),
        ("SR705", "20261208", "12-08 21:00", 6010.0, 6010.0, 6010.0, 6010.0, 3, 100.0, 1),
        ("rb2705", "20261208", "12-08 14:59", 3100.0, 3102.0, 3100.0, 3102.0, 1010, 101.0, 2),
        ("rb2705", "20261209", "12-08 21:00", 3105.0, 3105.0, 3101.0, 3101.0, 12, 103.0, 3),
        ("rb2705", "20261209", "12-08 21:01", 3103.0, 3103.0, 3103.0, 3103.0, 8, 100.0, 1),
        ("rb2705", "20261209", "12-09 10:14", 3110.0, 3110.0, 3110.0, 3110.0, 80, 100.0, 1),
        ("rb2705", "20261209", "12-09 10:30", 3108.0, 3108.0, 3107.0, 3107.0, 4, 99.0, 2),
    ]
    assert bars.turnover.tolist() == [v * 10.0 for v in bars.volume]
    assert str(bars.time.dt.tz) in ("UTC+08:00", "pytz.FixedOffset(480)")
    hourly = ctp.data.bars(tmp_path, "1h")          # read from the recording; a bar holds only ticks inside it
    assert [(b.InstrumentID, b.time.strftime("%d %H:%M"), b.volume) for b in hourly.itertuples()] == [
        ("SR705", "08 14:00", 500), ("SR705", "08 21:00", 3), ("rb2705", "08 14:00", 1010),
        ("rb2705", "08 21:00", 20), ("rb2705", "09 10:00", 84)]
    with pytest.raises(ValueError):
        ctp.data.bars(ctp.data.ticks(tmp_path), "0s")


def test_frame_of_records_and_orders():
    order = ctp.Order.__new__(ctp.Order)
    ctp.BaseOrder.__init__(order)
    order.instrument, order.volume, order.price = "rb2705", 2, 3102.0
    order.error = ValueError("资金不足")
    reported = ctp.Order.__new__(ctp.Order)
    ctp.BaseOrder.__init__(reported)
    reported.data = {"InstrumentID": "au2706", "LimitPrice": 500.0, "VolumeTotalOriginal": 1}
    frame = ctp.data.frame([order, reported])
    assert frame["InstrumentID"].tolist() == ["rb2705", "au2706"]
    assert frame["Error"].tolist() == ["资金不足", None]
    positions = ctp.data.frame([{"InstrumentID": "rb2705", "Position": 2, "PositionProfit": MAX},
                                {"InstrumentID": "au2706", "Position": 1, "PositionProfit": -20.0}])
    assert positions["Position"].tolist() == [2, 1] and math.isnan(positions["PositionProfit"][0])
    assert ctp.data.frame([]).empty


# ---- a recorder killed ----------------------------------------------------------------------------


CHILD = """
import itertools, sys
sys.path.insert(0, {tests!r})
import ctp.data
from test_data import tick
recorder = ctp.data.Recorder({out!r}, flush_rows=50, row_group_size=120)
for i in itertools.count():
    recorder.write(tick(i, day=("20261208", "20261209", "20261210")[min(i // 300, 2)]), received=i)
    if i == 1000:
        print("going", flush=True)
"""


def test_a_recorder_killed_mid_file_leaves_every_file_and_its_complete_batches_readable(tmp_path):
    out = tmp_path / "rec"
    child = subprocess.Popen([sys.executable, "-c", CHILD.format(tests=str(ROOT / "tests"), out=str(out))],
                             env=subprocess_env(), stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "going\n"
        time.sleep(0.2)          # killed wherever it is: mid-batch, mid-write or between them
        child.send_signal(signal.SIGKILL)
        assert child.wait(LONG) == -signal.SIGKILL
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
        child.stdout.close()
    # The first day finished when the third began: a whole Parquet file. The others: journals (and
    # half-written Parquet files that nothing reads).
    names = sorted(p.name for p in out.iterdir())
    assert names[:2] == [".lock", "ticks-20261208.parquet"] and "ticks-20261210.arrows" in names
    assert pq.read_table(out / "ticks-20261208.parquet").num_rows == 300

    back = list(ctp.data.iter_ticks(out))
    assert len(back) >= 1000 and len(back) % 50 == 0      # whole batches: none torn, none lost before the last
    assert all(same(record, tick(i, day=record["TradingDay"])) for i, record in enumerate(back))
    assert [t["TradingDay"] for t in back] == [("20261208", "20261209", "20261210")[min(i // 300, 2)]
                                               for i in range(len(back))]

    # A new recorder finishes what the dead one left (recover does it alone too): Parquet files, same rows.
    ctp.data.Recorder(out).close()
    assert sorted(p.name for p in out.iterdir()) == [".lock", "ticks-20261208.parquet", "ticks-20261209.parquet",
                                                     "ticks-20261210.parquet"]
    assert sum(pq.read_table(p).num_rows for p in out.glob("*.parquet")) == len(back)
    assert all(same(a, b) for a, b in zip(ctp.data.iter_ticks(out), back, strict=True))
    assert ctp.data.recover(out) == []


def test_recover_leaves_a_live_recorders_journal_alone(tmp_path):
    recorder = ctp.data.Recorder(tmp_path, flush_rows=1)
    recorder.write(tick(0))
    assert ctp.data.recover(tmp_path) == []
    assert (tmp_path / "ticks-20261208.arrows").exists()
    assert [t["UpdateTime"] for t in ctp.data.iter_ticks(tmp_path)] == [tick(0)["UpdateTime"]]   # read while live
    recorder.write(tick(1))
    recorder.close()
    assert len(list(ctp.data.iter_ticks(tmp_path))) == 2


# ---- live: the simulated walk ----------------------------------------------------------------------


def test_the_simulated_walk_recorded_through_market_data_reads_back_the_same(sim, tmp_path):
    front = f"sim://d{uuid.uuid4().hex[:12]}"
    seen = []
    with ctp.MarketData(front, **WHO, flow=tmp_path / "flow", timeout=LONG) as md, \
            ctp.data.Recorder(tmp_path / "rec", flush_rows=64) as recorder:
        stream = md.ticks(timeout=LONG)
        md.subscribe("rb2705", "au2706")
        sim.walk(front, "rb2705", 7, 200)
        sim.walk(front, "au2706", 8, 200)
        try:
            deadline = time.monotonic() + 2.0
            for record in stream:
                recorder.write(record)
                seen.append(record)
                if time.monotonic() > deadline and len(seen) >= 100:
                    break
        finally:
            sim.walk(front, "rb2705", 0, 0)
            sim.walk(front, "au2706", 0, 0)
    back = list(ctp.data.iter_ticks(tmp_path / "rec"))
    assert len(back) == len(seen) and all(same(a, b) for a, b in zip(back, seen))
    frame = ctp.data.ticks(tmp_path / "rec")
    assert set(frame.InstrumentID) == {"rb2705", "au2706"}
    assert frame.ClosePrice.isna().all() and not frame.BidPrice1.isna().any()      # unset prices: nulls
    assert frame.Timestamp.notna().all()
    assert len(ctp.data.bars(frame, "1s")) > 0


def test_python_m_ctp_record(sim, tmp_path):
    out = tmp_path / "rec"
    env = dict(subprocess_env(), CTP_PASSWORD="123456")
    run = subprocess.run([sys.executable, "-m", "ctp", "record", "--front", f"sim://r{uuid.uuid4().hex[:8]}",
                          "--broker", "9999", "--user", "000001", "--instruments", "rb2705,au2706", "--out", str(out),
                          "--walk", "100", "--duration", "1.5", "--flow", str(tmp_path / "flow")],
                         env=env, capture_output=True, text=True, timeout=LONG, stdin=subprocess.DEVNULL)
    assert run.returncode == 0, run.stderr
    frame = ctp.data.ticks(out)
    assert set(frame.InstrumentID) == {"rb2705", "au2706"} and len(frame) > 20
    assert f"{len(frame)} ticks recorded in {out}" in run.stderr
    assert [p.suffix for p in out.iterdir() if p.name != ".lock"] == [".parquet"]


def test_ctrl_c_finishes_the_files_of_python_m_ctp_record(sim, tmp_path):
    out = tmp_path / "rec"
    child = subprocess.Popen([sys.executable, "-m", "ctp", "record", "--front", f"sim://i{uuid.uuid4().hex[:8]}",
                              "--instruments", "rb2705", "--out", str(out), "--walk", "100",
                              "--flow", str(tmp_path / "flow")],
                             env=dict(subprocess_env(), CTP_PASSWORD=""), stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + LONG
        while not list(out.glob("*.arrows")):      # a batch in the journal: recording is under way
            assert child.poll() is None and time.monotonic() < deadline, "the recorder did not get going"
            time.sleep(0.05)
        child.send_signal(signal.SIGINT)
        assert child.wait(LONG) == 0
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
        stderr = child.stderr.read()
        child.stderr.close()
    [name] = [p.name for p in out.iterdir() if p.name != ".lock"]      # no journal, no half-written file
    assert name.startswith("ticks-") and name.endswith(".parquet"), stderr
    recorded = pq.read_table(out / name)
    assert recorded.num_rows > 0 and f"{recorded.num_rows} ticks recorded" in stderr


# ---- without the data libraries ----------------------------------------------------------------------


def test_trading_needs_no_data_library_and_ctp_data_names_the_extra():
    code = textwrap.dedent("""
        import sys
        import ctp, ctp.sim
        ctp.Client, ctp.MarketData
        assert not {"pyarrow", "pandas", "numpy"} & set(sys.modules), sorted(sys.modules)
        sys.modules["pyarrow"] = None        # as if it were not installed
        try:
            import ctp.data
        except ImportError as error:
            print(error)
    """)
    run = subprocess.run([sys.executable, "-c", code], env=subprocess_env(), capture_output=True, text=True,
                         timeout=LONG)
    assert run.returncode == 0, run.stderr
    assert "ctp[data]" in run.stdout and "pyarrow" in run.stdout
