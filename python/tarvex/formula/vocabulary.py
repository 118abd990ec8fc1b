"""The words of the formula language: every series function and indicator
of the library, read with the language's meaning where the two differ, and
the words of the language alone (numbers, time and position, colours and
drawing) in one table, `_LANGUAGE`.

A word's parameters carry a kind: "s" a series (a number is broadcast to
every bar), "c" a condition series (true where neither 0 nor NaN; the plan
turns it into 1.0 / 0.0 before the call), "v" a series or a number, "k" a
price (a series, or 0 to 3 naming OPEN, HIGH, LOW, CLOSE), "i" a
non-negative whole number, "f" any number, "t" a single-quoted text. Each
word computes through `run(ctx, args)` with `ctx` giving the segment layout
and the dates (see context.Context).
"""
from __future__ import annotations

import math
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union, cast

import numpy as np

from .. import _native
from . import native
from .context import Context
from .native import Param
from .styles import rgb

__all__ = ["Word", "vocabulary", "BAR_NAMES", "PRICES"]

# A word's computation: the segment layout and the arguments (float64
# columns, numbers and texts) to one column, a tuple of them for an
# indicator (a drawing hands its arguments back), or a number (RGB).
Run = Callable[[Context, List[Any]], Union[np.ndarray, Tuple[Any, ...], float]]

# Bar columns and the names that read them.
BAR_NAMES = {
    "OPEN": "OPEN", "O": "OPEN", "HIGH": "HIGH", "H": "HIGH", "LOW": "LOW", "L": "LOW",
    "CLOSE": "CLOSE", "C": "CLOSE", "VOL": "VOL", "V": "VOL", "VOLUME": "VOL",
    "AMOUNT": "AMOUNT", "AMO": "AMOUNT",
}

# Words whose first parameter is a price: a column, or 0, 1, 2 or 3 naming
# OPEN, HIGH, LOW or CLOSE (parameter kind "k"; ZIG(3,5) is ZIG(CLOSE,5)).
_PRICE_SELECTORS = frozenset({"ZIG", "PEAK", "PEAKBARS", "TROUGH", "TROUGHBARS"})
PRICES = ("OPEN", "HIGH", "LOW", "CLOSE")


class Word:
    """One word: its parameters (name, kind, default or None), output field
    names, the bar columns implied for an indicator's leading series inputs
    (None for a series function), and whether its values are 1.0 / 0.0.

    `lookahead`: its value on a bar depends on later bars. `series`: it
    gives a column (RGB gives a number). `draws`: for a drawing, the
    indexes of the parameter its line shows and of the condition that
    masks it (or None); the drawing's `run` hands its arguments back.
    `rowwise`: each value depends only on the same row of its arguments,
    so the word may run on any slice of rows. `periodic`: it has a value
    inside a # period (the words reading a security's last bar have none).
    """

    __slots__ = ("name", "params", "outputs", "implied", "boolean", "run", "lookahead", "series", "draws", "rowwise",
                 "periodic")

    def __init__(self, name: str, params: Sequence[Tuple[str, str, Optional[float]]], outputs: Tuple[str, ...],
                 implied: Optional[Tuple[str, ...]], boolean: bool, run: Run, *, lookahead: bool = False,
                 series: bool = True, draws: Optional[Tuple[int, Optional[int]]] = None,
                 rowwise: bool = False, periodic: bool = True) -> None:
        self.name, self.outputs = name, outputs
        self.params: Tuple[Param, ...] = tuple(Param(*p) for p in params)
        self.implied, self.boolean, self.run = implied, boolean, run
        self.lookahead, self.series, self.draws, self.rowwise = lookahead, series, draws, rowwise
        self.periodic = periodic

    def field_index(self, field: str) -> Optional[int]:
        """Index of output `field` (upper case; a field spelt NAME_X also
        answers to X), or None."""
        lower = field.lower()
        prefix = self.name.lower() + "_"
        for k, out in enumerate(self.outputs):
            if lower == out or (out.startswith(prefix) and lower == out[len(prefix):]):
                return k
        return None


def _library(name: str, rowwise: bool = False) -> Run:
    # Inside a # period a word runs provisionally over the period's commits;
    # an element-wise one gives the same values either way.
    if rowwise:
        return lambda ctx, args: native.call(name, args, ctx.starts, ctx.digits)
    return lambda ctx, args: native.call(name, args, ctx.starts, ctx.digits, ctx.commit)


