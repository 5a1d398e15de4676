"""The members of the records that ``ctp.data`` stores, with their kinds, in
the order the modules deliver them: the one place the files' columns come
from. A test compares each with the module's stubs (``_ctpmd.pyi``,
``_ctp.pyi``); the lists follow from the interface description
(``ctp._interface``), and only its default members are stored.

Kinds: "text" (``str``, stored as a string), "int" (``int``, stored as int32)
and "real" (``float``, stored as float64; the vendor's unset value, the
largest double, is stored as null). Pure Python: importing this needs no
pyarrow."""

from __future__ import annotations

from typing import Final, Literal

from .._interface import RECORDS

Kind = Literal["text", "int", "real"]
Members = tuple[tuple[str, Kind], ...]


def _stored(record: str) -> Members:
    # A one-character code is stored as a string, like text.
    return tuple((name, "real" if kind == "real" else "int" if kind == "int" else "text")
                 for name, kind in RECORDS[record])


DEPTH_MARKET_DATA: Final[Members] = _stored("DepthMarketData")
"""A tick: RtnDepthMarketData's record (``_ctpmd.DepthMarketData``)."""

ORDER: Final[Members] = _stored("Order")
"""An order: RtnOrder's record (``_ctp.Order``), its default members."""

TRADE: Final[Members] = _stored("Trade")
"""A trade: RtnTrade's record (``_ctp.Trade``), its default members."""

TIMESTAMP: Final = "Timestamp"
"""The tick's exchange time in nanoseconds, from ActionDay, UpdateTime and
UpdateMillisec read as China Standard Time (UTC+8, no daylight saving)."""

RECEIVE_TIME: Final = "ReceiveTime"
"""When the recorder got the record, by this machine's clock, in nanoseconds."""

KINDS: Final[dict[str, Members]] = {"ticks": DEPTH_MARKET_DATA, "orders": ORDER, "trades": TRADE}
"""What a recording directory holds, by the files' prefix."""
