"""Finding and reading the columns of a frame: pandas and polars DataFrames
and mappings of arrays, column names matched case-insensitively, and key
columns (codes, dates) of any type that sorts mapped to dense integers."""
from __future__ import annotations

from typing import Any, Dict, Iterable, List, Optional, Tuple

import numpy as np

# Column names (lower case) that hold each bar field, by the field's name in
# the formula language.
BAR_COLUMNS = {
    "OPEN": ("open",), "HIGH": ("high",), "LOW": ("low",), "CLOSE": ("close",),
    "VOL": ("volume", "vol"), "AMOUNT": ("amount",),
}


def column_names(data: Any) -> List[Any]:
    columns = getattr(data, "columns", None)
    names = columns if columns is not None else data.keys()
    return list(names)


def find(names: Iterable[Any], wanted: Iterable[str]) -> Optional[Any]:
    """The first of `names` equal to one of `wanted` (lower case) ignoring
    case, trying `wanted` in order; None when there is none."""
    lowered: Dict[str, Any] = {}
    for name in names:
        lowered.setdefault(str(name).lower(), name)
    for w in wanted:
        if w in lowered:
            return lowered[w]
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
