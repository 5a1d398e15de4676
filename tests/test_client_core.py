"""The client's core, driven by hand: a scripted front answers what the core
sends, and the clock moves only when a test moves it."""

import logging

import pytest

from ctp import CtpError, Direction, Disconnected, OffsetFlag, OrderStatus, Overflowed, TimeCondition
from ctp._core import Phase, Session, transmit
from ctp._trading import TRADING, BaseOrder, OrderBook

LOGIN = {"TradingDay": "20261208", "FrontID": 1, "SessionID": 5, "MaxOrderRef": "41"}


class Front:
    """Sends through the core's outgoing requests, logs them, and answers as scripted."""

    def __init__(self, query_interval=1.0, timeout=5.0):
        self.now = 100.0
        self.book = OrderBook(BaseOrder)
        self.core = Session(TRADING, [self.book], broker="9999", user="000001", password="123456", app_id="app",
                            auth_code="code", query_interval=query_interval, timeout=timeout)
        self.sent = []            # (name, fields, request id)
        self.results = []         # results to return next, then 0
        self.events = []
        self.core.listen(self.events.append)

    def request(self, call):
        self.sent.append((call.name, dict(call.fields), call.request_id))
        return self.results.pop(0) if self.results else 0

    def step(self, seconds=0.0):
        self.now += seconds
        self.core.advance(self.now)
        transmit(self.core, self.request, self.now)

    def query(self, name, fields, now, timeout=None):
        call = self.core.query(name, fields, now, timeout)
        self.step()
        return call

    def names(self):
        return [name for name, _, _ in self.sent]

    def last(self, name=None):
        for sent in reversed(self.sent):
            if name is None or sent[0] == name:
                return sent
        raise AssertionError(f"{name} not sent: {self.names()}")

    def event(self, name, **event):
        self.core.receive({"name": name, **event})
        self.step()

    def reply(self, name, data=None, error=0, message="", last=True, rid=None):
        request = name.removeprefix("Rsp")
        rid = self.last(request)[2] if rid is None else rid
        self.event(name, data=data, error={"ErrorID": error, "ErrorMsg": message}, request_id=rid, last=last)

    def log_in(self, login=LOGIN):
        call = self.core.connect(self.now)
        self.event("FrontConnected")
        self.reply("RspAuthenticate", {"BrokerID": "9999", "UserID": "000001", "AppID": "app"})
        self.reply("RspUserLogin", dict(login))
        self.reply("RspSettlementInfoConfirm", {"BrokerID": "9999", "InvestorID": "000001"})
        return call

    def rtn_order(self, order, status, traded=0, sys_id="17", session=None, ref=None, **extra):
        data = dict(TradingDay="20261208", ExchangeID="SHFE", InstrumentID=order.instrument if order else "rb2705",
                    OrderSysID=sys_id, OrderRef=ref or order.order_ref, FrontID=1,
                    SessionID=session or LOGIN["SessionID"], Direction="0", CombOffsetFlag="0", CombHedgeFlag="1",
                    LimitPrice=3100.0, VolumeTotalOriginal=order.volume if order else 1, VolumeTraded=traded,
                    VolumeTotal=(order.volume if order else 1) - traded, OrderStatus=status,
                    OrderSubmitStatus="3" if sys_id else "0", StatusMsg="", InsertDate="", InsertTime="")
        data.update(extra)
        self.event("RtnOrder", data=data, error={"ErrorID": 0, "ErrorMsg": ""}, request_id=0, last=True)

    def rtn_trade(self, trade_id, volume, sys_id="17", price=3100.0):
        data = dict(TradingDay="20261208", ExchangeID="SHFE", InstrumentID="rb2705", OrderSysID=sys_id,
                    OrderRef="", TradeID=trade_id, Direction="0", OffsetFlag="0", HedgeFlag="1", Price=price,
                    Volume=volume, TradeDate="", TradeTime="")
        self.event("RtnTrade", data=data, error={"ErrorID": 0, "ErrorMsg": ""}, request_id=0, last=True)


@pytest.fixture
def front():
    return Front()


@pytest.fixture
def ready(front):
    assert front.log_in().done
    front.sent.clear()
    front.events.clear()
    return front


