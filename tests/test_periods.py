"""tarvex.adjust against hand calculations of the ex-rights reference price,
and tarvex.resample against pandas on random shuffled markets with
holidays, suspensions and missing closes."""
import numpy as np
import pandas as pd
import polars as pl
import pytest

import tarvex as tv

# One security's six bars; 2024-01-06 and 07 are a weekend (no bars).
DAYS = [20240102, 20240103, 20240104, 20240105, 20240108, 20240109]
CLOSE = np.array([10.0, 11.0, 12.0, 10.0, 9.0, 8.0])


def ratio(previous, cash=0.0, bonus=0.0, rights=0.0, price=0.0):
    """An event's reference price over the previous close, as documented."""
    return ((previous - cash) + price * rights) / ((1.0 + bonus) + rights) / previous


# (events, forward multiplier of each bar), each multiplier worked out by hand.
CASES = {
    "cash": ([(20240104, 1.2, 0, 0, 0)], [ratio(11, cash=1.2)] * 2 + [1] * 4),
    "bonus": ([(20240105, 0, 0.5, 0, 0)], [ratio(12, bonus=0.5)] * 3 + [1] * 3),
    "rights": ([(20240108, 0, 0, 0.3, 5.0)], [ratio(10, rights=0.3, price=5.0)] * 4 + [1] * 2),
    # Rows of one date add up into one event.
    "one date": ([(20240104, 1.0, 0.1, 0, 0), (20240104, 0.2, 0, 0, 0)], [ratio(11, cash=1.2, bonus=0.1)] * 2 + [1] * 4),
    # An ex-date without a bar applies at the next bar, from the close before.
    "suspension": ([(20240106, 1.0, 0, 0, 0)], [ratio(10, cash=1.0)] * 4 + [1] * 2),
    # Two ex-dates with no bar between them chain: the second from the first's reference price.
    "chained": ([(20240106, 1.0, 0, 0, 0), (20240107, 0, 1.0, 0, 0)],
                [ratio(9.0, bonus=1.0) * ratio(10, cash=1.0)] * 4 + [1] * 2),
    "two dates": ([(20240103, 1.0, 0, 0, 0), (20240109, 0, 0, 0.5, 4.0)],
                  [ratio(9, rights=0.5, price=4.0) * ratio(10, cash=1.0)] + [ratio(9, rights=0.5, price=4.0)] * 4
                  + [1]),
    # Before the first bar or after the last: nothing to adjust against.
    "outside": ([(20240101, 1.0, 0, 0, 0), (20240110, 1.0, 0, 0, 0)], [1] * 6),
}


def market():
    return pd.DataFrame({"date": DAYS, "open": CLOSE + 0.5, "high": CLOSE + 1, "low": CLOSE - 1, "close": CLOSE,
                         "volume": np.arange(1.0, 7.0)})


@pytest.mark.parametrize("case", CASES)
def test_adjust_matches_hand_calculations(case):
    rows, expected = CASES[case]
    events = pd.DataFrame(rows, columns=["date", "cash", "bonus", "rights", "rights_price"])
    m = np.array(expected, dtype=float)
    bars = market()
    forward = tv.adjust(bars, events, volume=True)
    for field in ("open", "high", "low", "close"):
        np.testing.assert_array_equal(forward[field], bars[field] * m)
    np.testing.assert_array_equal(forward["volume"], bars["volume"] / m)
    np.testing.assert_array_equal(tv.adjust(bars, events, "backward")["close"], CLOSE * (m / m[0]))
    np.testing.assert_array_equal(tv.adjust(bars, events, anchor="2024-01-05")["close"], CLOSE * (m / m[3]))
    # Bars stamped in nanoseconds at 15:00, events by day: the same.
    at_close = bars.assign(date=pd.to_datetime(bars.date.astype(str)) + pd.Timedelta(hours=15))
    np.testing.assert_array_equal(tv.adjust(at_close, events)["close"], CLOSE * m)
    # Per ten shares; the rights price stays a price per share.
    per_ten = events.assign(**{f: events[f] * 10 for f in ("cash", "bonus", "rights")})
    np.testing.assert_allclose(tv.adjust(bars, per_ten, per=10)["close"], CLOSE * m, rtol=1e-15)


