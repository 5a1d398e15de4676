"""A trading session's state beyond its orders, free of I/O: the contracts (each instrument's
complete record, its margin and commission rates, yesterday's settlement price, its status and
its latest tick) and the positions, kept as the front keeps them: yesterday's lots as the day
began, then every trade of the day applied in order, first in first out. P&L, margin and
commission follow from them by the front's own formulas, in whole cents:

- a lot's base price is its opening price if opened today, else yesterday's settlement price S
  (positions are marked to market daily);
- margin: cents(fee(margin rate of the side, base price, lots)); floating P&L:
  cents(s × (mark − base) × lots × multiple), s = 1 long, −1 short; the mark is the latest
  tick's LastPrice, or S while there is none;
- a close of n lots at C: realised cents(s × (C − base) × n × multiple) per lot closed;
- commission: cents(fee(open rate, price, lots)) for an open; for a close,
  cents(fee(close rate, price, yesterday's lots) + fee(close-today rate, price, today's lots));
- working orders freeze commission at their offset's rate and, opening, margin, for what
  remains at their limit price;

where fee(rate, price, n) = price × n × multiple × ByMoney + n × ByVolume and
cents(x) = sign(x) × ⌊|x| × 100 + 0.5 + 0.000001⌋ / 100. Exchanges that keep today's and
yesterday's lots apart (SHFE and INE: PositionDateType USE_HISTORY) close each part with its own
flag; elsewhere a close takes yesterday's lots first, then today's.

Nothing here asks the front anything: the trading plug-in (``_trading.OrderBook``) loads it at
each login and hands it every trade, once."""

from __future__ import annotations

import logging
import math
import sys
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from typing import Protocol

from ._core import Record
from .codes import Direction, OffsetFlag, OrderStatus, PosiDirection, PositionDateType

UNSET = sys.float_info.max / 2       # prices at or above it are the vendor's "not set" (the largest double)
LONG, SHORT = PosiDirection.LONG, PosiDirection.SHORT
RESTING = frozenset({OrderStatus.PART_TRADED_QUEUEING, OrderStatus.NO_TRADE_QUEUEING})
"""The statuses of an order the front holds on its book: what freezes money there."""

log = logging.getLogger("ctp.account")


# ---- money -------------------------------------------------------------------------------------

def cents(amount: float) -> int:
    """An amount in whole cents: half away from zero, with a millionth of a cent for binary noise
    (1.005 held as 1.00499999999999989... rounds up, as in decimal)."""
    return int(math.copysign(math.floor(abs(amount) * 100 + 0.5 + 1e-6), amount))


def yuan(amount: int) -> float:
    """Whole cents as the front's records show money."""
    return amount / 100


Rate = tuple[float, float]
"""A rate by money (a ratio of price × lots × multiple) and by volume (per lot)."""


def fee(rate: Rate, price: float, volume: int, multiple: int) -> float:
    """A margin or a commission before rounding, in the front's order of operations."""
    return price * volume * multiple * rate[0] + volume * rate[1]


def real_price(price: object) -> float | None:
    """A price the exchange has set, or None (0, or the vendor's largest double)."""
    return float(price) if isinstance(price, (int, float)) and 0 < price < UNSET else None


def closing_side(direction: str) -> PosiDirection:
    """The position an order of this direction closes: a sell closes a long one."""
    return LONG if direction == Direction.SELL else SHORT


def opening_side(direction: str) -> PosiDirection:
    return LONG if direction == Direction.BUY else SHORT


# ---- contracts ---------------------------------------------------------------------------------

@dataclass(frozen=True)
class Contract:
    """What the client knows of an instrument: its complete record (``QryInstrument``), its rates
    (``QryInstrumentMarginRate``, ``QryInstrumentCommissionRate``; None until known), yesterday's
    settlement price (None until known) and its status (``RtnInstrumentStatus``'s code, "" until
    one came)."""

    instrument: str
    exchange: str
    multiple: int
    tick: float
    by_date: bool
    """Whether its exchange closes today's and yesterday's lots apart (CLOSE_TODAY for today's)."""
    record: Record
    margin_rate: Record | None
    commission_rate: Record | None
    settlement: float | None
    status: str


