"""Time tarvex side by side with numpy, pandas, TA-Lib and polars.

    python benchmarks/peers.py [--quick] [--repeat 3] [--seed 1] [--sections 1,2,3,4,5,6]
                               [--ma1000-reference MS]

Every time is the best of --repeat runs (time.perf_counter) in this one
process, so the ratios compare like with like on whatever the machine is
doing. Ratios are peer time / tarvex time: above 1, tarvex is faster. Each
section ends with "target: ... met/missed" lines; nothing is asserted.

Sections: 1 rolling and smoothing functions on one long series, 2 indicators
on one long series, 3 tarvex_core with NumPy and list input and a long window,
4 a whole market (tarvex.batch against per-code formulations of the peers),
5 peak memory of tarvex.MA on a large column (in a child process), 6 small
calls (one security's 250 or 1,000 bars, as a loop over securities makes them).

pandas and polars are timed on their own Series (conversion from NumPy
outside the clock), TA-Lib and tarvex on NumPy arrays. A peer that is not
installed is skipped with a note. Install the peers with
`pip install '.[bench]'`.
"""
import argparse
import gc
import importlib
import importlib.metadata
import os
import resource
import subprocess
import sys
import time

import numpy as np

import tarvex
from batch import timed as best_of  # the timing helper of the batch benchmark
import tarvex_core

NAMES = ["macd", "kdj", "rsi", "boll", "ma"]
PARAMS = [[], [], [], [], [5, 10, 20, 60]]
FIELDS = ["dif", "dea", "macd", "k", "d", "j", "rsi", "upper", "mid", "lower", "ma5", "ma10", "ma20", "ma60"]
MA_PERIODS = (5, 10, 20, 60)
TABLE = ("code", "date", "open", "high", "low", "close", "volume")  # tarvex.batch's input columns


talib = pd = pl = None  # the peers, imported by load_peers()


def load_peers():
    """Imports the peers that are installed; the memory child imports none."""
    global talib, pd, pl

    def optional(module):
        try:
            return importlib.import_module(module)
        except ImportError as exc:
            print(f"note: {module} is not available ({exc}); its columns are skipped")
            return None

    talib, pd, pl = optional("talib"), optional("pandas"), optional("polars")


# ---------------------------------------------------------------- measuring

def timed(fn, repeat):
    """Best wall time of `repeat` calls in ms, and the last result (the
    timing helper shared with the batch benchmark)."""
    best, result = best_of(fn, repeat=repeat)
    return best * 1e3, result


def cell(ms, reference=None):
    if ms is None:
        return "-"
    if reference is None:
        return f"{ms:.1f} ms"
    return f"{ms:.1f} ms ({ms / reference:.2f}x)"


def table(title, header, rows):
    print(f"\n{title}")
    rows = [header] + rows
    widths = [max(len(r[i]) for r in rows) for i in range(len(header))]
    for i, r in enumerate(rows):
        print("  " + "  ".join(c.ljust(w) if j == 0 else c.rjust(w) for j, (c, w) in enumerate(zip(r, widths))))
        if i == 0:
            print("  " + "  ".join("-" * w for w in widths))


def target(text, met, detail=""):
    verdict = "skipped" if met is None else ("met" if met else "missed")
    print(f"target: {text}: {verdict}" + (f" ({detail})" if detail else ""))


def check_ratios(text, pairs, limit, faster):
    """One target over several functions. `pairs` maps a label to (tarvex ms,
    peer ms); with `faster` the peer must be `limit` times slower than tarvex,
    otherwise tarvex must be within `limit` times the peer."""
    pairs = {k: v for k, v in pairs.items() if v[1] is not None}
    if not pairs:
        target(text, None, "peer not available")
        return
    ratios = {k: (p / t if faster else t / p) for k, (t, p) in pairs.items()}
    met = all(r >= limit for r in ratios.values()) if faster else all(r <= limit for r in ratios.values())
    word = "peer/tarvex" if faster else "tarvex/peer"
    target(text, met, f"{word}: " + ", ".join(f"{k} {r:.2f}x" for k, r in ratios.items()))


