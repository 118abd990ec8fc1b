"""Compiling formula text into a plan.

A plan is a list of nodes in dependency order (every node's arguments come
before it). Nodes are interned by their structure (operation, data and
argument nodes), so an expression written twice, or two indicator outputs of
the same call, are computed once. Names are resolved while compiling:
variables, caller parameters, bar columns, colours and the words of the
vocabulary. A statement that is a drawing call (STICKLINE, DRAWTEXT ...)
is an output line of its own kind; every node knows which functions that
read later bars (ZIG ...) it depends on.
"""
from __future__ import annotations

import copy
import difflib
import math
import numbers
import struct
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Set, Tuple

from .engine import FormulaResult, Options, prepared, run_plan
from .errors import FormulaError
from .native import Param
from .parser import Binary, Call, Field, Name, Number, Period, Statement, Text, Tree, Unary, children, parse
from .steps import Node, Output, Steps
from .styles import COLORS, colour_value
from .vocabulary import BAR_NAMES, PRICES, Word, vocabulary

__all__ = ["Node", "Output", "Plan"]

# Named numbers: DRAWNULL is the missing value (NaN), as a guarded division
# needs: IF(Y=0, DRAWNULL, X/Y).
_CONSTANTS = {"DRAWNULL": math.nan}

_COMMUTATIVE = frozenset({"+", "*", "=", "<>", "AND", "OR"})
_ARITHMETIC = frozenset({"+", "-", "*", "/"})
_LOGICAL = frozenset({"AND", "OR"})


def _signature(params: Sequence[Param]) -> str:
    return ", ".join(p.name if p.default is None else f"{p.name}={p.default}" for p in params)


class Plan(Steps):
    """A compiled formula: run it with `.run(bars, **params)`.

    `params` holds the declared parameters and their default values;
    `outputs` the output lines; `nodes` the steps in dependency order.
    """

    def __init__(self, text: str, params: Optional[Mapping[str, Any]] = None) -> None:
        if not isinstance(text, str):
            raise FormulaError(f"formula text must be a str, not {type(text).__name__}")
        self.text = text
        self.params: Dict[str, float] = {}
        for name, value in (params or {}).items():
            key = str(name).upper()
            if key in BAR_NAMES or not key.isidentifier():
                raise FormulaError(f"{name!r} cannot be a parameter name")
            self.params[key] = _number(name, value)
        self.nodes: List[Node] = []
        self.outputs: List[Output] = []
        _Compiler(self, self.params).compile(parse(text))

    @property
    def names(self) -> List[str]:
        """The output lines' labels, in order."""
        return [out.label for out in self.outputs]

    def run(self, bars: Any, *, code: Any = None, date: Any = None, columns: Optional[Mapping[str, Any]] = None,
            duplicates: str = "raise", digits: Optional[int] = 3, min_bars: int = 0, code_column: Any = None,
            date_column: Any = None, period: Optional[str] = None, adjust: Any = None,
            **params: Any) -> FormulaResult:
        """The output lines over `bars` (see tarvex.formula for the inputs
        and keywords); `params` override the declared parameters."""
        options = Options(code if code is not None else code_column, date if date is not None else date_column,
                          columns, duplicates, digits, min_bars)
        return run_plan(self, prepared(bars, options, period, adjust), options, self.values(params))

    def values(self, params: Mapping[str, Any]) -> Dict[str, float]:
        """The declared parameters' values with `params` overriding them."""
        values = dict(self.params)
        for name, value in params.items():
            key = str(name).upper()
            if key not in values:
                raise FormulaError(f"the formula declares no parameter {name!r}")
            values[key] = _number(name, value)
        return values

    def only(self, k: int) -> Plan:
        """The plan of output line k alone: a run computes that line and
        what it depends on, nothing else."""
        part = copy.copy(self)
        part.outputs = [self.outputs[k]]
        return part

    def condition(self, lookahead: bool = False) -> int:
        """The index of the line a screen reads: the last output line that
        is not a drawing. Unless `lookahead`, a line depending on a function
        that reads later bars is refused."""
        found = next((k for k in range(len(self.outputs) - 1, -1, -1) if self.outputs[k].draws is None), None)
        if found is None:
            raise FormulaError("the formula only draws: it has no condition line to screen on")
        ahead = self.outputs[found].lookahead
        if ahead and not lookahead:
            word = ahead[0]
            pos = next(n.pos for n in self.nodes if n.op == "call" and n.data == word)
            raise FormulaError(f"{word} looks into the future: its value on a bar changes as later bars arrive, "
                               "so a screen on it would pick codes it could not have picked on the day "
                               "(lookahead=True screens anyway)", self.text, pos)
        return found

    def __repr__(self) -> str:
        return f"<tarvex formula plan: {len(self.outputs)} lines, {len(self.nodes)} steps>"


