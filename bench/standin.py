"""What every benchmark starts from: the stand-in's controls, loaded from the
library next to the module, and a session whose events come only from them."""

import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import _ctp  # noqa: E402
from ctpsim import Sim  # noqa: E402


def session():
    """(sim, handle, api serial) of a session on no front at all."""
    sim = Sim(Path(_ctp.__file__).with_name("thosttraderapi_se.so"))
    flow = tempfile.mkdtemp().encode() + b"/"
    handle = _ctp.create("tcp://192.0.2.1:1", flow)
    return sim, handle, sim.api_of(flow)
