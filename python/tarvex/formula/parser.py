"""Formula text to statements and expression trees.

The parser is iterative (an operator-precedence parser with explicit
stacks), so nesting depth is bounded only by memory, never by the Python
stack. An expression tree is one of the node types below, each with `pos`,
the source offset of the place an error should point at.
"""
from __future__ import annotations

from typing import List, NamedTuple, Optional, Sequence, Tuple, Union

from .errors import FormulaError
from .lexer import Token, tokenize
from .styles import style_error

__all__ = ["Statement", "parse", "children", "Tree", "Number", "Text", "Name", "Field", "Call", "Unary", "Binary",
           "Period", "PERIODS"]

# The periods a `#` suffix names, by the period of tarvex.resample each is.
PERIODS = {"MIN5": "5MIN", "MIN15": "15MIN", "MIN30": "30MIN", "MIN60": "60MIN", "DAY": "D", "WEEK": "W",
           "MONTH": "M", "SEASON": "Q", "YEAR": "Y"}


class Number(NamedTuple):
    pos: int
    value: float


class Text(NamedTuple):
    """'a single-quoted text'"""
    pos: int
    text: str


class Name(NamedTuple):
    pos: int
    name: str


class Field(NamedTuple):
    """KDJ.K or "KDJ.K": an indicator's output."""
    pos: int
    indicator: str
    field: str


class Call(NamedTuple):
    pos: int
    target: Union[Name, Field]
    args: List["Tree"]


class Unary(NamedTuple):
    """op "-" or "NOT"."""
    pos: int
    op: str
    operand: "Tree"


class Binary(NamedTuple):
    pos: int
    op: str
    left: "Tree"
    right: "Tree"


class Period(NamedTuple):
    """X#WEEK: X on the bars of a longer period as they stand on each bar;
    `pos` is that of the '#', `period` a key of PERIODS."""
    pos: int
    operand: "Tree"
    period: str


Tree = Union[Number, Text, Name, Field, Call, Unary, Binary, Period]


# What waits on the parser's stack of operators: a prefix operator, a
# binary operator, an open parenthesis and an open call counting its
# arguments.
class _Prefix(NamedTuple):
    op: str
    pos: int


class _Infix(NamedTuple):
    op: str
    precedence: int
    pos: int


class _Group(NamedTuple):
    pos: int


class _OpenCall:
    __slots__ = ("target", "commas")

    def __init__(self, target: Union[Name, Field]) -> None:
        self.target, self.commas = target, 0


_Pending = Union[_Prefix, _Infix, _Group, _OpenCall]

# Binding strength of the binary operators; all are left-associative and
# every prefix operator binds tighter than any of them.
_PRECEDENCE = {
    "OR": 1, "AND": 2,
    ">": 3, "<": 3, ">=": 3, "<=": 3, "=": 3, "<>": 3,
    "+": 4, "-": 4,
    "*": 5, "/": 5,
}

class Statement:
    """One statement: `name:=expr` (kind "var"), `name:expr` or a bare
    `expr` (kind "output", name None when bare), with its style words
    (colours, widths and drawing words written after it)."""

    __slots__ = ("kind", "name", "name_pos", "expr", "attrs", "source")

    def __init__(self, kind: str, name: Optional[str], name_pos: Optional[int], expr: Tree, attrs: Tuple[str, ...],
                 source: str) -> None:
        self.kind, self.name, self.name_pos = kind, name, name_pos
        self.expr, self.attrs, self.source = expr, attrs, source


def children(tree: Tree) -> Sequence[Tree]:
    """The sub-trees of an expression tree, left to right."""
    if isinstance(tree, Unary):
        return (tree.operand,)
    if isinstance(tree, Binary):
        return (tree.left, tree.right)
    if isinstance(tree, Call):
        return tree.args
    if isinstance(tree, Period):
        return (tree.operand,)
    return ()


def parse(text: str) -> List[Statement]:
    """The statements of a formula, in order."""
    return _Parser(text).statements()


