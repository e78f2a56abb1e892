"""Saved profiles as JSON text and files: `kulvo.load` reads back what the json report wrote.

The document itself (its fields, format name and version) is `kulvo.document`'s, reached
through `Profile.to_dict` and `Profile.from_dict`.
"""

from __future__ import annotations

import json
import os
import re
from typing import TYPE_CHECKING, NoReturn

from kulvo import document  # noqa: F401  (plugs the codec into Profile.to_dict and from_dict)
from kulvo.model import Profile, ProfileFormatError

if TYPE_CHECKING:
    from pathlib import Path

__all__ = ["ProfileFormatError", "dumps", "load", "loads"]

# Far above any profile kulvo writes (the core keeps 100,000 samples), and low enough that a
# file that is not one is refused before it is read into memory.
MAX_PROFILE_BYTES = 256 * 1024 * 1024
# More digits than any 64-bit count: longer numbers are refused before they are converted,
# which for a huge one would take very long. Only text with so long a run of digits takes the
# slower parse that checks every integer.
_MAX_INTEGER_DIGITS = 19
_LONG_DIGIT_RUN = re.compile(rf"\d{{{_MAX_INTEGER_DIGITS + 1}}}")


def dumps(profile: Profile) -> str:
    return json.dumps(profile.to_dict(), separators=(",", ":")) + "\n"


def _refuse_constant(name: str) -> NoReturn:
    raise ProfileFormatError(f"damaged kulvo profile ({name} is not a number kulvo writes)")


def _bounded_int(text: str) -> int:
    if len(text.lstrip("-")) > _MAX_INTEGER_DIGITS:
        raise ProfileFormatError(f"damaged kulvo profile (integer of {len(text)} digits)")
    return int(text)


def loads(text: str) -> Profile:
    """Reads a profile from JSON text; anything but a kulvo profile raises ProfileFormatError."""
    # Numbers out of range (1e400 reads as infinity) are refused by Profile.from_dict.
    parse_int = _bounded_int if _LONG_DIGIT_RUN.search(text) else None
    try:
        document = json.loads(text, parse_constant=_refuse_constant, parse_int=parse_int)
    except json.JSONDecodeError as error:
        raise ProfileFormatError(f"not a kulvo profile: invalid or truncated JSON ({error})") from None
    except RecursionError:
        raise ProfileFormatError("not a kulvo profile: nested too deeply") from None
    return Profile.from_dict(document)


def load(path: str | Path) -> Profile:
    """Reads a profile saved as JSON by `Profile.save` or `kulvo run -o FILE.json`."""
    with open(path, "rb") as stream:
        size_bytes = os.fstat(stream.fileno()).st_size
        # A pipe or device has no size: read one byte more than allowed to tell.
        data = b"" if size_bytes > MAX_PROFILE_BYTES else stream.read(MAX_PROFILE_BYTES + 1)
    if max(size_bytes, len(data)) > MAX_PROFILE_BYTES:
        raise ProfileFormatError(f"not a kulvo profile: larger than {MAX_PROFILE_BYTES // (1024 * 1024)} MiB")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        raise ProfileFormatError("not a kulvo profile: not UTF-8 text") from None
    del data
    return loads(text)
