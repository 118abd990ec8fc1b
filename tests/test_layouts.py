"""Every layout of a market gives the numbers of the tidy long frame: random
markets as MultiIndex panels (either level order), polars frames, shuffled,
newest first, with repeated rows, and one security in any row order; each
rule (time order, duplicates, digits, min_bars, alignment, wide frames,
screen dates) checked once over all of them."""
import datetime
import subprocess
import sys

import numpy as np
import pandas as pd
import polars as pl
import pytest

import tarvex as tv

SPECS = ["macd", "kdj", ("ma", [5, 10]), "rsi"]
FORMULA = "M:MA(C,5); X:CROSS(MACD.DIF, MACD.DEA); C>M"


def tidy_market(seed, codes=4, days=50):
    """A long frame by code then date; closes near 1 (where rounding bites),
    a few missing."""
    rng = np.random.default_rng(seed)
    n = codes * days
    close = 1.1 + rng.standard_normal(n).cumsum() * 0.002
    close[rng.random(n) < 0.03] = np.nan
    return pd.DataFrame({
        "code": np.repeat([f"{c:06d}" for c in rng.choice(999999, codes, replace=False)], days),
        "date": np.tile(pd.bdate_range("2024-01-01", periods=days).values, codes),
        "open": close + 0.001, "high": close + 0.003, "low": close - 0.003, "close": close,
        "volume": rng.integers(100, 900, n).astype(float)}).sort_values(["code", "date"], ignore_index=True)


def layouts(tidy, seed):
    """(name, frame, keywords) of the same market in every layout."""
    rng = np.random.default_rng(seed)
    shuffled = tidy.iloc[rng.permutation(len(tidy))]
    doubled = pd.concat([shuffled, shuffled.iloc[:7]])
    return [
        ("long", shuffled, {}),
        ("newest first", tidy.iloc[::-1], {}),
        ("MultiIndex", shuffled.set_index(["code", "date"]), {}),
        ("MultiIndex date first", shuffled.set_index(["date", "code"]), {}),
        ("named levels", shuffled.rename(columns={"code": "ticker"}).set_index(["ticker", "date"]), {"code": "ticker"}),
        ("DatetimeIndex", shuffled.set_index("date"), {}),
        ("polars", pl.from_pandas(shuffled), {}),
        ("repeated rows", doubled, {"duplicates": "first"}),
    ]


def long_form(result):
    """A result of any layout as a frame by code then date."""
    if isinstance(result, pl.DataFrame):
        result = result.to_pandas()
    result = result.reset_index()
    result = result.rename(columns={"ticker": "code"}).drop(columns=["index"], errors="ignore")
    return result.sort_values(["code", "date"], ignore_index=True)


def assert_same_frame(got, want):
    assert sorted(got.columns) == sorted(want.columns)
    for c in want.columns:
        a, b = np.asarray(got[c]), np.asarray(want[c])
        if a.dtype.kind == "f":
            assert np.array_equal(np.nan_to_num(a, nan=7e300).view(np.int64),
                                  np.nan_to_num(b, nan=7e300).view(np.int64)), c
        else:
            assert np.array_equal(a.astype(str), b.astype(str)), c


@pytest.mark.parametrize("seed", [1, 2])
def test_every_layout_gives_the_tidy_numbers(seed):
    tidy = tidy_market(seed)
    want = tv.indicators(tidy, SPECS)
    signals = tv.crosses(tidy, ["macd", "kdj"], digits=None, min_bars=3)
    lines = tv.formula(FORMULA, tidy)
    for name, frame, keywords in layouts(tidy, seed):
        assert_same_frame(long_form(tv.indicators(frame, SPECS, **keywords)), want)
        assert_same_frame(long_form(tv.crosses(frame, ["macd", "kdj"], digits=None, min_bars=3, **keywords)),
                          signals)
        got = tv.formula(FORMULA, frame, **keywords)
        for k in range(3):
            assert np.array_equal(got.lines[k].values, lines.lines[k].values, equal_nan=True), name
        assert tv.screen(FORMULA, frame, **keywords) == tv.screen(FORMULA, tidy)
    panel = tidy.set_index(["code", "date"])
    assert tv.formula(FORMULA, panel)[0].index.equals(panel.index)  # a Series on the bars' index
    assert tv.formula(FORMULA, panel).to_frame().index.equals(panel.index)


