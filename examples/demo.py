"""Demo: indicators, a whole-market batch and a composite index on synthetic
bars with `tarvex_core`, then the same kind of market through the `tarvex`
package: NumPy columns, a formula screen, a table on every core, and
DataFrames in and out when pandas is installed.

The script makes its own data (a seeded random walk per security on the
weekdays from 2 January 2024), so it runs anywhere the package is installed
with nothing but NumPy:  python examples/demo.py
"""
import math
import random
import time
from typing import List, Sequence, Tuple

import numpy as np

import tarvex
import tarvex_core as tc

FIRST_DAY = "2024-01-02"

# One daily bar: code, date (YYYYMMDD), open, high, low, close, volume.
Bar = Tuple[int, int, float, float, float, float, float]


def trading_days(count: int) -> np.ndarray:
    """The first `count` weekdays from FIRST_DAY (datetime64[D])."""
    return np.busday_offset(FIRST_DAY, np.arange(count), roll="forward")


def as_int(days: np.ndarray) -> np.ndarray:
    """Dates as YYYYMMDD integers, the form the core tables take."""
    months = days.astype("datetime64[M]")
    year = months.astype("datetime64[Y]").astype(np.int64) + 1970
    dates: np.ndarray = (year * 10000 + (months.astype(np.int64) % 12 + 1) * 100
                         + (days - months).astype(np.int64) + 1)
    return dates


def day_text(yyyymmdd: int) -> str:
    return f"{yyyymmdd // 10000}-{yyyymmdd // 100 % 100:02d}-{yyyymmdd % 100:02d}"


def synthetic_bars(code: int, days: int, seed: int) -> List[Bar]:
    """Daily bars of one security: a random walk with intraday range and volume."""
    rng = random.Random(seed)
    price = 10.0 + code % 50
    rows: List[Bar] = []
    for day in as_int(trading_days(days)).tolist():
        open_ = price
        price = max(1.0, price * math.exp(rng.gauss(0.0005, 0.02)))
        high = max(open_, price) * (1.0 + abs(rng.gauss(0.0, 0.01)))
        low = min(open_, price) * (1.0 - abs(rng.gauss(0.0, 0.01)))
        volume = float(rng.randint(10_000, 90_000))
        rows.append((code, day, open_, high, low, price, volume))
    return rows


def fmt(values: Sequence[float], last: int = 6) -> str:
    return "[" + ", ".join("nan" if v != v else f"{v:.3f}" for v in values[-last:]) + "]"


def single_security() -> None:
    rows = synthetic_bars(600000, 120, seed=1)
    open_, high, low, close, vol = ([r[k] for r in rows] for k in (2, 3, 4, 5, 6))
    print(f"== one security with tarvex_core: 600000, the last 6 of 120 bars, "
          f"{day_text(rows[-6][1])} to {day_text(rows[-1][1])} ==")
    print("Each line is one indicator on the closing prices, printed to 3 decimals "
          "(MACD, RSI and BOLL are rounded to 3 decimals, KDJ is not):")
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
    crosses = [day_text(rows[i][1]) for i, x in enumerate(tc.CROSS(tc.MA(close, 5), tc.MA(close, 20))) if x == 1.0]
    print("The days MA5 crossed above MA20:", ", ".join(crosses))


def market() -> None:
    rows: List[Bar] = []
    for seed, number in enumerate((600000, 1, 300750)):
        rows += synthetic_bars(number, 60, seed=seed + 10)
    random.Random(0).shuffle(rows)  # any row order works
    code, date, open_, high, low, close, volume = (list(c) for c in zip(*rows))

    print("\n== BATCH: 3 securities x 60 bars, rows shuffled ==")
    print("The table comes back by code, then date; four of its rows (first and last of a code):")
    codes, dates, fields, values = tc.BATCH(["macd", "ma"], [[], [5, 20]], code, date,
                                            open_, high, low, close, volume)
    print("fields:", fields)
    for t in (0, 59, 60, len(codes) - 1):
        print(f"  code {codes[t]:06d} date {day_text(dates[t])}:",
              ", ".join(f"{f}={fmt([col[t]], 1)[1:-1]}" for f, col in zip(fields, values)))

    _, _, fields, signals = tc.BATCH_CROSS(["ma"], [[5, 20]], code, date, open_, high, low, close,
                                           volume, False)
    print("BATCH_CROSS counts the crossings of MA5 and MA20 over the three codes:", fields,
          "up:", signals[0].count(1.0), "down:", signals[0].count(-1.0))

    amount = [c * v for c, v in zip(close, volume)]
    float_mv = [c * 1e6 for c in close]
    index = tc.ZHISHU(code, date, open_, high, low, close, volume, amount, float_mv, float_mv, 2, 1000.0)
    print(f"\n== ZHISHU: a composite index of the three codes, weighted by free-float value from 1000 ==")
    print(f"{len(index[0])} index bars from {len(code)} rows; the last three:")
    for t in range(-3, 0):
        print(f"  {day_text(index[0][t])}: open {index[1][t]:.2f} high {index[2][t]:.2f} low {index[3][t]:.2f} "
              f"close {index[4][t]:.2f} change {index[5][t]:+.3f}% constituents {index[8][t]}")


