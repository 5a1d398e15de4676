"""Configuration files of the simulated front: every value is bounded to what
the front can represent; anything else is refused as a mistake, leaving the
front unreachable with one line on standard error."""

import uuid

import pytest

import _ctp
from test_front import Trader

INSTRUMENT = "[instrument]\nid = x\nexchange = SHFE\nprice = 100\n"
INVESTOR = "[investor]\nbroker = 1\nuser = u\npassword = p\n"


def refused(sim, tmp_path, capfd, path):
    """Reaches a new front configured from path; returns the line it printed."""
    capfd.readouterr()
    handle = _ctp.create(f"sim://cfg{uuid.uuid4().hex}?config={path}", bytes(tmp_path) + b"/")
    try:
        assert _ctp.request(handle, "QryInstrument", {}, 1) == -1
        sim.emit(sim.api_of(bytes(tmp_path) + b"/"), "OnHeartBeatWarning")
        assert _ctp.poll(handle) == [{"name": "HeartBeatWarning", "time_lapse": 0}]
    finally:
        _ctp.close(handle)
    lines = capfd.readouterr().err.splitlines()
    assert len(lines) == 1, lines
    return lines[0]


def write(tmp_path, text):
    path = tmp_path / f"{uuid.uuid4().hex}.conf"
    path.write_text(text, encoding="utf-8")
    return path


@pytest.mark.parametrize("text, problem", [
    # Values whose arithmetic overflowed or never ended.
    (INSTRUMENT + "market_levels = 2147483647", "market_levels must be between 0 and 100"),
    (INSTRUMENT.replace("100", "1e300"), "price must be between 0 and 1e+09"),
    (INSTRUMENT + "tick = 1e-300", "tick must be between 1e-06 and 1e+06"),
    (INSTRUMENT + "limit_ratio = 1e20", "limit_ratio must be between 0 and 1"),
    (INSTRUMENT + "limit_ratio = 0", "limit_ratio must be above 0"),
    (INSTRUMENT.replace("100", "1000000000") + "tick = 0.5", "price is more than 1e9 ticks"),
    (INSTRUMENT + INVESTOR + "position = x long 2000000000\nposition = x long 2000000000\n",
     "position volume must be between 1 and 1000000"),
    (INSTRUMENT + INVESTOR + "position = x long 600000\nposition = x long 600000\n",
     "investor u holds more than 1000000 lots of x on one side"),
    (INSTRUMENT + INVESTOR + "position = x long 1 extra\n", "position must read"),
    (INSTRUMENT + "multiple = 0", "multiple must be between 1 and 1000000"),
    (INSTRUMENT + "max_volume = 10001", "max_volume must be between 1 and 10000"),
    (INSTRUMENT + "market_volume = -1", "market_volume must be between 0 and 10000"),
    (INSTRUMENT + "min_volume = 5\nmax_volume = 4", "max_volume is below min_volume"),
    (INSTRUMENT + "margin = 1.5", "margin must be between 0 and 1"),
    (INSTRUMENT + "commission_rate = -0.1", "commission_rate must be between 0 and 1"),
    # Calendar dates only.
    ("trading_day = abcdefgh", "trading_day must be a real date"),
    ("trading_day = 20251341", "trading_day must be a real date"),
    ("trading_day = 20250229", "trading_day must be a real date"),
    ("trading_day = 2025010", "trading_day must be a real date"),
    # Decided: negative identifiers and money, repeated keys, margin twice over.
    ("front_id = -1", "front_id must be between 1 and 2147483647"),
    ("front_id = 0", "front_id must be between 1 and 2147483647"),
    (INVESTOR + "balance = -5", "balance must be between 0 and 1e+12"),
    (INVESTOR + "withdraw = 1e13", "withdraw must be between 0 and 1e+12"),
    ("front_id = 2\nfront_id = 3", "front_id is given twice"),
    (INSTRUMENT + "price = 200", "price is given twice"),
    (INSTRUMENT + "margin = 0.1\nlong_margin = 0.2", "margin cannot be given with long_margin or short_margin"),
    (INSTRUMENT + "short_margin = 0.2\nmargin = 0.1", "margin cannot be given with long_margin or short_margin"),
    # Rates: one key for several rates and one of those rates would leave one of them silently winning.
    (INSTRUMENT + "commission_rate = 0.1\nclose_today_commission_rate = 0.2",
     "commission_rate cannot be given with open_commission_rate, close_commission_rate or close_today_commission_rate"),
    (INSTRUMENT + "open_commission_per_lot = 1\ncommission_per_lot = 2", "commission_per_lot cannot be given with"),
    (INSTRUMENT + "long_margin_per_lot = 1\nmargin_per_lot = 2",
     "margin_per_lot cannot be given with long_margin_per_lot or short_margin_per_lot"),
    (INSTRUMENT + "close_today_commission_per_lot = 1000001", "must be between 0 and 1e+06"),
    (INSTRUMENT + "short_margin_per_lot = -1", "short_margin_per_lot must be between 0 and 1e+06"),
    (INSTRUMENT + "open_commission_rate = 2", "open_commission_rate must be between 0 and 1"),
    (INSTRUMENT.replace("100", "2000") + "multiple = 1000000", "price * multiple is more than 1e9"),
    (INSTRUMENT + INVESTOR + "position = x long 2 0\n", "position price must be above 0 and at most 1e9"),
    (INSTRUMENT + INVESTOR + "position = x long 2 abc\n", "position must read"),
    # The calendar and the clock.
    ("calendar = weekly", "calendar must be continuous or exchange"),
    ("calendar = exchange\ntrading_day = 20250102", "trading_day cannot be given with calendar = exchange"),
    (INSTRUMENT + "sessions = 09:00-10:15", "instrument x: sessions need calendar = exchange"),
    ("calendar = exchange\n" + INSTRUMENT + "sessions = 09:00-10:15 10:00-11:00", "in the order of the trading day"),
    ("calendar = exchange\n" + INSTRUMENT + "sessions = 09:00-10:15 21:00-23:00", "in the order of the trading day"),
    ("calendar = exchange\n" + INSTRUMENT + "sessions = 19:00-21:00", "within its trading day"),
    ("calendar = exchange\n" + INSTRUMENT + "sessions = 10:00-10:00", "within its trading day"),
    ("calendar = exchange\n" + INSTRUMENT + "sessions = 20:02-23:00", "at least 5 minutes after 20:00"),
    ("calendar = exchange\n" + INSTRUMENT + "sessions = 9:00-10:15", "sessions must read HH:MM-HH:MM"),
    ("calendar = exchange\n" + INSTRUMENT + "sessions = 09:00-24:00", "sessions must read HH:MM-HH:MM"),
    ("clock = 20250102", "clock must read YYYYMMDD HH:MM:SS"),
    ("clock = 20250230 09:00:00", "clock must read YYYYMMDD HH:MM:SS"),
    ("freeze_clock = 2", "bad value for freeze_clock"),
])
def test_values_out_of_bounds_are_refused(sim, tmp_path, capfd, text, problem):
    line = refused(sim, tmp_path, capfd, write(tmp_path, text))
    assert line.startswith("standin: sim://cfg") and problem in line


