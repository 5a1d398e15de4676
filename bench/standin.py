"""What every benchmark starts from: the stand-in's controls, loaded from the
library next to the module, and a session whose events come only from them."""

import sys
import tempfile
from pathlib import Path
from types import ModuleType

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import _ctp  # noqa: E402
from ctp import sim  # noqa: E402


def session(**keywords: bool) -> tuple[ModuleType, object, int]:
    """(ctp.sim, handle, api serial) of a session on no front at all; the
    keywords go to create (full_records=True: complete records)."""
    flow = tempfile.mkdtemp().encode() + b"/"
    handle = _ctp.create("tcp://192.0.2.1:1", flow, **keywords)
    return sim, handle, sim.api_of(flow)


def md_session() -> tuple[object, int]:
    """(handle, api serial) of a market-data session on no front at all."""
    import _ctpmd

    flow = tempfile.mkdtemp().encode() + b"/"
    handle = _ctpmd.create("tcp://192.0.2.1:1", flow)
    return handle, sim.md_api_of(flow)
