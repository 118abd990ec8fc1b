"""Finding and reading the columns of a frame, and reading a frame of bars
as one security or a market: the one place that knows the layouts.

A frame is a pandas or polars DataFrame or a mapping of arrays. Column names
match ignoring case; two names equal ignoring case are refused rather than
one picked. A code or a date is a column or, in pandas, a level of the index
(a MultiIndex with code and date levels in either order, a DatetimeIndex):
with a code it is a market, each security on its own; without one, one
security. Where a date states the time order, each security is computed
oldest first; without a date the given order is the time order."""
from __future__ import annotations

import warnings
from typing import Any, Dict, Iterable, List, Mapping, NamedTuple, Optional, Tuple

import numpy as np

from . import _native

# Column names (lower case) that hold each bar field, by the field's name in
# the formula language.
BAR_COLUMNS = {
    "OPEN": ("open",), "HIGH": ("high",), "LOW": ("low",), "CLOSE": ("close",),
    "VOL": ("volume", "vol"), "AMOUNT": ("amount",),
}

# The column names each field of the frame functions is found under, ignoring
# case; `columns=` maps these fields to other names.
FIELD_COLUMNS = {
    "open": BAR_COLUMNS["OPEN"], "high": BAR_COLUMNS["HIGH"], "low": BAR_COLUMNS["LOW"],
    "close": BAR_COLUMNS["CLOSE"], "volume": BAR_COLUMNS["VOL"], "amount": BAR_COLUMNS["AMOUNT"],
    "float_mv": ("float_mv",), "total_mv": ("total_mv",),
}

DUPLICATES = ("raise", "first", "last")


def column_names(data: Any) -> List[Any]:
    columns = getattr(data, "columns", None)
    names = columns if columns is not None else data.keys()
    return list(names)


def find(names: Iterable[Any], wanted: Iterable[str]) -> Optional[Any]:
    """The first of `names` equal to one of `wanted` (lower case) ignoring
    case, trying `wanted` in order; None when there is none. Two names
    equal to the same wanted one ignoring case raise ValueError."""
    lowered: Dict[str, List[Any]] = {}
    for name in names:
        lowered.setdefault(str(name).lower(), []).append(name)
    for w in wanted:
        found = lowered.get(w)
        if found and len(found) > 1:
            raise ValueError(f"the columns {', '.join(repr(n) for n in found)} differ only in case: "
                             "name the one to read")
        if found:
            return found[0]
    return None


def values(column: Any) -> np.ndarray:
    to_numpy = getattr(column, "to_numpy", None)
    return np.asarray(to_numpy() if to_numpy is not None else column)


def dense(keys: np.ndarray) -> Tuple[np.ndarray, int]:
    """Integers 0..count-1 in the order of `keys` (any type that sorts), and
    count. Raises TypeError when the keys cannot be ordered."""
    try:
        import pandas
    except ImportError:
        uniques, ids = np.unique(keys, return_inverse=True)
        return ids.reshape(-1).astype(np.int64), len(uniques)
    ids, uniques = pandas.factorize(keys, sort=True, use_na_sentinel=False)
    return np.asarray(ids, dtype=np.int64), len(uniques)


# Arrow string chunks as _native reads them: (offsets or views, data buffers, first, length) each.
_Chunks = Tuple[Tuple[np.ndarray, Tuple[np.ndarray, ...], int, int], ...]


def _polars_series(column: Any) -> bool:
    return type(column).__name__ == "Series" and (type(column).__module__ or "").startswith("polars")


def _pandas_text(column: Any) -> bool:
    """Whether `column` is a pandas Series or Index of a text dtype with no
    missing value: numbering it in place gives the ids its values give."""
    kind = type(column)
    if not (kind.__module__ or "").startswith("pandas") or kind.__name__ not in ("Series", "Index"):
        return False
    return str(column.dtype) in ("str", "string") and not bool(column.isna().any())


