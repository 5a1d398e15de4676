"""Trading on a CTP futures front through the vendor's trader library.

A request goes in as a name plus a dict; every vendor callback comes out as
an event record, a dict that ``poll`` returns on your thread. The types below
exist for type checkers only: import them under ``typing.TYPE_CHECKING``.
Codes (one-character ``str``) have enums in :mod:`ctp.codes`.
"""

from types import CapsuleType
from typing import Literal, TypeAlias, TypedDict, overload

Handle: TypeAlias = CapsuleType
"""A session handle: a capsule named "morva.ctp" that owns its session."""

# ---- records in events --------------------------------------------------------


class RspInfo(TypedDict):
    """Error information ("error"; also RspError's "data"). ErrorID 0 is success."""

    ErrorID: int
    ErrorMsg: str


class RspAuthenticate(TypedDict):
    """RspAuthenticate's record."""

    BrokerID: str
    UserID: str
    AppID: str


class RspUserLogin(TypedDict):
    """RspUserLogin's record."""

    TradingDay: str
    FrontID: int
    SessionID: int
    MaxOrderRef: str


class SettlementInfoConfirm(TypedDict):
    """RspSettlementInfoConfirm's record."""

    BrokerID: str
    InvestorID: str


class Order(TypedDict):
    """An order (RtnOrder, RspQryOrder)."""

    TradingDay: str
    ExchangeID: str
    InstrumentID: str
    OrderSysID: str
    """The exchange's order number; empty until the exchange accepted the order."""
    OrderRef: str
    FrontID: int
    SessionID: int
    Direction: str
    """:class:`ctp.Direction`."""
    CombOffsetFlag: str
    """:class:`ctp.OffsetFlag` per leg."""
    CombHedgeFlag: str
    """:class:`ctp.HedgeFlag` per leg."""
    LimitPrice: float
    VolumeTotalOriginal: int
    VolumeTraded: int
    VolumeTotal: int
    """Volume still open."""
    OrderStatus: str
    """:class:`ctp.OrderStatus`."""
    OrderSubmitStatus: str
    """:class:`ctp.OrderSubmitStatus`."""
    StatusMsg: str
    InsertDate: str
    InsertTime: str


class Trade(TypedDict):
    """A trade (RtnTrade, RspQryTrade)."""

    TradingDay: str
    ExchangeID: str
    InstrumentID: str
    OrderSysID: str
    OrderRef: str
    TradeID: str
    Direction: str
    """:class:`ctp.Direction`."""
    OffsetFlag: str
    """:class:`ctp.OffsetFlag`."""
    HedgeFlag: str
    """:class:`ctp.HedgeFlag`."""
    Price: float
    Volume: int
    TradeDate: str
    TradeTime: str


class InvestorPosition(TypedDict):
    """One side and date of a position (RspQryInvestorPosition)."""

    TradingDay: str
    ExchangeID: str
    InstrumentID: str
    HedgeFlag: str
    """:class:`ctp.HedgeFlag`."""
    PosiDirection: str
    """:class:`ctp.PosiDirection`."""
    PositionDate: str
    """:class:`ctp.PositionDate`."""
    Position: int
    TodayPosition: int
    YdPosition: int
    LongFrozen: int
    ShortFrozen: int
    PositionProfit: float
    UseMargin: float


class TradingAccount(TypedDict):
    """The trading account (RspQryTradingAccount)."""

    AccountID: str
    CurrencyID: str
    TradingDay: str
    Balance: float
    Available: float
    CurrMargin: float
    FrozenMargin: float
    Commission: float
    FrozenCommission: float
    CloseProfit: float
    PositionProfit: float
    Deposit: float
    Withdraw: float


class Instrument(TypedDict):
    """An instrument (RspQryInstrument)."""

    ExchangeID: str
    InstrumentID: str
    ProductClass: str
    """:class:`ctp.ProductClass`."""
    IsTrading: int
    PriceTick: float
    MinLimitOrderVolume: int
    MaxLimitOrderVolume: int


class InputOrder(TypedDict):
    """The order a refusal is about (RspOrderInsert, ErrRtnOrderInsert)."""

    InstrumentID: str
    ExchangeID: str
    OrderRef: str


