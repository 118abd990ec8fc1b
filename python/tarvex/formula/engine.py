"""Running a plan: bar columns in, output lines out.

All securities run at once: the bars are ordered by code then date into
one long column per field, and every step of the plan works on whole
columns, the library's functions segment by segment natively, arithmetic,
comparisons and logic as numpy element-wise operations (IEEE double
arithmetic in the written order).

A run of consecutive element-wise steps goes through the rows in chunks of
`CHUNK_ROWS`: each chunk's intermediate columns stay small enough for the
cache, and only the values read by later steps or lines get whole columns.
The chunk is a multiple of every vector width, so each row of a slice goes
through the same vector or scalar loop as on the whole column and comes out
with the same bits (an odd chunk could only flip the sign of a NaN made of
two NaNs: which one a loop passes on differs).
"""
from __future__ import annotations

import copy
import datetime
import numbers
from typing import Any, Callable, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from .._arrays import masked_as_nan
from .._columns import BAR_COLUMNS as _BAR_COLUMNS
from .._columns import Key, Market
from .._prepare import prepare
from . import native
from .context import Context
from .errors import FormulaError
from .parser import PERIODS
from .steps import Node, Steps
from .vocabulary import Word, vocabulary

__all__ = ["FormulaResult", "Line", "Options", "run_plan", "run_market", "matching_rows"]

_LIBRARY_ERRORS = (ValueError, OverflowError, TypeError, ZeroDivisionError, FloatingPointError)

# Rows per chunk of a run of element-wise steps (0: every step on whole columns).
CHUNK_ROWS = 1 << 16


def _truth(x: Any) -> Any:
    # True where neither 0 nor NaN. The steps of the plan hold arrays, or NumPy
    # scalars where every input is a number, so these helpers take either.
    return (x != 0.0) & (x == x)


def _as_float(x: Any) -> Any:
    return x.astype(np.float64)


_ARITHMETIC: Dict[str, Callable[[Any, Any], Any]] = {"+": np.add, "-": np.subtract, "*": np.multiply, "/": np.divide}
_COMPARE: Dict[str, Callable[[Any, Any], Any]] = {
    ">": np.greater, "<": np.less, ">=": np.greater_equal, "<=": np.less_equal, "=": np.equal,
    # Unequal and both numbers: a comparison with NaN is false.
    "<>": lambda a, b: np.less(a, b) | np.greater(a, b),
}
_LOGIC: Dict[str, Callable[[Any, Any], Any]] = {"AND": np.logical_and, "OR": np.logical_or}


def _whole(value: Any, name: str, word: str, text: str, pos: int) -> int:
    v = float(value)
    if not (0.0 <= v < 18446744073709551616.0) or v != int(v):
        raise FormulaError(f"{name} of {word} must be a whole number from 0 up, not {v!r}", text, pos)
    return int(v)


