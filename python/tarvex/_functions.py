"""The series functions and indicators over arrays: one wrapper per native
routine, its argument kinds from the native routine table, and its
parameters, defaults, documentation and annotations from the registry's
catalog."""
from __future__ import annotations

import inspect
from collections import namedtuple
from typing import Any, Callable, Dict, List, Optional, Tuple, Union  # noqa: F401 (annotations)

import numpy as np
from numpy.typing import ArrayLike  # noqa: F401 (annotations)

from . import _native
from ._arguments import U32_MAX as _U32_MAX
from ._arguments import U64_MAX as _U64_MAX
from ._arguments import integer as _integer
from ._arguments import number as _number
from ._arguments import starts as _starts
from ._arguments import threads as _threads
from ._arrays import Shape, as_column, is_scalar
from ._catalog import TYPE_TEXT, catalog, docstring
from ._catalog import function as function_record

# Output names of the indicators with several lines: the field names of the
# whole-market tables.
OUTPUTS: Dict[str, Tuple[str, ...]] = {r.name: r.fields for r in catalog("function") if len(r.fields) > 1}

def default_threads() -> int:
    """The number of threads a whole-market call (``starts=``, `batch`,
    `batch_cross`, formulas over a market) uses when not given ``threads=``:
    ``TARVEX_THREADS`` when it is set to a positive integer, else the
    processor count."""
    return int(_native.default_threads())


# The annotations of the wrappers' parameters by native kind, as the stubs
# write them; the names they use are this module's globals.
_ANNOTATIONS: Dict[str, str] = TYPE_TEXT


