"""DataFrames in, DataFrames out: indicators and crossing signals of one
security or a whole market, and composite indices, over pandas or polars
DataFrames (or mappings of arrays), computed by the batch engine.

Bar columns are found by name, ignoring case (``open``, ``high``, ``low``,
``close``, ``volume`` or ``vol``, ``amount``, ``float_mv``, ``total_mv``),
or named by the caller with ``columns={"close": "adj_close"}``.

- Without a code column the frame is one security, oldest bar first in the
  order given. The result keeps the frame's rows (and a pandas frame's
  index). A row whose close is missing (NaN or infinite) is not a bar, a
  suspended day say: it is skipped, its outputs are NaN, and the rows around
  it are computed as if it were not there, exactly as the batch engine drops
  it from a market.
- With a code column (``code`` unless ``code=`` names another) the frame is
  a market in any row order. Codes and dates may be of any type that sorts
  (strings such as "000001", integers, datetime64, dates); each is mapped to
  integers in its sorted order for the engine and back to the original
  values in the result, one row per kept row, by code then date.

Importing tarvex does not import pandas. The ``df.tarvex`` accessor is
registered as soon as both are imported, in either order.
"""
from __future__ import annotations

import functools
import importlib.abc
import importlib.util
import inspect
import sys
import warnings
from typing import Any, Dict, List, Literal, Mapping, Optional, Sequence, Tuple, overload

import numpy as np
import tarvex_core

from . import _native
from ._arrays import as_column
from ._columns import BAR_COLUMNS, column_names, dense, find, values
from ._market import batch, batch_cross, zhishu

__all__ = ["indicators", "crosses", "composite", "FrameAccessor"]

# The column names each field is found under, ignoring case.
_FIELD_COLUMNS = {
    "open": BAR_COLUMNS["OPEN"], "high": BAR_COLUMNS["HIGH"], "low": BAR_COLUMNS["LOW"],
    "close": BAR_COLUMNS["CLOSE"], "volume": BAR_COLUMNS["VOL"], "amount": BAR_COLUMNS["AMOUNT"],
    "float_mv": ("float_mv",), "total_mv": ("total_mv",),
}
_BAR_FIELDS = ("open", "high", "low", "close", "volume")

# Composite weightings by name, as numbered by ZHISHU.
METHODS = {"equal": 1, "float_mv": 2, "amount": 3, "volume": 4, "total_mv": 5}

# Series parameters of the core functions, by the bar field they read.
_SERIES_PARAMS = {"s": "close", "close": "close", "open": "open", "high": "high", "low": "low", "vol": "volume"}


@functools.lru_cache(maxsize=None)
def indicator_inputs() -> Dict[str, Tuple[str, ...]]:
    """The indicator names the batch engine accepts, each with the bar fields
    it reads (the series parameters of the function of that name)."""
    empty, codes, dates = np.empty(0), np.empty(0, np.uint64), np.empty(0, np.int64)
    out = {}
    for name, _, _ in _native.routines():
        lower = name.lower()
        try:
            _native.batch(False, False, [lower], [[]], codes, dates, empty, empty, empty, empty, empty, 0)
        except ValueError:
            continue
        params = inspect.signature(getattr(tarvex_core, name)).parameters
        out[lower] = tuple(dict.fromkeys(_SERIES_PARAMS[p] for p in params if p in _SERIES_PARAMS))
    return out


def _tasks(names: Any) -> Tuple[List[str], List[List[int]]]:
    """Indicator names and parameter lists from "macd", ("ma", [5, 10]),
    ("rsi", 6) items or a mapping of names to parameters."""
    if isinstance(names, str):
        items: List[Any] = [names]
    elif isinstance(names, Mapping):
        items = list(names.items())
    else:
        items = list(names)
    if not items:
        raise ValueError("name at least one indicator")
    known = indicator_inputs()
    names_in, params_in = [], []
    for item in items:
        if isinstance(item, str):
            name, params = item, []
        elif isinstance(item, (tuple, list)) and len(item) == 2 and isinstance(item[0], str):
            name, params = item
            params = [] if params is None else [params] if np.ndim(params) == 0 else list(params)
        else:
            raise TypeError(f"an indicator is a name or a (name, parameters) pair, not {item!r}")
        if name.lower() not in known:
            raise ValueError(f"unknown indicator {name!r}; choose from: {', '.join(sorted(known))}")
        names_in.append(name.lower())
        params_in.append(params)
    return names_in, params_in


