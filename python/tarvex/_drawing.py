"""A formula's output drawn the way charting software shows it: black
ground, rising candles red and hollow, falling ones cyan and filled, each
line in the colour and width its style words name (white, yellow, magenta,
green ... by its place when it names none), and the drawings (sticks, texts,
icons, numbers, bands, polylines, segments, candles) where their
conditions hold.

An overlay formula is drawn over the candles; any other gets a panel of
its own under them, where its drawings at prices (a label over the bars)
still go over the candles. `figure()` needs matplotlib and is imported only when
a chart is drawn.
"""
from __future__ import annotations

import math
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from .formula import FormulaError, Line
from .formula import compile as _compile
from .formula.styles import colour_value, thickness

__all__ = ["figure"]

GROUND, GRID, TEXT = "#000000", "#3a0000", "#c0c0c0"
RISE, FALL = "#ff3232", "#00e4e4"
# Line colours taken in turn by lines that name none.
CYCLE = ("#ffffff", "#ffff00", "#ff00ff", "#00ff00", "#00ffff", "#ff8080", "#8080ff", "#c0c0c0")
# DRAWICON's icon numbers: marker and colour.
ICONS = {1: ("^", RISE), 2: ("v", "#00ff00"), 3: ("o", RISE), 4: ("o", "#00ff00"), 5: ("*", "#ffff00"),
         6: ("D", "#ffff00"), 7: ("s", "#00ffff"), 8: ("P", "#ff00ff"), 9: ("X", "#00ff00")}
_DASHES = {"DOTLINE": ":", "DASHLINE": "--", "DASHDOTLINE": "-."}
_DOTS = {"CROSSDOT": "x", "CIRCLEDOT": "o", "POINTDOT": "."}
# Fonts with Chinese glyphs, tried after the default one for texts.
_CJK_FONTS = ("Noto Sans CJK SC", "Noto Sans SC", "Source Han Sans SC", "WenQuanYi Micro Hei", "WenQuanYi Zen Hei",
              "SimHei", "Microsoft YaHei", "PingFang SC", "Heiti SC", "Arial Unicode MS")


def hex_colour(value: float) -> Optional[str]:
    """A colour value of the language (red + green * 256 + blue * 65536) as
    '#rrggbb', None for NaN or a value out of range."""
    if not math.isfinite(value) or not 0 <= value < 1 << 24:
        return None
    v = int(value)
    return f"#{v & 255:02x}{v >> 8 & 255:02x}{v >> 16 & 255:02x}"


class _Style:
    """What a line's style words say: colour, width, dashes and the rest."""

    def __init__(self, attrs: Sequence[str], fallback: str) -> None:
        named = [colour_value(a) for a in attrs if colour_value(a) is not None]
        widths = [thickness(a) for a in attrs if thickness(a) is not None]
        given = hex_colour(named[-1]) if named and named[-1] is not None else None
        self.colour: str = given or fallback
        width = widths[-1] if widths else 1
        self.width = 0.9 + 0.8 * max((width or 1) - 1, 0)
        self.words = set(attrs)
        self.dashes = next((_DASHES[a] for a in attrs if a in _DASHES), "-")
        self.dots = next((_DOTS[a] for a in attrs if a in _DOTS), None)


def _drawn(line: Line) -> np.ndarray:
    """The finite values a line draws (both edges of a band)."""
    v: np.ndarray = line.values
    if line.kind == "DRAWBAND":
        v = np.concatenate([v, np.asarray(line.args["value2"], dtype=np.float64)])
    finite: np.ndarray = v[np.isfinite(v)]
    return finite


def _price_scale(low: np.ndarray, high: np.ndarray) -> Optional[Tuple[float, float]]:
    """The prices' range widened by half of it, None without prices."""
    finite = np.isfinite(low) & np.isfinite(high)
    if not finite.any():
        return None
    bottom, top = float(np.min(low[finite])), float(np.max(high[finite]))
    span = max(top - bottom, abs(top) * 0.01, 1e-12)
    return bottom - span * 0.5, top + span * 0.5


def _within(v: np.ndarray, scale: Optional[Tuple[float, float]]) -> bool:
    """Whether most of the values lie on the scale."""
    return scale is not None and len(v) > 0 and float(np.mean((v >= scale[0]) & (v <= scale[1]))) >= 0.8