class _Evaluation:
    """One run of a plan's steps: the plan, the segment layout, the bar
    columns and the parameters' values. Each kind of step (Node.op) is one
    method, found through `_STEPS`."""

    def __init__(self, plan: Steps, ctx: Context, columns: Mapping[str, np.ndarray],
                 params: Mapping[str, float]) -> None:
        self.plan, self.ctx, self.columns, self.params = plan, ctx, columns, params
        self.periods: Dict[str, Dict[int, np.ndarray]] = {}  # each period's lines not yet taken

    def step(self, node: Node, args: List[Any]) -> Any:
        return _STEPS[node.op](self, node, args)

    def const(self, node: Node, args: List[Any]) -> Any:
        return np.float64(node.data)

    def text(self, node: Node, args: List[Any]) -> Any:
        return node.data

    def param(self, node: Node, args: List[Any]) -> Any:
        return np.float64(self.params[node.data])

    def bar(self, node: Node, args: List[Any]) -> Any:
        return self.columns[node.data]

    def arith(self, node: Node, args: List[Any]) -> Any:
        return _ARITHMETIC[node.data](*args)

    def compare(self, node: Node, args: List[Any]) -> Any:
        return _as_float(_COMPARE[node.data](*args))

    def logic(self, node: Node, args: List[Any]) -> Any:
        return _as_float(_LOGIC[node.data](_truth(args[0]), _truth(args[1])))

    def negate(self, node: Node, args: List[Any]) -> Any:
        return np.negative(args[0])

    def invert(self, node: Node, args: List[Any]) -> Any:
        return _as_float(~_truth(args[0]))

    def truth(self, node: Node, args: List[Any]) -> Any:
        return _as_float(_truth(args[0]))

    def full(self, node: Node, args: List[Any]) -> Any:
        return np.full(self.ctx.rows, args[0], dtype=np.float64)

    def field(self, node: Node, args: List[Any]) -> Any:
        return args[0][node.data]

    def period(self, node: Node, args: List[Any]) -> Any:
        name, part, line = node.data
        if name not in self.periods:
            # The period's lines the plan reads, all computed in one run of its steps.
            nodes = self.plan.nodes
            lines = sorted({nodes[i].data[2] for i in needed(self.plan)
                            if nodes[i].op == "period" and nodes[i].data[0] == name})
            wanted = copy.copy(part)
            wanted.outputs = [part.outputs[k] for k in lines]
            self.periods[name] = dict(zip(lines, _period(self, name, wanted, node.pos)))
        return self.periods[name].pop(line)

    def call(self, node: Node, args: List[Any]) -> Any:
        word = vocabulary()[node.data]
        values: List[Any] = []
        for (name, kind, _), value, pos in zip(word.params, args, node.arg_pos):
            if kind == "i":
                value = _whole(value, name, word.name, self.plan.text, pos)
            elif not isinstance(value, (np.ndarray, str)):
                value = float(value)
            values.append(value)
        return word.run(self.ctx, values)


_STEPS: Dict[str, Callable[[_Evaluation, Node, List[Any]], Any]] = {
    "const": _Evaluation.const, "text": _Evaluation.text, "param": _Evaluation.param, "bar": _Evaluation.bar,
    "arith": _Evaluation.arith, "cmp": _Evaluation.compare, "logic": _Evaluation.logic, "neg": _Evaluation.negate,
    "not": _Evaluation.invert, "truth": _Evaluation.truth, "full": _Evaluation.full, "field": _Evaluation.field,
    "call": _Evaluation.call, "period": _Evaluation.period,
}

# The bar words a period's bars give, by the field of the period bars.
_PERIOD_FIELDS = {"OPEN": "open", "HIGH": "high", "LOW": "low", "CLOSE": "close", "VOL": "volume",
                  "AMOUNT": "amount"}


def _period(run: _Evaluation, name: str, part: Steps, pos: int) -> List[np.ndarray]:
    """X#PERIOD on every row: X computed on the period's bars built from the
    security's rows up to and including the row, at the last of them.

    The rows that are bars (a finite close, as resample takes them) carry
    the period's bar as it stands on them; the steps of X run over those
    rows in provisional mode (each step sees the finished periods and the
    current one as it stands), and a row that is no bar takes the value of
    the latest one before it in its security."""
    ctx, text = run.ctx, run.plan.text
    if ctx.stamps is None:
        raise FormulaError(f"#{name} builds its bars by the dates, and the bars have no date column", text, pos)
    period = PERIODS[name]
    try:
        stamps, which, minutes = ctx.stamps()
    except (TypeError, ValueError) as e:
        raise FormulaError(f"#{name}: the dates cannot be read: {e}", text, pos) from None
    if period in native.MINUTE_PERIODS and not minutes:
        raise FormulaError(f"#{name} builds its bars from 1-minute bars, and these bars are daily (their dates "
                           "carry no time of day)", text, pos)
    keys = native.period_keys(stamps, minutes, period)[which]
    bar = np.isfinite(run.columns["CLOSE"])
    given = {field: run.columns[word] for word, field in _PERIOD_FIELDS.items() if word in run.columns}
    if bar.all():  # every row a bar
        bars, commit = native.partial_bars(keys, ctx.starts, given)
        columns = {word: bars[field] for word, field in _PERIOD_FIELDS.items() if field in bars}
        return evaluate(part, Context(ctx.rows, ctx.starts, None, ctx.digits, commit, read_dates=lambda: ctx.dates),
                        columns, run.params)
    rows = np.flatnonzero(bar)
    lengths = ctx.ends() - ctx.starts
    per_segment = np.add.reduceat(bar.view(np.uint8), ctx.starts, dtype=np.int64) if ctx.rows \
        else np.zeros(0, np.int64)
    first = np.cumsum(per_segment) - per_segment  # each segment's first bar among the bars
    starts = first[per_segment > 0]
    bars, commit = native.partial_bars(keys[rows], starts, {field: column[rows] for field, column in given.items()})
    columns = {word: bars[field] for word, field in _PERIOD_FIELDS.items() if field in bars}
    inner = Context(len(rows), starts, None, ctx.digits, commit,
                    read_dates=lambda: None if ctx.dates is None else ctx.dates[rows])
    values: List[np.ndarray] = evaluate(part, inner, columns, run.params)
    latest = np.cumsum(bar) - 1  # the latest bar at or before each row, among the bars
    has = latest >= np.repeat(first, lengths)
    out = []
    for value in values:
        line = np.full(ctx.rows, np.nan)
        line[has] = value[latest[has]]
        out.append(line)
    return out


