"""``python -m ctp``: the checks to run first with a new account.

    python -m ctp [--front F] [--broker B] [--user U] [--app-id A] [--auth-code C] [--json] COMMAND

COMMAND is ``login`` (connect, authenticate, log in: the trading day, front and
session), ``instruments``, ``account``, ``positions`` or ``orders``. Options
default to the environment variables CTP_FRONT, CTP_BROKER, CTP_USER,
CTP_APP_ID and CTP_AUTH_CODE; the password comes from CTP_PASSWORD or a prompt,
never from the command line."""

from __future__ import annotations

import argparse
import getpass
import json
import logging
import os
import sys
from collections.abc import Sequence
from enum import StrEnum
from typing import Any

from ._blocking import Client
from ._core import CtpError, Disconnected, Overflowed, Record
from .codes import Direction, OffsetFlag, OrderStatus, PosiDirection, PositionDate, ProductClass

COLUMNS = {
    "instruments": ("ExchangeID", "InstrumentID", "ProductClass", "PriceTick", "MinLimitOrderVolume",
                    "MaxLimitOrderVolume", "IsTrading"),
    "positions": ("ExchangeID", "InstrumentID", "PosiDirection", "PositionDate", "Position", "TodayPosition",
                  "YdPosition", "LongFrozen", "ShortFrozen", "UseMargin", "PositionProfit"),
    "orders": ("InsertTime", "ExchangeID", "InstrumentID", "OrderSysID", "FrontID", "SessionID", "OrderRef",
               "Direction", "CombOffsetFlag", "LimitPrice", "VolumeTotalOriginal", "VolumeTraded", "OrderStatus",
               "StatusMsg"),
}
# Code columns shown by name in tables ("2" -> "long").
CODES: dict[str, type[StrEnum]] = {
    "ProductClass": ProductClass, "PosiDirection": PosiDirection, "PositionDate": PositionDate,
    "Direction": Direction, "CombOffsetFlag": OffsetFlag, "OrderStatus": OrderStatus,
}
QUERY = {"instruments": "QryInstrument", "account": "QryTradingAccount", "positions": "QryInvestorPosition",
         "orders": "QryOrder"}


def parse(argv: Sequence[str] | None) -> argparse.Namespace:
    env = os.environ.get
    parser = argparse.ArgumentParser(prog="python -m ctp", description="The checks to run first with a new "
                                     "account: log in, then list the instruments, the account, the positions or "
                                     "today's orders.", epilog="The password comes from CTP_PASSWORD or a prompt.")
    parser.add_argument("command", choices=("login", "instruments", "account", "positions", "orders"),
                        help="login: connect, authenticate, log in and show the trading day, front and session; "
                        "the others: log in and show what the query answers")
    parser.add_argument("--front", default=env("CTP_FRONT"), required=env("CTP_FRONT") is None,
                        help="front address, e.g. tcp://host:port or sim://NAME ($CTP_FRONT)")
    parser.add_argument("--broker", default=env("CTP_BROKER"), required=env("CTP_BROKER") is None,
                        help="broker id ($CTP_BROKER)")
    parser.add_argument("--user", default=env("CTP_USER"), required=env("CTP_USER") is None,
                        help="user and investor id ($CTP_USER)")
    parser.add_argument("--app-id", default=env("CTP_APP_ID", ""), help="app id ($CTP_APP_ID)")
    parser.add_argument("--auth-code", default=env("CTP_AUTH_CODE", ""), help="auth code ($CTP_AUTH_CODE)")
    parser.add_argument("--flow", default=None, help="flow directory (a temporary one by default)")
    parser.add_argument("--timeout", type=float, default=10.0, help="seconds to wait for each answer (10)")
    parser.add_argument("--json", action="store_true", help="JSON instead of a table")
    parser.add_argument("-v", "--verbose", action="store_true", help="log the session's steps to stderr")
    return parser.parse_args(argv)


def table(records: list[Record], columns: Sequence[str]) -> str:
    """Records as aligned columns; numbers to the right."""
    def cell(column: str, value: Any) -> str:
        if column in CODES and isinstance(value, str):
            try:
                return CODES[column](value[:1]).name.lower()
            except ValueError:
                return value
        return number(value) if isinstance(value, float) else str(value)
    rows = [list(columns)] + [[cell(column, record.get(column, "")) for column in columns] for record in records]
    widths = [max(len(row[i]) for row in rows) for i in range(len(columns))]
    numeric = [bool(records) and all(isinstance(r.get(c), (int, float)) for r in records) for c in columns]
    lines = []
    for row in rows:
        cells = [text.rjust(width) if right else text.ljust(width)
                 for text, width, right in zip(row, widths, numeric)]
        lines.append("  ".join(cells).rstrip())
    return "\n".join(lines)


def number(value: float) -> str:
    """Money with two decimals; finer values (a tick of 0.005) as they are."""
    return f"{value:.2f}" if round(value, 2) == value else f"{value:g}"


def pairs(record: Record) -> str:
    width = max(map(len, record), default=0)
    return "\n".join(f"{key.ljust(width)}  {number(value) if isinstance(value, float) else value}"
                     for key, value in record.items())


def run(args: argparse.Namespace, password: str) -> str:
    with Client(args.front, args.broker, args.user, password, args.app_id, args.auth_code, flow=args.flow,
                timeout=args.timeout) as client:
        if args.command == "login":
            login = {"TradingDay": client.trading_day, "Front": args.front, "FrontID": client.front_id,
                     "SessionID": client.session_id, "MaxOrderRef": client.max_order_ref}
            return json.dumps(login, ensure_ascii=False) if args.json else pairs(login)
        records = client.query(QUERY[args.command])
    if args.json:
        return json.dumps(records, ensure_ascii=False, indent=1)
    if args.command == "account":
        return "\n\n".join(pairs(record) for record in records) or "(no account)"
    return table(records, COLUMNS[args.command]) if records else f"(no {args.command})"


def main(argv: Sequence[str] | None = None) -> int:
    args = parse(argv)
    logging.basicConfig(level=logging.INFO if args.verbose else logging.WARNING, stream=sys.stderr,
                        format="%(asctime)s %(name)s %(levelname)s %(message)s")
    password = os.environ.get("CTP_PASSWORD")
    if password is None:
        password = getpass.getpass(f"password for {args.user}: ")
    try:
        print(run(args, password))
    except (CtpError, Disconnected, Overflowed, TimeoutError) as error:
        print(f"{args.command} failed: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["record"]:     # the recorder lives in ctp.data, with the optional data libraries
        try:
            from .data import record_main
        except ImportError as error:
            sys.exit(f"record: {error}")
        sys.exit(record_main(sys.argv[2:]))
    sys.exit(main())
