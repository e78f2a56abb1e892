"""The report formats: one module per format, each with `render(profile, options) -> str`."""

from __future__ import annotations

import importlib
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


# Imported on demand: a run that writes text need not load the html template.
_RENDERER_MODULES = {name: f"kulvo.reports.{name}" for name in FORMATS}
_RENDERER_MODULES["json"] = "kulvo.reports.json_report"


def renderer(name: str) -> Renderer:
    module_name = _RENDERER_MODULES.get(name)
    if module_name is None:
        raise ValueError(f"unknown report format {name!r} (choose from {', '.join(FORMATS)})")
    render_function: Renderer = importlib.import_module(module_name).render
    return render_function


def render(profile: Profile, name: str, options: RenderOptions | None = None) -> str:
    return renderer(name)(profile, options or RenderOptions())
