"""The client's positions and P&L against the simulated front's own account, to the cent, after
random days of orders, partial fills, cancels, closes of today's and yesterday's lots (SHFE keeps
them apart, DCE does not) and reconnects with fills made while away; both flavours run the same
scenario. And the limits: refused before anything is sent."""

import asyncio
import inspect
import random
import uuid

import pytest

import ctp
from ctp import Direction, OffsetFlag, PosiDirection
from ledger import to_cents
from test_front import CONFIG, CUSTOM_ALPHA

LONG = 30.0
INSTRUMENTS = ("ag2512", "p2509")           # SHFE (today's and yesterday's lots apart), DCE
TICK = {"ag2512": 1.0, "p2509": 2.0}
SEQUENCES = 150                              # per flavour
STEPS = 16
FLAVOURS = {"blocking": ctp.Client, "asyncio": ctp.AsyncClient}


async def do(result):
    """A call's result in either flavour."""
    return await result if inspect.isawaitable(result) else result


async def drained(stream):
    if hasattr(stream, "__aiter__"):
        return [event async for event in stream]
    return list(stream)


def session_of(flavour, sim, tmp_path, name, **extra):
    """A client of the custom front's investor alpha on a fresh front (connected if blocking)."""
    sim.query_interval(0)
    config = tmp_path / "front.conf"
    if not config.exists():
        config.write_text(CONFIG, encoding="utf-8")
    front = f"sim://a{uuid.uuid4().hex[:12]}?config={config}"
    options = dict(CUSTOM_ALPHA, front=front, flow=tmp_path / name, query_interval=0.0, timeout=LONG) | extra
    return front.split("?")[0], FLAVOURS[flavour](**options)


async def agrees(client):
    """The client's positions and P&L are the front's, to the cent, valued at the front's last prices."""
    for instrument in INSTRUMENTS:
        (depth,) = await do(client.query("QryDepthMarketData", InstrumentID=instrument))
        client.mark(depth)
    (account,) = await do(client.query("QryTradingAccount"))
    records = await do(client.query("QryInvestorPosition"))
    pnl = client.pnl()
    for mine, theirs in (("realised", "CloseProfit"), ("floating", "PositionProfit"), ("commission", "Commission"),
                         ("margin", "CurrMargin"), ("frozen_margin", "FrozenMargin"),
                         ("frozen_commission", "FrozenCommission")):
        assert round(getattr(pnl, mine) * 100) == to_cents(account[theirs]), (mine, pnl, account)
    for position in client.positions:
        side = position.side
        parts = [r for r in records if r["InstrumentID"] == position.instrument and r["PosiDirection"] == side]
        figures = (position.volume, position.today, position.frozen, round(position.margin * 100),
                   round(position.floating * 100), round(position.realised * 100), round(position.commission * 100))
        front = (sum(r["Position"] for r in parts), sum(r["TodayPosition"] for r in parts),
                 sum(r["LongFrozen" if side == PosiDirection.SHORT else "ShortFrozen"] for r in parts),
                 sum(to_cents(r["UseMargin"]) for r in parts), sum(to_cents(r["PositionProfit"]) for r in parts),
                 sum(to_cents(r["CloseProfit"]) for r in parts), sum(to_cents(r["Commission"]) for r in parts))
        assert figures == front, (position, parts)
    held = {(p.instrument, p.side) for p in client.positions if p.volume}
    assert held == {(r["InstrumentID"], r["PosiDirection"]) for r in records if r["Position"]}


def volumes(client):
    return {(p.instrument, p.side): p.volume for p in client.positions}


def moved_by(events):
    """What the trade events say the positions moved by."""
    moved = {}
    for event in events:
        if event["name"] != "RtnTrade":
            continue
        trade = event["data"]
        opens = trade["OffsetFlag"] == OffsetFlag.OPEN
        buys = trade["Direction"] == Direction.BUY
        side = PosiDirection.LONG if buys == opens else PosiDirection.SHORT
        key = (trade["InstrumentID"], side)
        moved[key] = moved.get(key, 0) + (trade["Volume"] if opens else -trade["Volume"])
    return moved