class Contracts:
    """The session's cache of instruments, rates, settlement prices, statuses and latest ticks."""

    def __init__(self) -> None:
        self.instruments: dict[str, Record] = {}
        self.margin_rates: dict[str, Record] = {}        # by the record's InstrumentID (an instrument, or a product)
        self.commission_rates: dict[str, Record] = {}
        self.settlements: dict[str, float] = {}          # yesterday's settlement price, by instrument
        self.statuses: dict[str, Record] = {}            # the latest RtnInstrumentStatus, by instrument
        self.ticks: dict[str, Record] = {}               # the latest tick, by instrument
        self.trading_day = ""

    def new_day(self, trading_day: str) -> bool:
        """A login of this trading day: a new one drops what yesterday's settlement changed (and the
        rates, which the front may have changed with it). Whether it was new."""
        if trading_day == self.trading_day:
            return False
        if self.trading_day:
            self.margin_rates.clear()
            self.commission_rates.clear()
            self.settlements.clear()
            self.ticks = {instrument: tick for instrument, tick in self.ticks.items()
                          if tick.get("TradingDay") == trading_day}
        self.trading_day = trading_day
        return True

    # ---- what the front answers ---------------------------------------------------------------

    def take_instruments(self, records: Iterable[Record]) -> None:
        for record in records:
            self.instruments[record["InstrumentID"]] = record

    def take_margin_rates(self, records: Iterable[Record], asked: str = "") -> None:
        for record in records:
            self.margin_rates[record["InstrumentID"]] = record
            if asked:
                self.margin_rates[asked] = record

    def take_commission_rates(self, records: Iterable[Record], asked: str = "") -> None:
        for record in records:
            self.commission_rates[record["InstrumentID"]] = record
            if asked:
                self.commission_rates[asked] = record

    def take_settlement(self, instrument: str, price: object) -> None:
        settlement = real_price(price)
        if settlement is not None:
            self.settlements[instrument] = settlement

    def take_tick(self, tick: Mapping[str, object]) -> bool:
        """A tick (a DepthMarketData record, from market data or a depth query): the instrument's
        latest price from now on, unless it is older than the one known (of the same trading day,
        fewer lots traded). Whether it was taken."""
        instrument = tick.get("InstrumentID")
        if not isinstance(instrument, str) or not instrument:
            return False
        known = self.ticks.get(instrument)
        if known is not None and known.get("TradingDay") == tick.get("TradingDay"):
            volume, known_volume = tick.get("Volume"), known.get("Volume")
            if isinstance(volume, int) and isinstance(known_volume, int) and volume < known_volume:
                return False
        self.ticks[instrument] = dict(tick)
        self.take_settlement(instrument, tick.get("PreSettlementPrice"))
        return True

    def take_status(self, record: Record) -> None:
        self.statuses[record["InstrumentID"]] = record

    # ---- what the client reads ----------------------------------------------------------------

    def margin_rate(self, instrument: str) -> Record | None:
        return self._rate(self.margin_rates, instrument)

    def commission_rate(self, instrument: str) -> Record | None:
        return self._rate(self.commission_rates, instrument)

    def contract(self, instrument: str) -> Contract | None:
        record = self.instruments.get(instrument)
        if record is None:
            return None
        status = self.statuses.get(instrument)
        return Contract(instrument, record["ExchangeID"], int(record["VolumeMultiple"]), float(record["PriceTick"]),
                        record.get("PositionDateType") == PositionDateType.USE_HISTORY, record,
                        self.margin_rate(instrument), self.commission_rate(instrument),
                        self.settlements.get(instrument), status["InstrumentStatus"] if status else "")

    def complete(self, instrument: str) -> bool:
        """Whether everything the money of a position needs is known."""
        return (instrument in self.instruments and self.margin_rate(instrument) is not None
                and self.commission_rate(instrument) is not None)

    def mark(self, instrument: str) -> float | None:
        """The price positions are valued at: the latest tick's last price, else yesterday's
        settlement price (None when neither is known)."""
        tick = self.ticks.get(instrument)
        if tick is not None:
            price = real_price(tick.get("LastPrice"))
            if price is not None:
                return price
        return self.settlements.get(instrument)

    def _rate(self, rates: dict[str, Record], instrument: str) -> Record | None:
        """An instrument's rate record; fronts that keep rates by product answer with the product's id."""
        found = rates.get(instrument)
        if found is None and instrument in self.instruments:
            found = rates.get(self.instruments[instrument].get("ProductID", ""))
        return found


