"""Formula text to statements and expression trees.

The parser is iterative (an operator-precedence parser with explicit
stacks), so nesting depth is bounded only by memory, never by the Python
stack. Expression trees are tuples whose second item is the source offset
of the place an error should point at:

    ("num", pos, value)
    ("text", pos, TEXT)                     'a single-quoted text'
    ("name", pos, NAME)
    ("field", pos, INDICATOR, FIELD)        KDJ.K or "KDJ.K"
    ("call", pos, target, [args])           target a "name" or "field" tree
    ("unary", pos, op, operand)             op "-" or "NOT"
    ("binary", pos, op, left, right)
"""
from __future__ import annotations

from typing import Any, List, Optional, Sequence, Tuple

from .errors import FormulaError
from .lexer import Token, tokenize
from .styles import style_error

__all__ = ["Statement", "parse", "children"]

# An expression tree: a tuple of the node kind, the source offset, then the
# kind's items (see above); sub-trees are trees again.
Tree = Tuple[Any, ...]

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
    kind = tree[0]
    if kind == "unary":
        return (tree[3],)
    if kind == "binary":
        return (tree[3], tree[4])
    if kind == "call":
        args: List[Tree] = tree[3]
        return args
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

    def reference(self, i: int) -> Tuple[Tree, int]:
        """A name, NAME.FIELD or "NAME.FIELD" at token i, and the next index."""
        kind, value, start, _ = self.tokens[i]
        if kind == "str":
            parts = value.split(".")
            if len(parts) != 2 or not all(p.isidentifier() for p in parts):
                raise self.error('a quoted name reads "INDICATOR.OUTPUT"', start)
            return ("field", start, parts[0], parts[1]), i + 1
        if self.is_op(i + 1, "."):
            field = self.tokens[i + 2]
            if field[0] != "name":
                raise self.error("expected an output name after '.'", field[2])
            return ("field", start, value, field[1]), i + 3
        return ("name", start, value), i + 1

    def expression(self, i: int) -> Tuple[Tree, int]:
        """One expression starting at token i, and the index after it.

        Operands wait on `operands`; `pending` holds prefix operators
        ["un", op, pos], binary operators ["bin", op, precedence, pos],
        parentheses ["group", pos] and open calls ["call", target, argc].
        """
        tokens = self.tokens
        operands: List[Tree] = []
        pending: List[List[Any]] = []

        def reduce(entry: List[Any]) -> None:
            if entry[0] == "un":
                operands.append(("unary", entry[2], entry[1], operands.pop()))
            else:
                right = operands.pop()
                operands.append(("binary", entry[3], entry[1], operands.pop(), right))

        expect_operand = True
        while True:
            kind, value, start, _ = tokens[i]
            if expect_operand:
                if kind == "op" and value in ("-", "+", "NOT"):
                    if value != "+":  # unary plus changes nothing
                        pending.append(["un", value, start])
                    i += 1
                elif kind == "op" and value == "(":
                    pending.append(["group", start])
                    i += 1
                elif kind in ("num", "text"):
                    operands.append((kind, start, value))
                    i += 1
                    expect_operand = False
                elif kind in ("name", "str"):
                    target, i = self.reference(i)
                    expect_operand = False
                    if not self.is_op(i, "("):
                        operands.append(target)
                    elif self.is_op(i + 1, ")"):
                        operands.append(("call", target[1], target, []))
                        i += 2
                    else:
                        pending.append(["call", target, 0])
                        i += 1
                        expect_operand = True
                elif kind == "eof":
                    raise self.error("the formula ends where an expression should follow", start)
                else:
                    raise self.error(f"expected an expression, found {value!r}", start)
                continue
            if kind == "op" and value in _PRECEDENCE:
                precedence = _PRECEDENCE[value]
                while pending and (pending[-1][0] == "un"
                                   or (pending[-1][0] == "bin" and pending[-1][2] >= precedence)):
                    reduce(pending.pop())
                pending.append(["bin", value, precedence, start])
                expect_operand = True
                i += 1
                continue
            if kind == "op" and value in (",", ")"):
                while pending and pending[-1][0] in ("un", "bin"):
                    reduce(pending.pop())
                if not pending:
                    if value == ",":
                        break  # drawing words follow the expression
                    raise self.error("')' has no matching '('", start)
                top = pending[-1]
                if value == ",":
                    if top[0] == "group":
                        raise self.error("',' inside parentheses that are not a call", start)
                    top[2] += 1
                    expect_operand = True
                else:
                    pending.pop()
                    if top[0] == "call":
                        count = top[2] + 1
                        args = operands[-count:]
                        del operands[-count:]
                        operands.append(("call", top[1][1], top[1], args))
                i += 1
                continue
            break
        while pending:
            entry = pending.pop()
            if entry[0] == "group":
                raise self.error("'(' is never closed", entry[1])
            if entry[0] == "call":
                raise self.error("'(' of this call is never closed", entry[1][1])
            reduce(entry)
        return operands[0], i