def _single(name: str, args: List[Any], ctx: Context) -> np.ndarray:
    """A function of one output line over the segments."""
    return cast(np.ndarray, native.call(name, args, ctx.starts, ctx.digits, ctx.commit))


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
    # library's windows); 0 before any such bar. Positions count the bars of
    # a period inside one.
    def run(ctx: Context, x: np.ndarray) -> np.ndarray:
        best = ctx.running(fold, x, unbeatable)
        row = ctx.position()
        newest = ctx.running(np.maximum, np.where((x == best) & (x != unbeatable), row, -1.0), -1.0)
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
    "EVERY": _so_far("EVERY", lambda ctx, x: ctx.running(np.minimum, x, np.inf)),
    "HHV": _so_far("HHV", lambda ctx, x: ctx.running(np.maximum, x, -np.inf)),
    "LLV": _so_far("LLV", lambda ctx, x: ctx.running(np.minimum, x, np.inf)),
    "HHVBARS": _so_far("HHVBARS", _bars_since_extreme(np.fmax, -np.inf)),
    "LLVBARS": _so_far("LLVBARS", _bars_since_extreme(np.fmin, np.inf)),
}

# Overrides whose every value is 1.0 or 0.0 where the library's are not.
_BOOLEAN_OVERRIDES = frozenset({"CROSS"})

# ---- the words of the language alone ----

def _numpy(ufunc: Callable[..., Any]) -> Run:
    """An exact element-wise NumPy operation over the arguments."""
    return lambda ctx, args: np.asarray(ufunc(*args), dtype=np.float64)


def _libm(name: str) -> Run:
    """The native element-wise word `name` (EXP, LOG, ATAN, ASIN, ACOS): the
    C library's function bar by bar, as the library's own LN and SIN use
    it; NumPy's vectorised versions round differently from one CPU to
    another."""
    def run(ctx: Context, args: List[Any]) -> np.ndarray:
        x = np.asarray(args[0], dtype=np.float64)
        return np.asarray(_native.each(name, np.ascontiguousarray(x.reshape(-1)))).reshape(x.shape)
    return run


def _calendar(ctx: Context, *fields: str) -> List[np.ndarray]:
    return [ctx.calendar()[f] for f in fields]


def _date(ctx: Context, args: List[Any]) -> np.ndarray:
    year, month, day = _calendar(ctx, "year", "month", "day")
    out: np.ndarray = (year - 1900.0) * 10000.0 + month * 100.0 + day
    return out


def _time(ctx: Context, args: List[Any]) -> np.ndarray:
    hour, minute, second = _calendar(ctx, "hour", "minute", "second")
    out: np.ndarray = hour * 10000.0 + minute * 100.0 + second
    return out


def _part(field: str) -> Run:
    return lambda ctx, args: ctx.calendar()[field]


def _total(ctx: Context) -> np.ndarray:
    lengths = ctx.ends() - ctx.starts
    return np.repeat(lengths, lengths).astype(np.float64)


def _bar_status(ctx: Context, args: List[Any]) -> np.ndarray:
    # 1 on a security's first bar, 2 on its last (a single bar is its last), else 0.
    first = np.where(ctx.position() == 0.0, 1.0, 0.0)
    return np.where(_total(ctx) - ctx.position() == 1.0, 2.0, first)


def _hand_back(ctx: Context, args: List[Any]) -> Tuple[Any, ...]:
    return tuple(args)


def _params(text: str) -> Tuple[Param, ...]:
    """Parameters written "name:kind" or "name:kind=default", space apart."""
    out: List[Param] = []
    for item in text.split():
        name, _, rest = item.partition(":")
        kind, _, default = rest.partition("=")
        out.append(Param(name, kind, float(default) if default else None))
    return tuple(out)