class InputOrderAction(TypedDict):
    """The cancel a refusal is about (RspOrderAction)."""

    InstrumentID: str
    ExchangeID: str
    OrderSysID: str


class OrderAction(TypedDict):
    """The cancel the exchange refused (ErrRtnOrderAction)."""

    InstrumentID: str
    ExchangeID: str
    OrderSysID: str


# ---- events -------------------------------------------------------------------


class FrontConnectedEvent(TypedDict):
    """The front is reachable: authenticate and log in (again)."""

    name: Literal["FrontConnected"]


class FrontDisconnectedEvent(TypedDict):
    """The connection dropped; the vendor reconnects by itself."""

    name: Literal["FrontDisconnected"]
    reason: int
    """The vendor's reason code, e.g. 0x1001 (network read failed)."""


class RspErrorEvent(TypedDict):
    """A request failed without a reply of its own; "data" equals "error"."""

    name: Literal["RspError"]
    data: RspInfo | None
    error: RspInfo
    request_id: int
    last: bool


class RspAuthenticateEvent(TypedDict):
    name: Literal["RspAuthenticate"]
    data: RspAuthenticate | None
    error: RspInfo
    request_id: int
    last: bool


class RspUserLoginEvent(TypedDict):
    name: Literal["RspUserLogin"]
    data: RspUserLogin | None
    error: RspInfo
    request_id: int
    last: bool


class RspSettlementInfoConfirmEvent(TypedDict):
    name: Literal["RspSettlementInfoConfirm"]
    data: SettlementInfoConfirm | None
    error: RspInfo
    request_id: int
    last: bool


class RspQryOrderEvent(TypedDict):
    """One order per event; "last" marks the final one."""

    name: Literal["RspQryOrder"]
    data: Order | None
    error: RspInfo
    request_id: int
    last: bool


class RspQryTradeEvent(TypedDict):
    """One trade per event; "last" marks the final one."""

    name: Literal["RspQryTrade"]
    data: Trade | None
    error: RspInfo
    request_id: int
    last: bool


class RspQryInvestorPositionEvent(TypedDict):
    """One position per event; "last" marks the final one."""

    name: Literal["RspQryInvestorPosition"]
    data: InvestorPosition | None
    error: RspInfo
    request_id: int
    last: bool


class RspQryTradingAccountEvent(TypedDict):
    name: Literal["RspQryTradingAccount"]
    data: TradingAccount | None
    error: RspInfo
    request_id: int
    last: bool


class RspQryInstrumentEvent(TypedDict):
    """One instrument per event; "last" marks the final one."""

    name: Literal["RspQryInstrument"]
    data: Instrument | None
    error: RspInfo
    request_id: int
    last: bool


class RspOrderInsertEvent(TypedDict):
    """The broker refused an order ("error" says why)."""

    name: Literal["RspOrderInsert"]
    data: InputOrder | None
    error: RspInfo
    request_id: int
    last: bool


class RspOrderActionEvent(TypedDict):
    """The broker refused a cancel ("error" says why)."""

    name: Literal["RspOrderAction"]
    data: InputOrderAction | None
    error: RspInfo
    request_id: int
    last: bool


class RtnOrderEvent(TypedDict):
    """An order changed; request_id is 0 and last True."""

    name: Literal["RtnOrder"]
    data: Order | None
    error: RspInfo
    request_id: int
    last: bool


class RtnTradeEvent(TypedDict):
    """An order traded; request_id is 0 and last True."""

    name: Literal["RtnTrade"]
    data: Trade | None
    error: RspInfo
    request_id: int
    last: bool


class ErrRtnOrderInsertEvent(TypedDict):
    """The exchange refused an order."""

    name: Literal["ErrRtnOrderInsert"]
    data: InputOrder | None
    error: RspInfo
    request_id: int
    last: bool


class ErrRtnOrderActionEvent(TypedDict):
    """The exchange refused a cancel."""

    name: Literal["ErrRtnOrderAction"]
    data: OrderAction | None
    error: RspInfo
    request_id: int
    last: bool


