"""What every face of a session has, written once for both clients (trading, market data) and
both flavours (blocking, asyncio): its driver, its session, closing, the login, the events.

A face's methods that wait are written once as bodies (``Steps``: generators that yield what
they wait for) and derived for each flavour by its driver module: ``blocking.call(body)``
runs the body in the caller's thread, ``asynchronous.call(body)`` makes a coroutine of it;
``stream`` makes an iterator of a stream's body. So a method has one signature, one
docstring and one body, and each flavour's face names it in one line."""

from __future__ import annotations

import os
from collections.abc import Callable, Hashable, Sequence
from pathlib import Path
from types import TracebackType
from typing import ClassVar, Self

from . import _asyncio as asynchronous, _blocking as blocking
from ._args import check_session, check_timeout
from ._asyncio import AsyncDriver
from ._blocking import Driver
from ._core import Disconnected, Event, Record, Session
from ._driver import BACKLOG, Attached, BaseDriver, Link, Source, Steps, Wait, check_backlog, dropped_event, tick_key


class Face[D: BaseDriver]:
    """A session as its caller holds it."""

    _driver_type: ClassVar[type[BaseDriver]]
    _doc_derived: ClassVar[bool] = False
    _driver: D
    _attached: Attached
    _session: Session

    def __init_subclass__(cls, **options: object) -> None:
        super().__init_subclass__(**options)
        if cls.__doc__ is None:         # a flavour's face reads as what it is a face of
            cls.__doc__ = next(base.__doc__ for base in cls.__mro__[1:]
                               if base.__doc__ and not base.__dict__.get("_doc_derived"))
            cls._doc_derived = True

    def _begin(self, session: Session, link: Link, fronts: tuple[str, ...], flow: str | os.PathLike[str] | None,
               flow_user: str, driver: D | None, **options: object) -> None:
        if driver is not None and not isinstance(driver, self._driver_type):
            raise TypeError(f"driver must be a ctp.{self._driver_type.__name__} or None, not "
                            f"{type(driver).__name__}")
        self._owns_driver = driver is None
        self._driver = driver if driver is not None else self._driver_type()   # type: ignore[assignment]
        self._session = session
        self._attached = self._driver.attach(self, session, link, fronts, flow, flow_user, **options)
        self.fronts = fronts
        """The front addresses, in the order the vendor's library tries them."""
        self.front = fronts[0]
        self.log = session.log
        self._started()

    def _started(self) -> None:
        """What the flavour does once made (the blocking one connects)."""

    @staticmethod
    def _check(front: object, credentials: dict[str, object], flow: object, logger: object,
               timeout: object) -> tuple[tuple[str, ...], float | None]:
        """The front addresses and the timeout, checked with the rest of a session's arguments."""
        return check_session(front, credentials, flow, logger), check_timeout(timeout)

    # ---- the session -------------------------------------------------------------------------------

    @property
    def login(self) -> Record:
        """The latest login's record (TradingDay, FrontID, SessionID, MaxOrderRef, ...)."""
        return self._read(lambda: dict(self._session.login))

    @property
    def ready(self) -> bool:
        """Logged in and able to send."""
        return self._read(lambda: self._session.ready)

    @property
    def driver(self) -> D:
        """The driver that runs the session."""
        return self._driver

    @property
    def flow(self) -> Path | None:
        """The flow directory the session holds (once it is open)."""
        held = self._attached.flow
        return None if held is None else held.path

    def close(self) -> None:
        """Closes the session; calls still waiting fail with ``Disconnected``. A second call does nothing."""
        with self._driver.guard():
            self._driver.close_session(self._attached)
        if self._owns_driver:
            self._driver.close()

    def _connect(self) -> Steps[Self]:
        """Opens the session and returns once logged in."""
        self._driver.open(self._attached)
        try:
            yield Wait(self._session.connect(self._driver.now()))
        except BaseException:
            self.close()
            raise
        return self

    def _events(self, timeout: float | None = None, *, conflate: bool = False,
                backlog: int | None = BACKLOG) -> Source[Event]:
        """Every event from now on, as the module delivered it, plus the client's own (``Reconnected``,
        ``ReconnectFailed``, ``Overflowed``, ``Dropped``). Iterating waits for the next one; iteration
        ends after ``timeout`` seconds without one (0: once none is waiting; None: never), or once no
        more can come (closed, or overflowed for good) after what was left. With ``conflate``, a tick
        not yet taken gives way to a newer one of the same instrument. It keeps at most ``backlog``
        events not yet taken (None: no limit): older ones give way to newer ones, and the reader gets
        ``{"name": "Dropped", "count": n}`` in their place."""
        return self._stream("events", None, timeout, tick_key if conflate else None, backlog=backlog,
                            dropped=dropped_event)

    def _stream[T](self, what: str, select: Callable[[object, Event], T | None] | None, timeout: object,
                   conflate: Callable[[T], Hashable | None] | None,
                   first: Callable[[], Sequence[T]] = lambda: (), *, backlog: object = None,
                   dropped: Callable[[int], T] | None = None) -> Source[T]:
        """A stream of what ``select`` takes of the session's events, beginning with ``first()``."""
        timeout = check_timeout(timeout)
        kept = check_backlog(backlog)
        self._check_open()
        with self._driver.guard():
            return self._source(select=select, timeout=timeout, what=what, conflate=conflate, first=first(),
                                backlog=kept, dropped=dropped)

    def _source[T](self, *, select: Callable[[object, Event], T | None] | None, timeout: float | None, what: str,
                   conflate: Callable[[T], Hashable | None] | None, first: Sequence[T], backlog: int | None,
                   dropped: Callable[[int], T] | None) -> Source[T]:
        """The queue behind a stream of the session's (a face may keep its own kind)."""
        return Source(self._driver, select=select, attached=self._attached, timeout=timeout, what=what,
                      conflate=conflate, first=first, backlog=backlog, dropped=dropped)

    def _read[T](self, read: Callable[[], T]) -> T:
        """What a read of the session's state answers, once what has arrived is taken in (as every
        call does): a program that only reads sees it up to date."""
        with self._driver.entered():
            return read()

    def _check_open(self) -> None:
        """What a call on a session that can give nothing more raises."""
        if self._attached.failure is not None:
            raise self._attached.failure
        if self._driver.closed:
            raise Disconnected("the driver was closed")


# The blocking flavour: made connected, usable from any thread.
class BlockingFace(Face[Driver]):

    _driver_type = Driver

    def _started(self) -> None:
        self._driver.run(self._connect())

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    events = blocking.stream(Face._events)

    def process(self, seconds: float | None) -> None:
        """Handles the events of the driver's sessions for a while, as any waiting call does: for a
        program that waits elsewhere and wants the order book kept up (None: until closed)."""
        self._driver.process(seconds)


# The asyncio flavour: ``await connect()`` (or ``async with``) opens it.
class AsyncFace(Face[AsyncDriver]):

    _driver_type = AsyncDriver

    connect = asynchronous.call(Face._connect)

    async def __aenter__(self) -> Self:
        return await self.connect()

    async def __aexit__(self, kind: type[BaseException] | None, value: BaseException | None,
                        traceback: TracebackType | None) -> None:
        self.close()

    events = asynchronous.stream(Face._events)
