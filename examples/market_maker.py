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
