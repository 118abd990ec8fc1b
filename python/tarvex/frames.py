"""DataFrames in, DataFrames out: indicators and crossing signals of one
security or a whole market, and composite indices, over pandas or polars
DataFrames (or mappings of arrays), computed by the batch engine.

Bar columns are found by name, ignoring case (``open``, ``high``, ``low``,
``close``, ``volume`` or ``vol``, ``amount``, ``float_mv``, ``total_mv``),
or named by the caller with ``columns={"close": "Adj Close"}``; two columns
equal ignoring case (``Close`` and ``close``) are refused.

- Without a code the frame is one security. With a date (a ``date`` column,
  ``date=`` naming another, a DatetimeIndex or an index level called
  ``date``) its bars are computed oldest first; without one the given order
  is the time order. The result keeps the frame's rows in the frame's
  order (and a pandas frame's index), so it joins the frame as it is. A row
  whose close is missing (NaN or infinite) is not a bar, a suspended day
  say: it is skipped, its outputs are NaN, and the rows around it are
  computed as if it were not there, exactly as the batch engine drops it
  from a market.
- With a code (a ``code`` column or index level, ``code=`` naming another)
  the frame is a market in any row order: a long frame with code and date
  columns, or a pandas frame whose MultiIndex has code and date levels in
  either order. Codes and dates may be of any type that sorts (strings
  such as "000001", integers, datetime64, dates). The result has one row
  per row with a close, by code then date: with the code and date columns
  (original values) for a long frame, with the caller's index labels for a
  frame keyed by its index.
- A repeated (code, date) is refused (ValueError with the count and the
  first pairs) unless ``duplicates="first"`` or ``"last"`` keeps one.
- ``digits=`` rounds the rounded indicators (MACD, RSI, BOLL ... as the
  direct calls do) to that many decimals; None turns the rounding off. The
  default, 3, gives the numbers of `tarvex_core`.

Importing tarvex does not import pandas. The ``df.tarvex`` accessor (see
_accessor) is registered as soon as both are imported, in either order.
"""
from __future__ import annotations

from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from ._arrays import as_column
from ._catalog import Record, catalog, indicator, table
from ._columns import Market, gather
from ._functions import EXPORTED, FUNCTIONS
from ._market import silence_first, sourced_table, zhishu
from ._prepare import prepare
from ._tasks import indicator_inputs, tasks

__all__ = ["indicators", "crosses", "composite", "indicator_inputs"]

# The bar columns of the batch tables and of a composite index, as the
# table functions name their column parameters.
_BAR_FIELDS = tuple(name for name, kind, _ in table("BATCH")["params"] if kind == "column")
_INDEX_FIELDS = tuple(name for name, kind, _ in table("ZHISHU")["params"] if kind == "column")

# Composite weightings by name, as numbered by ZHISHU.
METHODS = {"equal": 1, "float_mv": 2, "amount": 3, "volume": 4, "total_mv": 5}

# The rounding of the batch engine and of the direct calls unless told.
DEFAULT_DIGITS = 3


# ---- the tasks one call computes, as the batch engine expands them ----

def _settings(name: str, params: Sequence[int]) -> List[List[int]]:
    """The full parameter sets of one name and its list: one per value for
    an expanding indicator given two or more, otherwise one; 0 or a missing
    value takes the default."""
    record = _record(name)
    defaults = [int(p.default or 0) for p in record.params]
    if record.expanding and len(params) >= 2:
        return [[v or defaults[0], *defaults[1:]] for v in params]
    return [[params[k] if k < len(params) and params[k] else d for k, d in enumerate(defaults)]]


def _record(name: str) -> Record:
    return indicator(name)


