"""Trading on a CTP futures front through the vendor's trader library.

A request goes in as a name plus a dict; every vendor callback comes out as
an event record, a dict that ``poll`` returns on your thread. The types below
exist for type checkers only: import them under ``typing.TYPE_CHECKING``.
Codes (one-character ``str``) have enums in :mod:`ctp.codes`.
"""

from collections.abc import Sequence
from types import CapsuleType
from typing import Literal, NotRequired, TypeAlias, TypedDict, overload

Handle: TypeAlias = CapsuleType
"""A session handle: a capsule named "morva.ctp" that owns its session."""

Resume: TypeAlias = Literal["restart", "resume", "quick"]
"""How a flow is resumed after each login: "restart" the whole trading day
again (``THOST_TERT_RESTART``), "resume" from what this flow directory had
received (``THOST_TERT_RESUME``), "quick" only what happens from now on
(``THOST_TERT_QUICK``)."""

# BEGIN interface/ctp.toml: records (written by interface/generate.py)
# ---- records in events --------------------------------------------------------


class RspInfo(TypedDict):
    """Error information ("error"; also RspError's "data"). ErrorID 0 is success."""

    ErrorID: int
    ErrorMsg: str


class RspAuthenticate(TypedDict):
    """RspAuthenticate's record. From UserProductInfo on, only in complete records
    (``create(..., full_records=True)``)."""

    BrokerID: str
    UserID: str
    AppID: str
    UserProductInfo: NotRequired[str]
    AppType: NotRequired[str]


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


class UserPasswordUpdate(TypedDict):
    """A password change (UserPasswordUpdate); its reply shows the user alone, never the
    passwords."""

    BrokerID: str
    UserID: str


class SettlementInfoConfirm(TypedDict):
    """A confirmation of the settlement (RspSettlementInfoConfirm,
    RspQrySettlementInfoConfirm). From ConfirmDate on, only in complete records
    (``create(..., full_records=True)``)."""

    BrokerID: str
    InvestorID: str
    ConfirmDate: NotRequired[str]
    ConfirmTime: NotRequired[str]
    SettlementID: NotRequired[int]
    AccountID: NotRequired[str]
    CurrencyID: NotRequired[str]


class InputOrder(TypedDict):
    """An order as sent (OrderInsert); the order a refusal is about (RspOrderInsert,
    ErrRtnOrderInsert). From BrokerID on, only in complete records (``create(...,
    full_records=True)``)."""

    InstrumentID: str
    ExchangeID: str
    OrderRef: str
    BrokerID: NotRequired[str]
    InvestorID: NotRequired[str]
    UserID: NotRequired[str]
    OrderPriceType: NotRequired[str]
    """:class:`ctp.OrderPriceType`."""
    Direction: NotRequired[str]
    """:class:`ctp.Direction`."""
    CombOffsetFlag: NotRequired[str]
    """:class:`ctp.OffsetFlag` per leg."""
    CombHedgeFlag: NotRequired[str]
    """:class:`ctp.HedgeFlag` per leg."""
    LimitPrice: NotRequired[float]
    VolumeTotalOriginal: NotRequired[int]
    TimeCondition: NotRequired[str]
    """:class:`ctp.TimeCondition`."""
    GTDDate: NotRequired[str]
    VolumeCondition: NotRequired[str]
    """:class:`ctp.VolumeCondition`."""
    MinVolume: NotRequired[int]
    ContingentCondition: NotRequired[str]
    """:class:`ctp.ContingentCondition`."""
    StopPrice: NotRequired[float]
    ForceCloseReason: NotRequired[str]
    """:class:`ctp.ForceCloseReason`."""
    IsAutoSuspend: NotRequired[int]
    RequestID: NotRequired[int]
    UserForceClose: NotRequired[int]
    IsSwapOrder: NotRequired[int]
    InvestUnitID: NotRequired[str]


