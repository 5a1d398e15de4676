"""What the clients take from their caller: arguments checked before anything starts,
timeouts, credentials the module refuses, the flow directory, and a program that
configured no logging."""

import inspect
import os
import subprocess
import sys
import uuid

import pytest

import ctp
from clients import LONG, TRADER, VIEWER, face, held, trading  # noqa: F401
from conftest import subprocess_env


def test_nothing_is_printed_when_the_program_configured_no_logging(sim, tmp_path):
    front = f"sim://c{uuid.uuid4().hex[:12]}"
    code = f"""
import ctp
for make in (lambda: ctp.Client({front!r}, **{dict(TRADER, password="wrong")!r}, flow={str(tmp_path / "t")!r}),
             lambda: ctp.MarketData({front!r}, **{VIEWER!r}, flow={str(tmp_path / "m")!r}).subscribe("nope")):
    try:
        make()
    except ctp.CtpError as refused:
        print(refused.request)
"""
    done = subprocess.run([sys.executable, "-c", code], env=subprocess_env(), capture_output=True, text=True,
                          timeout=LONG * 2)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["UserLogin", "SubMarketData"] and done.stderr == ""


# ---- timeouts -------------------------------------------------------------------------------------

BAD_TIMEOUTS = {"nan": (float("nan"), ValueError), "negative": (-1, ValueError), "inf": (float("inf"), ValueError),
                "str": ("1", TypeError), "bool": (True, TypeError)}


def ask(face, client, timeout=None):
    """A call that waits for the front: a query, or a subscription."""
    if face.kind.name == "trading":
        return client.query("QryOrder", timeout=timeout)
    return client.subscribe("rb2705", timeout=timeout)


def waits(face, client, timeout):
    """A call that waits for what the front says, not for a reply: an order's end, or the next tick."""
    if face.kind.name == "trading":
        order = face.runner.do(client.insert_order("rb2705", ctp.Direction.BUY, 1, 3090))
        return order.wait(timeout)
    ticks = client.ticks(timeout=timeout)
    return anext(ticks) if hasattr(ticks, "__anext__") else next(ticks)


@pytest.mark.parametrize("timeout, error", BAD_TIMEOUTS.values(), ids=BAD_TIMEOUTS.keys())
def test_a_bad_timeout_is_refused_where_it_is_given(face, timeout, error):
    with pytest.raises(error, match="timeout"):
        face.make(**face.options(timeout=timeout))
    client = face.open()
    sent = len(face.kind.sim.calls(api=client.api))
    for call in (lambda: ask(face, client, timeout), lambda: client.events(timeout=timeout),
                 lambda: waits(face, client, timeout)):
        with pytest.raises(error, match="timeout"):
            face.runner.do(call())
    assert [c.name for c in face.kind.sim.calls(api=client.api)][sent:] in ([], ["ReqOrderInsert"])
    face.runner.do(ask(face, client))
    assert client.ready


def test_a_timeout_of_zero_does_not_wait_and_a_huge_one_does_not_end(face):
    client = face.open()
    with held(face, client):
        with pytest.raises(TimeoutError, match="in time"):
            face.runner.do(ask(face, client, 0))
        assert face.runner.collect(client.events(timeout=0)) == []
        pending = face.runner.start(lambda: ask(face, client, 1e300))
    pending.result(LONG)


def test_one_call_s_bad_timeout_does_not_reach_another_s(face):
    client = face.open()
    with held(face, client):
        pending = face.runner.start(lambda: ask(face, client, LONG))
        with pytest.raises(ValueError, match="timeout"):
            face.runner.do(ask(face, client, float("nan")))
    pending.result(LONG)


# ---- credentials the module refuses -----------------------------------------------------------------

REFUSED = {"password-41-bytes": ("password", "p" * 41), "password-nul": ("password", "12\x003456"),
           "password-lone-surrogate": ("password", "12\udc803456"), "broker-11-bytes": ("broker", "9" * 11),
           "user-20-bytes": ("user", "0" * 20), "auth_code-17-bytes": ("auth_code", "0" * 17),
           "app_id-33-bytes": ("app_id", "a" * 33)}


@pytest.mark.parametrize("argument, value", REFUSED.values(), ids=REFUSED.keys())
def test_credentials_the_module_refuses_reach_the_caller_at_once(face, argument, value):
    if argument not in face.options():
        pytest.skip(f"{face.name} takes no {argument}")
    with pytest.raises(ValueError, match=argument) as refused:
        face.make(**face.options(**{argument: value}, timeout=5))
    assert isinstance(refused.value.__cause__, ValueError), "the module's own error, with its text"


# ---- the flow directory -------------------------------------------------------------------------------