# ---- the session protocol ---------------------------------------------------------------------------

def test_logs_in_by_the_protocol_and_keeps_the_login(front):
    call = front.core.connect(front.now)
    assert front.sent == [] and not call.done
    front.event("FrontConnected")
    assert front.sent == [("Authenticate", {"BrokerID": "9999", "UserID": "000001", "AppID": "app",
                                            "AuthCode": "code"}, 1)]
    front.reply("RspAuthenticate", {})
    assert front.last() == ("UserLogin", {"BrokerID": "9999", "UserID": "000001", "Password": "123456"}, 2)
    front.reply("RspUserLogin", dict(LOGIN))
    assert front.last() == ("SettlementInfoConfirm", {"BrokerID": "9999", "InvestorID": "000001"}, 3)
    assert not call.done and front.core.phase is Phase.LOGGING_IN
    front.reply("RspSettlementInfoConfirm", {})
    assert call.value() == LOGIN and front.core.login == LOGIN and front.core.phase is Phase.READY
    assert [e["name"] for e in front.events] == ["FrontConnected", "RspAuthenticate", "RspUserLogin",
                                                  "RspSettlementInfoConfirm"]


@pytest.mark.parametrize("step", ["RspAuthenticate", "RspUserLogin", "RspSettlementInfoConfirm"])
def test_a_refused_login_step_fails_the_connect_with_its_error(front, step):
    call = front.core.connect(front.now)
    front.event("FrontConnected")
    for name in ["RspAuthenticate", "RspUserLogin", "RspSettlementInfoConfirm"]:
        if name == step:
            front.reply(name, None, error=60, message="用户名或密码错误")
            break
        front.reply(name, dict(LOGIN))
    with pytest.raises(CtpError) as caught:
        call.value()
    error = caught.value
    assert (error.error_id, error.message, error.request) == (60, "用户名或密码错误", step.removeprefix("Rsp"))
    assert error.request_id == front.last()[2] and "用户名或密码错误" in str(error)
    assert front.core.phase is Phase.LOGIN_FAILED


def test_connect_times_out_when_the_front_never_answers(front):
    call = front.core.connect(front.now, timeout=3)
    assert front.core.next_wakeup() == front.now + 3
    front.step(2.9)
    assert not call.done
    front.step(0.2)
    with pytest.raises(TimeoutError, match="no login"):
        call.value()


# ---- queries ------------------------------------------------------------------------------------------

def test_query_gathers_records_until_last_and_fills_in_the_investor(ready):
    call = ready.query("QryInvestorPosition", {"InstrumentID": "rb2705"}, ready.now)
    name, fields, rid = ready.last()
    assert name == "QryInvestorPosition"
    assert fields == {"BrokerID": "9999", "InvestorID": "000001", "InstrumentID": "rb2705"}
    ready.reply("RspQryInvestorPosition", {"Position": 1}, last=False)
    ready.reply("RspQryInvestorPosition", {"Position": 2}, last=False, rid=rid + 100)   # someone else's
    assert not call.done
    ready.reply("RspQryInvestorPosition", {"Position": 3})
    assert call.value() == [{"Position": 1}, {"Position": 3}]


def test_query_with_only_a_null_reply_gives_an_empty_list(ready):
    call = ready.query("QryOrder", {}, ready.now)
    ready.reply("RspQryOrder", None)
    assert call.value() == []


def test_queries_go_one_at_a_time_spaced_by_the_interval(ready):
    start = ready.now
    calls = [ready.query("QryTradingAccount", {}, ready.now) for _ in range(3)]
    assert ready.names() == ["QryTradingAccount"]
    ready.reply("RspQryTradingAccount", {"Balance": 1.0})
    assert calls[0].value() == [{"Balance": 1.0}]
    assert len(ready.sent) == 1 and ready.core.next_wakeup() == start + 1.0
    ready.step(0.5)
    assert len(ready.sent) == 1
    ready.step(0.5)
    assert len(ready.sent) == 2
    ready.step(3)                       # no reply yet: still one in flight
    assert len(ready.sent) == 2
    ready.reply("RspQryTradingAccount", {"Balance": 2.0})
    assert calls[1].value() == [{"Balance": 2.0}]
    assert len(ready.sent) == 3, "the interval had passed already"
    assert len({rid for _, _, rid in ready.sent}) == 3


