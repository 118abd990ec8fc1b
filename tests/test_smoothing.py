"""Moving averages and smoothing: MA, EMA, SMA, WMA, DMA (exp_smooth)."""
import math
import random

import pytest

import tarvex_core as tc
from helpers import INF, NAN, assert_same

HUGE = [2**64 - 1, 2**32, 2**31]
POOL = [NAN, INF, -INF, 0.0, -0.0, 1.0, 2.0, -3.0]


def random_series(rng, length):
    """Mostly random floats, with NaN, infinities, signed zeros and ties."""
    return [rng.choice(POOL) if rng.random() < 0.3 else rng.uniform(-100.0, 100.0) for _ in range(length)]


def cases(count=60, seed=7):
    rng = random.Random(seed)
    return [random_series(rng, rng.randrange(0, 40)) for _ in range(count)]


# ---- slow twins, written from the definitions ----

def slow_exp_smooth(s, alpha):
    b = 1.0 - alpha
    state, out = NAN, []
    for x in s:
        if math.isnan(x):
            out.append(NAN)
            continue
        state = x if math.isnan(state) else state * b + x * alpha
        out.append(state)
    return out


def slow_ma(s, n):
    out = [NAN] * len(s)
    if n == 0 or n > len(s):
        return out
    for i in range(n - 1, len(s)):
        total = 0.0
        for x in s[i - n + 1:i + 1]:
            total += x
        out[i] = total / n
    return out


def slow_wma(s, n):
    out = [NAN] * len(s)
    if n == 0 or n > len(s):
        return out
    for i in range(n - 1, len(s)):
        partial = total = 0.0
        for k in range(n):
            partial += s[i - k]
            total += partial
        out[i] = ((total * 2.0) / n) / (1.0 + n)
    return out


def slow_dma_series(s, a):
    if not s:
        return []
    weights = [1.0 if math.isnan(w) else w for w in a]
    out = [s[0]]
    for i in range(1, len(s)):
        out.append((1.0 - weights[i]) * out[-1] + s[i] * weights[i])
    return out


# ---- listed examples and edges ----

@pytest.mark.parametrize("fn, s, n, expected", [
    (tc.MA, [1.0, 2.0, 3.0, 4.0], 2, [NAN, 1.5, 2.5, 3.5]),
    (tc.MA, [1.0, NAN, 3.0, 4.0, 5.0], 2, [NAN, NAN, NAN, 3.5, 4.5]),
    (tc.MA, [1.0, INF, 3.0, 4.0], 2, [NAN, INF, INF, 3.5]),
    (tc.MA, [1.0, 2.0], 1, [1.0, 2.0]),
    (tc.WMA, [1.0, 2.0, 3.0], 3, [NAN, NAN, 14.0 / 6.0]),
    (tc.WMA, [1.0, NAN, 3.0, 4.0, 5.0], 2, [NAN, NAN, NAN, 11.0 / 3.0, 14.0 / 3.0]),
])
def test_window_averages(fn, s, n, expected):
    assert_same(fn(s, n), expected)


@pytest.mark.parametrize("fn", [tc.MA, tc.WMA])
@pytest.mark.parametrize("n", [0, 4] + HUGE)
def test_window_averages_degenerate_period(fn, n):
    assert_same(fn([1.0, 2.0, 3.0], n), [NAN] * 3)


@pytest.mark.parametrize("call", [
    lambda s: tc.MA(s, 2), lambda s: tc.WMA(s, 2), lambda s: tc.EMA(s, 3), lambda s: tc.SMA(s, 3, 2),
    lambda s: tc.DMA(s, 0.5), lambda s: tc.DMA(s, []), lambda s: tc.DMA(s, [0.5]),
])
def test_empty_input(call):
    assert call([]) == []