async def until_reconnected_event(stream):
    """The Reconnected event that comes next on the stream (which it closes)."""
    found = None
    if hasattr(stream, "__aiter__"):
        async for event in stream:
            if event["name"] == "Reconnected":
                found = event
                break
    else:
        for event in stream:
            if event["name"] == "Reconnected":
                found = event
                break
    stream.close()
    assert found is not None, "reconnected"
    return found


async def until_reconnected(stream):
    await until_reconnected_event(stream)


async def a_day(flavour, sim, tmp_path, seed):
    """One random day; returns how many reconnects, trades, fills learnt while catching up, and
    closes of yesterday's lots on SHFE it saw."""
    rng = random.Random(seed)
    front, client = session_of(flavour, sim, tmp_path, f"flow{seed}")
    client = await do(client.connect()) if flavour == "asyncio" else client
    api = sim.last_api()
    reconnects = 0
    try:
        events = client.events(timeout=0)
        start = volumes(client)
        working = []
        for _ in range(STEPS):
            action = rng.choice(("open", "open", "close", "close", "cancel", "move", "away"))
            instrument = rng.choice(INSTRUMENTS)
            reference = sim.price(front, instrument)
            if action == "open":
                direction = rng.choice((Direction.BUY, Direction.SELL))
                ticks = rng.choice((-2, -1, 1, 2, 3))           # resting, or crossing some levels
                price = reference + (ticks if direction == Direction.BUY else -ticks) * TICK[instrument]
                order = await do(client.insert_order(instrument, direction, rng.randint(1, 9), price))
                working.append(order)
            elif action == "close":
                closable = [p for p in client.positions if p.closable]
                if not closable:
                    continue
                position = rng.choice(closable)
                instrument = position.instrument
                reference = sim.price(front, instrument)
                ticks = rng.choice((-1, 1, 2))
                buys = position.side == PosiDirection.SHORT
                price = reference + (ticks if buys else -ticks) * TICK[instrument]
                orders = await do(client.close_position(instrument, position.side,
                                                        rng.randint(1, position.closable), price))
                working += orders
            elif action == "cancel":
                resting = [o for o in working if not o.done and o.order_sys_id]
                if resting:
                    order = rng.choice(resting)
                    try:
                        await do(client.cancel(order))
                    except ctp.CtpError:
                        pass            # it traded meanwhile
            elif action == "move":
                sim.move_price(front, instrument, rng.choice((-3, -2, 2, 3)))
            else:           # away: the market trades the resting orders while the session is gone
                reconnects += 1
                watch = client.events(timeout=LONG)
                sim.disconnect(api)
                sim.move_price(front, instrument, rng.choice((-3, 3)))
                sim.reconnect(api)
                await until_reconnected(watch)
            await do(client.query("QryTradingAccount"))        # every event before its reply is in
        await agrees(client)
        seen = await drained(events)
        moved = moved_by(seen)
        now = volumes(client)
        for key in set(now) | set(start):
            assert now.get(key, 0) - start.get(key, 0) == moved.get(key, 0), (key, seen)
        keys = [(e["data"]["ExchangeID"], e["data"]["TradeID"], e["data"]["Direction"])
                for e in seen if e["name"] == "RtnTrade"]
        assert len(keys) == len(set(keys)), "each trade once"
        recovered = [e["data"] for e in seen if e["name"] == "RtnTrade" and e.get("recovered")]
        reported = [t for e in seen if e["name"] == "Reconnected" for t in e["trades"]]
        assert recovered == reported
        assert len([e for e in seen if e["name"] == "Reconnected"]) == reconnects
        yesterday = sum(1 for e in seen if e["name"] == "RtnTrade" and e["data"]["InstrumentID"] == "ag2512"
                        and e["data"]["OffsetFlag"] == OffsetFlag.CLOSE)
    finally:
        client.close()
    return reconnects, len(keys), len(recovered), yesterday


@pytest.mark.parametrize("flavour", FLAVOURS)
def test_random_days_agree_with_the_front_to_the_cent(sim, tmp_path, flavour):
    sim.query_interval(0)

    async def days():
        return [await a_day(flavour, sim, tmp_path, seed) for seed in range(SEQUENCES)]
    reconnects, trades, recovered, yesterday = map(sum, zip(*asyncio.run(days())))
    print(f"{SEQUENCES} days: {reconnects} reconnects, {trades} trades, {recovered} of them recovered, "
          f"{yesterday} closes of yesterday's lots on SHFE")
    assert reconnects > SEQUENCES // 2 and recovered > 0 and trades > SEQUENCES and yesterday > 0, "all was tried"
    assert sim.violations() == 0