def _is_overlay(lines: Sequence[Line], scale: Optional[Tuple[float, float]]) -> bool:
    """Whether the lines live on the price scale: each that draws anything
    draws mostly within it."""
    drawn = [v for v in (_drawn(line) for line in lines if "NODRAW" not in line.attrs) if len(v)]
    return bool(drawn) and all(_within(v, scale) for v in drawn)


def _panel_scale(lines: Sequence[Line]) -> Optional[Tuple[float, float]]:
    """The range of a panel's computed lines, None when it has none."""
    drawn = [_drawn(line) for line in lines if not line.draws and "NODRAW" not in line.attrs]
    v = np.concatenate(drawn) if drawn else np.zeros(0)
    return (float(v.min()), float(v.max())) if len(v) else None


def _candles(ax: Any, o: np.ndarray, h: np.ndarray, lo: np.ndarray, c: np.ndarray,
             rise: str = RISE, fall: str = FALL, width: float = 0.7) -> None:
    x = np.arange(len(c))
    up = c >= o
    colours = np.where(up, rise, fall)
    ax.vlines(x, lo, h, colors=colours, linewidth=0.8, zorder=2)
    bottom = np.fmin(o, c)
    body = np.abs(c - o)
    finite = np.isfinite(h) & np.isfinite(lo)
    span = float(np.max(h[finite]) - np.min(lo[finite])) if finite.any() else 0.0
    body = np.where(body == 0.0, span * 0.002 + 1e-12, body)  # a doji shows a line
    ax.bar(x, body, bottom=bottom, width=width, color=np.where(up, GROUND, fall), edgecolor=colours, linewidth=0.8,
           zorder=3)


def _sticks(ax: Any, x: np.ndarray, bottom: np.ndarray, top: np.ndarray, width: float, colour: Any,
            hollow: bool) -> None:
    if len(x) == 0:
        return
    if width <= 0.0:
        ax.vlines(x, bottom, top, colors=colour, linewidth=1.0, zorder=4)
        return
    ax.bar(x, top - bottom, bottom=bottom, width=width, color=GROUND if hollow else colour, edgecolor=colour,
           linewidth=0.8, zorder=4)


def _texts(ax: Any, x: np.ndarray, y: np.ndarray, texts: Sequence[str], colour: str, fonts: Sequence[str]) -> None:
    for xi, yi, t in zip(x, y, texts):
        ax.text(xi, yi, t, color=colour, fontsize=9, ha="center", va="center", family=list(fonts), zorder=6,
                clip_on=True)


def _where(line: Line, cond: str = "cond") -> np.ndarray:
    return np.flatnonzero(np.asarray(line.args[cond]) != 0.0)


def _segments(line: Line) -> List[Tuple[int, int]]:
    """DRAWLINE's segments: from the latest bar where cond1 holds to the
    next bar after it where cond2 holds."""
    first, second = np.asarray(line.args["cond1"]) != 0.0, np.asarray(line.args["cond2"]) != 0.0
    out, start = [], -1
    for i in range(len(first)):
        if start >= 0 and i > start and second[i]:
            out.append((start, i))
            start = -1
        if first[i]:
            start = i
    return out


def _draw_line(ax: Any, line: Line, style: _Style, x: np.ndarray, rising: np.ndarray) -> None:
    """A computed line by its style words."""
    v, words = line.values, style.words
    if words & {"COLORSTICK", "STICK", "VOLSTICK", "LINESTICK"}:
        ok = np.isfinite(v)
        if "VOLSTICK" in words:  # as the candles: rising hollow red, falling filled cyan
            for side, colour, hollow in ((ok & rising, RISE, True), (ok & ~rising, FALL, False)):
                _sticks(ax, x[side], np.zeros(int(side.sum())), v[side], 0.7, colour, hollow)
        else:
            shades: Any = np.where(v >= 0.0, RISE, FALL)[ok] if "COLORSTICK" in words else style.colour
            ax.vlines(x[ok], 0.0, v[ok], colors=shades, linewidth=style.width, zorder=4)
        if "LINESTICK" not in words:
            return
    if style.dots is not None:
        ax.plot(x, v, linestyle="none", marker=style.dots, markersize=3, color=style.colour,
                markerfacecolor="none" if style.dots == "o" else style.colour, zorder=5)
        return
    ax.plot(x, v, color=style.colour, linewidth=style.width, linestyle=style.dashes, zorder=5)


