"""Argument sets for every function of the module, valid and failing.

VALID_CALLS and FAILING_CALLS are lists of (name, args, kwargs, expected),
where expected is None for a call that must succeed and the exception type a
failing call must raise. Between them they reach every path of the call
boundary: binding errors, each conversion error of each parameter kind (with
its argument note), the errors the computations report themselves, and
successful calls with defaults, explicit values and keywords.

The parameter lists are written out here rather than read from the module so
that a changed signature shows up as a failing test.
"""
import math

SIGNATURES = """
RD(n, d=3)
RET(s, n=1)
ABS(s)
LN(s)
POW(s, n)
SQRT(s)
SIN(s)
COS(s)
TAN(s)
MAX(s1, s2)
MIN(s1, s2)
IF(s, a, b)
REF(s, n=1)
DIFF(s, n=1)
STD(s, n)
SUM(s, n)
CONST(s)
HHV(s, n)
LLV(s, n)
HHVBARS(s, n)
LLVBARS(s, n)
MA(s, n)
EMA(s, n)
SMA(s, n, m=1)
WMA(s, n)
DMA(s, a)
AVEDEV(s, n)
SLOPE(s, n)
FORCAST(s, n)
LAST(s, a, b)
COUNT(s, n)
EVERY(s, n)
EXIST(s, n)
FILTER(s, n)
BARSLAST(s)
BARSLASTCOUNT(s)
BARSSINCEN(s, n)
CROSS(s1, s2)
LONGCROSS(s1, s2, n)
VALUEWHEN(s, x)
BETWEEN(s, a, b)
TOPRANGE(s)
LOWRANGE(s)
MACD(close, short=12, long=26, m=9)
KDJ(close, high, low, n=9, m1=3, m2=3)
RSI(close, n=24)
WR(close, high, low, n=10, n1=6)
BIAS(close, l1=6, l2=12, l3=24)
BOLL(close, n=20, p=2.0)
PSY(close, n=12, m=6)
CCI(close, high, low, n=14)
ATR(close, high, low, n=20)
BBI(close, m1=3, m2=6, m3=12, m4=20)
DMI(close, high, low, m1=14, m2=6)
TAQ(high, low, n)
KTN(close, high, low, n=20, m=10)
TRIX(close, m1=12, m2=20)
VR(close, vol, m1=26)
CR(close, high, low, n=20)
EMV(high, low, vol, n=14, m=9)
DPO(close, m1=20, m2=10, m3=6)
BRAR(open, close, high, low, m1=26)
DFMA(close, n1=10, n2=50, m=10)
MTM(close, n=12, m=6)
MASS(high, low, n1=9, n2=25, m=6)
ROC(close, n=12, m=6)
EXPMA(close, n1=12, n2=50)
OBV(close, vol)
MFI(close, high, low, vol, n=14)
ASI(open, close, high, low, m1=26, m2=10)
XSII(close, high, low, n=102, m=7)
ZHISHU(code_i, date, open, high, low, close, volume, amount, float_mv, total_mv, method=1, base=1000.0)
BATCH(names_in, params_in, code_i, date, open, high, low, close, volume)
BATCH_CROSS(names_in, params_in, code_i, date, open, high, low, close, volume, keep_values)
"""


def _parse(line):
    name, rest = line.split("(", 1)
    params = []
    for item in rest.rstrip(")").split(", "):
        pname, _, default = item.partition("=")
        params.append((pname, default or None))
    return name, params


# name -> [(parameter, default text or None)], in registration order
PARAMS = dict(_parse(line) for line in SIGNATURES.strip().splitlines())
NAMES = list(PARAMS)

_SERIES_NAMES = {"s", "s1", "s2", "x", "close", "high", "low", "open", "vol", "volume", "amount", "float_mv",
                 "total_mv"}
