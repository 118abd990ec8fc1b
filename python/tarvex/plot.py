"""Charts with matplotlib (``pip install '.[plot]'`` from a checkout),
imported only when a chart is drawn: candlesticks of one security with
indicator panels and crossing signals, and composite index bars.

Bars are drawn at consecutive positions, one per row, in date order, so
days without trading leave no gaps; the x axis is labelled with the date
column (or a pandas frame's index). Rising bars are red and falling bars green, as on
Chinese charts; indicator lines take other colours. Every indicator is
computed over all the bars given and only the window asked for is drawn,
so a chart of the last 60 bars shows the same values as a chart of all of
them. Every function returns the matplotlib Figure."""
from __future__ import annotations

import datetime
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from ._catalog import catalog
from . import _drawing
from ._columns import find, values
from ._frame import Frame
from ._prepare import prepare
from ._tasks import tasks
from .frames import crosses, indicators

__all__ = ["candles", "formula", "index_chart", "THEMES"]

# Colours of each theme: the candles' own rise and fall colours, which no
# indicator line takes, and the lines' colours in the order they are drawn.
THEMES: Dict[str, Dict[str, Any]] = {
    "light": {"background": "#ffffff", "text": "#333333", "grid": "#dddddd", "rise": "#d62728", "fall": "#2ca02c",
              "band": "#1565c0", "lines": ("#222222", "#e69500", "#c2189b", "#1565c0", "#8d5524", "#6a3fbf")},
    "dark": {"background": "#0e0e12", "text": "#c8c8c8", "grid": "#2a2a32", "rise": "#ff4040", "fall": "#00c060",
             "band": "#4fa3ff", "lines": ("#e8e8e8", "#f5c400", "#ff4fd8", "#2ec5ff", "#ff9f1a", "#9d8cff")},
}
RISE, FALL = THEMES["light"]["rise"], THEMES["light"]["fall"]
# Panels that draw a column of the frame itself as bars, not an indicator.
_COLUMN_PANELS = ("volume", "amount", "change", "count")
# Reference levels drawn on an oscillator's panel.
_LEVELS = {"kdj": (20.0, 80.0), "rsi": (20.0, 80.0), "wr": (20.0, 80.0), "cci": (-100.0, 100.0)}
# The decimals the rounded indicators keep unless told otherwise.
_LIBRARY_DIGITS = next(r.rounding for r in catalog() if r.rounding is not None)
_INDICATORS = {r.name: r for r in catalog()}


def _name(panel: Any) -> str:
    return (panel if isinstance(panel, str) else panel[0]).lower()


class _Indicator:
    """One indicator as named to `candles`, with its parameters filled in
    (a 0 or missing one takes the default, as the batch engine does) and
    the texts its legend shows: "MA 5", "RSI 6", "MACD 12 26 9"."""

    def __init__(self, item: Any) -> None:
        names, params = tasks([item])
        self.name, given = names[0], params[0]
        record = _INDICATORS[self.name]
        if record.expanding:  # one field per period: "ma5" is "MA 5"
            self.params = [int(p) or int(record.params[0].default or 0) for p in given] or \
                [int(record.params[0].default or 0)]
            self.title = f"{self.name.upper()} {'/'.join(map(str, self.params))}"
        else:
            self.params = [int(given[k]) if k < len(given) and given[k] else int(p.default or 0)
                           for k, p in enumerate(record.params)]
            self.title = " ".join([self.name.upper(), *map(str, self.params)])
        self.expanding = record.expanding

    def label(self, field: str, fields: int) -> str:
        if self.expanding and field.startswith(self.name):
            return f"{self.name.upper()} {field[len(self.name):]}"
        return self.title if fields == 1 else field.upper()

    def header(self, fields: int) -> Optional[str]:
        """A legend entry before the lines of an indicator with several."""
        return self.title if fields > 1 and not self.expanding else None


def _table(frame: Frame, result: Any, rows: int) -> Dict[str, np.ndarray]:
    """The indicator columns of a result frame as float64 arrays (the code
    and date columns of a frame that has them left out)."""
    keys = {find(frame.names, ("code",)), find(frame.names, ("date",))}
    names = result.columns if hasattr(result, "columns") else result.keys()
    table = {str(k): values(result[k]).astype(np.float64) for k in names if k not in keys}
    if any(len(v) != rows for v in table.values()):
        raise ValueError("a chart draws one security: the bars give indicator rows of another length "
                         "(several codes, or rows without a close in a frame with a code column)")
    return table


