"""Property-based fuzzing of every function of the module.

Arguments are drawn per parameter kind, valid and wrong, with NaN, the
infinities, -0.0, empty and one-element series, and periods of 0, 1, the
series length, one more, and 2**64 - 1. Every call must either return the
shape the alignment rules give, or raise one of the boundary's exception
types (TypeError, OverflowError, UnicodeEncodeError for a bad argument,
ValueError for what a computation rejects) exactly when it should. The
functions of one series must also give the same result whichever container
the series comes in.

TARVEX_FUZZ_EXAMPLES sets the number of examples per function (default 60).
"""
import array
import ctypes
import inspect
import math
import os
import struct
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarvex_core as tc
from call_table import BATCH_NAMES, NAMES, kind

np = pytest.importorskip("numpy")

EXAMPLES = int(os.environ.get("TARVEX_FUZZ_EXAMPLES", "60"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, database=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                       HealthCheck.function_scoped_fixture])
HAS_NOTES = sys.version_info >= (3, 11)
U64_MAX = 2 ** 64 - 1
TABLE_FUNCTIONS = ("ZHISHU", "BATCH", "BATCH_CROSS")

# (name, default or inspect.Parameter.empty) in signature order, from the module itself
SIGNATURES = {name: [(p.name, p.default) for p in inspect.signature(getattr(tc, name)).parameters.values()]
              for name in NAMES}


# ---- strategies ----

SPECIAL = [math.nan, math.inf, -math.inf, -0.0, 0.0, 1.0, -1.0, 0.5, 1e308, -1e308, 5e-324, 2.0 ** 53]
element = st.one_of(st.sampled_from(SPECIAL), st.floats(-1e4, 1e4), st.integers(-1000, 1000), st.booleans())
float_element = st.one_of(st.sampled_from(SPECIAL), st.floats(-1e4, 1e4), st.floats(allow_nan=True))
values = st.one_of(st.lists(element, max_size=2), st.lists(element, max_size=40))


def as_container(vals, container):
    if container == "list":
        return list(vals)
    if container == "tuple":
        return tuple(vals)
    if container == "numpy":
        return np.array([float(v) for v in vals], dtype=np.float64)
    return array.array("d", [float(v) for v in vals])


CONTAINERS = ["list", "tuple", "numpy", "array"]


@st.composite
def series(draw):
    return as_container(draw(values), draw(st.sampled_from(CONTAINERS)))


def period(length):
    """0, 1, the length, one more, 2**64 - 1, or a small number; True is 1."""
    return st.one_of(st.sampled_from([0, 1, length, length + 1, U64_MAX, True]), st.integers(0, 50))


float_param = st.one_of(float_element, st.integers(-5, 5), st.booleans())

BATCH_NAME = st.one_of(st.sampled_from(BATCH_NAMES), st.sampled_from([n.upper() for n in BATCH_NAMES]),
                       st.sampled_from(["", "nope", "MA ", "\u0130ma", "\u00df"]), st.text(max_size=4))

WRONG = {
    "Series": ["abc", 5, 1.5, None, {1: 2.0}, [1.0, "x"], [None], [1.0, 10 ** 400], {1.0}],
    "U64": [-1, 2 ** 64, 1.5, "3", None, [1], math.nan],
    "U32": [2 ** 32, -1, 1.5, None, "2"],
    "Float": ["x", None, [1.0], 10 ** 400, {}, b"1"],
    "VS": ["a", None, {}, [1.0, "x"], {1.0}],
    "U64List": [[-1], [1.5], "abc", 7, [2 ** 64], None, [None]],
    "I64List": [[2 ** 63], [-(2 ** 63) - 1], [1.0], None, "12", [[1]]],
    "StrList": [[1], "abc", ["ma", "\ud800"], [b"ma"], None, [None]],
    "U64ListList": [["a"], [[-1]], [5], [[1.5]], "x", [None], [[2 ** 64]]],
    "Bool": [1, 0, None, "True", 1.0, [True]],
}
EXPECTED_CONVERSION_ERRORS = (TypeError, OverflowError, UnicodeEncodeError)


@st.composite
def valid_value(draw, func, param, lengths):
    """A valid argument of the parameter's kind; series lengths go into
    lengths so that the periods can be drawn around them."""
    k = kind(func, param)
    if k == "Series" or (k == "VS" and draw(st.booleans())):
        s = draw(series())
        lengths[param] = len(s)
        return s
    if k == "VS":
        lengths[param] = None
        return draw(float_param)
    if k == "U64":
        return draw(period(max([v for v in lengths.values() if v is not None], default=0)))
    if k == "U32":
        return draw(st.sampled_from([0, 1, 2, 3, 10, 15, 309, 2 ** 31, 2 ** 32 - 1, True]))
    if k == "Float":
        return draw(float_param)
    raise AssertionError(f"no plain strategy for {k}")