def _draw_drawing(ax: Any, line: Line, style: _Style, x: np.ndarray, fonts: Sequence[str]) -> None:
    """A drawing call by its kind."""
    a, kind = line.args, line.kind
    if kind == "STICKLINE":
        at = _where(line)
        width = float(a["width"])
        _sticks(ax, x[at], np.asarray(a["price1"])[at], np.asarray(a["price2"])[at], min(0.9, width * 0.1),
                style.colour, float(a["empty"]) != 0.0)
    elif kind in ("DRAWTEXT", "DRAWNUMBER"):
        at = _where(line)
        at = at[np.isfinite(np.asarray(a["price"])[at])]
        texts = [str(a["text"])] * len(at) if kind == "DRAWTEXT" else \
            [f"{n:.2f}" for n in np.asarray(a["number"])[at]]
        _texts(ax, x[at], np.asarray(a["price"])[at], texts, style.colour, fonts)
    elif kind == "DRAWICON":
        at = _where(line)
        marker, colour = ICONS.get(int(a["icon"]) if math.isfinite(a["icon"]) else 0, ("o", "#ffffff"))
        named = any(colour_value(w) is not None for w in line.attrs)
        ax.scatter(x[at], np.asarray(a["price"])[at], marker=marker, s=46, zorder=6,
                   color=style.colour if named else colour)
    elif kind == "POLYLINE":
        at = _where(line)
        ax.plot(x[at], np.asarray(a["price"])[at], color=style.colour, linewidth=style.width,
                linestyle=style.dashes, zorder=5)
    elif kind == "DRAWLINE":
        p1, p2 = np.asarray(a["price1"]), np.asarray(a["price2"])
        for i, j in _segments(line):
            xs, ys = [i, j], [p1[i], p2[j]]
            if float(a["expand"]) != 0.0 and j < len(x) - 1:  # carried on to the right edge
                xs.append(len(x) - 1)
                ys.append(p1[i] + (p2[j] - p1[i]) / (j - i) * (len(x) - 1 - i))
            ax.plot(xs, ys, color=style.colour, linewidth=style.width, linestyle=style.dashes, zorder=5)
    elif kind == "DRAWKLINE":
        _candles(ax, np.asarray(a["open"]), np.asarray(a["high"]), np.asarray(a["low"]), np.asarray(a["close"]),
                 width=0.6)
    elif kind == "DRAWBAND":
        v1, v2 = np.asarray(a["value1"]), np.asarray(a["value2"])
        for above, colour in ((v1 > v2, a["colour1"]), (v1 < v2, a["colour2"])):
            ax.fill_between(x, v1, v2, where=above, interpolate=True, color=hex_colour(colour) or style.colour,
                            alpha=0.45, linewidth=0, zorder=1)
    elif kind == "PARTLINE":
        _partline(ax, line, style, x)


def _partline(ax: Any, line: Line, style: _Style, x: np.ndarray) -> None:
    from matplotlib.collections import LineCollection

    price = np.asarray(line.args["price"])
    colours: List[Optional[str]] = [None] * len(price)
    for k in (3, 2, 1):  # the first condition that holds names the colour
        cond = np.asarray(line.args[f"cond{k}"]) != 0.0
        colour = hex_colour(float(line.args[f"colour{k}"])) or style.colour
        for at in np.flatnonzero(cond).tolist():
            colours[at] = colour
    pieces, shades = [], []
    for i in range(1, len(price)):
        shade = colours[i]
        if shade is not None and math.isfinite(price[i - 1]) and math.isfinite(price[i]):
            pieces.append([(x[i - 1], price[i - 1]), (x[i], price[i])])
            shades.append(shade)
    ax.add_collection(LineCollection(pieces, colors=shades, linewidths=style.width, zorder=5))


def _fonts() -> List[str]:
    from matplotlib import font_manager

    have = {f.name for f in font_manager.fontManager.ttflist}
    return ["DejaVu Sans", *(f for f in _CJK_FONTS if f in have)]


