"""kulvo: a sampling profiler for Python programs."""

from __future__ import annotations

from kulvo._core import PySampler, __version__

# Not `typing`'s: importing it would cost `kulvo run` start-up, and type checkers take any such name.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from kulvo.api import Profiler, profile
    from kulvo.model import (
        AllocationSite,
        Frame,
        HotPath,
        MemorySnapshot,
        Profile,
        RunMetadata,
        Sample,
        SpikeEvent,
    )
    from kulvo.storage import ProfileFormatError, load

__all__ = [
    "AllocationSite",
    "Frame",
    "HotPath",
    "MemorySnapshot",
    "Profile",
    "ProfileFormatError",
    "Profiler",
    "PySampler",
    "RunMetadata",
    "Sample",
    "SpikeEvent",
    "__version__",
    "load",
    "load_ipython_extension",
    "profile",
]

# Where each name of the API lives. They are imported on first use: `kulvo run` and the
# children it follows import `kulvo` before the program starts, and need none of them then.
_HOMES = {
    "Profiler": "kulvo.api",
    "profile": "kulvo.api",
    "ProfileFormatError": "kulvo.storage",
    "load": "kulvo.storage",
    **dict.fromkeys(
        ("AllocationSite", "Frame", "HotPath", "MemorySnapshot", "Profile", "RunMetadata", "Sample", "SpikeEvent"),
        "kulvo.model",
    ),
}


def __getattr__(name: str) -> Any:
    import importlib
    import importlib.util

    home = _HOMES.get(name)
    if home is not None:
        value = getattr(importlib.import_module(home), name)
    elif not name.startswith("_") and importlib.util.find_spec(f"kulvo.{name}") is not None:
        value = importlib.import_module(f"kulvo.{name}")  # `kulvo.model` and the like, as before
    else:
        raise AttributeError(f"module 'kulvo' has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *__all__})


def load_ipython_extension(shell: Any) -> None:
    """`%load_ext kulvo` in IPython or Jupyter: the `%kulvo` and `%%kulvo` magics."""
    from kulvo import ipython

    ipython.load_ipython_extension(shell)