def _dates(frame: Frame, date: Any) -> Optional[np.ndarray]:
    """The dates of the bars: the date column, else a pandas frame's index
    when it is not a plain row number; None when there are none."""
    name = frame.lookup(date, "date") if date is not None else find(frame.names, ("date",))
    if name is not None:
        return values(frame.data[name])
    if frame.kind == "pandas" and type(frame.data.index).__name__ != "RangeIndex":
        return np.asarray(frame.data.index)
    return None


def _time_order(keys: Optional[np.ndarray], rows: int) -> np.ndarray:
    """The rows oldest first: by date when the bars have dates that sort
    (rows of one date keep their order), else as given."""
    given = np.arange(rows)
    if keys is None:
        return given
    try:
        order = np.argsort(keys, kind="stable")
    except TypeError:
        return given
    return given if np.array_equal(order, given) else order


def _texts(keys: np.ndarray) -> List[str]:
    """Tick labels: dates as 2024-01-02, with the time of day when the bars
    are intraday."""
    if keys.dtype.kind == "M":
        days = keys.astype("datetime64[D]")
        intraday = bool((keys != days).any())
        return [t.replace("T", " ") for t in np.datetime_as_string(keys, unit="m" if intraday else "D")]
    stamps = [k for k in keys if isinstance(k, datetime.datetime)]
    intraday = any(k.time() != datetime.time() for k in stamps)
    return [k.strftime("%Y-%m-%d %H:%M" if intraday else "%Y-%m-%d") if isinstance(k, datetime.date) else str(k)
            for k in keys]


def _bound(keys: np.ndarray, value: Any) -> Any:
    """`start` or `end` as a value comparable with the dates: a text date
    such as "2024-03-01" against datetime64 dates or date objects."""
    if keys.dtype.kind == "M":
        return np.datetime64(value)
    sample: Any = keys[0] if len(keys) else None
    if isinstance(value, str) and isinstance(sample, datetime.date):
        if hasattr(sample, "tz_localize"):  # a pandas Timestamp, perhaps aware of a timezone
            make: Any = type(sample)
            stamp = make(value)
            zone = getattr(sample, "tzinfo", None)
            return stamp.tz_localize(zone) if zone is not None and stamp.tzinfo is None else stamp
        if isinstance(sample, datetime.datetime):
            return datetime.datetime.fromisoformat(value)
        return datetime.date.fromisoformat(value)
    return value


def _window(keys: Optional[np.ndarray], rows: int, start: Any, end: Any, last: Optional[int]) -> slice:
    """The rows drawn: dated from `start` to `end` (both included; row
    positions when the bars have no dates), then the last `last` of them."""
    lo, hi = 0, rows
    if start is not None or end is not None:
        keys = np.arange(rows) if keys is None else keys
        inside = np.ones(rows, dtype=bool)
        try:
            if start is not None:
                inside &= np.asarray(keys >= _bound(keys, start), dtype=bool)
            if end is not None:
                inside &= np.asarray(keys <= _bound(keys, end), dtype=bool)
        except (TypeError, ValueError) as e:
            raise TypeError(f"start and end must be comparable with the dates ({keys.dtype}, "
                            f"{type(keys[0]).__name__ if rows else 'none'}), got {start!r} and {end!r}: {e}") from None
        found = np.flatnonzero(inside)
        if not len(found):
            raise ValueError(f"no bar dated from {start!r} to {end!r}")
        lo, hi = int(found[0]), int(found[-1]) + 1
    if last is not None:
        if int(last) < 1:
            raise ValueError(f"last must be at least 1, got {last}")
        lo = max(lo, hi - int(last))
    return slice(lo, hi)


def _compact(value: float, _: Any = None) -> str:
    """An axis number without an offset or exponent above the axis:
    1.2M, 50K, 0.004."""
    size = abs(value)
    for unit, scale in (("B", 1e9), ("M", 1e6), ("K", 1e3)):
        if size >= scale:
            return f"{value / scale:.3g}{unit}"
    return f"{value:.3g}" if size >= 1e-4 or value == 0 else f"{value:.1e}"


