"""``ctp.AsyncClient``: the core driven by an asyncio event loop.

The loop watches the session's descriptor (``_ctp.fileno``) with
``add_reader``; when it is readable the client polls and feeds the core, and
one timer (``call_at``) stands for the core's next deadline. No task, no
thread, no sleep of its own."""

from __future__ import annotations

import asyncio
import collections
import logging
import os
from pathlib import Path
from collections.abc import AsyncIterator, Generator
from types import CapsuleType, TracebackType
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


class AsyncOrder(BaseOrder):
    """An order of an ``AsyncClient``'s investor; ``await order`` (or ``await order.wait()``)
    until it is finished."""

    def __init__(self, client: AsyncClient) -> None:
        super().__init__()
        self._client = client

    async def wait(self, timeout: float | None = None) -> Self:
        """Returns once the order is finished (traded, cancelled or refused) with all its trades;
        TimeoutError after timeout seconds (0: only checks; None: no limit)."""
        timeout = check_timeout(timeout)
        self._client._readable()
        if not self.done:
            future = self._client._future()

            def finished(_: BaseOrder) -> None:
                if not future.done():
                    future.set_result(None)
            self.add_done_callback(finished)
            async with asyncio.timeout(timeout):
                await future
        return self

    def __await__(self) -> Generator[Any, None, Self]:
        return self.wait().__await__()


