"""The catalog of the library: one record per batch indicator and per
series function, read from the registry both native modules are built from
(names, parameters with defaults, ranges, native kinds and the bar columns
they name, output field names, crossing pairs, rounding, warm-up and
descriptions). It is the one description of the functions the package
reads: the wrappers, the frames, the formula language and the generated
reference all build from it."""
from __future__ import annotations

from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any, Dict, Iterator, List, NamedTuple, Optional, Tuple

from ._native import registry, tables as _tables

__all__ = ["Parameter", "Record", "catalog", "batch_names"]

class Kind(NamedTuple):
    """What a native argument kind is to each reader: its name in a
    Parameter, its annotation in the wrappers and their stubs, its type in
    the tarvex_core stubs and the docstrings, the formula language's kind
    letter, and the largest integer it holds (None for no integer)."""

    name: str
    annotation: str
    core: str
    doc: str
    formula: str
    maximum: Optional[int]


# The native argument kinds, one letter each: "s" series, "v" series or
# number, "u" unsigned 64-bit and "d" 32-bit integer, "f" number, "r" the
# rounding of an indicator's outputs (decimals, or None).
KINDS: Dict[str, Kind] = {
    "s": Kind("series", "ArrayLike", "_Series", "array_like", "s", None),
    "v": Kind("series or number", "Union[ArrayLike, float]", "Union[_Series, float]", "array_like or float", "v",
              None),
    "u": Kind("integer", "int", "int", "int", "i", 2**64 - 1),
    "d": Kind("integer", "int", "int", "int", "i", 2**32 - 1),
    "f": Kind("number", "float", "float", "float", "f", None),
    "r": Kind("rounding", "Optional[int]", "Optional[int]", "int or None", "", 2**32 - 1),
}


@dataclass(frozen=True)
class Parameter:
    """One parameter: `kind` is "series", "series or number", "integer" or
    "number"; `minimum` and `maximum` bound an integer (None otherwise);
    `default` is None for a required one. `column` is the bar field a
    series parameter names ("open", "high", "low", "close", "volume"; None
    for a series of the caller's choice); `condition` that the series is
    tested bar by bar for truth."""

    name: str
    kind: str
    default: Optional[float]
    minimum: Optional[int]
    maximum: Optional[int]
    description: str
    column: Optional[str] = None
    condition: bool = False


@dataclass(frozen=True)
class Record:
    """A series function (kind "function", upper-case name, the arguments
    of `tarvex.<name>`) or a batch indicator (kind "indicator", the
    lower-case name `tarvex.batch` takes, its numeric parameters p0, p1, ...
    with the batch defaults). `fields` are the output field names (an
    expanding indicator's single field is its name and p0, as `ma5`);
    `cross` the (fast, slow) fields `batch_cross` compares, or None;
    `rounding` the decimals the outputs are rounded to, or None; `warmup`
    the leading bars without a value, an expression of the parameters per
    output; `function` the upper-case name of the series function;
    `lookahead` whether a bar's value depends on later bars (so changes as
    bars arrive); `core` whether `tarvex_core` has the function too.
    `kinds` are the native argument kinds, one letter per argument ("s"
    series, "v" series or number, "u" unsigned 64-bit and "d" 32-bit
    integer, "f" number, "r" the rounding of the outputs); `scalar_result`
    whether it gives one number; `boolean` whether every value is 1.0 or
    0.0; `rowwise` whether a bar's value reads only that bar of the
    arguments; `inputs` the bar fields an indicator reads, in argument order;
    `divisor` what an indicator's number parameters are counted in
    (1/divisor)."""

    name: str
    kind: str
    function: str
    family: str
    params: Tuple[Parameter, ...]
    fields: Tuple[str, ...]
    cross: Optional[Tuple[str, str]]
    rounding: Optional[int]
    warmup: Tuple[str, ...]
    description: str
    description_zh: str
    formula: str
    units: Optional[str]
    expanding: bool = False
    lookahead: bool = False
    core: bool = True
    kinds: str = ""
    scalar_result: bool = False
    boolean: bool = False
    rowwise: bool = False
    inputs: Tuple[str, ...] = ()
    divisor: int = 1


