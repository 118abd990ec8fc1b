"""`tarvex.batch`, `batch_cross` and `zhishu` against the core module's
tables: the same rows and bits whatever the row order, dtypes and threads."""
import numpy as np
import pytest

import tarvex as tv
import tarvex_core as tc
from helpers import assert_same

NAMES = ["macd", "kdj", "rsi", "boll", "ma", "dmi", "asi", "xsii", "obv", "ref"]
PARAMS = [[], [9, 3, 3], [], [20, 2], [5, 10, 20], [], [], [], [], [1, 2]]


def market(seed, codes=40, bars=60):
    rng = np.random.default_rng(seed)
    code = np.repeat(rng.choice(10**9, codes, replace=False), bars)
    date = np.tile(20240101 + np.arange(bars), codes)
    close = 10 + rng.standard_normal(code.size).cumsum() * 0.1
    close[rng.random(code.size) < 0.02] = np.nan
    order = rng.permutation(code.size)
    cols = [close + 0.05, close + 0.2, close - 0.2, close, rng.random(code.size) * 1e6]
    return code[order], date[order], [c[order] for c in cols]


def assert_table(got, expected):
    codes, dates, fields, columns = expected
    assert list(got) == ["code", "date"] + fields
    assert got["code"].dtype == np.uint64 and got["code"].tolist() == codes
    assert got["date"].dtype == np.int64 and got["date"].tolist() == dates
    for f, column in zip(fields, columns):
        assert_same(got[f].tolist(), column)


@pytest.mark.parametrize("threads", [1, 3])
def test_batch_equals_the_core_table(threads):
    code, date, cols = market(1)
    expected = tc.BATCH(NAMES, PARAMS, code.tolist(), date.tolist(), *[c.tolist() for c in cols])
    assert_table(tv.batch(NAMES, PARAMS, code.astype(np.int32), date, *cols, threads=threads), expected)
    cross = tc.BATCH_CROSS(["MACD", "ma"], [[], [5, 10]], code.tolist(), date.tolist(),
                           *[c.tolist() for c in cols], True)
    assert_table(tv.batch_cross(["MACD", "ma"], [[], [5, 10]], code, date, *cols, True, threads=threads), cross)


def test_row_order_does_not_matter():
    code, date, cols = market(2)
    first = tv.batch(["kdj"], [[]], code, date, *cols)
    order = np.lexsort((code, date))  # date by date, the layout of daily files
    again = tv.batch(["kdj"], [[]], code[order], date[order], *[c[order] for c in cols])
    for key in first:
        assert_same(first[key].tolist(), again[key].tolist())


def test_zhishu_equals_the_core_index():
    code, date, cols = market(3, codes=12, bars=30)
    extra = [np.abs(c) for c in cols[:3]]
    for method in range(1, 6):
        got = tv.zhishu(code, date, *cols, *extra, method=method)
        expected = tc.ZHISHU(code.tolist(), date.tolist(), *[c.tolist() for c in cols + extra], method)
        assert list(got) == list(tv._market.ZHISHU_FIELDS)
        for column, values in zip(got.values(), expected):
            assert_same(column.tolist(), values)


def test_table_errors():
    code, date, cols = market(4, codes=2, bars=5)
    with pytest.raises(ValueError, match="unsupported indicator: 'nope'; choose from: asi, atr, "):
        tv.batch(["NOPE"], [[]], code, date, *cols)
    with pytest.raises(ValueError, match="same length"):
        tv.batch(["ma"], [[]], code[:-1], date, *cols)
    with pytest.raises(ValueError, match="twice"):
        tv.batch(["ma", "ma"], [[5], [5]], code, date, *cols)
    with pytest.raises(OverflowError, match="negative"):
        tv.batch(["ma"], [[]], -code.astype(np.int64) - 1, date, *cols)


def test_failures_keep_the_core_types_and_come_before_computing():
    code, date, cols = market(4, codes=2, bars=5)
    negative, late = -code.astype(np.int64) - 1, date.astype(np.uint64) + 2**63

    def raised(call):
        with pytest.raises(Exception) as caught:
            call()
        return caught.type

    for params, c, d in ([[2**64]], code, date), ([[-1]], code, date), ([[5]], negative, date), ([[5]], code, late):
        core = raised(lambda: tc.BATCH(["ma"], params, c.tolist(), d.tolist(), *[x.tolist() for x in cols]))
        assert raised(lambda: tv.batch(["ma"], params, c, d, *cols)) is core is OverflowError
    assert raised(lambda: tv.MA(cols[0], 2**64)) is raised(lambda: tc.MA(cols[0].tolist(), 2**64))
    assert raised(lambda: tv.zhishu(code, date, *cols, *cols[:3], method=2**64)) is OverflowError
    # a field named twice is refused before the table is read (its lengths differ here)
    with pytest.raises(ValueError, match="field 'ma5' twice"):
        tv.batch(["ma"], [[5, 0]], code[:-1], date, *cols)