class AsyncClient:
    """A session on one front as one investor, for asyncio: ``await client.connect()``
    (or ``async with AsyncClient(...) as client``) connects, authenticates, logs in and
    confirms the settlement, and the client does it again by itself after a drop.

    ``query_interval`` spaces queries (a front takes one per second); ``timeout`` is the
    default limit for each call, in seconds (0: a call fails unless it needs no wait;
    None: no limit). Events wait in the module's queue while
    the loop is busy, so a coroutine may block for a while without stalling the
    vendor's library, as long as the queue (32,768 events) does not fill."""

    def __init__(self, front: str, broker: str, user: str, password: str, app_id: str = "", auth_code: str = "",
                 *, flow: str | os.PathLike[str] | None = None, query_interval: float = 1.0,
                 timeout: float | None = 10.0, logger: logging.Logger | None = None) -> None:
        _driver.check_arguments(front, dict(broker=broker, user=user, password=password, app_id=app_id,
                                             auth_code=auth_code), flow, logger)
        timeout = check_timeout(timeout)
        query_interval = check_timeout(query_interval, "query_interval") or 0.0
        self.front = front
        self.log = logger or _driver.session_logger(front, user)
        self._flow_given = flow
        self._flow: _driver.Flow | None = None
        self.flow: Path | None = None
        """The flow directory the session holds, once connected."""
        self._broker, self._user = broker, user
        self._core: Core[AsyncOrder] = Core(lambda: AsyncOrder(self), broker=broker, user=user,
                                            password=password, app_id=app_id, auth_code=auth_code,
                                            query_interval=query_interval, timeout=timeout, logger=self.log,
                                            front=front)
        self._loop: asyncio.AbstractEventLoop | None = None
        self._handle: CapsuleType | None = None
        self._fd = -1
        self._timer: asyncio.TimerHandle | None = None
        self._waiting: set[asyncio.Future[Any]] = set()

    async def connect(self) -> Self:
        """Opens the session and returns once logged in."""
        if self._handle is not None:
            raise RuntimeError("already connected")
        self._loop = asyncio.get_running_loop()
        self._flow = _driver.Flow.claim(self._flow_given, self.front, self._broker, self._user)
        self.flow = self._flow.path
        try:
            self._handle = _driver.open_session(self.front, self._flow.encoded)
        except BaseException:
            self._flow.release()
            raise
        self.log.info("session opened on %s for %s/%s", self.front, self._broker, self._user)
        self._fd = _ctp.fileno(self._handle)
        self._loop.add_reader(self._fd, self._readable)
        call = self._core.connect(self._loop.time())
        try:
            self._readable()      # the front may have answered already
            await self._result(call)
        except BaseException:
            self.close()
            raise
        return self

    async def __aenter__(self) -> Self:
        return await self.connect()

    async def __aexit__(self, kind: type[BaseException] | None, value: BaseException | None,
                        traceback: TracebackType | None) -> None:
        self.close()

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
        if self._core.phase is Phase.CLOSED:
            return
        self._stop_reading()
        self._core.close()
        if self._handle is not None:
            _ctp.close(self._handle)
        if self._flow is not None:
            self._flow.release()
        self._fail_waiting(Disconnected("the session was closed"))
        self.log.info("session closed")

    # ---- requests -----------------------------------------------------------------------------

    async def query(self, name: str, *, timeout: float | None = None, **filters: object) -> list[Record]:
        """Sends a query (``QryInstrument``, ``QryTradingAccount``, ``QryInvestorPosition``,
        ``QryOrder``, ``QryTrade``) once its turn comes and returns its records. BrokerID
        and InvestorID default to the session's own; ``timeout`` None is the client's."""
        timeout = check_timeout(timeout)
        self._readable()     # a lost event (BufferError) must be known before anything more goes out
        call = self._core.query(name, filters, self._now(), timeout)
        self._update()
        records: list[Record] = await self._result(call)
        return records

    async def insert_order(self, instrument: str, direction: Direction, volume: int, price: float, *,
                           exchange: str = "", offset: OffsetFlag = OffsetFlag.OPEN,
                           hedge: HedgeFlag = HedgeFlag.SPECULATION,
                           price_type: OrderPriceType = OrderPriceType.LIMIT_PRICE,
                           time_condition: TimeCondition = TimeCondition.GFD,
                           volume_condition: VolumeCondition = VolumeCondition.ANY, min_volume: int = 1,
                           contingent_condition: ContingentCondition = ContingentCondition.IMMEDIATELY,
                           auto_suspend: bool = False, currency: str = "") -> AsyncOrder:
        """Sends an order (by default a good-for-the-day limit order that opens, any volume,
        speculation) and returns it; ``await order`` waits for it to finish."""
        self._readable()     # a lost event (BufferError) must be known before anything more goes out
        order, call = self._core.insert_order(
            self._now(), instrument, direction, volume, price, exchange=exchange, offset=offset, hedge=hedge,
            price_type=price_type, time_condition=time_condition, volume_condition=volume_condition,
            min_volume=min_volume, contingent_condition=contingent_condition, auto_suspend=auto_suspend,
            currency=currency)
        self._update()
        if call.error is not None:
            raise call.error
        return order

    async def cancel(self, order: AsyncOrder, *, timeout: float | None = None) -> AsyncOrder:
        """Cancels an order and returns it once finished; ``CtpError`` when the front refuses."""
        timeout = check_timeout(timeout)
        self._readable()     # a lost event (BufferError) must be known before anything more goes out
        call = self._core.cancel(order, self._now(), timeout)
        self._update()
        await self._result(call)
        return order

    # ---- the order book -----------------------------------------------------------------------

    @property
    def orders(self) -> list[AsyncOrder]:
        """Every order known: this client's and those of the investor's other sessions seen since login."""
        return list(self._core.orders)

    @property
    def trades(self) -> list[Record]:
        """Every trade seen (RtnTrade records, each once)."""
        return list(self._core.trades)

    def order_by_ref(self, front_id: int, session_id: int, order_ref: str) -> AsyncOrder | None:
        return self._core.order_by_ref(front_id, session_id, order_ref)

    def order_by_sys_id(self, exchange_id: str, order_sys_id: str) -> AsyncOrder | None:
        return self._core.order_by_sys_id(exchange_id, order_sys_id)

    # ---- events -------------------------------------------------------------------------------

    def events(self, timeout: float | None = None) -> AsyncEvents:
        """Every event from now on, as the module delivered it, plus the client's own
        (``Reconnected``, ``ReconnectFailed``, ``Overflowed``). ``async for`` waits for the
        next one; iteration ends after ``timeout`` seconds without one (0: once none is
        waiting; None: never)."""
        self._check_streamable()
        return AsyncEvents(self, check_timeout(timeout))

    # ---- the driver ---------------------------------------------------------------------------

    def _check_streamable(self) -> None:
        """A new stream, as any other call, fails on a session that can deliver nothing more."""
        if self._core.overflow is not None:
            raise self._core.overflow
        if self._core.phase is Phase.CLOSED:
            raise Disconnected("the session was closed")

    def _now(self) -> float:
        if self._loop is None:
            raise Disconnected("not connected yet: await connect() first")
        return self._loop.time()

    def _future(self) -> asyncio.Future[Any]:
        """A future that fails when the session can no longer deliver (closed, overflowed)."""
        if self._core.overflow is not None:
            raise self._core.overflow
        if self._core.phase is Phase.CLOSED:
            raise Disconnected("the session was closed")
        assert self._loop is not None
        future: asyncio.Future[Any] = self._loop.create_future()
        self._waiting.add(future)
        future.add_done_callback(self._waiting.discard)
        return future

    async def _result(self, call: Call) -> Any:
        future = self._future()

        def settle(call: Call) -> None:
            if not future.done():
                if call.error is not None:
                    future.set_exception(call.error)
                else:
                    future.set_result(call.result)
        call.add_done_callback(settle)
        return await future

    def _readable(self) -> None:
        if self._handle is None or self._core.phase is Phase.CLOSED:
            return
        _driver.drain(self._handle, self._core, self.log)
        if self._core.overflow is not None:
            self._stop_reading()
            self._fail_waiting(self._core.overflow)
        self._update()

    def _update(self) -> None:
        """Lets the core act on the time, sends what is due and sets the timer for what comes next."""
        if self._loop is None or self._handle is None or self._core.phase is Phase.CLOSED:
            return
        now = self._loop.time()
        self._core.advance(now)
        handle = self._handle
        transmit(self._core, lambda name, fields, rid: _driver.request(handle, name, fields, rid), now)
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None
        wake = self._core.next_wakeup()
        if wake is not None:
            self._timer = self._loop.call_at(wake, self._update)

    def _stop_reading(self) -> None:
        if self._loop is not None and self._fd >= 0:
            self._loop.remove_reader(self._fd)
            self._fd = -1
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None

    def _fail_waiting(self, error: BaseException) -> None:
        for future in list(self._waiting):
            if not future.done():
                future.set_exception(error)


class AsyncEvents:
    """An async iterator over a client's events from its creation on (see ``AsyncClient.events``)."""

    def __init__(self, client: AsyncClient, timeout: float | None) -> None:
        self._client, self._timeout = client, timeout
        self._queue: collections.deque[Event] = collections.deque()
        self._wakeup: asyncio.Future[Any] | None = None
        client._core.subscribe(self._put)

    def _put(self, event: Event) -> None:
        self._queue.append(event)
        if self._wakeup is not None and not self._wakeup.done():
            self._wakeup.set_result(None)

    def __aiter__(self) -> AsyncIterator[Event]:
        return self

    async def __anext__(self) -> Event:
        if not self._queue:
            self._client._readable()      # what has arrived counts, even when it does not wait
        if not self._queue:
            try:
                self._wakeup = self._client._future()
                async with asyncio.timeout(self._timeout):
                    await self._wakeup
            except (TimeoutError, Disconnected, Overflowed):     # no more is coming: the end
                if not self._queue:
                    raise StopAsyncIteration from None
            finally:
                self._wakeup = None
        return self._queue.popleft()

    def close(self) -> None:
        """Stops collecting events."""
        try:
            self._client._core.unsubscribe(self._put)
        except ValueError:
            pass