# ---- positions ---------------------------------------------------------------------------------

class Lot:
    """A position detail: the lots of one opening trade still open (or held as the day began), and
    what closing some of them made today. Money in whole cents."""

    __slots__ = ("trade_id", "open_price", "base", "volume", "today", "close_volume", "close_amount",
                 "close_profit", "close_profit_by_trade")

    def __init__(self, trade_id: str, open_price: float, base: float, volume: int, today: bool) -> None:
        self.trade_id, self.open_price, self.base, self.volume, self.today = trade_id, open_price, base, volume, today
        self.close_volume = self.close_amount = self.close_profit = self.close_profit_by_trade = 0


@dataclass
class Holding:
    """One instrument and side: its lots, oldest first (yesterday's, then today's), and the
    commission of the trades that opened or closed them, by part (today's: True)."""

    instrument: str
    side: PosiDirection
    lots: list[Lot] = field(default_factory=list)
    commission: dict[bool, int] = field(default_factory=lambda: {False: 0, True: 0})

    def volume(self, today: bool | None = None) -> int:
        return sum(lot.volume for lot in self.lots if today is None or lot.today == today)


@dataclass(frozen=True)
class Position:
    """An instrument's position on one side, as the client keeps it (money in yuan, exact to the
    cent; the front's position records say the same things in their own words)."""

    instrument: str
    exchange: str
    side: PosiDirection
    volume: int
    """Lots held (Position)."""
    today: int
    """Of them, opened today (TodayPosition)."""
    yesterday: int
    """Of them, held since before today."""
    frozen: int
    """Lots working closing orders will close (the front's LongFrozen of a short, ShortFrozen of a long)."""
    closable: int
    closable_today: int
    closable_yesterday: int
    open_price: float
    """The average opening price of the lots held (0.0 with none)."""
    open_cost: float
    """Their value at their opening prices (OpenCost)."""
    position_cost: float
    """Their value at their base prices: yesterday's at yesterday's settlement price (PositionCost)."""
    mark: float | None
    """The price they are valued at: the latest tick's, else yesterday's settlement price."""
    realised: float
    """Profit of today's closes against the base prices (CloseProfit, by date)."""
    realised_by_trade: float
    """The same against the opening prices (CloseProfitByTrade)."""
    floating: float
    """Profit of the lots held at the mark, against the base prices (PositionProfit)."""
    floating_by_trade: float
    """The same against the opening prices."""
    commission: float
    margin: float
    """Margin of the lots held (UseMargin)."""

    @property
    def net(self) -> float:
        """Realised plus floating, less commission."""
        return yuan(cents(self.realised) + cents(self.floating) - cents(self.commission))


@dataclass(frozen=True)
class PnL:
    """Profit and loss, of one instrument or of all (money in yuan, exact to the cent): the
    trading account's CloseProfit, PositionProfit, Commission, CurrMargin, FrozenMargin and
    FrozenCommission."""

    instrument: str
    """The instrument ("" for the total)."""
    realised: float
    floating: float
    commission: float
    margin: float
    frozen_margin: float
    frozen_commission: float
    net: float
    """realised + floating − commission."""


