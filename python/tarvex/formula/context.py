"""The layout a formula's words compute over: rows of many securities back
to back in segments, each row's date, and the rounding of the indicators."""
from __future__ import annotations

from typing import Any, Callable, Dict, Optional, Tuple

import numpy as np

from .calendar import parts as _calendar_parts

__all__ = ["Context"]


class Context:
    """The layout of the columns: `rows` bars in segments starting at
    `starts` (int64, ascending, from 0), one segment per security (no
    bars make no segments), each row's date (None without a date column)
    and the `digits` the rounded indicators are given.

    Inside a # period, `commit` (uint8, one per row) marks the last row of
    each period: a row then stands for the period's bar as it is on that
    row, and the bars before it are the committed ones (see
    runtime/provisional.hpp); None otherwise. `stamps()` reads the dates
    as the period bars do: the stamps of the distinct dates (days, or
    minutes when the flag is true), each row's index among them, the flag."""

    def __init__(self, rows: int, starts: np.ndarray, dates: Optional[np.ndarray] = None,
                 digits: Optional[int] = 3, commit: Optional[np.ndarray] = None,
                 stamps: Optional[Callable[[], Tuple[np.ndarray, np.ndarray, bool]]] = None,
                 read_dates: Optional[Callable[[], Optional[np.ndarray]]] = None) -> None:
        self.rows = rows
        self.starts = starts if rows else starts[:0]
        self._dates = dates
        # Gathering each row's date costs a pass over the rows, and only the
        # calendar words read them: `read_dates` gives them when first asked.
        self._read_dates = read_dates
        self.digits = digits  # the decimals of the rounded indicators (None: unrounded)
        self.commit = commit
        self.stamps = stamps
        self._position: Optional[np.ndarray] = None
        self._row_index: Optional[np.ndarray] = None
        self._calendar: Optional[Dict[str, np.ndarray]] = None

    @property
    def dates(self) -> Optional[np.ndarray]:
        if self._dates is None and self._read_dates is not None:
            self._dates, self._read_dates = self._read_dates(), None
        return self._dates

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
        """Each row's index within its segment (float64); inside a period,
        the index of its bar among the period's bars: the commits before it."""
        if self._position is None:
            if self.commit is None:
                self._position = self._index()
            else:
                before = np.cumsum(self.commit, dtype=np.int64) - self.commit  # commits before each row
                first = np.repeat(before[self.starts], self.ends() - self.starts)
                self._position = (before - first).astype(np.float64)
        return self._position

    def _index(self) -> np.ndarray:
        """Each row's index within its segment (float64)."""
        if self._row_index is None:
            lengths = self.ends() - self.starts
            self._row_index = (np.arange(self.rows) - np.repeat(self.starts, lengths)).astype(np.float64)
        return self._row_index

    def running(self, ufunc: Callable[[np.ndarray, np.ndarray], np.ndarray], x: Any, identity: float = np.nan
                ) -> np.ndarray:
        """ufunc folded over every bar so far of each segment (a segmented
        inclusive scan by doubling distances; exact for max and min). Inside
        a period, over the committed rows before each row and then the row
        itself, `identity` (ufunc(identity, v) is v) standing in for the
        others."""
        if self.commit is None:
            return self._scan(ufunc, x)
        x = np.asarray(x, dtype=np.float64)
        committed = self._scan(ufunc, np.where(self.commit != 0, x, identity))
        before = np.full(self.rows, identity)
        before[1:] = committed[:-1]
        before[self.starts] = identity
        return np.asarray(ufunc(before, x), dtype=np.float64)

    def _scan(self, ufunc: Callable[[np.ndarray, np.ndarray], np.ndarray], x: Any) -> np.ndarray:
        out = np.array(x, dtype=np.float64)
        position = self._index()
        longest = int(position.max()) + 1 if self.rows else 0
        k = 1
        while k < longest:
            reach = position[k:] >= k
            out[k:] = np.where(reach, ufunc(out[:-k], out[k:]), out[k:])
            k *= 2
        return out
