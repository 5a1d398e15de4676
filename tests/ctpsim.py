"""Test access to the stand-in trader library: its control interface
(standin/src/ctpsim.h) through ctypes, and the vendor records as ctypes
structures read from the headers the module was built against."""

import ctypes
import re
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
HEADERS = ROOT / "standin" / "include"

OK, NO_API, NO_CALLBACK, BAD_SIZE, TIMED_OUT, NOT_STARTED, DROPPED, BAD_THREAD = 0, -1, -2, -3, -4, -5, -6, -7
# Exceptions that ctpsim_throw_next makes the vendor throw.
THROW_RUNTIME, THROW_BAD_ALLOC, THROW_SYSTEM, THROW_OTHER = 0, 1, 2, 3


# ---- records -----------------------------------------------------------------

def _field_kinds(text):
    """typedef name -> ctypes type, from ThostFtdcUserApiDataType.h."""
    kinds = {"char": ctypes.c_char, "int": ctypes.c_int, "double": ctypes.c_double}
    for base, name, size in re.findall(r"typedef\s+(\w+)\s+(\w+)\s*(?:\[(\d+)\])?\s*;", text):
        ctype = kinds[base]
        kinds[name] = ctype * int(size) if size else ctype
    return kinds


def _records(headers=HEADERS):
    kinds = _field_kinds((headers / "ThostFtdcUserApiDataType.h").read_text())
    structs = (headers / "ThostFtdcUserApiStruct.h").read_text()
    records = {}
    for name, body in re.findall(r"struct\s+(CThostFtdc\w+)\s*\{(.*?)\};", structs, re.S):
        fields = [(member, kinds[kind]) for kind, member in re.findall(r"^\s*(\w+)\s+(\w+)\s*;", body, re.M)]
        records[name] = type(name, (ctypes.Structure,), {"_fields_": fields})
    return records


RECORDS = _records()


def record(name, **values):
    """A zero-filled record of the named type with the given members set.
    Text members take bytes (copied as given, without adding a NUL) or str
    (encoded as GB18030); code members take a one-byte bytes or an int."""
    rec = RECORDS[name]()
    for member, value in values.items():
        put(rec, member, value)
    return rec


def put(rec, member, value):
    field = getattr(type(rec), member)
    kind = dict(type(rec)._fields_)[member]
    if isinstance(value, str):
        value = value.encode("gb18030")
    if isinstance(kind, type) and issubclass(kind, ctypes.Array):
        if len(value) > field.size:
            raise ValueError(f"{member}: {len(value)} bytes do not fit {field.size}")
        ctypes.memmove(ctypes.addressof(rec) + field.offset, bytes(value), len(value))
    elif kind is ctypes.c_char and isinstance(value, int):
        ctypes.memmove(ctypes.addressof(rec) + field.offset, bytes([value]), 1)
    else:
        setattr(rec, member, value)


def raw(rec, member):
    """The bytes of one member of a record."""
    field = getattr(type(rec), member)
    return bytes(rec)[field.offset:field.offset + field.size]


def info(error_id=0, message=b""):
    return record("CThostFtdcRspInfoField", ErrorID=error_id, ErrorMsg=message)


# ---- control interface ------------------------------------------------------

class Call(ctypes.Structure):
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

    @property
    def name(self):
        return self.op.decode()

    def bytes(self):
        return bytes(self.record[: self.size])

    def decode(self):
        """The logged Req* record as a ctypes structure."""
        kind = "CThostFtdc" + {
            "ReqAuthenticate": "ReqAuthenticate",
            "ReqUserLogin": "ReqUserLogin",
            "ReqSettlementInfoConfirm": "SettlementInfoConfirm",
            "ReqQryOrder": "QryOrder",
            "ReqQryTrade": "QryTrade",
            "ReqQryInvestorPosition": "QryInvestorPosition",
            "ReqQryTradingAccount": "QryTradingAccount",
            "ReqQryInstrument": "QryInstrument",
            "ReqOrderInsert": "InputOrder",
            "ReqOrderAction": "InputOrderAction",
        }[self.name] + "Field"
        return RECORDS[kind].from_buffer_copy(self.bytes())

    def __repr__(self):
        return f"Call({self.api}, {self.name!r}, gil={self.gil}, {self.arg1}, {self.arg2}, {self.text!r})"


class ControlError(AssertionError):
    pass


