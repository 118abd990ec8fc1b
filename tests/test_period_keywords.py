"""period= and adjust= on the frame functions, formulas, screens, charts,
Dask and the command line: each equals tarvex.adjust then tarvex.resample
followed by the plain call, and a screen on a past day sees only the bars
known on that day."""
import warnings

import numpy as np
import pandas as pd
import pytest

import tarvex as tv
from tarvex.__main__ import main

FORMULA = "DIF:=EMA(C,12)-EMA(C,26); DEA:=EMA(DIF,9); X:MA(C,3); CROSS(DIF,DEA) OR C>X;"


def market(seed, codes=8, days=160):
    """Daily bars with holidays and suspended days, rows shuffled, and a
    few ex-date events (one of a code the market lacks)."""
    rng = np.random.default_rng(seed)
    days_ = pd.bdate_range("2023-11-01", periods=days)
    frames = []
    for k in range(codes):
        keep = rng.random(days) > 0.05
        c = 20 + rng.standard_normal(days).cumsum() * 0.3
        frames.append(pd.DataFrame({"code": f"{k:06d}", "date": days_[keep], "close": c[keep],
                                    "open": c[keep] + 0.1, "high": c[keep] + 0.4, "low": c[keep] - 0.4,
                                    "volume": rng.integers(100, 900, keep.sum()).astype(float)}))
    bars = pd.concat(frames).sample(frac=1.0, random_state=seed).reset_index(drop=True)
    events = pd.DataFrame({"code": [f"{k:06d}" for k in rng.integers(0, codes, 6)] + ["999999"],
                           "date": days_[rng.integers(10, days, 7)], "cash": rng.random(7),
                           "bonus": rng.choice([0.0, 0.3], 7)})
    return bars, events, days_


def expected_bars(bars, events, period):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        adjusted = bars if events is None else tv.adjust(bars, events)
    return adjusted if period is None else tv.resample(adjusted, period)


def same(a, b):
    pd.testing.assert_frame_equal(a.reset_index(drop=True), b.reset_index(drop=True), check_exact=True)


@pytest.mark.filterwarnings("ignore:.*events name codes")
@pytest.mark.parametrize("seed", range(3))
def test_keywords_equal_adjusting_and_resampling_first(seed):
    bars, events, days = market(seed)
    for period, adjust in (("W", None), ("M", events), (None, events)):
        ready = expected_bars(bars, events if adjust is not None else None, period)
        partial = {} if period is None else {"partial": ready["partial"].to_numpy()}
        same(tv.indicators(bars, ["macd", ("ma", [3, 5])], period=period, adjust=adjust, digits=None),
             tv.indicators(ready, ["macd", ("ma", [3, 5])], digits=None).assign(**partial))
        same(tv.crosses(bars, ["kdj"], period=period, adjust=adjust),
             tv.crosses(ready, ["kdj"]).assign(**partial))
        same(tv.formula(FORMULA, bars, period=period, adjust=adjust).to_frame(),
             tv.formula(FORMULA, ready).to_frame())
        assert tv.screen(FORMULA, bars, period=period, adjust=adjust) == tv.screen(FORMULA, ready)
        # A past day: the rows up to it, adjusted and gathered as known then.
        for day in days[[-40, -23, -7]]:
            known = bars[bars["date"] <= day]
            expected = tv.screen(FORMULA, expected_bars(known, events if adjust is not None else None, period), day)
            assert tv.screen(FORMULA, bars, day, period=period, adjust=adjust) == expected