# ---- expected shapes ----

def shortest(*names):
    return lambda n: min(n[p] for p in names)


def length_of(name):
    return lambda n: n[name]


def vs_shape(n, a, b):
    series_lengths = [n[p] for p in (a, b) if n[p] is not None]
    return min(series_lengths) if series_lengths else 1


ONE_SERIES = ["RD", "ABS", "LN", "POW", "SQRT", "SIN", "COS", "TAN", "REF", "DIFF", "STD", "SUM", "CONST", "HHV",
              "LLV", "HHVBARS", "LLVBARS", "MA", "EMA", "SMA", "WMA", "AVEDEV", "SLOPE", "FORCAST", "LAST",
              "COUNT", "EVERY", "EXIST", "FILTER", "BARSLAST", "BARSLASTCOUNT", "BARSSINCEN", "TOPRANGE",
              "LOWRANGE", "RSI", "BBI"]
CLOSE_TUPLES = {"MACD": 3, "BIAS": 3, "BOLL": 3, "PSY": 2, "TRIX": 2, "DPO": 2, "DFMA": 2, "MTM": 2, "ROC": 2,
                "EXPMA": 2}
CHL = ("close", "high", "low")
OCHL = ("open", "close", "high", "low")

# name -> a list length, or a tuple of list lengths, from the series lengths
SHAPES = {name: length_of("n" if name == "RD" else "s") for name in ONE_SERIES}
SHAPES.update({name: (length_of("close"),) * k for name, k in CLOSE_TUPLES.items()})
SHAPES.update({
    "RSI": length_of("close"), "BBI": length_of("close"),
    "MAX": lambda n: vs_shape(n, "s1", "s2"), "MIN": lambda n: vs_shape(n, "s1", "s2"),
    "IF": lambda n: min([n["s"]] + [n[p] for p in ("a", "b") if n[p] is not None]),
    "DMA": length_of("s"), "CROSS": length_of("s1"), "LONGCROSS": shortest("s1", "s2"),
    "VALUEWHEN": shortest("s", "x"), "BETWEEN": shortest("s", "a", "b"),
    "KDJ": (shortest(*CHL),) * 3, "WR": (shortest(*CHL),) * 2, "CCI": shortest(*CHL), "ATR": shortest(*CHL),
    "DMI": (shortest(*CHL),) * 4, "TAQ": (length_of("high"), shortest("high", "low"), length_of("low")),
    "KTN": (shortest(*CHL),) * 3, "VR": shortest("close", "vol"), "CR": shortest(*CHL),
    "EMV": (shortest("high", "low", "vol"),) * 2, "BRAR": (shortest(*OCHL),) * 2, "MASS": (shortest("high", "low"),) * 2,
    "OBV": length_of("close"), "MFI": shortest("close", "high", "low", "vol"), "ASI": (shortest(*OCHL),) * 2,
    "XSII": (shortest(*CHL), shortest(*CHL), length_of("close"), length_of("close")),
})


def moves(a, b):
    return a > b or a < b


def rejected(func, args):
    """The ValueError message a computation must raise for these valid
    arguments, or None when the call must succeed."""
    def n(p):
        return len(args[p])

    if func == "RET" and args.get("n", 1) == 0:
        return "n must be at least 1"
    if func == "DMA" and lengths_of(func, args)["a"] is not None and n("s") >= 2 and n("a") < n("s"):
        return "a must be at least as long as s"
    if func == "CROSS" and n("s1") >= 2 and n("s2") < n("s1"):
        return "s2 must be at least as long as s1"
    if func == "OBV":
        c = [float(v) for v in args["close"]]
        if any(moves(c[i], c[i - 1]) for i in range(max(1, n("vol")), len(c))):
            return "vol must be at least as long as close"
    if func == "XSII" and n("close") >= 2 and min(n("high"), n("low")) < n("close"):
        return "high and low must be at least as long as close"
    return None


as_double = ctypes.pythonapi.PyFloat_AsDouble
as_double.argtypes = [ctypes.py_object]
as_double.restype = ctypes.c_double


def converts_as_float(value):
    """Whether a scalar-or-series argument takes its scalar form, as the
    runtime's float conversion decides (older NumPy converts an array of one
    element to a float, with a warning)."""
    try:
        as_double(value)
        return True
    except (TypeError, OverflowError):
        return False


