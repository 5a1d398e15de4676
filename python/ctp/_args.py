"""The checks of what callers give the clients, made where it is given, before anything starts:
each raises TypeError or ValueError naming the argument, in English. What a text may hold
(its length in the vendor's bytes, its characters) is the module's to check."""

from __future__ import annotations

import logging
import os
import re
from collections.abc import Iterable, Sequence

# The front addresses a session takes: a real front's, or the stand-in's simulated one (door K of NAME).
FRONT = re.compile(r"(?:tcp|ssl)://[^\s/:]+:[1-9][0-9]{0,4}|sim://[^\s/?]+(?:/[1-9][0-9]?)?(?:\?\S*)?")
FRONT_FORMS = "'tcp://host:port', 'ssl://host:port', 'sim://NAME' or 'sim://NAME/K'"
# How the front resumes a session's private flow after each login (``resume``).
RESUMES = ("quick", "restart", "resume")


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


def check_count(value: object, name: str, least: int, unset: str = "no limit") -> int | None:
    """A count as given: an int of at least ``least``, or None (``unset`` says what None means)."""
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int or None, not {type(value).__name__}")
    if value < least:
        raise ValueError(f"{name} must be at least {least} (None: {unset}), not {value}")
    return value


def check_fronts(front: object) -> tuple[str, ...]:
    """The front addresses given (one str, or a sequence of them tried in order), as a tuple."""
    if isinstance(front, str):
        fronts: tuple[object, ...] = (front,)
    elif isinstance(front, Sequence) and not isinstance(front, (bytes, bytearray)):
        fronts = tuple(front)
        if not fronts:
            raise ValueError("front must name at least one front address")
    else:
        raise TypeError(f"front must be a str such as 'tcp://host:port' or 'sim://NAME', or a sequence of them, "
                        f"not {type(front).__name__}")
    for one in fronts:
        if not isinstance(one, str):
            raise TypeError(f"front must hold str front addresses, not {type(one).__name__}")
        if not FRONT.fullmatch(one):
            raise ValueError(f"front {one!r} is not a front address: {FRONT_FORMS}")
    return fronts  # type: ignore[return-value]   # all str, checked above


def check_resume(resume: object) -> str:
    """How the private flow resumes after each login: one of ``RESUMES``."""
    if not isinstance(resume, str):
        raise TypeError(f"resume must be a str ({', '.join(map(repr, RESUMES))}), not {type(resume).__name__}")
    if resume not in RESUMES:
        raise ValueError(f"resume must be one of {', '.join(map(repr, RESUMES))}, not {resume!r}")
    return resume


def check_session(front: object, texts: dict[str, object], flow: object, logger: object) -> tuple[str, ...]:
    """A session's arguments: the front addresses (returned as a tuple), the credentials (str), the
    flow directory (a path or None) and the logger (or None)."""
    fronts = check_fronts(front)
    for name, value in texts.items():
        if not isinstance(value, str):
            raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    if flow is not None and not isinstance(flow, (str, os.PathLike)):
        raise TypeError(f"flow must be a path (str or os.PathLike) or None, not {type(flow).__name__}")
    if logger is not None and not isinstance(logger, logging.Logger):
        raise TypeError(f"logger must be a logging.Logger or None, not {type(logger).__name__}")
    return fronts


def instrument_ids(given: Iterable[str | Iterable[str]]) -> tuple[str, ...]:
    """Instrument ids given one by one or in lists, as one tuple."""
    ids: list[object] = []
    for item in given:
        ids.extend([item] if isinstance(item, str) else item)
    for instrument in ids:
        if not isinstance(instrument, str):
            raise TypeError(f"instrument_ids must be str (or lists of str), not {type(instrument).__name__}")
    return tuple(ids)  # type: ignore[arg-type]   # all str, checked above
