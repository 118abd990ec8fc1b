"""Random formulas against the same calls composed by hand, one security at
a time; random and hostile formula text gives a result or FormulaError,
nothing else."""
import math
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarvex
from tarvex.formula import FormulaError, FormulaResult, engine, formula

EXAMPLES = int(os.environ.get("TARVEX_FUZZ_EXAMPLES", "300"))
SETTINGS = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
N = 3  # the parameter N every generated formula may read


# ---- the twin: the language's meaning composed from tarvex calls ----

def truth(x):
    x = np.asarray(x)
    return ((x != 0) & (x == x)).astype(float)


def so_far(fn):
    """fn(x, n), where N = 0 reads every bar so far: the library's window
    over the whole prefix."""
    return lambda x, n: fn(x, n) if n else np.array([fn(x[:i + 1], i + 1)[-1] for i in range(len(x))])


def slow_longcross(a, b, n):
    return np.array([1.0 if i >= n and all(a[j] < b[j] for j in range(i - n, i)) and a[i] > b[i] else 0.0
                     for i in range(len(a))])


def sample_std(x, n):
    return tarvex.STD(x, n) * (math.sqrt(n / (n - 1)) if n >= 2 else math.nan)


# name, argument kinds (x an expression, c a condition, n a period 0..4 or
# N, p a period 1..4 or N), and the twin over columns and whole numbers.
WORDS = [
    ("MA", "xp", tarvex.MA), ("EMA", "xp", tarvex.EMA), ("SMA", "xpp", tarvex.SMA), ("WMA", "xp", tarvex.WMA),
    ("REF", "xn", tarvex.REF), ("SUM", "xn", tarvex.SUM), ("STDP", "xp", tarvex.STD), ("STD", "xp", sample_std),
    ("AVEDEV", "xp", tarvex.AVEDEV), ("ABS", "x", tarvex.ABS), ("RD", "x", tarvex.RD),
    ("HHV", "xn", so_far(tarvex.HHV)), ("LLV", "xn", so_far(tarvex.LLV)),
    ("HHVBARS", "xn", so_far(tarvex.HHVBARS)), ("LLVBARS", "xn", so_far(tarvex.LLVBARS)),
    ("MAX", "xx", tarvex.MAX), ("MIN", "xx", tarvex.MIN),
    ("IF", "cxx", lambda c, a, b: np.where(c == 1.0, a, b)),
    ("COUNT", "cn", tarvex.COUNT), ("EXIST", "cp", tarvex.EXIST), ("BARSLAST", "c", tarvex.BARSLAST),
    ("EVERY", "cn", so_far(tarvex.EVERY)),
    ("FILTER", "cn", tarvex.FILTER), ("VALUEWHEN", "cx", tarvex.VALUEWHEN), ("BARSLASTCOUNT", "c", tarvex.BARSLASTCOUNT),
    ("CROSS", "xx", lambda a, b: (tarvex.CROSS(a, b) == 1.0) * 1.0), ("LONGCROSS", "xxp", slow_longcross),
]
INDICATORS = [
    ("KDJ.K", lambda b: tarvex.KDJ(b["C"], b["H"], b["L"]).k),
    ('"KDJ.J"(5,2,2)', lambda b: tarvex.KDJ(b["C"], b["H"], b["L"], 5, 2, 2).j),
    ("MACD.DEA", lambda b: tarvex.MACD(b["C"]).dea), ("BOLL.LOWER(10)", lambda b: tarvex.BOLL(b["C"], 10).lower),
    ("RSI(6)", lambda b: tarvex.RSI(b["C"], 6)), ("DMI.ADX", lambda b: tarvex.DMI(b["C"], b["H"], b["L"]).adx),
    ("OBV", lambda b: tarvex.OBV(b["C"], b["V"])), ("TAQ.MID(3)", lambda b: tarvex.TAQ(b["H"], b["L"], 3).taq_mid),
]
ARITHMETIC = {"+": np.add, "-": np.subtract, "*": np.multiply, "/": np.divide}
COMPARE = {">": np.greater, "<": np.less, ">=": np.greater_equal, "<=": np.less_equal, "=": np.equal,
           "<>": lambda a, b: (a < b) | (a > b)}


def column(x, bars):
    return np.full(len(bars["C"]), float(x)) if np.ndim(x) == 0 else x


@st.composite
def periods(draw, least):
    if draw(st.booleans()):
        return "N", (lambda b: N)
    n = draw(st.integers(least, 4))
    return str(n), (lambda b: n)


@st.composite
def expressions(draw, depth=3, top=False):
    """(formula text, twin over a dict of bar columns); a call of a word at
    the top, so that every word is tried often."""
    choice = 10 if top else draw(st.integers(0, 12 if depth > 0 else 2))
    if choice == 0:
        name = draw(st.sampled_from(["C", "H", "L", "O", "V", "CLOSE", "vol"]))
        return name, lambda b: b[name[0].upper()]
    if choice == 1:
        value = draw(st.sampled_from([0.0, 1.0, 2.0, 0.5, 10.0, 100.0]))
        return repr(value), lambda b: value
    if choice == 2:
        return draw(st.sampled_from(INDICATORS))
    if choice == 3:
        text, f = draw(expressions(depth - 1))
        if draw(st.booleans()):
            return f"-{text}", lambda b: -f(b)
        return f"NOT {text}", lambda b: 1.0 - truth(f(b))
    if choice <= 6:
        op = draw(st.sampled_from([*ARITHMETIC, *COMPARE, "AND", "OR"]))
        (ta, fa), (tb, fb) = draw(expressions(depth - 1)), draw(expressions(depth - 1))

        def binary(b):
            a, c = fa(b), fb(b)
            if op in ARITHMETIC:
                return ARITHMETIC[op](a, c)
            if op in COMPARE:
                return COMPARE[op](a, c) * 1.0
            both = (truth(a) * truth(c)) if op == "AND" else np.maximum(truth(a), truth(c))
            return both * 1.0
        return f"({ta} {op} {tb})", binary
    name, kinds, twin = draw(st.sampled_from(WORDS))
    texts, fns = [], []
    for kind in kinds:
        text, f = draw(periods(0 if kind == "n" else 1)) if kind in "np" else draw(expressions(depth - 1))
        if kind == "c":
            f = (lambda g: lambda b: truth(column(g(b), b)))(f)
        elif kind == "x":
            f = (lambda g: lambda b: column(g(b), b))(f)
        texts.append(text)
        fns.append(f)
    return f"{name}({','.join(texts)})", lambda b: twin(*(f(b) for f in fns))


