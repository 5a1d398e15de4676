"""The stubs (_ctp.pyi, installed as _ctp-stubs) against the module itself:
signatures, what poll returns for every event and the keys request reads,
so that type checkers see exactly what runs."""

import ast
import ctypes
import inspect
import random
import re
import sys
import types
import typing
from pathlib import Path

import pytest

import _ctp
from conftest import INSTALLED, ROOT
from records import RECORDS, REQUEST_RECORDS, decode, info, raw
from test_records import CALLBACKS


def stub_path():
    """The stubs type checkers see for the _ctp under test."""
    if not INSTALLED:
        return ROOT / "python" / "_ctp.pyi"
    for entry in sys.path:
        path = Path(entry or ".") / "_ctp-stubs" / "__init__.pyi"
        if path.is_file():
            return path
    raise AssertionError("no _ctp-stubs package on sys.path")


SOURCE = stub_path().read_text(encoding="utf-8")
TREE = ast.parse(SOURCE)
STUB = {"__name__": "_ctp_stub"}
exec(compile(SOURCE, str(stub_path()), "exec"), STUB)  # a stub is valid Python


def stub_functions():
    """name -> the FunctionDef nodes of that name (several for overloads)."""
    functions = {}
    for node in TREE.body:
        if isinstance(node, ast.FunctionDef):
            functions.setdefault(node.name, []).append(node)
    return functions


def public_functions():
    return {name: f for name, f in vars(_ctp).items() if callable(f) and not name.startswith("_")}


def hints(typed_dict):
    return typing.get_type_hints(typed_dict)


# ---- signatures ----------------------------------------------------------------------------------

class TestSignatures:
    def test_every_function_has_a_signature_and_no_docstring(self):
        assert _ctp.__doc__ is None
        assert {"version", "create", "request", "poll", "close", "wait", "fileno"} <= set(public_functions())
        for name, function in public_functions().items():
            assert function.__doc__ is None, name
            assert inspect.signature(function) is not None
            assert inspect.signature(function).parameters.keys() or name == "version"

    def test_stub_signatures_match_the_module(self):
        stubs = stub_functions()
        assert set(stubs) == set(public_functions())
        for name, function in public_functions().items():
            runtime = [(p.name, p.kind, "no default" if p.default is p.empty else p.default)
                       for p in inspect.signature(function).parameters.values()]
            for node in stubs[name]:
                args = [(a, inspect.Parameter.POSITIONAL_ONLY) for a in node.args.posonlyargs]
                args += [(a, inspect.Parameter.POSITIONAL_OR_KEYWORD) for a in node.args.args]
                # Defaults belong to the last arguments.
                defaults = ["no default"] * (len(args) - len(node.args.defaults)) + [ast.literal_eval(d) for d in
                                                                                     node.args.defaults]
                declared = [(a.arg, kind, default) for (a, kind), default in zip(args, defaults)]
                declared += [(a.arg, inspect.Parameter.KEYWORD_ONLY,
                              "no default" if d is None else ast.literal_eval(d))
                             for a, d in zip(node.args.kwonlyargs, node.args.kw_defaults)]
                assert declared == runtime, name
                assert node.args.vararg is None and node.args.kwarg is None
            # One of a function's overloads carries its documentation.
            assert any(ast.get_docstring(node) for node in stubs[name]), name

    def test_help_shows_the_signatures(self):
        text = __import__("pydoc").render_doc(_ctp, renderer=__import__("pydoc").plaintext)
        assert "request(handle, name, fields, request_id, /)" in text
        assert "poll(handle, /)" in text


# ---- events --------------------------------------------------------------------------------------

EVENTS = {typing.get_args(hints(cls)["name"])[0]: cls for cls in typing.get_args(STUB["Event"])}


def conforms(value, hint, where, complete=False):
    """Asserts that value is exactly what hint declares (no bool for int,
    no int for float, TypedDict keys exactly: the required ones of today's
    records, every one of complete records)."""
    origin = typing.get_origin(hint)
    if origin is typing.Literal:
        assert value in typing.get_args(hint), where
    elif origin in (typing.Union, types.UnionType):
        options = typing.get_args(hint)
        if value is None:
            assert type(None) in options, where
        else:
            (other,) = [o for o in options if o is not type(None)]
            conforms(value, other, where, complete)
    elif typing.is_typeddict(hint):
        assert type(value) is dict, where
        declared = hints(hint)
        expected = set(declared) if complete else hint.__required_keys__
        assert set(value) == expected, (where, set(value) ^ expected)
        assert list(value) == [key for key in declared if key in expected], where
        for key, item in value.items():
            conforms(item, declared[key], f"{where}[{key!r}]", complete)
    else:
        assert type(value) is hint, (where, type(value), hint)


