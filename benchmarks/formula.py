"""Time a whole-market formula screen (MACD golden cross) on a synthetic
market against the batch engine's crossing signal and against the same
formula evaluated security by security in Python with tarvex calls.

    python benchmarks/formula.py [--securities 3000] [--bars 1000] [--seed 1] [--repeat 3] [--shuffle]
                                 [--orders] [--elementwise] [--periods]

All three must give the same signal; the script prints the times and the
ratios measured in this one run. --orders times the screen,
tarvex.indicators and tarvex.composite on pandas frames in each row order
and code type against the batch engine and tarvex.zhishu on integer
columns; --elementwise times a formula of some 36 element-wise steps over
the whole market, its steps on whole columns and in the engine's row
chunks, with the peak memory of each (Linux); --periods
times screens reading weekly and monthly MACD (`"MACD.DIF#WEEK"`) against
the same screens on the daily MACD, on a market dated by trading days.
"""
import argparse
import gc
import os
import subprocess
import sys

import numpy as np

import tarvex
from batch import timed, timed_together  # best-of timings, shared with the batch benchmark
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


def orders(args):
    """The formula screen, tarvex.indicators and tarvex.composite on pandas
    frames, rows ordered or shuffled, integer or text codes, against the
    batch engine and tarvex.zhishu on the shuffled integer columns."""
    import pandas as pd

    data = market(args.securities, args.bars, args.seed, True)
    plan = compile_formula(FORMULA)
    names = ["macd", "kdj", "rsi", "boll"]
    columns = [data[k] for k in ("code", "date", "open", "high", "low", "close", "volume")]
    shuffled = pd.DataFrame(data)
    frames = {"ordered, integer codes": shuffled.sort_values(["code", "date"]).reset_index(drop=True),
              "shuffled, integer codes": shuffled}
    text = shuffled.assign(code=shuffled["code"].astype(str))
    frames["ordered, text codes"] = text.sort_values(["code", "date"]).reset_index(drop=True)
    frames["shuffled, text codes"] = text
    # Text held as Python objects, one object a row as astype(str) makes
    # them (pandas 2's default), or each code's one object shared by its
    # rows (as a file reader shares equal texts).
    own = shuffled.assign(code=shuffled["code"].astype(str).astype(object))
    frames["ordered, str objects"] = own.sort_values(["code", "date"]).reset_index(drop=True)
    frames["shuffled, str objects"] = own
    codes = own["code"].to_numpy()
    shared = own.assign(code=pd.Series(pd.unique(codes)[pd.factorize(codes)[0]], dtype=object))
    frames["ordered, shared objects"] = shared.sort_values(["code", "date"]).reset_index(drop=True)
    frames["shuffled, shared objects"] = shared
    print(f"{args.securities} securities x {args.bars} bars, against the batch engine on the shuffled integer "
          "columns; each pair timed in turn, best of the rounds")
    none = np.full(len(data["close"]), np.nan)
    index_columns = [*columns, data["close"] * data["volume"], none, none]  # amount, no market values
    for label, frame in frames.items():
        t_cross, t_formula, t_batch, t_frames, t_zhishu, t_composite = timed_together(
            [lambda: by_batch(data), lambda: plan.run(frame),
             lambda: tarvex.batch(names, [[]] * len(names), *columns), lambda: tarvex.indicators(frame, names),
             lambda: tarvex.zhishu(*index_columns, 4, 1000.0), lambda: tarvex.composite(frame, "volume")],
            repeat=args.repeat)
        print(f"  {label:24s} formula {t_formula * 1e3:4.0f} ms / batch_cross {t_cross * 1e3:3.0f} ms = "
              f"{t_formula / t_cross:.2f}x   indicators {t_frames * 1e3:4.0f} ms / tarvex.batch "
              f"{t_batch * 1e3:3.0f} ms = {t_frames / t_batch:.2f}x   composite {t_composite * 1e3:4.0f} ms / "
              f"zhishu {t_zhishu * 1e3:3.0f} ms = {t_composite / t_zhishu:.2f}x")


ELEMENTWISE = ("V1:=(CLOSE-OPEN)/(HIGH-LOW+0.01); V2:=(HIGH+LOW)/2-CLOSE; V3:=VOL/(VOL+1000)*V1; "
               "V4:=V1*V2+V3*2-1; V5:=(V4>0 AND V1<1) OR V2>0; V6:=IF(V5,V1,V2)*3+V3/2; "
               "V7:=ABS(V6-V4)+MAX(V1,V2)-MIN(V3,V4); V8:=V7*V7/(1+ABS(V7)); "
               "V9:=(V8+V1-V2)*(V3-V4)/(1+ABS(V5)); OUT:V9*2+V8-V7/3;")


