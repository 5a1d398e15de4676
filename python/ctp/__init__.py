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
