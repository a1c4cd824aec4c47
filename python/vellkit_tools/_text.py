"""Text from files (labels, titles, parameter values) and file names, made
safe to show: on a terminal, in a picture, in a spreadsheet cell."""

import re
from typing import Any

__all__ = ["escape", "inert_cell"]

#: Characters shown escaped: controls (\r, ESC, ...), the Unicode format
#: characters that reorder text, and lone surrogates (bytes of a file name
#: that are not text).
_UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069\ud800-\udfff]")
_NAMED_ESCAPES = {"\r": "\\r", "\n": "\\n", "\t": "\\t"}


def _escape_char(match: "re.Match[str]") -> str:
    char = match.group(0)
    code = ord(char)
    if char in _NAMED_ESCAPES:
        return _NAMED_ESCAPES[char]
    if 0xDC80 <= code <= 0xDCFF:  # a byte that was not text, kept by surrogateescape
        return "\\x%02x" % (code - 0xDC00)
    return "\\x%02x" % code if code < 0x100 else "\\u%04x" % code


def escape(text: Any) -> str:
    """``text`` as it may be printed on a terminal or drawn: control
    characters, escape sequences and bytes that are not text shown escaped
    (``\\r``, ``\\x1b``, ``\\xff``), everything else as it is."""
    return _UNSAFE.sub(_escape_char, str(text))


#: First characters that make a spreadsheet read a cell as a formula.
_FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")


def inert_cell(text: str) -> str:
    """A CSV cell a spreadsheet shows as text, never runs: one that starts
    like a formula gets a leading single quote (as OWASP recommends against
    CSV injection)."""
    if not text.startswith(_FORMULA_STARTS):
        return text
    try:
        float(text)  # a number (an axis value such as -0.5) is shown as one
        return text
    except ValueError:
        return "'" + text
