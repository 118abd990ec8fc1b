"""Period bars and adjusted prices of whole markets: `resample` builds
weekly, monthly, quarterly and yearly bars from daily ones and 5- to
60-minute and daily bars from 1-minute ones; `adjust` scales prices across
ex-dividend, bonus-share and rights dates. Both run natively over the whole
market at once, rows in any order."""
from __future__ import annotations

import os
import sys
import warnings
from typing import Any, Dict, List, Mapping, NamedTuple, Optional, Tuple

import numpy as np

from . import _native
from ._arrays import as_column
from ._columns import BAR_COLUMNS, Market, column_names, dense, find, frame_kind, values
from ._arguments import threads as thread_count

__all__ = ["resample", "adjust"]

# The periods by name, numbered as the native layer numbers them.
PERIODS = {"W": 0, "M": 1, "Q": 2, "Y": 3, "5MIN": 4, "15MIN": 5, "30MIN": 6, "60MIN": 7, "D": 8}

_FIELDS = {"open": BAR_COLUMNS["OPEN"], "high": BAR_COLUMNS["HIGH"], "low": BAR_COLUMNS["LOW"],
           "close": BAR_COLUMNS["CLOSE"], "volume": BAR_COLUMNS["VOL"], "amount": BAR_COLUMNS["AMOUNT"]}
_ADJUSTED = ("open", "high", "low", "close", "volume")  # the fields adjust scales, in the native order
_EVENT_FIELDS = ("cash", "bonus", "rights", "rights_price")
_MINUTES_PER_DAY = 1440


def _market(data: Any, code: Any, date: Any, columns: Optional[Mapping[str, Any]]) -> Market:
    """The market (or one security) as the frame functions read it: code
    and date columns or pandas index levels, names ignoring case."""
    return Market(data, code=code, date=date, columns=columns, fields=_FIELDS)


def _prices(market: Market, field: str) -> Optional[np.ndarray]:
    name = market.field_name(field, required=field == "close")
    if name is None:
        return None
    column = market.column(name)
    dtype = getattr(column, "dtype", None)
    if isinstance(dtype, np.dtype) and dtype == np.float64:  # read in place: nothing to mark missing
        column = values(column)
    return np.ascontiguousarray(as_column(column, f"column {name!r}"), dtype=np.float64)


# ---- codes ----

class _Codes(NamedTuple):
    ids: List[np.ndarray]   # uint64, one array per column read
    back: Any               # ids -> original codes


def _codes(*columns: np.ndarray, ordered: bool = True) -> _Codes:
    """The codes of several columns as uint64 numbers that are equal where
    the codes are: non-negative integers as they are, anything else ranked
    together among all their values. Without `ordered` (the numbers need not
    order the codes), int64 codes of any sign are read in place."""
    if not ordered and all(c.dtype == np.int64 for c in columns):
        return _Codes([np.ascontiguousarray(c).view(np.uint64) for c in columns], lambda ids: ids.astype(np.int64))
    if all(c.dtype.kind in "iu" and (c.size == 0 or c.min() >= 0) for c in columns):
        dtype = columns[0].dtype
        return _Codes([np.ascontiguousarray(c, dtype=np.int64 if c.dtype == np.int64 else np.uint64).view(np.uint64)
                       for c in columns],
                      lambda ids: ids.astype(dtype))
    numeric = {c.dtype.kind in "iub" for c in columns}
    if len(numeric) > 1:
        raise TypeError(f"the codes are of different kinds: {', '.join(str(c.dtype) for c in columns)}; give the "
                        "events' codes as the market's")
    joined = columns[0] if len(columns) == 1 else np.concatenate(columns)
    try:
        ids, count = dense(joined)
    except TypeError as e:
        raise TypeError(f"the codes cannot be ordered: {e}") from None
    row = np.empty(count, dtype=np.intp)
    row[ids] = np.arange(len(ids))
    splits = np.cumsum([len(c) for c in columns])[:-1]
    return _Codes([part.astype(np.uint64) for part in np.split(ids, splits)],
                  lambda given: joined[row[given.astype(np.intp)]])


