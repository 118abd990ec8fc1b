"""tarvex.indicators, crosses and composite over pandas and polars frames:
the values of the direct calls, codes and dates of every type back as given,
the index of one security kept, and errors that list the valid choices."""
import datetime
import subprocess
import sys

import numpy as np
import pandas as pd
import polars as pl
import pytest

import tarvex as tv
from helpers import assert_same

SPECS = ["macd", "kdj", ("ma", [5, 10]), ("rsi", 6), "obv"]


def direct(o, h, lo, c, v):
    """The fields of SPECS by the direct calls on one security's bars."""
    out = dict(zip(("dif", "dea", "macd"), tv.MACD(c)))
    out.update(zip("kdj", tv.KDJ(c, h, lo)))
    out.update(ma5=tv.MA(c, 5), ma10=tv.MA(c, 10), rsi=tv.RSI(c, 6), obv=tv.OBV(c, v))
    return out


def bars(rng, n, gaps=0.05):
    c = 10 + rng.standard_normal(n).cumsum() * 0.2
    c[rng.random(n) < gaps] = np.nan
    o = c + rng.normal(0, 0.1, n)
    return {"open": o, "high": np.fmax(o, c) + 0.2, "low": np.fmin(o, c) - 0.2, "close": c,
            "volume": rng.integers(1000, 9000, n).astype(float)}


def frame(kind, columns):
    return pd.DataFrame(columns) if kind == "pandas" else pl.DataFrame(columns)


def column(table, name):
    return np.asarray(table[name].to_numpy())


@pytest.mark.parametrize("kind", ["pandas", "polars"])
def test_one_security_keeps_its_rows_and_equals_the_direct_calls(kind):
    data = bars(np.random.default_rng(3), 80)
    data = {k.upper() if k == "close" else k: v for k, v in data.items()}  # names match ignoring case
    df = frame(kind, data)
    if kind == "pandas":
        df.index = pd.bdate_range("2024-01-02", periods=80)
    got = tv.indicators(df, SPECS)
    assert type(got) is type(df) and len(got) == 80
    if kind == "pandas":
        assert got.index.equals(df.index)
    kept = np.isfinite(data["CLOSE"])
    for f, values in direct(*(data[k][kept] for k in ("open", "high", "low", "CLOSE", "volume"))).items():
        assert np.isnan(column(got, f)[~kept]).all()
        assert_same(column(got, f)[kept].tolist(), values.tolist())


def codes_of(kind, ids):
    # Order-preserving codes of each type: zero-padded strings sort unlike their numbers.
    return {"str": [f"{i * 7:06d}" for i in ids], "int": [int(i * 7) for i in ids]}[kind]


def dates_of(kind, days):
    base = np.datetime64("2024-01-01") + days
    return {"datetime64": base.astype("datetime64[ns]"), "date": list(base.astype(object)),
            "int": [int(str(d).replace("-", "")) for d in base]}[kind]


def market(rng, code_kind, date_kind, codes=6, days=40):
    ids, day = np.repeat(rng.permutation([1, 2, 10, 11, 100, 101])[:codes], days), np.tile(np.arange(days), codes)
    order = rng.permutation(ids.size)
    data = {k: v[order] for k, v in bars(rng, ids.size).items()}
    data["code"] = [codes_of(code_kind, ids)[i] for i in order]
    dates = dates_of(date_kind, day)
    data["date"] = dates[order] if isinstance(dates, np.ndarray) else [dates[i] for i in order]
    return data


@pytest.mark.parametrize("kind", ["pandas", "polars"])
@pytest.mark.parametrize("code_kind,date_kind", [("str", "datetime64"), ("int", "date"), ("str", "int")])
def test_market_round_trips_codes_and_dates(kind, code_kind, date_kind):
    data = market(np.random.default_rng(len(code_kind + date_kind)), code_kind, date_kind)
    df = frame(kind, data)
    got = tv.indicators(df, SPECS)
    signals = tv.crosses(df, ["macd", "kdj"], threads=2)
    # The slow twin: each code in sorted order, its rows with a close by date.
    rows = sorted((i for i in range(len(data["code"])) if np.isfinite(data["close"][i])),
                  key=lambda i: (data["code"][i], data["date"][i]))
    for key in ("code", "date"):
        np.testing.assert_array_equal(column(got, key), np.asarray([data[key][i] for i in rows]), strict=False)
    assert got["code"].dtype == df["code"].dtype and got["date"].dtype == df["date"].dtype
    at = 0
    for code in sorted(set(data["code"])):
        mine = [i for i in rows if data["code"][i] == code]
        one = {k: np.asarray(data[k])[mine] for k in ("open", "high", "low", "close", "volume")}
        span = slice(at, at + len(mine))
        for f, values in direct(*one.values()).items():
            assert_same(column(got, f)[span].tolist(), values.tolist())
        fields = direct(*one.values())
        macd, kdj = tv.CROSS(fields["dif"], fields["dea"]), tv.CROSS(fields["k"], fields["d"])
        assert_same(column(signals, "macd_cross")[span].tolist(), macd.tolist())
        assert_same(column(signals, "kdj_cross")[span].tolist(), kdj.tolist())
        assert_same(column(signals, "cross")[span].tolist(), ((macd == 1) & (kdj == 1)).astype(float).tolist())
        at += len(mine)
    assert at == len(got)


