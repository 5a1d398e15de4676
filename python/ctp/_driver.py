"""What both drivers do the same way: run sessions through their module (a ``Link``), read
their events into their cores, send what the cores have due, open a fresh session in place
of one that overflowed when its protocol says so, keep the streams callers read events
from, hold Ctrl-C back while the state is changing, and keep each session's flow directory.

A call's body, written once for both faces of a client, is a generator (``Steps``): it asks
the session core for what it wants, and yields a ``Wait`` for each thing it must wait for;
the blocking driver runs it to its end in the calling thread, the asyncio driver in a
coroutine."""

from __future__ import annotations

import annotationlib
import fcntl
import functools
import importlib
import inspect
import itertools
import logging
import os
import re
import signal
import threading
import weakref
from collections import deque
from collections.abc import Callable, Generator, Hashable, Sequence
from contextlib import AbstractContextManager
from pathlib import Path
from types import CapsuleType, FrameType, TracebackType
from typing import Any, Protocol as TypingProtocol, cast

from ._args import check_count
from ._core import Call, Disconnected, Event, Overflowed, Phase, Session, transmit

# Polls that raise for one event before the rest comes through; more in a row means something else is wrong.
MAX_BAD_POLLS = 64

type Steps[R] = Generator[Wait, Any, R]
"""A call's body: yields what it waits for, gets back what that gave (or has its exception
thrown in), returns the call's result."""


class Wait:
    """What a call's body waits for: ``call`` to finish (its result comes back), within ``timeout``
    seconds (None: no limit) or TimeoutError naming ``what``; failing as ``attached`` does (the
    session closed, or overflowed for good) or, without one, as the driver does (closed)."""

    def __init__(self, call: Call, timeout: float | None = None, what: str = "",
                 attached: Attached | None = None) -> None:
        self.call, self.timeout, self.what, self.attached = call, timeout, what or call.name, attached


class End(Exception):
    """A stream has nothing more to give."""


class Done[R]:
    """A body's end, with what it returned."""

    def __init__(self, value: R) -> None:
        self.value = value


def face_of(body: Callable[..., Any], make: Callable[[Any, Any], Any], wrapper: str = "") -> Any:
    """One flavour's face of a body: a method that hands what the body makes (its steps, or a
    stream's source) to ``make`` with the face's driver. Its name, documentation and signature
    are the body's, with what it gives (``Steps[R]`` gives R, a ``Source[T]`` ``wrapper[T]``)."""
    def face(self: Any, /, *args: Any, **kwargs: Any) -> Any:
        return make(self._driver, body(self, *args, **kwargs))
    face.__name__ = face.__qualname__ = body.__name__.lstrip("_")
    face.__doc__, face.__module__ = body.__doc__, body.__module__
    signature = inspect.signature(body, annotation_format=annotationlib.Format.STRING)
    gives = str(signature.return_annotation)
    if "[" in gives:
        inner = gives[gives.index("[") + 1:-1]
        gives = f"{wrapper}[{inner}]" if wrapper else inner
    setattr(face, "__signature__", signature.replace(return_annotation=gives))
    return face


BACKLOG = 10_000
"""Events an iterator keeps that its reader has not taken, by default: a reader that far behind
has stopped reading, and what it would keep is memory that grows all day."""


def dropped_event(count: int) -> Event:
    """What a reader gets where its stream let go of events it did not take in time."""
    return {"name": "Dropped", "count": count}


def check_backlog(backlog: object) -> int | None:
    return check_count(backlog, "backlog", 1)


def tick_key(event: Event) -> Hashable | None:
    """What a tick conflates by: its instrument (None for any other event)."""
    data = event.get("data")
    return data["InstrumentID"] if event["name"] == "RtnDepthMarketData" and data is not None else None


def pair_key(pair: tuple[Any, Event]) -> Hashable | None:
    """A tick's instrument and the session it came to (None for any other event)."""
    face, event = pair
    key = tick_key(event)
    return None if key is None else (id(face), key)


class Module(TypingProtocol):
    """The functions both native modules have, as a driver uses them."""

    def create(self, front: str | Sequence[str], flow: bytes, /) -> CapsuleType: ...
    def poll(self, handle: CapsuleType, /) -> Sequence[Any]: ...
    def close(self, handle: CapsuleType, /) -> None: ...
    def fileno(self, handle: CapsuleType, /) -> int: ...


