"""``ctp.data.tape``: a recording's ticks as a replay tape, the file a simulated front replays
(``sim://NAME?replay=PATH``; standin/README.md, "Replay").

A tape is a 16-byte header (``CTPTAPE1``, the record size as a little-endian uint32, four zero
bytes) and then one fixed-size record per tick, in the order the ticks were received: the
members of a tick (``schema.DEPTH_MARKET_DATA``) in their order, packed, little-endian; texts as
NUL-padded bytes of the vendor's field size, integers as int32, prices as float64 with the
vendor's unset value (the largest double) where the recording holds a null. So the front reads it
a block at a time with no library, and a replay holds a few thousand ticks whatever the tape's size."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any, Final

import numpy as np
import pyarrow.compute as pc

from . import _reader, _store
from .schema import DEPTH_MARKET_DATA

MAGIC: Final = b"CTPTAPE1"
TAPE_NAME: Final = "ticks.tape"
"""The tape a recording directory holds (``replay=DIR`` reads it)."""
TEXT_SIZES: Final = {"TradingDay": 9, "ActionDay": 9, "UpdateTime": 9, "ExchangeID": 9, "InstrumentID": 81}
"""The vendor's field sizes of a tick's texts (terminating NUL included)."""

DTYPE: Final = np.dtype([(name, f"S{TEXT_SIZES[name]}" if kind == "text" else "<i4" if kind == "int" else "<f8")
                         for name, kind in DEPTH_MARKET_DATA])
"""One record of a tape."""


def header() -> bytes:
    return MAGIC + DTYPE.itemsize.to_bytes(4, "little") + bytes(4)


def _records(table: Any) -> Any:
    """A table's ticks as tape records."""
    out = np.zeros(table.num_rows, DTYPE)
    for name, kind in DEPTH_MARKET_DATA:
        column = table.column(name).combine_chunks()
        if kind == "text":
            encoded = pc.dictionary_encode(pc.fill_null(column, ""))
            strings = np.array([text.encode() for text in encoded.dictionary.to_pylist()] or [b""],
                               dtype=DTYPE[name])
            out[name] = strings[_reader.values(encoded.indices, np.int32)]
        elif kind == "int":
            out[name] = _reader.values(pc.fill_null(column, 0), np.int32)
        else:
            out[name] = _reader.values(pc.fill_null(column, _store.UNSET), np.float64)
    return out


def tape(recording: str | os.PathLike[str], out: str | os.PathLike[str] | None = None,
         instruments: Any = None, start: _reader.Time | None = None, end: _reader.Time | None = None) -> Path:
    """Writes a recording's ticks (a directory, or one of its files) to a replay tape and returns
    its path: ``out``, by default ``ticks.tape`` in the recording's directory. Only ticks of
    ``instruments`` (None: all) with ``start <= Timestamp < end`` go in, as ``iter_tables``
    selects them, read and written a row group at a time. Without a selection, a tape newer than
    every file of the recording is kept as it is."""
    source = Path(recording)
    path = Path(out) if out is not None else (source if source.is_dir() else source.parent) / TAPE_NAME
    if instruments is None and start is None and end is None and path.exists():
        made = path.stat().st_mtime_ns
        if all(s.path.stat().st_mtime_ns < made for s in _reader.sources(source, "ticks") if s.path.exists()):
            return path
    tmp = path.with_name(path.name + ".tmp")
    names = [name for name, _ in DEPTH_MARKET_DATA]
    with open(tmp, "wb") as file:
        file.write(header())
        for table in _reader.iter_tables(source, instruments, start, end, columns=names):
            if table.num_rows:
                file.write(_records(table).tobytes())
    os.replace(tmp, path)
    return path


def read_tape(path: str | os.PathLike[str]) -> Any:
    """A tape's records as a numpy array of ``DTYPE`` (memory-mapped: for tests and inspection)."""
    file = Path(path)
    if file.is_dir():
        file = file / TAPE_NAME
    with open(file, "rb") as handle:
        if handle.read(16) != header():
            raise ValueError(f"{file} is not a tape of this version")
    return np.memmap(file, DTYPE, mode="r", offset=16)


__all__ = ["DTYPE", "TAPE_NAME", "read_tape", "tape"]
