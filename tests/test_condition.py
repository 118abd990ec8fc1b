"""Condition and event functions: COUNT, EVERY, EXIST, LAST, FILTER,
BARSLAST, BARSLASTCOUNT, BARSSINCEN, CROSS, LONGCROSS, VALUEWHEN, TOPRANGE,
LOWRANGE."""
import math
import random

import pytest

import tarvex_core as tc
from helpers import INF, NAN, assert_same

HUGE = [2**64 - 1, 2**32, 2**31]
# Condition-like values: mostly 0/1, with NaN, -0.0 and other numbers.
POOL = [0.0, 0.0, 1.0, 1.0, 1.0, NAN, -0.0, 2.5, -1.0]


def cases(seed, count=80, pool=POOL):
    rng = random.Random(seed)
    return [[rng.choice(pool) for _ in range(rng.randrange(0, 30))] for _ in range(count)]


# ---- slow twins, written from the definitions ----

def slow_last(s, a, b):
    out = [NAN] * len(s)
    for i in range(a, len(s)):
        out[i] = 1.0 if a < b or all(s[j] != 0.0 for j in range(i - a, i - b + 1)) else 0.0
    return out


def slow_filter(s, n):
    c = list(s)
    for i in range(len(c)):
        if c[i] != 0.0:
            for j in range(i + 1, min(i + n, len(c) - 1) + 1):
                c[j] = 0.0
    return c


def slow_barssincen(s, n):
    out = [NAN] * len(s)
    if n == 0 or n > len(s):
        return out
    for i in range(n - 1, len(s)):
        best, m = -INF, 0
        for off in range(n):
            if s[i - n + 1 + off] > best:
                best, m = s[i - n + 1 + off], off
        if not (m == 0 and s[i - n + 1] == 0.0):
            out[i] = float(n - 1 - m)
    return out


def slow_longcross(s1, s2, n):
    m = min(len(s1), len(s2))
    below = [1.0 if s1[i] < s2[i] else 0.0 for i in range(m)]
    out = []
    for i in range(m):
        if n == 0:
            held = 1.0
        elif i < n:
            held = NAN
        else:
            held = 1.0 if all(below[j] == 1.0 for j in range(i - n, i)) else 0.0
        above = 1.0 if s2[i] < s1[i] else 0.0
        out.append(0.0 if held == 0.0 or above == 0.0 else 1.0)
    return out


def slow_range(s, reaches):
    out = [0.0] * len(s)
    for i in range(1, len(s)):
        for j in range(i - 1, -1, -1):
            if reaches(s[j], s[i]):
                out[i] = float(i - j - 1)
                break
    return out


# ---- listed examples and edges ----

@pytest.mark.parametrize("fn, s, n, expected", [
    (tc.COUNT, [1.0, 0.0, 1.0, 1.0], 2, [NAN, 1.0, 1.0, 2.0]),
    (tc.COUNT, [1.0, NAN, 1.0, 1.0], 0, [1.0, NAN, NAN, NAN]),
    (tc.COUNT, [1.0, INF, 1.0, 1.0], 2, [NAN, NAN, NAN, 2.0]),
    (tc.EVERY, [1.0, 1.0, 0.0, 1.0, 1.0, 1.0], 3, [0.0, 0.0, 0.0, 0.0, 0.0, 1.0]),
    (tc.EVERY, [2.0, 0.0, 1.0], 2, [0.0, 1.0, 0.0]),
    (tc.EVERY, [0.0, 1.0, -1.0], 0, [1.0, 0.0, 1.0]),
    (tc.EVERY, [1.0, NAN, 1.0], 1, [1.0, 0.0, 1.0]),
    (tc.EXIST, [0.0, 0.0, 1.0, 0.0, 0.0, 0.0], 2, [0.0, 0.0, 1.0, 1.0, 0.0, 0.0]),
    (tc.EXIST, [1.0, NAN, 0.0, 0.0], 2, [0.0, 0.0, 0.0, 0.0]),
    (tc.EXIST, [1.0, -1.0, 0.0], 0, [1.0, 0.0, 0.0]),
])
def test_window_counts(fn, s, n, expected):
    assert_same(fn(s, n), expected)


@pytest.mark.parametrize("fn", [tc.COUNT, tc.EVERY, tc.EXIST])
@pytest.mark.parametrize("n", [4] + HUGE)
def test_window_counts_too_long(fn, n):
    expected = [NAN] * 3 if fn is tc.COUNT else [0.0] * 3
    assert_same(fn([1.0, 1.0, 1.0], n), expected)