def peak_growth(chunk_rows, args):
    """The growth of the peak resident size while the engine runs the
    element-wise formula once with `chunk_rows` (0: whole columns), measured
    in a fresh interpreter (Linux: the peak is reset after the bars are made)."""
    code = ("import sys, formula; from tarvex.formula import engine; engine.CHUNK_ROWS = int(sys.argv[1]); "
            "formula.elementwise_peak(int(sys.argv[2]), int(sys.argv[3]))")
    out = subprocess.run([sys.executable, "-c", code, str(chunk_rows), str(args.securities * args.bars),
                          str(args.seed)], cwd=os.path.dirname(os.path.abspath(__file__)), check=True,
                         capture_output=True, text=True).stdout
    return int(out) / 2**20


def elementwise_peak(rows, seed):
    data = market(1, rows, seed, False)
    plan = compile_formula(ELEMENTWISE)
    plan.run({k: v[:10] for k, v in data.items()})  # imports and first-call work before the peak is reset

    def status(field):
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith(field)) * 1024

    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status("VmRSS:")
    plan.run(data)
    print(status("VmHWM:") - before)


def elementwise(args):
    """A formula of element-wise steps over one long column set, its steps on
    whole columns and in the engine's row chunks: time and peak memory."""
    from tarvex.formula import engine

    data = market(1, args.securities * args.bars, args.seed, False)
    plan = compile_formula(ELEMENTWISE)
    rows, chunk = len(data["close"]), engine.CHUNK_ROWS
    times, lines = {}, {}
    for label, chunk_rows in (("whole columns", 0), (f"chunks of {chunk} rows", chunk)):
        engine.CHUNK_ROWS = chunk_rows
        try:
            times[label], lines[label] = timed(lambda: plan.run(data).lines[-1].values, repeat=args.repeat)
        finally:
            engine.CHUNK_ROWS = chunk
    whole, pieces = lines.values()
    assert np.array_equal(whole.view(np.int64), pieces.view(np.int64)), "chunked run differs"
    print(f"element-wise formula ({len(plan.nodes)} steps) over {rows:,} rows:")
    for (label, t), chunk_rows in zip(times.items(), (0, chunk)):
        print(f"  {label:24s} {t * 1e3:6.0f} ms   peak memory +{peak_growth(chunk_rows, args):.0f} MiB")
    print(f"  chunks / whole = {list(times.values())[1] / list(times.values())[0]:.2f}")


def periods(args):
    """Screens on MACD of the week and month as they stand on each day
    against the same screens on the daily MACD, side by side."""
    data = market(args.securities, args.bars, args.seed, args.shuffle)
    days = np.datetime64("2015-01-05") + np.arange(args.bars * 7 // 5 + 7)
    days = days[(days.astype(np.int64) + 3) % 7 < 5][:args.bars]  # weekdays
    stamps = days.astype("datetime64[M]").astype(np.int64)
    ymd = (stamps // 12 + 1970) * 10000 + (stamps % 12 + 1) * 100 + (days - days.astype("datetime64[M]")).astype(
        np.int64) + 1
    data["date"] = ymd[data["date"] - 20000101]  # the market's dates count days from 20000101
    rows = args.securities * args.bars
    print(f"{args.securities} securities x {args.bars} trading days ({rows:,} rows"
          f"{', shuffled' if args.shuffle else ''}), screens on the last day:")
    daily_text = '"MACD.DIF">0 AND "MACD.DIF">"MACD.DEA"'
    t_daily, daily = timed(tarvex.screen, daily_text, data, repeat=args.repeat)
    print(f"  {daily_text:48s} {t_daily * 1e3:7.0f} ms   {len(daily)} codes")
    for period in ("WEEK", "MONTH"):
        text = daily_text.replace('"MACD.DIF"', f'"MACD.DIF#{period}"').replace('"MACD.DEA"', f'"MACD.DEA#{period}"')
        t, codes = timed(tarvex.screen, text, data, repeat=args.repeat)
        print(f"  {text:48s} {t * 1e3:7.0f} ms   {len(codes)} codes   {t / t_daily:.2f}x the daily screen")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--securities", type=int, default=3000)
    ap.add_argument("--bars", type=int, default=1000)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--shuffle", action="store_true", help="rows in random order")
    ap.add_argument("--orders", action="store_true", help="row orders and code types of pandas frames")
    ap.add_argument("--elementwise", action="store_true", help="a formula of element-wise steps, whole and chunked")
    ap.add_argument("--periods", action="store_true", help="screens on weekly and monthly MACD against daily")
    args = ap.parse_args()
    if args.periods:
        periods(args)
        return
    if args.orders or args.elementwise:
        if args.orders:
            orders(args)
        if args.elementwise:
            elementwise(args)
        return
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
