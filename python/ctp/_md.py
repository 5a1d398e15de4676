"""``ctp.MarketData`` and ``ctp.AsyncMarketData``: the market-data core driven
by blocking calls (sleeping in ``_ctpmd.wait``) or by an asyncio loop (the
session's descriptor watched with ``add_reader``, one timer for the core's
next deadline; no task, no thread, no sleep of its own)."""

from __future__ import annotations

import asyncio
import collections
import logging
import os
from pathlib import Path
import re
import threading
import time
from collections.abc import AsyncIterator, Callable, Iterable, Iterator
from types import CapsuleType, TracebackType
from typing import TYPE_CHECKING, Any, Self, cast

import _ctpmd

if TYPE_CHECKING:
    from _ctpmd import UserLoginFields

from . import _driver
from ._core import Call, Disconnected, Event, Overflowed, Phase, Record, check_timeout
from ._mdcore import LOGIN, SUBSCRIBE, MdCall, MdCore, transmit

TICK = "RtnDepthMarketData"


def md_logger(front: str, user: str) -> logging.Logger:
    """One logger per session, under "ctp.md"."""
    return logging.getLogger("ctp.md").getChild(re.sub(r"[^\w@:/-]", "_", f"{user}@{front}"))


def drain(handle: CapsuleType, core: MdCore, log: logging.Logger) -> None:
    """Feeds the core every event the handle has now (as ``_driver.drain`` does for trading)."""
    with _driver.INTERRUPTS:
        _drain(handle, core, log)


def _drain(handle: CapsuleType, core: MdCore, log: logging.Logger) -> None:
    for _ in range(_driver.MAX_BAD_POLLS):
        if core.overflow is not None:
            return
        try:
            events = _ctpmd.poll(handle)
        except Exception as error:
            core.poll_failed(error)
            continue
        for event in events:
            try:
                core.receive(cast(Event, event))  # the core reads events as plain dicts
            except Exception:
                log.exception("could not handle the event %r", event)
        return


def send(handle: CapsuleType) -> Callable[[MdCall], int]:
    def send_call(call: MdCall) -> int:
        if call.name == LOGIN:
            return _ctpmd.request(handle, "UserLogin", cast("UserLoginFields", call.fields), call.request_id)
        if call.name == SUBSCRIBE:
            return _ctpmd.subscribe(handle, list(call.ids))
        return _ctpmd.unsubscribe(handle, list(call.ids))
    return send_call


def instrument_ids(given: tuple[str | Iterable[str], ...]) -> tuple[str, ...]:
    """Instrument ids given one by one or in lists, as one tuple; TypeError naming the argument."""
    ids: list[object] = []
    for item in given:
        ids.extend([item] if isinstance(item, str) else item)
    for instrument in ids:
        if not isinstance(instrument, str):
            raise TypeError(f"instrument_ids must be str (or lists of str), not {type(instrument).__name__}")
    return cast(tuple[str, ...], tuple(ids))


def _open(front: str, flow: str | os.PathLike[str] | None, broker: str,
          user: str) -> tuple[CapsuleType, _driver.Flow]:
    # Apart from a trading session's flow files by default: the vendor's libraries keep their own.
    held = _driver.Flow.claim(flow, front, broker, f"{user}-md")
    try:
        return _ctpmd.create(front, held.encoded), held
    except BaseException:
        held.release()
        raise


