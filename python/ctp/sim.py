"""The stand-in libraries' controls (``standin/src/ctpsim.h``): move the
simulated front's prices, drop and restore connections, set the query
interval, run vendor callbacks and read the log of the calls the modules made.
API objects of both libraries (``_ctp``'s and ``_ctpmd``'s sessions) are named
by one serial and answer to the same controls.

Only the stand-in library exports these functions. They are loaded from the
very library ``_ctp`` was linked with, so they act on the fronts and API
objects of the sessions that ``_ctp`` opens in this process::

    import _ctp
    from ctp import sim

    handle = _ctp.create("sim://test", b"/tmp/flow/")
    sim.set_price("sim://test", "rb2705", 3120.0)   # the market moves
    sim.disconnect(sim.last_api())                  # FrontDisconnected follows

A control that fails raises :class:`ControlError` carrying its
:class:`Result`; with the vendor's library every control raises
:class:`NoControlsError`.
"""

import ctypes
import datetime
import os
from collections.abc import Buffer, Iterable
from enum import IntEnum
from functools import cache
from pathlib import Path
from typing import Final, NamedTuple

__all__ = [
    "LIBRARY",
    "Call",
    "ControlError",
    "NoControlsError",
    "Result",
    "Throw",
    "Timing",
    "advance_clock",
    "alive",
    "api_of",
    "behave",
    "calls",
    "choices",
    "clock",
    "disconnect",
    "emit",
    "fail_next_create",
    "fail_thread",
    "flood",
    "flood_record",
    "force_result",
    "freeze_clock",
    "heartbeat_warning",
    "hold",
    "last_api",
    "library",
    "log_calls",
    "max_pending",
    "md_alive",
    "md_api_of",
    "md_disconnect",
    "md_emit",
    "md_flood",
    "md_hold",
    "md_reconnect",
    "move_price",
    "price",
    "query_interval",
    "reconnect",
    "reset",
    "set_clock",
    "set_price",
    "set_request_delay",
    "set_status",
    "set_version",
    "settle",
    "sizeof",
    "throw_next",
    "timing",
    "trading_notice",
    "timings",
    "unruly",
    "violations",
    "walk",
]

LIBRARY: Final = "thosttraderapi_se.so"
"""File name (and name in ``_ctp``'s dependencies) of the trader library."""


class Result(IntEnum):
    """Results of the control functions (``CTPSIM_*``)."""

    OK = 0
    """Done."""
    NO_API = -1
    """No such API object, or it was released."""
    NO_CALLBACK = -2
    """Unknown callback name."""
    BAD_SIZE = -3
    """Record or error bytes of the wrong size."""
    TIMED_OUT = -4
    """The callback did not finish within the timeout."""
    NOT_STARTED = -5
    """``Init`` has not been called yet."""
    DROPPED = -6
    """``Release`` stopped the thread before the callback ran."""
    BAD_THREAD = -7
    """Thread index out of range."""
    NO_FRONT = -8
    """No such simulated front or instrument, or the API object reached none."""
    BAD_VALUE = -9
    """A price off the tick grid or outside the price band, or the connection
    already in the state asked for."""
    NO_MEMORY = -10
    """The library ran out of memory."""


class Throw(IntEnum):
    """What :func:`throw_next` makes the vendor throw (``CTPSIM_THROW_*``)."""

    RUNTIME = 0
    """``std::runtime_error("<op> failed in the stand-in")``."""
    BAD_ALLOC = 1
    """``std::bad_alloc``."""
    SYSTEM = 2
    """``std::system_error`` (EAGAIN), as when a thread cannot start."""
    OTHER = 3
    """An ``int``: no ``std::exception`` at all."""


class Timing(NamedTuple):
    """One timed callback (:func:`timing`)."""

    begin_ns: int
    """When it started, on CLOCK_MONOTONIC (as :func:`time.monotonic_ns`)."""
    duration_ns: int
    """How long it took."""
    preempted: int
    """Times the scheduler preempted its thread meanwhile (counted switches only)."""
    blocked: int
    """Times its thread blocked meanwhile (counted switches only)."""
    faults: int
    """Minor page faults meanwhile (counted switches only)."""


class ControlError(RuntimeError):
    """A control function returned something other than :attr:`Result.OK`."""

    def __init__(self, function: str, result: int) -> None:
        try:
            self.result: Result | int = Result(result)
        except ValueError:
            self.result = result
        self.function = function
        name = self.result.name if isinstance(self.result, Result) else "unknown result"
        super().__init__(f"{function}: {result} ({name})")