@pytest.mark.parametrize("method,number", [("equal", 1), ("float_mv", 2), ("amount", 3), ("volume", 4),
                                           ("total_mv", 5)])
def test_composite_weightings_by_name_with_the_original_dates(method, number):
    data = market(np.random.default_rng(number), "str", "date")
    data.update(amount=data["close"] * data["volume"], float_mv=data["close"] * 1e6, total_mv=data["close"] * 3e6)
    got = tv.composite(pd.DataFrame(data), method, base=100.0)
    code_ids = np.unique(data["code"], return_inverse=True)[1]
    day = np.array([d.toordinal() for d in data["date"]])
    fields = [data[k] for k in ("open", "high", "low", "close", "volume", "amount", "float_mv", "total_mv")]
    expected = tv.zhishu(code_ids, day, *fields, number, 100.0)
    assert [d.toordinal() for d in got["date"]] == expected.pop("date").tolist()
    assert list(got.columns) == ["date", *expected]
    for f, values in expected.items():
        assert_same(got[f].astype(float).tolist(), values.astype(float).tolist())


def test_composite_of_shuffled_rows_with_repeats_resolved_is_that_of_the_rows_kept():
    # The index sums each date's constituents in the given order: rows
    # kept from repeats, in any order, give the index of those rows alone,
    # with the dates in their own type whatever it is, for codes of any
    # type (text, negative, beyond int64, str objects).
    rng = np.random.default_rng(9)
    codes, days = 6, 40
    n = codes * days
    stamps = pd.bdate_range("2024-01-01", periods=days)
    kinds = [np.array([f"{k:06d}" for k in range(codes)]), np.arange(-3, codes - 3),
             np.arange(codes, dtype=np.uint64) * np.uint64(2**61), np.array([f"{k:06d}" for k in range(codes)], object)]
    for dates, code in zip((stamps.values, stamps.strftime("%Y%m%d").astype(np.int64).values, stamps.date,
                            stamps.strftime("%Y-%m-%d").astype(object)), kinds):
        tidy = pd.DataFrame({"code": np.repeat(code, days),
                             "date": np.tile(dates, codes), **bars(rng, n, gaps=0.1)}).iloc[rng.permutation(n)]
        again = tidy.iloc[rng.integers(0, n, 15)].assign(close=lambda d: d.close + 1.0)
        doubled = pd.concat([tidy, again], ignore_index=True)
        for keep in ("first", "last"):
            kept = doubled.loc[~doubled.duplicated(["code", "date"], keep=keep)]
            got, want = tv.composite(doubled, "volume", duplicates=keep), tv.composite(kept, "volume")
            pd.testing.assert_frame_equal(got, want)
            assert type(got["date"].iloc[0]) is type(tidy["date"].iloc[0])


def test_text_dates_that_sort_otherwise_than_their_days_are_refused():
    # Dates held as text are ordered as text. Where that order is the dates'
    # own (zero-padded, digits) the results are those of the datetimes;
    # where it is not ("2024-1-10" before "2024-1-2"), a wrong time order
    # would give wrong values silently: refused, saying what to do; so are
    # numbers as text ("10" before "2"). Text that reads as neither keeps
    # its order.
    rng = np.random.default_rng(12)
    days = pd.bdate_range("2024-01-01", periods=30)
    tidy = pd.DataFrame({"code": np.repeat(["600000", "000001"], 30), "date": np.tile(days.values, 2),
                         **bars(rng, 60, gaps=0)}).iloc[rng.permutation(60)]
    want = tv.indicators(tidy, ["macd"]).drop(columns="date")
    calls = [lambda d: tv.indicators(d, ["macd"]), lambda d: tv.formula("MACD.DIF", d),
             lambda d: tv.composite(d)]
    for dtype in (object, "str"):
        for form, sorts in (("%Y-%m-%d", True), ("%Y%m%d", True), ("%Y-%-m-%-d", False), ("%Y/%-m/%-d", False)):
            text = tidy.assign(date=pd.to_datetime(tidy["date"]).dt.strftime(form).astype(dtype))
            if sorts:
                pd.testing.assert_frame_equal(tv.indicators(text, ["macd"]).drop(columns="date"), want)
                continue
            for call in calls:
                with pytest.raises(ValueError, match=r"text that sorts otherwise than its dates \('2024.1.1\d' "
                                                     r"sorts before '2024.1.2'\).*pandas\.to_datetime"):
                    call(text)
        day = tidy["date"].rank(method="dense").astype(int)
        labels = tidy.assign(date=[f"bar{k}" for k in day]).astype({"date": dtype})
        assert len(tv.indicators(labels, ["macd"])) == 60
        numbered = tidy.assign(date=day.astype(str).astype(dtype))  # "1" ... "30": "10" sorts before "2"
        with pytest.raises(ValueError, match=r"sorts otherwise than its numbers \('1\d' sorts before '2'\).*"
                                             r"astype\(int\)"):
            tv.indicators(numbered, ["macd"])
        padded = tidy.assign(date=day.map("{:03d}".format).astype(dtype))
        pd.testing.assert_frame_equal(tv.indicators(padded, ["macd"]).drop(columns="date"), want)