def lengths_of(func, args):
    """The length of every series argument; None for a scalar."""
    lengths = {}
    for p, v in args.items():
        k = kind(func, p)
        lengths[p] = len(v) if k == "Series" or (k == "VS" and not converts_as_float(v)) else None
    return lengths


def check_shape(func, result, args):
    if func == "RET":
        assert type(result) is float
        return
    expected = SHAPES[func]
    lengths = lengths_of(func, args)
    if isinstance(expected, tuple):
        assert type(result) is tuple and len(result) == len(expected)
        for out, size in zip(result, expected):
            assert type(out) is list and len(out) == size(lengths)
            assert all(type(v) is float for v in out)
    else:
        assert type(result) is list and len(result) == expected(lengths), (len(result), expected(lengths))
        assert all(type(v) is float for v in result)


def bits(result):
    if isinstance(result, float):
        return "nan" if math.isnan(result) else struct.pack("<d", result)
    return tuple(bits(v) for v in result)


# ---- calling ----

@st.composite
def call_plan(draw, func):
    """The arguments of one call, as (positional, keywords, bound), where
    bound maps every passed parameter to its value, and the parameter given
    a wrong value, if any."""
    params = SIGNATURES[func]
    lengths = {}
    bound = {}
    omit_from = len(params)
    optional = [i for i, (_, default) in enumerate(params) if default is not inspect.Parameter.empty]
    if optional and draw(st.booleans()):
        omit_from = draw(st.sampled_from(optional))  # the rest take their defaults
    for p, _ in params[:omit_from]:
        bound[p] = draw(valid_value(func, p, lengths))
    wrong = None
    if draw(st.integers(0, 3)) == 0:
        wrong = draw(st.sampled_from(list(bound)))
        bound[wrong] = draw(st.sampled_from(WRONG[kind(func, wrong)]))
    n_positional = draw(st.integers(0, len(bound)))
    names = list(bound)
    positional = [bound[p] for p in names[:n_positional]]
    keywords = {p: bound[p] for p in names[n_positional:]}
    return positional, keywords, bound, wrong


def call(func, positional, keywords):
    return getattr(tc, func)(*positional, **keywords)


def check_failure(exc_info, wrong):
    assert isinstance(exc_info.value, EXPECTED_CONVERSION_ERRORS), repr(exc_info.value)
    if HAS_NOTES:
        assert exc_info.value.__notes__ == [f"while processing '{wrong}'"]


SERIES_FUNCTIONS = [name for name in NAMES if name not in TABLE_FUNCTIONS]


@pytest.mark.filterwarnings("ignore:Conversion of an array with ndim > 0 to a scalar:DeprecationWarning")
@pytest.mark.parametrize("func", SERIES_FUNCTIONS)
@FUZZ
@given(data=st.data())
def test_series_functions(func, data):
    positional, keywords, bound, wrong = data.draw(call_plan(func))
    if wrong is not None:
        with pytest.raises(Exception) as info:
            call(func, positional, keywords)
        check_failure(info, wrong)
        return
    message = rejected(func, bound)
    if message is not None:
        with pytest.raises(ValueError, match=f"^{message}$"):
            call(func, positional, keywords)
        return
    check_shape(func, call(func, positional, keywords), bound)


@pytest.mark.parametrize("func", NAMES)
def test_binding_errors_raise_type_error(func):
    params = SIGNATURES[func]
    required = [p for p, d in params if d is inspect.Parameter.empty]
    for args, kwargs in [((None,) * (len(params) + 1), {}), ((), {}), ((), {"nope": 1}),
                         ((None,) * len(required), {required[0]: None})]:
        with pytest.raises(TypeError) as info:
            call(func, args, kwargs)
        assert not getattr(info.value, "__notes__", None)


SINGLE_SERIES = [name for name in SERIES_FUNCTIONS
                 if [kind(name, p) for p, _ in SIGNATURES[name]].count("Series") == 1
                 and "VS" not in [kind(name, p) for p, _ in SIGNATURES[name]]]


@pytest.mark.parametrize("func", SINGLE_SERIES)
@FUZZ
@given(data=st.data())
def test_one_series_is_the_same_in_every_container(func, data):
    vals = data.draw(st.lists(float_element, max_size=30))
    lengths = {"s": len(vals)}
    rest = [data.draw(valid_value(func, p, lengths)) for p, _ in SIGNATURES[func][1:]]
    outcomes = set()
    for container in CONTAINERS:
        try:
            outcomes.add(("ok", bits(call(func, [as_container(vals, container)] + rest, {}))))
        except ValueError as exc:
            outcomes.add(("error", str(exc)))
    assert len(outcomes) == 1, outcomes