class Link:
    """A native module as a driver uses it: how a session opens, reads, sends and closes. The
    module's stubs type each request by name; the core sends names and fields it checked, as
    plain dicts."""

    def __init__(self, module: Module, logger: str, flow_suffix: str = "", **options: Any) -> None:
        self.module = module
        self.logger = logger
        self.flow_suffix = flow_suffix          # apart from another kind of session's flow files by default
        self.options = options                  # what the module's create takes besides front and flow
        self._request = cast(Callable[[CapsuleType, str, dict[str, Any], int], int], getattr(module, "request"))
        self._create = cast(Callable[..., CapsuleType], getattr(module, "create"))

    def create(self, fronts: tuple[str, ...], flow: bytes, **options: object) -> CapsuleType:
        """A handle on the fronts (one address as a str: the library's single front), with the
        link's options and the session's own."""
        return self._create(fronts[0] if len(fronts) == 1 else list(fronts), flow, **self.options, **options)

    def send(self, handle: CapsuleType, call: Call) -> int:
        return self._request(handle, call.name, call.fields, call.request_id)

    def session_logger(self, front: str, user: str) -> logging.Logger:
        """One logger per session, below the link's."""
        return logging.getLogger(self.logger).getChild(re.sub(r"[^\w@:/-]", "_", f"{user}@{front}"))


class Attached:
    """A session as a driver runs it: its face (what the caller holds), its core, its module, its
    handle and its flow directory."""

    def __init__(self, face: object, session: Session, link: Link, fronts: tuple[str, ...],
                 flow: str | os.PathLike[str] | None, flow_user: str, options: dict[str, object] | None = None) -> None:
        self.face, self.session, self.link, self.fronts = face, session, link, fronts
        self.front = fronts[0]          # names the flow directory by default
        self.options = options or {}    # what the module's create takes for this session
        self.flow_given, self.flow_user = flow, flow_user
        self.flow: Flow | None = None
        self.handle: CapsuleType | None = None
        self.fd = -1
        self.failure: BaseException | None = None
        """Why nothing more can come of it: closed, or overflowed for good."""

    @property
    def running(self) -> bool:
        return self.handle is not None and self.failure is None


