"""The report formats: one module per format, each with `render(profile, options) -> str`."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass

from kulvo.model import Profile


@dataclass(frozen=True)
class RenderOptions:
    color: bool = False  # ANSI colour, for the text report on a terminal
    width_chars: int = 100  # the text report's line width
    unicode: bool = True  # block characters for bars and sparklines; ASCII where they cannot be shown


Renderer = Callable[[Profile, RenderOptions], str]

FORMATS: tuple[str, ...] = ("text", "json", "html", "speedscope", "collapsed")

# Longest suffix first, so that "x.speedscope.json" is not taken for plain JSON.
_SUFFIX_FORMATS: tuple[tuple[str, str], ...] = (
    (".speedscope.json", "speedscope"),
    (".json", "json"),
    (".html", "html"),
    (".htm", "html"),
    (".txt", "text"),
    (".text", "text"),
    (".collapsed", "collapsed"),
    (".folded", "collapsed"),
)


def format_for_path(path: str) -> str | None:
    """The format a file name implies, or None when its suffix says nothing."""
    lowered = path.lower()
    for suffix, name in _SUFFIX_FORMATS:
        if lowered.endswith(suffix):
            return name
    return None


def renderer(name: str) -> Renderer:
    # Imported on demand: a run that writes text need not load the html template.
    if name == "text":
        from kulvo.reports import text as module
    elif name == "json":
        from kulvo.reports import json_report as module
    elif name == "html":
        from kulvo.reports import html as module
    elif name == "speedscope":
        from kulvo.reports import speedscope as module
    elif name == "collapsed":
        from kulvo.reports import collapsed as module
    else:
        raise ValueError(f"unknown report format {name!r} (choose from {', '.join(FORMATS)})")
    return module.render


def render(profile: Profile, name: str, options: RenderOptions | None = None) -> str:
    return renderer(name)(profile, options or RenderOptions())
