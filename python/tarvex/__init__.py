"""Technical-analysis series over NumPy, pandas and polars columns, computed
natively and bit for bit like `tarvex_core`, whole markets on every core,
DataFrames of one security or a whole market in and out, charts, and the
charting formula language run over one security or a whole market."""
from importlib.metadata import version as _version

from . import plot
from ._catalog import catalog
from ._exports import *  # noqa: F401,F403  (MA, EMA, MACD ...)
from ._functions import default_threads
from ._market import batch, batch_cross, zhishu
from ._periods import adjust, resample
from .formula import FormulaError, compile, formula, screen
from ._accessor import register_accessor
from .frames import composite, crosses, indicators

__version__ = _version("tarvex")

# Written out so that type checkers see every exported name.
__all__ = [
    # generated: series functions, by tools/gen_reference.py from the registry
    "ABS", "ASI", "ATR", "AVEDEV", "BACKSET", "BARSCOUNT", "BARSLAST", "BARSLASTCOUNT", "BARSSINCEN", "BBI",
    "BETWEEN", "BIAS", "BOLL", "BRAR", "CCI", "CONST", "COS", "COUNT", "CR", "CROSS", "DFMA", "DIFF", "DMA",
    "DMI", "DOWNNDAY", "DPO", "EMA", "EMV", "EVERY", "EXIST", "EXPMA", "FILTER", "FORCAST", "HHV", "HHVBARS",
    "HOD", "IF", "KDJ", "KTN", "LAST", "LLV", "LLVBARS", "LN", "LOD", "LONGCROSS", "LOWRANGE", "MA", "MACD",
    "MASS", "MAX", "MFI", "MIN", "MTM", "NDAY", "OBV", "PEAK", "PEAKBARS", "POW", "PSY", "RD", "REF", "REFX",
    "RET", "ROC", "RSI", "SAR", "SARTURN", "SIN", "SLOPE", "SMA", "SQRT", "STD", "SUM", "SUMBARS", "TAN", "TAQ",
    "TFILTER", "TOPRANGE", "TRIX", "TROUGH", "TROUGHBARS", "UPNDAY", "VALUEWHEN", "VR", "WMA", "WR", "XSII",
    "ZIG",
    # end generated: series functions
    "batch", "batch_cross", "zhishu", "formula", "screen", "compile", "FormulaError", "indicators", "crosses",
    "composite", "plot", "catalog", "default_threads", "resample", "adjust"]

register_accessor()
