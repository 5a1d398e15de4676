"""``python -m ctp``: the checks to run first with a new account.

    python -m ctp COMMAND [--front F] [--broker B] [--user U] [--app-id A] [--auth-code C]
                          [--flow DIR] [--timeout SECONDS] [--json] [-v]
                          [--instrument ID] [--trading-day YYYYMMDD]
    python -m ctp record ...     (ticks to files: python -m ctp record --help)
    python -m ctp --version

COMMAND is ``login`` (connect, authenticate, log in: the trading day, front and
session), ``instruments``, ``account``, ``positions``, ``orders``, ``trades``
(today's), ``rates`` (each instrument's margin and commission rates, or
``--instrument``'s) or ``settlement`` (the settlement statement of the last
settled day, or ``--trading-day``'s, as text).
Options default to the environment variables CTP_FRONT, CTP_BROKER, CTP_USER,
CTP_APP_ID and CTP_AUTH_CODE; the password comes from CTP_PASSWORD or a prompt,
never from the command line.

Tables and JSON show the same records with the same names for codes ("long",
"all_traded"); ``--json`` prints every command's records as one JSON array of
objects (``login``: one object). Exit status: 0 done, 1 failed (one line on
stderr says why), 2 bad usage, 130 interrupted."""

from __future__ import annotations

import argparse
import getpass
import json
import logging
import math
import os
import sys
import warnings
from collections.abc import Sequence
from enum import StrEnum
from typing import Any, NoReturn

import _ctp

from . import Client, CtpError, Disconnected, Overflowed, Record, __version__
from ._args import check_fronts
from .codes import (
    ActionFlag,
    ContingentCondition,
    Direction,
    ForceCloseReason,
    HedgeFlag,
    OffsetFlag,
    OrderPriceType,
    OrderStatus,
    OrderSubmitStatus,
    PosiDirection,
    PositionDate,
    ProductClass,
    TimeCondition,
    VolumeCondition,
)

PROG = "python -m ctp"
COLUMNS = {
    "instruments": ("ExchangeID", "InstrumentID", "ProductClass", "PriceTick", "MinLimitOrderVolume",
                    "MaxLimitOrderVolume", "IsTrading"),
    "positions": ("ExchangeID", "InstrumentID", "PosiDirection", "PositionDate", "Position", "TodayPosition",
                  "YdPosition", "LongFrozen", "ShortFrozen", "UseMargin", "PositionProfit"),
    "orders": ("InsertTime", "ExchangeID", "InstrumentID", "OrderSysID", "FrontID", "SessionID", "OrderRef",
               "Direction", "CombOffsetFlag", "LimitPrice", "VolumeTotalOriginal", "VolumeTraded", "OrderStatus",
               "StatusMsg"),
    "trades": ("TradeTime", "ExchangeID", "InstrumentID", "TradeID", "OrderSysID", "OrderRef", "Direction",
               "OffsetFlag", "HedgeFlag", "Price", "Volume"),
    "rates": ("ExchangeID", "InstrumentID", "LongMarginRatioByMoney", "LongMarginRatioByVolume",
              "ShortMarginRatioByMoney", "ShortMarginRatioByVolume", "OpenRatioByMoney", "OpenRatioByVolume",
              "CloseRatioByMoney", "CloseRatioByVolume", "CloseTodayRatioByMoney", "CloseTodayRatioByVolume"),
}
# Codes shown by name, in tables and JSON alike ("2" -> "long"); the Comb... keys hold one code per leg.
CODES: dict[str, type[StrEnum]] = {
    "ActionFlag": ActionFlag, "CombHedgeFlag": HedgeFlag, "CombOffsetFlag": OffsetFlag,
    "ContingentCondition": ContingentCondition, "Direction": Direction, "ForceCloseReason": ForceCloseReason,
    "HedgeFlag": HedgeFlag, "OffsetFlag": OffsetFlag, "OrderPriceType": OrderPriceType,
    "OrderStatus": OrderStatus, "OrderSubmitStatus": OrderSubmitStatus, "PosiDirection": PosiDirection,
    "PositionDate": PositionDate, "ProductClass": ProductClass, "TimeCondition": TimeCondition,
    "VolumeCondition": VolumeCondition,
}
QUERY = {"instruments": "QryInstrument", "account": "QryTradingAccount", "positions": "QryInvestorPosition",
         "orders": "QryOrder", "trades": "QryTrade"}
