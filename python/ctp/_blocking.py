"""The blocking driver: ``ctp.Driver`` runs any number of sessions (trading, market data,
several accounts) in the threads that call them, and may be shared between threads.

Whichever thread waits for something reads every session's events for all: it sleeps in
epoll on the sessions' descriptors (without the interpreter lock) and feeds what arrives to
their cores; the others sleep on a condition until it has. A call's body runs with the
driver's lock held, which is released only around that sleep; Ctrl-C comes through there
(or when the call ends), never while a batch of events is being handled or the lock is
changing hands.

``call`` and ``stream`` make the blocking face of a body written once (see ``_face``)."""

from __future__ import annotations

import contextlib
import select
import threading
import time
from collections.abc import Callable, Iterator
from types import TracebackType
from typing import TYPE_CHECKING, Any, Concatenate, Self, cast

from ._args import check_timeout
from ._core import Call, Event
from ._driver import BACKLOG, INTERRUPTS, BaseDriver, Done, End, Source, Steps, StreamBase, Wait, face_of

if TYPE_CHECKING:
    from ._client import Client as Client, Order as Order

# The longest sleep in one go: a deadline further away (1e300 s) is reached by sleeping again.
LONGEST_SLEEP = 3600.0


class Driver(BaseDriver):
    """Runs sessions in the threads that call them: every ``ctp.Client`` and ``ctp.MarketData``
    made with ``driver=`` this one is read and written by it, and ``events()`` gives the events
    of all of them in one stream, in the order they arrived. Safe to share between threads. A
    client made without one has one of its own."""

    def __init__(self) -> None:
        super().__init__()
        self._lock = threading.Lock()
        self._cond = threading.Condition(self._lock)
        self._owner: int | None = None         # the thread holding the lock,
        self._depth = 0                         # and how many of its calls are inside (a callback's call)
        self._pumper: int | None = None         # the thread sleeping on the descriptors
        self._sleepers = 0                      # threads waiting for it
        self._epoll = select.epoll()

    def now(self) -> float:
        return time.monotonic()

    @contextlib.contextmanager
    def guard(self) -> Iterator[None]:
        """Holds the driver: no thread reads or writes a session meanwhile."""
        with INTERRUPTS:
            self._enter()
            try:
                yield
            finally:
                self._leave()

    @contextlib.contextmanager
    def entered(self) -> Iterator[None]:
        with self.guard():
            self._catch_up()
            yield
            self.flush()

    def run[R](self, steps: Steps[R]) -> R:
        """Runs a call's body to its end: waits where it waits, and returns what it returns."""
        with INTERRUPTS:
            self._enter()
            try:
                self._catch_up()
                value: Any = None
                error: BaseException | None = None
                while not isinstance(step := self._step(steps, value, error), Done):
                    try:
                        value, error = self._until(step), None
                    except BaseException as caught:      # into the body, which may clean up (a failed connect)
                        value, error = None, caught
                return cast(R, step.value)
            finally:
                self._leave()

    def events(self, timeout: float | None = None, *, conflate: bool = False,
               backlog: int | None = BACKLOG) -> Stream[tuple[Any, Event]]:
        """Every event of every session from now on, with its session's face (the ``Client`` or
        ``MarketData`` it came to), in the order they arrived: ``for source, event in
        driver.events():``. With ``conflate`` a tick not yet taken gives way to a newer one of
        the same instrument. Iteration ends after ``timeout`` seconds without an event (0: once
        none is waiting; None: never), or once the driver is closed. It keeps at most ``backlog``
        events not yet taken (None: no limit); older ones give way, and the reader gets
        ``(None, {"name": "Dropped", "count": n})`` in their place."""
        timeout = check_timeout(timeout)
        with self.guard():
            return Stream(self, self._events_source(timeout, conflate, backlog))

    def process(self, seconds: float | None) -> None:
        """Handles the sessions' events for a while (as any waiting call does); None: until closed."""
        self.run(_idle(check_timeout(seconds, "seconds")))

    def close(self) -> None:
        """Closes every session it runs; its streams end. A second call does nothing."""
        with self.guard():
            if not self.closed:
                super().close()
                self._epoll.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    # ---- the driving -----------------------------------------------------------------------------

    def _until(self, wait: Wait) -> Any:
        """Waits for what a body waits for (what is due was sent just before)."""
        deadline = None if wait.timeout is None else self.now() + wait.timeout
        while not wait.call.done:
            self._check(wait)
            now = self.now()
            if deadline is not None and now >= deadline:
                raise TimeoutError(f"{wait.what}: not finished within {wait.timeout:g} s")
            wake = self._next_wakeup()
            limit = deadline if wake is None else wake if deadline is None else min(wake, deadline)
            self._pump(None if limit is None else max(limit - now, 0.0))
            self.flush()
        return wait.call.value()

    def _pump(self, timeout: float | None) -> None:
        """Sleeps until a session has something or timeout seconds pass, and takes it in; or, while
        another thread does that, until it has."""
        me = threading.get_ident()
        if self._pumper is not None and self._pumper != me:
            if me == threading.main_thread().ident:       # wakes now and then for a Ctrl-C held back
                timeout = 0.05 if timeout is None else min(timeout, 0.05)
            depth, self._owner, self._depth = self._depth, None, 0
            self._sleepers += 1
            try:
                self._cond.wait(timeout)
            finally:
                self._sleepers -= 1
                self._owner, self._depth = me, depth
            INTERRUPTS.check()
            return
        # A call made inside another (from a callback) keeps the lock: the outer one is mid-event.
        nested = self._depth > 1
        self._pumper = me
        if not nested:
            self._owner, self._depth = None, 0
            self._lock.release()
        try:
            with INTERRUPTS.window():          # the only place Ctrl-C comes through at once
                self._epoll.poll(-1 if timeout is None else min(timeout, LONGEST_SLEEP))
        finally:
            if not nested:
                self._lock.acquire()
                self._owner, self._depth = me, 1
            self._pumper = None
            if self._sleepers:
                self._cond.notify_all()
        for attached in self._attached:
            self._drain(attached)

    def _enter(self) -> None:
        me = threading.get_ident()
        if self._owner == me:
            self._depth += 1
            return
        self._lock.acquire()
        self._owner, self._depth = me, 1

    def _leave(self) -> None:
        self._depth -= 1
        if self._depth == 0:
            self._owner = None
            self._lock.release()

    def _watch(self, attached: Any) -> None:
        self._epoll.register(attached.fd, select.EPOLLIN)

    def _unwatch(self, attached: Any) -> None:
        with contextlib.suppress(OSError, ValueError):
            self._epoll.unregister(attached.fd)

    def _ended(self, attached: Any) -> None:
        if self._sleepers:
            self._cond.notify_all()     # the others check whether what they wait for can still come


