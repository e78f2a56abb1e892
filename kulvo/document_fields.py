"""Checks on the values read from a saved profile: each one is what kulvo writes, or the
document is refused as damaged (ProfileFormatError naming the field)."""

from __future__ import annotations

import math
from typing import Any

from kulvo.model import ProfileFormatError
from kulvo.unicode_text import valid_text

# The core's counters, sizes and times are 64-bit; a document claiming more is damaged.
MAX_NUMBER = 2**63 - 1


def damaged(what: str) -> ProfileFormatError:
    return ProfileFormatError(f"damaged kulvo profile ({what})")


def text(value: Any, name: str) -> str:
    if not isinstance(value, str):
        raise damaged(f"{name} is not a string")
    return valid_text(value)


def _range_hint(low: int, high: int) -> str:
    return f"from {low} to {'2**63-1' if high == MAX_NUMBER else high}"


def integer(value: Any, name: str, low: int = 0, high: int = MAX_NUMBER) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise damaged(f"{name} is not an integer {_range_hint(low, high)}")
    return value


def signed(value: Any, name: str) -> int:
    return integer(value, name, low=-MAX_NUMBER)


def flag(value: Any, name: str) -> bool:
    if not isinstance(value, bool):
        raise damaged(f"{name} is not true or false")
    return value


def real(value: Any, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise damaged(f"{name} is not a finite number")
    return float(value)


# The checks of whole arrays look at each value's type and the extremes only, in C loops:
# a full ring is 100,000 values per field.


def _present(values: Any, name: str, optional: bool) -> list[Any]:
    if not isinstance(values, list):
        raise damaged(f"{name} is not a list")
    return [v for v in values if v is not None] if optional else values


def texts(values: Any, name: str) -> tuple[str, ...]:
    """A list of strings; a lone string is not one (it would read letter by letter)."""
    return tuple(text(value, name) for value in _present(values, name, optional=False))


def records(values: Any, name: str) -> list[Any]:
    """A list of objects, such as the spike events."""
    if not isinstance(values, list) or not all(isinstance(value, dict) for value in values):
        raise damaged(f"{name} is not a list of objects")
    return values


def integers(values: Any, name: str, *, optional: bool = False, high: int = MAX_NUMBER) -> list[Any]:
    """`values` if each is an integer from 0 to `high` (or, when `optional`, null)."""
    present = _present(values, name, optional)
    # bool is a type of its own here: true and false are not integers kulvo writes.
    if not set(map(type, present)) <= {int} or (present and not 0 <= min(present) <= max(present) <= high):
        raise damaged(f"{name} is not a list of integers {_range_hint(0, high)}{' or null' if optional else ''}")
    checked: list[Any] = values
    return checked


def reals(values: Any, name: str) -> list[float | None]:
    """`values` as floats if each is a finite number or null."""
    present = _present(values, name, optional=True)
    if not set(map(type, present)) <= {int, float} or not all(map(math.isfinite, present)):
        raise damaged(f"{name} is not a list of finite numbers or null")
    return [None if v is None else float(v) for v in values]


def flags(values: Any, name: str) -> list[bool]:
    if not isinstance(values, list) or not set(map(type, values)) <= {bool}:
        raise damaged(f"{name} is not a list of true or false")
    return values
