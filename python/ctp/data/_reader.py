"""Reading a recording back: Arrow tables in time order, streamed row group by
row group, as tick dicts for a replay or as one pandas DataFrame."""

from __future__ import annotations

import collections
import datetime
import os
from collections.abc import Callable, Iterable, Iterator, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

from . import _deps, _store
from .schema import RECEIVE_TIME, TIMESTAMP, Kind

if TYPE_CHECKING:
    import pandas as pd

Time = str | datetime.datetime | datetime.date | int | Any
"""A point in time: a datetime (naive ones in China Standard Time), a text that
pandas reads as one ("2026-12-08 09:30"), a pandas Timestamp, or ns since the epoch."""

SLICE = 1024
"""Rows turned into dicts at a time (fastest around a thousand: the dicts stay in the caches)."""
PIECE = 16384
"""Rows read from a Parquet file at a time."""


def to_ns(when: Time) -> int:
    """A point in time as ns since the epoch; naive times are China Standard Time."""
    if isinstance(when, int):
        return when
    import pandas as pd
    stamp = pd.Timestamp(when)
    if stamp.tzinfo is None:
        stamp = stamp.tz_localize(_store.CST)
    return int(stamp.value)


# ---- the files -----------------------------------------------------------------------------


class _Source:
    """One recorder's file of one day: its Parquet file, or while it is being
    written (or after its recorder died) its journal."""

    def __init__(self, path: Path) -> None:
        self.path = path

    def start(self) -> int | None:
        """The first receive time in it (from a Parquet file's statistics, or a journal's first batch)."""
        if self.path.suffix != ".parquet":
            try:
                for batch in _store.read_journal(self.path):
                    if batch.num_rows:
                        return int(batch.column(RECEIVE_TIME).cast(pa.int64())[0].as_py())
            except FileNotFoundError:
                pass
            return None
        try:
            meta = pq.ParquetFile(str(self.path)).metadata
        except FileNotFoundError:
            return None
        if meta.num_row_groups == 0:
            return None
        column = meta.schema.names.index(RECEIVE_TIME)
        stats = meta.row_group(0).column(column).statistics
        return None if stats is None or not stats.has_min_max else int(stats.min_raw)

    def tables(self, keep: _Filter) -> Iterator[Any]:
        if self.path.suffix == ".parquet":
            yield from self._parquet(self.path, keep)
            return
        try:
            batches = _store.read_journal(self.path)
        except FileNotFoundError:
            # Its recorder finished the day meanwhile: the Parquet file holds it all.
            yield from self._parquet(self.path.with_suffix(".parquet"), keep)
            return
        for batch in batches:
            table = keep.rows(pa.Table.from_batches([batch]))
            if table.num_rows:
                yield table

    @staticmethod
    def _parquet(path: Path, keep: _Filter) -> Iterator[Any]:
        file = pq.ParquetFile(str(path))
        meta = file.metadata
        for group in range(meta.num_row_groups):
            if keep.skips(meta, group):
                continue
            # In pieces: a row group can be large, and a replay wants only a few thousand rows at once.
            for batch in file.iter_batches(batch_size=PIECE, row_groups=[group], columns=keep.read):
                table = keep.rows(pa.Table.from_batches([batch]))
                if table.num_rows:
                    yield table


def sources(path: str | os.PathLike[str], kind: str) -> list[_Source]:
    """A recording's files of one kind, by trading day and recorder; a single
    Parquet file or journal is taken as it is."""
    root = Path(path)
    if root.is_file():
        parsed = _store.parse_name(root.name)
        if parsed is not None and parsed[0] != kind:
            raise ValueError(f"{root.name} holds {parsed[0]}: pass kind={parsed[0]!r}")
        return [_Source(root)]
    if not root.is_dir():
        raise FileNotFoundError(f"no recording at {root}")
    found: dict[tuple[str, int], Path] = {}
    for entry in root.iterdir():
        parsed = _store.parse_name(entry.name)
        if parsed is None or parsed[0] != kind:
            continue
        _, day, seq, ext = parsed
        # A finished file wins over the journal its recorder has not deleted yet.
        if ext == "parquet" or (day, seq) not in found:
            found[day, seq] = entry
    return [_Source(found[key]) for key in sorted(found)]


