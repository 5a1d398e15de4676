"""Backtests the market maker of examples/market_maker.py on a recorded day: the simulated front
replays the recording as its market at full speed, the strategy runs as it would live, and a
report (fills, P&L, commission, largest position) and a chart of price, position and P&L over the
day follow. Needs the package's data extra (pyarrow, pandas, matplotlib).

    python3.14 -m ctp record --front sim://demo --instruments rb2705 --out ticks/ --walk 20 --duration 300
    python3.14 examples/backtest.py ticks/ [--instrument rb2705] [--chart backtest.png]"""

from __future__ import annotations

import argparse
import sys
import tempfile
import uuid
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import ctp
import ctp.data
from ctp import Direction, sim

sys.path.insert(0, str(Path(__file__).resolve().parent))
import market_maker  # noqa: E402

BROKER, USER, PASSWORD = "9999", "000002", "123456"
APP_ID, AUTH_CODE = "standin_client_1.0", "0000000000000000"


@dataclass
class Result:
    fills: list[ctp.Record]
    profit: float        # close profit + position profit, before commission
    commission: float
    max_position: int
    multiple: int


def backtest(recording: str | Path, instruments: list[str], *, lots: int = 1, flow: Path | None = None) -> Result:
    """Runs the market maker on the recording's ticks of ``instruments``, as fast as it takes them."""
    tape = ctp.data.tape(recording, Path(tempfile.mkdtemp()) / "backtest.tape", instruments=instruments)
    front = sim.replay_address(f"backtest-{uuid.uuid4().hex[:8]}", tape)
    flow = flow or Path(tempfile.mkdtemp())
    with ctp.Client(front, BROKER, USER, PASSWORD, APP_ID, AUTH_CODE, flow=flow / "trader", timeout=60) as client, \
            ctp.MarketData(front, BROKER, USER, PASSWORD, flow=flow / "md", timeout=60) as market:
        market_maker.run(client, market, instruments, lots=lots)
        fills = [trade for trade in client.trades if trade["InstrumentID"] in instruments]
        pnl = client.pnl()
        multiple = client.contract(instruments[0]).multiple
    position = peak = 0
    for trade in fills:
        position += trade["Volume"] if trade["Direction"] == Direction.BUY else -trade["Volume"]
        peak = max(peak, abs(position))
    return Result(fills, pnl.realised + pnl.floating, pnl.commission, peak, multiple)


def curves(recording: str | Path, instrument: str, result: Result) -> Any:
    """Price, position and P&L (before commission, marked at the last price) at each tick."""
    import pandas as pd

    ticks = ctp.data.ticks(recording, [instrument], columns=["LastPrice", "BidPrice1", "AskPrice1", "Timestamp"])
    # The last price, or the middle of the best quotes where the recording has none.
    ticks["price"] = ticks["LastPrice"].fillna((ticks["BidPrice1"] + ticks["AskPrice1"]) / 2)
    frame = ticks.dropna(subset=["price"]).reset_index(drop=True)
    trades = pd.DataFrame([{
        "time": pd.Timestamp(f"{t['TradeDate']} {t['TradeTime']}").tz_localize("+08:00"),
        "lots": t["Volume"] if t["Direction"] == Direction.BUY else -t["Volume"],
        "cash": -(t["Volume"] if t["Direction"] == Direction.BUY else -t["Volume"]) * t["Price"] * result.multiple,
    } for t in result.fills], columns=["time", "lots", "cash"])
    # A trade counts from the first tick at or after its second (the front stamps trades to the second).
    at = frame["Timestamp"].searchsorted(trades["time"]) if len(trades) else []
    step = pd.DataFrame({"lots": 0, "cash": 0.0}, index=frame.index)
    for row, (lots, cash) in zip(at, zip(trades["lots"], trades["cash"])):
        row = min(int(row), len(frame) - 1)
        step.loc[row, "lots"] += lots
        step.loc[row, "cash"] += cash
    frame["position"] = step["lots"].cumsum()
    frame["pnl"] = step["cash"].cumsum() + frame["position"] * frame["price"] * result.multiple
    return frame


def chart(frame: Any, instrument: str, path: Path) -> Path:
    """A PNG of price, position and P&L over the day (headless)."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (price, position, pnl) = plt.subplots(3, 1, sharex=True, figsize=(10, 7),
                                                  gridspec_kw={"height_ratios": [2, 1, 1]})
    price.plot(frame["Timestamp"], frame["price"], linewidth=0.8)
    price.set_ylabel(f"{instrument} price")
    position.step(frame["Timestamp"], frame["position"], where="post", color="tab:orange")
    position.set_ylabel("position (lots)")
    pnl.plot(frame["Timestamp"], frame["pnl"], color="tab:green")
    pnl.set_ylabel("P&L before commission")
    figure.suptitle(f"market maker on {instrument}, replayed")
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)
    return path


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("recording", help="a recording directory (python -m ctp record --out DIR) or one of its files")
    parser.add_argument("--instrument", default="rb2705")
    parser.add_argument("--lots", type=int, default=1)
    parser.add_argument("--chart", type=Path, default=Path("backtest.png"))
    args = parser.parse_args()
    result = backtest(args.recording, [args.instrument], lots=args.lots)
    bought = sum(t["Volume"] for t in result.fills if t["Direction"] == Direction.BUY)
    sold = sum(t["Volume"] for t in result.fills if t["Direction"] != Direction.BUY)
    print(f"{len(result.fills)} fills ({bought} lots bought, {sold} sold), P&L {result.profit:.2f} before "
          f"commission {result.commission:.2f}: {result.profit - result.commission:.2f}; "
          f"largest position {result.max_position} lots")
    frame = curves(args.recording, args.instrument, result)
    print(f"chart: {chart(frame, args.instrument, args.chart)}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