class NoControlsError(RuntimeError):
    """The trader library ``_ctp`` uses has no control interface: it is the
    vendor's, not the stand-in."""


class Call(ctypes.Structure):
    """One logged call into the library (``struct ctpsim_call``)."""

    _fields_ = [
        ("api", ctypes.c_int),
        ("op", ctypes.c_char * 48),
        ("gil", ctypes.c_int),
        ("arg1", ctypes.c_int),
        ("arg2", ctypes.c_int),
        ("text", ctypes.c_char * 256),
        ("size", ctypes.c_size_t),
        ("record", ctypes.c_ubyte * 1024),
    ]
    api: int
    """Serial of the API object (1, 2, ...); 0 for static calls."""
    op: bytes
    """What was called: ``b"CreateFtdcTraderApi"``, ``b"Init"``, ``b"ReqOrderInsert"``..."""
    gil: int
    """1: the caller held the interpreter lock, 0: it did not, -1: no Python."""
    arg1: int
    """RegisterSpi: 1 for an object; Subscribe*Topic: resume type; Req*: request
    id; CreateFtdcTraderApi: production flag; CreateFtdcMdApi: udp flag;
    (Un)SubscribeMarketData: count."""
    arg2: int
    """SubscribePrivateTopic: its length argument; CreateFtdcMdApi: multicast flag."""
    text: bytes
    """Create*Api: flow path; RegisterFront: address; (Un)SubscribeMarketData:
    the ids, one a line."""
    size: int
    """Req*: size of the record."""

    @property
    def name(self) -> str:
        """:attr:`op` as text."""
        return self.op.decode()

    def bytes(self) -> bytes:
        """Req*: the record's bytes as the library received them."""
        return ctypes.string_at(ctypes.addressof(self) + type(self).record.offset, self.size)

    def __repr__(self) -> str:
        return f"Call({self.api}, {self.name!r}, gil={self.gil}, {self.arg1}, {self.arg2}, {self.text!r})"


# The exact C signature of every control, (restype, argtypes), one entry per
# function of ctpsim.h.
_c = ctypes
SIGNATURES: Final[dict[str, tuple[type[object] | None, tuple[type[object], ...]]]] = {
    "ctpsim_last_api": (_c.c_int, ()),
    "ctpsim_api_of": (_c.c_int, (_c.c_char_p,)),
    "ctpsim_alive": (_c.c_int, (_c.c_int,)),
    "ctpsim_emit": (_c.c_int, (_c.c_int, _c.c_int, _c.c_char_p, _c.c_void_p, _c.c_size_t, _c.c_void_p, _c.c_size_t,
                               _c.c_int, _c.c_int, _c.c_int)),
    "ctpsim_flood": (_c.c_int, (_c.c_int, _c.c_int, _c.c_char_p, _c.c_int, _c.c_int)),
    "ctpsim_calls": (_c.c_int, (_c.POINTER(Call), _c.c_int)),
    "ctpsim_log_calls": (None, (_c.c_int,)),
    "ctpsim_violations": (_c.c_int, ()),
    "ctpsim_reset": (None, ()),
    "ctpsim_fail_next_create": (None, ()),
    "ctpsim_fail_thread": (None, (_c.c_int,)),
    "ctpsim_force_result": (None, (_c.c_int, _c.c_int)),
    "ctpsim_set_version": (None, (_c.c_char_p,)),
    "ctpsim_set_request_delay": (None, (_c.c_int,)),
    "ctpsim_throw_next": (None, (_c.c_char_p, _c.c_int)),
    "ctpsim_timing": (None, (_c.c_int, _c.c_int)),
    "ctpsim_timings": (_c.c_int, (_c.POINTER(_c.c_longlong), _c.POINTER(_c.c_longlong), _c.POINTER(_c.c_int),
                                  _c.POINTER(_c.c_int), _c.POINTER(_c.c_int), _c.c_int)),
    "ctpsim_flood_record": (_c.c_int, (_c.c_int, _c.c_int, _c.c_char_p, _c.c_void_p, _c.c_size_t, _c.c_int,
                                       _c.c_int)),
    "ctpsim_sizeof": (_c.c_size_t, (_c.c_char_p,)),
    "ctpsim_set_price": (_c.c_int, (_c.c_char_p, _c.c_char_p, _c.c_double)),
    "ctpsim_move_price": (_c.c_int, (_c.c_char_p, _c.c_char_p, _c.c_int)),
    "ctpsim_get_price": (_c.c_int, (_c.c_char_p, _c.c_char_p, _c.POINTER(_c.c_double))),
    "ctpsim_disconnect": (_c.c_int, (_c.c_int, _c.c_int)),
    "ctpsim_reconnect": (_c.c_int, (_c.c_int,)),
    "ctpsim_hold": (_c.c_int, (_c.c_int, _c.c_int)),
    "ctpsim_query_interval": (None, (_c.c_int,)),
    "ctpsim_max_pending": (None, (_c.c_int,)),
    "ctpsim_walk": (_c.c_int, (_c.c_char_p, _c.c_char_p, _c.c_ulonglong, _c.c_double)),
    "ctpsim_heartbeat_warning": (_c.c_int, (_c.c_int, _c.c_int)),
    "ctpsim_trading_notice": (_c.c_int, (_c.c_char_p, _c.c_char_p, _c.c_char_p, _c.c_char_p)),
    "ctpsim_set_clock": (_c.c_int, (_c.c_char_p, _c.c_char_p)),
    "ctpsim_advance_clock": (_c.c_int, (_c.c_char_p, _c.c_longlong)),
    "ctpsim_freeze_clock": (_c.c_int, (_c.c_char_p, _c.c_int)),
    "ctpsim_get_clock": (_c.c_int, (_c.c_char_p, _c.POINTER(_c.c_longlong))),
    "ctpsim_settle": (_c.c_int, (_c.c_char_p,)),
    "ctpsim_set_status": (_c.c_int, (_c.c_char_p, _c.c_char_p, _c.c_char_p)),
    "ctpsim_behave": (_c.c_int, (_c.c_char_p, _c.c_char_p, _c.c_char_p)),
    "ctpsim_choices": (_c.c_longlong, (_c.c_char_p, _c.c_char_p, _c.c_size_t)),
}
"""Return and argument types of each control, as declared in ``ctpsim.h``."""


