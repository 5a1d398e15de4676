"""ctp.sim against the control interface it wraps: the C signatures in
standin/src/ctpsim.h, the library it loads, and how it reports failures."""

import ctypes
import inspect
import re
import typing
from collections.abc import Buffer
from pathlib import Path

import pytest

import _ctp
from conftest import ROOT, Session
from ctp import sim as ctpsim

HEADER = (ROOT / "standin" / "src" / "ctpsim.h").read_text()

C_TYPES = {
    "void": None,
    "int": ctypes.c_int,
    "size_t": ctypes.c_size_t,
    "double": ctypes.c_double,
    "const char *": ctypes.c_char_p,
    "char *": ctypes.c_char_p,
    "const void *": ctypes.c_void_p,
    "double *": ctypes.POINTER(ctypes.c_double),
    "int *": ctypes.POINTER(ctypes.c_int),
    "long long": ctypes.c_longlong,
    "long long *": ctypes.POINTER(ctypes.c_longlong),
    "unsigned long long": ctypes.c_ulonglong,
    "struct ctpsim_call *": ctypes.POINTER(ctpsim.Call),
}


def c_type(parameter):
    """The ctypes type of a C parameter ("const char *front", "int api")."""
    parameter = " ".join(parameter.split())
    if "*" in parameter:
        return C_TYPES[parameter[: parameter.rindex("*")].strip() + " *"]
    return C_TYPES[parameter.rsplit(" ", 1)[0]]


def declared():
    """Every exported control: name -> (restype, argtypes), from the header."""
    functions = {}
    for result, name, params in re.findall(r"CTPSIM_EXPORT\s+([\w\s*]+?)\s*\b(ctpsim_\w+)\s*\(([^)]*)\)\s*;", HEADER):
        args = [] if params.strip() == "void" else [c_type(p) for p in params.split(",")]
        functions[name] = (C_TYPES[" ".join(result.split())], tuple(args))
    return functions


def test_every_control_has_its_exact_c_signature():
    controls = declared()
    assert len(controls) >= 20
    assert ctpsim.SIGNATURES == controls


def test_the_call_record_matches_the_header():
    body = re.search(r"struct ctpsim_call \{(.*?)\};", HEADER, re.S).group(1)
    members = re.findall(r"^\s*([\w ]+?)\s+(\w+)(?:\[(\d+)\])?;", body, re.M)
    kinds = {"int": ctypes.c_int, "char": ctypes.c_char, "size_t": ctypes.c_size_t, "unsigned char": ctypes.c_ubyte}
    expected = [(name, kinds[kind] * int(size) if size else kinds[kind]) for kind, name, size in members]
    fields = ctpsim.Call._fields_
    assert [name for name, _ in fields] == [name for name, _ in expected]
    for (_, got), (name, want) in zip(fields, expected):
        assert ctypes.sizeof(got) == ctypes.sizeof(want) and getattr(got, "_type_", got) == getattr(want, "_type_", want), name


def test_the_controls_act_on_the_library_the_module_uses(sim, flow):
    handle = _ctp.create("sim://one-copy", flow)
    api = sim.last_api()
    assert sim.alive(api) and sim.calls(api, "RegisterFront")[0].text == b"sim://one-copy"
    _ctp.close(handle)
    assert not sim.alive(api)
    mapped = {line.split()[-1] for line in Path("/proc/self/maps").read_text().splitlines()
              if line.endswith("/" + ctpsim.LIBRARY)}
    assert len(mapped) == 1, mapped


def test_failures_raise_with_the_result(sim):
    with pytest.raises(ctpsim.ControlError, match=r"ctpsim_set_price: -8 \(NO_FRONT\)") as caught:
        sim.set_price("sim://never-reached", "rb2705", 3000.0)
    assert caught.value.result is ctpsim.Result.NO_FRONT and caught.value.function == "ctpsim_set_price"
    with pytest.raises(ctpsim.ControlError) as caught:
        sim.emit(sim.last_api() + 1000, "OnFrontConnected")
    assert caught.value.result is ctpsim.Result.NO_API
    with pytest.raises(ctpsim.ControlError, match=r"unknown result"):
        ctpsim._check("ctpsim_x", -99)


def test_a_library_without_controls_is_refused():
    libm = ctypes.CDLL("libm.so.6")
    with pytest.raises(ctpsim.NoControlsError, match="vendor's library, not the stand-in"):
        ctpsim._bind(libm)


def text_parameters():
    """(function, parameter) for every parameter of a ctp.sim function that takes text."""
    for name in ctpsim.__all__:
        function = getattr(ctpsim, name)
        if not inspect.isfunction(function):
            continue
        for parameter in inspect.signature(function).parameters.values():
            kinds = set(typing.get_args(parameter.annotation)) or {parameter.annotation}
            if kinds & {str, bytes}:
                yield name, parameter.name


SAMPLES = {int: 1, float: 1.0, bool: True, str: "x", bytes: b"x", Buffer: b"", ctpsim.Throw: ctpsim.Throw.RUNTIME}


@pytest.mark.parametrize("name, target", sorted(set(text_parameters())))
def test_text_with_a_nul_is_refused_before_anything_is_done(monkeypatch, name, target):
    function = getattr(ctpsim, name)
    reached = []

    class Library:
        def __getattr__(self, control):
            return lambda *args: reached.append(control) or 0

    monkeypatch.setattr(ctpsim, "library", Library)
    monkeypatch.setattr(ctpsim, "_held", Library)
    arguments = {}
    for parameter in inspect.signature(function).parameters.values():
        kinds = set(typing.get_args(parameter.annotation)) or {parameter.annotation}
        if parameter.name == target:
            arguments[target] = "rb2705\0x" if str in kinds else b"rb2705\0x"
        elif parameter.default is inspect.Parameter.empty:
            arguments[parameter.name] = next(SAMPLES[kind] for kind in kinds if kind in SAMPLES)
    with pytest.raises(ValueError, match=f"^{target} contains a NUL character"):
        function(**arguments)
    assert reached == []


def test_an_id_with_a_nul_does_not_name_its_prefix(sim, flow):
    assert len(set(text_parameters())) >= 15
    session = Session(sim, flow, front="sim://nul")
    before = sim.price("nul", "rb2705")
    with pytest.raises(ValueError, match="^instrument contains a NUL character"):
        sim.price("nul", "rb2705\0x")                       # not rb2705's price
    with pytest.raises(ValueError, match="^front contains a NUL character"):
        sim.move_price("nul\0other", "rb2705", 1)           # not a move on sim://nul
    assert sim.price("nul", "rb2705") == before
    session.close()
