"""The package as a whole: its version and license, in the source and in the
installed wheel's metadata, and every public name listed while the market-data
module is still loaded only on first use."""

import importlib.metadata
import pydoc
import re
import subprocess
import sys
import tomllib

import pytest

import ctp
from conftest import INSTALLED, ROOT, subprocess_env

PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]


def test_one_version():
    assert re.fullmatch(r"\d+\.\d+\.\d+", ctp.__version__)
    assert "version" not in PYPROJECT and "version" in PYPROJECT["dynamic"], "ctp.__version__ is the only source"
    if INSTALLED:
        assert importlib.metadata.version("ctp") == ctp.__version__


def test_the_license():
    assert (ROOT / "LICENSE").read_text().split()[:4] == ["Apache", "License", "Version", "2.0,"]
    assert PYPROJECT["license"] == "Apache-2.0" and PYPROJECT["license-files"] == ["LICENSE"]
    if INSTALLED:
        metadata = importlib.metadata.metadata("ctp")
        assert metadata["License-Expression"] == "Apache-2.0" and metadata["License-File"] == "LICENSE"
        (license,) = [f for f in importlib.metadata.files("ctp") if f.name == "LICENSE"]
        assert license.read_text() == (ROOT / "LICENSE").read_text()


def test_every_public_name_is_listed():
    market_data = {"MarketData", "AsyncMarketData", "Ticks", "AsyncTicks"}
    assert market_data <= set(ctp.__all__) <= set(dir(ctp))
    assert all(getattr(ctp, name) is not None for name in ctp.__all__)
    text = pydoc.render_doc(ctp, renderer=pydoc.plaintext)
    classes = {"MarketData", "AsyncMarketData", "Client", "AsyncClient", "Order", "Driver", "Stream"}
    assert all(f"class {name}(" in text for name in classes)
    assert all(f"{name} = class " in text for name in ("Ticks", "AsyncTicks"))     # the streams' earlier names


@pytest.mark.parametrize("built", [True, False])
def test_the_market_data_module_loads_on_first_use(built):
    """Listing the names loads nothing; where _ctpmd was not built, import * still works."""
    code = ("import sys\n"
            + ("" if built else "sys.modules['_ctpmd'] = None\n")
            + "import ctp\n"
            "names = dir(ctp), ctp.__all__\n"
            "assert ('_ctpmd' in sys.modules) == (not BUILT), sys.modules.get('_ctpmd')\n"
            "assert ('MarketData' in ctp.__all__) == BUILT\n"
            "namespace = {}\n"
            "exec('from ctp import *', namespace)\n"
            "assert ('MarketData' in namespace) == BUILT and 'Client' in namespace\n").replace("BUILT", str(built))
    done = subprocess.run([sys.executable, "-c", code], env=subprocess_env(), capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