def bars_of(seed, codes=3):
    rng = np.random.default_rng(seed)
    parts = []
    for k in range(codes):
        n = int(rng.integers(1, 40))
        close = 10 + np.cumsum(rng.choice([-1.0, 0.0, 0.0, 1.0, 0.5], n))
        close[rng.random(n) < 0.1] = math.nan
        parts.append({"code": np.full(n, k), "date": np.arange(n), "close": close, "high": close + rng.choice([0, 1], n),
                      "low": close - rng.choice([0, 1], n), "open": close + 0.5, "volume": rng.choice([0.0, 100.0], n)})
    return {key: np.concatenate([p[key] for p in parts]) for key in parts[0]}


@SETTINGS
@given(expressions(top=True), st.integers(0, 2**32 - 1))
def test_random_formulas_match_the_calls_composed_by_hand(expr, seed):
    text, twin = expr
    market = bars_of(seed)
    result = formula(f"X:{text};", market, N=N)
    for code in range(3):
        rows = market["code"] == code
        one = {k[0].upper(): market[name][rows] for k, name in
               (("c", "close"), ("h", "high"), ("l", "low"), ("o", "open"), ("v", "volume"))}
        with np.errstate(all="ignore"):
            want = column(twin(one), one)
        got = result["X"][result.codes == code]
        both_nan = np.isnan(got) & np.isnan(want)
        assert np.array_equal(np.where(both_nan, 0, got).view(np.int64), np.where(both_nan, 0, want).view(np.int64)), \
            (text, code, got, want)


FRAGMENTS = ["C", "H", "MA", "KDJ", ".K", "(", ")", ",", ";", ":", ":=", "+", "-", "*", "/", ">", "<>", "=", "1",
             "0.5", ".", "9" * 40, "{", "}", "//", "\n", " ", "AND", "OR", "NOT", "IF", "REF", "N", "X", "X:", '"',
             '"MACD.DIF"', "DRAWNULL", "HHV", "CROSS", ",NODRAW", "é", "\x00", "!", "&&", "||"]


@SETTINGS
@given(st.one_of(st.lists(st.sampled_from(FRAGMENTS), max_size=40).map("".join), st.text(max_size=60)))
def test_random_text_gives_a_result_or_formula_error(text):
    bars = {"close": [1.0, 2.0, math.nan, 4.0], "high": [2.0] * 4, "low": [0.0] * 4, "open": [1.0] * 4,
            "volume": [1.0] * 4}
    try:
        result = formula(text, bars, N=2)
    except FormulaError as e:
        assert e.message and (e.line is None or e.column >= 1)
        return
    assert isinstance(result, FormulaResult) and all(len(line.values) == 4 for line in result)


@pytest.mark.parametrize("text", [
    "(" * 100000 + "C" + ")" * 100000,
    "ABS(" * 5000 + "C" + ")" * 5000,
    "-" * 100000 + "C",
    "NOT " * 20000 + "C",
    "C+(" * 20000 + "C" + ")" * 20000,
    "9" * 100000,
    "{" + "x" * 10**6,
    "MA(C," * 50000,
    ")" * 100000,
    "A:=C;" * 200000,
    "C" + " " * 10**6 + ";" + "//" * 10**5,
    "A" * 10**6,
    "KDJ." + "K" * 10**6,
])
def test_hostile_text_never_escapes(text):
    try:
        result = formula(text, {"close": [1.0, 2.0]})
    except FormulaError as e:
        assert len(str(e)) < 1000
    else:
        assert len(result.lines[0].values) == 2


@settings(max_examples=max(EXAMPLES // 3, 1), deadline=None, suppress_health_check=list(HealthCheck))
@given(expressions(), expressions(top=True), st.integers(0, 2**32 - 1))
def test_element_wise_runs_in_chunks_give_the_same_values(first, second, seed):
    # Every chunk size gives the same bits, up to the sign of a NaN made from
    # two NaNs: which of the two a vector or a scalar loop passes on depends
    # on the chunk's length and on how the allocator aligned its buffers.
    text = f"A:={first[0]}; X:A*2+{second[0]}; Y:IF(A>{second[0]},-A,ABS(A)-1); Z:{second[0]}>A;"
    market = bars_of(seed, codes=6)
    runs = {}
    for rows in (0, 7, 64):
        engine.CHUNK_ROWS, saved = rows, engine.CHUNK_ROWS
        try:
            runs[rows] = [np.where(np.isnan(line.values), np.nan, line.values).view(np.int64)
                          for line in formula(text, market, N=N)]
        finally:
            engine.CHUNK_ROWS = saved
    for whole, odd, even in zip(runs[0], runs[7], runs[64]):
        assert np.array_equal(whole, even) and np.array_equal(whole, odd), text
