"""The client on an unruly front: a seeded random trading session (orders, cancels, partial
fills, drops with random reasons, the library's reconnect attempts) under the front's unruly
mode, after which the client's orders and trades must equal what the front's queries say; and
each behaviour alone with what the client must make of it. Both flavours (``ctp.Client``,
``ctp.AsyncClient``); the random sessions take the three resume types of the private flow in turn,
and end with the client's positions and P&L equal to the front's, to the cent.

More seeds: ``CTP_UNRULY_SEEDS=200 pytest tests/test_unruly_client.py``."""

import os
import random
import time

import pytest

import ctp
from ctp import Direction, PosiDirection
from ctp.sim import ControlError
from test_client import ALPHA, Asyncio, Blocking, connect, flavour, front  # noqa: F401 (fixtures)
from ledger import to_cents
from test_front import Trader

SEEDS = range(int(os.environ.get("CTP_UNRULY_SEEDS", "3")))
STEPS = 40
DROP_REASONS = (0x1001, 0x1002, 0x2001, 0x2002, 0x2003)
SETTLE = 5.0        # seconds the client gets to catch up once the front is orderly again
RESUMES = ("quick", "restart", "resume")


def truth(sim, front, tmp_path, money=False):
    """The front's orders and trades of the day, read by a session of its own (raw _ctp); with
    money, its positions, trading account and the last price of rb2705 too."""
    t = Trader(sim, bytes(tmp_path / f"truth{time.monotonic_ns()}") + b"/", front, full_records=True)
    try:
        t.login(confirm=False)
        found = t.replies("QryOrder"), t.replies("QryTrade")
        if money:
            found += (t.replies("QryInvestorPosition"), t.replies("QryTradingAccount")[0],
                      t.replies("QryDepthMarketData", {"InstrumentID": "rb2705"})[0])
        return found
    finally:
        t.close()


def money_differences(client, positions, account):
    """How the client's positions and P&L differ from the front's, to the cent (empty: the same)."""
    found = []
    pnl = client.pnl()
    for mine, theirs in (("realised", "CloseProfit"), ("floating", "PositionProfit"), ("commission", "Commission"),
                         ("margin", "CurrMargin"), ("frozen_margin", "FrozenMargin"),
                         ("frozen_commission", "FrozenCommission")):
        if round(getattr(pnl, mine) * 100) != to_cents(account[theirs]):
            found.append(f"P&L {mine} {getattr(pnl, mine)}: the front says {theirs} {account[theirs]}")
    for position in client.positions:
        side = position.side
        parts = [r for r in positions if r["InstrumentID"] == position.instrument and r["PosiDirection"] == side]
        figures = (position.volume, position.today, position.frozen, round(position.margin * 100),
                   round(position.floating * 100), round(position.realised * 100), round(position.commission * 100))
        front = (sum(r["Position"] for r in parts), sum(r["TodayPosition"] for r in parts),
                 sum(r["LongFrozen" if side == PosiDirection.SHORT else "ShortFrozen"] for r in parts),
                 sum(to_cents(r["UseMargin"]) for r in parts), sum(to_cents(r["PositionProfit"]) for r in parts),
                 sum(to_cents(r["CloseProfit"]) for r in parts), sum(to_cents(r["Commission"]) for r in parts))
        if figures != front:
            found.append(f"{position}: the front says {front}")
    held = {(p.instrument, p.side) for p in client.positions if p.volume}
    if held != {(r["InstrumentID"], r["PosiDirection"]) for r in positions if r["Position"]}:
        found.append(f"positions held {held}: the front says {positions}")
    return found


