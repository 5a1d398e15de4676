"""Trading on CTP futures fronts from Python: the codes of the vendor's
records as enums, the simulated front's controls (``ctp.sim``), and the
clients built on the native modules ``_ctp`` and ``_ctpmd``."""

import logging
from typing import TYPE_CHECKING

from . import codes
from .codes import *  # noqa: F403   (every code enum, as listed in codes.__all__)

# The sessions log under "ctp"; a program that configured no logging sees nothing of it.
logging.getLogger(__name__).addHandler(logging.NullHandler())

# The clients: one session core, faces written once for a blocking and an asyncio driver.
from ._asyncio import AsyncDriver, AsyncStream  # noqa: E402
from ._blocking import Driver, Stream  # noqa: E402
from ._client import AsyncClient, AsyncOrder, Client, Order  # noqa: E402
from ._core import CtpError, Disconnected, Event, Overflowed, Record  # noqa: E402
from ._trading import BaseOrder, OrderOptions  # noqa: E402

# Earlier names of the streams, kept: every stream is a Stream (AsyncStream).
Events = Ticks = Stream
AsyncEvents = AsyncTicks = AsyncStream

__all__ = [*codes.__all__, "AsyncClient", "AsyncDriver", "AsyncEvents", "AsyncOrder", "AsyncStream",
           "AsyncTicks", "BaseOrder", "Client", "CtpError", "Disconnected", "Driver", "Event", "Events", "Order",
           "OrderOptions", "Overflowed", "Record", "Stream", "Ticks"]

# Market data, imported on first use: trading alone never loads the market-data library
# (and works where the package was built without it).
if TYPE_CHECKING:
    from ._md import AsyncMarketData as AsyncMarketData, MarketData as MarketData  # noqa: F401
else:
    def __getattr__(name: str) -> object:
        if name in ("AsyncMarketData", "MarketData"):
            from . import _md
            return getattr(_md, name)
        raise AttributeError(f"module 'ctp' has no attribute {name!r}")