class MarketData:
    """A market-data session on one front: connects and logs in on creation, and after a
    drop logs in again and subscribes again to every instrument by itself. Safe to share
    between threads, as ``ctp.Client`` is. ``timeout`` is the default limit for each call
    (0: a call fails unless it needs no wait; None: no limit)."""

    def __init__(self, front: str, broker: str = "", user: str = "", password: str = "", *,
                 flow: str | os.PathLike[str] | None = None, timeout: float | None = 10.0,
                 logger: logging.Logger | None = None) -> None:
        _driver.check_arguments(front, dict(broker=broker, user=user, password=password), flow, logger)
        timeout = check_timeout(timeout)
        self.front = front
        self.log = logger or md_logger(front, user)
        self._cond = threading.Condition(threading.Lock())
        self._pumping = False
        self._core = MdCore(broker=broker, user=user, password=password, timeout=timeout, logger=self.log,
                            front=front)
        self._handle, self._flow = _open(front, flow, broker, user)
        self.flow = self._flow.path
        """The flow directory the session holds."""
        self.log.info("market-data session opened on %s for %s/%s", front, broker, user)
        call = self._core.connect(time.monotonic())
        try:
            self._result(call)
        except BaseException:
            self.close()
            raise

    @property
    def login(self) -> Record:
        return dict(self._core.login)

    @property
    def ready(self) -> bool:
        return self._core.phase is Phase.READY

    @property
    def subscribed(self) -> list[str]:
        """The instruments subscribed (and subscribed again after a drop)."""
        return list(self._core.subscribed)

    def close(self) -> None:
        """Closes the session; calls still waiting fail with ``Disconnected``. A second call does nothing."""
        with _driver.INTERRUPTS, self._cond:
            if self._core.phase is Phase.CLOSED:
                return
            self._core.close()
            _ctpmd.close(self._handle)
            self._flow.release()
            self._cond.notify_all()
        self.log.info("session closed")

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def subscribe(self, *instrument_ids: str | Iterable[str], timeout: float | None = None) -> None:
        """Subscribes and returns once the front replied for each; ``CtpError`` with the first refusal
        (the others stay subscribed). A snapshot of each follows as a tick. Ids come one by one,
        or in lists."""
        self._request(self._core.subscribe, instrument_ids, timeout)

    def unsubscribe(self, *instrument_ids: str | Iterable[str], timeout: float | None = None) -> None:
        """Unsubscribes and returns once the front replied for each; ``CtpError`` with the first refusal.
        Ids come one by one, or in lists."""
        self._request(self._core.unsubscribe, instrument_ids, timeout)

    def latest(self, instrument_id: str) -> Record | None:
        """The latest tick seen (RtnDepthMarketData's "data"), or None. Reads what has arrived first."""
        with _driver.INTERRUPTS, self._cond:
            if not self._closed() and not self._pumping:
                self._drain()
                self._send()      # what the events call for (a login again) goes out now, not at the next call
            return self._core.latest(instrument_id)

    def ticks(self, timeout: float | None = None) -> Ticks:
        """The latest tick of each instrument subscribed, then every tick from now on
        (RtnDepthMarketData's "data"); iteration ends after ``timeout`` seconds without one
        (None: never), or when the session is closed."""
        self._check_streamable()
        return Ticks(self, check_timeout(timeout), ticks_only=True)

    def events(self, timeout: float | None = None) -> Ticks:
        """Every event from now on, as ``_ctpmd`` delivered it, plus ``Reconnected``,
        ``ReconnectFailed`` and ``Overflowed``, as ``Client.events``."""
        self._check_streamable()
        return Ticks(self, check_timeout(timeout), ticks_only=False)

    def _check_streamable(self) -> None:
        """A new stream, as any other call, fails on a session that can deliver nothing more."""
        if self._core.overflow is not None:
            raise self._core.overflow
        if self._core.phase is Phase.CLOSED:
            raise Disconnected("the session was closed")

    def _request(self, ask: Callable[[tuple[str, ...], float, float | None], MdCall],
                 ids: tuple[str | Iterable[str], ...], timeout: float | None) -> None:
        timeout = check_timeout(timeout)
        flat = instrument_ids(ids)
        with _driver.INTERRUPTS, self._cond:
            if not self._closed():
                self._drain()
            call = ask(flat, time.monotonic(), timeout)
            self._send()
        self._result(call)

    def _send(self) -> None:
        transmit(self._core, send(self._handle), time.monotonic())

    def _result(self, call: Call) -> Any:
        self._run_until(lambda: call.done, None, call.name)
        return call.value()

    def _run_until(self, done: Callable[[], bool], timeout: float | None, what: str) -> None:
        """Handles events until done() holds; TimeoutError after timeout seconds."""
        deadline = None if timeout is None else time.monotonic() + timeout
        with _driver.INTERRUPTS, self._cond:
            if not self._closed() and not self._pumping:     # what has arrived counts, even without a wait
                self._drain()
            while True:
                now = time.monotonic()
                self._core.advance(now)
                if not self._closed():
                    self._send()
                if done():
                    return
                if self._core.overflow is not None:
                    raise self._core.overflow
                if self._closed():
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
                            _ctpmd.wait(self._handle, wait)
                    finally:
                        self._cond.acquire()
                    if not self._closed():
                        self._drain()
                finally:
                    self._pumping = False
                    self._cond.notify_all()

    def _closed(self) -> bool:
        return self._core.phase is Phase.CLOSED

    def _drain(self) -> None:
        """Feeds the core what has arrived; after an overflow, opens a fresh session in its place."""
        drain(self._handle, self._core, self.log)
        if self._core.overflow is not None and not self._closed():
            _ctpmd.close(self._handle)          # wakes a thread waiting on it, which then reads the new one
            self._handle = _ctpmd.create(self.front, self._flow.encoded)
            self._core.reopened()


