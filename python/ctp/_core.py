"""The client's protocol logic, free of I/O and of asyncio.

A ``Core`` is a state machine fed with what happens (``receive`` for each
event record that ``_ctp.poll`` returned, ``advance`` when time passes,
``poll_failed`` when poll raised) and asked for what to do (``outgoing``:
the requests due now, whose results go back through ``sent``). It logs in
and logs in again after a drop, allocates request ids and order references,
gathers replies, paces queries, keeps the order book, and turns errors into
exceptions. ``Client`` and ``AsyncClient`` are thin drivers around it.
Times are plain numbers of seconds from whatever monotonic clock the driver
uses.
"""

from __future__ import annotations

import enum
import itertools
import logging
from collections import deque
from collections.abc import Callable, Mapping
from typing import Any

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

Event = dict[str, Any]
"""An event record as ``_ctp.poll`` returns it, or one of the client's own:
``{"name": "Reconnected", "data": login}``, ``{"name": "ReconnectFailed",
"request": name, "exception": CtpError or TimeoutError}``, ``{"name":
"Overflowed", "error": text}``."""
Record = dict[str, Any]

# The keys `_ctp.request` reads, per request (its README's table).
REQUEST_KEYS: dict[str, tuple[str, ...]] = {
    "Authenticate": ("BrokerID", "UserID", "AuthCode", "AppID"),
    "UserLogin": ("BrokerID", "UserID", "Password"),
    "SettlementInfoConfirm": ("BrokerID", "InvestorID", "CurrencyID"),
    "QryOrder": ("BrokerID", "InvestorID", "ExchangeID", "OrderSysID", "InstrumentID"),
    "QryTrade": ("BrokerID", "InvestorID", "ExchangeID", "InstrumentID"),
    "QryInvestorPosition": ("BrokerID", "InvestorID", "ExchangeID", "InstrumentID"),
    "QryTradingAccount": ("BrokerID", "InvestorID", "CurrencyID"),
    "QryInstrument": ("ExchangeID", "InstrumentID"),
    "OrderInsert": ("BrokerID", "InvestorID", "OrderRef", "UserID", "OrderPriceType", "Direction",
                    "CombOffsetFlag", "CombHedgeFlag", "LimitPrice", "VolumeTotalOriginal", "TimeCondition",
                    "VolumeCondition", "MinVolume", "ContingentCondition", "ForceCloseReason", "IsAutoSuspend",
                    "UserForceClose", "ExchangeID", "CurrencyID", "InstrumentID"),
    "OrderAction": ("BrokerID", "InvestorID", "ExchangeID", "OrderSysID", "ActionFlag", "LimitPrice", "UserID",
                    "InstrumentID"),
}
QUERIES = tuple(name for name in REQUEST_KEYS if name.startswith("Qry"))

# `_ctp.request` results.
SENT, NOT_CONNECTED, TOO_MANY_WAITING, TOO_SOON = 0, -1, -2, -3
FIRST_BACKOFF, LAST_BACKOFF = 0.05, 2.0
# A login whose request could not go out (the vendor's call raised, or returned non-zero) starts again after these.
FIRST_RELOGIN, LAST_RELOGIN = 0.1, 5.0


def backoff(attempt: int, first: float, last: float) -> float:
    """The delay before try number attempt + 1: first, doubling each time, at most last."""
    return min(first * 2.0 ** (attempt - 1), last)

FINISHED = frozenset({OrderStatus.ALL_TRADED, OrderStatus.CANCELED, OrderStatus.PART_TRADED_NOT_QUEUEING,
                      OrderStatus.NO_TRADE_NOT_QUEUEING})


class CtpError(Exception):
    """The front refused a request: its error id and message, and the request's name and id."""

    def __init__(self, error_id: int, message: str, request: str = "", request_id: int = 0) -> None:
        super().__init__(error_id, message, request, request_id)
        self.error_id = error_id
        self.message = message
        self.request = request
        self.request_id = request_id

    def __str__(self) -> str:
        return f"{self.request} #{self.request_id}: error {self.error_id}: {self.message}"


class Disconnected(ConnectionError):
    """The connection to the front dropped (or the session was closed) before the call finished."""

    def __init__(self, message: str, reason: int = 0) -> None:
        super().__init__(message)
        self.reason = reason


