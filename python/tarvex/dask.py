"""Indicator tables, crossing signals and formula screens of a market held in
a Dask DataFrame, one long frame of bars (code, date, open, high, low,
close, volume ...) spread over partitions and workers.

Each security's rows must meet in one partition: by default the frame is
shuffled on the code column first. A frame already laid out that way (read
from Parquet files written one group of codes per file, say) skips the
shuffle with ``partitioned=True``, which is checked by gathering each
partition's distinct codes; a frame indexed by code with known divisions
(``set_index("code")``) is laid out that way by construction, once its
partitions are checked to share no code (Parquet files read with
``calculate_divisions=True`` may split a code between two files; such a
frame is shuffled). Then every
partition goes through the single-machine functions (`tarvex.indicators`,
`tarvex.crosses`, `tarvex.screen`), so the values are theirs bit for bit.

`indicators` and `crosses` return a lazy Dask DataFrame whose schema is
known without reading the data: one row per row with a close, ordered by
code then date within each partition (the partitions themselves come in no
particular code order). `screen` computes and returns the list of codes in
code order. With ``progress=True`` the work is computed at once behind a
progress bar (`distributed.progress` when a distributed client is active,
`dask.diagnostics.ProgressBar` otherwise) and `indicators` and `crosses`
return the pandas DataFrame.

The keywords are those of the single-machine functions: ``code=``,
``date=`` (for `screen`, ``date=`` is the day screened and ``date_column=``
names the date column), ``columns=``, ``duplicates=``, ``digits=``,
``min_bars=``, ``period=`` and ``adjust=`` (each partition adjusts its own
codes; the events of codes the market lacks are reported once).

Needs the ``dask`` extra: ``pip install 'tarvex[dask]'`` (from a checkout,
``pip install '.[dask]'``).
"""
# mypy: untyped-calls-exclude="distributed,dask"
# (the scheduler and collection calls of dask and distributed are not annotated)
from __future__ import annotations

from typing import Any, List, Mapping, Optional

import dask.dataframe as dd
from dask.dataframe.dispatch import meta_nonempty
import numpy as np
import pandas

from . import frames
from ._columns import find, values
from ._periods import report_missing
from .formula import compile as compile_formula
from .formula import screen as screen_frame

__all__ = ["indicators", "crosses", "screen"]


def _code_column(data: Any, code: Any) -> Any:
    """The name of the code column of `data` (a column or the index),
    matched like the single-machine functions match it."""
    if not isinstance(data, dd.DataFrame):
        raise TypeError(f"expected a Dask DataFrame, not {type(data).__name__}")
    names = list(data.columns)
    if data.index.name is not None and data.index.name not in names:
        names.append(data.index.name)
    wanted = "code" if code is None else code
    found = wanted if wanted in names else find(names, (str(wanted).lower(),))
    if found is None:
        raise ValueError(f"a Dask market needs a code column; there is no column {wanted!r} among: "
                         f"{', '.join(repr(n) for n in names) or 'none'}")
    return found


def _distinct(codes: pandas.Series) -> pandas.Series:
    return codes.drop_duplicates()


def _by_code(data: Any, code: Any, partitioned: bool) -> Any:
    """`data` with the code as a column and each code's rows in one
    partition, and the name of the code column."""
    name = _code_column(data, code)
    if name not in data.columns:
        divided = data.known_divisions and _apart(data)
        data = data.reset_index()
        if divided:
            return data, name
        partitioned = False
    if not partitioned:
        return data.shuffle(on=name), name
    # Each partition's distinct codes: a code seen twice has rows in two partitions.
    seen = data[name].map_partitions(_distinct, meta=data._meta[name]).compute()
    shared = seen[seen.duplicated()]
    if len(shared):
        raise ValueError(f"partitioned=True, but code {shared.iloc[0]!r} has rows in more than one partition; "
                         "leave partitioned=False to shuffle the frame on its codes")
    return data, name


def _span(part: pandas.DataFrame) -> pandas.DataFrame:
    index = part.index
    if len(index) == 0:
        return pandas.DataFrame({"low": index[:0], "high": index[:0]})
    return pandas.DataFrame({"low": [index.min()], "high": [index.max()]})


def _apart(data: Any) -> bool:
    """Whether the partitions of a frame on a sorted code index share no
    code: each one's highest code below the next one's lowest (divisions
    alone allow a code on both sides of a boundary)."""
    meta = pandas.DataFrame({"low": data._meta.index, "high": data._meta.index})
    spans = data.map_partitions(_span, meta=meta).compute()
    low, high = spans["low"].to_numpy(), spans["high"].to_numpy()
    return bool(np.all(high[:-1] < low[1:]))


def _compute(collection: Any) -> Any:
    """`collection` computed behind a progress bar."""
    try:
        from distributed import get_client

        client = get_client()
    except (ImportError, ValueError):
        client = None
    if client is None:
        from dask.diagnostics.progress import ProgressBar

        with ProgressBar():
            return collection.compute()
    from distributed import progress

    future = client.compute(collection)
    progress(future)
    return future.result()


def _events_codes(events: Any) -> Any:
    """The events as a pandas frame (from pandas, polars or a mapping of
    columns) and the name of their code column (None without one)."""
    frame = events if isinstance(events, pandas.DataFrame) else \
        events.to_pandas() if hasattr(events, "to_pandas") else pandas.DataFrame(events)
    return frame, find(list(frame.columns), ("code",))


