"""MACD, KDJ, RSI and BOLL compute every bar in one loop; each must give bit
for bit what the literal composition of the module's primitives gives, for
any data (NaN runs, infinities, zeros, flat prices), any small parameter and
every rounding."""
import math
import random

import numpy as np
from hypothesis import given, settings, strategies as st

import tarvex as tv
import tarvex_core as tc
from helpers import INF, NAN, assert_same
from rebuild import gdiv, ieee_div, max0, sub, times


def rounded(outputs, digits):
    return [s if digits is None else tc.RD(s, digits) for s in outputs]


def macd(c, short, long, m):
    dif = sub(tc.EMA(c, short), tc.EMA(c, long))
    dea = tc.EMA(dif, m)
    return dif, dea, times(sub(dif, dea), 2.0)


def kdj(c, h, l, n, m1, m2):
    alpha = [ieee_div(2.0, float(2 * m - 1) + 1.0) for m in (m1, m2)]
    ll, hh = tc.LLV(l, n), tc.HHV(h, n)
    k = tc.DMA(times(gdiv(sub(c, ll), sub(hh, ll)), 100.0), alpha[0])
    d = tc.DMA(k, alpha[1])
    return k, d, sub(times(k, 3.0), times(d, 2.0))


def rsi(c, n):
    delta = sub(c, tc.REF(c, 1))
    alpha = ieee_div(1.0, float(n))
    return (times(gdiv(tc.DMA(max0(delta), alpha), tc.DMA(tc.ABS(delta), alpha)), 100.0),)


def boll(c, n, p):
    mid, width = tc.MA(c, n), times(tc.STD(c, n), p)
    return [x + w for x, w in zip(mid, width)], mid, sub(mid, width)


CASES = {  # composition, price columns, parameter ranges, rounded
    "MACD": (macd, 1, [range(0, 6)] * 3, True),
    "KDJ": (kdj, 3, [range(0, 6)] * 3, False),
    "RSI": (rsi, 1, [range(0, 6)], True),
    "BOLL": (boll, 1, [range(0, 6), [2.0, 0.0, 1.0, -1.5, 0.1, INF]], True),
}


def check(name, cols, params, digits):
    compose, _, _, rounds = CASES[name]
    if rounds:  # the package takes `digits`
        want = rounded(compose(*cols, *params), digits)
        got = getattr(tv, name)(*[np.array(c, dtype=float) for c in cols], *params, digits=digits)
        got = [g.tolist() for g in ([got] if name == "RSI" else got)]
    else:  # the module reads columns of unequal length over their common prefix
        want, got = compose(*cols, *params), getattr(tc, name)(*cols, *params)
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert_same(g, w)


# Prices on a coarse grid (ties and flat windows are common) with NaN runs,
# infinities and zeros in between.
price = st.one_of(st.sampled_from([1.0, 1.5, 2.0, 2.5]), st.floats(-1e3, 1e3),
                  st.sampled_from([NAN, INF, -INF, 0.0, -0.0, 1e300]))
column = st.lists(price, max_size=50).flatmap(
    lambda xs: st.integers(0, len(xs)).map(lambda k: xs[:k] + [NAN] * (len(xs) // 5) + xs[k:]))


@settings(max_examples=120, deadline=None)
@given(st.sampled_from(sorted(CASES)), st.lists(column, min_size=3, max_size=3), st.data(),
       st.sampled_from([3, 5, None]))
def test_single_pass_matches_the_composition(name, columns, data, digits):
    _, width, ranges, _ = CASES[name]
    params = [data.draw(st.sampled_from(list(r))) for r in ranges]
    check(name, columns[:width], params, digits)


def walk(rng, n):
    """A random walk with NaN runs, flat stretches and a few infinities."""
    out, p = [], 10.0
    while len(out) < n:
        r = rng.random()
        if r < 0.02:
            out += [NAN] * rng.randrange(1, 40)
        elif r < 0.04:
            out += [p] * rng.randrange(1, 30)
        elif r < 0.045:
            out.append(rng.choice([INF, -INF, 0.0]))
        else:
            p = round(p + rng.gauss(0.0, 0.1), 2)
            out.append(p)
    return out[:n]


def test_long_series_across_chunks():
    rng = random.Random(5)
    for n in (511, 512, 513, 3000):
        c = walk(rng, n)
        h, l = [x + 0.05 for x in c], [x - 0.05 for x in c]
        for digits in (3, None):
            check("MACD", [c], (12, 26, 9), digits)
            check("RSI", [c], (6,), digits)
            check("BOLL", [c], (20, 2.0), digits)
        check("KDJ", [c, h, l], (9, 3, 3), None)


def test_state_turned_nan_by_arithmetic_is_seeded_again():
    # +inf then -inf turns both averages NaN (inf - inf) and the next number
    # seeds them again; RSI's smoothing with n = 0 turns NaN at every step.
    c = [1.0, INF, 2.0, 3.0, -INF, 4.0, 5.0] * 100
    for digits in (3, None):
        check("MACD", [c], (2, 3, 2), digits)
        check("RSI", [c], (0,), digits)
    assert not math.isnan(tv.MACD(c, digits=None).dif[6])