class Overflowed(RuntimeError):
    """The session lost events to a full queue: results can no longer be seen, so it must not trade."""


def check_timeout(timeout: object, name: str = "timeout") -> float | None:
    """A limit in seconds as given: a finite number >= 0 (0: do not wait), or None (no limit).
    Anything else raises here, before it can reach a deadline that other calls share."""
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"{name} must be a number of seconds or None, not {type(timeout).__name__}")
    if not 0 <= timeout < float("inf"):
        raise ValueError(f"{name} must be a finite number of seconds >= 0 (0: do not wait) or None (no limit), "
                         f"not {timeout!r}")
    return float(timeout)


# The vendor's keys the client fills from its caller's arguments, by the argument's name.
CREDENTIALS = {"BrokerID": "broker", "UserID": "user", "InvestorID": "user", "Password": "password",
               "AppID": "app_id", "AuthCode": "auth_code"}
BAD_VALUE = (TypeError, ValueError, OverflowError)     # what the module raises for a value it refuses


def naming(error: BaseException, arguments: Mapping[str, str]) -> BaseException:
    """The module's error for a value it refused (its text starts with the vendor's key), again
    with the caller's argument's name in front; the module's own error is its cause."""
    key = str(error).split(" ", 1)[0]
    if key not in arguments:
        return error
    named = type(error)(f"{arguments[key]}: {error}")
    named.__cause__ = error
    return named


# insert_order's arguments: the vendor's key each one fills, and what it takes.
ORDER_ARGUMENTS: dict[str, tuple[str, type]] = {
    "instrument": ("InstrumentID", str), "direction": ("Direction", Direction), "volume": ("VolumeTotalOriginal", int),
    "price": ("LimitPrice", float), "exchange": ("ExchangeID", str), "offset": ("CombOffsetFlag", OffsetFlag),
    "hedge": ("CombHedgeFlag", HedgeFlag), "price_type": ("OrderPriceType", OrderPriceType),
    "time_condition": ("TimeCondition", TimeCondition), "volume_condition": ("VolumeCondition", VolumeCondition),
    "min_volume": ("MinVolume", int), "contingent_condition": ("ContingentCondition", ContingentCondition),
    "auto_suspend": ("IsAutoSuspend", bool), "currency": ("CurrencyID", str)}
ORDER_KEYS = {key: argument for argument, (key, _) in ORDER_ARGUMENTS.items()}


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
    if kind is bool or kind is str:
        if not isinstance(value, kind):
            raise TypeError(f"{name} must be a {kind.__name__}, not {type(value).__name__}")
        return value
    try:
        return kind(value)
    except ValueError:
        members = ", ".join(member.name for member in kind)     # type: ignore[attr-defined]
        raise ValueError(f"{name} must be a ctp.{kind.__name__} ({members}), not {value!r}") from None


def check_keys(name: str, fields: Mapping[str, object]) -> None:
    """Raises ValueError naming the valid keys when fields has one the request does not read."""
    valid = REQUEST_KEYS[name]
    unknown = [key for key in fields if key not in valid]
    if unknown:
        raise ValueError(f"{name} has no key {unknown[0]!r}; its keys are {', '.join(valid)}")


def _code[E: enum.StrEnum](kind: type[E], value: str) -> str:
    """The enum member for a code, or the code itself when the package does not know it."""
    try:
        return kind(value)
    except ValueError:
        return value


class Call:
    """One request in progress, as a small future of its own: done once with
    a result or an exception; callbacks run when it finishes."""

    def __init__(self, name: str, fields: Record, deadline: float | None, query: bool = False) -> None:
        self.name = name
        self.fields = fields
        self.deadline = deadline
        self.query = query
        self.request_id = 0
        self.records: list[Record] = []
        self.done = False
        self.result: Any = None
        self.error: BaseException | None = None
        self.retry_at: float | None = None
        self.attempts = 0
        self.sent = False
        self.timeout: float | None = None      # if given, its deadline is set when it first goes out
        self._callbacks: list[Callable[[Call], None]] = []
        self.on_records: Callable[[list[Record]], Any] | None = None  # result from the records

    def add_done_callback(self, callback: Callable[[Call], None]) -> None:
        if self.done:
            callback(self)
        else:
            self._callbacks.append(callback)

    def value(self) -> Any:
        if self.error is not None:
            raise self.error
        return self.result

    def finish(self, result: Any = None, error: BaseException | None = None) -> None:
        if self.done:
            return
        self.done, self.result, self.error = True, result, error
        callbacks, self._callbacks = self._callbacks, []
        for callback in callbacks:
            callback(self)


