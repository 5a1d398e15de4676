"""The asyncio driver: ``ctp.AsyncDriver`` runs any number of sessions (trading, market data,
several accounts) on an asyncio event loop.

The loop watches each session's descriptor (the module's ``fileno``) with ``add_reader``;
when one is readable the driver takes in its events, and one timer (``call_at``) stands for
the sessions' next deadline. No task, no thread, no sleep of its own.

``call`` and ``stream`` make the asyncio face of a body written once (see ``_face``)."""

from __future__ import annotations

import asyncio
import contextlib
import inspect
from collections.abc import AsyncIterator, Callable, Coroutine, Iterator
from typing import TYPE_CHECKING, Any, Concatenate, Self, cast

from ._args import check_timeout
from ._core import Disconnected, Event
from ._driver import BACKLOG, Attached, BaseDriver, Done, End, Source, Steps, StreamBase, Wait, face_of

if TYPE_CHECKING:
    from types import TracebackType

    from ._client import AsyncClient as AsyncClient, AsyncOrder as AsyncOrder


class AsyncDriver(BaseDriver):
    """Runs sessions on the running asyncio loop: every ``ctp.AsyncClient`` and
    ``ctp.AsyncMarketData`` made with ``driver=`` this one is read and written by it, and
    ``events()`` gives the events of all of them in one stream, in the order they arrived. A
    client made without one has one of its own."""

    def __init__(self) -> None:
        super().__init__()
        self._loop: asyncio.AbstractEventLoop | None = None
        self._timer: asyncio.TimerHandle | None = None
        self._waiting: set[tuple[asyncio.Future[Any], Attached | None]] = set()

    def now(self) -> float:
        return self._bound().time()

    @contextlib.contextmanager
    def guard(self) -> Iterator[None]:
        yield           # everything happens on the loop's thread

    @contextlib.contextmanager
    def entered(self) -> Iterator[None]:
        on_loop = self._on_loop()
        if on_loop:
            self._catch_up()
        yield
        if on_loop:
            self.flush()

    async def run[R](self, steps: Steps[R]) -> R:
        """Runs a call's body to its end: awaits where it waits, and returns what it returns."""
        self._bound()
        self._catch_up()
        value: Any = None
        error: BaseException | None = None
        while not isinstance(step := self._step(steps, value, error), Done):
            try:
                value, error = await self._until(step), None
            except BaseException as caught:      # into the body, which may clean up (a failed connect)
                value, error = None, caught
        return cast(R, step.value)

    def events(self, timeout: float | None = None, *, conflate: bool = False,
               backlog: int | None = BACKLOG) -> AsyncStream[tuple[Any, Event]]:
        """As ``Driver.events``: ``async for source, event in driver.events():``."""
        return AsyncStream(self, self._events_source(check_timeout(timeout), conflate, backlog))

    def close(self) -> None:
        """Closes every session it runs; its streams end. A second call does nothing."""
        if not self.closed:
            super().close()
            if self._timer is not None:
                self._timer.cancel()
                self._timer = None

    async def __aenter__(self) -> Self:
        self._bound()
        return self

    async def __aexit__(self, kind: type[BaseException] | None, value: BaseException | None,
                        traceback: TracebackType | None) -> None:
        self.close()

    def flush(self) -> None:
        """Sends what is due, and sets the timer for what comes next."""
        if self._loop is None:
            return
        super().flush()
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None
        wake = self._next_wakeup()
        if wake is not None:
            self._timer = self._loop.call_at(wake, self._tick)

    # ---- the driving -----------------------------------------------------------------------------

    async def _until(self, wait: Wait) -> Any:
        if wait.call.done:
            return wait.call.value()
        self._check(wait)
        future = self._bound().create_future()

        def settle(call: Any) -> None:
            if not future.done():
                if call.error is not None:
                    future.set_exception(call.error)
                else:
                    future.set_result(call.result)
        wait.call.add_done_callback(settle)
        entry = (future, wait.attached)
        self._waiting.add(entry)
        try:
            async with asyncio.timeout(wait.timeout) as scope:
                return await future
        except TimeoutError:
            if scope.expired():
                raise TimeoutError(f"{wait.what}: not finished within {wait.timeout:g} s") from None
            raise
        finally:
            self._waiting.discard(entry)

    def _bound(self) -> asyncio.AbstractEventLoop:
        if self._loop is None:
            self._loop = asyncio.get_running_loop()
        return self._loop

    def _on_loop(self) -> bool:
        try:
            return self._loop is not None and asyncio.get_running_loop() is self._loop
        except RuntimeError:
            return False

    def _tick(self) -> None:
        self._timer = None
        self.flush()

    def _readable(self, attached: Attached) -> None:
        self._drain(attached)
        self.flush()

    def _watch(self, attached: Attached) -> None:
        self._bound().add_reader(attached.fd, self._readable, attached)

    def _unwatch(self, attached: Attached) -> None:
        if self._loop is not None and attached.fd >= 0:
            self._loop.remove_reader(attached.fd)

    def _ended(self, attached: Attached | None) -> None:
        """Fails the waits on what can give nothing more."""
        for future, on in list(self._waiting):
            error = on.failure if on is not None else Disconnected("the driver was closed") if self.closed else None
            if error is not None and not future.done():
                future.set_exception(error)


class AsyncStream[T](StreamBase[T]):
    """An async iterator over a stream of events or ticks (``events()``, ``ticks()``): ``async
    for`` waits for the next one; it ends after its timeout without one, or once nothing more
    can come (after what was left). Each keeps what it has not yet taken; ``close()`` it when done."""

    _driver: AsyncDriver

    def __aiter__(self) -> AsyncIterator[T]:
        return self

    async def __anext__(self) -> T:
        item = self._source.take()
        if item is not None:
            return item
        try:
            return await self._driver.run(self._next())
        except End:
            raise StopAsyncIteration from None


def stream[S, **P, T](body: Callable[Concatenate[S, P], Source[T]]) -> Callable[Concatenate[S, P], AsyncStream[T]]:
    """The asyncio face of a stream's body: an async iterator."""
    return cast(Callable[Concatenate[S, P], AsyncStream[T]], face_of(body, AsyncStream, "AsyncStream"))


def call[S, **P, R](body: Callable[Concatenate[S, P], Steps[R]]) -> Callable[Concatenate[S, P], Coroutine[Any, Any, R]]:
    """The asyncio face of a call's body: a coroutine that runs it on the loop."""
    return cast(Callable[Concatenate[S, P], Coroutine[Any, Any, R]],
                inspect.markcoroutinefunction(face_of(body, AsyncDriver.run)))


def __getattr__(name: str) -> object:
    # The asyncio trading client lived here once.
    if name in ("AsyncClient", "AsyncOrder"):
        from . import _client
        return getattr(_client, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