class Ledger:
    """The positions: yesterday's lots as the day began, then the day's trades, each applied once,
    in order. ``rebuild`` starts again from both (after each login); ``trade`` applies one more."""

    def __init__(self, contracts: Contracts) -> None:
        self.contracts = contracts
        self.holdings: dict[tuple[str, PosiDirection], Holding] = {}
        self.commissions: dict[tuple[object, object, object], int] = {}       # each trade's, by the trade's key
        self.start: list[tuple[str, PosiDirection, Lot]] = []
        self.applied: list[Record] = []             # the trades applied, in order
        self.waiting: list[Record] = []             # trades whose contract or rates are not known yet
        self.synced = False
        """Whether the positions were loaded from the front since the last login."""

    # ---- loading ------------------------------------------------------------------------------

    def start_from(self, details: Iterable[Record], trading_day: str, today: Iterable[str] = ()) -> None:
        """Yesterday's lots as the day began, from the position details (QryInvestorPositionDetail):
        each of yesterday's details with what closed of it today added back, oldest first. Today's
        details (opened on the trading day, or by one of ``today``'s trade ids) come from the trades."""
        self.start = []
        opened_today = set(today)
        for detail in details:
            if detail.get("OpenDate") == trading_day or detail.get("TradeID") in opened_today:
                continue
            volume = int(detail["Volume"]) + int(detail.get("CloseVolume", 0))
            if volume <= 0:
                continue
            instrument = detail["InstrumentID"]
            settlement = real_price(detail.get("LastSettlementPrice"))
            if settlement is not None:
                self.contracts.take_settlement(instrument, settlement)
            base = settlement if settlement is not None else float(detail["OpenPrice"])
            self.start.append((instrument, opening_side(detail["Direction"]),
                               Lot(detail.get("TradeID", ""), float(detail["OpenPrice"]), base, volume, False)))

    def rebuild(self, trades: Iterable[Record]) -> None:
        """The positions again: yesterday's lots, then these trades in this order."""
        self.holdings, self.commissions, self.applied, self.waiting = {}, {}, [], []
        for instrument, side, lot in self.start:
            copy = Lot(lot.trade_id, lot.open_price, lot.base, lot.volume, False)
            self._holding(instrument, side).lots.append(copy)
        self.synced = True
        for trade in trades:
            self.trade(trade)

    def trade(self, trade: Record) -> None:
        """One more trade, in order (after those applied)."""
        if not self.synced:
            return              # the next rebuild takes it
        if self.waiting or not self.contracts.complete(trade["InstrumentID"]):
            self.waiting.append(trade)      # in order: none goes before one that waits
            return
        self._apply(trade)

    def retry(self) -> None:
        """Contracts or rates came: the trades that waited for them go in, in order."""
        waiting, self.waiting = self.waiting, []
        for trade in waiting:
            self.trade(trade)

    def missing(self) -> set[str]:
        """Instruments held or traded whose contract or rates are not known."""
        instruments = {instrument for instrument, _, _ in self.start} | {t["InstrumentID"] for t in self.waiting}
        return {instrument for instrument in instruments if not self.contracts.complete(instrument)}

    # ---- reading ------------------------------------------------------------------------------

    def positions(self, working: Iterable[OrderLike] = ()) -> list[Position]:
        """Every position of the day (closed-out ones too, with what they made), with the lots that
        working orders will close."""
        frozen = self._frozen_lots(working)
        return [self._position(holding, frozen) for holding in self.holdings.values()]

    def position(self, instrument: str, side: PosiDirection, working: Iterable[OrderLike] = ()) -> Position:
        holding = self.holdings.get((instrument, side)) or Holding(instrument, side)
        return self._position(holding, self._frozen_lots(working))

    def pnl(self, working: Iterable[OrderLike] = (), instrument: str | None = None) -> PnL:
        """The P&L of one instrument, or of all (None)."""
        realised = floating = commission = margin = 0
        for holding in self.holdings.values():
            if instrument is not None and holding.instrument != instrument:
                continue
            figures = self._figures(holding)
            realised += figures.realised
            floating += figures.floating
            commission += figures.commission
            margin += figures.margin
        frozen_margin = frozen_commission = 0
        for order in working:
            if instrument is not None and order.instrument != instrument:
                continue
            order_margin, order_commission = self.frozen_money(order)
            frozen_margin += order_margin
            frozen_commission += order_commission
        return PnL(instrument or "", yuan(realised), yuan(floating), yuan(commission), yuan(margin),
                   yuan(frozen_margin), yuan(frozen_commission), yuan(realised + floating - commission))

    def frozen_money(self, order: OrderLike) -> tuple[int, int]:
        """Margin and commission, in cents, that a working order freezes on the front (an order the
        front holds on its book: its remaining volume at its limit price)."""
        if order.status not in RESTING:
            return 0, 0
        contract = self.contracts.contract(order.instrument)
        if contract is None or contract.margin_rate is None or contract.commission_rate is None:
            return 0, 0
        remaining = order.volume - order.traded
        offset = order.offset
        commission = cents(fee(commission_rate(contract.commission_rate, offset), order.price, remaining,
                               contract.multiple))
        margin = 0
        if offset == OffsetFlag.OPEN:
            margin = cents(fee(margin_rate(contract.margin_rate, opening_side(order.direction)), order.price,
                               remaining, contract.multiple))
        return margin, commission

    # ---- internals ----------------------------------------------------------------------------

    def _holding(self, instrument: str, side: PosiDirection) -> Holding:
        key = (instrument, side)
        holding = self.holdings.get(key)
        if holding is None:
            holding = self.holdings[key] = Holding(instrument, side)
        return holding

    def _apply(self, trade: Record) -> None:
        instrument = trade["InstrumentID"]
        contract = self.contracts.contract(instrument)
        assert contract is not None and contract.margin_rate is not None and contract.commission_rate is not None
        price, volume, m = float(trade["Price"]), int(trade["Volume"]), contract.multiple
        offset, direction = trade["OffsetFlag"], trade["Direction"]
        if offset == OffsetFlag.OPEN:
            holding = self._holding(instrument, opening_side(direction))
            holding.lots.append(Lot(trade["TradeID"], price, price, volume, True))
            charged = cents(fee(rate_of(contract.commission_rate, "Open"), price, volume, m))
            holding.commission[True] += charged
        else:
            holding = self._holding(instrument, closing_side(direction))
            sign = 1 if holding.side == LONG else -1
            # Where the exchange keeps them apart the flag picks the part; elsewhere yesterday's go first.
            parts = [offset == OffsetFlag.CLOSE_TODAY] if contract.by_date else [False, True]
            left, taken = volume, {False: 0, True: 0}
            for today in parts:
                for lot in holding.lots:
                    if left == 0:
                        break
                    if lot.today != today or lot.volume == 0:
                        continue
                    n = min(left, lot.volume)
                    lot.close_profit += cents(sign * (price - lot.base) * n * m)
                    lot.close_profit_by_trade += cents(sign * (price - lot.open_price) * n * m)
                    lot.close_amount += cents(price * n * m)
                    lot.close_volume += n
                    lot.volume -= n
                    left -= n
                    taken[today] += n
            if left:
                log.warning("trade %s closes %d lots of %s more than the client knew were held", trade["TradeID"],
                            left, instrument)
            charged = cents(fee(rate_of(contract.commission_rate, "Close"), price, taken[False], m)
                            + fee(rate_of(contract.commission_rate, "CloseToday"), price, taken[True], m))
            # The front books a close of yesterday's lots (apart from today's) on yesterday's part.
            holding.commission[not (contract.by_date and offset != OffsetFlag.CLOSE_TODAY)] += charged
        self.commissions[trade_key(trade)] = charged
        self.applied.append(trade)

    def _frozen_lots(self, working: Iterable[OrderLike]) -> dict[tuple[str, PosiDirection, bool | None], int]:
        """Lots that working closing orders will close, by instrument, side and part (None: a close
        that takes yesterday's lots first, then today's)."""
        frozen: dict[tuple[str, PosiDirection, bool | None], int] = {}
        for order in working:
            if order.offset in ("", OffsetFlag.OPEN):
                continue
            remaining = order.volume - order.traded
            if remaining <= 0:
                continue
            contract = self.contracts.contract(order.instrument)
            part = (order.offset == OffsetFlag.CLOSE_TODAY) if contract is not None and contract.by_date else None
            key = (order.instrument, closing_side(order.direction), part)
            frozen[key] = frozen.get(key, 0) + remaining
        return frozen

    def _position(self, holding: Holding, frozen: Mapping[tuple[str, PosiDirection, bool | None], int]) -> Position:
        instrument, side = holding.instrument, holding.side
        contract = self.contracts.contract(instrument)
        today, yesterday = holding.volume(True), holding.volume(False)
        frozen_today = frozen.get((instrument, side, True), 0)
        frozen_yesterday = frozen.get((instrument, side, False), 0)
        frozen_either = frozen.get((instrument, side, None), 0)
        if contract is not None and contract.by_date:
            closable_today = max(today - frozen_today, 0)
            closable_yesterday = max(yesterday - frozen_yesterday, 0)
        else:       # a close takes yesterday's lots first
            closable = max(today + yesterday - frozen_either - frozen_today - frozen_yesterday, 0)
            closable_yesterday = min(closable, yesterday)
            closable_today = closable - closable_yesterday
        figures = self._figures(holding)
        volume = today + yesterday
        return Position(
            instrument, contract.exchange if contract is not None else "", side, volume, today, yesterday,
            frozen_today + frozen_yesterday + frozen_either, closable_today + closable_yesterday, closable_today,
            closable_yesterday, figures.open_value / volume if volume else 0.0,
            yuan(figures.open_cost), yuan(figures.position_cost), figures.mark, yuan(figures.realised),
            yuan(figures.realised_by_trade), yuan(figures.floating), yuan(figures.floating_by_trade),
            yuan(figures.commission), yuan(figures.margin))

    def _figures(self, holding: Holding) -> Figures:
        contract = self.contracts.contract(holding.instrument)
        mark = self.contracts.mark(holding.instrument)
        sign = 1 if holding.side == LONG else -1
        figures = Figures(mark=mark, commission=holding.commission[False] + holding.commission[True])
        m = contract.multiple if contract is not None else 1
        rate = margin_rate(contract.margin_rate, holding.side) if contract and contract.margin_rate else (0.0, 0.0)
        for lot in holding.lots:
            figures.realised += lot.close_profit
            figures.realised_by_trade += lot.close_profit_by_trade
            if lot.volume == 0:
                continue
            figures.open_value += lot.open_price * lot.volume
            figures.open_cost += cents(lot.open_price * lot.volume * m)
            figures.position_cost += cents(lot.base * lot.volume * m)
            figures.margin += cents(fee(rate, lot.base, lot.volume, m))
            if mark is not None:
                figures.floating += cents(sign * (mark - lot.base) * lot.volume * m)
                figures.floating_by_trade += cents(sign * (mark - lot.open_price) * lot.volume * m)
        return figures