def needed(plan: Steps) -> List[int]:
    """Ids of the nodes the output lines depend on, ascending."""
    nodes, marked = plan.nodes, [False] * len(plan.nodes)
    for out in plan.outputs:
        marked[out.node] = True
    for i in range(len(nodes) - 1, -1, -1):
        if marked[i]:
            for a in nodes[i].args:
                marked[a] = True
    return [i for i, m in enumerate(marked) if m]


def _rowwise(node: Node) -> bool:
    """Whether the node's value on a row depends only on its arguments'
    values on that row."""
    if node.op == "call":
        return vocabulary()[node.data].rowwise
    return node.op in ("const", "param", "arith", "cmp", "logic", "neg", "not", "truth", "full")


def _runs(plan: Steps, order: List[int], chunked: bool) -> List[List[int]]:
    """The needed nodes in order, in runs evaluated together: a run of
    several nodes holds consecutive element-wise columns (numbers, text and
    bar columns among them are taken whole where they stand)."""
    runs: List[List[int]] = []
    fused: List[int] = []
    for i in order:
        node = plan.nodes[i]
        if chunked and node.series and _rowwise(node):
            fused.append(i)
            continue
        if node.series and node.op != "bar" and fused:
            runs.append(fused)
            fused = []
        runs.append([i])
    if fused:
        runs.append(fused)
    return runs


def evaluate(plan: Steps, ctx: Context, columns: Mapping[str, np.ndarray], params: Mapping[str, float]
             ) -> List[Any]:
    """The output lines' values (float64 arrays, or a drawing's arguments),
    in order."""
    nodes = plan.nodes
    runs = _runs(plan, needed(plan), 0 < CHUNK_ROWS < ctx.rows)
    # The run after which each value is read no more.
    last_run: Dict[int, int] = {}
    for k, group in enumerate(runs):
        for i in group:
            for a in nodes[i].args:
                last_run[a] = k
    keep = {out.node for out in plan.outputs}
    values: Dict[int, Any] = {}
    run = _Evaluation(plan, ctx, columns, params)

    def step(ev: _Evaluation, i: int, values: Dict[int, Any]) -> Any:
        node = nodes[i]
        try:
            return ev.step(node, [values[a] for a in node.args])
        except FormulaError:
            raise
        except _LIBRARY_ERRORS as e:
            raise FormulaError(f"{node.data}: {e}", plan.text, node.pos) from None

    with np.errstate(all="ignore"):
        for k, group in enumerate(runs):
            if len(group) == 1:
                values[group[0]] = step(run, group[0], values)
            else:
                escaping = [i for i in group if i in keep or last_run.get(i, -1) > k]
                values.update(_chunked(group, escaping, step, run, values))
            for i in group:
                for a in nodes[i].args:
                    if last_run[a] == k and a not in keep:
                        values.pop(a, None)
    # Each line owns its values: no input column, no array shared by two lines
    # (a drawing's value is the tuple of its arguments).
    lines: List[Any] = []
    seen = {id(c) for c in columns.values()}

    def owned(v: Any) -> Any:
        if isinstance(v, tuple):
            return tuple(owned(x) for x in v)
        if not isinstance(v, np.ndarray):
            return v
        mine = v.copy() if id(v) in seen else v
        seen.add(id(v))
        return mine

    for out in plan.outputs:
        lines.append(owned(values[out.node]))
    return lines