def test_adjust_market_rows_in_any_order_codes_reported_and_factor():
    rng = np.random.default_rng(5)
    one = market()
    both = pd.concat([one.assign(code="000001"), one.assign(code="600000")], ignore_index=True).sample(frac=1, random_state=1)
    events = pd.DataFrame({"code": ["600000", "300001"], "date": ["2024-01-04", "2024-01-04"], "cash": [1.2, 1.0]})
    with pytest.warns(UserWarning, match="300001"):
        out = tv.adjust(both, events)
    assert list(out.index) == list(both.index) and list(out.columns) == list(both.columns)
    m = np.where((both.code == "600000") & (both.date < 20240104), ratio(11, cash=1.2), 1.0)
    np.testing.assert_array_equal(out["close"], both["close"] * m)
    assert out["volume"].equals(both["volume"])
    # A ready cumulative factor: the prices scaled by it over the anchor row's.
    factor = rng.uniform(1, 2, len(both))
    latest = both.assign(f=factor).sort_values("date").groupby("code")["f"].transform("last")
    np.testing.assert_array_equal(tv.adjust(both, factor=factor)["close"], both["close"] * (factor / latest.loc[both.index]))
    polars_out = tv.adjust(pl.from_pandas(both.assign(f=factor)), factor="F", how="backward")
    first = both.assign(f=factor).sort_values("date").groupby("code")["f"].transform("first")
    np.testing.assert_array_equal(polars_out["close"].to_numpy(), both["close"] * (factor / first.loc[both.index]))
    with pytest.raises(ValueError, match="reference price"):
        tv.adjust(one, pd.DataFrame({"date": [20240103], "cash": [10.0]}))


def multipliers_twin(bars, events, how, anchor=None):
    """The documented computation of the multipliers, security by security,
    read literally: ex-dates merged, previous closes, chained reference
    prices, factors multiplied from the latest event back."""
    out = np.ones(len(bars))
    for code, one in bars.groupby("code"):
        taking = one[one.close.notna()].sort_values("date", kind="stable")
        merged = {}
        for e in events[events.code == code].itertuples():
            c, b, r = (np.nan_to_num(x) / 10 for x in (e.cash, e.bonus, e.rights))
            figures = merged.setdefault(e.date, [0.0, 0.0, 0.0, 0.0])
            for i, x in enumerate((c, b, r, np.nan_to_num(e.rights_price) * r)):
                figures[i] += x
        dates = sorted(merged)
        ratios, previous = [], None
        for i, d in enumerate(dates):
            before = taking[(taking.date < d) & ((taking.date >= dates[i - 1]) if i else True)]
            previous = before.close.iloc[-1] if len(before) else previous
            if previous is None or not (taking.date >= d).any():
                ratios.append(1.0)
                continue
            c, b, r, p = merged[d]
            reference = ((previous - c) + p) / ((1.0 + b) + r)
            ratios.append(reference / previous)
            previous = reference
        factor = [1.0] * (len(dates) + 1)
        for j in reversed(range(len(dates))):
            factor[j] = factor[j + 1] * ratios[j]
        at = {"forward": len(dates), "backward": 0}.get(how)
        at = sum(d <= anchor for d in dates) if at is None else at
        passed = np.searchsorted(np.array(dates, dtype="datetime64[ns]"), one.date.to_numpy(), side="right")
        out[bars.index.get_indexer(one.index)] = [factor[k] / factor[at] for k in passed]
    return out


@pytest.mark.parametrize("seed", range(3))
def test_adjust_matches_a_literal_twin_on_random_markets(seed):
    rng = np.random.default_rng(seed)
    bars = random_market(rng, codes=5, days=80, gaps=0.3).reset_index(drop=True)
    bars = bars[~((bars.code == "000001") & bars.date.between("2022-01-10", "2022-02-20"))]  # a long suspension
    bars = bars.reset_index(drop=True)
    n = 40
    events = pd.DataFrame({"code": rng.choice([f"{k:06d}" for k in range(5)], n),
                           "date": pd.Timestamp("2021-12-15") + pd.to_timedelta(rng.integers(0, 130, n), "D"),
                           "cash": rng.choice([np.nan, 0.5, 2.0], n), "bonus": rng.choice([0, 0, 3.0], n),
                           "rights": rng.choice([0, 0, 2.0], n), "rights_price": rng.choice([np.nan, 4.0], n)})
    for how, anchor in (("forward", None), ("backward", None), (None, pd.Timestamp("2022-02-01"))):
        got = tv.adjust(bars, events, how, anchor=anchor, per=10)
        m = multipliers_twin(bars, events, how, anchor)
        np.testing.assert_array_equal(got["close"], bars["close"] * m)


def random_market(rng, codes, days, gaps):
    """A shuffled market over business days without a few holidays, each
    security suspended on some days and missing some closes."""
    calendar = pd.bdate_range("2021-12-20", periods=days)
    calendar = calendar[rng.random(len(calendar)) > 0.03]
    parts = []
    for k in range(codes):
        dates = calendar[(rng.random(len(calendar)) > gaps) & (np.arange(len(calendar)) >= rng.integers(0, 20))]
        n = len(dates)
        close = 10 + rng.standard_normal(n).cumsum() * 0.1
        close[rng.random(n) < 0.02] = np.nan
        parts.append(pd.DataFrame({"code": f"{k:06d}", "date": dates, "open": close + rng.normal(0, .1, n),
                                   "high": close + 0.2, "low": close - 0.2, "close": close,
                                   "volume": rng.integers(0, 1000, n).astype(float), "amount": rng.integers(0, 9, n)}))
    return pd.concat(parts, ignore_index=True).sample(frac=1, random_state=int(rng.integers(1 << 30)))


