"""The functions that loop over bars (SAR, SUMBARS, HOD/LOD, the runs, the
signal filter, BARSCOUNT, the zigzag family, REFX and BACKSET) against slow
pure-Python twins, bit for bit, on random markets with NaN runs and several
securities back to back; SAR against TA-Lib where the two meet; and the
lookahead flags of the catalog against what the functions do."""
import math
import os
import random

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarvex
from helpers import assert_same

NAN = math.nan
EXAMPLES = int(os.environ.get("TARVEX_FUZZ_EXAMPLES", "60"))
PROPERTY = settings(max_examples=EXAMPLES, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow])


def walk(rnd, n, nan_runs=True):
    """A random walk on a coarse grid (ties happen) with runs of NaN."""
    out, v = [], 10.0
    for _ in range(n):
        v = max(0.5, v + rnd.choice([-1, 0, 1]) * rnd.choice([0.1, 0.3, 0.5, 1.0]))
        out.append(round(v, 1))
    for _ in range(rnd.randint(0, 3) if nan_runs and n else 0):
        at = rnd.randrange(n)
        for j in range(at, min(n, at + rnd.randint(1, 4))):
            out[j] = NAN
    return out


@st.composite
def market(draw, columns=1, conditions=False, bars=80):
    """Columns of one length (up to `bars`) and the starts of its securities."""
    rnd = random.Random(draw(st.integers(0, 2**32 - 1)))
    n = draw(st.integers(0, bars))
    cols = [walk(rnd, n) for _ in range(columns)]
    if conditions:  # zeros, numbers and NaN: conditions read by the truth rule
        cols = [[rnd.choice([0.0, -0.0, 1.0, 2.5, NAN, 0.0]) for _ in range(n)] for _ in range(columns)]
    starts = sorted({0, *rnd.sample(range(n), min(n, rnd.randint(0, 3)))}) if n else []
    return cols, starts


def per_segment(twin, cols, starts, *params):
    """The twin over each security on its own, back to back."""
    out = []
    ends = starts[1:] + [len(cols[0])]
    for a, b in zip(starts, ends):
        out += twin(*[c[a:b] for c in cols], *params)
    return out


def check(name, twin, cols, starts, *params):
    expected = per_segment(twin, cols, starts, *params)
    actual = getattr(tarvex, name)(*[np.array(c, dtype=float) for c in cols], *params, starts=starts or None)
    assert_same(list(actual), expected)


def holds(v):
    return v != 0.0 and not math.isnan(v)


# ---- stop and reverse ----

def sar_twin(high, low, n, step, limit, turns=False):
    out = [NAN] * len(high)
    bars = [i for i in range(len(high)) if not math.isnan(high[i]) and not math.isnan(low[i])]
    if n == 0 or len(bars) < n:
        return out
    step, limit = step / 100.0, limit / 100.0
    h, l = [high[i] for i in bars], [low[i] for i in bars]
    top = h.index(max(h[:n]))
    bottom = l.index(min(l[:n]))
    rising = top >= bottom
    stop, extreme = (l[bottom], h[top]) if rising else (h[top], l[bottom])
    af = min(step, limit)
    trend = {bars[n - 1]: rising}
    out[bars[n - 1]] = stop
    for k in range(n, len(bars)):
        nxt = stop + af * (extreme - stop)
        if rising:
            nxt = min([nxt, l[k - 1]] + ([l[k - 2]] if k >= 2 else []))
            if l[k] <= nxt:
                rising, nxt, extreme, af = False, max(extreme, h[k - 1], h[k]), l[k], min(step, limit)
            elif h[k] > extreme:
                extreme, af = h[k], min(af + step, limit)
        else:
            nxt = max([nxt, h[k - 1]] + ([h[k - 2]] if k >= 2 else []))
            if h[k] >= nxt:
                rising, nxt, extreme, af = True, min(extreme, l[k - 1], l[k]), h[k], min(step, limit)
            elif l[k] < extreme:
                extreme, af = l[k], min(af + step, limit)
        stop = nxt
        out[bars[k]] = stop
        trend[bars[k]] = rising
    if not turns:
        return out
    marks, before = [NAN] * len(high), None
    for i in sorted(trend):
        marks[i] = 0.0 if before is None or trend[i] == before else (1.0 if trend[i] else -1.0)
        before = trend[i]
    return marks


