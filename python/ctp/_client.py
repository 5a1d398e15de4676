"""The trading client, ``ctp.Client`` (blocking) and ``ctp.AsyncClient`` (asyncio): the trading
protocol's session as its caller holds it. Each method is written once, as a body, and named
by each flavour in one line; so are the orders' (``ctp.Order``, ``ctp.AsyncOrder``)."""

from __future__ import annotations

import logging
import os
from collections.abc import Callable, Generator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, ClassVar, Self, Unpack

import _ctp

from . import _asyncio as asynchronous, _blocking as blocking
from ._account import Contract, Contracts, Ledger, PnL, Position
from ._args import check_count, check_resume, check_timeout
from ._asyncio import AsyncDriver
from ._blocking import Driver
from ._core import Call, Event, Record, Session
from ._driver import BaseDriver, Link, Steps, Wait
from ._face import AsyncFace, BlockingFace, Face
from ._limits import Guard, Limits
from ._market import TICK, Subscriptions
from ._trading import TRADING, BaseOrder, OrderBook, OrderOptions, check_argument
from .codes import Direction, InstrumentStatus, PosiDirection

if TYPE_CHECKING:
    from ._md import MarketDataBase

# Complete records: an instrument's multiple and dates, a position's costs, an order's times.
TRADER = Link(_ctp, "ctp.session", full_records=True)
KEEP_ORDERS = 10_000
"""Finished orders a client keeps in its book, by default."""
RESUME = "quick"
"""How the front resumes the private flow after each login, by default: only what happens from then
on. The client catches up by its own queries after every login (orders, trades, positions), which
a replay of the day ("restart") or of what the flow directory missed ("resume") would only repeat."""


class OrderFace(BaseOrder):
    """An order of a client's investor, as its caller holds it."""

    def __init__(self, client: Any) -> None:
        super().__init__()
        self._client = client

    @property
    def _driver(self) -> BaseDriver:
        driver: BaseDriver = self._client._driver
        return driver

    def _wait(self, timeout: float | None = None) -> Steps[Self]:
        """Returns once the order is finished (traded, cancelled or refused) with all its trades;
        TimeoutError after timeout seconds (0: only checks; None: no limit)."""
        timeout = check_timeout(timeout)
        if not self.done:
            finished = Call("order")
            self.add_done_callback(lambda _: finished.finish(self))
            yield Wait(finished, timeout, f"order {self.order_ref} still waiting", self._client._attached)
        return self


class Order(OrderFace):
    """An order of a ``Client``'s investor; ``wait()`` blocks until it is finished."""

    wait = blocking.call(OrderFace._wait)


class AsyncOrder(OrderFace):
    """An order of an ``AsyncClient``'s investor; ``await order`` (or ``await order.wait()``)
    until it is finished."""

    wait = asynchronous.call(OrderFace._wait)

    def __await__(self) -> Generator[Any, None, Self]:
        return self.wait().__await__()


