"""HHV, LLV, HHVBARS, LLVBARS and BARSSINCEN (one monotone queue, linear
time) against literal twins of the window-by-window scans, on series made
mostly of ties, NaN, infinities and signed zeros, for every window length."""
import random

import pytest

import tarvex_core as tc
from helpers import INF, NAN, assert_same
from test_condition import slow_barssincen
from test_window import slow_extreme, slow_extreme_bars

POOLS = [
    [NAN, INF, -INF, 0.0, -0.0, 1.0, -1.0],
    [NAN, NAN, NAN, -INF, INF, 0.0],
    [0.0, -0.0, 0.0, 2.0],
]


def series(seed):
    rng = random.Random(seed)
    out = []
    for _ in range(40):
        pool = rng.choice(POOLS)
        out.append([rng.choice(pool) for _ in range(rng.randrange(0, 30))])
    return out


@pytest.mark.parametrize("seed", range(4))
def test_queue_matches_the_scans_for_every_window(seed):
    for s in series(seed):
        for n in range(len(s) + 2):
            assert_same(tc.HHV(s, n), slow_extreme(s, n, lambda x, best: x >= best))
            assert_same(tc.LLV(s, n), slow_extreme(s, n, lambda x, best: x <= best))
            assert_same(tc.HHVBARS(s, n), slow_extreme_bars(s, n, lambda x, best: x > best, -INF))
            assert_same(tc.LLVBARS(s, n), slow_extreme_bars(s, n, lambda x, best: x < best, INF))
            assert_same(tc.BARSSINCEN(s, n), slow_barssincen(s, n))


def test_queue_across_chunks_of_bars():
    rng = random.Random(9)
    s = [rng.choice(POOLS[0]) if rng.random() < 0.5 else float(rng.randrange(-5, 5)) for _ in range(4200)]
    n = 150
    assert_same(tc.HHVBARS(s, n), slow_extreme_bars(s, n, lambda x, best: x > best, -INF))
    assert_same(tc.LLVBARS(s, n), slow_extreme_bars(s, n, lambda x, best: x < best, INF))
    assert_same(tc.BARSSINCEN(s, n), slow_barssincen(s, n))
