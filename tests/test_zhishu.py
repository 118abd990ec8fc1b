import math
import random

import pytest

import tarvex_core as tc
from helpers import INF, NAN, assert_same

COLS = ["code_i", "date", "open", "high", "low", "close", "volume", "amount", "float_mv", "total_mv"]


def table(code, date, close, **cols):
    """Columns in signature order; prices default to close, the rest to 1.0."""
    n = len(date)
    out = {"code_i": code, "date": date, "close": close}
    for c in ("open", "high", "low"):
        out[c] = cols.get(c, close)
    for c in ("volume", "amount", "float_mv", "total_mv"):
        out[c] = cols.get(c, [1.0] * n)
    return [out[c] for c in COLS]


def usable(x):
    return 0.0 < x < INF


def div(x, y):
    """IEEE division (Python raises on a zero divisor)."""
    if y == 0.0:
        return NAN if x == 0.0 or math.isnan(x) else math.copysign(INF, x) * math.copysign(1.0, y)
    return x / y


def fmax(a, b, pick):
    return b if math.isnan(a) else a if math.isnan(b) else pick(a, b)


def zhishu_twin(code, date, o, h, l, c, v, a, fm, tm, method=1, base=1000.0):
    by_date = {}
    for r, d in enumerate(date):
        by_date.setdefault(d, []).append(r)
    weight = {1: None, 2: fm, 3: a, 4: v, 5: tm}[method]
    last, out, lvl = {}, [[] for _ in range(9)], base
    for d in sorted(by_date):
        W = Sc = So = Sh = Sl = V = A = 0.0
        k = 0
        for r in by_date[d]:
            p, w = last.get(code[r], NAN), 1.0 if weight is None else weight[r]
            if all(usable(x) for x in (c[r], p, w, o[r], h[r], l[r])):
                W += w
                Sc, So = Sc + (c[r] / p) * w, So + (o[r] / p) * w
                Sh, Sl = Sh + (h[r] / p) * w, Sl + (l[r] / p) * w
                V += v[r] if math.isfinite(v[r]) else 0.0
                A += a[r] if math.isfinite(a[r]) else 0.0
                k += 1
        for r in by_date[d]:
            if usable(c[r]):
                last[code[r]] = c[r]
        if W > 0.0:
            C, O, Hi, Lo = div(Sc, W) * lvl, div(So, W) * lvl, div(Sh, W) * lvl, lvl * div(Sl, W)
            bar = [d, O, fmax(fmax(Hi, O, max), C, max), fmax(fmax(Lo, O, min), C, min), C,
                   (div(C, lvl) - 1.0) * 100.0, V, A, k]
            for col, x in zip(out, bar):
                col.append(x)
            lvl = C
    return tuple(out)


WORKED = table([1, 2, 1, 2, 1], [1, 1, 2, 2, 3], [10.0, 20.0, 15.0, 15.0, 30.0],
               float_mv=[1.0, 1.0, 3.0, 1.0, 1.0])


@pytest.mark.parametrize("method, closes, changes", [
    (1, [1125.0, 2250.0], [12.5, 100.0]),
    (2, [1312.5, 2625.0], [31.25, 100.0]),
])
def test_worked_bars(method, closes, changes):
    r = tc.ZHISHU(*WORKED, method=method)
    assert r[0] == [2, 3] and r[4] == closes and r[5] == changes and r[8] == [2, 1]
    assert all(type(x) is int for x in r[0] + r[8])


@pytest.mark.parametrize("method", [0, 6])
def test_method_checked_before_lengths(method):
    cols = table([1], [1, 2], [1.0])
    with pytest.raises(ValueError, match=r"^method must be 1\.\.5$"):
        tc.ZHISHU(*cols, method=method)


@pytest.mark.parametrize("col", [c for c in range(10) if c != 1])
def test_length_mismatch(col):
    cols = table([1, 1], [1, 2], [1.0, 2.0])
    cols[col] = cols[col][:1]
    with pytest.raises(ValueError, match="^all input vectors must have the same length$"):
        tc.ZHISHU(*cols)


def test_empty_and_huge_codes():
    assert tc.ZHISHU(*table([], [], [])) == ([],) * 9
    r = tc.ZHISHU(*table([2**64 - 1] * 2, [-5, -1], [1.0, 2.0]))
    assert r[0] == [-1] and r[4] == [2000.0]


def test_conversion_errors_name_the_argument():
    with pytest.raises(OverflowError) as e:
        tc.ZHISHU(*table([-1], [1], [1.0]))
    assert getattr(e.value, "__notes__", ["while processing 'code_i'"]) == ["while processing 'code_i'"]
    with pytest.raises(TypeError, match="cannot be interpreted as an integer"):
        tc.ZHISHU(*table([1], [1.5], [1.0]))


BAD = [0.0, -1.0, NAN, INF, -INF, 5e-324, 1e308]


@pytest.mark.parametrize("seed", range(40))
def test_matches_twin(seed):
    rnd = random.Random(seed)
    n = rnd.randrange(0, 60)
    pick = lambda: rnd.choice(BAD) if rnd.random() < 0.15 else rnd.uniform(0.5, 50.0)
    cols = [[rnd.choice([0, 7, 2**64 - 1, rnd.randrange(5)]) for _ in range(n)],
            [rnd.choice([-2**63, 2**63 - 1]) if rnd.random() < 0.05 else rnd.randrange(-3, 6) for _ in range(n)]]
    cols += [[pick() for _ in range(n)] for _ in range(8)]
    method, base = rnd.randrange(1, 6), rnd.choice([1000.0, 0.0, -50.0, 1.0])
    got, want = tc.ZHISHU(*cols, method, base), zhishu_twin(*cols, method, base)
    assert got[0] == want[0] and got[8] == want[8]
    for g, w in zip(got[1:8], want[1:8]):
        assert_same(g, w)


@pytest.mark.parametrize("method, cols, close, volume", [
    # close 0.0 on date 2 is unused and leaves 10.0 as the last close
    (1, {"close": [10.0, 0.0, 20.0]}, [2000.0], [1.0]),
    # an unusable open (or weight) makes the row unused, but its close still counts as last close
    (1, {"open": [10.0, NAN, 20.0]}, [(20.0 / 15.0) * 1000.0], [1.0]),
    (2, {"float_mv": [1.0, 0.0, 1.0]}, [(20.0 / 15.0) * 1000.0], [1.0]),
    # a NaN volume adds 0.0, the row still counts
    (1, {"volume": [1.0, NAN, 1.0]}, [1500.0, 2000.0], [0.0, 1.0]),
])
def test_unusable_values(method, cols, close, volume):
    args = table([1, 1, 1], [1, 2, 3], cols.pop("close", [10.0, 15.0, 20.0]), **cols)
    r = tc.ZHISHU(*args, method=method)
    assert r[4] == close and r[6] == volume and r[8] == [1] * len(close)
