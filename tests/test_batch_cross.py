import random

import numpy
import pytest

import tarvex_core as tc
from batch_helpers import COLUMNS, PAIRS, REGISTRY, batch_twin, random_table
from helpers import assert_same

EMPTY = [[]] * 7


@pytest.mark.parametrize("names, params, keep, columns", [
    (["macd"], [], False, ["cross"]),
    (["macd"], [], True, ["dif", "dea", "macd", "cross"]),
    (["macd", "kdj"], [], False, ["macd_cross", "kdj_cross", "cross"]),
    (["ma"], [[5, 10]], False, ["cross"]),
    (["rsi", "macd"], [], True, ["rsi", "dif", "dea", "macd", "cross"]),
    (["mass", "MASS"], [[], [5, 10, 3]], False, ["mass_cross", "mass_cross", "cross"]),
    (["ma", "ma"], [[5, 10], [20, 30]], True, ["ma5", "ma10", "ma20", "ma30", "ma_cross", "ma_cross", "cross"]),
])
def test_columns(names, params, keep, columns):
    assert tc.BATCH_CROSS(names, params, *EMPTY, keep) == ([], [], columns, [[]] * len(columns))


@pytest.mark.parametrize("names, params, message", [
    (["ma"], [[5, 10, 20]], "cross=True found no cross pair"),
    (["ma"], [[5]], "cross=True found no cross pair"),
    (["ma"], [], "cross=True found no cross pair"),
    (["rsi", "boll"], [], "cross=True found no cross pair"),
    (["rsi", "foo"], [], "unsupported indicator: foo"),
    ([], [], "names must not be empty"),
])
def test_errors(names, params, message):
    with pytest.raises(ValueError) as e:
        tc.BATCH_CROSS(names, params, *EMPTY, True)
    assert str(e.value) == message


def test_lengths_before_names_and_pairs():
    with pytest.raises(ValueError, match="^all input vectors must have the same length$"):
        tc.BATCH_CROSS([], [], [1], *EMPTY[1:], False)


@pytest.mark.parametrize("keep, ok", [
    (numpy.bool_(True), True), (numpy.True_, True), (1, False), (0, False), (None, False),
])
def test_keep_values_is_a_strict_bool(keep, ok):
    if ok:
        assert tc.BATCH_CROSS(["macd"], [], *EMPTY, keep)[2][0] == "dif"
        return
    with pytest.raises(TypeError, match="is not an instance of 'bool'") as e:
        tc.BATCH_CROSS(["macd"], [], *EMPTY, keep)
    assert getattr(e.value, "__notes__", ["while processing 'keep_values'"]) == ["while processing 'keep_values'"]


@pytest.mark.parametrize("seed", range(12))
def test_signals_equal_cross_of_the_pair(seed):
    rnd = random.Random(seed)
    expanding = [n for n in REGISTRY if REGISTRY[n][1]]
    names = rnd.sample(sorted(PAIRS), 3) + rnd.sample(expanding, 2) + rnd.sample(sorted(REGISTRY), 2)
    rnd.shuffle(names)
    params = [[rnd.choice([0, 2, 3, 5, 9]) for _ in range(rnd.choice([0, 2, 2, 3]))] for _ in names]
    table = random_table(rnd, rnd.randrange(0, 80))
    keep = rnd.random() < 0.5
    got = tc.BATCH_CROSS(names, params, *[table[k] for k in COLUMNS], keep)
    want = batch_twin(names, params, table, keep)
    assert got[:3] == want[:3]
    for g, w in zip(got[3], want[3]):
        assert_same(g, w)
