"""Tokens of the formula language.

A token is (kind, value, start, end) with offsets into the text. Kinds:
"num" (value a float), "name" (value upper-cased), "str" (a quoted
indicator reference, value upper-cased, quotes removed), "text" (a
single-quoted text such as DRAWTEXT's, value as written without the
quotes), "op" (value the
operator: + - * / > < >= <= = <> != AND OR NOT ( ) , ; : := . #) and "eof".
Comments `{ ... }` and `// ...` are skipped like white space.
"""
from __future__ import annotations

import re
from typing import Any, List, Tuple

from .errors import FormulaError

__all__ = ["tokenize"]

# (kind, value, start, end)
Token = Tuple[str, Any, int, int]

_TOKEN = re.compile(
    r"""
    (?P<space>\s+)
  | (?P<line_comment>//[^\n]*)
  | (?P<num>\d+\.?\d*|\.\d+)
  | (?P<name>[^\W\d]\w*)
  | (?P<str>"[^"\n]*")
  | (?P<text>'[^'\n]*')
  | (?P<op>:=|>=|<=|<>|!=|&&|\|\||[-+*/><=(),;:.#])
    """,
    re.VERBOSE,
)

# What would be an exponent right after a number (1e10, 2.5E-3).
_EXPONENT = re.compile(r"[eE][-+]?\d")

_WORD_OPERATORS = {"AND": "AND", "OR": "OR", "NOT": "NOT"}
_SYMBOL_OPERATORS = {"&&": "AND", "||": "OR", "!=": "<>"}


def tokenize(text: str) -> List[Token]:
    """The tokens of `text`, ending with one "eof" token."""
    tokens: List[Token] = []
    pos, end = 0, len(text)
    match = _TOKEN.match
    while pos < end:
        if text.startswith("{", pos):
            close = text.find("}", pos + 1)
            if close < 0:
                raise FormulaError("comment '{' is never closed", text, pos)
            pos = close + 1
            continue
        m = match(text, pos)
        if m is None:
            if text[pos] in "\"'":
                raise FormulaError(f"string {text[pos]!r} is never closed on its line", text, pos)
            raise FormulaError(f"unexpected character {text[pos]!r}", text, pos)
        kind, value, stop = m.lastgroup, m.group(), m.end()
        if kind == "num":
            if _EXPONENT.match(text, stop):
                raise FormulaError("numbers have no exponent: write the number out in digits", text, stop)
            tokens.append(("num", float(value), pos, stop))
        elif kind == "name":
            word = value.upper()
            if word in _WORD_OPERATORS:
                tokens.append(("op", _WORD_OPERATORS[word], pos, stop))
            else:
                tokens.append(("name", word, pos, stop))
        elif kind == "str":
            tokens.append(("str", value[1:-1].strip().upper(), pos, stop))
        elif kind == "text":
            tokens.append(("text", value[1:-1], pos, stop))
        elif kind == "op":
            tokens.append(("op", _SYMBOL_OPERATORS.get(value, value), pos, stop))
        pos = stop
    tokens.append(("eof", None, end, end))
    return tokens
