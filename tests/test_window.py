"""Rolling windows: REF, DIFF, SUM, STD, HHV, LLV, HHVBARS, LLVBARS, AVEDEV,
SLOPE, FORCAST."""
import math
import random

import pytest

import tarvex_core as tc
from helpers import INF, NAN, assert_same

HUGE = [2**64 - 1, 2**32, 2**32 - 1, 2**31]
POOL = [NAN, INF, -INF, 0.0, -0.0, 1.0, 2.0, -3.0]
WINDOWED = [tc.SUM, tc.STD, tc.HHV, tc.LLV, tc.HHVBARS, tc.LLVBARS, tc.AVEDEV, tc.SLOPE, tc.FORCAST]


def random_series(rng, length, pool=POOL):
    """Mostly random floats, with values from pool (NaN, infinities, ties)."""
    return [rng.choice(pool) if rng.random() < 0.3 else rng.uniform(-100.0, 100.0) for _ in range(length)]


def cases(seed, pool=POOL, count=80):
    rng = random.Random(seed)
    return [random_series(rng, rng.randrange(0, 40), pool) for _ in range(count)]


def windows(s, n):
    """(i, window) for every bar with a full window of n > 0 bars."""
    return [(i, s[i - n + 1:i + 1]) for i in range(n - 1, len(s))] if 0 < n <= len(s) else []


def finite(x):
    return not (math.isnan(x) or math.isinf(x))


# ---- slow twins ----

def slow_sum(s, n):
    """The running total of the finite values, entering value added first."""
    out, total = [NAN] * len(s), 0.0
    if n == 0:
        for i, x in enumerate(s):
            total += x
            out[i] = total
        return out
    if n > len(s):
        return out
    for i in range(len(s)):
        if finite(s[i]):
            total += s[i]
        if i >= n and finite(s[i - n]):
            total -= s[i - n]
        if i >= n - 1 and all(finite(x) for x in s[i - n + 1:i + 1]):
            out[i] = total
    return out


def deviation(q, p, n):
    v = q / n - (p / n) * (p / n)
    return math.sqrt(v) if v > 0.0 else 0.0


def slow_std(s, n):
    """Running sums of x*x and x over the finite values of the window."""
    out = [NAN] * len(s)
    if n == 0 or n > len(s):
        return out
    q = p = 0.0
    for x in s[:n]:
        if finite(x):
            q, p = q + x * x, p + x
    for i in range(n - 1, len(s)):
        if i >= n:
            g, x = s[i], s[i - n]
            if finite(g) and finite(x):
                q, p = q + (g * g - x * x), p + (g - x)
            elif finite(g):
                q, p = q + g * g, p + g
            elif finite(x):
                q, p = q - x * x, p - x
        if all(finite(v) for v in s[i - n + 1:i + 1]):
            out[i] = deviation(q, p, n)
    return out


def slow_std_plain(s, n):
    """The unconditional running-sum form, valid for finite input."""
    out = [NAN] * len(s)
    if n == 0 or n > len(s):
        return out
    q = p = 0.0
    for x in s[:n]:
        q, p = q + x * x, p + x
    out[n - 1] = deviation(q, p, n)
    for i in range(n, len(s)):
        g, x = s[i], s[i - n]
        q, p = q + (g * g - x * x), p + (g - x)
        out[i] = deviation(q, p, n)
    return out


def slow_extreme(s, n, newer_wins):
    """Window extreme, the newest of equal values; NaN if the window holds NaN."""
    out = [NAN] * len(s)
    for i, w in windows(s, n):
        if not any(math.isnan(x) for x in w):
            best = w[0]
            for x in w[1:]:
                if newer_wins(x, best):
                    best = x
            out[i] = best
    return out


def slow_extreme_bars(s, n, beats, start):
    out = [NAN] * len(s)
    for i, _ in windows(s, n):
        best, pos = start, 0
        for d in range(n):
            if beats(s[i - d], best):
                best, pos = s[i - d], d
        out[i] = float(pos)
    return out


def slow_avedev(s, n):
    out = [NAN] * len(s)
    for i, w in windows(s, n):
        total = 0.0
        for x in w:
            total += x
        mean = total / n
        dev = 0.0
        for x in w:
            dev += abs(x - mean)
        out[i] = dev / n
    return out


