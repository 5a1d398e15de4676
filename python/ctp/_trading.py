"""The trading protocol, free of I/O: what a session on a trading front logs in with and
sends, and the order book that follows what the front says of orders and trades.

``TRADING`` is the protocol the session core runs; ``OrderBook`` plugs into the
session: it allocates order references, sends orders and cancels, files every
order and trade the front reports (the investor's other sessions' too, each
trade once), and reads today's orders and trades again after a login again.
"""

from __future__ import annotations

import enum
from collections.abc import Callable
from typing import Annotated, Any, NamedTuple, TypedDict, Unpack, get_type_hints

from ._core import Call, Event, Finishing, Plugin, Protocol, Record, reply_error
from ._interface import REQUEST_KEYS
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
    TimeCondition,
    VolumeCondition,
)


TRADING = Protocol(
    "trading",
    login=(("Authenticate", ("BrokerID", "UserID", "AppID", "AuthCode")),
           ("UserLogin", ("BrokerID", "UserID", "Password")),
           ("SettlementInfoConfirm", ("BrokerID", "InvestorID"))),
    requests=REQUEST_KEYS)     # the keys `_ctp.request` reads, per request

FINISHED = frozenset({OrderStatus.ALL_TRADED, OrderStatus.CANCELED, OrderStatus.PART_TRADED_NOT_QUEUEING,
                      OrderStatus.NO_TRADE_NOT_QUEUEING})


# ---- an order's arguments ------------------------------------------------------------------------

class Key(NamedTuple):
    """The vendor's key an order's argument fills, and its value when the argument is left out."""

    name: str
    default: object = None


class _OrderRequired(TypedDict):
    instrument: Annotated[str, Key("InstrumentID")]
    direction: Annotated[Direction, Key("Direction")]
    volume: Annotated[int, Key("VolumeTotalOriginal")]
    price: Annotated[float, Key("LimitPrice")]


class OrderOptions(TypedDict, total=False):
    """``insert_order``'s options, each with its default: a limit order, good for the day, that
    opens, speculation, any volume, at once."""

    exchange: Annotated[str, Key("ExchangeID", "")]
    offset: Annotated[OffsetFlag, Key("CombOffsetFlag", OffsetFlag.OPEN)]
    hedge: Annotated[HedgeFlag, Key("CombHedgeFlag", HedgeFlag.SPECULATION)]
    price_type: Annotated[OrderPriceType, Key("OrderPriceType", OrderPriceType.LIMIT_PRICE)]
    time_condition: Annotated[TimeCondition, Key("TimeCondition", TimeCondition.GFD)]
    volume_condition: Annotated[VolumeCondition, Key("VolumeCondition", VolumeCondition.ANY)]
    min_volume: Annotated[int, Key("MinVolume", 1)]
    contingent_condition: Annotated[ContingentCondition, Key("ContingentCondition", ContingentCondition.IMMEDIATELY)]
    auto_suspend: Annotated[bool, Key("IsAutoSuspend", False)]
    currency: Annotated[str, Key("CurrencyID", "")]


class _OrderArguments(_OrderRequired, OrderOptions):
    pass


# Every argument of an order, once: what it takes, the key it fills, its default.
ORDER_ARGUMENTS: dict[str, tuple[type, Key]] = {
    name: (hint.__origin__, hint.__metadata__[0])
    for name, hint in get_type_hints(_OrderArguments, include_extras=True).items()}
ORDER_KEYS = {key.name: name for name, (_, key) in ORDER_ARGUMENTS.items()}


