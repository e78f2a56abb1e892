"""kulvo: a sampling profiler for Python programs."""

from kulvo._core import PySampler, __version__

__all__ = ["PySampler", "__version__"]
