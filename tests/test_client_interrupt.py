"""Ctrl-C while a blocking client works through a backlog: the interrupt may end the
caller's call, but no event is lost and the client goes on working. Each scenario runs
in a child process with a time limit, so that a client left locked fails the test
instead of hanging the suite."""

import subprocess
import sys
import uuid

import pytest

from clients import LONG, TRADER, VIEWER
from conftest import subprocess_env

SCENARIO = """
import os, signal, sys, threading, time
import ctp
from ctp import sim

kind, interrupts, front, flow = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
COUNT = 20_000
sim.query_interval(0)
if kind == "trading":
    client = ctp.Client(front, **{trader}, flow=flow, timeout=30)
    api, name = sim.api_of(os.fsencode(flow + "/")), "RtnTrade"
    flood = lambda: sim.flood(api, "OnRtnTrade", COUNT)
    ask = lambda: client.query("QryOrder", timeout=30)
else:
    client = ctp.MarketData(front, **{viewer}, flow=flow, timeout=30)
    api, name = sim.md_api_of(os.fsencode(flow + "/")), "RtnDepthMarketData"
    flood = lambda: sim.md_flood(api, "OnRtnDepthMarketData", COUNT)
    ask = lambda: client.subscribe("rb2705", timeout=30)
events = client.events(timeout=1)
witness = client.events(timeout=0, backlog=None)    # read only at the end (all of it), with no interrupt about
flood()                                  # all of it waits in the session's queue

def interrupt():
    time.sleep(0.003)
    for _ in range(interrupts):
        os.kill(os.getpid(), signal.SIGINT)
        time.sleep(0.0002)

threading.Thread(target=interrupt).start()
caught = 0
while True:
    try:
        for event in events:
            pass
        break
    except KeyboardInterrupt:
        caught += 1
time.sleep(0.1)
signal.signal(signal.SIGINT, signal.SIG_IGN)   # stragglers of the storm
seen = sum(event["name"] == name for event in witness)
ask()
client.close()
print(seen, caught > 0)
"""


@pytest.mark.parametrize("interrupts", [1, 2000], ids=["one", "storm"])
@pytest.mark.parametrize("kind", ["trading", "market data"])
def test_ctrl_c_loses_no_event_and_leaves_the_client_working(sim, tmp_path, kind, interrupts):
    code = SCENARIO.format(trader=TRADER, viewer=VIEWER)
    front = f"sim://c{uuid.uuid4().hex[:12]}"
    done = subprocess.run([sys.executable, "-c", code, kind.split()[0], str(interrupts), front, str(tmp_path)],
                          env=subprocess_env(), capture_output=True, text=True, timeout=LONG * 2)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.split() == ["20000", "True"], done.stderr[-2000:]