def test_the_default_flow_directory_is_the_user_s_own(face, tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    client = face.make(**face.options(flow=None))
    face.opened.append(client)
    made = sorted(p for p in (tmp_path / "cache").rglob("*") if p.is_dir())
    assert made and all(p.stat().st_mode & 0o777 == 0o700 for p in made), "made for the user alone"
    assert (tmp_path / "cache" / "ctp") in made
    monkeypatch.delenv("XDG_CACHE_HOME")
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    face.runner.inside(client.close)
    client = face.make(**face.options(flow=None))
    face.opened.append(client)
    assert (tmp_path / "home" / ".cache" / "ctp").is_dir()


@pytest.mark.parametrize("planted", ["writable by others", "writable by the group", "another user's"])
@pytest.mark.parametrize("where", ["given", "default"])
def test_a_flow_directory_others_could_plant_files_in_is_refused(face, tmp_path, monkeypatch, planted, where):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    flow = tmp_path / "flow"
    if where == "default":      # made first by someone else, as a predictable path could be
        face.runner.inside(face.make(**face.options(flow=None)).close)
        flow = max((p for p in (tmp_path / "cache").rglob("*") if p.is_dir()), key=lambda p: len(p.parts))
    flow.mkdir(mode=0o700, exist_ok=True)
    if planted == "another user's":
        if os.geteuid() != 0:
            pytest.skip("needs root to give a directory away")
        os.chown(flow, 12345, 12345)
    else:
        flow.chmod(0o707 if planted == "writable by others" else 0o770)
    sim = face.kind.sim
    before = sim.last_api()
    with pytest.raises(PermissionError, match="flow"):
        face.make(**face.options(flow=None if where == "default" else flow))
    assert sim.last_api() == before, "no session was opened"


# ---- arguments ----------------------------------------------------------------------------------------

BAD_ARGUMENTS = {
    "front-bytes": ("front", b"sim://x", TypeError), "front-malformed": ("front", "sim:/demo", ValueError),
    "front-without-port": ("front", "tcp://127.0.0.1", ValueError), "broker-int": ("broker", 9999, TypeError),
    "user-int": ("user", 1, TypeError), "password-int": ("password", 123456, TypeError),
    "app_id-None": ("app_id", None, TypeError), "auth_code-bytes": ("auth_code", b"0" * 16, TypeError),
    "flow-int": ("flow", 5, TypeError), "query_interval-nan": ("query_interval", float("nan"), ValueError),
    "query_interval-str": ("query_interval", "1", TypeError), "logger-str": ("logger", "ctp", TypeError),
    "front-none-of-them": ("front", [], ValueError), "front-int-among-them": ("front", ["sim://x", 5], TypeError),
    "front-malformed-among-them": ("front", ("sim://x", "sim://x/"), ValueError),
    "front-set": ("front", {"sim://x"}, TypeError), "resume-unknown": ("resume", "fast", ValueError)}


@pytest.mark.parametrize("argument, value, error", BAD_ARGUMENTS.values(), ids=BAD_ARGUMENTS.keys())
def test_a_bad_argument_is_refused_by_name_before_anything_starts(face, argument, value, error):
    if argument not in inspect.signature(face.cls).parameters:
        pytest.skip(f"{face.name} takes no {argument}")
    options = face.options(timeout=5)
    with pytest.raises(error, match=argument) as refused:
        face.make(**options | {argument: value})
    assert str(refused.value).isascii(), "in English"
    assert argument == "flow" or not options["flow"].exists(), "nothing started"


def test_an_unreachable_front_ends_in_an_error_naming_it(face):
    with pytest.raises(TimeoutError, match="tcp://127.0.0.1:9"):
        face.make(**face.options(front="tcp://127.0.0.1:9", timeout=0.3))


# ---- orders -------------------------------------------------------------------------------------------

BAD_ORDERS = {
    "price-str": ("price", "3100", TypeError), "price-bool": ("price", True, TypeError),
    "direction-buy": ("direction", "buy", ValueError), "offset-open": ("offset", "open", ValueError),
    "volume-float": ("volume", 1.5, TypeError), "volume-bool": ("volume", True, TypeError),
    "instrument-int": ("instrument", 2705, TypeError), "time_condition-None": ("time_condition", None, ValueError),
    "auto_suspend-int": ("auto_suspend", 1, TypeError), "instrument-too-long": ("instrument", "x" * 100, ValueError)}


@pytest.mark.parametrize("argument, value, error", BAD_ORDERS.values(), ids=BAD_ORDERS.keys())
def test_a_bad_order_argument_is_refused_by_name(trading, argument, value, error):
    client = trading.open()
    order = dict(instrument="rb2705", direction=ctp.Direction.BUY, volume=1, price=3090.0) | {argument: value}
    with pytest.raises(error, match=argument) as refused:
        trading.runner.do(client.insert_order(**order))
    if argument == "instrument" and error is ValueError:
        assert "InstrumentID" in str(refused.value), "the module's own text, kept"
    else:
        assert str(refused.value).isascii(), "in English"
    assert trading.kind.sim.calls(api=client.api, op="ReqOrderInsert") == []
    assert trading.runner.do(client.insert_order("rb2705", "0", 1, 3090)).direction == ctp.Direction.BUY
