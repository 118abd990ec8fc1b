"""Formula periods (X#WEEK): on every bar, X computed on the period bars
built from its security's rows up to and including that bar, checked
against that definition computed the slow way (truncate, resample, run the
formula, take the last value); the routines' own provisional forms against
the generic exact way; the refusals."""
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarvex
from tarvex import _native
from tarvex._functions import FUNCTIONS
from tarvex.formula import FormulaError

# The slow twin runs the formula once per bar and period: few examples.
EXAMPLES = max(4, int(os.environ.get("TARVEX_FUZZ_EXAMPLES", "300")) // 40)
SETTINGS = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
FIELDS = ("open", "high", "low", "close", "vol", "amount")


def same(actual, expected):
    """Equal bit for bit, every NaN one pattern."""
    a, e = (np.where(np.isnan(v), np.nan, v).view(np.int64) for v in (np.asarray(actual), np.asarray(expected)))
    return np.array_equal(a, e)


def market(seed, minutes=False):
    """Three securities on weekdays with holidays and a suspension (or on
    session minutes), runs of missing closes and other fields, rows shuffled."""
    rng = np.random.default_rng(seed)
    parts = []
    for code in (1, 7, 42):
        if minutes:
            clock = np.r_[np.arange(571, 691, 7), np.arange(781, 901, 7)]  # within 09:31-11:30, 13:01-15:00
            days = np.datetime64("2024-03-01") + np.flatnonzero(rng.random(8) < 0.7).astype("timedelta64[D]")
            stamps = (days.astype("datetime64[m]")[:, None] + clock[None, :].astype("timedelta64[m]")).ravel()
            stamps = stamps[rng.random(len(stamps)) < 0.3]
        else:
            start = np.datetime64("2023-12-18") + np.timedelta64(int(rng.integers(0, 40)), "D")
            days = start + np.arange(int(rng.integers(20, 90)))
            weekday = (days.astype(np.int64) + 3) % 7
            keep = (weekday < 5) & (rng.random(len(days)) > 0.08)
            gap = int(rng.integers(0, len(days)))
            keep[gap:gap + int(rng.integers(0, 15))] = False  # a suspension
            stamps = days[keep]
        n = len(stamps)
        close = 10 + np.cumsum(rng.normal(0, 0.3, n))
        bars = {"code": np.full(n, code), "date": stamps, "close": close,
                "open": close + rng.normal(0, 0.1, n), "high": close + rng.random(n), "low": close - rng.random(n),
                "vol": rng.integers(1, 100, n).astype(float), "amount": rng.random(n) * 1000}
        for field in FIELDS:
            if n and rng.random() < 0.6 and (field != "close" or seed % 2):  # even seeds: every row a bar
                first = int(rng.integers(0, n))
                bars[field][first:first + int(rng.integers(1, 5))] = np.nan
        parts.append(bars)
    joined = {k: np.concatenate([p[k] for p in parts]) for k in parts[0]}
    order = rng.permutation(len(joined["close"]))
    return {k: v[order] for k, v in joined.items()}


# A small grammar of formula expressions.
BAR = st.sampled_from(["C", "O", "H", "L", "V", "AMOUNT"])
INDICATOR = st.sampled_from(['"MACD.DIF"', "MACD.DEA", "KDJ.K", '"KDJ.J"(5,2,2)', "BOLL.UPPER(5)"])


def _calls(x):
    n, p = st.integers(0, 4).map(str), st.integers(1, 4).map(str)
    return st.one_of(
        st.tuples(st.sampled_from(["MA", "EMA", "STD", "MA"]), x, p).map(lambda t: f"{t[0]}({t[1]},{t[2]})"),
        st.tuples(x, p).map(lambda t: f"SMA({t[0]},{t[1]},1)"),
        st.tuples(st.sampled_from(["HHV", "LLV", "REF", "SUM", "HHVBARS"]), x, n).map(lambda t: f"{t[0]}({t[1]},{t[2]})"),
        st.tuples(st.sampled_from(["HOD", "LOD", "UPNDAY", "BARSSINCEN", "LAST"]), x, n).map(
            lambda t: f"{t[0]}({t[1]},{t[2]}{',1' * (t[0] == 'LAST')})"),
        st.tuples(st.sampled_from(["TOPRANGE", "BARSCOUNT"]), x).map(lambda t: f"{t[0]}({t[1]})"),
        p.map(lambda k: f"SAR({k},2,20)"),
        st.tuples(x, x).map(lambda t: f"CROSS({t[0]},{t[1]})"),
        st.tuples(x, x).map(lambda t: f"BARSLAST({t[0]}>{t[1]})"),
        st.tuples(x, x, x).map(lambda t: f"BETWEEN({t[0]},{t[1]},{t[2]})"),
        st.tuples(x, st.sampled_from("+-*/"), x).map(lambda t: f"({t[0]}{t[1]}{t[2]})"),
    )


EXPRESSION = st.recursive(st.one_of(BAR, INDICATOR), _calls, max_leaves=4)


def twin(data, lines, period):
    """The definition, bar by bar: each security's rows up to the bar,
    resampled, the formula of `lines` run on them, the last values."""
    text = ";".join(f"A{k}:{x}" for k, x in enumerate(lines))
    expected = {}
    for code in np.unique(data["code"]):
        mine = data["code"] == code
        rows = {k: v[mine] for k, v in data.items() if k != "code"}
        order = np.argsort(rows["date"], kind="stable")
        rows = {k: v[order] for k, v in rows.items()}
        for t in range(len(order)):
            bars = tarvex.resample({k: v[:t + 1] for k, v in rows.items()}, period)
            if len(bars["close"]):
                values = [line.values[-1] for line in tarvex.formula(text, bars)]
            else:
                values = [np.nan] * len(lines)
            expected[(code, rows["date"][t])] = values
    return expected


@SETTINGS
@given(st.integers(0, 2**32 - 1), st.lists(EXPRESSION, min_size=1, max_size=3),
       st.sampled_from(["WEEK", "MONTH", "DAY", "MIN30"]))
def test_each_bar_sees_its_period_as_it_stands(seed, lines, period):
    data = market(seed, minutes=period in ("MIN30", "DAY"))
    result = tarvex.formula(";".join(f"A{k}:({x})#{period}" for k, x in enumerate(lines)), data)
    expected = twin(data, lines, {"WEEK": "W", "MONTH": "M", "DAY": "D", "MIN30": "30min"}[period])
    for k, line in enumerate(result):
        wanted = [expected[(code, date)][k] for code, date in zip(result.codes, result.dates)]
        assert same(line.values, wanted), (lines[k], np.c_[line.values, wanted])


# ---- each routine's own provisional form against the generic way ----

PROVISIONAL = [r["name"] for r in _native.registry() if r["provisional"]]
MINIMUMS = {r["name"]: {p[0]: p[3] for p in r["params"]} for r in _native.registry()}
CONDITIONS = {r["name"]: {p[0] for p in r["params"] if p[5]} for r in _native.registry()}


def run(*args):
    """_native.call's lines, or the message of its ValueError."""
    try:
        return _native.call(*args)
    except ValueError as e:
        return str(e)


@pytest.mark.parametrize("name", PROVISIONAL)
def test_provisional_forms_match_the_generic_way(name):
    routine = FUNCTIONS[name]
    rng = np.random.default_rng(abs(hash(name)) % 2**32)
    rows = 400
    starts = np.array([0, 1, 90, 97, 200], dtype=np.int64)
    for trial in range(6):
        x = 10 + np.cumsum(rng.normal(0, 1, rows))
        if trial % 3 == 2:  # whole numbers: equal values in a window, whose newest wins
            x = np.round(x)
        x[rng.random(rows) < 0.05] = np.nan
        x[rng.random(rows) < 0.02] = np.inf
        x[rng.random(rows) < 0.02] = -np.inf
        commit = (rng.random(rows) < (0.2, 0.5, 1.0, 0.0, 0.3, 0.1)[trial]).astype(np.uint8)
        commit[np.r_[starts[1:] - 1, rows - 1]] = 1
        args = []
        for param, kind in zip(routine.params, routine.kinds):
            if param in CONDITIONS[name]:  # true and false bars: zeros, numbers and NaN
                args.append(rng.choice([0.0, 0.0, -0.0, 1.0, 2.5, np.nan], rows))
            elif kind == "s":
                noise = rng.normal(0, 1, rows)
                args.append(x + (np.round(noise) if trial % 3 == 2 else noise))
            elif kind == "v":  # a number or series: DMA's weights, SUMBARS's targets
                low, high = (0.1, 0.9) if name == "DMA" else (-5.0, 60.0)
                args.append(float(rng.uniform(low, high)) if trial % 2 else rng.uniform(low, high, rows))
            elif kind in "ud":  # short windows mostly, some longer than routines count bar by bar
                n = rng.integers(0, 12) if rng.random() < 0.7 else rng.integers(65, 90)
                args.append(max(int(MINIMUMS[name][param]), int(n)))
            elif kind == "r":
                args.append(None if trial % 2 else 3)
            else:
                args.append(float(rng.uniform(0.5, 3.0)))
        # Its own form alone (an error if a step lacks one), then the generic
        # way alone; arguments out of range (TFILTER's n) refused alike.
        fast, generic = (run(routine.index, tuple(args), starts.tobytes(), 0, commit.tobytes(), way)
                         for way in (2, 1))
        if isinstance(fast, str) or isinstance(generic, str):
            assert fast == generic, name
            continue
        for a, b in zip(fast, generic):
            assert same(np.asarray(a), np.asarray(b)), (name, args[1:], trial)


# ---- refusals ----

DAILY = {"date": np.arange(np.datetime64("2024-01-01"), np.datetime64("2024-02-01")),
         "close": np.linspace(1.0, 2.0, 31), "high": np.linspace(1.5, 2.5, 31), "low": np.linspace(0.5, 1.5, 31)}


@pytest.mark.parametrize("text, words, column", [
    ("C#WEEK#MONTH", "cannot follow another", 7),
    ("(C+C#WEEK)#MONTH", "cannot hold another", 5),
    ("C#FORTNIGHT", "unknown period FORTNIGHT; the periods are MIN5, MIN15, MIN30, MIN60, DAY, WEEK", 3),
    ('"MACD.DIF#"', "expected a period", 11),
    ("5#WEEK", "follows a bar name, a call", 2),
    ("C#MIN5", "from 1-minute bars, and these bars are daily", 2),
    ("(C+BARSTATUS)#WEEK", "BARSTATUS reads the security's last bar", 4),
    ("RET(C,1)#MONTH", "RET reads the security's last bar", 1),
    ("A:=MA(C,5); A#WEEK", "write its expression, in parentheses", 13),
])
def test_refusals(text, words, column):
    with pytest.raises(FormulaError) as caught:
        tarvex.formula(text, DAILY)
    assert words in caught.value.message and caught.value.column == column, str(caught.value)
    no_dates = {k: v for k, v in DAILY.items() if k != "date"}
    with pytest.raises(FormulaError, match="no date column"):
        tarvex.formula("MA(C,2)#WEEK", no_dates)
    # A variable holding a number is read; an output line named like a bar is no bar.
    assert same(tarvex.formula("N:=2; MA(C,N)#WEEK", DAILY)[0], tarvex.formula("MA(C,2)#WEEK", DAILY)[0])
    with pytest.raises(FormulaError, match="C is a variable"):
        tarvex.formula("C:O; MA(C,2)#WEEK", DAILY)


def test_dask_screens_a_period_on_integer_dates():
    pd = pytest.importorskip("pandas")
    dd = pytest.importorskip("dask.dataframe")
    import tarvex.dask

    frame = pd.DataFrame(market(4))
    frame["date"] = pd.to_datetime(frame["date"]).dt.strftime("%Y%m%d").astype(int)
    text = '"MACD.DIF#WEEK">0'
    assert tarvex.dask.screen(text, dd.from_pandas(frame, npartitions=2)) == tarvex.screen(text, frame)
