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
        assert len(price.patches) == len(df) and len(volume.patches) == len(df)  # candle bodies, volume bars
        assert [line.get_label() for line in price.get_lines()] == ["upper", "mid", "lower"]
        assert len(macd.patches) == len(df) and [line.get_label() for line in macd.get_lines()] == ["dif", "dea"]
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
        assert len(fig.axes[0].patches) == len(index) and fig.axes[0].get_title() == "Composite index"
        assert painted(fig) > 0.02
    finally:
        plt.close(fig)
