"""The installed package, as pip put it from the wheel (tools/test runs the
suite with CTP_TEST_INSTALLED=1 in a fresh venv): the layout, the run path
that finds the trader library inside the package, the record pip uninstalls
from, and CMake's install rules for a vendor SDK."""

import importlib.metadata
import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import _ctp
import _ctpmd
import ctp
from conftest import INSTALLED, ROOT
from ctp.sim import LIBRARY

MD_LIBRARY = "thostmduserapi_se.so"

pytestmark = pytest.mark.skipif(not INSTALLED, reason="tests the package installed from the wheel")

READELF = shutil.which("readelf")


def dynamic(path):
    """(NEEDED entries, RUNPATH) of a shared object."""
    out = subprocess.run([READELF, "-d", str(path)], capture_output=True, text=True, check=True).stdout
    needed = [line.split("[")[1].rstrip("]") for line in out.splitlines() if "(NEEDED)" in line]
    runpath = [line.split("[")[1].rstrip("]") for line in out.splitlines() if "(RUNPATH)" in line]
    return needed, runpath


def test_layout():
    site = Path(_ctp.__file__).parent
    assert Path(ctp.__file__).parent == site / "ctp"
    assert (site / "ctp" / LIBRARY).is_file() and not (site / LIBRARY).exists()
    assert (site / "ctp" / "py.typed").is_file() and (site / "ctp" / "sim.py").is_file()
    assert (site / "_ctp-stubs" / "__init__.pyi").read_text() == (ROOT / "python" / "_ctp.pyi").read_text()
    assert (site / "_ctpmd-stubs" / "__init__.pyi").read_text() == (ROOT / "python" / "_ctpmd.pyi").read_text()
    assert (site / "ctp" / MD_LIBRARY).is_file() and not (site / MD_LIBRARY).exists()
    assert Path(_ctpmd.__file__).parent == site
    mapped = {line.split()[-1] for line in Path("/proc/self/maps").read_text().splitlines()
              if line.endswith("/" + LIBRARY)}
    assert mapped == {str(site / "ctp" / LIBRARY)}


@pytest.mark.skipif(READELF is None, reason="needs readelf")
def test_the_modules_find_their_libraries_inside_the_package():
    for module, library in ((_ctp, LIBRARY), (_ctpmd, MD_LIBRARY)):
        needed, runpath = dynamic(module.__file__)
        assert library in needed
        assert runpath == ["$ORIGIN/ctp:$ORIGIN"]


def test_imports_from_anywhere(tmp_path):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_LIBRARY_PATH")}
    done = subprocess.run([sys.executable, "-I", "-c", "import _ctp, _ctpmd, ctp, ctp.sim; print(_ctp.version())"],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == _ctp.version()


def test_pip_records_every_installed_file():
    site = Path(_ctp.__file__).parent
    recorded = {(site / str(f)).resolve() for f in importlib.metadata.files("ctp")}
    installed = {p.resolve() for d in ("ctp", "_ctp-stubs", "_ctpmd-stubs") for p in (site / d).rglob("*")
                 if p.is_file() and "__pycache__" not in p.parts}
    assert installed | {Path(_ctp.__file__).resolve(), Path(_ctpmd.__file__).resolve()} <= recorded
    assert importlib.metadata.version("ctp")


# A vendor library in miniature: the two functions the module calls by name
# (everything else goes through the API object's virtual functions), no
# soname and no control interface.
VENDOR = """
#include "ThostFtdcTraderApi.h"
CThostFtdcTraderApi *CThostFtdcTraderApi::CreateFtdcTraderApi(const char *, bool) { return nullptr; }
const char *CThostFtdcTraderApi::GetApiVersion() { return "vendor 1.0"; }
"""


@pytest.mark.skipif(READELF is None or shutil.which("cmake") is None or shutil.which("g++") is None,
                    reason="needs cmake, g++ and readelf")
def test_a_vendor_sdk_is_installed_inside_the_package(tmp_path):
    """Built against a vendor SDK, CMake installs the vendor's library inside
    the package, the module finds it there by name through its run path, and
    ctp.sim refuses it."""
    sdk = tmp_path / "sdk"
    shutil.copytree(ROOT / "standin" / "include", sdk)
    (tmp_path / "vendor.cpp").write_text(VENDOR)
    subprocess.run(["g++", "-shared", "-fPIC", "-I", str(sdk), "-o", str(sdk / LIBRARY), str(tmp_path / "vendor.cpp")],
                   check=True)
    build, prefix = tmp_path / "build", tmp_path / "prefix"
    for command in (
        ["cmake", "-S", str(ROOT), "-B", str(build), f"-DPython_EXECUTABLE={sys.executable}",
         f"-DCTP_SDK_DIR={sdk}", "-DCMAKE_BUILD_TYPE=Release"],
        ["cmake", "--build", str(build), "--target", "_ctp", "-j2"],
        ["cmake", "--install", str(build), "--prefix", str(prefix)],
    ):
        done = subprocess.run(command, capture_output=True, text=True)
        assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-2000:]
    [module] = prefix.glob("_ctp" + sysconfig.get_config_var("EXT_SUFFIX"))
    assert (prefix / "ctp" / LIBRARY).read_bytes() == (sdk / LIBRARY).read_bytes()
    assert not (prefix / LIBRARY).exists() and (prefix / "_ctp-stubs" / "__init__.pyi").is_file()
    needed, runpath = dynamic(module)
    assert LIBRARY in needed and not any("/" in n for n in needed)
    assert runpath == ["$ORIGIN/ctp:$ORIGIN"]
    shutil.rmtree(build)  # nothing may come from the build tree
    env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
    env["PYTHONPATH"] = str(prefix)
    check = ("import _ctp, ctp.sim\n"
             "print(_ctp.__file__, _ctp.version())\n"
             "try:\n    ctp.sim.last_api()\nexcept ctp.sim.NoControlsError as e:\n    print(e)\n")
    done = subprocess.run([sys.executable, "-c", check], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    first, refused = done.stdout.splitlines()
    assert first == f"{module} vendor 1.0"
    assert refused.endswith("has no control interface: it is the vendor's library, not the stand-in")
