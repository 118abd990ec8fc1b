"""Technical-analysis series over NumPy, pandas and polars columns, computed
natively and bit for bit like `tarvex_core`, whole markets on every core,
and the charting formula language run over one security or a whole market."""
from ._functions import EXPORTED as _EXPORTED
from ._market import batch, batch_cross, zhishu
from .formula import FormulaError, compile, formula, screen

globals().update(_EXPORTED)

__all__ = sorted(_EXPORTED) + ["batch", "batch_cross", "zhishu", "formula", "screen", "compile", "FormulaError"]
