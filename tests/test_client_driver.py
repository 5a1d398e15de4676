"""Drivers that run several sessions: trading and market data (and several accounts) read by
one thread from one stream, in the order the events arrived, ticks conflated on request;
each scenario with ``ctp.Driver`` and with ``ctp.AsyncDriver`` (on a loop of its own)."""

import asyncio
import uuid

import pytest

import ctp
from clients import LONG, TRADER, VIEWER, Asyncio, Blocking
from ctp import Direction, TimeCondition
from records import record


class Drivers:
    """One driver of one flavour on a fresh simulated front, and the sessions made on it."""

    def __init__(self, sim, runner, tmp_path):
        self.sim, self.runner, self.tmp_path = sim, runner(), tmp_path
        self.front = f"sim://c{uuid.uuid4().hex[:12]}"
        blocking = self.runner.name == "blocking"
        self.driver = ctp.Driver() if blocking else ctp.AsyncDriver()
        self.client_type = ctp.Client if blocking else ctp.AsyncClient
        self.market_type = ctp.MarketData if blocking else ctp.AsyncMarketData
        self.made = 0
        sim.query_interval(0)

    def flow(self):
        self.made += 1
        return self.tmp_path / f"flow{self.made}"

    def client(self, **who):
        return self.runner.make(self.client_type, front=self.front, **(TRADER | who), flow=self.flow(),
                                query_interval=0.0, timeout=LONG, driver=self.driver)

    def market(self):
        return self.runner.make(self.market_type, front=self.front, **VIEWER, flow=self.flow(), timeout=LONG,
                                driver=self.driver)

    def stop(self):
        self.runner.inside(self.driver.close)
        self.runner.stop()


@pytest.fixture(params=[Blocking, Asyncio], ids=["Driver", "AsyncDriver"])
def drivers(request, sim, tmp_path):
    d = Drivers(sim, request.param, tmp_path)
    yield d
    d.stop()


def test_one_thread_trades_on_ticks_from_one_stream(drivers):
    """A strategy in one thread: it reads ticks and its orders' events from one stream and trades
    on them, with no other call to keep the trading session read."""
    client, market = drivers.client(), drivers.market()
    events = drivers.driver.events(timeout=LONG)
    drivers.runner.do(market.subscribe("rb2705"))

    def strategy():
        seen, order = [], None
        for source, event in events:
            seen.append((source, event["name"]))
            if event["name"] == "RtnDepthMarketData" and order is None:
                order = client.insert_order("rb2705", Direction.BUY, 1, event["data"]["AskPrice1"],
                                            time_condition=TimeCondition.IOC)
            if event["name"] == "RtnTrade" and source is client:
                return seen, order, event["data"]

    async def async_strategy():
        seen, order = [], None
        async for source, event in events:
            seen.append((source, event["name"]))
            if event["name"] == "RtnDepthMarketData" and order is None:
                order = await client.insert_order("rb2705", Direction.BUY, 1, event["data"]["AskPrice1"],
                                                  time_condition=TimeCondition.IOC)
            if event["name"] == "RtnTrade" and source is client:
                return seen, order, event["data"]

    seen, order, trade = strategy() if drivers.runner.name == "blocking" else drivers.runner.run(async_strategy())
    tick = seen.index((market, "RtnDepthMarketData"))
    assert seen.index((client, "RtnOrder")) > tick, "in the order they arrived: the tick, then the order's news"
    assert trade["OrderSysID"] == order.order_sys_id and order.traded == 1 and order.status == ctp.OrderStatus.ALL_TRADED
    assert all(source in (client, market) for source, _ in seen)


def test_several_accounts_and_market_data_share_one_driver(drivers):
    buyer, seller, market = drivers.client(), drivers.client(user="000002"), drivers.market()
    events = drivers.driver.events(timeout=LONG)
    drivers.runner.do(market.subscribe("au2706"))
    bid = drivers.runner.do(buyer.insert_order("rb2705", Direction.BUY, 1, 3100))     # the best bid
    drivers.runner.do(seller.insert_order("rb2705", Direction.SELL, 1, 3100))
    trades = drivers.runner.collect(events, lambda pair: pair[1]["name"] == "RtnTrade", 2)
    assert {source for source, _ in trades} == {buyer, seller}
    assert drivers.runner.do(bid.wait(LONG)).status == ctp.OrderStatus.ALL_TRADED
    assert buyer.driver is seller.driver is market.driver is drivers.driver


def test_conflated_ticks_give_the_newest_of_each_instrument_in_arrival_order(drivers):
    market = drivers.market()
    sim = drivers.sim
    api = sim.md_api_of(bytes(market.flow) + b"/")
    conflated, ticks = drivers.driver.events(timeout=0, conflate=True), market.ticks(timeout=0, conflate=True)
    every = drivers.driver.events(timeout=0)

    def tick(instrument, price):
        sim.md_emit(api, "OnRtnDepthMarketData", record("CThostFtdcDepthMarketDataField", InstrumentID=instrument,
                                                         LastPrice=price))

    def arrive():      # while nothing reads: they wait in the session's queue
        for instrument, price in [("rb2705", 1.0), ("au2706", 1.0), ("rb2705", 2.0)]:
            tick(instrument, price)
        sim.md_emit(api, "OnRspError", record("CThostFtdcRspInfoField", ErrorID=5, ErrorMsg=b"x"), id=2)
        for price in range(3, 200):
            tick("rb2705", float(price))
    drivers.runner.inside(arrive)

    def seen(pairs):
        return [(e["name"], e["data"]["InstrumentID"], e["data"]["LastPrice"]) if e["name"] == "RtnDepthMarketData"
                else (e["name"],) for _, e in pairs]
    assert seen(drivers.runner.collect(conflated)) == [("RtnDepthMarketData", "au2706", 1.0), ("RspError",),
                                                        ("RtnDepthMarketData", "rb2705", 199.0)]
    assert [(t["InstrumentID"], t["LastPrice"]) for t in drivers.runner.collect(ticks)] == [("au2706", 1.0),
                                                                                            ("rb2705", 199.0)]
    assert len(drivers.runner.collect(every)) == 201, "unconflated, every one"


def test_closing_the_driver_closes_its_sessions_and_ends_its_streams(drivers):
    client, market = drivers.client(), drivers.market()
    events = drivers.driver.events(timeout=LONG)
    drivers.runner.inside(drivers.driver.close)
    assert drivers.runner.collect(events) == []
    assert not client.ready and not market.ready
    with pytest.raises(ctp.Disconnected):
        drivers.runner.do(client.query("QryOrder"))
    with pytest.raises(ctp.Disconnected, match="driver"):
        drivers.client()


def test_a_driver_of_the_other_flavour_is_refused(sim, tmp_path):
    with pytest.raises(TypeError, match="driver must be a ctp.Driver"):
        ctp.Client("sim://x", **TRADER, flow=tmp_path, driver=ctp.AsyncDriver())

    async def make():
        return ctp.AsyncMarketData("sim://x", **VIEWER, flow=tmp_path, driver=ctp.Driver())
    with pytest.raises(TypeError, match="driver must be a ctp.AsyncDriver"):
        asyncio.run(make())


def test_the_readme_s_loop_runs(sim, capsys):
    import re
    from conftest import ROOT
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    [loop] = [code for code in re.findall(r"```python\n(.*?)```", text, re.S) if "events = driver.events(" in code]
    front = f"sim://c{uuid.uuid4().hex[:12]}"
    exec(loop.replace("sim://demo", front), {})
    assert capsys.readouterr().out.startswith("bought 1 at ")