def check_argument(name: str, value: Any, kind: type) -> Any:
    """An argument as the request takes it, or TypeError/ValueError naming it: a number for a real
    (never a str), an int for an integer, a bool for a flag, a str for text, a member (or the code)
    of the package's enum for a code."""
    if kind is float:
        if isinstance(value, (bool, str, bytes)) or not (hasattr(value, "__float__") or hasattr(value, "__index__")):
            raise TypeError(f"{name} must be a number, not {type(value).__name__}")
        return float(value)
    if kind is int:
        if isinstance(value, bool) or not hasattr(value, "__index__"):
            raise TypeError(f"{name} must be an int, not {type(value).__name__}")
        return value.__index__()
    if kind is bool:
        if not isinstance(value, bool):
            raise TypeError(f"{name} must be a bool, not {type(value).__name__}")
        return int(value)
    if kind is str:
        if not isinstance(value, str):
            raise TypeError(f"{name} must be a str, not {type(value).__name__}")
        return value
    try:
        return kind(value)
    except ValueError:
        members = ", ".join(member.name for member in kind)     # type: ignore[attr-defined]
        raise ValueError(f"{name} must be a ctp.{kind.__name__} ({members}), not {value!r}") from None


def _code[E: enum.StrEnum](kind: type[E], value: str) -> str:
    """The enum member for a code, or the code itself when the package does not know it."""
    try:
        return kind(value)
    except ValueError:
        return value


# ---- orders ----------------------------------------------------------------------------------------

class BaseOrder(Finishing):
    """An order and what the front has said about it since: its state follows
    RtnOrder, RtnTrade and rejections. ``data`` is the latest RtnOrder record."""

    def __init__(self) -> None:
        super().__init__()
        self.instrument = ""
        self.exchange = ""
        self.direction = ""
        self.offset = ""
        self.price = 0.0
        self.volume = 0
        self.front_id = 0
        self.session_id = 0
        self.order_ref = ""
        self.order_sys_id = ""
        self.request_id = 0
        """Its OrderInsert's request id (0 for other sessions' orders)."""
        self.status = ""
        """An ``OrderStatus`` ("" until the front reports the order)."""
        self.submit_status = ""
        self.status_msg = ""
        self.traded = 0
        self.trades: list[Record] = []
        """Its trades (RtnTrade records), each once."""
        self.error: BaseException | None = None
        """Why it was refused: a ``CtpError`` (or ``Disconnected``, ``TimeoutError`` if it never went out)."""
        self.data: Record | None = None

    @property
    def rejected(self) -> bool:
        return self.error is not None

    def _finished_now(self) -> bool:
        """Refused, or finished with all of its trades seen (the last RtnOrder comes before its RtnTrade)."""
        if self.error is not None:
            return True
        return self.status in FINISHED and sum(t["Volume"] for t in self.trades) >= self.traded

    @property
    def remaining(self) -> int:
        return 0 if self.done else self.volume - self.traded

    def _changed(self) -> None:
        """What the front said changed the order: ``done`` follows, and the callbacks run once it is."""
        self.done = self._finished_now()
        if self.done:
            self._finished()

    def __repr__(self) -> str:
        what = f"{Direction(self.direction).name.lower() if self.direction in ('0', '1') else self.direction}"
        state = f"error {self.error}" if self.error else f"status={self.status or '-'} traded={self.traded}"
        return (f"<Order {self.front_id}/{self.session_id}/{self.order_ref} {self.exchange}:{self.order_sys_id} "
                f"{what} {self.volume} {self.instrument}@{self.price:g} {state}>")


