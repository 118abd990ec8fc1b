"""``df.tarvex``: the frame functions and charts on every pandas DataFrame,
registered as soon as both tarvex and pandas are imported, in either order
(importing tarvex does not import pandas)."""
from __future__ import annotations

import importlib.abc
import importlib.util
import sys
import warnings
from typing import Any

from .frames import composite, crosses, indicators
from .plot import candles

__all__ = ["FrameAccessor", "register_accessor"]


class FrameAccessor:
    """``df.tarvex``: the frame functions and charts of tarvex on this
    pandas DataFrame."""

    def __init__(self, frame: Any) -> None:
        self._frame = frame

    def indicators(self, names: Any, **options: Any) -> Any:
        return indicators(self._frame, names, **options)

    def crosses(self, names: Any, **options: Any) -> Any:
        return crosses(self._frame, names, **options)

    def composite(self, method: str = "equal", base: float = 1000.0, **options: Any) -> Any:
        return composite(self._frame, method, base, **options)

    def plot(self, **options: Any) -> Any:
        return candles(self._frame, **options)


def _register(pandas: Any) -> None:
    if getattr(pandas.DataFrame, "tarvex", None) is not FrameAccessor:
        pandas.api.extensions.register_dataframe_accessor("tarvex")(FrameAccessor)


class _OnPandasImport(importlib.abc.MetaPathFinder):
    """Registers the accessor right after pandas is first imported: finds
    where pandas is the usual way and runs the registration once the
    module has executed."""

    def find_spec(self, name: str, path: Any = None, target: Any = None) -> Any:
        if name != "pandas":
            return None
        sys.meta_path.remove(self)
        found = importlib.util.find_spec(name)
        if found is not None and found.loader is not None and hasattr(found.loader, "exec_module"):
            execute = found.loader.exec_module

            def exec_module(module: Any) -> None:
                execute(module)
                try:
                    _register(module)
                except Exception as exc:  # the accessor must never break importing pandas
                    warnings.warn(f"tarvex: the df.tarvex accessor is not available: {exc}", stacklevel=2)

            found.loader.exec_module = exec_module  # type: ignore[method-assign]
        return found


def register_accessor() -> None:
    """Registers ``df.tarvex`` now if pandas is imported, else when it is."""
    if sys.modules.get("pandas") is not None:
        _register(sys.modules["pandas"])
    elif "pandas" not in sys.modules and not any(isinstance(f, _OnPandasImport) for f in sys.meta_path):
        sys.meta_path.insert(0, _OnPandasImport())
