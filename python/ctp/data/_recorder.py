"""``ctp.data.Recorder``: ticks (and a session's orders and trades) to Parquet,
one file per trading day, durable batch by batch."""

from __future__ import annotations

import logging
import os
import threading
import time
from collections.abc import Mapping
from pathlib import Path
from types import TracebackType
from typing import Any, Self

import pyarrow as pa
import pyarrow.compute as pc

from .._trading import BaseOrder
from . import _store
from .schema import KINDS

log = logging.getLogger("ctp.data")
log.addHandler(logging.NullHandler())

EVENT_KINDS = {"RtnDepthMarketData": "ticks", "RtnOrder": "orders", "RtnTrade": "trades"}


class _Day:
    """One kind's file of one trading day, being written: its journal, and its
    Parquet file under the temporary name, row group by row group."""

    def __init__(self, directory: Path, kind: str, day: str, schema: Any, row_group_size: int) -> None:
        self.schema = schema
        self.row_group_size = row_group_size
        with _store.directory_lock(directory):
            seq = 0
            while True:
                name = _store.base_name(kind, day, seq)
                self.path = directory / f"{name}.parquet"
                journal = directory / f"{name}.arrows"
                if not (self.path.exists() or journal.exists() or _store.tmp_path(self.path).exists()):
                    break
                seq += 1
            self.journal = _store.Journal(journal, schema)
        try:
            self.writer = _store.parquet_writer(_store.tmp_path(self.path), schema)
        except BaseException:
            self.journal.close()
            raise
        self.pending: list[Any] = []
        self.pending_rows = 0

    def row_groups(self, batch: Any) -> None:
        """Takes a batch already in the journal towards the Parquet file's next row group."""
        self.pending.append(batch)
        self.pending_rows += batch.num_rows
        if self.pending_rows >= self.row_group_size:
            self._row_group()

    def _row_group(self) -> None:
        if self.pending:
            table = pa.Table.from_batches(self.pending, self.schema)
            self.writer.write_table(table, row_group_size=max(self.pending_rows, 1))
            self.pending, self.pending_rows = [], 0

    def finish(self) -> None:
        """Writes the last row group and the footer, renames the file into
        place, then deletes the journal."""
        try:
            self._row_group()
            self.writer.close()
            _store.publish(_store.tmp_path(self.path), self.path)
            self.journal.path.unlink()
        finally:
            self.journal.close()


class _Kind:
    """The records of one kind waiting for the next flush, and its days being written."""

    def __init__(self, kind: str) -> None:
        self.kind = kind
        self.schema = _store.arrow_schema(kind)
        self.records: list[Any] = []
        self.received: list[int] = []
        self.due = 0.0
        """When the records waiting must go to the journal (monotonic clock)."""
        self.days: dict[str, _Day] = {}


