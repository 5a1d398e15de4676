"""The module's sources compile against any header set that declares the
vendor's names: member order, sizes of unused members and extra members are
the vendor's business."""

import random
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
HEADERS = ROOT / "standin" / "include"
SOURCES = sorted((ROOT / "native").rglob("*.cpp"))

# Members the modules read or write: the keys of every record layout and
# request table (_ctp's, _ctpmd's and the bridge's shared records: all compile
# against the same struct header). Every other member may change size.
TABLES = sorted(p for p in (ROOT / "native").rglob("*.h") if p.name in ("records.h", "requests.h"))
USED = {name for path in TABLES for name in re.findall(r'key\("(\w+)"', path.read_text())}
MODULES = ["ctp", "ctpmd"]
MEMBER = re.compile(r"^\s*(\w+)\s+(\w+)\s*(?:\[(\d+)\])?\s*;", re.M)


def c_types():
    """typedef -> (C type, array size or None), from the stand-in's type header."""
    types = {base: (base, None) for base in ("char", "short", "int", "double")}
    for base, name, size in re.findall(r"typedef\s+(\w+)\s+(\w+)\s*(?:\[(\d+)\])?\s*;",
                                       (HEADERS / "ThostFtdcUserApiDataType.h").read_text()):
        types[name] = (base, int(size) if size else None)
    return types


def variant(out, seed):
    """A copy of the headers with members shuffled, text members of other
    widths (any width for unused ones, at least 2 bytes for the ones the
    modules use), some integers short, unused members of other types, and
    extra members added."""
    rng = random.Random(seed)
    types = c_types()
    out.mkdir()
    for header in HEADERS.iterdir():
        shutil.copy(header, out / header.name)
    structs = (HEADERS / "ThostFtdcUserApiStruct.h").read_text()

    def rewrite(match):
        name, body = match.group(1), match.group(2)
        members = MEMBER.findall(body)
        rng.shuffle(members)
        lines = []
        for kind, member, size in members:
            base, width = types[kind]
            width = int(size) if size else width
            declared = f"{kind} {member}" + (f"[{size}]" if size else "")
            if member not in USED and rng.random() < 0.5:
                declared = rng.choice([f"char {member}[{rng.randrange(1, 600)}]", f"double {member}",
                                       f"short {member}", f"int {member}[3]"])
            elif width is not None and rng.random() < 0.5:
                declared = f"char {member}[{rng.randrange(2, 600)}]"
            elif base == "int" and rng.random() < 0.5:
                declared = f"short {member}"
            lines.append(f"\t{declared};")
            if rng.random() < 0.2:
                lines.append(f"\tdouble Extra{len(lines)};")
        return f"struct {name}\n{{\n" + "\n".join(lines) + "\n};"

    (out / "ThostFtdcUserApiStruct.h").write_text(
        re.sub(r"struct\s+(CThostFtdc\w+)\s*\{(.*?)\};", rewrite, structs, flags=re.S))
    return out


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")
@pytest.mark.parametrize("seed", [1, 2, 3])
def test_sources_compile_against_reshaped_headers(tmp_path, seed):
    assert {path.parent.name for path in SOURCES} == {"bridge", "ctp", "ctpmd"}
    headers = variant(tmp_path / "sdk", seed)
    # The header the build generates, written the same way.
    generated = tmp_path / "generated"
    subprocess.run([sys.executable, str(ROOT / "native" / "bridge" / "gen_gb18030.py"),
                    str(generated / "gb18030_pairs.h")], check=True)
    command = ["g++", "-std=c++20", "-fsyntax-only", "-Wall", "-Wextra", "-Werror",
               "-fno-canonical-system-headers", "-I", str(generated), "-isystem", str(headers),
               "-isystem", sysconfig.get_path("include"), *map(str, SOURCES)]
    result = subprocess.run(command, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr[-3000:]


def test_both_modules_have_one_shape():
    """Each vendor library's folder has the same files with the same roles
    (module.cpp, module.cmake, records.h, requests.h, spi.h), and none
    includes another's: what both share is in the bridge."""
    shapes = {name: sorted(p.name for p in (ROOT / "native" / name).iterdir()) for name in MODULES}
    assert all(shape == ["module.cmake", "module.cpp", "records.h", "requests.h", "spi.h"] for shape in shapes.values()), shapes
    assert {"ErrorID", "ErrorMsg", "TradingDay", "MaxOrderRef", "Content", "SequenceSeries", "VolumeMultiple",
            "InvestUnitID"} <= USED
    for name in MODULES:
        for path in (ROOT / "native" / name).iterdir():
            included = re.findall(r'#include "\.\./(\w+)/', path.read_text())
            assert set(included) <= {"bridge"}, (path, included)

