"""The simulated front's clock and trading day through the module: the clock's
controls, orders outside continuous trading, the trading day of the night
session, and the end of a trading day carrying the books over."""

import dataclasses
import datetime
import time
import uuid

import pytest

from conftest import ROOT
from ctp.sim import ControlError, Result
from ledger import Ledger, to_cents
from test_front import CUSTOM_ALPHA, TERMS, Trader, custom, names, refused, statuses, trades  # noqa: F401 (a fixture)


@pytest.fixture
def make(sim, tmp_path):
    """Makes sessions (on a fresh front unless given), queries unlimited; closes them after."""
    sim.query_interval(0)
    made = []

    def make(front=None):
        made.append(Trader(sim, bytes(tmp_path / f"s{len(made)}") + b"/", front or f"sim://d{uuid.uuid4().hex[:12]}"))
        return made[-1]

    yield make
    for trader in made:
        trader.close()
    assert sim.violations() == 0


def test_the_clock_and_its_controls(make, sim):
    t = make()
    front = t.front
    login = t.login()
    assert abs(sim.clock(front) - datetime.datetime.now()) < datetime.timedelta(seconds=5)   # the machine's
    sim.set_clock(front, datetime.datetime(2025, 1, 2, 9, 30, 0, 250000))
    assert datetime.timedelta(0) <= sim.clock(front) - datetime.datetime(2025, 1, 2, 9, 30, 0, 250000) \
        < datetime.timedelta(seconds=2)                                                          # runs on
    sim.freeze_clock(front)
    stood = sim.clock(front)
    time.sleep(0.02)
    assert sim.clock(front) == stood
    sim.advance_clock(front, 90.5)
    assert sim.clock(front) == stood + datetime.timedelta(seconds=90.5)
    sim.set_clock(front, "20250102 14:59:58")
    _, placed = t.order(price=3101)
    assert [(e["data"]["InsertDate"], e["data"]["InsertTime"]) for e in placed[:2]] == [("20250102", "14:59:58")] * 2
    # The continuous calendar keeps its trading day whatever the clock says.
    assert placed[0]["data"]["TradingDay"] == login["TradingDay"]
    sim.freeze_clock(front, False)
    time.sleep(0.02)
    assert sim.clock(front) > datetime.datetime(2025, 1, 2, 14, 59, 58)
    for bad in ("2025-01-02 10:00:00", "20250102 10:00", "20250231 10:00:00"):
        with refused(Result.BAD_VALUE):
            sim.set_clock(front, bad)
    with refused(Result.BAD_VALUE):
        sim.advance_clock(front, -1)
    with refused(Result.NO_FRONT):
        sim.clock("sim://never-reached")
    sim.set_clock(front, None)
    assert abs(sim.clock(front) - datetime.datetime.now()) < datetime.timedelta(seconds=5)


def test_orders_only_in_continuous_trading(make, sim):
    t = make()
    t.login()
    sim.set_status(t.front, "rb2705", "1")
    rid, events = t.order(price=3101)
    assert [(e["name"], e["error"]["ErrorID"]) for e in events] == [("RspOrderInsert", 75), ("ErrRtnOrderInsert", 75)]
    assert events[0]["error"]["ErrorMsg"] == "合约当前不在连续交易时段，不能报单"
    _, resting = t.order("au2706", price=779.5)
    assert statuses(resting) == ["a", "3"]
    sim.set_status(t.front, "au2706", "6")
    _, cancelled = t.cancel(resting[-1]["data"])         # cancels are taken whatever the status
    assert statuses(cancelled) == ["5"]
    sim.set_status(t.front, "rb2705", "2")
    assert statuses(t.order(price=3101)[1]) == ["a", "3", "0"]
    with refused(Result.BAD_VALUE):
        sim.set_status(t.front, "rb2705", "7")
    with refused(Result.NO_FRONT):
        sim.set_status(t.front, "xx", "2")


def test_crossed_prices_wait_for_the_market_to_open(make, sim):
    t = make()
    t.login()
    _, resting = t.order(price=3095, volume=2)
    sim.set_status(t.front, "rb2705", "1")
    sim.set_price(t.front, "rb2705", 3090)               # the market's asks cross the bid: no trade in a break
    assert t.settle() == []
    sim.set_status(t.front, "rb2705", "2")               # it opens: the book trades what it crosses
    opened = t.settle()
    assert statuses(opened) == ["0"] and trades(opened) == [(3095, 2)]      # at the price that rested first


def calendar_example():
    readme = (ROOT / "standin" / "README.md").read_text(encoding="utf-8")
    section = readme.split("### Configuration files", 1)[1].split("### The session protocol", 1)[0]
    return section.split("```")[3]


def test_the_night_session_trades_on_the_next_trading_day(make, sim, tmp_path):
    path = tmp_path / "calendar.conf"
    path.write_text(calendar_example(), encoding="utf-8")
    name = f"sim://n{uuid.uuid4().hex[:12]}"
    t = make(f"{name}?config={path}")
    login = t.login()
    assert login["TradingDay"] == "20250103"             # Thursday 20:50: Friday's night
    assert sim.clock(name) == datetime.datetime(2025, 1, 2, 20, 50)
    _, early = t.order("ag2706", price=8001)
    assert [e["error"]["ErrorID"] for e in early] == [75, 75]
    sim.advance_clock(name, 10 * 60)
    _, filled = t.order("ag2706", price=8001)
    assert statuses(filled) == ["a", "3", "0"]
    order, trade = filled[-2]["data"], filled[-1]["data"]
    assert (order["TradingDay"], order["InsertDate"], order["InsertTime"]) == ("20250103", "20250102", "21:00:00")
    assert (trade["TradingDay"], trade["TradeDate"], trade["TradeTime"]) == ("20250103", "20250102", "21:00:00")
    sim.set_clock(name, "20250103 02:30:00")              # the night ends
    assert t.order("ag2706", price=8001)[1][0]["error"]["ErrorID"] == 75
    sim.set_clock(name, "20250103 10:20:00")              # the morning break
    assert t.order("ag2706", price=8001)[1][0]["error"]["ErrorID"] == 75
    sim.set_clock(name, "20250103 10:30:00")
    assert statuses(t.order("ag2706", price=8001)[1]) == ["a", "3", "0"]
    assert t.replies("QryTrade")[0]["TradingDay"] == "20250103"