@pytest.mark.parametrize("result", [-2, -3])
def test_a_query_refused_for_load_is_sent_again_with_backoff(ready, result):
    ready.results = [result, result, result]
    call = ready.query("QryInstrument", {}, ready.now)
    assert len(ready.sent) == 1
    gaps = []
    for _ in range(3):
        wake = ready.core.next_wakeup()
        gaps.append(wake - ready.now)
        ready.step(wake - ready.now)
    assert len(ready.sent) == 4 and 0 < gaps[0] < gaps[1] < gaps[2]
    assert len({rid for _, _, rid in ready.sent}) == 1, "the same request id each time"
    ready.reply("RspQryInstrument", {"InstrumentID": "rb2705"})
    assert call.value() == [{"InstrumentID": "rb2705"}]


def test_errors_raise_ctp_error_with_the_request(ready):
    call = ready.query("QryOrder", {}, ready.now)
    rid = ready.last()[2]
    ready.reply("RspQryOrder", None, error=3, message="尚未登录")
    with pytest.raises(CtpError) as caught:
        call.value()
    assert (caught.value.error_id, caught.value.message, caught.value.request, caught.value.request_id) == \
        (3, "尚未登录", "QryOrder", rid)
    other = ready.query("QryTrade", {}, ready.now)
    ready.step(1)
    ready.event("RspError", data=None, error={"ErrorID": 90, "ErrorMsg": "查询未就绪"},
                request_id=ready.last()[2], last=True)
    with pytest.raises(CtpError, match="QryTrade .*error 90"):
        other.value()


def test_a_query_times_out_and_frees_its_turn(ready):
    stuck = ready.query("QryOrder", {}, ready.now, timeout=2)
    after = ready.query("QryTrade", {}, ready.now)
    ready.step(2)
    with pytest.raises(TimeoutError):
        stuck.value()
    assert ready.names() == ["QryOrder", "QryTrade"]
    ready.reply("RspQryOrder", {"late": True})        # a late reply goes nowhere
    ready.reply("RspQryTrade", None)
    assert after.value() == []


def test_a_value_the_module_refuses_fails_only_that_call(ready):
    def request(call):
        if call.fields.get("InstrumentID") == 7:
            raise TypeError("InstrumentID 必须是字符串")
        return 0
    bad = ready.core.query("QryInstrument", {"InstrumentID": 7}, ready.now)
    good = ready.core.query("QryInstrument", {}, ready.now)
    transmit(ready.core, request, ready.now)
    with pytest.raises(TypeError):
        bad.value()
    assert not good.done


def test_unknown_keys_and_names_are_refused_naming_the_valid_ones(ready):
    with pytest.raises(ValueError, match="'LimitPirce'.*BrokerID, InvestorID, ExchangeID, InstrumentID"):
        ready.query("QryInvestorPosition", {"LimitPirce": 1}, ready.now)
    with pytest.raises(ValueError, match="not a query.*QryOrder"):
        ready.query("OrderInsert", {}, ready.now)
    assert ready.sent == []


# ---- orders -------------------------------------------------------------------------------------------

def buy(front, volume=2, **options):
    order, call = front.book.insert_order(front.now, "rb2705", Direction.BUY, volume, 3100, exchange="SHFE",
                                          **options)
    front.step()
    return order, call


def test_an_order_goes_out_with_the_defaults_and_the_next_order_ref(ready):
    order, call = buy(ready)
    name, fields, rid = ready.last()
    assert name == "OrderInsert" and call.done and call.value() is order
    assert fields == dict(BrokerID="9999", InvestorID="000001", UserID="000001", InstrumentID="rb2705",
                          ExchangeID="SHFE", OrderRef="42", OrderPriceType="2", Direction="0", CombOffsetFlag="0",
                          CombHedgeFlag="1", LimitPrice=3100.0, VolumeTotalOriginal=2, TimeCondition="3",
                          VolumeCondition="1", MinVolume=1, ContingentCondition="1", ForceCloseReason="0",
                          IsAutoSuspend=0, UserForceClose=0, CurrencyID="")
    second, _ = buy(ready, offset=OffsetFlag.CLOSE_TODAY, time_condition=TimeCondition.IOC)
    assert ready.last()[1]["OrderRef"] == "43" and ready.last()[1]["CombOffsetFlag"] == "3"
    assert ready.last()[1]["TimeCondition"] == "1"
    assert ready.book.order_by_ref(1, 5, "42") is order and ready.book.order_by_ref(1, 5, "43") is second


