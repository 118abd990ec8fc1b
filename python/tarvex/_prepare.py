"""The bars a frame function computes on when asked for adjusted prices or
longer periods: the caller's bars adjusted across ex-dates (``adjust=``),
then gathered into bars of a longer period (``period=``), in one call."""
from __future__ import annotations

from typing import Any, Mapping, Optional

import numpy as np

from ._columns import Market, take_rows
from ._periods import adjust as adjusted
from ._periods import resample

__all__ = ["prepare"]


def prepare(data: Any, *, period: Optional[str] = None, adjust: Any = None, code: Any = None, date: Any = None,
            columns: Optional[Mapping[str, Any]] = None, duplicates: str = "raise", rows: Optional[np.ndarray] = None,
            threads: Optional[int] = None) -> Any:
    """`data` (only its `rows`, when given) forward-adjusted across the
    ex-dates of the events `adjust` as tarvex.adjust reads them, then
    gathered into bars of `period` as tarvex.resample gathers them: a frame
    whose code, date and bar columns keep their names, so `code=`, `date=`
    and `columns=` still find them. `data` itself when there is nothing to
    do.

    A repeated (code, date) is refused or resolved by `duplicates` first,
    as the frame functions do: a period would otherwise add a repeated
    day's volume twice."""
    if period is None and adjust is None and rows is None:
        return data
    market = Market(data, code=code, date=date, columns=columns, duplicates=duplicates)
    keep = np.sort(market.rows) if rows is None else np.intersect1d(market.rows, rows)
    if len(keep) < market.length:
        data = take_rows(data, keep)
    if adjust is not None:
        data = adjusted(data, adjust, code=code, date=date, columns=columns, threads=threads)
    if period is not None:
        data = resample(data, period, code=code, date=date, columns=columns, threads=threads)
    return data