def test_a_running_clock_opens_the_market_by_itself(make, sim, tmp_path):
    path = tmp_path / "calendar.conf"
    path.write_text("calendar = exchange\nclock = 20250102 20:59:59\n", encoding="utf-8")
    name = f"sim://r{uuid.uuid4().hex[:12]}"
    t = make(f"{name}?config={path}")
    t.login()
    deadline = time.monotonic() + 10
    while sim.clock(name) < datetime.datetime(2025, 1, 2, 21, 0, 0, 100000):
        assert time.monotonic() < deadline
        time.sleep(0.05)
    assert statuses(t.order(price=3101)[1]) == ["a", "3", "0"]


def test_a_settled_day_carries_the_books_over(make, sim, custom):
    name = f"sim://s{uuid.uuid4().hex[:12]}"
    t = make(f"{name}?config={custom}")
    t.login(CUSTOM_ALPHA)
    t.order("ag2512", price=8002, volume=3)                       # opens 3 today beside yesterday's 4
    t.order("ag2512", direction="1", offset="4", price=7998, volume=1)   # closes one of yesterday's
    t.order("p2509", direction="0", offset="1", price=8202, volume=2)    # closes 2 of the short 3 (DCE)
    _, waiting = t.order("AP510", price=7640, volume=2)           # waits below the market
    sim.move_price(name, "ag2512", 5)
    before = t.account()
    fills = t.replies("QryTrade")
    assert before["FrozenMargin"] > 0 and len(fills) >= 3

    sim.settle(name)
    ended = t.settle()
    assert names(ended) == ["RtnOrder", "FrontDisconnected", "FrontConnected"]
    assert (ended[0]["data"]["OrderSysID"], ended[0]["data"]["OrderStatus"], ended[0]["data"]["StatusMsg"]) == \
        (waiting[-1]["data"]["OrderSysID"], "5", "交易日结束，报单已撤销")
    assert ended[1]["reason"] == 0x1001

    again = t.login(CUSTOM_ALPHA, confirm=False)
    assert again["TradingDay"] == "20250103"                      # the weekday after Thursday
    assert t.order("ag2512", price=8006)[1][0]["error"]["ErrorID"] == 42     # confirmed anew each day
    assert t.replies("QryOrder") == [] and t.replies("QryTrade") == []
    account = t.account()
    assert account["Balance"] == before["Balance"]               # carried as the new day's balance
    assert (account["Deposit"], account["Withdraw"], account["Commission"], account["CloseProfit"],
            account["PositionProfit"], account["FrozenMargin"]) == (0, 0, 0, 0, 0, 0)
    # Yesterday's lots now: what was open, valued at the new settlement prices.
    marks = {i: sim.price(name, i) for i in TERMS}
    settled = {i: dataclasses.replace(TERMS[i], settlement=marks[i]) for i in TERMS}
    ledger = Ledger(TERMS)
    ledger.hold("ag2512", "2", 3, 7990)
    ledger.hold("ag2512", "2", 1)
    ledger.hold("p2509", "3", 3, 8210)
    for f in fills:
        ledger.trade(f)
    carried = Ledger(settled)
    for instrument, side, lot in ledger.lots():
        if lot.volume:
            carried.hold(instrument, side, lot.volume, lot.open_price)
    assert to_cents(account["CurrMargin"]) == carried.margin()
    positions = t.replies("QryInvestorPosition")
    assert {(p["InstrumentID"], p["PosiDirection"], p["PositionDate"]): (p["Position"], p["YdPosition"])
            for p in positions} == {("ag2512", "2", "2"): (6, 6), ("p2509", "3", "1"): (1, 1)}

    sim.settle(name)                                              # Friday ends: Monday next
    t.settle()
    assert t.login(CUSTOM_ALPHA)["TradingDay"] == "20250106"


def test_the_day_ends_on_the_clock(make, sim, tmp_path):
    path = tmp_path / "calendar.conf"
    path.write_text("calendar = exchange\nclock = 20250103 14:59:00\nfreeze_clock = 1\n", encoding="utf-8")
    name = f"sim://e{uuid.uuid4().hex[:12]}"
    t = make(f"{name}?config={path}")
    assert t.login()["TradingDay"] == "20250103"
    _, waiting = t.order(price=3095)
    sim.advance_clock(name, 60)                                   # 15:00: closed, the order still waits
    assert t.settle() == [] and t.order(price=3101)[1][0]["error"]["ErrorID"] == 75
    sim.set_clock(name, "20250103 19:59:59.999")
    assert t.settle() == []
    sim.advance_clock(name, 0.001)                                # 20:00: the day ends
    assert names(t.settle()) == ["RtnOrder", "FrontDisconnected", "FrontConnected"]
    assert t.login()["TradingDay"] == "20250106"
    # A clock set back undoes no day.
    sim.set_clock(name, "20250103 10:00:00")
    assert t.order(price=3101)[1][0]["error"]["ErrorID"] == 75    # Monday's trading day is before trading
    assert t.replies("QryTradingAccount")[0]["TradingDay"] == "20250106"
