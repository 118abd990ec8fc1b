"""Comparison helpers shared by the test modules."""
import math
import struct


def bits(x):
    """The IEEE bit pattern of a float; every NaN maps to one pattern."""
    if isinstance(x, float) and math.isnan(x):
        return "nan"
    return struct.pack("<d", float(x))


def assert_same(actual, expected):
    """Series equal bit for bit (NaN equals NaN, 0.0 differs from -0.0)."""
    assert len(actual) == len(expected), (len(actual), len(expected))
    for i, (a, e) in enumerate(zip(actual, expected)):
        assert bits(a) == bits(e), f"bar {i}: {a!r} != {e!r}"


def assert_close(actual, expected, tol):
    """Series equal within an absolute tolerance, NaN where expected is NaN."""
    assert len(actual) == len(expected), (len(actual), len(expected))
    for i, (a, e) in enumerate(zip(actual, expected)):
        if isinstance(e, float) and math.isnan(e):
            assert math.isnan(a), f"bar {i}: {a!r} is not NaN"
        else:
            assert abs(a - e) <= tol, f"bar {i}: {a!r} != {e!r}"


NAN = float("nan")
INF = float("inf")
