"""Oscillators: KDJ, RSI, WR, BIAS, PSY, CCI."""
import math

import pytest

import tarvex_core as tc
from helpers import NAN, assert_close, assert_same
from rebuild import (Case, bars, check_common_prefix, first_defined, gdiv, gt, ieee_div, max0, over, reference_columns,
                     sub, times, typical, warmup)

def rd(s):
    return tc.RD(s, 3)


def kdj_alpha(m):
    return ieee_div(2.0, float(2 * m - 1) + 1.0)  # Python ints: signed and exact


def kdj(c, h, l, n, m1, m2):
    ll, hh = tc.LLV(l, n), tc.HHV(h, n)
    rsv = times(gdiv(sub(c, ll), sub(hh, ll)), 100.0)
    k = tc.DMA(rsv, kdj_alpha(m1))
    d = tc.DMA(k, kdj_alpha(m2))
    return k, d, sub(times(k, 3.0), times(d, 2.0))


def rsi(c, n):
    delta = sub(c, tc.REF(c, 1))
    alpha = ieee_div(1.0, float(n))
    su, sa = tc.DMA(max0(delta), alpha), tc.DMA(tc.ABS(delta), alpha)
    return rd(times(gdiv(su, sa), 100.0))


def williams(c, h, l, p):
    hh, ll = tc.HHV(h, p), tc.LLV(l, p)
    return rd(times(gdiv(sub(hh, c), sub(hh, ll)), 100.0))


def wr(c, h, l, n, n1):
    return williams(c, h, l, n), williams(c, h, l, n1)


def bias(c, *periods):
    return tuple(rd(times(gdiv(sub(c, tc.MA(c, p)), tc.MA(c, p)), 100.0)) for p in periods)


def psy(c, n, m):
    if n == 0:
        line = [NAN] * len(c)
    else:
        line = times(over(tc.SUM(gt(c, tc.REF(c, 1)), n), float(n)), 100.0)
    return rd(line), rd(tc.MA(line, m))


def cci(c, h, l, n):
    tp = typical(c, h, l)
    return gdiv(sub(tp, tc.MA(tp, n)), times(tc.AVEDEV(tp, n), 0.015))


CASES = {
    "KDJ": Case(tc.KDJ, kdj, ("close", "high", "low"),
            [(9, 3, 3), (0, 1, 1), (1, 0, 0), (5, 2**63 + 12345, 2**64 - 1), (300, 3, 3)]),
    "RSI": Case(tc.RSI, rsi, ("close",), [(24,), (0,), (1,), (500,)], single=True),
    "WR": Case(tc.WR, wr, ("close", "high", "low"), [(10, 6), (0, 1), (2, 500)]),
    "BIAS": Case(tc.BIAS, bias, ("close",), [(6, 12, 24), (0, 1, 500)]),
    "PSY": Case(tc.PSY, psy, ("close",), [(12, 6), (0, 3), (1, 0), (4, 500), (500, 1)]),
    "CCI": Case(tc.CCI, cci, ("close", "high", "low"), [(14,), (0,), (1,), (2,), (500,)], single=True),
}



@pytest.mark.parametrize("lens", [(10, 12, 12), (12, 10, 12), (12, 12, 10)])
@pytest.mark.parametrize("name", ["KDJ", "WR", "CCI"])
def test_unequal_lengths_use_common_prefix(name, lens):
    b = bars(seed=11, n=12)
    args = [b[k][:n] for k, n in zip(("close", "high", "low"), lens)]
    check_common_prefix(CASES[name], args, (3, 2) if name == "WR" else (3,), 10)


