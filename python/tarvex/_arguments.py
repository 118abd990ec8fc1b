"""The checks of the arguments every native call shares: integers within a
native type's range, numbers, thread counts and segment starts."""
from __future__ import annotations

import operator
from typing import Any, Optional

import numpy as np

from ._arrays import is_scalar

__all__ = ["U64_MAX", "U32_MAX", "integer", "number", "threads", "starts"]

U64_MAX = 2**64 - 1
U32_MAX = 2**32 - 1


def integer(name: str, value: Any, limit: int) -> int:
    try:
        v = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}") from None
    if not 0 <= v <= limit:  # as tarvex_core: an integer a native one cannot hold
        raise OverflowError(f"{name} must be between 0 and {limit}, got {v}")
    return v


def number(name: str, value: Any) -> float:
    if not is_scalar(value):
        raise TypeError(f"{name} must be a number, got {type(value).__name__}")
    return float(value)


def threads(value: Optional[int]) -> int:
    if value is None:
        return 0
    v = operator.index(value)
    if v < 1:
        raise ValueError(f"threads must be at least 1, got {v}")
    return v


def starts(value: Any) -> Optional[bytes]:
    """Segment starts as the bytes of native int64 values."""
    if value is None:
        return None
    starts = np.asarray(value)
    if starts.ndim != 1 or (starts.size and starts.dtype.kind not in "iu"):
        raise TypeError("starts must be a one-dimensional array of integers")
    if starts.dtype.kind == "u" and starts.size and starts.max() > np.iinfo(np.int64).max:
        raise ValueError("starts must stay below the column length")
    return starts.astype(np.int64).tobytes()
