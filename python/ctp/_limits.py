"""What an order is checked against before it goes out, free of I/O: the client's limits
(``Limits``) and what can be closed. A refusal raises ``OrderRefused`` naming the rule, and
nothing reaches the front."""

from __future__ import annotations

import math
from collections import deque
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import NamedTuple

from ._account import Contracts, Ledger, OrderLike, closing_side, opening_side
from ._args import check_count
from .codes import OffsetFlag, PosiDirection


class OrderRefused(Exception):
    """The client refused an order before sending it, for one of its limits or for closing more
    than can be closed; nothing reached the front. ``rule`` names what refused it (a field of
    ``ctp.Limits``, or "closable")."""

    def __init__(self, message: str, rule: str) -> None:
        super().__init__(message)
        self.rule = rule


@dataclass(frozen=True)
class Limits:
    """Limits a client checks each order against before sending it (None: no limit).

    ``max_order_volume``: lots in one order. ``max_position``: lots an instrument's position may
    reach on either side, counting what working opening orders would add; one number for every
    instrument, or a mapping by instrument (an instrument it does not name has no limit).
    ``max_orders_per_second``: orders sent in any one second (cancels not counted).
    ``max_ticks_away``: how far, in price ticks, an order's price may be from the instrument's
    latest price (the latest tick's, else yesterday's settlement price)."""

    max_order_volume: int | None = None
    max_position: int | Mapping[str, int] | None = None
    max_orders_per_second: int | None = None
    max_ticks_away: int | None = None

    def __post_init__(self) -> None:
        for name in ("max_order_volume", "max_orders_per_second", "max_ticks_away"):
            check_count(getattr(self, name), name, 0 if name == "max_ticks_away" else 1)
        if isinstance(self.max_position, Mapping):
            for instrument, limit in self.max_position.items():
                if not isinstance(instrument, str):
                    raise TypeError(f"max_position: instruments must be str, not {type(instrument).__name__}")
                check_count(limit, f"max_position[{instrument!r}]", 0)
        else:
            check_count(self.max_position, "max_position", 0)

    def position_limit(self, instrument: str) -> int | None:
        if isinstance(self.max_position, Mapping):
            return self.max_position.get(instrument)
        return self.max_position


class Planned(NamedTuple):
    """An order about to go out."""

    instrument: str
    direction: str
    offset: str
    volume: int
    price: float


class Guard:
    """Checks orders against a client's limits and its positions, and counts what goes out."""

    def __init__(self, limits: Limits | None) -> None:
        self.limits = limits or Limits()
        self._sent: deque[float] = deque()        # when the orders of the last second went out

    def check(self, now: float, planned: Sequence[Planned], contracts: Contracts, ledger: Ledger | None,
              working: Sequence[OrderLike]) -> None:
        """Raises ``OrderRefused`` if any of these orders (going out together) breaks a limit or
        closes more than can be closed."""
        limits = self.limits
        if limits.max_orders_per_second is not None:
            while self._sent and self._sent[0] <= now - 1.0:
                self._sent.popleft()
            if len(self._sent) + len(planned) > limits.max_orders_per_second:
                raise OrderRefused(f"max_orders_per_second: {len(self._sent)} orders went out in the last second, "
                                   f"the limit is {limits.max_orders_per_second}", "max_orders_per_second")
        closing: dict[tuple[str, PosiDirection, str], int] = {}
        opening: dict[tuple[str, PosiDirection], int] = {}
        for order in planned:
            if limits.max_order_volume is not None and order.volume > limits.max_order_volume:
                raise OrderRefused(f"max_order_volume: {order.volume} lots of {order.instrument} in one order, the "
                                   f"limit is {limits.max_order_volume}", "max_order_volume")
            if limits.max_ticks_away is not None:
                self._check_price(order, contracts)
            if order.offset == OffsetFlag.OPEN:
                key = (order.instrument, opening_side(order.direction))
                opening[key] = opening.get(key, 0) + order.volume
            elif ledger is not None:
                part = _part(order.offset)
                key3 = (order.instrument, closing_side(order.direction), part)
                closing[key3] = closing.get(key3, 0) + order.volume
        if ledger is not None:
            for (instrument, side, part), volume in closing.items():
                _check_closable(instrument, side, part, volume, contracts, ledger, working)
            for (instrument, side), volume in opening.items():
                limit = limits.position_limit(instrument)
                if limit is None:
                    continue
                held = ledger.position(instrument, side).volume
                pending = sum(o.volume - o.traded for o in working if o.offset == OffsetFlag.OPEN
                              and o.instrument == instrument and opening_side(o.direction) == side)
                if held + pending + volume > limit:
                    raise OrderRefused(
                        f"max_position: {side.name.lower()} {instrument} would reach {held + pending + volume} lots "
                        f"({held} held, {pending} in working orders, {volume} more), the limit is {limit}",
                        "max_position")

    def sent(self, now: float, count: int = 1) -> None:
        if self.limits.max_orders_per_second is not None:
            self._sent.extend([now] * count)

    def _check_price(self, order: Planned, contracts: Contracts) -> None:
        limit = self.limits.max_ticks_away
        assert limit is not None
        contract = contracts.contract(order.instrument)
        latest = contracts.mark(order.instrument)
        if contract is None or latest is None:
            raise OrderRefused(f"max_ticks_away: no price of {order.instrument} is known to check {order.price:g} "
                               "against", "max_ticks_away")
        away = abs(order.price - latest) / contract.tick
        if away > limit + 1e-9 and not math.isclose(away, limit):
            raise OrderRefused(f"max_ticks_away: {order.price:g} is {away:g} ticks from {order.instrument}'s latest "
                               f"price {latest:g}, the limit is {limit}", "max_ticks_away")


def _part(offset: str) -> str:
    """Which lots a closing flag closes where the exchange keeps them apart."""
    return "today" if offset == OffsetFlag.CLOSE_TODAY else "yesterday"


def _check_closable(instrument: str, side: PosiDirection, part: str, volume: int, contracts: Contracts,
                    ledger: Ledger, working: Sequence[OrderLike]) -> None:
    position = ledger.position(instrument, side, working)
    contract = contracts.contract(instrument)
    by_date = contract is not None and contract.by_date
    closable = (position.closable_today if part == "today" else position.closable_yesterday) if by_date \
        else position.closable
    if volume <= closable:
        return
    what = f"{side.name.lower()} {instrument}"
    if by_date:
        hint = ""
        if part == "yesterday" and position.closable_today:
            hint = (f"; {position.closable_today} of today's lots are closable: close them with CLOSE_TODAY "
                    "(close_position picks the flags)")
        elif part == "today" and position.closable_yesterday:
            hint = (f"; {position.closable_yesterday} of yesterday's lots are closable: close them with CLOSE "
                    "(close_position picks the flags)")
        raise OrderRefused(f"closable: closing {volume} of {what} with {'CLOSE_TODAY' if part == 'today' else 'CLOSE'}"
                           f", but {closable} of {part}'s lots are closable ({contract.exchange if contract else ''} "
                           f"closes today's and yesterday's lots apart){hint}", "closable")
    raise OrderRefused(f"closable: closing {volume} of {what}, but {closable} are closable ({position.volume} held, "
                       f"{position.frozen} in working closing orders)", "closable")