class Source[T]:
    """The queue behind one stream: what it takes of the events of a session (``attached``), or of
    every session its driver runs (``attached`` None), in arrival order, until taken; each event
    as ``select`` makes an item of it with its session's face (or None: not one of its own), the
    event itself without one.
    With ``conflate`` (a key per item, or None) an item replaces the one of its key not yet
    taken, at the end: a reader that fell behind gets the newest tick of each instrument, not a
    backlog of stale ones. It keeps at most ``backlog`` items not yet taken (None: no limit): the
    oldest give way to newer ones, and the reader is told how many with the item ``dropped(n)``
    makes, before the first it still has (without ``dropped``, silently). Safe to take from while
    a driver puts into it from another thread."""

    def __init__(self, driver: BaseDriver, *, select: Callable[[object, Event], T | None] | None = None,
                 attached: Attached | None, timeout: float | None, what: str,
                 conflate: Callable[[T], Hashable | None] | None = None, first: Sequence[T] = (),
                 backlog: int | None = None, dropped: Callable[[int], T] | None = None) -> None:
        self.driver, self.attached = driver, attached
        self.timeout, self.what = timeout, what
        self._select, self._conflate = select, conflate
        self._backlog, self._dropped_item = backlog, dropped
        # Items as they are; conflated ones in boxes (a box emptied: its item gave way to a newer one).
        self._queue: deque[Any] = deque()
        self._lock = threading.Lock()       # for the boxes, and for what the backlog let go
        self._pending: dict[Hashable, list[T]] = {}
        self._replaced = 0
        self._dropped = 0                   # items let go since the reader last took one
        self._arrival: Call | None = None
        self._listening: dict[Attached, Callable[[Event], None]] = {}
        for item in first:
            self._add(item)
        if attached is not None:
            self.listen(attached)
        else:
            driver.listen(self)

    def listen(self, attached: Attached) -> None:
        """Takes the session's events from now on."""
        self._listening[attached] = listener = functools.partial(self.put, attached.face)
        attached.session.listen(listener)

    def put(self, face: object, event: Event) -> None:
        item = event if self._select is None else self._select(face, event)
        if item is None:
            return
        if self._conflate is None:
            self._queue.append(item)
            if self._backlog is not None and len(self._queue) > self._backlog:
                self._let_go()
        else:
            self._add(cast(T, item))
        arrival = self._arrival
        if arrival is not None:
            self._arrival = None
            arrival.finish()

    def take(self) -> T | None:
        if self._dropped:
            with self._lock:
                dropped, self._dropped = self._dropped, 0
            if dropped and self._dropped_item is not None:
                return self._dropped_item(dropped)
        if self._conflate is None:
            try:
                return cast(T, self._queue.popleft())
            except IndexError:
                return None
        with self._lock:
            while self._queue:
                box = self._queue.popleft()
                if box:
                    key = self._conflate(box[0])
                    if self._pending.get(key) is box:
                        del self._pending[key]
                    return cast(T, box[0])
                self._replaced -= 1
        return None

    def arrival(self) -> Call:
        """A call that finishes when the next item comes (the driver puts and asks with its lock)."""
        if self._arrival is None:
            self._arrival = Call("arrival")
            if self._waiting():
                self._arrival.finish()
        return self._arrival

    def ended(self) -> bool:
        """Nothing is left and nothing more can come."""
        if self._waiting():
            return False
        return self.driver.closed if self.attached is None else self.attached.failure is not None

    def close(self) -> None:
        """Stops taking events."""
        self.driver.unlisten(self)
        for attached, listener in self._listening.items():
            attached.session.unlisten(listener)
        self._listening.clear()

    def _waiting(self) -> bool:
        if self._dropped and self._dropped_item is not None:
            return True
        if self._conflate is None:
            return bool(self._queue)
        with self._lock:
            return any(self._queue)

    def _let_go(self) -> None:
        """The oldest item gives way: the backlog is full."""
        with self._lock:
            while self._backlog is not None and len(self._queue) > self._backlog:
                try:
                    oldest = self._queue.popleft()
                except IndexError:      # a reader took them meanwhile
                    break
                if self._conflate is None:
                    self._dropped += 1
                elif oldest:
                    key = self._conflate(oldest[0])
                    if self._pending.get(key) is oldest:
                        del self._pending[key]
                    self._dropped += 1
                else:
                    self._replaced -= 1

    def _add(self, item: T) -> None:
        if self._conflate is None:
            self._queue.append(item)
            return
        box = [item]
        key = self._conflate(item)
        with self._lock:
            if key is not None:
                stale = self._pending.get(key)
                if stale:
                    stale.clear()
                    self._replaced += 1
                self._pending[key] = box
            self._queue.append(box)
            if self._replaced > 64 and self._replaced > len(self._queue) // 2:     # what a slow reader costs: bounded
                self._queue = deque(box for box in self._queue if box)
                self._replaced = 0
        if self._backlog is not None and len(self._queue) > self._backlog:
            self._let_go()


class StreamBase[T]:
    """An iterator over a stream's items, written once for both faces (``__next__`` of the
    blocking one, ``__anext__`` of the asyncio one): it takes what is there, and otherwise waits
    for the next item; it ends after its timeout without one, or once nothing more can come
    (the session closed or overflowed for good, after what was left)."""

    def __init__(self, driver: Any, source: Source[T]) -> None:
        self._driver, self._source = driver, source

    def close(self) -> None:
        """Stops collecting."""
        self._source.close()

    def _next(self) -> Steps[T]:
        source = self._source
        while True:
            item = source.take()
            if item is not None:
                return item
            if source.ended():
                raise End
            try:
                yield Wait(source.arrival(), source.timeout, source.what, source.attached)
            except (TimeoutError, Disconnected, Overflowed):
                item = source.take()
                if item is None:
                    raise End from None
                return item


