"""What every report format declares, and the options a renderer is given."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass

from kulvo.model import Profile


@dataclass(frozen=True)
class RenderOptions:
    color: bool = False  # ANSI colour, for the text report on a terminal
    width_chars: int = 100  # the text report's line width, for its layout
    # Lines longer than the width are cut (…) only on a terminal, which would wrap them: a file,
    # a pipe or a notebook keeps every word of a note or a path.
    cut_to_width: bool = False
    unicode: bool = True  # block characters for bars and sparklines; ASCII where they cannot be shown
    leave_out_waiting: bool = False  # shares of the time the main thread worked, not of all sampled time


Renderer = Callable[[Profile, RenderOptions], str]


@dataclass(frozen=True)
class ReportFormat:
    """A format's name (for --format), the file suffixes that imply it, and its renderer."""

    name: str
    suffixes: tuple[str, ...]  # lower case; the first is the one to suggest
    render: Renderer
