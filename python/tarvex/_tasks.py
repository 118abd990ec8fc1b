"""The indicators a frame call names: "macd", ("ma", [5, 10]), ("rsi", 6)
items or a mapping of names to parameters, checked against the catalog's
batch indicators."""
from __future__ import annotations

import functools
from typing import Any, Dict, List, Mapping, Tuple

import numpy as np

from ._catalog import catalog

__all__ = ["indicator_inputs", "tasks"]


@functools.lru_cache(maxsize=None)
def indicator_inputs() -> Dict[str, Tuple[str, ...]]:
    """The indicator names the batch engine accepts, each with the bar fields
    it reads."""
    return {r.name: tuple(dict.fromkeys(r.inputs)) for r in catalog("indicator")}


def _parameter(name: str, value: Any) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"the parameters of {name!r} must be integers, not {value!r}")
    return int(value)


def tasks(names: Any) -> Tuple[List[str], List[List[int]]]:
    """Indicator names and parameter lists from "macd", ("ma", [5, 10]),
    ("rsi", 6) items or a mapping of names to parameters."""
    if isinstance(names, str):
        items: List[Any] = [names]
    elif isinstance(names, Mapping):
        items = list(names.items())
    else:
        items = list(names)
    if not items:
        raise ValueError("name at least one indicator")
    known = indicator_inputs()
    names_in, params_in = [], []
    for item in items:
        if isinstance(item, str):
            name, params = item, []
        elif isinstance(item, (tuple, list)) and len(item) == 2 and isinstance(item[0], str):
            name, params = item
            params = [] if params is None else [params] if np.ndim(params) == 0 else list(params)
        else:
            raise TypeError(f"an indicator is a name or a (name, parameters) pair, not {item!r}")
        if name.lower() not in known:
            raise ValueError(f"unknown indicator {name!r}; choose from: {', '.join(sorted(known))}")
        names_in.append(name.lower())
        params_in.append([_parameter(name, p) for p in params])
    return names_in, params_in
