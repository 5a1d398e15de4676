"""Prints how many ticks a second ctp.data.Recorder records (tick dicts as
RtnDepthMarketData delivers them, written one by one and then closed: journal,
Parquet row groups, finished file), beside floors measured in the same run on
the same ticks: pyarrow building the table from the dicts its fastest way (a
struct array from the dicts) and writing it to Parquet in one call; and, for
reference, pyarrow writing the table already built. Target: within 1.5x of
the first floor.

Run: bench/run (or tools/run 'PYTHONPATH=build/release:python python3.14 bench/bench_record.py')
"""

import gc
import random
import sys
import tempfile
import time
from pathlib import Path

try:
    import pyarrow as pa
    import pyarrow.parquet as pq
except ImportError:
    print("needs pyarrow (the package's data extra): skipped")
    sys.exit(0)

import ctp.data
from ctp.data import schema

COUNT = 200_000
REPEATS = 5
MAX = sys.float_info.max


def ticks(count):
    """Ticks of three instruments through one morning, prices in 0.5 steps, unset ones where the vendor has them."""
    rnd = random.Random(1)
    out = []
    for i in range(count):
        price = 3000.0 + rnd.randrange(200) * 0.5
        record = {}
        for name, kind in schema.DEPTH_MARKET_DATA:
            if kind == "text":
                record[name] = ""
            elif kind == "int":
                record[name] = rnd.randrange(1, 500)
            else:
                record[name] = price + rnd.randrange(-10, 10) * 0.5
        second = i // 20
        record.update(TradingDay="20261208", ActionDay="20261208", UpdateTime=f"{9 + second // 3600:02d}:"
                      f"{second // 60 % 60:02d}:{second % 60:02d}", UpdateMillisec=500 * (i % 2), ExchangeID="SHFE",
                      InstrumentID=("rb2705", "au2706", "cu2702")[i % 3], Volume=i, Turnover=i * 31000.0,
                      ClosePrice=MAX, SettlementPrice=MAX, AskPrice5=MAX if i % 7 == 0 else price + 2.5)
        out.append(record)
    return out


def best(*fns):
    """The best wall and processor seconds of each function over REPEATS rounds, run in turns so that a busy
    moment of the machine hits them alike."""
    times = [([], []) for _ in fns]
    for _ in range(REPEATS):
        for fn, (wall, cpu) in zip(fns, times):
            gc.collect()
            start, processor = time.perf_counter(), time.process_time()
            fn()
            wall.append(time.perf_counter() - start)
            cpu.append(time.process_time() - processor)
    return [(min(wall), min(cpu)) for wall, cpu in times]


def main():
    data = ticks(COUNT)
    struct = pa.struct([pa.field(n, {"text": pa.string(), "int": pa.int32(), "real": pa.float64()}[k])
                        for n, k in schema.DEPTH_MARKET_DATA])
    table = pa.Table.from_struct_array(pa.array(data, type=struct))
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        runs = iter(range(10**6))

        def floor():
            pq.write_table(pa.Table.from_struct_array(pa.array(data, type=struct)), root / f"floor{next(runs)}.parquet")

        def written():
            pq.write_table(table, root / f"table{next(runs)}.parquet")

        def recorded():
            with ctp.data.Recorder(root / f"rec{next(runs)}") as recorder:
                write = recorder.write
                for tick in data:
                    write(tick)

        floor_s, table_s, record_s = best(floor, written, recorded)
        size = sum(p.stat().st_size for p in root.glob("rec*/*.parquet")) / REPEATS

    def rate(seconds):
        return f"{COUNT / seconds[0]:>10,.0f} ticks/s ({COUNT / seconds[1]:>10,.0f} a processor second)"
    print(f"recording {COUNT:,} ticks ({len(schema.DEPTH_MARKET_DATA) + 2} columns), best of {REPEATS}:")
    print(f"  ctp.data.Recorder, write() each, close  {rate(record_s)}   {record_s[0] / floor_s[0]:.2f}x the floor's "
          f"time (target 1.5x); {size / COUNT:.0f} bytes a tick on disk")
    print(f"  floor: pyarrow, dicts to Parquet        {rate(floor_s)}")
    print(f"  (pyarrow writing the table built        {rate(table_s)})")


if __name__ == "__main__":
    main()