@pytest.mark.parametrize("s, n, expected", [
    ([NAN, 2.0, NAN, 4.0], 3, [NAN, 2.0, NAN, 3.0]),
    ([1.0, NAN, 3.0], 1, [1.0, NAN, 3.0]),
    ([1.0, INF, 5.0, 6.0], 1, [1.0, INF, NAN, 6.0]),
    ([1.0, 2.0, 4.0], 0, [1.0, 3.0, 5.0]),
    ([NAN, NAN], 5, [NAN, NAN]),
])
def test_ema(s, n, expected):
    assert_same(tc.EMA(s, n), expected)


@pytest.mark.parametrize("s, n, m, expected", [
    ([1.0, 2.0, 3.0], 2, 1, [1.0, 1.5, 2.25]),
    ([1.0, 2.0, 3.0, 4.0], 0, 1, [1.0, NAN, 3.0, NAN]),
    ([5.0, 1.0, NAN, 9.0], 4, 0, [5.0, 5.0, NAN, 5.0]),
    ([5.0, 1.0, 2.0], 0, 0, [5.0, NAN, 2.0]),
])
def test_sma(s, n, m, expected):
    assert_same(tc.SMA(s, n, m), expected)


@pytest.mark.parametrize("s, a, expected", [
    ([1.0, 2.0, 3.0], 0.5, [1.0, 1.5, 2.25]),
    ([1.0, 2.0, 3.0], [0.5, 0.5, 0.5], [1.0, 1.5, 2.25]),
    ([NAN, 2.0, 4.0], 0.5, [NAN, 2.0, 3.0]),
    ([NAN, 2.0, 4.0], [0.5, 0.5, 0.5], [NAN, NAN, NAN]),
    ([1.0, 2.0, 3.0], [0.5, NAN, 0.5], [1.0, 2.0, 2.5]),
    ([7.0], [], [7.0]),
    ([NAN], [], [NAN]),
    ([1.0, 2.0], [9.0, 0.5, 123.0], [1.0, 1.5]),
])
def test_dma(s, a, expected):
    assert_same(tc.DMA(s, a), expected)


@pytest.mark.parametrize("s, a", [([1.0, 2.0, 3.0], [0.5, 0.5]), ([1.0, 2.0], []), ([1.0, 2.0], [0.5])])
def test_dma_short_weights_fail(s, a):
    with pytest.raises(ValueError, match="^a must be at least as long as s$"):
        tc.DMA(s, a)


# ---- twins on random series ----

@pytest.mark.parametrize("n", [1, 2, 3, 5, 13])
def test_ma_wma_match_twins(n):
    for s in cases():
        assert_same(tc.MA(s, n), slow_ma(s, n))
        assert_same(tc.WMA(s, n), slow_wma(s, n))


@pytest.mark.parametrize("alpha", [0.5, 2.0 / 13.0, 1.0, 0.0, 2.0, -0.5, INF, NAN])
def test_exp_smooth_forms_match_twin(alpha):
    for s in cases(seed=11):
        assert_same(tc.DMA(s, alpha), slow_exp_smooth(s, alpha))


@pytest.mark.parametrize("n, m", [(0, 1), (1, 1), (2, 1), (12, 1), (26, 1), (3, 2), (5, 7), (0, 0), (4, 0)])
def test_ema_sma_match_twin(n, m):
    for s in cases(seed=n * 31 + m):
        assert_same(tc.EMA(s, n), slow_exp_smooth(s, 2.0 / (n + 1.0)))
        assert_same(tc.SMA(s, n, m), slow_exp_smooth(s, m / n if n else (NAN if m == 0 else INF)))


def test_dma_series_matches_twin():
    rng = random.Random(5)
    for s in cases(seed=3):
        a = [rng.choice([NAN, 0.0, 1.0, 0.25]) if rng.random() < 0.3 else rng.random() for _ in range(len(s) + 2)]
        assert_same(tc.DMA(s, a), slow_dma_series(s, a))


@pytest.mark.parametrize("length", [263, 264, 265, 271, 272, 273, 1500])
def test_long_series_match_twin(length):
    # Long series run in steps of eight bars with the memory asked for ahead;
    # lengths around the ends of those steps must give every bar.
    s = random_series(random.Random(length), length)
    assert_same(tc.EMA(s, 12), slow_exp_smooth(s, 2.0 / 13.0))
