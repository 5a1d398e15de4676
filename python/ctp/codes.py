"""The one-character codes of the vendor's records, as ``str`` enums.

Each member's value is the code itself, so a member goes straight into a
request dict and compares equal to the one-character ``str`` that an event
carries: ``event["data"]["OrderStatus"] == OrderStatus.ALL_TRADED``.
"""

from enum import StrEnum

__all__ = [
    "ActionFlag",
    "ContingentCondition",
    "Direction",
    "ForceCloseReason",
    "HedgeFlag",
    "OffsetFlag",
    "OrderPriceType",
    "OrderStatus",
    "OrderSubmitStatus",
    "PosiDirection",
    "PositionDate",
    "ProductClass",
    "TimeCondition",
    "VolumeCondition",
]


class Direction(StrEnum):
    """Side of an order or trade (``Direction``)."""

    BUY = "0"
    """Buy."""
    SELL = "1"
    """Sell."""


class OffsetFlag(StrEnum):
    """Whether an order opens or closes a position (``CombOffsetFlag``'s
    first character, a trade's ``OffsetFlag``)."""

    OPEN = "0"
    """Open a new position."""
    CLOSE = "1"
    """Close; on SHFE and INE this closes yesterday's position."""
    FORCE_CLOSE = "2"
    """Forced close by the broker."""
    CLOSE_TODAY = "3"
    """Close today's position (SHFE, INE)."""
    CLOSE_YESTERDAY = "4"
    """Close yesterday's position (SHFE, INE)."""
    FORCE_OFF = "5"
    """Forced reduction."""
    LOCAL_FORCE_CLOSE = "6"
    """Forced close decided locally by the broker's system."""


class HedgeFlag(StrEnum):
    """Purpose of a position (``CombHedgeFlag``'s first character, ``HedgeFlag``)."""

    SPECULATION = "1"
    """Speculation."""
    ARBITRAGE = "2"
    """Arbitrage."""
    HEDGE = "3"
    """Hedging."""
    MARKET_MAKER = "5"
    """Market making."""
    SPEC_HEDGE = "6"
    """First leg speculation, second leg hedging."""
    HEDGE_SPEC = "7"
    """First leg hedging, second leg speculation."""


class OrderPriceType(StrEnum):
    """How an order is priced (``OrderPriceType``)."""

    ANY_PRICE = "1"
    """Market order: any price."""
    LIMIT_PRICE = "2"
    """Limit order at ``LimitPrice``."""
    BEST_PRICE = "3"
    """The best price on the book."""
    LAST_PRICE = "4"
    """The last traded price."""


class TimeCondition(StrEnum):
    """How long an order stays valid (``TimeCondition``)."""

    IOC = "1"
    """Immediate or cancel: what cannot trade at once is cancelled."""
    GFS = "2"
    """Good for the trading section."""
    GFD = "3"
    """Good for the day."""
    GTD = "4"
    """Good until a date."""
    GTC = "5"
    """Good until cancelled."""
    GFA = "6"
    """Good for the auction."""


class VolumeCondition(StrEnum):
    """How much of an order must trade (``VolumeCondition``)."""

    ANY = "1"
    """Any volume."""
    MIN = "2"
    """At least ``MinVolume``."""
    ALL = "3"
    """All of it or nothing (with IOC: fill or kill)."""


class ContingentCondition(StrEnum):
    """When an order becomes active (``ContingentCondition``)."""

    IMMEDIATELY = "1"
    """At once."""
    TOUCH = "2"
    """Stop loss: when the price touches ``StopPrice``."""
    TOUCH_PROFIT = "3"
    """Take profit: when the price touches ``StopPrice``."""
    PARKED_ORDER = "4"
    """A parked order, sent when the market opens."""


class ForceCloseReason(StrEnum):
    """Why an order closes by force (``ForceCloseReason``)."""

    NOT_FORCE_CLOSE = "0"
    """Not a forced close: every ordinary order."""
    LACK_DEPOSIT = "1"
    """Insufficient margin."""
    CLIENT_OVER_POSITION_LIMIT = "2"
    """The client is over its position limit."""
    MEMBER_OVER_POSITION_LIMIT = "3"
    """The member is over its position limit."""
    NOT_MULTIPLE = "4"
    """The position is not a multiple of the trading unit."""
    VIOLATION = "5"
    """A violation of the rules."""
    OTHER = "6"
    """Another reason."""
    PERSON_DELIVERY = "7"
    """A natural person close to delivery."""


class OrderStatus(StrEnum):
    """Where an order stands (``OrderStatus``)."""

    ALL_TRADED = "0"
    """Fully traded."""
    PART_TRADED_QUEUEING = "1"
    """Partly traded, the rest rests on the book."""
    PART_TRADED_NOT_QUEUEING = "2"
    """Partly traded, the rest is cancelled."""
    NO_TRADE_QUEUEING = "3"
    """Not traded, resting on the book."""
    NO_TRADE_NOT_QUEUEING = "4"
    """Not traded and not on the book."""
    CANCELED = "5"
    """Cancelled."""
    UNKNOWN = "a"
    """Sent; the exchange has not answered yet."""
    NOT_TOUCHED = "b"
    """A conditional order whose condition has not been met."""
    TOUCHED = "c"
    """A conditional order whose condition has been met."""


class OrderSubmitStatus(StrEnum):
    """How the submission of an order or its cancel went (``OrderSubmitStatus``)."""

    INSERT_SUBMITTED = "0"
    """The order was submitted."""
    CANCEL_SUBMITTED = "1"
    """A cancel was submitted."""
    MODIFY_SUBMITTED = "2"
    """A modification was submitted."""
    ACCEPTED = "3"
    """The exchange accepted it."""
    INSERT_REJECTED = "4"
    """The order was rejected."""
    CANCEL_REJECTED = "5"
    """The cancel was rejected."""
    MODIFY_REJECTED = "6"
    """The modification was rejected."""


class ActionFlag(StrEnum):
    """What an order action does (``ActionFlag``)."""

    DELETE = "0"
    """Cancel the order."""
    MODIFY = "3"
    """Modify the order."""


class PosiDirection(StrEnum):
    """Side of a position (``PosiDirection``)."""

    NET = "1"
    """Net position."""
    LONG = "2"
    """Long."""
    SHORT = "3"
    """Short."""


class PositionDate(StrEnum):
    """Which part of a position a record describes (``PositionDate``)."""

    TODAY = "1"
    """Opened today."""
    HISTORY = "2"
    """Opened on earlier days."""


class ProductClass(StrEnum):
    """Kind of instrument (``ProductClass``)."""

    FUTURES = "1"
    """A future."""
    OPTIONS = "2"
    """An option on a future."""
    COMBINATION = "3"
    """A combination."""
    SPOT = "4"
    """Spot."""
    EFP = "5"
    """Exchange of futures for physicals."""
    SPOT_OPTION = "6"
    """An option on spot."""
    TAS = "7"
    """Trade at settlement."""
    MI = "I"
    """A metal index."""
