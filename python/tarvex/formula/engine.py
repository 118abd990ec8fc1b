"""Running a plan: bar columns in, output lines out.

All securities run at once: the bars are ordered by code then date into
one long column per field, and every step of the plan works on whole
columns, the library's functions segment by segment natively, arithmetic,
comparisons and logic as numpy element-wise operations (IEEE double
arithmetic in the written order).
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from .._arrays import masked_as_nan
from .._columns import BAR_COLUMNS as _BAR_COLUMNS
from .._columns import column_names as _column_names
from .._columns import dense
from .._columns import find as _find
from .._columns import values as _values
from .calendar import parts as _calendar_parts
from .errors import FormulaError
from .vocabulary import Word, vocabulary

if TYPE_CHECKING:
    from .plan import Node, Plan

__all__ = ["Context", "FormulaResult", "Line", "run_plan"]

_LIBRARY_ERRORS = (ValueError, OverflowError, TypeError, ZeroDivisionError, FloatingPointError)


class Context:
    """The layout of the columns: `rows` bars in segments starting at
    `starts` (int64, ascending, from 0), one segment per security (no
    bars make no segments), and each row's date (None without a date
    column)."""

    def __init__(self, rows: int, starts: np.ndarray, dates: Optional[np.ndarray] = None) -> None:
        self.rows = rows
        self.starts = starts if rows else starts[:0]
        self.dates = dates
        self._position: Optional[np.ndarray] = None
        self._calendar: Optional[Dict[str, np.ndarray]] = None

    def calendar(self) -> Dict[str, np.ndarray]:
        """Each row's date in parts (see calendar.parts)."""
        if self._calendar is None:
            if self.dates is None:
                raise ValueError("it reads the date column, and the bars have none")
            self._calendar = _calendar_parts(self.dates)
        return self._calendar

    def ends(self) -> np.ndarray:
        """One past the last row of each segment."""
        return np.append(self.starts[1:], self.rows)[:len(self.starts)].astype(np.int64)

    def position(self) -> np.ndarray:
        """Each row's index within its segment (float64)."""
        if self._position is None:
            lengths = self.ends() - self.starts
            self._position = (np.arange(self.rows) - np.repeat(self.starts, lengths)).astype(np.float64)
        return self._position

    def running(self, ufunc: Callable[[np.ndarray, np.ndarray], np.ndarray], x: Any) -> np.ndarray:
        """ufunc folded over every bar so far of each segment (a segmented
        inclusive scan by doubling distances; exact for max and min)."""
        out = np.array(x, dtype=np.float64)
        position = self.position()
        longest = int(position.max()) + 1 if self.rows else 0
        k = 1
        while k < longest:
            reach = position[k:] >= k
            out[k:] = np.where(reach, ufunc(out[:-k], out[k:]), out[k:])
            k *= 2
        return out


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


def _call(plan: Plan, node: Node, args: List[Any], ctx: Context) -> Any:
    word = vocabulary()[node.data]
    values: List[Any] = []
    for (name, kind, _), value, pos in zip(word.params, args, node.arg_pos):
        if kind == "i":
            value = _whole(value, name, word.name, plan.text, pos)
        elif not isinstance(value, (np.ndarray, str)):
            value = float(value)
        values.append(value)
    return word.run(ctx, values)


def _step(plan: Plan, node: Node, args: List[Any], ctx: Context, columns: Mapping[str, np.ndarray],
          params: Mapping[str, float]) -> Any:
    op = node.op
    if op == "const":
        return np.float64(node.data)
    if op == "text":
        return node.data
    if op == "param":
        return np.float64(params[node.data])
    if op == "bar":
        return columns[node.data]
    if op == "arith":
        return _ARITHMETIC[node.data](*args)
    if op == "cmp":
        return _as_float(_COMPARE[node.data](*args))
    if op == "logic":
        return _as_float(_LOGIC[node.data](_truth(args[0]), _truth(args[1])))
    if op == "neg":
        return np.negative(args[0])
    if op == "not":
        return _as_float(~_truth(args[0]))
    if op == "truth":
        return _as_float(_truth(args[0]))
    if op == "full":
        return np.full(ctx.rows, args[0], dtype=np.float64)
    if op == "field":
        return args[0][node.data]
    return _call(plan, node, args, ctx)