class InputOrderAction(TypedDict):
    """A cancel as sent (OrderAction); the cancel a refusal is about (RspOrderAction). From
    BrokerID on, only in complete records (``create(..., full_records=True)``)."""

    InstrumentID: str
    ExchangeID: str
    OrderSysID: str
    BrokerID: NotRequired[str]
    InvestorID: NotRequired[str]
    OrderActionRef: NotRequired[int]
    OrderRef: NotRequired[str]
    RequestID: NotRequired[int]
    FrontID: NotRequired[int]
    SessionID: NotRequired[int]
    ActionFlag: NotRequired[str]
    """:class:`ctp.ActionFlag`."""
    LimitPrice: NotRequired[float]
    VolumeChange: NotRequired[int]
    UserID: NotRequired[str]
    InvestUnitID: NotRequired[str]


class Order(TypedDict):
    """An order (RtnOrder, RspQryOrder). From BrokerID on, only in complete records
    (``create(..., full_records=True)``)."""

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
    BrokerID: NotRequired[str]
    InvestorID: NotRequired[str]
    UserID: NotRequired[str]
    OrderPriceType: NotRequired[str]
    """:class:`ctp.OrderPriceType`."""
    TimeCondition: NotRequired[str]
    """:class:`ctp.TimeCondition`."""
    GTDDate: NotRequired[str]
    VolumeCondition: NotRequired[str]
    """:class:`ctp.VolumeCondition`."""
    MinVolume: NotRequired[int]
    ContingentCondition: NotRequired[str]
    """:class:`ctp.ContingentCondition`."""
    StopPrice: NotRequired[float]
    ForceCloseReason: NotRequired[str]
    """:class:`ctp.ForceCloseReason`."""
    IsAutoSuspend: NotRequired[int]
    RequestID: NotRequired[int]
    OrderLocalID: NotRequired[str]
    ExchangeInstID: NotRequired[str]
    ParticipantID: NotRequired[str]
    ClientID: NotRequired[str]
    TraderID: NotRequired[str]
    OrderSource: NotRequired[str]
    OrderType: NotRequired[str]
    """:class:`ctp.OrderType`."""
    ActiveTime: NotRequired[str]
    SuspendTime: NotRequired[str]
    UpdateTime: NotRequired[str]
    CancelTime: NotRequired[str]
    SequenceNo: NotRequired[int]
    SettlementID: NotRequired[int]
    UserProductInfo: NotRequired[str]
    BrokerOrderSeq: NotRequired[int]
    RelativeOrderSysID: NotRequired[str]
    ZCETotalTradedVolume: NotRequired[int]
    IsSwapOrder: NotRequired[int]
    InvestUnitID: NotRequired[str]


class OrderAction(TypedDict):
    """The cancel the exchange refused (ErrRtnOrderAction). From BrokerID on, only in complete
    records (``create(..., full_records=True)``)."""

    InstrumentID: str
    ExchangeID: str
    OrderSysID: str
    BrokerID: NotRequired[str]
    InvestorID: NotRequired[str]
    OrderActionRef: NotRequired[int]
    OrderRef: NotRequired[str]
    RequestID: NotRequired[int]
    FrontID: NotRequired[int]
    SessionID: NotRequired[int]
    ActionFlag: NotRequired[str]
    """:class:`ctp.ActionFlag`."""
    ActionDate: NotRequired[str]
    ActionTime: NotRequired[str]
    OrderActionStatus: NotRequired[str]
    """:class:`ctp.OrderActionStatus`."""
    StatusMsg: NotRequired[str]
    UserID: NotRequired[str]
    InvestUnitID: NotRequired[str]