def slow_regression(s, n, forecast):
    out = [NAN] * len(s)
    sk = skk = 0.0
    for k in range(n):
        sk += float(k)
        skk += float(k) * float(k)
    c = skk * n - sk * sk
    if c == 0.0:
        return out
    for i, w in windows(s, n):
        sy = sky = 0.0
        for k, y in enumerate(w):
            sy += y
            sky += float(k) * y
        slope = (sky * n - sy * sk) / c
        out[i] = (sy - slope * sk) / n + (n - 1) * slope if forecast else slope
    return out


# ---- shifting ----

@pytest.mark.parametrize("fn, s, n, expected", [
    (tc.REF, [1.0, 2.0, 3.0], 1, [NAN, 1.0, 2.0]),
    (tc.REF, [1.0, NAN, 3.0], 0, [1.0, NAN, 3.0]),
    (tc.REF, [1.0, 2.0, 3.0], 2, [NAN, NAN, 1.0]),
    (tc.REF, [1.0, 2.0, 3.0], 3, [NAN, NAN, NAN]),
    (tc.DIFF, [1.0, 4.0, 9.0], 1, [NAN, 3.0, 5.0]),
    (tc.DIFF, [1.0, 4.0, 9.0], 2, [NAN, NAN, 8.0]),
    (tc.DIFF, [1.0, NAN, INF, -INF], 0, [0.0, NAN, NAN, NAN]),
    (tc.DIFF, [1.0, INF, 3.0, NAN, 5.0], 1, [NAN, INF, -INF, NAN, NAN]),
    (tc.DIFF, [1.0, 2.0], 2, [NAN, NAN]),
])
def test_ref_diff(fn, s, n, expected):
    assert_same(fn(s, n), expected)


@pytest.mark.parametrize("fn", [tc.REF, tc.DIFF])
@pytest.mark.parametrize("n", HUGE)
def test_huge_shift_is_never_a_lead_or_copy(fn, n):
    assert_same(fn([1.0, 2.0, 3.0], n), [NAN] * 3)


# ---- SUM and STD ----

@pytest.mark.parametrize("s, n, expected", [
    ([1.0, 2.0, NAN, 4.0, 5.0, 6.0], 2, [NAN, 3.0, NAN, NAN, 9.0, 11.0]),
    ([1.0, INF, 3.0, 4.0], 2, [NAN, NAN, NAN, 7.0]),
    ([1.0, 2.0, NAN, 4.0], 0, [1.0, 3.0, NAN, NAN]),
    ([1.0, INF, 2.0, -INF], 0, [1.0, INF, INF, NAN]),
    ([1.0, 2.0], 3, [NAN, NAN]),
    ([1.0, 2.0, 3.0], 3, [NAN, NAN, 6.0]),
])
def test_sum(s, n, expected):
    assert_same(tc.SUM(s, n), expected)


@pytest.mark.parametrize("s, n, expected", [
    ([1.0, 2.0, 3.0, 4.0], 2, [NAN, 0.5, 0.5, 0.5]),
    # A non-finite value makes its windows NaN, and the result recovers.
    ([1.0, 2.0, NAN, 4.0, 5.0, 6.0], 2, [NAN, 0.5, NAN, NAN, 0.5, 0.5]),
    ([1.0, INF, 3.0, 5.0], 2, [NAN, NAN, NAN, 1.0]),
    ([NAN, 3.0, 5.0], 2, [NAN, NAN, 1.0]),
    ([-INF, INF, 2.0, 2.0], 2, [NAN, NAN, NAN, 0.0]),
    ([7.0, 7.0], 1, [0.0, 0.0]),
    ([2.0, 4.0, 4.0, 4.0, 5.0, 5.0, 7.0, 9.0], 8, [NAN] * 7 + [2.0]),
])
def test_std(s, n, expected):
    assert_same(tc.STD(s, n), expected)


# ---- extremes ----

