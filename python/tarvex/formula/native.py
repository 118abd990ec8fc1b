"""The one seam between the formula engine and the library's functions.

`catalog()` describes every series function and indicator (parameters with
their kinds and defaults, output field names); `call()` computes one of them
over a long column holding many securities back to back, each segment on
its own, and returns float64 arrays.
"""
import inspect

import numpy as np

import tarvex_core

__all__ = ["FunctionInfo", "catalog", "call", "BAR_INPUTS"]

# Parameter kinds: "s" a series, "v" a series or a number, "i" a
# non-negative whole number, "f" any number.
_KINDS = {
    "RD": "si", "RET": "si", "ABS": "s", "LN": "s", "POW": "sf", "SQRT": "s", "SIN": "s", "COS": "s",
    "TAN": "s", "MAX": "vv", "MIN": "vv", "IF": "svv", "REF": "si", "DIFF": "si", "STD": "si",
    "SUM": "si", "CONST": "s", "HHV": "si", "LLV": "si", "HHVBARS": "si", "LLVBARS": "si", "MA": "si",
    "EMA": "si", "SMA": "sii", "WMA": "si", "DMA": "sv", "AVEDEV": "si", "SLOPE": "si", "FORCAST": "si",
    "LAST": "sii", "COUNT": "si", "EVERY": "si", "EXIST": "si", "FILTER": "si", "BARSLAST": "s",
    "BARSLASTCOUNT": "s", "BARSSINCEN": "si", "CROSS": "ss", "LONGCROSS": "ssi", "VALUEWHEN": "ss",
    "BETWEEN": "sss", "TOPRANGE": "s", "LOWRANGE": "s",
}

# The indicators' series inputs are bar columns; their other parameters are
# whole numbers except BOLL's band width.
BAR_INPUTS = {"open": "OPEN", "high": "HIGH", "low": "LOW", "close": "CLOSE", "vol": "VOL"}
_FLOAT_PARAMS = {("BOLL", "p")}

# Output fields of the indicators with several lines, in result order.
_OUTPUTS = {
    "MACD": ("dif", "dea", "macd"), "TRIX": ("trix", "trma"), "DFMA": ("dfma_dif", "dfma_difma"),
    "EXPMA": ("exp1", "exp2"), "DPO": ("dpo", "madpo"), "MTM": ("mtm", "mtmma"), "ROC": ("roc", "maroc"),
    "KDJ": ("k", "d", "j"), "WR": ("wr", "wr1"), "BIAS": ("bias1", "bias2", "bias3"), "PSY": ("psy", "psyma"),
    "BOLL": ("upper", "mid", "lower"), "TAQ": ("taq_up", "taq_mid", "taq_down"),
    "KTN": ("ktn_up", "ktn_mid", "ktn_down"), "XSII": ("td1", "td2", "td3", "td4"), "MASS": ("mass", "ma"),
    "EMV": ("emv", "maemv"), "BRAR": ("ar", "br"), "ASI": ("asi", "asit"), "DMI": ("pdi", "mdi", "adx", "adxr"),
}

_TABLE_FUNCTIONS = ("BATCH", "BATCH_CROSS", "ZHISHU")


class FunctionInfo:
    """A library function: `params` is a tuple of (name, kind, default or
    None), `outputs` the lower-case field names (one for a single line)."""

    __slots__ = ("name", "params", "outputs")

    def __init__(self, name, params, outputs):
        self.name, self.params, self.outputs = name, params, outputs


def _describe(name):
    fn = getattr(tarvex_core, name)
    params = []
    for k, p in enumerate(inspect.signature(fn).parameters.values()):
        default = None if p.default is inspect.Parameter.empty else p.default
        if name in _KINDS:
            kind = _KINDS[name][k]
        elif p.name in BAR_INPUTS:
            kind = "s"
        else:
            kind = "f" if (name, p.name) in _FLOAT_PARAMS else "i"
        params.append((p.name, kind, default))
    return FunctionInfo(name, tuple(params), _OUTPUTS.get(name, (name.lower(),)))


_CATALOG = None


def catalog():
    """FunctionInfo of every series function and indicator, by name."""
    global _CATALOG
    if _CATALOG is None:
        names = [n for n in dir(tarvex_core) if n.isupper() and n not in _TABLE_FUNCTIONS]
        _CATALOG = {n: _describe(n) for n in names}
    return _CATALOG


def call(name, args, starts):
    """Function `name` over segments starting at `starts` (ascending, from
    0, the last segment running to the end of the columns). Series
    arguments are float64 arrays of the full length, the others numbers.
    Returns one float64 array or a tuple of them."""
    fn = getattr(tarvex_core, name)
    length = next(len(a) for a in args if isinstance(a, np.ndarray))
    bounds = list(starts) + [length]
    pieces = []
    for first, stop in zip(bounds[:-1], bounds[1:]):
        seg = [a[first:stop].tolist() if isinstance(a, np.ndarray) else a for a in args]
        pieces.append(fn(*seg))
    if pieces and isinstance(pieces[0], tuple):
        return tuple(np.array([x for piece in pieces for x in piece[k]], dtype=np.float64)
                     for k in range(len(pieces[0])))
    return np.array([x for piece in pieces for x in piece], dtype=np.float64)
