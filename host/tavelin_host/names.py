"""File names as messages show them: one line, whatever bytes the name holds.

Control characters, backslashes and characters that do not print are written
as backslash escapes, as ``ls --quoting-style=escape`` does (spaces are left
as they are), so a name never breaks a message line or moves the cursor.
Bytes that are not UTF-8 (kept by Python as surrogate escapes) come out as
octal escapes of the bytes on disk.
"""
from __future__ import annotations

import os

_NAMED = {"\\": "\\\\", "\n": "\\n", "\t": "\\t", "\r": "\\r", "\a": "\\a", "\b": "\\b", "\f": "\\f",
          "\v": "\\v"}


def _escape_char(char: str) -> str:
    named = _NAMED.get(char)
    if named is not None:
        return named
    if char.isprintable():
        return char
    raw = char.encode("utf-8", "surrogateescape")
    return "".join(f"\\{byte:03o}" for byte in raw)


def shown(name: str | os.PathLike) -> str:
    """``name`` (a path or any text) escaped for a one-line message."""
    text = os.fspath(name)
    if isinstance(text, bytes):
        text = os.fsdecode(text)
    if text.isprintable() and "\\" not in text:
        return text
    return "".join(_escape_char(char) for char in text)