class Sim:
    """The stand-in's control functions, loaded from the library the module uses."""

    def __init__(self, path):
        path = str(path)
        self.lib = ctypes.CDLL(path)           # releases the interpreter lock during calls
        self.held = ctypes.PyDLL(path)         # keeps the interpreter lock during calls
        if not hasattr(self.lib, "ctpsim_last_api"):
            raise LookupError("not the stand-in library")
        for lib in (self.lib, self.held):
            lib.ctpsim_emit.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_size_t,
                                        ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_int]
            lib.ctpsim_flood.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_int]
        self.lib.ctpsim_calls.argtypes = [ctypes.c_void_p, ctypes.c_int]
        self.lib.ctpsim_api_of.argtypes = [ctypes.c_char_p]
        self.lib.ctpsim_set_version.argtypes = [ctypes.c_char_p]
        self.lib.ctpsim_throw_next.argtypes = [ctypes.c_char_p, ctypes.c_int]
        self.lib.ctpsim_timing.argtypes = [ctypes.c_int, ctypes.c_int]
        self.lib.ctpsim_timings.argtypes = [ctypes.POINTER(ctypes.c_longlong), ctypes.POINTER(ctypes.c_longlong),
                                            ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int),
                                            ctypes.POINTER(ctypes.c_int), ctypes.c_int]
        self.lib.ctpsim_flood_record.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p,
                                                 ctypes.c_size_t, ctypes.c_int, ctypes.c_int]
        self.lib.ctpsim_sizeof.argtypes = [ctypes.c_char_p]
        self.lib.ctpsim_sizeof.restype = ctypes.c_size_t

    def last_api(self):
        return self.lib.ctpsim_last_api()

    def api_of(self, flow: bytes) -> int:
        """Serial of the newest API object created with this flow path (0 if none)."""
        return int(self.lib.ctpsim_api_of(flow))

    def alive(self, api):
        return bool(self.lib.ctpsim_alive(api))

    def emit(self, api, callback, rec=None, err=None, id=0, last=True, thread=0, timeout=10.0, hold_gil=False,
             check=True):
        lib = self.held if hold_gil else self.lib
        data = ctypes.byref(rec) if rec is not None else None
        size = ctypes.sizeof(rec) if rec is not None else 0
        info_ptr = ctypes.byref(err) if err is not None else None
        info_size = ctypes.sizeof(err) if err is not None else 0
        result = lib.ctpsim_emit(api, thread, callback.encode(), data, size, info_ptr, info_size, id, int(last),
                                 int(timeout * 1000))
        if check and result != OK:
            raise ControlError(f"ctpsim_emit({callback}) = {result}")
        return result

    def flood(self, api, callback, n, thread=0, timeout=60.0):
        result = self.lib.ctpsim_flood(api, thread, callback.encode(), n, int(timeout * 1000))
        if result != OK:
            raise ControlError(f"ctpsim_flood({callback}, {n}) = {result}")

    def calls(self, api=None, op=None):
        count = self.lib.ctpsim_calls(None, 0)
        buffer = (Call * max(count, 1))()
        count = min(count, self.lib.ctpsim_calls(buffer, count))
        calls = list(buffer[:count])
        if api is not None:
            calls = [c for c in calls if c.api == api]
        if op is not None:
            calls = [c for c in calls if c.name == op]
        return calls

    def log_calls(self, enabled: bool = True) -> None:
        """Turns the call log on or off (off by default and after reset)."""
        self.lib.ctpsim_log_calls(int(enabled))

    def violations(self):
        return self.lib.ctpsim_violations()

    def reset(self):
        self.lib.ctpsim_reset()

    def fail_next_create(self):
        self.lib.ctpsim_fail_next_create()

    def fail_thread(self, nth: int) -> None:
        """The nth library thread started from now on fails to start (0: none)."""
        self.lib.ctpsim_fail_thread(nth)

    def force_result(self, value=None):
        self.lib.ctpsim_force_result(int(value is not None), value or 0)

    def throw_next(self, op, kind=THROW_RUNTIME):
        """The next call of the vendor operation op throws."""
        self.lib.ctpsim_throw_next(op.encode(), kind)

    def timing(self, capacity, count_switches=False):
        """Times the next capacity callbacks of every API object (0: stop)."""
        self.lib.ctpsim_timing(capacity, int(count_switches))

    def timings(self):
        """(start ns on CLOCK_MONOTONIC, duration ns, preempted, blocked, page faults) of
        each timed callback, in order."""
        count = self.lib.ctpsim_timings(None, None, None, None, None, 0)
        size = max(count, 1)
        begin, duration = (ctypes.c_longlong * size)(), (ctypes.c_longlong * size)()
        preempted, blocked, faults = (ctypes.c_int * size)(), (ctypes.c_int * size)(), (ctypes.c_int * size)()
        count = min(count, self.lib.ctpsim_timings(begin, duration, preempted, blocked, faults, count))
        return list(zip(begin[:count], duration[:count], preempted[:count], blocked[:count], faults[:count]))

    def flood_record(self, api, callback, rec, n, thread=0, timeout=60.0):
        """Like flood, with rec as every callback's record ("ctpsim:floor": the floor copy)."""
        result = self.lib.ctpsim_flood_record(api, thread, callback.encode(), ctypes.byref(rec), ctypes.sizeof(rec),
                                              n, int(timeout * 1000))
        if result != OK:
            raise ControlError(f"ctpsim_flood_record({callback}, {n}) = {result}")

    def set_request_delay(self, microseconds):
        self.lib.ctpsim_set_request_delay(microseconds)

    def set_version(self, text):
        self.lib.ctpsim_set_version(text)

    def sizeof(self, name):
        return self.lib.ctpsim_sizeof(name.encode())

    # ---- the simulated front -------------------------------------------------
    # Results beyond the ones above: NO_FRONT (-8) and BAD_VALUE (-9).

    def _front(self):
        lib = self.lib
        if not getattr(lib, "_front_types", False):
            lib.ctpsim_set_price.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_double]
            lib.ctpsim_move_price.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]
            lib.ctpsim_get_price.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.POINTER(ctypes.c_double)]
            lib._front_types = True
        return lib

    def set_price(self, front, instrument, price):
        return self._front().ctpsim_set_price(front.encode(), instrument.encode(), price)

    def move_price(self, front, instrument, ticks):
        return self._front().ctpsim_move_price(front.encode(), instrument.encode(), ticks)

    def price(self, front, instrument):
        out = ctypes.c_double()
        result = self._front().ctpsim_get_price(front.encode(), instrument.encode(), ctypes.byref(out))
        if result != OK:
            raise ControlError(f"ctpsim_get_price({front}, {instrument}) = {result}")
        return out.value

    def disconnect(self, api, reason=0x1001):
        return self.lib.ctpsim_disconnect(api, reason)

    def reconnect(self, api):
        return self.lib.ctpsim_reconnect(api)

    def hold(self, api, held=True):
        return self.lib.ctpsim_hold(api, int(held))

    def query_interval(self, ms):
        self.lib.ctpsim_query_interval(ms)

    def max_pending(self, count):
        self.lib.ctpsim_max_pending(count)