def _chunked(group: List[int], escaping: List[int], step: Callable[[_Evaluation, int, Dict[int, Any]], Any],
             run: _Evaluation, values: Mapping[int, Any]) -> Dict[int, np.ndarray]:
    """The values `escaping` of a run of element-wise nodes, computed
    CHUNK_ROWS rows at a time into whole columns."""
    nodes, inside = run.plan.nodes, set(group)
    last_use = {a: i for i in group for a in nodes[i].args if a in inside}
    rows = run.ctx.rows
    out = {i: np.empty(rows, dtype=np.float64) for i in escaping}
    first = np.zeros(1, dtype=np.int64)
    for lo in range(0, rows, CHUNK_ROWS):
        hi = min(lo + CHUNK_ROWS, rows)
        # Bar columns are read outside the run and sliced with the other inputs.
        piece = _Evaluation(run.plan, Context(hi - lo, first, None, run.ctx.digits), {}, run.params)
        local: Dict[int, Any] = {}
        for i in group:
            for a in nodes[i].args:
                if a not in inside and a not in local:
                    v = values[a]
                    local[a] = v[lo:hi] if isinstance(v, np.ndarray) else v
            local[i] = step(piece, i, local)
            if i in out:
                out[i][lo:hi] = local[i]
            for a in nodes[i].args:
                if last_use.get(a) == i:
                    local.pop(a, None)
    return out


# ---- frames in ----

# Kinds of column that convert to floats but hold no real numbers: complex
# numbers (the imaginary part would be dropped), dates and durations.
_NOT_NUMBERS = "cmM"

# The frame field of each bar word, as the frame functions and `columns=` name it.
_FIELDS = {word: columns[0] for word, columns in _BAR_COLUMNS.items()}


def _floats(column: Any, label: Any) -> np.ndarray:
    def refuse_non_numbers(dtype: Any) -> None:
        if getattr(dtype, "kind", "O") in _NOT_NUMBERS:
            raise TypeError(f"it holds {dtype}")

    try:
        refuse_non_numbers(getattr(column, "dtype", None))
        to_numpy = getattr(column, "to_numpy", None)
        if to_numpy is not None:
            try:  # pandas: nullable columns give NaN for missing values
                return np.ascontiguousarray(to_numpy(dtype=np.float64, na_value=np.nan))
            except TypeError:
                column = to_numpy()
        column = np.asarray(masked_as_nan(column))
        refuse_non_numbers(column.dtype)
        return np.ascontiguousarray(column, dtype=np.float64)
    except (TypeError, ValueError) as e:
        raise FormulaError(f"column {label!r} is not numeric: {e}") from None


def _bars_used(plan: Steps) -> Dict[str, int]:
    """Bar columns the output lines read, with the place of first use; a
    period reads the close (which rows are bars) and what its steps read."""
    used: Dict[str, int] = {}
    for i in needed(plan):
        node = plan.nodes[i]
        if node.op == "bar":
            used.setdefault(node.data, node.pos)
        elif node.op == "period":
            used.setdefault("CLOSE", node.pos)
            for word, pos in _bars_used(node.data[1]).items():
                used.setdefault(word, pos)
    return used