class BaseDriver:
    """Runs any number of sessions: what both drivers do the same way. A driver subclass adds how
    it waits (``_watch``, ``_unwatch``: a session's descriptor; ``_ended``: waits on a session that
    can give nothing more fail) and its clock (``now``)."""

    def __init__(self) -> None:
        self._attached: tuple[Attached, ...] = ()       # the open ones; replaced, not changed
        self._sessions: list[Attached] = []              # every one not closed
        self._sources: list[Source[Any]] = []            # the streams of every session
        self.closed = False

    def now(self) -> float:
        raise NotImplementedError

    def guard(self) -> AbstractContextManager[None]:
        """Holds the driver: no other thread reads or writes a session meanwhile."""
        raise NotImplementedError

    def entered(self) -> AbstractContextManager[None]:
        """Where a call that does not wait reads or changes sessions: what has arrived is taken in
        first, and what is due goes out after."""
        raise NotImplementedError

    # ---- sessions ---------------------------------------------------------------------------------

    def attach(self, face: object, session: Session, link: Link, fronts: tuple[str, ...],
               flow: str | os.PathLike[str] | None, flow_user: str, **options: object) -> Attached:
        """A session to run, not yet open; its events go to the driver's streams as the face's."""
        if self.closed:
            raise Disconnected("the driver was closed")
        attached = Attached(face, session, link, fronts, flow, flow_user, options)
        self._sessions.append(attached)
        for source in self._sources:
            source.listen(attached)
        return attached

    def open(self, attached: Attached) -> None:
        """Opens the session through its module, on its flow directory."""
        if attached.handle is not None or attached.failure is not None:
            raise RuntimeError("already connected")
        if self.closed:
            raise Disconnected("the driver was closed")
        session = attached.session
        attached.flow = Flow.claim(attached.flow_given, attached.front, session.broker, attached.flow_user)
        try:
            attached.handle = attached.link.create(attached.fronts, attached.flow.encoded, **attached.options)
            attached.fd = attached.link.module.fileno(attached.handle)
        except BaseException:
            attached.flow.release()
            attached.handle = None
            raise
        self._attached += (attached,)
        self._watch(attached)
        session.log.info("session opened on %s for %s/%s", ", ".join(attached.fronts), session.broker, session.user)

    def close_session(self, attached: Attached) -> None:
        """Closes a session: calls still waiting fail with ``Disconnected``. A second call does nothing."""
        if isinstance(attached.failure, Disconnected):
            return
        attached.failure = Disconnected("the session was closed")
        attached.session.close()
        if attached in self._attached:
            self._attached = tuple(a for a in self._attached if a is not attached)
            self._unwatch(attached)
        if attached.handle is not None:
            attached.link.module.close(attached.handle)
        if attached.flow is not None:
            attached.flow.release()
        if attached in self._sessions:
            self._sessions.remove(attached)
        self._ended(attached)
        attached.session.log.info("session closed")

    def close(self) -> None:
        """Closes every session it runs; its streams end."""
        for attached in list(self._sessions):
            self.close_session(attached)
        self.closed = True
        self._ended(None)

    def listen(self, source: Source[Any]) -> None:
        """A stream of every session's events."""
        self._sources.append(source)
        for attached in self._sessions:
            source.listen(attached)

    def unlisten(self, source: Source[Any]) -> None:
        if source in self._sources:
            self._sources.remove(source)

    # ---- the work -----------------------------------------------------------------------------------

    def _events_source(self, timeout: float | None, conflate: bool,
                       backlog: int | None) -> Source[tuple[Any, Event]]:
        return Source(self, select=lambda face, event: (face, event), attached=None, timeout=timeout, what="events",
                      conflate=pair_key if conflate else None, backlog=check_backlog(backlog),
                      dropped=lambda count: (None, dropped_event(count)))

    def _step(self, steps: Steps[Any], value: Any, error: BaseException | None) -> Wait | Done[Any]:
        """Runs a body to its next wait, or to its end; sends what it asked for."""
        try:
            wait = steps.send(value) if error is None else steps.throw(error)
        except StopIteration as stop:
            return Done(stop.value)
        finally:
            self.flush()
        return wait

    def flush(self) -> None:
        """Lets every session act on the time and sends what it has due."""
        now = self.now()
        for attached in self._attached:
            session = attached.session
            if attached.failure is None and session.due(now):
                handle, send = attached.handle, attached.link.send
                session.advance(now)
                transmit(session, lambda call: send(handle, call), now)   # type: ignore[arg-type]

    def _catch_up(self) -> None:
        """Takes in what has arrived for every session (so that a lost event is known before
        anything more goes out) and sends what is due."""
        for attached in self._attached:
            self._drain(attached)
        self.flush()

    def _next_wakeup(self) -> float | None:
        times = [attached.session.next_wakeup() for attached in self._attached if attached.running]
        return min((t for t in times if t is not None), default=None)

    def _drain(self, attached: Attached) -> None:
        """Feeds the session every event its handle has now. A poll that raises for one event is
        logged and polled again (the rest follow); after a lost event the session either gets a
        fresh handle (if its protocol recovers) or is read no more."""
        if not attached.running:
            return
        session, module = attached.session, attached.link.module
        with INTERRUPTS:            # what poll took is handled whole
            for _ in range(MAX_BAD_POLLS):
                if session.overflow is not None:
                    break
                try:
                    events = module.poll(attached.handle)     # type: ignore[arg-type]
                except Exception as error:
                    session.poll_failed(error)
                    continue
                for event in events:
                    try:
                        session.receive(event)
                    except Exception:
                        session.log.exception("could not handle the event %r", event)
                break
            if session.phase is Phase.OVERFLOWED:
                self._overflowed(attached)

    def _overflowed(self, attached: Attached) -> None:
        self._unwatch(attached)     # it stays readable: poll raises for good
        session, module = attached.session, attached.link.module
        if session.protocol.recovers and attached.flow is not None and attached.handle is not None:
            module.close(attached.handle)
            try:
                attached.handle = attached.link.create(attached.fronts, attached.flow.encoded, **attached.options)
                attached.fd = module.fileno(attached.handle)
            except Exception as error:
                session.log.error("could not open a fresh session: %s", error)
            else:
                self._watch(attached)
                session.reopened()
                return
        attached.failure = session.overflow
        self._ended(attached)

    def _check(self, wait: Wait) -> None:
        """Raises what a wait fails with once nothing more can come of what it waits on."""
        if wait.attached is not None and wait.attached.failure is not None:
            raise wait.attached.failure
        if wait.attached is None and self.closed:
            raise Disconnected("the driver was closed")

    def _watch(self, attached: Attached) -> None:
        raise NotImplementedError

    def _unwatch(self, attached: Attached) -> None:
        raise NotImplementedError

    def _ended(self, attached: Attached | None) -> None:
        raise NotImplementedError