class ClientBase[D: BaseDriver, O: OrderFace](Face[D]):
    """A session on a front as one investor: connects, authenticates, logs in and confirms the
    settlement, and again by itself after a drop (through the next of several ``front`` addresses,
    if given, as the vendor's library tries them); keeps the order book and, with ``track``, the
    contracts, positions and P&L, caught up with the front after each login before it is ready.

    ``query_interval`` spaces queries (a front takes one per second); ``timeout`` is the default
    limit for each call, in seconds, counted from the call (0: a call fails unless it needs no
    wait; None: no limit). ``driver`` runs the session, with others if it is shared (by default
    one of its own). ``keep_orders`` finished orders stay in the book (None: all); ``limits``
    (``ctp.Limits``) are checked before each order goes out. Events wait in the module's queue
    while nothing reads them, so code may block for a while without stalling the vendor's
    library, as long as the queue (32,768 events) does not fill. ``resume`` is how the front
    resumes the private flow after each login: "quick" (the default: only what happens from then
    on), "restart" (the whole trading day again) or "resume" (what the flow directory missed); the
    client catches up by its own queries either way, and a report it took in before is neither
    counted nor delivered again."""

    _order_type: ClassVar[type[OrderFace]]

    def __init_subclass__(cls, order: type[OrderFace] | None = None, **options: object) -> None:
        super().__init_subclass__(**options)
        if order is not None:
            cls._order_type = order

    def __init__(self, front: str | Sequence[str], broker: str, user: str, password: str, app_id: str = "",
                 auth_code: str = "", *, flow: str | os.PathLike[str] | None = None, query_interval: float = 1.0,
                 timeout: float | None = 10.0, logger: logging.Logger | None = None, driver: D | None = None,
                 track: bool = True, keep_orders: int | None = KEEP_ORDERS, limits: Limits | None = None,
                 resume: str = RESUME) -> None:
        fronts, timeout = self._check(front, dict(broker=broker, user=user, password=password, app_id=app_id,
                                          auth_code=auth_code), flow, logger, timeout)
        interval = check_timeout(query_interval, "query_interval")
        if interval is None:
            raise TypeError("query_interval must be a number of seconds, not None")
        resume = check_resume(resume)
        if not isinstance(track, bool):
            raise TypeError(f"track must be a bool, not {type(track).__name__}")
        keep_orders = check_count(keep_orders, "keep_orders", 0, "all")
        if limits is not None and not isinstance(limits, Limits):
            raise TypeError(f"limits must be a ctp.Limits or None, not {type(limits).__name__}")
        if limits is not None and limits.max_position is not None and not track:
            raise ValueError("limits: max_position needs the positions, which track=False does not keep")
        contracts = Contracts()
        self._book: OrderBook[O] = OrderBook(
            lambda: self._order_type(self), keep=keep_orders, contracts=contracts,   # type: ignore[arg-type,return-value]
            ledger=Ledger(contracts) if track else None, guard=Guard(limits))
        self._following: list[tuple[Session, Callable[[Event], None]]] = []
        session = Session(TRADING, [self._book], broker=broker, user=user, password=password, app_id=app_id,
                          auth_code=auth_code, query_interval=interval, timeout=timeout,
                          logger=logger or TRADER.session_logger(fronts[0], user), front=", ".join(fronts))
        self._begin(session, TRADER, fronts, flow, user, driver, private_resume=resume)

    def close(self) -> None:
        """Closes the session; calls still waiting fail with ``Disconnected``. A second call does nothing."""
        with self._driver.guard():
            for session, listener in self._following:
                session.unlisten(listener)
            self._following.clear()
        super().close()

    # ---- the login -------------------------------------------------------------------------------

    @property
    def trading_day(self) -> str:
        return str(self.login.get("TradingDay", ""))

    @property
    def front_id(self) -> int:
        return int(self.login.get("FrontID", 0))

    @property
    def session_id(self) -> int:
        return int(self.login.get("SessionID", 0))

    @property
    def max_order_ref(self) -> str:
        return str(self.login.get("MaxOrderRef", ""))

    # ---- requests --------------------------------------------------------------------------------

    def _query(self, /, name: str, *, timeout: float | None = None, **filters: object) -> Steps[list[Record]]:
        """Sends a query (any ``Qry...`` request: ``QryInstrument``, ``QryTradingAccount``,
        ``QryInvestorPosition``, ``QryOrder``, ``QryTrade``, ...) once its turn comes and returns its
        records. BrokerID and InvestorID default to the session's own; ``timeout`` None is the client's."""
        call = self._session.query(name, filters, self._driver.now(), check_timeout(timeout))
        records: list[Record] = yield Wait(call)
        return records

    def _insert_order(self, instrument: str, direction: Direction, volume: int, price: float,
                      **options: Unpack[OrderOptions]) -> Steps[O]:
        """Sends an order and returns it at once; its options (``ctp.OrderOptions``) default to a limit
        order, good for the day, that opens, speculation, any volume. ``order.wait()`` waits for it
        to finish. ``ctp.OrderRefused`` (and nothing sent) when it breaks one of the client's limits,
        or closes more than its offset flag can close."""
        if isinstance(instrument, str) and self._book.guard.limits.max_ticks_away is not None:
            yield from self._learn(instrument, ("QryDepthMarketData",), False, None)
        order, call = self._book.insert_order(self._driver.now(), instrument, direction, volume, price, **options)
        self._driver.flush()
        if call.error is not None:
            raise call.error
        return order

    def _close_position(self, instrument: str, side: PosiDirection, volume: int, price: float,
                        **options: Unpack[OrderOptions]) -> Steps[list[O]]:
        """Closes ``volume`` lots of the ``side`` (``ctp.PosiDirection.LONG`` or ``SHORT``) position at
        ``price`` with the offset flags its exchange needs, and returns the orders at once: where
        today's and yesterday's lots are closed apart (SHFE, INE), yesterday's first with CLOSE, then
        today's with CLOSE_TODAY (two orders when it takes both); elsewhere one order with CLOSE.
        ``ctp.OrderRefused`` (and nothing sent) when more than the closable lots are asked for or a
        limit is broken. Other options as ``insert_order``'s, but no ``offset``."""
        if isinstance(instrument, str) and self._book.guard.limits.max_ticks_away is not None:
            yield from self._learn(instrument, ("QryDepthMarketData",), False, None)
        placed = self._book.close_position(self._driver.now(), instrument, side, volume, price, **options)
        self._driver.flush()
        for _, call in placed:
            if call.error is not None:
                raise call.error
        return [order for order, _ in placed]

    def _cancel(self, order: O, *, timeout: float | None = None) -> Steps[O]:
        """Cancels an order and returns it once finished; ``CtpError`` when the front refuses."""
        yield Wait(self._book.cancel(order, self._driver.now(), check_timeout(timeout)))
        return order

    # ---- contracts ----------------------------------------------------------------------------------

    def _contract(self, instrument: str, *, refresh: bool = False, timeout: float | None = None) -> Steps[Contract]:
        """What the client knows of an instrument (``ctp.Contract``: its complete record, multiple,
        tick, rates, yesterday's settlement price, status), asking the front for what it does not
        know yet, or for all of it again with ``refresh``; cached for the session. ``ValueError``
        for an instrument the front does not know."""
        yield from self._learn(instrument, ("QryInstrumentMarginRate", "QryInstrumentCommissionRate",
                                            "QryDepthMarketData"), refresh, timeout)
        contract = self._book.contracts.contract(instrument)
        assert contract is not None
        return contract

    def _instrument(self, instrument: str, *, refresh: bool = False, timeout: float | None = None) -> Steps[Record]:
        """The instrument's complete record (``QryInstrument``'s), cached for the session; asked again
        with ``refresh``. ``ValueError`` for an instrument the front does not know."""
        yield from self._learn(instrument, (), refresh, timeout)
        return self._book.contracts.instruments[instrument]

    def _margin_rate(self, instrument: str, *, refresh: bool = False, timeout: float | None = None) -> Steps[Record]:
        """The instrument's margin rates (``QryInstrumentMarginRate``'s record), cached for the session;
        asked again with ``refresh``. ``LookupError`` when the front has none for it."""
        yield from self._learn(instrument, ("QryInstrumentMarginRate",), refresh, timeout)
        found = self._book.contracts.margin_rate(instrument)
        if found is None:
            raise LookupError(f"instrument {instrument!r}: the front gave no margin rates")
        return found

    def _commission_rate(self, instrument: str, *, refresh: bool = False,
                         timeout: float | None = None) -> Steps[Record]:
        """The instrument's commission rates (``QryInstrumentCommissionRate``'s record), cached for the
        session; asked again with ``refresh``. ``LookupError`` when the front has none for it."""
        yield from self._learn(instrument, ("QryInstrumentCommissionRate",), refresh, timeout)
        found = self._book.contracts.commission_rate(instrument)
        if found is None:
            raise LookupError(f"instrument {instrument!r}: the front gave no commission rates")
        return found

    def _learn(self, instrument: str, needs: tuple[str, ...], refresh: bool, timeout: float | None) -> Steps[None]:
        """Asks the front for what the client does not know of an instrument (all of it with refresh)."""
        check_argument("instrument", instrument, str)
        if not isinstance(refresh, bool):
            raise TypeError(f"refresh must be a bool, not {type(refresh).__name__}")
        timeout = check_timeout(timeout)
        contracts = self._book.contracts
        known: dict[str, Callable[[], object]] = {
            "QryInstrument": lambda: contracts.instruments.get(instrument),
            "QryInstrumentMarginRate": lambda: contracts.margin_rate(instrument),
            "QryInstrumentCommissionRate": lambda: contracts.commission_rate(instrument),
            "QryDepthMarketData": lambda: contracts.settlements.get(instrument)}
        for name in ("QryInstrument", *needs):
            if refresh or known[name]() is None:
                records = yield Wait(self._session.query(name, {"InstrumentID": instrument}, self._driver.now(),
                                                         timeout))
                self._book.take(name, records, instrument)
                if name == "QryInstrument" and instrument not in contracts.instruments:
                    raise ValueError(f"instrument {instrument!r}: the front knows no such instrument")

    def instrument_status(self, instrument: str) -> InstrumentStatus | str | None:
        """The instrument's trading status (``ctp.InstrumentStatus``) as the latest RtnInstrumentStatus
        said, or None before one came."""
        record = self._read(lambda: self._book.contracts.statuses.get(instrument))
        if record is None:
            return None
        code: str = record["InstrumentStatus"]
        try:
            return InstrumentStatus(code)
        except ValueError:
            return code

    # ---- the account ---------------------------------------------------------------------------------

    def _settlement(self, trading_day: str | None = None, *, timeout: float | None = None) -> Steps[str]:
        """The settlement statement of a trading day (None: the latest the front has), as one text:
        its records' pieces joined in order, then decoded from GB18030 (a piece may end inside a
        character); "" when the front has none."""
        if trading_day is not None:
            check_argument("trading_day", trading_day, str)
        call = self._session.query("QrySettlementInfo", {"TradingDay": trading_day} if trading_day else {},
                                   self._driver.now(), check_timeout(timeout))
        records: list[Record] = yield Wait(call)
        pieces = sorted(records, key=lambda record: int(record.get("SequenceNo", 0)))
        return b"".join(bytes(record["Content"]) for record in pieces).decode("gb18030", errors="replace")

    def _change_password(self, old: str, new: str, *, timeout: float | None = None) -> Steps[None]:
        """Changes the user's password (UserPasswordUpdate) and logs in with the new one from then on;
        ``CtpError`` when the front refuses (a wrong old password)."""
        check_argument("old", old, str)
        check_argument("new", new, str)
        if not new:
            raise ValueError("new must not be empty")
        session = self._session
        session.check_open(ready=True)
        fields = session.own("UserPasswordUpdate", dict(UserID=session.user, OldPassword=old, NewPassword=new))
        call = Call("UserPasswordUpdate", fields, session.deadline(self._driver.now(), check_timeout(timeout)),
                    arguments={"OldPassword": "old", "NewPassword": "new"})
        yield Wait(session.submit(call))
        session.credentials["Password"] = new

    # ---- positions and P&L (each read takes in what has arrived first) -------------------------------

    @property
    def positions(self) -> list[Position]:
        """Every position of the trading day (``ctp.Position``), per instrument and side: those held,
        and those closed out today with what they made."""
        return self._read(lambda: self._ledger().positions(self._book.working))

    def position(self, instrument: str, side: PosiDirection) -> Position:
        """The position of one instrument and side (``ctp.PosiDirection.LONG`` or ``SHORT``); all
        zero when there is none."""
        side = check_argument("side", side, PosiDirection)
        return self._read(lambda: self._ledger().position(instrument, side, self._book.working))

    def pnl(self, instrument: str | None = None) -> PnL:
        """Profit and loss (``ctp.PnL``: realised, floating, commission, margin, frozen margin and
        commission, net) of one instrument, or in total (None): what the trading account's
        CloseProfit, PositionProfit, Commission, CurrMargin, FrozenMargin and FrozenCommission say."""
        return self._read(lambda: self._ledger().pnl(self._book.working, instrument))

    @property
    def limits(self) -> Limits:
        """The limits each order is checked against before it goes out."""
        return self._book.guard.limits

    def follow(self, market: MarketDataBase[Any]) -> None:
        """Values the positions at the latest ticks of a market-data session that runs on this
        client's driver: those it has, and every one from now on (until the client is closed)."""
        subscriptions = getattr(market, "_market", None)
        if not isinstance(subscriptions, Subscriptions):
            raise TypeError(f"market must be a ctp.MarketData or ctp.AsyncMarketData, not {type(market).__name__}")
        if market.driver is not self._driver:
            raise ValueError("market must run on this client's driver: give both the same driver=")
        book = self._book

        def listen(event: Event) -> None:
            if event["name"] == TICK and event.get("data") is not None:
                book.take_tick(event["data"])
        with self._driver.guard():
            for tick in subscriptions.ticks.values():
                book.take_tick(tick)
            market._session.listen(listen)
            self._following.append((market._session, listen))

    def mark(self, tick: Mapping[str, Any]) -> None:
        """Values the instrument's positions at this tick (a DepthMarketData record: InstrumentID,
        LastPrice, and TradingDay, Volume and PreSettlementPrice where known) until a newer one."""
        if not isinstance(tick, Mapping) or not isinstance(tick.get("InstrumentID"), str):
            raise TypeError("tick must be a mapping with an InstrumentID, as RtnDepthMarketData's data")
        self._read(lambda: self._book.take_tick(tick))

    def _ledger(self) -> Ledger:
        if self._book.ledger is None:
            raise RuntimeError("this client keeps no positions (track=False)")
        return self._book.ledger

    # ---- the order book (each read takes in what has arrived first) ------------------------------

    @property
    def orders(self) -> list[O]:
        """Every order known: this client's and those of the investor's other sessions seen since login."""
        return self._read(lambda: list(self._book.orders))

    @property
    def trades(self) -> list[Record]:
        """Every trade seen (RtnTrade records, each once)."""
        return self._read(lambda: list(self._book.trades))

    def order_by_ref(self, front_id: int, session_id: int, order_ref: str) -> O | None:
        return self._read(lambda: self._book.order_by_ref(front_id, session_id, order_ref))

    def order_by_sys_id(self, exchange_id: str, order_sys_id: str) -> O | None:
        return self._read(lambda: self._book.order_by_sys_id(exchange_id, order_sys_id))