def refused(rule):
    return pytest.raises(ctp.OrderRefused, match=rf"^{rule}: ")


@pytest.mark.parametrize("flavour", FLAVOURS)
def test_limits_refuse_before_anything_is_sent(sim, tmp_path, flavour):
    limits = ctp.Limits(max_order_volume=5, max_position={"ag2512": 6}, max_ticks_away=10)

    async def scenario():
        front, client = session_of(flavour, sim, tmp_path, "limits", limits=limits)
        client = await do(client.connect()) if flavour == "asyncio" else client
        api = sim.last_api()
        try:
            assert client.limits is limits
            sent = lambda: len(sim.calls(api=api, op="ReqOrderInsert"))     # noqa: E731
            with refused("max_order_volume") as caught:
                await do(client.insert_order("ag2512", Direction.BUY, 6, 7990.0))
            assert caught.value.rule == "max_order_volume" and "6 lots" in str(caught.value)
            with refused("max_ticks_away"):
                await do(client.insert_order("ag2512", Direction.BUY, 1, 8011.0))
            with refused("max_ticks_away"):
                await do(client.insert_order("p2509", Direction.BUY, 1, 8200.0 - 22 * 2))
            assert sent() == 0, "nothing reached the front"
            # Long 4 held since yesterday: 2 more reach the limit of 6, counting working orders.
            resting = await do(client.insert_order("ag2512", Direction.BUY, 2, 7995.0))
            with refused("max_position") as caught:
                await do(client.insert_order("ag2512", Direction.BUY, 1, 7995.0))
            assert "7 lots" in str(caught.value) and "the limit is 6" in str(caught.value)
            await do(client.insert_order("ag2512", Direction.SELL, 3, 8005.0))     # the other side: 3 of 6
            assert sent() == 2
            # Closing: yesterday's 4 long with CLOSE on SHFE, today's 0 with CLOSE_TODAY.
            with refused("closable") as caught:
                await do(client.insert_order("ag2512", Direction.SELL, 1, 8000.0, offset=OffsetFlag.CLOSE_TODAY))
            assert "CLOSE_TODAY" in str(caught.value) and "yesterday" in str(caught.value)
            with refused("closable"):
                await do(client.close_position("ag2512", PosiDirection.LONG, 5, 8000.0))
            with refused("closable"):            # DCE: short 3, one close of 4
                await do(client.insert_order("p2509", Direction.BUY, 4, 8200.0, offset=OffsetFlag.CLOSE))
            assert sent() == 2
            closes = await do(client.close_position("ag2512", PosiDirection.LONG, 3, 8010.0))
            assert [o.offset for o in closes] == [OffsetFlag.CLOSE] and sent() == 3
            assert client.position("ag2512", PosiDirection.LONG).frozen == 3
            with refused("closable"):           # 1 left to close, 3 frozen by the working close
                await do(client.close_position("ag2512", PosiDirection.LONG, 2, 8010.0))
            await do(client.cancel(resting))
        finally:
            client.close()
    asyncio.run(scenario())


def test_orders_per_second_count_what_went_out():
    from ctp._account import Contracts
    from ctp._limits import Guard, Planned
    guard = Guard(ctp.Limits(max_orders_per_second=2))
    order = Planned("rb2705", Direction.BUY, OffsetFlag.OPEN, 1, 3100.0)
    for now in (10.0, 10.4):
        guard.check(now, [order], Contracts(), None, [])
        guard.sent(now)
    with refused("max_orders_per_second"):
        guard.check(10.9, [order], Contracts(), None, [])
    guard.check(11.01, [order], Contracts(), None, [])        # the first left the last second
    with pytest.raises(ValueError, match="max_order_volume"):
        ctp.Limits(max_order_volume=0)
    with pytest.raises(TypeError, match="max_position"):
        ctp.Limits(max_position=2.5)


