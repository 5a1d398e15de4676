"""An investor's money kept the way standin/README.md documents the simulated
front's ("Positions and the account"), from what a session receives: the
rates, yesterday's position details, today's trades and the working orders.
Tests compare the front's account, positions and position details with it
to the cent, so every figure there is reproducible from the records."""

import math
from dataclasses import dataclass, field

Rate = tuple[float, float]  # by money (a ratio of price * volume * multiple), by volume (per lot)


def cents(amount: float) -> int:
    """An amount rounded to whole cents, half away from zero, with a
    millionth of a cent's tolerance for binary noise."""
    return int(math.copysign(math.floor(abs(amount) * 100 + 0.5 + 1e-6), amount))


def to_cents(yuan: float) -> int:
    """A figure the front reported, in cents (it reports whole cents)."""
    whole = round(yuan * 100)
    assert abs(yuan * 100 - whole) < 1e-4, yuan
    return whole


def fee(rate: Rate, price: float, volume: int, multiple: int) -> float:
    """A margin or commission before rounding, in the front's order of operations."""
    return price * volume * multiple * rate[0] + volume * rate[1]


@dataclass
class Terms:
    exchange: str
    tick: float
    multiple: int
    long_margin: Rate
    short_margin: Rate
    open: Rate
    close: Rate
    close_today: Rate
    settlement: float      # yesterday's settlement price

    @property
    def by_date(self) -> bool:
        """SHFE and INE keep today's and yesterday's lots apart when closing."""
        return self.exchange in ("SHFE", "INE")

    def margin_rate(self, side: str) -> Rate:
        return self.long_margin if side in "02" else self.short_margin

    def commission_rate(self, offset: str) -> Rate:
        return self.open if offset == "0" else self.close_today if offset == "3" else self.close


@dataclass
class Lot:
    """A position detail: one open trade, or a lot held as the day began."""
    trade_id: str
    open_price: float
    volume: int
    today: bool
    close_volume: int = 0
    close_amount: int = 0
    close_profit_by_date: int = 0
    close_profit_by_trade: int = 0


@dataclass
class Holding:
    """One instrument and side: its lots, oldest first (yesterday's, then today's)."""
    lots: list[Lot] = field(default_factory=list)
    commission: dict[bool, int] = field(default_factory=lambda: {True: 0, False: 0})  # by part: today's or not
    open_volume: int = 0

    def part(self, today: bool) -> list[Lot]:
        return [lot for lot in self.lots if lot.today == today]


class Ledger:
    def __init__(self, terms: dict[str, Terms]):
        self.terms = terms
        self.holdings: dict[tuple[str, str], Holding] = {}
        self.commission = 0
        self.fees: dict[str, int] = {}   # commission of each trade, by TradeID

    def holding(self, instrument: str, side: str) -> Holding:
        return self.holdings.setdefault((instrument, side), Holding())

    def hold(self, instrument: str, side: str, volume: int, open_price: float | None = None,
             trade_id: str = "") -> None:
        """A lot held as the day began (its open price: the settlement price when not given)."""
        price = self.terms[instrument].settlement if open_price is None else open_price
        self.holding(instrument, side).lots.append(Lot(trade_id, price, volume, today=False))

    def base(self, instrument: str, lot: Lot) -> float:
        return lot.open_price if lot.today else self.terms[instrument].settlement

    def trade(self, t: dict) -> None:
        instrument, price, volume = t["InstrumentID"], t["Price"], t["Volume"]
        terms = self.terms[instrument]
        m = terms.multiple
        buy = t["Direction"] == "0"
        if t["OffsetFlag"] == "0":
            holding = self.holding(instrument, "2" if buy else "3")
            holding.lots.append(Lot(t["TradeID"], price, volume, today=True))
            holding.open_volume += volume
            charged = cents(fee(terms.open, price, volume, m))
            holding.commission[True] += charged
        else:
            side = "3" if buy else "2"         # a buy closes a short
            holding = self.holding(instrument, side)
            sign = 1 if side == "2" else -1
            if terms.by_date:
                parts = [t["OffsetFlag"] == "3"]     # close today: today's lots; else yesterday's
            else:
                parts = [False, True]                # yesterday's first, then today's
            left, taken = volume, {False: 0, True: 0}
            for today in parts:
                for lot in holding.lots:
                    if lot.today != today or lot.volume == 0 or left == 0:
                        continue
                    n = min(left, lot.volume)
                    lot.close_profit_by_date += cents(sign * (price - self.base(instrument, lot)) * n * m)
                    lot.close_profit_by_trade += cents(sign * (price - lot.open_price) * n * m)
                    lot.close_amount += cents(price * n * m)
                    lot.close_volume += n
                    lot.volume -= n
                    left -= n
                    taken[today] += n
            assert left == 0, f"closed more than held: {t}"
            charged = cents(fee(terms.close, price, taken[False], m) + fee(terms.close_today, price, taken[True], m))
            yesterday_part = terms.by_date and t["OffsetFlag"] != "3"
            holding.commission[not yesterday_part] += charged
        self.commission += charged
        self.fees[t["TradeID"]] = charged

    # ---- figures at marks (the reference prices) ------------------------------------------------

    def lot_margin(self, instrument: str, side: str, lot: Lot) -> int:
        terms = self.terms[instrument]
        return cents(fee(terms.margin_rate(side), self.base(instrument, lot), lot.volume, terms.multiple))

    def lot_profit(self, instrument: str, side: str, lot: Lot, mark: float, by_trade: bool = False) -> int:
        sign = 1 if side == "2" else -1
        base = lot.open_price if by_trade else self.base(instrument, lot)
        return cents(sign * (mark - base) * lot.volume * self.terms[instrument].multiple)

    def lots(self):
        for (instrument, side), holding in self.holdings.items():
            for lot in holding.lots:
                yield instrument, side, lot

    def lot_cost(self, instrument: str, lot: Lot, by_trade: bool = False) -> int:
        """PositionCost (at the base price), or OpenCost (at the opening price)."""
        price = lot.open_price if by_trade else self.base(instrument, lot)
        return cents(price * lot.volume * self.terms[instrument].multiple)

    def lot_pre_margin(self, instrument: str, side: str, lot: Lot) -> int:
        """Yesterday's margin of a lot held as the day began, at S."""
        terms = self.terms[instrument]
        return 0 if lot.today else cents(fee(terms.margin_rate(side), terms.settlement, lot.volume + lot.close_volume,
                                             terms.multiple))

    def margin(self) -> int:
        return sum(self.lot_margin(i, s, lot) for i, s, lot in self.lots())

    def position_profit(self, marks: dict[str, float]) -> int:
        return sum(self.lot_profit(i, s, lot, marks[i]) for i, s, lot in self.lots())

    def close_profit(self) -> int:
        return sum(lot.close_profit_by_date for _, _, lot in self.lots())

    def frozen(self, orders: list[dict]) -> tuple[int, int]:
        """Frozen margin and commission of the working orders, at their limit prices."""
        margin = commission = 0
        for o in orders:
            if o["OrderStatus"] not in "13":
                continue
            terms = self.terms[o["InstrumentID"]]
            flag = o["CombOffsetFlag"][0]
            commission += cents(fee(terms.commission_rate(flag), o["LimitPrice"], o["VolumeTotal"], terms.multiple))
            if flag == "0":
                margin += cents(fee(terms.margin_rate(o["Direction"]), o["LimitPrice"], o["VolumeTotal"],
                                    terms.multiple))
        return margin, commission