class Function:
    """One native routine as a Python function over columns."""

    def __init__(self, index: int, name: str, kinds: str, scalar_result: bool) -> None:
        record = function_record(name)
        params = [inspect.Parameter(p.name, inspect.Parameter.POSITIONAL_OR_KEYWORD,
                                    default=inspect.Parameter.empty if p.default is None else p.default)
                  for p in record.params]
        # A rounded indicator takes its rounding last: `digits`, keyword only,
        # three decimals unless the caller says (None: no rounding).
        self.rounds = kinds.endswith("r")
        if self.rounds:
            params.append(inspect.Parameter("digits", inspect.Parameter.KEYWORD_ONLY, default=3))
        if len(params) != len(kinds):
            raise ImportError(f"tarvex: {name} takes {len(params)} arguments natively, not {len(kinds)}")
        self.index = index
        self.name = name
        self.kinds = kinds
        self.scalar_result = scalar_result
        self.params = [p.name for p in params]
        self.defaults = {p.name: p.default for p in params if p.default is not inspect.Parameter.empty}
        self.outputs = OUTPUTS.get(name)
        self.result_type: Any = namedtuple(name, self.outputs) if self.outputs else None
        params = [p.replace(annotation=_ANNOTATIONS[k]) for p, k in zip(params, kinds)]
        positional = [p for p in params if p.kind != inspect.Parameter.KEYWORD_ONLY]
        keyword = [p for p in params if p.kind == inspect.Parameter.KEYWORD_ONLY] + [
            inspect.Parameter("starts", inspect.Parameter.KEYWORD_ONLY, default=None, annotation="Optional[ArrayLike]"),
            inspect.Parameter("threads", inspect.Parameter.KEYWORD_ONLY, default=None, annotation="Optional[int]"),
        ]
        self.signature = inspect.Signature(positional + keyword, return_annotation="Any")
        self.positional = len(positional)
        self.filled = tuple(self.defaults.get(p, _REQUIRED) for p in self.params)
        # What the quick path checks, slot by slot, grouped by kind: the
        # series, the integers with their bound (a rounding also takes
        # None), and the slots that take a number or a series ("v") or a
        # float or an integer ("f").
        self.series_slots = tuple(i for i, k in enumerate(kinds) if k == "s")
        self.integer_slots = tuple((i, _U64_MAX if k == "u" else _U32_MAX, k == "r")
                                   for i, k in enumerate(kinds) if k in "udr")
        self.other_slots = tuple((i, k) for i, k in enumerate(kinds) if k in "vf")

    def bind(self, args: Tuple[Any, ...], kwargs: Dict[str, Any]) -> List[Any]:
        """The arguments in parameter order, defaults filled in. Positional
        calls take a short path; anything else (and every error) goes through
        the signature, which words the errors as Python does."""
        if not kwargs and len(args) <= self.positional:
            missing = self.params[len(args):]
            if all(p in self.defaults for p in missing):
                return [*args, *(self.defaults[p] for p in missing)]
        bound = self.signature.bind(*args, **kwargs)
        bound.apply_defaults()
        return [bound.arguments[p] for p in self.params]

    def quick(self, args: Tuple[Any, ...], kwargs: Dict[str, Any]) -> Any:
        """The result of a call whose series are exact one-dimensional
        float64 arrays of one length and whose numbers plain ints and floats
        in range, given positionally (and `digits` by keyword), straight
        from the native routine; None for any other call, which the general
        path binds, converts and words the errors of. The results are those
        of the general path: it makes the same native call."""
        count = len(args)
        if count > self.positional:
            return None
        if kwargs:
            if not self.rounds or len(kwargs) != 1 or "digits" not in kwargs:
                return None
            values = (*args, *self.filled[count:-1], kwargs["digits"])
        else:
            values = (*args, *self.filled[count:])
        length = -1
        for i in self.series_slots:
            value = values[i]
            if type(value) is not np.ndarray or value.dtype is not _FLOAT64 or value.ndim != 1:
                return None
            if len(value) != length:
                if length >= 0:
                    return None
                length = len(value)
        for i, high, rounding in self.integer_slots:
            value = values[i]
            if type(value) is not int or not 0 <= value <= high:
                if value is not None or not rounding:
                    return None
        for i, kind in self.other_slots:
            value = values[i]
            kind_of = type(value)
            if kind_of is np.ndarray and kind == "v":
                if value.dtype is not _FLOAT64 or value.ndim != 1:
                    return None
                if len(value) != length:
                    if length >= 0:
                        return None
                    length = len(value)
            elif kind_of is int and kind == "f":
                if not 0 <= value <= _U32_MAX:
                    return None
            elif kind_of is not float:
                return None
        if length < 0:
            return None
        results = _native.call(self.index, values, None, 0)
        if self.scalar_result:
            return float(np.asarray(results[0])[0])
        if self.outputs is None:
            return np.asarray(results[0])
        return tuple.__new__(self.result_type, map(np.asarray, results))

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        starts = kwargs.pop("starts", None)
        threads = kwargs.pop("threads", None)
        values = self.bind(args, kwargs)
        wide = _Wide.of(self, values)
        if wide is not None:
            if starts is not None:
                raise TypeError(f"{self.name}(): starts= takes one-dimensional series, not a two-dimensional one")
            return wide.call(self, values, threads)
        shape = Shape(values)
        native_args = self.convert(values)
        results = _native.call(self.index, tuple(native_args), _starts(starts), _threads(threads))
        arrays = [np.asarray(r) for r in results]
        if self.scalar_result and starts is None:
            return float(arrays[0][0])
        if self.scalar_result:
            return arrays[0]
        if self.outputs is None:
            return shape.wrap(arrays[0], self.name)
        return self.result_type(*(shape.wrap(a, f) for a, f in zip(arrays, self.outputs)))

    def convert(self, values: List[Any]) -> List[Any]:
        """Native arguments: columns as float64 arrays of one length, numbers
        checked; a number given for a series is broadcast to that length."""
        out: List[Any] = [None] * len(values)
        length: Optional[int] = None
        first: Optional[str] = None
        pending = []
        index: Any = None
        for i, (param, kind, value) in enumerate(zip(self.params, self.kinds, values)):
            if kind in "sv" and not is_scalar(value):
                index = self.aligned(index, param, value)
                column = as_column(value, f"{self.name}() argument '{param}'")
                if length is None:
                    length, first = len(column), param
                elif len(column) != length:
                    raise ValueError(
                        f"{self.name}(): '{first}' has {length} values but '{param}' has {len(column)}; "
                        "series must have the same length")
                out[i] = column
            elif kind == "s":
                pending.append(i)
                out[i] = _number(param, value)
            elif kind == "v":
                out[i] = _number(param, value)
            elif kind == "u":
                out[i] = _integer(param, value, _U64_MAX)
            elif kind == "d":
                out[i] = _integer(param, value, _U32_MAX)
            elif kind == "r":
                out[i] = None if value is None else _integer(param, value, _U32_MAX)
            else:
                out[i] = _number(param, value)
        if pending and length is None:
            raise TypeError(f"{self.name}() needs at least one series, got only numbers")
        for i in pending:
            out[i] = np.full(length or 0, out[i], dtype=np.float64)
        return out


    def aligned(self, first: Any, param: str, value: Any) -> Any:
        """(name, index) of the first pandas Series argument; ValueError when
        `value`, another, has a different index: combined by position, its
        rows would meet another date's."""
        if type(value) in _PLAIN or not hasattr(value, "index") or type(value).__name__ != "Series":
            return first
        if first is None:
            return param, value.index
        name, index = first
        if value.index is not index and not value.index.equals(index):
            raise ValueError(f"{self.name}(): the pandas Series '{name}' and '{param}' have different indexes; "
                             f"align them first (a, b = a.align(b)) or pass arrays, which are taken by position")
        return first