class Trade(TypedDict):
    """A trade (RtnTrade, RspQryTrade). From BrokerID on, only in complete records
    (``create(..., full_records=True)``)."""

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
    BrokerID: NotRequired[str]
    InvestorID: NotRequired[str]
    UserID: NotRequired[str]
    ExchangeInstID: NotRequired[str]
    ParticipantID: NotRequired[str]
    ClientID: NotRequired[str]
    TradingRole: NotRequired[str]
    TradeType: NotRequired[str]
    """:class:`ctp.TradeType`."""
    PriceSource: NotRequired[str]
    TraderID: NotRequired[str]
    OrderLocalID: NotRequired[str]
    ClearingPartID: NotRequired[str]
    BusinessUnit: NotRequired[str]
    SequenceNo: NotRequired[int]
    SettlementID: NotRequired[int]
    BrokerOrderSeq: NotRequired[int]
    TradeSource: NotRequired[str]
    InvestUnitID: NotRequired[str]


class InvestorPosition(TypedDict):
    """One side and date of a position (RspQryInvestorPosition). From BrokerID on, only in
    complete records (``create(..., full_records=True)``)."""

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
    BrokerID: NotRequired[str]
    InvestorID: NotRequired[str]
    PreMargin: NotRequired[float]
    FrozenMargin: NotRequired[float]
    FrozenCash: NotRequired[float]
    FrozenCommission: NotRequired[float]
    CashIn: NotRequired[float]
    Commission: NotRequired[float]
    CloseProfit: NotRequired[float]
    PositionCost: NotRequired[float]
    PreSettlementPrice: NotRequired[float]
    SettlementPrice: NotRequired[float]
    OpenCost: NotRequired[float]
    ExchangeMargin: NotRequired[float]
    CloseProfitByDate: NotRequired[float]
    CloseProfitByTrade: NotRequired[float]
    MarginRateByMoney: NotRequired[float]
    MarginRateByVolume: NotRequired[float]
    OpenAmount: NotRequired[float]
    CloseAmount: NotRequired[float]
    SettlementID: NotRequired[int]
    OpenVolume: NotRequired[int]
    CloseVolume: NotRequired[int]
    CombPosition: NotRequired[int]
    CombLongFrozen: NotRequired[int]
    CombShortFrozen: NotRequired[int]
    InvestUnitID: NotRequired[str]


class InvestorPositionDetail(TypedDict):
    """One open trade of a position (RspQryInvestorPositionDetail)."""

    TradingDay: str
    ExchangeID: str
    InstrumentID: str
    BrokerID: str
    InvestorID: str
    HedgeFlag: str
    """:class:`ctp.HedgeFlag`."""
    Direction: str
    """:class:`ctp.Direction`."""
    OpenDate: str
    TradeID: str
    Volume: int
    OpenPrice: float
    TradeType: str
    """:class:`ctp.TradeType`."""
    CloseProfitByDate: float
    CloseProfitByTrade: float
    PositionProfitByDate: float
    PositionProfitByTrade: float
    Margin: float
    ExchMargin: float
    MarginRateByMoney: float
    MarginRateByVolume: float
    LastSettlementPrice: float
    SettlementPrice: float
    CloseVolume: int
    CloseAmount: float


class TradingAccount(TypedDict):
    """The trading account (RspQryTradingAccount). From BrokerID on, only in complete records
    (``create(..., full_records=True)``)."""

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
    BrokerID: NotRequired[str]
    PreMortgage: NotRequired[float]
    PreCredit: NotRequired[float]
    PreDeposit: NotRequired[float]
    PreBalance: NotRequired[float]
    PreMargin: NotRequired[float]
    InterestBase: NotRequired[float]
    Interest: NotRequired[float]
    FrozenCash: NotRequired[float]
    CashIn: NotRequired[float]
    Reserve: NotRequired[float]
    WithdrawQuota: NotRequired[float]
    Credit: NotRequired[float]
    Mortgage: NotRequired[float]
    ExchangeMargin: NotRequired[float]
    DeliveryMargin: NotRequired[float]
    ExchangeDeliveryMargin: NotRequired[float]
    ReserveBalance: NotRequired[float]
    SettlementID: NotRequired[int]


