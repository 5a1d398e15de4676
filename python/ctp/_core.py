"""The session core: what a session on a front does between the module and its caller,
free of I/O, of threads and of asyncio.

A ``Session`` is fed with what happens (``receive`` for each event record the
module's ``poll`` returned, ``poll_failed`` when poll raised, ``advance`` when
time passes) and asked for what to do (``outgoing``: the requests due now,
whose results go back through ``sent``). It logs in and logs in again after a
drop, allocates request ids, gathers replies, paces queries, sends again what
a busy front refused, keeps every call's time, and turns errors into
exceptions. Its life cycle is the table ``TRANSITIONS``, all of it.

What a kind of session adds, trading or market data, plugs in: a ``Protocol``
(its login's requests, its request keys, how it treats calls while away) and
``Plugin`` objects, which see every event, add requests after each login (and
may hold the session back from ready until they are answered), and are told
of drops. Times are plain numbers of seconds from whatever monotonic clock the
driver uses.
"""

from __future__ import annotations

import enum
import functools
import itertools
import logging
from collections import deque
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, ClassVar, Literal, Self

Event = dict[str, Any]
"""An event record as the module's ``poll`` returns it, or one of the client's own:
``{"name": "Reconnected", "data": login}``, ``{"name": "ReconnectFailed",
"request": name, "exception": error}``, ``{"name": "Overflowed", "error": text}``."""
Record = dict[str, Any]

# What the module's request functions return.
SENT, NOT_CONNECTED, TOO_MANY_WAITING, TOO_SOON = 0, -1, -2, -3
# A request a busy front refused goes again after these; a login that could not go out starts again after these.
FIRST_BACKOFF, LAST_BACKOFF = 0.05, 2.0
FIRST_RELOGIN, LAST_RELOGIN = 0.1, 5.0
BAD_VALUE = (TypeError, ValueError, OverflowError)     # what the module raises for a value it refuses
# The vendor's error for a login while the front is not yet ready ("前置尚未就绪，请稍后再登录"):
# the login is tried again.
NOT_READY = 8

# The vendor's keys filled from the caller's credentials, by the argument's name.
CREDENTIALS = {"BrokerID": "broker", "UserID": "user", "InvestorID": "user", "Password": "password",
               "AppID": "app_id", "AuthCode": "auth_code"}


class CtpError(Exception):
    """The front refused a request: its error id and message, and the request's name and id."""

    def __init__(self, error_id: int, message: str, request: str = "", request_id: int = 0) -> None:
        super().__init__(error_id, message, request, request_id)
        self.error_id = error_id
        self.message = message
        self.request = request
        self.request_id = request_id

    def __str__(self) -> str:
        return f"{self.request} #{self.request_id}: error {self.error_id}: {self.message}"


class Disconnected(ConnectionError):
    """The connection to the front dropped (or the session was closed) before the call finished."""

    def __init__(self, message: str, reason: int = 0) -> None:
        super().__init__(message)
        self.reason = reason


class Overflowed(RuntimeError):
    """The session lost events to a full queue: results can no longer be seen, so it must not trade."""


def backoff(attempt: int, first: float, last: float) -> float:
    """The delay before try number attempt + 1: first, doubling each time, at most last."""
    return min(first * 2.0 ** (attempt - 1), last)


def naming(error: BaseException, arguments: Mapping[str, str]) -> BaseException:
    """The module's error for a value it refused (its text starts with the vendor's key), again
    with the caller's name for that value in front; the module's own error is its cause."""
    key = str(error).split(" ", 1)[0]
    if key not in arguments:
        return error
    named = type(error)(f"{arguments[key]}: {error}")
    named.__cause__ = error
    return named


def reply_error(event: Event, name: str) -> CtpError | None:
    """The front's refusal carried by a reply, if it is one."""
    error = event.get("error")
    if not error or not error["ErrorID"]:
        return None
    return CtpError(error["ErrorID"], error["ErrorMsg"], name, event.get("request_id", 0))