class Ticks:
    """An iterator over a session's ticks or events from its creation on."""

    def __init__(self, session: MarketData, timeout: float | None, ticks_only: bool) -> None:
        self._session, self._timeout, self._ticks_only = session, timeout, ticks_only
        self._queue: collections.deque[Event] = collections.deque()
        if ticks_only:      # what is known first: the latest tick of each instrument subscribed
            self._queue.extend(tick for i in session._core.subscribed if (tick := session._core.latest(i)))
        session._core.subscribe_events(self._put)

    def _put(self, event: Event) -> None:
        if not self._ticks_only:
            self._queue.append(event)
        elif event["name"] == TICK and event.get("data") is not None:
            self._queue.append(event["data"])

    def __iter__(self) -> Iterator[Event]:
        return self

    def __next__(self) -> Event:
        if not self._queue:
            try:
                self._session._run_until(lambda: bool(self._queue), self._timeout, "ticks")
            except TimeoutError:
                raise StopIteration from None
            except (Disconnected, Overflowed):     # no more is coming: the end
                if not self._queue:
                    raise StopIteration from None
        return self._queue.popleft()

    def close(self) -> None:
        """Stops collecting."""
        try:
            self._session._core.unsubscribe_events(self._put)
        except ValueError:
            pass


class AsyncMarketData:
    """A market-data session for asyncio: ``await md.connect()`` (or ``async with``)
    connects and logs in; after a drop it logs in again and subscribes again by itself."""

    def __init__(self, front: str, broker: str = "", user: str = "", password: str = "", *,
                 flow: str | os.PathLike[str] | None = None, timeout: float | None = 10.0,
                 logger: logging.Logger | None = None) -> None:
        _driver.check_arguments(front, dict(broker=broker, user=user, password=password), flow, logger)
        timeout = check_timeout(timeout)
        self.front = front
        self.log = logger or md_logger(front, user)
        self._flow, self._broker, self._user = flow, broker, user
        self._held: _driver.Flow | None = None
        self.flow: Path | None = None
        """The flow directory the session holds, once connected."""
        self._core = MdCore(broker=broker, user=user, password=password, timeout=timeout, logger=self.log,
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
        self._handle, self._held = _open(self.front, self._flow, self._broker, self._user)
        self.flow = self._held.path
        self.log.info("market-data session opened on %s for %s/%s", self.front, self._broker, self._user)
        self._fd = _ctpmd.fileno(self._handle)
        self._loop.add_reader(self._fd, self._readable)
        call = self._core.connect(self._loop.time())
        try:
            self._readable()
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

    @property
    def login(self) -> Record:
        return dict(self._core.login)

    @property
    def ready(self) -> bool:
        return self._core.phase is Phase.READY

    @property
    def subscribed(self) -> list[str]:
        return list(self._core.subscribed)

    def close(self) -> None:
        """Closes the session; calls still waiting fail with ``Disconnected``. A second call does nothing."""
        if self._core.phase is Phase.CLOSED:
            return
        self._stop_reading()
        self._core.close()
        if self._handle is not None:
            _ctpmd.close(self._handle)
        if self._held is not None:
            self._held.release()
        self._fail_waiting(Disconnected("the session was closed"))
        self.log.info("session closed")

    async def subscribe(self, *instrument_ids: str | Iterable[str], timeout: float | None = None) -> None:
        """As ``MarketData.subscribe``."""
        await self._request(self._core.subscribe, instrument_ids, timeout)

    async def unsubscribe(self, *instrument_ids: str | Iterable[str], timeout: float | None = None) -> None:
        """As ``MarketData.unsubscribe``."""
        await self._request(self._core.unsubscribe, instrument_ids, timeout)

    def latest(self, instrument_id: str) -> Record | None:
        """The latest tick seen (RtnDepthMarketData's "data"), or None."""
        self._readable()
        return self._core.latest(instrument_id)

    def ticks(self, timeout: float | None = None) -> AsyncTicks:
        """As ``MarketData.ticks``: the latest tick of each instrument subscribed, then every tick from now on;
        ``async for`` ends after ``timeout`` seconds without one (None: never)."""
        self._check_streamable()
        return AsyncTicks(self, check_timeout(timeout), ticks_only=True)

    def events(self, timeout: float | None = None) -> AsyncTicks:
        """Every event from now on, plus ``Reconnected``, ``ReconnectFailed`` and ``Overflowed``."""
        self._check_streamable()
        return AsyncTicks(self, check_timeout(timeout), ticks_only=False)

    def _check_streamable(self) -> None:
        """A new stream, as any other call, fails on a session that can deliver nothing more."""
        if self._core.overflow is not None:
            raise self._core.overflow
        if self._core.phase is Phase.CLOSED:
            raise Disconnected("the session was closed")

    async def _request(self, ask: Callable[[tuple[str, ...], float, float | None], MdCall],
                       ids: tuple[str | Iterable[str], ...], timeout: float | None) -> None:
        timeout = check_timeout(timeout)
        flat = instrument_ids(ids)
        self._readable()
        call = ask(flat, self._now(), timeout)
        self._update()
        await self._result(call)

    def _now(self) -> float:
        if self._loop is None:
            raise Disconnected("not connected yet: await connect() first")
        return self._loop.time()

    def _future(self) -> asyncio.Future[Any]:
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
        drain(self._handle, self._core, self.log)
        if self._core.overflow is not None and self._held is not None and self._loop is not None:
            # A fresh session in place of the one that overflowed.
            self._stop_reading()
            _ctpmd.close(self._handle)
            self._handle = _ctpmd.create(self.front, self._held.encoded)
            self._fd = _ctpmd.fileno(self._handle)
            self._loop.add_reader(self._fd, self._readable)
            self._core.reopened()
        self._update()

    def _update(self) -> None:
        if self._loop is None or self._handle is None or self._core.phase is Phase.CLOSED:
            return
        now = self._loop.time()
        self._core.advance(now)
        transmit(self._core, send(self._handle), now)
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


class AsyncTicks:
    """An async iterator over a session's ticks or events from its creation on."""

    def __init__(self, session: AsyncMarketData, timeout: float | None, ticks_only: bool) -> None:
        self._session, self._timeout, self._ticks_only = session, timeout, ticks_only
        self._queue: collections.deque[Event] = collections.deque()
        self._wakeup: asyncio.Future[Any] | None = None
        if ticks_only:      # what is known first: the latest tick of each instrument subscribed
            self._queue.extend(tick for i in session._core.subscribed if (tick := session._core.latest(i)))
        session._core.subscribe_events(self._put)

    def _put(self, event: Event) -> None:
        if not self._ticks_only:
            self._queue.append(event)
        elif event["name"] == TICK and event.get("data") is not None:
            self._queue.append(event["data"])
        else:
            return
        if self._wakeup is not None and not self._wakeup.done():
            self._wakeup.set_result(None)

    def __aiter__(self) -> AsyncIterator[Event]:
        return self

    async def __anext__(self) -> Event:
        if not self._queue:
            self._session._readable()      # what has arrived counts, even when it does not wait
        if not self._queue:
            try:
                self._wakeup = self._session._future()
                async with asyncio.timeout(self._timeout):
                    await self._wakeup
            except (TimeoutError, Disconnected, Overflowed):     # no more is coming: the end
                if not self._queue:
                    raise StopAsyncIteration from None
            finally:
                self._wakeup = None
        return self._queue.popleft()

    def close(self) -> None:
        """Stops collecting."""
        try:
            self._session._core.unsubscribe_events(self._put)
        except ValueError:
            pass