def test_one_security_is_computed_oldest_first_and_comes_back_on_its_rows():
    one = tidy_market(3, codes=1).drop(columns="code")
    want = tv.indicators(one, SPECS)
    want_line = tv.formula(FORMULA, one)["M"]
    rng = np.random.default_rng(3)
    for frame in (one.iloc[rng.permutation(len(one))], one.iloc[::-1], one.set_index("date").iloc[::-1]):
        got = tv.indicators(frame, SPECS)
        assert got.index.equals(frame.index)
        rows = np.argsort(np.asarray(frame["date"] if "date" in frame else frame.index), kind="stable")
        assert_same_frame(got.iloc[rows].reset_index(drop=True), want)
        line = tv.formula(FORMULA, frame)["M"]
        assert line.index.equals(frame.index)
        assert np.array_equal(line.to_numpy()[rows], want_line.to_numpy(), equal_nan=True)
    # Without a date the given order is the time order.
    bare = one.drop(columns="date")
    assert not np.array_equal(tv.MA(bare.close.to_numpy()[::-1], 5),
                              tv.indicators(bare.iloc[::-1], [("ma", 5)])["ma5"].to_numpy()[::-1], equal_nan=True)


def test_a_repeated_code_and_date_is_refused_or_kept_once():
    tidy = tidy_market(4, codes=2, days=20)
    again = tidy.iloc[[3, 25, 25]].assign(close=[5.0, 6.0, 7.0])
    doubled = pd.concat([tidy, again], ignore_index=True)
    calls = [lambda d, **k: tv.indicators(d, ["macd"], **k), lambda d, **k: tv.crosses(d, ["macd"], **k),
             lambda d, **k: tv.formula("C", d, **k), lambda d, **k: tv.screen("C>0", d, **k),
             lambda d, **k: tv.composite(d, **k), lambda d, **k: tv.compile("C").run(d, **k)]
    for call in calls:
        with pytest.raises(ValueError, match=r"3 rows repeat a \(code, date\).*first \('\d{6}', 2024-01-04\)"):
            call(doubled)
    for copy in (tidy.iloc[[5]].assign(close=np.nan), tidy.iloc[[5, 6]].assign(close=np.nan).iloc[[0, 0]]):
        with pytest.raises(ValueError, match="rows? repeat"):  # a copy without a close is a repeat too
            tv.indicators(pd.concat([tidy.assign(close=tidy.close.fillna(1.0)), copy]), ["macd"])
    first = tv.formula("C", doubled, duplicates="first")[0].to_numpy()
    last = tv.formula("C", doubled, duplicates="last")[0].to_numpy()
    assert np.array_equal(first, tidy.close.to_numpy(), equal_nan=True)
    assert (last[[3, 25]] == [5.0, 7.0]).all()


def test_digits_reach_every_rounded_indicator():
    tidy = tidy_market(5, codes=3)
    unrounded = {c: tv.MACD(g.close.dropna().to_numpy(), digits=None) for c, g in tidy.groupby("code")}
    dif = np.concatenate([unrounded[c].dif for c in sorted(unrounded)])
    assert np.array_equal(tv.indicators(tidy, ["macd"], digits=None)["dif"].to_numpy(), dif)
    assert np.array_equal(tidy.tarvex.indicators(["macd"], digits=None)["dif"].to_numpy(), dif)
    rows = tidy.close.notna().to_numpy()
    assert np.array_equal(tv.formula("MACD.DIF", tidy, digits=None)[0].to_numpy()[rows], dif)
    assert np.array_equal(tv.formula("MACD.DIF", tidy, digits=2)[0].to_numpy()[rows], np.round(dif, 2))
    crosses = tv.crosses(tidy, ["macd"], digits=None)["cross"].to_numpy()
    starts = np.flatnonzero(np.r_[True, np.diff(tv.indicators(tidy, ["macd"])["code"].factorize()[0]) != 0])
    assert np.array_equal(crosses, tv.CROSS(dif, np.concatenate([unrounded[c].dea for c in sorted(unrounded)]),
                                            starts=starts))
    # Near 1 the default's 3 decimals change which bars cross.
    assert not np.array_equal(crosses, tv.crosses(tidy, ["macd"])["cross"].to_numpy())


