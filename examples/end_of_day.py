"""At the end of the day: cancels the working orders, closes every position across the spread
(the client picks CLOSE or CLOSE_TODAY per exchange), then prints the day's P&L per instrument
and in total, as the client keeps it, beside the front's account.

    CTP_PASSWORD=123456 python3.14 examples/end_of_day.py --front sim://mm --user 000002

The password comes from CTP_PASSWORD, else a prompt."""

from __future__ import annotations

import argparse
import getpass
import os

import ctp
from ctp import PosiDirection

CROSS = 5
"""Ticks past the best opposite price a close is priced at, to be sure it trades."""


def close_everything(client: ctp.Client, timeout: float = 30.0) -> None:
    """Cancels what works, then closes every position and waits for the closes to finish."""
    for order in client.orders:
        if not order.done and order.order_sys_id:
            try:
                client.cancel(order)
            except ctp.CtpError:
                pass                    # it finished meanwhile
    closes: list[ctp.Order] = []
    for position in client.positions:
        if not position.closable:
            continue
        contract = client.contract(position.instrument)
        (depth,) = client.query("QryDepthMarketData", InstrumentID=position.instrument)
        selling = position.side == PosiDirection.LONG
        best = depth["BidPrice1" if selling else "AskPrice1"]
        if not 0 < best < 1e300:
            best = depth["LastPrice"] if 0 < depth["LastPrice"] < 1e300 else contract.settlement or 0.0
        price = best - CROSS * contract.tick if selling else best + CROSS * contract.tick
        low, high = depth["LowerLimitPrice"], depth["UpperLimitPrice"]
        if 0 < low < high < 1e300:
            price = min(max(price, low), high)
        closes += client.close_position(position.instrument, position.side, position.closable, price)
    for order in closes:
        order.wait(timeout)
        if order.error is not None:
            print(f"close of {order.instrument} refused: {order.error}")


def breakdown(client: ctp.Client) -> str:
    rows: list[tuple[str, ...]] = [("instrument", "realised", "floating", "commission", "margin", "net")]
    for instrument in sorted({position.instrument for position in client.positions}):
        pnl = client.pnl(instrument)
        rows.append((instrument, *(f"{value:.2f}" for value in (pnl.realised, pnl.floating, pnl.commission,
                                                                  pnl.margin, pnl.net))))
    total = client.pnl()
    rows.append(("total", *(f"{value:.2f}" for value in (total.realised, total.floating, total.commission,
                                                         total.margin, total.net))))
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    return "\n".join("  ".join(cell.ljust(w) if i == 0 else cell.rjust(w) for i, (cell, w) in
                               enumerate(zip(row, widths))) for row in rows)


def main() -> int:
    env = os.environ.get
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--front", default=env("CTP_FRONT", "sim://mm"), help="trading front ($CTP_FRONT)")
    parser.add_argument("--broker", default=env("CTP_BROKER", "9999"))
    parser.add_argument("--user", default=env("CTP_USER", "000002"))
    parser.add_argument("--app-id", default=env("CTP_APP_ID", "standin_client_1.0"))
    parser.add_argument("--auth-code", default=env("CTP_AUTH_CODE", "0000000000000000"))
    args = parser.parse_args()
    secret = env("CTP_PASSWORD") or getpass.getpass("password: ")
    with ctp.Client(args.front, args.broker, args.user, secret, args.app_id, args.auth_code) as client:
        close_everything(client)
        print(breakdown(client))
        (account,) = client.query("QryTradingAccount")
        print(f"the front's account: close profit {account['CloseProfit']:.2f}, position profit "
              f"{account['PositionProfit']:.2f}, commission {account['Commission']:.2f}, margin "
              f"{account['CurrMargin']:.2f}")
        left = [p for p in client.positions if p.volume]
        print("flat" if not left else "still held: " + ", ".join(
            f"{p.instrument} {p.side.name.lower()} {p.volume}" for p in left))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
