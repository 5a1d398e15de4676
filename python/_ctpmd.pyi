"""Market data from a CTP front through the vendor's market-data library.

The same shape as ``_ctp``: a request goes in as a name plus a dict, every
vendor callback comes out as an event record that ``poll`` returns; the
subscriptions are lists of instrument ids. The types below exist for type
checkers only: import them under ``typing.TYPE_CHECKING``.
"""

from collections.abc import Sequence
from types import CapsuleType
from typing import Literal, NotRequired, TypeAlias, TypedDict, overload

Handle: TypeAlias = CapsuleType
"""A session handle: a capsule named "morva.ctpmd" that owns its session."""

# BEGIN interface/ctp.toml: records (written by interface/generate.py)
# ---- records in events --------------------------------------------------------


class RspInfo(TypedDict):
    """Error information ("error"; also RspError's "data"). ErrorID 0 is success."""

    ErrorID: int
    ErrorMsg: str


class RspUserLogin(TypedDict):
    """RspUserLogin's record. From LoginTime on, only in complete records (``create(...,
    full_records=True)``)."""

    TradingDay: str
    FrontID: int
    SessionID: int
    MaxOrderRef: str
    LoginTime: NotRequired[str]
    BrokerID: NotRequired[str]
    UserID: NotRequired[str]
    SystemName: NotRequired[str]
    SHFETime: NotRequired[str]
    DCETime: NotRequired[str]
    CZCETime: NotRequired[str]
    FFEXTime: NotRequired[str]
    INETime: NotRequired[str]


class UserLogout(TypedDict):
    """RspUserLogout's record."""

    BrokerID: str
    UserID: str


class SpecificInstrument(TypedDict):
    """RspSubMarketData's and RspUnSubMarketData's record."""

    InstrumentID: str


class DepthMarketData(TypedDict):
    """A snapshot of one instrument (RtnDepthMarketData, RspQryDepthMarketData). Prices the
    exchange has not set arrive as the largest double (``sys.float_info.max``)."""

    TradingDay: str
    ActionDay: str
    UpdateTime: str
    UpdateMillisec: int
    ExchangeID: str
    InstrumentID: str
    LastPrice: float
    PreSettlementPrice: float
    PreClosePrice: float
    PreOpenInterest: float
    OpenPrice: float
    HighestPrice: float
    LowestPrice: float
    Volume: int
    Turnover: float
    OpenInterest: float
    ClosePrice: float
    SettlementPrice: float
    UpperLimitPrice: float
    LowerLimitPrice: float
    AveragePrice: float
    BidPrice1: float
    BidVolume1: int
    AskPrice1: float
    AskVolume1: int
    BidPrice2: float
    BidVolume2: int
    AskPrice2: float
    AskVolume2: int
    BidPrice3: float
    BidVolume3: int
    AskPrice3: float
    AskVolume3: int
    BidPrice4: float
    BidVolume4: int
    AskPrice4: float
    AskVolume4: int
    BidPrice5: float
    BidVolume5: int
    AskPrice5: float
    AskVolume5: int


# ---- events -------------------------------------------------------------------


class FrontConnectedEvent(TypedDict):
    """The front is reachable: log in (again) and subscribe."""

    name: Literal["FrontConnected"]


class FrontDisconnectedEvent(TypedDict):
    """The connection dropped; the vendor reconnects by itself."""

    name: Literal["FrontDisconnected"]
    reason: int
    """The vendor's reason code, as in ``_ctp``."""


class HeartBeatWarningEvent(TypedDict):
    """Nothing came from the front for a while; the connection may be about to drop."""

    name: Literal["HeartBeatWarning"]
    time_lapse: int
    """Seconds since the last message from the front."""


class RspErrorEvent(TypedDict):
    """A request failed without a reply of its own; "data" equals "error"."""

    name: Literal["RspError"]
    data: RspInfo | None
    error: RspInfo
    request_id: int
    last: bool


class RspUserLoginEvent(TypedDict):
    name: Literal["RspUserLogin"]
    data: RspUserLogin | None
    error: RspInfo
    request_id: int
    last: bool


class RspUserLogoutEvent(TypedDict):
    name: Literal["RspUserLogout"]
    data: UserLogout | None
    error: RspInfo
    request_id: int
    last: bool


class RspSubMarketDataEvent(TypedDict):
    """One instrument of a subscribe per event."""

    name: Literal["RspSubMarketData"]
    data: SpecificInstrument | None
    error: RspInfo
    request_id: int
    last: bool


