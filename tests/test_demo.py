"""The demo explains what it shows: where the opening position comes from and
what moved the balance, in figures that add up."""

import re
import subprocess
import sys

from conftest import ROOT, subprocess_env


def test_the_demo_explains_the_position_and_the_balance():
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "demo.py")], env=subprocess_env(),
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr
    lines = {line.split(":", 1)[0]: line for line in done.stdout.splitlines()}
    assert lines["positions"] == ("positions: rb2705 long 2 (2 from yesterday); the simulated front starts each "
                                  "investor with the positions of its configuration")
    before = float(re.search(r"balance ([\d.]+)", lines["account"])[1])
    after, change, parts = re.search(r"balance ([\d.]+) \(([-+][\d.]+): (.*)\)", lines["account afterwards"]).groups()
    named = dict((name.strip(), float(value)) for name, value in re.findall(r"([a-z ]+) ([-+][\d.]+)", parts))
    # 2 bought at 3101, the last price, beside yesterday's 2 settled at 3100.
    assert named == {"commission": -6.20, "position profit": 20.00}
    assert round(before + sum(named.values()), 2) == float(after) and float(change) == round(sum(named.values()), 2)
