"""A short trading session on the simulated front that the stand-in trader
library embeds (sim://demo), with its built-in investor: connect,
authenticate, log in, confirm the settlement, look at the instruments, the
account and the positions, buy something that fills, place an order that
rests and cancel it. Prints one line per event; exits non-zero when a step
fails. The same code runs against a real front given its address and an
investor's credentials.

    python3.14 examples/demo.py [FRONT]     (FRONT defaults to sim://demo)"""

import itertools
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING

import _ctp
from ctp import (ActionFlag, ContingentCondition, Direction, ForceCloseReason, HedgeFlag, OffsetFlag,
                 OrderPriceType, OrderStatus, PosiDirection, PositionDate, TimeCondition, VolumeCondition)

if TYPE_CHECKING:
    from _ctp import Event, Handle, Order, RequestFields, RequestName, Trade

FRONT = "sim://demo"
BROKER, USER, PASSWORD = "9999", "000001", "123456"
APP_ID, AUTH_CODE = "standin_client_1.0", "0000000000000000"
# rb2705 on the simulated front: reference price 3100, price tick 1; its
# simulated market sells from 3101 up and buys from 3099 down.
INSTRUMENT, EXCHANGE = "rb2705", "SHFE"
BUY_PRICE, REST_PRICE = 3102.0, 3090.0

DIRECTION: dict[str, str] = {Direction.BUY: "buy", Direction.SELL: "sell"}
OFFSET: dict[str, str] = {OffsetFlag.OPEN: "open", OffsetFlag.CLOSE: "close", OffsetFlag.CLOSE_TODAY: "close-today",
          OffsetFlag.CLOSE_YESTERDAY: "close-yesterday"}
POSITION: dict[str, str] = {PosiDirection.LONG: "long", PosiDirection.SHORT: "short"}
DATE: dict[str, str] = {PositionDate.TODAY: "today", PositionDate.HISTORY: "yesterday"}


class Failed(Exception):
    pass


def show_order(order: Order | None) -> str:
    if order is None:
        return "(none)"
    return (f"{order['ExchangeID']} {order['InstrumentID']} {DIRECTION[order['Direction']]} "
            f"{OFFSET.get(order['CombOffsetFlag'], '?')} {order['VolumeTotalOriginal']}@{order['LimitPrice']:g} "
            f"status={order['OrderStatus']} traded={order['VolumeTraded']} sys={order['OrderSysID'] or '-'} "
            f"ref={order['OrderRef']} {order['StatusMsg']}")


def show_trade(trade: Trade | None) -> str:
    if trade is None:
        return "(none)"
    return (f"{trade['ExchangeID']} {trade['InstrumentID']} {DIRECTION[trade['Direction']]} "
            f"{OFFSET.get(trade['OffsetFlag'], '?')} {trade['Volume']}@{trade['Price']:g} "
            f"trade={trade['TradeID']} sys={trade['OrderSysID']}")


def show(event: Event) -> str:
    """One compact line for an event record."""
    name = event["name"]
    if event["name"] == "FrontDisconnected":
        return f"{name} reason={event['reason']:#x}"
    if event["name"] == "FrontConnected":
        return name
    error = event["error"]
    head = name if name.startswith("Rtn") else f"{name} #{event['request_id']}{'' if event['last'] else ' +'}"
    if error["ErrorID"]:
        return f"{head} error {error['ErrorID']}: {error['ErrorMsg']}"
    if event["name"] == "RtnOrder" or event["name"] == "RspQryOrder":
        return f"{head} {show_order(event['data'])}"
    if event["name"] == "RtnTrade" or event["name"] == "RspQryTrade":
        return f"{head} {show_trade(event['data'])}"
    if event["data"] is None:
        return f"{head} (none)"
    if event["name"] == "RspQryInstrument":
        instrument = event["data"]
        return (f"{head} {instrument['ExchangeID']:<5} {instrument['InstrumentID']:<7} "
                f"tick={instrument['PriceTick']:g} "
                f"volume={instrument['MinLimitOrderVolume']}..{instrument['MaxLimitOrderVolume']}")
    if event["name"] == "RspQryInvestorPosition":
        position = event["data"]
        return (f"{head} {position['ExchangeID']} {position['InstrumentID']} "
                f"{POSITION.get(position['PosiDirection'], '?')} {DATE.get(position['PositionDate'], '?')} "
                f"{position['Position']} margin={position['UseMargin']:.2f} "
                f"profit={position['PositionProfit']:.2f}")
    if event["name"] == "RspQryTradingAccount":
        account = event["data"]
        return (f"{head} balance={account['Balance']:.2f} available={account['Available']:.2f} "
                f"margin={account['CurrMargin']:.2f} frozen={account['FrozenMargin']:.2f} "
                f"commission={account['Commission']:.2f} position-profit={account['PositionProfit']:.2f}")
    fields = " ".join(f"{k}={v}" for k, v in event["data"].items() if v not in ("", 0, 0.0))
    return f"{head} {fields}".rstrip()