def _idle(seconds: float | None) -> Steps[None]:
    try:
        yield Wait(Call("process"), seconds, "process")
    except TimeoutError:
        pass


class Stream[T](StreamBase[T]):
    """An iterator over a stream of events or ticks (``events()``, ``ticks()``): it waits for the
    next one; it ends after its timeout without one, or once nothing more can come (after what
    was left). Each keeps what it has not yet taken; ``close()`` it when done."""

    _driver: Driver

    def __iter__(self) -> Iterator[T]:
        return self

    def __next__(self) -> T:
        item = self._source.take()         # one that is there needs no driver
        if item is not None:
            return item
        try:
            return self._driver.run(self._next())
        except End:
            raise StopIteration from None


def call[S, **P, R](body: Callable[Concatenate[S, P], Steps[R]]) -> Callable[Concatenate[S, P], R]:
    """The blocking face of a call's body: runs it to its end in the caller's thread."""
    return cast(Callable[Concatenate[S, P], R], face_of(body, Driver.run))


def stream[S, **P, T](body: Callable[Concatenate[S, P], Source[T]]) -> Callable[Concatenate[S, P], Stream[T]]:
    """The blocking face of a stream's body: an iterator."""
    return cast(Callable[Concatenate[S, P], Stream[T]], face_of(body, Stream, "Stream"))


def __getattr__(name: str) -> object:
    # The trading client lived here once; python -m ctp still imports it from here.
    if name in ("Client", "Order"):
        from . import _client
        return getattr(_client, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
