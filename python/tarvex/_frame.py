"""One security's bars as a frame gives them, for drawing."""
from __future__ import annotations

from typing import Any, Literal, Mapping, Optional, overload

import numpy as np

from ._arrays import as_column
from ._columns import Market

__all__ = ["Frame"]


class Frame:
    """The columns of a frame by field, in the given order (no code or date
    read): for drawing one security's bars."""

    def __init__(self, data: Any, columns: Optional[Mapping[str, Any]]) -> None:
        self._market = Market(data, columns=columns, keys=False)
        self.data, self.kind, self.names = data, self._market.kind, self._market.names

    def lookup(self, name: Any, what: str) -> Any:
        return self._market.lookup(name, what)

    @overload
    def field(self, field: str, required: Literal[True] = ...) -> np.ndarray: ...

    @overload
    def field(self, field: str, required: bool) -> Optional[np.ndarray]: ...

    def field(self, field: str, required: bool = True) -> Optional[np.ndarray]:
        name = self._market.field_name(field, required)
        if name is None:
            return None
        return np.ascontiguousarray(as_column(self._market.column(name), f"column {name!r}"), dtype=np.float64)
