"""Text from outside (a command line, a file name) made fit for any report."""

from __future__ import annotations

import re

# Surrogate code points: U+DC80..U+DCFF stand for undecodable bytes (Python's surrogateescape),
# the others are lone halves of a pair. Neither can be written as UTF-8.
_SURROGATE = re.compile("[\ud800-\udfff]")


def valid_text(text: str) -> str:
    """`text` as valid Unicode: a byte that was not UTF-8 (an escaped surrogate) as `\\xNN`,
    another lone surrogate as `\\uNNNN`, so that every report can be written."""

    def escape(match: re.Match[str]) -> str:
        code = ord(match.group())
        return f"\\x{code - 0xDC00:02x}" if 0xDC80 <= code <= 0xDCFF else f"\\u{code:04x}"

    return _SURROGATE.sub(escape, text)