def _pairs(names_in: Sequence[str], params_in: Sequence[Sequence[int]]) -> List[Tuple[str, str, str]]:
    """The crossing pairs (label, fast field, slow field) of the indicators:
    the registry's pair, or the two periods of an expanding indicator given
    two. ValueError naming the indicators that have one when none does."""
    pairs = []
    for name, params in zip(names_in, params_in):
        record = _record(name)
        sets = _settings(name, params)
        if record.cross is not None:
            pairs.append((f"{name}_cross", *record.cross))
        elif record.expanding and len(sets) == 2:
            pairs.append((f"{name}_cross", f"{name}{sets[0][0]}", f"{name}{sets[1][0]}"))
    if not pairs:
        having = sorted(r.name for r in catalog("indicator") if r.cross is not None)
        expanding = sorted(r.name for r in catalog("indicator") if r.expanding)
        raise ValueError(f"none of {', '.join(map(repr, names_in))} has a fast and a slow line to cross; the "
                         f"indicators that do: {', '.join(having)}, or two periods of {', '.join(expanding)} "
                         f"(('{expanding[0]}', [5, 20]))")
    return pairs


def _rounded(names_in: Sequence[str], params_in: Sequence[Sequence[int]], table: Dict[str, np.ndarray],
             bars: Dict[str, np.ndarray], digits: Optional[int], threads: Optional[int]) -> None:
    """Replaces the engine's fields of the rounded indicators (rounded to the
    library's default) by the direct calls' values at `digits`. `bars` are
    the table's rows; its securities start where the code changes."""
    codes = table["code"]
    starts = np.concatenate(([0], np.flatnonzero(codes[1:] != codes[:-1]) + 1)).astype(np.int64)
    if len(codes) == 0:
        return
    for name, params in zip(names_in, params_in):
        record = _record(name)
        if record.rounding is None:
            continue
        function = FUNCTIONS[record.function]
        divisor = record.divisor
        for values in _settings(name, params):
            args: Dict[str, Any] = {}
            slot = 0
            inputs = iter(record.inputs)
            for param, kind in zip(function.params, function.kinds):
                if kind == "s":
                    args[param] = bars[next(inputs)]
                elif kind == "r":
                    args[param] = digits
                elif kind in "ud":
                    args[param], slot = values[slot], slot + 1
                else:
                    args[param], slot = values[slot] / divisor if divisor != 1 else float(values[slot]), slot + 1
            out = EXPORTED[record.function](**args, starts=starts, threads=threads)
            lines = out if isinstance(out, tuple) else (out,)
            fields = (f"{name}{values[0]}",) if record.expanding else record.fields
            for f, line in zip(fields, lines):
                table[f] = line


def _cross_table(names_in: Sequence[str], params_in: Sequence[Sequence[int]], table: Dict[str, np.ndarray],
                 keep_values: bool, threads: Optional[int]) -> Dict[str, np.ndarray]:
    """The crossing signals of an indicator table, as the batch engine
    gives them: one column per pair and their combination, or "cross"."""
    codes = table["code"]
    starts = np.concatenate(([0], np.flatnonzero(codes[1:] != codes[:-1]) + 1)).astype(np.int64)
    pairs = _pairs(names_in, params_in)
    signals: Dict[str, np.ndarray] = {}
    for label, fast, slow in pairs:
        signals[label] = (EXPORTED["CROSS"](table[fast], table[slow], starts=starts, threads=threads)
                          if len(codes) else np.empty(0))
    if len(signals) > 1:
        up = np.logical_and.reduce([s == 1.0 for s in signals.values()])
        signals["cross"] = up.astype(np.float64)
    else:
        signals = {"cross": next(iter(signals.values()))}
    out = {"code": table["code"], "date": table["date"]}
    if keep_values:
        out.update((k, v) for k, v in table.items() if k not in out)
    out.update(signals)
    return out


def _digits(digits: Optional[int]) -> Optional[int]:
    if digits is None:
        return None
    if isinstance(digits, bool) or not isinstance(digits, (int, np.integer)) or not 0 <= digits < 2**32:
        raise ValueError(f"digits must be a whole number of decimals or None, not {digits!r}")
    return int(digits)


def _min_bars(min_bars: int) -> int:
    if isinstance(min_bars, bool) or not isinstance(min_bars, (int, np.integer)) or min_bars < 0:
        raise ValueError(f"min_bars must be a whole number from 0 up, not {min_bars!r}")
    return int(min_bars)