def test_an_order_follows_its_life_and_finishes_with_its_trades(ready):
    order, _ = buy(ready)
    finished = []
    order.add_done_callback(finished.append)
    ready.rtn_order(order, "a", sys_id="")
    ready.rtn_order(order, "3")
    assert order.status == OrderStatus.NO_TRADE_QUEUEING and order.order_sys_id == "17"
    assert ready.book.order_by_sys_id("SHFE", "17") is order
    ready.rtn_order(order, "1", traded=1)
    ready.rtn_trade("T1", 1)
    ready.rtn_trade("T1", 1)                          # the same trade again
    assert order.traded == 1 and len(order.trades) == 1 and order.remaining == 1
    ready.rtn_order(order, "0", traded=2)
    assert order.status == OrderStatus.ALL_TRADED and not order.done, "its last trade has not arrived"
    ready.rtn_trade("T2", 1)
    assert order.done and finished == [order] and [t["TradeID"] for t in order.trades] == ["T1", "T2"]
    assert [t["TradeID"] for t in ready.book.trades] == ["T1", "T2"]


def test_a_refusal_sent_twice_refuses_the_order_once(ready):
    order, _ = buy(ready)
    finished = []
    order.add_done_callback(finished.append)
    rid = ready.last()[2]
    error = {"ErrorID": 27, "ErrorMsg": "报单价格超出涨跌停板"}
    ready.event("RspOrderInsert", data={"OrderRef": "42"}, error=error, request_id=rid, last=True)
    first = order.error
    ready.event("ErrRtnOrderInsert", data={"OrderRef": "42"}, error=error, request_id=0, last=True)
    assert isinstance(first, CtpError) and first.error_id == 27 and first.request == "OrderInsert"
    assert order.error is first and order.done and finished == [order]
    assert [e["name"] for e in ready.events] == ["RspOrderInsert", "ErrRtnOrderInsert"], "both still delivered"


def test_a_refusal_that_comes_only_as_err_rtn_refuses_the_order(ready):
    order, _ = buy(ready)
    ready.event("ErrRtnOrderInsert", data={"OrderRef": "42"}, error={"ErrorID": 31, "ErrorMsg": "可用资金不足"},
                request_id=0, last=True)
    assert order.done and order.error.error_id == 31


def test_an_exchange_s_refusal_in_rtn_order_sets_the_error_from_its_text(ready):
    order, _ = buy(ready)
    ready.rtn_order(order, "a", sys_id="")
    ready.rtn_order(order, "5", sys_id="", OrderSubmitStatus="4", StatusMsg="已撤单报单被拒绝SHFE:价格超出涨跌停板")
    assert order.done and order.rejected and isinstance(order.error, CtpError)
    assert order.error.message == "已撤单报单被拒绝SHFE:价格超出涨跌停板" and order.error.request == "OrderInsert"


def test_what_the_front_replays_is_counted_and_delivered_once(ready):
    """A restarted flow replays the day's RtnOrder and RtnTrade after each login."""
    order, _ = buy(ready)
    ready.rtn_order(order, "3")
    ready.rtn_order(order, "1", traded=1)
    ready.rtn_trade("T1", 1)
    finished = []
    order.add_done_callback(finished.append)
    ready.events.clear()
    ready.rtn_order(order, "3")                       # replayed: older than what the book has
    ready.rtn_order(order, "1", traded=1)             # replayed: the same again
    ready.rtn_trade("T1", 1)
    assert ready.events == [], "the listeners saw them the first time"
    assert order.traded == 1 and order.status == OrderStatus.PART_TRADED_QUEUEING and len(ready.book.trades) == 1
    ready.rtn_order(order, "0", traded=2)
    ready.rtn_trade("T2", 1)
    assert [e["name"] for e in ready.events] == ["RtnOrder", "RtnTrade"] and finished == [order]