class BaseOrder:
    """An order and what the front has said about it since: its state follows
    RtnOrder, RtnTrade and rejections. ``data`` is the latest RtnOrder record."""

    def __init__(self) -> None:
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
        self._callbacks: list[Callable[[BaseOrder], None]] = []

    @property
    def rejected(self) -> bool:
        return self.error is not None

    @property
    def done(self) -> bool:
        """Refused, or finished with all of its trades seen (the last RtnOrder comes before its RtnTrade)."""
        if self.error is not None:
            return True
        return self.status in FINISHED and sum(t["Volume"] for t in self.trades) >= self.traded

    @property
    def remaining(self) -> int:
        return 0 if self.done else self.volume - self.traded

    def add_done_callback(self, callback: Callable[[BaseOrder], None]) -> None:
        if self.done:
            callback(self)
        else:
            self._callbacks.append(callback)

    def _changed(self) -> None:
        if self.done:
            callbacks, self._callbacks = self._callbacks, []
            for callback in callbacks:
                callback(self)

    def __repr__(self) -> str:
        what = f"{Direction(self.direction).name.lower() if self.direction in ('0', '1') else self.direction}"
        state = f"error {self.error}" if self.error else f"status={self.status or '-'} traded={self.traded}"
        return (f"<Order {self.front_id}/{self.session_id}/{self.order_ref} {self.exchange}:{self.order_sys_id} "
                f"{what} {self.volume} {self.instrument}@{self.price:g} {state}>")


class Phase(enum.Enum):
    CONNECTING = "waiting for the front"
    LOGGING_IN = "logging in"
    RETRYING = "logging in again soon"
    READY = "logged in"
    DISCONNECTED = "disconnected"
    LOGIN_FAILED = "login refused"
    OVERFLOWED = "overflowed"
    CLOSED = "closed"