def columns_of(result):
    """The output columns of a result (one array, a tuple of them, or a table)
    with their names."""
    if isinstance(result, (tuple, list)):
        return [(f"output {i}", col) for i, col in enumerate(result)]
    if isinstance(result, dict) or (pl is not None and isinstance(result, pl.DataFrame)):
        return [(f, result[f]) for f in FIELDS]
    return [("", result)]


def agreement(name, got, reference, keep, atol):
    """A note naming the first output of the peer result `got` that does not
    match tarvex on the rows `keep` (warm-up and seeding conventions differ,
    the rest must not); an empty list if all match."""
    for (_, a), (field, b) in zip(columns_of(reference), columns_of(got)):
        a, b = np.asarray(a, dtype=float)[keep], np.asarray(b, dtype=float)[keep]
        if not np.allclose(a, b, rtol=1e-6, atol=atol, equal_nan=True):
            return [f"{name} {field} (max |diff| {np.nanmax(np.abs(a - b)):.3g})".replace("  ", " ")]
    return []


def print_agreement(bad):
    print("peer results agree with tarvex after the warm-up" if not bad else
          "peer results that differ from tarvex after the warm-up: " + ", ".join(bad))


# ---------------------------------------------------------------- data

def bars(securities, count, rng, volatility, suspended=0.0):
    """Random-walk bars, security after security: high >= open, close >= low,
    prices with two decimals, a fraction `suspended` of closes NaN."""
    n = securities * count
    start = rng.uniform(5.0, 50.0, securities)
    walk = np.cumsum(rng.normal(0.0, volatility, (securities, count)), axis=1)
    price = (start[:, None] * np.exp(walk)).ravel()
    close = np.round(price, 2)
    open_ = np.round(price * rng.uniform(0.98, 1.02, n), 2)
    high = np.maximum(np.round(price * (1.0 + rng.random(n) * 0.03), 2), open_)
    low = np.minimum(np.round(price * (1.0 - rng.random(n) * 0.03), 2), open_)
    close[rng.random(n) < suspended] = np.nan
    return {
        "code": np.repeat(np.arange(600000, 600000 + securities, dtype=np.int64), count),
        "date": np.tile(np.arange(20000101, 20000101 + count, dtype=np.int64), securities),
        "open": open_, "high": high, "low": low, "close": close,
        "volume": rng.integers(1000, 1000000, n).astype(np.float64),
    }


def reorder(t, order):
    return {k: v[order] for k, v in t.items()}


def segment_starts(code):
    """Where each code's rows begin in a column grouped by code."""
    return np.flatnonzero(np.r_[True, code[1:] != code[:-1]])


def by_code(t):
    """The price columns of the rows with a finite close, sorted by code and
    date, and the start of each code's rows: the per-code methods' first step."""
    finite = np.flatnonzero(np.isfinite(t["close"]))
    order = finite[np.lexsort((t["date"][finite], t["code"][finite]))]
    s = {k: t[k][order] for k in ("code", "date", "high", "low", "close")}
    return s, segment_starts(s["code"])


# ---------------------------------------------------------------- pandas formulations

class PandasOne:
    """pandas windows over one series."""

    def ewm(self, s, alpha):
        return s.ewm(alpha=alpha, adjust=False).mean()

    def roll(self, s, n, how, **kw):
        return getattr(s.rolling(n), how)(**kw)

    def diff(self, s):
        return s.diff()


class PandasGrouped:
    """pandas windows per code over a table sorted by code and date; results
    keep the table's row order and index."""

    def __init__(self, key):
        self.key = key

    def ewm(self, s, alpha):
        return pd.Series(s.groupby(self.key, sort=False).ewm(alpha=alpha, adjust=False).mean().to_numpy())

    def roll(self, s, n, how, **kw):
        return pd.Series(getattr(s.groupby(self.key, sort=False).rolling(n), how)(**kw).to_numpy())

    def diff(self, s):
        return s.groupby(self.key, sort=False).diff()


def pd_macd(P, c):
    dif = P.ewm(c, 2 / 13) - P.ewm(c, 2 / 27)
    dea = P.ewm(dif, 2 / 10)
    return dif.round(3), dea.round(3), ((dif - dea) * 2).round(3)


def pd_kdj(P, c, h, l):
    ll = P.roll(l, 9, "min")
    hh = P.roll(h, 9, "max")
    k = P.ewm((c - ll) / (hh - ll) * 100, 1 / 3)
    d = P.ewm(k, 1 / 3)
    return k, d, k * 3 - d * 2