def _events_of(part: pandas.DataFrame, code: Any, events: Any) -> Any:
    """The events of the codes `part` holds: each partition adjusts its own
    codes, and the events of codes no partition holds are reported once,
    by `_check_events`."""
    if events is None:
        return None
    frame, column = _events_codes(events)
    if column is None:  # refused by tarvex.adjust, with its message
        return events
    return frame[frame[column].isin(part[code].unique())]


def _check_events(data: Any, code: Any, events: Any) -> None:
    """Warns, as tarvex.adjust does, of events whose codes the market lacks."""
    if events is None:
        return
    frame, column = _events_codes(events)
    if column is None:
        return
    held = data[code].drop_duplicates().compute()
    report_missing(frame[column][~frame[column].isin(held)].to_numpy())


def _part(part: pandas.DataFrame, function: Any, code: Any, adjust: Any, *args: Any, **options: Any) -> Any:
    return function(part, *args, code=code, adjust=_events_of(part, code, adjust), **options)


def _table(function: Any, data: Any, names: Any, code: Any, partitioned: bool, progress: bool, adjust: Any,
           **options: Any) -> Any:
    data, name = _by_code(data, code, partitioned)
    _check_events(data, name, adjust)
    # The schema from the frame's empty template: checks the arguments too.
    meta = _part(data._meta, function, name, adjust, names, **options)
    table = data.map_partitions(_part, function, name, adjust, names, meta=meta, **options)
    return _compute(table) if progress else table


def indicators(data: Any, names: Any, *, code: Any = None, date: Any = None,
               columns: Optional[Mapping[str, Any]] = None, duplicates: str = "raise", digits: Optional[int] = 3,
               period: Optional[str] = None, adjust: Any = None, threads: Optional[int] = None,
               partitioned: bool = False, progress: bool = False) -> Any:
    """`tarvex.indicators` over a Dask DataFrame of a market: a Dask
    DataFrame of the code and date columns and the indicator fields, each
    partition ordered by code then date. `threads` applies within each
    partition. See the module's notes for `partitioned` and `progress`."""
    return _table(frames.indicators, data, names, code, partitioned, progress, adjust, date=date, columns=columns,
                  duplicates=duplicates, digits=digits, period=period, threads=threads)


def crosses(data: Any, names: Any, *, keep_values: bool = False, code: Any = None, date: Any = None,
            columns: Optional[Mapping[str, Any]] = None, duplicates: str = "raise", digits: Optional[int] = 3,
            min_bars: int = 0, period: Optional[str] = None, adjust: Any = None, threads: Optional[int] = None,
            partitioned: bool = False, progress: bool = False) -> Any:
    """`tarvex.crosses` over a Dask DataFrame of a market, laid out like
    `indicators`."""
    return _table(frames.crosses, data, names, code, partitioned, progress, adjust, keep_values=keep_values,
                  date=date, columns=columns, duplicates=duplicates, digits=digits, min_bars=min_bars,
                  period=period, threads=threads)


def _screen_part(part: pandas.DataFrame, text: str, date: Any, code_column: Any, adjust: Any,
                 options: Mapping[str, Any], params: Mapping[str, Any]) -> pandas.Series:
    codes: pandas.Series = part[code_column]
    if len(part) == 0:
        return codes
    hits = screen_frame(text, part, date, code=code_column, adjust=_events_of(part, code_column, adjust), **options,
                        **params)
    found: pandas.Series = pandas.Series(hits, dtype=codes.dtype)
    return found


def screen(text: str, market: Any, date: Any = None, *, code: Any = None, date_column: Any = None,
           columns: Optional[Mapping[str, Any]] = None, duplicates: str = "raise", digits: Optional[int] = 3,
           min_bars: int = 0, code_column: Any = None, partitioned: bool = False, progress: bool = False,
           lookahead: bool = False, period: Optional[str] = None, adjust: Any = None, **params: Any) -> List[Any]:
    """`tarvex.screen` over a Dask DataFrame of a market: the codes whose
    condition line is true on `date` (each code's last bar when None), as
    a list in code order. Each partition is screened where it lies and only
    the codes travel back. `date_column` names the date column."""
    compile_formula(text, **params)  # a formula that does not compile fails here, not on a worker
    data, name = _by_code(market, code if code is not None else code_column, partitioned)
    meta = data._meta[name]
    options = dict(date_column=date_column, columns=columns, duplicates=duplicates, digits=digits,
                   min_bars=min_bars, lookahead=lookahead, period=period)
    # A formula reading a column the frame lacks fails here too: a run on a
    # few made-up rows of the frame's dtypes (which may repeat a date; made-up
    # integer dates are given as a YYYYMMDD date, which a formula's periods read).
    sample = meta_nonempty(data._meta)
    dated = date_column if date_column in sample.columns else find(list(sample.columns), ("date",))
    if dated is not None and sample[dated].dtype.kind in "iu":
        sample[dated] = 20000103
    screen_frame(text, sample, date, code=name, **{**options, "duplicates": "first"}, **params)
    _check_events(data, name, adjust)
    hits = data.map_partitions(_screen_part, text, date, name, adjust, options, params, meta=meta)
    hits = _compute(hits) if progress else hits.compute()
    codes: List[Any] = np.sort(values(hits), kind="stable").tolist()
    return codes
