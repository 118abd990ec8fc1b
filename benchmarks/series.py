"""Time single-series functions and multi-step indicators through the
installed `tarvex` package on one long column.

    python benchmarks/series.py [--bars 1000000] [--repeat 5] [--seed 1] [--talib] [--pandas]

Every time is the best of --repeat calls (time.perf_counter) in ms. Each
call's result is dropped before the next call starts, as a loop over many
columns would, and is kept until the clock has stopped so freeing it is not
timed. With --talib the TA-Lib equivalents are timed alongside where one
exists (their results differ in seeding and rounding; only speed is
compared). With --pandas the usual pandas formulations of the composite
indicators are timed too (rolling windows and ewm with adjust=False).
"""
import argparse
import time

import numpy as np

import tarvex
from batch import timed as best_of  # the timing helper of the batch benchmark


def timed(fn, repeat):
    """Best wall time of `repeat` calls in ms."""
    return best_of(fn, repeat=repeat)[0] * 1e3


def bars(count, seed):
    """A random walk of closes with highs and lows around them."""
    rng = np.random.default_rng(seed)
    close = 100.0 + np.cumsum(rng.normal(0.0, 1.0, count))
    spread = np.abs(rng.normal(0.0, 0.5, count))
    return close, close + spread, close - spread


def cases(close, high, low):
    return [
        ("EMA 12", lambda: tarvex.EMA(close, 12)),
        ("EXPMA", lambda: tarvex.EXPMA(close)),
        ("MACD", lambda: tarvex.MACD(close)),
        ("KDJ", lambda: tarvex.KDJ(close, high, low)),
        ("TRIX", lambda: tarvex.TRIX(close)),
        ("RSI", lambda: tarvex.RSI(close)),
        ("BOLL", lambda: tarvex.BOLL(close)),
        ("HHV 20", lambda: tarvex.HHV(close, 20)),
        ("STD 20", lambda: tarvex.STD(close, 20)),
    ]


def talib_cases(close, high, low):
    import talib

    return {
        "EMA 12": lambda: talib.EMA(close, 12),
        "MACD": lambda: talib.MACD(close),
        "KDJ": lambda: talib.STOCH(high, low, close),
        "TRIX": lambda: talib.TRIX(close),
        "RSI": lambda: talib.RSI(close, 24),
        "BOLL": lambda: talib.BBANDS(close, 20),
        "HHV 20": lambda: talib.MAX(close, 20),
        "STD 20": lambda: talib.STDDEV(close, 20),
    }


def pandas_cases(close, high, low):
    import pandas as pd

    c, h, l = pd.Series(close), pd.Series(high), pd.Series(low)

    def macd():
        dif = c.ewm(span=12, adjust=False).mean() - c.ewm(span=26, adjust=False).mean()
        dea = dif.ewm(span=9, adjust=False).mean()
        return dif.round(3), dea.round(3), ((dif - dea) * 2.0).round(3)

    def kdj():
        ll, hh = l.rolling(9).min(), h.rolling(9).max()
        k = ((c - ll) / (hh - ll) * 100.0).ewm(com=2, adjust=False).mean()
        d = k.ewm(com=2, adjust=False).mean()
        return k, d, k * 3.0 - d * 2.0

    def rsi():
        delta = c.diff()
        up = delta.clip(lower=0.0).ewm(alpha=1 / 24, adjust=False).mean()
        size = delta.abs().ewm(alpha=1 / 24, adjust=False).mean()
        return (up / size * 100.0).round(3)

    def boll():
        mid, width = c.rolling(20).mean(), c.rolling(20).std(ddof=0) * 2.0
        return (mid + width).round(3), mid.round(3), (mid - width).round(3)

    return {"EMA 12": lambda: c.ewm(span=12, adjust=False).mean(), "MACD": macd, "KDJ": kdj, "RSI": rsi,
            "BOLL": boll, "HHV 20": lambda: c.rolling(20).max(), "STD 20": lambda: c.rolling(20).std(ddof=0)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bars", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--talib", action="store_true", help="time the TA-Lib equivalents too")
    parser.add_argument("--pandas", action="store_true", help="time the pandas formulations too")
    args = parser.parse_args()

    close, high, low = bars(args.bars, args.seed)
    peers = ([("TA-Lib", talib_cases(close, high, low))] if args.talib else []) + (
        [("pandas", pandas_cases(close, high, low))] if args.pandas else [])
    print(f"{args.bars} bars, best of {args.repeat}")
    print(f"{'':10}{'tarvex':>12}" + "".join(f"{title:>12}" for title, _ in peers))
    for name, fn in cases(close, high, low):
        line = f"{name:10}{timed(fn, args.repeat):>9.2f} ms"
        for _, table in peers:
            peer = table.get(name)
            line += f"{timed(peer, args.repeat):>9.2f} ms" if peer else f"{'-':>12}"
        print(line)


if __name__ == "__main__":
    main()
