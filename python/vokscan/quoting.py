"""Names and quoted input in lines of text: a name never adds fields or
lines, and a message quoting input stays one short line."""

from __future__ import annotations

import re
from typing import Optional

# Characters of a quoted text, at most, around the place it is quoted for.
QUOTE_WIDTH = 80

_CONTROL = re.compile(r"[\x00-\x1f\x7f]")


def has_control_characters(text: str) -> bool:
    """Whether `text` holds tabs, line breaks or other control characters."""
    return _CONTROL.search(text) is not None


def written_name(text: str) -> str:
    """`text` as a field of a tab-separated line: control characters as '_'."""
    return _CONTROL.sub("_", text)


def printable(text: str) -> str:
    """`text` with its control characters escaped (a tab as \\t), for one line."""
    return _CONTROL.sub(lambda match: repr(match.group())[1:-1], text)


def quote(text: str, at: Optional[int] = None, width: int = QUOTE_WIDTH) -> str:
    """`text` in single quotes for a message: control characters escaped
    (a tab as \\t), and a longer text cut to `width` characters around
    position `at` (from the start when None), '...' where it was cut."""
    start = 0
    if len(text) > width:
        centre = 0 if at is None else min(max(at, 0), len(text))
        start = max(0, min(centre - width // 2, len(text) - width))
    escaped = printable(text[start:start + width])
    before = "..." if start > 0 else ""
    after = "..." if start + width < len(text) else ""
    return f"'{before}{escaped}{after}'"
