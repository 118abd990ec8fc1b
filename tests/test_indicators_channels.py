"""Channels and volatility: BOLL, ATR, TAQ, KTN, XSII, MASS."""
import math

import pytest

import tarvex_core as tc
from helpers import NAN, assert_close, assert_same
from rebuild import (Case, add, bars, check_common_prefix, first_defined, gdiv, over, reference_columns, sub, times,
                     true_range, typical, warmup)


def boll(c, n, p):
    mid = tc.MA(c, n)
    width = times(tc.STD(c, n), p)
    return tc.RD(add(mid, width), 3), tc.RD(mid, 3), tc.RD(sub(mid, width), 3)


def atr(c, h, l, n):
    return tc.MA(true_range(c, h, l), n)


def taq(h, l, n):
    up, down = tc.HHV(h, n), tc.LLV(l, n)
    return up, times(add(up, down), 0.5), down


def ktn(c, h, l, n, m):
    mid = tc.EMA(typical(c, h, l), n)
    width = times(tc.MA(true_range(c, h, l), m), 2.0)
    return add(mid, width), mid, sub(mid, width)


def xsii(c, h, l, n, m):
    aa = over(add(add(times(c, 2.0), h), l), 4.0)
    b = tc.MA(aa, 5)
    c20 = tc.MA(c, 20)
    dd = tc.DMA(c, gdiv(tc.ABS(sub(aa, c20)), c20))
    return (times(b, n / 100.0), times(b, (200 - n) / 100.0),
            times(dd, m / 100.0 + 1.0), times(dd, 1.0 - m / 100.0))


def mass(h, l, n1, n2, m):
    m1 = tc.MA(sub(h, l), n1)
    line = tc.SUM(gdiv(m1, tc.MA(m1, n1)), n2)
    return line, tc.MA(line, m)


CASES = {
    "BOLL": Case(tc.BOLL, boll, ("close",), [(20, 2.0), (0, 2.0), (1, 0.5), (3, -1.25), (500, 2.0)]),
    "ATR": Case(tc.ATR, atr, ("close", "high", "low"), [(20,), (0,), (1,), (500,)], single=True),
    "TAQ": Case(tc.TAQ, taq, ("high", "low"), [(20,), (0,), (1,), (500,)]),
    "KTN": Case(tc.KTN, ktn, ("close", "high", "low"), [(20, 10), (0, 0), (1, 1), (3, 500)]),
    "XSII": Case(tc.XSII, xsii, ("close", "high", "low"), [(102, 7), (0, 0), (100, 250), (201, 3), (2**64 - 1, 1)]),
    "MASS": Case(tc.MASS, mass, ("high", "low"), [(9, 25, 6), (0, 1, 1), (1, 0, 1), (2, 3, 0), (3, 500, 2)]),
}



@pytest.mark.parametrize("name, params, first", [
    ("BOLL", (20, 2.0), (19, 19, 19)), ("BOLL", (1, 2.0), (0, 0, 0)),
    ("ATR", (20,), (20,)), ("ATR", (1,), (1,)),
    ("TAQ", (20,), (19, 19, 19)), ("TAQ", (1,), (0, 0, 0)),
    ("KTN", (20, 10), (10, 0, 10)), ("KTN", (3, 1), (1, 0, 1)),
    ("XSII", (102, 7), (4, 4, 0, 0)),
    ("MASS", (9, 25, 6), (40, 45)), ("MASS", (2, 3, 2), (4, 5)),
])
def test_warmup_on_clean_data(name, params, first):
    assert warmup(CASES[name], params, seed=21) == first


def test_boll_examples():
    for s in tc.BOLL([10.0] * 30, 5):
        assert_same(s, [NAN] * 4 + [10.0] * 26)
    up, mid, low = tc.BOLL(bars(seed=22)["close"], 10, 0.0)
    assert_same(up, mid)
    assert_same(low, mid)