def filled(record_type, rng):
    """A record with every member non-zero."""
    rec = RECORDS[record_type]()
    for member, ctype in rec._fields_:
        if ctype is ctypes.c_short:
            setattr(rec, member, rng.randrange(1, 2**15))
        elif ctype is ctypes.c_int:
            setattr(rec, member, rng.randrange(1, 2**31))
        elif ctype is ctypes.c_double:
            setattr(rec, member, rng.uniform(1, 1e6))
        else:
            size = ctypes.sizeof(ctype)
            ctypes.memmove(ctypes.addressof(rec) + getattr(type(rec), member).offset,
                           bytes(rng.randrange(0x41, 0x5B) for _ in range(size - (size > 1))), size - (size > 1))
    return rec


def test_every_event_name_is_in_the_stubs():
    produced = {"FrontConnected", "FrontDisconnected", "HeartBeatWarning", "RspError"} | {
        name for name, _, _ in CALLBACKS.values()}
    assert set(EVENTS) == produced


@pytest.mark.parametrize("complete", [False, True], ids=["today's records", "complete records"])
@pytest.mark.parametrize("callback", sorted(CALLBACKS))
def test_events_match_the_stubs(sim, request, callback, complete):
    session = request.getfixturevalue("full_session" if complete else "session")
    name, record_type, _ = CALLBACKS[callback]
    sim.emit(session.api, callback, filled(record_type, random.Random(callback)), info(3, b"no"), id=4)
    sim.emit(session.api, callback, None, None)
    with_data, without = session.poll()
    conforms(with_data, EVENTS[name], name, complete)
    conforms(without, EVENTS[name], name, complete)
    assert with_data["data"] is not None and without["data"] is None


def test_connection_and_error_events_match_the_stubs(sim, session):
    sim.emit(session.api, "OnFrontDisconnected", id=0x1001)
    sim.emit(session.api, "OnFrontConnected")
    sim.emit(session.api, "OnHeartBeatWarning", id=5)
    sim.emit(session.api, "OnRspError", info(9, b"bad"), id=2)
    sim.emit(session.api, "OnRspError", None, id=3)
    events = session.poll()
    assert [e["name"] for e in events] == ["FrontDisconnected", "FrontConnected", "HeartBeatWarning", "RspError",
                                           "RspError"]
    for event in events:
        conforms(event, EVENTS[event["name"]], event["name"])


# ---- requests ------------------------------------------------------------------------------------

def request_overloads():
    """request name -> the TypedDict of its fields, from the overloads."""
    fields = {}
    for node in stub_functions()["request"]:
        name, annotation = node.args.posonlyargs[1].annotation, node.args.posonlyargs[2].annotation
        if isinstance(name, ast.Subscript):          # Literal["X"]
            fields[name.slice.value] = STUB[annotation.id]
    return fields


def test_request_names_match_the_module():
    names = set(typing.get_args(STUB["RequestName"]))
    assert set(request_overloads()) == names == {op.removeprefix("Req") for op in REQUEST_RECORDS}
    assert set(typing.get_args(STUB["RequestFields"])) == set(request_overloads().values())


@pytest.mark.parametrize("name", sorted(request_overloads()))
def test_request_reads_exactly_the_stub_keys(sim, session, name):
    """Sends every member of the request's record, each set to a distinct
    value: the members the stand-in received set are the keys request reads,
    and each must be a stub key of the type that member takes."""
    record_type = RECORDS[REQUEST_RECORDS["Req" + name]]
    values = {}
    for n, (member, ctype) in enumerate(record_type._fields_):
        if ctype is ctypes.c_int:
            values[member] = 1000 + n
        elif ctype is ctypes.c_double:
            values[member] = n + 0.5
        elif ctype is ctypes.c_char:
            values[member] = chr(0x41 + n % 26)
        else:
            values[member] = f"{n:x}{member}"[: ctypes.sizeof(ctype) - 1]
    sim.force_result(0)
    assert _ctp.request(session.handle, name, values, 1) == 0
    (call,) = sim.calls(session.api, "Req" + name)
    received = decode(call)
    read = {}
    for member, ctype in record_type._fields_:
        if any(raw(received, member)):
            got, sent = getattr(received, member), values[member]
            assert got == (sent.encode() if isinstance(sent, str) else sent), member
            read[member] = float if ctype is ctypes.c_double else int if ctype is ctypes.c_int else str
    declared = hints(request_overloads()[name])
    assert read == declared
    assert request_overloads()[name].__total__ is False


def test_the_readme_lists_the_stub_keys():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    section = readme[readme.index("BEGIN interface/ctp.toml: requests"):readme.index("END interface/ctp.toml: requests")]
    table = dict(re.findall(r'^\| "(\w+)" \| ([\w, ]+) \|$', section, re.M))
    assert {name: set(keys.split(", ")) for name, keys in table.items()} == {
        name: set(hints(fields)) for name, fields in request_overloads().items()}