@pytest.mark.parametrize("fn, s, n, expected", [
    (tc.HHV, [1.0, 3.0, 2.0, 5.0, 4.0], 2, [NAN, 3.0, 3.0, 5.0, 5.0]),
    (tc.LLV, [1.0, 3.0, 2.0, 5.0, 4.0], 2, [NAN, 1.0, 2.0, 2.0, 4.0]),
    # A window holding NaN gives NaN; otherwise the true extreme.
    (tc.HHV, [1.0, NAN, 2.0, 3.0, 4.0], 3, [NAN, NAN, NAN, NAN, 4.0]),
    (tc.LLV, [3.0, NAN, 2.0, 1.0, 0.0], 3, [NAN, NAN, NAN, NAN, 0.0]),
    (tc.HHV, [5.0, NAN, 1.0, 2.0, 1.0], 2, [NAN, NAN, NAN, 2.0, 2.0]),
    (tc.HHV, [-INF, -INF, 1.0], 2, [NAN, -INF, 1.0]),
    (tc.LLV, [INF, INF, -1.0], 2, [NAN, INF, -1.0]),
    (tc.HHV, [1.0, NAN, 3.0], 1, [1.0, NAN, 3.0]),
    (tc.LLV, [1.0, NAN, 3.0], 1, [1.0, NAN, 3.0]),
    (tc.HHVBARS, [1.0, 3.0, 2.0, 3.0, 1.0], 3, [NAN, NAN, 1.0, 0.0, 1.0]),
    (tc.LLVBARS, [1.0, 3.0, 2.0, 3.0, 1.0], 3, [NAN, NAN, 2.0, 1.0, 0.0]),
    (tc.HHVBARS, [NAN, NAN, 1.0], 2, [NAN, 0.0, 0.0]),
    (tc.HHVBARS, [-INF, -INF], 2, [NAN, 0.0]),
    (tc.LLVBARS, [INF, NAN, INF], 3, [NAN, NAN, 0.0]),
])
def test_extremes(fn, s, n, expected):
    assert_same(fn(s, n), expected)


# ---- regressions and deviation ----

@pytest.mark.parametrize("fn, s, n, expected", [
    (tc.AVEDEV, [1.0, 2.0, 3.0, 4.0], 4, [NAN, NAN, NAN, 1.0]),
    (tc.AVEDEV, [1.0, NAN, 3.0, 5.0], 2, [NAN, NAN, NAN, 1.0]),
    (tc.SLOPE, [1.0, 2.0, 3.0, 4.0], 3, [NAN, NAN, 1.0, 1.0]),
    (tc.SLOPE, [1.0, NAN, 3.0, 4.0, 6.0], 2, [NAN, NAN, NAN, 1.0, 2.0]),
    (tc.FORCAST, [1.0, 2.0, 4.0], 3, [NAN, NAN, 23.0 / 6.0]),
    (tc.SLOPE, [1.0, 2.0], 1, [NAN, NAN]),
    (tc.FORCAST, [1.0, 2.0], 1, [NAN, NAN]),
])
def test_avedev_slope_forcast(fn, s, n, expected):
    assert_same(fn(s, n), expected)


# ---- degenerate periods and empty input ----

@pytest.mark.parametrize("fn", WINDOWED + [tc.REF, tc.DIFF])
@pytest.mark.parametrize("n", [0, 1, 2, 2**64 - 1])
def test_empty_input(fn, n):
    assert fn([], n) == []


@pytest.mark.parametrize("fn", [f for f in WINDOWED if f is not tc.SUM])
@pytest.mark.parametrize("n", [0, 4] + HUGE)
def test_zero_or_too_long_period_is_all_nan(fn, n):
    assert_same(fn([1.0, 2.0, 3.0], n), [NAN] * 3)


@pytest.mark.parametrize("n", [4] + HUGE)
def test_sum_too_long_period_is_all_nan(n):
    assert_same(tc.SUM([1.0, 2.0, 3.0], n), [NAN] * 3)


# ---- native loops against their twins on random series ----

PERIODS = [0, 1, 2, 3, 5, 10, 39, 40]


@pytest.mark.parametrize("n", PERIODS)
def test_sum_matches_twin(n):
    for s in cases(seed=n):
        assert_same(tc.SUM(s, n), slow_sum(s, n))


@pytest.mark.parametrize("n", PERIODS)
def test_std_matches_twin(n):
    for s in cases(seed=100 + n):
        assert_same(tc.STD(s, n), slow_std(s, n))


@pytest.mark.parametrize("n", PERIODS)
def test_std_on_finite_input_keeps_the_plain_running_sums(n):
    for s in cases(seed=200 + n, pool=[0.0, -0.0, 1.0, 2.0, 1e8, -1e-8]):
        assert_same(tc.STD(s, n), slow_std_plain(s, n))


