"""``python -m ctp`` run as users run it, in a child process against the
simulated front: failures in one line on stderr with an exit status, Ctrl-C
quiet, tables and JSON showing the same records by the same names."""

import json
import signal
import subprocess
import sys
import uuid

import pytest

import _ctp
import ctp
from conftest import subprocess_env
from ctp import Direction

LONG = 30.0
CREDENTIALS = ["--broker", "9999", "--user", "000001", "--app-id", "standin_client_1.0",
               "--auth-code", "0000000000000000"]


@pytest.fixture
def front():
    return f"sim://cli{uuid.uuid4().hex[:12]}"


def cli(*args, password="123456", **options):
    """Runs python -m ctp with the arguments given as they are (credentials included)."""
    env = dict(subprocess_env())
    env.pop("CTP_PASSWORD", None)
    if password is not None:
        env["CTP_PASSWORD"] = password
    return subprocess.run([sys.executable, "-m", "ctp", *args], env=env, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, start_new_session=True, timeout=LONG * 2, **options)


def failed_in_one_line(done, status):
    assert (done.returncode, done.stdout) == (status, ""), done.stdout + done.stderr
    assert "Traceback" not in done.stderr and len(done.stderr.splitlines()) == 1, done.stderr
    return done.stderr


def test_a_refused_login_is_said_once(front):
    line = failed_in_one_line(cli("login", "--front", front, *CREDENTIALS, password="wrong"), 1)
    assert line.startswith("login failed: ") and "用户名或密码错误" in line


def test_no_password_and_no_terminal_to_ask_on(front):
    # A session of its own: no controlling terminal, stdin empty.
    line = failed_in_one_line(cli("login", "--front", front, *CREDENTIALS, password=None), 1)
    assert "no password" in line and "CTP_PASSWORD" in line


@pytest.mark.parametrize("args, status, names", [
    (["--flow", "/proc/nope/flow"], 1, "--flow /proc/nope/flow"),
    (["--timeout", "nan"], 2, "--timeout"),
    (["--timeout", "-1"], 2, "--timeout"),
    (["--timeout", "0"], 2, "--timeout"),
    (["--timeout", "soon"], 2, "--timeout"),
    (["--front", "sim://bad\udcff"], 2, "--front"),     # a byte that is not UTF-8 in the argument
    (["--front", "sim://ok,tcp://nowhere"], 2, "--front"),     # one of several addresses bad
    (["--user", "\udcff"], 2, "--user"),
    ([], 2, "command"),                                 # the command missing
])
def test_bad_arguments_are_one_line_errors(front, args, status, names):
    command = [] if not args else ["account"]
    line = failed_in_one_line(cli(*command, "--front", front, *CREDENTIALS, *args), status)
    assert names in line


def test_a_password_that_is_not_text():
    env = dict(subprocess_env(), CTP_PASSWORD="x")
    code = ("import os, sys; from ctp.__main__ import main\n"
            "os.environ['CTP_PASSWORD'] = '\\udcff'\n"
            f"sys.exit(main(['login', '--front', 'sim://x', *{CREDENTIALS!r}]))")
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=LONG)
    line = failed_in_one_line(done, 1)
    assert "password is not valid text" in line and "\\udcff" not in line      # never shows the password


