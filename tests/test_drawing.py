"""tarvex.plot.formula draws a formula headless: over the candles or in a
panel of its own, lines in the colours and widths they name, each drawing
where its condition holds."""
import numpy as np
import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.colors as mcolors  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402

import tarvex as tv  # noqa: E402
from tarvex.formula import FormulaError  # noqa: E402


def security(n=80, seed=2):
    rng = np.random.default_rng(seed)
    c = 10 + rng.standard_normal(n).cumsum() * 0.2
    o = c + rng.normal(0, 0.1, n)
    return {"date": np.datetime64("2024-01-02") + np.arange(n), "open": o, "high": np.fmax(o, c) + 0.2,
            "low": np.fmin(o, c) - 0.2, "close": c, "volume": rng.integers(1000, 9000, n) * 1.0}


def hexes(colours):
    return [mcolors.to_hex(c) for c in colours]


OVERLAY = """MA5:MA(C,5),COLORWHITE,LINETHICK2; MA10:MA(C,10);
DRAWBAND(MA5,COLORRED,MA10,COLORGREEN);
DRAWICON(CROSS(MA5,MA10),L,1); DRAWTEXT(CROSS(MA10,MA5),H,'sell'),COLORYELLOW;"""
PANEL = """DIF:EMA(C,12)-EMA(C,26); DEA:EMA(DIF,9),COLOR00FFFF; M:(DIF-DEA)*2,NODRAW;
STICKLINE(M>0,0,M,4,1),COLORRED; DRAWNUMBER(ISLASTBAR,DIF,DIF); 0,DOTLINE; DRAWTEXT(ISLASTBAR,H,'top');"""


def test_an_overlay_over_the_candles_and_a_panel_under_them():
    bars = security()
    fig = tv.plot.formula(OVERLAY, bars)
    try:
        (price,) = fig.axes
        ma5, ma10 = price.get_lines()
        assert hexes([ma5.get_color()]) == ["#ffffff"] and ma5.get_linewidth() > ma10.get_linewidth()
        assert hexes([ma10.get_color()]) == ["#ffff00"]  # the second line that names no colour
        result = tv.formula(OVERLAY, bars)
        up = np.flatnonzero(result.drawings[1].args["cond"])
        (icons,) = price.collections[-1:]
        assert icons.get_offsets()[:, 0].tolist() == up.tolist()
        assert len(price.texts) == int(result.drawings[2].args["cond"].sum()) > 0
        assert {t.get_text() for t in price.texts} == {"sell"}
    finally:
        plt.close(fig)
    fig = tv.plot.formula(PANEL, bars, title="macd")
    try:
        price, panel = fig.axes
        assert len(price.patches) == len(bars["close"])  # the candle bodies
        sticks = int((tv.formula(PANEL, bars)["M"] > 0).sum())
        assert len(panel.patches) == sticks and all(p.get_facecolor()[:3] == (0, 0, 0) for p in panel.patches)
        assert hexes([line.get_color() for line in panel.get_lines()]) == ["#ffffff", "#ffff00", "#00ff00"]
        assert [t.get_text() for t in panel.texts] == [f"{tv.formula(PANEL, bars)['DIF'][-1]:.2f}"]
        assert [t.get_text() for t in price.texts] == ["top"]  # a label at prices goes over the candles
        assert price.get_title(loc="right") == "macd"
    finally:
        plt.close(fig)


def test_a_chart_is_of_one_security():
    bars = {**security(), "code": np.repeat(["A", "B"], 40)}
    with pytest.raises(FormulaError, match="one security"):
        tv.plot.formula("MA(C,5)", bars)