class Interrupts:
    """Holds back Ctrl-C (SIGINT's Python handler, which raises KeyboardInterrupt) while a client
    changes its state, so that an interrupt never lands between taking events and handling them,
    or between a lock's release and its acquisition. Inside ``with INTERRUPTS:`` the handler is
    only noted; it runs in a ``window()`` (where the client waits, its state whole) or when the
    outermost ``with`` ends. Python runs signal handlers in the main thread only, so only it
    changes anything; the other threads pass straight through."""

    def __init__(self) -> None:
        self._depth = 0
        self._handler: Callable[[int, FrameType | None], object] | None = None
        self._noted: tuple[int, FrameType | None] | None = None
        self._open = False

    def __enter__(self) -> None:
        if threading.get_ident() != MAIN:
            return
        if self._depth == 0:
            handler = _get_handler(SIGINT)
            if not callable(handler):       # ignored, or the default action: nothing to hold back
                return
            self._handler, self._noted = handler, None
            _set_handler(SIGINT, self._note)
        self._depth += 1

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        if self._depth == 0 or threading.get_ident() != MAIN:
            return
        self._depth -= 1
        if self._depth == 0:
            handler, self._handler = self._handler, None
            _set_handler(SIGINT, handler)
            noted, self._noted = self._noted, None
            if noted is not None and handler is not None and not isinstance(value, KeyboardInterrupt):
                handler(*noted)         # the call ends here, its state whole

    def check(self) -> None:
        """Runs a noted handler now (a place where the state is whole and the call may end)."""
        if self._depth and self._noted is not None and self._handler is not None:
            noted, self._noted = self._noted, None
            self._handler(*noted)

    def window(self) -> "_Window":
        """Where the handler runs as it comes: around a wait."""
        return _Window(self)

    def _note(self, signum: int, frame: FrameType | None) -> None:
        if self._open and self._handler is not None:
            self._open = False       # once: the way out must not be interrupted again
            self._handler(signum, frame)
        else:
            self._noted = (signum, frame)