def test_boll_nan_close_does_not_flatten_the_bands():
    close = bars(seed=23, flat_rate=0.0)["close"]
    close[30] = NAN
    up, mid, low = tc.BOLL(close, 5)
    for s in (up, mid, low):
        assert [i for i, v in enumerate(s) if math.isnan(v)] == [0, 1, 2, 3] + list(range(30, 35))
    assert all(u > m > d for u, m, d in zip(up[35:], mid[35:], low[35:]))


def test_atr_period_one_is_true_range():
    b = bars(seed=24)
    got = tc.ATR(b["close"], b["high"], b["low"], 1)
    assert math.isnan(got[0])
    assert_same(got[1:], true_range(b["close"], b["high"], b["low"])[1:])


def test_taq_period_one_and_lengths():
    b = bars(seed=25, n=12)
    up, mid, down = tc.TAQ(b["high"], b["low"][:9], 1)
    assert_same(up, b["high"])
    assert_same(down, b["low"][:9])
    assert_same(mid, times(add(b["high"], b["low"]), 0.5)[:9])


def test_ktn_band_period_covering_every_bar():
    b = bars(seed=26, n=20)
    up, mid, down = tc.KTN(b["close"], b["high"], b["low"], 20, 20)
    assert first_defined(mid) == 0
    assert all(math.isnan(v) for v in up + down)


@pytest.mark.parametrize("name, params", [("ATR", (3,)), ("KTN", (3, 2)), ("XSII", (102, 7))])
def test_unequal_lengths_use_common_prefix(name, params):
    b = bars(seed=27, n=40)
    h, l = b["high"][:35], b["low"]
    check_common_prefix(CASES[name], [b["close"][:30], h, l], params, 30)
    up, mid, down = tc.TAQ(h, l[:32], 3)
    assert (len(up), len(mid), len(down)) == (35, 32, 32)


def test_xsii_short_close_is_a_plain_band():
    b = bars(seed=28, n=19)
    _, _, td3, td4 = tc.XSII(b["close"], b["high"], b["low"], 102, 7)
    assert_same(td3, times(b["close"], 7 / 100.0 + 1.0))
    assert_same(td4, times(b["close"], 1.0 - 7 / 100.0))


def test_xsii_two_speed_factors():
    b = bars(seed=29)
    td1, td2, _, _ = tc.XSII(b["close"], b["high"], b["low"], 100)
    assert_same(td1, td2)
    base = tc.MA(over(add(add(times(b["close"], 2.0), b["high"]), b["low"]), 4.0), 5)
    # Beyond 200 days the second factor turns negative instead of wrapping.
    _, td2, _, _ = tc.XSII(b["close"], b["high"], b["low"], 250)
    assert_same(td2, times(base, -0.5))


@pytest.mark.parametrize("short", ["high", "low"])
def test_xsii_needs_high_and_low_as_long_as_close(short):
    b = bars(seed=30, n=25)
    args = {k: b[k] for k in ("close", "high", "low")}
    args[short] = args[short][:24]
    with pytest.raises(ValueError, match="^high and low must be at least as long as close$"):
        tc.XSII(**args)
    assert tc.XSII([5.0], [], [6.0]) == ([], [], [5.0 * (1.0 + 0.07)], [5.0 * (1.0 - 0.07)])


def test_mass_without_range_is_nan():
    b = bars(seed=31)
    assert all(math.isnan(v) for s in tc.MASS(b["high"], b["high"], 2, 3, 2) for v in s)


def test_taq_reference_table():
    high, low, up, down, mid = reference_columns(
        "cs-dc.csv", "high", "low", "upper_band", "lower_band", "middle_band")
    got = tc.TAQ(high, low, 20)
    for g, w in zip(got, (up, mid, down)):
        assert first_defined(g) == 19
        assert_close(g[19:], w[19:], 0.005 + 1e-9)


def test_atr_reference_true_range():
    high, low, close, tr = reference_columns("cs-atr.csv", "High", "Low", "Close", "TR")
    got = tc.ATR(close, high, low, 1)
    assert math.isnan(got[0])
    assert_close(got[1:], tr[1:], 1e-9)
