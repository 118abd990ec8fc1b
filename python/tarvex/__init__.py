"""Technical-analysis series over NumPy, pandas and polars columns, computed
natively and bit for bit like `tarvex_core`, whole markets on every core."""
from ._functions import EXPORTED as _EXPORTED
from ._functions import FUNCTIONS as _FUNCTIONS
from ._market import batch, batch_cross, zhishu

globals().update(_EXPORTED)

__all__ = sorted(_EXPORTED) + ["batch", "batch_cross", "zhishu"]