def _frame_kind(data: Any) -> str:
    module, name = type(data).__module__ or "", type(data).__name__
    if name == "DataFrame" and module.startswith("pandas"):
        return "pandas"
    if name == "DataFrame" and module.startswith("polars"):
        return "polars"
    if isinstance(data, Mapping):
        return "mapping"
    raise TypeError(f"expected a pandas or polars DataFrame or a mapping of columns, not {type(data).__name__}")


def _take(column: Any, rows: np.ndarray) -> Any:
    """The values of `column` at `rows`, of the column's own type."""
    if hasattr(column, "iloc"):
        return column.iloc[rows].reset_index(drop=True)
    if hasattr(column, "gather"):
        return column.gather(rows)
    return np.asarray(column)[rows]


class _Key:
    """A code or date column as dense integers in the order of its values,
    and those integers back to the original values."""

    def __init__(self, column: Any, label: str, rows: int) -> None:
        self.column = column
        keys = values(column)
        if keys.ndim != 1 or len(keys) != rows:
            raise ValueError(f"the {label} column has {len(keys)} values, the bars {rows}")
        try:
            self.ids, count = dense(keys)
        except TypeError as e:
            raise TypeError(f"the values of the {label} column cannot be ordered: {e}") from None
        # A row holding each id: rows of one id hold equal values, so any will do.
        self.row = np.empty(count, dtype=np.intp)
        self.row[self.ids] = np.arange(rows)

    def back(self, ids: np.ndarray) -> Any:
        return _take(self.column, self.row[ids.astype(np.intp)])


class _Frame:
    """The columns of one input frame, found by field name."""

    def __init__(self, data: Any, columns: Optional[Mapping[str, Any]]) -> None:
        self.data = data
        self.kind = _frame_kind(data)
        self.names = column_names(data)
        self.given = dict(columns or {})
        for field in self.given:
            if field not in _FIELD_COLUMNS:
                raise ValueError(f"columns= names the column of a field: {', '.join(_FIELD_COLUMNS)}; not {field!r}")

    def _listing(self) -> str:
        return ", ".join(repr(n) for n in self.names) or "none"

    def lookup(self, name: Any, what: str) -> Any:
        """The column called `name` (ignoring case)."""
        found = name if name in self.names else find(self.names, (str(name).lower(),))
        if found is None:
            raise ValueError(f"there is no column {name!r} for the {what}; the columns are: {self._listing()}")
        return found

    @overload
    def field(self, field: str, required: Literal[True] = ...) -> np.ndarray: ...

    @overload
    def field(self, field: str, required: bool) -> Optional[np.ndarray]: ...

    def field(self, field: str, required: bool = True) -> Optional[np.ndarray]:
        """The float64 values of a bar field, None for a missing optional one."""
        if field in self.given:
            name = self.lookup(self.given[field], field)
        else:
            name = find(self.names, _FIELD_COLUMNS[field])
            if name is None:
                if not required:
                    return None
                raise ValueError(f"there is no {' or '.join(_FIELD_COLUMNS[field])} column (name it with "
                                 f"columns={{{field!r}: ...}}); the columns are: {self._listing()}")
        return np.ascontiguousarray(as_column(self.data[name], f"column {name!r}"), dtype=np.float64)

    def key(self, given: Any, default: str, rows: int) -> Tuple[Optional[Any], Optional[_Key]]:
        """The name and mapping of the code or date column; (None, None) when
        it is not given and no column has the default name."""
        name = self.lookup(given, default) if given is not None else find(self.names, (default,))
        if name is None:
            return None, None
        return name, _Key(self.data[name], default, rows)

    def build(self, columns: Dict[Any, Any], index: Any = None) -> Any:
        """A frame of the input's kind."""
        if self.kind == "pandas":
            import pandas

            return pandas.DataFrame(columns, index=index, copy=False)  # the result columns as they are
        if self.kind == "polars":
            import polars

            return polars.DataFrame(columns)
        return columns


