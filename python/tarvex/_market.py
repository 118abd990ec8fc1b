"""Whole markets in column form: many indicators for many securities in one
call, their crossing signals, and composite indices. Same rows and values as
`tarvex_core.BATCH`, `BATCH_CROSS` and `ZHISHU`, with NumPy columns in and a
dict of NumPy columns out, the securities spread over every core."""
from __future__ import annotations

import operator
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from ._native import batch as _batch
from ._native import zhishu as _zhishu
from ._arrays import as_column
from ._catalog import table, unsupported_names_listed
from ._arguments import U64_MAX, integer
from ._arguments import threads as thread_count

if TYPE_CHECKING:
    from ._native import _Block

# The parts of a composite index's result, as tarvex_core.ZHISHU returns them.
ZHISHU_FIELDS = tuple(name for name, _ in table("ZHISHU")["results"])


def _names(names_in: Sequence[str]) -> List[str]:
    if isinstance(names_in, str) or not all(isinstance(n, str) for n in names_in):
        raise TypeError("names_in must be a list of indicator names")
    return [n.lower() for n in names_in]


def _params(params_in: Sequence[Sequence[int]]) -> List[List[int]]:
    return [[integer("indicator parameters", v, U64_MAX) for v in values] for values in params_in]


# Code and date columns go to the native layer as contiguous 64-bit arrays,
# read in place: a column that already is one is passed as it is (a
# non-negative int64 column is viewed as uint64, the same bits).
def _codes(code: Any) -> np.ndarray:
    values = np.asarray(code)
    if values.ndim != 1 or (values.size and values.dtype.kind not in "iub"):
        raise TypeError(f"code must be a one-dimensional array of integers, got dtype {values.dtype}")
    if values.dtype.kind == "i" and values.size and values.min() < 0:
        raise OverflowError("codes must not be negative")
    values = np.ascontiguousarray(values, dtype=np.int64 if values.dtype == np.int64 else np.uint64)
    return values.view(np.uint64)


def _dates(date: Any) -> np.ndarray:
    values = np.asarray(date)
    if values.ndim != 1 or (values.size and values.dtype.kind not in "iu"):
        raise TypeError(f"date must be a one-dimensional array of integers, got dtype {values.dtype}")
    if values.dtype == np.uint64 and values.size and values.max() > np.iinfo(np.int64).max:
        raise OverflowError("dates must fit a signed 64-bit integer")
    return np.ascontiguousarray(values, dtype=np.int64)


def _columns(named: Dict[str, Any]) -> List[np.ndarray]:
    return [as_column(v, k) for k, v in named.items()]


def _table(result: Tuple[_Block, _Block, Tuple[str, ...], Tuple[_Block, ...], Any, int]) -> Dict[str, np.ndarray]:
    codes, dates, fields, columns = result[:4]
    table = {"code": np.asarray(codes), "date": np.asarray(dates)}
    for f, c in zip(fields, columns):
        table[f] = np.asarray(c)
    return table


def _engine(cross: bool, keep_values: bool, names_in: Any, params_in: Any, code: Any, date: Any, open: Any,
            high: Any, low: Any, close: Any, volume: Any, threads: Optional[int], sources: bool
            ) -> Tuple[_Block, _Block, Tuple[str, ...], Tuple[_Block, ...], Any, int]:
    open, high, low, close, volume = _columns(dict(open=open, high=high, low=low, close=close, volume=volume))
    with unsupported_names_listed():
        return _batch(cross, keep_values, _names(names_in), _params(params_in), _codes(code), _dates(date),
                      open, high, low, close, volume, thread_count(threads), sources)


def _run_batch(cross: bool, keep_values: bool, names_in: Any, params_in: Any, code: Any, date: Any,
               open: Any, high: Any, low: Any, close: Any, volume: Any, threads: Optional[int]) -> Dict[str, np.ndarray]:
    return _table(_engine(cross, keep_values, names_in, params_in, code, date, open, high, low, close, volume,
                          threads, False))