class Session:
    def __init__(self, front: str, flow: bytes) -> None:
        self.handle: Handle = _ctp.create(front, flow)
        self.ids = itertools.count(1)

    def events(self, what: str, timeout: float = 5.0) -> Iterator[Event]:
        """Event records as they arrive, each printed, while waiting for `what`."""
        deadline = time.monotonic() + timeout
        while _ctp.wait(self.handle, max(0.0, deadline - time.monotonic())):
            for event in _ctp.poll(self.handle):
                print("  " + show(event))
                yield event
        raise Failed(f"no {what} within {timeout:g} s")

    def wait(self, test: Callable[[Event], bool], what: str) -> Event:
        return next(event for event in self.events(what) if test(event))

    def send(self, method: RequestName, data: RequestFields) -> int:
        """Sends a request; a front takes one query per second, so a query
        refused for that (-3) is sent again a little later."""
        request_id = next(self.ids)
        for _ in range(40):
            result = _ctp.request(self.handle, method, data, request_id)
            if result != -3:
                break
            time.sleep(0.05)
        if result != 0:
            raise Failed(f"{method} not sent: {result}")
        return request_id

    def ask(self, method: RequestName, data: RequestFields) -> list[Event]:
        """Sends a request and returns its replies that carry a record."""
        request_id = self.send(method, data)
        replies: list[Event] = []
        for event in self.events(f"reply to {method}"):
            if event["name"] == "FrontConnected" or event["name"] == "FrontDisconnected":
                continue
            if not event["name"].startswith("Rsp"):
                continue
            if event["request_id"] != request_id:
                continue
            if event["error"]["ErrorID"]:
                raise Failed(f"{method} refused: {event['error']['ErrorMsg']}")
            if event["data"] is not None:
                replies.append(event)
            if event["last"]:
                return replies
        raise Failed(f"no reply to {method}")

    def order(self, direction: Direction, price: float, volume: int) -> int:
        """Sends a good-for-day limit order that opens; returns its request id."""
        return self.send("OrderInsert", {
            "BrokerID": BROKER, "InvestorID": USER, "UserID": USER, "InstrumentID": INSTRUMENT,
            "ExchangeID": EXCHANGE, "OrderPriceType": OrderPriceType.LIMIT_PRICE, "Direction": direction,
            "CombOffsetFlag": OffsetFlag.OPEN, "CombHedgeFlag": HedgeFlag.SPECULATION, "LimitPrice": price,
            "VolumeTotalOriginal": volume, "TimeCondition": TimeCondition.GFD, "VolumeCondition": VolumeCondition.ANY,
            "MinVolume": 1, "ContingentCondition": ContingentCondition.IMMEDIATELY,
            "ForceCloseReason": ForceCloseReason.NOT_FORCE_CLOSE, "IsAutoSuspend": 0, "UserForceClose": 0,
            "CurrencyID": "CNY"})

    def close(self) -> None:
        _ctp.close(self.handle)