class Instrument(TypedDict):
    """An instrument (RspQryInstrument). From InstrumentName on, only in complete records
    (``create(..., full_records=True)``)."""

    ExchangeID: str
    InstrumentID: str
    ProductClass: str
    """:class:`ctp.ProductClass`."""
    IsTrading: int
    PriceTick: float
    MinLimitOrderVolume: int
    MaxLimitOrderVolume: int
    InstrumentName: NotRequired[str]
    ExchangeInstID: NotRequired[str]
    ProductID: NotRequired[str]
    DeliveryYear: NotRequired[int]
    DeliveryMonth: NotRequired[int]
    MaxMarketOrderVolume: NotRequired[int]
    MinMarketOrderVolume: NotRequired[int]
    VolumeMultiple: NotRequired[int]
    """Contract multiple: a price times this is the value of one lot."""
    CreateDate: NotRequired[str]
    OpenDate: NotRequired[str]
    ExpireDate: NotRequired[str]
    StartDelivDate: NotRequired[str]
    EndDelivDate: NotRequired[str]
    InstLifePhase: NotRequired[str]
    """:class:`ctp.InstLifePhase`."""
    PositionType: NotRequired[str]
    """:class:`ctp.PositionType`."""
    PositionDateType: NotRequired[str]
    """:class:`ctp.PositionDateType`."""
    LongMarginRatio: NotRequired[float]
    ShortMarginRatio: NotRequired[float]
    MaxMarginSideAlgorithm: NotRequired[str]
    UnderlyingInstrID: NotRequired[str]
    StrikePrice: NotRequired[float]
    OptionsType: NotRequired[str]
    """:class:`ctp.OptionsType`."""
    UnderlyingMultiple: NotRequired[float]
    CombinationType: NotRequired[str]


class InstrumentMarginRate(TypedDict):
    """An instrument's margin rates for the investor (RspQryInstrumentMarginRate)."""

    InstrumentID: str
    ExchangeID: str
    InvestorRange: str
    """:class:`ctp.InvestorRange`."""
    BrokerID: str
    InvestorID: str
    HedgeFlag: str
    """:class:`ctp.HedgeFlag`."""
    LongMarginRatioByMoney: float
    """Margin of a long lot as a share of its value."""
    LongMarginRatioByVolume: float
    """Margin of a long lot, per lot."""
    ShortMarginRatioByMoney: float
    ShortMarginRatioByVolume: float
    IsRelative: int


class InstrumentCommissionRate(TypedDict):
    """An instrument's commission rates for the investor (RspQryInstrumentCommissionRate)."""

    InstrumentID: str
    ExchangeID: str
    InvestorRange: str
    """:class:`ctp.InvestorRange`."""
    BrokerID: str
    InvestorID: str
    OpenRatioByMoney: float
    """Commission of an open as a share of its turnover."""
    OpenRatioByVolume: float
    """Commission of an open, per lot."""
    CloseRatioByMoney: float
    CloseRatioByVolume: float
    CloseTodayRatioByMoney: float
    CloseTodayRatioByVolume: float


class SettlementInfo(TypedDict):
    """A piece of a settlement statement (RspQrySettlementInfo)."""

    TradingDay: str
    SettlementID: int
    BrokerID: str
    InvestorID: str
    SequenceNo: int
    Content: bytes
    """At most 500 bytes of the statement's GB18030 text, up to the first NUL, undecoded: the
    front cuts the text wherever 500 bytes end, often inside a character, so join a
    statement's pieces in order and decode once."""
    AccountID: str
    CurrencyID: str


class Exchange(TypedDict):
    """An exchange (RspQryExchange)."""

    ExchangeID: str
    ExchangeName: str
    ExchangeProperty: str


class InstrumentStatus(TypedDict):
    """An instrument entered a trading phase (RtnInstrumentStatus)."""

    ExchangeID: str
    InstrumentID: str
    SettlementGroupID: str
    InstrumentStatus: str
    """:class:`ctp.InstrumentStatus`."""
    TradingSegmentSN: int
    EnterTime: str
    EnterReason: str
    """:class:`ctp.InstrumentStatusEnterReason`."""


