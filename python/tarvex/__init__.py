"""Technical-analysis series over NumPy, pandas and polars columns, computed
natively and bit for bit like `tarvex_core`, whole markets on every core,
DataFrames of one security or a whole market in and out, charts, and the
charting formula language run over one security or a whole market."""
from importlib.metadata import version as _version

from . import plot
from ._catalog import catalog
from ._exports import *  # noqa: F401,F403  (MA, EMA, MACD ...)
from ._exports import __all__ as _FUNCTIONS
from ._market import batch, batch_cross, zhishu
from .formula import FormulaError, compile, formula, screen
from .frames import composite, crosses, indicators, register_accessor

__version__ = _version("tarvex")

__all__ = sorted(_FUNCTIONS) + ["batch", "batch_cross", "zhishu", "formula", "screen", "compile", "FormulaError",
                                "indicators", "crosses", "composite", "plot", "catalog"]

register_accessor()
