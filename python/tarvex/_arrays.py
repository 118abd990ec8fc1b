"""Adapting what callers hand in (NumPy arrays of any real dtype, pandas and
polars Series, lists) to the contiguous float64 columns the native layer
reads in place, and its results back to the caller's kind."""
from __future__ import annotations

import numbers
from typing import Any, Optional, Sequence

import numpy as np


def _kind_of(obj: Any) -> Optional[str]:
    """'pandas' or 'polars' for a Series of those libraries, else None;
    neither library is imported to find out."""
    module = type(obj).__module__ or ""
    if type(obj).__name__ == "Series":
        if module.startswith("pandas"):
            return "pandas"
        if module.startswith("polars"):
            return "polars"
    return None


def is_scalar(obj: Any) -> bool:
    return isinstance(obj, (numbers.Real, np.bool_)) and not isinstance(obj, np.ndarray)


def masked_as_nan(values: Any) -> Any:
    """A masked array of numbers with NaN at its masked places (a masked
    value is missing, as the element reader sees it): float64, or object for
    an object array. Anything else, and masked arrays with nothing masked or
    of other dtypes, as they are."""
    mask = np.ma.getmask(values)
    if mask is np.ma.nomask or not mask.any() or values.dtype.kind not in "biufO":
        return values
    out = np.array(values.data, dtype=object if values.dtype.kind == "O" else np.float64)
    out[mask] = np.nan
    return out


def _pandas_real(dtype: Any) -> bool:
    """Whether a pandas dtype holds real numbers: NumPy, nullable and Arrow
    booleans, integers and floats, and Arrow decimals. Arrow dates, times,
    durations and strings convert to floats too but are no numbers."""
    if getattr(dtype, "kind", "O") in "biuf":
        return True
    return str(getattr(dtype, "pyarrow_dtype", "")).startswith("decimal")


def _real_array(values: np.ndarray, what: str) -> np.ndarray:
    """The array the native layer reads in place: booleans, integers and
    floats of up to 8 bytes, either byte order, any stride; wider floats and
    masked arrays with masked values are converted first."""
    if type(values) is not np.ndarray:
        values = np.asarray(masked_as_nan(values))
    if values.ndim != 1:
        raise TypeError(f"{what} must be one-dimensional, got {values.ndim} dimensions")
    if values.dtype.kind not in "biuf":
        raise TypeError(f"{what} must hold real numbers, got dtype {values.dtype}")
    if values.dtype.itemsize > 8:
        return np.ascontiguousarray(values, dtype=np.float64)
    return values


def as_column(obj: Any, what: str) -> np.ndarray:
    """A one-dimensional NumPy array of `obj`'s real values (the array itself
    when it is one). Missing values of pandas nullable and polars columns
    become NaN."""
    if type(obj) is np.ndarray and obj.ndim == 1 and obj.dtype.kind in "biuf" and obj.dtype.itemsize <= 8:
        return obj
    kind = _kind_of(obj)
    if kind == "pandas":
        dtype = obj.dtype
        if not _pandas_real(dtype):
            raise TypeError(f"{what} must hold real numbers, got dtype {dtype}")
        return _real_array(np.asarray(obj.to_numpy(dtype=np.float64, na_value=np.nan)), what)
    if kind == "polars":
        if not obj.dtype.is_numeric() and str(obj.dtype) != "Boolean":
            raise TypeError(f"{what} must hold real numbers, got dtype {obj.dtype}")
        return _real_array(np.asarray(obj.cast(_polars().Float64).to_numpy()), what)
    if isinstance(obj, np.ndarray):
        return _real_array(obj, what)
    if isinstance(obj, (str, bytes)) or not hasattr(obj, "__len__"):
        raise TypeError(f"{what} must be an array or a sequence of numbers, got {type(obj).__name__}")
    try:
        # Text, dates and complex numbers keep their own dtype and are refused
        # below; mixed Python objects (None as NaN) convert one by one.
        values = np.asarray(obj)
        if values.dtype.kind == "O":
            values = values.astype(np.float64)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{what} must be a sequence of numbers: {exc}") from None
    return _real_array(values, what)


def _polars() -> Any:
    import polars

    return polars


# Argument types that are never a pandas or polars Series.
_PLAIN = frozenset({np.ndarray, float, int, bool, type(None), list, tuple})


class Shape:
    """How results go back to the caller: the kind of the first pandas or
    polars input (with its index or name), else plain arrays."""

    def __init__(self, inputs: Sequence[Any]) -> None:
        self.kind: Optional[str] = None
        self.index: Any = None
        for obj in inputs:
            if type(obj) in _PLAIN:
                continue
            kind = _kind_of(obj)
            if kind is not None:
                self.kind = kind
                self.index = obj.index if kind == "pandas" else None
                break

    def wrap(self, values: np.ndarray, name: str) -> Any:
        if self.kind == "pandas":
            import pandas

            return pandas.Series(values, index=self.index, name=name, copy=False)
        if self.kind == "polars":
            return _polars().Series(name, values)
        return values