def default_sigint():
    """A test run started in the background inherits SIGINT ignored, and Python then never raises
    KeyboardInterrupt: the child gets the default disposition back."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def test_ctrl_c_is_a_quiet_exit_130():
    """Interrupted while it waits for a front that never answers."""
    env = dict(subprocess_env(), CTP_PASSWORD="123456")
    child = subprocess.Popen([sys.executable, "-m", "ctp", "login", "--front", "tcp://127.0.0.1:9", *CREDENTIALS,
                              "--timeout", str(LONG), "-v"], env=env, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True,
                             preexec_fn=default_sigint)
    try:
        first = child.stderr.readline()            # -v: the session has started
        assert first, "no log line"
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=LONG * 2)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 130, first + err
    assert out == "" and "Traceback" not in err and "KeyboardInterrupt" not in err


def test_version():
    done = cli("--version")
    assert done.returncode == 0 and done.stderr == ""
    assert done.stdout == f"ctp {ctp.__version__}; trader library {_ctp.version()}\n"


def test_several_fronts_apart_by_commas_are_tried_in_order(front):
    done = cli("login", "--json", "--front", f"{front}/2, {front}", *CREDENTIALS)
    assert done.returncode == 0, done.stderr
    (record,) = json.loads(done.stdout)
    assert (record["Front"], record["FrontID"]) == (f"{front}/2,{front}", 2)


@pytest.mark.parametrize("command", ["login", "account", "instruments", "positions", "orders", "trades"])
def test_tables_and_json_show_the_same_records(front, command):
    table, as_json = cli(command, "--front", front, *CREDENTIALS), cli(command, "--json", "--front", front,
                                                                      *CREDENTIALS)
    assert table.returncode == 0 and as_json.returncode == 0, table.stderr + as_json.stderr
    assert table.stderr == as_json.stderr == ""
    records = json.loads(as_json.stdout)
    assert isinstance(records, list) and all(isinstance(r, dict) for r in records), "always an array of objects"
    if command in ("login", "account"):
        (record,) = records
        lines = table.stdout.splitlines()
        assert [line.split()[0] for line in lines] == list(record)
        if command == "login":
            assert (record["Front"], record["FrontID"]) == (front, 1) and f"Front        {front}" in lines
        else:
            assert record["Balance"] == 1_000_000 and "1000000.00" in table.stdout
    elif command == "instruments":
        assert len(records) == len(table.stdout.splitlines()) - 1 == 12
        assert {r["ProductClass"] for r in records} == {"futures"} and " futures " in table.stdout
    elif command == "positions":
        (position,) = records
        assert (position["PosiDirection"], position["PositionDate"], position["HedgeFlag"]) == \
            ("long", "history", "speculation")
        assert " long " in table.stdout and " history " in table.stdout
    else:
        assert records == [] and table.stdout == f"(no {command})\n"


def test_orders_and_trades_by_name(sim, front, tmp_path, monkeypatch, capsys):
    """Today's orders and trades of the investor, as the session that made them left them."""
    from ctp.__main__ import main

    def run(*args):
        assert main([*args, "--front", front, *CREDENTIALS, "--flow", str(tmp_path / "cli")]) == 0
        return capsys.readouterr().out

    sim.query_interval(0)
    monkeypatch.setenv("CTP_PASSWORD", "123456")
    with ctp.Client(front, "9999", "000001", "123456", "standin_client_1.0", "0000000000000000",
                    flow=tmp_path / "trader", query_interval=0.0, timeout=LONG) as client:
        client.insert_order("rb2705", Direction.BUY, 2, 3102.0).wait(LONG)
        (trade,), (order,), table = json.loads(run("trades", "--json")), json.loads(run("orders", "--json")), \
            run("trades")
    assert (trade["Direction"], trade["OffsetFlag"], trade["Volume"], trade["Price"]) == ("buy", "open", 2, 3101.0)
    assert (order["Direction"], order["CombOffsetFlag"], order["OrderStatus"]) == ("buy", "open", "all_traded")
    header, row = table.splitlines()
    assert header.split()[:3] == ["TradeTime", "ExchangeID", "InstrumentID"]
    assert row.split()[1:3] == ["SHFE", "rb2705"] and " buy " in row and " open " in row


def test_verbose_logs_the_session_to_stderr(front):
    done = cli("login", "-v", "--front", front, *CREDENTIALS)
    assert done.returncode == 0 and "logged in" in done.stderr and "ctp.session" in done.stderr


def test_rates_and_the_settlement_statement(sim, front, tmp_path, monkeypatch, capsys):
    """The rates as the client reads them, one line per instrument; the statement as one text."""
    from ctp.__main__ import main

    def run(*args):
        assert main([*args, "--front", front, *CREDENTIALS, "--flow", str(tmp_path / "cli")]) == 0
        return capsys.readouterr().out

    sim.query_interval(0)
    monkeypatch.setenv("CTP_PASSWORD", "123456")
    every, table = json.loads(run("rates", "--json")), run("rates")
    (one,) = json.loads(run("rates", "--json", "--instrument", "rb2705"))
    assert len(every) == len(table.splitlines()) - 1 == 12
    assert [r["InstrumentID"] for r in every] == sorted(r["InstrumentID"] for r in every)
    assert one == next(r for r in every if r["InstrumentID"] == "rb2705")
    with ctp.Client(front, "9999", "000001", "123456", "standin_client_1.0", "0000000000000000",
                    flow=tmp_path / "trader", query_interval=0.0, timeout=LONG) as client:
        margin, commission, statement = (client.margin_rate("rb2705"), client.commission_rate("rb2705"),
                                         client.settlement())
    assert all(one[key] == margin[key] for key in margin if key in one and "Margin" in key)
    assert all(one[key] == commission[key] for key in commission if key in one and "Ratio" in key)
    assert statement and run("settlement") == statement.rstrip("\n") + "\n"
    (record,) = json.loads(run("settlement", "--json"))
    assert record == {"TradingDay": "", "Content": statement}


def test_help_names_every_command():
    done = cli("--help")
    assert done.returncode == 0
    for command in ("login", "instruments", "account", "positions", "orders", "trades", "rates", "settlement",
                    "record"):
        assert command in done.stdout
    assert cli("settlement", "--trading-day", "yesterday", "--front", "sim://x", *CREDENTIALS).returncode == 2
