"""``ctp.Client``: the core driven by blocking calls, safe to share between threads.

Whichever thread waits for something reads the session's events for every
thread: it sleeps in ``_ctp.wait`` (without the interpreter lock) and feeds
what arrives to the core; the others sleep on a condition until it has."""

from __future__ import annotations

import collections
import logging
import os
import threading
import time
from collections.abc import Callable, Iterator
from types import TracebackType
from typing import Any, Self

import _ctp

from . import _driver
from ._core import BaseOrder, Call, Core, Disconnected, Event, Overflowed, Phase, Record, check_timeout, transmit
from .codes import (
    ContingentCondition,
    Direction,
    HedgeFlag,
    OffsetFlag,
    OrderPriceType,
    TimeCondition,
    VolumeCondition,
)


class Order(BaseOrder):
    """An order of a ``Client``'s investor; ``wait()`` blocks until it is finished."""

    def __init__(self, client: Client) -> None:
        super().__init__()
        self._client = client

    def wait(self, timeout: float | None = None) -> Self:
        """Returns once the order is finished (traded, cancelled or refused) with all its trades;
        TimeoutError after timeout seconds (0: only checks; None: no limit)."""
        timeout = check_timeout(timeout)
        self._client._run_until(lambda: self.done, timeout, f"order {self.order_ref} still waiting")
        return self