@pytest.mark.parametrize("layout", ["shuffled", "wide codes", "sorted halves", "date by date", "a code a row",
                                    "ordered"])
def test_large_tables_keep_code_date_input_order(layout):
    # Tables long enough to be grouped in several chunks: every kept row
    # lands at its (code, date, input position) place, with duplicate keys,
    # skipped bars and any number of threads.
    rng = np.random.default_rng(7)
    n = 300_000
    code = rng.integers(600_000, 600_000 + 700, n).astype(np.int64)
    if layout == "wide codes":
        code = code * (2**40 + 1)
    if layout == "a code a row":
        code = rng.permutation(n) * 3
    date = rng.integers(-400, 400, n)
    if layout == "sorted halves":  # each half ordered, the whole not
        half = n // 2
        order = np.r_[np.lexsort((date[:half], code[:half])), half + np.lexsort((date[half:], code[half:]))]
        code, date = code[order], date[order]
    if layout in ("date by date", "ordered"):
        order = np.lexsort((code, date)) if layout == "date by date" else np.lexsort((date, code))
        code, date = code[order], date[order]
    close = rng.random(n) + 1.0  # MA of one bar gives each row's own close back
    close[rng.random(n) < 0.01] = np.nan
    kept = np.flatnonzero(np.isfinite(close))
    want = kept[np.lexsort((kept, date[kept], code[kept]))]
    starts = np.flatnonzero(np.r_[True, code[want][1:] != code[want][:-1]])
    ma3 = tv.MA(close[want], 3, starts=starts)  # each security on its own
    for threads in (1, 2):
        got = tv.batch(["ma"], [[1, 3]], code, date, close, close, close, close, close, threads=threads)
        assert np.array_equal(got["code"], code[want].astype(np.uint64))
        assert np.array_equal(got["date"], date[want])
        assert np.array_equal(got["ma1"], close[want])
        assert np.array_equal(got["ma3"], ma3, equal_nan=True)
    # The core module's lists are filled security by security while later
    # ones are computed, and the copied bars are given back behind them.
    lists = [code.tolist(), date.tolist()] + [close.tolist()] * 5
    codes, dates, _, (ma1, ma3_lists) = tc.BATCH(["ma"], [[1, 3]], *lists)
    assert codes == code[want].tolist() and dates == date[want].tolist()
    assert np.array_equal(ma1, close[want]) and np.array_equal(ma3_lists, ma3, equal_nan=True)
    cross = tc.BATCH_CROSS(["ma"], [[1, 3]], *lists, False)
    assert cross[3][0] == tv.batch_cross(["ma"], [[1, 3]], code, date, close, close, close, close, close,
                                         False)["cross"].tolist()


@pytest.mark.parametrize("shape", [
    lambda a: a.astype(np.int32), lambda a: a.astype(np.uint64), lambda a: a.astype(">i8"),
    lambda a: np.repeat(a, 2)[::2], lambda a: a.astype(np.float64).astype(np.int64)[::-1][::-1],
    lambda a: np.frombuffer(b"\0" + a.astype(np.int64).tobytes(), np.int64, offset=1),
], ids=["int32", "uint64", "big-endian", "strided", "fresh", "misaligned"])
def test_code_and_date_columns_of_any_layout(shape):
    # Codes and dates are read in place when they are contiguous 64-bit
    # columns and converted otherwise: every layout gives the same tables.
    code, date, cols = market(4, codes=15, bars=40)
    code = code % 2**31
    want = tv.batch(["macd", "obv"], [[], []], code, date, *cols)
    got = tv.batch(["macd", "obv"], [[], []], shape(code), shape(date), *cols)
    for key in want:
        assert_same(got[key].tolist(), want[key].tolist())
    extra = [np.abs(c) for c in cols[:3]]
    want = tv.zhishu(code, date, *cols, *extra)
    got = tv.zhishu(shape(code), shape(date), *cols, *extra)
    for key in want:
        assert_same(got[key].tolist(), want[key].tolist())
