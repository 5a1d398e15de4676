"""The trading protocol, free of I/O: what a session on a trading front logs in with and
sends, and the order book that follows what the front says of orders and trades.

``TRADING`` is the protocol the session core runs; ``OrderBook`` plugs into the
session: it allocates order references, checks and sends orders and cancels,
files every order and trade the front reports (the investor's other sessions'
too, each trade once), keeps the positions they make (``_account.Ledger``),
and after each login catches up with what the front has before the session
is ready.
"""

from __future__ import annotations

import enum
from collections import deque
from collections.abc import Callable, Generator, Mapping
from typing import Annotated, Any, NamedTuple, TypedDict, Unpack, get_type_hints

from ._account import Contracts, Ledger, trade_key
from ._core import Call, CtpError, Disconnected, Event, Finishing, Plugin, Protocol, Record, Work, reply_error
from ._interface import REQUEST_KEYS
from ._limits import Guard, OrderRefused, Planned
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
    TimeCondition,
    VolumeCondition,
)


TRADING = Protocol(
    "trading",
    login=(("Authenticate", ("BrokerID", "UserID", "AppID", "AuthCode")),
           ("UserLogin", ("BrokerID", "UserID", "Password")),
           ("SettlementInfoConfirm", ("BrokerID", "InvestorID"))),
    requests=REQUEST_KEYS)     # the keys `_ctp.request` reads, per request

SAYS = ("OrderStatus", "OrderSubmitStatus", "VolumeTraded", "VolumeTotal", "OrderSysID", "StatusMsg", "UpdateTime",
        "CancelTime")
"""What an order's report says of it: one that says the same as the last is a replay."""
FINISHED = frozenset({OrderStatus.ALL_TRADED, OrderStatus.CANCELED, OrderStatus.PART_TRADED_NOT_QUEUEING,
                      OrderStatus.NO_TRADE_NOT_QUEUEING})


def progress(data: Mapping[str, Any]) -> tuple[int, bool, bool]:
    """How far an order's report has come: what it traded, whether it is finished, whether the
    exchange has it. An order never goes back: a report that has come less far than the last one
    taken in is older (a query's snapshot, taken when it was sent, or a replay)."""
    status = data["OrderStatus"]
    return data["VolumeTraded"], status in FINISHED, status not in ("", OrderStatus.UNKNOWN)


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
        self._said: set[tuple[object, ...]] = set()     # what each report taken in said: a replay says it again

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
        """What the front said changed the order: ``done`` follows, and the callbacks run once it is
        (once: a finished order never reopens)."""
        if not self.done and self._finished_now():
            self.done = True
            self._finished()

    def __repr__(self) -> str:
        what = f"{Direction(self.direction).name.lower() if self.direction in ('0', '1') else self.direction}"
        state = f"error {self.error}" if self.error else f"status={self.status or '-'} traded={self.traded}"
        return (f"<Order {self.front_id}/{self.session_id}/{self.order_ref} {self.exchange}:{self.order_sys_id} "
                f"{what} {self.volume} {self.instrument}@{self.price:g} {state}>")


