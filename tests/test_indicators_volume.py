"""Volume and directional indicators: OBV, VR, CR, EMV, BRAR, ASI, DMI, MFI."""
import math

import pytest

import tarvex_core as tc
from helpers import NAN, assert_close, assert_same
from rebuild import (Case, add, bars, both, check_common_prefix, gdiv, gt, ieee_div, if0, le, lt, max0, mul, over,
                     reference_columns, sub, times, typical, warmup)


def obv(c, v):
    lc = tc.REF(c, 1)
    flow = tc.IF(gt(c, lc), v, tc.IF(lt(c, lc), times(v, -1.0), 0.0))
    return over(tc.SUM(flow, 0), 10000.0)


def vr(c, v, m1):
    lc = tc.REF(c, 1)
    return times(gdiv(tc.SUM(if0(lt(lc, c), v), m1), tc.SUM(if0(le(c, lc), v), m1)), 100.0)


def cr(c, h, l, n):
    mid = over(tc.REF(add(add(h, l), c), 1), 3.0)
    return times(gdiv(tc.SUM(max0(sub(h, mid)), n), tc.SUM(max0(sub(mid, l)), n)), 100.0)


def emv(h, l, v, n, m):
    volume = gdiv(tc.MA(v, n), v)
    hl = add(h, l)
    mid = times(gdiv(sub(hl, tc.REF(hl, 1)), hl), 100.0)
    u = gdiv(mul(mul(mid, volume), sub(h, l)), tc.MA(sub(h, l), n))
    line = tc.MA(u, n)
    return line, tc.MA(line, m)


def brar(o, c, h, l, m1):
    lc = tc.REF(c, 1)
    ar = times(gdiv(tc.SUM(sub(h, o), m1), tc.SUM(sub(o, l), m1)), 100.0)
    br = times(gdiv(tc.SUM(max0(sub(h, lc)), m1), tc.SUM(max0(sub(lc, l)), m1)), 100.0)
    return ar, br


def asi(o, c, h, l, m1, m2):
    lc, lo, ll = tc.REF(c, 1), tc.REF(o, 1), tc.REF(l, 1)
    aa, bb = tc.ABS(sub(h, lc)), tc.ABS(sub(l, lc))
    cc, dd = tc.ABS(sub(h, ll)), tc.ABS(sub(lc, lo))
    r1 = add(aa, add(times(bb, 0.5), times(dd, 0.25)))
    r2 = add(bb, add(times(aa, 0.5), times(dd, 0.25)))
    r3 = add(cc, times(dd, 0.25))
    r = tc.IF(both(gt(aa, bb), gt(aa, cc)), r1, tc.IF(both(gt(bb, cc), gt(bb, aa)), r2, r3))
    x = add(sub(c, lc), add(times(sub(c, o), 0.5), sub(lc, lo)))
    si = mul(gdiv(times(x, 16.0), r), tc.MAX(aa, bb))
    line = tc.SUM(si, m1)
    return line, tc.MA(line, m2)


def dmi(c, h, l, m1, m2):
    lc = tc.REF(c, 1)
    tr = tc.SUM(tc.MAX(tc.MAX(sub(h, l), tc.ABS(sub(h, lc))), tc.ABS(sub(l, lc))), m1)
    hd, ld = sub(h, tc.REF(h, 1)), sub(tc.REF(l, 1), l)
    zero = [0.0] * len(hd)
    dmp = tc.SUM(if0(both(gt(hd, zero), gt(hd, ld)), hd), m1)
    dmm = tc.SUM(if0(both(gt(ld, zero), gt(ld, hd)), ld), m1)
    pdi, mdi = gdiv(times(dmp, 100.0), tr), gdiv(times(dmm, 100.0), tr)
    adx = tc.MA(times(gdiv(tc.ABS(sub(mdi, pdi)), add(pdi, mdi)), 100.0), m2)
    return pdi, mdi, adx, times(add(adx, tc.REF(adx, m2)), 0.5)


def mfi(c, h, l, v, n):
    typ = typical(c, h, l)
    pt, flow = tc.REF(typ, 1), mul(typ, v)
    ratio = gdiv(tc.SUM(if0(lt(pt, typ), flow), n), tc.SUM(if0(lt(typ, pt), flow), n))
    return [100.0 - ieee_div(100.0, r + 1.0) for r in ratio]


CASES = {
    "OBV": Case(tc.OBV, obv, ("close", "vol"), [()], single=True),
    "VR": Case(tc.VR, vr, ("close", "vol"), [(26,), (0,), (1,), (500,)], single=True),
    "CR": Case(tc.CR, cr, ("close", "high", "low"), [(20,), (0,), (1,), (500,)], single=True),
    "EMV": Case(tc.EMV, emv, ("high", "low", "vol"), [(14, 9), (0, 1), (1, 0), (3, 2), (200, 2)]),
    "BRAR": Case(tc.BRAR, brar, ("open", "close", "high", "low"), [(26,), (0,), (1,), (500,)]),
    "ASI": Case(tc.ASI, asi, ("open", "close", "high", "low"), [(26, 10), (0, 1), (1, 0), (4, 3), (500, 1)]),
    "DMI": Case(tc.DMI, dmi, ("close", "high", "low"), [(14, 6), (0, 1), (1, 0), (3, 2), (3, 2**32), (500, 1)]),
    "MFI": Case(tc.MFI, mfi, ("close", "high", "low", "vol"), [(14,), (0,), (1,), (500,)], single=True),
}