def _default(kind: str, text: Optional[str]) -> Optional[float]:
    if text is None:
        return None
    return float(text) if kind == "f" else int(text)


def _parameter(kind: str, row: Tuple[Any, ...]) -> Parameter:
    name, about, default, minimum, column, condition = row
    maximum = KINDS[kind].maximum
    return Parameter(name, KINDS[kind].name, _default(kind, default), None if maximum is None else minimum,
                     maximum, about, column, condition)


def _function(entry: Dict[str, Any]) -> Record:
    params = tuple(_parameter(k, p) for k, p in zip(entry["kinds"], entry["params"]))
    warmup = tuple(w.strip() for w in entry["warmup"].split(";"))
    fields = entry["outputs"]
    if len(warmup) == 1 and len(fields) > 1:
        warmup = warmup * len(fields)
    return Record(entry["name"], "function", entry["name"], entry["family"], params, fields, entry["cross"],
                  3 if entry["kinds"].endswith("r") else None, warmup, entry["en"], entry["zh"], entry["formula"],
                  entry["units"], lookahead=entry["lookahead"], core=entry["core"], kinds=entry["kinds"],
                  scalar_result=entry["scalar_result"], boolean=entry["boolean"], rowwise=entry["rowwise"])


def _indicator(function: Record, batch: Dict[str, Any]) -> Record:
    numeric = [p for p in function.params if p.kind != "series"]
    given = batch["defaults"]
    params = []
    for k, p in enumerate(numeric):
        default = int(given[k] if k < len(given) else p.default or 0)
        kind, minimum, maximum = p.kind, p.minimum, p.maximum
        if kind != "integer":  # taken as an integer count of 1/divisor
            kind, minimum, maximum = "integer", 0, KINDS["u"].maximum
        params.append(Parameter(f"p{k}", kind, default, minimum, maximum,
                                f"{p.name}: {p.description}" + (f" (in 1/{batch['divisor']})" if batch["divisor"] != 1 else "")))
    name = function.name.lower()
    expanding = batch["expanding"]
    fields = (f"{name}{params[0].default}",) if expanding else function.fields
    return Record(name, "indicator", function.name, function.family, tuple(params), fields, function.cross,
                  function.rounding, function.warmup, function.description, function.description_zh,
                  function.formula, function.units, expanding, inputs=tuple(batch["inputs"]),
                  divisor=int(batch["divisor"]))


def _build() -> Tuple[Dict[str, Record], Dict[str, Record]]:
    functions: Dict[str, Record] = {}
    indicators: Dict[str, Record] = {}
    for entry in _ENTRIES:
        record = _function(entry)
        functions[record.name] = record
        if entry["batch"] is not None:
            indicator = _indicator(record, entry["batch"])
            indicators[indicator.name] = indicator
    return functions, indicators


_ENTRIES: Tuple[Dict[str, Any], ...] = registry()
_TABLES: Tuple[Dict[str, Any], ...] = _tables()
_FUNCTIONS, _INDICATORS = _build()


def catalog(kind: str = "indicator") -> List[Record]:
    """Records of the batch indicators (``kind="indicator"``, the names
    `tarvex.batch` takes) or of the series functions (``kind="function"``,
    `tarvex.MA` ...), in registry order."""
    if kind == "indicator":
        return list(_INDICATORS.values())
    if kind == "function":
        return list(_FUNCTIONS.values())
    raise ValueError(f"kind must be 'indicator' or 'function', got {kind!r}")


def batch_names() -> List[str]:
    """The indicator names `tarvex.batch` takes, sorted."""
    return sorted(_INDICATORS)


def function(name: str) -> Record:
    """The record of one series function by its upper-case name."""
    return _FUNCTIONS[name]


def indicator(name: str) -> Record:
    """The record of one batch indicator by its lower-case name."""
    return _INDICATORS[name]


def table(name: str) -> Dict[str, Any]:
    """A table function of tarvex_core (ZHISHU, BATCH, BATCH_CROSS): its
    "params" as (name, kind, default or None) and its "results" as
    (name, kind)."""
    return next(t for t in _TABLES if t["name"] == name)