def _arrow_text(column: Any) -> Optional[_Chunks]:
    """The Arrow chunks of a text column held in Arrow memory (a pandas
    column of Arrow-backed strings, a polars String column), with no
    missing value, as _native.text_ids reads them; None for any other."""
    kind, module = type(column), type(column).__module__ or ""
    if module.startswith("pandas"):
        if not _pandas_text(column) or getattr(column.dtype, "storage", None) != "pyarrow":
            return None
        arrow = column.array.__arrow_array__()
    elif module.startswith("polars") and kind.__name__ == "Series":
        import polars

        if column.dtype != polars.String or column.null_count():
            return None
        try:  # string views as polars holds them, not copied into offsets
            arrow = column.to_arrow(compat_level=polars.CompatLevel.newest())
        except (AttributeError, TypeError):
            arrow = column.to_arrow()
    else:
        return None
    return arrow_chunks(arrow)


class _StrObjects(NamedTuple):
    """A column of str objects read natively: the UTF-8 bytes of each row,
    or, where the column holds few distinct objects, of each object with
    each row's object (`object_of`) and each object's first row."""
    chunks: _Chunks
    objects: np.ndarray
    object_of: Optional[np.ndarray]
    first_row: Optional[np.ndarray]


def _str_objects(column: Any) -> Optional[_StrObjects]:
    """A column of Python str objects (a NumPy or pandas column of objects,
    a pandas text column held as objects) as one chunk of UTF-8 bytes that
    _native.text_ids reads, and the objects; None for any other, or for one
    holding anything but exact strs (a missing value, say)."""
    kind, module, dtype = type(column), type(column).__module__ or "", getattr(column, "dtype", None)
    if isinstance(column, np.ndarray):
        held = dtype == object and column.ndim == 1
    elif module.startswith("pandas") and kind.__name__ in ("Series", "Index"):
        held = dtype == object or str(dtype) in ("str", "string") and getattr(dtype, "storage", None) == "python"
    else:
        return None
    if not held:
        return None
    objects = np.ascontiguousarray(values(column), dtype=object)
    read = _native.str_texts(objects)
    if read is None:
        return None
    offsets, data = np.asarray(read[0]), np.asarray(read[1])
    object_of, first_row = (None if b is None else np.asarray(b) for b in read[2:])
    return _StrObjects(((offsets, (data,), 0, len(offsets) - 1),), objects, object_of, first_row)


def arrow_chunks(arrow: Any) -> Optional[_Chunks]:
    """The chunks of a pyarrow array or chunked array of strings with no
    missing value, as _native.text_ids reads them; None for any other."""
    chunks = []
    for chunk in getattr(arrow, "chunks", [arrow]):
        if chunk.null_count:
            return None
        kind_of = str(chunk.type)
        buffers = chunk.buffers()
        bytes_of = [np.frombuffer(b, dtype=np.uint8) if b is not None else np.zeros(0, np.uint8) for b in buffers[2:]]
        if kind_of in ("string", "large_string"):
            width = np.int32 if kind_of == "string" else np.int64
            layout = np.frombuffer(buffers[1], dtype=width) if buffers[1] is not None else np.zeros(1, width)
        elif kind_of == "string_view":
            layout = np.frombuffer(buffers[1], dtype=np.uint8) if buffers[1] is not None else np.zeros(0, np.uint8)
        else:
            return None
        chunks.append((layout, tuple(bytes_of), int(chunk.offset), len(chunk)))
    return tuple(chunks)


def frame_kind(data: Any) -> str:
    """'pandas', 'polars' or 'mapping'; TypeError for anything else."""
    module, name = type(data).__module__ or "", type(data).__name__
    if name == "DataFrame" and module.startswith("pandas"):
        return "pandas"
    if name == "DataFrame" and module.startswith("polars"):
        return "polars"
    if name == "LazyFrame" and module.startswith("polars"):
        raise TypeError("a polars LazyFrame is a query, not bars: collect() it first")
    if isinstance(data, Mapping):
        return "mapping"
    raise TypeError(f"expected a pandas or polars DataFrame or a mapping of columns, not {type(data).__name__}")


def take(column: Any, rows: np.ndarray) -> Any:
    """The values of `column` at `rows`, of the column's own type."""
    if hasattr(column, "iloc"):
        return column.iloc[rows].reset_index(drop=True)
    if hasattr(column, "gather"):
        return column.gather(rows)
    if hasattr(column, "take") and not isinstance(column, np.ndarray):  # a pandas Index
        return column.take(rows)
    return np.asarray(column)[rows]


