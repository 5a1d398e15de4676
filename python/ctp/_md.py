"""The market-data client, ``ctp.MarketData`` (blocking) and ``ctp.AsyncMarketData`` (asyncio): the
market-data protocol's session as its caller holds it, on ``_ctpmd`` (imported with this module,
so that trading alone never loads the market-data library). Each method is written once, as a
body, and named by each flavour in one line."""

from __future__ import annotations

import logging
import os
from collections.abc import Callable, Hashable, Iterable, Sequence
from types import CapsuleType

import _ctpmd

from . import _asyncio as asynchronous, _blocking as blocking
from ._args import check_timeout, instrument_ids as _instrument_ids
from ._asyncio import AsyncDriver
from ._blocking import Driver
from ._core import Call, Event, Plugin, Record, Session
from ._driver import BACKLOG, BaseDriver, Link, Source, Steps, Wait
from ._face import AsyncFace, BlockingFace, Face
from ._market import MARKET_DATA, SUBSCRIBE, TICK, UNSUBSCRIBE, Subscriptions
from ._replay import Pace, PacedSource, replays

class MarketDataLink(Link):
    """``_ctpmd``: (un)subscriptions go through their own functions, with no request id."""

    def send(self, handle: CapsuleType, call: Call) -> int:
        if call.name == SUBSCRIBE:
            return _ctpmd.subscribe(handle, call.fields["InstrumentID"])
        if call.name == UNSUBSCRIBE:
            return _ctpmd.unsubscribe(handle, call.fields["InstrumentID"])
        return super().send(handle, call)


# Apart from a trading session's flow files by default: the vendor's libraries keep their own.
VIEWER = MarketDataLink(_ctpmd, "ctp.md", "-md")


class MarketDataBase[D: BaseDriver](Face[D]):
    """A market-data session on one front: connects and logs in, and after a drop logs in again and
    subscribes again to every instrument by itself; after an overflow a fresh session takes its
    place, the same way. ``timeout`` is the default limit for each call, counted from the call (0:
    a call fails unless it needs no wait; None: no limit); ``driver`` runs the session, with
    others if it is shared (by default one of its own)."""

    def __init__(self, front: str | Sequence[str], broker: str = "", user: str = "", password: str = "", *,
                 flow: str | os.PathLike[str] | None = None, timeout: float | None = 10.0,
                 logger: logging.Logger | None = None, driver: D | None = None) -> None:
        fronts, timeout = self._check(front, dict(broker=broker, user=user, password=password), flow, logger,
                                      timeout)
        self._market = Subscriptions()
        # On a replaying front, the front moves through each tick as it is taken from a stream.
        self._pace = Pace(fronts[0]) if replays(fronts[0]) else None
        plugins: list[Plugin] = [self._market] if self._pace is None else [self._market, self._pace]
        session = Session(MARKET_DATA, plugins, broker=broker, user=user, password=password,
                          timeout=timeout, logger=logger or VIEWER.session_logger(fronts[0], user),
                          front=", ".join(fronts))
        self._begin(session, VIEWER, fronts, flow, user + VIEWER.flow_suffix, driver)

    @property
    def subscribed(self) -> list[str]:
        """The instruments subscribed (and subscribed again after a drop)."""
        return self._read(lambda: list(self._market.subscribed))

    def latest(self, instrument_id: str) -> Record | None:
        """The latest tick seen (RtnDepthMarketData's "data"), or None. Reads what has arrived first."""
        return self._read(lambda: self._market.latest(instrument_id))

    def _source[T](self, *, select: Callable[[object, Event], T | None] | None, timeout: float | None, what: str,
                   conflate: Callable[[T], Hashable | None] | None, first: Sequence[T], backlog: int | None,
                   dropped: Callable[[int], T] | None) -> Source[T]:
        if self._pace is None:
            return super()._source(select=select, timeout=timeout, what=what, conflate=conflate, first=first,
                                   backlog=backlog, dropped=dropped)
        # A replay's stream needs no backlog: the front posts at most a window of ticks ahead of it.
        return PacedSource(self._driver, pace=self._pace, select=select, attached=self._attached, timeout=timeout,
                           what=what, conflate=conflate, first=first)

    @property
    def replay_ended(self) -> bool:
        """On a replaying front: whether the tape has ended and its last tick was taken (the
        session's streams end then). False on any other front."""
        return self._pace is not None and self._read(lambda: self._pace is not None and self._pace.ended)

    def _subscribe(self, *instrument_ids: str | Iterable[str], timeout: float | None = None) -> Steps[None]:
        """Subscribes and returns once the front replied for each; ``CtpError`` with the first refusal
        (the others stay subscribed). A snapshot of each follows as a tick. Ids come one by one, or
        in lists."""
        ids = _instrument_ids(instrument_ids)
        yield Wait(self._market.subscribe(ids, self._driver.now(), check_timeout(timeout)))

    def _unsubscribe(self, *instrument_ids: str | Iterable[str], timeout: float | None = None) -> Steps[None]:
        """Unsubscribes and returns once the front replied for each; ``CtpError`` with the first refusal.
        Ids come one by one, or in lists."""
        ids = _instrument_ids(instrument_ids)
        yield Wait(self._market.unsubscribe(ids, self._driver.now(), check_timeout(timeout)))

    def _ticks(self, timeout: float | None = None, *, conflate: bool = False,
               backlog: int | None = BACKLOG) -> Source[Record]:
        """The latest tick of each instrument subscribed, then every tick from now on (RtnDepthMarketData's
        "data"); iteration ends after ``timeout`` seconds without one (0: once none is waiting; None:
        never), or when the session is closed. With ``conflate``, a tick not yet taken gives way to a
        newer one of the same instrument. It keeps at most ``backlog`` ticks not yet taken (None: no
        limit): the oldest give way, silently (a tick is a snapshot: the newer ones say what they said)."""
        return self._stream("ticks", _tick, timeout, _instrument if conflate else None, self._market.known,
                            backlog=backlog)


def _tick(face: object, event: Event) -> Record | None:
    data: Record | None = event.get("data")
    return data if event["name"] == TICK else None


def _instrument(tick: Record) -> str:
    return str(tick["InstrumentID"])


class MarketData(BlockingFace, MarketDataBase[Driver]):
    subscribe = blocking.call(MarketDataBase._subscribe)
    unsubscribe = blocking.call(MarketDataBase._unsubscribe)
    ticks = blocking.stream(MarketDataBase._ticks)


class AsyncMarketData(AsyncFace, MarketDataBase[AsyncDriver]):
    subscribe = asynchronous.call(MarketDataBase._subscribe)
    unsubscribe = asynchronous.call(MarketDataBase._unsubscribe)
    ticks = asynchronous.stream(MarketDataBase._ticks)
