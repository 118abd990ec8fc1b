import random

import pytest

import tarvex_core as tc
from batch_helpers import COLUMNS, REGISTRY, batch_twin, random_table
from helpers import INF, NAN, assert_same

EMPTY = [[]] * 7


def cols(code, date, close, **other):
    n = len(date)
    return [code, date] + [other.get(k, [1.0] * n) for k in ("open", "high", "low")] + [close, other.get("volume", [1.0] * n)]


def assert_table(got, want):
    assert got[:3] == want[:3]
    assert len(got[3]) == len(want[3])
    for g, w in zip(got[3], want[3]):
        assert_same(g, w)


@pytest.mark.parametrize("names, params, fields", [
    (["macd", "ma"], [[], [5, 10]], ["dif", "dea", "macd", "ma5", "ma10"]),
    (["MA"], [[5, 10, 20]], ["ma5", "ma10", "ma20"]),
    (["ma", "ma", "ma"], [[], [0]], ["ma5", "ma5", "ma5"]),
    (["ma"], [[0, 0]], ["ma5", "ma5"]),
    (["ema", "ema"], [[12], [12, 26]], ["ema12", "ema12", "ema26"]),
    (["rsi"], [[6, 12, 24]], ["rsi"]),
    (["sma", "dma", "dma", "ref"], [[10, 2], [], [50]], ["sma10", "sma2", "dma10", "dma50", "ref1"]),
    (["Macd", "\u212adj", "obv"], [[12, 26, 9, 5, 7], [], [30]], ["dif", "dea", "macd", "k", "d", "j", "obv"]),
])
def test_field_names(names, params, fields):
    assert tc.BATCH(names, params, *EMPTY) == ([], [], fields, [[]] * len(fields))


@pytest.mark.parametrize("names, params, message", [
    (["foo"], [], "unsupported indicator: foo"),
    (["ma", "FOO", "bar"], [], "unsupported indicator: foo"),
    ([""], [], "unsupported indicator: "),
    ([" macd"], [], "unsupported indicator:  macd"),
    (["ΟΔΟΣ"], [], "unsupported indicator: \u03bf\u03b4\u03bf\u03c2"),
    ([], [], "names must not be empty"),
])
def test_name_errors(names, params, message):
    with pytest.raises(ValueError) as e:
        tc.BATCH(names, params, *EMPTY)
    assert str(e.value) == message


@pytest.mark.parametrize("col", range(2, 9))
def test_lengths_checked_before_names(col):
    args = [[], []] + cols([1, 1], [1, 2], [1.0, 2.0])
    args[col] = args[col][:1]
    with pytest.raises(ValueError, match="^all input vectors must have the same length$"):
        tc.BATCH(*args)


@pytest.mark.parametrize("args, error, text, param", [
    (("ma", [], *EMPTY), TypeError, "Can't extract `str` to `Vec`", "names_in"),
    (([1], [], *EMPTY), TypeError, "'int' object is not an instance of 'str'", "names_in"),
    ((["\ud800"], [], *EMPTY), UnicodeEncodeError, "surrogate", "names_in"),
    ((["ma"], ["5"], [1], "x", *EMPTY[2:]), TypeError, "Can't extract `str` to `Vec`", "params_in"),
    ((["ma"], [], [-1], [1.5], *EMPTY[2:]), OverflowError, None, "code_i"),
    ((["ma"], [], [1], [1.5], *EMPTY[2:]), TypeError, "cannot be interpreted as an integer", "date"),
])
def test_conversion_errors(args, error, text, param):
    with pytest.raises(error, match=text) as e:
        tc.BATCH(*args)
    assert getattr(e.value, "__notes__", [f"while processing '{param}'"]) == [f"while processing '{param}'"]


def test_grouping_order_and_dropped_rows():
    code = [600000, 1, 2**64 - 1, 1, 600000, 1, 10, 2]
    date = [5, 3, -7, 1, 2, 3, 0, 0]
    close = [1.0, 2.0, 3.0, NAN, 5.0, 6.0, INF, 8.0]
    got = tc.BATCH(["ref"], [], *cols(code, date, close, volume=[NAN] * 8))
    assert got[:2] == ([1, 1, 2, 600000, 600000, 2**64 - 1], [3, 3, 0, 2, 5, -7])
    assert_same(got[3][0], [NAN, 2.0, NAN, NAN, 5.0, NAN])
    assert tc.BATCH(["ma"], [], *cols([1, 2], [1, 2], [NAN, -INF])) == ([], [], ["ma5"], [[]])


@pytest.mark.parametrize("seed", range(12))
def test_matches_single_series_functions(seed):
    rnd = random.Random(seed)
    names = rnd.sample(sorted(REGISTRY), 10)
    names = [n.upper() if rnd.random() < 0.3 else n for n in names]
    params = [[rnd.choice([0, 1, 2, 3, 5, 9, 30]) for _ in range(rnd.randrange(4))] for _ in names]
    table = random_table(rnd, rnd.randrange(0, 80))
    params = params[:rnd.randrange(len(names) + 1)]  # names without a list take the defaults
    got = tc.BATCH(names, params, *[table[k] for k in COLUMNS])
    assert_table(got, batch_twin(names, params, table))


def test_every_name_with_defaults():
    table = random_table(random.Random(99), 400, n_codes=3, nan_share=0.03)
    names = sorted(REGISTRY)
    assert_table(tc.BATCH(names, [], *[table[k] for k in COLUMNS]), batch_twin(names, [], table))


def test_same_table_on_any_number_of_threads(monkeypatch):
    # Securities are computed on worker threads while the caller, holding the
    # interpreter lock, builds the lists in code order; the table must not
    # depend on how many threads there are. Half the rows go to three large
    # securities, so that small ones computed later finish first.
    rnd = random.Random(7)
    table = random_table(rnd, 6000, n_codes=7, nan_share=0.02)
    table["code_i"] = [rnd.randrange(300) if rnd.random() < 0.5 else 3 * rnd.randrange(3) for _ in table["code_i"]]
    args = [table[k] for k in COLUMNS]
    names, params = ["macd", "kdj", "boll", "ma"], [[], [], [], [5, 60]]
    tables = {}
    for threads in ("1", "3", "8"):
        monkeypatch.setenv("TARVEX_THREADS", threads)
        tables[threads] = (tc.BATCH(names, params, *args), tc.BATCH_CROSS(names, params, *args, True))
    for threads in ("3", "8"):
        for one, many in zip(tables["1"], tables[threads]):
            assert_table(many, one)


@pytest.mark.parametrize("n", [0, 1, 511, 512, 513, 2049])
def test_result_lists_of_any_length_hold_every_value(n):
    # Long result lists are made whole before their slots are set one by one,
    # and a table's lists are set a security at a time: no slot may be left
    # over or missed, whatever the length. A third of the closes are NaN, so
    # the table is shorter than its input (empty when n is 1 and it is NaN).
    rnd = random.Random(n)
    close = [rnd.uniform(1, 2) if i % 3 else NAN for i in range(n)]
    assert_same(tc.MA(close, 1), close)
    codes = [rnd.randrange(7) for _ in range(n)]
    dates = rnd.sample(range(10 * n), n)
    kept = sorted((codes[i], dates[i], close[i]) for i in range(n) if i % 3)
    table = tc.BATCH(["ma"], [[1]], codes, dates, close, close, close, close, close)
    assert table == ([k[0] for k in kept], [k[1] for k in kept], ["ma1"], [[k[2] for k in kept]])