class Finishing:
    """Something callers wait for: it finishes once (``done``), and its callbacks run then."""

    def __init__(self) -> None:
        self.done = False
        self._callbacks: list[Callable[[Any], None]] = []

    def add_done_callback(self, callback: Callable[[Self], None]) -> None:
        if self.done:
            callback(self)
        else:
            self._callbacks.append(callback)

    def _finished(self) -> None:
        callbacks, self._callbacks = self._callbacks, []
        for callback in callbacks:
            callback(self)


class Call(Finishing):
    """A request in progress, or anything else a caller waits for: a small future, done
    once with a result or an exception; callbacks run when it finishes.

    ``when`` says in which phases its request may go out ("login": while logging in;
    "sync": after a login; "ready": once ready); ``until`` says what finishes it
    ("reply": the last reply with its request id; "sent": going out; "told": a plugin)."""

    def __init__(self, name: str, fields: Record | None = None, deadline: float | None = None, *,
                 paced: bool = False, when: Literal["login", "sync", "ready"] = "ready",
                 until: Literal["reply", "sent", "told"] = "reply",
                 arguments: Mapping[str, str] | None = None) -> None:
        super().__init__()
        self.name = name
        self.fields: Record = fields or {}
        self.deadline = deadline
        self.timeout: float | None = None      # for the session's own requests: the deadline starts when sent
        self.paced = paced
        self.when = when
        self.until = until
        self.arguments = arguments or {}       # the caller's names for the vendor's keys, for errors
        self.then: Callable[[list[Record]], Any] | None = None     # the result from the records
        self.request_id = 0
        self.records: list[Record] = []
        self.sent = False
        self.retry_at: float | None = None
        self.attempts = 0
        self.result: Any = None
        self.error: BaseException | None = None

    def value(self) -> Any:
        if self.error is not None:
            raise self.error
        return self.result

    def finish(self, result: Any = None, error: BaseException | None = None) -> None:
        if self.done:
            return
        self.done, self.result, self.error = True, result, error
        self._finished()

    def __repr__(self) -> str:
        state = "done" if self.done else "sent" if self.sent else "waiting"
        return f"<Call {self.name} #{self.request_id} {state}>"


# ---- the life cycle ------------------------------------------------------------------------------

class Phase(enum.Enum):
    CONNECTING = "waiting for the front"
    LOGGING_IN = "logging in"
    SYNCING = "catching up after the login"
    READY = "logged in"
    RETRYING = "logging in again soon"
    DISCONNECTED = "disconnected"
    LOGIN_FAILED = "login failed"
    OVERFLOWED = "overflowed"
    CLOSED = "closed"


class Trigger(enum.Enum):
    CONNECTED = "FrontConnected"
    DROPPED = "FrontDisconnected"
    LOGGED_IN = "the last login request was answered"
    SYNCED = "what holds the session back after the login was answered"
    REFUSED = "the front refused a login request, or did not answer it in time"
    FAILED = "a login request could not go out, or the front was not ready for it"
    RETRY = "the delay after a failed login has passed"
    OVERFLOW = "events were lost to a full queue"
    REOPENED = "a fresh session took the place of one that overflowed"
    CLOSE = "the caller closed the session"


