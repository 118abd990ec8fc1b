"""The words of the formula language: every series function and indicator
of the library, read with the language's meaning where the two differ.

A word's parameters carry a kind: "s" a series (a number is broadcast to
every bar), "c" a condition series (true where neither 0 nor NaN; the plan
turns it into 1.0 / 0.0 before the call), "v" a series or a number, "i" a
non-negative whole number, "f" any number. Each word computes through
`run(ctx, args)` with `ctx` giving the segment layout (see engine.Context).
"""
from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Tuple, Union, cast

import numpy as np

from . import native
from .native import Param

if TYPE_CHECKING:
    from .engine import Context

__all__ = ["Word", "vocabulary", "BAR_NAMES"]

# A word's computation: the segment layout and the arguments (float64
# columns and numbers) to one column, or a tuple of them for an indicator.
Run = Callable[["Context", List[Any]], Union[np.ndarray, Tuple[np.ndarray, ...]]]

# Bar columns and the names that read them.
BAR_NAMES = {
    "OPEN": "OPEN", "O": "OPEN", "HIGH": "HIGH", "H": "HIGH", "LOW": "LOW", "L": "LOW",
    "CLOSE": "CLOSE", "C": "CLOSE", "VOL": "VOL", "V": "VOL", "VOLUME": "VOL",
    "AMOUNT": "AMOUNT", "AMO": "AMOUNT",
}

# Words whose first parameter the library tests as "not 0.0" (NaN true) or
# sums as numbers, but the language reads as a condition (NaN false).
_CONDITIONS = frozenset({
    "IF", "COUNT", "EVERY", "EXIST", "LAST", "FILTER", "BARSLAST", "BARSLASTCOUNT", "BARSSINCEN", "VALUEWHEN",
})

# Words whose every value is 1.0 or 0.0 (no NaN): their results need no
# truth test when they feed a condition.
_BOOLEAN = frozenset({"CROSS", "LONGCROSS", "EVERY", "EXIST", "FILTER", "BETWEEN"})


class Word:
    """One word: its parameters (name, kind, default or None), output field
    names, the bar columns implied for an indicator's leading series inputs
    (None for a series function), and whether its values are 1.0 / 0.0."""

    __slots__ = ("name", "params", "outputs", "implied", "boolean", "run")

    def __init__(self, name: str, params: Tuple[Param, ...], outputs: Tuple[str, ...],
                 implied: Optional[Tuple[str, ...]], boolean: bool, run: Run) -> None:
        self.name, self.params, self.outputs = name, params, outputs
        self.implied, self.boolean, self.run = implied, boolean, run

    def field_index(self, field: str) -> Optional[int]:
        """Index of output `field` (upper case; a field spelt NAME_X also
        answers to X), or None."""
        lower = field.lower()
        prefix = self.name.lower() + "_"
        for k, out in enumerate(self.outputs):
            if lower == out or (out.startswith(prefix) and lower == out[len(prefix):]):
                return k
        return None


def _library(name: str) -> Run:
    return lambda ctx, args: native.call(name, args, ctx.starts, ctx.digits)


def _single(name: str, args: List[Any], ctx: Context) -> np.ndarray:
    """A function of one output line over the segments."""
    return cast(np.ndarray, native.call(name, args, ctx.starts, ctx.digits))


def _cross(ctx: Context, args: List[Any]) -> np.ndarray:
    # The library answers -1.0 for a downward cross; "A crosses B" is upward only.
    upward: np.ndarray = _single("CROSS", args, ctx) == 1.0
    return upward.astype(np.float64)


def _longcross(ctx: Context, args: List[Any]) -> np.ndarray:
    # The library takes the first n bars of a security as crossing whenever A
    # is above B; a cross needs n bars below before it.
    out = _single("LONGCROSS", args, ctx)
    return np.where(ctx.position() >= min(args[2], ctx.rows), out, 0.0)


