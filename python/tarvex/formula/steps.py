"""The compiled form of a formula: numbered steps in dependency order and
the output lines that read them. The compiler (plan) writes it, the engine
runs it."""
from __future__ import annotations

from typing import Any, List, Optional, Tuple

__all__ = ["Node", "Output", "Steps"]


class Node:
    """One step of a plan.

    op: "const" (data the number), "param" (data the name), "bar" (data
    the column), "neg", "not", "truth" (1.0 where true, else 0.0), "full"
    (a number on every bar), "arith", "cmp", "logic" (data the operator),
    "call" (data the word), "field" (data the output index of a call),
    "text" (data a quoted text), "period" (data the period's name and the
    Steps of X in X#PERIOD, with one output). `series` tells a column from a number;
    `boolean` that every value is 1.0 or 0.0; `pos` and `arg_pos` are source
    offsets for errors; `lookahead` the words reading later bars that the
    node depends on, in order of appearance.
    """

    __slots__ = ("op", "data", "args", "series", "boolean", "pos", "arg_pos", "lookahead")

    def __init__(self, op: str, data: Any, args: Tuple[int, ...], series: bool, boolean: bool, pos: int,
                 arg_pos: Tuple[int, ...], lookahead: Tuple[str, ...] = ()) -> None:
        self.op, self.data, self.args = op, data, args
        self.series, self.boolean, self.pos, self.arg_pos = series, boolean, pos, arg_pos
        self.lookahead = lookahead


class Output:
    """An output line: name (None when unnamed), label (the name, or the
    expression's text), style words, its node, the drawing word when it is
    a drawing (else None) and the words reading later bars it depends on."""

    __slots__ = ("name", "label", "attrs", "node", "draws", "lookahead")

    def __init__(self, name: Optional[str], label: str, attrs: Tuple[str, ...], node: int,
                 draws: Optional[str] = None, lookahead: Tuple[str, ...] = ()) -> None:
        self.name, self.label, self.attrs, self.node = name, label, attrs, node
        self.draws, self.lookahead = draws, lookahead


class Steps:
    """The formula's `text`, its `nodes` in dependency order and its
    `outputs`."""

    text: str
    nodes: List[Node]
    outputs: List[Output]
