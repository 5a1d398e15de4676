"""A small market maker: quotes a bid and an ask around a fair price on one
instrument, follows its fills (the fair price moves to each trade, the quotes
lean against the position), keeps the position within a limit, and stops
after a while with its quotes cancelled. The client does the rest: login,
pacing, order references, reconnects.

    python3.14 examples/market_maker.py [--front sim://mm] [--seconds 10] [--fair 3100]"""

import argparse
import logging
import threading
import time
from collections.abc import Sequence

import ctp
from ctp import Direction, OffsetFlag


class MarketMaker:
    def __init__(self, client: ctp.Client, instrument: str, fair: float, spread: int = 2, size: int = 1,
                 limit: int = 3) -> None:
        (info,) = client.query("QryInstrument", InstrumentID=instrument)
        self.client, self.instrument, self.exchange = client, instrument, info["ExchangeID"]
        self.tick, self.fair, self.spread, self.size, self.limit = info["PriceTick"], fair, spread, size, limit
        self.position = 0                      # lots bought less lots sold, today
        self.fills: list[ctp.Record] = []
        self.quotes: dict[Direction, ctp.Order] = {}

    def prices(self) -> dict[Direction, float]:
        ticks = round(self.fair / self.tick) - self.position      # lean against the position
        return {Direction.BUY: (ticks - self.spread) * self.tick, Direction.SELL: (ticks + self.spread) * self.tick}

    def requote(self) -> None:
        for side, price in self.prices().items():
            quote = self.quotes.get(side)
            if quote is not None and not quote.done:
                if quote.price == price:
                    continue
                self.withdraw(quote)
            room = self.limit - self.position if side is Direction.BUY else self.limit + self.position
            if room <= 0:
                self.quotes.pop(side, None)
                continue
            closing = self.position > 0 if side is Direction.SELL else self.position < 0
            offset = OffsetFlag.CLOSE_TODAY if closing else OffsetFlag.OPEN
            volume = min(self.size, room, abs(self.position)) if closing else min(self.size, room)
            self.quotes[side] = self.client.insert_order(self.instrument, side, volume, price,
                                                         exchange=self.exchange, offset=offset)

    def withdraw(self, quote: ctp.Order) -> None:
        try:
            self.client.cancel(quote)
        except ctp.CtpError as refused:        # it traded meanwhile: its trade comes as an event
            logging.info("cancel refused: %s", refused)

    def on_trade(self, trade: ctp.Record) -> None:
        self.fills.append(trade)
        self.position += trade["Volume"] if trade["Direction"] == Direction.BUY else -trade["Volume"]
        self.fair = trade["Price"]
        print(f"{Direction(trade['Direction']).name.lower()} {trade['Volume']} @ {trade['Price']:g}: "
              f"position {self.position}")

    def run(self, seconds: float, stop: threading.Event | None = None) -> None:
        events = self.client.events(timeout=0.1)
        self.requote()
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and not (stop and stop.is_set()):
            for event in events:
                if event["name"] == "RtnTrade" and event["data"]["InstrumentID"] == self.instrument:
                    self.on_trade(event["data"])
                if event["name"] in ("RtnTrade", "Reconnected"):
                    try:
                        self.requote()
                    except ctp.Disconnected as error:      # quotes again once reconnected
                        logging.warning("not quoting: %s", error)
        events.close()
        for quote in self.quotes.values():
            if not quote.done:
                self.withdraw(quote)


def _mid(tick: ctp.Record) -> float | None:
    bid, ask = tick["BidPrice1"], tick["AskPrice1"]
    if 0 < bid < 1e300 and 0 < ask < 1e300:
        return float(bid + ask) / 2
    last = tick["LastPrice"]
    return float(last) if 0 < last < 1e300 else None


def run(client: ctp.Client, market: ctp.MarketData, instruments: Sequence[str], *, seconds: float | None = None,
        stop: threading.Event | None = None, lots: int = 1) -> None:
    """Makes a market in each instrument, quoting ``lots`` a side around a fair price (the middle of
    its first tick's quotes, then each of its trades), until ``seconds`` elapse, ``stop`` is set,
    or the market-data session ends (a replay's tape ended); then withdraws its quotes. Each tick is handled whole (the trades it caused taken in,
    then the quotes moved) before the next is taken, so a replay gives the same fills every time."""
    makers = {instrument: MarketMaker(client, instrument, 0.0, size=lots) for instrument in instruments}
    events = client.events(timeout=0)
    ticks = market.ticks(timeout=0.1)
    market.subscribe(*instruments)
    deadline = None if seconds is None else time.monotonic() + seconds

    def going() -> bool:
        return not (stop is not None and stop.is_set()) and (deadline is None or time.monotonic() < deadline)

    try:
        while going() and not market.replay_ended:
            for tick in ticks:
                traded: dict[str, None] = {}           # in the order traded: the same order every run
                for event in events:
                    trade = event.get("data")
                    if event["name"] == "RtnTrade" and trade is not None and trade["InstrumentID"] in makers:
                        makers[trade["InstrumentID"]].on_trade(trade)
                        traded[trade["InstrumentID"]] = None
                maker, mid = makers.get(tick["InstrumentID"]), _mid(tick)
                if maker is not None and not maker.fair and mid is not None:
                    maker.fair = mid                       # the first tick sets the fair price; fills move it
                    traded[maker.instrument] = None
                for instrument in traded:
                    try:
                        makers[instrument].requote()
                    except ctp.Disconnected as error:      # quotes again once reconnected
                        logging.warning("not quoting: %s", error)
                if not going():
                    break
    finally:
        ticks.close()
        events.close()
        for maker in makers.values():
            for quote in maker.quotes.values():
                if not quote.done:
                    maker.withdraw(quote)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--front", default="sim://mm")
    parser.add_argument("--broker", default="9999")
    parser.add_argument("--user", default="000002")
    parser.add_argument("--password", default="123456")
    parser.add_argument("--instrument", default="rb2705")
    parser.add_argument("--fair", type=float, default=3100.0)
    parser.add_argument("--seconds", type=float, default=10.0)
    args = parser.parse_args()
    logging.basicConfig(level=logging.WARNING)
    with ctp.Client(args.front, args.broker, args.user, args.password, "standin_client_1.0",
                    "0000000000000000") as client:
        maker = MarketMaker(client, args.instrument, args.fair)
        print(f"quoting {args.instrument} around {args.fair:g} for {args.seconds:g} s")
        maker.run(args.seconds)
        (account,) = client.query("QryTradingAccount")
        print(f"{len(maker.fills)} fills, position {maker.position}, close profit {account['CloseProfit']:.2f}, "
              f"position profit {account['PositionProfit']:.2f}, commission {account['Commission']:.2f}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
