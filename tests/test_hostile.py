"""Hostile and unusual arguments: objects that lie about their length, fail
or mutate while they are read, numeric subclasses, very long lists, and the
array-like types of NumPy, pandas and the standard library.

Every argument either converts exactly as iterating it and converting each
element with the runtime's own float conversion would, or fails with the
error that iteration gives.  The reference is the runtime's PyFloat_AsDouble
itself, called through ctypes, so the comparison covers its exact messages.
"""
import array
import ctypes
import gc
import sys

import pytest

import tarvex_core as tc
from helpers import INF, NAN, assert_same

as_double = ctypes.pythonapi.PyFloat_AsDouble
as_double.argtypes = [ctypes.py_object]
as_double.restype = ctypes.c_double


def iterate_as_doubles(obj):
    """[as_double(v) for v in obj]: the result the Series conversion must
    match, or the exception it must raise."""
    return [as_double(v) for v in obj]


def assert_same_result(actual, expected):
    """A list, a tuple of lists or a float, equal bit for bit."""
    if isinstance(expected, tuple):
        assert type(actual) is tuple and len(actual) == len(expected)
        for a, e in zip(actual, expected):
            assert_same(a, e)
    elif isinstance(expected, list):
        assert_same(actual, expected)
    else:
        assert_same([actual], [expected])


def outcome(call):
    """("ok", value) or ("error", type, message) of a call."""
    try:
        return ("ok", call())
    except Exception as exc:  # the exact type is compared by the caller
        return ("error", type(exc), str(exc))


def assert_converts_as_iteration(make):
    """make() builds a fresh argument (hostile ones may change while read);
    REF(x, 0), the identity on a series, must agree with iterating x, unless
    x states another number of dimensions than one: that is refused."""
    sample = make()
    ndim = getattr(sample, "ndim", None)
    if isinstance(ndim, int) and ndim != 1:
        message = f"expected one-dimensional data, got a {ndim}-dimensional {type(sample).__qualname__}"
        expected = ("error", TypeError, message)
    else:
        expected = outcome(lambda: iterate_as_doubles(make()))
    actual = outcome(lambda: tc.REF(make(), 0))
    assert actual[0] == expected[0], (actual, expected)
    if expected[0] == "ok":
        assert_same(actual[1], expected[1])
    else:
        assert actual[1:] == expected[1:]


class Boom(Exception):
    pass


# ---- lengths that lie and iteration that fails ----

class Length(list):
    """A list whose __len__ returns or raises whatever it is given."""

    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length


class Indexed:
    """The old sequence protocol: __getitem__ until IndexError, no __iter__."""

    def __init__(self, items, fail_at=None):
        self.items = items
        self.fail_at = fail_at

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i == self.fail_at:
            raise Boom(f"item {i}")
        return self.items[i]


class IterReturns(list):
    def __init__(self, items, result):
        super().__init__(items)
        self.result = result

    def __iter__(self):
        return self.result


LONG = [float(i) for i in range(1_500_000)]


def raising_generator():
    yield 1.0
    yield 2.0
    raise Boom("late")


@pytest.mark.parametrize("make", [
    # a length of 0 or 1 for a sequence far longer than the first reservation
    lambda: Length(LONG, 0),
    lambda: Length(LONG, 1),
    # a huge length on a long sequence: reservation bounded, growth still works
    lambda: Length(LONG, sys.maxsize),
    lambda: Length([1.0, 2.0], -1),
    lambda: Length([1.0, 2.0], "many"),
    lambda: Length([1.0, 2.0], 10 ** 30),
    lambda: Length([1.0, 2.0], Boom("len")),
    lambda: Length([1.0, 2.0], MemoryError()),
], ids=["len0-long", "len1-long", "maxsize-long", "negative", "str", "10**30", "raises", "raises-MemoryError"])
def test_reported_length_only_sizes_a_reservation(make):
    obj = make()
    assert_same(tc.REF(obj, 0), list(iter(obj)))


@pytest.mark.parametrize("make", [
    lambda: Indexed([1.0, 2.0, 3.0]),
    lambda: Indexed([1.0, 2.0, 3.0], fail_at=1),
    lambda: Indexed([1.0, 2.0, 3.0], fail_at=0),
    lambda: Indexed([1.0, "x", 3.0]),
    lambda: IterReturns([1.0], 5),
    lambda: IterReturns([1.0], iter([4.0, 5.0])),
    lambda: IterReturns([1.0], raising_generator()),
])
def test_iteration_protocols_and_their_failures(make):
    assert_converts_as_iteration(make)


