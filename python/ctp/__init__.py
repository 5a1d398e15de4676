"""Trading on CTP futures fronts from Python: the codes of the vendor's
records as enums, the simulated front's controls (``ctp.sim``), and the
clients built on the native modules ``_ctp`` and ``_ctpmd``."""

import importlib.util
import logging
from typing import TYPE_CHECKING

__version__ = "0.1.0"
"""The package's version; the wheel's metadata reads it from here."""

from . import codes  # noqa: E402
from .codes import *  # noqa: E402,F403   (every code enum, as listed in codes.__all__)

# The sessions log under "ctp"; a program that configured no logging sees nothing of it.
logging.getLogger(__name__).addHandler(logging.NullHandler())

# The clients: one session core, faces written once for a blocking and an asyncio driver.
from ._asyncio import AsyncDriver, AsyncStream  # noqa: E402
from ._blocking import Driver, Stream  # noqa: E402
from ._account import Contract, PnL, Position  # noqa: E402
from ._client import AsyncClient, AsyncOrder, Client, Order  # noqa: E402
from ._core import CtpError, Disconnected, Event, Overflowed, Record  # noqa: E402
from ._limits import Limits, OrderRefused  # noqa: E402
from ._trading import BaseOrder, OrderOptions  # noqa: E402

# Earlier names of the streams, kept: every stream is a Stream (AsyncStream).
Events = Ticks = Stream
AsyncEvents = AsyncTicks = AsyncStream

__all__ = [*codes.__all__, "AsyncClient", "AsyncDriver", "AsyncEvents", "AsyncOrder", "AsyncStream",
           "AsyncTicks", "BaseOrder", "Client", "Contract", "CtpError", "Disconnected", "Driver", "Event", "Events",
           "Limits", "Order", "OrderOptions", "OrderRefused", "Overflowed", "PnL", "Position", "Record", "Stream",
           "Ticks"]

# Market data, imported on first use: trading alone never loads the market-data library
# (and works where the package was built without it).
_MARKET_DATA = ["AsyncMarketData", "MarketData"]
if TYPE_CHECKING:
    from ._md import AsyncMarketData as AsyncMarketData, MarketData as MarketData  # noqa: F401
else:
    def __getattr__(name: str) -> object:
        if name in _MARKET_DATA:
            from . import _md
            return getattr(_md, name)
        raise AttributeError(f"module 'ctp' has no attribute {name!r}")

# Listed (for dir, help and import *) where the market-data module was built; finding it loads nothing.
if TYPE_CHECKING or importlib.util.find_spec("_ctpmd") is not None:
    __all__ += _MARKET_DATA


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
