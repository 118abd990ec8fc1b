"""tarvex.plot renders headless: the panels asked for, their artists, the
crossings marked where tarvex.crosses puts them, and a picture that is not
blank."""
import numpy as np
import pandas as pd
import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import tarvex as tv  # noqa: E402


def security(n=90, seed=5):
    rng = np.random.default_rng(seed)
    c = 10 + rng.standard_normal(n).cumsum() * 0.2
    o = c + rng.normal(0, 0.1, n)
    return pd.DataFrame({"date": pd.bdate_range("2024-01-02", periods=n), "open": o, "high": np.fmax(o, c) + 0.2,
                         "low": np.fmin(o, c) - 0.2, "close": c, "volume": rng.integers(1000, 9000, n) * 1.0})


def bars(ax):
    """The corners of the bars an axes draws (candle bodies, volume, MACD histogram)."""
    return np.array([path.vertices[:4] for c in ax.collections if c.get_label() in ("candles", "volume", "macd",
                                                                                       "change") for path in c.get_paths()])


def painted(fig):
    """The share of coloured pixels (empty axes, ticks and text are grey)."""
    fig.canvas.draw()
    rgb = np.asarray(fig.canvas.buffer_rgba())[..., :3].astype(int)
    return float((rgb.max(axis=-1) - rgb.min(axis=-1) > 60).mean())


def test_candles_with_panels_overlays_and_signals():
    df = security()
    fig = tv.plot.candles(df, panels=["volume", "macd", "kdj", ("rsi", 6)], overlays=["boll"], signals="macd")
    try:
        price, volume, macd, kdj, rsi = fig.axes
        assert len(bars(price)) == len(df) and len(bars(volume)) == len(df)  # candle bodies, volume bars
        assert [line.get_label() for line in price.get_lines()] == ["upper", "mid", "lower"]
        assert len(bars(macd)) == len(df) and [line.get_label() for line in macd.get_lines()] == ["dif", "dea"]
        assert {"k", "d", "j"} <= {line.get_label() for line in kdj.get_lines()}
        assert "rsi" in {line.get_label() for line in rsi.get_lines()}
        cross = tv.crosses(df, ["macd"])["cross"].to_numpy()
        up, down = (c.get_offsets()[:, 0] for c in price.collections if c.get_label().startswith("macd"))
        assert up.tolist() == np.flatnonzero(cross == 1).tolist()
        assert down.tolist() == np.flatnonzero(cross == -1).tolist()
        assert price.get_title() == "" and painted(fig) > 0.02
    finally:
        plt.close(fig)


def test_index_chart_of_a_composite():
    market = pd.concat([security(seed=s).assign(code=f"{s:06d}") for s in (1, 2, 3)])
    index = tv.composite(market, "volume")
    fig = tv.plot.index_chart(index)
    try:
        assert len(fig.axes) == 3 and [ax.get_ylabel() for ax in fig.axes[1:]] == ["change", "volume"]
        assert len(bars(fig.axes[0])) == len(index) and fig.axes[0].get_title() == "Composite index"
        assert painted(fig) > 0.02
    finally:
        plt.close(fig)


def lines_of(fig):
    """Every line of a chart by axes and label, as drawn."""
    return {(i, line.get_label()): line.get_ydata() for i, ax in enumerate(fig.axes) for line in ax.get_lines()}


