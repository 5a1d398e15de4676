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

import _ctp

FRONT = "sim://demo"
BROKER, USER, PASSWORD = "9999", "000001", "123456"
APP_ID, AUTH_CODE = "standin_client_1.0", "0000000000000000"
# rb2705 on the simulated front: reference price 3100, price tick 1; its
# simulated market sells from 3101 up and buys from 3099 down.
INSTRUMENT, EXCHANGE = "rb2705", "SHFE"
BUY_PRICE, REST_PRICE = 3102.0, 3090.0

DIRECTION = {"0": "buy", "1": "sell"}
OFFSET = {"0": "open", "1": "close", "3": "close-today", "4": "close-yesterday"}
POSITION = {"2": "long", "3": "short"}
DATE = {"1": "today", "2": "yesterday"}


class Failed(Exception):
    pass


def show(event):
    """One compact line for an event record."""
    name, data = event["name"], event.get("data")
    if name == "FrontDisconnected":
        return f"{name} reason={event['reason']:#x}"
    if "data" not in event:
        return name
    error = event["error"]
    head = name if name.startswith("Rtn") else f"{name} #{event['request_id']}{'' if event['last'] else ' +'}"
    if error["ErrorID"]:
        return f"{head} error {error['ErrorID']}: {error['ErrorMsg']}"
    if data is None:
        return f"{head} (none)"
    if name in ("RtnOrder", "RspQryOrder"):
        return (f"{head} {data['ExchangeID']} {data['InstrumentID']} {DIRECTION[data['Direction']]} "
                f"{OFFSET.get(data['CombOffsetFlag'], '?')} {data['VolumeTotalOriginal']}@{data['LimitPrice']:g} "
                f"status={data['OrderStatus']} traded={data['VolumeTraded']} sys={data['OrderSysID'] or '-'} "
                f"ref={data['OrderRef']} {data['StatusMsg']}")
    if name in ("RtnTrade", "RspQryTrade"):
        return (f"{head} {data['ExchangeID']} {data['InstrumentID']} {DIRECTION[data['Direction']]} "
                f"{OFFSET.get(data['OffsetFlag'], '?')} {data['Volume']}@{data['Price']:g} "
                f"trade={data['TradeID']} sys={data['OrderSysID']}")
    if name == "RspQryInstrument":
        return (f"{head} {data['ExchangeID']:<5} {data['InstrumentID']:<7} tick={data['PriceTick']:g} "
                f"volume={data['MinLimitOrderVolume']}..{data['MaxLimitOrderVolume']}")
    if name == "RspQryInvestorPosition":
        return (f"{head} {data['ExchangeID']} {data['InstrumentID']} {POSITION.get(data['PosiDirection'], '?')} "
                f"{DATE.get(data['PositionDate'], '?')} {data['Position']} margin={data['UseMargin']:.2f} "
                f"profit={data['PositionProfit']:.2f}")
    if name == "RspQryTradingAccount":
        return (f"{head} balance={data['Balance']:.2f} available={data['Available']:.2f} "
                f"margin={data['CurrMargin']:.2f} frozen={data['FrozenMargin']:.2f} "
                f"commission={data['Commission']:.2f} position-profit={data['PositionProfit']:.2f}")
    fields = " ".join(f"{k}={v}" for k, v in data.items() if v not in ("", 0, 0.0))
    return f"{head} {fields}".rstrip()