class OrderBook[O: BaseOrder](Plugin):
    """The investor's orders and trades as the front reports them, the calls that change them and,
    with a ``Ledger``, the positions they make. Holds the session back from ready until it has
    caught up after each login (``sync``): the one place where what the front reports twice (a
    trade in the flow and in a query) is told apart, so that nothing is counted twice or lost."""

    ready_after_sync = True

    def __init__(self, new_order: Callable[[], O], *, keep: int | None = None, contracts: Contracts | None = None,
                 ledger: Ledger | None = None, guard: Guard | None = None) -> None:
        self.new_order = new_order
        self.keep = keep
        """Finished orders kept in the book (None: all); older ones leave it, their trades stay accounted."""
        self.contracts = contracts if contracts is not None else ledger.contracts if ledger else Contracts()
        self.ledger = ledger
        self.guard = guard if guard is not None else Guard(None)
        self._orders: dict[O, None] = {}            # in the order they became known
        self._working: dict[O, None] = {}           # not finished
        self._finished: deque[O] = deque()          # finished, oldest first
        self.trades: list[Record] = []
        """Every trade of the trading day seen (RtnTrade records), each once."""
        self._trade_keys: set[tuple[object, object, object]] = set()
        self._next_ref = 1
        self._by_ref: dict[tuple[int, int, str], O] = {}
        self._by_sys: dict[tuple[str, str], O] = {}
        self._inserts: dict[int, O] = {}           # OrderInsert request id -> its order, until the front takes it
        self._cancels: dict[Call, O] = {}           # cancels not finished, and their orders
        self._catching_up: Generator[Call, Any, None] | None = None
        self._changes: Record = {}                  # what the last catching up found changed
        self._loaded_day = ""                       # the trading day the contracts were loaded for

    @property
    def orders(self) -> list[O]:
        """The orders known: every working one, and the latest ``keep`` finished ones."""
        return list(self._orders)

    @property
    def working(self) -> list[O]:
        """The orders not finished."""
        return list(self._working)

    # ---- what the caller asks -------------------------------------------------------------------

    def insert_order(self, now: float, instrument: str, direction: Direction, volume: int, price: float,
                     **options: Unpack[OrderOptions]) -> tuple[O, Call]:
        """Checks an order (its arguments, the limits, what its flag can close), then queues it with
        the next OrderRef; the call finishes once it is sent."""
        ((order, call),) = self.place(now, [self.values(instrument, direction, volume, price, options)])
        return order, call

    def close_position(self, now: float, instrument: str, side: PosiDirection, volume: int, price: float,
                       **options: Unpack[OrderOptions]) -> list[tuple[O, Call]]:
        """Closes lots of a position with the flags its exchange needs: where today's and yesterday's
        lots are closed apart (SHFE, INE), yesterday's with CLOSE first, then today's with CLOSE_TODAY
        (two orders when it takes both); elsewhere one order with CLOSE. Refused before anything is
        sent when more than the closable lots are asked for."""
        side = check_argument("side", side, PosiDirection)
        if side not in (PosiDirection.LONG, PosiDirection.SHORT):
            raise ValueError(f"side must be ctp.PosiDirection.LONG or SHORT, not {side!r}")
        if "offset" in options:
            raise TypeError("close_position() picks the offset flags itself: give no offset")
        volume = check_argument("volume", volume, int)
        if self.ledger is None:
            raise RuntimeError("close_position needs the positions, which this client does not keep (track=False)")
        if volume < 1:
            raise ValueError(f"volume must be at least 1, not {volume}")
        position = self.ledger.position(instrument, side, self._working)
        if volume > position.closable:
            raise OrderRefused(f"closable: closing {volume} of {side.name.lower()} {instrument}, but "
                               f"{position.closable} are closable ({position.volume} held, {position.frozen} in "
                               "working closing orders)", "closable")
        contract = self.contracts.contract(instrument)
        direction = Direction.SELL if side == PosiDirection.LONG else Direction.BUY
        options.setdefault("exchange", contract.exchange if contract is not None else "")
        if contract is not None and contract.by_date:
            yesterday = min(volume, position.closable_yesterday)
            parts = [(OffsetFlag.CLOSE, yesterday), (OffsetFlag.CLOSE_TODAY, volume - yesterday)]
        else:
            parts = [(OffsetFlag.CLOSE, volume)]
        return self.place(now, [self.values(instrument, direction, lots, price, dict(options, offset=flag))
                                for flag, lots in parts if lots])

    def values(self, instrument: str, direction: Direction, volume: int, price: float,
               options: Mapping[str, Any]) -> Record:
        """An order's arguments checked, as the request's keys."""
        given: dict[str, Any] = dict(instrument=instrument, direction=direction, volume=volume, price=price)
        unknown = [name for name in options if name not in ORDER_ARGUMENTS]
        if unknown:
            raise TypeError(f"insert_order() got an unexpected keyword argument {unknown[0]!r}; its options are "
                            f"{', '.join(OrderOptions.__annotations__)}")
        given |= options
        return {key.name: check_argument(name, given.get(name, key.default), kind)
                for name, (kind, key) in ORDER_ARGUMENTS.items()}

    def place(self, now: float, orders: list[Record]) -> list[tuple[O, Call]]:
        """Checks orders going out together, then queues them; each call finishes once it is sent."""
        session = self.session
        session.check_open(ready=True)
        planned = [Planned(v["InstrumentID"], v["Direction"], v["CombOffsetFlag"], v["VolumeTotalOriginal"],
                           v["LimitPrice"]) for v in orders]
        self.guard.check(now, planned, self.contracts, self.ledger if self.ledger and self.ledger.synced else None,
                         list(self._working))
        placed = [self._queue(now, values) for values in orders]
        self.guard.sent(now, len(placed))
        return placed

    def cancel(self, order: O, now: float, timeout: float | None = None) -> Call:
        """Cancels an order; the call finishes with the order once it is finished, or fails
        with the front's refusal. Waits for the order's OrderSysID if it has none yet."""
        call = Call("OrderAction", None, self.session.deadline(now, timeout))
        call.result = order
        if order.done:
            call.finish(order)
            return call
        self.session.check_open(ready=True)
        self._cancels[call] = order
        call.add_done_callback(self._cancel_done)
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

    def take_tick(self, tick: Mapping[str, object]) -> None:
        """A tick to value positions at (from market data the client follows, or given to it)."""
        self.contracts.take_tick(tick)

    def take(self, query: str, records: list[Record], asked: str = "") -> None:
        """What a query about contracts answered (``asked``: the instrument it asked about)."""
        contracts = self.contracts
        if query == "QryInstrument":
            contracts.take_instruments(records)
        elif query == "QryInstrumentMarginRate":
            contracts.take_margin_rates(records, asked)
        elif query == "QryInstrumentCommissionRate":
            contracts.take_commission_rates(records, asked)
        elif query == "QryDepthMarketData":
            for record in records:
                contracts.take_tick(record)
        if self.ledger is not None and self.ledger.waiting:
            self.ledger.retry()

    # ---- what the session tells ----------------------------------------------------------------

    def logged_in(self, login: Record) -> None:
        max_ref = str(login.get("MaxOrderRef", "")).strip()
        if max_ref.isdigit():
            self._next_ref = max(self._next_ref, int(max_ref) + 1)
        day = str(login.get("TradingDay", ""))
        first = not self.contracts.trading_day
        if self.contracts.new_day(day) and not first:
            self.session.log.info("a new trading day, %s: the book starts afresh", day)
            self._orders.clear()
            self._working.clear()
            self._finished.clear()
            self._by_ref.clear()
            self._by_sys.clear()
            self.trades = []
            self._trade_keys.clear()

    def receive(self, event: Event) -> bool | None:
        name, data = event["name"], event.get("data")
        if name == "RtnOrder" and data is not None:
            return self._order_update(data)[1]
        elif name == "RtnTrade" and data is not None:
            return self._trade(data)
        elif name == "RspOrderInsert":
            order = self._inserts.pop(event.get("request_id", 0), None)
            error = reply_error(event, "OrderInsert")
            if order is not None and error is not None:
                self._reject(order, error)
        elif name == "ErrRtnOrderInsert":
            self._refused_again(event)
        elif name == "ErrRtnOrderAction":
            self._cancel_refused(event)
        elif name == "RtnInstrumentStatus" and data is not None:
            self.contracts.take_status(data)
        return None

    def dropped(self, error: BaseException) -> None:
        self._inserts.clear()
        self._catching_up = None

    # ---- catching up after a login: the re-sync --------------------------------------------------
    # After each login the book reads what the front has (with a ledger: the contracts when the
    # trading day is new, the position details, then today's orders and trades), one query after
    # another, and only then lets the session be ready. Trades are told apart by their key
    # (exchange, TradeID, direction) whichever way they came: a trade the flow reported is not
    # counted again when the query lists it, and one only the query lists (a fill while away) is
    # filed, applied and delivered once, as an RtnTrade event marked "recovered". The positions
    # are then built again from yesterday's lots and the day's trades, in the front's order.

    def sync(self, again: bool) -> list[Call]:
        if not again and self.ledger is None:
            return []
        if self.ledger is not None:
            self.ledger.synced = False          # trades wait for the rebuild
        done = Work("catching up")
        steps = self._catch_up(again)
        self._catching_up = steps
        self._changes = {}
        self._continue(steps, done, None)
        return [done]

    def caught_up(self, again: bool) -> Record:
        return self._changes if again else {}

    def _continue(self, steps: Generator[Call, Any, None], done: Call, answer: Any) -> None:
        """Runs the catching up to its next query (or its end) with the answer to the last one."""
        if self._catching_up is not steps:
            return              # dropped meanwhile: the next login starts again
        try:
            query = steps.send(answer)
        except StopIteration:
            self._catching_up = None
            errors = self._changes.pop("errors", [])
            done.finish(error=errors[0] if errors else None)
            return
        except Exception as error:
            self._catching_up = None
            self.session.log.exception("could not catch up after the login")
            done.finish(error=error)
            return
        self.session.submit(query)
        query.add_done_callback(lambda call: self._continue(steps, done, call.error or call.result))

    def _catch_up(self, again: bool) -> Generator[Call, Any, None]:
        session, contracts, ledger = self.session, self.contracts, self.ledger
        errors: list[BaseException] = []
        day = contracts.trading_day

        def ask(name: str, **fields: str) -> Call:
            return session.own_request(name, session.own(name, fields), "sync", paced=True)

        def answered(answer: Any, name: str) -> list[Record] | None:
            if isinstance(answer, BaseException):
                session.log.warning("could not catch up after the login: %s failed: %s", name, answer)
                errors.append(answer)
                return None
            return list(answer)

        details = None
        if ledger is not None:
            if self._loaded_day != day:
                for name in ("QryInstrument", "QryInstrumentMarginRate", "QryInstrumentCommissionRate",
                             "QryDepthMarketData"):
                    records = answered((yield ask(name)), name)
                    if records is not None:
                        self.take(name, records)
                self._loaded_day = day if not errors else ""
            details = answered((yield ask("QryInvestorPositionDetail")), "QryInvestorPositionDetail")
        orders = answered((yield ask("QryOrder")), "QryOrder")
        trades = answered((yield ask("QryTrade")), "QryTrade")
        if ledger is not None:
            # What is held or traded must have its contract and rates, for its money.
            held = {d["InstrumentID"] for d in details or ()} | {t["InstrumentID"] for t in trades or ()}
            held |= {o["InstrumentID"] for o in orders or ()}
            for instrument in sorted(held):
                for name, known in (("QryInstrument", contracts.instruments.get),
                                    ("QryInstrumentMarginRate", contracts.margin_rate),
                                    ("QryInstrumentCommissionRate", contracts.commission_rate)):
                    if known(instrument) is None:
                        records = answered((yield ask(name, InstrumentID=instrument)), name)
                        if records is not None:
                            self.take(name, records, instrument)
        self._merge(again, details, orders, trades)
        self._changes["errors"] = errors

    def _merge(self, again: bool, details: list[Record] | None, orders: list[Record] | None,
               trades: list[Record] | None) -> None:
        """Files what the queries found that the book did not know, and builds the positions again."""
        ledger = self.ledger
        before = {(p.instrument, p.side): p.volume for p in ledger.positions()} if ledger is not None else {}
        changed: list[O] = []
        for record in orders or ():
            order = self._find(record)
            if order is None and again and record["OrderStatus"] in FINISHED:
                # Finished before the drop and gone from the book (beyond ``keep``), or another session's
                # finished while away: taking it in again would refill the book at every reconnect.
                continue
            seen = None if order is None else (order.status, order.traded, order.order_sys_id)
            order, _ = self._order_update(record, queried=True)
            if seen != (order.status, order.traded, order.order_sys_id):
                changed.append(order)
        if orders is not None and again:
            # Sent before a drop and unknown to the front: the drop took the request before the front read
            # it, and no reply will ever come (the session that sent it is gone).
            login = self.session.login
            current = (login.get("FrontID"), login.get("SessionID"))
            for order in list(self._working):
                if order.request_id and not order.status and (order.front_id, order.session_id) != current:
                    self._reject(order, Disconnected(
                        f"order {order.order_ref} lost by a drop: the front never received its OrderInsert"))
                    changed.append(order)
        recovered = []
        for record in trades or ():
            if self._file_trade(record):
                recovered.append(record)
        day = self.contracts.trading_day
        if ledger is not None:
            listed = trades or []
            if details is not None:
                ledger.start_from(details, day, (t["TradeID"] for t in listed))
            keys = {trade_key(t) for t in listed}
            ledger.rebuild(listed + [t for t in self.trades if trade_key(t) not in keys
                                     and t.get("TradingDay", day) in (day, "")])
        for record in recovered:
            order = self._by_sys.get((record["ExchangeID"], record["OrderSysID"]))
            if order is not None:
                self._changed(order)
        self.session.log.info("caught up: %d orders, %d trades known (%d new)", len(self._orders), len(self.trades),
                              len(recovered))
        if not again:
            return
        for record in recovered:
            self.session.emit({"name": "RtnTrade", "data": record, "error": {"ErrorID": 0, "ErrorMsg": ""},
                               "request_id": 0, "last": True, "recovered": True})
        moved = []
        if ledger is not None:
            moved = [p for p in ledger.positions(self._working) if before.get((p.instrument, p.side), 0) != p.volume]
        self._changes = {"orders": changed, "trades": recovered, "positions": moved}

    # ---- internals ----------------------------------------------------------------------------

    def _queue(self, now: float, values: Record) -> tuple[O, Call]:
        session = self.session
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
        self._add(order)

        def sent(call: Call) -> None:
            if call.error is not None:
                self._reject(order, call.error)
            else:   # its replies concern the order, not the call
                order.request_id = call.request_id
                self._inserts[call.request_id] = order
        call.add_done_callback(sent)
        session.submit(call)
        return order, call

    def _add(self, order: O) -> None:
        self._orders[order] = None
        self._working[order] = None
        self._file(order)

    def _file(self, order: O) -> None:
        if order.order_ref:
            self._by_ref[(order.front_id, order.session_id, order.order_ref)] = order
        if order.order_sys_id:
            self._by_sys[(order.exchange, order.order_sys_id)] = order

    def _changed(self, order: O) -> None:
        """The front said something of the order: once it is finished it leaves the working ones,
        and the oldest finished ones beyond ``keep`` leave the book."""
        order._changed()
        if order.done and order in self._working:
            del self._working[order]
            self._finished.append(order)
            while self.keep is not None and len(self._finished) > self.keep:
                self._forget(self._finished.popleft())

    def _forget(self, order: O) -> None:
        self._orders.pop(order, None)
        key = (order.front_id, order.session_id, order.order_ref)
        if self._by_ref.get(key) is order:
            del self._by_ref[key]
        if self._by_sys.get((order.exchange, order.order_sys_id)) is order:
            del self._by_sys[(order.exchange, order.order_sys_id)]
        if self._inserts.get(order.request_id) is order:
            del self._inserts[order.request_id]

    def _reject(self, order: O, error: BaseException) -> None:
        if order.error is None and order.status == "":
            order.error = error
            self.session.log.warning("order %s refused: %s", order.order_ref, error)
            self._changed(order)

    def _find(self, data: Record) -> O | None:
        return (self._by_ref.get((data["FrontID"], data["SessionID"], data["OrderRef"]))
                or self._by_sys.get((data["ExchangeID"], data["OrderSysID"])))

    def _order_update(self, data: Record, queried: bool = False) -> tuple[O, bool]:
        """RtnOrder (or a queried order): the order, and whether it said anything new of it (a report
        the front replays, or one overtaken by a newer one, says nothing new and changes nothing; a
        queried one only when it has come further than what the flow said)."""
        order = self._find(data)
        says = tuple(data.get(key) for key in SAYS)
        if order is not None and not queried:
            self._cancel_refused_by_exchange(order, data)
        if order is None:
            order = self.new_order()
            order.front_id, order.session_id, order.order_ref = data["FrontID"], data["SessionID"], data["OrderRef"]
            order.instrument, order.direction = data["InstrumentID"], _code(Direction, data["Direction"])
            order.offset = _code(OffsetFlag, data["CombOffsetFlag"][:1])
            order.price, order.volume = data["LimitPrice"], data["VolumeTotalOriginal"]
            self._add(order)
        elif order.data is not None and (progress(data) < progress(order.data) or queried and progress(data) ==
                                         progress(order.data)):
            return order, False     # older than what the book has: a report overtaken by a newer one
        elif order.status in FINISHED and data["OrderStatus"] not in FINISHED or says in order._said:
            return order, False     # a finished order never reopens; a report said before is a replay
        order._said.add(says)
        self._inserts.pop(order.request_id, None)     # taken: no refusal will come
        order.data = data
        order.exchange = data["ExchangeID"] or order.exchange
        order.order_sys_id = data["OrderSysID"] or order.order_sys_id
        order.status = _code(OrderStatus, data["OrderStatus"])
        order.submit_status = _code(OrderSubmitStatus, data["OrderSubmitStatus"])
        order.status_msg = data["StatusMsg"]
        order.traded = data["VolumeTraded"]
        if order.error is None and order.submit_status == OrderSubmitStatus.INSERT_REJECTED:
            # The exchange refused it: only its text says why.
            order.error = CtpError(0, order.status_msg, "OrderInsert", order.request_id)
            self.session.log.warning("order %s refused by the exchange: %s", order.order_ref, order.status_msg)
        self._file(order)
        if order.order_sys_id:
            for call, pending in list(self._cancels.items()):
                if pending is order and not call.done and not call.fields:
                    self._send_cancel(order, call)
        self._changed(order)
        return order, True

    def _file_trade(self, data: Record) -> bool:
        """Files a trade the book did not know (on its order, if known); whether it was new."""
        key = trade_key(data)
        if key in self._trade_keys:
            return False
        self._trade_keys.add(key)
        self.trades.append(data)
        order = self._by_sys.get((data["ExchangeID"], data["OrderSysID"]))
        if order is not None:
            order.trades.append(data)
        return True

    def _trade(self, data: Record) -> bool:
        """RtnTrade: filed and applied once; False for one the book knew (kept from the listeners)."""
        if not self._file_trade(data):
            self.session.log.debug("trade %s reported again", data.get("TradeID"))
            return False
        if self.ledger is not None:
            self.ledger.trade(data)
        order = self._by_sys.get((data["ExchangeID"], data["OrderSysID"]))
        if order is not None:
            self._changed(order)
        return True

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

    def _cancel_done(self, call: Call) -> None:
        self._cancels.pop(call, None)

    def _cancel_refused_by_exchange(self, order: O, data: Record) -> None:
        """A report of a live order with submit status "cancel rejected": the exchange refused the
        order's cancels sent so far (no error record comes); its text says why."""
        if data["OrderSubmitStatus"] != OrderSubmitStatus.CANCEL_REJECTED or not self.session.ready:
            return          # while catching up after a login no cancel is out: a replay
        for call, pending in list(self._cancels.items()):
            if pending is order and call.sent and not call.done:
                self.session.log.warning("cancel of order %s refused by the exchange: %s", order.order_ref,
                                         data["StatusMsg"])
                call.finish(error=CtpError(0, data["StatusMsg"], "OrderAction", call.request_id))

    def _cancel_refused(self, event: Event) -> None:
        data = event.get("data") or {}
        error = reply_error(event, "OrderAction")
        for call, order in list(self._cancels.items()):
            if (order.exchange, order.order_sys_id) == (data.get("ExchangeID"), data.get("OrderSysID")):
                call.finish(error=error)