def _open(loader: type[ctypes.CDLL]) -> ctypes.CDLL:
    """The trader library _ctp is linked with, through loader.

    The dynamic loader finds an already-loaded library by the name _ctp
    depends on, so the controls act on exactly that copy, wherever it lies;
    the files beside the module are the fallback."""
    import _ctp  # loads the trader library

    try:
        return loader(LIBRARY, mode=os.RTLD_NOLOAD | os.RTLD_NOW)
    except OSError:
        pass
    module = Path(_ctp.__file__).parent
    for path in (module / "ctp" / LIBRARY, module / LIBRARY):
        if path.exists():
            return loader(str(path))
    raise NoControlsError(f"{LIBRARY} is not loaded and not beside {_ctp.__file__}")


def _bind(lib: ctypes.CDLL) -> ctypes.CDLL:
    if not hasattr(lib, "ctpsim_last_api"):
        raise NoControlsError(f"{lib._name} has no control interface: it is the vendor's library, not the stand-in")
    for name, (restype, argtypes) in SIGNATURES.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


@cache
def library() -> ctypes.CDLL:
    """The library with every control's C signature set. Its calls release
    the interpreter lock."""
    return _bind(_open(ctypes.CDLL))


@cache
def _held() -> ctypes.CDLL:
    """The same library through calls that keep the interpreter lock."""
    return _bind(_open(ctypes.PyDLL))


def _check(function: str, result: int) -> None:
    if result != Result.OK:
        raise ControlError(function, result)


def _text(name: str, value: str | bytes) -> bytes:
    """The C string for argument ``name``: a str in UTF-8, bytes as they are.
    C would read a NUL as the end and act on what comes before it (another
    instrument, another front), so a NUL is refused."""
    data = value.encode() if isinstance(value, str) else bytes(value)
    if b"\0" in data:
        raise ValueError(f"{name} contains a NUL character: {value!r}")
    return data


def last_api() -> int:
    """Serial of the newest API object (0 when none was created yet)."""
    result: int = library().ctpsim_last_api()
    return result


def api_of(flow: bytes) -> int:
    """Serial of the newest API object, of either library, created with this
    flow path (0 if none): the one behind the handle ``_ctp.create(front,
    flow)`` or ``_ctpmd.create(front, flow)`` returned."""
    result: int = library().ctpsim_api_of(_text("flow", flow))
    return result


