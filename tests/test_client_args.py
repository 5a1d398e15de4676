"""What the clients take from their caller: arguments checked before anything starts,
timeouts, credentials the module refuses, the flow directory, and a program that
configured no logging."""

import subprocess
import sys
import uuid

import pytest

import ctp
from clients import LONG, TRADER, VIEWER, face  # noqa: F401
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