def order_in(event: Event, status: OrderStatus) -> Order | None:
    """The order of an RtnOrder event in that status."""
    if event["name"] == "RtnOrder" and event["data"] is not None and event["data"]["OrderStatus"] == status:
        return event["data"]
    return None


def refused(event: Event) -> str | None:
    """Why the front refused a request, for a reply that says so."""
    if event["name"] != "FrontConnected" and event["name"] != "FrontDisconnected" and event["error"]["ErrorID"]:
        return event["error"]["ErrorMsg"]
    return None


def run(session: Session, front: str) -> None:
    print(f"connect to {front}")
    session.wait(lambda e: e["name"] == "FrontConnected", "the front")

    print("authenticate, log in, confirm the settlement")
    session.ask("Authenticate", {"BrokerID": BROKER, "UserID": USER, "AppID": APP_ID, "AuthCode": AUTH_CODE})
    session.ask("UserLogin", {"BrokerID": BROKER, "UserID": USER, "Password": PASSWORD})
    session.ask("SettlementInfoConfirm", {"BrokerID": BROKER, "InvestorID": USER})

    print("instruments, account, positions")
    instruments = [e["data"]["InstrumentID"] for e in session.ask("QryInstrument", {})
                   if e["name"] == "RspQryInstrument" and e["data"] is not None]
    if INSTRUMENT not in instruments:
        raise Failed(f"{INSTRUMENT} is not traded here")
    session.ask("QryTradingAccount", {"BrokerID": BROKER, "InvestorID": USER})
    session.ask("QryInvestorPosition", {"BrokerID": BROKER, "InvestorID": USER})

    print(f"buy 2 {INSTRUMENT} at up to {BUY_PRICE:g}")
    session.order(Direction.BUY, BUY_PRICE, 2)
    traded = 0
    for event in session.events("trades"):
        if event["name"] == "RspOrderInsert" or event["name"] == "ErrRtnOrderInsert":
            raise Failed(f"order refused: {event['error']['ErrorMsg']}")
        if event["name"] == "RtnTrade" and event["data"] is not None:
            traded += event["data"]["Volume"]
        if traded == 2:
            break

    print(f"bid 1 at {REST_PRICE:g}, below the market, then cancel it")
    session.order(Direction.BUY, REST_PRICE, 1)
    resting = session.wait(lambda e: e["name"] == "RspOrderInsert" and refused(e) is not None or
                           order_in(e, OrderStatus.NO_TRADE_QUEUEING) is not None, "the order to rest")
    order = order_in(resting, OrderStatus.NO_TRADE_QUEUEING)
    if order is None:
        raise Failed(f"order refused: {refused(resting)}")
    session.send("OrderAction", {"BrokerID": BROKER, "InvestorID": USER, "UserID": USER,
                                 "ActionFlag": ActionFlag.DELETE, "ExchangeID": order["ExchangeID"],
                                 "OrderSysID": order["OrderSysID"], "InstrumentID": order["InstrumentID"]})
    cancelled = session.wait(lambda e: e["name"] == "RspOrderAction" and refused(e) is not None or
                             order_in(e, OrderStatus.CANCELED) is not None, "the cancel")
    if order_in(cancelled, OrderStatus.CANCELED) is None:
        raise Failed(f"cancel refused: {refused(cancelled)}")

    print("the account afterwards")
    accounts = [e["data"] for e in session.ask("QryTradingAccount", {"BrokerID": BROKER, "InvestorID": USER})
                if e["name"] == "RspQryTradingAccount" and e["data"] is not None]
    if len(accounts) != 1 or accounts[0]["FrozenMargin"] != 0 or accounts[0]["Commission"] <= 0:
        raise Failed("the account does not show the trade and the cancel")


def main(front: str = FRONT) -> int:
    print(f"trader library {_ctp.version()}")
    with tempfile.TemporaryDirectory() as flow:
        session = Session(front, flow.encode() + b"/")
        try:
            run(session, front)
        except Failed as failure:
            print(f"demo failed: {failure}", file=sys.stderr)
            return 1
        finally:
            session.close()
    print("done")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:2]))