class Client(BlockingFace, ClientBase[Driver, Order], order=Order):
    query = blocking.call(ClientBase._query)
    insert_order = blocking.call(ClientBase._insert_order)
    close_position = blocking.call(ClientBase._close_position)
    cancel = blocking.call(ClientBase._cancel)
    contract = blocking.call(ClientBase._contract)
    instrument = blocking.call(ClientBase._instrument)
    margin_rate = blocking.call(ClientBase._margin_rate)
    commission_rate = blocking.call(ClientBase._commission_rate)
    settlement = blocking.call(ClientBase._settlement)
    change_password = blocking.call(ClientBase._change_password)


class AsyncClient(AsyncFace, ClientBase[AsyncDriver, AsyncOrder], order=AsyncOrder):
    query = asynchronous.call(ClientBase._query)
    insert_order = asynchronous.call(ClientBase._insert_order)
    close_position = asynchronous.call(ClientBase._close_position)
    cancel = asynchronous.call(ClientBase._cancel)
    contract = asynchronous.call(ClientBase._contract)
    instrument = asynchronous.call(ClientBase._instrument)
    margin_rate = asynchronous.call(ClientBase._margin_rate)
    commission_rate = asynchronous.call(ClientBase._commission_rate)
    settlement = asynchronous.call(ClientBase._settlement)
    change_password = asynchronous.call(ClientBase._change_password)
