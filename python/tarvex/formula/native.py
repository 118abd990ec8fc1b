"""The one seam between the formula engine and the library's functions.

`catalog()` describes every series function and indicator of the tarvex
package (parameters with their kinds and defaults, output field names);
`call()` computes one of them over long columns holding many securities
back to back, every segment on its own, natively and in one call.
"""
from __future__ import annotations

from typing import Any, Dict, Optional, Sequence, Tuple, Union

import numpy as np

from .. import _catalog, _functions

__all__ = ["FunctionInfo", "catalog", "call", "BAR_INPUTS"]

# The indicators' series inputs that name bar columns.
BAR_INPUTS = {"open": "OPEN", "high": "HIGH", "low": "LOW", "close": "CLOSE", "vol": "VOL"}

# Parameter kinds of the package ("u" and "d" are unsigned 64- and 32-bit
# integers) as the formula language reads them: "s" a series, "v" a series
# or a number, "i" a non-negative whole number, "f" any number.
_KINDS = {"s": "s", "v": "v", "u": "i", "d": "i", "f": "f"}

# A parameter: (name, kind, default or None).
Param = Tuple[str, str, Optional[float]]

class FunctionInfo:
    """A library function: `params` is a tuple of (name, kind, default or
    None), `outputs` the lower-case field names (one for a single line),
    `lookahead` whether its value on a bar depends on later bars."""

    __slots__ = ("name", "params", "outputs", "lookahead")

    def __init__(self, name: str, params: Tuple[Param, ...], outputs: Tuple[str, ...], lookahead: bool) -> None:
        self.name, self.params, self.outputs, self.lookahead = name, params, outputs, lookahead


_CATALOG: Optional[Dict[str, FunctionInfo]] = None


def catalog() -> Dict[str, FunctionInfo]:
    """FunctionInfo of every series function and indicator, by name."""
    global _CATALOG
    if _CATALOG is None:
        _CATALOG = {}
        for name, fn in _functions.FUNCTIONS.items():
            # An indicator's rounding ("r") is not a formula argument: a run's
            # digits= sets it for every indicator word.
            params = tuple((p, _KINDS[k], fn.defaults.get(p)) for p, k in zip(fn.params, fn.kinds) if k != "r")
            outputs = tuple(fn.outputs or (name.lower(),))
            _CATALOG[name] = FunctionInfo(name, params, outputs, _catalog.function(name).lookahead)
    return _CATALOG


def call(name: str, args: Sequence[Any], starts: np.ndarray, digits: Optional[int] = 3
         ) -> Union[np.ndarray, Tuple[np.ndarray, ...]]:
    """Function `name` over segments starting at `starts` (int64, ascending,
    from 0). Series arguments are float64 arrays of the full length, the
    others numbers; a rounded indicator is rounded to `digits` (None: not
    rounded). Returns one float64 array or a tuple of them."""
    rounding = {"digits": digits} if _functions.FUNCTIONS[name].rounds else {}
    result = _functions.EXPORTED[name](*args, starts=starts, **rounding)
    out: Union[np.ndarray, Tuple[np.ndarray, ...]] = tuple(result) if isinstance(result, tuple) else result
    return out
