"""Time a whole-market formula screen (MACD golden cross) on a synthetic
market against the batch engine's crossing signal and against the same
formula evaluated security by security in Python with tarvex calls.

    python benchmarks/formula.py [--securities 3000] [--bars 1000] [--seed 1] [--repeat 3] [--shuffle]

All three must give the same signal; the script prints the times and the
ratios measured in this one run.
"""
import argparse

import numpy as np

import tarvex
from batch import timed  # the best of several timed runs, shared with the batch benchmark
from tarvex.formula import compile as compile_formula

FORMULA = "DIF:=MACD.DIF; DEA:=MACD.DEA; CROSS(DIF,DEA);"


def market(securities, bars, seed, shuffle):
    """Random walks, rows ordered by code then date unless shuffled."""
    rng = np.random.default_rng(seed)
    rows = securities * bars
    code = np.repeat(np.arange(600000, 600000 + securities, dtype=np.int64), bars)
    date = np.tile(np.arange(20000101, 20000101 + bars, dtype=np.int64), securities)
    steps = rng.normal(0.0, 0.02, rows).reshape(securities, bars)
    close = (rng.uniform(5.0, 50.0, (securities, 1)) * np.exp(np.cumsum(steps, axis=1))).round(2).ravel()
    high = (close * (1.0 + rng.random(rows) * 0.03)).round(2)
    low = (close * (1.0 - rng.random(rows) * 0.03)).round(2)
    open_ = (close * rng.uniform(0.98, 1.02, rows)).round(2)
    volume = rng.integers(1000, 1000000, rows).astype(np.float64)
    data = {"code": code, "date": date, "open": open_, "high": high, "low": low, "close": close, "volume": volume}
    if shuffle:
        order = rng.permutation(rows)
        data = {k: v[order] for k, v in data.items()}
    return data


def by_formula(plan, data):
    return plan.run(data).lines[-1].values


def by_batch(data):
    """The batch engine's MACD cross signal, upward crosses as 1.0."""
    args = (data["code"], data["date"], data["open"], data["high"], data["low"], data["close"], data["volume"])
    signal = tarvex.batch_cross(["macd"], [[]], *args, False)["cross"]
    return (signal == 1.0).astype(np.float64)


def securities(data):
    """Each security's close, oldest bar first."""
    order = np.lexsort((data["date"], data["code"]))
    code, close = data["code"][order], data["close"][order]
    starts = np.flatnonzero(np.r_[True, code[1:] != code[:-1]])
    return [close[first:stop] for first, stop in zip(starts, np.r_[starts[1:], len(code)])]


def per_security(closes):
    """The formula one security at a time: tarvex calls from a Python loop."""
    pieces = []
    for close in closes:
        macd = tarvex.MACD(close)
        pieces.append((tarvex.CROSS(macd.dif, macd.dea) == 1.0).astype(np.float64))
    return np.concatenate(pieces)


def compute_alone(closes, threads):
    """The native work of the screen without any per-call overhead: MACD and
    CROSS over every security in one segmented call each."""
    close = np.concatenate(closes)
    starts = np.cumsum([0] + [len(c) for c in closes[:-1]])
    macd = tarvex.MACD(close, starts=starts, threads=threads)
    return tarvex.CROSS(macd.dif, macd.dea, starts=starts, threads=threads)


def plan_per_security(plan, closes):
    """The compiled formula run on one security at a time."""
    return np.concatenate([plan.run({"close": close}).lines[-1].values for close in closes])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--securities", type=int, default=3000)
    ap.add_argument("--bars", type=int, default=1000)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--shuffle", action="store_true", help="rows in random order")
    args = ap.parse_args()
    data = market(args.securities, args.bars, args.seed, args.shuffle)
    plan = compile_formula(FORMULA)
    t_formula, s_formula = timed(by_formula, plan, data, repeat=args.repeat)
    t_batch, s_batch = timed(by_batch, data, repeat=args.repeat)
    closes = securities(data)
    t_python, s_python = timed(per_security, closes, repeat=1)
    t_plans, s_plans = timed(plan_per_security, plan, closes, repeat=1)
    t_one, _ = timed(compute_alone, closes, 1, repeat=args.repeat)
    t_all, _ = timed(compute_alone, closes, None, repeat=args.repeat)
    assert np.array_equal(s_formula, s_batch), "formula and batch signals differ"
    assert np.array_equal(s_formula, s_python), "formula and per-security signals differ"
    assert np.array_equal(s_formula, s_plans), "formula and per-security runs differ"
    rows = args.securities * args.bars
    print(f"{args.securities} securities x {args.bars} bars ({rows:,} rows{', shuffled' if args.shuffle else ''}), "
          f"{int(s_formula.sum())} golden crosses")
    print(f"  formula (whole market)      {t_formula * 1e3:9.1f} ms")
    print(f"  batch cross                 {t_batch * 1e3:9.1f} ms   formula / batch = {t_formula / t_batch:.2f}")
    print(f"  per security, tarvex calls  {t_python * 1e3:9.1f} ms   per security / formula = "
          f"{t_python / t_formula:.1f}")
    print(f"  per security, plan.run      {t_plans * 1e3:9.1f} ms   per security / formula = "
          f"{t_plans / t_formula:.1f}")
    print(f"  MACD and CROSS alone, one segmented call each: {t_one * 1e3:.1f} ms on one thread, "
          f"{t_all * 1e3:.1f} ms on every core")
    print(f"  (per security / this native work on every core = {t_python / t_all:.1f}: "
          "the most any whole-market run of the screen can gain)")


if __name__ == "__main__":
    main()