def pd_rsi(P, c, n=24):
    delta = P.diff(c)
    return (P.ewm(delta.clip(lower=0), 1 / n) / P.ewm(delta.abs(), 1 / n) * 100).round(3)


def pd_boll(P, c, n=20):
    mid = P.roll(c, n, "mean")
    width = P.roll(c, n, "std", ddof=0) * 2
    return (mid + width).round(3), mid.round(3), (mid - width).round(3)


def pd_market(t):
    df = pd.DataFrame(t)
    df = df[np.isfinite(df["close"])].sort_values(["code", "date"], ignore_index=True)
    P = PandasGrouped(df["code"])
    c = df["close"]
    out = [*pd_macd(P, c), *pd_kdj(P, c, df["high"], df["low"]), pd_rsi(P, c), *pd_boll(P, c),
           *(P.roll(c, n, "mean") for n in MA_PERIODS)]
    return {"code": df["code"], "date": df["date"], **dict(zip(FIELDS, out))}


# ---------------------------------------------------------------- polars formulation

def pl_market(t):
    def over(e):
        return e.over("code")

    def ewm(e, alpha):
        return over(e.ewm_mean(alpha=alpha, adjust=False))

    c, h, l = pl.col("close"), pl.col("high"), pl.col("low")
    return (
        pl.DataFrame(t).lazy()
        .filter(c.is_finite())
        .sort(["code", "date"])
        .with_columns(
            ema12=ewm(c, 2 / 13), ema26=ewm(c, 2 / 27),
            ll=over(l.rolling_min(9)), hh=over(h.rolling_max(9)), delta=over(c.diff()),
            mid=over(c.rolling_mean(20)), sd=over(c.rolling_std(20, ddof=0)),
            **{f"ma{n}": over(c.rolling_mean(n)) for n in MA_PERIODS})
        .with_columns(dif=pl.col("ema12") - pl.col("ema26"),
                      rsv=(c - pl.col("ll")) / (pl.col("hh") - pl.col("ll")) * 100)
        .with_columns(dea=ewm(pl.col("dif"), 2 / 10), k=ewm(pl.col("rsv"), 1 / 3),
                      rsi=(ewm(pl.col("delta").clip(lower_bound=0), 1 / 24)
                           / ewm(pl.col("delta").abs(), 1 / 24) * 100).round(3),
                      upper=(pl.col("mid") + pl.col("sd") * 2).round(3),
                      lower=(pl.col("mid") - pl.col("sd") * 2).round(3))
        .with_columns(macd=((pl.col("dif") - pl.col("dea")) * 2).round(3), d=ewm(pl.col("k"), 1 / 3))
        .with_columns(j=pl.col("k") * 3 - pl.col("d") * 2,
                      dif=pl.col("dif").round(3), dea=pl.col("dea").round(3), mid=pl.col("mid").round(3))
        .select(["code", "date", *FIELDS])
        .collect()
    )


# ---------------------------------------------------------------- TA-Lib formulation

def ta_kdj(c, h, l):
    # STOCH's slow lines with an EMA of period 5 (alpha 1/3) are the K and D
    # of KDJ(9, 3, 3), up to the seeding of the smoothing.
    k, d = talib.STOCH(h, l, c, fastk_period=9, slowk_period=5, slowk_matype=1,
                       slowd_period=5, slowd_matype=1)
    return k, d


def ta_market(t):
    """TA-Lib code by code over the table sorted by code and date."""
    s, starts = by_code(t)
    c, h, l = s["close"], s["high"], s["low"]
    edges = np.r_[starts, len(c)]
    out = {f: np.empty(len(c)) for f in FIELDS}
    for lo, hi in zip(edges[:-1], edges[1:]):
        cs, hs, ls = c[lo:hi], h[lo:hi], l[lo:hi]
        dif, dea, hist = talib.MACD(cs, 12, 26, 9)
        k, d = ta_kdj(cs, hs, ls)
        upper, mid, lower = talib.BBANDS(cs, 20, 2.0, 2.0, 0)
        columns = [np.round(dif, 3), np.round(dea, 3), np.round(hist * 2, 3), k, d, k * 3 - d * 2,
                   np.round(talib.RSI(cs, 24), 3), np.round(upper, 3), np.round(mid, 3), np.round(lower, 3),
                   *(talib.SMA(cs, n) for n in MA_PERIODS)]
        for f, col in zip(FIELDS, columns):
            out[f][lo:hi] = col
    return {"code": s["code"], "date": s["date"], **out}


