"""The one seam between the formula engine and the library's functions.

`catalog()` describes every series function and indicator of the tarvex
package (parameters with their kinds and defaults, output field names);
`call()` computes one of them over long columns holding many securities
back to back, every segment on its own, natively and in one call.
"""
from __future__ import annotations

from typing import Any, Dict, Mapping, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from .._catalog import KINDS, Record, function
from .._catalog import catalog as _records
from .. import _native
from .._arguments import starts as _starts
from .._functions import EXPORTED, FUNCTIONS
from .._columns import BAR_COLUMNS
from .._periods import PERIODS, period_stamps

__all__ = ["FunctionInfo", "catalog", "call", "period_keys", "partial_bars", "period_stamps", "MINUTE_PERIODS"]

# The periods built from 1-minute bars, as resample names them.
MINUTE_PERIODS = frozenset(p for p in PERIODS if p.endswith("MIN"))

# The language's bar names by the bar field a series parameter names.
_BAR_WORDS = {columns[0]: word for word, columns in BAR_COLUMNS.items()}


class Param(NamedTuple):
    """A word's parameter: its name, its kind (see vocabulary) and its
    default (None: required)."""

    name: str
    kind: str
    default: Optional[float]

class FunctionInfo:
    """A library function: `params` is a tuple of (name, kind, default or
    None), `outputs` the lower-case field names (one for a single line),
    `lookahead` whether its value on a bar depends on later bars, `bars` the
    language's bar name each parameter names (None where it names none),
    `boolean` whether its every value is 1.0 or 0.0, `rowwise` whether its
    value on a bar reads only that bar of its arguments."""

    __slots__ = ("name", "params", "outputs", "lookahead", "bars", "boolean", "rowwise")

    def __init__(self, record: Record) -> None:
        # The formula language's kinds (see vocabulary); a series the
        # registry marks as a condition is "c". An indicator's rounding
        # ("r") is not a formula argument: a run's digits= sets it for every
        # indicator word.
        self.name = record.name
        self.params: Tuple[Param, ...] = tuple(
            Param(p.name, "c" if p.condition else KINDS[k].formula, p.default) for p, k in zip(record.params, record.kinds))
        self.outputs = record.fields
        self.lookahead = record.lookahead
        self.bars = tuple(None if p.column is None else _BAR_WORDS[p.column] for p in record.params)
        self.boolean = record.boolean
        self.rowwise = record.rowwise


_CATALOG: Optional[Dict[str, FunctionInfo]] = None


def catalog() -> Dict[str, FunctionInfo]:
    """FunctionInfo of every series function and indicator, by name."""
    global _CATALOG
    if _CATALOG is None:
        _CATALOG = {r.name: FunctionInfo(r) for r in _records("function")}
    return _CATALOG


def call(name: str, args: Sequence[Any], starts: np.ndarray, digits: Optional[int] = 3,
         commit: Optional[np.ndarray] = None) -> Union[np.ndarray, Tuple[np.ndarray, ...]]:
    """Function `name` over segments starting at `starts` (int64, ascending,
    from 0). Series arguments are float64 arrays of the full length, the
    others numbers; a rounded indicator is rounded to `digits` (None: not
    rounded). With `commit` (uint8, one per row) it runs in provisional
    mode: each row's value is the function's last value over the rows
    committed before it and the row itself. Returns one float64 array or a
    tuple of them."""
    if commit is not None:
        routine = FUNCTIONS[name]
        values = routine.convert([*args, digits] if routine.rounds else list(args))
        results = _native.call(routine.index, tuple(values), _starts(starts), 0, commit.tobytes(), 0)
        arrays = tuple(np.asarray(r) for r in results)
        return arrays if routine.outputs else arrays[0]
    rounding = {"digits": digits} if function(name).rounding is not None else {}
    result = EXPORTED[name](*args, starts=starts, **rounding)
    out: Union[np.ndarray, Tuple[np.ndarray, ...]] = tuple(result) if isinstance(result, tuple) else result
    return out


def period_keys(stamps: np.ndarray, minutes: bool, period: str) -> np.ndarray:
    """Each stamp's period (as resample names it; days, or minutes when
    `minutes`) as int64 keys ascending with the stamps."""
    return np.asarray(_native.period_keys(np.ascontiguousarray(stamps, dtype=np.int64), minutes, PERIODS[period]))


def partial_bars(keys: np.ndarray, starts: np.ndarray, columns: Mapping[str, np.ndarray]
                 ) -> Tuple[Dict[str, np.ndarray], np.ndarray]:
    """The bars of a period as they stand on each row, from the rows of
    segments starting at `starts`, each security's rows by stamp, every row
    with a finite close, `keys` each row's period (period_keys); `columns`
    holds the fields open, high, low, close, volume and amount (those
    present). Returns the same fields and each row's commit (uint8: 1 on
    the last row of a period in its segment)."""
    fields = ("open", "high", "low", "close", "volume", "amount")
    given = [columns.get(f) for f in fields]
    result = _native.partial_bars(np.ascontiguousarray(keys, dtype=np.int64),
                                  np.ascontiguousarray(starts, dtype=np.int64).tobytes(), given[0], given[1],
                                  given[2], given[3], given[4], given[5], 0)
    bars = {f: np.asarray(r) for f, r in zip(fields, result) if columns.get(f) is not None}
    return bars, (np.asarray(result[6]) != 0.0).astype(np.uint8)