def _bars(market: Market, names_in: Sequence[str], in_order: bool) -> Dict[str, np.ndarray]:
    """The bar columns the indicators read, in the market's time order or in
    the given one; the others, unread, as NaN."""
    inputs = indicator_inputs()
    needed = {f for n in names_in for f in inputs[n]}
    read = {}
    for f in _BAR_FIELDS:
        if f in needed:
            name = market.field_name(f)
            read[f] = np.ascontiguousarray(as_column(market.column(name), f"column {name!r}"), dtype=np.float64)
    bars = market.in_order(read) if in_order else read
    if len(bars) < len(_BAR_FIELDS):
        unread = np.full(len(market.rows) if in_order else market.length, np.nan)  # one for every field not read
        bars.update((f, unread) for f in _BAR_FIELDS if f not in bars)
    return {f: bars[f] for f in _BAR_FIELDS}


def _table(cross: bool, names_in: List[str], params_in: List[List[int]], codes: np.ndarray, dates: np.ndarray,
           bars: Dict[str, np.ndarray], digits: Optional[int], keep_values: bool, threads: Optional[int],
           sources: bool) -> Tuple[Dict[str, np.ndarray], Optional[np.ndarray], int]:
    """The engine's table of the indicators or their crossings, the rounded
    ones at `digits`; with `sources` (or rounded ones), each row's row of
    `bars` (else None); how many rows repeat the code and date of the row
    before them."""
    rounded = digits != DEFAULT_DIGITS and any(_record(n).rounding is not None for n in names_in)
    columns = [bars[f] for f in _BAR_FIELDS]
    if cross and not rounded:
        return sourced_table(True, keep_values, names_in, params_in, codes, dates, columns, threads, sources)
    table, rows, repeats = sourced_table(False, False, names_in, params_in, codes, dates, columns, threads,
                                         sources or rounded)
    if rounded:
        assert rows is not None
        _rounded(names_in, params_in, table, {f: x[rows] for f, x in bars.items()}, digits, threads)
    if cross:
        table = _cross_table(names_in, params_in, table, keep_values, threads)
    return table, rows, repeats


def _engine_keys(market: Market) -> Optional[Tuple[np.ndarray, np.ndarray]]:
    """Codes and dates by which the engine puts the rows in the market's
    time order itself (as it groups them, reading rows in order in place),
    or None where the Market orders them: one security, negative codes, or
    a row without a close (a repeated code and date would hide behind it
    from the engine's count)."""
    code, date = market.code, market.date
    if code is None:
        return None
    name = market.field_name("close")
    if not np.isfinite(as_column(market.column(name), f"column {name!r}")).all():
        return None
    codes = code.sort_keys()
    if len(codes) and codes.min() < 0:
        return None  # the engine's codes are unsigned
    dates = date.sort_keys() if date is not None else np.arange(market.length, dtype=np.int64)
    return codes.view(np.uint64), dates


