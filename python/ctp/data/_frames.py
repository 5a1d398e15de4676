"""pandas frames from ticks and from a client's records: bars and tables."""

from __future__ import annotations

import datetime
import os
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, Any

import numpy as np

from .._trading import BaseOrder
from . import _deps, _reader, _store

if TYPE_CHECKING:
    import pandas as pd

BAR_INPUT = ["InstrumentID", "TradingDay", "Timestamp", "LastPrice", "Volume", "Turnover", "OpenInterest"]
"""The tick columns ``bars`` reads."""
_CST = datetime.timezone(datetime.timedelta(hours=8))


def bars(ticks: pd.DataFrame | str | os.PathLike[str], freq: str = "1min") -> pd.DataFrame:
    """OHLCV bars of ``freq`` (a fixed length pandas reads: "1min", "5s", "1h")
    from ticks: a DataFrame as ``ctp.data.ticks`` returns it (or a recording
    to read it from). One row per instrument, trading day and bar, ordered so:
    ``InstrumentID``, ``TradingDay``, ``time`` (the bar's start, China
    Standard Time, aligned to its clock), ``open``, ``high``, ``low``, ``close``
    (of LastPrice, NaN in a bar with no price), ``volume`` and ``turnover``
    (traded inside the bar), ``open_interest`` (the last), ``ticks``.

    - The vendor's Volume and Turnover count from the start of the trading
      day: a bar gets the differences between consecutive ticks of its
      instrument. A trading day's first tick counts whole (a recording begun
      mid-session puts what traded before it into its first bar), and so does
      a tick whose totals fell (the front started a new day's count).
    - The night session belongs to the trading day the ticks carry
      (TradingDay: the next one): no bar mixes two trading days.
    - A bar holds the ticks inside it and nothing else: no empty bars are made
      for breaks, nights or holidays, and a bar opens with its first tick.
    - Ticks without a time (an ActionDay or UpdateTime that does not parse)
      are left out; what they traded counts in the next tick of their instrument.
    """
    pd = _deps.pandas()
    if not isinstance(ticks, pd.DataFrame):
        ticks = _reader.ticks(ticks, columns=BAR_INPUT)
    step = pd.Timedelta(freq).value
    if step <= 0:
        raise ValueError(f"freq must be a positive length of time, not {freq!r}")
    missing = [c for c in BAR_INPUT if c not in ticks.columns]
    if missing:
        raise ValueError(f"bars needs the tick columns {', '.join(BAR_INPUT)}; missing {', '.join(missing)}")
    stamps = pd.DatetimeIndex(ticks["Timestamp"])
    if stamps.tz is None:
        stamps = stamps.tz_localize(_CST)
    timed = ~np.asarray(stamps.isna())
    t = ticks.loc[timed, BAR_INPUT]
    ns = stamps[timed].asi8
    volume = t["Volume"].astype("int64")
    turnover = t["Turnover"].astype("float64")
    by = t.groupby("InstrumentID", sort=False)
    before_volume, before_turnover, before_day = (by["Volume"].shift().astype("float64"),
                                                  by["Turnover"].shift(), by["TradingDay"].shift())
    fresh = (before_day.isna() | (t["TradingDay"] != before_day) | (volume < before_volume)
             | (turnover < before_turnover)).to_numpy()
    local = ns + _store.CST_OFFSET_NS
    start = local - local % step - _store.CST_OFFSET_NS
    rows = pd.DataFrame({
        "InstrumentID": t["InstrumentID"].to_numpy(), "TradingDay": t["TradingDay"].to_numpy(), "start": start,
        "price": t["LastPrice"].to_numpy(dtype="float64"),
        "volume": np.where(fresh, volume, volume - before_volume).astype("int64"),
        "turnover": np.where(fresh, turnover, turnover - before_turnover),
        "open_interest": t["OpenInterest"].to_numpy(dtype="float64")})
    out = rows.groupby(["InstrumentID", "TradingDay", "start"], sort=True).agg(
        open=("price", "first"), high=("price", "max"), low=("price", "min"), close=("price", "last"),
        volume=("volume", "sum"), turnover=("turnover", "sum"), open_interest=("open_interest", "last"),
        ticks=("price", "size")).reset_index()
    out.insert(2, "time", pd.to_datetime(out.pop("start"), unit="ns", utc=True).dt.tz_convert(_CST))
    return out


def _order_row(order: BaseOrder) -> dict[str, Any]:
    if order.data is not None:
        row = dict(order.data)
    else:   # never reported by the front: what the order was asked to be
        row = {"ExchangeID": order.exchange, "InstrumentID": order.instrument, "OrderSysID": order.order_sys_id,
               "OrderRef": order.order_ref, "FrontID": order.front_id, "SessionID": order.session_id,
               "Direction": order.direction, "CombOffsetFlag": order.offset, "LimitPrice": order.price,
               "VolumeTotalOriginal": order.volume, "VolumeTraded": order.traded, "OrderStatus": order.status,
               "OrderSubmitStatus": order.submit_status, "StatusMsg": order.status_msg}
    row["Error"] = None if order.error is None else str(order.error)
    return row


def frame(records: Iterable[Mapping[str, Any] | BaseOrder]) -> pd.DataFrame:
    """A client's records as a DataFrame, one row each, the columns in the
    records' order: orders, trades, positions or any query's records (dicts),
    or ``Order`` objects (their latest RtnOrder record, or what they were
    asked to be if the front never reported them, plus ``Error``: why it was
    refused, else None). Unset prices (the largest double) become NaN."""
    pd = _deps.pandas()
    rows = [_order_row(r) if isinstance(r, BaseOrder) else dict(r) for r in records]
    out = pd.DataFrame.from_records(rows)
    for column in out.columns:
        if out[column].dtype == np.float64:
            out[column] = out[column].where(out[column] != _store.UNSET)
    return out
