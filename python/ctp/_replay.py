"""A market-data session on a replaying simulated front (``sim://NAME?replay=PATH``) keeps the
front in lockstep with its reader: the front posts recorded ticks ahead, but moves its market
(quotes, clock, fills of resting orders) through a tick only once the reader has taken it from a
stream, so that an order sent after taking a tick meets the market of that tick, whatever the
threads' timing. When the tape has ended and its last tick was taken, the front drops the session
with reason ``ctp.sim.REPLAY_ENDED``, and the session's streams end (after what is left).

Pure Python; ``ctp.sim`` (ctypes) is loaded only for a replaying front."""

from __future__ import annotations

from collections.abc import Callable, Hashable, Sequence
from typing import Any

from ._core import Event, Plugin
from ._driver import BaseDriver, Attached, Source

TICK = "RtnDepthMarketData"
REPLAY_ENDED = 0x3001
"""OnFrontDisconnected's reason when a replay's tape has ended (the stand-in's CTPSIM_REPLAY_ENDED)."""


def replays(front: str) -> bool:
    """Whether an address names a simulated front that replays a recording."""
    if not front.startswith("sim://") or "?" not in front:
        return False
    return any(option.startswith("replay=") for option in front.split("?", 1)[1].split("&"))


class Pace(Plugin):
    """Counts the ticks as they arrive, and tells the front which of them the reader has taken."""

    def __init__(self, front: str) -> None:
        from . import sim
        self._take = sim.replay_taker(front)
        self.arrived = 0
        self.taken = 0
        self.ended = False

    def receive(self, event: Event) -> None:
        name = event["name"]
        if name == TICK:
            self.arrived += 1
        elif name == "FrontDisconnected" and int(event.get("reason", 0)) == REPLAY_ENDED:
            self.ended = True

    def took(self, index: int) -> None:
        """The reader has taken the index-th tick to arrive (and so every one before it)."""
        if index > self.taken:
            self.taken = index
            self._take(index)


class PacedSource(Source[Any]):
    """A stream's queue that keeps each item with the number of the tick it came with (0: not a
    tick), tells the pace as each is taken, and ends once the replay has."""

    def __init__(self, driver: BaseDriver, *, pace: Pace, select: Callable[[object, Event], Any] | None,
                 attached: Attached | None, timeout: float | None, what: str,
                 conflate: Callable[[Any], Hashable | None] | None, first: Sequence[Any]) -> None:
        self._pace = pace

        def numbered(face: object, event: Event) -> tuple[int, Any] | None:
            item = event if select is None else select(face, event)
            if item is None:
                return None
            return (pace.arrived if event["name"] == TICK else 0), item

        keyed = None if conflate is None else (lambda pair: conflate(pair[1]))
        super().__init__(driver, select=numbered, attached=attached, timeout=timeout, what=what,
                         conflate=keyed, first=[(0, item) for item in first])

    def put(self, face: object, event: Event) -> None:
        super().put(face, event)
        if self._pace.ended and self._arrival is not None:     # wakes a reader waiting for more
            arrival, self._arrival = self._arrival, None
            arrival.finish()

    def take(self) -> Any:
        pair = super().take()
        if pair is None:
            return None
        index, item = pair
        self._pace.took(index)
        return item

    def ended(self) -> bool:
        return super().ended() or (self._pace.ended and not self._waiting())