@pytest.mark.filterwarnings("ignore:.*events name codes")
def test_keywords_read_every_layout():
    bars, events, days = market(6, codes=3, days=60)
    expected = tv.indicators(bars, ["macd"], period="W", adjust=events)
    panel = bars.set_index(["date", "code"])
    got = tv.indicators(panel, ["macd"], period="W", adjust=events)
    assert got.index.names == ["date", "code"] and np.array_equal(got.to_numpy(), expected.iloc[:, 2:].to_numpy())
    renamed = bars.rename(columns={"code": "ticker", "date": "day"})  # the events keep their own names
    got = tv.indicators(renamed, ["macd"], code="ticker", date="day", period="W", adjust=events)
    assert list(got.columns[:2]) == ["ticker", "day"] and np.array_equal(got.iloc[:, 2:].to_numpy(),
                                                                        expected.iloc[:, 2:].to_numpy())
    one = bars[bars["code"] == "000001"].set_index("date").drop(columns="code")
    alone = tv.indicators(one, ["macd"], period="W", adjust=events[events["code"] == "000001"].drop(columns="code"))
    assert alone["partial"].dtype == bool
    same(alone.reset_index(drop=True), expected[expected["code"] == "000001"].iloc[:, 2:])
    expected_codes = tv.screen("C>MA(C,3)", bars, days[-9], period="W", adjust=events)
    assert tv.screen("C>MA(C,3)", panel, days[-9], period="W", adjust=events) == expected_codes
    polars = pytest.importorskip("polars")
    assert tv.screen("C>MA(C,3)", polars.from_pandas(bars), days[-9], period="W", adjust=events) == expected_codes
    mapping = {name: bars[name].to_numpy() for name in bars.columns}
    assert tv.screen("C>MA(C,3)", mapping, days[-9], period="W", adjust=events) == expected_codes


def test_keywords_read_duplicates_and_refuse_what_they_cannot():
    bars, events, _ = market(9, codes=2, days=30)
    doubled = pd.concat([bars, bars.iloc[:3]])
    with pytest.raises(ValueError, match="repeat a"):
        tv.indicators(doubled, ["ma"], period="W")
    same(tv.indicators(doubled, ["ma"], period="W", duplicates="first"), tv.indicators(bars, ["ma"], period="W"))
    with pytest.raises(ValueError, match="unknown period"):
        tv.crosses(bars, ["macd"], period="fortnight")
    with pytest.raises(tv.FormulaError, match="unknown period"):
        tv.screen("C>1", bars, period="hour")
    # The warning of events for codes the market lacks names the caller's line, however deep the call.
    for call in (lambda: tv.adjust(bars, events), lambda: tv.indicators(bars, ["ma"], adjust=events),
                 lambda: tv.formula("C;", bars, period="W", adjust=events)):
        with pytest.warns(UserWarning, match="999999") as caught:
            call()
        assert [w.filename for w in caught] == [__file__]


@pytest.mark.filterwarnings("ignore:.*events name codes")
def test_command_line_reads_period_and_events(tmp_path, capsys):
    bars, events, days = market(4, codes=3)
    bars.to_csv(tmp_path / "m.csv", index=False)
    events.assign(date=events["date"].dt.strftime("%Y-%m-%d")).to_csv(tmp_path / "e.csv", index=False)
    (tmp_path / "f.txt").write_text(FORMULA)
    day = str(days[-12].date())
    assert main(["screen", str(tmp_path / "f.txt"), str(tmp_path / "m.csv"), "--period", "W", "--events",
                 str(tmp_path / "e.csv"), "--date", day]) == 0
    printed = capsys.readouterr().out.split()
    read = pd.read_csv(tmp_path / "m.csv", dtype={"code": str}, parse_dates=["date"])
    assert printed == tv.screen(FORMULA, read, day, period="W", adjust=events)


def test_charts_draw_period_bars():
    pytest.importorskip("matplotlib")
    bars, events, _ = market(5, codes=1, days=200)
    one = bars.drop(columns="code")
    fig = tv.plot.candles(one, ["macd"], ["boll"], period="W", adjust=events.drop(columns="code"))
    drawn = fig.axes[0].patches or fig.axes[0].collections
    assert drawn and len(tv.resample(one, "W")) <= 45
    tv.plot.formula("X:MA(C,5);", one, period="W")