def alive(api: int) -> bool:
    """Whether the API object exists and has not been released."""
    return bool(library().ctpsim_alive(api))


def emit(api: int, callback: str, record: Buffer | None = None, info: Buffer | None = None, *, id: int = 0,
         last: bool = True, thread: int = 0, timeout: float = 10.0, hold_gil: bool = False) -> None:
    """Runs the vendor callback ``callback`` of the object's own spi class
    ("OnRtnOrder", "OnRtnDepthMarketData", ...) on the library's thread
    ``thread`` (0 or 1) of ``api``, as if the front had sent it, and waits up
    to ``timeout`` seconds for it to return.

    ``record`` and ``info`` are the bytes (or a ctypes structure) of the
    callback's record and of its ``CThostFtdcRspInfoField``, exactly their
    size, or None for a null pointer. ``id`` is the request id, the reason of
    OnFrontDisconnected, the time lapse of OnHeartBeatWarning. With
    ``hold_gil`` the calling thread keeps the interpreter lock while it waits.
    """
    data = None if record is None else bytes(record)
    error = None if info is None else bytes(info)
    lib = _held() if hold_gil else library()
    _check("ctpsim_emit", lib.ctpsim_emit(api, thread, _text("callback", callback), data,
                                          0 if data is None else len(data), error,
                                          0 if error is None else len(error), id, int(last), round(timeout * 1000)))


def flood(api: int, callback: str, count: int, record: Buffer | None = None, *, thread: int = 0,
          timeout: float = 60.0) -> None:
    """Runs ``callback`` ``count`` times back to back on one library thread,
    with null info, ids 0, 1, ..., count-1 and last true, and a copy of
    ``record`` (exactly the callback's record size) or a null record each
    time; waits up to ``timeout`` seconds for all of them."""
    if record is not None:
        flood_record(api, callback, record, count, thread=thread, timeout=timeout)
        return
    _check("ctpsim_flood", library().ctpsim_flood(api, thread, _text("callback", callback), count,
                                                  round(timeout * 1000)))


def flood_record(api: int, callback: str, record: Buffer, count: int, *, thread: int = 0,
                 timeout: float = 60.0) -> None:
    """Like :func:`flood`, with a copy of ``record`` (exactly the callback's
    record size) as every callback's record. ``callback`` may also be
    ``"ctpsim:floor"``: no callback, but a copy of an order record into a
    preallocated ring, the cheapest thing a client could do (a benchmark's
    floor)."""
    data = bytes(record)
    _check("ctpsim_flood_record", library().ctpsim_flood_record(api, thread, _text("callback", callback), data,
                                                                len(data), count, round(timeout * 1000)))


def log_calls(enabled: bool = True) -> None:
    """Turns the call log on or off (off by default and after :func:`reset`)."""
    library().ctpsim_log_calls(int(enabled))


def calls(api: int | None = None, op: str | None = None) -> list[Call]:
    """The calls the library logged since the last :func:`reset`, oldest
    first (the first 100,000), optionally only those on ``api`` or to ``op``."""
    if op is not None:
        _text("op", op)
    lib = library()
    count: int = lib.ctpsim_calls(None, 0)
    buffer = (Call * max(count, 1))()
    count = min(count, lib.ctpsim_calls(buffer, count))
    logged = list(buffer[:count])
    return [c for c in logged if (api is None or c.api == api) and (op is None or c.name == op)]


def violations() -> int:
    """Calls that reached an API object after its ``Release``."""
    result: int = library().ctpsim_violations()
    return result


def reset() -> None:
    """Clears the call log and the violation count and undoes every control
    below except the prices; simulated fronts keep their state."""
    library().ctpsim_reset()


def fail_next_create() -> None:
    """Makes the next ``CreateFtdcTraderApi`` fail (``_ctp.create`` raises)."""
    library().ctpsim_fail_next_create()


def fail_thread(nth: int) -> None:
    """The nth library thread started from now on fails to start (0: none)."""
    library().ctpsim_fail_thread(nth)


def throw_next(op: str, kind: Throw = Throw.RUNTIME) -> None:
    """The next call of the vendor operation ``op`` ("CreateFtdcTraderApi",
    "GetApiVersion", "RegisterSpi", "SubscribePrivateTopic",
    "SubscribePublicTopic", "RegisterFront", "Init", "Release",
    "ReqOrderInsert", ...) throws, as a vendor library may: ``Init`` after its
    threads started, ``Release`` before it does anything, the others before
    they have any effect."""
    library().ctpsim_throw_next(_text("op", op), kind)