@pytest.mark.parametrize("s, a, b, expected", [
    ([1.0, 1.0, 0.0, 1.0, 1.0, 1.0], 2, 1, [NAN, NAN, 1.0, 0.0, 0.0, 1.0]),
    ([1.0, 0.0, 1.0], 0, 0, [1.0, 0.0, 1.0]),
    ([1.0, 1.0, 1.0], 1, 3, [NAN, 1.0, 1.0]),
    ([0.0, 0.0, 0.0], 1, 2**64 - 1, [NAN, 1.0, 1.0]),
    ([NAN, -0.0, 1.0, 1.0], 1, 1, [NAN, 1.0, 0.0, 1.0]),
    ([1.0, 1.0], 2, 0, [NAN, NAN]),
    ([1.0, 1.0], 2**64 - 1, 0, [NAN, NAN]),
])
def test_last(s, a, b, expected):
    assert_same(tc.LAST(s, a, b), expected)


@pytest.mark.parametrize("s, n, expected", [
    ([1.0, 1.0, 0.0, 1.0, 1.0, 0.0, 2.0], 2, [1.0, 0.0, 0.0, 1.0, 0.0, 0.0, 2.0]),
    ([0.0, NAN, 5.0, 0.0], 1, [0.0, NAN, 0.0, 0.0]),
    ([2.5, -0.0, 3.0], 0, [2.5, -0.0, 3.0]),
    ([0.0, 3.0, 1.0, 1.0], 2**64 - 1, [0.0, 3.0, 0.0, 0.0]),
])
def test_filter(s, n, expected):
    assert_same(tc.FILTER(s, n), expected)


@pytest.mark.parametrize("fn, s, expected", [
    (tc.BARSLAST, [0.0, 0.0, 1.0, 0.0, 0.0, 1.0, 1.0, 0.0], [1.0, 2.0, 0.0, 1.0, 2.0, 0.0, 0.0, 1.0]),
    (tc.BARSLAST, [NAN, 0.0], [0.0, 1.0]),
    (tc.BARSLAST, [-0.0, -0.0], [1.0, 2.0]),
    (tc.BARSLASTCOUNT, [1.0, 1.0, 0.0, 1.0, NAN, 0.0], [1.0, 2.0, 0.0, 1.0, 2.0, 0.0]),
    (tc.BARSLASTCOUNT, [-0.0, 3.0], [0.0, 1.0]),
    (tc.TOPRANGE, [5.0, 3.0, 4.0, 6.0, 2.0, 2.0], [0.0, 0.0, 1.0, 0.0, 0.0, 0.0]),
    (tc.TOPRANGE, [1.0, 2.0, 3.0], [0.0, 0.0, 0.0]),
    (tc.TOPRANGE, [9.0, NAN, 1.0, 2.0, NAN], [0.0, 0.0, 1.0, 2.0, 0.0]),
    (tc.LOWRANGE, [1.0, 5.0, 6.0, 3.0], [0.0, 0.0, 0.0, 2.0]),
    (tc.LOWRANGE, [-INF, 1.0, 2.0, -INF], [0.0, 0.0, 0.0, 2.0]),
])
def test_event_counters(fn, s, expected):
    assert_same(fn(s), expected)


@pytest.mark.parametrize("s, n, expected", [
    ([0.0, 1.0, 0.0, 1.0, 0.0, 0.0], 3, [NAN, NAN, 1.0, 2.0, 1.0, 2.0]),
    ([0.0, 0.0, 0.0, 1.0], 2, [NAN, NAN, NAN, 0.0]),
    ([-1.0, -2.0, NAN, 3.0], 2, [NAN, 1.0, 1.0, 0.0]),
    ([NAN, NAN], 2, [NAN, 1.0]),
    ([1.0, 2.0], 3, [NAN, NAN]),
])
def test_barssincen(s, n, expected):
    assert_same(tc.BARSSINCEN(s, n), expected)


@pytest.mark.parametrize("s1, s2, expected", [
    ([1.0, 2.0, 3.0, 2.0, 1.0], [2.0, 2.0, 2.0, 2.0, 2.0], [0.0, 0.0, 1.0, 0.0, -1.0]),
    ([1.0, NAN, 3.0], [2.0, 2.0, 2.0], [0.0, 0.0, 0.0]),
    ([1.0, 3.0], [2.0, 2.0, 99.0], [0.0, 1.0]),
    ([2.0, 2.0, 3.0], [2.0, 2.0, 2.0], [0.0, 0.0, 1.0]),
    ([-INF, INF], [0.0, 0.0], [0.0, 1.0]),
    ([5.0], [], [0.0]),
    ([], [1.0], []),
])
def test_cross(s1, s2, expected):
    assert_same(tc.CROSS(s1, s2), expected)