_PLAIN = frozenset({np.ndarray, float, int, bool, type(None), list, tuple})
_FLOAT64 = np.dtype(np.float64)
_REQUIRED = object()  # a parameter without a default, in Function.filled


class _Wide:
    """Two-dimensional series: a pandas DataFrame of one field (dates down,
    securities across) or a 2-D array of real numbers, computed column by
    column as one long column of segments, and the results back in the
    same shape and labels."""

    def __init__(self, shape: Tuple[int, int], frame: Any) -> None:
        self.shape, self.frame = shape, frame

    @staticmethod
    def of(function: Function, values: List[Any]) -> Optional["_Wide"]:
        found: List[Tuple[str, Any]] = [(p, v) for p, k, v in zip(function.params, function.kinds, values)
                                         if k in "sv" and not is_scalar(v) and type(v) is not list]
        wide = [(p, v) for p, v in found if _two_dimensional(v)]
        if not wide:
            return None
        name, first = wide[0]
        for param, value in found:
            if not _two_dimensional(value):
                raise ValueError(f"{function.name}(): '{name}' is two-dimensional but '{param}' is not; "
                                 "give every series in one shape")
            if np.shape(value) != np.shape(first):
                raise ValueError(f"{function.name}(): '{name}' has shape {np.shape(first)} but '{param}' "
                                 f"{np.shape(value)}; series must have the same shape")
        frames = [(p, v) for p, v in wide if not isinstance(v, np.ndarray)]
        for param, value in frames[1:]:
            base, other = frames[0]
            if not (other.index.equals(value.index) and other.columns.equals(value.columns)):
                raise ValueError(f"{function.name}(): the DataFrames '{base}' and '{param}' have different "
                                 "indexes or columns; align them first")
        rows, cols = np.shape(first)
        return _Wide((int(rows), int(cols)), frames[0][1] if frames else None)

    def call(self, function: Function, values: List[Any], threads: Optional[int]) -> Any:
        rows, cols = self.shape
        args = [_long(v, f"{function.name}() argument '{p}'") if k in "sv" and _two_dimensional(v) else v
                for p, k, v in zip(function.params, function.kinds, values)]
        if rows == 0 or cols == 0:
            results: Any = [np.empty(rows * cols)] * max(1, len(function.outputs or ()))
            if function.scalar_result:
                results = [np.full(cols, np.nan)]
        else:
            out = function(**dict(zip(function.params, args)), starts=np.arange(cols) * rows, threads=threads)
            results = list(out) if isinstance(out, tuple) else [out]
        shaped = [self.wrap(r, function.scalar_result) for r in results]
        if function.outputs is None:
            return shaped[0]
        return function.result_type(*shaped)

    def wrap(self, values: np.ndarray, per_column: bool) -> Any:
        rows, cols = self.shape
        if per_column:  # one number per security
            if self.frame is None:
                return values
            import pandas

            return pandas.Series(values, index=self.frame.columns)
        grid = values.reshape(cols, rows).T
        if self.frame is None:
            return grid
        import pandas

        return pandas.DataFrame(grid, index=self.frame.index, columns=self.frame.columns, copy=False)


def _two_dimensional(value: Any) -> bool:
    if isinstance(value, np.ndarray):
        return value.ndim == 2
    kind = type(value)
    return kind.__name__ == "DataFrame" and (kind.__module__ or "").startswith("pandas")


def _long(value: Any, what: str) -> np.ndarray:
    """The columns of a 2-D series back to back, as float64."""
    if isinstance(value, np.ndarray):
        if value.dtype.kind not in "biuf":
            raise TypeError(f"{what} must hold real numbers, got dtype {value.dtype}")
        return np.asarray(value, dtype=np.float64).ravel(order="F")
    for column, dtype in value.dtypes.items():
        if getattr(dtype, "kind", "O") not in "biuf" and not hasattr(dtype, "numpy_dtype"):
            raise TypeError(f"{what} must hold real numbers, but column {column!r} has dtype {dtype}")
    return np.asarray(value.to_numpy(dtype=np.float64, na_value=np.nan)).ravel(order="F")


def _make(function: Function) -> Callable[..., Any]:
    quick = function.quick

    def call(*args: Any, **kwargs: Any) -> Any:
        result = quick(args, kwargs)
        return function(*args, **kwargs) if result is None else result

    call.__name__ = call.__qualname__ = function.name
    call.__signature__ = function.signature  # type: ignore[attr-defined]
    call.__doc__ = docstring(function_record(function.name))
    call.__module__ = "tarvex"
    return call


FUNCTIONS: Dict[str, Function] = {
    r.name: Function(i, r.name, r.kinds, r.scalar_result) for i, r in enumerate(catalog("function"))
}
EXPORTED: Dict[str, Callable[..., Any]] = {name: _make(f) for name, f in FUNCTIONS.items()}