@dataclass
class Figures:
    """A holding's money, in cents."""

    mark: float | None
    commission: int
    realised: int = 0
    realised_by_trade: int = 0
    floating: int = 0
    floating_by_trade: int = 0
    margin: int = 0
    open_cost: int = 0
    position_cost: int = 0
    open_value: float = 0.0     # price × lots of the lots held, for their average opening price


class OrderLike(Protocol):
    """What the ledger reads of an order (``BaseOrder`` has it all)."""

    instrument: str
    direction: str
    offset: str
    price: float
    volume: int
    traded: int
    status: str


def rate_of(record: Record, name: str) -> Rate:
    """A commission rate record's rate for opens ("Open"), closes ("Close") or closes of today's
    lots ("CloseToday")."""
    return float(record[f"{name}RatioByMoney"]), float(record[f"{name}RatioByVolume"])


def commission_rate(record: Record, offset: str) -> Rate:
    """The commission rate an order of this offset pays (or freezes)."""
    if offset == OffsetFlag.OPEN:
        return rate_of(record, "Open")
    return rate_of(record, "CloseToday" if offset == OffsetFlag.CLOSE_TODAY else "Close")


def margin_rate(record: Record, side: PosiDirection) -> Rate:
    prefix = "Long" if side == LONG else "Short"
    return float(record[f"{prefix}MarginRatioByMoney"]), float(record[f"{prefix}MarginRatioByVolume"])


def trade_key(trade: Mapping[str, object]) -> tuple[object, object, object]:
    """What tells one trade from another: the exchange, its TradeID and its direction (the two
    sides of a trade between two of the investor's sessions share a TradeID)."""
    return trade.get("ExchangeID"), trade.get("TradeID"), trade.get("Direction")

