"""The market-data client's protocol logic, free of I/O and of asyncio.

An ``MdCore`` is fed with what happens (``receive`` for each record that
``_ctpmd.poll`` returned, ``advance`` when time passes, ``poll_failed``) and
asked for what to do (``outgoing``: logins and (un)subscriptions due now,
whose results go back through ``sent``). It logs in, keeps the latest tick
of each instrument, and after a drop logs in again and subscribes again to
everything that was subscribed. ``MarketData`` and ``AsyncMarketData`` are
thin drivers around it.
"""

from __future__ import annotations

import itertools
import logging
from collections.abc import Callable
from typing import Any

from ._core import (FIRST_BACKOFF, FIRST_RELOGIN, LAST_BACKOFF, LAST_RELOGIN, SENT, TOO_MANY_WAITING, TOO_SOON,
                    BAD_VALUE, CREDENTIALS, Call, CtpError, Disconnected, Event, Overflowed, Phase, Record, backoff,
                    naming)

SUBSCRIBE, UNSUBSCRIBE, LOGIN = "SubMarketData", "UnSubMarketData", "UserLogin"
REPLIES = {"RspSubMarketData": SUBSCRIBE, "RspUnSubMarketData": UNSUBSCRIBE}


class MdCall(Call):
    """A login or an (un)subscription; the latter waits for one reply per instrument."""

    def __init__(self, name: str, fields: Record, ids: tuple[str, ...] = ()) -> None:
        super().__init__(name, fields, None)
        self.ids = ids
        self.waiting = list(ids)
        self.first_error: CtpError | None = None