_SPECIAL_KINDS = {
    ("MAX", "s1"): "VS", ("MAX", "s2"): "VS", ("MIN", "s1"): "VS", ("MIN", "s2"): "VS",
    ("IF", "a"): "VS", ("IF", "b"): "VS", ("DMA", "a"): "VS",
    ("BETWEEN", "a"): "Series", ("BETWEEN", "b"): "Series", ("RD", "n"): "Series",
    ("POW", "n"): "Float", ("BOLL", "p"): "Float", ("ZHISHU", "base"): "Float",
    ("RD", "d"): "U32",
}
_NAMED_KINDS = {"code_i": "U64List", "date": "I64List", "names_in": "StrList", "params_in": "U64ListList",
                "keep_values": "Bool"}


def kind(func, param):
    """The argument kind of one parameter: Series, U64, U32, Float, VS, U64List, I64List, StrList,
    U64ListList or Bool."""
    if (func, param) in _SPECIAL_KINDS:
        return _SPECIAL_KINDS[(func, param)]
    if param in _NAMED_KINDS:
        return _NAMED_KINDS[param]
    return "Series" if param in _SERIES_NAMES else "U64"


# Bars of one security: a gentle random walk with a NaN, an infinity and a -0.0.
N_BARS = 40
CLOSE = [10.0 + 0.37 * math.sin(i * 0.9) + 0.05 * i for i in range(N_BARS)]
CLOSE[7] = math.nan
CLOSE[19] = math.inf
CLOSE[23] = -0.0
HIGH = [c + 0.4 for c in CLOSE]
LOW = [c - 0.35 for c in CLOSE]
OPEN = [c - 0.1 for c in CLOSE]
VOL = [1000.0 + 37.0 * (i % 11) for i in range(N_BARS)]
COND = [float(i % 3 == 0) for i in range(N_BARS)]

_SERIES_BY_NAME = {"close": CLOSE, "high": HIGH, "low": LOW, "open": OPEN, "vol": VOL, "volume": VOL,
                   "amount": VOL, "float_mv": VOL, "total_mv": VOL}
_COND_FUNCS = {"LAST", "COUNT", "EVERY", "EXIST", "FILTER", "BARSLAST", "BARSLASTCOUNT", "BARSSINCEN", "VALUEWHEN"}