class Session:
    def __init__(self, front, flow):
        self.handle = _ctp.create(front, flow)
        self.ids = itertools.count(1)

    def events(self, what, timeout=5.0):
        """Event records as they arrive, each printed, while waiting for `what`."""
        deadline = time.monotonic() + timeout
        while _ctp.wait(self.handle, max(0.0, deadline - time.monotonic())):
            for event in _ctp.poll(self.handle):
                print("  " + show(event))
                yield event
        raise Failed(f"no {what} within {timeout:g} s")

    def wait(self, test, what):
        return next(event for event in self.events(what) if test(event))

    def send(self, method, data):
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

    def ask(self, method, data):
        """Sends a request and returns the records of its replies."""
        request_id = self.send(method, data)
        records = []
        for event in self.events(f"reply to {method}"):
            if event.get("request_id") != request_id or not event["name"].startswith("Rsp"):
                continue
            if event["error"]["ErrorID"]:
                raise Failed(f"{method} refused: {event['error']['ErrorMsg']}")
            if event["data"] is not None:
                records.append(event["data"])
            if event["last"]:
                return records

    def order(self, direction, price, volume):
        """Sends a good-for-day limit order that opens; returns its request id."""
        return self.send("OrderInsert", dict(
            BrokerID=BROKER, InvestorID=USER, UserID=USER, InstrumentID=INSTRUMENT, ExchangeID=EXCHANGE,
            OrderPriceType="2", Direction=direction, CombOffsetFlag="0", CombHedgeFlag="1", LimitPrice=price,
            VolumeTotalOriginal=volume, TimeCondition="3", VolumeCondition="1", MinVolume=1,
            ContingentCondition="1", ForceCloseReason="0", IsAutoSuspend=0, UserForceClose=0, CurrencyID="CNY"))

    def close(self):
        _ctp.close(self.handle)


def run(session, front):
    print(f"connect to {front}")
    session.wait(lambda e: e["name"] == "FrontConnected", "the front")

    print("authenticate, log in, confirm the settlement")
    session.ask("Authenticate", dict(BrokerID=BROKER, UserID=USER, AppID=APP_ID, AuthCode=AUTH_CODE))
    session.ask("UserLogin", dict(BrokerID=BROKER, UserID=USER, Password=PASSWORD))
    session.ask("SettlementInfoConfirm", dict(BrokerID=BROKER, InvestorID=USER))

    print("instruments, account, positions")
    instruments = session.ask("QryInstrument", {})
    if not any(i["InstrumentID"] == INSTRUMENT for i in instruments):
        raise Failed(f"{INSTRUMENT} is not traded here")
    session.ask("QryTradingAccount", dict(BrokerID=BROKER, InvestorID=USER))
    session.ask("QryInvestorPosition", dict(BrokerID=BROKER, InvestorID=USER))

    print(f"buy 2 {INSTRUMENT} at up to {BUY_PRICE:g}")
    session.order("0", BUY_PRICE, 2)
    traded = 0
    for event in session.events("trades"):
        if event["name"] in ("RspOrderInsert", "ErrRtnOrderInsert"):
            raise Failed(f"order refused: {event['error']['ErrorMsg']}")
        if event["name"] == "RtnTrade":
            traded += event["data"]["Volume"]
        if traded == 2:
            break

    print(f"bid 1 at {REST_PRICE:g}, below the market, then cancel it")
    session.order("0", REST_PRICE, 1)
    resting = session.wait(lambda e: e["name"] in ("RspOrderInsert", "RtnOrder") and
                           (e["error"]["ErrorID"] or e["data"]["OrderStatus"] == "3"), "the order to rest")
    if resting["name"] != "RtnOrder":
        raise Failed(f"order refused: {resting['error']['ErrorMsg']}")
    order = resting["data"]
    session.send("OrderAction", dict(BrokerID=BROKER, InvestorID=USER, UserID=USER, ActionFlag="0",
                                     ExchangeID=order["ExchangeID"], OrderSysID=order["OrderSysID"],
                                     InstrumentID=order["InstrumentID"]))
    cancelled = session.wait(lambda e: e["name"] in ("RspOrderAction", "RtnOrder") and
                             (e["error"]["ErrorID"] or e["data"]["OrderStatus"] == "5"), "the cancel")
    if cancelled["name"] != "RtnOrder":
        raise Failed(f"cancel refused: {cancelled['error']['ErrorMsg']}")

    print("the account afterwards")
    (account,) = session.ask("QryTradingAccount", dict(BrokerID=BROKER, InvestorID=USER))
    if account["FrozenMargin"] != 0 or account["Commission"] <= 0:
        raise Failed("the account does not show the trade and the cancel")


def main(front=FRONT):
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