def gather(rows: np.ndarray, column: np.ndarray) -> np.ndarray:
    """`column[rows]` (rows int64 in range). A column of 8-byte numbers (a
    float64, int64 or datetime64 column, say) is gathered natively, asking
    for the items ahead of their use: rows in random order wait on memory
    at every item otherwise."""
    if column.ndim == 1 and column.dtype.itemsize == 8 and column.dtype.kind in "fiuMm" and len(rows) > 4096:
        (taken,) = _native.take(rows, (np.ascontiguousarray(column).view(np.int64),), 0)
        return np.asarray(taken).view(column.dtype)
    return np.asarray(column[rows])


def take_rows(data: Any, rows: np.ndarray) -> Any:
    """The frame's `rows`, of its own kind (a pandas frame keeps the labels
    of its index)."""
    kind = frame_kind(data)
    if kind == "pandas":
        return data.iloc[rows]
    if kind == "polars":
        return data[rows]
    return {name: np.asarray(column)[rows] for name, column in data.items()}


class Key:
    """A code or date column (or index level): its values, each as a dense
    integer in the order of the values."""

    def __init__(self, name: Any, column: Any, label: str, rows: int, level: bool) -> None:
        self.name, self.column, self.level = name, column, level
        # A text column without missing values is numbered from its own
        # storage (natively where that is Arrow memory, or from its UTF-8
        # bytes where it holds str objects); its values become Python
        # strings only when asked for.
        self._arrow = _arrow_text(column)
        self._objects: Optional[np.ndarray] = None
        self._object_of: Optional[np.ndarray] = None  # each row's object, where _arrow holds each object's text
        self._object_firsts: Optional[np.ndarray] = None
        self._object_keys: Optional[np.ndarray] = None  # each object's text key, where rows take their object's
        if self._arrow is None:
            read = _str_objects(column)
            if read is not None:
                self._arrow, self._objects, self._object_of, self._object_firsts = read
        self._text = self._arrow is not None or _pandas_text(column)
        self._values: Optional[np.ndarray] = None if self._text else values(column)
        shape = (len(column),) if self._text else self.values.shape
        if len(shape) != 1 or shape[0] != rows:
            if len(shape) == 2:
                raise ValueError(f"the {label} column name {name!r} is repeated: name each column once")
            raise ValueError(f"the {label} column has {shape[0]} values, the bars {rows}")
        self._ids: Optional[np.ndarray] = None
        self._text_keys: Optional[np.ndarray] = None  # keys from the bytes of Arrow text, where they span near
        self._text_keys_read = False
        self._firsts: Optional[np.ndarray] = None  # the first row of each text key, when asked
        self._id_firsts: Optional[np.ndarray] = None  # the first row of each id of Arrow text
        self._uniques: Any = None
        self._keys: Optional[bool] = None
        self.label = label

    @property
    def values(self) -> np.ndarray:
        if self._values is None:
            self._values = values(self.column)
        return self._values

    @property
    def ids(self) -> np.ndarray:
        if self._ids is None:
            try:
                if self._arrow is not None:
                    ids, firsts = (np.asarray(a) for a in _native.text_ids(self._arrow))
                    if self._object_of is not None:  # the objects' numbers, each row taking its object's
                        assert self._object_firsts is not None
                        ids, firsts = gather(self._object_of, ids), self._object_firsts[firsts]
                    self._ids, self._uniques, self._id_firsts = ids, take(self.column, firsts), firsts
                elif self._text:
                    import pandas

                    ids, self._uniques = pandas.factorize(self.column, sort=True, use_na_sentinel=False)
                    self._ids = np.asarray(ids, dtype=np.int64)
                else:
                    self._ids = dense(self.values)[0]
            except TypeError as e:
                raise TypeError(f"the values of the {self.label} column cannot be ordered: {e}") from None
        return self._ids

    def sort_keys(self) -> np.ndarray:
        """Int64 keys in the order of the values, equal where the values
        are: the values themselves where they are integers, dates or
        durations that fit (no NaT); for Arrow text, keys read from its
        bytes (see _native.text_keys) where they span about the column's
        length; else the dense ids."""
        if self._arrow is not None and not self._text_keys_read:
            keys = _native.text_keys(self._arrow, len(self.column) + 65536)
            if keys is not None and self._object_of is not None:  # the objects' keys, each row taking its object's
                self._object_keys = np.asarray(keys)
                keys = gather(self._object_of, self._object_keys)
            self._text_keys, self._text_keys_read = None if keys is None else np.asarray(keys), True
            if self.label == "date":
                self._refuse_dates_out_of_order()
        if self._text_keys is not None:
            return self._text_keys
        if not self.values_are_keys():
            return self.ids
        v = self.values
        return np.ascontiguousarray(v.view(np.int64) if v.dtype.kind in "Mm" else v, dtype=np.int64)

    def _refuse_dates_out_of_order(self) -> None:
        """Text dates are ordered as text. Where every distinct text reads
        as a number or as a date but the two orders differ ("10" sorts
        before "2", "2024-1-10" before "2024-1-2"), bars would be computed
        out of time order: ValueError, saying how to give them."""
        try:
            import pandas
        except ImportError:
            return
        rows = self._first_rows()
        rows = rows[rows >= 0]  # a row of each distinct text, in text order
        texts = self._objects[rows] if self._objects is not None else \
            np.asarray(values(take(self.column, rows)), dtype=object)
        if len(texts) < 2:
            return
        read = pandas.Series(texts, dtype=object)
        numbers = pandas.to_numeric(read, errors="coerce")
        if not bool(numbers.isna().any()):
            what, how = "numbers", "as numbers (astype(int)) or as text of one width ('002', '010')"
            order = numbers.to_numpy()
        else:
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")  # a format pandas guesses, or reads text by text
                    stamps = pandas.to_datetime(read, errors="coerce")
            except (TypeError, ValueError, OverflowError):  # mixed time zones, say: not dates to check
                return
            if bool(stamps.isna().any()):
                return
            what, how = "dates", "as datetime64 (pandas.to_datetime) or as text that sorts as they do (YYYY-MM-DD)"
            order = stamps.to_numpy()
        back = np.flatnonzero(order[1:] < order[:-1])
        if len(back):
            first, then = texts[back[0]], texts[back[0] + 1]
            raise ValueError(f"the date column holds text that sorts otherwise than its {what} ({first!r} sorts "
                             f"before {then!r}): give the dates {how}")

    def values_are_keys(self) -> bool:
        """Whether sort_keys() are the values themselves (integers, dates or
        durations that fit int64, no NaT)."""
        if self._keys is None:
            v = None if self._text else self.values
            self._keys = v is not None and (
                v.dtype.kind in "ib" or (v.dtype.kind == "u" and (not len(v) or int(v.max()) < 2**63))
                or (v.dtype.kind in "Mm" and not np.isnat(v).any()))
        return self._keys

    def values_from_keys(self) -> bool:
        """Whether from_sort_keys gives the values back from the keys alone."""
        column, dtype = self.column, getattr(self.column, "dtype", None)
        if self._objects is not None:
            return isinstance(column, np.ndarray) or type(column).__name__ == "Series"
        if self._arrow is not None:
            return type(column).__name__ == "Series"
        if _polars_series(column):  # numbers and times of NumPy's kinds, without a time zone
            return getattr(dtype, "time_zone", None) is None and self.values_are_keys() \
                and self.values.dtype.itemsize == 8 and self.values.dtype.kind in "iuMm"
        plain = isinstance(column, np.ndarray) or type(column).__name__ == "Series" and hasattr(column, "iloc")
        return plain and isinstance(dtype, np.dtype) and dtype.kind in "iuMm" and self.values_are_keys()

    def from_sort_keys(self, keys: np.ndarray, rows: Optional[np.ndarray] = None) -> Any:
        """The values whose sort_keys() are `keys` (as int64 or their bits),
        which run in stretches of equal keys, of the column's own type as
        `at` gives them; None where the keys do not give them back (the
        values at `rows`, where given, do for text)."""
        if not self.values_from_keys():
            return None
        if self._arrow is not None:
            # Text: a row of each stretch's text, written out over the
            # stretch (natively from Arrow memory; str objects repeated).
            keys = keys.view(np.int64)
            starts = np.flatnonzero(np.r_[True, keys[1:] != keys[:-1]]) if len(keys) else np.zeros(0, np.intp)
            counts = np.diff(np.append(starts, len(keys))).astype(np.int64)
            at = np.ascontiguousarray(rows[starts] if rows is not None else self._first_rows()[keys[starts]],
                                      dtype=np.int64)
            if self._objects is not None:
                return self._object_column(np.repeat(self._objects[at], counts))
            offsets, data = _native.repeat_texts(self._arrow, at, counts)
            return self._text_column(np.asarray(offsets), np.asarray(data), len(keys))
        column = self.column
        if _polars_series(column):
            import polars

            taken = polars.Series(column.name, keys.view(np.int64).view(self.values.dtype))
            return taken if taken.dtype == column.dtype else taken.cast(column.dtype)
        dtype = column.dtype
        keys = keys.view(np.int64)
        values = keys.view(dtype) if dtype.itemsize == 8 else keys.astype(dtype)
        if isinstance(column, np.ndarray):
            return values
        import pandas

        return pandas.Series(values, name=column.name, copy=False)

    def _first_rows(self) -> np.ndarray:
        """The first row of each sort key's value (Arrow text)."""
        keys = self.sort_keys()
        if self._text_keys is None:  # the keys are the ids, whose first rows the numbering found
            assert self._id_firsts is not None
            return self._id_firsts
        if self._firsts is None:
            span = int(keys.max()) + 1 if len(keys) else 0
            if self._object_keys is not None:  # from the objects' keys: the first object of a key is met first
                assert self._object_firsts is not None
                firsts = np.asarray(_native.first_rows(self._object_keys, span))
                self._firsts = np.where(firsts >= 0, self._object_firsts[np.maximum(firsts, 0)], -1)
            else:
                self._firsts = np.asarray(_native.first_rows(keys, span))
        return self._firsts

    def _text_column(self, offsets: np.ndarray, data: np.ndarray, count: int) -> Any:
        """A text Series of the column's kind from Arrow large-string buffers."""
        import importlib

        pyarrow = importlib.import_module("pyarrow")
        array = pyarrow.Array.from_buffers(pyarrow.large_string(), count,
                                           [None, pyarrow.py_buffer(offsets), pyarrow.py_buffer(data)])
        if (type(self.column).__module__ or "").startswith("polars"):
            import polars

            return polars.Series(self.column.name, array)
        import pandas

        return pandas.Series(pandas.array(array, dtype=self.column.dtype), name=self.column.name)

    def _object_column(self, objects: np.ndarray) -> Any:
        """A column of the column's kind (NumPy, a pandas column of objects
        or of text held as objects) holding `objects`, all strs."""
        if isinstance(self.column, np.ndarray):
            return objects
        import pandas

        dtype = self.column.dtype  # said, or pandas 3 would read the objects as Arrow text
        return pandas.Series(objects if dtype == object else pandas.array(objects, dtype=dtype), dtype=dtype,
                             name=self.column.name, copy=False)

    def values_at(self, rows: np.ndarray) -> np.ndarray:
        """`values[rows]`; a text column's from its few distinct values, or
        read at those rows alone."""
        if self._text and self._values is None:
            if self._uniques is not None:
                return np.asarray(values(self._uniques).astype(object)[self.ids[rows]])
            return np.asarray(values(take(self.column, rows))).astype(object)
        return np.asarray(self.values[rows])

    def at(self, rows: np.ndarray) -> Any:
        """The original values at `rows`, of the column's own type."""
        if self._uniques is not None and type(self.column).__name__ == "Series":
            # Rows in code order mostly repeat a code: taken from the few
            # distinct values, not from the long text column.
            ids, uniques = self.ids[rows], self._uniques
            if not hasattr(uniques, "iloc") and not hasattr(uniques, "gather"):  # a pandas Index
                import pandas

                uniques = pandas.Series(uniques, name=self.column.name)
            return take(uniques, ids)
        dtype = getattr(self.column, "dtype", None)
        if isinstance(dtype, np.dtype) and not isinstance(self.column, np.ndarray) and dtype.itemsize == 8 \
                and dtype.kind in "iufMm" and hasattr(self.column, "iloc"):
            # A pandas column of NumPy numbers or times: gathered natively, in its own dtype.
            import pandas

            return pandas.Series(gather(rows, self.values), name=self.column.name, copy=False)
        return take(self.column, rows)


