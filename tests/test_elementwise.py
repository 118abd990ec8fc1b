"""Element-wise functions: RD, RET, ABS, LN, POW, SQRT, SIN, COS, TAN,
MAX, MIN, IF, BETWEEN, CONST."""

import pytest

import tarvex_core as tc
from helpers import INF, NAN, assert_same


@pytest.mark.parametrize("fn, s, expected", [
    (tc.ABS, [-1.5, -0.0, NAN, -INF], [1.5, 0.0, NAN, INF]),
    (tc.LN, [1.0, 0.0, -1.0, NAN, INF, -0.0], [0.0, NAN, NAN, NAN, INF, NAN]),
    (tc.SQRT, [-4.0, -0.0, 9.0, NAN, INF], [NAN, -0.0, 3.0, NAN, INF]),
    (tc.SIN, [0.0, -0.0, NAN, INF, -INF], [0.0, -0.0, NAN, NAN, NAN]),
    (tc.COS, [0.0, NAN, INF], [1.0, NAN, NAN]),
    (tc.TAN, [0.0, NAN, -INF], [0.0, NAN, NAN]),
    (tc.CONST, [1.0, 2.0, 3.0], [3.0, 3.0, 3.0]),
    (tc.CONST, [1.0, NAN], [NAN, NAN]),
])
def test_unary_values(fn, s, expected):
    assert_same(fn(s), expected)


@pytest.mark.parametrize("fn", [tc.ABS, tc.LN, tc.SQRT, tc.SIN, tc.COS, tc.TAN, tc.CONST, tc.RD])
def test_unary_empty(fn):
    assert fn([]) == []


@pytest.mark.parametrize("s, n, expected", [
    ([2.0, NAN, -8.0], 0.0, [1.0, 1.0, 1.0]),
    ([-8.0], 1.0 / 3.0, [NAN]),
    ([4.0], 0.5, [2.0]),
    ([1.0], NAN, [1.0]),
    ([0.0, 2.0], -1.0, [INF, 0.5]),
    ([NAN, 3.0], 2.0, [NAN, 9.0]),
])
def test_pow(s, n, expected):
    assert_same(tc.POW(s, n), expected)


@pytest.mark.parametrize("s, d, expected", [
    ([2.5, -2.5, 1.23456], 3, [2.5, -2.5, 1.235]),
    ([2.5, -2.5], 0, [3.0, -3.0]),
    ([0.125], 2, [0.13]),
    ([2.675, 1.005], 2, [2.68, 1.0]),
    ([NAN, INF, -INF, -0.0], 3, [NAN, INF, -INF, -0.0]),
    # x * f not finite: the value comes back unchanged.
    ([1e300, -1e300, 1.5], 10, [1e300, -1e300, 1.5]),
    ([0.0, -0.0, 1.25, NAN], 309, [0.0, -0.0, 1.25, NAN]),
    ([0.0, 3.75, -2.0], 400, [0.0, 3.75, -2.0]),
    ([0.0, 3.75], 2**31, [0.0, 3.75]),
    ([0.0, 3.75, NAN], 2**32 - 1, [0.0, 3.75, NAN]),
])
def test_rd(s, d, expected):
    assert_same(tc.RD(s, d), expected)


def test_rd_default_is_three_decimals():
    assert_same(tc.RD([1.23456, -0.0005]), [1.235, -0.001])


@pytest.mark.parametrize("s, n, expected", [
    ([1.0, 2.0, 3.0], 1, 3.0),
    ([1.0, 2.0, 3.0], 3, 1.0),
    ([1.0, 2.0, 3.0], 4, NAN),
    ([], 1, NAN),
    ([1.0, NAN], 1, NAN),
    ([1.0, 2.0], 2**64 - 1, NAN),
])
def test_ret(s, n, expected):
    assert_same([tc.RET(s, n)], [expected])


def test_ret_default_is_last_value():
    assert tc.RET([1.0, 2.0, 7.0]) == 7.0


@pytest.mark.parametrize("s", [[1.0], [], [1.0, 2.0]])
def test_ret_zero_fails(s):
    with pytest.raises(ValueError, match="^n must be at least 1$"):
        tc.RET(s, 0)


@pytest.mark.parametrize("fn, s1, s2, expected", [
    (tc.MAX, [1.0, 5.0, NAN], [3.0, 2.0, 1.0, 9.0], [3.0, 5.0, NAN]),
    (tc.MIN, [1.0, 5.0, NAN], [3.0, 2.0, 1.0, 9.0], [1.0, 2.0, NAN]),
    (tc.MAX, [1.0, 2.0, 3.0, 4.0], [0.0, NAN], [1.0, NAN]),
    (tc.MAX, 2.0, 3.0, [3.0]),
    (tc.MIN, NAN, 3.0, [NAN]),
    (tc.MAX, [1.0, 4.0], 2.0, [2.0, 4.0]),
    (tc.MIN, 2.0, [1.0, 4.0], [1.0, 2.0]),
    (tc.MAX, [1.0, NAN], NAN, [NAN, NAN]),
    (tc.MAX, [-INF, INF], [1.0, 1.0], [1.0, INF]),
    (tc.MIN, [-INF, INF], [1.0, 1.0], [-INF, 1.0]),
    (tc.MAX, [], 1.0, []),
    (tc.MIN, [1.0], [], []),
])
def test_max_min(fn, s1, s2, expected):
    assert_same(fn(s1, s2), expected)


@pytest.mark.parametrize("s, a, b, expected", [
    ([1.0, 0.0, NAN, -0.0], 10.0, 20.0, [10.0, 20.0, 10.0, 20.0]),
    ([1.0, 0.0, 1.0], [7.0, 8.0], 0.0, [7.0, 0.0]),
    ([1.0, 0.0, 1.0], 0.0, [7.0, 8.0], [0.0, 8.0]),
    ([1.0, 0.0, 1.0, 0.0], [1.0, 2.0, 3.0], [5.0, 6.0, 7.0, 8.0, 9.0], [1.0, 6.0, 3.0]),
    ([2.0, 0.0], [NAN, NAN], [INF, -INF], [NAN, -INF]),
    ([], 1.0, 2.0, []),
])
def test_if(s, a, b, expected):
    assert_same(tc.IF(s, a, b), expected)


@pytest.mark.parametrize("s, a, b, expected", [
    ([2.0, 2.0, 1.0, 5.0], [1.0, 3.0, 1.0, NAN], [3.0, 1.0, 3.0, 9.0], [1.0, 1.0, 0.0, 0.0]),
    ([2.0, 3.0, 2.0], [1.0, 1.0], [3.0, 3.0, 3.0], [1.0, 0.0]),
    ([0.0, 5.0], [-INF, INF], [INF, -INF], [1.0, 1.0]),
    ([NAN, 1.0], [0.0, NAN], [5.0, 5.0], [0.0, 0.0]),
    ([], [1.0], [2.0], []),
])
def test_between(s, a, b, expected):
    assert_same(tc.BETWEEN(s, a, b), expected)

