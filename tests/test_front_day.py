"""The simulated front's clock and trading day through the module: the clock's
controls, instrument statuses and orders outside continuous trading, the
trading day of the night session, the end of a trading day carrying the books
over, and its settlement statement."""

import dataclasses
import datetime
import time
import uuid

import pytest
from hypothesis import HealthCheck, given, settings

from conftest import ROOT
from ctp.sim import Result
from ledger import Ledger, to_cents
from test_front import (BETA, CUSTOM_ALPHA, CUSTOM_BETA, TERMS, Trader, actions, custom, marks_of,  # noqa: F401
                        names, play, refused, statuses, trades)


@pytest.fixture
def make(sim, tmp_path):
    """Makes sessions (on a fresh front unless given), queries unlimited; closes them after."""
    sim.query_interval(0)
    made = []

    def make(front=None, **keywords):
        made.append(Trader(sim, bytes(tmp_path / f"s{len(made)}") + b"/", front or f"sim://d{uuid.uuid4().hex[:12]}",
                           **keywords))
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
    (notice,) = t.settle()                               # to every logged-in session, by hand
    assert notice == {"name": "RtnInstrumentStatus", "data": {
        "ExchangeID": "SHFE", "InstrumentID": "rb2705", "SettlementGroupID": "", "InstrumentStatus": "1",
        "TradingSegmentSN": 2, "EnterTime": notice["data"]["EnterTime"], "EnterReason": "2"},
        "error": {"ErrorID": 0, "ErrorMsg": ""}, "request_id": 0, "last": True}
    rid, events = t.order(price=3101)
    assert [(e["name"], e["error"]["ErrorID"]) for e in events] == [("RspOrderInsert", 75), ("ErrRtnOrderInsert", 75)]
    assert events[0]["error"]["ErrorMsg"] == "合约当前不在连续交易时段，不能报单"
    _, resting = t.order("au2706", price=779.5)
    assert statuses(resting) == ["a", "3"]
    sim.set_status(t.front, "au2706", "6")
    assert names(t.settle()) == ["RtnInstrumentStatus"]
    _, cancelled = t.cancel(resting[-1]["data"])         # cancels are taken whatever the status
    assert statuses(cancelled) == ["5"]
    sim.set_status(t.front, "rb2705", "2")
    assert [e["data"]["InstrumentStatus"] for e in t.settle()] == ["2"]
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
    t.settle()
    sim.set_price(t.front, "rb2705", 3090)               # the market's asks cross the bid: no trade in a break
    assert t.settle() == []
    sim.set_status(t.front, "rb2705", "2")               # it opens: the book trades what it crosses
    opened = t.settle()
    assert names(opened) == ["RtnInstrumentStatus", "RtnOrder", "RtnTrade"]
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
    assert [(e["data"]["InstrumentStatus"], e["data"]["EnterTime"], e["data"]["TradingSegmentSN"])
            for e in t.settle()] == [("3", "20:55:00", 2), ("5", "20:59:00", 3), ("2", "21:00:00", 4)]
    _, filled = t.order("ag2706", price=8001)
    assert statuses(filled) == ["a", "3", "0"]
    order, trade = filled[-2]["data"], filled[-1]["data"]
    assert (order["TradingDay"], order["InsertDate"], order["InsertTime"]) == ("20250103", "20250102", "21:00:00")
    assert (trade["TradingDay"], trade["TradeDate"], trade["TradeTime"]) == ("20250103", "20250102", "21:00:00")
    sim.set_clock(name, "20250103 02:30:00")              # the night ends
    assert [e["data"]["InstrumentStatus"] for e in t.settle()] == ["1"]
    assert t.order("ag2706", price=8001)[1][0]["error"]["ErrorID"] == 75
    sim.set_clock(name, "20250103 10:20:00")              # the morning break
    assert [e["data"]["InstrumentStatus"] for e in t.settle()] == ["2", "1"]
    assert t.order("ag2706", price=8001)[1][0]["error"]["ErrorID"] == 75
    sim.set_clock(name, "20250103 10:30:00")
    t.settle()
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
    sim.move_price(name, "ag2512", 5)                              # moves quotes, not the last price
    marks = marks_of(t)
    assert (marks["ag2512"], marks["p2509"], marks["AP510"]) == (7999, 8202, 7650)
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
    # Yesterday's lots now: what was open, valued at the new settlement prices, the last prices.
    assert {d["InstrumentID"]: d["PreSettlementPrice"] for d in t.replies("QryDepthMarketData")
            if d["InstrumentID"] in marks} == marks
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
    closed = t.settle()
    assert {(e["data"]["InstrumentID"], e["data"]["InstrumentStatus"]) for e in closed} == {
        (i, "6") for i in ("rb2705", "au2706", "cu2702", "m2705", "i2705", "SR705", "TA705", "IF2703", "sc2703",
                           "si2705", "lc2705")}                  # the bond future closes at 15:15
    assert t.order(price=3101)[1][0]["error"]["ErrorID"] == 75
    sim.set_clock(name, "20250103 19:59:59.999")
    assert [(e["data"]["InstrumentID"], e["data"]["EnterTime"]) for e in t.settle()] == [("T2703", "15:15:00")]
    sim.advance_clock(name, 0.001)                                # 20:00: the day ends
    assert names(t.settle()) == ["RtnOrder", "FrontDisconnected", "FrontConnected"]
    assert t.login()["TradingDay"] == "20250106"
    # A clock set back undoes no day.
    sim.set_clock(name, "20250103 10:00:00")
    assert t.order(price=3101)[1][0]["error"]["ErrorID"] == 75    # Monday's trading day is before trading
    assert t.replies("QryTradingAccount")[0]["TradingDay"] == "20250106"


