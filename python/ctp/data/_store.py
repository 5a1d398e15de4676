"""The recording directory: the files' names, their Arrow schemas, records to
Arrow batches, the journal that keeps what a killed recorder wrote, and the
recovery that turns a dead recorder's journal into its Parquet file.

One file per kind, trading day and recorder: ``ticks-20261208.parquet``
(``orders-...``, ``trades-...``); a second recorder of the same day (or one
started again) writes ``ticks-20261208-1.parquet`` and so on. While a day is
being recorded its rows are in ``ticks-20261208.arrows``, an Arrow IPC stream
that grows by one batch per flush (each written with one ``write``), and its
Parquet file grows under ``ticks-20261208.parquet.tmp``; finishing the day
renames the Parquet file into place and deletes the journal. A recorder holds
a lock (``flock``) on its journal for as long as it writes it, so that
``recover`` tells a dead recorder's journal from a live one: the kernel drops
the lock when the process dies, however it dies."""

from __future__ import annotations

import contextlib
import errno
import fcntl
import os
import re
import sys
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any, Final

import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

from .schema import KINDS, RECEIVE_TIME, TIMESTAMP, Kind, Members

UNSET: Final = sys.float_info.max
"""The vendor's value for a price not set, stored as null."""
CST: Final = "+08:00"
"""China Standard Time: the exchanges' clock, UTC+8 all year."""
CST_OFFSET_NS: Final = 8 * 3600 * 1_000_000_000
TIME_TYPE: Final = pa.timestamp("ns", tz=CST)

_ARROW: Final[dict[Kind, Any]] = {"text": pa.string(), "int": pa.int32(), "real": pa.float64()}
_NAME = re.compile(r"^(?P<kind>[a-z]+)-(?P<day>[^-.]*)(?:-(?P<seq>\d+))?\.(?P<ext>parquet|arrows)$")
LOCK_NAME: Final = ".lock"


def members(kind: str) -> Members:
    try:
        return KINDS[kind]
    except KeyError:
        raise ValueError(f"kind must be one of {', '.join(KINDS)}, not {kind!r}") from None


def arrow_schema(kind: str) -> Any:
    """The columns of a kind's files: the record's members, then (ticks) the
    exchange time, then the receive time."""
    fields = [pa.field(name, _ARROW[k]) for name, k in members(kind)]
    if kind == "ticks":
        fields.append(pa.field(TIMESTAMP, TIME_TYPE))
    fields.append(pa.field(RECEIVE_TIME, TIME_TYPE, nullable=False))
    return pa.schema(fields, metadata={"ctp.kind": kind})


_RECORD_TYPES: dict[str, Any] = {}


def _record_type(kind: str) -> Any:
    if kind not in _RECORD_TYPES:
        _RECORD_TYPES[kind] = pa.struct([pa.field(name, _ARROW[k]) for name, k in members(kind)])
    return _RECORD_TYPES[kind]


def to_batch(kind: str, records: Sequence[Any], received: Sequence[int]) -> Any:
    """Records (dicts as the modules deliver them) and their receive times (ns
    since the epoch) as one RecordBatch of the kind's schema. A missing member
    is null; a member of the wrong type raises (pyarrow's ArrowInvalid or
    ArrowTypeError)."""
    # pyarrow converts dicts to a struct array in one pass in C++: far faster than column lists.
    columns = pa.array(records, type=_record_type(kind)).flatten()
    out = []
    for (name, k), column in zip(members(kind), columns):
        if k == "real":
            unset = pc.equal(column, UNSET)
            if pc.any(unset).as_py():
                column = pc.if_else(unset, pa.scalar(None, pa.float64()), column)
        out.append(column)
    if kind == "ticks":
        out.append(exchange_time(columns[1], columns[2], columns[3]))
    out.append(pa.array(received, pa.int64()).cast(TIME_TYPE))
    return pa.RecordBatch.from_arrays(out, schema=arrow_schema(kind))


def exchange_time(action_day: Any, update_time: Any, millisec: Any) -> Any:
    """ActionDay (YYYYMMDD), UpdateTime (HH:MM:SS) and UpdateMillisec read in
    China Standard Time, as nanoseconds; null where the day or the time does
    not parse."""
    seconds = pc.strptime(pc.binary_join_element_wise(action_day, update_time, ""), format="%Y%m%d%H:%M:%S",
                          unit="s", error_is_null=True)
    ns = pc.add(pc.multiply(seconds.cast(pa.int64()), 1_000_000_000),
                pc.multiply(millisec.cast(pa.int64()), 1_000_000))
    return pc.subtract(ns, CST_OFFSET_NS).cast(TIME_TYPE)


# ---- names -------------------------------------------------------------------------


def day_name(day: str) -> str:
    """A trading day as it goes into a file name (the vendor's YYYYMMDD, anything else made safe)."""
    return re.sub(r"[^0-9A-Za-z]", "_", day) or "unknown"


def base_name(kind: str, day: str, seq: int) -> str:
    return f"{kind}-{day_name(day)}" + (f"-{seq}" if seq else "")