@pytest.mark.parametrize("name, params, first", [
    ("OBV", (), (0,)), ("VR", (26,), (25,)), ("VR", (2,), (1,)),
    ("CR", (20,), (20,)), ("CR", (1,), (1,)),
    ("EMV", (14, 9), (26, 34)), ("EMV", (3, 2), (4, 5)), ("EMV", (1, 1), (1, 1)),
    ("BRAR", (26,), (25, 26)), ("BRAR", (2,), (1, 2)), ("BRAR", (0,), (0, None)),
    ("ASI", (26, 10), (26, 35)), ("ASI", (0, 3), (None, None)),
    ("DMI", (14, 6), (14, 14, 19, 25)), ("DMI", (3, 2), (3, 3, 4, 6)),
    ("DMI", (0, 2), (None,) * 4), ("DMI", (3, 0), (3, 3, None, None)),
    ("MFI", (14,), (13,)), ("MFI", (3,), (2,)),
])
def test_warmup_on_clean_data(name, params, first):
    assert warmup(CASES[name], params, seed=41) == first


@pytest.mark.parametrize("name, params", [
    ("VR", (3,)), ("CR", (3,)), ("EMV", (3, 2)), ("BRAR", (3,)), ("ASI", (3, 2)), ("DMI", (3, 2)), ("MFI", (3,)),
])
@pytest.mark.parametrize("shortest", [0, 1, 2, 3])
def test_unequal_lengths_use_common_prefix(name, params, shortest):
    case = CASES[name]
    b = bars(seed=42, n=40)
    args = [b[c][:30 if i == shortest % len(case.cols) else 40 - i] for i, c in enumerate(case.cols)]
    check_common_prefix(case, args, params, 30)


def test_obv_example_and_short_vol():
    assert_same(tc.OBV([10.0, 11.0, 11.0, 10.0], [100.0, 200.0, 300.0, 400.0]), [0.0, 0.02, 0.02, -0.02])
    # A flat tail needs no volume; a move past the end of vol does.
    assert_same(tc.OBV([10.0, 11.0, 11.0, NAN], [100.0, 200.0]), [0.0, 0.02, 0.02, 0.02])
    for close in ([10.0, 11.0, 12.0], [10.0, 11.0, 11.0, 9.0]):
        with pytest.raises(ValueError, match="^vol must be at least as long as close$"):
            tc.OBV(close, [100.0, 200.0])


def test_obv_nan_volume_on_a_move_stays_nan():
    got = tc.OBV([1.0, 1.0, 2.0, 3.0, 3.0], [5.0, NAN, NAN, 7.0, NAN])
    assert_same(got, [0.0, 0.0, NAN, NAN, NAN])


def test_vr_example():
    got = tc.VR([10.0, 11.0, 10.0, 12.0], [1.0, 2.0, 3.0, 4.0], 2)
    assert_same(got, [NAN, NAN, 2.0 / 3.0 * 100.0, 4.0 / 3.0 * 100.0])


def test_zero_periods_give_nan():
    b = bars(seed=43)
    assert all(math.isnan(v) for v in tc.CR(b["close"], b["high"], b["low"], 0))
    assert all(math.isnan(v) for s in tc.ASI(b["open"], b["close"], b["high"], b["low"], 0) for v in s)
    assert all(math.isnan(v) for s in tc.DMI(b["close"], b["high"], b["low"], 0) for v in s)
    assert all(math.isnan(v) for v in tc.EMV(b["high"], b["low"], b["vol"], 5, 0)[1])


def test_mfi_rising_window_is_nan():
    price = [float(p) for p in range(10, 30)]
    got = tc.MFI(price, price, price, [100.0] * 20, 5)
    assert all(math.isnan(v) for v in got)


def test_brar_ar_spans_the_shared_bars():
    b = bars(seed=44, n=20)
    full = tc.BRAR(b["open"], b["close"], b["high"], b["low"], 3)
    for short_open, short_close in ((20, 12), (12, 20)):
        ar, br = tc.BRAR(b["open"][:short_open], b["close"][:short_close], b["high"], b["low"], 3)
        assert (len(ar), len(br)) == (12, 12)
        assert_same(ar, full[0][:12])
        assert_same(br, full[1][:12])


def test_mfi_reference_table():
    high, low, close, vol, want = reference_columns("cs-mfi.csv", "High", "Low", "Close", "Volume", "MFI")
    got = tc.MFI(close, high, low, vol, 14)
    assert_close(got[14:], want[14:], 1e-3)


def test_obv_reference_table():
    close, vol, want = reference_columns("cs-obv.csv", "Close", "Volume", "OBV")
    got = tc.OBV(close, vol)
    assert got[0] == 0.0
    assert_close(times(got[1:], 10000.0), want[1:], 1e-6)