@pytest.mark.parametrize("s1, s2", [([1.0, 2.0, 3.0], [2.0, 2.0]), ([1.0, 2.0], [])])
def test_cross_short_second_series_fails(s1, s2):
    with pytest.raises(ValueError, match="^s2 must be at least as long as s1$"):
        tc.CROSS(s1, s2)


@pytest.mark.parametrize("s1, s2, n, expected", [
    ([1.0, 1.0, 1.0, 3.0, 3.0], [2.0] * 5, 2, [0.0, 0.0, 0.0, 1.0, 0.0]),
    ([3.0, 1.0, 3.0], [2.0] * 3, 2, [1.0, 0.0, 0.0]),
    ([3.0, 1.0, 3.0], [2.0] * 3, 0, [1.0, 0.0, 1.0]),
    ([3.0, 1.0, 3.0], [2.0] * 4, 2**64 - 1, [1.0, 0.0, 1.0]),
    ([1.0, NAN, 3.0], [2.0, 2.0, 2.0], 1, [0.0, 0.0, 0.0]),
    ([], [1.0], 1, []),
])
def test_longcross(s1, s2, n, expected):
    assert_same(tc.LONGCROSS(s1, s2, n), expected)


@pytest.mark.parametrize("s, x, expected", [
    ([0.0, 1.0, 0.0, 1.0, 0.0], [10.0, 11.0, 12.0, NAN, 14.0], [NAN, 11.0, 11.0, 11.0, 11.0]),
    ([1.0, 0.0], [5.0, 6.0, 7.0], [5.0, 5.0]),
    ([NAN, -0.0, 1.0], [1.0, 2.0], [1.0, 1.0]),
    ([], [1.0], []),
])
def test_valuewhen(s, x, expected):
    assert_same(tc.VALUEWHEN(s, x), expected)


@pytest.mark.parametrize("call", [
    lambda s: tc.COUNT(s, 2), lambda s: tc.EVERY(s, 0), lambda s: tc.EXIST(s, 1), lambda s: tc.LAST(s, 0, 0),
    lambda s: tc.FILTER(s, 3), lambda s: tc.BARSLAST(s), lambda s: tc.BARSLASTCOUNT(s),
    lambda s: tc.BARSSINCEN(s, 1), lambda s: tc.TOPRANGE(s), lambda s: tc.LOWRANGE(s),
    lambda s: tc.LONGCROSS(s, s, 1), lambda s: tc.VALUEWHEN(s, s),
])
def test_empty_input(call):
    assert call([]) == []


# ---- native loops against their twins on random series ----

@pytest.mark.parametrize("a, b", [(0, 0), (1, 0), (2, 1), (3, 3), (5, 2), (1, 4), (29, 0)])
def test_last_matches_twin(a, b):
    for s in cases(seed=a * 10 + b):
        assert_same(tc.LAST(s, a, b), slow_last(s, a, b))


@pytest.mark.parametrize("n", [0, 1, 2, 3, 7, 30])
def test_filter_and_barssincen_match_twins(n):
    for s in cases(seed=50 + n):
        assert_same(tc.FILTER(s, n), slow_filter(s, n))
        assert_same(tc.BARSSINCEN(s, n), slow_barssincen(s, n))


@pytest.mark.parametrize("n", [0, 1, 2, 3, 6, 30])
def test_longcross_matches_twin(n):
    pool = [NAN, 1.0, 2.0, 3.0]
    for s1, s2 in zip(cases(seed=70 + n, pool=pool), cases(seed=90 + n, pool=pool)):
        assert_same(tc.LONGCROSS(s1, s2, n), slow_longcross(s1, s2, n))


@pytest.mark.parametrize("pool", [POOL, [NAN, INF, -INF, 1.0, 2.0, 3.0, 2.0]])
def test_toprange_lowrange_match_twins(pool):
    for s in cases(seed=len(pool), count=150, pool=pool):
        assert_same(tc.TOPRANGE(s), slow_range(s, lambda earlier, v: earlier >= v))
        assert_same(tc.LOWRANGE(s), slow_range(s, lambda earlier, v: earlier <= v))


def test_toprange_rising_series_is_linear():
    s = [float(i) for i in range(200_000)]
    assert tc.TOPRANGE(s) == [0.0] * len(s)
    assert tc.LOWRANGE(s)[-1] == 0.0
