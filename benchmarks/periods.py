"""Time tarvex.resample to weeks against pandas and polars, and
tarvex.adjust against one pass over the price columns, on one synthetic
market, side by side in one run; prints the times and the ratios.

    python benchmarks/periods.py [--codes 5000] [--days 5000] [--events 20000] [--repeat 1]

The market: `codes` securities (integer codes) over `days` business days,
open, high, low, close, volume and amount, about 1% of the bars suspended,
all rows shuffled, in a pandas DataFrame (the same frame for every library).
pandas: groupby by code, then resample("W") with the same aggregations;
polars: sort by code and date (the rows come shuffled), then
group_by_dynamic("1w") by code. pandas takes minutes over the whole market:
it is timed on a share of the codes (a tenth unless told) and scaled by rows.
Every result's closes are checked against tarvex's. Needs pandas and polars (`pip install '.[bench]'`).
"""
import argparse
import gc
import math
import time

import numpy as np
import pandas as pd
import polars as pl

import tarvex

AGGREGATE = {"open": "first", "high": "max", "low": "min", "close": "last", "volume": "sum", "amount": "sum"}


def market(codes, days, seed):
    rng = np.random.default_rng(seed)
    calendar = pd.bdate_range("2000-01-03", periods=days).values
    code = np.repeat(np.arange(600000, 600000 + codes, dtype=np.int64), days)
    date = np.tile(calendar, codes)
    close = np.exp(rng.normal(0, 0.01, (codes, days)).cumsum(axis=1)).ravel() * 10
    keep = rng.random(len(close)) > 0.01
    order = rng.permutation(int(keep.sum()))
    close = close[keep][order]
    frame = pd.DataFrame({"code": code[keep][order], "date": date[keep][order], "open": close * 1.001,
                          "high": close * 1.01, "low": close * 0.99, "close": close,
                          "volume": rng.integers(100, 10000, len(close)).astype(float),
                          "amount": rng.integers(1000, 100000, len(close)).astype(float)})
    return frame


def timed(fn, repeat):
    best, result = math.inf, None
    for _ in range(repeat):
        result = None
        gc.collect()
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def pandas_weeks(frame):
    return frame.set_index("date").groupby("code").resample("W").agg(AGGREGATE).dropna(subset=["close"])


def polars_weeks(frame):
    aggregations = [pl.col("open").first(), pl.col("high").max(), pl.col("low").min(), pl.col("close").last(),
                    pl.col("volume").sum(), pl.col("amount").sum()]
    return (frame.sort(["code", "date"]).group_by_dynamic("date", every="1w", group_by="code")
            .agg(aggregations))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--codes", type=int, default=5000)
    parser.add_argument("--days", type=int, default=5000)
    parser.add_argument("--events", type=int, default=20000)
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--pandas-share", type=float, default=0.1, help="share of the codes pandas is timed on")
    args = parser.parse_args()
    frame = market(args.codes, args.days, args.seed)
    print(f"{len(frame):,} rows: {args.codes:,} codes x {args.days:,} days, shuffled; "
          f"{tarvex.default_threads()} threads")

    t_tarvex, weeks = timed(lambda: tarvex.resample(frame, "W"), args.repeat)
    print(f"resample to weeks   tarvex {t_tarvex:8.3f} s  ({len(weeks):,} weekly bars)")
    as_polars = pl.from_pandas(frame)
    t_polars, by_polars = timed(lambda: polars_weeks(as_polars), args.repeat)
    del as_polars
    assert np.array_equal(by_polars["close"].to_numpy(), weeks["close"].to_numpy())
    print(f"                    polars {t_polars:8.3f} s  tarvex {t_polars / t_tarvex:5.1f}x faster")
    # pandas resamples group by group, in time linear in the number of
    # groups: it is timed on the first `pandas_share` of the codes and
    # scaled to the market.
    part = frame[frame.code < 600000 + max(1, int(args.codes * args.pandas_share))]
    t_part, by_pandas = timed(lambda: pandas_weeks(part), 1)
    assert np.array_equal(by_pandas["close"].to_numpy(), weeks["close"].to_numpy()[:len(by_pandas)])
    t_pandas = t_part * len(frame) / len(part)
    share = "" if len(part) == len(frame) else f" (timed on {len(part):,} rows, scaled)"
    print(f"                    pandas {t_pandas:8.3f} s  tarvex {t_pandas / t_tarvex:5.1f}x faster{share}")
    del weeks, by_polars

    rng = np.random.default_rng(args.seed + 1)
    days = pd.bdate_range("2000-01-03", periods=args.days)
    events = pd.DataFrame({"code": rng.integers(600000, 600000 + args.codes, args.events),
                           "date": days[rng.integers(1, args.days, args.events)],
                           "cash": rng.uniform(0, 0.01, args.events), "bonus": rng.choice([0, 0, 0.3], args.events)})
    # adjust and its baseline alternate, each the best of at least three
    # runs: a machine shared with other work slows one run or another, not
    # one of the two throughout.
    columns = [frame[c].to_numpy() for c in ("open", "high", "low", "close")]
    t_adjust = t_numpy = math.inf
    for _ in range(max(args.repeat, 3)):
        t, adjusted = timed(lambda: tarvex.adjust(frame, events), 1)
        t_adjust = min(t_adjust, t)
        factor = adjusted["close"].to_numpy() / columns[3]
        assert np.allclose(adjusted["open"].to_numpy(), columns[0] * factor)
        del adjusted
        t, _ = timed(lambda: [np.multiply(c, factor) for c in columns], 1)
        t_numpy = min(t_numpy, t)
    print(f"adjust ({args.events:,} events) tarvex {t_adjust:8.3f} s")
    print(f"  np.multiply of 4 columns by a factor {t_numpy:8.3f} s  tarvex takes {t_adjust / t_numpy:4.2f}x")


if __name__ == "__main__":
    main()
