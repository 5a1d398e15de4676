"""The trading client, ``ctp.Client`` (blocking) and ``ctp.AsyncClient`` (asyncio): the trading
protocol's session as its caller holds it. Each method is written once, as a body, and named
by each flavour in one line; so are the orders' (``ctp.Order``, ``ctp.AsyncOrder``)."""

from __future__ import annotations

import logging
import os
from collections.abc import Generator
from typing import Any, ClassVar, Self, Unpack

import _ctp

from . import _asyncio as asynchronous, _blocking as blocking
from ._args import check_timeout
from ._asyncio import AsyncDriver
from ._blocking import Driver
from ._core import Call, Record, Session
from ._driver import BaseDriver, Link, Steps, Wait
from ._face import AsyncFace, BlockingFace, Face
from ._trading import TRADING, BaseOrder, OrderBook, OrderOptions
from .codes import Direction

TRADER = Link(_ctp, "ctp.session")


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
    """A session on one front as one investor: connects, authenticates, logs in and confirms the
    settlement, and again by itself after a drop; keeps the order book.

    ``query_interval`` spaces queries (a front takes one per second); ``timeout`` is the default
    limit for each call, in seconds, counted from the call (0: a call fails unless it needs no
    wait; None: no limit). ``driver`` runs the session, with others if it is shared (by default
    one of its own). Events wait in the module's queue while nothing reads them, so code may
    block for a while without stalling the vendor's library, as long as the queue (32,768
    events) does not fill."""

    _order_type: ClassVar[type[OrderFace]]

    def __init_subclass__(cls, order: type[OrderFace] | None = None, **options: object) -> None:
        super().__init_subclass__(**options)
        if order is not None:
            cls._order_type = order

    def __init__(self, front: str, broker: str, user: str, password: str, app_id: str = "", auth_code: str = "",
                 *, flow: str | os.PathLike[str] | None = None, query_interval: float = 1.0,
                 timeout: float | None = 10.0, logger: logging.Logger | None = None, driver: D | None = None) -> None:
        timeout = self._check(front, dict(broker=broker, user=user, password=password, app_id=app_id,
                                          auth_code=auth_code), flow, logger, timeout)
        interval = check_timeout(query_interval, "query_interval")
        if interval is None:
            raise TypeError("query_interval must be a number of seconds, not None")
        self._book: OrderBook[O] = OrderBook(lambda: self._order_type(self))   # type: ignore[arg-type,return-value]
        session = Session(TRADING, [self._book], broker=broker, user=user, password=password, app_id=app_id,
                          auth_code=auth_code, query_interval=interval, timeout=timeout,
                          logger=logger or TRADER.session_logger(front, user), front=front)
        self._begin(session, TRADER, front, flow, user, driver)

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
        """Sends a query (``QryInstrument``, ``QryTradingAccount``, ``QryInvestorPosition``, ``QryOrder``,
        ``QryTrade``) once its turn comes and returns its records. BrokerID and InvestorID default to
        the session's own; ``timeout`` None is the client's."""
        call = self._session.query(name, filters, self._driver.now(), check_timeout(timeout))
        records: list[Record] = yield Wait(call)
        return records

    def _insert_order(self, instrument: str, direction: Direction, volume: int, price: float,
                      **options: Unpack[OrderOptions]) -> Steps[O]:
        """Sends an order and returns it at once; its options (``ctp.OrderOptions``) default to a limit
        order, good for the day, that opens, speculation, any volume. ``order.wait()`` waits for it
        to finish."""
        yield from ()
        order, call = self._book.insert_order(self._driver.now(), instrument, direction, volume, price, **options)
        self._driver.flush()
        if call.error is not None:
            raise call.error
        return order

    def _cancel(self, order: O, *, timeout: float | None = None) -> Steps[O]:
        """Cancels an order and returns it once finished; ``CtpError`` when the front refuses."""
        yield Wait(self._book.cancel(order, self._driver.now(), check_timeout(timeout)))
        return order

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
    cancel = blocking.call(ClientBase._cancel)


class AsyncClient(AsyncFace, ClientBase[AsyncDriver, AsyncOrder], order=AsyncOrder):
    query = asynchronous.call(ClientBase._query)
    insert_order = asynchronous.call(ClientBase._insert_order)
    cancel = asynchronous.call(ClientBase._cancel)
