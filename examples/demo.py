"""Demo: indicators, a whole-market batch and a composite index on synthetic
bars with `tarvex_core`, then the same market through the `tarvex` package:
NumPy columns, a formula screen and a table on every core.

The script makes its own data (a seeded random walk per security), so it runs
anywhere the package is installed:  python examples/demo.py
"""
import math
import random
import time

import numpy as np

import tarvex
import tarvex_core as tc


def synthetic_bars(code, days, seed):
    """Daily bars of one security: a random walk with intraday range and volume."""
    rng = random.Random(seed)
    price = 10.0 + code % 50
    rows = []
    for day in range(days):
        open_ = price
        price = max(1.0, price * math.exp(rng.gauss(0.0005, 0.02)))
        high = max(open_, price) * (1.0 + abs(rng.gauss(0.0, 0.01)))
        low = min(open_, price) * (1.0 - abs(rng.gauss(0.0, 0.01)))
        volume = float(rng.randint(10_000, 90_000))
        rows.append((code, 20240101 + day, open_, high, low, price, volume))
    return rows


def fmt(values, last=6):
    return "[" + ", ".join("nan" if v != v else f"{v:.3f}" for v in values[-last:]) + "]"


def single_security():
    rows = synthetic_bars(600000, 120, seed=1)
    open_, high, low, close, vol = ([r[k] for r in rows] for k in (2, 3, 4, 5, 6))
    print("== one security, last 6 of 120 bars ==")
    print("close      ", fmt(close))
    print("MA(5)      ", fmt(tc.MA(close, 5)))
    print("EMA(12)    ", fmt(tc.EMA(close, 12)))
    dif, dea, macd = tc.MACD(close)
    print("MACD dif   ", fmt(dif))
    print("MACD dea   ", fmt(dea))
    k, d, j = tc.KDJ(close, high, low)
    print("KDJ k      ", fmt(k))
    print("RSI(14)    ", fmt(tc.RSI(close, 14)))
    upper, mid, lower = tc.BOLL(close)
    print("BOLL upper ", fmt(upper))
    print("BOLL lower ", fmt(lower))
    print("ATR(14)    ", fmt(tc.ATR(close, high, low, 14)))
    print("OBV        ", fmt(tc.OBV(close, vol)))
    print("golden crosses of MA5 over MA20 at bars",
          [i for i, x in enumerate(tc.CROSS(tc.MA(close, 5), tc.MA(close, 20))) if x == 1.0])


def market():
    rows = []
    for seed, code in enumerate((600000, 1, 300750)):
        rows += synthetic_bars(code, 60, seed=seed + 10)
    random.Random(0).shuffle(rows)  # any row order works
    columns = list(zip(*rows))
    code, date, open_, high, low, close, volume = (list(c) for c in columns)

    print("\n== BATCH: 3 securities x 60 bars, rows shuffled ==")
    codes, dates, fields, values = tc.BATCH(["macd", "ma"], [[], [5, 20]], code, date,
                                            open_, high, low, close, volume)
    print("fields:", fields)
    for t in (0, 59, 60, len(codes) - 1):
        print(f"  code {codes[t]:>6} date {dates[t]}:",
              ", ".join(f"{f}={fmt([col[t]], 1)[1:-1]}" for f, col in zip(fields, values)))

    _, _, fields, signals = tc.BATCH_CROSS(["ma"], [[5, 20]], code, date, open_, high, low, close,
                                           volume, False)
    print("BATCH_CROSS ma5 over ma20:", fields, "up:", signals[0].count(1.0), "down:", signals[0].count(-1.0))

    n = len(code)
    amount = [c * v for c, v in zip(close, volume)]
    float_mv = [c * 1e6 for c in close]
    index = tc.ZHISHU(code, date, open_, high, low, close, volume, amount, float_mv, float_mv, 2, 1000.0)
    print(f"\n== ZHISHU (float-cap weighted, base 1000) over {n} rows: {len(index[0])} index bars ==")
    for t in range(-3, 0):
        print(f"  {index[0][t]}: open {index[1][t]:.2f} high {index[2][t]:.2f} low {index[3][t]:.2f} "
              f"close {index[4][t]:.2f} change {index[5][t]:+.3f}% constituents {index[8][t]}")


def whole_market_with_arrays(codes=2000, days=500):
    rows = []
    for code in range(codes):
        rows += synthetic_bars(code, days, seed=code)
    columns = [np.array(c) for c in zip(*rows)]
    order = np.random.default_rng(0).permutation(len(rows))  # any row order works
    code, date, open_, high, low, close, volume = (c[order] for c in columns)
    market = {"code": code, "date": date, "open": open_, "high": high, "low": low, "close": close, "vol": volume}

    print(f"\n== tarvex: {codes} securities x {days} bars as NumPy columns ==")
    screen_text = "DIF:=EMA(CLOSE,12)-EMA(CLOSE,26); DEA:=EMA(DIF,9); CROSS(DIF,DEA) AND DIF<0;"
    start = time.perf_counter()
    picked = tarvex.screen(screen_text, market)
    print(f"formula screen (MACD golden cross under zero on the last bar): {len(picked)} codes "
          f"in {(time.perf_counter() - start) * 1e3:.0f} ms, first {list(picked)[:5]}")
    start = time.perf_counter()
    table = tarvex.batch(["macd", "kdj", "rsi", "boll", "ma"], [[], [], [], [], [5, 10, 20, 60]],
                         code, date, open_, high, low, close, volume)
    print(f"tarvex.batch: {len(table['code'])} rows x {len(table) - 2} fields in "
          f"{(time.perf_counter() - start) * 1e3:.0f} ms on {tarvex._native.default_threads()} threads")
    one = table["code"] == 7
    print("  code 7, last bar:", ", ".join(f"{f}={table[f][one][-1]:.3f}" for f in ("dif", "k", "rsi", "ma20")))


if __name__ == "__main__":
    single_security()
    market()
    whole_market_with_arrays()