def _std(ctx: Context, args: List[Any]) -> np.ndarray:
    # The language's STD is the sample deviation: the population deviation
    # of the library times sqrt(n / (n - 1)); undefined for n below 2.
    n = args[1]
    factor = math.sqrt(n / (n - 1)) if n >= 2 else math.nan
    return _single("STD", args, ctx) * factor


def _so_far(name: str, so_far: Callable[[Context, np.ndarray], np.ndarray]) -> Run:
    """The library's windowed `name`, or for N = 0 `so_far(ctx, x)` over
    every bar of the security so far."""
    def run(ctx: Context, args: List[Any]) -> np.ndarray:
        if args[1] != 0:
            return _single(name, args, ctx)
        return so_far(ctx, args[0])
    return run


def _bars_since_extreme(fold: np.ufunc, unbeatable: float) -> Callable[[Context, np.ndarray], np.ndarray]:
    # Bars back to the newest bar holding the extreme so far (NaN never
    # counts; a bar at `unbeatable` never beats the start, as in the
    # library's windows); 0 before any such bar.
    def run(ctx: Context, x: np.ndarray) -> np.ndarray:
        best = ctx.running(fold, x)
        row = np.arange(ctx.rows, dtype=np.float64)
        newest = ctx.running(np.maximum, np.where((x == best) & (x != unbeatable), row, -1.0))
        return np.where(newest >= 0.0, row - newest, 0.0)
    return run


def _ret(ctx: Context, args: List[Any]) -> np.ndarray:
    # The value n bars back from each security's last bar, on all its bars.
    n = args[1]
    if n == 0:
        raise ValueError("n must be at least 1")
    ends = ctx.ends()
    picked = np.full(len(ends), np.nan)
    ok = ends - ctx.starts >= n
    picked[ok] = args[0][ends[ok] - n]
    return np.repeat(picked, ends - ctx.starts)


_OVERRIDES: Dict[str, Run] = {
    "CROSS": _cross, "LONGCROSS": _longcross, "STD": _std, "RET": _ret,
    # Conditions are 1.0 / 0.0 here: all true so far is a running minimum of 1.0.
    "EVERY": _so_far("EVERY", lambda ctx, x: ctx.running(np.minimum, x)),
    "HHV": _so_far("HHV", lambda ctx, x: ctx.running(np.maximum, x)),
    "LLV": _so_far("LLV", lambda ctx, x: ctx.running(np.minimum, x)),
    "HHVBARS": _so_far("HHVBARS", _bars_since_extreme(np.fmax, -np.inf)),
    "LLVBARS": _so_far("LLVBARS", _bars_since_extreme(np.fmin, np.inf)),
}

_VOCABULARY: Optional[Dict[str, Word]] = None


def vocabulary() -> Dict[str, Word]:
    """Every word of the language, by upper-case name."""
    global _VOCABULARY
    if _VOCABULARY is None:
        words: Dict[str, Word] = {}
        for name, info in native.catalog().items():
            params = list(info.params)
            if name in _CONDITIONS:
                params[0] = (params[0][0], "c", params[0][2])
            # An indicator: its series inputs all lead and all name bar columns.
            lead = next((k for k, p in enumerate(params) if p[1] != "s"), len(params))
            implied: Optional[Tuple[str, ...]] = None
            inputs = [p[0] for p in params[:lead]]
            if inputs and all(p in native.BAR_INPUTS for p in inputs) \
                    and all(p[1] != "s" for p in params[lead:]):
                implied = tuple(native.BAR_INPUTS[p] for p in inputs)
            run = _OVERRIDES.get(name) or _library(name)
            words[name] = Word(name, tuple(params), info.outputs, implied, name in _BOOLEAN, run)
        std = native.catalog()["STD"]
        words["STDP"] = Word("STDP", std.params, ("stdp",), None, False, _library("STD"))
        _VOCABULARY = words
    return _VOCABULARY