@pytest.mark.parametrize("name, params, first", [
    ("KDJ", (9, 3, 3), (8, 8, 8)), ("KDJ", (1, 2, 5), (0, 0, 0)),
    ("RSI", (24,), (1,)), ("RSI", (2,), (1,)),
    ("WR", (10, 6), (9, 5)), ("BIAS", (6, 12, 24), (5, 11, 23)),
    ("PSY", (12, 6), (11, 16)), ("PSY", (1, 1), (0, 0)),
    ("CCI", (14,), (13,)), ("CCI", (3,), (2,)),
])
def test_warmup_on_clean_data(name, params, first):
    assert warmup(CASES[name], params, seed=12) == first


@pytest.mark.parametrize("close, expected", [
    ([1.0, 2.0, 3.0], [NAN, 100.0, 100.0]),
    ([5.0, 5.0, 5.0, 6.0], [NAN, NAN, NAN, 100.0]),
    ([10.0, 11.0, 10.0, 10.5], [NAN, 100.0, 95.833, 95.922]),
])
def test_rsi_examples(close, expected):
    assert_same(tc.RSI(close), expected)


def test_kdj_flat_window_is_nan_and_recursion_resumes():
    close = [10.0, 11.0, 12.0, 5.0, 5.0, 5.0, 5.0, 7.0, 6.0]
    high = [10.5, 11.5, 12.5, 5.0, 5.0, 5.0, 5.0, 7.5, 6.5]
    low = [9.5, 10.5, 11.5, 5.0, 5.0, 5.0, 5.0, 6.5, 5.5]
    k, d, j = tc.KDJ(close, high, low, 2, 3, 3)
    assert [i for i, v in enumerate(k) if math.isnan(v)] == [0, 4, 5, 6]
    assert math.isnan(d[5]) and math.isnan(j[6])
    rsv = 100.0 * (7.0 - 5.0) / (7.5 - 5.0)
    assert_same([k[7]], [k[3] * (1.0 - 1.0 / 3.0) + rsv * (1.0 / 3.0)])


def test_kdj_period_one_follows_rsv():
    b = bars(seed=13)
    k, d, _ = tc.KDJ(b["close"], b["high"], b["low"], 9, 1, 1)
    ll, hh = tc.LLV(b["low"], 9), tc.HHV(b["high"], 9)
    assert_same(k, times(gdiv(sub(b["close"], ll), sub(hh, ll)), 100.0))
    assert_same(d, k)


def test_kdj_zero_period_smooths_like_sma_with_n_zero():
    b = bars(seed=14)
    k, d, _ = tc.KDJ(b["close"], b["high"], b["low"], 9, 0, 0)
    ll, hh = tc.LLV(b["low"], 9), tc.HHV(b["high"], 9)
    rsv = times(gdiv(sub(b["close"], ll), sub(hh, ll)), 100.0)
    assert_same(k, tc.SMA(rsv, 0))
    assert_same(d, tc.SMA(k, 0))


def test_degenerate_inputs_give_nan():
    flat = [10.0] * 15
    assert all(math.isnan(v) for s in tc.WR(flat, flat, flat) for v in s)
    assert all(math.isnan(v) for s in tc.BIAS([0.0] * 30) for v in s)
    assert all(math.isnan(v) for v in tc.CCI(flat, flat, flat, 5))
    assert all(math.isnan(v) for s in tc.PSY(flat, 0) for v in s)


def test_psy_example():
    p, pm = tc.PSY([1.0, 2.0, 3.0], 2, 1)
    assert_same(p, [NAN, 50.0, 100.0])
    assert_same(pm, p)


def test_nan_high_poisons_only_its_windows():
    b = bars(seed=15, flat_rate=0.0)
    b["high"][30] = NAN
    w, _ = tc.WR(b["close"], b["high"], b["low"], 5, 5)
    assert [i for i, v in enumerate(w) if math.isnan(v)] == [0, 1, 2, 3] + list(range(30, 35))


def test_cci_reference_table():
    high, low, close, want = reference_columns("cs-cci.csv", "High", "Low", "Close", "CCI")
    got = tc.CCI(close, high, low, 20)
    assert first_defined(got) == 19
    assert_close([round(v, 4) for v in got[19:]], want[19:], 1e-4)