class _Filter:
    """Which rows to keep, and the row groups whose statistics show none of them."""

    def __init__(self, kind: str, instruments: Iterable[str] | None, start: Time | None, end: Time | None,
                 columns: Sequence[str] | None) -> None:
        self.instruments = None if instruments is None else sorted(set(
            [instruments] if isinstance(instruments, str) else instruments))
        self.start = None if start is None else to_ns(start)
        self.end = None if end is None else to_ns(end)
        names = _store.arrow_schema(kind).names
        if (start is not None or end is not None) and TIMESTAMP not in names:
            raise ValueError(f"start and end select by {TIMESTAMP}, which {kind} do not have")
        if columns is None:
            self.columns = list(names)
        else:
            unknown = [c for c in columns if c not in names]
            if unknown:
                raise ValueError(f"no column {unknown[0]!r} in {kind}; the columns are {', '.join(names)}")
            self.columns = list(columns)
        # Read what the filters and the merge need too; drop it at the end.
        needed = {RECEIVE_TIME} | ({"InstrumentID"} if self.instruments is not None else set()) | (
            {TIMESTAMP} if self.start is not None or self.end is not None else set())
        self.read = [n for n in names if n in needed or n in self.columns]

    def skips(self, meta: Any, group: int) -> bool:
        row_group = meta.row_group(group)
        names = meta.schema.names
        if self.start is not None or self.end is not None:
            stats = row_group.column(names.index(TIMESTAMP)).statistics
            if stats is not None and stats.has_min_max:
                low, high = int(stats.min_raw), int(stats.max_raw)
                if (self.start is not None and high < self.start) or (self.end is not None and low >= self.end):
                    return True
        if self.instruments is not None:
            stats = row_group.column(names.index("InstrumentID")).statistics
            if stats is not None and stats.has_min_max:
                first, last = _text(stats.min_raw), _text(stats.max_raw)
                if not any(first <= i <= last for i in self.instruments):
                    return True
        return False

    def rows(self, table: Any) -> Any:
        table = table.select(self.read)
        mask = None
        if self.instruments is not None:
            mask = pc.is_in(table.column("InstrumentID"), value_set=pa.array(self.instruments, pa.string()))
        if self.start is not None or self.end is not None:
            stamps = table.column(TIMESTAMP).cast(pa.int64())
            for bound, compare in ((self.start, pc.greater_equal), (self.end, pc.less)):
                if bound is not None:
                    inside = compare(stamps, bound)
                    mask = inside if mask is None else pc.and_(mask, inside)
        if mask is not None:
            table = table.filter(pc.fill_null(mask, False))
        return table


def values(array: Any, dtype: type[np.generic]) -> Any:
    """A primitive array without nulls as a numpy view of its buffer (pyarrow's to_numpy imports pandas)."""
    return np.frombuffer(array.buffers()[1], dtype=dtype, count=len(array), offset=array.offset * array.type.byte_width)


def _text(value: Any) -> str:
    return value.decode("utf-8", "replace") if isinstance(value, bytes) else str(value)


# ---- time order -----------------------------------------------------------------------------


class _Stream:
    """One source's tables, one at a time, with their receive times made non-decreasing (a
    clock stepped back keeps the rows where the recorder wrote them)."""

    def __init__(self, source: _Source, keep: _Filter) -> None:
        self.start = source.start()
        self._tables = source.tables(keep)
        self.head: Any = None
        self.keys: Any = None

    def pull(self) -> bool:
        for table in self._tables:
            received = values(table.column(RECEIVE_TIME).combine_chunks().cast(pa.int64()), np.int64)
            self.head, self.keys = table, np.maximum.accumulate(received)
            return True
        self.head = self.keys = None
        return False


def merged(streams: list[_Stream]) -> Iterator[Any]:
    """The streams' rows as tables in the order they were received. A stream
    is opened only once the others reached its first receive time, so files
    that do not overlap in time are read one after the other."""
    pending = collections.deque(sorted(streams, key=lambda s: -2**63 if s.start is None else s.start))
    active: list[_Stream] = []
    while True:
        if not active:
            while pending and not active:
                stream = pending.popleft()
                if stream.pull():
                    active.append(stream)
            if not active:
                return
        bound = min(int(s.keys[-1]) for s in active)
        while pending and (pending[0].start is None or pending[0].start <= bound):
            stream = pending.popleft()
            if stream.pull():
                active.append(stream)
                bound = min(bound, int(stream.keys[-1]))
        parts, keys = [], []
        for stream in active:
            n = int(np.searchsorted(stream.keys, bound, side="right"))
            if n:
                parts.append(stream.head.slice(0, n))
                keys.append(stream.keys[:n])
                stream.head, stream.keys = stream.head.slice(n), stream.keys[n:]
        if len(parts) == 1:
            yield parts[0]
        elif parts:
            order = np.argsort(np.concatenate(keys), kind="stable")
            yield pa.concat_tables(parts).take(pa.array(order))
        active = [s for s in active if len(s.keys) or s.pull()]