def whole_market_with_arrays(codes: int = 2000, days: int = 500) -> None:
    rows: List[Bar] = []
    for number in range(1, codes + 1):
        rows += synthetic_bars(number, days, seed=number)
    columns = [np.array(c) for c in zip(*rows)]
    order = np.random.default_rng(0).permutation(len(rows))  # any row order works
    code, date, open_, high, low, close, volume = (c[order] for c in columns)
    market = {"code": code, "date": date, "open": open_, "high": high, "low": low, "close": close, "vol": volume}

    print(f"\n== tarvex {tarvex.__version__}: {codes} securities x {days} bars as NumPy columns ==")
    print("A formula screen picks the codes whose MACD crossed upward under the zero line on their last bar:")
    screen_text = "DIF:=EMA(CLOSE,12)-EMA(CLOSE,26); DEA:=EMA(DIF,9); CROSS(DIF,DEA) AND DIF<0;"
    start = time.perf_counter()
    picked = tarvex.screen(screen_text, market)
    print(f"  {len(picked)} codes in {(time.perf_counter() - start) * 1e3:.0f} ms, the first "
          f"{', '.join(f'{c:06d}' for c in picked[:5])}")
    print("tarvex.batch computes a table of indicators for every code on every core:")
    start = time.perf_counter()
    table = tarvex.batch(["macd", "kdj", "rsi", "boll", "ma"], [[], [], [], [], [5, 10, 20, 60]],
                         code, date, open_, high, low, close, volume)
    print(f"  {len(table['code'])} rows x {len(table) - 2} fields in "
          f"{(time.perf_counter() - start) * 1e3:.0f} ms on {tarvex.default_threads()} threads")
    one = table["code"] == 7
    print(f"  code 000007 on {day_text(int(table['date'][one][-1]))}:",
          ", ".join(f"{f}={table[f][one][-1]:.3f}" for f in ("dif", "k", "rsi", "ma20")))


def frames() -> None:
    try:
        import pandas as pd
    except ImportError:
        print("\n(pandas is not installed: pip install '.[pandas]' from a checkout to see DataFrames in and out)")
        return
    rows: List[Bar] = []
    for seed, code in enumerate((1, 600000, 300750)):
        rows += synthetic_bars(code, 80, seed=seed + 20)
    market = pd.DataFrame(rows, columns=["code", "date", "open", "high", "low", "close", "volume"])
    market["code"] = market["code"].map("{:06d}".format)  # codes stay strings
    market["date"] = pd.to_datetime(market["date"].astype(str))
    pd.set_option("display.precision", 3)
    pd.set_option("display.width", 120)

    print("\n== DataFrames: one security keeps its index ==")
    one = market[market["code"] == "600000"].drop(columns="code").set_index("date")
    print("The last 3 rows of MACD, KDJ and MA5/MA20 for 600000, by date:")
    print(one.tarvex.indicators(["macd", "kdj", ("ma", [5, 20])]).tail(3).to_string())
    print("A whole market gives one row per bar with its original code and date (the last bar of each code):")
    table = tarvex.indicators(market, ["rsi", ("ma", [5, 20])])
    print(table.groupby("code").tail(1).to_string(index=False))
    print("Crossings of MA5 and MA20, +1 upward and -1 downward:")
    signals = tarvex.crosses(market, [("ma", [5, 20])])
    print(signals[signals["cross"] != 0].tail(4).to_string(index=False))
    print("An equal-weighted composite index of the three codes from 1000 (the last 3 days):")
    print(tarvex.composite(market, "equal").tail(3).to_string(index=False))

    print("\n== Adjusted prices and weekly bars ==")
    events = pd.DataFrame({"code": ["600000"], "date": ["2024-03-01"], "cash": [0.5], "bonus": [0.1]})
    print("600000 pays 0.5 cash and 1 bonus share per 10 on 2024-03-01; forward-adjusted, its earlier closes scale:")
    adjusted = tarvex.adjust(market, events)
    before = (market["code"] == "600000") & (market["date"] < "2024-03-01")
    print(pd.DataFrame({"date": market["date"][before], "close": market["close"][before],
                        "adjusted": adjusted["close"][before]}).tail(2).to_string(index=False))
    print("Weekly MACD of every code on those prices, the last week (partial: the week is not over):")
    weekly = tarvex.indicators(market, ["macd"], period="W", adjust=events)
    print(weekly.groupby("code").tail(1).to_string(index=False))


if __name__ == "__main__":
    single_security()
    market()
    whole_market_with_arrays()
    frames()
