"""The charting formula language: text like

    DIF:=EMA(C,12)-EMA(C,26); DEA:=EMA(DIF,9);
    CROSS(DIF,DEA) AND C>MA(C,20);

compiled once into a plan and run over one security's bars or over a whole
market at once.
"""
from __future__ import annotations

from typing import Any, List

import numpy as np

from .engine import FormulaResult, Line
from .errors import FormulaError
from .plan import Plan

__all__ = ["FormulaError", "FormulaResult", "Line", "Plan", "compile", "formula", "screen"]


def compile(text: str, **params: float) -> Plan:  # noqa: A001 - the public name of the operation
    """Compile formula text into a Plan; `params` declare the caller's
    parameters (N=9) with their default values."""
    return Plan(text, params)


def formula(text: str, bars: Any, *, code_column: Any = None, date_column: Any = None, **params: float) -> FormulaResult:
    """Run formula text over bars and return a FormulaResult.

    `bars` is a pandas or polars DataFrame or a mapping of arrays with
    columns open, high, low, close, volume (or vol) and amount, matched
    case-insensitively; only the columns the formula reads are needed.
    With a code column ("code" unless `code_column` names another) the
    bars are a whole market: every security is computed on its own, rows
    ordered by code then date ("date" unless `date_column` names another).
    """
    return Plan(text, params).run(bars, code_column=code_column, date_column=date_column)


def screen(text: str, market: Any, date: Any = None, *, code_column: Any = None, date_column: Any = None,
           lookahead: bool = False, **params: float) -> List[Any]:
    """The codes whose condition line (the last output line that is not a
    drawing) is true (neither 0 nor NaN) on `date`, or on each code's last
    bar when `date` is None, as a list in code order.

    A condition depending on a function that reads later bars (ZIG, REFX
    ...) is refused unless `lookahead` is True."""
    plan = Plan(text, params)
    condition = plan.only(plan.condition(lookahead))  # the other lines are not computed
    result = condition.run(market, code_column=code_column, date_column=date_column)
    starts = result._starts
    if result.codes is None or starts is None:
        raise FormulaError("screening needs a market with a code column")
    signal = result.lines[0].values
    if date is None:
        rows = np.append(starts[1:], len(signal)) - 1
        rows = rows[rows >= 0]
    else:
        if result.dates is None:
            raise FormulaError("screening on a date needs a date column")
        rows = np.flatnonzero(result.dates == _date_like(date, result.dates))
    hit = signal[rows]
    rows = rows[(hit != 0.0) & (hit == hit)]
    codes: List[Any] = result.codes[rows].tolist()
    return codes


def _date_like(date: Any, dates: np.ndarray) -> Any:
    """`date` in the form of the date column (a datetime64 column takes
    strings and timestamps)."""
    if dates.dtype.kind == "M":
        try:
            return np.asarray(date).astype(dates.dtype)
        except (TypeError, ValueError) as e:
            raise FormulaError(f"date {date!r} is not a date: {e}") from None
    return date