def test_min_bars_silences_each_securitys_first_signals():
    tidy = tidy_market(6, codes=3)
    full = tv.crosses(tidy, ["macd", ("ma", [3, 8])], keep_values=True)
    quiet = tv.crosses(tidy, ["macd", ("ma", [3, 8])], keep_values=True, min_bars=4)
    position = full.groupby("code").cumcount().to_numpy()
    for c in ("macd_cross", "ma_cross", "cross"):
        assert (quiet[c].to_numpy()[position < 4] == 0).all()
        assert np.array_equal(quiet[c].to_numpy()[position >= 4], full[c].to_numpy()[position >= 4])
    assert np.array_equal(quiet["dif"].to_numpy(), full["dif"].to_numpy(), equal_nan=True)
    native = tv.batch_cross(["macd"], [[]], full["code"].factorize()[0], position, *(
        full[c].to_numpy() for c in ("dif",) * 4), full["dif"].to_numpy(), False, min_bars=2)
    assert (native["cross"][native["date"] < 2] == 0).all()
    formula = tv.formula("CROSS(C, MA(C,3))", tidy, min_bars=4)[0].to_numpy()
    assert np.isnan(formula[tidy.groupby("code").cumcount().to_numpy() < 4]).all()


def test_series_on_different_indexes_are_refused_and_wide_frames_go_column_by_column():
    close = tidy_market(7, codes=1).set_index("date").close.fillna(1.1)
    with pytest.raises(ValueError, match="'close' and 'high' have different indexes"):
        tv.KDJ(close, (close + 0.01).iloc[::-1], close - 0.01)
    tv.KDJ(close, close + 0.01, close.to_numpy()[::-1])  # arrays are positional
    with pytest.raises(ValueError, match="'high' and 'close' have different indexes"):
        tv.formula("H-C", {"close": close, "high": close.iloc[::-1]})
    wide = tidy_market(7, codes=5).pivot(index="date", columns="code", values="close")
    ma = tv.MA(wide, 5)
    assert ma.index.equals(wide.index) and ma.columns.equals(wide.columns)
    for c in wide:
        assert np.array_equal(ma[c].to_numpy(), tv.MA(wide[c].to_numpy(), 5), equal_nan=True)
    kdj = tv.KDJ(wide.to_numpy(), wide.to_numpy() + 0.01, wide.to_numpy() - 0.01)
    assert np.array_equal(kdj.k[:, 2], tv.KDJ(*(wide.iloc[:, 2].to_numpy() + d for d in (0, 0.01, -0.01))).k,
                          equal_nan=True)
    with pytest.raises(ValueError, match="different indexes or columns"):
        tv.KDJ(wide, wide.iloc[::-1], wide)
    with pytest.raises(TypeError, match="one-dimensional"):
        tv.MA(pl.from_pandas(wide), 5)


def test_screen_dates_match_the_date_columns_type():
    tidy = tidy_market(8, codes=3).fillna({"close": 1.0})
    day = "2024-01-10"
    hits = tv.screen("C>0", tidy, day)
    assert len(hits) == 3 and tv.screen("C>0", tidy, pd.Timestamp(day)) == hits
    for wrong, column in ((20240110, "numbers"), (pd.Timestamp(day, tz="UTC"), "without a time zone")):
        with pytest.raises(ValueError, match=f"cannot match the date column 'date' \\(datetimes {column}"
                           if column != "numbers" else "numbers.*datetimes without"):
            tv.screen("C>0", tidy, wrong)
    aware = tidy.assign(date=tidy.date.dt.tz_localize("Asia/Shanghai"))
    assert tv.screen("C>0", aware, day) == hits == tv.screen("C>0", aware, pd.Timestamp(day, tz="Asia/Shanghai"))
    assert tv.screen("C>0", aware, pd.Timestamp(day, tz="Asia/Shanghai").tz_convert("UTC")) == hits
    assert tv.screen("C>0", pl.from_pandas(aware), day) == hits
    with pytest.raises(ValueError, match="without a time zone.*with a time zone"):
        tv.screen("C>0", aware, datetime.datetime(2024, 1, 10))
    numbers = tidy.assign(date=tidy.date.dt.strftime("%Y%m%d").astype(int))
    assert tv.screen("C>0", numbers, 20240110) == hits
    with pytest.raises(ValueError, match="text.*numbers"):
        tv.screen("C>0", numbers, "20240110")