# A price table of two securities, rows interleaved, for the table functions.
T_ROWS = 2 * N_BARS
T_CODE = [600000 + (i % 2) for i in range(T_ROWS)]
T_DATE = [20240101 + i // 2 for i in range(T_ROWS)]
T_CLOSE = [CLOSE[i // 2] if i % 2 else 20.0 + 0.1 * (i % 7) for i in range(T_ROWS)]
T_HIGH = [c + 0.4 for c in T_CLOSE]
T_LOW = [c - 0.35 for c in T_CLOSE]
T_OPEN = [c - 0.1 for c in T_CLOSE]
T_VOL = [1000.0 + 37.0 * (i % 11) for i in range(T_ROWS)]
T_PRICES = [T_CODE, T_DATE, T_OPEN, T_HIGH, T_LOW, T_CLOSE, T_VOL]

BATCH_NAMES = ["ma", "ema", "sma", "wma", "dma", "std", "sum", "hhv", "llv", "ref", "macd", "trix", "dfma",
               "expma", "bbi", "dpo", "mtm", "roc", "kdj", "rsi", "wr", "bias", "psy", "cci", "boll", "atr",
               "taq", "ktn", "xsii", "mass", "obv", "vr", "cr", "emv", "brar", "asi", "dmi", "mfi"]


def _valid_value(func, param):
    """A value every function accepts for this parameter."""
    k = kind(func, param)
    if k == "Series":
        if param in _SERIES_BY_NAME:
            return _SERIES_BY_NAME[param]
        return COND if func in _COND_FUNCS and param == "s" else CLOSE
    if k == "VS":
        return VOL if func == "DMA" else CLOSE
    if k == "U64":
        return {"LAST": 3 if param == "a" else 1, "ZHISHU": 2}.get(func, 5)
    if k == "U32":
        return 2
    if k == "Float":
        return 1.5
    return {"U64List": T_CODE, "I64List": T_DATE, "StrList": ["macd", "ma"], "U64ListList": [[], [5, 10]],
            "Bool": True}[k]


def _required(func):
    return [p for p, default in PARAMS[func] if default is None]


class _Index:
    """An integer by __index__ only (which may return the wrong type)."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class _Float:
    """A number by __float__ only (which may return the wrong type)."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class _RaisingIter:
    """A sequence whose iteration fails after two elements."""

    def __len__(self):
        return 5

    def __getitem__(self, i):
        if i >= 2:
            raise RuntimeError("iteration broke")
        return float(i)


class _BadLen(list):
    def __len__(self):
        raise RuntimeError("no length")


def _valid_calls():
    calls = []
    for func, params in PARAMS.items():
        if func in ("ZHISHU", "BATCH", "BATCH_CROSS"):
            continue
        required = [_valid_value(func, p) for p in _required(func)]
        calls.append((func, tuple(required), {}, None))
        calls.append((func, (), {p: _valid_value(func, p) for p, _ in params}, None))
        # An empty series and zero periods take the degenerate paths.
        empty = tuple([] if kind(func, p) == "Series" else _valid_value(func, p) for p in _required(func))
        if func != "RET":
            calls.append((func, empty, {}, None))
        zero = [0 if kind(func, p) in ("U64", "U32") else _valid_value(func, p) for p, _ in params]
        if func != "RET":
            calls.append((func, tuple(zero), {}, None))
        # A length that raises is only a size hint: the call goes on.
        every = [_valid_value(func, p) for p, _ in params]
        calls.append((func, (_BadLen(every[0]),) + tuple(every[1:]), {}, None))
    calls += [
        ("MAX", (1.0, 2.0), {}, None),
        ("MIN", (CLOSE, 3), {}, None),
        ("IF", (COND, 1.0, CLOSE), {}, None),
        ("DMA", (CLOSE, 0.25), {}, None),
        ("DMA", ([7.0], []), {}, None),
        ("RET", (CLOSE, 100), {}, None),
        ("MA", ((1, 2, 3), True), {}, None),
        ("MA", (range(10), 3), {}, None),
        ("SUM", (CLOSE, 2**64 - 1), {}, None),
        ("REF", (CLOSE, 2**32 - 3), {}, None),
        ("RD", (CLOSE, 4294967295), {}, None),
        ("CROSS", ([1.0], []), {}, None),
        ("MA", (CLOSE, _Index(3)), {}, None),
        ("RD", ([_Float(1.23456), 2, True], _Index(2)), {}, None),
        ("POW", (CLOSE, _Float(0.5)), {}, None),
        ("MAX", (_Float(1.0), _Index(2)), {}, None),
        ("OBV", ([1.0, 1.0, 1.0], [5.0]), {}, None),
    ]
    for method in range(1, 6):
        calls.append(("ZHISHU", tuple(T_PRICES + [T_VOL, T_VOL, T_VOL, method, 100.0]), {}, None))
    calls.append(("ZHISHU", tuple([[]] * 10), {}, None))
    calls.append(("ZHISHU", ([_Index(7)], [_Index(-20240101)]) + tuple([[1.0]] * 8) + (_Index(3), _Float(10.0)), {},
                  None))
    calls.append(("BATCH", (BATCH_NAMES, []) + tuple(T_PRICES), {}, None))
    calls.append(("BATCH", (["MA", "ref"], [[5, 10, 0], [1, 2]]) + tuple(T_PRICES), {}, None))
    calls.append(("BATCH", (["macd"], []) + tuple([[]] * 7), {}, None))
    for keep in (True, False):
        calls.append(("BATCH_CROSS", (["ma", "macd", "kdj", "rsi"], [[5, 10]]) + tuple(T_PRICES) + (keep,), {},
                      None))
    calls.append(("BATCH_CROSS", (list(BATCH_NAMES), []) + tuple(T_PRICES) + (False,), {}, None))
    return calls


# Wrong values per kind: (value, exception type). Each is tried in each
# parameter of that kind, with every other argument valid.
BAD_VALUES = {
    "Series": [("abc", TypeError), (5, TypeError), (None, TypeError), ([1.0, 2.0, None], TypeError),
               ([1.0, _Float("x")], TypeError),
               ([1.0, 10**400], OverflowError), (_RaisingIter(), RuntimeError), ({"a": 1.0}, TypeError)],
    "U64": [(-1, OverflowError), (2.0, TypeError), (2**64, OverflowError), (None, TypeError), ("3", TypeError),
            (_Index(-1), OverflowError), (_Index(2.0), TypeError)],
    "U32": [(2**32, OverflowError), (-1, OverflowError), (1.5, TypeError)],
    "Float": [("x", TypeError), (None, TypeError), ([1.0], TypeError), (10**400, OverflowError),
              (_Float("x"), TypeError)],
    "VS": [("a", TypeError), (None, TypeError), ([1.0, "a"], TypeError)],
    "U64List": [([1, -1], OverflowError), ([1.5], TypeError), ("abc", TypeError), (7, TypeError)],
    "I64List": [([2**63], OverflowError), (["a"], TypeError), ([1.0], TypeError), (None, TypeError),
                ([_Index(-2**63 - 1)], OverflowError), ([_Index(None)], TypeError)],
    "StrList": [([1], TypeError), (["ok", "\ud800"], UnicodeEncodeError), ("abc", TypeError)],
    "U64ListList": [(["a"], TypeError), ([[1], [-1]], OverflowError), ([5], TypeError), ([[1.0]], TypeError)],
    "Bool": [(1, TypeError), (None, TypeError), ("True", TypeError)],
}


def _all_args(func, **override):
    return tuple(override.get(p, _valid_value(func, p)) for p, _ in PARAMS[func])


def _failing_calls():
    calls = []
    for func, params in PARAMS.items():
        every = _all_args(func)
        required = tuple(_valid_value(func, p) for p in _required(func))
        # Binding errors.
        calls.append((func, every + (1,), {}, TypeError))
        calls.append((func, (), {}, TypeError))
        calls.append((func, required, {"bogus": 1}, TypeError))
        calls.append((func, every, {params[0][0]: every[0]}, TypeError))
        calls.append((func, required[:-1], {}, TypeError))
        # Conversion errors, one per bad value of each parameter; the later
        # parameters are valid so the failure is the one under test.
        for p, _ in params:
            for value, exc in BAD_VALUES[kind(func, p)]:
                calls.append((func, _all_args(func, **{p: value}), {}, exc))
        # The first failing argument ends the call even when a later one is wrong too.
        if len(params) > 1:
            calls.append((func, (None,) * len(params), {}, TypeError))
    # Errors the computations report themselves.
    bad_len = [T_CODE[:-1]] + T_PRICES[1:]
    calls += [
        ("RET", ([1.0], 0), {}, ValueError),
        ("CROSS", ([1.0, 2.0, 3.0], [1.0]), {}, ValueError),
        ("DMA", ([1.0, 2.0, 3.0], [0.5, 0.5]), {}, ValueError),
        ("OBV", ([1.0, 2.0, 3.0], [1.0]), {}, ValueError),
        ("ZHISHU", tuple(T_PRICES + [T_VOL, T_VOL, T_VOL, 0]), {}, ValueError),
        ("ZHISHU", tuple(T_PRICES + [T_VOL, T_VOL, T_VOL[:-1], 6]), {}, ValueError),
        ("ZHISHU", tuple(bad_len + [T_VOL, T_VOL, T_VOL]), {}, ValueError),
        ("BATCH", ([], []) + tuple(T_PRICES), {}, ValueError),
        ("BATCH", (["macd"], []) + tuple(bad_len), {}, ValueError),
        ("BATCH", (["macd", "nope"], []) + tuple(T_PRICES), {}, ValueError),
        ("BATCH_CROSS", ([], []) + tuple(T_PRICES) + (True,), {}, ValueError),
        ("BATCH_CROSS", (["macd"], []) + tuple(bad_len) + (True,), {}, ValueError),
        ("BATCH_CROSS", (["NOPE"], []) + tuple(T_PRICES) + (True,), {}, ValueError),
        ("BATCH_CROSS", (["rsi", "boll"], []) + tuple(T_PRICES) + (False,), {}, ValueError),
        ("BATCH_CROSS", (["ma"], [[5, 10, 20]]) + tuple([[]] * 7) + (False,), {}, ValueError),
    ]
    return calls


VALID_CALLS = _valid_calls()
FAILING_CALLS = _failing_calls()