class _Chart:
    """The figure being drawn: the window of rows, the theme's colours and
    the computing options shared by every panel."""

    def __init__(self, frame: Frame, order: np.ndarray, window: slice, theme: Dict[str, Any],
                 options: Dict[str, Any]) -> None:
        self.frame, self.order, self.window, self.theme, self.options = frame, order, window, theme, options
        self.x = np.arange(window.stop - window.start)
        self.drawn: Dict[int, int] = {}  # lines drawn on each axes so far

    def compute(self, function: Any, item: Any) -> Dict[str, np.ndarray]:
        """The fields of one indicator over every bar, cut to the window."""
        table = _table(self.frame, function(self.frame.data, [item], **self.options), len(self.order))
        return {k: self.take(v) for k, v in table.items()}

    def take(self, column: np.ndarray) -> np.ndarray:
        """The values of a column (one per input row) drawn, oldest first."""
        drawn: np.ndarray = column[self.order][self.window]
        return drawn

    def lines(self, ax: Any, indicator: _Indicator, table: Dict[str, np.ndarray],
              fields: Sequence[str]) -> Tuple[List[Any], List[str]]:
        """Draws the lines of `fields`, each in the next colour of the theme
        (never a candle's); returns legend handles and texts."""
        from matplotlib.patches import Rectangle

        header = indicator.header(len(table))
        handles: List[Any] = [Rectangle((0, 0), 0, 0, visible=False)] if header else []
        texts = [header] if header else []
        palette = self.theme["lines"]
        for f in fields:
            drawn = self.drawn.get(id(ax), 0)
            line, = ax.plot(self.x, table[f], linewidth=1.0, label=f, color=palette[drawn % len(palette)])
            self.drawn[id(ax)] = drawn + 1
            handles.append(line)
            texts.append(indicator.label(f, len(table)))
        return handles, texts

    def legend(self, ax: Any, handles: List[Any], texts: List[str]) -> None:
        """A one-row legend at the top left, over headroom added to the
        axes so that it covers none of the lines."""
        if handles:
            from matplotlib.ticker import FixedLocator

            bottom, top = ax.get_ylim()
            if ax.get_subplotspec().rowspan.start == 0:
                ax.set_ylim(bottom, top + (top - bottom) * 0.12)
            else:  # the ticks stay those of the values, none in the headroom
                ax.yaxis.set_major_locator(FixedLocator([t for t in ax.get_yticks() if bottom <= t <= top]))
                ax.set_ylim(bottom, top + (top - bottom) * 0.35)
            ax.legend(handles, texts, loc="upper left", fontsize="x-small", ncol=min(len(texts), 8),
                      framealpha=0.6, facecolor=self.theme["background"], edgecolor="none", handlelength=1.2,
                      columnspacing=1.0, labelcolor=self.theme["text"])


def _bars(ax: Any, x: np.ndarray, bottom: np.ndarray, height: np.ndarray, colors: np.ndarray, label: str) -> Any:
    """Bars 0.7 wide as one collection of rectangles (one artist, not one
    per bar: a chart of thousands of bars draws in a moment)."""
    from matplotlib.collections import PolyCollection

    left, right, top = x - 0.35, x + 0.35, bottom + height
    corners = np.stack([np.stack(p, axis=-1) for p in ((left, bottom), (left, top), (right, top), (right, bottom))],
                       axis=1)
    keep = np.isfinite(corners).all(axis=(1, 2))
    bars = PolyCollection(list(corners[keep]), facecolors=colors[keep], edgecolors=colors[keep], linewidths=0.5,
                          label=label)
    ax.add_collection(bars)
    ax.autoscale_view()
    return bars


def _draw_candles(ax: Any, chart: _Chart, o: np.ndarray, h: np.ndarray, lo: np.ndarray, c: np.ndarray) -> None:
    colors = np.where(c >= o, chart.theme["rise"], chart.theme["fall"])
    ax.vlines(chart.x, lo, h, colors=colors, linewidth=0.8)
    body = np.where(c == o, (h - lo) * 0.002 + 1e-12, c - o)  # a doji still shows a line
    _bars(ax, chart.x, o, body, colors, "candles")