Event: TypeAlias = (
    FrontConnectedEvent
    | FrontDisconnectedEvent
    | RspErrorEvent
    | RspAuthenticateEvent
    | RspUserLoginEvent
    | RspSettlementInfoConfirmEvent
    | RspQryOrderEvent
    | RspQryTradeEvent
    | RspQryInvestorPositionEvent
    | RspQryTradingAccountEvent
    | RspQryInstrumentEvent
    | RspOrderInsertEvent
    | RspOrderActionEvent
    | RtnOrderEvent
    | RtnTradeEvent
    | ErrRtnOrderInsertEvent
    | ErrRtnOrderActionEvent
)
"""Any event record; ``event["name"]`` tells which (a type checker narrows on it)."""

# ---- request fields -------------------------------------------------------------
# Every key is optional: an absent key goes as zero (empty text, zero code, 0,
# 0.0). Text is at most N-1 GB18030 bytes for a field of N bytes; a code is ""
# or one ASCII character (the enums of ctp.codes are such str).


class AuthenticateFields(TypedDict, total=False):
    BrokerID: str
    UserID: str
    AuthCode: str
    AppID: str


class UserLoginFields(TypedDict, total=False):
    BrokerID: str
    UserID: str
    Password: str


class SettlementInfoConfirmFields(TypedDict, total=False):
    BrokerID: str
    InvestorID: str
    CurrencyID: str


class QryOrderFields(TypedDict, total=False):
    BrokerID: str
    InvestorID: str
    ExchangeID: str
    OrderSysID: str
    InstrumentID: str


class QryTradeFields(TypedDict, total=False):
    BrokerID: str
    InvestorID: str
    ExchangeID: str
    InstrumentID: str


class QryInvestorPositionFields(TypedDict, total=False):
    BrokerID: str
    InvestorID: str
    ExchangeID: str
    InstrumentID: str


class QryTradingAccountFields(TypedDict, total=False):
    BrokerID: str
    InvestorID: str
    CurrencyID: str


class QryInstrumentFields(TypedDict, total=False):
    ExchangeID: str
    InstrumentID: str


class OrderInsertFields(TypedDict, total=False):
    BrokerID: str
    InvestorID: str
    OrderRef: str
    UserID: str
    OrderPriceType: str
    """:class:`ctp.OrderPriceType`."""
    Direction: str
    """:class:`ctp.Direction`."""
    CombOffsetFlag: str
    """:class:`ctp.OffsetFlag` (one leg)."""
    CombHedgeFlag: str
    """:class:`ctp.HedgeFlag` (one leg)."""
    LimitPrice: float
    VolumeTotalOriginal: int
    TimeCondition: str
    """:class:`ctp.TimeCondition`."""
    VolumeCondition: str
    """:class:`ctp.VolumeCondition`."""
    MinVolume: int
    ContingentCondition: str
    """:class:`ctp.ContingentCondition`."""
    ForceCloseReason: str
    """:class:`ctp.ForceCloseReason`."""
    IsAutoSuspend: int
    UserForceClose: int
    ExchangeID: str
    CurrencyID: str
    InstrumentID: str


class OrderActionFields(TypedDict, total=False):
    BrokerID: str
    InvestorID: str
    ExchangeID: str
    OrderSysID: str
    ActionFlag: str
    """:class:`ctp.ActionFlag`."""
    LimitPrice: float
    UserID: str
    InstrumentID: str


RequestName: TypeAlias = Literal[
    "Authenticate",
    "UserLogin",
    "SettlementInfoConfirm",
    "QryOrder",
    "QryTrade",
    "QryInvestorPosition",
    "QryTradingAccount",
    "QryInstrument",
    "OrderInsert",
    "OrderAction",
]
"""The names ``request`` sends."""

RequestFields: TypeAlias = (
    AuthenticateFields
    | UserLoginFields
    | SettlementInfoConfirmFields
    | QryOrderFields
    | QryTradeFields
    | QryInvestorPositionFields
    | QryTradingAccountFields
    | QryInstrumentFields
    | OrderInsertFields
    | OrderActionFields
)
"""The fields of any request."""

# ---- functions --------------------------------------------------------------------


def version() -> str:
    """The vendor library's version text, e.g. '6.7.2_standin (simulated front)'."""


