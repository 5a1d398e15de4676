"""The market-data stubs (_ctpmd.pyi, installed as _ctpmd-stubs) against
_ctpmd itself: signatures, and every event key by key and type by type."""

import ast
import inspect
import random
import sys
from pathlib import Path

import pytest

import _ctpmd
from conftest import INSTALLED, ROOT
from records import info
from test_md import full_md, md  # noqa: F401  (the fixtures)
from test_stubs import conforms, filled, hints


def stub_path():
    if not INSTALLED:
        return ROOT / "python" / "_ctpmd.pyi"
    for entry in sys.path:
        path = Path(entry or ".") / "_ctpmd-stubs" / "__init__.pyi"
        if path.is_file():
            return path
    raise AssertionError("no _ctpmd-stubs package on sys.path")


SOURCE = stub_path().read_text(encoding="utf-8")
STUB = {"__name__": "_ctpmd_stub"}
exec(compile(SOURCE, str(stub_path()), "exec"), STUB)  # a stub is valid Python
EVENTS = {hints(cls)["name"].__args__[0]: cls for cls in STUB["Event"].__args__}


def test_signatures_match_the_module():
    declared = {}
    for node in ast.parse(SOURCE).body:
        if isinstance(node, ast.FunctionDef):
            declared.setdefault(node.name, []).append(node)
    public = {name: f for name, f in vars(_ctpmd).items() if callable(f) and not name.startswith("_")}
    assert set(declared) == set(public)
    for name, function in public.items():
        runtime = [(p.name, p.kind) for p in inspect.signature(function).parameters.values()]
        for node in declared[name]:
            stub = [(a.arg, inspect.Parameter.POSITIONAL_ONLY) for a in node.args.posonlyargs]
            stub += [(a.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD) for a in node.args.args]
            stub += [(a.arg, inspect.Parameter.KEYWORD_ONLY) for a in node.args.kwonlyargs]
            assert stub == runtime, name


RECORDS = {
    "OnRspUserLogin": ("RspUserLogin", "CThostFtdcRspUserLoginField"),
    "OnRspUserLogout": ("RspUserLogout", "CThostFtdcUserLogoutField"),
    "OnRspSubMarketData": ("RspSubMarketData", "CThostFtdcSpecificInstrumentField"),
    "OnRspUnSubMarketData": ("RspUnSubMarketData", "CThostFtdcSpecificInstrumentField"),
    "OnRtnDepthMarketData": ("RtnDepthMarketData", "CThostFtdcDepthMarketDataField"),
}


@pytest.mark.parametrize("complete", [False, True], ids=["today's records", "complete records"])
def test_every_event_matches_the_stubs(sim, request, complete):
    md = request.getfixturevalue("full_md" if complete else "md")
    assert set(EVENTS) == {name for name, _ in RECORDS.values()} | {"FrontConnected", "FrontDisconnected",
                                                                     "HeartBeatWarning", "RspError"}
    rng = random.Random(14)
    for callback, (_, record_type) in RECORDS.items():
        sim.md_emit(md.api, callback, filled(record_type, rng), info(3, b"no"), id=4)
        sim.md_emit(md.api, callback)
    sim.md_emit(md.api, "OnRspError", info(9, b"bad"), id=2)
    sim.md_emit(md.api, "OnFrontDisconnected", id=0x1001)
    sim.md_emit(md.api, "OnHeartBeatWarning", id=9)
    events = md.poll()
    assert len(events) == 2 * len(RECORDS) + 3
    for event in events:
        conforms(event, EVENTS[event["name"]], event["name"], complete)