# ---- the table functions ----

@st.composite
def table_plan(draw, func):
    rows = draw(st.integers(0, 12))
    code_pool = draw(st.lists(st.sampled_from([0, 1, 7, 600000, 2 ** 63, U64_MAX]), min_size=1, max_size=3))
    columns = {
        "code_i": draw(st.lists(st.sampled_from(code_pool), min_size=rows, max_size=rows)),
        "date": draw(st.lists(st.sampled_from([-(2 ** 63), -1, 0, 1, 2, 3, 20240102, 2 ** 63 - 1]),
                              min_size=rows, max_size=rows)),
    }
    price_names = ["open", "high", "low", "close", "volume"]
    if func == "ZHISHU":
        price_names += ["amount", "float_mv", "total_mv"]
    for p in price_names:
        columns[p] = as_container(draw(st.lists(element, min_size=rows, max_size=rows)),
                                  draw(st.sampled_from(CONTAINERS)))
    if rows and draw(st.integers(0, 5)) == 0:
        short = draw(st.sampled_from(sorted(columns)))
        columns[short] = columns[short][:-1]
    bound = dict(columns)
    if func == "ZHISHU":
        if draw(st.booleans()):
            bound["method"] = draw(st.sampled_from([0, 1, 2, 3, 4, 5, 6, U64_MAX]))
            if draw(st.booleans()):
                bound["base"] = draw(float_param)
    else:
        bound["names_in"] = draw(st.lists(BATCH_NAME, max_size=4))
        bound["params_in"] = draw(st.lists(st.lists(st.one_of(st.integers(0, 30), st.sampled_from([U64_MAX, rows])),
                                                    max_size=5), max_size=5))
        if func == "BATCH_CROSS":
            bound["keep_values"] = draw(st.sampled_from([True, False, np.bool_(True), np.bool_(False)]))
    wrong = None
    if draw(st.integers(0, 3)) == 0:
        wrong = draw(st.sampled_from(sorted(bound)))
        bound[wrong] = draw(st.sampled_from(WRONG[kind(func, wrong)]))
    return bound, wrong


def table_rejection(func, bound):
    """The ValueError messages allowed for these valid arguments (empty when
    the call must succeed), and whether one of them is certain."""
    lengths = {len(bound[p]) for p in bound if p not in ("names_in", "params_in", "method", "base", "keep_values")}
    if func == "ZHISHU":
        if not 1 <= bound.get("method", 1) <= 5:
            return {"method must be 1..5"}, True
        return {"all input vectors must have the same length"}, len(lengths) > 1
    if len(lengths) > 1:
        return {"all input vectors must have the same length"}, True
    if not bound["names_in"]:
        return {"names must not be empty"}, True
    unsupported = [n.lower() for n in bound["names_in"] if n.lower() not in BATCH_NAMES]
    if unsupported:
        return {"unsupported indicator: " + unsupported[0]}, True
    if func == "BATCH_CROSS":
        return {"cross=True found no cross pair", "cross field not found: "}, False
    return set(), False


def check_table(func, result, bound):
    finite_rows = sum(1 for c in bound["close"] if math.isfinite(c))
    if func == "ZHISHU":
        assert type(result) is tuple and len(result) == 9
        assert len({len(col) for col in result}) == 1
        assert len(result[0]) <= len(set(bound["date"]))
        assert all(type(v) is int for v in result[0] + result[8])
        assert all(type(v) is float for col in result[1:8] for v in col)
        return
    codes, dates, fields, columns = result
    assert len(codes) == len(dates) == finite_rows
    assert all(type(f) is str for f in fields) and len(columns) == len(fields)
    assert all(type(col) is list and len(col) == finite_rows for col in columns)
    assert sorted(codes) == codes


@pytest.mark.parametrize("func", TABLE_FUNCTIONS)
@FUZZ
@given(data=st.data())
def test_table_functions(func, data):
    bound, wrong = data.draw(table_plan(func))
    if wrong is not None:
        with pytest.raises(Exception) as info:
            call(func, [], bound)
        check_failure(info, wrong)
        return
    allowed, certain = table_rejection(func, bound)
    try:
        result = call(func, [], bound)
    except ValueError as exc:
        assert any(str(exc) == m or (m.endswith(": ") and str(exc).startswith(m)) for m in allowed), str(exc)
        return
    assert not certain, f"expected a ValueError from {sorted(allowed)}"
    check_table(func, result, bound)