def needed(plan: Plan) -> List[int]:
    """Ids of the nodes the output lines depend on, ascending."""
    nodes, marked = plan.nodes, [False] * len(plan.nodes)
    for out in plan.outputs:
        marked[out.node] = True
    for i in range(len(nodes) - 1, -1, -1):
        if marked[i]:
            for a in nodes[i].args:
                marked[a] = True
    return [i for i, m in enumerate(marked) if m]


def evaluate(plan: Plan, ctx: Context, columns: Mapping[str, np.ndarray], params: Mapping[str, float]
             ) -> List[Any]:
    """The output lines' values (float64 arrays, or a drawing's arguments),
    in order."""
    nodes, order = plan.nodes, needed(plan)
    last_use: Dict[int, int] = {}
    for i in order:
        for a in nodes[i].args:
            last_use[a] = i
    keep = {out.node for out in plan.outputs}
    values: Dict[int, Any] = {}
    with np.errstate(all="ignore"):
        for i in order:
            node = nodes[i]
            try:
                values[i] = _step(plan, node, [values[a] for a in node.args], ctx, columns, params)
            except FormulaError:
                raise
            except _LIBRARY_ERRORS as e:
                raise FormulaError(f"{node.data}: {e}", plan.text, node.pos) from None
            for a in node.args:
                if last_use.get(a) == i and a not in keep:
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


# ---- frames in ----

# Kinds of column that convert to floats but hold no real numbers: complex
# numbers (the imaginary part would be dropped), dates and durations.
_NOT_NUMBERS = "cmM"


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


def _dense(values: np.ndarray) -> Tuple[np.ndarray, int]:
    try:
        return dense(values)
    except TypeError as e:
        raise FormulaError(f"values of one column cannot be ordered: {e}") from None


def _ordered(codes: np.ndarray, dates: Optional[np.ndarray]) -> bool:
    """Whether rows already run by code, then date within a code."""
    if not np.all(codes[1:] >= codes[:-1]):
        return False
    return dates is None or bool(np.all((codes[1:] != codes[:-1]) | (dates[1:] >= dates[:-1])))


def _stable_order(keys: Sequence[Tuple[np.ndarray, int]]) -> Optional[np.ndarray]:
    """The stable order of rows by the last key, then the one before ...
    Keys are (ids, count) pairs; ids of up to 65536 values sort by radix."""
    order: Optional[np.ndarray] = None
    for ids, count in keys:
        if count <= 1 << 16:
            ids = ids.astype(np.uint16)
        step = np.argsort(ids if order is None else ids[order], kind="stable")
        order = step if order is None else order[step]
    return order


def _segments(codes: np.ndarray, dates: Optional[np.ndarray]) -> Tuple[Optional[np.ndarray], np.ndarray]:
    """The row order (None when already ordered) and segment starts."""
    if len(codes) == 0:
        return None, np.zeros(0, dtype=np.int64)
    comparable = codes.dtype.kind != "O" and (dates is None or dates.dtype.kind != "O")
    order = None
    if not (comparable and _ordered(codes, dates)):
        code_ids = _dense(codes)
        date_ids = None if dates is None else _dense(dates)
        codes = code_ids[0]
        if not _ordered(codes, None if date_ids is None else date_ids[0]):
            order = _stable_order([code_ids] if date_ids is None else [date_ids, code_ids])
            codes = codes[order]
    change = np.flatnonzero(codes[1:] != codes[:-1]) + 1
    return order, np.concatenate(([0], change)).astype(np.int64)