class TradingNoticeInfo(TypedDict):
    """A notice the broker sent the investor (RtnTradingNotice)."""

    BrokerID: str
    InvestorID: str
    SendTime: str
    FieldContent: str
    SequenceSeries: int
    SequenceNo: int


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
    """The front is reachable: authenticate and log in (again)."""

    name: Literal["FrontConnected"]


class FrontDisconnectedEvent(TypedDict):
    """The connection dropped; the vendor reconnects by itself."""

    name: Literal["FrontDisconnected"]
    reason: int
    """The vendor's reason code: 0x1001 network read failed, 0x1002 network write failed,
    0x2001 heartbeat timeout, 0x2002 heartbeat send failed, 0x2003 bad message."""


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


class RspUserLogoutEvent(TypedDict):
    name: Literal["RspUserLogout"]
    data: UserLogout | None
    error: RspInfo
    request_id: int
    last: bool


class RspUserPasswordUpdateEvent(TypedDict):
    name: Literal["RspUserPasswordUpdate"]
    data: UserPasswordUpdate | None
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


class RspQryInstrumentMarginRateEvent(TypedDict):
    """One instrument's margin rates per event; "last" marks the final one."""

    name: Literal["RspQryInstrumentMarginRate"]
    data: InstrumentMarginRate | None
    error: RspInfo
    request_id: int
    last: bool


class RspQryInstrumentCommissionRateEvent(TypedDict):
    """One instrument's commission rates per event; "last" marks the final one."""

    name: Literal["RspQryInstrumentCommissionRate"]
    data: InstrumentCommissionRate | None
    error: RspInfo
    request_id: int
    last: bool


class RspQryInvestorPositionDetailEvent(TypedDict):
    """One open trade per event; "last" marks the final one."""

    name: Literal["RspQryInvestorPositionDetail"]
    data: InvestorPositionDetail | None
    error: RspInfo
    request_id: int
    last: bool


class RspQrySettlementInfoEvent(TypedDict):
    """One piece of the statement per event, in order; "last" marks the final one."""

    name: Literal["RspQrySettlementInfo"]
    data: SettlementInfo | None
    error: RspInfo
    request_id: int
    last: bool


class RspQrySettlementInfoConfirmEvent(TypedDict):
    name: Literal["RspQrySettlementInfoConfirm"]
    data: SettlementInfoConfirm | None
    error: RspInfo
    request_id: int
    last: bool


class RspQryDepthMarketDataEvent(TypedDict):
    """One instrument's snapshot per event; "last" marks the final one."""

    name: Literal["RspQryDepthMarketData"]
    data: DepthMarketData | None
    error: RspInfo
    request_id: int
    last: bool


class RspQryExchangeEvent(TypedDict):
    """One exchange per event; "last" marks the final one."""

    name: Literal["RspQryExchange"]
    data: Exchange | None
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


class RtnInstrumentStatusEvent(TypedDict):
    """An instrument entered a trading phase; request_id is 0 and last True."""

    name: Literal["RtnInstrumentStatus"]
    data: InstrumentStatus | None
    error: RspInfo
    request_id: int
    last: bool


class RtnTradingNoticeEvent(TypedDict):
    """The broker sent a notice; request_id is 0 and last True."""

    name: Literal["RtnTradingNotice"]
    data: TradingNoticeInfo | None
    error: RspInfo
    request_id: int
    last: bool