class RspUnSubMarketDataEvent(TypedDict):
    """One instrument of an unsubscribe per event."""

    name: Literal["RspUnSubMarketData"]
    data: SpecificInstrument | None
    error: RspInfo
    request_id: int
    last: bool


class RtnDepthMarketDataEvent(TypedDict):
    """A tick: the instrument's market changed; request_id is 0 and last True."""

    name: Literal["RtnDepthMarketData"]
    data: DepthMarketData | None
    error: RspInfo
    request_id: int
    last: bool


Event: TypeAlias = (
    FrontConnectedEvent
    | FrontDisconnectedEvent
    | HeartBeatWarningEvent
    | RspErrorEvent
    | RspUserLoginEvent
    | RspUserLogoutEvent
    | RspSubMarketDataEvent
    | RspUnSubMarketDataEvent
    | RtnDepthMarketDataEvent
)
"""Any event record; ``event["name"]`` tells which (a type checker narrows on it)."""

# ---- request fields -------------------------------------------------------------
# Every key is optional: an absent key goes as zero (empty text, zero code, 0,
# 0.0). Text is at most N-1 GB18030 bytes for a field of N bytes; a code is ""
# or one ASCII character (the enums of ctp.codes are such str).


class UserLoginFields(TypedDict, total=False):
    BrokerID: str
    UserID: str
    Password: str


class UserLogoutFields(TypedDict, total=False):
    BrokerID: str
    UserID: str


RequestName: TypeAlias = Literal[
    "UserLogin",
    "UserLogout",
]
"""The names ``request`` sends."""

RequestFields: TypeAlias = (
    UserLoginFields
    | UserLogoutFields
)
"""The fields of any request."""
# END interface/ctp.toml: records

# ---- functions --------------------------------------------------------------------


def version() -> str:
    """The vendor market-data library's version text."""


def create(front: str | Sequence[str], flow: bytes, /, *, full_records: bool = False) -> Handle:
    """Opens a market-data session on a front address, or on several (a
    sequence, each registered in order), with one flow directory (bytes), and
    starts it; FrontConnected follows. ``full_records`` and the checks of
    ``front`` as in ``_ctp.create``.

    Raises RuntimeError "创建 CTP 接口失败" when the vendor cannot create its
    API object; when it failed for a reason of the system's (errno), the
    message ends with that reason ("创建 CTP 接口失败: Too many open files")
    and the system's OSError is the ``__cause__``.
    """


# BEGIN interface/ctp.toml: requests (written by interface/generate.py)
@overload
def request(handle: Handle, name: Literal["UserLogin"], fields: UserLoginFields, request_id: int, /) -> int: ...
@overload
def request(handle: Handle, name: Literal["UserLogout"], fields: UserLogoutFields, request_id: int, /) -> int: ...
# END interface/ctp.toml: requests
@overload
def request(handle: Handle, name: RequestName, fields: RequestFields, request_id: int, /) -> int:
    """Sends "UserLogin" or "UserLogout" and returns the vendor's result at
    once; the reply arrives through ``poll`` with the same ``request_id``.
    Bad values raise before anything is sent, as in ``_ctp.request``.
    """


def subscribe(handle: Handle, ids: Sequence[str], /) -> int:
    """Subscribes to the instruments (a sequence, not a str): each id a str of
    at most 80 GB18030 bytes without NUL, all checked before anything is
    sent. Returns the vendor's result; RspSubMarketData and then ticks
    (RtnDepthMarketData) follow.
    """


def unsubscribe(handle: Handle, ids: Sequence[str], /) -> int:
    """Ends the subscriptions, checked like ``subscribe``; RspUnSubMarketData follows."""


def poll(handle: Handle, /) -> list[Event]:
    """Every event record since the previous call, oldest first, as
    ``_ctp.poll`` (BufferError "CTP 回调队列已满" for good once one was lost)."""


def close(handle: Handle, /) -> None:
    """Detaches the session and releases the vendor's API object; queued
    events can still be polled."""


def wait(handle: Handle, /, timeout: float | None = None) -> bool:
    """As ``_ctp.wait``: blocks without the interpreter lock until ``poll``
    has something or the session is closed."""


def fileno(handle: Handle, /) -> int:
    """As ``_ctp.fileno``: an eventfd readable whenever ``poll`` may have
    something."""
