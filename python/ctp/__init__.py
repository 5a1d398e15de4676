"""Trading on CTP futures fronts from Python: the codes of the vendor's
records as enums, the simulated front's controls (``ctp.sim``), and the
client built on the native module ``_ctp``."""

import logging
from typing import TYPE_CHECKING

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

# The sessions log under "ctp"; a program that configured no logging sees nothing of it.
logging.getLogger(__name__).addHandler(logging.NullHandler())

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

# Market data, imported on first use: trading alone never loads the market-data library
# (and works where the package was built without it).
if TYPE_CHECKING:
    from ._md import AsyncMarketData as AsyncMarketData, AsyncTicks as AsyncTicks  # noqa: F401
    from ._md import MarketData as MarketData, Ticks as Ticks  # noqa: F401
else:
    def __getattr__(name: str) -> object:
        if name in ("AsyncMarketData", "AsyncTicks", "MarketData", "Ticks"):
            from . import _md
            return getattr(_md, name)
        raise AttributeError(f"module 'ctp' has no attribute {name!r}")
