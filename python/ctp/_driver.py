"""What both drivers do the same way around the core: the session's logger,
its flow directory, its handle, and reading the handle's events into the core."""

from __future__ import annotations

import logging
import os
import re
from collections.abc import Callable
from pathlib import Path
from types import CapsuleType
from typing import Any, cast

import _ctp

from ._core import Core, Event, Record

# Polls that raise for one event before the rest comes through; more in a row means something else is wrong.
MAX_BAD_POLLS = 64


def session_logger(front: str, user: str) -> logging.Logger:
    """One logger per session, under "ctp.session"."""
    return logging.getLogger("ctp.session").getChild(re.sub(r"[^\w@:/-]", "_", f"{user}@{front}"))


def flow_path(flow: str | os.PathLike[str] | None, front: str, broker: str, user: str) -> bytes:
    """The flow directory as the module takes it (bytes ending in a separator), made if missing
    (for the user alone). By default one per front and user in the user's cache directory
    ($XDG_CACHE_HOME, else ~/.cache). The vendor's library creates and follows files there, so a
    directory another user owns or may write to is refused: they could plant a link in it."""
    if flow is None:
        cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
        flow = Path(cache) / "ctp" / "flow" / re.sub(r"\W", "_", front) / broker / user
    path = Path(flow)
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
    return os.fsencode(os.path.join(path, ""))


def open_session(front: str, flow: bytes) -> CapsuleType:
    return _ctp.create(front, flow)


# The stubs type each request name with its own fields; the core sends names and
# fields it checked against its key table at run time, as plain dicts.
request = cast(Callable[[CapsuleType, str, Record, int], int], _ctp.request)


def drain(handle: CapsuleType, core: Core[Any], log: logging.Logger) -> None:
    """Feeds the core every event the handle has now. A poll that raises for one event is
    logged and polled again (the rest follow); BufferError ends polling for good."""
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