@PROPERTY
@given(market(2), st.integers(1, 6), st.sampled_from([0.0, 1.0, 2.0, 2.5]), st.sampled_from([0.0, 10.0, 20.0]))
def test_sar_and_its_turns_match_twin(m, n, step, limit):
    (a, b), starts = m
    high = [max(x, y) if not math.isnan(x + y) else x for x, y in zip(a, b)]
    low = [min(x, y) if not math.isnan(x + y) else y for x, y in zip(a, b)]
    check("SAR", sar_twin, [high, low], starts, n, step, limit)
    check("SARTURN", lambda h, l, *p: sar_twin(h, l, *p, turns=True), [high, low], starts, n, step, limit)


def test_sar_meets_talib_after_a_common_turn():
    # TA-Lib starts from the first two bars; once both turn on the same bar
    # at the same stop, both follow the same recursion (within the last bit:
    # TA-Lib's build may fuse the multiply-add).
    talib = pytest.importorskip("talib")
    rnd = np.random.default_rng(3)
    met = 0
    for _ in range(20):
        close = 10 + np.cumsum(rnd.normal(0, 0.2, 300))
        high, low = close + rnd.random(300) * 0.3, close - rnd.random(300) * 0.3
        ours = tarvex.SAR(high, low, 4, 2, 20)
        turns = tarvex.SARTURN(high, low, 4, 2, 20)
        theirs = talib.SAR(high, low, acceleration=0.02, maximum=0.2)
        common = [i for i in np.flatnonzero(np.nan_to_num(turns) != 0) if ours[i] == theirs[i]]
        if common:
            met += 1
            np.testing.assert_allclose(ours[common[0]:], theirs[common[0]:], rtol=1e-13)
    assert met >= 18


# ---- counting, ranks, runs, signals ----

def sumbars_twin(s, a):
    total = [0.0]
    for v in s:
        total.append(total[-1] + v if math.isfinite(v) else total[-1])
    out = []
    for i in range(len(s)):
        target = a[i] if isinstance(a, list) else a
        k = next((k for k in range(1, i + 2) if total[i + 1] - total[i + 1 - k] >= target), None)
        out.append(NAN if math.isnan(target) or k is None else float(k))
    return out


def rank_twin(s, n, higher):
    out = []
    for i, v in enumerate(s):
        window = [w for w in s[max(0, i - n + 1) if n else 0:i + 1] if not math.isnan(w)]
        if math.isnan(v) or (n and i + 1 < n):
            out.append(NAN)
        else:
            out.append(1.0 + sum(w > v if higher else w < v for w in window))
    return out


def runs_twin(test, length, m):
    return [1.0 if all(i - j >= 0 and test(i - j) for j in range(m)) else 0.0 for i in range(length)]


def tfilter_twin(buy, sell, n):
    out, position = [], False
    for b, s in zip(buy, sell):
        if holds(b) and not (n != 2 and position):
            out.append(1.0)
            position = True
        elif holds(s) and not (n != 1 and not position):
            out.append(2.0)
            position = False
        else:
            out.append(0.0)
    return out


def barscount_twin(s):
    first = next((i for i, v in enumerate(s) if not math.isnan(v)), len(s))
    return [NAN if i < first else float(i - first + 1) for i in range(len(s))]


@PROPERTY
@given(market(2, bars=200), st.integers(0, 8), st.sampled_from([-5.0, 0.0, 12.0, 40.0, NAN]), st.integers(0, 2),
       st.sampled_from([0, 1, 3, 20, 64, 65, 69]))
def test_counting_functions_match_twins(m, n, target, mode, window):
    # Windows up to 64 bars are counted, longer ones ranked in a tree (and
    # left by their oldest bar once a security holds more).
    (s, t), starts = m
    check("SUMBARS", sumbars_twin, [s], starts, target)
    check("SUMBARS", sumbars_twin, [s, [v - 7.0 for v in t]], starts)
    check("HOD", lambda x, k: rank_twin(x, k, True), [s], starts, window)
    check("LOD", lambda x, k: rank_twin(x, k, False), [s], starts, window)
    check("UPNDAY", lambda x, k: runs_twin(lambda i: i > 0 and x[i] > x[i - 1], len(x), k), [s], starts, n)
    check("DOWNNDAY", lambda x, k: runs_twin(lambda i: i > 0 and x[i] < x[i - 1], len(x), k), [s], starts, n)
    check("NDAY", lambda x, y, k: runs_twin(lambda i: x[i] > y[i], len(x), k), [s, t], starts, n)
    check("BARSCOUNT", barscount_twin, [s], starts)
    conds = [[1.0 if v > 10.5 else NAN if math.isnan(v) else 0.0 for v in s],
             [1.0 if v < 10.0 else 0.0 for v in t]]
    check("TFILTER", tfilter_twin, conds, starts, mode)