Event: TypeAlias = (
    FrontConnectedEvent
    | FrontDisconnectedEvent
    | HeartBeatWarningEvent
    | RspErrorEvent
    | RspAuthenticateEvent
    | RspUserLoginEvent
    | RspUserLogoutEvent
    | RspUserPasswordUpdateEvent
    | RspSettlementInfoConfirmEvent
    | RspQryOrderEvent
    | RspQryTradeEvent
    | RspQryInvestorPositionEvent
    | RspQryTradingAccountEvent
    | RspQryInstrumentEvent
    | RspQryInstrumentMarginRateEvent
    | RspQryInstrumentCommissionRateEvent
    | RspQryInvestorPositionDetailEvent
    | RspQrySettlementInfoEvent
    | RspQrySettlementInfoConfirmEvent
    | RspQryDepthMarketDataEvent
    | RspQryExchangeEvent
    | RspOrderInsertEvent
    | RspOrderActionEvent
    | RtnOrderEvent
    | RtnTradeEvent
    | ErrRtnOrderInsertEvent
    | ErrRtnOrderActionEvent
    | RtnInstrumentStatusEvent
    | RtnTradingNoticeEvent
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


class UserLogoutFields(TypedDict, total=False):
    BrokerID: str
    UserID: str


class UserPasswordUpdateFields(TypedDict, total=False):
    BrokerID: str
    UserID: str
    OldPassword: str
    NewPassword: str


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


class QryInstrumentMarginRateFields(TypedDict, total=False):
    BrokerID: str
    InvestorID: str
    InstrumentID: str
    HedgeFlag: str
    """:class:`ctp.HedgeFlag`."""
    ExchangeID: str
    InvestUnitID: str


class QryInstrumentCommissionRateFields(TypedDict, total=False):
    BrokerID: str
    InvestorID: str
    InstrumentID: str
    ExchangeID: str
    InvestUnitID: str


class QryInvestorPositionDetailFields(TypedDict, total=False):
    BrokerID: str
    InvestorID: str
    InstrumentID: str
    ExchangeID: str
    InvestUnitID: str


class QrySettlementInfoFields(TypedDict, total=False):
    BrokerID: str
    InvestorID: str
    TradingDay: str
    AccountID: str
    CurrencyID: str


class QrySettlementInfoConfirmFields(TypedDict, total=False):
    BrokerID: str
    InvestorID: str
    AccountID: str
    CurrencyID: str


class QryDepthMarketDataFields(TypedDict, total=False):
    InstrumentID: str
    ExchangeID: str


class QryExchangeFields(TypedDict, total=False):
    ExchangeID: str


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
    """:class:`ctp.OffsetFlag` per leg."""
    CombHedgeFlag: str
    """:class:`ctp.HedgeFlag` per leg."""
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
    "UserLogout",
    "UserPasswordUpdate",
    "SettlementInfoConfirm",
    "QryOrder",
    "QryTrade",
    "QryInvestorPosition",
    "QryTradingAccount",
    "QryInstrument",
    "QryInstrumentMarginRate",
    "QryInstrumentCommissionRate",
    "QryInvestorPositionDetail",
    "QrySettlementInfo",
    "QrySettlementInfoConfirm",
    "QryDepthMarketData",
    "QryExchange",
    "OrderInsert",
    "OrderAction",
]
"""The names ``request`` sends."""

RequestFields: TypeAlias = (
    AuthenticateFields
    | UserLoginFields
    | UserLogoutFields
    | UserPasswordUpdateFields
    | SettlementInfoConfirmFields
    | QryOrderFields
    | QryTradeFields
    | QryInvestorPositionFields
    | QryTradingAccountFields
    | QryInstrumentFields
    | QryInstrumentMarginRateFields
    | QryInstrumentCommissionRateFields
    | QryInvestorPositionDetailFields
    | QrySettlementInfoFields
    | QrySettlementInfoConfirmFields
    | QryDepthMarketDataFields
    | QryExchangeFields
    | OrderInsertFields
    | OrderActionFields
)
"""The fields of any request."""
# END interface/ctp.toml: records

# ---- functions --------------------------------------------------------------------


def version() -> str:
    """The vendor library's version text, e.g. '6.7.2_standin (simulated front)'."""