def test_orders_of_other_sessions_are_found_by_both_keys(ready):
    ready.rtn_order(None, "3", sys_id="99", session=8, ref="7")
    (other,) = ready.book.orders
    assert ready.book.order_by_ref(1, 8, "7") is other is ready.book.order_by_sys_id("SHFE", "99")
    assert other.status == "3" and other.instrument == "rb2705" and other.direction == Direction.BUY


def test_an_order_refused_for_load_is_sent_again(ready):
    ready.results = [-2]
    order, call = buy(ready)
    assert not call.done and len(ready.sent) == 1
    ready.step(ready.core.next_wakeup() - ready.now)
    assert call.done and [f["OrderRef"] for _, f, _ in ready.sent] == ["42", "42"]


def test_cancel_waits_for_the_order_sys_id_then_finishes_with_the_order(ready):
    order, _ = buy(ready)
    cancel = ready.book.cancel(order, ready.now)
    ready.step()
    assert ready.names() == ["OrderInsert"], "no OrderSysID yet"
    ready.rtn_order(order, "3")
    assert ready.last()[0] == "OrderAction"
    assert ready.last()[1] == dict(BrokerID="9999", InvestorID="000001", UserID="000001", ActionFlag="0",
                                   ExchangeID="SHFE", OrderSysID="17", InstrumentID="rb2705")
    assert not cancel.done
    ready.rtn_order(order, "5")
    assert cancel.value() is order and order.done and order.status == OrderStatus.CANCELED
    ready.rtn_order(order, "5")
    assert ready.names() == ["OrderInsert", "OrderAction"]


def test_a_refused_cancel_raises_once(ready):
    order, _ = buy(ready)
    ready.rtn_order(order, "3")
    cancel = ready.book.cancel(order, ready.now)
    ready.step()
    error = {"ErrorID": 26, "ErrorMsg": "报单已全部成交或已撤销，不能再撤"}
    data = {"ExchangeID": "SHFE", "OrderSysID": "17", "InstrumentID": "rb2705"}
    ready.event("RspOrderAction", data=data, error=error, request_id=ready.last()[2], last=True)
    ready.event("ErrRtnOrderAction", data=data, error=error, request_id=0, last=True)
    with pytest.raises(CtpError) as caught:
        cancel.value()
    assert caught.value.error_id == 26 and caught.value.request == "OrderAction"


def test_cancel_of_a_finished_order_sends_nothing(ready):
    order, _ = buy(ready)
    ready.rtn_order(order, "5")
    assert ready.book.cancel(order, ready.now).value() is order
    ready.step()
    assert ready.names() == ["OrderInsert"]


# ---- reconnect ----------------------------------------------------------------------------------------

def test_disconnect_fails_calls_and_reconnect_logs_in_and_rereads_the_day(ready):
    order, _ = buy(ready)
    ready.rtn_order(order, "3")
    inflight = ready.query("QryTradingAccount", {}, ready.now)
    queued = ready.query("QryInstrument", {}, ready.now)
    cancel = ready.book.cancel(order, ready.now)
    ready.step()
    ready.event("FrontDisconnected", reason=0x1001)
    for call in (inflight, queued, cancel):
        with pytest.raises(Disconnected) as caught:
            call.value()
        assert caught.value.reason == 0x1001
    with pytest.raises(Disconnected):
        ready.query("QryOrder", {}, ready.now)
    with pytest.raises(Disconnected):
        buy(ready)
    assert not order.done, "its fate is still to come"

    ready.sent.clear()
    ready.event("FrontConnected")
    ready.reply("RspAuthenticate", {})
    ready.reply("RspUserLogin", dict(LOGIN, SessionID=6, MaxOrderRef="50"))
    ready.reply("RspSettlementInfoConfirm", {})
    assert ready.core.login["SessionID"] == 6 and ready.core.phase is Phase.SYNCING, "not ready until caught up"
    ready.step(1)
    assert ready.names() == ["Authenticate", "UserLogin", "SettlementInfoConfirm", "QryOrder"]
    # The order traded while away.
    orders = dict(ready.book.order_by_ref(1, 5, "42").data, VolumeTraded=2, OrderStatus="0")
    ready.reply("RspQryOrder", orders)
    assert not order.done and ready.core.phase is Phase.SYNCING
    ready.step(1)
    trade = dict(TradingDay="20261208", ExchangeID="SHFE", InstrumentID="rb2705", OrderSysID="17", OrderRef="42",
                 TradeID="T9", Direction="0", OffsetFlag="0", HedgeFlag="1", Price=3100.0, Volume=2,
                 TradeDate="", TradeTime="")
    ready.reply("RspQryTrade", trade)
    assert order.done and order.trades == [trade] and ready.core.phase is Phase.READY
    recovered, reconnected = ready.events[-2:]
    assert recovered["name"] == "RtnTrade" and recovered["data"] == trade and recovered["recovered"] is True
    assert reconnected == {"name": "Reconnected", "data": dict(LOGIN, SessionID=6, MaxOrderRef="50"),
                           "orders": [order], "trades": [trade], "positions": []}
    following, _ = buy(ready)
    assert following.order_ref == "51" and following.session_id == 6