def _bars(frame: _Frame, names_in: Sequence[str]) -> Dict[str, np.ndarray]:
    """The bar columns the indicators read; the others, unread, as NaN."""
    inputs = indicator_inputs()
    needed = {f for n in names_in for f in inputs[n]}
    bars = {f: frame.field(f) for f in _BAR_FIELDS if f in needed}
    rows = {len(v) for v in bars.values()}  # every indicator reads at least one field
    if len(rows) > 1:
        raise ValueError("the bar columns differ in length")
    count = rows.pop()
    return {f: bars[f] if f in bars else np.full(count, np.nan) for f in _BAR_FIELDS}


def _run(engine: Any, data: Any, names: Any, code: Any, date: Any, columns: Any, **options: Any) -> Any:
    frame = _Frame(data, columns)
    names_in, params_in = _tasks(names)
    bars = _bars(frame, names_in)
    rows = len(bars["close"])
    code_name, code_key = frame.key(code, "code", rows)
    if code_key is None:
        # One security: the engine keeps its rows with a close in the order given.
        table = engine(names_in, params_in, np.zeros(rows, dtype=np.uint64), np.arange(rows), *bars.values(),
                       **options)
        kept = table.pop("date")
        del table["code"]
        if len(kept) < rows:
            for f, column in table.items():
                full = np.full(rows, np.nan)
                full[kept] = column
                table[f] = full
        return frame.build(table, index=getattr(data, "index", None))
    date_name, date_key = frame.key(date, "date", rows)
    date_ids = date_key.ids if date_key is not None else np.arange(rows)
    table = engine(names_in, params_in, code_key.ids, date_ids, *bars.values(), **options)
    out = {code_name: code_key.back(table.pop("code"))}
    dates = table.pop("date")
    if date_key is not None:
        out[date_name] = date_key.back(dates)
    out.update(table)
    return frame.build(out)


def indicators(data: Any, names: Any, *, code: Any = None, date: Any = None,
               columns: Optional[Mapping[str, Any]] = None, threads: Optional[int] = None) -> Any:
    """Indicator columns of one security or a whole market, as a frame of the
    input's kind.

    `names` lists indicators by the batch engine's names, each alone
    ("macd") or with its parameters (("ma", [5, 10, 20]), ("rsi", 6)); a 0
    or missing parameter takes the default. The columns are the engine's
    fields (dif, dea, macd, ma5, ma10, ...), with the values of the direct
    calls (tarvex.MACD(close) ...) on the rows that have a close.

    One security (no code column): one row per input row, the index kept,
    NaN on rows without a close. A market: the code and date columns with
    their original values, then the fields, one row per row with a close,
    ordered by code then date."""
    return _run(batch, data, names, code, date, columns, threads=threads)


def crosses(data: Any, names: Any, *, keep_values: bool = False, code: Any = None, date: Any = None,
            columns: Optional[Mapping[str, Any]] = None, threads: Optional[int] = None) -> Any:
    """Crossing signals of each indicator's fast and slow line (dif/dea of
    macd, k/d of kdj, the two periods of ("ma", [5, 20]) ...): +1.0 up,
    -1.0 down, 0.0 otherwise, laid out like `indicators`. One pair gives the
    column "cross"; several give one column each ("macd_cross" ...) and a
    "cross" that is 1.0 where all cross upward together. `keep_values` puts
    the indicator columns first."""
    return _run(batch_cross, data, names, code, date, columns, keep_values=keep_values, threads=threads)


