"""kulvo: a sampling profiler for Python programs."""

from typing import Any

from kulvo._core import PySampler, __version__
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


def load_ipython_extension(shell: Any) -> None:
    """`%load_ext kulvo` in IPython or Jupyter: the `%kulvo` and `%%kulvo` magics."""
    from kulvo import ipython

    ipython.load_ipython_extension(shell)
