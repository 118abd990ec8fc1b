"""Security codes and dates as keys of the whole-market functions: values
from anywhere in their 64-bit ranges order correctly, and what a call costs
does not depend on the values (codes that would collide in a hash table
keyed by the code itself cost what codes 0..n-1 cost)."""
import os
import random
import sys
import time

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tarvex_core as tc
from helpers import NAN

U64_MAX = 2 ** 64 - 1
I64_MIN, I64_MAX = -2 ** 63, 2 ** 63 - 1


def edge_values(rnd, low, high):
    """A few values at byte boundaries and range ends, and random ones."""
    edges = [low, high, 0, 1, 255, 256, 65535, 65536, 2 ** 32, 2 ** 62, -1, -256, -257]
    edges = [v for v in edges if low <= v <= high]
    return [rnd.choice(edges) if rnd.random() < 0.5 else rnd.randint(low, high)
            for _ in range(rnd.randrange(1, 12))]


@pytest.mark.parametrize("seed", range(30))
def test_batch_rows_by_code_then_date_then_input_order(seed):
    rnd = random.Random(seed)
    codes, dates = edge_values(rnd, 0, U64_MAX), edge_values(rnd, I64_MIN, I64_MAX)
    n = rnd.randrange(0, 300)
    keys = [(rnd.choice(codes), rnd.choice(dates)) for _ in range(n)]
    # tables in code and date order, in date order, and shuffled
    keys.sort(key=rnd.choice([lambda k: k, lambda k: k[1], lambda k: 0]))
    code, date = [k[0] for k in keys], [k[1] for k in keys]
    # each row's close is its own number, so the output shows which row went where
    close = [NAN if rnd.random() < 0.1 else float(r) for r in range(n)]
    got = tc.BATCH(["ma"], [[1]], code, date, close, close, close, close, close)
    rows = sorted((r for r in range(n) if close[r] == close[r]), key=lambda r: (code[r], date[r], r))
    assert got[:2] == ([code[r] for r in rows], [date[r] for r in rows])
    assert got[3] == [[float(r) for r in rows]]


def test_zhishu_cost_does_not_depend_on_code_values():
    # Multiples of 42043, a bucket count a hash table of 40,000 entries takes,
    # would all share one chain if the code were its own hash: such a table
    # takes minutes for these 200,000 rows instead of a fraction of a second.
    # Both timings come from this one test, so only their ratio matters.
    n_codes, days = 40_000, 5
    date = [d for d in range(days) for _ in range(n_codes)]
    price = [1.0 + (i % 7) * 0.125 for i in range(len(date))]
    plain = list(range(n_codes)) * days
    flooding = [c * 42043 for c in range(n_codes)] * days

    def timed(code):
        start = time.perf_counter()
        result = tc.ZHISHU(code, date, *[price] * 8)
        return time.perf_counter() - start, result

    for _ in range(3):  # a busy machine may stall either run once
        (t_plain, want), (t_flooding, got) = timed(plain), timed(flooding)
        assert got == want and len(got[0]) == days - 1
        if t_flooding < 5 * t_plain + 0.1:
            break
    assert t_flooding < 5 * t_plain + 0.1, (t_flooding, t_plain)