def _language() -> List[Word]:
    """The words the language has beyond the library's functions."""
    words: List[Word] = []

    def word(name: str, params: str, run: Run, **flags: Any) -> None:
        words.append(Word(name, _params(params), (name.lower(),), None, bool(flags.pop("boolean", False)), run,
                          **flags))

    # Numbers, element-wise.
    word("INTPART", "x:s", _numpy(np.trunc), rowwise=True)
    word("FRACPART", "x:s", _numpy(lambda x: x - np.trunc(x)), rowwise=True)
    word("MOD", "a:v b:v", _numpy(np.fmod), rowwise=True)
    word("SIGN", "x:s", _numpy(lambda x: np.sign(x) + 0.0), rowwise=True)
    word("FLOOR", "x:s", _numpy(np.floor), rowwise=True)
    word("CEILING", "x:s", _numpy(np.ceil), rowwise=True)
    word("REVERSE", "x:s", _numpy(lambda x: 0.0 - x), rowwise=True)
    for name in ("EXP", "LOG", "ATAN", "ASIN", "ACOS"):
        word(name, "x:s", _libm(name), rowwise=True)
    # Time, from the date column.
    word("DATE", "", _date)
    word("TIME", "", _time)
    for field in ("year", "month", "day", "weekday", "hour", "minute"):
        word(field.upper(), "", _part(field))
    # Position within each security.
    word("BARPOS", "", lambda ctx, args: ctx.position() + 1.0)
    # These read the security's last bar, which inside a # period is the current one.
    word("TOTALBARSCOUNT", "", lambda ctx, args: _total(ctx), periodic=False)
    word("CURRBARSCOUNT", "", lambda ctx, args: _total(ctx) - ctx.position(), periodic=False)
    word("ISLASTBAR", "", lambda ctx, args: np.where(_total(ctx) - ctx.position() == 1.0, 1.0, 0.0), boolean=True,
         periodic=False)
    word("BARSTATUS", "", _bar_status, periodic=False)
    # Colours and drawing.
    word("RGB", "red:f green:f blue:f", lambda ctx, args: rgb(*args), series=False)
    word("STICKLINE", "cond:c price1:s price2:s width:f empty:f=0", _hand_back, draws=(1, 0))
    word("DRAWTEXT", "cond:c price:s text:t", _hand_back, draws=(1, 0))
    word("DRAWICON", "cond:c price:s icon:f", _hand_back, draws=(1, 0))
    word("DRAWNUMBER", "cond:c price:s number:s", _hand_back, draws=(1, 0))
    word("POLYLINE", "cond:c price:s", _hand_back, draws=(1, 0))
    word("DRAWLINE", "cond1:c price1:s cond2:c price2:s expand:f=0", _hand_back, draws=(1, 0))
    word("DRAWKLINE", "high:s open:s low:s close:s", _hand_back, draws=(3, None))
    word("DRAWBAND", "value1:s colour1:f value2:s colour2:f", _hand_back, draws=(0, None))
    word("PARTLINE", "price:s cond1:c colour1:f=nan cond2:c=0 colour2:f=nan cond3:c=0 colour3:f=nan",
         _hand_back, draws=(0, None))
    return words


_VOCABULARY: Optional[Dict[str, Word]] = None


def vocabulary() -> Dict[str, Word]:
    """Every word of the language, by upper-case name."""
    global _VOCABULARY
    if _VOCABULARY is None:
        words: Dict[str, Word] = {}
        for name, info in native.catalog().items():
            # The library tests a condition as "not 0.0" (NaN true) or sums
            # it as numbers; the language reads it as a condition (NaN
            # false): the registry marks those parameters, kind "c".
            params = list(info.params)
            if name in _PRICE_SELECTORS:
                params[0] = params[0]._replace(kind="k")
            # An indicator: its series inputs all lead and all name bar columns.
            lead = next((k for k, p in enumerate(params) if p.kind != "s"), len(params))
            implied: Optional[Tuple[str, ...]] = None
            bars = info.bars[:lead]
            if bars and all(b is not None for b in bars) and all(p.kind != "s" for p in params[lead:]):
                implied = cast(Tuple[str, ...], bars)
            run = _OVERRIDES.get(name) or _library(name, info.rowwise)
            # A boolean word's values are 1.0 or 0.0 (no NaN): its result
            # needs no truth test when it feeds a condition.
            boolean = info.boolean or name in _BOOLEAN_OVERRIDES
            words[name] = Word(name, tuple(params), info.outputs, implied, boolean, run,
                               lookahead=info.lookahead, rowwise=info.rowwise, periodic=name != "RET")
        std = native.catalog()["STD"]
        words["STDP"] = Word("STDP", std.params, ("stdp",), None, False, _library("STD"))
        for word in _language():
            words.setdefault(word.name, word)
        # The spelling many shared formulas carry.
        words.setdefault("PLOYLINE", words["POLYLINE"])
        _VOCABULARY = words
    return _VOCABULARY
