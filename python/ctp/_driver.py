"""What both drivers do the same way around the core: the session's logger,
its flow directory, its handle, and reading the handle's events into the core."""

from __future__ import annotations

import fcntl
import itertools
import logging
import os
import re
import signal
import threading
from collections.abc import Callable
from pathlib import Path
from types import CapsuleType, FrameType, TracebackType
from typing import IO, Any, cast

import _ctp

from ._core import Core, Event, Record

# Polls that raise for one event before the rest comes through; more in a row means something else is wrong.
MAX_BAD_POLLS = 64


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
        if threading.current_thread() is not threading.main_thread():
            return
        if self._depth == 0:
            handler = signal.getsignal(signal.SIGINT)
            if not callable(handler):       # ignored, or the default action: nothing to hold back
                return
            self._handler, self._noted = handler, None
            signal.signal(signal.SIGINT, self._note)
        self._depth += 1

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        if self._depth == 0 or threading.current_thread() is not threading.main_thread():
            return
        self._depth -= 1
        if self._depth == 0:
            handler, self._handler = self._handler, None
            signal.signal(signal.SIGINT, handler)
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
        if interrupts._depth and threading.current_thread() is threading.main_thread():
            interrupts.check()
            interrupts._open = True

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        if threading.current_thread() is threading.main_thread():
            self._interrupts._open = False


INTERRUPTS = Interrupts()
"""One for the process: the handler is the process's."""


# The front addresses a session takes: a real front's, or the stand-in's simulated one.
FRONT = re.compile(r"(?:tcp|ssl)://[^\s/:]+:(?:[1-9][0-9]{0,4})|sim://[^\s/?]+(?:\?\S*)?")


def check_arguments(front: object, texts: dict[str, object], flow: object, logger: object) -> None:
    """Checks a session's arguments before anything starts: TypeError or ValueError naming the
    first bad one. The texts' contents (lengths, characters) are the module's to check."""
    if not isinstance(front, str):
        raise TypeError(f"front must be a str such as 'tcp://host:port' or 'sim://NAME', not "
                        f"{type(front).__name__}")
    if not FRONT.fullmatch(front):
        raise ValueError(f"front {front!r} is not a front address: 'tcp://host:port', 'ssl://host:port' or "
                         "'sim://NAME'")
    for name, value in texts.items():
        if not isinstance(value, str):
            raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    if flow is not None and not isinstance(flow, (str, os.PathLike)):
        raise TypeError(f"flow must be a path (str or os.PathLike) or None, not {type(flow).__name__}")
    if logger is not None and not isinstance(logger, logging.Logger):
        raise TypeError(f"logger must be a logging.Logger or None, not {type(logger).__name__}")


def session_logger(front: str, user: str) -> logging.Logger:
    """One logger per session, under "ctp.session"."""
    return logging.getLogger("ctp.session").getChild(re.sub(r"[^\w@:/-]", "_", f"{user}@{front}"))


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
    _held: set[str] = set()        # this process's, to say whose the lock is

    def __init__(self, path: Path, lock: IO[bytes]) -> None:
        self.path, self._lock = path, lock

    @classmethod
    def claim(cls, flow: str | os.PathLike[str] | None, front: str, broker: str, user: str) -> Flow:
        if flow is not None:
            path = Path(flow)
            return cls._take(path, cls._made(path))
        cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
        base = Path(cache) / "ctp" / "flow" / re.sub(r"\W", "_", front) / broker
        for n in itertools.count(1):
            path = base / (user if n == 1 else f"{user}.{n}")
            taken = cls._try(path, cls._made(path))
            if taken is not None:
                return cls(path, taken)
        raise AssertionError("unreachable")

    @property
    def encoded(self) -> bytes:
        """As the module takes it: bytes ending in a separator."""
        return os.fsencode(os.path.join(self.path, ""))

    def release(self) -> None:
        if not self._lock.closed:
            Flow._held.discard(str(self.path.resolve()))
            self._lock.close()

    @classmethod
    def _take(cls, path: Path, lock: IO[bytes]) -> Flow:
        taken = cls._try(path, lock)
        if taken is None:
            whose = "this process" if str(path.resolve()) in cls._held else "another process"
            raise RuntimeError(f"flow directory {str(path)!r} is in use by another session of {whose}: the "
                               f"vendor's library keeps one session's files there; give each session its own")
        return cls(path, taken)

    @classmethod
    def _try(cls, path: Path, lock: IO[bytes]) -> IO[bytes] | None:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            lock.close()
            return None
        cls._held.add(str(path.resolve()))
        return lock

    @staticmethod
    def _made(path: Path) -> IO[bytes]:
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
        fd = os.open(path / Flow.LOCK, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
        return os.fdopen(fd, "rb+")


def open_session(front: str, flow: bytes) -> CapsuleType:
    return _ctp.create(front, flow)


# The stubs type each request name with its own fields; the core sends names and
# fields it checked against its key table at run time, as plain dicts.
request = cast(Callable[[CapsuleType, str, Record, int], int], _ctp.request)


def drain(handle: CapsuleType, core: Core[Any], log: logging.Logger) -> None:
    """Feeds the core every event the handle has now. A poll that raises for one event is
    logged and polled again (the rest follow); BufferError ends polling for good."""
    with INTERRUPTS:        # what poll took is handled whole
        _drain(handle, core, log)


def _drain(handle: CapsuleType, core: Core[Any], log: logging.Logger) -> None:
    for _ in range(MAX_BAD_POLLS):
        if core.overflow is not None:
            return
        try:
            events = _ctp.poll(handle)
        except Exception as error:
            core.poll_failed(error)
            continue
        for event in events:
            try:
                core.receive(cast(Event, event))     # the client reads events as plain dicts
            except Exception:
                log.exception("could not handle the event %r", event)
        return
