"""Prints how many ticks a second ctp.data.iter_ticks delivers from a recorded
day (tick dicts equal to those recorded, in the order received, as a replay
would consume them, doing nothing with them), beside a floor measured in the
same run: pyarrow reading the same Parquet file into Python dicts
(read_table().to_pylist()). Also prints the memory each adds at its peak, and
what ctp.data.ticks takes to make the DataFrame. Target: at least 200,000
ticks/s.

Run: bench/run (or tools/run 'PYTHONPATH=build/release:python python3.14 bench/bench_read.py')
"""

import gc
import subprocess
import sys
import tempfile
import time
from pathlib import Path

try:
    import pyarrow.parquet as pq
except ImportError:
    print("needs pyarrow (the package's data extra): skipped")
    sys.exit(0)

sys.path.insert(0, str(Path(__file__).resolve().parent))

import ctp.data  # noqa: E402
from bench_record import ticks  # noqa: E402

COUNT = 500_000
REPEATS = 3
CHILD = """
import collections, sys, time
import ctp.data, pyarrow.parquet as pq

def status(key):  # KiB; VmHWM, unlike ru_maxrss, starts afresh at exec
    for line in open("/proc/self/status"):
        if line.startswith(key + ":"):
            return int(line.split()[1])

what, path = sys.argv[1:]
before = status("VmRSS")
start, cpu = time.perf_counter(), time.process_time()
if what == "iter_ticks":
    collections.deque(ctp.data.iter_ticks(path), maxlen=0)
elif what == "floor":
    collections.deque(pq.read_table(path).to_pylist(), maxlen=0)
else:
    ctp.data.ticks(path)
print(time.perf_counter() - start, time.process_time() - cpu, status("VmHWM") - before)
"""


def run(what, path):
    """Best wall and processor seconds and the peak memory added (KiB), in a fresh process each time so that
    peaks do not hide each other."""
    results = []
    for _ in range(REPEATS):
        out = subprocess.run([sys.executable, "-c", CHILD, what, str(path)], capture_output=True, text=True,
                             check=True).stdout.split()
        results.append((float(out[0]), float(out[1]), int(out[2])))
    return min(r[0] for r in results), min(r[1] for r in results), max(r[2] for r in results)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        with ctp.data.Recorder(root) as recorder:
            for tick in ticks(COUNT):
                recorder.write(tick)
        [file] = root.glob("*.parquet")
        gc.collect()
        iterated, floor, frame = run("iter_ticks", root), run("floor", file), run("frame", root)
        size = file.stat().st_size

    def rate(result):
        return f"{COUNT / result[0]:>10,.0f} ticks/s ({COUNT / result[1]:>10,.0f} a processor second)"

    def peak(result):
        return f"peak +{result[2] / 1024:.0f} MiB"
    print(f"reading {COUNT:,} recorded ticks ({size / 2**20:.0f} MiB of Parquet), best of {REPEATS}:")
    print(f"  ctp.data.iter_ticks (dicts, in order)    {rate(iterated)}   {floor[0] / iterated[0]:.1f}x the floor's "
          f"speed (target 200,000 ticks/s); {peak(iterated)}")
    print(f"  floor: pyarrow read_table().to_pylist()  {rate(floor)}   {peak(floor)}")
    print(f"  ctp.data.ticks (one DataFrame)           {rate(frame)}   {peak(frame)}")


if __name__ == "__main__":
    main()