def test_a_shfe_close_takes_yesterday_s_then_today_s_lots(sim, tmp_path):
    """Long 4 of yesterday plus 2 of today: closing 5 sends CLOSE for 4 and CLOSE_TODAY for 1; DCE one CLOSE."""
    front, client = session_of("blocking", sim, tmp_path, "close")
    with client:
        client.insert_order("ag2512", Direction.BUY, 2, 8001.0).wait(LONG)
        assert (client.position("ag2512", PosiDirection.LONG).today, client.position(
            "ag2512", PosiDirection.LONG).yesterday) == (2, 4)
        closes = client.close_position("ag2512", PosiDirection.LONG, 5, 7990.0)
        assert [(o.offset, o.volume) for o in closes] == [(OffsetFlag.CLOSE, 4), (OffsetFlag.CLOSE_TODAY, 1)]
        client.insert_order("p2509", Direction.SELL, 2, 8198.0).wait(LONG)
        (close,) = client.close_position("p2509", PosiDirection.SHORT, 4, 8220.0)
        assert (close.offset, close.volume) == (OffsetFlag.CLOSE, 4)
        for order in closes + [close]:
            order.wait(LONG)
        client.query("QryTradingAccount")
        assert client.position("ag2512", PosiDirection.LONG).volume == 1


@pytest.mark.parametrize("flavour", FLAVOURS)
def test_contracts_statements_statuses_and_passwords(sim, tmp_path, flavour):
    async def scenario():
        front, client = session_of(flavour, sim, tmp_path, "contracts")
        client = await do(client.connect()) if flavour == "asyncio" else client
        api = sim.last_api()
        asked = lambda name: len(sim.calls(api=api, op=f"Req{name}"))      # noqa: E731
        try:
            events = client.events(timeout=0)
            record = await do(client.instrument("ag2512"))
            assert (record["ExchangeID"], record["VolumeMultiple"], record["PriceTick"]) == ("SHFE", 15, 1.0)
            before = asked("QryInstrument")
            assert await do(client.instrument("ag2512")) == record and asked("QryInstrument") == before, "cached"
            await do(client.instrument("ag2512", refresh=True))
            assert asked("QryInstrument") == before + 1
            with pytest.raises(ValueError, match="nope"):
                await do(client.instrument("nope"))
            margin, commission = await do(client.margin_rate("p2509")), await do(client.commission_rate("p2509"))
            assert (margin["LongMarginRatioByMoney"], margin["ShortMarginRatioByVolume"]) == (0.05, 330.0)
            assert (commission["OpenRatioByVolume"], commission["CloseTodayRatioByVolume"]) == (2.5, 1.2)
            contract = await do(client.contract("p2509"))
            assert (contract.exchange, contract.multiple, contract.tick, contract.by_date) == ("DCE", 10, 2.0, False)
            assert (await do(client.contract("ag2512"))).by_date and contract.settlement == 8200.0
            # The statement: the records' pieces joined, then decoded once.
            pieces = await do(client.query("QrySettlementInfo"))
            text = await do(client.settlement())
            assert text == b"".join(bytes(p["Content"]) for p in pieces).decode("gb18030") and text
            # Statuses: kept per instrument, and delivered as events.
            assert client.instrument_status("ag2512") in (ctp.InstrumentStatus.CONTINUOUS, None)
            sim.set_status(front, "ag2512", ctp.InstrumentStatus.NO_TRADING)
            await do(client.query("QryTradingAccount"))
            assert client.instrument_status("ag2512") == ctp.InstrumentStatus.NO_TRADING
            assert client.instrument_status("p2509") != ctp.InstrumentStatus.NO_TRADING
            seen = await drained(events)
            assert [e["data"]["InstrumentStatus"] for e in seen if e["name"] == "RtnInstrumentStatus"
                    and e["data"]["InstrumentID"] == "ag2512"][-1:] == ["1"]
            # A new password: refused with a wrong old one, and the next login uses it.
            with pytest.raises(ctp.CtpError) as refused:
                await do(client.change_password("wrong", "next-pw"))
            assert refused.value.error_id == 61
            await do(client.change_password(CUSTOM_ALPHA["password"], "next-pw"))
            watch = client.events(timeout=LONG)
            sim.disconnect(api)
            sim.reconnect(api)
            await until_reconnected(watch)
            assert client.ready
            logins = [c for c in sim.calls(api=api, op="ReqUserLogin")]
            assert len(logins) == 2
        finally:
            client.close()
    asyncio.run(scenario())