class Options:
    """How a run reads its bars: the code and date columns (`code`, `date`),
    `columns` mapping fields to other names, what a repeated (code, date)
    does (`duplicates`), the decimals of the rounded indicators (`digits`)
    and the bars of each security without a value (`min_bars`)."""

    __slots__ = ("code", "date", "columns", "duplicates", "digits", "min_bars")

    def __init__(self, code: Any = None, date: Any = None, columns: Optional[Mapping[str, Any]] = None,
                 duplicates: str = "raise", digits: Optional[int] = 3, min_bars: int = 0) -> None:
        if digits is not None and (isinstance(digits, bool) or not isinstance(digits, (int, np.integer))
                                   or not 0 <= digits < 2**32):
            raise FormulaError(f"digits must be a whole number of decimals or None, not {digits!r}")
        if isinstance(min_bars, bool) or not isinstance(min_bars, (int, np.integer)) or min_bars < 0:
            raise FormulaError(f"min_bars must be a whole number from 0 up, not {min_bars!r}")
        self.code, self.date, self.columns, self.duplicates = code, date, columns, duplicates
        self.digits, self.min_bars = None if digits is None else int(digits), int(min_bars)


def read_market(plan: Steps, data: Any, options: Options) -> Tuple[Market, Dict[str, np.ndarray]]:
    """The market of `data` and the bar columns the plan reads, in its time order."""
    try:
        market = Market(data, code=options.code, date=options.date, columns=options.columns,
                        duplicates=options.duplicates)
    except FormulaError:
        raise
    except (TypeError, ValueError) as e:
        if type(data).__name__ in ("DataFrame", "LazyFrame") or isinstance(data, Mapping):
            raise FormulaError(str(e)) from None
        raise FormulaError(f"bars must be a data frame or a mapping of columns, not {type(data).__name__}") from None
    columns: Dict[str, np.ndarray] = {}
    for word, pos in _bars_used(plan).items():
        try:
            name = market.field_name(_FIELDS[word], required=False)
            if name is None:
                raise FormulaError(f"the bars have no {' or '.join(_BAR_COLUMNS[word])} column", plan.text, pos)
            column = _floats(market.column(name), name)
        except FormulaError:
            raise
        except ValueError as e:
            raise FormulaError(str(e), plan.text, pos) from None
        if len(column) != market.length:
            raise FormulaError("the columns differ in length")
        columns[word] = column
    return market, market.in_order(columns)


def prepared(data: Any, options: Options, period: Optional[str], adjust: Any, day: Any = None) -> Any:
    """`data` forward-adjusted across the events `adjust` and gathered into
    bars of `period` (see tarvex.adjust and tarvex.resample); with `day`,
    from the rows up to that day only, so that neither sees a later bar."""
    if period is None and adjust is None:
        return data
    try:
        rows = None
        if day is not None:
            market = Market(data, code=options.code, date=options.date, columns=options.columns,
                            duplicates=options.duplicates)
            if market.date is None:
                raise FormulaError("screening on a date needs a date column")
            hit = matching_rows(day, market.date, np.arange(market.length))
            keys = market.date.sort_keys()
            rows = np.flatnonzero(keys <= keys[hit[0]]) if len(hit) else np.zeros(0, dtype=np.intp)
        return prepare(data, period=period, adjust=adjust, code=options.code, date=options.date,
                       columns=options.columns, duplicates=options.duplicates, rows=rows)
    except FormulaError:
        raise
    except (TypeError, ValueError) as e:
        raise FormulaError(str(e)) from None


def run_market(plan: Steps, data: Any, options: Options, params: Mapping[str, float]
               ) -> Tuple[Market, List[np.ndarray]]:
    """The output lines of the plan over `data`, in the market's time order
    (each security oldest first, securities by code)."""
    market, columns = read_market(plan, data, options)
    ctx = Context(len(market.rows), market.starts, None, options.digits, stamps=_stamps(market),
                  read_dates=market.dates_in_order)
    lines = evaluate(plan, ctx, columns, params)
    if options.min_bars:
        early = ctx.position() < options.min_bars
        for line in lines:
            line[early] = np.nan
    return market, lines