def test_a_refused_login_after_a_reconnect_is_reported_as_an_event(ready):
    ready.event("FrontDisconnected", reason=1)
    ready.event("FrontConnected")
    ready.reply("RspAuthenticate", None, error=15, message="客户端认证失败")
    failed = ready.events[-1]
    assert failed["name"] == "ReconnectFailed" and failed["request"] == "Authenticate"
    assert failed["exception"].error_id == 15
    with pytest.raises(Disconnected):
        ready.query("QryOrder", {}, ready.now)


def test_a_login_step_unanswered_after_a_reconnect_times_out(ready):
    ready.event("FrontDisconnected", reason=1)
    ready.event("FrontConnected")
    ready.step(4.9)
    assert ready.core.phase is Phase.LOGGING_IN
    ready.step(0.2)
    assert ready.core.phase is Phase.LOGIN_FAILED
    assert ready.events[-1]["name"] == "ReconnectFailed"
    assert isinstance(ready.events[-1]["exception"], TimeoutError)


# ---- overflow and bad events --------------------------------------------------------------------------

def test_after_an_overflow_nothing_more_is_sent(ready):
    pending = ready.query("QryOrder", {}, ready.now)
    ready.core.poll_failed(BufferError("CTP 回调队列已满"))
    with pytest.raises(Overflowed, match="full queue"):
        pending.value()
    for attempt in (lambda: buy(ready), lambda: ready.query("QryOrder", {}, ready.now)):
        with pytest.raises(Overflowed, match="sends nothing more"):
            attempt()
    assert ready.events[-1]["name"] == "Overflowed"
    assert ready.names() == ["QryOrder"]


def test_a_poll_error_for_one_event_is_logged_and_the_session_goes_on(ready, caplog):
    with caplog.at_level(logging.ERROR):
        ready.core.poll_failed(UnicodeDecodeError("gb18030", b"\xff", 0, 1, "bad"))
    assert "could not be read" in caplog.text
    order, call = buy(ready)
    assert call.done and order.error is None


# ---- reading the handle (both drivers) ------------------------------------------------------------------

def drain(core):
    """Reads a trading session's handle as both drivers do."""
    from ctp._blocking import Driver
    from ctp._client import TRADER
    from ctp._driver import Attached
    driver = Driver()
    attached = Attached(None, core, TRADER, ("sim://x",), None, "u")
    attached.handle = object()
    with driver.guard():
        driver._drain(attached)

def test_drain_logs_an_event_poll_could_not_build_and_takes_the_rest(ready, monkeypatch, caplog):
    import _ctp
    batches = [MemoryError("no memory"), [{"name": "FrontDisconnected", "reason": 7}]]

    def poll(handle):
        batch = batches.pop(0)
        if isinstance(batch, Exception):
            raise batch
        return batch
    monkeypatch.setattr(_ctp, "poll", poll)
    with caplog.at_level(logging.ERROR):
        drain(ready.core)
    assert batches == [] and "could not be read" in caplog.text
    assert ready.core.phase is Phase.DISCONNECTED