# ---- dates ----

class _Stamps(NamedTuple):
    stamps: np.ndarray   # int64 ticks since 1970-01-01
    per_day: int         # ticks in a day: 1 (days), 1440 (minutes) or those of the dates' own unit
    form: str            # how the dates were written: "datetime", "integer" or "text"
    dtype: Any
    digits: int          # of integer dates: 8, 12 or 14


def _integer_dates(v: np.ndarray) -> Tuple[np.ndarray, int]:
    """datetime64 values of YYYYMMDD, YYYYMMDDHHMM or YYYYMMDDHHMMSS
    integers, and their number of digits."""
    v = v.astype(np.int64)
    top = int(v.max()) if v.size else 0
    digits = 8 if top <= 99991231 else 12 if top <= 999912312359 else 14
    ymd, clock = v // 10 ** (digits - 8), v % 10 ** (digits - 8)
    if digits == 12:
        clock = clock * 100
    year, month, day = ymd // 10000, ymd // 100 % 100, ymd % 100
    days = ((year - 1970) * 12 + month - 1).astype("datetime64[M]").astype("datetime64[D]") + (day - 1)
    seconds = clock // 10000 * 3600 + clock // 100 % 100 * 60 + clock % 100
    moments = days.astype("datetime64[s]") + seconds.astype("timedelta64[s]")
    if not np.array_equal(_as_integers(moments, digits), v):
        raise ValueError(f"integer dates are read as YYYYMMDD{'HHMM' if digits > 8 else ''}"
                         f"{'SS' if digits > 12 else ''}; some are not such dates")
    return moments, digits


