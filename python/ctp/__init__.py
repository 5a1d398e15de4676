"""Trading on CTP futures fronts from Python: the codes of the vendor's
records as enums, the simulated front's controls (``ctp.sim``), and the
client built on the native module ``_ctp``."""

import importlib.util
from typing import TYPE_CHECKING

__version__ = "0.1.0"
"""The package's version; the wheel's metadata reads it from here."""

# The codes' enums (codes.py, written from the interface's description).
from . import codes as _codes
from .codes import *  # noqa: F403

__all__: list[str] = []
__all__ += _codes.__all__

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
_MARKET_DATA = ["AsyncMarketData", "AsyncTicks", "MarketData", "Ticks"]
if TYPE_CHECKING:
    from ._md import AsyncMarketData as AsyncMarketData, AsyncTicks as AsyncTicks  # noqa: F401
    from ._md import MarketData as MarketData, Ticks as Ticks  # noqa: F401
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