def create(front: str | Sequence[str], flow: bytes, /, *, private_resume: Resume = "quick",
           public_resume: Resume = "quick", full_records: bool = False) -> Handle:
    """Opens a session on a front address ("tcp://host:port", or
    "sim://NAME" for the stand-in's simulated front), or on several (a
    sequence, each registered in order; the vendor moves on to the next
    when one fails), with one flow directory (bytes, ending in "/"), where
    the vendor library keeps its files, and starts it; FrontConnected
    follows. Returns the session handle.

    ``private_resume`` and ``public_resume`` say how the private flow (the
    investor's orders and trades) and the public flow are resumed after each
    login (see :data:`Resume`). With ``full_records`` every record carries
    its keys and then those of complete records (``NotRequired`` below);
    without, each carries only its first keys.

    Everything is checked before anything is created: TypeError "CTP
    前置地址必须是字符串或字符串序列" for a front that is neither a str nor a
    sequence of str, ValueError "CTP 前置地址列表为空" for an empty one, and
    "embedded null character" for a NUL; TypeError "KEYWORD 必须是字符串" and
    ValueError "KEYWORD 必须是 CTP 的续传方式 ..." for a resume type that is
    not one of the words. Raises RuntimeError "创建 CTP 接口失败" when the vendor cannot create its
    API object; when it failed for a reason of the system's (errno), the
    message ends with that reason ("创建 CTP 接口失败: Too many open files")
    and the system's OSError is the ``__cause__``.
    """


# BEGIN interface/ctp.toml: requests (written by interface/generate.py)
@overload
def request(handle: Handle, name: Literal["Authenticate"], fields: AuthenticateFields, request_id: int, /) -> int: ...
@overload
def request(handle: Handle, name: Literal["UserLogin"], fields: UserLoginFields, request_id: int, /) -> int: ...
@overload
def request(handle: Handle, name: Literal["UserLogout"], fields: UserLogoutFields, request_id: int, /) -> int: ...
@overload
def request(handle: Handle, name: Literal["UserPasswordUpdate"], fields: UserPasswordUpdateFields,
            request_id: int, /) -> int: ...
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
def request(handle: Handle, name: Literal["QryInstrumentMarginRate"], fields: QryInstrumentMarginRateFields,
            request_id: int, /) -> int: ...
@overload
def request(handle: Handle, name: Literal["QryInstrumentCommissionRate"], fields: QryInstrumentCommissionRateFields,
            request_id: int, /) -> int: ...
@overload
def request(handle: Handle, name: Literal["QryInvestorPositionDetail"], fields: QryInvestorPositionDetailFields,
            request_id: int, /) -> int: ...
@overload
def request(handle: Handle, name: Literal["QrySettlementInfo"], fields: QrySettlementInfoFields,
            request_id: int, /) -> int: ...
@overload
def request(handle: Handle, name: Literal["QrySettlementInfoConfirm"], fields: QrySettlementInfoConfirmFields,
            request_id: int, /) -> int: ...
@overload
def request(handle: Handle, name: Literal["QryDepthMarketData"], fields: QryDepthMarketDataFields,
            request_id: int, /) -> int: ...
@overload
def request(handle: Handle, name: Literal["QryExchange"], fields: QryExchangeFields, request_id: int, /) -> int: ...
@overload
def request(handle: Handle, name: Literal["OrderInsert"], fields: OrderInsertFields, request_id: int, /) -> int: ...
@overload
def request(handle: Handle, name: Literal["OrderAction"], fields: OrderActionFields, request_id: int, /) -> int: ...
# END interface/ctp.toml: requests
@overload
def request(handle: Handle, name: RequestName, fields: RequestFields, request_id: int, /) -> int:
    """Sends one request and returns the vendor's result at once: 0 sent, -1
    not connected, -2 too many requests waiting, -3 too many per second. The
    replies arrive through ``poll`` with the same ``request_id``.

    Keys not listed for the request are ignored; a bad value raises before
    anything is sent (TypeError "KEY 必须是字符串", ValueError "KEY 超出 CTP
    字段长度或包含 NUL 字符" or "KEY 包含 CTP 不支持的字符", OverflowError "CTP
    整数超出范围"). An unknown name raises ValueError "不支持的 CTP 请求"; a
    closed session RuntimeError "CTP 接口已关闭".
    """


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
