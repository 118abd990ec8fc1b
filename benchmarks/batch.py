"""Time BATCH on a synthetic market against the same columns computed security
by security with the module's single-series functions.

    python benchmarks/batch.py [--securities 3000] [--bars 1000] [--seed 1] [--repeat 3]

The market is a random walk per security, a few suspended bars (NaN close),
all rows shuffled. Only the standard library is needed.
"""
import argparse
import gc
import math
import random
import time

import tarvex_core as tc

NAMES = ["macd", "kdj", "rsi", "boll", "ma"]
PARAMS = [[], [], [], [], [5, 10, 20, 60]]


def market(securities, bars, seed):
    rnd = random.Random(seed)
    rows = []
    for s in range(securities):
        code = 600000 + s
        price = rnd.uniform(5.0, 50.0)
        for b in range(bars):
            price *= math.exp(rnd.gauss(0.0, 0.02))
            close = math.nan if rnd.random() < 0.005 else round(price, 2)
            high = round(price * (1.0 + rnd.random() * 0.03), 2)
            low = round(price * (1.0 - rnd.random() * 0.03), 2)
            rows.append((code, 20000101 + b, round(price * rnd.uniform(0.98, 1.02), 2), high, low, close,
                         float(rnd.randrange(1000, 1000000))))
    rnd.shuffle(rows)
    return [list(col) for col in zip(*rows)]  # code, date, open, high, low, close, volume


def per_security(code, date, open_, high, low, close, volume):
    """The BATCH columns, one security at a time, from Python."""
    rows_of = {}
    for r, (c, x) in enumerate(zip(code, close)):
        if math.isfinite(x):
            rows_of.setdefault(c, []).append(r)
    columns = [[] for _ in range(14)]
    for c in sorted(rows_of):
        rows = sorted(rows_of[c], key=date.__getitem__)
        cl = [close[r] for r in rows]
        hi = [high[r] for r in rows]
        lo = [low[r] for r in rows]
        outputs = [*tc.MACD(cl), *tc.KDJ(cl, hi, lo), tc.RSI(cl), *tc.BOLL(cl),
                   tc.MA(cl, 5), tc.MA(cl, 10), tc.MA(cl, 20), tc.MA(cl, 60)]
        for col, s in zip(columns, outputs):
            col += s
    return columns


def timed(fn, *args, repeat=1):
    """Best wall time of `repeat` runs, and the last result."""
    best, result = math.inf, None
    for _ in range(repeat):
        result = None
        gc.collect()
        start = time.perf_counter()
        result = fn(*args)
        best = min(best, time.perf_counter() - start)
    return best, result


def timed_together(fns, repeat=1):
    """Best wall time of each of `fns` over `repeat` rounds, each round
    running every one in turn: a machine whose speed drifts slows them
    alike, so their ratios hold."""
    best = [math.inf] * len(fns)
    for _ in range(repeat):
        for k, fn in enumerate(fns):
            gc.collect()
            start = time.perf_counter()
            fn()
            best[k] = min(best[k], time.perf_counter() - start)
    return best


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--securities", type=int, default=3000)
    ap.add_argument("--bars", type=int, default=1000)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--repeat", type=int, default=3, help="best of this many runs per measurement")
    a = ap.parse_args()

    t_gen, table = timed(market, a.securities, a.bars, a.seed)
    print(f"market: {a.securities} securities x {a.bars} bars = {len(table[0])} rows, shuffled "
          f"(generated in {t_gen:.1f} s)")

    t_batch, result = timed(tc.BATCH, NAMES, PARAMS, *table, repeat=a.repeat)
    fields = result[2]
    print(f"BATCH {NAMES} {PARAMS}: {t_batch:.3f} s, {len(fields)} columns x {len(result[0])} rows")
    t_loop, columns = timed(per_security, *table, repeat=a.repeat)
    assert len(columns) == len(fields) and all(
        a == b or (a != a and b != b) for col, want in zip(result[3], columns) for a, b in zip(col, want))
    del result, columns
    print(f"single-series functions security by security: {t_loop:.3f} s")
    print(f"ratio (per-security loop / BATCH): {t_loop / t_batch:.2f}x")

    t_ma, result = timed(tc.BATCH, ["ma"], [[5]], *table, repeat=a.repeat)
    print(f"BATCH ['ma'] [[5]] (conversion, grouping and result building dominate): {t_ma:.3f} s")


if __name__ == "__main__":
    main()
