"""How a formula says what its lines look like: the style words written
after an output line (`MA5:MA(C,5),COLORWHITE,LINETHICK2;`) and colour
values.

A colour is a number, as the language has it: red + green * 256 + blue *
65536, so `RGB(255,0,0)` and `COLORRED` are both 255. Besides the named
colours, `COLOR` followed by six hex digits names one by its blue, green and
red bytes in that order (`COLOR0000FF` is red).
"""
from __future__ import annotations

import difflib
import re
from typing import Optional, Tuple

__all__ = ["COLORS", "LINE_WORDS", "colour_value", "rgb", "style_error", "thickness"]

# Style words that are neither a colour nor a thickness.
LINE_WORDS = frozenset({
    "NODRAW", "NOTEXT", "NOFRAME", "NOTITLE", "DRAWABOVE", "COLORSTICK", "STICK", "VOLSTICK",
    "LINESTICK", "CROSSDOT", "CIRCLEDOT", "POINTDOT", "DOTLINE", "DASHLINE", "DASHDOTLINE",
})


def rgb(red: float, green: float, blue: float) -> float:
    """The colour value of red, green and blue from 0 to 255."""
    return float(red + green * 256 + blue * 65536)


COLORS = {
    "COLORBLACK": rgb(0, 0, 0), "COLORWHITE": rgb(255, 255, 255),
    "COLORRED": rgb(255, 0, 0), "COLORGREEN": rgb(0, 255, 0), "COLORBLUE": rgb(0, 0, 255),
    "COLORYELLOW": rgb(255, 255, 0), "COLORMAGENTA": rgb(255, 0, 255), "COLORCYAN": rgb(0, 255, 255),
    "COLORBROWN": rgb(128, 128, 0), "COLORGRAY": rgb(128, 128, 128), "COLORLIGRAY": rgb(192, 192, 192),
    "COLORLIRED": rgb(255, 128, 128), "COLORLIGREEN": rgb(128, 255, 128), "COLORLIBLUE": rgb(128, 128, 255),
    "COLORLICYAN": rgb(128, 255, 255), "COLORLIMAGENTA": rgb(255, 128, 255),
}

_HEX_COLOUR = re.compile(r"COLOR([0-9A-F]{2})([0-9A-F]{2})([0-9A-F]{2})")
_THICKNESS = re.compile(r"LINETHICK(\d)")


def colour_value(word: str) -> Optional[float]:
    """The colour a style word names (upper case), or None."""
    if word in COLORS:
        return COLORS[word]
    m = _HEX_COLOUR.fullmatch(word)
    if m is None:
        return None
    blue, green, red = (int(g, 16) for g in m.groups())
    return rgb(red, green, blue)


def thickness(word: str) -> Optional[int]:
    """The line width LINETHICKn names, or None."""
    m = _THICKNESS.fullmatch(word)
    return int(m.group(1)) if m else None


def style_error(word: str) -> Optional[str]:
    """Why `word` is no style word (with the closest ones), or None when
    it is one."""
    if word in LINE_WORDS or colour_value(word) is not None or thickness(word) is not None:
        return None
    known: Tuple[str, ...] = (*sorted(LINE_WORDS), *COLORS, *(f"LINETHICK{k}" for k in range(1, 10)))
    close = difflib.get_close_matches(word, known, n=3)
    hint = f" (did you mean {', '.join(close)}?)" if close else ""
    kind = "colour" if word.startswith("COLOR") else "drawing word"
    return f"unknown {kind} {word}{hint}"