class Core[O: BaseOrder]:
    """The session's protocol, for one investor on one front."""

    def __init__(self, new_order: Callable[[], O], *, broker: str, user: str, password: str, app_id: str,
                 auth_code: str, query_interval: float = 1.0, timeout: float | None = 10.0,
                 logger: logging.Logger | None = None, front: str = "") -> None:
        self.new_order = new_order
        self.front = front
        self.broker, self.user, self.password = broker, user, password
        self.app_id, self.auth_code = app_id, auth_code
        self.query_interval = query_interval
        self.timeout = timeout
        self.log = logger or logging.getLogger("ctp.session")
        self.phase = Phase.CONNECTING
        self.login: Record = {}
        """The latest login's record: TradingDay, FrontID, SessionID, MaxOrderRef."""
        self.logins = 0
        self.overflow: Overflowed | None = None
        self._ids = itertools.count(1)
        self._next_ref = 1
        self._calls: dict[int, Call] = {}          # sent, by request id
        self._outbox: list[Call] = []              # to send, not paced
        self._queries: deque[Call] = deque()       # to send, one at a time
        self._in_flight: Call | None = None
        self._next_query_at = 0.0
        self._connect: Call | None = None
        self._login_call: Call | None = None
        self._relogin_at: float | None = None      # when RETRYING
        self._relogins = 0                          # failed in a row
        self._orders_by_ref: dict[tuple[int, int, str], O] = {}
        self._orders_by_sys: dict[tuple[str, str], O] = {}
        self.orders: list[O] = []
        self._order_calls: dict[int, O] = {}       # OrderInsert request id -> order
        self._cancels: list[tuple[O, Call]] = []
        self._trade_keys: set[tuple[str, str, str]] = set()
        self.trades: list[Record] = []
        self._subscribers: list[Callable[[Event], None]] = []

    # ---- what the user asks -------------------------------------------------------------------

    def connect(self, now: float, timeout: float | None = None) -> Call:
        """A call that finishes once logged in and the settlement confirmed (with the login record)."""
        self._connect = Call("connect", {}, self._deadline(now, timeout))
        return self._connect

    def query(self, name: str, fields: Mapping[str, object], now: float, timeout: float | None = None) -> Call:
        """Queues a query; the call's result is the list of its records."""
        if name not in QUERIES:
            raise ValueError(f"not a query: {name!r}; the queries are {', '.join(QUERIES)}")
        check_keys(name, fields)
        self._check_open()
        # Its time counts from now: waiting for its turn, or for the session to be ready, counts too.
        call = Call(name, self._own(name, fields), self._deadline(now, timeout), query=True)
        self._queries.append(call)
        return call

    def insert_order(self, now: float, instrument: str, direction: Direction, volume: int, price: float, *,
                     exchange: str = "", offset: OffsetFlag = OffsetFlag.OPEN,
                     hedge: HedgeFlag = HedgeFlag.SPECULATION,
                     price_type: OrderPriceType = OrderPriceType.LIMIT_PRICE,
                     time_condition: TimeCondition = TimeCondition.GFD,
                     volume_condition: VolumeCondition = VolumeCondition.ANY, min_volume: int = 1,
                     contingent_condition: ContingentCondition = ContingentCondition.IMMEDIATELY,
                     auto_suspend: bool = False, currency: str = "",
                     timeout: float | None = None) -> tuple[O, Call]:
        """Queues an order with the next OrderRef; the call finishes once it is sent."""
        given = dict(instrument=instrument, direction=direction, volume=volume, price=price, exchange=exchange,
                     offset=offset, hedge=hedge, price_type=price_type, time_condition=time_condition,
                     volume_condition=volume_condition, min_volume=min_volume,
                     contingent_condition=contingent_condition, auto_suspend=auto_suspend, currency=currency)
        checked = {name: check_argument(name, given[name], kind) for name, (_, kind) in ORDER_ARGUMENTS.items()}
        instrument, direction, volume, price = (checked["instrument"], checked["direction"], checked["volume"],
                                                checked["price"])
        exchange, offset, hedge, price_type = (checked["exchange"], checked["offset"], checked["hedge"],
                                               checked["price_type"])
        time_condition, volume_condition, min_volume = (checked["time_condition"], checked["volume_condition"],
                                                        checked["min_volume"])
        contingent_condition, auto_suspend, currency = (checked["contingent_condition"], checked["auto_suspend"],
                                                        checked["currency"])
        self._check_open(trading=True)
        order = self.new_order()
        order.instrument, order.exchange, order.direction, order.offset = instrument, exchange, direction, offset
        order.price, order.volume = float(price), volume
        order.front_id, order.session_id = self.login["FrontID"], self.login["SessionID"]
        order.order_ref = str(self._next_ref)
        self._next_ref += 1
        fields: Record = dict(
            BrokerID=self.broker, InvestorID=self.user, UserID=self.user, InstrumentID=instrument,
            ExchangeID=exchange, OrderRef=order.order_ref, OrderPriceType=price_type, Direction=direction,
            CombOffsetFlag=offset, CombHedgeFlag=hedge, LimitPrice=float(price), VolumeTotalOriginal=volume,
            TimeCondition=time_condition, VolumeCondition=volume_condition, MinVolume=min_volume,
            ContingentCondition=contingent_condition, ForceCloseReason=ForceCloseReason.NOT_FORCE_CLOSE,
            IsAutoSuspend=int(auto_suspend), UserForceClose=0, CurrencyID=currency)
        call = Call("OrderInsert", fields, self._deadline(now, timeout))
        call.result = order
        self._file(order)
        self.orders.append(order)

        def refused(call: Call) -> None:
            if call.error is not None and not call.sent:
                self._reject(order, call.error)
        call.add_done_callback(refused)
        self._outbox.append(call)
        return order, call

    def cancel(self, order: O, now: float, timeout: float | None = None) -> Call:
        """Cancels an order; the call finishes with the order once it is finished, or fails
        with the front's refusal. Waits for the order's OrderSysID if it has none yet."""
        call = Call("OrderAction", {}, self._deadline(now, timeout))
        call.result = order
        if order.done:
            call.finish(order)
            return call
        self._check_open(trading=True)
        self._cancels.append((order, call))
        order.add_done_callback(lambda _: call.finish(order))
        if order.order_sys_id:
            self._send_cancel(order, call)
        return call

    def close(self) -> None:
        self.phase = Phase.CLOSED
        self._fail_all(Disconnected("the session was closed"))
        if self._connect is not None:
            self._connect.finish(error=Disconnected("the session was closed"))

    def subscribe(self, subscriber: Callable[[Event], None]) -> None:
        self._subscribers.append(subscriber)

    def unsubscribe(self, subscriber: Callable[[Event], None]) -> None:
        self._subscribers.remove(subscriber)

    # ---- lookups ------------------------------------------------------------------------------

    def order_by_ref(self, front_id: int, session_id: int, order_ref: str) -> O | None:
        return self._orders_by_ref.get((front_id, session_id, order_ref))

    def order_by_sys_id(self, exchange_id: str, order_sys_id: str) -> O | None:
        return self._orders_by_sys.get((exchange_id, order_sys_id))

    # ---- what the driver does -----------------------------------------------------------------

    def outgoing(self, now: float) -> list[Call]:
        """The requests to send now, in order; hand each one's result to ``sent``."""
        self.advance(now)       # nothing goes out whose time is up
        due = [call for call in self._outbox if call.retry_at is None or call.retry_at <= now]
        self._outbox = [call for call in self._outbox if call not in due]
        if (self._in_flight is None and self._queries and self.phase is Phase.READY
                and now >= self._next_query_at):
            self._in_flight = self._queries.popleft()
            due.append(self._in_flight)
        for call in due:        # an id for good: a retry goes with the same one
            if not call.request_id:
                call.request_id = next(self._ids)
        return due

    def sent(self, call: Call, result: int | BaseException, now: float) -> None:
        """What ``_ctp.request`` returned (or raised) for a call from ``outgoing``."""
        if call.done:       # timed out or failed while waiting its turn
            return
        if call.deadline is None and call.timeout is not None:
            call.deadline = self._deadline(now, call.timeout)
        if isinstance(result, BaseException):
            self._unsent(call)
            if call.name == "OrderInsert" and isinstance(result, BAD_VALUE):
                result = naming(result, ORDER_KEYS)      # the caller's name for what the module refused
            if call is self._login_call and isinstance(result, BAD_VALUE):
                result = naming(result, CREDENTIALS)     # no use trying again: the caller must know at once
                self._login_refused(call, result)
            elif call is self._login_call:
                self._login_not_sent(call, result, now)
            call.finish(error=result)
        elif result == SENT:
            call.sent = True
            if call.query:
                self._next_query_at = now + self.query_interval
            if call.name == "OrderInsert":     # its replies concern the order, not the call
                call.result.request_id = call.request_id
                self._order_calls[call.request_id] = call.result
                call.finish(call.result)
            else:
                self._calls[call.request_id] = call
        elif result in (TOO_MANY_WAITING, TOO_SOON):
            call.attempts += 1
            delay = min(FIRST_BACKOFF * 2 ** (call.attempts - 1), LAST_BACKOFF)
            self.log.debug("%s #%d: result %d, again in %.2f s", call.name, call.request_id, result, delay)
            if call.query:
                self._in_flight = None
                self._queries.appendleft(call)
                self._next_query_at = now + delay
            else:
                call.retry_at = now + delay
                self._outbox.append(call)
        else:
            self._unsent(call)
            error = Disconnected(f"{call.name} not sent: the front is not connected ({result})")
            if call is self._login_call:
                self._login_not_sent(call, error, now)
            call.finish(error=error)

    def next_wakeup(self) -> float | None:
        """The time ``advance`` has something to do by itself, if any."""
        times = [call.deadline for call in self._pending() if call.deadline is not None]
        times += [call.retry_at for call in self._outbox if call.retry_at is not None]
        if self._in_flight is None and self._queries and self.phase is Phase.READY:
            times.append(self._next_query_at)
        if self._relogin_at is not None:
            times.append(self._relogin_at)
        return min(times, default=None)

    def advance(self, now: float) -> None:
        """Fails the calls whose time is up; logs in again when a failed login's delay has passed."""
        if self._relogin_at is not None and now >= self._relogin_at and self.phase is Phase.RETRYING:
            self._relogin_at = None
            self._front_connected()
        for call in self._pending():
            if call.deadline is not None and now >= call.deadline:
                self._unsent(call)
                if call is self._connect:
                    what = f"no login in time from the front {self.front} ({self.phase.value})"
                else:
                    what = f"{call.name} #{call.request_id}: no reply in time"
                timeout = TimeoutError(what)
                if call is self._login_call:
                    self._login_refused(call, timeout)
                call.finish(error=timeout)

    def poll_failed(self, error: Exception) -> None:
        """``_ctp.poll`` raised: a BufferError ends the session's trading for good; any other
        error concerns one event only, and polling goes on."""
        if not isinstance(error, BufferError):
            self.log.error("an event could not be read: %r", error)
            return
        if self.overflow is not None:
            return
        self.overflow = Overflowed(f"events were lost to a full queue ({error}); results can no longer be seen, "
                                   "so this session sends nothing more")
        self.log.error("%s", self.overflow)
        self.phase = Phase.OVERFLOWED
        self._fail_all(self.overflow)
        if self._connect is not None:
            self._connect.finish(error=self.overflow)
        self._emit({"name": "Overflowed", "error": str(self.overflow)})

    def receive(self, event: Event) -> None:
        """One event record from ``_ctp.poll``."""
        name = event["name"]
        self._emit(event)
        if name == "FrontConnected":
            self._front_connected()
        elif name == "FrontDisconnected":
            self._front_disconnected(event.get("reason", 0))
        elif name == "RtnOrder" and event.get("data") is not None:
            self._order_update(event["data"])
        elif name == "RtnTrade" and event.get("data") is not None:
            self._trade(event["data"])
        elif name == "ErrRtnOrderInsert":
            self._order_refused_again(event)
        elif name == "ErrRtnOrderAction":
            self._cancel_refused(event)
        elif "request_id" in event:
            self._reply(event)

    # ---- internals ----------------------------------------------------------------------------

    def _deadline(self, now: float, timeout: float | None) -> float | None:
        """The time a call must end by: its own timeout, else the session's (None: no limit)."""
        timeout = self.timeout if timeout is None else timeout
        return None if timeout is None else now + timeout

    def _own(self, name: str, fields: Mapping[str, object]) -> Record:
        own = {key: value for key, value in (("BrokerID", self.broker), ("InvestorID", self.user))
               if key in REQUEST_KEYS[name]}
        return own | dict(fields)

    def _check_open(self, trading: bool = False) -> None:
        if self.overflow is not None:
            raise self.overflow
        if self.phase is Phase.CLOSED:
            raise Disconnected("the session was closed")
        if self.phase in (Phase.DISCONNECTED, Phase.LOGIN_FAILED):
            raise Disconnected(f"not connected to the front ({self.phase.value})")
        if trading and self.phase is not Phase.READY:
            raise Disconnected(f"not logged in ({self.phase.value})")

    def _pending(self) -> list[Call]:
        """Every call not yet finished, each once; forgets the finished ones."""
        self._cancels = [(order, call) for order, call in self._cancels if not call.done]
        self._calls = {rid: call for rid, call in self._calls.items() if not call.done}
        calls = [*self._calls.values(), *self._outbox, *self._queries, *(call for _, call in self._cancels)]
        if self._in_flight is not None:
            calls.append(self._in_flight)
        if self._connect is not None:
            calls.append(self._connect)
        return list({id(call): call for call in calls if not call.done}.values())

    def _unsent(self, call: Call) -> None:
        """Forgets a call everywhere but in the caller's hands."""
        self._calls.pop(call.request_id, None)
        if call in self._outbox:
            self._outbox.remove(call)
        if call in self._queries:
            self._queries.remove(call)
        if call is self._in_flight:
            self._in_flight = None
        self._cancels = [(o, c) for o, c in self._cancels if c is not call]

    def _fail_all(self, error: BaseException) -> None:
        for call in self._pending():
            if call is self._connect:
                continue
            self._unsent(call)
            call.finish(error=error)
        self._in_flight = None
        self._order_calls.clear()

    def _emit(self, event: Event) -> None:
        for subscriber in list(self._subscribers):
            subscriber(event)

    def _send(self, name: str, fields: Record, then: Callable[[list[Record]], Any] | None = None,
              query: bool = False) -> Call:
        """Queues one of the client's own requests."""
        call = Call(name, fields, None, query=query)
        call.timeout = self.timeout
        call.on_records = then
        if query:
            self._queries.appendleft(call)
        else:
            self._outbox.append(call)
        return call

    # the session protocol

    def _front_connected(self) -> None:
        if self.phase in (Phase.CLOSED, Phase.OVERFLOWED):
            return
        self._relogin_at = None
        self.log.info("front connected; authenticating as %s/%s", self.broker, self.user)
        self.phase = Phase.LOGGING_IN
        self._login_call = self._send("Authenticate", dict(BrokerID=self.broker, UserID=self.user,
                                                           AppID=self.app_id, AuthCode=self.auth_code),
                                      lambda _: self._authenticated())

    def _authenticated(self) -> None:
        self._login_call = self._send("UserLogin", dict(BrokerID=self.broker, UserID=self.user,
                                                        Password=self.password), self._logged_in)

    def _logged_in(self, records: list[Record]) -> None:
        self.login = dict(records[0]) if records else {}
        self.logins += 1
        max_ref = str(self.login.get("MaxOrderRef", "")).strip()
        if max_ref.isdigit():
            self._next_ref = max(self._next_ref, int(max_ref) + 1)
        self.log.info("logged in: trading day %s, front %s, session %s, max order ref %s",
                      self.login.get("TradingDay"), self.login.get("FrontID"), self.login.get("SessionID"),
                      max_ref)
        self._login_call = self._send("SettlementInfoConfirm", dict(BrokerID=self.broker, InvestorID=self.user),
                                      lambda _: self._confirmed())

    def _confirmed(self) -> None:
        self._login_call = None
        self._relogins = 0
        self.phase = Phase.READY
        if self._connect is not None and not self._connect.done:
            # Still being made (whichever login this is, after a drop during the first): nothing to catch up on.
            self._connect.finish(dict(self.login))
            return
        # What happened while away: today's orders, then their trades.
        trades = self._send("QryTrade", dict(BrokerID=self.broker, InvestorID=self.user),
                            self._reread_trades, query=True)
        self._send("QryOrder", dict(BrokerID=self.broker, InvestorID=self.user),
                   self._reread_orders, query=True)
        trades.add_done_callback(self._reread_done)

    def _reread_orders(self, records: list[Record]) -> None:
        for record in records:
            self._order_update(record)

    def _reread_trades(self, records: list[Record]) -> None:
        for record in records:
            self._trade(record)

    def _reread_done(self, call: Call) -> None:
        if call.error is not None:
            self.log.warning("could not re-read today's orders and trades: %s", call.error)
            return
        self.log.info("reconnected: %d orders, %d trades known", len(self.orders), len(self.trades))
        self._emit({"name": "Reconnected", "data": dict(self.login)})

    def _login_refused(self, call: Call, error: BaseException) -> None:
        self._login_call = None
        self.phase = Phase.LOGIN_FAILED
        self.log.error("login refused: %s", error)
        self._fail_all(error)
        if self._connect is not None and not self._connect.done:
            self._connect.finish(error=error)
        else:
            self._emit({"name": "ReconnectFailed", "request": call.name, "exception": error})

    def _login_not_sent(self, call: Call, error: BaseException, now: float) -> None:
        """A login step's request did not go out: reported, and the login starts again after a delay
        (the front, still connected, sends no FrontConnected that would start it)."""
        self._login_call = None
        self._relogins += 1
        delay = backoff(self._relogins, FIRST_RELOGIN, LAST_RELOGIN)
        self.log.error("login failed: %s not sent (%s); logging in again in %.2f s", call.name, error, delay)
        self.phase = Phase.RETRYING
        self._relogin_at = now + delay
        if self._connect is None or self._connect.done:
            self._emit({"name": "ReconnectFailed", "request": call.name, "exception": error})

    def _front_disconnected(self, reason: int) -> None:
        if self.phase is Phase.CLOSED:
            return
        self.log.warning("front disconnected (reason %#x)", reason)
        if self.phase is not Phase.OVERFLOWED:
            self.phase = Phase.DISCONNECTED
        self._login_call = None
        self._relogin_at = None
        error = Disconnected(f"the front disconnected (reason {reason:#x})", reason)
        self._fail_all(error)

    # replies

    def _reply(self, event: Event) -> None:
        call = self._calls.get(event["request_id"])
        if call is None:
            order = self._order_calls.pop(event["request_id"], None)
            if order is not None and event["error"] and event["error"]["ErrorID"]:
                self._reject(order, self._error(event, "OrderInsert"))
            return
        error = event.get("error")
        if error and error["ErrorID"]:
            self._unsent(call)
            failure = self._error(event, call.name)
            if call is self._login_call:
                self._login_refused(call, failure)
            call.finish(error=failure)
            return
        if event.get("data") is not None:
            call.records.append(event["data"])
        if event.get("last", True):
            self._unsent(call)
            if call.on_records is not None:
                try:
                    result = call.on_records(call.records)
                finally:
                    call.finish(result)
            else:
                call.finish(call.records)

    @staticmethod
    def _error(event: Event, name: str) -> CtpError:
        error = event["error"]
        return CtpError(error["ErrorID"], error["ErrorMsg"], name, event.get("request_id", 0))

    # orders and trades

    def _file(self, order: O) -> None:
        if order.order_ref:
            self._orders_by_ref[(order.front_id, order.session_id, order.order_ref)] = order
        if order.order_sys_id:
            self._orders_by_sys[(order.exchange, order.order_sys_id)] = order

    def _reject(self, order: O, error: BaseException) -> None:
        if order.error is None and order.status == "":
            order.error = error
            self.log.warning("order %s refused: %s", order.order_ref, error)
            order._changed()

    def _order_update(self, data: Record) -> None:
        key = (data["FrontID"], data["SessionID"], data["OrderRef"])
        order = self._orders_by_ref.get(key) or self._orders_by_sys.get((data["ExchangeID"], data["OrderSysID"]))
        if order is None:
            order = self.new_order()
            order.front_id, order.session_id, order.order_ref = key
            order.instrument, order.direction = data["InstrumentID"], _code(Direction, data["Direction"])
            order.offset = _code(OffsetFlag, data["CombOffsetFlag"][:1])
            order.price, order.volume = data["LimitPrice"], data["VolumeTotalOriginal"]
            self.orders.append(order)
        self._order_calls.pop(order.request_id, None)     # accepted: no reply will come
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
        order = self._orders_by_sys.get((data["ExchangeID"], data["OrderSysID"]))
        if order is not None:
            order.trades.append(data)
            order._changed()

    def _order_refused_again(self, event: Event) -> None:
        """ErrRtnOrderInsert: the same refusal as the RspOrderInsert before it, or the only one."""
        data = event.get("data") or {}
        key = (int(self.login.get("FrontID", 0)), int(self.login.get("SessionID", 0)), str(data.get("OrderRef")))
        order = self._orders_by_ref.get(key)
        if order is not None and not order.done:
            self._reject(order, self._error(event, "OrderInsert"))

    # cancels

    def _send_cancel(self, order: O, call: Call) -> None:
        call.fields = dict(BrokerID=self.broker, InvestorID=self.user, UserID=self.user,
                           ActionFlag=ActionFlag.DELETE, ExchangeID=order.exchange, OrderSysID=order.order_sys_id,
                           InstrumentID=order.instrument)
        self._outbox.append(call)

    def _cancel_refused(self, event: Event) -> None:
        data = event.get("data") or {}
        for order, call in list(self._cancels):
            if (order.exchange, order.order_sys_id) == (data.get("ExchangeID"), data.get("OrderSysID")):
                self._unsent(call)
                call.finish(error=self._error(event, "OrderAction"))


def transmit(core: Core[Any], request: Callable[[str, Record, int], int], now: float) -> None:
    """Sends what the core has due through ``request`` (``_ctp.request`` bound to a handle)."""
    while due := core.outgoing(now):
        for call in due:
            result: int | BaseException
            try:
                result = request(call.name, call.fields, call.request_id)
            except Exception as error:     # a bad value: that call fails, the session goes on
                result = error
            core.sent(call, result, now)