class OrderBook[O: BaseOrder](Plugin):
    """The investor's orders and trades as the front reports them, and the calls that change them."""

    def __init__(self, new_order: Callable[[], O]) -> None:
        self.new_order = new_order
        self.orders: list[O] = []
        """Every order known: this session's and the investor's other sessions' seen since the login."""
        self.trades: list[Record] = []
        """Every trade seen (RtnTrade records), each once."""
        self._next_ref = 1
        self._by_ref: dict[tuple[int, int, str], O] = {}
        self._by_sys: dict[tuple[str, str], O] = {}
        self._inserts: dict[int, O] = {}           # OrderInsert request id -> its order, until the front takes it
        self._cancels: list[tuple[O, Call]] = []
        self._trade_keys: set[tuple[str, str, str]] = set()

    # ---- what the caller asks -------------------------------------------------------------------

    def insert_order(self, now: float, instrument: str, direction: Direction, volume: int, price: float,
                     **options: Unpack[OrderOptions]) -> tuple[O, Call]:
        """Queues an order with the next OrderRef; the call finishes once it is sent."""
        given: dict[str, Any] = dict(instrument=instrument, direction=direction, volume=volume, price=price)
        unknown = [name for name in options if name not in ORDER_ARGUMENTS]
        if unknown:
            raise TypeError(f"insert_order() got an unexpected keyword argument {unknown[0]!r}; its options are "
                            f"{', '.join(OrderOptions.__annotations__)}")
        given |= options
        values = {key.name: check_argument(name, given.get(name, key.default), kind)
                  for name, (kind, key) in ORDER_ARGUMENTS.items()}
        session = self.session
        session.check_open(ready=True)
        order = self.new_order()
        order.instrument, order.exchange = values["InstrumentID"], values["ExchangeID"]
        order.direction, order.offset = values["Direction"], values["CombOffsetFlag"]
        order.price, order.volume = values["LimitPrice"], values["VolumeTotalOriginal"]
        order.front_id, order.session_id = session.login["FrontID"], session.login["SessionID"]
        order.order_ref = str(self._next_ref)
        self._next_ref += 1
        fields = session.own("OrderInsert", values) | dict(
            UserID=session.user, OrderRef=order.order_ref, ForceCloseReason=ForceCloseReason.NOT_FORCE_CLOSE,
            UserForceClose=0)
        call = Call("OrderInsert", fields, session.deadline(now, None), until="sent", arguments=ORDER_KEYS)
        call.result = order
        self._file(order)
        self.orders.append(order)

        def sent(call: Call) -> None:
            if call.error is not None:
                self._reject(order, call.error)
            else:   # its replies concern the order, not the call
                order.request_id = call.request_id
                self._inserts[call.request_id] = order
        call.add_done_callback(sent)
        session.submit(call)
        return order, call

    def cancel(self, order: O, now: float, timeout: float | None = None) -> Call:
        """Cancels an order; the call finishes with the order once it is finished, or fails
        with the front's refusal. Waits for the order's OrderSysID if it has none yet."""
        call = Call("OrderAction", None, self.session.deadline(now, timeout))
        call.result = order
        if order.done:
            call.finish(order)
            return call
        self.session.check_open(ready=True)
        self._cancels.append((order, call))
        order.add_done_callback(lambda _: call.finish(order))
        if order.order_sys_id:
            self._send_cancel(order, call)
        else:
            self.session.keep(call)
        return call

    def order_by_ref(self, front_id: int, session_id: int, order_ref: str) -> O | None:
        return self._by_ref.get((front_id, session_id, order_ref))

    def order_by_sys_id(self, exchange_id: str, order_sys_id: str) -> O | None:
        return self._by_sys.get((exchange_id, order_sys_id))

    # ---- what the session tells ----------------------------------------------------------------

    def logged_in(self, login: Record) -> None:
        max_ref = str(login.get("MaxOrderRef", "")).strip()
        if max_ref.isdigit():
            self._next_ref = max(self._next_ref, int(max_ref) + 1)

    def sync(self, again: bool) -> list[Call]:
        """After a login again: today's orders, then their trades, so that what happened while
        away (a fill) shows on the orders."""
        if not again:
            return []
        session = self.session
        fields = session.own("QryOrder", {})
        orders = session.own_request("QryOrder", fields, "sync", paced=True, then=self._reread_orders)
        trades = session.own_request("QryTrade", session.own("QryTrade", {}), "sync", paced=True,
                                      then=self._reread_trades)
        return [orders, trades]

    def receive(self, event: Event) -> None:
        name, data = event["name"], event.get("data")
        if name == "RtnOrder" and data is not None:
            self._order_update(data)
        elif name == "RtnTrade" and data is not None:
            self._trade(data)
        elif name == "RspOrderInsert":
            order = self._inserts.pop(event.get("request_id", 0), None)
            error = reply_error(event, "OrderInsert")
            if order is not None and error is not None:
                self._reject(order, error)
        elif name == "ErrRtnOrderInsert":
            self._refused_again(event)
        elif name == "ErrRtnOrderAction":
            self._cancel_refused(event)

    def dropped(self, error: BaseException) -> None:
        self._inserts.clear()
        self._cancels = [(order, call) for order, call in self._cancels if not call.done]

    # ---- internals ----------------------------------------------------------------------------

    def _reread_orders(self, records: list[Record]) -> None:
        for record in records:
            self._order_update(record)

    def _reread_trades(self, records: list[Record]) -> None:
        for record in records:
            self._trade(record)
        self.session.log.info("caught up: %d orders, %d trades known", len(self.orders), len(self.trades))

    def _file(self, order: O) -> None:
        if order.order_ref:
            self._by_ref[(order.front_id, order.session_id, order.order_ref)] = order
        if order.order_sys_id:
            self._by_sys[(order.exchange, order.order_sys_id)] = order

    def _reject(self, order: O, error: BaseException) -> None:
        if order.error is None and order.status == "":
            order.error = error
            self.session.log.warning("order %s refused: %s", order.order_ref, error)
            order._changed()

    def _order_update(self, data: Record) -> None:
        key = (data["FrontID"], data["SessionID"], data["OrderRef"])
        order = self._by_ref.get(key) or self._by_sys.get((data["ExchangeID"], data["OrderSysID"]))
        if order is None:
            order = self.new_order()
            order.front_id, order.session_id, order.order_ref = key
            order.instrument, order.direction = data["InstrumentID"], _code(Direction, data["Direction"])
            order.offset = _code(OffsetFlag, data["CombOffsetFlag"][:1])
            order.price, order.volume = data["LimitPrice"], data["VolumeTotalOriginal"]
            self.orders.append(order)
        self._inserts.pop(order.request_id, None)     # taken: no refusal will come
        order.data = data
        order.exchange = data["ExchangeID"] or order.exchange
        order.order_sys_id = data["OrderSysID"] or order.order_sys_id
        order.status = _code(OrderStatus, data["OrderStatus"])
        order.submit_status = _code(OrderSubmitStatus, data["OrderSubmitStatus"])
        order.status_msg = data["StatusMsg"]
        order.traded = data["VolumeTraded"]
        self._file(order)
        if order.order_sys_id:
            for pending, call in list(self._cancels):
                if pending is order and not call.done and not call.fields:
                    self._send_cancel(order, call)
        order._changed()

    def _trade(self, data: Record) -> None:
        key = (data["ExchangeID"], data["TradeID"], data["Direction"])
        if key in self._trade_keys:
            return
        self._trade_keys.add(key)
        self.trades.append(data)
        order = self._by_sys.get((data["ExchangeID"], data["OrderSysID"]))
        if order is not None:
            order.trades.append(data)
            order._changed()

    def _refused_again(self, event: Event) -> None:
        """ErrRtnOrderInsert: the same refusal as the RspOrderInsert before it, or the only one."""
        data = event.get("data") or {}
        login = self.session.login
        key = (int(login.get("FrontID", 0)), int(login.get("SessionID", 0)), str(data.get("OrderRef")))
        order = self._by_ref.get(key)
        error = reply_error(event, "OrderInsert")
        if order is not None and not order.done and error is not None:
            self._reject(order, error)

    def _send_cancel(self, order: O, call: Call) -> None:
        call.fields = self.session.own("OrderAction", dict(
            UserID=self.session.user, ActionFlag=ActionFlag.DELETE, ExchangeID=order.exchange,
            OrderSysID=order.order_sys_id, InstrumentID=order.instrument))
        self.session.submit(call)

    def _cancel_refused(self, event: Event) -> None:
        data = event.get("data") or {}
        error = reply_error(event, "OrderAction")
        for order, call in list(self._cancels):
            if (order.exchange, order.order_sys_id) == (data.get("ExchangeID"), data.get("OrderSysID")):
                call.finish(error=error)