def _number(name: Any, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise FormulaError(f"parameter {name!r} must be a number, not {type(value).__name__}")
    try:
        return float(value)
    except (OverflowError, ValueError):
        raise FormulaError(f"parameter {name!r} is not a float: {value!r}") from None


class _Compiler:
    """Compiles statements into the steps of `plan`; with `outer`, the
    operand of a # period into steps of its own, which read the outer
    formula's numbers but none of its series."""

    def __init__(self, plan: Steps, params: Dict[str, float], outer: Optional[_Compiler] = None) -> None:
        self.plan = plan
        self.params = params
        self.outer = outer
        self.periods: Dict[str, _Compiler] = {}  # the compiler of each period's steps
        self.text = plan.text
        self.words = vocabulary()
        self.index: Dict[Tuple[str, Any, Tuple[int, ...]], int] = {}
        self.scope: Dict[str, int] = {}
        self.assigned: Set[str] = set()

    def error(self, message: str, pos: Optional[int]) -> FormulaError:
        return FormulaError(message, self.text, pos)

    def add(self, op: str, data: Any, args: Tuple[int, ...] = (), *, series: Optional[bool] = None,
            boolean: bool = False, pos: int = 0, arg_pos: Tuple[int, ...] = (), key_data: Any = None) -> int:
        nodes = self.plan.nodes
        if series is None:
            series = any(nodes[a].series for a in args)
        if key_data is None:
            key_data = struct.pack("<d", data) if op == "const" else data
        key = (op, key_data, args)
        found = self.index.get(key)
        if found is None:
            found = self.index[key] = len(nodes)
            ahead = [w for a in args for w in nodes[a].lookahead]
            if op == "call" and self.words[data].lookahead:
                ahead.append(data)
            nodes.append(Node(op, data, args, series, boolean, pos, arg_pos, tuple(dict.fromkeys(ahead))))
        return found

    def compile(self, statements: List[Statement]) -> None:
        self.assigned.update(st.name for st in statements if st.name is not None)
        for st in statements:
            if st.name is not None:
                if st.name in self.scope:
                    raise self.error(f"{st.name} is assigned twice", st.name_pos)
                if st.name in BAR_NAMES and st.kind == "var":
                    raise self.error(f"{st.name} names a bar column and cannot be assigned", st.name_pos)
                if st.name in self.params:
                    raise self.error(f"{st.name} is a parameter and cannot be assigned", st.name_pos)
            draws = self.drawing(st)
            node = self.expression(st.expr) if draws is None else draws
            if st.name is not None:
                self.scope[st.name] = node
            if st.kind == "output":
                if self.plan.nodes[node].op == "text":
                    raise self.error("a quoted text is no output line: it is the text of a DRAWTEXT", st.expr.pos)
                if not self.plan.nodes[node].series:
                    node = self.add("full", None, (node,), series=True)
                word = None if draws is None else self.plan.nodes[node].data
                self.plan.outputs.append(Output(st.name, st.name or st.source, st.attrs, node, word,
                                                self.plan.nodes[node].lookahead))
        if not self.plan.outputs:
            raise self.error("the formula has no output line", len(self.text))

    def drawing(self, st: Statement) -> Optional[int]:
        """The node of an output statement that calls a drawing word, or
        None for any other statement."""
        tree = st.expr
        if st.kind != "output" or not isinstance(tree, Call) or not isinstance(tree.target, Name):
            return None
        word = self.words.get(tree.target.name)
        if word is None or word.draws is None:
            return None
        args = [self.expression(sub) for sub in tree.args]
        return self.call(word, None, args, tuple(sub.pos for sub in tree.args), tree.pos, word.name)

    def expression(self, tree: Tree) -> int:
        # Post-order walk with an explicit stack: depth costs memory only.
        stack = [(tree, False)]
        results: List[int] = []
        while stack:
            node, ready = stack.pop()
            subs = () if isinstance(node, Period) else children(node)  # a period compiles its operand apart
            if ready or not subs:
                count = len(subs)
                args = results[len(results) - count:]
                del results[len(results) - count:]
                results.append(self.combine(node, args))
            else:
                stack.append((node, True))
                stack.extend((sub, False) for sub in reversed(subs))
        return results[0]

    def combine(self, tree: Tree, args: List[int]) -> int:
        pos = tree.pos
        if isinstance(tree, Number):
            return self.add("const", tree.value, series=False, pos=pos)
        if isinstance(tree, Text):
            return self.add("text", tree.text, series=False, pos=pos)
        for a in args:
            if self.plan.nodes[a].op == "text" and not isinstance(tree, Call):
                raise self.error("a quoted text takes no part in arithmetic: it is the text of a DRAWTEXT",
                                 self.plan.nodes[a].pos)
        if isinstance(tree, Period):
            return self.period(tree)
        if isinstance(tree, Name):
            return self.name(tree.name, pos)
        if isinstance(tree, Field):
            return self.field(tree, None, ())
        if isinstance(tree, Unary):
            if tree.op == "-":
                return self.add("neg", None, tuple(args), pos=pos)
            return self.add("not", None, tuple(args), boolean=True, pos=pos)
        if isinstance(tree, Binary):
            op = tree.op
            if op in _COMMUTATIVE:
                args = sorted(args)
            group = "arith" if op in _ARITHMETIC else "logic" if op in _LOGICAL else "cmp"
            return self.add(group, op, tuple(args), boolean=group != "arith", pos=pos)
        target = tree.target
        arg_pos = tuple(sub.pos for sub in tree.args)
        if isinstance(target, Field):
            return self.field(target, args, arg_pos)
        name = target.name
        word = self.words.get(name)
        if word is None:
            if name in self.scope or name in self.params or name in BAR_NAMES or name in _CONSTANTS:
                raise self.error(f"{name} is not a function", pos)
            raise self.unknown(name, pos, self.words)
        if word.draws is not None:
            raise self.error(f"{name} draws and gives no value: write it as a statement of its own", pos)
        return self.call(word, None, args, arg_pos, pos, name)

    def period(self, tree: Period) -> int:
        """X#PERIOD: X compiled into the steps of the period (Steps with an
        output line per X, shared by every X of that period, so a step two
        of them take is computed once), which the engine runs over the
        period's bars as they stand on each bar. The node's data is the
        period's name, its steps and the index of X's line."""
        if self.outer is not None:
            raise self.error("a # period cannot hold another: one period to an expression", tree.pos)
        inner = self.periods.get(tree.period)
        if inner is None:
            part = Steps()
            part.text, part.nodes, part.outputs = self.text, [], []
            inner = self.periods[tree.period] = _Compiler(part, self.params, outer=self)
        part = inner.plan
        node = inner.expression(tree.operand)
        if part.nodes[node].op == "text":
            raise self.error("a quoted text has no period: it is the text of a DRAWTEXT", tree.operand.pos)
        if not part.nodes[node].series:
            node = inner.add("full", None, (node,), series=True)
        line = next((k for k, out in enumerate(part.outputs) if out.node == node), len(part.outputs))
        if line == len(part.outputs):
            part.outputs.append(Output(None, tree.period, (), node))
        return self.add("period", (tree.period, part, line), series=True, boolean=part.nodes[node].boolean,
                        pos=tree.pos, key_data=(tree.period, node))

    def outer_name(self, name: str, pos: int) -> Optional[int]:
        """Inside a period, the node of a variable of the formula: its number
        where it is one; a series variable is refused."""
        outer = self.outer
        if outer is None or name not in outer.scope:
            return None
        node = outer.plan.nodes[outer.scope[name]]
        if node.op == "const":
            return self.add("const", node.data, series=False, pos=pos)
        raise self.error(f"{name} is a variable of the formula, computed on its own bars: inside a # period write "
                         f"its expression, in parentheses: (expression)#PERIOD", pos)

    def name(self, name: str, pos: int) -> int:
        found = self.outer_name(name, pos)
        if found is not None:
            return found
        if name in self.scope:
            node = self.plan.nodes[self.scope[name]]
            if node.op == "call" and self.words[node.data].draws is not None:
                raise self.error(f"{name} is a drawing and gives no value", pos)
            return self.scope[name]
        if name in self.params:
            return self.add("param", name, series=False, pos=pos)
        if name in _CONSTANTS:
            return self.add("const", _CONSTANTS[name], series=False, pos=pos)
        colour = colour_value(name)
        if colour is not None:
            return self.add("const", colour, series=False, pos=pos)
        if name in BAR_NAMES:
            return self.add("bar", BAR_NAMES[name], series=True, pos=pos)
        word = self.words.get(name)
        if word is not None:
            if word.implied is None and word.params:
                raise self.error(f"{name} needs its arguments: {name}({_signature(word.params)})", pos)
            if word.draws is not None:
                raise self.error(f"{name} draws and gives no value: write it as a statement of its own", pos)
            return self.call(word, None, [], (), pos, name)
        if name in self.assigned or (self.outer is not None and name in self.outer.assigned):
            raise self.error(f"{name} is used before it is assigned", pos)
        candidates = [*self.scope, *self.params, *_CONSTANTS, *COLORS, *BAR_NAMES, *self.words]
        raise self.unknown(name, pos, candidates, f"; a parameter is passed by name, e.g. {name}=9")

    def unknown(self, name: str, pos: int, candidates: Iterable[str], advice: str = "") -> FormulaError:
        close = difflib.get_close_matches(name, sorted(set(candidates)), n=3)
        hint = f" (did you mean {', '.join(close)}?)" if close else ""
        return self.error(f"unknown name {name}{hint}{advice}", pos)

    def field(self, target: Field, args: Optional[List[int]], arg_pos: Tuple[int, ...]) -> int:
        pos, name, field = target
        word = self.words.get(name)
        if word is None or word.implied is None:
            indicators = [w.name for w in self.words.values() if w.implied is not None]
            close = difflib.get_close_matches(name, indicators, n=3)
            hint = f" (did you mean {', '.join(close)}?)" if close else ""
            raise self.error(f"{name} is not an indicator{hint}", pos)
        k = word.field_index(field)
        if k is None:
            listed = ", ".join(f"{name}.{out.upper()}" for out in word.outputs)
            raise self.error(f"{name} has no output {field}; it has {listed}", pos)
        return self.call(word, k, args or [], arg_pos, pos, f"{name}.{field}")

    def price(self, node: Node, label: str, pos: int) -> int:
        """The bar column a price selector names: 0, 1, 2 or 3 for OPEN,
        HIGH, LOW or CLOSE."""
        if node.op != "const" or node.data not in range(len(PRICES)):
            raise self.error(f"the price of {label} must be a series, or 0, 1, 2 or 3 for OPEN, HIGH, LOW or CLOSE",
                             pos)
        return self.add("bar", PRICES[int(node.data)], series=True, pos=pos)

    def call(self, word: Word, field: Optional[int], args: List[int], arg_pos: Tuple[int, ...], pos: int,
             label: str) -> int:
        nodes, params = self.plan.nodes, word.params
        if self.outer is not None and not word.periodic:
            raise self.error(f"{word.name} reads the security's last bar, which on the bars of a # period is always "
                             "the current one: write it outside the period", pos)
        # An indicator called without its leading series reads them from the bars.
        implied = word.implied if word.implied is not None and (not args or not nodes[args[0]].series) else ()
        bound = params[len(implied):]
        required = sum(1 for p in bound if p.default is None)
        if not required <= len(args) <= len(bound):
            forms = f"({_signature(bound)})"
            if word.implied is not None:
                forms += f" or ({_signature(params)})"
            raise self.error(f"{label} takes {forms}, got {len(args)} argument(s)", pos)
        values: List[int] = []
        positions: List[int] = []
        for column in implied:
            values.append(self.add("bar", column, series=True, pos=pos))
            positions.append(pos)
        for k, (pname, kind, default) in enumerate(bound):
            if k < len(args):
                node, at = args[k], arg_pos[k]
            else:
                assert default is not None  # the parameters without a default are all given
                node, at = self.add("const", float(default), series=False, pos=pos), pos
            if kind == "k" and not nodes[node].series:
                node = self.price(nodes[node], label, at)
                kind = "s"
            if (kind == "t") != (nodes[node].op == "text"):
                wanted = "a text in single quotes" if kind == "t" else "a number or a series, not a text"
                raise self.error(f"{pname} of {label} must be {wanted}", at)
            if kind in ("i", "f") and nodes[node].series:
                raise self.error(f"{pname} of {label} must be a number, not a series", at)
            if kind == "c" and not nodes[node].boolean:
                node = self.add("truth", None, (node,), boolean=True, pos=at)
            if kind in ("s", "c") and not nodes[node].series:
                node = self.add("full", None, (node,), series=True, boolean=nodes[node].boolean, pos=at)
            values.append(node)
            positions.append(at)
        first = next((k for k, p in enumerate(params) if p.kind == "v"), None)
        if word.series and first is not None and not any(nodes[v].series for v in values):
            # Only numbers (MAX(1, 2)): the first of them becomes a column.
            values[first] = self.add("full", None, (values[first],), series=True, pos=positions[first])
        several = len(word.outputs) > 1
        if several and field is None:
            listed = ", ".join(f"{word.name}.{out.upper()}" for out in word.outputs)
            raise self.error(f"{word.name} has several outputs: read one as {listed}", pos)
        node = self.add("call", word.name, tuple(values), series=word.series, boolean=word.boolean and not several,
                        pos=pos, arg_pos=tuple(positions))
        if several:
            return self.add("field", field, (node,), series=True, pos=pos)
        return node