RATES = ("QryInstrumentMarginRate", "QryInstrumentCommissionRate")
COMMANDS = ("login", *QUERY, "rates", "settlement", "record")


class Failed(Exception):
    """A failure the command reports in one line."""


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        """Bad usage in one line (argparse would print the whole usage first)."""
        self.exit(2, f"{self.prog}: {message} (see {self.prog} --help)\n")


def valid_text(value: str) -> str:
    """An option's text, refused when it cannot be encoded (bytes that were not UTF-8)."""
    try:
        value.encode()
    except UnicodeEncodeError:
        raise argparse.ArgumentTypeError(f"not valid text (bytes that are not UTF-8): {value!r}") from None
    return value


def front_addresses(value: str) -> list[str]:
    """One front address, or several apart by commas (tried in order, as the vendor's library does)."""
    fronts = [front.strip() for front in valid_text(value).split(",")]
    try:
        return list(check_fronts(fronts))
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def seconds(value: str) -> float:
    try:
        number = float(value)
    except ValueError:
        number = math.nan
    if not (math.isfinite(number) and number > 0):
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds, not {value!r}")
    return number


def trading_day(value: str) -> str:
    if len(value) != 8 or not value.isascii() or not value.isdigit():
        raise argparse.ArgumentTypeError(f"must be a date as YYYYMMDD, not {value!r}")
    return value


def parse(argv: Sequence[str] | None) -> argparse.Namespace:
    env = os.environ.get
    parser = Parser(prog=PROG, description="The checks to run first with a new account: log in, then list the "
                    "instruments, the account, the positions, today's orders or today's trades, the rates or a "
                    "settlement statement.",
                    epilog="The password comes from CTP_PASSWORD or a prompt. Exit status: 0 done, 1 failed, "
                    "2 bad usage, 130 interrupted. 'record' has options of its own: python -m ctp record --help.")
    parser.add_argument("command", choices=COMMANDS,
                        help="login: connect, authenticate, log in and show the trading day, front and session; "
                        "rates: each instrument's margin and commission rates; settlement: the statement of the "
                        "last settled day (or --trading-day's); record: write market data to files (see "
                        "python -m ctp record --help); the others: log in and show what the query answers")
    parser.add_argument("--front", type=front_addresses, default=env("CTP_FRONT"), required=env("CTP_FRONT") is None,
                        help="front address, e.g. tcp://host:port or sim://NAME, or several apart by commas, tried "
                        "in order after a drop ($CTP_FRONT)")
    parser.add_argument("--broker", type=valid_text, default=env("CTP_BROKER"), required=env("CTP_BROKER") is None,
                        help="broker id ($CTP_BROKER)")
    parser.add_argument("--user", type=valid_text, default=env("CTP_USER"), required=env("CTP_USER") is None,
                        help="user and investor id ($CTP_USER)")
    parser.add_argument("--app-id", type=valid_text, default=env("CTP_APP_ID", ""), help="app id ($CTP_APP_ID)")
    parser.add_argument("--auth-code", type=valid_text, default=env("CTP_AUTH_CODE", ""),
                        help="auth code ($CTP_AUTH_CODE)")
    parser.add_argument("--flow", type=valid_text, default=None,
                        help="directory for the vendor's flow files, made if missing (by default one per front "
                        "and user under the temporary directory)")
    parser.add_argument("--timeout", type=seconds, default=10.0, help="seconds to wait for each answer (10)")
    parser.add_argument("--json", action="store_true", help="a JSON array of the records instead of a table")
    parser.add_argument("--instrument", type=valid_text, default=None,
                        help="rates: this instrument's only (by default every instrument's)")
    parser.add_argument("--trading-day", type=trading_day, default=None,
                        help="settlement: this trading day's statement (by default the last settled)")
    parser.add_argument("-v", "--verbose", action="store_true", help="log the session's steps to stderr")
    parser.add_argument("--version", action="version",
                        version=f"ctp {__version__}; trader library {_ctp.version()}")
    return parser.parse_args(argv)


def named(record: Record) -> Record:
    """The record with its codes by name ("long"); an unknown code stays as it is."""
    def name(kind: type[StrEnum], code: str) -> str:
        try:
            return "+".join(kind(c).name.lower() for c in code)
        except ValueError:
            return code
    return {key: name(CODES[key], value) if key in CODES and isinstance(value, str) and value else value
            for key, value in record.items()}