def sourced_table(cross: bool, keep_values: bool, names_in: List[str], params_in: List[List[int]], code: np.ndarray,
                  date: np.ndarray, bars: Sequence[np.ndarray], threads: Optional[int], sources: bool
                  ) -> Tuple[Dict[str, np.ndarray], Optional[np.ndarray], int]:
    """The BATCH (or BATCH_CROSS) table of columns given as the engine reads
    them, each row's input row (with `sources`, else None), and how many
    rows repeat the code and date of the row before them."""
    open, high, low, close, volume = bars
    result = _engine(cross, keep_values, names_in, params_in, code, date, open, high, low, close, volume, threads,
                     sources)
    return _table(result), None if result[4] is None else np.asarray(result[4]), result[5]


def batch(names_in: Sequence[str], params_in: Sequence[Sequence[int]], code: Any, date: Any, open: Any, high: Any,
          low: Any, close: Any, volume: Any, *, threads: Optional[int] = None) -> Dict[str, np.ndarray]:
    """Indicators for every security of a price table: `tarvex_core.BATCH`
    over NumPy columns.

    Rows with a finite close are kept, grouped by ascending code and ordered
    by date within a code. Returns a dict of columns: ``code`` (uint64),
    ``date`` (int64), then one float64 column per indicator field in the
    order of `names_in` (``dif``, ``dea``, ``macd``, ``ma5`` ...)."""
    return _run_batch(False, False, names_in, params_in, code, date, open, high, low, close, volume, threads)


def batch_cross(names_in: Sequence[str], params_in: Sequence[Sequence[int]], code: Any, date: Any, open: Any,
                high: Any, low: Any, close: Any, volume: Any, keep_values: bool, *,
                threads: Optional[int] = None, min_bars: int = 0) -> Dict[str, np.ndarray]:
    """Crossing signals of each indicator's fast and slow line:
    `tarvex_core.BATCH_CROSS` over NumPy columns (+1.0 up, -1.0 down,
    0.0 otherwise; ``cross`` combines several pairs). `min_bars` silences
    each security's first bars: 0.0 there."""
    if not isinstance(keep_values, (bool, np.bool_)):
        raise TypeError("keep_values must be a bool")
    if isinstance(min_bars, (bool, np.bool_)) or operator.index(min_bars) < 0:
        raise ValueError(f"min_bars must be a whole number from 0 up, not {min_bars!r}")
    table = _run_batch(True, bool(keep_values), names_in, params_in, code, date, open, high, low, close, volume,
                       threads)
    if min_bars:
        silence_first(table, operator.index(min_bars))
    return table


def silence_first(table: Dict[str, np.ndarray], bars: int) -> None:
    """Sets the signal columns ("cross", "..._cross") of a crossing table to
    0.0 on each security's first `bars` rows (the rows run by code)."""
    codes = table["code"]
    if len(codes) == 0:
        return
    starts = np.concatenate(([0], np.flatnonzero(codes[1:] != codes[:-1]) + 1))
    position = np.arange(len(codes)) - np.repeat(starts, np.diff(np.append(starts, len(codes))))
    early = position < bars
    for name, column in table.items():
        if name == "cross" or name.endswith("_cross"):
            column[early] = 0.0


def zhishu(code: Any, date: Any, open: Any, high: Any, low: Any, close: Any, volume: Any, amount: Any,
           float_mv: Any, total_mv: Any, method: int = 1, base: float = 1000.0) -> Dict[str, np.ndarray]:
    """Daily composite index bars from constituent rows: `tarvex_core.ZHISHU`
    over NumPy columns. Returns ``date`` (int64), ``open``, ``high``, ``low``,
    ``close``, ``change`` (percent), ``volume``, ``amount`` and ``count``
    (uint64, the constituents used)."""
    open, high, low, close, volume, amount, float_mv, total_mv = _columns(dict(
        open=open, high=high, low=low, close=close, volume=volume, amount=amount, float_mv=float_mv,
        total_mv=total_mv))
    method = integer("method", method, U64_MAX)
    if not 1 <= method <= 5:
        raise ValueError("method must be 1..5")
    result = _zhishu(_codes(code), _dates(date), open, high, low, close, volume, amount, float_mv, total_mv,
                            method, float(base))
    return {f: np.asarray(r) for f, r in zip(ZHISHU_FIELDS, result)}