class Recorder:
    """Writes ticks (RtnDepthMarketData's "data" dicts) to Parquet in a
    directory: one file per trading day (TradingDay), typed columns (the
    record's members; text as strings, integers as int32, reals as float64
    with the vendor's unset value as null), plus ``Timestamp`` (the exchange
    time from ActionDay, UpdateTime and UpdateMillisec in China Standard Time)
    and ``ReceiveTime`` (this machine's clock when ``write`` got it), both in
    nanoseconds. A session's orders and trades go beside them, in
    ``orders-DAY.parquet`` and ``trades-DAY.parquet``.

    Records wait in memory until ``flush_rows`` of a kind are waiting or the
    oldest waited ``flush_interval`` seconds (checked at each write; call
    ``flush`` when the stream goes quiet), then go as one batch into the day's
    journal with one ``write`` call: from then on they survive the process
    being killed in any way. Parquet row groups of ``row_group_size`` rows
    follow. ``close`` (or the end of a ``with``) writes everything and
    finishes each file; a recorder that died leaves its journal, which the
    readers read and ``recover`` (run by every new recorder of the directory)
    turns into the day's file. A SIGKILL loses only the records waiting in
    memory.

    At most two trading days are open per kind at once (at night some
    exchanges still stamp the day session's trading day); a record of a
    third day finishes the oldest. Safe to share between threads.
    """

    def __init__(self, directory: str | os.PathLike[str], *, flush_rows: int = 8192, flush_interval: float = 1.0,
                 row_group_size: int = 65536) -> None:
        if flush_rows < 1 or row_group_size < 1 or not flush_interval >= 0:
            raise ValueError("flush_rows and row_group_size must be at least 1, flush_interval at least 0")
        self.directory = Path(directory)
        self.directory.mkdir(parents=True, exist_ok=True)
        self.flush_rows = flush_rows
        self.flush_interval = flush_interval
        self.row_group_size = row_group_size
        self._lock = threading.Lock()
        self._kinds = {kind: _Kind(kind) for kind in KINDS}
        self._ticks = self._kinds["ticks"]
        self._last_day = ""
        self._closed = False
        self.rows = 0
        """Rows written to the journals so far (safe from a crash of this process)."""
        for made in _store.recover(self.directory, row_group_size=row_group_size):
            log.warning("recovered %s from a recorder that did not finish", made)

    # ---- writing --------------------------------------------------------------------------

    def write(self, tick: Mapping[str, Any], received: int | None = None) -> None:
        """Records one tick (RtnDepthMarketData's "data"); ``received``: when it
        arrived, in ns since the epoch (by default now)."""
        self._add(self._ticks, tick, received)

    def write_order(self, order: Mapping[str, Any] | BaseOrder, received: int | None = None) -> None:
        """Records an order: RtnOrder's record, or a client's ``Order`` (its latest RtnOrder record)."""
        if isinstance(order, BaseOrder):
            if order.data is None:
                return
            order = order.data
        self._add(self._kinds["orders"], order, received)

    def write_trade(self, trade: Mapping[str, Any], received: int | None = None) -> None:
        """Records a trade (RtnTrade's record)."""
        self._add(self._kinds["trades"], trade, received)

    def record(self, event: Mapping[str, Any]) -> bool:
        """Records an event if it is a tick, an order or a trade (from
        ``events()`` of a client or a market-data session); returns whether it did."""
        kind = EVENT_KINDS.get(event.get("name", ""))
        data = event.get("data")
        if kind is None or data is None:
            return False
        self._add(self._kinds[kind], data, None)
        return True

    def _add(self, kind: _Kind, record: Mapping[str, Any], received: int | None) -> None:
        now = time.time_ns() if received is None else received
        with self._lock:
            if self._closed:
                raise ValueError("the recorder is closed")
            if not kind.records:
                kind.due = time.monotonic() + self.flush_interval
            kind.records.append(record)
            kind.received.append(now)
            if len(kind.records) >= self.flush_rows or time.monotonic() >= kind.due:
                self._flush(kind)

    def flush(self) -> None:
        """Writes every record waiting in memory to the journals now."""
        with self._lock:
            for kind in self._kinds.values():
                self._flush(kind)

    def _flush(self, kind: _Kind) -> None:
        if not kind.records:
            return
        records, received = kind.records, kind.received
        try:
            batch = _store.to_batch(kind.kind, records, received)
        except (pa.ArrowInvalid, pa.ArrowTypeError):
            kind.records, kind.received = [], []
            self._flush_apart(kind, records, received)
            return
        days = batch.column("TradingDay")
        parts: list[tuple[str | None, Any, list[int] | None]]
        if pc.all(pc.equal(days, days[0])).as_py():
            parts = [(days[0].as_py(), batch, None)]
        else:
            parts = []
            for day in pc.unique(days).to_pylist():
                rows = pc.indices_nonzero(pc.equal(days, pa.scalar(day, pa.string())))
                parts.append((day, batch.take(rows), rows.to_pylist()))
        kind.records, kind.received = [], []
        for n, (day, part, rows) in enumerate(parts):
            writing = None
            try:
                writing = self._day(kind, day)
                writing.journal.write(part)
            except BaseException:
                # Not in a journal (Ctrl-C, a full disk): these rows and the next parts' wait again.
                waiting = [i for _, _, r in parts[n:] for i in (range(len(records)) if r is None else r)]
                kind.records = [records[i] for i in waiting]
                kind.received = [received[i] for i in waiting]
                raise
            self.rows += part.num_rows
            writing.row_groups(part)

    def _flush_apart(self, kind: _Kind, records: list[Any], received: list[int]) -> None:
        """Writes the records that convert and raises for the first that does not."""
        good: tuple[list[Any], list[int]] = ([], [])
        bad: tuple[Any, BaseException] | None = None
        for record, when in zip(records, received):
            try:
                _store.to_batch(kind.kind, [record], [when])
            except (pa.ArrowInvalid, pa.ArrowTypeError) as error:
                bad = bad or (record, error)
                continue
            good[0].append(record)
            good[1].append(when)
        kind.records, kind.received = good
        self._flush(kind)
        if bad is not None:
            raise ValueError(f"cannot record {bad[0]!r} with {kind.kind}: {bad[1]}") from bad[1]

    def _day(self, kind: _Kind, day: str | None) -> _Day:
        """The file of the day being written, opened if need be (finishing the oldest of two open)."""
        day = day or self._last_day     # an order or trade without its day goes with the latest
        if day > self._last_day:
            self._last_day = day
        writing = kind.days.get(day)
        if writing is None:
            while len(kind.days) >= 2:
                oldest = min(kind.days)
                log.info("finishing %s", kind.days[oldest].path)
                kind.days.pop(oldest).finish()
            writing = kind.days[day] = _Day(self.directory, kind.kind, day, kind.schema, self.row_group_size)
            log.info("recording %s to %s", kind.kind, writing.path)
        return writing

    # ---- state ------------------------------------------------------------------------------

    @property
    def files(self) -> list[Path]:
        """The Parquet files being written (each appears once finished)."""
        with self._lock:
            return [day.path for kind in self._kinds.values() for day in kind.days.values()]

    @property
    def waiting(self) -> int:
        """Records in memory, not yet in a journal."""
        with self._lock:
            return sum(len(kind.records) for kind in self._kinds.values())

    def close(self) -> None:
        """Writes what is waiting and finishes every file. A second call does nothing."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            errors: list[BaseException] = []
            for kind in self._kinds.values():
                try:
                    self._flush(kind)
                except Exception as error:
                    errors.append(error)
                for day in kind.days.values():
                    try:
                        day.finish()
                    except Exception as error:
                        errors.append(error)
                kind.days.clear()
            if errors:
                raise errors[0]

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()