def table(records: list[Record], columns: Sequence[str]) -> str:
    """Records as aligned columns; numbers to the right."""
    def cell(value: Any) -> str:
        return number(value) if isinstance(value, float) else str(value)
    rows = [list(columns)] + [[cell(record.get(column, "")) for column in columns] for record in records]
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


def password_for(user: str) -> str:
    """CTP_PASSWORD, else the answer to a prompt on the terminal; Failed where there is none to ask on."""
    password = os.environ.get("CTP_PASSWORD")
    if password is None:
        with warnings.catch_warnings():
            warnings.simplefilter("error", getpass.GetPassWarning)   # getpass would read stdin, echoing
            try:
                password = getpass.getpass(f"password for {user}: ")
            except (getpass.GetPassWarning, EOFError):
                raise Failed("no password: set CTP_PASSWORD, or run it on a terminal to be asked") from None
    try:
        password.encode()
    except UnicodeEncodeError:
        raise Failed("the password is not valid text (bytes that are not UTF-8)") from None
    return password


def records(args: argparse.Namespace, password: str) -> list[Record]:
    """Logs in and returns what the command shows, codes by name."""
    if args.flow is not None:
        try:
            os.makedirs(args.flow, exist_ok=True)
        except OSError as error:
            raise Failed(f"cannot use --flow {args.flow}: {error.strerror or error}") from None
    # Each command shows what the front answers: no positions kept, so no queries for them at login.
    with Client(args.front, args.broker, args.user, password, args.app_id, args.auth_code, flow=args.flow,
                timeout=args.timeout, track=False) as client:
        if args.command == "login":
            found = [{"TradingDay": client.trading_day, "Front": ",".join(args.front), "FrontID": client.front_id,
                      "SessionID": client.session_id, "MaxOrderRef": client.max_order_ref}]
        elif args.command == "rates":
            found = rates(client, args.instrument)
        elif args.command == "settlement":
            found = [{"TradingDay": args.trading_day or "", "Content": client.settlement(args.trading_day)}]
        else:
            found = client.query(QUERY[args.command])
    return [named(record) for record in found]


def rates(client: Client, instrument: str | None) -> list[Record]:
    """Each instrument's margin and commission rates, as one record per instrument."""
    if instrument is not None:
        joined = client.margin_rate(instrument) | client.commission_rate(instrument)
        return [{key: joined[key] for key in ("ExchangeID", "InstrumentID", *COLUMNS["rates"][2:])}]
    by_instrument: dict[str, Record] = {}
    for name in RATES:
        for record in client.query(name):
            by_instrument.setdefault(record["InstrumentID"], {}).update(record)
    return [{key: record.get(key, "") for key in COLUMNS["rates"]} for _, record in sorted(by_instrument.items())]


def show(args: argparse.Namespace, found: list[Record]) -> str:
    if args.json:
        return json.dumps(found, ensure_ascii=False, indent=1)
    if args.command == "settlement":
        return found[0]["Content"].rstrip("\n") or "(no settlement)"
    if args.command in ("login", "account"):
        return "\n\n".join(pairs(record) for record in found) or f"(no {args.command})"
    return table(found, COLUMNS[args.command]) if found else f"(no {args.command})"


def main(argv: Sequence[str] | None = None) -> int:
    given = sys.argv[1:] if argv is None else list(argv)
    if given[:1] == ["record"]:     # the recorder lives in ctp.data, with the optional data libraries
        try:
            from .data import record_main
        except ImportError as error:
            print(f"record: {error}", file=sys.stderr)
            return 1
        return record_main(given[1:])
    try:
        args = parse(argv)
        if args.verbose:
            logging.basicConfig(level=logging.INFO, stream=sys.stderr,
                                format="%(asctime)s %(name)s %(levelname)s %(message)s")
        elif not logging.getLogger("ctp").handlers:     # the failure's one line says it all
            logging.getLogger("ctp").addHandler(logging.NullHandler())
        try:
            output = show(args, records(args, password_for(args.user)))
        except (Failed, CtpError, Disconnected, Overflowed, OSError, ValueError) as error:
            print(f"{args.command} failed: {error}", file=sys.stderr)
            return 1
        print(output)
    except KeyboardInterrupt:
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
