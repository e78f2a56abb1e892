"""Saved profiles as JSON text and files: `kulvo.load` reads back what the json report wrote.

The document itself (its fields, format name and version) belongs to the model:
`Profile.to_dict` and `Profile.from_dict`.
"""

from __future__ import annotations

import json
from pathlib import Path

from kulvo.model import Profile, ProfileFormatError

__all__ = ["ProfileFormatError", "dumps", "load", "loads"]


def dumps(profile: Profile) -> str:
    return json.dumps(profile.to_dict(), separators=(",", ":")) + "\n"


def loads(text: str) -> Profile:
    try:
        document = json.loads(text)
    except json.JSONDecodeError as error:
        raise ProfileFormatError(f"not a kulvo profile: invalid or truncated JSON ({error})") from None
    return Profile.from_dict(document)


def load(path: str | Path) -> Profile:
    """Reads a profile saved as JSON by `Profile.save` or `kulvo run -o FILE.json`."""
    try:
        with open(path, encoding="utf-8") as stream:
            text = stream.read()
    except UnicodeDecodeError:
        raise ProfileFormatError("not a kulvo profile: not UTF-8 text") from None
    return loads(text)