def test_iteration_raising_midway_after_many_elements():
    def gen():
        yield from LONG
        raise Boom("after all of LONG")

    exc = pytest.raises(Boom, tc.MA, IterReturns([], gen()), 3).value
    assert str(exc) == "after all of LONG"


# ---- element conversion hooks ----

class FloatReturns:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class IndexReturns:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class FloatSub(float):
    def __float__(self):
        return 99.0  # ignored: a float's own value is read directly


class IntSub(int):
    def __float__(self):
        return 0.5

    def __index__(self):
        return 7  # ignored: an int's own value is read directly


@pytest.mark.parametrize("element", [
    FloatReturns(2.5),
    FloatReturns(Boom("float")),
    FloatReturns(1),            # an int from __float__ is refused
    FloatReturns("1.5"),
    FloatReturns(None),
    FloatReturns(FloatSub(3.5)),  # deprecated but accepted by the runtime
    IndexReturns(3),
    IndexReturns(2 ** 1100),
    IndexReturns(1.5),
    IndexReturns(Boom("index")),
    FloatSub(1.25),
    FloatSub(NAN),
    IntSub(4),
    IntSub(2 ** 64 + 1),
    True,
    2 ** 1024,
    -(2 ** 53 + 1),
], ids=repr)
def test_series_elements(element):
    if isinstance(element, FloatReturns) and isinstance(element.value, FloatSub):
        with pytest.warns(DeprecationWarning):
            assert_converts_as_iteration(lambda: [1.0, element, 2.0])
    else:
        assert_converts_as_iteration(lambda: [1.0, element, 2.0])


@pytest.mark.filterwarnings("ignore:__index__ returned non-int:DeprecationWarning")
@pytest.mark.parametrize("value,expected", [
    (IntSub(5), 5),             # int subclasses: their own value, never __index__
    (True, 1),
    (IndexReturns(6), 6),
    (IndexReturns(True), 1),
    (IndexReturns(IntSub(4)), 4),
])
def test_integer_parameter_accepts(value, expected):
    s = [float(i) for i in range(10)]
    assert_same(tc.MA(s, value), tc.MA(s, expected))


@pytest.mark.parametrize("value,exc_type,message", [
    (IndexReturns(1.5), TypeError, "__index__ returned non-int (type float)"),
    (IndexReturns(Boom("index")), Boom, "index"),
    (IndexReturns(-1), OverflowError, None),
    (IndexReturns(2 ** 64), OverflowError, None),
    (IntSub(-3), OverflowError, None),
    (FloatSub(2.0), TypeError, "'FloatSub' object cannot be interpreted as an integer"),
])
def test_integer_parameter_refuses(value, exc_type, message):
    with pytest.raises(exc_type) as info:
        tc.SMA([1.0, 2.0], 2, value)
    if message is not None:
        assert str(info.value) == message


def test_float_parameter_subclasses():
    assert tc.POW([2.0], FloatSub(3.0)) == [8.0]
    assert tc.POW([2.0], IntSub(2)) == [2.0 ** 0.5]
    assert_same_result(tc.BOLL([1.0, 2.0], 2, FloatSub(1.0)), tc.BOLL([1.0, 2.0], 2, 1.0))


@pytest.mark.parametrize("codes,dates,ok", [
    ([IndexReturns(1), IntSub(1)], [IntSub(1), IndexReturns(2)], True),
    ([1, IndexReturns(-1)], [1, 2], False),
    ([1, 1], [1, IndexReturns(1.5)], False),
    ([1, 1], [1, IndexReturns(Boom("date"))], False),
])
def test_table_integer_elements(codes, dates, ok):
    args = (["ma"], [[1]], codes, dates, [1.0, 2.0], [1.0, 2.0], [1.0, 2.0], [1.0, 2.0], [1.0, 2.0])
    if ok:
        out = tc.BATCH(*args)
        assert out[0] == [1, 1] and out[1] == [1, 2]
    else:
        with pytest.raises((TypeError, OverflowError, Boom)):
            tc.BATCH(*args)


# ---- elements that mutate the container being converted ----

class Mutator:
    """An element whose conversion changes the list it sits in."""

    def __init__(self, target, action, value=1.0):
        self.target = target
        self.action = action
        self.value = value

    def __float__(self):
        self.action(self.target)
        return self.value

    def __index__(self):
        self.action(self.target)
        return int(self.value)


def clear(lst):
    lst.clear()


def append_bounded(lst):
    if len(lst) < 50:
        lst.append(float(len(lst)))


def replace_next_with_str(lst):
    lst[:] = [v if isinstance(v, Mutator) else "x" for v in lst]


def shrink_to_one(lst):
    del lst[1:]


def grow_a_lot(lst):
    lst.extend([0.5] * 100_000)