class MdCore:
    """The market-data session's protocol, for one user on one front."""

    def __init__(self, *, broker: str, user: str, password: str, timeout: float | None = 10.0,
                 logger: logging.Logger | None = None, front: str = "") -> None:
        self.front = front
        self.broker, self.user, self.password = broker, user, password
        self.timeout = timeout
        self.log = logger or logging.getLogger("ctp.md")
        self.phase = Phase.CONNECTING
        self.login: Record = {}
        self.logins = 0
        self.overflow: Overflowed | None = None
        self.subscribed: dict[str, None] = {}     # in the order subscribed
        self.ticks: dict[str, Record] = {}
        self._ids = itertools.count(1)
        self._outbox: list[MdCall] = []
        self._sent: list[MdCall] = []
        self._connect: Call | None = None
        self._login_call: MdCall | None = None
        self._relogin_at: float | None = None      # when RETRYING
        self._relogins = 0                          # failed in a row
        self._subscribers: list[Callable[[Event], None]] = []

    # ---- what the user asks -------------------------------------------------------------------

    def connect(self, now: float, timeout: float | None = None) -> Call:
        """A call that finishes once logged in (with the login record)."""
        self._connect = Call("connect", {}, self._deadline(now, timeout))
        return self._connect

    def subscribe(self, ids: tuple[str, ...], now: float, timeout: float | None = None) -> MdCall:
        """Queues a subscription; the call fails with the first refusal (a ``CtpError``)."""
        return self._queue(SUBSCRIBE, ids, now, timeout)

    def unsubscribe(self, ids: tuple[str, ...], now: float, timeout: float | None = None) -> MdCall:
        """Queues an unsubscription; the instruments are not subscribed again after a drop."""
        for instrument in ids:
            self.subscribed.pop(instrument, None)
        return self._queue(UNSUBSCRIBE, ids, now, timeout)

    def latest(self, instrument: str) -> Record | None:
        return self.ticks.get(instrument)

    def close(self) -> None:
        self.phase = Phase.CLOSED
        error = Disconnected("the session was closed")
        self._fail_all(error)
        if self._connect is not None:
            self._connect.finish(error=error)

    def subscribe_events(self, subscriber: Callable[[Event], None]) -> None:
        self._subscribers.append(subscriber)

    def unsubscribe_events(self, subscriber: Callable[[Event], None]) -> None:
        self._subscribers.remove(subscriber)

    # ---- what the driver does -----------------------------------------------------------------

    def outgoing(self, now: float) -> list[MdCall]:
        """The requests to send now: a login at any time, (un)subscriptions once logged in."""
        self.advance(now)       # nothing goes out whose time is up
        ready = self.phase is Phase.READY
        due = [call for call in self._outbox if (ready or call.name == LOGIN)
               and (call.retry_at is None or call.retry_at <= now)]
        self._outbox = [call for call in self._outbox if call not in due]
        for call in due:
            call.request_id = next(self._ids)
        return due

    def sent(self, call: MdCall, result: int | BaseException, now: float) -> None:
        """What sending a call gave: the vendor's result, or the exception it raised."""
        if call.done:
            return
        if call.deadline is None and call.timeout is not None:
            call.deadline = self._deadline(now, call.timeout)
        if isinstance(result, BaseException):
            if call is self._login_call and isinstance(result, BAD_VALUE):
                result = naming(result, CREDENTIALS)     # no use trying again: the caller must know at once
                self._forget(call)
                self._login_refused(call, result)
            elif call is self._login_call:
                self._login_not_sent(call, result, now)
            call.finish(error=result)
        elif result == SENT:
            if call.waiting or call.name == LOGIN:
                self._sent.append(call)
            else:
                call.finish()
        elif result in (TOO_MANY_WAITING, TOO_SOON):
            call.attempts += 1
            delay = min(FIRST_BACKOFF * 2 ** (call.attempts - 1), LAST_BACKOFF)
            self.log.debug("%s: result %d, again in %.2f s", call.name, result, delay)
            call.retry_at = now + delay
            self._outbox.append(call)
        elif call is self._login_call:
            error = Disconnected(f"{call.name} not sent: the front is not connected ({result})")
            self._login_not_sent(call, error, now)
            call.finish(error=error)
        else:
            call.finish(error=Disconnected(f"{call.name} not sent: the front is not connected ({result})"))

    def next_wakeup(self) -> float | None:
        times = [call.deadline for call in self._pending() if call.deadline is not None]
        times += [call.retry_at for call in self._outbox if call.retry_at is not None]
        if self._relogin_at is not None:
            times.append(self._relogin_at)
        return min(times, default=None)

    def advance(self, now: float) -> None:
        """Fails the calls whose time is up; logs in again when a failed login's delay has passed."""
        if self._relogin_at is not None and now >= self._relogin_at and self.phase is Phase.RETRYING:
            self._relogin_at = None
            self._front_connected()
        for call in self._pending():
            if call.deadline is not None and now >= call.deadline:
                self._forget(call)
                what = f"no login in time from the front {self.front} ({self.phase.value})" \
                    if call is self._connect else \
                    f"{call.name}: no reply in time"
                if call is self._login_call:
                    self._login_refused(call, TimeoutError(what))
                call.finish(error=TimeoutError(what))

    def reopened(self) -> None:
        """A fresh session replaced the one that overflowed (ticks are snapshots: nothing that
        matters was lost for good): it logs in and subscribes again as after a drop, then
        reports ``Reconnected``."""
        if self.phase is not Phase.OVERFLOWED:
            return
        self.log.warning("a fresh session replaces the one that overflowed")
        self.overflow = None
        self.phase = Phase.CONNECTING
        self._login_call = None

    def poll_failed(self, error: Exception) -> None:
        """``_ctpmd.poll`` raised: a BufferError ends the session; any other error concerns one event."""
        if not isinstance(error, BufferError):
            self.log.error("an event could not be read: %r", error)
            return
        if self.overflow is not None:
            return
        self.overflow = Overflowed(f"events were lost to a full queue ({error})")
        self.log.error("%s", self.overflow)
        self.phase = Phase.OVERFLOWED
        self._fail_all(self.overflow)
        if self._connect is not None:
            self._connect.finish(error=self.overflow)
        self._emit({"name": "Overflowed", "error": str(self.overflow)})

    def receive(self, event: Event) -> None:
        """One event record from ``_ctpmd.poll``."""
        name = event["name"]
        if name == "RtnDepthMarketData" and event.get("data") is not None:
            self.ticks[event["data"]["InstrumentID"]] = event["data"]
        self._emit(event)
        if name == "FrontConnected":
            self._front_connected()
        elif name == "FrontDisconnected":
            self._front_disconnected(event.get("reason", 0))
        elif name == "RspUserLogin":
            self._login_reply(event)
        elif name in REPLIES:
            self._subscription_reply(REPLIES[name], event)

    # ---- internals ----------------------------------------------------------------------------

    def _deadline(self, now: float, timeout: float | None) -> float | None:
        """The time a call must end by: its own timeout, else the session's (None: no limit)."""
        timeout = self.timeout if timeout is None else timeout
        return None if timeout is None else now + timeout

    def _queue(self, name: str, ids: tuple[str, ...], now: float, timeout: float | None) -> MdCall:
        if self.overflow is not None:
            raise self.overflow
        if self.phase is Phase.CLOSED:
            raise Disconnected("the session was closed")
        if self.phase is Phase.LOGIN_FAILED:
            raise Disconnected(f"not connected to the front ({self.phase.value})")
        call = MdCall(name, {}, tuple(dict.fromkeys(ids)))
        # Its time counts from now: waiting for the login (after a drop too) counts.
        call.deadline = self._deadline(now, timeout)
        self._outbox.append(call)
        return call

    def _pending(self) -> list[Call]:
        calls: list[Call] = [*self._outbox, *self._sent]
        if self._connect is not None:
            calls.append(self._connect)
        return [call for call in calls if not call.done]

    def _forget(self, call: Call) -> None:
        self._outbox = [c for c in self._outbox if c is not call]
        self._sent = [c for c in self._sent if c is not call]

    def _fail_all(self, error: BaseException) -> None:
        for call in self._pending():
            if call is not self._connect:
                self._forget(call)
                call.finish(error=error)
        self._login_call = None

    def _emit(self, event: Event) -> None:
        for subscriber in list(self._subscribers):
            subscriber(event)

    def _front_connected(self) -> None:
        if self.phase in (Phase.CLOSED, Phase.OVERFLOWED):
            return
        self._relogin_at = None
        self.log.info("front connected; logging in as %s/%s", self.broker, self.user)
        self.phase = Phase.LOGGING_IN
        self._login_call = MdCall(LOGIN, dict(BrokerID=self.broker, UserID=self.user, Password=self.password))
        self._login_call.timeout = self.timeout
        self._outbox.insert(0, self._login_call)

    def _front_disconnected(self, reason: int) -> None:
        if self.phase in (Phase.CLOSED, Phase.OVERFLOWED):
            return
        self.log.warning("front disconnected (reason %#x)", reason)
        self.phase = Phase.DISCONNECTED
        self._relogin_at = None
        # Calls sent will get no reply; those not sent yet go out after the next login.
        error = Disconnected(f"the front disconnected (reason {reason:#x})", reason)
        for call in list(self._sent):
            self._forget(call)
            call.finish(error=error)
        if self._login_call is not None:
            self._forget(self._login_call)
            self._login_call.finish(error=error)
            self._login_call = None

    def _login_reply(self, event: Event) -> None:
        call = self._login_call
        if call is None or event.get("request_id") != call.request_id:
            return
        self._forget(call)
        self._login_call = None
        error = event.get("error")
        if error and error["ErrorID"]:
            failure = CtpError(error["ErrorID"], error["ErrorMsg"], LOGIN, call.request_id)
            self._login_refused(call, failure)
            call.finish(error=failure)
            return
        self.login = dict(event.get("data") or {})
        self.logins += 1
        self._relogins = 0
        self.phase = Phase.READY
        call.finish(dict(self.login))
        self.log.info("logged in: trading day %s", self.login.get("TradingDay"))
        if self._connect is not None and not self._connect.done:
            self._connect.finish(dict(self.login))
            return
        if not self.subscribed:
            self._reconnected(None)
            return
        again = MdCall(SUBSCRIBE, {}, tuple(self.subscribed))
        again.timeout = self.timeout
        again.add_done_callback(self._reconnected)
        self._outbox.insert(0, again)

    def _login_not_sent(self, call: MdCall, error: BaseException, now: float) -> None:
        """The login's request did not go out: reported, and the login starts again after a delay
        (the front, still connected, sends no FrontConnected that would start it)."""
        self._forget(call)
        self._login_call = None
        self._relogins += 1
        delay = backoff(self._relogins, FIRST_RELOGIN, LAST_RELOGIN)
        self.log.error("login failed: %s not sent (%s); logging in again in %.2f s", call.name, error, delay)
        self.phase = Phase.RETRYING
        self._relogin_at = now + delay
        if self._connect is None or self._connect.done:
            self._emit({"name": "ReconnectFailed", "request": call.name, "exception": error})

    def _reconnected(self, call: Call | None) -> None:
        if call is not None and call.error is not None:
            self.log.warning("could not subscribe again: %s", call.error)
            self._emit({"name": "ReconnectFailed", "request": SUBSCRIBE, "exception": call.error})
            return
        self.log.info("reconnected: %d instruments subscribed again", len(self.subscribed))
        self._emit({"name": "Reconnected", "data": dict(self.login)})

    def _login_refused(self, call: Call, error: BaseException) -> None:
        self._login_call = None
        self.phase = Phase.LOGIN_FAILED
        self.log.error("login refused: %s", error)
        self._fail_all(error)
        if self._connect is not None and not self._connect.done:
            self._connect.finish(error=error)
        else:
            self._emit({"name": "ReconnectFailed", "request": call.name, "exception": error})

    def _subscription_reply(self, name: str, event: Event) -> None:
        instrument = (event.get("data") or {}).get("InstrumentID", "")
        call = next((c for c in self._sent if c.name == name and instrument in c.waiting), None)
        if call is None:
            return
        call.waiting.remove(instrument)
        error = event.get("error")
        if error and error["ErrorID"]:
            self.log.warning("%s %s refused: %s", name, instrument, error["ErrorMsg"])
            if call.first_error is None:
                call.first_error = CtpError(error["ErrorID"], error["ErrorMsg"], name, call.request_id)
        elif name == SUBSCRIBE:
            self.subscribed[instrument] = None
        if not call.waiting:
            self._forget(call)
            call.finish(error=call.first_error)


def transmit(core: MdCore, send: Callable[[MdCall], int], now: float) -> None:
    """Sends what the core has due through ``send``."""
    while due := core.outgoing(now):
        for call in due:
            result: int | BaseException
            try:
                result = send(call)
            except Exception as error:     # a bad id: that call fails, the session goes on
                result = error
            core.sent(call, result, now)