def create(front: str, flow: bytes, /) -> Handle:
    """Opens a session on one front address ("tcp://host:port", or
    "sim://NAME" for the stand-in's simulated front) with one flow directory
    (bytes, ending in "/"), where the vendor library keeps its files, and
    starts it; FrontConnected follows. Returns the session handle.

    Raises RuntimeError "创建 CTP 接口失败" when the vendor cannot create its
    API object; when it failed for a reason of the system's (errno), the
    message ends with that reason ("创建 CTP 接口失败: Too many open files")
    and the system's OSError is the ``__cause__``.
    """


@overload
def request(handle: Handle, name: Literal["Authenticate"], fields: AuthenticateFields, request_id: int, /) -> int:
    """Sends one request and returns the vendor's result at once: 0 sent, -1
    not connected, -2 too many requests waiting, -3 too many per second. The
    replies arrive through ``poll`` with the same ``request_id``.

    Keys not listed for the request are ignored; a bad value raises before
    anything is sent (TypeError "KEY 必须是字符串", ValueError "KEY 超出 CTP
    字段长度或包含 NUL 字符" or "KEY 包含 CTP 不支持的字符", OverflowError "CTP
    整数超出范围"). An unknown name raises ValueError "不支持的 CTP 请求"; a
    closed session RuntimeError "CTP 接口已关闭".
    """
@overload
def request(handle: Handle, name: Literal["UserLogin"], fields: UserLoginFields, request_id: int, /) -> int: ...
@overload
def request(handle: Handle, name: Literal["SettlementInfoConfirm"], fields: SettlementInfoConfirmFields,
            request_id: int, /) -> int: ...
@overload
def request(handle: Handle, name: Literal["QryOrder"], fields: QryOrderFields, request_id: int, /) -> int: ...
@overload
def request(handle: Handle, name: Literal["QryTrade"], fields: QryTradeFields, request_id: int, /) -> int: ...
@overload
def request(handle: Handle, name: Literal["QryInvestorPosition"], fields: QryInvestorPositionFields,
            request_id: int, /) -> int: ...
@overload
def request(handle: Handle, name: Literal["QryTradingAccount"], fields: QryTradingAccountFields,
            request_id: int, /) -> int: ...
@overload
def request(handle: Handle, name: Literal["QryInstrument"], fields: QryInstrumentFields, request_id: int, /) -> int: ...
@overload
def request(handle: Handle, name: Literal["OrderInsert"], fields: OrderInsertFields, request_id: int, /) -> int: ...
@overload
def request(handle: Handle, name: Literal["OrderAction"], fields: OrderActionFields, request_id: int, /) -> int: ...
@overload
def request(handle: Handle, name: RequestName, fields: RequestFields, request_id: int, /) -> int: ...


def poll(handle: Handle, /) -> list[Event]:
    """Every event record that arrived since the previous call, oldest first
    (possibly none).

    Raises BufferError "CTP 回调队列已满" for the rest of the session's life
    once an event was lost to a full queue (32,768 pending); poll often, or
    wait. When one event cannot be built (no memory), only it is lost: the
    records before it are returned and it comes first next time; if it fails
    again, that call raises with the note "CTP 事件 NAME 无法转换，已丢弃".
    A poll reached while another poll of the session builds its records
    returns [].
    """


def close(handle: Handle, /) -> None:
    """Detaches the session from the vendor and releases the vendor's API
    object; a second call does nothing. Queued events can still be polled;
    later requests raise RuntimeError "CTP 接口已关闭". Dropping the handle
    closes it too and discards pending events.
    """


def wait(handle: Handle, /, timeout: float | None = None) -> bool:
    """Blocks, with the interpreter lock released, until ``poll`` has
    something (an event, or the overflow error) or the session is closed.
    True when ``poll`` has something; False on timeout, or when the session
    is closed with nothing left. ``timeout`` in seconds: None waits for ever,
    0 only checks; negative or NaN raises ValueError. Ctrl-C interrupts it
    promptly. Wake-ups may be spurious (``poll`` then returns []); several
    threads may wait at once, and ``close`` wakes them all.
    """


def fileno(handle: Handle, /) -> int:
    """A file descriptor (eventfd), readable whenever ``poll`` may have
    something, for selectors or ``loop.add_reader``: made on first call, the
    same one on every call, owned by the session and closed when the handle
    is dropped (not at ``close``). ``poll`` consumes the readiness with the
    events it takes; an overflowed session stays readable; ``close`` makes it
    readable once more.
    """