def _title(ax: Any, items: Sequence[Tuple[str, float, str]]) -> None:
    """Each named line's last value in its colour along the panel's top."""
    from matplotlib.offsetbox import AnchoredOffsetbox, HPacker, TextArea

    boxes: List[Any] = [TextArea(f"{label}: {value:.2f}" if math.isfinite(value) else f"{label}: -",
                      textprops=dict(color=colour, fontsize=8, family=_fonts())) for label, value, colour in items]
    if boxes:
        ax.add_artist(AnchoredOffsetbox("upper left", child=HPacker(children=boxes, pad=0, sep=10), frameon=False,
                                        pad=0.2, borderpad=0.3))


def _last(v: np.ndarray) -> float:
    ok = np.flatnonzero(np.isfinite(v))
    return float(v[ok[-1]]) if len(ok) else math.nan


def _labels(dates: Optional[np.ndarray], rows: int) -> List[str]:
    """The x axis' labels: dates (with the time of intraday bars), else bar numbers."""
    if dates is None:
        return [str(i) for i in range(rows)]
    if dates.dtype.kind != "M":
        return [str(d) for d in dates]
    minutes = dates.astype("datetime64[m]")
    intraday = bool((minutes != minutes.astype("datetime64[D]")).any())
    if not intraday:
        return list(np.datetime_as_string(minutes, unit="D"))
    return [f"{t[5:10]} {t[11:16]}" for t in np.datetime_as_string(minutes, unit="m")]  # 01-05 09:30


def figure(text: str, bars: Any, *, overlay: Optional[bool] = None, title: Optional[str] = None,
           figsize: Any = (10.0, 6.0), params: Optional[Dict[str, float]] = None) -> Any:
    """The chart of formula `text` over one security's `bars`."""
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter, MaxNLocator

    result = _compile(text, **(params or {})).run(bars)
    if result._starts is not None and len(result._starts) > 1:
        raise FormulaError("a chart shows one security: the bars hold several codes")
    prices = _compile("O;H;L;C").run(bars)
    o, h, lo, c = (line.values for line in prices)
    scale = _price_scale(lo, h)
    if overlay is None:
        overlay = _is_overlay(result.lines, scale)
    beside = _panel_scale(result.lines)
    rows, fonts = len(c), _fonts()
    with plt.style.context("dark_background"):
        fig, grid = plt.subplots(1 if overlay else 2, 1, sharex=True, figsize=figsize, squeeze=False,
                                 gridspec_kw={"height_ratios": [1] if overlay else [3, 2], "hspace": 0.04})
    fig.patch.set_facecolor(GROUND)
    price, panel = grid[0, 0], grid[-1, 0]
    x = np.arange(rows)
    if not any(line.kind == "DRAWKLINE" for line in result.lines) or not overlay:
        _candles(price, o, h, lo, c)
    # The k-th line naming no colour takes the k-th of the cycle, counting
    # lines and drawings apart.
    place = {"line": 0, "drawing": 0}
    shown: List[Tuple[str, float, str]] = []
    for line in result.lines:
        group = "drawing" if line.draws else "line"
        place[group] += 1
        if "NODRAW" in line.attrs:
            continue
        style = _Style(line.attrs, CYCLE[(place[group] - 1) % len(CYCLE)])
        if line.draws:
            # A drawing at prices (a label over the bars) goes over the
            # candles when the panel's lines are elsewhere.
            on_prices = _within(_drawn(line), scale) and not _within(_drawn(line), beside)
            _draw_drawing(price if on_prices else panel, line, style, x, fonts)
        else:
            _draw_line(panel, line, style, x, c >= o)
            if "NOTEXT" not in line.attrs and line.name is not None:
                shown.append((line.name, _last(line.values), style.colour))
    _title(panel, shown)
    if title:
        price.set_title(title, color=TEXT, fontsize=10, loc="right")
    labels = _labels(result.dates, rows)
    for ax in grid[:, 0]:
        ax.set_facecolor(GROUND)
        ax.grid(True, color=GRID, linewidth=0.6, linestyle=":")
        ax.tick_params(colors=TEXT, labelsize=8)
        for spine in ax.spines.values():
            spine.set_color("#800000")
        ax.yaxis.tick_right()
    panel.xaxis.set_major_formatter(
        FuncFormatter(lambda v, _: labels[int(round(v))] if 0 <= round(v) < len(labels) else ""))
    panel.xaxis.set_major_locator(MaxNLocator(8, integer=True))
    panel.set_xlim(-1, rows)
    if not overlay:
        panel.autoscale_view()
    return fig
