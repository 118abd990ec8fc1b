"""The ways a series argument is read: typed arrays as memory, exact lists
and tuples by index, everything else by iteration. Each must give exactly
the doubles (NaN payloads included) or the error that converting the
iterated elements with the runtime's own float conversion gives. Also: what
the scalar-or-series arguments let through, and the refusal of arguments
stating another number of dimensions.
"""
import array
import ctypes
import struct
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tarvex_core as tc

np = pytest.importorskip("numpy")

HAS_NOTES = sys.version_info >= (3, 11)

as_double = ctypes.pythonapi.PyFloat_AsDouble
as_double.argtypes = [ctypes.py_object]
as_double.restype = ctypes.c_double


def outcome(call):
    """("ok", exact bit patterns) or ("error", type, message)."""
    try:
        values = call()
    except Exception as exc:
        return ("error", type(exc), str(exc))
    return ("ok", struct.pack(f"<{len(values)}d", *values))


def assert_reads_as_elements(obj):
    expected = outcome(lambda: [as_double(v) for v in obj])
    assert outcome(lambda: tc.REF(obj, 0)) == expected


# ---- typed arrays against element-wise conversion ----

NUMPY_CODES = ["f2", "f4", "f8", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", "b1"]
ARRAY_CODES = "bBhHiIlLqQfd"
MEMORYVIEW_FORMATS = list("bBhHiIlLqQnNfd?") + ["@d", "@H", "c"]


@st.composite
def numpy_arrays(draw):
    """Any real item type in either byte order, from arbitrary bytes (so
    every NaN payload and out-of-range bool byte), contiguous or strided
    either way, aligned or not, or broadcast with a zero stride."""
    dtype = np.dtype(draw(st.sampled_from("<>")) + draw(st.sampled_from(NUMPY_CODES)))
    n = draw(st.integers(0, 12))
    step = draw(st.sampled_from([1, 2, 3, -1, -2]))
    offset = draw(st.integers(0, 1))
    raw = draw(st.binary(min_size=offset + n * abs(step) * dtype.itemsize,
                         max_size=offset + n * abs(step) * dtype.itemsize))
    arr = np.frombuffer(raw, dtype=np.uint8)[offset:].view(dtype)[::step]
    if n and draw(st.booleans()):
        arr = np.broadcast_to(arr[:1], (n,))
    return arr


@st.composite
def standard_arrays(draw):
    """array.array of every numeric typecode, and memoryviews over bytes,
    over such arrays or over NumPy arrays (a byte-swapped one has a format
    the memoryview itself does not iterate), sliced with steps."""
    source = draw(st.sampled_from(["array", "memoryview", "numpy-memoryview"]))
    if source == "numpy-memoryview":
        view = memoryview(draw(numpy_arrays()))
    else:
        code = draw(st.sampled_from(ARRAY_CODES if source == "array" else MEMORYVIEW_FORMATS))
        size = struct.calcsize(code)
        raw = draw(st.binary(max_size=10 * size))
        raw = raw[:len(raw) - len(raw) % size]
        if source == "array":
            return array.array(code, raw)
        view = memoryview(raw).cast(code)
    return view[::draw(st.sampled_from([1, 2, -1, -3]))]


@settings(max_examples=300, deadline=None, database=None)
@given(obj=st.one_of(numpy_arrays(), standard_arrays()))
def test_typed_arrays_read_as_their_elements(obj):
    assert_reads_as_elements(obj)


@pytest.mark.parametrize("order", "<>")
def test_every_half_float(order):
    halves = np.arange(2 ** 16, dtype=np.uint16).astype(order + "u2").view(order + "f2")
    assert_reads_as_elements(halves)


# 64-bit integers halfway between two doubles round to the even one, as
# float(int) does, and those near the ends of the range stay in it.
TIES = [2 ** 53 + 1, 2 ** 54 + 2, 2 ** 63 + 2 ** 10, 2 ** 63 + 3 * 2 ** 10, 2 ** 64 - 2 ** 10, 2 ** 64 - 1]


@pytest.mark.parametrize("make", [
    lambda: np.array(TIES, dtype=np.uint64),
    lambda: np.array(TIES, dtype=">u8"),
    lambda: np.array([-v // 2 for v in TIES], dtype=np.int64),
    lambda: array.array("Q", TIES),
    lambda: memoryview(array.array("Q", TIES)),
], ids=["uint64", "uint64-swapped", "int64", "array-Q", "memoryview-Q"])
def test_wide_integers_round_as_python(make):
    obj = make()
    assert tc.REF(obj, 0) == [float(int(v)) for v in obj]


@pytest.mark.filterwarnings("ignore:Warning. converting a masked element:UserWarning")
@pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")
@pytest.mark.parametrize("make", [
    lambda: np.ma.masked_array([1.0, 2.0, 3.0], mask=[False, True, False]),
    lambda: np.array([1.0, 2.5]).view(type("Sub", (np.ndarray,), {})),
    lambda: np.array([1 + 2j]),
    lambda: np.array([1.5, 2], dtype=object),
    lambda: np.array([1.0], dtype=np.longdouble),
    lambda: memoryview(np.array([1.5, -2.0], dtype=np.float16)),
], ids=["masked", "subclass", "complex", "object", "longdouble", "memoryview-half"])
def test_other_arrays_keep_element_conversion(make):
    assert_reads_as_elements(make())


def test_lookalike_types_are_iterated():
    # Named like the real types but not them: the bogus addresses they state
    # must never be read.
    fake_ndarray = type("ndarray", (bytearray,), {"__module__": "numpy", "__array_interface__": {
        "typestr": "<f8", "shape": (64,), "strides": None, "data": (8, False), "version": 3}})
    fake_array = type("array", (bytearray,), {"__module__": "array", "typecode": "d", "itemsize": 8,
                                              "buffer_info": lambda self: (8, 64)})
    for fake in (fake_ndarray(b"\x01\x02"), fake_array(b"\x03")):
        assert_reads_as_elements(fake)


def test_no_export_outlives_the_conversion():
    data = array.array("d", [1.0, 2.0, 3.0])

    class GrowsData:
        def __index__(self):
            data.extend([9.0] * 1000)  # a BufferError if data were still exported
            return 2

    assert tc.MA(data, GrowsData())[1:] == [1.5, 2.5]


def test_numpy_is_never_imported():
    code = ("import array, sys, tarvex_core as tc\n"
            "tc.MA(array.array('d', [1, 2]), 1); tc.MA(memoryview(b'ab'), 1); tc.MAX([1.0], (2.0,))\n"
            "assert 'numpy' not in sys.modules\n")
    subprocess.run([sys.executable, "-c", code], check=True)


# ---- scalar-or-series arguments let interrupts through ----

class FloatRaises:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


class SeriesWithFloatRaising(list):
    """A series whose own __float__ raises: it must not become a series."""

    def __init__(self, items, exc):
        super().__init__(items)
        self.exc = exc

    def __float__(self):
        raise self.exc


class Untouched:
    converted = False

    def __float__(self):
        Untouched.converted = True
        return 1.0


VS_PARAMETERS = [("MAX", 0, "s1"), ("MAX", 1, "s2"), ("MIN", 0, "s1"), ("MIN", 1, "s2"), ("IF", 1, "a"),
                 ("IF", 2, "b"), ("DMA", 1, "a")]
ARITY = {"MAX": 2, "MIN": 2, "IF": 3, "DMA": 2}


@pytest.mark.parametrize("func,index,name", VS_PARAMETERS)
@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, GeneratorExit, MemoryError])
@pytest.mark.parametrize("carrier", ["number", "own-float", "element"])
def test_interrupts_pass_through_scalar_or_series(func, index, name, exc_type, carrier):
    exc = exc_type("stop")
    args = [[1.0, 2.0]] * ARITY[func]
    args[index] = {"number": FloatRaises(exc), "own-float": SeriesWithFloatRaising([1.0, 2.0], exc),
                   "element": [1.0, FloatRaises(exc)]}[carrier]
    if index + 1 < len(args):
        args[index + 1] = Untouched()
    Untouched.converted = False
    with pytest.raises(exc_type) as info:
        getattr(tc, func)(*args)
    assert info.value is exc and not Untouched.converted
    if HAS_NOTES:
        assert info.value.__notes__ == [f"while processing '{name}'"]


# ---- arguments stating other dimensions ----

class Stated(list):
    """A list that states its ndim, or raises from it."""

    def __init__(self, items, ndim):
        super().__init__(items)
        self._ndim = ndim

    @property
    def ndim(self):
        if isinstance(self._ndim, BaseException):
            raise self._ndim
        return self._ndim


class Boom(Exception):
    pass


def frame():
    pd = pytest.importorskip("pandas")
    return pd.DataFrame(np.arange(1.0, 31.0).reshape(10, 3))


@pytest.mark.parametrize("call,parameter,message", [
    (lambda: tc.MA(frame(), 2), "s", "one-dimensional data, got a 2-dimensional DataFrame"),
    (lambda: tc.IF([1.0], 1.0, frame()), "b", "one-dimensional data, got a 2-dimensional DataFrame"),
    (lambda: tc.MAX([1.0], np.ones((2, 2))), "s2", "one-dimensional data, got a 2-dimensional ndarray"),
    (lambda: tc.DMA([1.0], np.ones((1, 1))), "a", "one-dimensional data, got a 2-dimensional ndarray"),
    (lambda: tc.MIN(Stated([2.0], 3), 1.0), "s1", "one-dimensional data, got a 3-dimensional Stated"),
    (lambda: tc.MA(np.array(5.0), 2), "s", "one-dimensional data, got a 0-dimensional ndarray"),
    (lambda: tc.MA(np.float64(5.0), 2), "s", "one-dimensional data, got a 0-dimensional float64"),
    (lambda: tc.MA(memoryview(b"abcd").cast("B", (2, 2)), 2), "s",
     "one-dimensional data, got a 2-dimensional memoryview"),
    (lambda: tc.MA(Stated([1.0], 2 ** 70), 2), "s", f"one-dimensional data, got a {2 ** 70}-dimensional Stated"),
    (lambda: tc.BATCH(["ma"], [[2]], np.ones((1, 1), dtype=np.uint64), [1], [1.0], [1.0], [1.0], [1.0], [1.0]),
     "code_i", "one-dimensional data, got a 2-dimensional ndarray"),
    (lambda: tc.BATCH(["ma"], np.ones((1, 1, 1), dtype=int), [1], [1], [1.0], [1.0], [1.0], [1.0], [1.0]),
     "params_in", "two-dimensional data, got a 3-dimensional ndarray"),
    (lambda: tc.BATCH(["ma"], [np.ones((1, 1), dtype=int)], [1], [1], [1.0], [1.0], [1.0], [1.0], [1.0]),
     "params_in", "one-dimensional data, got a 2-dimensional ndarray"),
], ids=["frame", "frame-vs", "2d-vs", "one-element-2d-vs", "3d-list", "0d", "numpy-scalar", "memoryview-2d",
        "huge-ndim", "codes-2d", "params-3d", "params-row-2d"])
def test_other_dimensions_refused(call, parameter, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == "expected " + message
    if HAS_NOTES:
        assert info.value.__notes__ == [f"while processing '{parameter}'"]


def test_dimensions_accepted_or_not_stated():
    assert tc.MAX([1.0, 3.0], np.array(2.0)) == [2.0, 3.0]  # zero dimensions: a scalar
    assert tc.MAX([1.0, 3.0], np.float32(2.5)) == [2.5, 3.0]
    assert tc.REF(Stated([1.0, 2.0], "2"), 0) == [1.0, 2.0]  # only an int ndim counts
    assert tc.REF(Stated([1.0, 2.0], 1), 0) == [1.0, 2.0]
    assert tc.REF(frame()[0], 0) == [float(v) for v in range(1, 31, 3)]
    assert tc.BATCH(["ma"], np.array([[2]]), [1, 1], [1, 2], *[[1.0, 3.0]] * 5)[3][0][1:] == [2.0]


def test_failing_ndim_lookup():
    # A Series argument reports it; a scalar-or-series one describes it as
    # the series attempt's cause, or passes it through when it is an interrupt.
    with pytest.raises(Boom):
        tc.MA(Stated([1.0], Boom("ndim")), 2)
    with pytest.raises(TypeError, match=r"VS::V\.0, caused by Boom: ndim"):
        tc.MAX([1.0], Stated([1.0], Boom("ndim")))
    with pytest.raises(KeyboardInterrupt):
        tc.MAX([1.0], Stated([1.0], KeyboardInterrupt()))
