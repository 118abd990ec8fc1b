"""Charts with matplotlib (``pip install tarvex[plot]``), imported only when
a chart is drawn: candlesticks of one security with indicator panels and
crossing signals, and composite index bars.

Bars are drawn at consecutive positions, one per row, so days without
trading leave no gaps; the x axis is labelled with the date column (or a
pandas frame's index). Rising bars are red and falling bars green, as on
Chinese charts. Every function returns the matplotlib Figure."""
from __future__ import annotations

from typing import Any, Dict, List, Optional, Sequence

import numpy as np

from . import _drawing
from ._columns import find, values
from .frames import _Frame, crosses, indicators

__all__ = ["candles", "formula", "index_chart"]

RISE, FALL = "#d62728", "#2ca02c"
# Panels that draw a column of the frame itself as bars, not an indicator.
_COLUMN_PANELS = ("volume", "amount", "change", "count")
# Reference levels drawn on an oscillator's panel.
_LEVELS = {"kdj": (20.0, 80.0), "rsi": (20.0, 80.0), "wr": (20.0, 80.0), "cci": (-100.0, 100.0)}


def _name(panel: Any) -> str:
    return (panel if isinstance(panel, str) else panel[0]).lower()


def _table(frame: Any) -> Dict[str, np.ndarray]:
    """A result frame as float64 arrays by column name."""
    return {str(k): values(frame[k]).astype(np.float64) for k in (frame.columns if hasattr(frame, "columns")
                                                                  else frame.keys())}


def _labels(frame: _Frame, date: Any, rows: int) -> List[str]:
    name = frame.lookup(date, "date") if date is not None else find(frame.names, ("date",))
    if name is not None:
        keys = values(frame.data[name])
    elif frame.kind == "pandas" and not _is_range(frame.data.index):
        keys = np.asarray(frame.data.index)
    else:
        return [str(i) for i in range(rows)]
    if keys.dtype.kind == "M":
        return list(np.datetime_as_string(keys, unit="D"))
    return [str(k) for k in keys]


def _is_range(index: Any) -> bool:
    return type(index).__name__ == "RangeIndex"


def _draw_candles(ax: Any, o: np.ndarray, h: np.ndarray, lo: np.ndarray, c: np.ndarray) -> None:
    x = np.arange(len(c))
    colors = np.where(c >= o, RISE, FALL)
    ax.vlines(x, lo, h, colors=colors, linewidth=0.8)
    body = np.where(c == o, (h - lo) * 0.002 + 1e-12, c - o)  # a doji still shows a line
    ax.bar(x, body, bottom=o, width=0.7, color=colors, edgecolor=colors, linewidth=0.5)


def _draw_lines(ax: Any, table: Dict[str, np.ndarray], fields: Sequence[str]) -> None:
    x = np.arange(len(next(iter(table.values()))))
    for f in fields:
        ax.plot(x, table[f], linewidth=1.0, label=f)


def _draw_panel(ax: Any, frame: _Frame, bars: Any, panel: Any, close: np.ndarray, opened: np.ndarray) -> None:
    name = _name(panel)
    x = np.arange(len(close))
    if name in _COLUMN_PANELS and isinstance(panel, str):
        column = frame.field(name) if name in ("volume", "amount") else values(bars[frame.lookup(name, name)])
        column = np.asarray(column, dtype=np.float64)
        colors = np.where(close >= opened, RISE, FALL) if name != "change" else np.where(column >= 0, RISE, FALL)
        ax.bar(x, column, width=0.7, color=colors)
        ax.set_ylabel(name)
        return
    table = _table(indicators(bars, [panel]))
    if name == "macd":
        hist = table["macd"]
        ax.bar(x, hist, width=0.7, color=np.where(hist >= 0, RISE, FALL))
        _draw_lines(ax, table, ("dif", "dea"))
    else:
        _draw_lines(ax, table, list(table))
    for level in _LEVELS.get(name, ()):
        ax.axhline(level, color="grey", linewidth=0.6, linestyle="--")
    ax.set_ylabel(name)
    ax.legend(loc="upper left", fontsize="x-small", ncol=4, frameon=False)


