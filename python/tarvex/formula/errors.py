"""The one exception every failure of the formula language raises."""
from __future__ import annotations

import re
from typing import Optional

__all__ = ["FormulaError"]

# How much of a long source line is shown around the place of an error.
_CONTEXT = 60
# Names quoted from the text are shortened past this many characters.
_LONG_WORD = re.compile(r"\w{60,}")


class FormulaError(ValueError):
    """A formula that cannot be compiled or run.

    `message` is the short reason; `line` and `column` (1-based) locate it in
    the formula text when it has a place there, and str() of the error shows
    the line with a caret under that place.
    """

    def __init__(self, message: str, text: Optional[str] = None, offset: Optional[int] = None) -> None:
        self.message = _LONG_WORD.sub(lambda m: m.group()[:40] + "...", message)
        self.line: Optional[int] = None
        self.column: Optional[int] = None
        self.source_line: Optional[str] = None
        if text is not None and offset is not None:
            offset = max(0, min(offset, len(text)))
            line_start = text.rfind("\n", 0, offset) + 1
            line_end = text.find("\n", offset)
            if line_end < 0:
                line_end = len(text)
            self.line = text.count("\n", 0, offset) + 1
            self.column = offset - line_start + 1
            self.source_line = text[line_start:line_end]
        super().__init__(self._render())

    def _render(self) -> str:
        if self.line is None or self.column is None or self.source_line is None:
            return self.message
        # A window of the line around the column keeps megabyte lines readable.
        col = self.column - 1
        first = max(0, col - _CONTEXT)
        shown = self.source_line[first:col + _CONTEXT]
        prefix = "..." if first > 0 else ""
        suffix = "..." if col + _CONTEXT < len(self.source_line) else ""
        shown = (prefix + shown + suffix).replace("\t", " ").replace("\r", " ")
        caret = " " * (len(prefix) + col - first) + "^"
        return f"{self.message}\nline {self.line}, column {self.column}:\n    {shown}\n    {caret}"
