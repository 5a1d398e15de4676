"""A small market maker: on each instrument it quotes a bid and an ask at the market's best
prices, leans them against the position the client keeps (long: both quotes a tick lower per
lot, so that selling comes first), closes before it opens (the client picks CLOSE or
CLOSE_TODAY), keeps each side within a limit, and cancels its quotes when it stops. It keeps no
state of its own: the position, its lots and its P&L are the client's.

On the simulated front the market walks by itself, so the quotes fill out of the box:

    CTP_PASSWORD=123456 python3.14 examples/market_maker.py --seconds 20

The password comes from CTP_PASSWORD, else a prompt."""

from __future__ import annotations

import argparse
import getpass
import logging
import os
import threading
import time
from collections.abc import Sequence

import ctp
from ctp import Direction, PosiDirection

log = logging.getLogger("market_maker")
LIMIT = 5
"""Lots a side may hold, per lot quoted."""
STAY = 2
"""Ticks a quote may be away from where it should be before it moves."""


class Quoter:
    """The quotes of one instrument: at most one working order (or a close split in two) per side."""

    def __init__(self, client: ctp.Client, instrument: str, lots: int) -> None:
        self.client, self.instrument, self.lots = client, instrument, lots
        self.tick = client.contract(instrument).tick
        self.quotes: dict[Direction, list[ctp.Order]] = {Direction.BUY: [], Direction.SELL: []}

    def wanted(self, tick: ctp.Record) -> dict[Direction, float | None]:
        """Where each side should be quoted (None: not at all), from the market's best prices and
        the position."""
        bid, ask = real(tick.get("BidPrice1")), real(tick.get("AskPrice1"))
        last = real(tick.get("LastPrice"))
        if bid is None or ask is None:
            if last is None:
                return {Direction.BUY: None, Direction.SELL: None}
            bid, ask = last - self.tick, last + self.tick
        long = self.client.position(self.instrument, PosiDirection.LONG)
        short = self.client.position(self.instrument, PosiDirection.SHORT)
        net = long.volume - short.volume
        lean = round(net / self.lots) * self.tick
        buy, sell = bid - lean, ask - lean
        if buy >= sell:
            buy = sell - self.tick
        return {Direction.BUY: buy if net < LIMIT * self.lots else None,
                Direction.SELL: sell if -net < LIMIT * self.lots else None}

    def requote(self, tick: ctp.Record) -> None:
        for side, price in self.wanted(tick).items():
            working = [order for order in self.quotes[side] if not order.done]
            # A quote near where it should be stays: it keeps its place in the queue, and the
            # market may come to it.
            if working and price is not None and all(abs(order.price - price) <= STAY * self.tick + 1e-9
                                                     for order in working):
                continue
            for order in working:
                withdraw(self.client, order)
            self.quotes[side] = [] if price is None else self.place(side, price)

    def place(self, side: Direction, price: float) -> list[ctp.Order]:
        """Closes what the opposite position has closable first, else opens."""
        closes = PosiDirection.SHORT if side == Direction.BUY else PosiDirection.LONG
        closable = self.client.position(self.instrument, closes).closable
        try:
            if closable:
                return self.client.close_position(self.instrument, closes, min(self.lots, closable), price)
            return [self.client.insert_order(self.instrument, side, self.lots, price)]
        except ctp.OrderRefused as refused:         # a limit of the client's: no quote on this side for now
            log.info("not quoting %s %s: %s", side.name.lower(), self.instrument, refused)
            return []

    def withdraw(self) -> None:
        for orders in self.quotes.values():
            for order in orders:
                if not order.done:
                    withdraw(self.client, order)


def real(price: object) -> float | None:
    """A price the market has (not 0, not the vendor's "none")."""
    return float(price) if isinstance(price, (int, float)) and 0 < price < 1e300 else None


def withdraw(client: ctp.Client, order: ctp.Order) -> None:
    try:
        client.cancel(order)
    except ctp.CtpError as refused:            # it traded meanwhile: the client counts it
        log.info("cancel refused: %s", refused)
    except ctp.Disconnected as error:
        log.warning("cancel not sent: %s", error)


def run(client: ctp.Client, market: ctp.MarketData, instruments: Sequence[str], *, seconds: float | None = None,
        stop: threading.Event | None = None, lots: int = 1) -> None:
    """Quotes the instruments until ``seconds`` elapse, ``stop`` is set, or the market-data session
    ends or drops (a replay's tape ended); then cancels its quotes. Each tick is handled whole
    before the next is taken, and no tick gives way to a newer one, so a replay gives the same
    fills every time."""
    quoters = {instrument: Quoter(client, instrument, lots) for instrument in instruments}
    ticks = market.ticks(timeout=0.2)
    market.subscribe(*instruments)
    deadline = None if seconds is None else time.monotonic() + seconds
    try:
        while not (stop is not None and stop.is_set()) and (deadline is None or time.monotonic() < deadline):
            tick = next(ticks, None)
            if tick is None:
                if not market.ready or market.replay_ended:
                    log.warning("market data ended")
                    break
                continue
            quoter = quoters.get(tick["InstrumentID"])
            if quoter is None:
                continue
            client.mark(tick)
            try:
                quoter.requote(tick)
            except ctp.Disconnected as error:          # quotes again once the client is back
                log.warning("not quoting: %s", error)
    finally:
        ticks.close()
        for quoter in quoters.values():
            quoter.withdraw()


def password() -> str:
    return os.environ.get("CTP_PASSWORD") or getpass.getpass("password: ")


def main() -> int:
    env = os.environ.get
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--front", default=env("CTP_FRONT", "sim://mm"), help="trading front ($CTP_FRONT)")
    parser.add_argument("--md-front", default=env("CTP_MD_FRONT"), help="market-data front (the trading one)")
    parser.add_argument("--broker", default=env("CTP_BROKER", "9999"))
    parser.add_argument("--user", default=env("CTP_USER", "000002"))
    parser.add_argument("--app-id", default=env("CTP_APP_ID", "standin_client_1.0"))
    parser.add_argument("--auth-code", default=env("CTP_AUTH_CODE", "0000000000000000"))
    parser.add_argument("--instruments", default="rb2705,m2705", help="comma-separated")
    parser.add_argument("--lots", type=int, default=1)
    parser.add_argument("--seconds", type=float, default=20.0)
    args = parser.parse_args()
    logging.basicConfig(level=logging.WARNING)
    instruments = args.instruments.split(",")
    secret = password()
    with ctp.Client(args.front, args.broker, args.user, secret, args.app_id, args.auth_code) as client, \
            ctp.MarketData(args.md_front or args.front, args.broker, args.user, secret,
                           driver=client.driver) as market:
        if args.front.startswith("sim://"):         # the simulated market walks by itself
            from ctp import sim
            for n, instrument in enumerate(instruments):
                sim.walk(args.front, instrument, seed=n + 1, rate=20)
        print(f"quoting {', '.join(instruments)} for {args.seconds:g} s")
        run(client, market, instruments, seconds=args.seconds, lots=args.lots)
        for position in client.positions:
            print(f"{position.instrument} {position.side.name.lower()}: {position.volume} lots "
                  f"({position.today} today), realised {position.realised:.2f}, floating {position.floating:.2f}, "
                  f"commission {position.commission:.2f}")
        pnl = client.pnl()
        print(f"{len(client.trades)} fills; realised {pnl.realised:.2f}, floating {pnl.floating:.2f}, "
              f"commission {pnl.commission:.2f}, margin {pnl.margin:.2f}, net {pnl.net:.2f}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