def _as_integers(moments: np.ndarray, digits: int) -> np.ndarray:
    days = moments.astype("datetime64[D]")
    months = days.astype("datetime64[M]")
    year = months.astype("datetime64[Y]").astype(np.int64) + 1970
    ymd = year * 10000 + (months.astype(np.int64) % 12 + 1) * 100 + (days - months.astype("datetime64[D]")).astype(
        np.int64) + 1
    if digits == 8:
        return np.asarray(ymd)
    seconds = (moments - days).astype("timedelta64[s]").astype(np.int64)
    hhmmss = seconds // 3600 * 10000 + seconds // 60 % 60 * 100 + seconds % 60
    return np.asarray(ymd * 10 ** (digits - 8) + hhmmss // 10 ** (14 - digits))


def _stamps(column: Any, compact: bool = True) -> _Stamps:
    """Ticks since 1970-01-01 of a date column: datetime64, pandas and
    polars dates and times (time-zone aware ones by their wall-clock time),
    YYYYMMDD[HHMM[SS]] integers, or text and date objects pandas reads as
    dates. `compact`: days, or minutes when any date carries a time of day;
    otherwise the dates' own unit where a day holds whole minutes of it."""
    if getattr(getattr(column, "dt", None), "tz", None) is not None:  # a pandas Series
        column = column.dt.tz_localize(None)
    elif getattr(column, "tz", None) is not None:  # a pandas DatetimeIndex
        column = column.tz_localize(None)
    v = values(column)
    form, dtype, digits = "datetime", v.dtype, 0
    if v.dtype.kind in "iu":
        form = "integer"
        v, digits = _integer_dates(v)
    elif v.dtype.kind != "M":
        form = "text"
        try:
            import pandas

            v = np.asarray(pandas.to_datetime(v).to_numpy(), dtype="datetime64[ns]")
        except ImportError:
            v = np.asarray(v, dtype="datetime64[s]")
    ticks = v.view(np.int64)
    unit, _ = np.datetime_data(v.dtype)
    day_units = unit in ("Y", "M", "W", "D")
    per_day = 1 if day_units else int(np.timedelta64(1, "D") // np.timedelta64(1, unit))  # type: ignore[call-overload]
    if not compact and not day_units and per_day % _MINUTES_PER_DAY == 0:
        # The ticks as they are, unread: the native adjust (the one caller)
        # refuses a missing one (NaT) in its own pass over them.
        return _Stamps(ticks, per_day, form, dtype, digits)
    if ticks.size and ticks.min() == np.iinfo(np.int64).min:
        raise ValueError("the dates must not be missing")
    if day_units:
        return _Stamps(v.astype("datetime64[D]").view(np.int64), 1, form, dtype, digits)
    if not (ticks % per_day).any():
        return _Stamps(ticks // per_day, 1, form, dtype, digits)
    return _Stamps(v.astype("datetime64[m]").view(np.int64), _MINUTES_PER_DAY, form, dtype, digits)


def period_stamps(column: Any) -> Tuple[np.ndarray, bool]:
    """The stamps of a date column as resample reads them, for the periods
    of formulas: days since 1970-01-01, or minutes since its midnight (the
    flag True) when any date carries a time of day."""
    read = _stamps(column)
    return read.stamps, read.per_day == _MINUTES_PER_DAY


def _dates_back(stamps: np.ndarray, read: _Stamps, day_only: bool) -> np.ndarray:
    """Compact stamps written as the dates were (text as datetime64), the
    day alone when `day_only`."""
    if read.per_day == _MINUTES_PER_DAY and not day_only:
        moments = stamps.astype("datetime64[m]")
    else:
        moments = (stamps // read.per_day).astype("datetime64[D]")
    if read.form == "integer":
        return _as_integers(moments, read.digits).astype(read.dtype)
    if read.form == "datetime":
        return moments.astype(read.dtype)
    return moments


def _key_ids(market: Market, *others: np.ndarray, ordered: bool = True) -> Tuple[List[np.ndarray], Any]:
    """The code numbers of the market's rows (all 0 for one security), then
    of `others`, and the way back to the market's codes (see _codes for
    `ordered`)."""
    if market.code is None:
        return [np.zeros(market.length, dtype=np.uint64)] + [np.zeros(len(o), dtype=np.uint64) for o in others], None
    codes = _codes(market.code.values, *others, ordered=ordered)
    return codes.ids, codes.back


def _market_stamps(market: Market, compact: bool = True) -> _Stamps:
    if market.date is None:
        raise ValueError(f"there is no date column (name it with date=); the columns are: {market.listing()}")
    return _stamps(market.date.column, compact)


def _bar_columns(market: Market, fields: Tuple[str, ...]) -> Dict[str, Optional[np.ndarray]]:
    prices = {f: _prices(market, f) for f in fields}
    for field, column in prices.items():
        if column is not None and len(column) != market.length:
            raise ValueError(f"the {field} column has {len(column)} values, the bars {market.length}")
    return prices


def _keys_back(market: Market, keys: Dict[str, np.ndarray]) -> Tuple[Dict[Any, Any], Any]:
    """The code and date of each result row as the input holds them: index
    levels when the input's index is made of the code and date levels
    alone (a MultiIndex in its order and names, a DatetimeIndex), columns
    otherwise. The columns, and the index (None for none)."""
    found = {label: key for label, key in (("code", market.code), ("date", market.date)) if key is not None}
    levels = [label for label, key in found.items() if key.level]
    index = None
    if levels and market.index is not None and len(levels) == market.index.nlevels:
        import pandas

        levels.sort(key=lambda label: market.levels.get(found[label].name, 0))
        names = [found[label].name for label in levels]
        if len(levels) == 1:
            index = pandas.Index(keys[levels[0]], name=names[0])
        else:
            index = pandas.MultiIndex.from_arrays([keys[label] for label in levels], names=names)
    out = {(key.name if key.name is not None else label): keys[label]
           for label, key in found.items() if index is None or label not in levels}
    return out, index


def resample(data: Any, period: str, *, code: Any = None, date: Any = None,
             columns: Optional[Mapping[str, Any]] = None, threads: Optional[int] = None) -> Any:
    """Bars of a longer period from the bars of one security or a whole
    market, read as the frame functions read it (code and date columns or
    pandas index levels, rows in any order), as a frame of the input's
    kind.

    `period`: "W" (calendar weeks, Monday to Sunday), "M", "Q" or "Y" from
    daily bars; "5min", "15min", "30min", "60min" or "D" from 1-minute bars,
    within the sessions 09:30-11:30 and 13:00-15:00 (a bar never spans the
    midday break; the opening auction minute joins the first bar). Open is
    the first, high the highest, low the lowest, close the last; volume and
    amount are summed. Rows without a close are not bars. Each bar is dated
    by its last trading day (minute bars by their last minute), in the
    dates' own form (text as datetime64). The result has the code and date
    (as index levels where the input's index is made of them, else
    columns), the bar fields present, and ``partial``: True on the last bar
    of a security whose period the market's latest date has not finished.
    Rows by code, then date."""
    number = PERIODS.get(period.upper()) if isinstance(period, str) else None
    if number is None:
        raise ValueError(f"unknown period {period!r}; choose from: W, M, Q, Y, 5min, 15min, 30min, 60min, D")
    market = _market(data, code, date, columns)
    prices = _bar_columns(market, tuple(_FIELDS))
    close = prices["close"]
    assert close is not None
    read = _market_stamps(market)
    (ids,), back = _key_ids(market)
    result = _native.resample(ids, read.stamps, read.per_day == _MINUTES_PER_DAY, number, prices["open"],
                              prices["high"], prices["low"], close, prices["volume"], prices["amount"],
                              thread_count(threads))
    keys = {"date": _dates_back(np.asarray(result[1]), read, number < PERIODS["5MIN"] or number == PERIODS["D"])}
    if market.code is not None:
        keys["code"] = back(np.asarray(result[0]))
    out, index = _keys_back(market, keys)
    for field, block in zip(_FIELDS, result[2:8]):
        if prices[field] is not None:
            out[market.field_name(field)] = np.asarray(block)
    out["partial"] = np.asarray(result[8]).astype(bool)
    return market.build(out, index=index)


def _events(events: Any, market: Market, per_day: int) -> Tuple[Optional[np.ndarray], np.ndarray,
                                                                  List[Optional[np.ndarray]]]:
    """The events' codes (None without a code column), the first ticks of
    their ex-dates (`per_day` ticks a day), and their figures (None for a
    missing column)."""
    frame_kind(events)
    names = column_names(events)
    date = find(names, ("date",))
    if date is None:
        raise ValueError(f"the events have no date column; their columns are: {', '.join(map(repr, names))}")
    read = _stamps(events[date])
    days = read.stamps // read.per_day
    code = find(names, ("code",))
    if code is None and market.code is not None:
        raise ValueError("the events have no code column, the market has one")
    if code is not None and market.code is None:
        raise ValueError("the events have a code column, the market has none: pass the market's code column")
    figures = []
    for field in _EVENT_FIELDS:
        name = find(names, (field,))
        figures.append(None if name is None else np.ascontiguousarray(
            as_column(events[name], f"events column {name!r}"), dtype=np.float64))
    return (None if code is None else values(events[code])), days * per_day, figures


def report_missing(codes: np.ndarray) -> None:
    """Warns of events whose `codes` the market does not hold (one code per
    event), naming the caller's line outside the package; nothing when
    there are none."""
    if len(codes):
        missing = list(dict.fromkeys(codes.tolist()))
        warnings.warn(f"{len(codes)} events name codes the market does not hold, and adjust nothing: "
                      f"{', '.join(map(str, missing[:10]))}{' ...' if len(missing) > 10 else ''}",
                      stacklevel=_outside_level())


def _outside_level() -> int:
    """The stacklevel at which a warning of the caller names the first
    frame outside this package (the user's call, however deep the
    package's own calls went)."""
    package = os.path.dirname(os.path.abspath(__file__))
    level, frame = 2, sys._getframe(2)
    while os.path.abspath(frame.f_code.co_filename).startswith(package + os.sep) and frame.f_back is not None:
        frame, level = frame.f_back, level + 1
    return level


def adjust(market: Any, events: Any = None, how: Optional[str] = None, *, anchor: Any = None, per: float = 1,
           factor: Any = None, volume: bool = False, code: Any = None, date: Any = None,
           columns: Optional[Mapping[str, Any]] = None, threads: Optional[int] = None) -> Any:
    """The market (or one security) with open, high, low and close adjusted
    across ex-dates, and volume too when `volume` (divided where prices are
    multiplied): every row and column of the input, in its order.

    `how`: "forward" (the latest prices stay, the default) or "backward"
    (the earliest stay); or `anchor=` a date whose prices stay.

    `events`: a frame or mapping with ``code`` (when the market has codes),
    ``date`` (the ex-date), and any of ``cash`` (dividend per share),
    ``bonus`` (bonus and capitalisation shares per share), ``rights``
    (rights shares per share) and ``rights_price``; missing columns and
    values count as 0, and `per=10` reads figures per ten shares. Events of
    codes the market lacks are reported with a warning. Or `factor=`: a
    cumulative adjustment factor (a column name of the market, or values
    for its rows), the prices scaled by factor / the factor at the anchor.
    The formula and the order of the operations: docs/guide.md."""
    if (events is None) == (factor is None):
        raise TypeError("adjust takes events or factor=, one of them")
    if how is not None and anchor is not None:
        raise ValueError("give how= or anchor=, not both")
    if anchor is None and (how or "forward") not in ("forward", "backward"):
        raise ValueError(f"how must be 'forward' or 'backward', not {how!r}")
    if not isinstance(volume, (bool, np.bool_)):
        raise TypeError("volume must be a bool")
    bars = _market(market, code, date, columns)
    prices = _bar_columns(bars, _ADJUSTED)
    close = prices["close"]
    assert close is not None
    read = _market_stamps(bars, compact=False)
    kind, at = (1 if how == "backward" else 0), 0
    if anchor is not None:
        anchor_read = _stamps(np.asarray([anchor]))
        day = int(anchor_read.stamps[0]) // anchor_read.per_day
        kind, at = 2, day * read.per_day + read.per_day - 1  # the anchor day's last tick
    per = float(per)
    if events is not None:
        event_codes, event_stamps, figures = _events(events, bars, read.per_day)
        if event_codes is None:
            event_codes = np.zeros(len(event_stamps), dtype=np.int64)
        (ids, event_ids), _ = _key_ids(bars, event_codes, ordered=False)
        result = _native.adjust(ids, read.stamps, prices["open"], prices["high"], prices["low"], close,
                                prices["volume"], (event_ids, event_stamps, *figures), None, per, kind, at,
                                bool(volume), thread_count(threads), read.per_day)
        report_missing(event_codes[list(result[5])])
    else:
        if isinstance(factor, str):
            factor = bars.column(bars.lookup(factor, "factor"))
        factors = np.ascontiguousarray(as_column(factor, "factor"), dtype=np.float64)
        if len(factors) != bars.length:
            raise ValueError(f"the factor has {len(factors)} values, the bars {bars.length}")
        (ids,), _ = _key_ids(bars, ordered=False)
        result = _native.adjust(ids, read.stamps, prices["open"], prices["high"], prices["low"], close,
                                prices["volume"], None, factors, per, kind, at, bool(volume), thread_count(threads),
                                read.per_day)
    adjusted = {bars.field_name(f): np.asarray(block) for f, block in zip(_ADJUSTED, result[:5])
                if prices[f] is not None and (f != "volume" or volume)}
    if bars.kind == "polars":
        import polars

        return market.with_columns([polars.Series(str(n), v) for n, v in adjusted.items()])
    out = {n: adjusted[n] if n in adjusted else market[n] for n in bars.names}
    return bars.build(out, index=bars.index)