def differences(client, orders, trades):
    """How the client's book differs from the front's records (empty: the same)."""
    found = []
    seen = [(t["ExchangeID"], t["TradeID"], t["Direction"]) for t in client.trades]
    if len(seen) != len(set(seen)):
        found.append("a trade counted twice")
    real = {(t["ExchangeID"], t["TradeID"], t["Direction"]) for t in trades}
    if set(seen) != real:
        found.append(f"trades: only the client's {sorted(set(seen) - real)}, only the front's {sorted(real - set(seen))}")
    by_ref = {(o["FrontID"], o["SessionID"], o["OrderRef"]): o for o in orders}
    known = set()
    for order in client.orders:
        key = (order.front_id, order.session_id, order.order_ref)
        known.add(key)
        record = by_ref.get(key)
        if record is None:
            if not order.done:
                found.append(f"{order!r} never reached the front, yet is not finished")
            continue
        if (order.status, order.traded) != (record["OrderStatus"], record["VolumeTraded"]):
            found.append(f"{order!r}: the front says status {record['OrderStatus']} traded {record['VolumeTraded']}")
        if record["OrderSubmitStatus"] == "4" and order.error is None:
            found.append(f"{order!r}: refused by the exchange, without an error")
        if record["OrderStatus"] in ("0", "5") and not order.done:
            found.append(f"{order!r}: finished at the front, not in the client")
        if sum(t["Volume"] for t in order.trades) != record["VolumeTraded"]:
            found.append(f"{order!r}: its trades do not add up to {record['VolumeTraded']}")
    missing = set(by_ref) - known
    if missing:
        found.append(f"orders the client never saw: {sorted(missing)}")
    return found


def caught_up(flavour, client, sim, front, tmp_path, money=False):
    """Waits for the client to agree with the front's records (with money: its positions and P&L
    too, valued at the front's last price); returns the differences left."""
    orders, trades, *more = truth(sim, front, tmp_path, money)
    if more:
        flavour.inside(lambda: client.mark(more[2]))

    def left():
        if not client.ready:
            return ["not ready"]
        return differences(client, orders, trades) + (money_differences(client, *more[:2]) if more else [])
    deadline = time.monotonic() + SETTLE
    while True:
        found = flavour.inside(left)
        if not found or time.monotonic() > deadline:
            return found
        time.sleep(0.05)


def trade_at_random(flavour, client, sim, front, rng):
    """A random session: orders around the market, cancels, the market moving, drops."""
    placed = []
    for _ in range(STEPS):
        roll = rng.random()
        try:
            if roll < 0.45:
                direction = rng.choice([Direction.BUY, Direction.SELL])
                placed.append(flavour.do(client.insert_order("rb2705", direction, rng.randint(1, 12),
                                                             float(rng.randint(3096, 3104)))))
            elif roll < 0.65 and placed:
                flavour.do(client.cancel(rng.choice(placed), timeout=2.0))
            elif roll < 0.8:
                sim.move_price(front, "rb2705", rng.randint(-3, 3))
            elif roll < 0.9:
                sim.disconnect(client.api, rng.choice(DROP_REASONS))
                time.sleep(rng.random() / 50)
                sim.reconnect(client.api)
            else:
                time.sleep(rng.random() / 20)
        except (ctp.CtpError, ctp.Disconnected, TimeoutError, ControlError):
            pass        # refused, dropped or already back: the session goes on
    return placed


@pytest.mark.parametrize("seed", SEEDS)
def test_a_random_session_under_the_unruly_mode_ends_as_the_front_says(connect, flavour, sim, front, tmp_path,
                                                                       seed):
    resume = RESUMES[seed % len(RESUMES)]
    client = connect(timeout=5.0, resume=resume)
    sim.unruly(front, seed)
    sim.behave(front, reconnect=20)
    try:
        trade_at_random(flavour, client, sim, front, random.Random(seed))
    finally:
        sim.unruly(front, None)
    assert caught_up(flavour, client, sim, front, tmp_path, money=True) == [], (resume, sim.choices(front))


# ---- each behaviour alone --------------------------------------------------------------------------------

def test_fills_before_their_orders_are_counted_once(connect, flavour, sim, front, tmp_path):
    client = connect()
    sim.behave(front, fill_first=1)
    order = flavour.do(flavour.do(client.insert_order("rb2705", Direction.BUY, 15, 3102.0)).wait())
    assert (order.status, order.traded, [t["Volume"] for t in order.trades]) == ("0", 15, [10, 5])
    assert caught_up(flavour, client, sim, front, tmp_path) == []


def test_the_exchange_refusal_sets_the_error(connect, flavour, sim, front, tmp_path):
    client = connect()
    sim.behave(front, exchange_refusals=1)
    sim.set_status(front, "rb2705", "1")
    order = flavour.do(flavour.do(client.insert_order("rb2705", Direction.BUY, 1, 3090.0)).wait())
    assert order.done and order.status == "5"
    assert isinstance(order.error, ctp.CtpError)