class Market:
    """A frame of bars read once: its columns by field, its code and date,
    the rows in time order and the way results go back.

    `rows` are the input rows computed, each security's oldest first and
    securities by ascending code (a repeated code and date dropped or
    refused); `starts` the first position of each security among them.
    `layout` says how results go back: "one" (one security: the caller's
    rows and index), "index" (a market keyed by the pandas index: its
    labels at `rows`) or "columns" (a market keyed by columns: the code and
    date columns at `rows`)."""

    def __init__(self, data: Any, *, code: Any = None, date: Any = None, columns: Optional[Mapping[str, Any]] = None,
                 duplicates: str = "raise", fields: Mapping[str, Tuple[str, ...]] = FIELD_COLUMNS,
                 keys: bool = True) -> None:
        if duplicates not in DUPLICATES:
            raise ValueError(f"duplicates must be one of {', '.join(map(repr, DUPLICATES))}, not {duplicates!r}")
        self.data = data
        self.kind = frame_kind(data)
        self.names = column_names(data)
        self.fields = fields
        self.given = dict(columns or {})
        for field in self.given:
            if field not in fields:
                raise ValueError(f"columns= names the column of a field: {', '.join(fields)}; not {field!r}")
        self._first_index: Optional[Tuple[Any, Any]] = None
        self.levels = self._levels()
        self.length = self._length()
        # keys=False reads the columns only: one security in the given order.
        self.code = self._key(code, "code") if keys else None
        self.date = self._key(date, "date") if keys else None
        if keys and self.date is None and date is None and self.kind == "pandas" and data.index.nlevels == 1:
            index = data.index
            if getattr(index, "dtype", None) is not None and index.dtype.kind == "M":
                self.date = Key(index.name, index, "date", self.length, True)
        self.index = data.index if self.kind == "pandas" else None
        if self.code is None:
            self.layout = "one"
        elif self.code.level or (self.date is not None and self.date.level):
            self.layout = "index"
        else:
            self.layout = "columns"
        self._duplicates = duplicates
        self._sorted: Optional[Tuple[np.ndarray, np.ndarray, bool]] = None
        self._dates: Optional[np.ndarray] = None
        self._moved: Dict[Any, np.ndarray] = {}  # columns the sort moved into order, until asked for
        self._ascending: Optional[bool] = None

    @property
    def rows(self) -> np.ndarray:
        return self._time_order()[0]

    @property
    def starts(self) -> np.ndarray:
        return self._time_order()[1]

    @property
    def ordered(self) -> bool:
        """Whether the rows computed are the caller's rows as they are."""
        return self._time_order()[2]

    def _time_order(self, carry: Optional[Mapping[Any, np.ndarray]] = None) -> Tuple[np.ndarray, np.ndarray, bool]:
        if self._sorted is None:
            rows, starts = self._order(self._duplicates, carry or {})
            # Rows already in time order are the caller's; sorted ones are checked.
            kept = not self.needs_sort() or (len(rows) == self.length and _is_range(rows))
            self._sorted = rows, starts, kept
        return self._sorted

    def in_order(self, columns: Mapping[Any, np.ndarray]) -> Dict[Any, np.ndarray]:
        """Each of `columns` (a value per input row) at `rows`. Columns of
        8-byte numbers ride along with the sort that puts the rows in
        order, when it has not run yet: each row is then read once, in the
        given order, rather than looked up at random afterwards."""
        carry = {k: v for k, v in columns.items() if v.ndim == 1 and v.dtype.itemsize == 8 and v.dtype.kind in "fiuMm"}
        rows, _, ordered = self._time_order(carry)
        moved, self._moved = self._moved, {}
        return {k: v if ordered else moved[k] if k in moved else gather(rows, v) for k, v in columns.items()}

    # ---- columns ----

    def _levels(self) -> Dict[Any, int]:
        """Named pandas index levels that are not also columns, by name."""
        if self.kind != "pandas":
            return {}
        return {n: i for i, n in enumerate(self.data.index.names) if n is not None and n not in self.names}

    def _length(self) -> int:
        if self.kind == "pandas":
            return len(self.data)
        if self.kind == "polars":
            return int(self.data.height)
        # A mapping's length is that of its code, date or close column (or
        # the first): every column read is checked against it.
        names = [n for n in self.names if np.ndim(self.data[n]) >= 1]
        key = next((n for w in ("code", "date", "close") for n in names if str(n).lower() == w), None)
        first = key if key is not None else (names[0] if names else None)
        return 0 if first is None else len(self.data[first])

    def listing(self) -> str:
        return ", ".join(repr(n) for n in [*self.names, *self.levels]) or "none"

    def lookup(self, name: Any, what: str) -> Any:
        """The column or index level called `name` (ignoring case)."""
        every = [*self.names, *self.levels]
        found = name if name in every else find(every, (str(name).lower(),))
        if found is None:
            raise ValueError(f"there is no column {name!r} for the {what}; the columns are: {self.listing()}")
        return found

    def column(self, name: Any) -> Any:
        if name in self.levels:
            return self.data.index.get_level_values(self.levels[name])
        column = self.data[name]
        if self.kind == "mapping":
            if np.ndim(column) == 1 and len(column) != self.length:
                raise ValueError(f"the columns differ in length: {name!r} has {len(column)} values, the bars "
                                 f"{self.length}")
            self._aligned(name, column)
        return column

    def _aligned(self, name: Any, column: Any) -> None:
        """A mapping's pandas Series share one index: read by position,
        Series on different indexes would put one day's values beside
        another's."""
        index = getattr(column, "index", None)
        if index is None or type(column).__name__ != "Series":
            return
        if self._first_index is None:
            self._first_index = (name, index)
        elif index is not self._first_index[1] and not index.equals(self._first_index[1]):
            raise ValueError(f"the pandas Series {self._first_index[0]!r} and {name!r} have different indexes; "
                             "align them first or give arrays, which are read by position")

    def field_name(self, field: str, required: bool = True) -> Any:
        """The column of a bar field; None for a missing optional one."""
        if field in self.given:
            return self.lookup(self.given[field], field)
        name = find(self.names, self.fields[field])
        if name is None and required:
            raise ValueError(f"there is no {' or '.join(self.fields[field])} column (name it with "
                             f"columns={{{field!r}: ...}}); the columns are: {self.listing()}")
        return name

    def _key(self, given: Any, label: str) -> Optional[Key]:
        name = self.lookup(given, label) if given is not None else find([*self.names, *self.levels], (label,))
        if name is None:
            return None
        return Key(name, self.column(name), label, self.length, name in self.levels)

    # ---- time order ----

    def _order(self, duplicates: str, carry: Mapping[Any, np.ndarray]) -> Tuple[np.ndarray, np.ndarray]:
        n = self.length
        code, date = self.code, self.date
        if code is None and date is None:
            return np.arange(n), np.zeros(1 if n else 0, dtype=np.int64)
        if self._in_order():
            rows = np.arange(n)
            ids = None if code is None else code.sort_keys()
        else:
            # Sorted natively on int64 keys in the values' order, the columns
            # carried moving along; a repeated code and date (counted there)
            # is resolved on the sorted rows.
            codes = code.sort_keys() if code is not None else np.zeros(n, dtype=np.int64)
            carried = [np.ascontiguousarray(v).view(np.int64) for v in carry.values()]
            found, first, repeats, dates, moved = _native.order(
                codes, None if date is None else date.sort_keys(), tuple(carried))
            rows = np.asarray(found)
            self._moved = {k: np.asarray(m).view(v.dtype) for (k, v), m in zip(carry.items(), moved)}
            if not repeats:
                if date is not None and date.values_are_keys() and date.values.dtype.itemsize == 8:
                    self._dates = np.asarray(dates).view(date.values.dtype)  # each row's date, as sorted
                return rows, np.asarray(first)
            assert date is not None
            keep = _one_per_pair(rows, code.sort_keys() if code is not None else None, date.sort_keys(), duplicates,
                                 self)
            if keep is not None:
                rows = rows[keep]
                self._moved = {k: v[keep] for k, v in self._moved.items()}
            ids = code.sort_keys()[rows] if code is not None else None
        if ids is None or n == 0:
            return rows, np.zeros(1 if len(rows) else 0, dtype=np.int64)
        change = np.flatnonzero(ids[1:] != ids[:-1]) + 1
        return rows, np.concatenate(([0], change)).astype(np.int64)

    def needs_sort(self) -> bool:
        """Whether the rows must be sorted into the time order."""
        return not (self.code is None and self.date is None) and not self._in_order()

    def _in_order(self) -> bool:
        """Whether the rows run by code, then date within a code, with no
        repeat: the time order without a sort."""
        if self._ascending is None:
            keys = [k for k in (self.code, self.date) if k is not None]
            self._ascending = bool(keys) and _ascending([k.sort_keys() for k in keys], self.date is not None)
        return self._ascending

    def dates_in_order(self) -> Optional[np.ndarray]:
        """Each computed row's date (the date column at `rows`), gathered once."""
        if self.date is None:
            return None
        rows = self.rows  # ordering may leave each row's date behind
        if self._dates is None:
            self._dates = self.date.values if self.ordered else gather(rows, self.date.values)
        return self._dates

    def codes_in_order(self) -> np.ndarray:
        """Each computed row's code (the code column at `rows`): a security's
        code repeated over its rows, which reads the column at one row per
        security rather than at every row."""
        assert self.code is not None
        rows, starts = self.rows, self.starts
        return np.repeat(self.code.values_at(rows[starts]), np.diff(np.append(starts, len(rows))))

    def segment_ids(self) -> np.ndarray:
        """Each computed row's security as 0, 1, ... in code order."""
        lengths = np.diff(np.append(self.starts, len(self.rows)))
        return np.repeat(np.arange(len(self.starts), dtype=np.uint64), lengths)

    def pair(self, row: int) -> str:
        assert self.date is not None
        keys = [k.values[row] for k in (self.code, self.date) if k is not None]
        return "(" + ", ".join(_shown(v) for v in keys) + ")"

    # ---- results back ----

    def scatter(self, values: np.ndarray) -> np.ndarray:
        """Values computed on `rows` placed on the caller's rows, NaN on the others."""
        if self.ordered:
            return values
        full = np.full(self.length, np.nan)
        full[self.rows] = values
        return full

    def build(self, columns: Dict[Any, Any], index: Any = None) -> Any:
        """A frame of the input's kind."""
        return build_frame(self.kind, columns, index)