# ---------------------------------------------------------------- sections

def section_rolling(a, close):
    n = len(close)
    P = PandasOne()
    ps = pd.Series(close) if pd else None
    qs = pl.Series(close) if pl else None
    cases = [
        ("MA 20", lambda: tarvex.MA(close, 20), lambda: talib.SMA(close, 20),
         lambda: P.roll(ps, 20, "mean"), lambda: qs.rolling_mean(20)),
        ("EMA 12", lambda: tarvex.EMA(close, 12), lambda: talib.EMA(close, 12),
         lambda: P.ewm(ps, 2 / 13), lambda: qs.ewm_mean(alpha=2 / 13, adjust=False)),
        ("HHV 20", lambda: tarvex.HHV(close, 20), lambda: talib.MAX(close, 20),
         lambda: P.roll(ps, 20, "max"), lambda: qs.rolling_max(20)),
        ("STD 20", lambda: tarvex.STD(close, 20), lambda: talib.STDDEV(close, 20, 1.0),
         lambda: P.roll(ps, 20, "std", ddof=0), lambda: qs.rolling_std(20, ddof=0)),
        ("SUM 20", lambda: tarvex.SUM(close, 20), lambda: talib.SUM(close, 20),
         lambda: P.roll(ps, 20, "sum"), lambda: qs.rolling_sum(20)),
    ]
    rows, vs_talib, vs_pandas, bad = [], {}, {}, []
    for label, ours, *peers in cases:
        t_ours, want = timed(ours, a.repeat)
        times = []
        for peer, present, fn in zip(("TA-Lib", "pandas", "polars"), (talib, pd, pl), peers):
            if present is None:
                times.append(None)
                continue
            ms, got = timed(fn, a.repeat)
            times.append(ms)
            bad += agreement(f"{peer} {label}", got, want, slice(n // 10, None), 1e-9)
        rows.append([label, cell(t_ours)] + [cell(ms, t_ours) for ms in times])
        vs_talib[label] = (t_ours, times[0])
        vs_pandas[label] = (t_ours, times[1])
    table(f"1. rolling and smoothing functions, {n:,} float64 bars (ratio: peer/tarvex)",
          ["function", "tarvex", "TA-Lib", "pandas", "polars"], rows)
    print_agreement(bad)
    check_ratios("each function within 1.5x of TA-Lib", vs_talib, 1.5, faster=False)
    check_ratios("each function at least 5x faster than pandas", vs_pandas, 5.0, faster=True)


def section_indicators(a, t):
    c, h, l = t["close"], t["high"], t["low"]
    n = len(c)
    P = PandasOne()
    ps = {k: pd.Series(v) for k, v in t.items()} if pd else {}
    cases = [
        ("MACD", lambda: tarvex.MACD(c), lambda: talib.MACD(c, 12, 26, 9), lambda: pd_macd(P, ps["close"])),
        ("KDJ", lambda: tarvex.KDJ(c, h, l), lambda: ta_kdj(c, h, l),
         lambda: pd_kdj(P, ps["close"], ps["high"], ps["low"])),
        ("RSI", lambda: tarvex.RSI(c), lambda: talib.RSI(c, 24), lambda: pd_rsi(P, ps["close"])),
        ("BOLL", lambda: tarvex.BOLL(c), lambda: talib.BBANDS(c, 20, 2.0, 2.0, 0), lambda: pd_boll(P, ps["close"])),
    ]
    rows, vs_talib, vs_pandas, bad = [], {}, {}, []
    for label, ours, ta_fn, pd_fn in cases:
        t_ours, want = timed(ours, a.repeat)
        t_ta = t_pd = None
        if talib:
            t_ta, _ = timed(ta_fn, a.repeat)
        if pd:
            t_pd, got = timed(pd_fn, a.repeat)
            bad += agreement(f"pandas {label}", got, want, slice(n // 10, None), 2e-3)
        rows.append([label, cell(t_ours), cell(t_ta, t_ours), cell(t_pd, t_ours)])
        vs_talib[label] = (t_ours, t_ta)
        vs_pandas[label] = (t_ours, t_pd)
    table(f"2. indicators, {n:,} bars (ratio: peer/tarvex; TA-Lib STOCH/RSI/BBANDS for reference)",
          ["indicator", "tarvex", "TA-Lib", "pandas"], rows)
    print_agreement(bad)
    check_ratios("MACD within 1.5x of TA-Lib", {"MACD": vs_talib["MACD"]}, 1.5, faster=False)
    check_ratios("each indicator at least 5x faster than pandas", vs_pandas, 5.0, faster=True)


def section_core(a, close):
    as_list = close.tolist()
    n = len(close)
    t_np, _ = timed(lambda: tarvex_core.MA(close, 20), a.repeat)
    t_list, _ = timed(lambda: tarvex_core.MA(as_list, 20), a.repeat)
    t_core_long, _ = timed(lambda: tarvex_core.MA(as_list, 1000), a.repeat)
    t_long, _ = timed(lambda: tarvex.MA(close, 1000), a.repeat)
    table(f"3. tarvex_core, {n:,} bars",
          ["call", "time"],
          [["tarvex_core.MA(float64 array, 20)", cell(t_np)],
           ["tarvex_core.MA(list, 20)", cell(t_list)],
           ["tarvex_core.MA(list, 1000)", cell(t_core_long)],
           ["tarvex.MA(float64 array, 1000)", cell(t_long)]])
    target("tarvex_core.MA with a float64 array at least as fast as with a list", t_np <= t_list,
           f"array/list {t_np / t_list:.2f}x")
    if a.ma1000_reference:
        speedup = a.ma1000_reference / t_core_long
        target("tarvex_core.MA(list, 1000) 3x faster than the previous release", speedup >= 3.0,
               f"{a.ma1000_reference:.1f} ms before, {speedup:.2f}x")
    else:
        target("tarvex_core.MA(list, 1000) 3x faster than the previous release", None,
               "give the previous release's time on this machine with --ma1000-reference MS")


def section_market(a):
    rng = np.random.default_rng(a.seed + 1)
    grouped = bars(a.securities, a.market_bars, rng, 0.02, suspended=0.005)
    rows_in = len(grouped["close"])
    shuffled = reorder(grouped, rng.permutation(rows_in))
    orders = {"shuffled": shuffled, "grouped by code": grouped,
              "date by date": reorder(grouped, np.lexsort((grouped["code"], grouped["date"])))}
    columns = [shuffled[k] for k in TABLE]
    batch = getattr(tarvex, "batch", None)
    cores = os.cpu_count() or 1

    # tarvex_core.BATCH first: its result is what the other methods are checked against.
    as_lists = [c.tolist() for c in columns]
    t_core, result = timed(lambda: tarvex_core.BATCH(NAMES, PARAMS, *as_lists), a.repeat)
    del as_lists
    codes = np.array(result[0])
    reference = {f: np.array(col) for f, col in zip(result[2], result[3])}
    del result
    rows_out = len(codes)
    same_size = [codes, codes] + [reference[f] for f in FIELDS]
    t_lists, _ = timed(lambda: [col.tolist() for col in same_size], a.repeat)
    del same_size
    # Rows past 70% of a code's bars, where warm-up and seeding no longer show.
    first = segment_starts(codes)
    keep = np.arange(rows_out) - np.repeat(first, np.diff(np.r_[first, rows_out])) >= a.market_bars * 7 // 10
    bad = []

    def measure(label, fn):
        ms, got = timed(fn, a.repeat)
        nonlocal bad
        bad += agreement(label, got, reference, keep, 2e-3)
        return ms

    rows, times = [], {}
    if batch is None:
        print("\nnote: tarvex.batch is not available in this build; its rows and targets are skipped")
    else:
        for name, t in orders.items():
            times[name] = measure(f"tarvex.batch ({name})", lambda: batch(NAMES, PARAMS, *(t[k] for k in TABLE)))
        times["threads=1"] = measure("tarvex.batch threads=1", lambda: batch(NAMES, PARAMS, *columns, threads=1))
        times["threads=2"] = times["shuffled"] if cores == 2 else measure(
            "tarvex.batch threads=2", lambda: batch(NAMES, PARAMS, *columns, threads=2))
        rows += [[f"tarvex.batch ({name})", cell(ms, times["shuffled"])] for name, ms in times.items()
                 if name != "threads=2" or cores != 2]
    t_batch = times.get("shuffled")

    def per_code_functions():
        s, starts = by_code(shuffled)
        c, h, l = s["close"], s["high"], s["low"]
        return [*tarvex.MACD(c, starts=starts), *tarvex.KDJ(c, h, l, starts=starts), tarvex.RSI(c, starts=starts),
                *tarvex.BOLL(c, starts=starts), *(tarvex.MA(c, n, starts=starts) for n in MA_PERIODS)]

    rows.append(["tarvex functions with starts= (numpy sort included)",
                 cell(measure("tarvex with starts=", per_code_functions), t_batch)])
    peers = {}
    for label, present, fn in (("polars over(\"code\")", pl, lambda: pl_market(shuffled)),
                               ("pandas groupby rolling/ewm", pd, lambda: pd_market(shuffled)),
                               ("TA-Lib loop over codes", talib, lambda: ta_market(shuffled))):
        peers[label] = measure(label, fn) if present else None
        rows.append([label, cell(peers[label], t_batch)])
    rows += [["tarvex_core.BATCH (list input)", cell(t_core, t_batch)],
             ["  building its result lists alone (tolist)", cell(t_lists, t_batch)]]

    table(f"4. whole market, {a.securities:,} codes x {a.market_bars:,} bars = {rows_in:,} rows, "
          f"{rows_out:,} with a finite close; {' '.join(NAMES)} {PARAMS[-1]} "
          f"(shuffled rows, {cores} threads unless said; ratio: time/tarvex.batch)",
          ["method", "time"], rows)
    print_agreement(bad)
    polars_ms, pandas_ms, talib_ms = peers.values()
    goals = [("tarvex.batch faster than polars", polars_ms, 1.0),
             ("tarvex.batch 30x faster than pandas", pandas_ms, 30.0),
             ("tarvex.batch 5x faster than the TA-Lib loop", talib_ms, 5.0)]
    if batch is None:
        for text in [g[0] for g in goals] + ["tarvex.batch within 20% whatever the row order",
                                             "tarvex.batch 1.7x faster on 2 threads than on 1"]:
            target(text, None, "tarvex.batch not available")
    else:
        for text, peer_ms, limit in goals:
            check_ratios(text, {"batch": (t_batch, peer_ms)}, limit, faster=True)
        by_order = [times[name] for name in orders]
        spread = max(by_order) / min(by_order)
        target("tarvex.batch within 20% whatever the row order", spread <= 1.2,
               f"slowest/fastest {spread:.2f}x")
        speedup = times["threads=1"] / times["threads=2"]
        target("tarvex.batch 1.7x faster on 2 threads than on 1", speedup >= 1.7 if cores >= 2 else None,
               f"{speedup:.2f}x" + ("" if cores >= 2 else ", one core"))
    target("tarvex_core.BATCH within 1.5x of building its result lists alone", t_core <= 1.5 * t_lists,
           f"{t_core / t_lists:.2f}x")


def section_small(a):
    """Calls on one security's bars, as a loop over securities makes them:
    each time is the best per-call mean over --repeat rounds of many calls,
    the two libraries alternating within each round."""
    if talib is None:
        target("small calls within 1.5x of TA-Lib", None, "TA-Lib not available")
        return
    rows, pairs = [], {}
    for n in (250, 1000):
        t = bars(1, n, np.random.default_rng(a.seed + n), 0.01)
        c, h, l = t["close"], t["high"], t["low"]
        cases = [("MA 20", lambda: tarvex.MA(c, 20), lambda: talib.SMA(c, 20)),
                 ("EMA 12", lambda: tarvex.EMA(c, 12), lambda: talib.EMA(c, 12)),
                 ("MACD (digits=None)", lambda: tarvex.MACD(c, digits=None), lambda: talib.MACD(c, 12, 26, 9)),
                 ("KDJ / STOCH", lambda: tarvex.KDJ(c, h, l), lambda: ta_kdj(c, h, l))]
        calls = 100 if a.quick else 500
        for label, ours, peer in cases:
            best = [float("inf"), float("inf")]
            for _ in range(max(a.repeat, 20)):
                for i, fn in enumerate((ours, peer)):
                    start = time.perf_counter()
                    for _ in range(calls):
                        fn()
                    best[i] = min(best[i], (time.perf_counter() - start) / calls * 1e6)
            rows.append([f"{label}, {n} bars", f"{best[0]:.1f} us", f"{best[1]:.1f} us ({best[1] / best[0]:.2f}x)"])
            pairs[f"{label.split()[0]} {n}"] = (best[0], best[1])
    table("6. small calls on float64 arrays (ratio: peer/tarvex)", ["call", "tarvex", "TA-Lib"], rows)
    check_ratios("each small call within 1.5x of TA-Lib", pairs, 1.5, faster=False)


def peak_resident():
    """Peak resident size of this process in bytes. Linux's VmHWM belongs to
    the process image alone; ru_maxrss also keeps the peak of the parent that
    spawned it, which would hide a smaller child's growth."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def memory_child(n):
    """Runs in a fresh interpreter: the growth of the peak resident size while
    tarvex.MA runs on n float64 values, the input size and the final peak."""
    x = np.empty(n)
    np.random.default_rng(0).standard_normal(out=x)
    np.cumsum(x, out=x)  # in place, so that making the input leaves no higher peak behind
    tarvex.MA(x[:100_000], 20)  # the library and its threads are loaded before measuring
    gc.collect()
    before = peak_resident()
    y = tarvex.MA(x, 20)
    after = peak_resident()
    print(after - before, x.nbytes, after, len(y))


def section_memory(a):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory-child", str(a.memory_values)],
                         capture_output=True, text=True)
    if out.returncode != 0:
        print(f"\n5. memory: the child process failed:\n{out.stderr}")
        target("tarvex.MA peak memory at most 2.5x its input", False, "child failed")
        return
    grew, size, peak, _ = map(int, out.stdout.split())
    table(f"5. peak memory of tarvex.MA(x, 20), {a.memory_values:,} float64 values, fresh process",
          ["measure", "MiB"],
          [["input", f"{size / 2**20:.0f}"],
           ["peak resident growth during the call", f"{grew / 2**20:.0f}"],
           ["peak resident size of the process", f"{peak / 2**20:.0f}"]])
    target("tarvex.MA peak memory at most 2.5x its input", grew <= 2.5 * size, f"{grew / size:.2f}x the input")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small sizes, for a smoke test")
    ap.add_argument("--repeat", type=int, default=3, help="best of this many runs per measurement")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--sections", default="1,2,3,4,5,6", help="comma-separated section numbers")
    ap.add_argument("--ma1000-reference", type=float, metavar="MS",
                    help="the previous release's tarvex_core.MA(list, 1000) time on this machine")
    ap.add_argument("--memory-child", type=int, help=argparse.SUPPRESS)
    a = ap.parse_args()
    if a.memory_child:
        memory_child(a.memory_child)
        return
    load_peers()
    a.bars, a.securities, a.market_bars, a.memory_values = (
        (100_000, 300, 400, 5_000_000) if a.quick else (1_000_000, 3000, 1000, 50_000_000))
    sections = {int(s) for s in a.sections.split(",")}
    print(f"tarvex {importlib.metadata.version('tarvex')} on {os.cpu_count()} cores, Python {sys.version.split()[0]}, "
          f"numpy {np.__version__}, pandas {pd.__version__ if pd else '-'}, polars {pl.__version__ if pl else '-'}, "
          f"TA-Lib {talib.__version__ if talib else '-'}; best of {a.repeat}")
    start = time.perf_counter()
    one = bars(1, a.bars, np.random.default_rng(a.seed), 0.001)
    if 1 in sections:
        section_rolling(a, one["close"])
    if 2 in sections:
        section_indicators(a, one)
    if 3 in sections:
        section_core(a, one["close"])
    if 4 in sections:
        section_market(a)
    if 5 in sections:
        section_memory(a)
    if 6 in sections:
        section_small(a)
    print(f"\ntotal {time.perf_counter() - start:.0f} s")


if __name__ == "__main__":
    main()