class Client:
    """A session on one front as one investor: connects, authenticates, logs in and
    confirms the settlement on creation, and again by itself after a drop.

    ``query_interval`` spaces queries (a front takes one per second); ``timeout`` is the
    default limit for each call, in seconds (0: a call fails unless it needs no wait;
    None: no limit). Events wait in the module's queue while
    no call of this client runs, so code may block for a while without stalling the
    vendor's library; poll often enough that the queue (32,768 events) does not fill."""

    def __init__(self, front: str, broker: str, user: str, password: str, app_id: str = "", auth_code: str = "",
                 *, flow: str | os.PathLike[str] | None = None, query_interval: float = 1.0,
                 timeout: float | None = 10.0, logger: logging.Logger | None = None) -> None:
        _driver.check_arguments(front, dict(broker=broker, user=user, password=password, app_id=app_id,
                                             auth_code=auth_code), flow, logger)
        timeout = check_timeout(timeout)
        query_interval = check_timeout(query_interval, "query_interval") or 0.0
        self.front = front
        self.log = logger or _driver.session_logger(front, user)
        self._cond = threading.Condition(threading.Lock())
        self._pumping = False
        self._core: Core[Order] = Core(lambda: Order(self), broker=broker, user=user, password=password,
                                       app_id=app_id, auth_code=auth_code, query_interval=query_interval,
                                       timeout=timeout, logger=self.log, front=front)
        self._flow = _driver.Flow.claim(flow, front, broker, user)
        self.flow = self._flow.path
        """The flow directory the session holds."""
        try:
            self._handle = _driver.open_session(front, self._flow.encoded)
        except BaseException:
            self._flow.release()
            raise
        self.log.info("session opened on %s for %s/%s", front, broker, user)
        call = self._core.connect(time.monotonic())
        try:
            self._result(call)
        except BaseException:
            self.close()
            raise

    # ---- the session --------------------------------------------------------------------------

    @property
    def login(self) -> Record:
        """The latest login's record: TradingDay, FrontID, SessionID, MaxOrderRef."""
        return dict(self._core.login)

    @property
    def trading_day(self) -> str:
        return str(self._core.login.get("TradingDay", ""))

    @property
    def front_id(self) -> int:
        return int(self._core.login.get("FrontID", 0))

    @property
    def session_id(self) -> int:
        return int(self._core.login.get("SessionID", 0))

    @property
    def max_order_ref(self) -> str:
        return str(self._core.login.get("MaxOrderRef", ""))

    @property
    def ready(self) -> bool:
        """Logged in and able to trade."""
        return self._core.phase is Phase.READY

    def close(self) -> None:
        """Closes the session; calls still waiting fail with ``Disconnected``. A second call does nothing."""
        with _driver.INTERRUPTS, self._cond:
            if self._core.phase is Phase.CLOSED:
                return
            self._core.close()
            _ctp.close(self._handle)
            self._flow.release()
            self._cond.notify_all()
        self.log.info("session closed")

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    # ---- requests -----------------------------------------------------------------------------

    def query(self, name: str, *, timeout: float | None = None, **filters: object) -> list[Record]:
        """Sends a query (``QryInstrument``, ``QryTradingAccount``, ``QryInvestorPosition``,
        ``QryOrder``, ``QryTrade``) once its turn comes and returns its records. BrokerID
        and InvestorID default to the session's own; ``timeout`` None is the client's."""
        timeout = check_timeout(timeout)
        with _driver.INTERRUPTS, self._cond:
            self._catch_up()
            call = self._core.query(name, filters, time.monotonic(), timeout)
            self._send()
        records: list[Record] = self._result(call)
        return records

    def insert_order(self, instrument: str, direction: Direction, volume: int, price: float, *,
                     exchange: str = "", offset: OffsetFlag = OffsetFlag.OPEN,
                     hedge: HedgeFlag = HedgeFlag.SPECULATION,
                     price_type: OrderPriceType = OrderPriceType.LIMIT_PRICE,
                     time_condition: TimeCondition = TimeCondition.GFD,
                     volume_condition: VolumeCondition = VolumeCondition.ANY, min_volume: int = 1,
                     contingent_condition: ContingentCondition = ContingentCondition.IMMEDIATELY,
                     auto_suspend: bool = False, currency: str = "") -> Order:
        """Sends an order (by default a good-for-the-day limit order that opens, any volume,
        speculation) and returns it at once; ``order.wait()`` waits for it to finish."""
        with _driver.INTERRUPTS, self._cond:
            self._catch_up()
            order, call = self._core.insert_order(
                time.monotonic(), instrument, direction, volume, price, exchange=exchange, offset=offset,
                hedge=hedge, price_type=price_type, time_condition=time_condition,
                volume_condition=volume_condition, min_volume=min_volume,
                contingent_condition=contingent_condition, auto_suspend=auto_suspend, currency=currency)
            self._send()
        if call.error is not None:
            raise call.error
        return order

    def cancel(self, order: Order, *, timeout: float | None = None) -> Order:
        """Cancels an order and returns it once finished; ``CtpError`` when the front refuses."""
        timeout = check_timeout(timeout)
        with _driver.INTERRUPTS, self._cond:
            self._catch_up()
            call = self._core.cancel(order, time.monotonic(), timeout)
            self._send()
        self._result(call)
        return order

    # ---- the order book -----------------------------------------------------------------------

    @property
    def orders(self) -> list[Order]:
        """Every order known: this client's and those of the investor's other sessions seen since login."""
        return list(self._core.orders)

    @property
    def trades(self) -> list[Record]:
        """Every trade seen (RtnTrade records, each once)."""
        return list(self._core.trades)

    def order_by_ref(self, front_id: int, session_id: int, order_ref: str) -> Order | None:
        return self._core.order_by_ref(front_id, session_id, order_ref)

    def order_by_sys_id(self, exchange_id: str, order_sys_id: str) -> Order | None:
        return self._core.order_by_sys_id(exchange_id, order_sys_id)

    # ---- events -------------------------------------------------------------------------------

    def events(self, timeout: float | None = None) -> Events:
        """Every event from now on, as the module delivered it, plus the client's own
        (``Reconnected``, ``ReconnectFailed``, ``Overflowed``). Iterating waits for the next
        one; iteration ends after ``timeout`` seconds without one (0: once none is waiting;
        None: never)."""
        self._check_streamable()
        return Events(self, check_timeout(timeout))

    def process(self, seconds: float) -> None:
        """Handles the session's events for a while (as any waiting call does)."""
        try:
            self._run_until(lambda: False, check_timeout(seconds, "seconds"), "")
        except TimeoutError:
            pass

    # ---- the driver ---------------------------------------------------------------------------

    def _check_streamable(self) -> None:
        """A new stream, as any other call, fails on a session that can deliver nothing more."""
        if self._core.overflow is not None:
            raise self._core.overflow
        if self._core.phase is Phase.CLOSED:
            raise Disconnected("the session was closed")

    def _catch_up(self) -> None:
        """Takes what is waiting before a request, so that a lost event (BufferError) is
        known before anything more goes out; the condition's lock is held."""
        if not self._closed():
            _driver.drain(self._handle, self._core, self.log)

    def _send(self) -> None:
        """Sends what the core has due; the condition's lock is held."""
        handle = self._handle
        transmit(self._core, lambda name, fields, rid: _driver.request(handle, name, fields, rid), time.monotonic())

    def _result(self, call: Call) -> Any:
        self._run_until(lambda: call.done, None, call.name)
        return call.value()

    def _run_until(self, done: Callable[[], bool], timeout: float | None, what: str) -> None:
        """Handles events until done() holds; TimeoutError after timeout seconds."""
        deadline = None if timeout is None else time.monotonic() + timeout
        with _driver.INTERRUPTS, self._cond:
            self._catch_up()     # what has arrived counts, even for a call that does not wait
            while True:
                now = time.monotonic()
                self._core.advance(now)
                self._send()
                if done():
                    return
                if self._core.overflow is not None:
                    raise self._core.overflow
                if self._core.phase is Phase.CLOSED:
                    raise Disconnected("the session was closed")
                if deadline is not None and now >= deadline:
                    raise TimeoutError(f"{what}: not finished within {timeout:g} s")
                wake = self._core.next_wakeup()
                limit = min((t for t in (wake, deadline) if t is not None), default=None)
                wait = None if limit is None else max(limit - now, 0.0)
                if self._pumping:
                    # Another thread reads the session. The main thread wakes now and then for Ctrl-C.
                    main = threading.current_thread() is threading.main_thread()
                    self._cond.wait(min(wait, 0.05) if main and wait is not None else 0.05 if main else wait)
                    _driver.INTERRUPTS.check()
                    continue
                self._pumping = True
                try:
                    self._cond.release()
                    try:
                        with _driver.INTERRUPTS.window():      # the only place Ctrl-C comes through
                            _ctp.wait(self._handle, wait)
                    finally:
                        self._cond.acquire()
                    if not self._closed():      # closed by another thread meanwhile
                        _driver.drain(self._handle, self._core, self.log)
                finally:
                    self._pumping = False
                    self._cond.notify_all()


    def _closed(self) -> bool:
        return self._core.phase is Phase.CLOSED


class Events:
    """An iterator over a client's events from its creation on (see ``Client.events``)."""

    def __init__(self, client: Client, timeout: float | None) -> None:
        self._client, self._timeout = client, timeout
        self._queue: collections.deque[Event] = collections.deque()
        client._core.subscribe(self._queue.append)

    def __iter__(self) -> Iterator[Event]:
        return self

    def __next__(self) -> Event:
        if not self._queue:
            try:
                self._client._run_until(lambda: bool(self._queue), self._timeout, "events")
            except TimeoutError:
                raise StopIteration from None
            except (Disconnected, Overflowed):     # no more is coming: the end
                if not self._queue:
                    raise StopIteration from None
        return self._queue.popleft()

    def close(self) -> None:
        """Stops collecting events."""
        try:
            self._client._core.unsubscribe(self._queue.append)
        except ValueError:
            pass