@pytest.mark.parametrize("seed", range(8))
def test_numbers_as_text_dates_are_refused_exactly_where_their_orders_differ(seed):
    # Day numbers as text, padded to a width or not, held as objects or as
    # Arrow text: refused where text order is not number order, else the
    # results of the numbers themselves.
    rng = np.random.default_rng(seed)
    days = np.sort(rng.choice(np.arange(1, 400), 40, replace=False))
    frame = pd.DataFrame({"code": np.repeat(["a", "b"], 40), "date": np.tile(days, 2),
                          **bars(rng, 80, gaps=0)}).iloc[rng.permutation(80)]
    want = tv.indicators(frame, ["macd"]).drop(columns="date")
    width = seed // 2  # 0: as str() writes them; 3: every day padded to one width
    text = frame.assign(date=pd.Series([f"{d:0{width}d}" for d in frame["date"]], index=frame.index,
                                       dtype=(object, "str")[seed % 2]))
    texts = sorted(set(text["date"]))
    if [int(t) for t in texts] == sorted(int(t) for t in texts):
        pd.testing.assert_frame_equal(tv.indicators(text, ["macd"]).drop(columns="date"), want)
    else:
        with pytest.raises(ValueError, match="sorts otherwise than its numbers"):
            tv.indicators(text, ["macd"])


def test_errors_list_the_valid_choices():
    df = pd.DataFrame(bars(np.random.default_rng(0), 30)).drop(columns="high")
    with pytest.raises(ValueError, match=r"unknown indicator 'macx'; choose from: .*\bmacd\b.*\bxsii\b"):
        tv.indicators(df, ["macx"])
    with pytest.raises(ValueError, match=r"no high column .*columns=\{'high'.*the columns are: 'open', 'low'"):
        tv.indicators(df, ["kdj"])
    assert list(tv.indicators(df, ["macd"], columns={"close": "OPEN"})) == ["dif", "dea", "macd"]
    with pytest.raises(ValueError, match=r"no column 'ticker' for the code; the columns are: 'open'"):
        tv.indicators(df, ["macd"], code="ticker")
    with pytest.raises(ValueError, match="unknown method 'cap'; choose from: equal, float_mv, amount"):
        tv.composite(df, "cap")
    with pytest.raises(ValueError, match="needs code and date columns"):
        tv.composite(df, columns={"high": "open"})
    with pytest.raises(ValueError, match="columns= names the column of a field: open, high"):
        tv.indicators(df, ["macd"], columns={"Close": "open"})
    with pytest.raises(TypeError, match="a name or a"):
        tv.indicators(df, [("ma", 5, 10)])


def test_accessor_arrives_with_pandas_imported_after_tarvex():
    script = ("import sys, tarvex; assert 'pandas' not in sys.modules; import pandas as pd; "
              "df = pd.DataFrame({'close': [1.0, 2.0, 3.0]}); "
              "print(df.tarvex.indicators([('ma', 2)])['ma2'].tolist())")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[nan, 1.5, 2.5]"
    df = pd.DataFrame({"close": [1.0, 2.0, 3.0], "date": [datetime.date(2024, 1, d) for d in (2, 3, 4)]})
    assert df.tarvex.indicators([("ma", 2)])["ma2"].tolist()[1:] == [1.5, 2.5]


def test_text_codes_in_any_order_give_what_object_codes_give():
    from tarvex.formula import compile as compile_formula

    rng = np.random.default_rng(5)
    n = 600
    close = np.round(rng.uniform(5, 50, n), 2)
    frame = pd.DataFrame({"code": rng.choice(["600000", "000001", "300750"], n), "date": rng.permutation(n),
                          "open": close, "high": close + 1, "low": close - 1, "close": close, "volume": close})
    text = frame.astype({"code": "str"})
    plan = compile_formula("DIF:=MACD.DIF; DEA:=MACD.DEA; CROSS(DIF,DEA);")
    want = tv.indicators(frame.astype({"code": object}), ["macd", "kdj"])
    got = tv.indicators(text, ["macd", "kdj"])
    assert got["code"].tolist() == want["code"].tolist() and got["code"].dtype == text["code"].dtype
    pd.testing.assert_frame_equal(got.drop(columns="code"), want.drop(columns="code"))
    a, b = plan.run(text), plan.run(frame.astype({"code": object}))
    assert a.codes.tolist() == b.codes.tolist()
    assert np.array_equal(a.lines[-1].values, b.lines[-1].values, equal_nan=True)