def test_the_exchange_refusal_of_a_cancel_leaves_the_order_as_it_was(connect, flavour, sim, front, tmp_path):
    client = connect()
    order = flavour.do(flavour.do(client.insert_order("rb2705", Direction.BUY, 1, 3101.0)).wait())
    sim.behave(front, exchange_refusals=1)
    assert flavour.do(client.cancel(order, timeout=5.0)) is order
    assert (order.status, order.traded) == ("0", 1)
    assert caught_up(flavour, client, sim, front, tmp_path) == []


def test_queries_in_batches_with_pushes_between(connect, flavour, sim, front, tmp_path):
    client = connect()
    sim.behave(front, query_batch=3, query_pause=20)
    instruments = flavour.do(client.query("QryInstrument"))
    assert len(instruments) == 12
    assert flavour.do(client.query("QryInstrument", InstrumentID="nothing")) == []


@pytest.mark.parametrize("reason", DROP_REASONS)
def test_a_drop_with_each_reason_then_the_library_reconnects(connect, flavour, sim, front, tmp_path, reason):
    client = connect()
    flavour.do(client.insert_order("rb2705", Direction.BUY, 2, 3095.0))
    sim.behave(front, drop=1, drop_reason=reason, drop_moment=3, heartbeat_warnings=1, reconnect=200)
    try:
        flavour.do(client.query("QryTradingAccount"))
    except (ctp.Disconnected, TimeoutError):
        pass
    sim.behave(front, drop=0)
    assert caught_up(flavour, client, sim, front, tmp_path) == []
    assert sim.choices(front) == [f"drop after the replies {reason} {1 if reason == 0x2001 else 0}"]


def test_an_order_lost_with_the_connection_does_not_stay_pending(connect, flavour, sim, front, tmp_path):
    client = connect(timeout=5.0)
    sim.behave(front, drop=1, drop_moment=1, reconnect=20)
    order = flavour.do(client.insert_order("rb2705", Direction.BUY, 1, 3095.0))
    sim.behave(front, drop=0)
    assert caught_up(flavour, client, sim, front, tmp_path) == []
    assert order.done and order.error is not None


def test_a_login_refused_while_the_front_is_not_ready_is_tried_again(connect, flavour, sim, front, tmp_path):
    client = connect()
    sim.behave(front, not_ready=1)
    sim.disconnect(client.api)
    sim.reconnect(client.api)
    deadline = time.monotonic() + SETTLE
    while not flavour.inside(lambda: client.ready and client.session_id > 1):
        assert time.monotonic() < deadline, "not logged in again"
        time.sleep(0.05)


def test_the_client_fails_over_to_the_next_front(connect, flavour, sim, front, tmp_path):
    client = connect(front=[front, f"{front}/2"])
    assert client.front_id == 1
    sim.behave(front, down=[1], reconnect=20)
    deadline = time.monotonic() + SETTLE
    while not flavour.inside(lambda: client.ready and client.front_id == 2):
        assert time.monotonic() < deadline, "not failed over"
        time.sleep(0.05)


@pytest.mark.parametrize("resume", RESUMES)
def test_what_the_flow_replays_after_a_login_is_not_delivered_again(connect, flavour, sim, front, tmp_path,
                                                                    resume):
    client = connect(resume=resume)
    events = client.events(timeout=10.0)
    flavour.do(flavour.do(client.insert_order("rb2705", Direction.BUY, 3, 3102.0)).wait())
    resting = flavour.do(client.insert_order("rb2705", Direction.BUY, 1, 3090.0))
    flavour.do(client.query("QryTradingAccount"))          # every report of both is in
    assert resting.order_sys_id
    flavour.until(events, lambda event: event["name"] == "RspQryTradingAccount")
    sim.disconnect(client.api)
    sim.reconnect(client.api)
    again = flavour.until(events, lambda event: event["name"] == "Reconnected")
    assert [e["name"] for e in again if e["name"].startswith("Rtn") and e["name"] != "RtnInstrumentStatus"] == []
    assert caught_up(flavour, client, sim, front, tmp_path, money=True) == []
    events.close()


def test_resume_is_one_of_the_flow_s_resume_types(connect):
    with pytest.raises(ValueError, match="resume must be one of 'quick', 'restart', 'resume', not 'fast'"):
        connect(resume="fast")
    with pytest.raises(TypeError, match="resume must be a str"):
        connect(resume=0)