class _Parser:
    def __init__(self, text: str) -> None:
        self.text = text
        self.tokens = tokenize(text)

    def error(self, message: str, pos: int) -> FormulaError:
        return FormulaError(message, self.text, pos)

    def is_op(self, i: int, *values: str) -> bool:
        tok = self.tokens[i]
        return tok[0] == "op" and tok[1] in values

    def statements(self) -> List[Statement]:
        tokens, i = self.tokens, 0
        out: List[Statement] = []
        while tokens[i][0] != "eof":
            if self.is_op(i, ";"):
                i += 1
                continue
            kind, name, name_pos = "output", None, None
            if tokens[i][0] == "name" and self.is_op(i + 1, ":", ":="):
                kind = "var" if tokens[i + 1][1] == ":=" else "output"
                name, name_pos = tokens[i][1], tokens[i][2]
                i += 2
            first = i
            expr, i = self.expression(i)
            source = self.text[tokens[first][2]:tokens[i - 1][3]]
            attrs: List[str] = []
            while self.is_op(i, ","):
                word = tokens[i + 1]
                if word[0] != "name":
                    raise self.error("expected a drawing word after ','", word[2])
                if word[1] == "RGB" and self.is_op(i + 2, "("):
                    colour, i = self.rgb(i + 1)
                    attrs.append(colour)
                    continue
                self.check_drawing_word(word)
                attrs.append(word[1])
                i += 2
            if tokens[i][0] != "eof" and not self.is_op(i, ";"):
                raise self.error("expected an operator or ';'", tokens[i][2])
            out.append(Statement(kind, name, name_pos, expr, tuple(attrs), source))
        return out

    def rgb(self, i: int) -> Tuple[str, int]:
        """RGB(r,g,b) of whole numbers 0 to 255 at token i, as a style word
        (COLOR and the blue, green and red bytes in hex), and the next index."""
        tokens, parts = self.tokens, []
        for k, punct in enumerate((",", ",", ")")):
            tok = tokens[i + 2 + 2 * k]
            if tok[0] != "num" or not 0 <= tok[1] <= 255 or tok[1] != int(tok[1]) \
                    or not self.is_op(i + 3 + 2 * k, punct):
                raise self.error("a colour after ',' reads RGB(red,green,blue), each a whole number 0 to 255",
                                 tok[2])
            parts.append(int(tok[1]))
        red, green, blue = parts
        return f"COLOR{blue:02X}{green:02X}{red:02X}", i + 8

    def check_drawing_word(self, token: Token) -> None:
        problem = style_error(token[1])
        if problem is not None:
            raise self.error(problem, token[2])

    def period(self, name: str, pos: int) -> str:
        """The period named after a '#' at `pos`."""
        if not name:
            raise self.error(f"expected a period after '#': {', '.join(PERIODS)}", pos)
        if name not in PERIODS:
            raise self.error(f"unknown period {name}; the periods are {', '.join(PERIODS)}", pos)
        return name

    def reference(self, i: int) -> Tuple[Union[Name, Field, Period], int]:
        """A name, NAME.FIELD, "NAME.FIELD" or "NAME.FIELD#PERIOD" at token
        i, and the next index."""
        kind, value, start, _ = self.tokens[i]
        if kind == "str":
            quoted, hash_sign, period = value.partition("#")
            parts = quoted.strip().split(".")
            if len(parts) != 2 or not all(p.isidentifier() for p in parts):
                raise self.error('a quoted name reads "INDICATOR.OUTPUT" or "INDICATOR.OUTPUT#PERIOD"', start)
            output = Field(start, parts[0], parts[1])
            if not hash_sign:
                return output, i + 1
            if self.is_op(i + 1, "("):
                raise self.error('a quoted "INDICATOR.OUTPUT#PERIOD" takes no arguments: write '
                                 'INDICATOR(...).OUTPUT#PERIOD', start)
            at = start + 1 + self.text[start + 1:].find("#")
            return Period(at, output, self.period(period.strip(), at + 1)), i + 1
        if self.is_op(i + 1, "."):
            field = self.tokens[i + 2]
            if field[0] != "name":
                raise self.error("expected an output name after '.'", field[2])
            return Field(start, value, field[1]), i + 3
        return Name(start, value), i + 1

    def expression(self, i: int) -> Tuple[Tree, int]:
        """One expression starting at token i, and the index after it.

        Operands wait on `operands`; `pending` holds the operators,
        parentheses and calls still open.
        """
        tokens = self.tokens
        operands: List[Tree] = []
        pending: List[_Pending] = []

        def reduce(entry: Union[_Prefix, _Infix]) -> None:
            if isinstance(entry, _Prefix):
                operands.append(Unary(entry.pos, entry.op, operands.pop()))
            else:
                right = operands.pop()
                operands.append(Binary(entry.pos, entry.op, operands.pop(), right))

        def operator_on_top() -> Optional[Union[_Prefix, _Infix]]:
            top = pending[-1] if pending else None
            return top if isinstance(top, (_Prefix, _Infix)) else None

        expect_operand = True
        while True:
            kind, value, start, _ = tokens[i]
            if expect_operand:
                if kind == "op" and value in ("-", "+", "NOT"):
                    if value != "+":  # unary plus changes nothing
                        pending.append(_Prefix(value, start))
                    i += 1
                elif kind == "op" and value == "(":
                    pending.append(_Group(start))
                    i += 1
                elif kind == "num":
                    operands.append(Number(start, value))
                    i += 1
                    expect_operand = False
                elif kind == "text":
                    operands.append(Text(start, value))
                    i += 1
                    expect_operand = False
                elif kind in ("name", "str"):
                    target, i = self.reference(i)
                    expect_operand = False
                    if isinstance(target, Period) or not self.is_op(i, "("):
                        operands.append(target)
                    elif self.is_op(i + 1, ")"):
                        operands.append(Call(target.pos, target, []))
                        i += 2
                    else:
                        pending.append(_OpenCall(target))
                        i += 1
                        expect_operand = True
                elif kind == "eof":
                    raise self.error("the formula ends where an expression should follow", start)
                else:
                    raise self.error(f"expected an expression, found {value!r}", start)
                continue
            if kind == "op" and value == "#":
                # A period binds tighter than any operator, to the operand
                # just read: a name, a call, a field or a parenthesised group.
                before = tokens[i - 1]
                if not (before[0] in ("name", "str") or (before[0] == "op" and before[1] == ")")) \
                        or isinstance(operands[-1], (Number, Text)):
                    raise self.error("a # period follows a bar name, a call, an indicator's output or an expression "
                                     "in parentheses", start)
                if isinstance(operands[-1], Period):
                    raise self.error("a # period cannot follow another: one period to an expression", start)
                word = tokens[i + 1]
                operands.append(Period(start, operands.pop(), self.period(word[1] if word[0] == "name" else "",
                                                                          word[2] if word[0] == "name" else start)))
                i += 2 if word[0] == "name" else 1
                continue
            if kind == "op" and value in _PRECEDENCE:
                precedence = _PRECEDENCE[value]
                while True:
                    top = operator_on_top()
                    if top is None or (isinstance(top, _Infix) and top.precedence < precedence):
                        break
                    reduce(top)
                    pending.pop()
                pending.append(_Infix(value, precedence, start))
                expect_operand = True
                i += 1
                continue
            if kind == "op" and value in (",", ")"):
                while (top := operator_on_top()) is not None:
                    reduce(top)
                    pending.pop()
                if not pending:
                    if value == ",":
                        break  # drawing words follow the expression
                    raise self.error("')' has no matching '('", start)
                opened = pending[-1]
                if value == ",":
                    if not isinstance(opened, _OpenCall):
                        raise self.error("',' inside parentheses that are not a call", start)
                    opened.commas += 1
                    expect_operand = True
                else:
                    pending.pop()
                    if isinstance(opened, _OpenCall):
                        count = opened.commas + 1
                        args = operands[-count:]
                        del operands[-count:]
                        operands.append(Call(opened.target.pos, opened.target, args))
                i += 1
                continue
            break
        while pending:
            entry = pending.pop()
            if isinstance(entry, _Group):
                raise self.error("'(' is never closed", entry.pos)
            if isinstance(entry, _OpenCall):
                raise self.error("'(' of this call is never closed", entry.target.pos)
            reduce(entry)
        return operands[0], i