def _run(cross: bool, data: Any, names: Any, code: Any, date: Any, columns: Any, duplicates: str,
         digits: Optional[int], min_bars: int, keep_values: bool, period: Optional[str], adjust: Any,
         threads: Optional[int]) -> Any:
    names_in, params_in = tasks(names)
    digits, min_bars = _digits(digits), _min_bars(min_bars)
    if cross:
        _pairs(names_in, params_in)
    data = prepare(data, period=period, adjust=adjust, code=code, date=date, columns=columns, duplicates=duplicates,
                   threads=threads)
    market = Market(data, code=code, date=date, columns=columns, duplicates=duplicates)
    keys = _engine_keys(market)
    table: Optional[Dict[str, np.ndarray]] = None
    source: Optional[np.ndarray] = None
    engine = keys is not None
    if keys is not None:
        # The engine groups the rows by itself (in place when they come in
        # order); a repeated code and date it finds sends the call the
        # ordered way, which refuses or resolves it. Each row's input row is
        # asked for where the result needs more than the engine's keys.
        keyed = all(k.values_from_keys() for k in (market.code, market.date) if k is not None)
        table, source, repeats = _table(cross, names_in, params_in, *keys, _bars(market, names_in, False), digits,
                                        keep_values, threads, market.layout != "columns" or period is not None
                                        or not keyed)
        if repeats:
            table, engine = None, False
    if table is None:
        # The engine takes the rows in the market's time order: each row's
        # code is its security's number and its date its position.
        rows = market.rows
        table, _, _ = _table(cross, names_in, params_in, market.segment_ids(), np.arange(len(rows)),
                             _bars(market, names_in, True), digits, keep_values, threads, False)
        source = rows[table["date"]]
    if cross and min_bars:
        silence_first(table, min_bars)
    keys_out = table.pop("code"), table.pop("date")
    if period is not None:  # whether each period bar is finished, as resample said
        assert source is not None
        table["partial"] = np.asarray(market.column("partial"))[source]
    out: Dict[Any, Any] = {}
    if market.layout == "one":
        assert source is not None
        for f, column in table.items():
            full = np.full(market.length, np.nan) if column.dtype.kind == "f" else np.zeros(market.length, column.dtype)
            full[source] = column
            out[f] = full
        return market.build(out, index=market.index)
    assert market.code is not None
    if market.layout == "index" and market.index is not None:
        assert source is not None
        for key in (market.code, market.date):  # a key held in a column rather than the index
            if key is not None and not key.level and key.name is not None:
                at = key.at(source)
                out[key.name] = at.to_numpy() if hasattr(at, "iloc") else at
        out.update(table)
        return market.build(out, index=market.index[source])
    for key, sort_keys in zip((market.code, market.date), keys_out):
        if key is not None:
            # The engine's keys are the values themselves where they can be.
            values = key.from_sort_keys(sort_keys, source) if engine else None
            if values is None:
                assert source is not None
                values = key.at(source)
            out[key.name] = values
    out.update(table)
    return market.build(out)


_LAYOUT_DOC = """

    The bars are found as the module's notes say: `code=` and `date=` name
    the code and date columns or index levels, `columns=` maps fields to
    columns ({"close": "Adj Close"}), `duplicates` ("raise", "first" or
    "last") says what a repeated (code, date) does, `digits` the decimals
    of the rounded indicators (None: not rounded; the default, 3, is the
    library's). `adjust=` a frame of ex-date events computes on prices
    forward-adjusted as tarvex.adjust adjusts them; `period=` ("W", "M",
    "Q", "Y"; "5min" ... "60min", "D" from minute bars) computes on the
    bars of that period as tarvex.resample builds them (after adjusting),
    one row per period bar, with a "partial" column marking a last bar
    whose period has not finished."""


def indicators(data: Any, names: Any, *, code: Any = None, date: Any = None,
               columns: Optional[Mapping[str, Any]] = None, duplicates: str = "raise",
               digits: Optional[int] = DEFAULT_DIGITS, period: Optional[str] = None, adjust: Any = None,
               threads: Optional[int] = None) -> Any:
    """Indicator columns of one security or a whole market, as a frame of the
    input's kind.

    `names` lists indicators by the batch engine's names, each alone
    ("macd") or with its integer parameters (("ma", [5, 10, 20]), ("rsi",
    6)); a 0 or missing parameter takes the default. The columns are the
    engine's fields (dif, dea, macd, ma5, ma10, ...), with the values of the
    direct calls (tarvex.MACD(close) ...) on the rows that have a close.

    One security (no code): one row per input row in the input's order, the
    index kept, NaN on rows without a close. A market:
    one row per row with a close, by code then date, with the code and date
    columns (or the caller's index labels when the index holds them)."""
    return _run(False, data, names, code, date, columns, duplicates, digits, 0, False, period, adjust, threads)


indicators.__doc__ = (indicators.__doc__ or "") + _LAYOUT_DOC