def timing(capacity: int, count_switches: bool = False) -> None:
    """Times the next ``capacity`` callbacks of every API object (0 stops),
    inside the library around each callback; with ``count_switches`` each
    also records what its thread went through meanwhile (:class:`Timing`)."""
    library().ctpsim_timing(capacity, int(count_switches))


def timings() -> list[Timing]:
    """The callbacks timed since :func:`timing`, in the order they ran."""
    lib = library()
    count: int = lib.ctpsim_timings(None, None, None, None, None, 0)
    size = max(count, 1)
    begin, duration = (ctypes.c_longlong * size)(), (ctypes.c_longlong * size)()
    preempted, blocked, faults = (ctypes.c_int * size)(), (ctypes.c_int * size)(), (ctypes.c_int * size)()
    count = min(count, lib.ctpsim_timings(begin, duration, preempted, blocked, faults, count))
    return [Timing(*t) for t in zip(begin[:count], duration[:count], preempted[:count], blocked[:count],
                                    faults[:count])]


def force_result(value: int | None) -> None:
    """Makes every request return ``value`` (after logging it); None ends it."""
    library().ctpsim_force_result(int(value is not None), value or 0)


def set_version(text: bytes) -> None:
    """The text ``GetApiVersion`` returns from now on (at most 255 bytes)."""
    library().ctpsim_set_version(_text("text", text))


def set_request_delay(microseconds: int) -> None:
    """Makes every request take this long inside the library."""
    library().ctpsim_set_request_delay(microseconds)


def sizeof(record: str) -> int:
    """sizeof the named record type ("CThostFtdcOrderField", ...), 0 if unknown."""
    result: int = library().ctpsim_sizeof(_text("record", record))
    return result


# ---- the simulated front (sim://NAME) ---------------------------------------
# `front` names a front that a session has reached: "NAME" or "sim://NAME".

def set_price(front: str, instrument: str, price: float) -> None:
    """Sets an instrument's reference price: the simulated market quotes
    around it again at full depth, and resting orders the new quotes cross
    trade. NO_FRONT for an unknown front or instrument, BAD_VALUE for a price
    off the tick grid or outside the price band."""
    _check("ctpsim_set_price", library().ctpsim_set_price(_text("front", front), _text("instrument", instrument),
                                                          price))


def move_price(front: str, instrument: str, ticks: int) -> None:
    """Moves the reference price by ``ticks`` price ticks (0 refills the market)."""
    _check("ctpsim_move_price", library().ctpsim_move_price(_text("front", front), _text("instrument", instrument),
                                                            ticks))


def price(front: str, instrument: str) -> float:
    """An instrument's reference price."""
    out = ctypes.c_double()
    _check("ctpsim_get_price", library().ctpsim_get_price(_text("front", front), _text("instrument", instrument),
                                                          ctypes.byref(out)))
    return out.value


def disconnect(api: int, reason: int = 0x1001) -> None:
    """The front drops the API object's connection: FrontDisconnected(reason)
    follows, the session is logged out and requests return -1 until
    :func:`reconnect`. BAD_VALUE when already disconnected."""
    _check("ctpsim_disconnect", library().ctpsim_disconnect(api, reason))


def reconnect(api: int) -> None:
    """The front takes the API object back: FrontConnected follows and the
    client authenticates and logs in again. BAD_VALUE when connected."""
    _check("ctpsim_reconnect", library().ctpsim_reconnect(api))


def hold(api: int, held: bool = True) -> None:
    """While held, thread 0 of the API object runs no callback and they wait,
    as with a client that does not keep up."""
    _check("ctpsim_hold", library().ctpsim_hold(api, int(held)))


def query_interval(ms: int) -> None:
    """Shortest time between two queries of a logged-in session, in
    milliseconds (1000 by default; 0 lifts the limit). A query sent sooner
    returns -3."""
    library().ctpsim_query_interval(ms)


def max_pending(count: int) -> None:
    """Callbacks that may wait on an API object's thread 0 before requests
    return -2 (10000 by default)."""
    library().ctpsim_max_pending(count)