def _stamps(market: Market) -> Optional[Callable[[], Tuple[np.ndarray, np.ndarray, bool]]]:
    """Reads the market's dates as the period bars do, once: the stamps of
    the distinct dates, each row's index among them in the market's time
    order, and whether the stamps count minutes."""
    date = market.date
    if date is None:
        return None
    read: List[Tuple[np.ndarray, np.ndarray, bool]] = []

    def stamps() -> Tuple[np.ndarray, np.ndarray, bool]:
        if not read:
            values, dtype = date.values, getattr(date.column, "dtype", None)
            if values.dtype.kind in "iuM" and getattr(dtype, "tz", None) is None \
                    and getattr(dtype, "time_zone", None) is None:  # time zones: as resample reads them
                # A market repeats its dates from security to security: each distinct one is read once.
                distinct, which = _distinct(values)
                ticks, minutes = native.period_stamps(distinct)
            else:
                ticks, minutes = native.period_stamps(date.column)
                which = np.arange(len(ticks))
            read.append((ticks, which if market.ordered else which[market.rows], minutes))
        return read[0]
    return stamps


def _distinct(values: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """The distinct values and the index of each value among them."""
    try:
        import pandas
    except ImportError:
        distinct, which = np.unique(values, return_inverse=True)
        return distinct, which.ravel()
    which, distinct = pandas.factorize(values)
    return np.asarray(distinct), np.asarray(which)


def run_plan(plan: Steps, data: Any, options: Options, params: Mapping[str, float]) -> FormulaResult:
    market, values = run_market(plan, data, options, params)
    codes = dates = None
    if market.layout == "one":
        values = [market.scatter(v) for v in values]
        labels = market.index
        if market.date is not None and not market.date.level:  # an index of dates stays the index
            dates = market.date.values
    else:
        assert market.code is not None
        # Each row's code and label are made when first read: a screen of
        # a whole market reads few of them, or none.
        codes, dates = market.codes_in_order, market.dates_in_order()
        index = market.index
        labels = None if index is None else lambda: index[market.rows]
    lines = [_line(out, v) for out, v in zip(plan.outputs, values)]
    return FormulaResult(lines, codes, dates, None if market.code is None else market.code.name,
                         None if market.date is None else market.date.name, market.starts,
                         _Shape(market.kind, labels, market.layout))


class _Shape:
    """How a result's lines go back to the caller: pandas Series on the
    bars' index (`labels`), polars Series, or arrays."""

    __slots__ = ("kind", "_labels", "layout")

    def __init__(self, kind: str, labels: Any, layout: str) -> None:
        self.kind, self._labels, self.layout = kind, labels, layout

    @property
    def labels(self) -> Any:
        """The index of the lines (given as a function: made when first read)."""
        if callable(self._labels):
            self._labels = self._labels()
        return self._labels

    def series(self, values: np.ndarray, name: str) -> Any:
        if self.kind == "pandas":
            import pandas

            return pandas.Series(values, index=self.labels, name=name, copy=False)
        if self.kind == "polars":
            import polars

            return polars.Series(name, values)
        return values


# ---- screening ----

def _date_type(key: Key) -> str:
    """What the date column holds: "naive" or "aware" datetimes, "date",
    "number", "text" or "other"."""
    dtype = getattr(key.column, "dtype", None)
    if getattr(dtype, "tz", None) is not None or getattr(dtype, "time_zone", None) is not None:
        return "aware"
    kind = key.values.dtype.kind
    if kind == "M":
        return "naive"
    if kind in "iuf":
        return "number"
    if kind in "US":
        return "text"
    # Python objects: the type of the first value that is there.
    first = _given_type(next((v for v in key.values if v is not None and v == v), None))
    return first if first in ("text", "naive", "aware", "date") else "other"


def _given_type(date: Any) -> str:
    if isinstance(date, (bool, np.bool_)):
        return "other"
    if isinstance(date, (numbers.Real, np.number)):
        return "number"
    if isinstance(date, str):
        return "text"
    if isinstance(date, np.datetime64):
        return "naive"
    if isinstance(date, datetime.datetime):
        return "naive" if date.tzinfo is None else "aware"
    if isinstance(date, datetime.date):
        return "date"
    return "other"


_TYPE_TEXT = {"naive": "datetimes without a time zone", "aware": "datetimes with a time zone", "date": "dates",
              "number": "numbers", "text": "text", "other": "values"}


def matching_rows(date: Any, key: Key, rows: np.ndarray) -> np.ndarray:
    """The positions among `rows` whose date is `date`. A date of a type
    that cannot match the column (a number against datetimes, a
    timezone-aware datetime against naive ones, or the reverse) raises
    ValueError naming both types; text is read as a date where the column
    holds dates, in the column's time zone where it has one."""
    column, given = _date_type(key), _given_type(date)
    values = key.values[rows]

    def refuse() -> FormulaError:
        return FormulaError(f"date {date!r} ({_TYPE_TEXT[given]}) cannot match the date column {key.name!r} "
                            f"({_TYPE_TEXT[column]})")

    if column in ("naive", "aware", "date"):
        import pandas

        if given == "text":
            try:
                stamp = pandas.Timestamp(date)
            except ValueError as e:
                raise FormulaError(f"date {date!r} is not a date: {e}") from None
            given = "naive" if stamp.tzinfo is None else "aware"
            if column == "aware" and given == "naive":
                stamp, given = stamp.tz_localize(_zone(key)), "aware"
        elif given in ("naive", "aware", "date"):
            stamp = pandas.Timestamp(date)
        else:
            raise refuse()
        if column == "date":
            if given == "aware" or stamp != stamp.normalize():
                raise refuse()
            return np.flatnonzero(values == stamp.date())
        if given == "date":
            given = "naive" if column == "naive" else given
            if column == "aware":
                stamp, given = stamp.tz_localize(_zone(key)), "aware"
        if given != column:
            raise refuse()
        if column == "aware" and values.dtype.kind == "M":  # polars: UTC instants without the zone
            return np.flatnonzero(values == stamp.tz_convert("UTC").tz_localize(None).to_datetime64())
        if column == "aware":
            return np.flatnonzero(np.asarray(pandas.DatetimeIndex(values) == stamp))
        return np.flatnonzero(values == stamp.to_datetime64())
    if column in ("number", "text") and given != column:
        raise refuse()
    return np.flatnonzero(values == date)


def _zone(key: Key) -> Any:
    dtype = getattr(key.column, "dtype", None)
    zone = getattr(dtype, "tz", None) or getattr(dtype, "time_zone", None)
    if zone is None:
        zone = next(v for v in key.values if v is not None and v == v).tzinfo
    return zone


# ---- results out ----

def _line(out: Any, value: Any) -> Line:
    """The Line of output `out` (a plan.Output) from its computed value."""
    if out.draws is None:
        return Line(out.name, out.label, out.attrs, value, lookahead=out.lookahead)
    word: Word = vocabulary()[out.draws]
    assert word.draws is not None
    shown, cond = word.draws
    # The drawing's line: the values it draws, NaN on the bars it skips.
    values = value[shown] if cond is None else np.where(value[cond] != 0.0, value[shown], np.nan)
    args = {p.name: v for p, v in zip(word.params, value)}
    return Line(out.name, out.label, out.attrs, np.array(values, dtype=np.float64), kind=word.name, args=args,
                lookahead=out.lookahead)


class Line:
    """One output line: `name` (None when unnamed), `label` (the name or
    the expression's text), style words `attrs`, float64 `values`.

    `kind` is "line" for a computed line, or the drawing word (STICKLINE,
    DRAWTEXT ...) of a drawing, whose `args` give its arguments by
    parameter name: columns (conditions as 1.0 / 0.0), numbers and texts,
    and whose `values` are what it draws at each bar (its price where its
    condition holds, NaN elsewhere). `lookahead` names the functions reading
    later bars that the line depends on (empty when none).
    """

    __slots__ = ("name", "label", "attrs", "values", "kind", "args", "lookahead")

    def __init__(self, name: Optional[str], label: str, attrs: Tuple[str, ...], values: np.ndarray, *,
                 kind: str = "line", args: Optional[Dict[str, Any]] = None, lookahead: Tuple[str, ...] = ()) -> None:
        self.name, self.label, self.attrs, self.values = name, label, attrs, values
        self.kind, self.args, self.lookahead = kind, dict(args or {}), lookahead

    @property
    def draws(self) -> bool:
        """Whether the line is a drawing."""
        return self.kind != "line"

    def __array__(self, dtype: Any = None, copy: Optional[bool] = None) -> np.ndarray:
        return self.values if dtype is None else self.values.astype(dtype)

    def __repr__(self) -> str:
        attrs = f", attrs={list(self.attrs)}" if self.attrs else ""
        kind = f", kind={self.kind!r}" if self.draws else ""
        return f"Line({self.label!r}{kind}{attrs}, {len(self.values)} values)"


class FormulaResult:
    """The output lines of one run, in order.

    Iterating gives the `Line` objects, drawings among them in the order
    written (`drawings` lists those alone); `result[0]` the values of the
    first line, `result[name]` those of the line of that name
    (case-insensitive; an unnamed line answers to its expression text): a
    pandas Series on the bars' index for pandas bars, a polars Series for
    polars bars, else a float64 array (`Line.values` is always the array).

    One security: one value per input row, in the input's order. A market:
    one row per bar, by code then date; `codes` and `dates` give each row's
    code and date with the original values.
    """

    def __init__(self, lines: Sequence[Line], codes: Union[None, np.ndarray, Callable[[], np.ndarray]] = None,
                 dates: Optional[np.ndarray] = None,
                 code_name: Any = None, date_name: Any = None, starts: Optional[np.ndarray] = None,
                 shape: Optional[_Shape] = None) -> None:
        self.lines = tuple(lines)
        self._codes, self.dates = codes, dates
        self._code_name, self._date_name = code_name if code_name is not None else "code", \
            date_name if date_name is not None else "date"
        self._starts = starts
        self._shape = shape if shape is not None else _Shape("mapping", None, "columns")
        self._by_name: Dict[str, Line] = {}
        for line in self.lines:
            self._by_name.setdefault(line.label.upper(), line)

    @property
    def codes(self) -> Optional[np.ndarray]:
        """Each row's code (None for one security), gathered when first read."""
        if callable(self._codes):
            self._codes = self._codes()
        return self._codes

    @property
    def names(self) -> List[str]:
        return [line.label for line in self.lines]

    @property
    def drawings(self) -> List[Line]:
        """The lines that are drawings, in order."""
        return [line for line in self.lines if line.draws]

    @property
    def lookahead(self) -> Tuple[str, ...]:
        """The functions reading later bars that any line depends on."""
        return tuple(dict.fromkeys(w for line in self.lines for w in line.lookahead))

    def __iter__(self) -> Iterator[Line]:
        return iter(self.lines)

    def __len__(self) -> int:
        return len(self.lines)

    def __getitem__(self, key: Any) -> Any:
        if isinstance(key, (int, np.integer)) and not isinstance(key, bool):
            line = self.lines[key]
        else:
            found = self._by_name.get(str(key).upper())
            if found is None:
                raise KeyError(key)
            line = found
        return self._shape.series(line.values, line.label)

    def __contains__(self, name: object) -> bool:
        return str(name).upper() in self._by_name

    def to_frame(self) -> Any:
        """A pandas DataFrame, one column per line: on the bars' index for
        one security or a market keyed by its index, after the code and date
        columns for a market keyed by columns."""
        import pandas as pd

        data: Dict[Any, Any] = {}
        shape = self._shape
        index = shape.labels if shape.kind == "pandas" and shape.layout != "columns" else None
        levels = list(index.names) if index is not None and shape.layout == "index" else []
        if self.codes is not None and self._code_name not in levels:
            data[self._code_name] = self.codes
        if self.dates is not None and self._date_name not in levels:
            data[self._date_name] = self.dates
        for line in self.lines:
            label = line.label
            while label in data:
                label += "_"
            data[label] = line.values
        return pd.DataFrame(data, index=index)

    def __repr__(self) -> str:
        return f"<FormulaResult {self.names} rows={len(self.lines[0].values) if self.lines else 0}>"