def test_a_new_trading_day_carries_the_positions_over(sim, tmp_path):
    """The front settles the day and takes the session back: what was today's is yesterday's, and
    the client still agrees with the front."""
    front, client = session_of("blocking", sim, tmp_path, "day")
    with client:
        client.insert_order("ag2512", Direction.BUY, 2, 8001.0).wait(LONG)
        client.close_position("ag2512", PosiDirection.LONG, 1, 7999.0)[0].wait(LONG)
        day = client.trading_day
        watch = client.events(timeout=LONG)
        sim.settle(front)
        asyncio.run(until_reconnected(watch))
        client.query("QryTradingAccount")
        assert client.trading_day != day
        long = client.position("ag2512", PosiDirection.LONG)
        assert (long.today, long.yesterday, long.realised, long.commission) == (0, 5, 0.0, 0.0)
        asyncio.run(agrees(client))


def test_finished_orders_beyond_keep_leave_the_book_and_stay_out(sim, tmp_path):
    front, client = session_of("blocking", sim, tmp_path, "keep", keep_orders=2)
    with client:
        api = sim.last_api()
        filled = client.insert_order("ag2512", Direction.BUY, 1, 8001.0)
        filled.wait(LONG)
        for n in range(5):
            client.cancel(client.insert_order("ag2512", Direction.BUY, 1, 7990.0 - n))
        resting = client.insert_order("p2509", Direction.BUY, 1, 8190.0)
        client.query("QryTradingAccount")
        assert client.orders[-1] is resting and len(client.orders) == 3, "the working one and the latest 2 finished"
        assert filled not in client.orders and len(client.trades) == 1
        assert client.position("ag2512", PosiDirection.LONG).today == 1, "its trade still counts"
        watch = client.events(timeout=LONG)
        sim.disconnect(api)
        sim.reconnect(api)
        reconnected = asyncio.run(until_reconnected_event(watch))
        assert len(client.orders) == 3 and reconnected["orders"] == [] and reconnected["trades"] == []
        asyncio.run(agrees(client))


def test_following_market_data_values_the_positions_at_its_ticks(sim, tmp_path):
    front, client = session_of("blocking", sim, tmp_path, "follow")
    with client, ctp.MarketData(front, "1010", "alpha", "pw-alpha", flow=tmp_path / "md", timeout=LONG,
                                driver=client.driver) as market:
        long = client.position("ag2512", PosiDirection.LONG)
        assert long.mark == 8000.0 and long.floating == 0.0, "yesterday's settlement price before any tick"
        client.follow(market)
        ticks = market.ticks(timeout=LONG)
        market.subscribe("ag2512")
        sim.set_price(front, "ag2512", 8010.0)
        client.insert_order("ag2512", Direction.SELL, 1, 8009.0).wait(LONG)     # a trade: the last price moves
        last = None
        for tick in ticks:
            last = tick["LastPrice"]
            if last == 8009.0:
                break
        ticks.close()
        long = client.position("ag2512", PosiDirection.LONG)
        assert long.mark == 8009.0 and long.floating == 4 * 9 * 15
        with ctp.MarketData(front, "1010", "alpha", "pw-alpha", flow=tmp_path / "md2", timeout=LONG) as other:
            with pytest.raises(ValueError, match="driver"):
                client.follow(other)


def test_an_unread_events_iterator_keeps_its_backlog_and_says_what_it_let_go(sim, tmp_path):
    front, client = session_of("blocking", sim, tmp_path, "backlog")
    with client:
        kept, everything = client.events(timeout=0, backlog=3), client.events(timeout=0, backlog=None)
        for n in range(3):
            client.cancel(client.insert_order("ag2512", Direction.BUY, 1, 7990.0 - n))
        client.query("QryTradingAccount")
        every, seen = list(everything), list(kept)
        assert len(every) > 6
        assert seen == [{"name": "Dropped", "count": len(every) - 3}] + every[-3:]
        with pytest.raises(ValueError, match="backlog"):
            client.events(backlog=0)