def _draw_signals(ax: Any, chart: _Chart, signals: Any, h: np.ndarray, lo: np.ndarray) -> Tuple[List[Any], List[str]]:
    """Marks the crossings of `signals`, upward under the bar and downward
    above it. A marker is as wide as a few bars at most; where the bars are
    too narrow for every marker, one marker stands for the crossings that
    follow it within its width, so that the candles stay visible."""
    indicator = _Indicator(signals)
    cross = chart.compute(crosses, signals)["cross"]
    width = ax.get_position().width * ax.figure.get_figwidth() * 72.0  # points
    per_bar = width / max(len(chart.x), 1)
    size = float(np.clip(per_bar * 1.6, 3.0, 9.0))
    span = float(np.nanmax(h) - np.nanmin(lo)) if np.isfinite(h).any() else 1.0
    handles = []
    for direction, marker, colour, prices, offset in ((1.0, "^", "rise", lo, -1.0), (-1.0, "v", "fall", h, 1.0)):
        kept: List[int] = []
        for i in np.flatnonzero(cross == direction):
            if not kept or (i - kept[-1]) * per_bar >= size:
                kept.append(int(i))
        at = np.array(kept, dtype=np.intp)
        handles.append(ax.scatter(at, prices[at] + offset * span * 0.025, marker=marker, s=size ** 2,
                                  color=chart.theme[colour], linewidths=0, zorder=3,
                                  label=f"{indicator.name} {'up' if direction > 0 else 'down'}"))
    return handles, [f"{indicator.title} up", f"{indicator.title} down"]


def _draw_panel(ax: Any, chart: _Chart, panel: Any, close: np.ndarray, opened: np.ndarray) -> None:
    from matplotlib.ticker import FuncFormatter, MaxNLocator

    name = _name(panel)
    ax.yaxis.set_major_locator(MaxNLocator(3, prune="upper"))  # no label runs into the panel above
    ax.yaxis.set_major_formatter(FuncFormatter(_compact))
    ax.set_ylabel(name, fontsize="small")
    rise, fall = chart.theme["rise"], chart.theme["fall"]
    if name in _COLUMN_PANELS and isinstance(panel, str):
        frame = chart.frame
        column = frame.field(name) if name in ("volume", "amount") else values(frame.data[frame.lookup(name, name)])
        column = chart.take(np.asarray(column, dtype=np.float64))
        colors = np.where(close >= opened, rise, fall) if name != "change" else np.where(column >= 0, rise, fall)
        _bars(ax, chart.x, np.zeros_like(column), column, colors, name)
        if name != "change" and not (column < 0).any():
            ax.set_ylim(bottom=0.0)  # volumes stand on the axis
        return
    indicator = _Indicator(panel)
    table = chart.compute(indicators, panel)
    fields = list(table)
    if name == "macd":
        hist = table["macd"]
        _bars(ax, chart.x, np.zeros_like(hist), hist, np.where(hist >= 0, rise, fall), "macd")
        fields = ["dif", "dea"]
    handles, texts = chart.lines(ax, indicator, table, fields)
    for level in _LEVELS.get(name, ()):
        ax.axhline(level, color=chart.theme["text"], linewidth=0.5, linestyle="--", alpha=0.5)
    chart.legend(ax, handles, texts)