P, T = Phase, Trigger
TRANSITIONS: dict[Phase, dict[Trigger, Phase]] = {
    P.CONNECTING: {T.CONNECTED: P.LOGGING_IN, T.DROPPED: P.DISCONNECTED, T.OVERFLOW: P.OVERFLOWED, T.CLOSE: P.CLOSED},
    P.LOGGING_IN: {T.CONNECTED: P.LOGGING_IN, T.DROPPED: P.DISCONNECTED, T.LOGGED_IN: P.SYNCING,
                   T.REFUSED: P.LOGIN_FAILED, T.FAILED: P.RETRYING, T.OVERFLOW: P.OVERFLOWED, T.CLOSE: P.CLOSED},
    P.SYNCING: {T.CONNECTED: P.LOGGING_IN, T.DROPPED: P.DISCONNECTED, T.SYNCED: P.READY, T.OVERFLOW: P.OVERFLOWED,
                T.CLOSE: P.CLOSED},
    P.READY: {T.CONNECTED: P.LOGGING_IN, T.DROPPED: P.DISCONNECTED, T.OVERFLOW: P.OVERFLOWED, T.CLOSE: P.CLOSED},
    P.RETRYING: {T.CONNECTED: P.LOGGING_IN, T.DROPPED: P.DISCONNECTED, T.RETRY: P.LOGGING_IN,
                 T.OVERFLOW: P.OVERFLOWED, T.CLOSE: P.CLOSED},
    P.DISCONNECTED: {T.CONNECTED: P.LOGGING_IN, T.DROPPED: P.DISCONNECTED, T.OVERFLOW: P.OVERFLOWED,
                     T.CLOSE: P.CLOSED},
    P.LOGIN_FAILED: {T.CONNECTED: P.LOGGING_IN, T.DROPPED: P.DISCONNECTED, T.OVERFLOW: P.OVERFLOWED,
                     T.CLOSE: P.CLOSED},
    # Nothing comes after an overflow; a fresh session may take its place.
    P.OVERFLOWED: {T.REOPENED: P.CONNECTING, T.CLOSE: P.CLOSED},
    P.CLOSED: {},
}
"""Every phase, and what each trigger makes of it; a trigger a phase does not list changes
nothing (a drop after an overflow or a close, a login's answer after a drop)."""

# Which calls' requests may go out in each phase (see ``Call.when``); in the others none.
SENDS: dict[Phase, frozenset[str]] = {
    P.LOGGING_IN: frozenset({"login"}), P.SYNCING: frozenset({"sync"}), P.READY: frozenset({"sync", "ready"})}


@dataclass(frozen=True)
class Protocol:
    """What a kind of session is."""

    name: str
    login: tuple[tuple[str, tuple[str, ...]], ...]
    """The login's requests in order, each with the keys of the credentials it sends; the
    records of the one named "UserLogin" are the login."""
    requests: Mapping[str, tuple[str, ...]]
    """The keys the module reads, per request it can send."""
    waits_for_front: bool = False
    """Whether a new call waits for the front to come back (within its timeout) instead of failing
    at once while it is away; a call sent before the drop fails either way."""
    recovers: bool = False
    """Whether, after an overflow, a fresh session takes the place of the old one (what it reads
    can be read again); otherwise the session refuses everything from then on."""

    @functools.cached_property
    def queries(self) -> tuple[str, ...]:
        return tuple(name for name in self.requests if name.startswith("Qry"))


class Work(Call):
    """Work a plugin does by itself after a login (several requests, one after another): a call
    that is never sent, and that the plugin finishes."""

    def __init__(self, name: str) -> None:
        super().__init__(name, when="sync", until="told")


class Plugin:
    """A part of a session's protocol. The session hands it every event (after its own handling,
    before the listeners), tells it of each login and each drop, and asks it after each login for
    the requests that bring it up to date; ``ready_after_sync`` holds the session back from
    ready until they are answered. ``Reconnected`` is reported once they are, after a login again,
    with what each plugin's ``caught_up`` adds to it."""

    ready_after_sync: ClassVar[bool] = False
    session: Session

    def attach(self, session: Session) -> None:
        self.session = session

    def logged_in(self, login: Record) -> None:
        """A login was answered (before ``sync``)."""

    def sync(self, again: bool) -> list[Call]:
        """The calls to send after a login (``again``: a login after the first); they go out first.
        A ``Work`` is kept, not sent: the plugin sends what it needs itself, one request after
        another, and finishes it."""
        return []

    def caught_up(self, again: bool) -> Record:
        """The calls of ``sync`` are answered, all of them without error; the session is ready next.
        Returns what the ``Reconnected`` event that follows a login again carries besides the login."""
        return {}

    def receive(self, event: Event) -> bool | None:
        """One event from the module. False keeps it from the listeners (a report of something
        they were told already)."""
        return None

    def dropped(self, error: BaseException) -> None:
        """The front dropped the connection, or the session ended: calls not sent will never be answered."""