# ---- the public face --------------------------------------------------------------------------


def iter_tables(path: str | os.PathLike[str], instruments: Iterable[str] | None = None, start: Time | None = None,
                end: Time | None = None, *, kind: str = "ticks", columns: Sequence[str] | None = None) -> Iterator[Any]:
    """A recording (a directory, or one of its files) as pyarrow Tables in the
    order the rows were received, read one row group at a time: only rows of
    ``instruments`` (None: all) with ``start <= Timestamp < end`` (either may be
    None), only the ``columns`` given (None: all). Row groups whose statistics
    rule them out are not read."""
    keep = _Filter(kind, instruments, start, end, columns)
    for table in merged([_Stream(source, keep) for source in sources(path, kind)]):
        yield table.select(keep.columns)


def _converters(kind: str) -> list[Callable[[Any], list[Any]]]:
    def real(column: Any) -> list[Any]:
        return list(values(pc.fill_null(column, _store.UNSET), np.float64).tolist())

    def integer(column: Any) -> list[Any]:
        return list(values(pc.fill_null(column, 0), np.int32).tolist())

    def text(column: Any) -> list[Any]:
        # Few distinct values (days, times, ids): one str each, shared.
        encoded = pc.dictionary_encode(pc.fill_null(column, ""))
        strings = np.array(encoded.dictionary.to_pylist(), dtype=object)
        return list(strings[values(encoded.indices, np.int32)].tolist())

    by_kind: dict[Kind, Callable[[Any], list[Any]]] = {"real": real, "int": integer, "text": text}
    return [by_kind[k] for _, k in _store.members(kind)]


def _builder(names: Sequence[str]) -> Callable[..., list[dict[str, Any]]]:
    """A function from column lists to row dicts, written out as one dict display per row (the fastest
    way CPython has to build them), from the schema."""
    args = ", ".join(f"c{i}" for i in range(len(names)))
    values = ", ".join(f"v{i}" for i in range(len(names)))
    display = ", ".join(f"{name!r}: v{i}" for i, name in enumerate(names))
    namespace: dict[str, Any] = {}
    exec(f"def build({args}):\n    return [{{{display}}} for {values} in zip({args})]\n", namespace)
    return namespace["build"]  # type: ignore[no-any-return]


def iter_ticks(path: str | os.PathLike[str], instruments: Iterable[str] | None = None, start: Time | None = None,
               end: Time | None = None, *, kind: str = "ticks") -> Iterator[dict[str, Any]]:
    """The records of a recording one by one, in the order they were
    received, as the modules delivered them: the record's members only, in
    its order, unset prices as the largest double again (a tick dict equal
    to the one recorded). Holds a few thousand at a time. ``kind`` "orders" or
    "trades" gives a session's orders or trades."""
    names = [name for name, _ in _store.members(kind)]
    convert = _converters(kind)
    build = _builder(names)
    for table in iter_tables(path, instruments, start, end, kind=kind, columns=names):
        for batch in table.to_batches(max_chunksize=SLICE):
            yield from build(*[f(column) for f, column in zip(convert, batch.columns)])


def ticks(path: str | os.PathLike[str], instruments: Iterable[str] | None = None, start: Time | None = None,
          end: Time | None = None, *, kind: str = "ticks", columns: Sequence[str] | None = None) -> pd.DataFrame:
    """A recording as one pandas DataFrame, rows in the order received: typed
    columns, unset prices as NaN, ``Timestamp`` and ``ReceiveTime`` in China
    Standard Time. Selected as ``iter_tables`` does, row group by row group,
    so that only the rows asked for are ever held together."""
    _deps.pandas()
    keep = _Filter(kind, instruments, start, end, columns)
    tables = list(iter_tables(path, instruments, start, end, kind=kind, columns=columns))
    schema = _store.arrow_schema(kind)
    table = pa.concat_tables(tables) if tables else schema.empty_table().select(keep.columns)
    return table.to_pandas()