def test_tfilter_refuses_other_modes():
    with pytest.raises(ValueError, match="n must be 0"):
        tarvex.TFILTER([1.0], [0.0], 3)


# ---- reading later bars ----

def turns_twin(s, n):
    q, turns = n / 100.0, []
    valid = [i for i, v in enumerate(s) if not math.isnan(v)]
    if not valid:
        return turns
    up = lambda v, b: v > b and v >= b + abs(b) * q  # noqa: E731
    down = lambda v, b: v < b and v <= b - abs(b) * q  # noqa: E731
    leg, high = 0, valid[0]
    low = ext = high
    for i in valid[1:]:
        v = s[i]
        if leg == 0:
            if up(v, s[low]):
                turns, leg, ext = turns + [(low, False)], 1, i
            elif down(v, s[high]):
                turns, leg, ext = turns + [(high, True)], -1, i
            else:
                high = i if v > s[high] else high
                low = i if v < s[low] else low
        elif (leg > 0 and v > s[ext]) or (leg < 0 and v < s[ext]):
            ext = i
        elif (down if leg > 0 else up)(v, s[ext]):
            turns, leg, ext = turns + [(ext, leg > 0)], -leg, i
    return turns


def zig_twin(s, n):
    valid = [i for i, v in enumerate(s) if not math.isnan(v)]
    out = [NAN] * len(s)
    if not valid:
        return out
    vertices = sorted({valid[0], valid[-1], *(t for t, _ in turns_twin(s, n))})
    for a, b in zip(vertices, vertices[1:]):
        for i in range(a + 1, b):
            if not math.isnan(s[i]):
                out[i] = s[a] + (s[b] - s[a]) * ((i - a) / (b - a))
    for v in vertices:
        out[v] = s[v]
    return out


def latest_turn_twin(s, n, m, peak, bars):
    at = [t for t, p in turns_twin(s, n) if p == peak]
    out = []
    for i in range(len(s)):
        seen = [t for t in at if t <= i]
        out.append(NAN if m == 0 or len(seen) < m else float(i - seen[-m]) if bars else s[seen[-m]])
    return out


@PROPERTY
@given(market(), st.sampled_from([0.0, 3.0, 5.0, 10.0, 25.0]), st.integers(0, 3))
def test_zigzag_family_matches_twins(m, n, k):
    (s,), starts = m
    check("ZIG", zig_twin, [s], starts, n)
    for name, peak, bars in [("PEAK", True, False), ("PEAKBARS", True, True), ("TROUGH", False, False),
                             ("TROUGHBARS", False, True)]:
        check(name, lambda x, p, j: latest_turn_twin(x, p, j, peak, bars), [s], starts, n, k)


@PROPERTY
@given(market(conditions=True), st.integers(0, 6))
def test_refx_and_backset_match_twins(m, n):
    (s,), starts = m
    check("REFX", lambda x, k: [x[i + k] if i + k < len(x) else NAN for i in range(len(x))], [s], starts, n)
    check("BACKSET", lambda x, k: [1.0 if any(holds(v) for v in x[i:i + k]) else 0.0 for i in range(len(x))],
          [s], starts, n)


def test_zig_refuses_a_negative_reversal():
    with pytest.raises(ValueError, match="percentage"):
        tarvex.ZIG([1.0, 2.0], -1.0)


def test_lookahead_flags_say_which_functions_read_later_bars():
    # A function not flagged gives on every prefix of the bars what it gave
    # on those bars before more arrived; a flagged one does not, somewhere.
    rnd = random.Random(5)
    for rec in tarvex.catalog("function"):
        if rec.name in ("CONST", "RET"):  # the security's last bar on every bar, by definition
            continue
        changed = False
        for trial in range(12):  # prices, then columns with zeros (conditions)
            zeros, cut = 0.3 * (trial % 2), rnd.randint(15, 55)
            cols = {p.name: [0.0 if rnd.random() < zeros else v for v in walk(rnd, 60, False)] for p in rec.params}
            args = [np.array(cols[p.name]) if p.kind.startswith("series") else
                    max(p.minimum, 2) if p.kind == "integer" else 5.0 for p in rec.params]
            full = getattr(tarvex, rec.name)(*args)
            short = getattr(tarvex, rec.name)(*[a[:cut] if isinstance(a, np.ndarray) else a for a in args])
            pairs = zip(full, short) if isinstance(full, tuple) else [(full, short)]
            changed |= any(not np.array_equal(f[:cut], p, equal_nan=True) for f, p in pairs)
        assert changed == rec.lookahead, rec.name