def parse_name(name: str) -> tuple[str, str, int, str] | None:
    """(kind, day, seq, extension) of a recording's file name, or None."""
    match = _NAME.match(name)
    if match is None or match["kind"] not in KINDS:
        return None
    return match["kind"], match["day"], int(match["seq"] or 0), match["ext"]


@contextlib.contextmanager
def directory_lock(directory: Path) -> Iterator[None]:
    """Held while a recorder picks its file names and while recovery looks for dead journals."""
    fd = os.open(directory / LOCK_NAME, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


def _locked(fd: int) -> bool:
    """Whether another process (a live recorder) holds the lock on this open file."""
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError as error:
        if error.errno in (errno.EWOULDBLOCK, errno.EAGAIN):
            return True
        raise
    return False


# ---- the journal ---------------------------------------------------------------------


class Journal:
    """An Arrow IPC stream written one batch at a time, each batch as one
    encapsulated message with one ``write`` straight to the file (no buffer in
    this process), under a lock held until closed."""

    def __init__(self, path: Path, schema: Any) -> None:
        self.path = path
        self._fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_APPEND | os.O_CLOEXEC, 0o644)
        try:
            fcntl.flock(self._fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            self._size = 0
            self._write(schema.serialize())
        except BaseException:
            os.close(self._fd)
            raise

    def write(self, batch: Any) -> None:
        self._write(batch.serialize())

    def _write(self, message: Any) -> None:
        """Appends a message whole or not at all: one cut short (a full disk, Ctrl-C) is cut off again,
        so that what follows is not lost behind it."""
        try:
            with memoryview(message) as data:
                while data:
                    data = data[os.write(self._fd, data):]
        except BaseException:
            os.ftruncate(self._fd, self._size)
            raise
        self._size += len(message)

    def close(self) -> None:
        """Closes the file and drops the lock (the stream is left without its end marker: readers do not need it)."""
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1


def read_journal(path: Path) -> Iterator[Any]:
    """The complete batches of a journal, in order (FileNotFoundError at once
    if there is none). A torn last batch (a recorder killed while writing it,
    or one still writing it) ends the stream; so does a journal too short to
    hold its schema."""
    return _batches(pa.OSFile(str(path)))


def _batches(source: Any) -> Iterator[Any]:
    with source:
        try:
            reader = pa.ipc.open_stream(source)
        except (pa.ArrowInvalid, OSError):
            return
        while True:
            try:
                batch = reader.read_next_batch()
            except StopIteration:
                return
            except (pa.ArrowInvalid, OSError):
                return
            yield batch


# ---- Parquet files -----------------------------------------------------------------------


def parquet_writer(path: Path, schema: Any) -> Any:
    return pq.ParquetWriter(str(path), schema, compression="snappy")


def publish(tmp: Path, final: Path) -> None:
    """Makes a finished Parquet file visible under its name, on disk before its name is."""
    fd = os.open(tmp, os.O_RDONLY | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
    os.replace(tmp, final)
    dfd = os.open(final.parent, os.O_RDONLY | os.O_CLOEXEC)
    try:
        os.fsync(dfd)
    finally:
        os.close(dfd)


def tmp_path(final: Path) -> Path:
    return final.with_name(final.name + ".tmp")


def recover(directory: str | os.PathLike[str], *, row_group_size: int = 65536) -> list[Path]:
    """Finishes what dead recorders left in a recording directory: each
    journal that no live recorder holds becomes its Parquet file (every
    complete batch it holds, in order) unless that file exists already, and
    is then deleted with any half-written Parquet file beside it. Returns the
    files made. Recorders do this for their directory when they start."""
    root = Path(directory)
    made = []
    with directory_lock(root):
        for journal in sorted(root.glob("*.arrows")):
            parsed = parse_name(journal.name)
            if parsed is None:
                continue
            final = journal.with_suffix(".parquet")
            try:
                fd = os.open(journal, os.O_RDONLY | os.O_CLOEXEC)
            except FileNotFoundError:
                continue
            try:
                if _locked(fd):
                    continue
                if not final.exists():
                    _rewrite(parsed[0], journal, final, row_group_size)
                    made.append(final)
                tmp_path(final).unlink(missing_ok=True)
                journal.unlink()
            finally:
                os.close(fd)
        for tmp in root.glob("*.parquet.tmp"):
            # A live recorder's half-written file has its journal beside it; without one it is a leftover.
            if not tmp.with_name(tmp.name.removesuffix(".parquet.tmp") + ".arrows").exists():
                tmp.unlink(missing_ok=True)
    return made


def _rewrite(kind: str, journal: Path, final: Path, row_group_size: int) -> None:
    schema = arrow_schema(kind)
    tmp = tmp_path(final)
    writer = parquet_writer(tmp, schema)
    try:
        pending: list[Any] = []
        rows = 0
        for batch in read_journal(journal):
            pending.append(batch)
            rows += batch.num_rows
            if rows >= row_group_size:
                writer.write_table(pa.Table.from_batches(pending, schema), row_group_size=rows)
                pending, rows = [], 0
        if pending:
            writer.write_table(pa.Table.from_batches(pending, schema), row_group_size=rows)
    finally:
        writer.close()
    publish(tmp, final)
