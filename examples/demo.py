"""A short trading session on the simulated front that the stand-in trader
library embeds (sim://demo), with its built-in investor: log in, look at the
instruments, the account and the positions, buy something that fills, place
an order that rests and cancel it, then watch the market move tick by tick
and trade once it has moved two ticks. Prints one line per step; exits
non-zero when a step fails. The same code runs against a real front given
its address and an investor's credentials (the market then moves by itself).

    python3.14 examples/demo.py [FRONT]     (FRONT defaults to sim://demo)"""

import sys

import _ctp
import ctp
from ctp import Direction, OffsetFlag, OrderStatus

FRONT = "sim://demo"
BROKER, USER, PASSWORD = "9999", "000001", "123456"
APP_ID, AUTH_CODE = "standin_client_1.0", "0000000000000000"
# rb2705 on the simulated front: reference price 3100, price tick 1; its
# simulated market sells from 3101 up and buys from 3099 down.
INSTRUMENT = "rb2705"
BUY_PRICE, REST_PRICE = 3102.0, 3090.0


class Failed(Exception):
    pass


def run(client: ctp.Client) -> None:
    print(f"logged in to {client.front} as {BROKER}/{USER}: trading day {client.trading_day}, "
          f"front {client.front_id}, session {client.session_id}")

    instruments = {i["InstrumentID"]: i for i in client.query("QryInstrument")}
    if INSTRUMENT not in instruments:
        raise Failed(f"{INSTRUMENT} is not traded here")
    rb = instruments[INSTRUMENT]
    print(f"{len(instruments)} instruments; {INSTRUMENT} on {rb['ExchangeID']}, tick {rb['PriceTick']:g}")

    (start,) = client.query("QryTradingAccount")
    print(f"account: balance {start['Balance']:.2f}, available {start['Available']:.2f}, "
          f"margin {start['CurrMargin']:.2f}")
    positions = client.query("QryInvestorPosition")
    held = ", ".join(f"{p['InstrumentID']} {ctp.PosiDirection(p['PosiDirection']).name.lower()} {p['Position']}"
                     + (f" ({p['YdPosition']} from yesterday)" if p["YdPosition"] else "") for p in positions)
    where = ("; the simulated front starts each investor with the positions of its configuration"
             if client.front.startswith("sim://") else "")
    print(f"positions: {held}{where}" if held else "positions: none")

    bought = client.insert_order(INSTRUMENT, Direction.BUY, 2, BUY_PRICE, exchange=rb["ExchangeID"]).wait()
    if bought.status != OrderStatus.ALL_TRADED:
        raise Failed(f"the buy did not fill: {bought.error or bought.status_msg}")
    fills = ", ".join(f"{t['Volume']}@{t['Price']:g}" for t in bought.trades)
    print(f"bought 2 {INSTRUMENT} at up to {BUY_PRICE:g}: traded {fills} (order {bought.order_sys_id})")

    bid = client.insert_order(INSTRUMENT, Direction.BUY, 1, REST_PRICE, exchange=rb["ExchangeID"])
    client.cancel(bid)
    if bid.status != OrderStatus.CANCELED or bid.traded:
        raise Failed(f"the bid was not cancelled: {bid.error or bid.status_msg}")
    print(f"bid 1 at {REST_PRICE:g} rested as order {bid.order_sys_id}, then cancelled")

    (account,) = client.query("QryTradingAccount")
    if account["FrozenMargin"] != 0 or account["Commission"] <= 0:
        raise Failed("the account does not show the trade and the cancel")
    print(f"account afterwards: balance {account['Balance']:.2f} ({moved(start, account)}), "
          f"margin {account['CurrMargin']:.2f}")


def moved(before: ctp.Record, after: ctp.Record) -> str:
    """What changed the balance. It is yesterday's balance plus deposits less withdrawals, plus
    the profit of closed positions and of open ones (valued at market prices), less commission."""
    parts = [("Commission", "commission", -1), ("PositionProfit", "position profit", 1),
             ("CloseProfit", "close profit", 1), ("Deposit", "deposit", 1), ("Withdraw", "withdrawal", -1)]
    changes = [f"{name} {sign * (after[key] - before[key]):+.2f}" + (" at market prices" if key == "PositionProfit"
                                                                   else "")
               for key, name, sign in parts if after[key] != before[key]]
    return f"{after['Balance'] - before['Balance']:+.2f}: {', '.join(changes)}" if changes else "unchanged"


def react(client: ctp.Client, market: ctp.MarketData, exchange: str, tick_size: float) -> None:
    """Follows the instrument's ticks; once the middle of the best bid and
    ask has moved two ticks from the first, trades: buys the dip, or sells
    into the rise what was bought today."""
    if market.front.startswith("sim://"):
        from ctp import sim  # the simulated market moves only when told to

        sim.walk(market.front, INSTRUMENT, 7, 50)
    try:
        ticks = market.ticks(timeout=30)
        market.subscribe(INSTRUMENT)
        first = None
        for seen, tick in enumerate(ticks):
            if seen == 5000:
                raise Failed("the market did not move two ticks")
            if tick["InstrumentID"] != INSTRUMENT:
                continue
            mid = (tick["BidPrice1"] + tick["AskPrice1"]) / 2
            if first is None or mid != last:
                print(f"tick {tick['UpdateTime']}.{tick['UpdateMillisec']:03d}: bid {tick['BidPrice1']:g} "
                      f"x {tick['BidVolume1']}, ask {tick['AskPrice1']:g} x {tick['AskVolume1']}")
            first = mid if first is None else first
            last = mid
            if abs(last - first) >= 2 * tick_size:
                break
        else:
            raise Failed("the market did not move two ticks")
    finally:
        if market.front.startswith("sim://"):
            sim.walk(market.front, INSTRUMENT, 7, 0)
    if last < first:
        order = client.insert_order(INSTRUMENT, Direction.BUY, 1, tick["AskPrice1"], exchange=exchange).wait()
        side = "bought 1 on the dip"
    else:
        order = client.insert_order(INSTRUMENT, Direction.SELL, 1, tick["BidPrice1"], exchange=exchange,
                                    offset=OffsetFlag.CLOSE_TODAY).wait()
        side = "sold 1 into the rise"
    if order.status != OrderStatus.ALL_TRADED:
        raise Failed(f"the reaction did not fill: {order.error or order.status_msg}")
    print(f"moved from {first:g} to {last:g}: {side}, traded "
          + ", ".join(f"{t['Volume']}@{t['Price']:g}" for t in order.trades))


def main(front: str = FRONT) -> int:
    print(f"trader library {_ctp.version()}")
    try:
        # One driver runs both sessions: while the demo reads ticks, the trading session is read too.
        with ctp.Driver() as driver, ctp.Client(front, BROKER, USER, PASSWORD, APP_ID, AUTH_CODE,
                                                driver=driver) as client:
            run(client)
            with ctp.MarketData(front, BROKER, USER, PASSWORD, driver=driver) as market:
                react(client, market, "SHFE", 1.0)
    except (Failed, ctp.CtpError, ctp.Disconnected, TimeoutError) as failure:
        print(f"demo failed: {failure}", file=sys.stderr)
        return 1
    print("done")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:2]))