def composite(constituents: Any, method: str = "equal", base: float = 1000.0, *, code: Any = None,
              date: Any = None, columns: Optional[Mapping[str, Any]] = None) -> Any:
    """Daily composite index bars from a frame of constituent bars (code,
    date, open, high, low, close; volume, amount, float_mv, total_mv when
    present or when the weighting needs them), chained from `base`.

    `method` weights each constituent's price relative to its previous
    close: "equal", "float_mv" (free-float value), "amount", "volume" or
    "total_mv". Returns one row per date with constituents: the date (the
    original values), open, high, low, close, change (percent), volume and
    amount (when given) and count, the constituents used."""
    if method not in METHODS:
        raise ValueError(f"unknown method {method!r}; choose from: {', '.join(METHODS)}")
    frame = _Frame(constituents, columns)
    weight = method if method != "equal" else None
    prices = {f: frame.field(f) for f in ("open", "high", "low", "close")}
    fields: Dict[str, Optional[np.ndarray]] = dict(prices)
    fields.update((f, frame.field(f, required=f == weight)) for f in ("volume", "amount", "float_mv", "total_mv"))
    rows = len(prices["close"])
    if any(v is not None and len(v) != rows for v in fields.values()):
        raise ValueError("the bar columns differ in length")
    code_name, code_key = frame.key(code, "code", rows)
    date_name, date_key = frame.key(date, "date", rows)
    if code_key is None or date_key is None:
        raise ValueError(f"a composite index needs code and date columns; the columns are: {frame._listing()}")
    given = {f: v is not None for f, v in fields.items()}
    o, h, lo, c, volume, amount, float_mv, total_mv = (np.full(rows, np.nan) if v is None else v
                                                       for v in fields.values())
    index = zhishu(code_key.ids, date_key.ids, o, h, lo, c, volume, amount, float_mv, total_mv, METHODS[method],
                   float(base))
    out = {date_name: date_key.back(index.pop("date"))}
    out.update((f, v) for f, v in index.items() if given.get(f, True))
    return frame.build(out)


class FrameAccessor:
    """``df.tarvex``: the frame functions and charts of tarvex on this
    pandas DataFrame."""

    def __init__(self, frame: Any) -> None:
        self._frame = frame

    def indicators(self, names: Any, **options: Any) -> Any:
        return indicators(self._frame, names, **options)

    def crosses(self, names: Any, **options: Any) -> Any:
        return crosses(self._frame, names, **options)

    def composite(self, method: str = "equal", base: float = 1000.0, **options: Any) -> Any:
        return composite(self._frame, method, base, **options)

    def plot(self, **options: Any) -> Any:
        from . import plot

        return plot.candles(self._frame, **options)


def _register(pandas: Any) -> None:
    if getattr(pandas.DataFrame, "tarvex", None) is not FrameAccessor:
        pandas.api.extensions.register_dataframe_accessor("tarvex")(FrameAccessor)


class _OnPandasImport(importlib.abc.MetaPathFinder):
    """Registers the accessor right after pandas is first imported: finds
    where pandas is the usual way and runs the registration once the
    module has executed."""

    def find_spec(self, name: str, path: Any = None, target: Any = None) -> Any:
        if name != "pandas":
            return None
        sys.meta_path.remove(self)
        found = importlib.util.find_spec(name)
        if found is not None and found.loader is not None and hasattr(found.loader, "exec_module"):
            execute = found.loader.exec_module

            def exec_module(module: Any) -> None:
                execute(module)
                try:
                    _register(module)
                except Exception as exc:  # the accessor must never break importing pandas
                    warnings.warn(f"tarvex: the df.tarvex accessor is not available: {exc}", stacklevel=2)

            found.loader.exec_module = exec_module  # type: ignore[method-assign]
        return found


def register_accessor() -> None:
    """Registers ``df.tarvex`` now if pandas is imported, else when it is."""
    if sys.modules.get("pandas") is not None:
        _register(sys.modules["pandas"])
    elif "pandas" not in sys.modules and not any(isinstance(f, _OnPandasImport) for f in sys.meta_path):
        sys.meta_path.insert(0, _OnPandasImport())