def tables() -> Tuple[Dict[str, Any], ...]:
    """The table functions in the order tarvex_core lists them."""
    return _TABLES


def entries() -> Tuple[Dict[str, Any], ...]:
    """The registry's entries as the native module describes them, for the
    generated reference."""
    return _ENTRIES


# Parameter types of the tarvex functions by native kind, as their
# signatures and the stubs write them.
TYPE_TEXT: Dict[str, str] = {k: kind.annotation for k, kind in KINDS.items()}
_DOC_TYPES = {kind.name: kind.doc for kind in KINDS.values()}


def _range(p: Parameter) -> str:
    if p.kind != "integer":
        return ""
    if p.maximum == 2**32 - 1:
        return f", {p.minimum} to 2**32 - 1"
    return f", at least {p.minimum}"


def _sentence(text: str) -> str:
    text = text[0].upper() + text[1:]
    return text if text.endswith(".") else text + "."


def docstring(record: Record) -> str:
    """The numpydoc docstring of `tarvex.<record.name>`."""
    lines = [record.description, "", _sentence(record.formula), "", "Parameters", "----------"]
    for p in record.params:
        default = "" if p.default is None else f", default {p.default!r}"
        lines += [f"{p.name} : {_DOC_TYPES[p.kind]}{_range(p)}{default}", f"    {_sentence(p.description)}"]
    if record.rounding is not None:
        lines += ["digits : int or None, default 3, keyword-only",
                  "    Decimal places the outputs are rounded to, as the last step; None for no rounding."]
    lines += ["starts : array_like of int, optional, keyword-only",
              "    Starts of segments (securities back to back) computed each on its own:",
              "    ascending from 0, below the length of the series.",
              "threads : int, optional, keyword-only",
              "    Threads the segments are spread over (default: every core).", "", "Returns", "-------"]
    if len(record.fields) > 1:
        lines += [f"{record.name}", f"    Named tuple ({', '.join(record.fields)}), each shaped like the input series."]
    elif record.scalar_result:
        lines += ["float or numpy.ndarray", "    The number; one per segment when `starts` is given."]
    else:
        lines += ["numpy.ndarray, pandas.Series or polars.Series",
                  "    Shaped like the first series argument."]
    warmup = ", ".join(f"{f}: {w}" for f, w in zip(record.fields, record.warmup)) if len(record.fields) > 1 \
        else record.warmup[0]
    lines += ["", "Notes", "-----", f"Warm-up: leading bars without a value on ordinary data: {warmup}."]
    if record.lookahead:
        lines.append("Looks ahead: a bar's value depends on later bars, so it changes as bars arrive.")
    if record.rounding is not None:
        lines.append(f"Rounding: outputs rounded to {record.rounding} decimals unless `digits` says otherwise.")
    if record.units:
        lines.append(f"Units: {record.units}.")
    indicator = _BY_FUNCTION.get(record.name)
    if indicator is not None:
        fields = ", ".join(f"``{f}``" for f in indicator.fields)
        note = f"Batch: ``tarvex.batch`` computes it as ``{indicator.name!r}``, fields {fields}"
        if indicator.expanding:
            note += " (one per value of p0)"
        if indicator.cross:
            note += f"; ``batch_cross`` compares ``{indicator.cross[0]}`` with ``{indicator.cross[1]}``"
        lines.append(note + ".")
    lines.append(f"Chinese name: {record.description_zh}")
    return "\n".join(lines) + "\n"


_BY_FUNCTION = {r.function: r for r in _INDICATORS.values()}


@contextmanager
def unsupported_names_listed() -> Iterator[None]:
    """Adds the valid choices to the engine's "unsupported indicator" error."""
    try:
        yield
    except ValueError as e:
        prefix = "unsupported indicator: "
        if not str(e).startswith(prefix):
            raise
        name = str(e)[len(prefix):]
        raise ValueError(f"{prefix}{name!r}; choose from: {', '.join(batch_names())}") from None