@pytest.mark.parametrize("n", [3, 10, 11, 20])
def test_hhv_llv_past_the_first_chunk(n):
    # short windows (folded) and longer ones (blocks) over more than 4096
    # windows, with a NaN just before the second chunk of windows and rare
    # NaN elsewhere
    rng = random.Random(900 + n)
    s = [NAN if rng.random() < 0.002 else rng.choice([0.0, -0.0, 1.0, rng.uniform(-5.0, 5.0)])
         for _ in range(4096 + 3 * n)]
    s[4096 + n - 2] = NAN
    assert_same(tc.HHV(s, n), slow_extreme(s, n, lambda x, best: x >= best))
    assert_same(tc.LLV(s, n), slow_extreme(s, n, lambda x, best: x <= best))


@pytest.mark.parametrize("n", [1, 3, 16, 17, 64])
def test_std_matches_twin_on_long_series(n):
    # lengths around the groups the sums are taken in, rare non-finite values
    # at every offset, and huge values whose squares overflow the sums
    rng = random.Random(800 + n)
    rare = [NAN, INF, -INF, 1e300, -1e300, 0.0, -0.0]
    for length in (n + 15, n + 16, n + 17, 4096 + n + 40):
        s = [rng.choice(rare) if rng.random() < 0.03 else rng.uniform(-100.0, 100.0) for _ in range(length)]
        assert_same(tc.STD(s, n), slow_std(s, n))


@pytest.mark.parametrize("n", PERIODS)
def test_hhv_llv_match_twins(n):
    for s in cases(seed=300 + n):
        assert_same(tc.HHV(s, n), slow_extreme(s, n, lambda x, best: x >= best))
        assert_same(tc.LLV(s, n), slow_extreme(s, n, lambda x, best: x <= best))
        assert_same(tc.HHVBARS(s, n), slow_extreme_bars(s, n, lambda x, best: x > best, -INF))
        assert_same(tc.LLVBARS(s, n), slow_extreme_bars(s, n, lambda x, best: x < best, INF))


@pytest.mark.parametrize("n", PERIODS)
def test_hhv_llv_with_many_ties(n):
    for s in cases(seed=400 + n, pool=[NAN, 0.0, -0.0, 1.0, -1.0]):
        assert_same(tc.HHV(s, n), slow_extreme(s, n, lambda x, best: x >= best))
        assert_same(tc.LLV(s, n), slow_extreme(s, n, lambda x, best: x <= best))


@pytest.mark.parametrize("n", PERIODS)
def test_avedev_slope_forcast_match_twins(n):
    for s in cases(seed=500 + n):
        assert_same(tc.AVEDEV(s, n), slow_avedev(s, n))
        assert_same(tc.SLOPE(s, n), slow_regression(s, n, forecast=False))
        assert_same(tc.FORCAST(s, n), slow_regression(s, n, forecast=True))


@pytest.mark.parametrize("n", [1, 2, 5])
def test_shift_matches_slicing(n):
    for s in cases(seed=600 + n):
        lagged = [NAN] * min(n, len(s)) + s[:max(len(s) - n, 0)]
        assert_same(tc.REF(s, n), lagged)
        diff = [NAN if math.isnan(a) or math.isnan(b) else a - b for a, b in zip(s, lagged)]
        assert_same(tc.DIFF(s, n), diff)


@pytest.mark.parametrize("n", [1, 2, 7, 64, 1000, 1999])
def test_hhv_llv_over_many_windows(n):
    # 2000 bars: many windows of each period, runs of equal values (0.0 and
    # -0.0 among them) and rare NaN at every offset within a window
    rng = random.Random(700 + n)
    s = []
    while len(s) < 2000:
        value = NAN if rng.random() < 0.01 else rng.choice([0.0, -0.0, 1.0, -1.0, INF, -INF, rng.uniform(-5.0, 5.0)])
        s += [value] * rng.choice([1, 1, 2, 5])
    s = s[:2000]
    assert_same(tc.HHV(s, n), slow_extreme(s, n, lambda x, best: x >= best))
    assert_same(tc.LLV(s, n), slow_extreme(s, n, lambda x, best: x <= best))


@pytest.mark.parametrize("length", [268, 269, 270, 276, 277, 1500])
def test_sum_of_long_series_matches_twin(length):
    # The loop after the first window runs in steps of eight bars with the
    # memory asked for ahead; lengths around the ends of those steps.
    s = random_series(random.Random(length), length)
    for n in (1, 5):
        assert_same(tc.SUM(s, n), slow_sum(s, n))