class Session:
    """One session on one front: its phase, its calls, its login."""

    def __init__(self, protocol: Protocol, plugins: Sequence[Plugin] = (), *, broker: str, user: str,
                 password: str, app_id: str = "", auth_code: str = "", query_interval: float = 1.0,
                 timeout: float | None = 10.0, logger: logging.Logger | None = None, front: str = "") -> None:
        self.protocol = protocol
        self.plugins = list(plugins)
        self.credentials: Record = dict(BrokerID=broker, UserID=user, InvestorID=user, Password=password,
                                        AppID=app_id, AuthCode=auth_code)
        self.broker, self.user = broker, user
        self.query_interval = query_interval
        self.timeout = timeout
        self.front = front
        self.log = logger or logging.getLogger("ctp.session")
        self.phase = Phase.CONNECTING
        self._sends: frozenset[str] = frozenset()    # SENDS of the phase
        self.login: Record = {}
        """The latest login's record (TradingDay, FrontID, SessionID, MaxOrderRef, ...)."""
        self.logins = 0
        self.overflow: Overflowed | None = None
        self.now = 0.0
        """The latest time the driver gave."""
        self._ids = itertools.count(1)
        self._calls: dict[int, Call] = {}          # every call not finished, by id(): for deadlines and drops
        self._outbox: list[Call] = []              # to send, not paced
        self._paced: deque[Call] = deque()         # to send one at a time, query_interval apart
        self._in_flight: Call | None = None
        self._next_paced_at = 0.0
        self._replies: dict[int, Call] = {}        # sent, waiting for replies, by request id
        self._connect: Call | None = None
        self._steps: list[tuple[str, tuple[str, ...]]] = []
        self._step: Call | None = None              # the login request in progress
        self._relogin_at: float | None = None
        self._relogins = 0                          # failed in a row
        self._generation = 0                        # logins so far: a sync call of an earlier one is stale
        self._syncing: list[Call] = []
        self._listeners: tuple[Callable[[Event], None], ...] = ()
        self._receiving = False
        self._own: list[Event] = []                 # the client's own events, told after the event that caused them
        for plugin in self.plugins:
            plugin.attach(self)

    @property
    def ready(self) -> bool:
        return self.phase is Phase.READY

    @property
    def connecting(self) -> bool:
        """Whether the first login is still to come (a call made by ``connect`` waits for it)."""
        return self._connect is not None and not self._connect.done

    # ---- what the caller asks -------------------------------------------------------------------

    def connect(self, now: float, timeout: float | None = None) -> Call:
        """A call that finishes once logged in (with the login record) and, if a plugin holds
        the session back, brought up to date."""
        self.now = now
        self._connect = Call("connect", deadline=self.deadline(now, timeout))
        self._track(self._connect)
        return self._connect

    def query(self, name: str, fields: Mapping[str, object], now: float, timeout: float | None = None) -> Call:
        """Queues a query; the call's result is the list of its records. BrokerID and InvestorID
        default to the session's own."""
        if name not in self.protocol.queries:
            raise ValueError(f"not a query: {name!r}; the queries are {', '.join(self.protocol.queries)}")
        self.check_keys(name, fields)
        self.check_open()
        return self.submit(Call(name, self.own(name, fields), self.deadline(now, timeout), paced=True))

    def submit(self, call: Call) -> Call:
        """Takes a call to send: it goes out when its phase and turn come."""
        self._track(call)
        if call.paced:
            self._paced.append(call)
        else:
            self._outbox.append(call)
        return call

    def keep(self, call: Call) -> Call:
        """Keeps a call that is not to be sent yet (or is finished by a plugin) for its deadline
        and for a drop."""
        self._track(call)
        return call

    def close(self) -> None:
        self._fire(Trigger.CLOSE, Disconnected("the session was closed"))

    def listen(self, listener: Callable[[Event], None]) -> None:
        """Hands the listener every event from now on: the module's, once the session took it in,
        and the session's own."""
        self._listeners += (listener,)

    def unlisten(self, listener: Callable[[Event], None]) -> None:
        self._listeners = tuple(one for one in self._listeners if one != listener)

    def check_open(self, ready: bool = False) -> None:
        """Raises when a new call cannot be made now (``ready``: one that needs the session ready)."""
        if self.phase is Phase.CLOSED:
            raise Disconnected("the session was closed")
        if self.overflow is not None:
            raise self.overflow
        if self.phase is Phase.LOGIN_FAILED or self.phase is Phase.DISCONNECTED and not self.protocol.waits_for_front:
            raise Disconnected(f"not connected to the front ({self.phase.value})")
        if ready and self.phase is not Phase.READY:
            raise Disconnected(f"not logged in ({self.phase.value})")

    def check_keys(self, name: str, fields: Mapping[str, object]) -> None:
        """Raises ValueError naming the valid keys when fields has one the request does not read."""
        valid = self.protocol.requests[name]
        unknown = [key for key in fields if key not in valid]
        if unknown:
            raise ValueError(f"{name} has no key {unknown[0]!r}; its keys are {', '.join(valid)}")

    def own(self, name: str, fields: Mapping[str, object]) -> Record:
        """The fields with the session's BrokerID and InvestorID where the request reads them."""
        keys = self.protocol.requests[name]
        return {key: self.credentials[key] for key in ("BrokerID", "InvestorID") if key in keys} | dict(fields)

    def deadline(self, now: float, timeout: float | None) -> float | None:
        """The time a call made now must end by: its own timeout, else the session's (None: no limit)."""
        timeout = self.timeout if timeout is None else timeout
        return None if timeout is None else now + timeout

    def own_request(self, name: str, fields: Record, when: Literal["login", "sync"], *, paced: bool = False,
                     then: Callable[[list[Record]], Any] | None = None) -> Call:
        """One of the session's own requests: its time starts when it goes out."""
        call = Call(name, fields, paced=paced, when=when, arguments=CREDENTIALS)
        call.timeout = self.timeout
        call.then = then
        return call

    def emit(self, event: Event) -> None:
        """Tells the listeners one of the session's own events (after the module's event being handled)."""
        if self._receiving:
            self._own.append(event)
        else:
            self._tell(event)

    # ---- what the driver does -------------------------------------------------------------------

    def receive(self, event: Event) -> None:
        """One event record from the module. The session and its plugins take it in before the
        listeners see it, so that what they read (an order's status, the latest tick, whether the
        session is ready) already says what the event says."""
        self._receiving = True
        told = True
        try:
            name = event["name"]
            if name == "FrontConnected":
                self._fire(Trigger.CONNECTED)
            elif name == "FrontDisconnected":
                reason = int(event.get("reason", 0))
                self._fire(Trigger.DROPPED, Disconnected(f"the front disconnected (reason {reason:#x})", reason))
            elif event.get("request_id") in self._replies:
                self._reply(event)
            for plugin in self.plugins:
                try:
                    if plugin.receive(event) is False:
                        told = False
                except Exception:
                    self.log.exception("could not handle the event %r", event)
        finally:
            self._receiving = False
        if told:
            for listener in self._listeners:
                listener(event)
        if self._own:
            own, self._own = self._own, []
            for event in own:
                self._tell(event)

    def poll_failed(self, error: Exception) -> None:
        """The module's ``poll`` raised: a BufferError means events were lost; any other error
        concerns one event only, and polling goes on."""
        if not isinstance(error, BufferError):
            self.log.error("an event could not be read: %r", error)
            return
        then = ("a fresh session takes its place" if self.protocol.recovers
                else "results can no longer be seen, so this session sends nothing more")
        self._fire(Trigger.OVERFLOW, Overflowed(f"events were lost to a full queue ({error}); {then}"))

    def reopened(self) -> None:
        """A fresh session took the place of one that overflowed: it logs in again, as after a drop."""
        self._fire(Trigger.REOPENED)

    def outgoing(self, now: float) -> list[Call]:
        """The requests to send now, in order; hand each one's result to ``sent``."""
        self.advance(now)           # nothing goes out whose time is up
        allowed = self._sends
        due = [call for call in self._outbox if call.when in allowed and (call.retry_at is None or call.retry_at <= now)]
        if due:
            self._outbox = [call for call in self._outbox if call not in due]
        if self._in_flight is None and now >= self._next_paced_at:
            turn = next((call for call in self._paced if call.when in allowed), None)
            if turn is not None:
                self._paced.remove(turn)
                self._in_flight = turn
                due.append(turn)
        for call in due:            # an id for good: a retry goes with the same one
            if not call.request_id:
                call.request_id = next(self._ids)
        return due

    def sent(self, call: Call, result: int | BaseException, now: float) -> None:
        """What the module returned (or raised) for a call from ``outgoing``."""
        self.now = now
        if call.done:               # timed out, or failed, while waiting its turn
            return
        if call.deadline is None and call.timeout is not None:
            call.deadline = now + call.timeout
        if isinstance(result, BaseException):
            self._not_sent(call, naming(result, call.arguments) if isinstance(result, BAD_VALUE) else result)
        elif result == SENT:
            call.sent = True
            if call.paced:
                self._next_paced_at = now + self.query_interval
            if call.until == "reply":
                self._replies[call.request_id] = call
            elif call.until == "sent":
                call.finish(call.result)
        elif result in (TOO_MANY_WAITING, TOO_SOON):
            call.attempts += 1
            delay = backoff(call.attempts, FIRST_BACKOFF, LAST_BACKOFF)
            self.log.debug("%s #%d: result %d, again in %.2f s", call.name, call.request_id, result, delay)
            if call.paced:
                self._in_flight = None
                self._paced.appendleft(call)
                self._next_paced_at = now + delay
            else:
                call.retry_at = now + delay
                self._outbox.append(call)
        else:
            self._not_sent(call, Disconnected(f"{call.name} not sent: the front is not connected ({result})"))

    def due(self, now: float) -> bool:
        """Whether ``advance`` or ``outgoing`` may have something to do now (asked often: cheap)."""
        if self._outbox or self._relogin_at is not None and now >= self._relogin_at:
            return True
        if self._paced and self._in_flight is None and now >= self._next_paced_at:
            return True
        for call in self._calls.values():
            if call.deadline is not None and now >= call.deadline:
                return True
        return False

    def next_wakeup(self) -> float | None:
        """The time ``advance`` has something to do by itself, if any."""
        times = [call.deadline for call in self._calls.values() if call.deadline is not None]
        times += [call.retry_at for call in self._outbox if call.retry_at is not None]
        allowed = self._sends
        if self._in_flight is None and any(call.when in allowed for call in self._paced):
            times.append(self._next_paced_at)
        if self._relogin_at is not None:
            times.append(self._relogin_at)
        return min(times, default=None)

    def advance(self, now: float) -> None:
        """Fails the calls whose time is up; logs in again once a failed login's delay has passed."""
        self.now = now
        if self._relogin_at is not None and now >= self._relogin_at:
            self._relogin_at = None
            self._fire(Trigger.RETRY)
        for call in [c for c in self._calls.values() if c.deadline is not None and now >= c.deadline]:
            if call.done:
                continue
            if call is self._connect:
                call.finish(error=TimeoutError(f"no login in time from the front {self.front} ({self.phase.value})"))
                continue
            timeout = TimeoutError(f"{call.name} #{call.request_id}: no reply in time" if call.sent
                                   else f"{call.name}: not sent in time ({self.phase.value})")
            if call is self._step:
                self._fire(Trigger.REFUSED, timeout, call)
            call.finish(error=timeout)

    # ---- internals ------------------------------------------------------------------------------

    def _track(self, call: Call) -> None:
        if call.done:
            return
        self._calls[id(call)] = call
        call.add_done_callback(self._forget)

    def _forget(self, call: Call) -> None:
        """A call finished: it is nobody's business any more."""
        self._calls.pop(id(call), None)
        if self._replies.get(call.request_id) is call:
            del self._replies[call.request_id]
        if call in self._outbox:
            self._outbox.remove(call)
        if call in self._paced:
            self._paced.remove(call)
        if call is self._in_flight:
            self._in_flight = None

    def _fail(self, error: BaseException, everything: bool = True) -> None:
        """Fails the calls (but the connect): all of them, or only those the front had."""
        for call in list(self._calls.values()):
            if call is not self._connect and (everything or call.sent or call.when != "ready"):
                call.finish(error=error)
        for plugin in self.plugins:
            plugin.dropped(error)

    def _tell(self, event: Event) -> None:
        for listener in self._listeners:
            listener(event)

    def _reply(self, event: Event) -> None:
        call = self._replies.get(event["request_id"])
        if call is None:
            return
        failure = reply_error(event, call.name)
        if failure is not None:
            if call is self._step:
                # A front not ready yet takes the login later: tried again, as one that could not go out.
                self._fire(Trigger.FAILED if failure.error_id == NOT_READY else Trigger.REFUSED, failure, call)
            call.finish(error=failure)
            return
        if event.get("data") is not None:
            call.records.append(event["data"])
        if event.get("last", True):
            result: Any = call.records
            if call.then is not None:
                try:
                    result = call.then(call.records)
                except Exception as error:
                    self.log.exception("%s: could not take in its reply", call.name)
                    call.finish(error=error)
                    return
            call.finish(result)

    def _not_sent(self, call: Call, error: BaseException) -> None:
        if call is self._step:      # no use trying again with a value the module refuses: the caller must know
            self._fire(Trigger.REFUSED if isinstance(error, BAD_VALUE) else Trigger.FAILED, error, call)
        call.finish(error=error)

    # the life cycle: the table above says where each trigger leads; the methods below do what
    # entering each phase means.

    def _fire(self, trigger: Trigger, error: BaseException | None = None, call: Call | None = None) -> None:
        phase = TRANSITIONS[self.phase].get(trigger)
        if phase is None:
            self.log.debug("%s: nothing to do while %s", trigger.value, self.phase.value)
            return
        self.phase = phase
        self._sends = SENDS.get(phase, frozenset())
        getattr(self, f"_enter_{phase.name.lower()}")(trigger, error, call)

    def _enter_logging_in(self, trigger: Trigger, error: BaseException | None, call: Call | None) -> None:
        if trigger is Trigger.CONNECTED:
            self.log.info("front connected; logging in as %s/%s", self.broker, self.user)
        else:
            self.log.info("logging in again")
        self._relogin_at = None
        if self._step is not None:
            self._step.finish(error=Disconnected("the login started again"))
        self._steps = list(self.protocol.login)
        self._next_step([])

    def _next_step(self, records: list[Record]) -> None:
        if self._step is not None and self._step.name == "UserLogin":
            self.login = dict(records[0]) if records else {}
        if not self._steps:
            self._step = None
            self._fire(Trigger.LOGGED_IN)
            return
        name, keys = self._steps.pop(0)
        self._step = self.submit(self.own_request(name, {key: self.credentials[key] for key in keys}, "login",
                                                 then=self._next_step))

    def _enter_syncing(self, trigger: Trigger, error: BaseException | None, call: Call | None) -> None:
        self.logins += 1
        self._relogins = 0
        self._generation += 1
        again = not self.connecting
        self.log.info("logged in: %s", ", ".join(f"{key} {value}" for key, value in self.login.items()))
        for plugin in self.plugins:
            plugin.logged_in(self.login)
        self._syncing = []
        holding = False
        for plugin in self.plugins:
            calls = plugin.sync(again)
            holding |= bool(calls) and plugin.ready_after_sync
            self._syncing += calls
        paced = unpaced = 0
        for sync_call in self._syncing:
            sync_call.add_done_callback(self._synced_one(self._generation, again))
            self._track(sync_call)
            # They go out before anything the caller queued.
            if isinstance(sync_call, Work):
                continue
            if sync_call.paced:
                self._paced.insert(paced, sync_call)
                paced += 1
            else:
                self._outbox.insert(unpaced, sync_call)
                unpaced += 1
        if not holding:
            self._fire(Trigger.SYNCED)
        if not self._syncing:
            self._synced(again)

    def _synced_one(self, generation: int, again: bool) -> Callable[[Call], None]:
        def done(call: Call) -> None:
            if generation != self._generation or self.phase not in (Phase.SYNCING, Phase.READY):
                return          # dropped meanwhile: the next login syncs again
            if call.error is not None:
                self.log.warning("could not catch up after the login: %s failed: %s", call.name, call.error)
            if all(c.done for c in self._syncing):
                self._synced(again)
        return done

    def _synced(self, again: bool) -> None:
        failed = next((call for call in self._syncing if call.error is not None), None)
        self._syncing = []
        changes: Record = {}
        if failed is None:
            for plugin in self.plugins:
                changes |= plugin.caught_up(again)
        self._fire(Trigger.SYNCED)          # if it held the session back
        if not again:
            return
        if failed is not None:
            self.emit({"name": "ReconnectFailed", "request": failed.name, "exception": failed.error})
        else:
            self.log.info("reconnected")
            self.emit({"name": "Reconnected", "data": dict(self.login), **changes})

    def _enter_ready(self, trigger: Trigger, error: BaseException | None, call: Call | None) -> None:
        if self._connect is not None:
            self._connect.finish(dict(self.login))

    def _enter_retrying(self, trigger: Trigger, error: BaseException | None, call: Call | None) -> None:
        """A login request did not go out, or the front was not ready for it: reported, and the login
        starts again after a growing delay (the front, still connected, sends no FrontConnected that
        would start it)."""
        self._step = None
        self._relogins += 1
        delay = backoff(self._relogins, FIRST_RELOGIN, LAST_RELOGIN)
        name = call.name if call is not None else "login"
        what = "refused" if isinstance(error, CtpError) else "not sent"
        self.log.error("login failed: %s %s (%s); logging in again in %.2f s", name, what, error, delay)
        self._relogin_at = self.now + delay
        if not self.connecting:
            self.emit({"name": "ReconnectFailed", "request": name, "exception": error})

    def _enter_login_failed(self, trigger: Trigger, error: BaseException | None, call: Call | None) -> None:
        """The front refused the login (or did not answer it): no use trying before it connects again."""
        assert error is not None
        self._step = None
        self.log.error("login refused: %s", error)
        self._fail(error)
        if self.connecting:
            assert self._connect is not None
            self._connect.finish(error=error)
        else:
            self.emit({"name": "ReconnectFailed", "request": call.name if call else "login", "exception": error})

    def _enter_disconnected(self, trigger: Trigger, error: BaseException | None, call: Call | None) -> None:
        assert isinstance(error, Disconnected)
        self.log.warning("front disconnected (reason %#x)", error.reason)
        self._step = None
        self._relogin_at = None
        # What the front had will never be answered; the rest waits for it if the protocol says so.
        self._fail(error, everything=not self.protocol.waits_for_front)

    def _enter_overflowed(self, trigger: Trigger, error: BaseException | None, call: Call | None) -> None:
        assert isinstance(error, Overflowed)
        self.overflow = error
        self.log.error("%s", error)
        self._step = None
        self._relogin_at = None
        self._fail(error)
        if self._connect is not None:
            self._connect.finish(error=error)
        self.emit({"name": "Overflowed", "error": str(error)})

    def _enter_connecting(self, trigger: Trigger, error: BaseException | None, call: Call | None) -> None:
        self.log.warning("a fresh session takes the place of the one that overflowed")
        self.overflow = None

    def _enter_closed(self, trigger: Trigger, error: BaseException | None, call: Call | None) -> None:
        assert error is not None
        self._step = None
        self._relogin_at = None
        self._fail(error)
        if self._connect is not None:
            self._connect.finish(error=error)


def transmit(session: Session, send: Callable[[Call], int], now: float) -> None:
    """Sends what the session has due through ``send`` (the module's request function for a call)."""
    while due := session.outgoing(now):
        for call in due:
            result: int | BaseException
            try:
                result = send(call)
            except Exception as error:     # a bad value: that call fails, the session goes on
                result = error
            session.sent(call, result, now)