class _Window:
    def __init__(self, interrupts: Interrupts) -> None:
        self._interrupts = interrupts

    def __enter__(self) -> None:
        interrupts = self._interrupts
        if interrupts._depth and threading.get_ident() == MAIN:
            interrupts.check()
            interrupts._open = True

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        if threading.get_ident() == MAIN:
            self._interrupts._open = False


# The signal module's C half: its Python wrappers cost three times as much, on every call of a client.
_c_signal = importlib.import_module("_signal")
_set_handler: Callable[[int, object], object] = _c_signal.signal
_get_handler: Callable[[int], object] = _c_signal.getsignal
SIGINT = int(signal.SIGINT)
MAIN = threading.main_thread().ident
INTERRUPTS = Interrupts()


class Flow:
    """A flow directory, where the vendor's library keeps a session's files, held by one session.

    Made if missing, for the user alone (mode 0700); by default one per front and user in the
    user's cache directory ($XDG_CACHE_HOME, else ~/.cache). The vendor's library creates and
    follows files there, so a directory another user owns or may write to is refused: they could
    plant a link in it. The library does not share a directory between sessions, so a session
    locks its own (the file "ctp.lock" in it) for its life: a second one on a given directory is
    refused, in this process or another; without one given it takes the next free of USER,
    USER.2, USER.3, ..."""

    LOCK = "ctp.lock"
    _held: set[str] = set()        # this process's, to say whose a lock is

    def __init__(self, path: Path, fd: int) -> None:
        self.path = path
        held = str(path.resolve())
        Flow._held.add(held)
        # Let go by release(), or when the session is dropped unclosed (quietly: no file object to warn).
        self._release = weakref.finalize(self, Flow._let_go, fd, held)

    @classmethod
    def claim(cls, flow: str | os.PathLike[str] | None, front: str, broker: str, user: str) -> Flow:
        if flow is not None:
            path = Path(flow)
            fd = cls._made(path)
            if not cls._locked(fd):
                whose = "this process" if str(path.resolve()) in cls._held else "another process"
                raise RuntimeError(f"flow directory {str(path)!r} is in use by another session of {whose}: the "
                                   f"vendor's library keeps one session's files there; give each session its own")
            return cls(path, fd)
        cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
        base = Path(cache) / "ctp" / "flow" / re.sub(r"\W", "_", front) / broker
        for n in itertools.count(1):
            path = base / (user if n == 1 else f"{user}.{n}")
            fd = cls._made(path)
            if cls._locked(fd):
                return cls(path, fd)
        raise AssertionError("unreachable")

    @property
    def encoded(self) -> bytes:
        """As the module takes it: bytes ending in a separator."""
        return os.fsencode(os.path.join(self.path, ""))

    def release(self) -> None:
        self._release()         # once

    @staticmethod
    def _let_go(fd: int, held: str) -> None:
        Flow._held.discard(held)
        os.close(fd)

    @staticmethod
    def _locked(fd: int) -> bool:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            return False
        return True

    @staticmethod
    def _made(path: Path) -> int:
        """Makes what is missing of the directory (mode 0700), checks it and opens its lock file."""
        for missing in reversed([path, *path.parents]):
            if not missing.exists():
                try:
                    missing.mkdir(mode=0o700)
                except FileExistsError:     # made meanwhile by someone else: checked below like any other
                    pass
        owner = os.stat(path)
        if owner.st_uid != os.geteuid():
            raise PermissionError(f"flow directory {str(path)!r} belongs to user {owner.st_uid}, not to this one "
                                  f"({os.geteuid()}): its owner could plant files the vendor's library follows")
        if owner.st_mode & 0o022:
            raise PermissionError(f"flow directory {str(path)!r} may be written by others (mode "
                                  f"{owner.st_mode & 0o777:o}): they could plant files the vendor's library follows")
        return os.open(path / Flow.LOCK, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