def in_list_with(action, pos=1, n=5):
    def make():
        lst = [float(i) for i in range(n)]
        lst.insert(pos, Mutator(lst, action))
        return lst
    return make


@pytest.mark.parametrize("make", [
    in_list_with(clear),
    in_list_with(clear, pos=0),
    in_list_with(clear, pos=5),
    in_list_with(append_bounded),
    in_list_with(replace_next_with_str),
    in_list_with(shrink_to_one, pos=3),
    in_list_with(grow_a_lot, pos=2),
], ids=["clear", "clear-first", "clear-last", "append", "replace", "shrink", "grow"])
def test_elements_mutating_their_list(make):
    assert_converts_as_iteration(make)


def test_mutation_of_lists_converted_later_in_the_call():
    high = [5.0, 6.0, 7.0]
    close = [1.0, Mutator(high, clear, 2.0), 3.0]
    # high is emptied while close converts, so it arrives empty: KDJ then
    # works on the common prefix, which is empty
    assert tc.KDJ(close, high, [1.0, 1.0, 1.0]) == ([], [], [])


def test_mutation_inside_list_of_lists():
    inner = [5, 10]
    params = [inner]
    inner.insert(1, Mutator(params, clear, 7))
    out = tc.BATCH(["ma"], params, [1, 1], [1, 2], [1.0] * 2, [1.0] * 2, [1.0] * 2, [1.0, 2.0], [1.0] * 2)
    assert out[2] == ["ma5", "ma7", "ma10"]


def collect_after_clearing(lst):
    lst.clear()
    gc.collect()


