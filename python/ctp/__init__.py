"""Trading on CTP futures fronts from Python: the codes of the vendor's
records as enums, the simulated front's controls (``ctp.sim``), and the
client built on the native module ``_ctp``."""

from .codes import (
    ActionFlag,
    ContingentCondition,
    Direction,
    ForceCloseReason,
    HedgeFlag,
    OffsetFlag,
    OrderPriceType,
    OrderStatus,
    OrderSubmitStatus,
    PosiDirection,
    PositionDate,
    ProductClass,
    TimeCondition,
    VolumeCondition,
)

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

# The client: blocking and asyncio drivers over one core.
from ._asyncio import AsyncClient, AsyncEvents, AsyncOrder  # noqa: E402
from ._blocking import Client, Events, Order  # noqa: E402
from ._core import BaseOrder, CtpError, Disconnected, Event, Overflowed, Record  # noqa: E402

__all__ += [
    "AsyncClient",
    "AsyncEvents",
    "AsyncOrder",
    "BaseOrder",
    "Client",
    "CtpError",
    "Disconnected",
    "Event",
    "Events",
    "Order",
    "Overflowed",
    "Record",
]

# Market data, when the package was built with the market-data library.
try:
    from ._md import AsyncMarketData, AsyncTicks, MarketData, Ticks  # noqa: E402
except ModuleNotFoundError as error:
    if error.name != "_ctpmd":
        raise
else:
    __all__ += ["AsyncMarketData", "AsyncTicks", "MarketData", "Ticks"]