def test_a_window_draws_the_values_computed_over_every_bar():
    df = security(160, seed=11)
    chart = dict(panels=["macd", ("rsi", 6)], overlays=["boll", ("ma", [5, 20])])
    whole = tv.plot.candles(df, **chart)
    windows = [tv.plot.candles(df, last=60, **chart),
               tv.plot.candles(df, start=str(df.date[100].date()), end=df.date.iloc[-1], **chart),
               tv.plot.candles(df.set_index("date"), start=df.date[100], **chart),
               tv.plot.candles(df.drop(columns="date"), start=100, end=159, **chart)]
    shuffled = tv.plot.candles(df.sample(frac=1, random_state=1), last=60, **chart)  # drawn by date
    try:
        full = lines_of(whole)
        expected = tv.indicators(df, ["macd", ("rsi", 6), "boll", ("ma", [5, 20])])
        assert np.array_equal(full[(0, "upper")], expected["upper"], equal_nan=True)
        for fig in windows:
            assert len(bars(fig.axes[0])) == 60
            drawn = lines_of(fig)
            assert drawn.keys() == full.keys()
            for key, ys in drawn.items():
                assert np.array_equal(ys, full[key][-60:], equal_nan=True), key
            assert fig.axes[-1].xaxis.get_major_formatter()(0, 0) in (str(df.date[100].date()), "100")
    finally:
        assert np.array_equal(bars(shuffled.axes[0]), bars(windows[0].axes[0]))
        for fig in [whole, *windows, shuffled]:
            plt.close(fig)
    with pytest.raises(ValueError, match="no bar"):
        tv.plot.candles(df, start="2030-01-01")
    with pytest.raises(ValueError, match="last"):
        tv.plot.candles(df, last=0)
    with pytest.raises(TypeError, match="comparable"):
        tv.plot.candles(df.assign(date=np.arange(160)), start="2024-03-01")


@pytest.mark.parametrize("theme", sorted(tv.plot.THEMES))
def test_legends_colours_and_axis_numbers(theme):
    df = security(400, seed=3).assign(volume=lambda d: d.volume * 3e5)  # volumes in the billions
    fig = tv.plot.candles(df, panels=["volume", "macd", "kdj", ("rsi", 6)], overlays=[("ma", [5, 10])],
                          signals="macd", theme=theme, figsize=(4, 5))  # bars too narrow for every marker
    try:
        fig.canvas.draw()
        colours = tv.plot.THEMES[theme]
        candle = {matplotlib.colors.to_hex(colours[k]) for k in ("rise", "fall")}
        assert all(matplotlib.colors.to_hex(line.get_color()) not in candle for ax in fig.axes for line in ax.get_lines())
        legends = [[t.get_text() for t in ax.get_legend().get_texts()] for ax in fig.axes if ax.get_legend()]
        macd = "MACD " + " ".join(str(p.default) for p in tv.catalog()[[r.name for r in tv.catalog()].index("macd")]
                                  .params)
        assert legends == [["MA 5", "MA 10", f"{macd} up", f"{macd} down"], [macd, "DIF", "DEA"],
                           ["KDJ 9 3 3", "K", "D", "J"], ["RSI 6"]]
        for upper, lower in zip(fig.axes, fig.axes[1:]):
            assert lower.yaxis.get_offset_text().get_text() == ""
            top = max(t.get_window_extent().y1 for t in lower.get_yticklabels() if t.get_text())
            assert top <= upper.get_window_extent().y0  # no number of a panel runs into the one above
        # Markers no wider than needed, one for the crossings within its width: the candles stay visible.
        cross = np.flatnonzero(tv.crosses(df, ["macd"])["cross"].to_numpy() == 1)
        up = next(c for c in fig.axes[0].collections if c.get_label() == "macd up")
        kept = up.get_offsets()[:, 0].astype(int)
        per_bar = fig.axes[0].get_window_extent().width / len(df) * 72 / fig.dpi
        width = np.sqrt(up.get_sizes()[0]) / per_bar  # in bars
        assert width <= 10 and set(kept) <= set(cross) and np.diff(kept).min() >= width
        assert all(np.abs(kept - c)[kept <= c].min() < width for c in cross)
    finally:
        plt.close(fig)


@pytest.mark.skipif("digits" not in __import__("inspect").signature(tv.indicators).parameters,
                    reason="the frame functions take no digits= here")
def test_digits_reach_the_indicators():
    df = security()
    for digits in (None, 1):
        fig = tv.plot.candles(df, panels=["macd"], overlays=["boll"], digits=digits)
        try:
            assert np.array_equal(lines_of(fig)[(1, "dif")], tv.MACD(df.close, digits=digits).dif)
            assert np.array_equal(lines_of(fig)[(0, "mid")], tv.BOLL(df.close, digits=digits).mid, equal_nan=True)
        finally:
            plt.close(fig)
