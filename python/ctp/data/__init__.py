"""Market data at rest: record ticks (and a session's orders and trades) to
Parquet, read them back as pandas DataFrames or tick by tick, make bars.

    with ctp.data.Recorder("ticks/") as recorder:      # one file per trading day
        for tick in md.ticks():
            recorder.write(tick)
    frame = ctp.data.ticks("ticks/", ["rb2705"], start="2026-12-08 09:00")
    ctp.data.bars(frame, "1min")
    for tick in ctp.data.iter_ticks("ticks/"):           # as recorded, in the order received
        ...
    ctp.data.tape("ticks/")                              # a tape for sim://NAME?replay=ticks/

Needs pyarrow, and pandas for the DataFrames: the package's ``data`` extra
(``pip install 'ctp[data]'``). Trading needs neither: ``import ctp`` loads
none of this."""

from __future__ import annotations

try:
    import pyarrow  # noqa: F401
    import pyarrow.parquet  # noqa: F401
except ImportError as error:
    from ._deps import missing
    raise missing("ctp.data", error) from error

from ._cli import record_main
from ._frames import bars, frame
from ._reader import iter_tables, iter_ticks, ticks
from ._recorder import Recorder
from ._store import recover
from ._tape import read_tape, tape
from .schema import DEPTH_MARKET_DATA, ORDER, RECEIVE_TIME, TIMESTAMP, TRADE

__all__ = [
    "DEPTH_MARKET_DATA",
    "ORDER",
    "RECEIVE_TIME",
    "TIMESTAMP",
    "TRADE",
    "Recorder",
    "bars",
    "frame",
    "iter_tables",
    "iter_ticks",
    "record_main",
    "read_tape",
    "recover",
    "tape",
    "ticks",
]