def test_keywords_and_messages():
    tidy = tidy_market(9, codes=2).rename(columns={"close": "Adj Close", "code": "ticker"})
    got = tv.indicators(tidy, ["macd"], code="ticker", columns={"close": "Adj Close"})
    assert list(got.columns[:2]) == ["ticker", "date"]
    assert len(tv.formula("C", tidy, code="ticker", columns={"close": "Adj Close"})[0]) == len(tidy)
    assert tv.screen("C>0", tidy, code="ticker", date_column="date", columns={"close": "Adj Close"})
    both = tidy.assign(close=1.0, Close=2.0)
    with pytest.raises(ValueError, match="'close', 'Close' differ only in case"):
        tv.indicators(both, ["macd"], code="ticker")
    with pytest.raises(ValueError, match="none of 'rsi' has a fast and a slow line.*: .*macd.*two periods of .*ma"):
        tv.crosses(tidy, ["rsi"], code="ticker", columns={"close": "Adj Close"})
    with pytest.raises(TypeError, match="parameters of 'ma' must be integers, not '5'"):
        tv.indicators(tidy, [("ma", "5")])
    with pytest.raises(tv.FormulaError, match="LazyFrame.*collect"):
        tv.formula("C", pl.from_pandas(tidy).lazy())
    repeated = pd.concat([tidy[["ticker"]], tidy], axis=1)
    with pytest.raises(ValueError, match="code column name 'ticker' is repeated"):
        tv.indicators(repeated, ["macd"], code="ticker", columns={"close": "Adj Close"})


def test_command_line_reads_codes_and_dates_by_one_rule(tmp_path):
    rows = [("000001", f"2024/1/{d}", d) for d in (8, 9, 10, 11)] + [("1", "2024/1/9", 50.0), ("1", "2024/1/8", 40.0)]
    pd.DataFrame(rows, columns=["Code", "date", "close"]).to_csv(tmp_path / "m.csv", index=False)
    (tmp_path / "f.txt").write_text("REF(C,1)")
    run = [sys.executable, "-m", "tarvex"]
    out = subprocess.run([*run, "run", "f.txt", "m.csv", "--code", "CODE"], cwd=tmp_path, capture_output=True,
                         text=True, check=True).stdout.split()
    assert out[1:] == ["000001,2024-01-08,", "000001,2024-01-09,8.0", "000001,2024-01-10,9.0",
                       "000001,2024-01-11,10.0", "1,2024-01-08,", "1,2024-01-09,40.0"]
    (tmp_path / "g.txt").write_text("C>100")
    none = subprocess.run([*run, "screen", "g.txt", "m.csv", "--date", "2024-01-09"], cwd=tmp_path,
                          capture_output=True, text=True, check=True)
    assert none.stdout == "" and "2 codes screened" in none.stderr
    (tmp_path / "m.csv").write_text("code,date,close\n1,2024/1/8,1\n1,someday,2\n")
    bad = subprocess.run([*run, "run", "f.txt", "m.csv"], cwd=tmp_path, capture_output=True, text=True)
    assert bad.returncode == 1 and "'someday' is not a date" in bad.stderr


@pytest.mark.parametrize("date_kind", ["datetime64[ns]", "datetime64[s]", "int64"])
@pytest.mark.parametrize("code_kind", ["uint64", "int64", "str"])
def test_large_shuffled_markets_keep_their_key_types(code_kind, date_kind):
    # Past the size where keys and columns are gathered and sorted natively:
    # every result equals the tidy market's, its codes and dates of their own type.
    tidy = tidy_market(11, codes=30, days=200)
    if code_kind != "str":
        tidy["code"] = tidy["code"].astype(code_kind)
    days = tidy["date"].values
    tidy["date"] = days.astype(date_kind) if date_kind != "int64" else \
        pd.DatetimeIndex(days).strftime("%Y%m%d").astype(np.int64)
    shuffled = tidy.iloc[np.random.default_rng(2).permutation(len(tidy))]
    for got, want in ((tv.indicators(shuffled, SPECS), tv.indicators(tidy, SPECS)),
                      (tv.formula(FORMULA, shuffled).to_frame(), tv.formula(FORMULA, tidy).to_frame())):
        assert list(got.dtypes) == list(want.dtypes)
        pd.testing.assert_frame_equal(got.reset_index(drop=True), want.reset_index(drop=True), check_exact=True)
    assert tv.screen(FORMULA, shuffled, tidy["date"].iloc[-1]) == tv.screen(FORMULA, tidy, tidy["date"].iloc[-1])