def test_the_native_order_is_a_stable_sort_by_code_then_date():
    from tarvex import _native

    rng = np.random.default_rng(11)
    # 400,000 rows of 30 codes: the counting sort's several chunks, each
    # code's rows spread over all of them.
    for k, (n, span) in enumerate([(0, 1), (1, 1), (500, 7), (3000, 40), (2000, 2**40), (800, 2**63), (400_000, 30),
                                   (3000, 40)]):
        code = rng.integers(-span // 2, span // 2 + 1, n, dtype=np.int64) if span > 1 else np.zeros(n, np.int64)
        # Dates a few apart (held with the row in one word) and nanoseconds
        # of days over decades (held apart).
        date = rng.integers(-50, 50, n, dtype=np.int64) * (1 if k % 2 else 86_400 * 10**9)
        carried = (rng.normal(size=n).view(np.int64), rng.integers(-2**63, 2**63 - 1, n, dtype=np.int64))
        for dates in (date, None):
            rows, starts, repeats, sorted_dates, moved = _native.order(code, dates, carried)
            rows, starts = np.asarray(rows), np.asarray(starts)
            want = np.lexsort((date, code)) if dates is not None else np.argsort(code, kind="stable")
            assert np.array_equal(rows, want)
            assert all(np.array_equal(np.asarray(m), c[want]) for m, c in zip(moved, carried))
            ordered = code[want]
            assert np.array_equal(starts, np.flatnonzero(np.r_[True, ordered[1:] != ordered[:-1]][:n]))
            pairs = np.c_[ordered, date[want]] if dates is not None else None
            assert repeats == (0 if pairs is None else int(np.all(pairs[1:] == pairs[:-1], axis=1).sum()))
            assert (sorted_dates is None) if dates is None else np.array_equal(np.asarray(sorted_dates), date[want])


def test_gathered_columns_equal_numpy_indexing():
    from tarvex import _native
    from tarvex._columns import gather

    rng = np.random.default_rng(5)
    n = 70_000  # past the size gathered natively, over several stretches
    rows = rng.permutation(n).astype(np.int64)[: n - 123]
    values = rng.integers(-2**63, 2**63 - 1, n, dtype=np.int64)
    for dtype in ("f8", "i8", "u8", "M8[ns]", "m8[s]", "f4", "O"):
        column = values.view(dtype) if np.dtype(dtype) != object and np.dtype(dtype).itemsize == 8 \
            else values.astype(dtype)
        got, want = gather(rows, column), column[rows]
        assert got.dtype == want.dtype and (got.tolist() == want.tolist() if dtype == "O"
                                            else got.tobytes() == want.tobytes()), dtype
    with pytest.raises(ValueError, match="outside"):
        _native.take(np.array([0, n], dtype=np.int64), (values,), 0)


@pytest.mark.parametrize("seed", range(4))
def test_text_codes_key_and_number_as_their_python_strings_sort(seed):
    # Texts of every kind the keys must order: prefixes of each other, NUL
    # and high bytes, several bytes a character, the longest read as keys
    # (16 bytes) and longer; as pandas Arrow text in several sliced chunks,
    # and as polars text (string views, inline and not).
    import pandas as pd
    import polars as pl
    import pyarrow as pa

    from tarvex import _native
    from tarvex._columns import Key, arrow_chunks

    rng = np.random.default_rng(seed)
    pool = ["", "a", "a\x00", "a\x00b", "ab", "b", "é", "日本", "600000", "600001", "000001.SZ", "z" * 16, "z" * 17,
            "x" * 13, "\x7f", "\U0001f600"]
    narrow = ["600000", "600001", "000001", "300750"]  # keys read from the bytes
    for texts in (pool, narrow, pool[:4]):
        n = int(rng.integers(1, 3000))
        values = [texts[i] for i in rng.integers(0, len(texts), n)]
        rank = {v: i for i, v in enumerate(sorted(set(values)))}  # Python's order of str
        want_ids = np.array([rank[v] for v in values])
        cut = int(rng.integers(0, n))
        chunked = pa.chunked_array([pa.array(["pad"] + values[:cut])[1:], pa.array(values[cut:])])
        columns = [pd.Series(values, dtype="string[pyarrow]"), pd.Series(pd.arrays.ArrowStringArray(chunked)),
                   pl.Series(values, dtype=pl.String), np.array(values, dtype=object),
                   pd.Series(values, dtype=object), pd.Series(values, dtype="string[python]")]
        for column in columns:
            key = Key("code", column, "code", n, False)
            assert key._arrow is not None
            keys = key.sort_keys()
            assert np.array_equal(pd.factorize(keys, sort=True)[0], want_ids), type(column)
            assert np.array_equal(key.ids, want_ids)
            rows = np.argsort(keys, kind="stable")
            for given in (rows, None):
                got = key.from_sort_keys(keys[rows], given)
                assert list(got) == [values[r] for r in rows] and got.dtype == column.dtype
        if texts is narrow:
            assert key._text_keys is not None  # the counting sort's keys, not the numbered texts
        # 32-bit offsets into chunks that start inside their buffers, read natively.
        chunks = arrow_chunks(chunked)
        assert [c[0].dtype for c in chunks] == [np.int32] * 2 and chunks[0][2] == 1
        ids, firsts = _native.text_ids(chunks)
        assert np.array_equal(np.asarray(ids), want_ids)
        assert [values[i] for i in np.asarray(firsts)] == sorted(set(values))
        keys = _native.text_keys(chunks, n + 65536)
        assert keys is None or np.array_equal(pd.factorize(np.asarray(keys), sort=True)[0], want_ids)
        rows, counts = rng.integers(0, n, 5), rng.integers(0, 4, 5)
        offsets, data = (np.asarray(b) for b in _native.repeat_texts(chunks, rows, counts))
        got = [bytes(data[a:b]).decode() for a, b in zip(offsets[:-1], offsets[1:])]
        assert got == [values[r] for r, c in zip(rows, counts) for _ in range(c)]


def str_texts(column, by_object=None):
    """Each row's text as _native.str_texts reads it (of each row, or of
    each distinct object with each row's object); by_object, where given,
    is the form expected."""
    from tarvex import _native

    offsets, data, object_of, first_row = (None if b is None else np.asarray(b) for b in _native.str_texts(column))
    texts = [bytes(data[a:b]).decode("utf-8", "surrogatepass") for a, b in zip(offsets[:-1], offsets[1:])]
    assert by_object is None or by_object == (object_of is not None)
    if object_of is None:
        return texts
    assert [column[r] is column[first_row[object_of[r]]] for r in range(len(column))] == [True] * len(column)
    assert np.array_equal(first_row, np.sort(first_row)) and np.all(object_of[first_row] == np.arange(len(texts)))
    return [texts[k] for k in object_of]


def test_str_objects_are_read_as_their_utf8_bytes():
    # Python str objects: shared by many rows (as a file reader shares
    # equal texts) or one per row, in long runs of each (which turn the
    # reader's table of objects met off and on), scattered or in order,
    # lone surrogates included. Each row's bytes are its text, and the
    # texts rank as Python orders them. Anything but an exact str is left
    # to the general way.
    import pandas as pd

    from tarvex import _native
    from tarvex._columns import Key

    rng = np.random.default_rng(11)
    pool = ["", "a", "a\x00", "a\x00b", "é", "\ud800", "\udfff", "\ue000", "\U0001f600", "z" * 40, "600000"]
    shared = [pool[i] for i in rng.integers(0, len(pool), 150_000)]
    own = [f"{k % 997:06d}" for k in rng.integers(0, 10**6, 150_000)]  # a new object each
    shared_sorted = sorted(shared)  # runs of one object
    short = [v for v in shared if len(v) <= 16]  # keys read from the bytes, not numbered
    for values, by_object in ((shared + own + shared, False), (sorted(own + shared), False), (shared, True),
                              (short, True),
                              (shared_sorted + own[:100], True), (pool[:1], True), ([], True)):
        column = np.array(values, dtype=object)
        held = [sys.getrefcount(v) for v in pool]
        assert str_texts(column, by_object) == values
        assert [sys.getrefcount(v) for v in pool] == held  # the objects held while read are let go
        key = Key("code", column, "code", len(values), False)
        rank = {v: i for i, v in enumerate(sorted(set(values)))}
        assert key._objects is not None and np.array_equal(key.ids, [rank[v] for v in values])
        keys = key.sort_keys()
        assert np.array_equal(pd.factorize(keys, sort=True)[0], key.ids)
        if len(values) and key._text_keys is not None:  # first rows from the objects' keys, as from the rows'
            assert np.array_equal(key._first_rows(), np.asarray(_native.first_rows(keys, int(keys.max()) + 1)))
    for odd in (None, 1, np.nan, type("Text", (str,), {})("a")):
        column = np.array(["a", odd], dtype=object)
        assert _native.str_texts(column) is None
        assert Key("code", pd.Series(column), "code", 2, False)._objects is None
    with pytest.raises(TypeError, match="array of objects"):
        _native.str_texts(np.array(["a", "b", "c"], dtype=object)[::2])


@settings(max_examples=int(os.environ.get("TARVEX_FUZZ_EXAMPLES", "200")), deadline=None)
@given(st.lists(st.text(st.characters(min_codepoint=0, max_codepoint=0x10FFFF), max_size=20), max_size=40),
       st.lists(st.integers(0, 39), max_size=120))
def test_any_str_objects_number_as_python_sorts_them(texts, picks):
    # Any characters (surrogates, NULs, astral ones), shared objects picked
    # again: each row's bytes decode to its text, and the ranks are Python's.
    from tarvex import _native
    from tarvex._columns import Key

    values = texts + [texts[k % len(texts)] for k in picks] if texts else []
    column = np.array(values, dtype=object)
    assert str_texts(column) == values
    rank = {v: i for i, v in enumerate(sorted(set(values)))}
    assert np.array_equal(Key("code", column, "code", len(values), False).ids, [rank[v] for v in values])


def test_text_keys_of_codes_the_sample_missed_are_still_exact():
    # Keys are read from a sample of the rows first; a code only on rows the
    # sample skipped (a byte, or a length, it never met) must still be told
    # apart and ordered.
    import pandas as pd

    from tarvex._columns import Key

    n = 300_000
    for rare in ("600009", "60000", "6000011"):
        values = np.where(np.arange(n) % 2 == 0, "600000", "600001").astype(object)
        values[[1, n - 2]] = rare
        key = Key("code", pd.Series(values, dtype="string[pyarrow]"), "code", n, False)
        keys = key.sort_keys()
        assert key._text_keys is not None
        rank = {v: i for i, v in enumerate(sorted(set(values)))}
        assert np.array_equal(pd.factorize(keys, sort=True)[0], [rank[v] for v in values])


@pytest.mark.parametrize("ordered", [False, True])
def test_the_engine_says_where_each_row_came_from_and_counts_repeats(ordered):
    # Random markets with repeated (code, date) pairs and rows without a
    # close, shuffled or in order: each table row's input row holds its
    # code and date, every row with a close appears once, and the repeats
    # are the pairs met again.
    from tarvex._market import sourced_table

    rng = np.random.default_rng(8)
    for n, scale in ((0, 1), (1, 1), (50, 2**40), (5000, 1), (5000, 2**40)):  # codes numbered by offset or rank
        code = rng.integers(0, 12, n).astype(np.uint64) * np.uint64(scale)
        date = rng.integers(0, 300, n).astype(np.int64)
        if ordered:
            order = np.lexsort((date, code))
            code, date = code[order], date[order]
        close = rng.normal(10, 1, n)
        close[rng.random(n) < 0.1] = np.nan
        bars = [close] * 5
        for sources in (True, False):
            table, rows, repeats = sourced_table(False, False, ["ma"], [[5]], code, date, bars, 2, sources)
            kept = np.flatnonzero(np.isfinite(close))
            pairs = np.c_[code[kept], date[kept].astype(np.uint64)]
            assert repeats == len(kept) - len(np.unique(pairs, axis=0)) if n else repeats == 0
            if sources:
                assert rows is not None and sorted(rows) == list(kept)
                assert np.array_equal(code[rows], table["code"]) and np.array_equal(date[rows], table["date"])
            else:
                assert rows is None


def test_text_numbers_of_many_distinct_texts_over_several_pieces():
    # Texts too long for keys read from their bytes are numbered in pieces
    # of rows, each with its own table, merged and ranked: many distinct
    # texts, each on rows of several pieces.
    import pandas as pd

    from tarvex._columns import Key

    rng = np.random.default_rng(4)
    distinct = [f"{'x' * int(k % 7)}security-{k:07d}-{'é' * int(k % 3)}" for k in rng.permutation(40_000)]
    values = [distinct[i] for i in rng.integers(0, len(distinct), 200_000)]
    key = Key("code", pd.Series(values, dtype="string[pyarrow]"), "code", len(values), False)
    rank = {v: i for i, v in enumerate(sorted(set(values)))}
    assert key._arrow is not None and np.array_equal(key.sort_keys(), [rank[v] for v in values])
    assert key._text_keys is None


def test_text_chunks_pointing_outside_their_buffers_are_refused():
    from tarvex import _native

    data = np.frombuffer(b"abcdef", np.uint8)

    def view(size, buffer, offset):
        return np.array([size, 0, buffer, offset], np.int32).view(np.uint8)

    bad = [(np.array([0, 3, 9], np.int32), (data,)),  # past the bytes
           (np.array([0, 4, 2], np.int64), (data,)),  # offsets that fall
           (np.array([0, 3], np.int64), (data,)),  # fewer offsets than texts
           (np.r_[view(2, 0, 0), view(20, 1, 0)], (data,)),  # a view of a buffer there is not
           (np.r_[view(2, 0, 0), view(20, 0, 0)], (data,))]  # a view past its buffer
    for layout, buffers in bad:
        chunks = ((layout, buffers, 0, 2),)
        for call in (lambda: _native.text_ids(chunks), lambda: _native.text_keys(chunks, 100),
                     lambda: _native.repeat_texts(chunks, np.array([1]), np.array([2]))):
            with pytest.raises(ValueError, match="text column"):
                call()