def crosses(data: Any, names: Any, *, keep_values: bool = False, code: Any = None, date: Any = None,
            columns: Optional[Mapping[str, Any]] = None, duplicates: str = "raise",
            digits: Optional[int] = DEFAULT_DIGITS, min_bars: int = 0, period: Optional[str] = None,
            adjust: Any = None, threads: Optional[int] = None) -> Any:
    """Crossing signals of each indicator's fast and slow line (dif/dea of
    macd, k/d of kdj, the two periods of ("ma", [5, 20]) ...): +1.0 up,
    -1.0 down, 0.0 otherwise, laid out like `indicators`. One pair gives the
    column "cross"; several give one column each ("macd_cross" ...) and a
    "cross" that is 1.0 where all cross upward together. `keep_values` puts
    the indicator columns first. `min_bars` silences the signals on each
    security's first bars (a second bar's cross of lines that both start at
    0, say): 0.0 there.

    The signals compare the lines as rounded (`digits`): on prices near 1,
    3 decimals make lines touch and cross where the unrounded ones do not,
    and digits=None compares the unrounded lines."""
    return _run(True, data, names, code, date, columns, duplicates, digits, min_bars, keep_values, period, adjust,
                threads)


crosses.__doc__ = (crosses.__doc__ or "") + _LAYOUT_DOC


def composite(constituents: Any, method: str = "equal", base: float = 1000.0, *, code: Any = None,
              date: Any = None, columns: Optional[Mapping[str, Any]] = None, duplicates: str = "raise") -> Any:
    """Daily composite index bars from a frame of constituent bars (code,
    date, open, high, low, close; volume, amount, float_mv, total_mv when
    present or when the weighting needs them), chained from `base`.

    `method` weights each constituent's price relative to its previous
    close: "equal", "float_mv" (free-float value), "amount", "volume" or
    "total_mv". Returns one row per date with constituents: the date (the
    original values), open, high, low, close, change (percent), volume and
    amount (when given) and count, the constituents used. `code=`, `date=`,
    `columns=` and `duplicates` as for `indicators`."""
    if method not in METHODS:
        raise ValueError(f"unknown method {method!r}; choose from: {', '.join(METHODS)}")
    market = Market(constituents, code=code, date=date, columns=columns, duplicates=duplicates)
    if market.code is None or market.date is None:
        raise ValueError(f"a composite index needs code and date columns; the columns are: {market.listing()}")
    weight = method if method != "equal" else None
    # The rows kept (a repeated code and date resolved), in the given
    # order: the index sums constituents in it.
    kept = np.zeros(market.length, dtype=bool)
    kept[market.rows] = True
    every = bool(kept.all())
    rows = np.flatnonzero(kept)
    fields: Dict[str, Optional[np.ndarray]] = {}
    for f in _INDEX_FIELDS:
        name = market.field_name(f, required=f in ("open", "high", "low", "close") or f == weight)
        column = None if name is None else as_column(market.column(name), f"column {name!r}")
        fields[f] = None if column is None else np.ascontiguousarray(column if every else column[rows],
                                                                     dtype=np.float64)
    given = {f: v is not None for f, v in fields.items()}
    count = len(rows)
    o, h, lo, c, volume, amount, float_mv, total_mv = (np.full(count, np.nan) if v is None else v
                                                       for v in fields.values())
    # The code and date as their sort keys: equal where the values are,
    # dates in their order, which is all the index reads of them.
    codes, dates = market.code.sort_keys(), market.date.sort_keys()
    if not every:
        codes, dates = codes[rows], dates[rows]
    index = zhishu(codes.view(np.uint64), dates, o, h, lo, c, volume, amount, float_mv, total_mv, METHODS[method],
                   float(base))
    days = index.pop("date")
    values = market.date.from_sort_keys(days)
    if values is None:  # a row holding each date, found among the rows in date order
        by_date = np.argsort(dates, kind="stable")
        values = market.date.at(rows[by_date][np.searchsorted(dates[by_date], days)])
    out = {market.date.name if market.date.name is not None else "date": values}
    out.update((f, v) for f, v in index.items() if given.get(f, True))
    return market.build(out)