def heartbeat_warning(api: int, time_lapse: int) -> None:
    """The front warns the API object's session that its heartbeat is late:
    ``HeartBeatWarning`` with ``time_lapse`` follows, in order with the
    session's other events. BAD_VALUE while disconnected."""
    _check("ctpsim_heartbeat_warning", library().ctpsim_heartbeat_warning(api, time_lapse))


def trading_notice(front: str, text: str, broker: str = "", investor: str = "") -> None:
    """Sends a trading notice (``RtnTradingNotice``) to every logged-in
    session of the broker and investor ("": any), its ``FieldContent`` the
    text in GB18030 (at most 500 bytes: BAD_VALUE for more), ``SequenceNo``
    counting from 1 on the front."""
    content = text.encode("gb18030")
    if b"\0" in content:
        raise ValueError(f"text contains a NUL character: {text!r}")
    _check("ctpsim_trading_notice", library().ctpsim_trading_notice(_text("front", front), _text("broker", broker),
                                                                    _text("investor", investor), content))


# ---- the front's clock and trading day -------------------------------------------
# A front's clock reads the machine's local time until set. Times are civil
# (wall-clock) times without a time zone, as the front's records show them.
# Moving the clock makes at once, in time order, every status change and end
# of a trading day that the front's calendar has by the new time.

_EPOCH: Final = datetime.datetime(1970, 1, 1)


def set_clock(front: str, time: str | datetime.datetime | None) -> None:
    """Sets the front's clock to ``time`` (a naive ``datetime``, or
    "YYYYMMDD HH:MM:SS" with optional ".mmm"): it runs on from there at the
    machine's pace, or stands there while frozen. None: the machine's time
    again. BAD_VALUE for a malformed time."""
    name = _text("front", front)
    if isinstance(time, datetime.datetime):
        time = time.strftime("%Y%m%d %H:%M:%S.") + f"{time.microsecond // 1000:03d}"
    text = b"" if time is None else _text("time", time)
    _check("ctpsim_set_clock", library().ctpsim_set_clock(name, text))


def advance_clock(front: str, seconds: float) -> None:
    """Moves the front's clock forward by ``seconds`` (to the millisecond)."""
    _check("ctpsim_advance_clock", library().ctpsim_advance_clock(_text("front", front), round(seconds * 1000)))


def freeze_clock(front: str, frozen: bool = True) -> None:
    """Freezes the front's clock at the time it shows (False: it runs on
    from there at the machine's pace)."""
    _check("ctpsim_freeze_clock", library().ctpsim_freeze_clock(_text("front", front), int(frozen)))


def clock(front: str) -> datetime.datetime:
    """The front's clock now, as a naive ``datetime``."""
    out = ctypes.c_longlong()
    _check("ctpsim_get_clock", library().ctpsim_get_clock(_text("front", front), ctypes.byref(out)))
    return _EPOCH + datetime.timedelta(milliseconds=out.value)


def settle(front: str) -> None:
    """Ends the front's trading day now: waiting orders are cancelled, the
    day is settled (its statement made, today's positions carried over at the
    last prices), the next weekday begins, and every trading session is
    dropped and taken back."""
    _check("ctpsim_settle", library().ctpsim_settle(_text("front", front)))


def set_status(front: str, instrument: str, status: str) -> None:
    """Sets an instrument's status by hand ("0" to "6", as ``InstrumentStatus``
    in ``RtnInstrumentStatus``; EnterReason "2", manual) until the calendar's
    next status change of it. Orders are taken only in "2", continuous
    trading. BAD_VALUE for another status."""
    _check("ctpsim_set_status", library().ctpsim_set_status(_text("front", front), _text("instrument", instrument),
                                                            _text("status", status)))


# ---- the front's behaviour ---------------------------------------------------------
# A front may do, on demand or at random from a seed, the legal things a real
# front does that an orderly one does not (standin/README.md, "Unruly
# fronts"). The keys are those of a configuration file's [front] section.

