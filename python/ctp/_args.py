"""The checks of what callers give the clients, made where it is given, before anything starts:
each raises TypeError or ValueError naming the argument, in English. What a text may hold
(its length in the vendor's bytes, its characters) is the module's to check."""

from __future__ import annotations

import logging
import os
import re
from collections.abc import Iterable

# The front addresses a session takes: a real front's, or the stand-in's simulated one.
FRONT = re.compile(r"(?:tcp|ssl)://[^\s/:]+:[1-9][0-9]{0,4}|sim://[^\s/?]+(?:\?\S*)?")


def check_timeout(timeout: object, name: str = "timeout") -> float | None:
    """A limit in seconds as given: a finite number >= 0 (0: do not wait), or None (no limit).
    Anything else raises here, before it can reach a deadline that other calls share."""
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"{name} must be a number of seconds or None, not {type(timeout).__name__}")
    if not 0 <= timeout < float("inf"):
        raise ValueError(f"{name} must be a finite number of seconds >= 0 (0: do not wait) or None (no limit), "
                         f"not {timeout!r}")
    return float(timeout)


def check_session(front: object, texts: dict[str, object], flow: object, logger: object) -> None:
    """A session's arguments: the front's address, the credentials (str), the flow directory
    (a path or None) and the logger (or None)."""
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


def instrument_ids(given: Iterable[str | Iterable[str]]) -> tuple[str, ...]:
    """Instrument ids given one by one or in lists, as one tuple."""
    ids: list[object] = []
    for item in given:
        ids.extend([item] if isinstance(item, str) else item)
    for instrument in ids:
        if not isinstance(instrument, str):
            raise TypeError(f"instrument_ids must be str (or lists of str), not {type(instrument).__name__}")
    return tuple(ids)  # type: ignore[arg-type]   # all str, checked above