@pytest.mark.parametrize("seed", range(3))
def test_the_engine_groups_shuffled_markets_as_the_ordered_way_does(seed):
    # With every close there the engine groups the rows itself, reading its
    # keys back as the code and date columns; a row without a close sends
    # the call the ordered way (the Market sorts), which is the twin here.
    rng = np.random.default_rng(seed)
    days = 60
    texts = ["600000", "000001", "300750", "a", "ab"]
    for codes, dtype in (([0, 3, 12, 40, 2**40], None), (texts, "str"), (texts, object), ([-7, -1, 0, 5, 9], None)):
        n = len(codes) * days
        tidy = pd.DataFrame({"code": np.repeat(np.array(codes), days),
                             "date": np.tile(pd.bdate_range("2024-01-01", periods=days).values, len(codes)),
                             **bars(rng, n, gaps=0)})
        if dtype is not None:
            tidy = tidy.astype({"code": dtype})
        shuffled = tidy.iloc[rng.permutation(n)]
        twin = pd.concat([shuffled, tidy.iloc[:1].assign(code=tidy["code"].iloc[0], close=np.nan,
                                                        date=np.datetime64("2030-01-01"))])
        for call in (lambda f, **k: tv.indicators(f, SPECS, **k),
                     lambda f, **k: tv.crosses(f, ["macd", "kdj"], digits=None, min_bars=2, **k),
                     lambda f, **k: tv.indicators(f, [("rsi", 6)], digits=2, **k)):
            want = call(twin)
            for got in (call(shuffled), call(tidy), call(pd.concat([shuffled, shuffled.iloc[:5]]), duplicates="last")):
                pd.testing.assert_frame_equal(got, want)
            with pytest.raises(ValueError, match="repeat"):
                call(pd.concat([shuffled, shuffled.iloc[:5]]))
            # polars: codes and dates back as polars holds them (text from
            # its string views).
            polars_in = pl.from_pandas(shuffled)
            got = call(polars_in)
            assert got.schema["code"] == polars_in.schema["code"] and got.schema["date"] == polars_in.schema["date"]
            got = got.to_pandas()
            for key in ("code", "date"):
                assert got[key].tolist() == want[key].tolist()
            pd.testing.assert_frame_equal(got.drop(columns=["code", "date"]), want.drop(columns=["code", "date"]),
                                          check_dtype=False)


@pytest.mark.parametrize("kind", ["pandas", "polars", "mapping"])
@pytest.mark.parametrize("code_dtype,date_dtype", [("int32", "datetime64[s]"), ("uint64", "datetime64[ns]"),
                                                   ("int64", "int64"), ("uint8", "datetime64[D]")])
def test_keys_come_back_from_the_engine_in_their_own_types(kind, code_dtype, date_dtype):
    # Shuffled rows with every close: the code and date columns of the
    # result are made from the engine's keys, not gathered; they must be
    # the input's values at the rows the twin (the ordered way) gives, of
    # the input's own types.
    rng = np.random.default_rng(len(kind + code_dtype + date_dtype))
    if kind == "polars" and date_dtype == "datetime64[s]":
        date_dtype = "datetime64[ms]"  # the finest resolutions polars takes
    codes, days = [3, 7, 250], 30
    n = len(codes) * days
    data = {"code": np.repeat(np.array(codes, dtype=code_dtype), days),
            "date": (np.tile(np.arange(days), len(codes)) + 19000).astype(date_dtype), **bars(rng, n, gaps=0)}
    order = rng.permutation(n)
    shuffled = {k: v[order] for k, v in data.items()}
    twin = {k: np.append(v, v[:1]) for k, v in shuffled.items()}
    twin["close"][-1] = np.nan  # a row without a close: the ordered way
    dates = twin["date"]
    dates[-1] = dates.max() + (np.timedelta64(1, np.datetime_data(dates.dtype)[0]) if dates.dtype.kind == "M" else 1)
    got, want = tv.indicators(frame(kind, shuffled) if kind != "mapping" else shuffled, [("ma", 5)]), \
        tv.indicators(frame(kind, twin) if kind != "mapping" else twin, [("ma", 5)])
    for key in ("code", "date"):
        a, b = got[key], want[key]
        assert a.dtype == b.dtype and np.array_equal(np.asarray(a), np.asarray(b)), key