def candles(bars: Any, panels: Sequence[Any] = ("volume", "macd"), overlays: Sequence[Any] = (),
            signals: Any = None, *, date: Any = None, columns: Optional[Dict[str, Any]] = None,
            title: Optional[str] = None, figsize: Any = (10.0, 7.0), start: Any = None, end: Any = None,
            last: Optional[int] = None, digits: Optional[int] = _LIBRARY_DIGITS, theme: str = "light",
            period: Optional[str] = None, adjust: Any = None) -> Any:
    """Candlesticks of one security (a frame of open, high, low, close and,
    for the volume panel, volume; drawn by date when it has dates, else
    oldest bar first as given) with a panel below for
    each of `panels`: "volume" (or another column: "amount", "change",
    "count") as bars, or an indicator as `tarvex.indicators` names it
    ("macd" as histogram and lines, "kdj", ("rsi", 6) ...). `overlays` are
    indicators drawn over the prices ("boll", ("ma", [5, 10, 20]));
    `signals` an indicator whose crossings are marked, upward under the
    bar, downward above it. Legends name each line with its parameters
    ("MA 5", "RSI 6", "MACD 12 26 9").

    Every indicator is computed over all the bars; `start` and `end` (dates
    as the date column holds them or as text such as "2024-03-01", both
    included; row positions when the bars have no dates) and `last` (the
    last N bars of that) choose the bars drawn. `digits` rounds MACD, RSI,
    BOLL and the other rounded indicators as `tarvex.indicators` does (3
    decimals, the library's numbers); None draws the unrounded values.
    `theme` is "light" or "dark". `adjust=` a frame of ex-date events
    draws forward-adjusted prices (tarvex.adjust), `period=` ("W", "M" ...)
    the bars of that period (tarvex.resample), the indicators computed on
    them."""
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter, MaxNLocator

    if theme not in THEMES:
        raise ValueError(f"theme must be one of {', '.join(map(repr, THEMES))}, not {theme!r}")
    colours = THEMES[theme]
    bars = prepare(bars, period=period, adjust=adjust, date=date, columns=columns)
    frame = Frame(bars, columns)
    o, h, lo, c = (frame.field(f) for f in ("open", "high", "low", "close"))
    keys = _dates(frame, date)
    if keys is not None and len(keys) != len(c):
        raise ValueError(f"the dates have {len(keys)} values, the bars {len(c)}")
    order = _time_order(keys, len(c))
    keys = keys[order] if keys is not None else None
    window = _window(keys, len(c), start, end, last)
    options: Dict[str, Any] = {"columns": columns, "date": date}
    if digits != _LIBRARY_DIGITS:  # the frame functions round as the library does unless told otherwise
        options["digits"] = digits
    chart = _Chart(frame, order, window, colours, options)
    o, h, lo, c = (chart.take(v) for v in (o, h, lo, c))

    style: Any = {"figure.facecolor": colours["background"], "axes.facecolor": colours["background"],
             "savefig.facecolor": colours["background"], "axes.edgecolor": colours["grid"],
             "axes.labelcolor": colours["text"], "text.color": colours["text"], "xtick.color": colours["text"],
             "ytick.color": colours["text"], "grid.color": colours["grid"], "axes.titlecolor": colours["text"]}
    with plt.rc_context(style):
        fig, axes = plt.subplots(1 + len(panels), 1, sharex=True, figsize=figsize, squeeze=False,
                                 gridspec_kw={"height_ratios": [3] + [1] * len(panels), "hspace": 0.06})
        axes = axes[:, 0]
        price = axes[0]
        price.ticklabel_format(axis="y", useOffset=False)
        _draw_candles(price, chart, o, h, lo, c)
        handles: List[Any] = []
        texts: List[str] = []
        for overlay in overlays:
            table = chart.compute(indicators, overlay)
            more, words = chart.lines(price, _Indicator(overlay), table, list(table))
            handles += more
            texts += words
            if _name(overlay) == "boll":
                price.fill_between(chart.x, table["lower"], table["upper"], alpha=0.08, color=colours["band"])
        if signals is not None:
            more, words = _draw_signals(price, chart, signals, h, lo)
            handles += more
            texts += words
        chart.legend(price, handles, texts)
        for ax, panel in zip(axes[1:], panels):
            _draw_panel(ax, chart, panel, c, o)

        labels = _texts(keys[window]) if keys is not None else [str(i) for i in range(window.start, window.stop)]
        bottom = axes[-1]
        bottom.xaxis.set_major_formatter(
            FuncFormatter(lambda v, _: labels[int(round(v))] if 0 <= round(v) < len(labels) else ""))
        width = bottom.get_position().width * fig.get_figwidth() * 72.0  # points
        widest = max(map(len, labels), default=1)  # about 6 points a character, and room between labels
        bottom.xaxis.set_major_locator(MaxNLocator(max(2, int(width // (widest * 6.0 + 36.0))), integer=True))
        bottom.set_xlim(-1, len(c))
        for ax in axes:
            ax.grid(True, linewidth=0.4, alpha=0.6)
        if title:
            price.set_title(title, fontsize="medium")
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
            figsize: Any = (10.0, 6.0), period: Optional[str] = None, adjust: Any = None, **params: float) -> Any:
    """The chart of a formula over one security's bars, as charting
    software draws it: its lines in the colours and widths their style
    words name, its sticks, texts, icons, numbers, bands and polylines where
    their conditions hold. An overlay formula (lines on the price scale;
    `overlay` decides when given) is drawn over the candles, any other in a
    panel under them. `params` are the formula's parameters; `period=`
    and `adjust=` as for `candles`."""
    return _drawing.figure(text, prepare(bars, period=period, adjust=adjust), overlay=overlay, title=title, figsize=figsize, params=params)
