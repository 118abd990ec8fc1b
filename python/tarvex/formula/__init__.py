"""The charting formula language: text like

    DIF:=EMA(C,12)-EMA(C,26); DEA:=EMA(DIF,9);
    CROSS(DIF,DEA) AND C>MA(C,20);

compiled once into a plan and run over one security's bars or over a whole
market at once.
"""
from __future__ import annotations

from typing import Any, List, Mapping, Optional

import numpy as np

from .engine import FormulaResult, Line, Options, matching_rows, prepared, run_market
from .errors import FormulaError
from .plan import Plan

__all__ = ["FormulaError", "FormulaResult", "Line", "Plan", "compile", "formula", "screen"]


def compile(text: str, **params: float) -> Plan:  # noqa: A001 - the public name of the operation
    """Compile formula text into a Plan; `params` declare the caller's
    parameters (N=9) with their default values."""
    return Plan(text, params)


def formula(text: str, bars: Any, *, code: Any = None, date: Any = None, columns: Optional[Mapping[str, Any]] = None,
            duplicates: str = "raise", digits: Optional[int] = 3, min_bars: int = 0, code_column: Any = None,
            date_column: Any = None, period: Optional[str] = None, adjust: Any = None,
            **params: float) -> FormulaResult:
    """Run formula text over bars and return a FormulaResult.

    `bars` is a pandas or polars DataFrame or a mapping of arrays with
    columns open, high, low, close, volume (or vol) and amount, matched
    case-insensitively (`columns` maps fields to other names,
    {"close": "Adj Close"}); only the columns the formula reads are needed.
    A polars LazyFrame is refused with a FormulaError: collect() it first.

    With a code (a "code" column, or index level, unless `code` names
    another) the bars are a whole market: every security is computed on its
    own, rows ordered by code then date ("date" unless `date` names
    another). Without one they are one security, computed oldest first when
    there is a date (a date column, a DatetimeIndex), in the given order
    otherwise, the lines coming back on the input's rows. A repeated (code,
    date) raises ValueError unless `duplicates` is "first" or "last".
    `digits` rounds the indicator words that round (MACD, RSI, BOLL ...;
    None: unrounded, the default 3 the library's); `min_bars` leaves each
    security's first bars NaN on every line. `code_column` and
    `date_column` are older names of `code` and `date`; a parameter that
    shares a keyword's name is given in upper case (DATE=5).

    `adjust=` a frame of ex-date events runs on prices forward-adjusted as
    tarvex.adjust adjusts them; `period=` ("W", "M", "Q", "Y"; "5min" ...
    "60min", "D" from minute bars) runs on the bars of that period as
    tarvex.resample builds them (after adjusting): the lines are then on
    the period bars.
    """
    return Plan(text, params).run(bars, code=code, date=date, columns=columns, duplicates=duplicates, digits=digits,
                                  min_bars=min_bars, code_column=code_column, date_column=date_column, period=period,
                                  adjust=adjust)


def screen(text: str, market: Any, date: Any = None, *, code: Any = None, date_column: Any = None,
           columns: Optional[Mapping[str, Any]] = None, duplicates: str = "raise", digits: Optional[int] = 3,
           min_bars: int = 0, code_column: Any = None, lookahead: bool = False, period: Optional[str] = None,
           adjust: Any = None, **params: float) -> List[Any]:
    """The codes whose condition line (the last output line that is not a
    drawing) is true (neither 0 nor NaN) on `date`, or on each code's last
    bar when `date` is None, as a list in code order.

    Here `date` is the day screened; the date column is named by
    `date_column` ("date" by default). A `date` that cannot match the column
    (a number against datetimes, a timezone-aware datetime against naive
    ones, or the reverse) raises ValueError naming both types; text is read
    as a date against datetimes, in the column's time zone when it has one.
    `min_bars` passes no code on its first bars; a condition depending on a
    function that reads later bars (ZIG, REFX ...) is refused unless
    `lookahead` is True; the other keywords are those of `formula`.

    With `period=` or `adjust=` and a `date`, the bars are those known on
    that day: the rows up to it, adjusted across the ex-dates up to it, and
    its period bar the partial one that ends on it."""
    plan = Plan(text, params)
    condition = plan.only(plan.condition(lookahead))  # the other lines are not computed
    options = Options(code if code is not None else code_column, date_column, columns, duplicates, digits, min_bars)
    market = prepared(market, options, period, adjust, date)
    found, lines = run_market(condition, market, options, condition.values({}))
    if found.code is None:
        raise FormulaError("screening needs a market with a code column")
    signal, starts = lines[0], found.starts
    if date is None:
        picked = np.append(starts[1:], len(signal)) - 1 if len(signal) else np.zeros(0, dtype=np.int64)
    else:
        if found.date is None:
            raise FormulaError("screening on a date needs a date column")
        picked = matching_rows(date, found.date, found.rows)
    hit = signal[picked]
    picked = picked[(hit != 0.0) & (hit == hit)]
    codes: List[Any] = found.code.values_at(found.rows[picked]).tolist()
    return codes