def test_drain_stops_for_good_at_an_overflow(ready, monkeypatch):
    import _ctp
    polls = []

    def poll(handle):
        polls.append(handle)
        raise BufferError("CTP 回调队列已满")
    monkeypatch.setattr(_ctp, "poll", poll)
    drain(ready.core)
    drain(ready.core)
    assert len(polls) == 1 and ready.core.overflow is not None


# ---- both protocols alike ------------------------------------------------------------------------------

def viewing():
    """A market-data session, logged in by hand, and its subscriptions."""
    from ctp._market import MARKET_DATA, Subscriptions
    subs = Subscriptions()
    core = Session(MARKET_DATA, [subs], broker="9999", user="000001", password="123456", timeout=5.0)
    core.connect(100.0)
    core.receive({"name": "FrontConnected"})
    [login] = core.outgoing(100.0)
    core.sent(login, 0, 100.0)
    core.receive({"name": "RspUserLogin", "request_id": login.request_id, "data": dict(LOGIN),
                  "error": {"ErrorID": 0, "ErrorMsg": ""}, "last": True})
    assert core.phase is Phase.READY
    return core, subs


TICK = {"name": "RtnDepthMarketData", "data": {"InstrumentID": "rb2705", "BidPrice1": 3099.0}, "error": None,
        "request_id": 0, "last": True}


@pytest.mark.parametrize("kind", ["trading", "market data"])
def test_listeners_see_an_event_once_the_session_took_it_in(ready, kind):
    """What a listener reads when an event reaches it (an order's status, the latest tick, whether
    the session is ready) already says what the event says."""
    seen = []
    if kind == "trading":
        core, order = ready.core, buy(ready)[0]
        core.listen(lambda event: seen.append((event["name"], order.status, core.ready)))
        ready.rtn_order(order, "3")
        assert seen[-1] == ("RtnOrder", OrderStatus.NO_TRADE_QUEUEING, True)
    else:
        core, subs = viewing()
        core.listen(lambda event: seen.append((event["name"], subs.latest("rb2705"), core.ready)))
        core.receive(TICK)
        assert seen[-1] == ("RtnDepthMarketData", TICK["data"], True)
    core.receive({"name": "FrontDisconnected", "reason": 0x1001})
    assert seen[-1][0] == "FrontDisconnected" and seen[-1][-1] is False


@pytest.mark.parametrize("kind", ["trading", "market data"])
def test_a_drop_after_an_overflow_changes_nothing(ready, kind, caplog):
    core = ready.core if kind == "trading" else viewing()[0]
    core.poll_failed(BufferError("CTP 回调队列已满"))
    assert core.phase is Phase.OVERFLOWED
    caplog.clear()
    with caplog.at_level(logging.DEBUG, logger="ctp"):
        core.receive({"name": "FrontDisconnected", "reason": 0x1001})
        core.receive({"name": "FrontConnected"})
    assert core.phase is Phase.OVERFLOWED and core.outgoing(ready.now + 10) == []
    assert not [r for r in caplog.records if r.levelno >= logging.INFO], "nothing to tell: the session ended"


# ---- what an unruly front does ------------------------------------------------------------------------

def test_a_login_refused_while_the_front_is_not_ready_is_tried_again_later(ready):
    ready.event("FrontDisconnected", reason=0x1001)
    ready.event("FrontConnected")
    ready.reply("RspAuthenticate", {})
    ready.reply("RspUserLogin", None, error=8, message="前置尚未就绪，请稍后再登录")
    failed = ready.events[-1]
    assert failed["name"] == "ReconnectFailed" and failed["exception"].error_id == 8
    assert ready.core.phase is Phase.RETRYING
    ready.sent.clear()
    ready.step(ready.core.next_wakeup() - ready.now)
    assert ready.names() == ["Authenticate"], "the login starts again"
    ready.reply("RspAuthenticate", {})
    ready.reply("RspUserLogin", dict(LOGIN, SessionID=6))
    ready.reply("RspSettlementInfoConfirm", {})
    ready.step(1)
    ready.reply("RspQryOrder", None)
    ready.step(1)
    ready.reply("RspQryTrade", None)
    assert ready.core.ready and ready.core.login["SessionID"] == 6