def test_every_logged_in_session_hears_each_status_change(make, sim, tmp_path):
    path = tmp_path / "calendar.conf"
    path.write_text("calendar = exchange\nclock = 20250102 20:50:00\nfreeze_clock = 1\n", encoding="utf-8")
    name = f"sim://c{uuid.uuid4().hex[:12]}"
    a, b, c = make(f"{name}?config={path}"), make(name), make(name)
    a.login()
    b.login(BETA)
    at_login = [e for e in a.log if e["name"] == "RtnInstrumentStatus"]
    assert len(at_login) == 12 and at_login[0] == {
        "name": "RtnInstrumentStatus", "data": {"ExchangeID": "SHFE", "InstrumentID": "rb2705",
                                                "SettlementGroupID": "", "InstrumentStatus": "0",
                                                "TradingSegmentSN": 1, "EnterTime": "20:00:00", "EnterReason": "1"},
        "error": {"ErrorID": 0, "ErrorMsg": ""}, "request_id": 0, "last": True}
    assert {e["data"]["InstrumentStatus"] for e in at_login} == {"0"}          # before trading, since 20:00
    sim.advance_clock(name, 10 * 60)
    changes = a.settle()
    assert changes == b.settle() and c.settle() == []                          # not logged in: nothing
    night = ["rb2705", "au2706", "cu2702", "m2705", "i2705", "SR705", "TA705", "sc2703"]
    assert [(e["data"]["InstrumentID"], e["data"]["InstrumentStatus"], e["data"]["EnterTime"]) for e in changes] == \
        [(i, status, time) for status, time in (("3", "20:55:00"), ("5", "20:59:00"), ("2", "21:00:00"))
         for i in night]
    c.login()
    assert {e["data"]["InstrumentID"]: e["data"]["InstrumentStatus"] for e in c.log
            if e["name"] == "RtnInstrumentStatus"} == {**{i: "0" for i in ("IF2703", "T2703", "si2705", "lc2705")},
                                                       **{i: "2" for i in night}}


def decodes(data):
    try:
        data.decode("gb18030")
    except UnicodeDecodeError:
        return False
    return True


def statement(trader, day=""):
    """The statement's records, and its text joined and decoded once."""
    records = trader.replies("QrySettlementInfo", {"TradingDay": day})
    if not records:
        return records, None
    assert [r["SequenceNo"] for r in records] == list(range(1, len(records) + 1))
    assert all(len(r["Content"]) == 500 for r in records[:-1]) and 0 < len(records[-1]["Content"]) <= 500
    joined = b"".join(r["Content"] for r in records)
    # Cut wherever 500 bytes end: some record ends inside a two-byte character.
    assert not all(decodes(b"".join(r["Content"] for r in records[:n])) for n in range(1, len(records)))
    return records, joined.decode("gb18030")


def test_the_settlement_statement_of_a_day(make, sim, custom):
    name = f"sim://t{uuid.uuid4().hex[:12]}"
    t = make(f"{name}?config={custom}", full_records=True)
    t.login(CUSTOM_ALPHA, confirm=False)
    assert t.replies("QrySettlementInfoConfirm") == []
    # Before any day is settled: the configured yesterday's, to confirm.
    records, text = statement(t)
    assert {r["TradingDay"] for r in records} == {"20250101"} and records[0]["InvestorID"] == "alpha"
    assert "交易结算单" in text and "2000000.00" in text and "7990" in text and "p2509" in text
    (confirmed,) = t.call("SettlementInfoConfirm", {"BrokerID": "1010", "InvestorID": "alpha"})[1]
    (queried,) = t.replies("QrySettlementInfoConfirm")
    assert queried == confirmed["data"] and queried["ConfirmDate"] == sim.clock(name).strftime("%Y%m%d")

    t.order("ag2512", price=8001, volume=3)
    t.order("p2509", direction="0", offset="1", price=8202, volume=2)
    sim.move_price(name, "ag2512", 3)
    day = t.account()
    fills = t.replies("QryTrade")
    assert statement(t, "20250102") == ([], None)                  # not settled yet
    sim.settle(name)
    t.settle()
    t.login(CUSTOM_ALPHA)
    records, text = statement(t)
    assert {r["TradingDay"] for r in records} == {"20250102"} and statement(t, "20250102")[1] == text
    assert statement(t, "20250101")[1] is not None                  # earlier days are kept
    for key in ("PreBalance", "CloseProfit", "PositionProfit", "Commission", "Balance", "CurrMargin"):
        assert f"{day[key]:.2f}" in text, key
    assert all(f["TradeID"] in text for f in fills)
    assert "资金状况" in text and "成交记录" in text and "持仓明细" in text and "持仓汇总" in text


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(steps=actions)
def test_every_statement_splits_a_character_and_decodes_whole(sim, tmp_path, custom, steps):
    sim.query_interval(0)
    pair, front = play(sim, bytes(tmp_path / uuid.uuid4().hex) + b"/", custom, steps)
    try:
        balances = [trader.account()["Balance"] for trader in pair]
        sim.settle(front)
        for trader, who, balance in zip(pair, (CUSTOM_ALPHA, CUSTOM_BETA), balances):
            trader.settle()
            trader.login(who)
            _, text = statement(trader)
            assert f"{balance:.2f}" in text
    finally:
        for trader in pair:
            trader.close()
