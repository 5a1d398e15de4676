import gc
import os
import sys
import sysconfig
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DEBUG = hasattr(sys, "gettotalrefcount")
# CTP_TEST_INSTALLED=1 tests the installed package (_ctp and ctp from
# site-packages, as pip put them); otherwise tools/test names the build tree
# to test, by default the one for this interpreter, with the package's source.
INSTALLED = os.environ.get("CTP_TEST_INSTALLED") == "1"
if INSTALLED:
    BUILD = None
    PATHS = []
else:
    BUILD = ROOT / os.environ.get("CTP_TEST_BUILD", "build/debug" if DEBUG else "build/release")
    PATHS = [str(BUILD), str(ROOT / "python")]
sys.path[:0] = PATHS
sys.path.insert(0, str(Path(__file__).resolve().parent))

import _ctp  # noqa: E402
from ctp import sim as ctpsim  # noqa: E402

if INSTALLED and {Path(_ctp.__file__).parent, Path(ctpsim.__file__).parent.parent} != {
        Path(sysconfig.get_path("platlib"))}:
    raise ImportError(f"CTP_TEST_INSTALLED=1 but _ctp or ctp is not the installed one: {_ctp.__file__}, "
                      f"{ctpsim.__file__}")

try:
    ctpsim.library()
    SIM = ctpsim
except ctpsim.NoControlsError:
    SIM = None


def subprocess_env():
    """The environment for a Python child that imports the same _ctp and ctp."""
    paths = PATHS + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(paths))


@pytest.fixture
def sim():
    """The stand-in's controls (ctp.sim), with a clean log turned on and no faults set."""
    if SIM is None:
        pytest.skip("needs the stand-in trader library")
    SIM.reset()
    SIM.log_calls(True)
    yield SIM
    SIM.reset()


@pytest.fixture
def flow(tmp_path):
    return bytes(tmp_path) + b"/"


def poll_until(handle, count, timeout=10.0):
    """Polls until at least count events have arrived; returns them all."""
    events = []
    deadline = time.monotonic() + timeout
    while len(events) < count:
        events += _ctp.poll(handle)
        if len(events) >= count:
            break
        if time.monotonic() > deadline:
            raise AssertionError(f"only {len(events)} of {count} events: {events[:5]}")
        time.sleep(0.002)
    return events


class Session:
    """An open session on a simulated front, its connect event already polled."""

    def __init__(self, sim, flow, front="sim://test", **keywords):
        self.handle = _ctp.create(front, flow, **keywords)
        self.api = sim.api_of(flow)
        assert poll_until(self.handle, 1) == [{"name": "FrontConnected"}]

    def poll(self):
        return _ctp.poll(self.handle)

    def close(self):
        _ctp.close(self.handle)


@pytest.fixture
def session(sim, flow):
    s = Session(sim, flow)
    yield s
    s.close()


@pytest.fixture
def full_session(sim, flow):
    """A session whose records are complete (create(..., full_records=True))."""
    s = Session(sim, flow, full_records=True)
    yield s
    s.close()


def leaked(fn, runs=200):
    """References leaked per run of fn, measured on the debug interpreter
    (0.0 elsewhere). fn runs a few times first to warm caches."""
    if not DEBUG:
        return 0.0
    for _ in range(20):
        fn()
    gc.collect()
    before = sys.gettotalrefcount()
    for _ in range(runs):
        fn()
    gc.collect()
    return (sys.gettotalrefcount() - before) / runs