def test_an_exchange_s_refusal_of_a_cancel_ends_the_cancel(ready):
    order, _ = buy(ready)
    ready.rtn_order(order, "3")
    cancel = ready.book.cancel(order, ready.now)
    ready.step()
    assert ready.last()[0] == "OrderAction"
    ready.rtn_order(order, "3", OrderSubmitStatus="5", StatusMsg="撤单被拒绝")
    with pytest.raises(CtpError) as caught:
        cancel.value()
    assert caught.value.message == "撤单被拒绝" and caught.value.request == "OrderAction"
    assert not order.done and order.status == OrderStatus.NO_TRADE_QUEUEING


def reconnect(front, session=6):
    front.event("FrontDisconnected", reason=0x1001)
    front.event("FrontConnected")
    front.reply("RspAuthenticate", {})
    front.reply("RspUserLogin", dict(LOGIN, SessionID=session, MaxOrderRef="50"))
    front.reply("RspSettlementInfoConfirm", {})
    front.step(1)


def test_an_order_the_drop_lost_finishes_once_the_front_does_not_know_it(ready):
    known, _ = buy(ready)
    ready.rtn_order(known, "3")
    lost, _ = buy(ready)
    reconnect(ready)
    assert not lost.done
    ready.reply("RspQryOrder", known.data)
    ready.step(1)
    ready.reply("RspQryTrade", None)
    assert ready.core.ready
    assert lost.done and isinstance(lost.error, Disconnected) and "lost" in str(lost.error)
    assert not known.done and known.error is None


def test_a_query_s_snapshot_never_moves_an_order_back(ready):
    order, _ = buy(ready)
    ready.rtn_order(order, "3")
    other, _ = buy(ready)
    ready.rtn_order(other, "a", sys_id="", ref=other.order_ref)
    snapshots = [dict(order.data), dict(other.data)]     # what QryOrder found when it was sent
    reconnect(ready)
    finished = []
    order.add_done_callback(finished.append)
    ready.rtn_order(order, "0", traded=2)          # came between the query's batches
    ready.rtn_trade("T1", 2)
    ready.rtn_order(other, "3", sys_id="18", ref=other.order_ref)
    assert order.done and finished == [order]
    ready.reply("RspQryOrder", snapshots[0], last=False)
    ready.reply("RspQryOrder", snapshots[1])
    ready.step(1)
    ready.reply("RspQryTrade", None)
    assert ready.core.ready
    assert (order.status, order.traded, order.done, finished) == (OrderStatus.ALL_TRADED, 2, True, [order])
    assert (other.status, other.order_sys_id) == (OrderStatus.NO_TRADE_QUEUEING, "18")


def test_a_restart_replay_of_the_day_is_neither_counted_nor_delivered_again(ready):
    order, _ = buy(ready)
    traded, _ = buy(ready)
    reports = [dict(status="a", sys_id=""), dict(status="3"), dict(status="3", OrderSubmitStatus="5")]
    for report in reports:
        ready.rtn_order(order, **report)
    ready.rtn_order(traded, "1", traded=1, sys_id="18")
    ready.rtn_trade("T1", 1, sys_id="18")
    reconnect(ready)
    ready.events.clear()
    for report in reports:                          # the day's flow again, after the login
        ready.rtn_order(order, **report)
    ready.rtn_order(traded, "1", traded=1, sys_id="18")
    ready.rtn_trade("T1", 1, sys_id="18")
    ready.reply("RspQryOrder", order.data, last=False)
    ready.reply("RspQryOrder", traded.data)
    ready.step(1)
    ready.reply("RspQryTrade", ready.book.trades[0])
    assert [e["name"] for e in ready.events if e["name"].startswith("Rtn")] == []
    assert ready.events[-1]["name"] == "Reconnected"
    assert (order.status, order.submit_status, order.order_sys_id) == ("3", "5", "17")
    assert (traded.status, traded.traded, len(ready.book.trades)) == (OrderStatus.PART_TRADED_QUEUEING, 1, 1)
