"""Draws the chart the README shows: the last 120 of 300 weekdays of one
synthetic security as candlesticks with moving averages and MACD crossings
over the prices, then volume, MACD, KDJ and RSI panels, written to
docs/img/chart.png. The indicators are computed over all 300 bars, so the
left edge of the chart shows settled values, not the first bars' warm-up.

Needs pandas and matplotlib:  pip install '.[plot,pandas]'   (from a checkout)
                              python examples/plot_example.py [OUTPUT.png]
"""
import sys
from pathlib import Path
from typing import Union

import matplotlib

matplotlib.use("Agg")  # files only, no window

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import tarvex  # noqa: E402


def bars(days: int = 300, seed: int = 7) -> pd.DataFrame:
    """A seeded random walk on the weekdays from 2 January 2024."""
    rng = np.random.default_rng(seed)
    close = 12.0 * np.exp(np.cumsum(rng.normal(0.001, 0.018, days)))
    open_ = np.append(12.0, close[:-1]) * np.exp(rng.normal(0.0, 0.006, days))
    return pd.DataFrame({
        "date": pd.bdate_range("2024-01-02", periods=days),
        "open": open_,
        "high": np.fmax(open_, close) * (1 + np.abs(rng.normal(0, 0.008, days))),
        "low": np.fmin(open_, close) * (1 - np.abs(rng.normal(0, 0.008, days))),
        "close": close,
        "volume": rng.integers(20_000, 90_000, days).astype(float),
    })


def main(path: Union[str, Path]) -> None:
    fig = tarvex.plot.candles(bars(), panels=["volume", "macd", "kdj", ("rsi", 6)], overlays=[("ma", [5, 10, 20])],
                              signals="macd", last=120, theme="dark", figsize=(10, 7.5),
                              title="000001 daily: MA 5/10/20, MACD crossings; volume, MACD, KDJ, RSI 6")
    fig.savefig(path, dpi=90, bbox_inches="tight")
    print(f"wrote {path}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "docs" / "img" / "chart.png")