class Reentrant:
    """An element whose conversion calls the module again."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        inner = tc.BATCH(["macd"], [], [1, 1], [1, 2], [1.0, 2.0], [1.0, 2.0], [1.0, 2.0], [1.0, 2.0], [1.0, 2.0])
        assert inner[2] == ["dif", "dea", "macd"]
        with pytest.raises(TypeError):
            tc.MA("nested", 2)
        return tc.RET([self.value, 0.0], 2)


def test_conversion_hooks_calling_the_module_again():
    s = [1.0, Reentrant(2.5), Reentrant(-4.0), 3.0]
    assert tc.REF(s, 0) == [1.0, 2.5, -4.0, 3.0]
    assert_same_result(tc.MACD(s, 2, 3, 2), tc.MACD([1.0, 2.5, -4.0, 3.0], 2, 3, 2))


def test_garbage_collection_while_converting():
    assert_converts_as_iteration(in_list_with(collect_after_clearing, pos=2))


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_base_exceptions_from_elements_pass_through(exc_type):
    with pytest.raises(exc_type) as info:
        tc.MA([1.0, FloatReturns(exc_type("stop"))], 2)
    if sys.version_info >= (3, 11):
        assert info.value.__notes__ == ["while processing 's'"]
    assert tc.MA([1.0, 2.0], 2)[1] == 1.5


# ---- a very long list ----

def test_ten_million_elements():
    n = 10_000_000
    s = list(map(float, range(n)))
    out = tc.MA(s, 5)
    assert len(out) == n
    assert out[3] != out[3] and out[4] == 2.0
    for i in (5, 123_456, n // 2, n - 1):
        assert out[i] == float(i - 2)
    del out
    total = tc.SUM(s, 0)
    assert total[-1] == float(n * (n - 1) // 2)


# ---- NumPy, pandas and standard-library array types ----

def numpy_cases():
    np = pytest.importorskip("numpy")
    grid = np.arange(12.0).reshape(3, 4)
    fortran = np.asfortranarray(grid)
    return {
        "2d": grid,
        "2d-single-column": grid[:, :1],
        "2d-empty-rows": np.empty((0, 4)),
        "0d": np.array(5.0),
        "empty": np.array([]),
        "strided": np.arange(20.0)[::3],
        "reversed": np.arange(5.0)[::-1],
        "fortran-column": fortran[:, 1],
        "int64": np.array([1, -2, 2 ** 62], dtype=np.int64),
        "uint64-max": np.array([2 ** 64 - 1, 0], dtype=np.uint64),
        "int8": np.array([-128, 127], dtype=np.int8),
        "bool": np.array([True, False, True]),
        "float32": np.array([1.1, np.nan, np.inf, -0.0], dtype=np.float32),
        "float16": np.array([1.1, 65504.0], dtype=np.float16),
        "object": np.array([1.5, 2, True], dtype=object),
        "object-none": np.array([1.5, None], dtype=object),
        "str": np.array(["1.5", "2"]),
        "datetime": np.array(["2020-01-01"], dtype="datetime64[D]"),
        "float-nan-inf": np.array([np.nan, -np.inf, np.inf, -0.0]),
    }


NUMPY_IDS = ["2d", "2d-single-column", "2d-empty-rows", "0d", "empty", "strided", "reversed", "fortran-column",
             "int64", "uint64-max", "int8", "bool", "float32", "float16", "object", "object-none", "str",
             "datetime", "float-nan-inf"]


@pytest.mark.filterwarnings("ignore:Conversion of an array with ndim > 0 to a scalar:DeprecationWarning")
@pytest.mark.parametrize("case", NUMPY_IDS)
def test_numpy_arrays(case):
    arr = numpy_cases()[case]
    assert_converts_as_iteration(lambda: arr)


def test_numpy_result_matches_list_input():
    np = pytest.importorskip("numpy")
    values = [1.0, NAN, 3.5, -INF, 2.0, 2.0, -0.0, 7.25]
    arr = np.array(values)
    assert_same(tc.EMA(arr, 3), tc.EMA(values, 3))
    assert_same(tc.EMA(arr[::2], 2), tc.EMA(values[::2], 2))
    assert_same_result(tc.MACD(arr), tc.MACD(values))


def pandas_cases():
    pd = pytest.importorskip("pandas")
    return {
        "float": pd.Series([1.0, None, 3.0], index=[10, 20, 30]),
        "int": pd.Series([3, 1, 2], index=["a", "b", "c"]),
        "nullable-int": pd.Series([1, None], dtype="Int64"),
        "empty": pd.Series([], dtype=float),
        "strided-slice": pd.Series(range(10), dtype=float)[::4],
        "bool": pd.Series([True, False]),
        "frame": pd.DataFrame({"close": [1.0, 2.0]}),
        "timestamps": pd.Series(pd.to_datetime(["2020-01-01"])),
    }


@pytest.mark.parametrize("case", ["float", "int", "nullable-int", "empty", "strided-slice", "bool", "frame",
                                  "timestamps"])
def test_pandas_objects(case):
    obj = pandas_cases()[case]
    assert_converts_as_iteration(lambda: obj)


@pytest.mark.parametrize("make", [
    lambda: array.array("d", [1.5, NAN, -INF, -0.0]),
    lambda: array.array("f", [1.1, 2.2]),
    lambda: array.array("b", [-128, 127]),
    lambda: array.array("Q", [2 ** 64 - 1, 2 ** 53 + 1]),
    lambda: array.array("q", [-(2 ** 63)]),
    lambda: array.array("d"),
    lambda: b"\x00\x01\xff",
    lambda: b"",
    lambda: bytearray(b"\x07\x08"),
    lambda: memoryview(b"\x03\x04"),
    lambda: memoryview(array.array("d", [2.5, NAN])),
    lambda: memoryview(array.array("d", [1.0, 2.0, 3.0, 4.0]))[::2],
    lambda: memoryview(bytes(16)).cast("d"),
    lambda: memoryview(b"abcd").cast("B", (2, 2)),
    lambda: memoryview(b"ab").cast("c"),
], ids=["d", "f", "b", "Q", "q", "d-empty", "bytes", "bytes-empty", "bytearray", "memoryview", "memoryview-d",
        "memoryview-strided", "memoryview-cast", "memoryview-2d", "memoryview-chars"])
def test_standard_library_buffers(make):
    assert_converts_as_iteration(make)


@pytest.mark.parametrize("make", [
    lambda: b"ma",
    lambda: [b"ma"],
    lambda: ["ma", memoryview(b"x")],
], ids=["bytes", "bytes-element", "memoryview-element"])
def test_names_refuse_bytes(make):
    with pytest.raises(TypeError):
        tc.BATCH(make(), [[2]], [1], [1], [1.0], [1.0], [1.0], [1.0], [1.0])


def test_table_columns_from_numpy():
    np = pytest.importorskip("numpy")
    codes = np.array([2 ** 64 - 1, 3, 3], dtype=np.uint64)
    dates = np.array([-5, 7, 6], dtype=np.int64)
    price = np.array([1.0, 2.0, 3.0])
    out = tc.BATCH(["ma"], np.array([[2]]), codes, dates, price, price, price, price, price)
    ref = tc.BATCH(["ma"], [[2]], [2 ** 64 - 1, 3, 3], [-5, 7, 6], [1.0, 2.0, 3.0], [1.0, 2.0, 3.0],
                   [1.0, 2.0, 3.0], [1.0, 2.0, 3.0], [1.0, 2.0, 3.0])
    assert repr(out) == repr(ref)
    assert out[0] == [3, 3, 2 ** 64 - 1]