AGGREGATE = {"date": "last", "open": "first", "high": "max", "low": "min", "close": "last", "volume": "sum",
             "amount": "sum"}


def pandas_periods(bars, rule, end_of):
    """The period bars by pandas, one security at a time, and the partial
    flag from the period's end (its label) and the market's latest date."""
    latest = bars.loc[bars.close.notna(), "date"].max()
    out = []
    for code, one in bars[bars.close.notna()].groupby("code"):
        one = one.sort_values("date", kind="stable").set_index("date", drop=False)
        got = one.resample(rule).agg(AGGREGATE).dropna(subset=["close"])
        label = got.index[-1]
        last_weekday = label - pd.Timedelta(days=max(0, label.weekday() - 4))
        partial = end_of(latest) == label and latest < last_weekday
        out.append(got.assign(code=code, partial=[False] * (len(got) - 1) + [partial]))
    return pd.concat(out).reset_index(drop=True)


PERIODS = {"W": "W", "M": "ME", "Q": "QE", "Y": "YE"}


@pytest.mark.parametrize("seed", range(3))
def test_resample_matches_pandas_on_random_markets(seed):
    rng = np.random.default_rng(seed)
    bars = random_market(rng, codes=6, days=int(rng.integers(30, 500)), gaps=0.1)
    for period, rule in PERIODS.items():
        end_of = lambda day: pd.Series([day]).dt.to_period(rule.rstrip("E")).dt.end_time.dt.normalize()[0]
        expected = pandas_periods(bars, rule, end_of)
        got = tv.resample(bars, period)
        assert list(got.columns) == ["code", "date", "open", "high", "low", "close", "volume", "amount", "partial"]
        pd.testing.assert_frame_equal(got, expected[got.columns], check_dtype=False)
    as_polars = tv.resample(pl.from_pandas(bars), "W")
    np.testing.assert_array_equal(as_polars["close"].to_numpy(), tv.resample(bars, "W")["close"])


def pandas_minutes(bars, minutes):
    """Session bars by pandas: each session resampled on its own, bins
    closed and labelled on the right; the auction minute and the stamps
    outside the sessions clipped into the first and last bars."""
    out = []
    for _, day in bars.groupby(bars.date.dt.normalize()):
        clock = day.date - day.date.dt.normalize()
        for start, end in ((pd.Timedelta("09:31:00"), pd.Timedelta("11:30:00")),
                           (pd.Timedelta("13:01:00"), pd.Timedelta("15:00:00"))):
            morning = start.components.hours < 12
            rows = day[(clock <= end) if morning else (clock > pd.Timedelta("11:30:00"))]
            if rows.empty:
                continue
            at = rows.date.dt.normalize() + (rows.date - rows.date.dt.normalize()).clip(start, end)
            offset = f"{(start.seconds // 60 - 1) % minutes}min"
            got = rows.set_index(at).resample(f"{minutes}min", closed="right", label="right", offset=offset).agg(
                AGGREGATE).dropna(subset=["close"])
            out.append(got)
    return pd.concat(out).reset_index(drop=True)


def test_resample_minute_bars_match_pandas_by_session():
    rng = np.random.default_rng(11)
    day = pd.Timestamp("2024-03-04")
    stamps = [day + pd.Timedelta(days=d, minutes=m) for d in (0, 1, 4)
              for m in [565, 570] + list(range(571, 691)) + list(range(781, 901)) + [905]]
    stamps = pd.DatetimeIndex(stamps)[rng.random(len(stamps)) > 0.2]
    n = len(stamps)
    close = 10 + rng.standard_normal(n).cumsum() * 0.01
    bars = pd.DataFrame({"date": stamps, "open": close, "high": close + 0.01, "low": close - 0.01, "close": close,
                         "volume": rng.integers(0, 100, n).astype(float), "amount": rng.integers(0, 9, n)})
    for minutes in (5, 15, 30, 60):
        got = tv.resample(bars.sample(frac=1, random_state=minutes), f"{minutes}min")
        expected = pandas_minutes(bars, minutes)
        pd.testing.assert_frame_equal(got.drop(columns="partial"), expected[got.columns[:-1]], check_dtype=False)
        assert not got.partial.any()
    daily = tv.resample(bars, "D")
    assert list(daily.date) == [day, day + pd.Timedelta(days=1), day + pd.Timedelta(days=4)]
    np.testing.assert_array_equal(daily.volume, bars.groupby(bars.date.dt.normalize()).volume.sum())
    # The market stops at 14:10: the bar running then is unfinished.
    cut = tv.resample(bars[bars.date < day + pd.Timedelta(days=4, hours=14, minutes=11)], "60min")
    assert list(cut.partial) == [False] * (len(cut) - 1) + [True]
    with pytest.raises(ValueError, match="minute"):
        tv.resample(market(), "5min")


