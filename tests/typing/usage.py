"""How a typed strategy uses _ctp, ctp and ctp.sim; checked by mypy --strict
only (never run). Lines marked "type: ignore[...]" must stay errors: with
--strict an ignore that is no longer needed is itself an error."""

from typing import TYPE_CHECKING, Any, assert_type

import _ctp
from ctp import ActionFlag, Direction, OffsetFlag, OrderStatus, sim

if TYPE_CHECKING:
    from _ctp import Event, Handle, Instrument, Order, OrderInsertFields


def order(handle: "Handle", price: float) -> int:
    fields: OrderInsertFields = {"BrokerID": "9999", "InvestorID": "000001", "InstrumentID": "rb2705",
                                 "Direction": Direction.BUY, "CombOffsetFlag": OffsetFlag.OPEN,
                                 "LimitPrice": price, "VolumeTotalOriginal": 1}
    return _ctp.request(handle, "OrderInsert", fields, 7)


def cancel(handle: "Handle", order: "Order") -> int:
    return _ctp.request(handle, "OrderAction", {"ExchangeID": order["ExchangeID"],
                                                "OrderSysID": order["OrderSysID"], "ActionFlag": ActionFlag.DELETE}, 8)


def handle_event(event: "Event") -> str:
    if event["name"] == "FrontDisconnected":
        assert_type(event["reason"], int)
        return "disconnected"
    if event["name"] == "RtnOrder" and event["data"] is not None:
        assert_type(event["data"]["VolumeTraded"], int)
        return "filled" if event["data"]["OrderStatus"] == OrderStatus.ALL_TRADED else "open"
    if event["name"] == "RspQryTradingAccount" and event["data"] is not None:
        assert_type(event["data"]["Available"], float)
    if event["name"] == "RspQrySettlementInfo" and event["data"] is not None:
        assert_type(event["data"]["Content"], bytes)
    if event["name"] == "HeartBeatWarning":
        assert_type(event["time_lapse"], int)
    elif event["name"] != "FrontConnected":
        assert_type(event["error"]["ErrorID"], int)
        assert_type(event["request_id"], int)
    return event["name"]


def multiple(instrument: "Instrument") -> int:
    """A member of complete records only: there with full_records=True."""
    return instrument.get("VolumeMultiple", 1)


def session() -> None:
    assert_type(_ctp.version(), str)
    handle = _ctp.create(["sim://typed", "tcp://192.0.2.1:1"], b"/tmp/flow/", private_resume="restart",
                         full_records=True)
    _ctp.request(handle, "UserLogin", {"BrokerID": "9999", "UserID": "000001", "Password": "123456"}, 1)
    for event in _ctp.poll(handle):
        handle_event(event)
    sim.set_price("sim://typed", "rb2705", 3120.0)
    assert_type(sim.price("sim://typed", "rb2705"), float)
    sim.disconnect(sim.last_api())
    assert_type([c.name for c in sim.calls(op="ReqUserLogin")], list[str])
    _ctp.close(handle)


def mistakes(handle: "Handle", event: "Event") -> None:
    _ctp.request(handle, "UserLogin", {"Pasword": "x"}, 1)  # type: ignore[call-overload]
    _ctp.request(handle, "OrderInsert", {"VolumeTotalOriginal": "1"}, 1)  # type: ignore[call-overload]
    _ctp.request(handle, "Logout", {}, 1)  # type: ignore[call-overload]
    _ctp.create("sim://x", "/tmp/")  # type: ignore[arg-type]
    _ctp.create("sim://x", b"/tmp/", private_resume="fast")  # type: ignore[arg-type]
    _ctp.create("sim://x", b"/tmp/", "quick")  # type: ignore[call-arg]
    event["reason"]  # type: ignore[typeddict-item]
    if event["name"] == "RtnTrade" and event["data"] is not None:
        event["data"]["OrderStatus"]  # type: ignore[typeddict-item]
    sim.set_price("sim://x", "rb2705", "3100")  # type: ignore[arg-type]


def follow(front: str) -> float:
    """Market data: the stubs of _ctpmd narrow its events the same way."""
    import _ctpmd

    handle = _ctpmd.create(front, b"/tmp/md/")
    _ctpmd.request(handle, "UserLogin", {"BrokerID": "9999", "UserID": "000001", "Password": "x"}, 1)
    assert_type(_ctpmd.subscribe(handle, ["rb2705", "au2706"]), int)
    for event in _ctpmd.poll(handle):
        if event["name"] == "RtnDepthMarketData" and event["data"] is not None:
            assert_type(event["data"]["Volume"], int)
            return event["data"]["BidPrice1"]
    _ctpmd.request(handle, "UserLogout", {"Pasword": "x"}, 2)  # type: ignore[call-overload]
    return 0.0


def market_data() -> None:
    import ctp
    with ctp.MarketData("sim://demo", "9999", "000001", "123456") as md:
        md.subscribe("rb2705")
        for tick in md.ticks(timeout=1.0):
            assert_type(tick["LastPrice"], Any)
        latest = md.latest("rb2705")
        assert_type(latest, dict[str, Any] | None)
    md.subscribe(2705)  # type: ignore[arg-type]


async def async_market_data() -> None:
    import ctp
    async with ctp.AsyncMarketData("sim://demo", "9999", "000001", "123456") as amd:
        await amd.subscribe("rb2705")
        async for tick in amd.ticks(timeout=1.0):
            assert_type(tick, dict[str, Any])
