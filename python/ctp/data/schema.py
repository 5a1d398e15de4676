"""The members of the records that ``ctp.data`` stores, with their kinds, in
the order the modules deliver them: the one place the files' columns come
from. A test compares each with the module's stubs (``_ctpmd.pyi``,
``_ctp.pyi``) and fails when they drift apart; once every record's members
come from one interface description, these lists follow from it.

Kinds: "text" (``str``, stored as a string), "int" (``int``, stored as int32)
and "real" (``float``, stored as float64; the vendor's unset value, the
largest double, is stored as null). Pure Python: importing this needs no
pyarrow."""

from __future__ import annotations

from typing import Final, Literal

Kind = Literal["text", "int", "real"]
Members = tuple[tuple[str, Kind], ...]


def _levels(depth: int) -> Members:
    return tuple(member for n in range(1, depth + 1) for member in (
        (f"BidPrice{n}", "real"), (f"BidVolume{n}", "int"), (f"AskPrice{n}", "real"), (f"AskVolume{n}", "int")))


DEPTH_MARKET_DATA: Final[Members] = (
    ("TradingDay", "text"),
    ("ActionDay", "text"),
    ("UpdateTime", "text"),
    ("UpdateMillisec", "int"),
    ("ExchangeID", "text"),
    ("InstrumentID", "text"),
    ("LastPrice", "real"),
    ("PreSettlementPrice", "real"),
    ("PreClosePrice", "real"),
    ("PreOpenInterest", "real"),
    ("OpenPrice", "real"),
    ("HighestPrice", "real"),
    ("LowestPrice", "real"),
    ("Volume", "int"),
    ("Turnover", "real"),
    ("OpenInterest", "real"),
    ("ClosePrice", "real"),
    ("SettlementPrice", "real"),
    ("UpperLimitPrice", "real"),
    ("LowerLimitPrice", "real"),
    ("AveragePrice", "real"),
) + _levels(5)
"""A tick: RtnDepthMarketData's record (``_ctpmd.DepthMarketData``)."""

ORDER: Final[Members] = (
    ("TradingDay", "text"),
    ("ExchangeID", "text"),
    ("InstrumentID", "text"),
    ("OrderSysID", "text"),
    ("OrderRef", "text"),
    ("FrontID", "int"),
    ("SessionID", "int"),
    ("Direction", "text"),
    ("CombOffsetFlag", "text"),
    ("CombHedgeFlag", "text"),
    ("LimitPrice", "real"),
    ("VolumeTotalOriginal", "int"),
    ("VolumeTraded", "int"),
    ("VolumeTotal", "int"),
    ("OrderStatus", "text"),
    ("OrderSubmitStatus", "text"),
    ("StatusMsg", "text"),
    ("InsertDate", "text"),
    ("InsertTime", "text"),
)
"""An order: RtnOrder's record (``_ctp.Order``)."""

TRADE: Final[Members] = (
    ("TradingDay", "text"),
    ("ExchangeID", "text"),
    ("InstrumentID", "text"),
    ("OrderSysID", "text"),
    ("OrderRef", "text"),
    ("TradeID", "text"),
    ("Direction", "text"),
    ("OffsetFlag", "text"),
    ("HedgeFlag", "text"),
    ("Price", "real"),
    ("Volume", "int"),
    ("TradeDate", "text"),
    ("TradeTime", "text"),
)
"""A trade: RtnTrade's record (``_ctp.Trade``)."""

TIMESTAMP: Final = "Timestamp"
"""The tick's exchange time in nanoseconds, from ActionDay, UpdateTime and
UpdateMillisec read as China Standard Time (UTC+8, no daylight saving)."""

RECEIVE_TIME: Final = "ReceiveTime"
"""When the recorder got the record, by this machine's clock, in nanoseconds."""

KINDS: Final[dict[str, Members]] = {"ticks": DEPTH_MARKET_DATA, "orders": ORDER, "trades": TRADE}
"""What a recording directory holds, by the files' prefix."""
