"""Time single-series functions and multi-step indicators through the
installed `tarvex` package on one long column.

    python benchmarks/series.py [--bars 1000000] [--repeat 5] [--seed 1] [--talib]

Every time is the best of --repeat calls (time.perf_counter) in ms. Each
call's result is dropped before the next call starts, as a loop over many
columns would, and is kept until the clock has stopped so freeing it is not
timed. With --talib the TA-Lib equivalents are timed alongside where one
exists (their results differ in seeding and rounding; only speed is
compared).
"""
import argparse
import gc
import math
import time

import numpy as np

import tarvex


def timed(fn, repeat):
    best, result = math.inf, None
    for _ in range(repeat):
        result = None
        gc.collect()
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    del result
    return best * 1e3


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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bars", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--talib", action="store_true", help="time the TA-Lib equivalents too")
    args = parser.parse_args()

    close, high, low = bars(args.bars, args.seed)
    peers = talib_cases(close, high, low) if args.talib else {}
    print(f"{args.bars} bars, best of {args.repeat}")
    print(f"{'':10}{'tarvex':>12}" + (f"{'TA-Lib':>12}" if args.talib else ""))
    for name, fn in cases(close, high, low):
        line = f"{name:10}{timed(fn, args.repeat):>9.2f} ms"
        if args.talib:
            peer = peers.get(name)
            line += f"{timed(peer, args.repeat):>9.2f} ms" if peer else f"{'-':>12}"
        print(line)


if __name__ == "__main__":
    main()