def build_frame(kind: str, columns: Dict[Any, Any], index: Any = None) -> Any:
    """A frame of `kind` ("pandas", "polars" or "mapping", see frame_kind)
    holding `columns`."""
    if kind == "pandas":
        import pandas

        return pandas.DataFrame(columns, index=index, copy=False)
    if kind == "polars":
        import polars

        return polars.DataFrame(columns)
    return columns


def _shown(value: Any) -> str:
    """A key value as a message shows it: text quoted, a midnight datetime as its day."""
    if isinstance(value, str):
        return repr(value)
    if isinstance(value, np.datetime64):
        import pandas

        stamp = pandas.Timestamp(value)
        return str(stamp.date()) if stamp == stamp.normalize() else str(stamp)
    return str(value)


def _is_range(rows: np.ndarray) -> bool:
    n = len(rows)
    return n == 0 or (rows[0] == 0 and rows[-1] == n - 1 and bool(np.array_equal(rows, np.arange(n))))


def _ascending(keys: List[np.ndarray], strict: bool) -> bool:
    """Whether the rows run by the first key, then the next within it
    (strictly by the last when `strict`): no sort and no repeat."""
    if len(keys[0]) > 65536 and not _ascending([k[:4096] for k in keys], strict):
        return False  # rows out of order mostly show it early
    first = keys[0]
    if len(keys) == 1:
        step = first[1:] > first[:-1] if strict else first[1:] >= first[:-1]
        return bool(np.all(step))
    code, date = keys
    same = code[1:] == code[:-1]
    return bool(np.all((code[1:] > code[:-1]) | (same & (date[1:] > date[:-1]))))


def _one_per_pair(rows: np.ndarray, code: Optional[np.ndarray], date: np.ndarray, duplicates: str,
                  market: Market) -> Optional[np.ndarray]:
    """Which of `rows` (in code and date order, ties in the given order) to
    keep for one row per (code, date), None for all: a repeat raises
    ValueError unless `duplicates` keeps the first or the last of each."""
    d = date[rows]
    repeat = d[1:] == d[:-1]
    if code is not None:
        c = code[rows]
        repeat &= c[1:] == c[:-1]
    count = int(np.count_nonzero(repeat))
    if count == 0:
        return None
    if duplicates == "raise":
        shown = dict.fromkeys(market.pair(int(r)) for r in rows[1:][repeat][:12])
        pairs = ", ".join(list(shown)[:3])
        what = "(code, date)" if code is not None else "date"
        raise ValueError(f"{count} rows repeat a {what} of an earlier row, first {pairs}: keep one with "
                         "duplicates='first' or duplicates='last'")
    keep = np.ones(len(rows), dtype=bool)
    if duplicates == "first":
        keep[1:][repeat] = False
    else:
        keep[:-1][repeat] = False
    return keep