def behave(front: str, *, seed: int | None = None, fill_first: float | None = None,
           exchange_refusals: float | None = None, query_batch: int | None = None, query_pause: int | None = None,
           query_rate: int | None = None, query_backlog: int | None = None, drop: float | None = None,
           drop_reason: int | None = None, drop_moment: int | None = None, heartbeat_warnings: int | None = None,
           reconnect: int | None = None, outage: int | None = None, not_ready: int | None = None,
           down: Iterable[int] | None = None) -> None:
    """Sets the front's behaviours given (the others stay as they are), the
    seed first: ``fill_first`` and ``exchange_refusals`` are chances (0 to
    1) that a fill's ``RtnTrade`` comes before the ``RtnOrder`` reporting it
    and that a refusal the exchange makes comes from the exchange (an
    ``RtnOrder``, no error record); ``query_batch`` records a reply batch
    holds at most (0: one batch) with ``query_pause`` milliseconds between
    batches; ``query_rate`` queries a session may send within the query
    interval (else -3) and ``query_backlog`` not yet answered (else -2; 0: no
    limit); ``drop`` the chance a request comes with a drop of its connection,
    for ``drop_reason`` (0: any of the vendor's five) at ``drop_moment`` (1:
    before the front reads the request, 2: losing its replies, 3: after
    them; 0: any) after
    ``heartbeat_warnings`` warnings for a heartbeat timeout; ``reconnect``
    milliseconds before each of the library's attempts after a drop, of which
    ``outage`` fail; ``not_ready`` logins refused after each connection;
    ``down`` the doors that are down (sim://NAME is door 1, sim://NAME/K door
    K): sessions there are dropped. BAD_VALUE for a value out of its range."""
    name = _text("front", front)
    settings: list[tuple[str, object]] = [
        ("seed", seed), ("fill_first", fill_first), ("exchange_refusals", exchange_refusals),
        ("query_batch", query_batch), ("query_pause", query_pause), ("query_rate", query_rate),
        ("query_backlog", query_backlog), ("drop", drop), ("drop_reason", drop_reason),
        ("drop_moment", drop_moment),
        ("heartbeat_warnings", heartbeat_warnings), ("reconnect", reconnect), ("outage", outage),
        ("not_ready", not_ready)]
    for key, value in settings:
        if value is None:
            continue
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise TypeError(f"{key} must be a number, not {type(value).__name__}")
        text = repr(float(value)) if isinstance(value, float) else str(value)
        _check("ctpsim_behave", library().ctpsim_behave(name, key.encode(), text.encode()))
    if down is not None:
        doors = list(down)
        if any(isinstance(door, bool) or not isinstance(door, int) for door in doors):
            raise TypeError("down must be door numbers (int)")
        _check("ctpsim_behave", library().ctpsim_behave(name, b"down", " ".join(map(str, doors)).encode()))


def unruly(front: str, seed: int | None) -> None:
    """The unruly mode: every behaviour of :func:`behave` at once, each choice
    drawn from ``seed`` (the same seed, the same choices for the same
    requests); None: orderly again (the doors stay as they are)."""
    value = b"off" if seed is None else str(seed).encode()
    if seed is not None and (isinstance(seed, bool) or not isinstance(seed, int)):
        raise TypeError(f"seed must be an int or None, not {type(seed).__name__}")
    _check("ctpsim_behave", library().ctpsim_behave(_text("front", front), b"unruly", value))


def choices(front: str) -> list[str]:
    """The unruly things the front did since its seed was last set, in order
    ("fill first", "refused by the exchange 17", "drop after the replies
    8193 0", ...)."""
    lib = library()
    name = _text("front", front)
    while True:
        length: int = lib.ctpsim_choices(name, None, 0)
        if length < 0:
            _check("ctpsim_choices", length)
        buffer = ctypes.create_string_buffer(length + 1)
        if lib.ctpsim_choices(name, buffer, length + 1) == length:
            return buffer.value.decode().splitlines()


# ---- market data (thostmduserapi_se.so) ---------------------------------------
# Market-data API objects live in the same library as the trader's, share its
# call log, faults and simulated fronts, take their serials from the same
# sequence and answer to the same controls, with the callbacks of their own
# spi class ("OnRtnDepthMarketData", ...). The md_ names stand for the same
# functions, for code written when market-data objects had controls of their own.

md_api_of: Final = api_of
md_alive: Final = alive
md_emit: Final = emit
md_flood: Final = flood
md_disconnect: Final = disconnect
md_reconnect: Final = reconnect
md_hold: Final = hold


def walk(front: str, instrument: str, seed: int, rate: float) -> None:
    """Starts a random walk of an instrument's reference price, ``rate`` steps
    a second (1e-9 to 1,000,000), reproducible from ``seed``; a rate of 0
    stops it. Market-data sessions on the front see every step as ticks."""
    _check("ctpsim_walk", library().ctpsim_walk(_text("front", front), _text("instrument", instrument), seed,
                                                float(rate)))
