"""Prints how many ticks a second a replaying simulated front (sim://NAME?replay=DIR, as fast as
the reader takes them, in lockstep with it) delivers to a strategy that does nothing, beside a
floor measured in the same run: pyarrow reading the same recording's Parquet file into Python
dicts (read_table().to_pylist()). The strategy reads through ctp.MarketData (``for tick in
md.ticks()``, each tick taken telling the front) and through _ctpmd's poll (telling the front
once per batch polled). Target: at least 200,000 ticks/s end to end.

With --big, also replays a tape larger than 1 GiB through _ctpmd's poll and prints the reader
process's resident memory as it goes (flat: the front holds a block of the tape and a window of
ticks, whatever the tape's size). Not part of bench/run's default: it writes 1.1 GiB.

Run: bench/run (or tools/run 'PYTHONPATH=build/release:python python3.14 bench/bench_replay.py [--big]')
"""

import gc
import subprocess
import sys
import tempfile
import time
from pathlib import Path

try:
    import pyarrow.parquet  # noqa: F401
except ImportError:
    print("needs pyarrow (the package's data extra): skipped")
    sys.exit(0)

sys.path.insert(0, str(Path(__file__).resolve().parent))

import ctp.data  # noqa: E402
from bench_record import ticks  # noqa: E402

COUNT = 300_000
REPEATS = 3
BIG = 1.1 * 2**30
CHILD = """
import collections, sys, time, uuid
import ctp, ctp.data, ctp.sim as sim
import pyarrow.parquet as pq

def status(key):  # KiB
    for line in open("/proc/self/status"):
        if line.startswith(key + ":"):
            return int(line.split()[1])

what, path, flow = sys.argv[1:4]
WHO = dict(broker="9999", user="000002", password="123456")
INSTRUMENTS = ["rb2705", "au2706", "cu2702"]
if what == "floor":
    start, cpu = time.perf_counter(), time.process_time()
    count = len(pq.read_table(path).to_pylist())
    print(count, time.perf_counter() - start, time.process_time() - cpu)
    sys.exit()
front = sim.replay_address("b" + uuid.uuid4().hex[:8], path)
if what == "market_data":
    with ctp.MarketData(front, **WHO, flow=flow, timeout=60) as md:
        stream = md.ticks(timeout=60)
        start, cpu = time.perf_counter(), time.process_time()
        md.subscribe(*INSTRUMENTS)
        count = sum(1 for _ in stream)
        print(count, time.perf_counter() - start, time.process_time() - cpu)
    sys.exit()
import _ctpmd
handle = _ctpmd.create(front, flow.encode() + b"/")
events = []
while not any(e["name"] == "FrontConnected" for e in events):
    events += _ctpmd.poll(handle); time.sleep(0.001)
_ctpmd.request(handle, "UserLogin", dict(BrokerID="9999", UserID="000002", Password="123456"), 1)
while not any(e["name"] == "RspUserLogin" for e in events):
    events += _ctpmd.poll(handle); time.sleep(0.001)
fd = _ctpmd.fileno(handle)
import select
take = sim.replay_taker(front)
rss = []
start, cpu = time.perf_counter(), time.process_time()
_ctpmd.subscribe(handle, INSTRUMENTS)
count, ended, mark = 0, False, time.perf_counter()
while not ended:
    batch = _ctpmd.poll(handle)
    if not batch:
        select.select([fd], [], [], 0.05)
        continue
    for event in batch:
        name = event["name"]
        if name == "RtnDepthMarketData":
            count += 1
        elif name == "FrontDisconnected":
            ended = True
    take(count)
    if what == "memory" and time.perf_counter() - mark > 0.5:
        mark = time.perf_counter()
        rss.append((count, status("VmRSS")))
elapsed, cpu = time.perf_counter() - start, time.process_time() - cpu
_ctpmd.close(handle)
print(count, elapsed, cpu, *[f"{n}:{kib}" for n, kib in rss], status("VmHWM"))
"""


def run(what, path, flow, *args):
    out = subprocess.run([sys.executable, "-c", CHILD, what, str(path), str(flow), *args], capture_output=True,
                         text=True, check=True, timeout=3600).stdout.split()
    return out


def best(what, path, flow):
    results = []
    for _ in range(REPEATS):
        count, wall, cpu = run(what, path, flow)[:3]
        results.append((int(count), float(wall), float(cpu)))
    return results[0][0], min(r[1] for r in results), min(r[2] for r in results)


def big(root):
    """A tape of over 1 GiB: the recorded ticks' records repeated, the clock running on."""
    import numpy as np
    records = ctp.data.read_tape(root / "ticks.tape")
    path = root / "big.tape"
    rounds = int(BIG // (len(records) * records.dtype.itemsize)) + 1
    with open(path, "wb") as file:
        with open(root / "ticks.tape", "rb") as source:
            file.write(source.read(16))
        block = np.array(records)
        for _ in range(rounds):
            file.write(block.tobytes())
    return path, rounds * len(records)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        with ctp.data.Recorder(root) as recorder:
            for tick in ticks(COUNT):
                recorder.write(tick)
        [file] = root.glob("*.parquet")
        began = time.perf_counter()
        tape = ctp.data.tape(root)
        taped = time.perf_counter() - began
        gc.collect()
        floor = best("floor", file, root / "flow")
        market = best("market_data", root, root / "flow")
        poll = best("poll", root, root / "flow")

        def rate(result):
            return f"{result[0] / result[1]:>10,.0f} ticks/s ({result[0] / result[2]:>10,.0f} a processor second)"
        print(f"replaying {COUNT:,} recorded ticks at full speed ({tape.stat().st_size / 2**20:.0f} MiB of tape, "
              f"written in {taped:.1f} s), best of {REPEATS}:")
        assert market[0] == poll[0] == floor[0] == COUNT, (market, poll, floor)
        print(f"  through ctp.MarketData (for tick in md.ticks())  {rate(market)}   {floor[1] / market[1]:.1f}x the "
              f"floor's speed (target 200,000 ticks/s)")
        print(f"  through _ctpmd.poll + replay_take per batch      {rate(poll)}   {floor[1] / poll[1]:.1f}x the "
              f"floor's speed")
        print(f"  floor: pyarrow read_table().to_pylist()          {rate(floor)}")
        if "--big" in sys.argv[1:]:
            path, count = big(root)
            out = run("memory", path, root / "flow")
            got, wall = int(out[0]), float(out[1])
            samples = [tuple(int(x) for x in s.split(":")) for s in out[3:-1]]
            peak = int(out[-1])
            print(f"replaying a {path.stat().st_size / 2**30:.2f} GiB tape ({count:,} ticks; {got:,} delivered in "
                  f"{wall:.0f} s, {got / wall:,.0f} ticks/s) through _ctpmd.poll: resident memory of the reader")
            shown = samples[:: max(1, len(samples) // 8)] + samples[-1:]
            print("  " + ", ".join(f"{n / count:.0%}: {kib / 1024:.0f} MiB" for n, kib in shown) +
                  f"; peak {peak / 1024:.0f} MiB")


if __name__ == "__main__":
    main()