def test_files_that_are_not_configurations(sim, tmp_path, capfd):
    directory = tmp_path / "dir"
    directory.mkdir()
    assert refused(sim, tmp_path, capfd, directory).endswith("not a regular file")
    assert refused(sim, tmp_path, capfd, "/dev/zero").endswith("not a regular file")
    big = write(tmp_path, "#" * (1 << 20) + "\n")
    assert refused(sim, tmp_path, capfd, big).endswith("the file is larger than 1 MiB")
    fits = write(tmp_path, "#" * ((1 << 20) - 1) + "\n")
    handle = _ctp.create(f"sim://cfg{uuid.uuid4().hex}?config={fits}", bytes(tmp_path) + b"/")
    _ctp.close(handle)
    assert capfd.readouterr().err == ""


def test_values_at_their_bounds_are_taken(sim, tmp_path):
    sim.query_interval(0)
    path = write(tmp_path, """\
front_id = 2147483647
trading_day = 20240229
[investor]
broker = 1
user = u
password = p
balance = 1e12
position = x long 600000
position = x long 400000
[instrument]
id = x
exchange = DCE
price = 1000
tick = 0.000001
multiple = 1000000
long_margin = 0
short_margin = 1
margin_per_lot = 1000000
commission_rate = 1
limit_ratio = 1
market_levels = 100
market_volume = 10000
max_volume = 10000
""")
    t = Trader(sim, bytes(tmp_path / "s") + b"/", f"sim://cfg{uuid.uuid4().hex}?config={path}")
    try:
        login = t.login(dict(broker="1", user="u", password="p", app_id="", auth_code=""))
        assert (login["FrontID"], login["TradingDay"]) == (2147483647, "20240229")
        (held,) = t.replies("QryInvestorPosition")
        assert held["Position"] == 1_000_000
        assert sim.price(t.front, "x") == 1000
    finally:
        t.close()


def test_a_refused_configuration_leaves_the_name_free(sim, tmp_path, capfd):
    name = f"sim://cfg{uuid.uuid4().hex}"
    capfd.readouterr()
    handle = _ctp.create(f"{name}?config={write(tmp_path, 'front_id = 0')}", bytes(tmp_path / "a") + b"/")
    _ctp.close(handle)
    assert "front_id" in capfd.readouterr().err
    sim.query_interval(0)
    t = Trader(sim, bytes(tmp_path / "b") + b"/", f"{name}?config={write(tmp_path, 'front_id = 5')}")
    try:
        assert t.login()["FrontID"] == 5                # set up by the later, good file
        assert t.replies("QryTradingAccount", {"InvestorID": "000002"}) == []   # another investor: nothing
    finally:
        t.close()
