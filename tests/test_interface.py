"""The interface's description (interface/ctp.toml) and what follows from it:
every derived file is what the generator makes of the description now, and
the description is refused when it contradicts itself."""

import importlib.machinery
import sys
import types
import typing
from pathlib import Path

import pytest

from conftest import ROOT

GENERATOR = ROOT / "interface" / "generate.py"


def generator():
    """interface/generate.py, which is not in the package, as a module."""
    loader = importlib.machinery.SourceFileLoader("interface_generate", str(GENERATOR))
    module = types.ModuleType(loader.name)
    module.__file__ = str(GENERATOR)
    sys.modules[loader.name] = module          # dataclasses look their module up
    loader.exec_module(module)
    return module


generate = generator()


def test_every_derived_file_is_up_to_date():
    """Regenerates every derived file in memory and compares: a file edited by
    hand, or a description edited without running interface/generate.py,
    fails here (the message says which)."""
    files = generate.render(generate.load())
    assert len(files) >= 17
    stale = [path for path, text in files.items() if (ROOT / path).read_text(encoding="utf-8") != text]
    assert stale == [], f"out of date (run python3 interface/generate.py): {stale}"


def test_a_stale_file_is_named(tmp_path):
    description = generate.load()
    files = generate.render(description, ("python/ctp/_interface.py", "README.md"))
    assert set(files) == {"python/ctp/_interface.py", "README.md"}
    edited = files["README.md"].replace('| "QryOrder" |', '| "QryOrders" |')
    changed = generate.render(description, ("README.md",), read=lambda path: edited)
    assert changed["README.md"] == files["README.md"]          # the region is written whatever it held
    with pytest.raises(generate.DescriptionError, match="region 'requests'"):
        generate.render(description, ("README.md",), read=lambda path: "no markers\n")


@pytest.mark.parametrize("change, message", [
    (('keys = ["BrokerID", "UserID", "AppID"]', 'keys = ["BrokerID", "UserID", "AppName"]'), "AppName is not a member"),
    (('complete = ["UserProductInfo", "AppType"]', 'complete = ["UserProductInfo", "AppID"]'), "AppID twice"),
    (('bytes = ["Content"]', 'bytes = ["SequenceNo"]'), "bytes member SequenceNo"),
    (('TThostFtdcDateType = "char[9]"', 'TThostFtdcDateType = "long"'), "TThostFtdcDateType"),
    (('name = "QryOrder"\n', 'name = "QryOrders"\n'), "no reply event RspQryOrders"),
    (('envelope = "push"', 'envelope = "broadcast"'), "envelope 'broadcast'"),
    (('["SELL", "1", "Sell."]', '["SELL", "0", "Sell."]'), "code Direction values"),
])
def test_a_contradiction_is_refused(tmp_path, change, message):
    text = (ROOT / "interface" / "ctp.toml").read_text(encoding="utf-8")
    assert change[0] in text
    broken = tmp_path / "ctp.toml"
    broken.write_text(text.replace(change[0], change[1], 1), encoding="utf-8")
    with pytest.raises(generate.DescriptionError, match=message):
        generate.load(broken)


def test_the_package_table_follows_the_stubs():
    """ctp._interface, what the package reads, says what the stubs say: each
    record's keys (complete records' too) and kinds, each request's keys."""
    from ctp import _interface
    from test_stubs import STUB, hints, request_overloads

    python = {"text": str, "code": str, "int": int, "real": float, "bytes": bytes}
    for name, members in _interface.COMPLETE_RECORDS.items():
        declared = hints(STUB[name]) if name in STUB else None
        if declared is None:            # a record of market data alone
            continue
        assert list(declared) == [member for member, _ in members], name
        assert {m: python[kind] for m, kind in members} == declared, name
        assert [m for m, _ in _interface.RECORDS[name]] == [m for m in declared if m in STUB[name].__required_keys__]
    assert {name: set(keys) for name, keys in _interface.REQUEST_KEYS.items()} == {
        name: set(hints(fields)) for name, fields in request_overloads().items()}
    assert set(_interface.EVENTS) == {typing.get_args(hints(cls)["name"])[0] for cls in typing.get_args(STUB["Event"])}


def test_generate_check_exits_by_staleness(tmp_path, capsys):
    assert generate.main(["--check"]) == 0
    assert capsys.readouterr().out == ""
    assert Path(generate.ROOT) == ROOT
