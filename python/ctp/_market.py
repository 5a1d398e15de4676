"""The market-data protocol, free of I/O: what a session on a market-data front logs in
with, and the subscriptions with the latest tick of each instrument.

``MARKET_DATA`` is the protocol the session core runs: a new call waits for the
front while it is away, and after an overflow a fresh session takes the place
of the old one (ticks are snapshots: nothing is lost for good). ``Subscriptions``
plugs into the session: it subscribes and unsubscribes (one reply per
instrument), keeps the latest tick of each, and subscribes again after each
login again to everything still subscribed.
"""

from __future__ import annotations

from ._core import Call, CtpError, Event, Plugin, Protocol, Record, reply_error
from ._interface import MD_REQUEST_KEYS

SUBSCRIBE, UNSUBSCRIBE, TICK = "SubMarketData", "UnSubMarketData", "RtnDepthMarketData"
REPLIES = {"RspSubMarketData": SUBSCRIBE, "RspUnSubMarketData": UNSUBSCRIBE}

MARKET_DATA = Protocol(
    "market data",
    login=(("UserLogin", ("BrokerID", "UserID", "Password")),),
    requests={**MD_REQUEST_KEYS, SUBSCRIBE: ("InstrumentID",), UNSUBSCRIBE: ("InstrumentID",)},
    waits_for_front=True,
    recovers=True)


class Subscription(Call):
    """A subscription or an unsubscription: finished once the front replied for each instrument,
    with the first refusal if there was one."""

    def __init__(self, name: str, ids: tuple[str, ...], deadline: float | None, sync: bool = False) -> None:
        super().__init__(name, {"InstrumentID": list(ids)}, deadline, when="sync" if sync else "ready",
                         until="told" if ids else "sent")
        self.ids = ids
        self.waiting = list(ids)
        self.first_error: CtpError | None = None


class Subscriptions(Plugin):
    """What is subscribed, and the latest tick of each instrument."""

    def __init__(self) -> None:
        self.subscribed: dict[str, None] = {}     # in the order subscribed
        self.ticks: dict[str, Record] = {}
        self._asked: list[Subscription] = []

    def subscribe(self, ids: tuple[str, ...], now: float, timeout: float | None = None) -> Subscription:
        """Queues a subscription; the call fails with the first refusal (a ``CtpError``)."""
        return self._ask(SUBSCRIBE, ids, now, timeout)

    def unsubscribe(self, ids: tuple[str, ...], now: float, timeout: float | None = None) -> Subscription:
        """Queues an unsubscription; the instruments are not subscribed again after a drop."""
        self.session.check_open()
        for instrument in ids:
            self.subscribed.pop(instrument, None)
        return self._ask(UNSUBSCRIBE, ids, now, timeout)

    def latest(self, instrument: str) -> Record | None:
        return self.ticks.get(instrument)

    def known(self) -> list[Record]:
        """The latest tick of each instrument subscribed, in the order subscribed."""
        return [self.ticks[i] for i in self.subscribed if i in self.ticks]

    def sync(self, again: bool) -> list[Call]:
        if not again or not self.subscribed:
            return []
        call = Subscription(SUBSCRIBE, tuple(self.subscribed), None, sync=True)
        call.timeout = self.session.timeout
        self._asked.append(call)
        return [call]

    def receive(self, event: Event) -> None:
        name, data = event["name"], event.get("data")
        if name == TICK and data is not None:
            self.ticks[data["InstrumentID"]] = data
        elif name in REPLIES:
            self._reply(REPLIES[name], event)

    def dropped(self, error: BaseException) -> None:
        self._asked = [call for call in self._asked if not call.done]

    def _ask(self, name: str, ids: tuple[str, ...], now: float, timeout: float | None) -> Subscription:
        self.session.check_open()
        self._asked = [call for call in self._asked if not call.done]
        call = Subscription(name, tuple(dict.fromkeys(ids)), self.session.deadline(now, timeout))
        self._asked.append(call)
        self.session.submit(call)
        return call

    def _reply(self, name: str, event: Event) -> None:
        instrument = (event.get("data") or {}).get("InstrumentID", "")
        call = next((c for c in self._asked if c.sent and not c.done and c.name == name and instrument in c.waiting),
                    None)
        if call is None:
            return
        call.waiting.remove(instrument)
        error = reply_error(event, name)
        if error is not None:
            error.request_id = call.request_id
            self.session.log.warning("%s %s refused: %s", name, instrument, error.message)
            call.first_error = call.first_error or error
        elif name == SUBSCRIBE:
            self.subscribed[instrument] = None
        if not call.waiting:
            self._asked.remove(call)
            call.finish(error=call.first_error)
