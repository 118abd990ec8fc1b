"""The date column read as calendar parts, for the time words of the
language (DATE, YEAR, WEEKDAY, TIME, HOUR ...).

A date column may hold datetimes (NumPy, pandas or polars), date or
datetime objects (those with a time zone read on its clocks), ISO text ("2024-01-05", "2024-01-05 09:30"), or numbers
written as digits: YYYYMMDD, YYYYMMDDHHMM, YYYYMMDDHHMMSS, or the
language's own (year - 1900) * 10000 + month * 100 + day. A value that is
no valid date (a missing one, 20240231) gives NaN in every part.
"""
from __future__ import annotations

import datetime
from typing import Any, Dict

import numpy as np

__all__ = ["parts"]

_DAY = 86400


def parts(dates: np.ndarray) -> Dict[str, np.ndarray]:
    """float64 columns "year", "month", "day", "hour", "minute", "second"
    and "weekday" (0 Sunday ... 6 Saturday) of each date."""
    seconds = _seconds(dates)
    valid = seconds != np.iinfo(np.int64).min
    s = np.where(valid, seconds, 0)
    days = s // _DAY
    clock = s - days * _DAY
    day_stamp = days.astype("datetime64[D]")
    month_stamp = day_stamp.astype("datetime64[M]")
    months = month_stamp.astype(np.int64)
    out = {
        "year": months // 12 + 1970,
        "month": months % 12 + 1,
        "day": (day_stamp - month_stamp.astype("datetime64[D]")).astype(np.int64) + 1,
        "hour": clock // 3600,
        "minute": clock // 60 % 60,
        "second": clock % 60,
        "weekday": (days + 4) % 7,  # 1970-01-01 was a Thursday
    }
    return {k: np.where(valid, v.astype(np.float64), np.nan) for k, v in out.items()}


def _seconds(dates: np.ndarray) -> np.ndarray:
    """Seconds since 1970 as int64, the int64 minimum where no date."""
    kind = dates.dtype.kind
    if kind == "M":
        return dates.astype("datetime64[s]").astype(np.int64)
    if kind in "iuf":
        return _from_digits(dates.astype(np.float64))
    if kind in "OUS":
        return _from_objects(dates)
    raise ValueError(f"the date column holds {dates.dtype}, not dates")


def _from_objects(dates: np.ndarray) -> np.ndarray:
    flat = dates.astype(object)
    if all(isinstance(v, (int, float, np.integer, np.floating)) or (isinstance(v, str) and v.strip().isdigit())
           for v in flat):
        return _from_digits(np.array([float(v) for v in flat], dtype=np.float64))
    try:
        stamps = np.array([np.datetime64(_wall_clock(v), "s") if v is not None else np.datetime64("NaT")
                           for v in flat], dtype="datetime64[s]")
    except (TypeError, ValueError):
        try:  # pandas Timestamps and other datetime-like objects
            stamps = np.asarray(flat.tolist(), dtype="datetime64[s]")
        except (TypeError, ValueError):
            raise ValueError("the date column cannot be read as dates") from None
    return stamps.astype(np.int64)


def _wall_clock(v: Any) -> Any:
    """A datetime with a time zone as the time on the clocks of that zone."""
    return v.replace(tzinfo=None) if isinstance(v, datetime.datetime) and v.tzinfo is not None else v


def _from_digits(v: np.ndarray) -> np.ndarray:
    """Dates written as digits (see the module's notes)."""
    whole = np.isfinite(v) & (v == np.floor(v)) & (v > 0)
    v = np.where(whole, v, 0.0).astype(np.int64)
    clock = np.zeros_like(v)
    seconds_given = v >= 10**13
    minutes_given = (v >= 10**11) & ~seconds_given
    clock = np.where(seconds_given, v % 10**6, np.where(minutes_given, v % 10**4 * 100, clock))
    ymd = np.where(seconds_given, v // 10**6, np.where(minutes_given, v // 10**4, v))
    ymd = np.where(ymd < 10**7, ymd + 19000000, ymd)  # the language's own encoding
    year, month, day = ymd // 10000, ymd // 100 % 100, ymd % 100
    hour, minute, second = clock // 10000, clock // 100 % 100, clock % 100
    ok = whole & (year >= 1000) & (year <= 9999) & (month >= 1) & (month <= 12) & (day >= 1) \
        & (hour < 24) & (minute < 60) & (second < 60)
    first = ((np.where(ok, year, 1970) - 1970) * 12 + np.where(ok, month, 1) - 1).astype("datetime64[M]")
    next_first = (first + np.timedelta64(1, "M")).astype("datetime64[D]")
    days = first.astype("datetime64[D]").astype(np.int64) + np.where(ok, day, 1) - 1
    ok &= days < next_first.astype(np.int64)
    seconds = days * _DAY + hour * 3600 + minute * 60 + second
    return np.where(ok, seconds, np.iinfo(np.int64).min)