def _bars_used(plan: Plan) -> Dict[str, int]:
    """Bar columns the output lines read, with the place of first use."""
    used: Dict[str, int] = {}
    for i in needed(plan):
        node = plan.nodes[i]
        if node.op == "bar":
            used.setdefault(node.data, node.pos)
    return used


def run_plan(plan: Plan, data: Any, code_column: Any, date_column: Any, params: Mapping[str, float]) -> FormulaResult:
    try:
        names = _column_names(data)
    except (AttributeError, TypeError):
        raise FormulaError(f"bars must be a data frame or a mapping of columns, not {type(data).__name__}") from None

    def pick(given: Any, default: str) -> Any:
        if given is None:
            return _find(names, (default,))
        found = given if given in names else _find(names, (str(given).lower(),))
        if found is None:
            raise FormulaError(f"there is no column {given!r}")
        return found

    code_name, date_name = pick(code_column, "code"), pick(date_column, "date")
    columns: Dict[str, np.ndarray] = {}
    for field, pos in _bars_used(plan).items():
        name = _find(names, _BAR_COLUMNS[field])
        if name is None:
            wanted = " or ".join(_BAR_COLUMNS[field])
            raise FormulaError(f"the bars have no {wanted} column", plan.text, pos)
        columns[field] = _floats(data[name], name)
    codes = _values(data[code_name]) if code_name is not None else None
    dates = _values(data[date_name]) if date_name is not None else None
    lengths = {len(c) for c in [*columns.values(), *(x for x in (codes, dates) if x is not None)]}
    if not lengths and names:
        lengths = {len(_values(data[names[0]]))}
    if len(lengths) > 1:
        raise FormulaError("the columns differ in length")
    rows = lengths.pop() if lengths else 0

    if codes is not None:
        order, starts = _segments(codes, dates)
        if order is not None:
            columns = {k: v[order] for k, v in columns.items()}
            codes = codes[order]
            dates = dates[order] if dates is not None else None
    else:
        starts = np.zeros(1, dtype=np.int64)
    ctx = Context(rows, starts, dates)
    values = evaluate(plan, ctx, columns, params)
    lines = [_line(out, v) for out, v in zip(plan.outputs, values)]
    return FormulaResult(lines, codes, dates, code_name, date_name, ctx.starts)


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
    args = {p[0]: v for p, v in zip(word.params, value)}
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
    written (`drawings` lists those alone); `result[name]` the values of
    the line of that name (case-insensitive; an unnamed line answers to its
    expression text). For a market, `codes` and `dates` give each row's
    code and date (rows ordered by code, then date), with the original
    values.
    """

    def __init__(self, lines: Sequence[Line], codes: Optional[np.ndarray] = None, dates: Optional[np.ndarray] = None,
                 code_name: Any = None, date_name: Any = None, starts: Optional[np.ndarray] = None) -> None:
        self.lines = tuple(lines)
        self.codes, self.dates = codes, dates
        self._code_name, self._date_name = code_name or "code", date_name or "date"
        self._starts = starts
        self._by_name: Dict[str, Line] = {}
        for line in self.lines:
            self._by_name.setdefault(line.label.upper(), line)

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

    def __getitem__(self, name: Any) -> np.ndarray:
        line = self._by_name.get(str(name).upper())
        if line is None:
            raise KeyError(name)
        return line.values

    def __contains__(self, name: object) -> bool:
        return str(name).upper() in self._by_name

    def to_frame(self) -> Any:
        """A pandas DataFrame: code and date columns (when known), then one
        column per line."""
        import pandas as pd

        data: Dict[Any, Any] = {}
        if self.codes is not None:
            data[self._code_name] = self.codes
        if self.dates is not None:
            data[self._date_name] = self.dates
        for line in self.lines:
            label = line.label
            while label in data:
                label += "_"
            data[label] = line.values
        return pd.DataFrame(data)

    def __repr__(self) -> str:
        return f"<FormulaResult {self.names} rows={len(self.lines[0].values) if self.lines else 0}>"