def candles(bars: Any, panels: Sequence[Any] = ("volume", "macd"), overlays: Sequence[Any] = (),
            signals: Any = None, *, date: Any = None, columns: Optional[Dict[str, Any]] = None,
            title: Optional[str] = None, figsize: Any = (10.0, 7.0)) -> Any:
    """Candlesticks of one security (a frame of open, high, low, close and,
    for the volume panel, volume) with a panel below for each of `panels`:
    "volume" (or another column: "amount", "change", "count") as bars, or an
    indicator as `tarvex.indicators` names it ("macd" as histogram and
    lines, "kdj", ("rsi", 6) ...). `overlays` are indicators drawn over the
    prices ("boll", ("ma", [5, 10, 20])); `signals` an indicator whose
    crossings are marked, upward under the bar, downward above it."""
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter, MaxNLocator

    frame = _Frame(bars, columns)
    o, h, lo, c = (frame.field(f) for f in ("open", "high", "low", "close"))
    fig, axes = plt.subplots(1 + len(panels), 1, sharex=True, figsize=figsize, squeeze=False,
                             gridspec_kw={"height_ratios": [3] + [1] * len(panels), "hspace": 0.05})
    axes = axes[:, 0]
    price = axes[0]
    _draw_candles(price, o, h, lo, c)
    for overlay in overlays:
        table = _table(indicators(bars, [overlay]))
        _draw_lines(price, table, list(table))
        if _name(overlay) == "boll":
            price.fill_between(np.arange(len(c)), table["lower"], table["upper"], alpha=0.08, color="tab:blue")
    if signals is not None:
        cross = _table(crosses(bars, [signals]))["cross"]
        span = np.nanmax(h) - np.nanmin(lo) if np.isfinite(h).any() else 1.0
        up, down = np.flatnonzero(cross == 1.0), np.flatnonzero(cross == -1.0)
        price.scatter(up, lo[up] - span * 0.03, marker="^", color=RISE, s=36, zorder=3, label=f"{_name(signals)} up")
        price.scatter(down, h[down] + span * 0.03, marker="v", color=FALL, s=36, zorder=3,
                      label=f"{_name(signals)} down")
    if overlays or signals is not None:
        price.legend(loc="upper left", fontsize="x-small", ncol=4, frameon=False)
    for ax, panel in zip(axes[1:], panels):
        _draw_panel(ax, frame, bars, panel, c, o)

    labels = _labels(frame, date, len(c))
    last = axes[-1]
    last.xaxis.set_major_formatter(
        FuncFormatter(lambda v, _: labels[int(round(v))] if 0 <= round(v) < len(labels) else ""))
    last.xaxis.set_major_locator(MaxNLocator(8, integer=True))
    last.set_xlim(-1, len(c))
    for ax in axes:
        ax.grid(True, linewidth=0.3, alpha=0.5)
    if title:
        price.set_title(title)
    return fig


def index_chart(index: Any, panels: Sequence[Any] = ("change", "volume"), *, title: Optional[str] = "Composite index",
                **options: Any) -> Any:
    """The bars of a composite index (`tarvex.composite`'s frame) as
    candlesticks, with its daily change and volume below (the panels that
    its columns hold) and any other options of `candles`."""
    names = {str(n).lower() for n in (index.columns if hasattr(index, "columns") else index.keys())}
    return candles(index, [p for p in panels if not isinstance(p, str) or p.lower() in names or
                           p.lower() not in _COLUMN_PANELS], title=title, **options)


def formula(text: str, bars: Any, *, overlay: Optional[bool] = None, title: Optional[str] = None,
            figsize: Any = (10.0, 6.0), **params: float) -> Any:
    """The chart of a formula over one security's bars, as charting
    software draws it: its lines in the colours and widths their style
    words name, its sticks, texts, icons, numbers, bands and polylines where
    their conditions hold. An overlay formula (lines on the price scale;
    `overlay` decides when given) is drawn over the candles, any other in a
    panel under them. `params` are the formula's parameters."""
    return _drawing.figure(text, bars, overlay=overlay, title=title, figsize=figsize, params=params)
