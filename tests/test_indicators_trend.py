"""Trend and momentum indicators: MACD, TRIX, DFMA, EXPMA, BBI, DPO, MTM, ROC."""
import math

import pytest

import tarvex_core as tc
from helpers import NAN, assert_same
from rebuild import Case, add, bars, gdiv, over, sub, times, warmup


def rd(s):
    return tc.RD(s, 3)


def macd(c, short, long, m):
    dif = sub(tc.EMA(c, short), tc.EMA(c, long))
    dea = tc.EMA(dif, m)
    return rd(dif), rd(dea), rd(times(sub(dif, dea), 2.0))


def trix(c, m1, m2):
    tr = tc.EMA(tc.EMA(tc.EMA(c, m1), m1), m1)
    prev = tc.REF(tr, 1)
    t = times(gdiv(sub(tr, prev), prev), 100.0)
    return t, tc.MA(t, m2)


def dfma(c, n1, n2, m):
    dif = sub(tc.MA(c, n1), tc.MA(c, n2))
    return dif, tc.MA(dif, m)


def expma(c, n1, n2):
    return tc.EMA(c, n1), tc.EMA(c, n2)


def bbi(c, m1, m2, m3, m4):
    return over(add(add(tc.MA(c, m1), tc.MA(c, m2)), add(tc.MA(c, m3), tc.MA(c, m4))), 4.0)


def dpo(c, m1, m2, m3):
    d = sub(c, tc.REF(tc.MA(c, m1), m2))
    return d, tc.MA(d, m3)


def mtm(c, n, m):
    d = sub(c, tc.REF(c, n))
    return d, tc.MA(d, m)


def roc(c, n, m):
    r = tc.REF(c, n)
    d = times(gdiv(sub(c, r), r), 100.0)
    return d, tc.MA(d, m)


CASES = {
    "MACD": Case(tc.MACD, macd, ("close",), [(12, 26, 9), (0, 0, 0), (1, 3, 200), (5, 2, 1)]),
    "TRIX": Case(tc.TRIX, trix, ("close",), [(12, 20), (0, 0), (1, 1), (3, 500)]),
    "DFMA": Case(tc.DFMA, dfma, ("close",), [(10, 50, 10), (0, 5, 3), (1, 1, 1), (60, 7, 200)]),
    "EXPMA": Case(tc.EXPMA, expma, ("close",), [(12, 50), (0, 1)]),
    "BBI": Case(tc.BBI, bbi, ("close",), [(3, 6, 12, 20), (1, 2, 3, 4), (0, 6, 12, 20), (3, 6, 12, 500)],
                single=True),
    "DPO": Case(tc.DPO, dpo, ("close",), [(20, 10, 6), (0, 0, 0), (1, 1, 1), (5, 2**32, 3), (3, 500, 2)]),
    "MTM": Case(tc.MTM, mtm, ("close",), [(12, 6), (0, 1), (1, 0), (2**32, 2), (2**32 - 1, 2), (7, 300)]),
    "ROC": Case(tc.ROC, roc, ("close",), [(12, 6), (0, 1), (1, 0), (2**63, 2), (4, 300)]),
}



def warmups(name, p):
    """First defined bar of each output on clean, zero-free data."""
    return {
        "TRIX": lambda m1, m2: (1, m2),
        "DFMA": lambda n1, n2, m: (max(n1, n2) - 1, max(n1, n2) + m - 2),
        "BBI": lambda *ms: (max(ms) - 1,),
        "DPO": lambda m1, m2, m3: (m1 + m2 - 1, m1 + m2 + m3 - 2),
        "MTM": lambda n, m: (n, n + m - 1),
        "ROC": lambda n, m: (n, n + m - 1),
        "MACD": lambda *_: (0, 0, 0),
        "EXPMA": lambda *_: (0, 0),
    }[name](*p)


@pytest.mark.parametrize("name, params", [
    ("TRIX", (12, 20)), ("TRIX", (2, 1)), ("DFMA", (10, 50, 10)), ("DFMA", (7, 3, 4)),
    ("BBI", (3, 6, 12, 20)), ("BBI", (9, 2, 5, 1)), ("DPO", (20, 10, 6)), ("DPO", (1, 0, 1)),
    ("MTM", (12, 6)), ("MTM", (0, 1)), ("ROC", (12, 6)), ("ROC", (3, 2)),
    ("MACD", (12, 26, 9)), ("EXPMA", (12, 50)),
])
def test_warmup_on_clean_data(name, params):
    assert warmup(CASES[name], params, seed=7) == warmups(name, params)


def test_macd_examples():
    assert tc.MACD([10.0]) == ([0.0], [0.0], [0.0])
    for s in tc.MACD([10.0] * 40):
        assert s == [0.0] * 40
    # Outputs carry at most three decimals.
    for s in tc.MACD(bars(seed=5)["close"]):
        assert_same(s, tc.RD(s, 3))


def test_macd_nan_bar_keeps_state():
    close = bars(seed=6, flat_rate=0.0)["close"]
    holed = close[:]
    holed[50] = NAN
    for plain, s in zip(tc.MACD(close[:50]), tc.MACD(holed)):
        assert math.isnan(s[50]) and s[:50] == plain
    assert all(not math.isnan(v) for s in tc.MACD(holed) for v in s[51:])


def test_trix_constant_and_zero_close():
    t, tm = tc.TRIX([10.0] * 30, 3, 4)
    assert_same(t, [NAN] + [0.0] * 29)
    assert_same(tm, [NAN] * 4 + [0.0] * 26)
    t, tm = tc.TRIX([0.0] * 30)
    assert all(math.isnan(v) for v in t + tm)


def test_roc_zero_divisor_gives_nan():
    close = [float(i) for i in range(1, 21)]
    close[5] = 0.0
    r, _ = tc.ROC(close, 3, 1)
    assert math.isnan(r[8]) and not math.isinf(r[8])
    assert [i for i, v in enumerate(r) if math.isnan(v)] == [0, 1, 2, 8]
    r0, _ = tc.ROC(close, 0, 1)
    assert_same(r0, [NAN if v == 0.0 else 0.0 for v in close])


def test_bbi_and_dpo_defaults_on_short_series():
    close = bars(seed=8, n=30)["close"]
    assert all(math.isnan(v) for v in tc.BBI(close[:19]))
    d, md = tc.DPO(close)
    assert all(math.isnan(v) for v in d[:29] + md)
    assert_same(d[29:], [close[29] - tc.MA(close, 20)[19]])


def test_nan_at_one_bar():
    close = bars(seed=9, flat_rate=0.0)["close"]
    close[40] = NAN
    m, _ = tc.MTM(close)
    assert [i for i, v in enumerate(m) if math.isnan(v)] == list(range(12)) + [40, 52]
    for s in tc.EXPMA(close):
        assert [i for i, v in enumerate(s) if math.isnan(v)] == [40]


@pytest.mark.parametrize("fn, n", [
    (tc.MTM, 2**32), (tc.MTM, 2**32 - 1), (tc.MTM, 2**31), (tc.ROC, 2**32), (tc.ROC, 2**64 - 1),
])
def test_huge_shift_is_never_a_copy_or_lead(fn, n):
    close = [1.0, 2.0, 3.0, 4.0]
    for s in fn(close, n, 1):
        assert all(math.isnan(v) for v in s)
    for s in tc.DPO(close, 1, n, 1):
        assert all(math.isnan(v) for v in s)
