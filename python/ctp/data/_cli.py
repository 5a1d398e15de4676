"""``python -m ctp record``: a market-data session's ticks into a recording
directory until Ctrl-C (or ``--duration``), with a status line on a terminal."""

from __future__ import annotations

import argparse
import getpass
import logging
import os
import signal
import sys
import threading
import time
from collections.abc import Sequence
from typing import TextIO

from .._core import CtpError, Disconnected, Overflowed
from ._recorder import Recorder

IDLE = 0.5
"""Seconds without a tick after which what waits in memory goes to the journal."""


def parse(argv: Sequence[str] | None) -> argparse.Namespace:
    env = os.environ.get
    parser = argparse.ArgumentParser(
        prog="python -m ctp record",
        description="Records every tick of the instruments to Parquet in a directory, one file per trading day, "
        "until Ctrl-C. Read them back with ctp.data.ticks(DIR).",
        epilog="The password comes from CTP_PASSWORD, or a prompt on a terminal (else none).")
    parser.add_argument("--instruments", required=True, help="instrument ids, comma-separated: rb2705,au2706")
    parser.add_argument("--out", required=True, help="the recording directory (made if missing)")
    parser.add_argument("--front", default=env("CTP_FRONT"), required=env("CTP_FRONT") is None,
                        help="market-data front address, e.g. tcp://host:port or sim://NAME ($CTP_FRONT)")
    parser.add_argument("--broker", default=env("CTP_BROKER", ""), help="broker id ($CTP_BROKER)")
    parser.add_argument("--user", default=env("CTP_USER", ""), help="user id ($CTP_USER)")
    parser.add_argument("--flow", default=None, help="flow directory (a temporary one by default)")
    parser.add_argument("--timeout", type=float, default=10.0, help="seconds to wait for each answer (10)")
    parser.add_argument("--duration", type=float, default=None, help="stop after this many seconds")
    parser.add_argument("--walk", type=float, default=0.0, metavar="RATE",
                        help="on a sim:// front: walk each instrument's price RATE steps a second "
                        "(the simulated market stands still otherwise)")
    parser.add_argument("--seed", type=int, default=1, help="the first walk's seed (1); the next ones count up")
    parser.add_argument("-v", "--verbose", action="store_true", help="log the session's steps to stderr")
    args = parser.parse_args(argv)
    args.instruments = [i for i in args.instruments.split(",") if i]
    if not args.instruments:
        parser.error("--instruments names no instrument")
    if args.walk and not args.front.startswith("sim://"):
        parser.error("--walk needs a sim:// front")
    return args


class Status:
    """One line on a terminal, rewritten twice a second: ticks/s, rows written, file."""

    def __init__(self, stream: TextIO, recorder: Recorder) -> None:
        self.stream, self.recorder = stream, recorder
        self.live = stream.isatty()
        self.ticks = 0
        self._last, self._last_ticks = time.monotonic(), 0
        self._width = 0

    def tick(self) -> None:
        self.ticks += 1
        if self.live and not self.ticks & 63:
            self.show()

    def show(self, force: bool = False) -> None:
        now = time.monotonic()
        if not self.live or (not force and now - self._last < 0.5):
            return
        rate = (self.ticks - self._last_ticks) / max(now - self._last, 1e-9)
        self._last, self._last_ticks = now, self.ticks
        files = ", ".join(path.name for path in self.recorder.files) or "-"
        line = f"{rate:9.0f} ticks/s  {self.recorder.rows:,} rows written  {files}"
        self.stream.write("\r" + line.ljust(self._width))
        self.stream.flush()
        self._width = len(line)

    def end(self) -> None:
        if self.live and self._width:
            self.stream.write("\n")
            self.stream.flush()


def record_main(argv: Sequence[str] | None = None) -> int:
    """``python -m ctp record --instruments rb2705,au2706 --out DIR`` (see ``--help``)."""
    args = parse(argv)
    logging.basicConfig(level=logging.INFO if args.verbose else logging.WARNING, stream=sys.stderr,
                        format="%(asctime)s %(name)s %(levelname)s %(message)s")
    password = os.environ.get("CTP_PASSWORD")
    if password is None:
        password = getpass.getpass(f"password for {args.user}: ") if sys.stdin.isatty() else ""
    from .._md import MarketData   # loads the market-data module only now
    recorder = Recorder(args.out)
    status = Status(sys.stderr, recorder)
    walking: list[str] = []
    failed = 0
    stop = threading.Event()
    default = signal.getsignal(signal.SIGINT)

    def interrupted(number: int, frame: object) -> None:
        # The first Ctrl-C stops after the tick in hand (within IDLE seconds); a second one interrupts.
        stop.set()
        signal.signal(signal.SIGINT, default)
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, interrupted)
    try:
        with MarketData(args.front, args.broker, args.user, password, flow=args.flow, timeout=args.timeout) as md:
            deadline = None if args.duration is None else time.monotonic() + args.duration
            stream = md.ticks(timeout=IDLE)      # before subscribing: the snapshots come with the replies
            md.subscribe(*args.instruments)
            if args.walk:
                from .. import sim
                for n, instrument in enumerate(args.instruments):
                    sim.walk(args.front, instrument, args.seed + n, args.walk)
                    walking.append(instrument)
            while not stop.is_set() and (deadline is None or time.monotonic() < deadline):
                for tick in stream:
                    recorder.write(tick)
                    status.tick()
                    if stop.is_set() or (deadline is not None and time.monotonic() >= deadline):
                        break
                else:
                    # Quiet for a moment: what waits in memory goes to the journal, and a new stream goes on.
                    stream.close()
                    recorder.flush()
                    status.show()
                    stream = md.ticks(timeout=IDLE)
                    continue
                break
            stream.close()
    except KeyboardInterrupt:
        pass
    except (CtpError, Disconnected, Overflowed, TimeoutError) as error:
        print(f"record failed: {error}", file=sys.stderr)
        failed = 1
    finally:
        if threading.current_thread() is threading.main_thread():
            signal.signal(signal.SIGINT, default)
        if walking:
            from .. import sim
            for instrument in walking:
                sim.walk(args.front, instrument, 0, 0)
        status.show(force=True)
        status.end()
        files = recorder.files
        recorder.close()
    print(f"{status.ticks} ticks recorded in {args.out}" + (f": {', '.join(p.name for p in files)}" if files else ""),
          file=sys.stderr)
    return failed