def test_resample_and_adjust_read_every_market_layout():
    """The same market in every layout the frame functions read gives the
    same period bars and adjusted prices, each result of the input's kind;
    adjust keeps the input's rows and index."""
    rng = np.random.default_rng(7)
    bars = random_market(rng, codes=4, days=60, gaps=0.2).reset_index(drop=True)
    events = pd.DataFrame({"code": ["000001", "000002", "000003"], "cash": [0.5, 1.0, 0.2],
                           "date": pd.to_datetime(["2022-01-10", "2022-02-01", "2022-02-15"])})
    weeks, adjusted = tv.resample(bars, "W"), tv.adjust(bars, events)["close"].to_numpy()
    renamed = bars.rename(columns={"code": "Ticker", "date": "day"})
    layouts = {  # layout: (market, keyword arguments)
        "code, date levels": (bars.set_index(["code", "date"]), {}),
        "date, code levels": (bars.set_index(["date", "code"]), {}),
        "named levels": (renamed.set_index(["day", "Ticker"]), {"code": "ticker", "date": "Day"}),
        "DatetimeIndex": (bars.set_index("date"), {}),
        "polars": (pl.from_pandas(bars), {}),
        "mapping": ({k: bars[k].to_numpy() for k in bars}, {}),
    }
    for layout, (data, keys) in layouts.items():
        got = tv.resample(data, "W", **keys)
        assert type(got) is type(data), layout
        long = pd.DataFrame(got) if isinstance(got, dict) else got.to_pandas() if layout == "polars" else got
        long = long.reset_index().rename(columns={"Ticker": "code", "day": "date"})[weeks.columns]
        pd.testing.assert_frame_equal(long, weeks, check_dtype=False, obj=layout)
        out = tv.adjust(data, events, **keys)
        assert type(out) is type(data) and list(out.keys() if isinstance(out, dict) else out.columns) == list(
            data.keys() if isinstance(data, dict) else data.columns), layout
        if isinstance(out, pd.DataFrame):
            assert out.index.equals(data.index), layout
        np.testing.assert_array_equal(np.asarray(out["close"]), adjusted, err_msg=layout)
    # One security, its code column dropped: its rows of the market's results.
    one = bars[bars.code == "000002"].drop(columns="code")
    own = weeks[weeks.code == "000002"].drop(columns=["code", "partial"]).reset_index(drop=True)
    for data in (one, one.set_index("date")):
        got = tv.resample(data, "W").reset_index()[own.columns]
        pd.testing.assert_frame_equal(got, own, check_dtype=False)
        np.testing.assert_array_equal(tv.adjust(data, events[events.code == "000002"].drop(columns="code"))["close"],
                                      adjusted[bars.code == "000002"])


def test_a_missing_date_is_refused():
    bars = market().assign(date=pd.to_datetime([str(d) for d in DAYS]))
    bars.loc[3, "date"] = pd.NaT
    events = pd.DataFrame({"date": ["2024-01-04"], "cash": [0.1]})
    for call in (lambda: tv.resample(bars, "W"), lambda: tv.adjust(bars, events),
                 lambda: tv.adjust(bars, factor=np.ones(6))):
        with pytest.raises(ValueError, match="dates must not be missing"):
            call()


def test_adjust_gives_each_row_the_same_multiplier_in_any_row_order():
    """A market long enough to be cut into several chunks, adjusted in two
    row orders: each row gets the same multiplier whichever chunk it falls in."""
    rng = np.random.default_rng(9)
    codes, days = 301, 600  # two chunks, the second starting off a multiple of 16 rows
    bars = pd.DataFrame({"code": np.repeat(np.arange(codes), days), "date": np.tile(np.arange(days), codes),
                         "close": rng.uniform(5, 10, codes * days)})
    bars["date"] = pd.Timestamp("2020-01-01") + pd.to_timedelta(bars["date"], "D")
    events = pd.DataFrame({"code": rng.integers(0, codes, 1500), "cash": rng.uniform(0, 1, 1500),
                           "date": pd.Timestamp("2020-01-01") + pd.to_timedelta(rng.integers(1, days, 1500), "D")})
    shuffled = bars.sample(frac=1, random_state=2)
    ordered = tv.adjust(bars, events)["close"].to_numpy()
    np.testing.assert_array_equal(tv.adjust(shuffled, events)["close"].to_numpy(), ordered[shuffled.index])
