"""The report formats: one module per format, each declaring its `FORMAT` (name, file suffixes,
renderer). The table below names each format's module and suffixes, so that a command line is
checked without importing a renderer, which `kulvo run` would pay for before the program starts;
the list of formats, the suffix table and the CLI's messages derive from it."""

from __future__ import annotations

import importlib

# Not `typing`'s: importing it would cost `kulvo run` start-up, and type checkers take any such name.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from kulvo.model import Profile
    from kulvo.reports.report_format import Renderer, RenderOptions, ReportFormat

__all__ = ["FORMATS", "RenderOptions", "ReportFormat", "format_for_path", "render", "renderer", "suffixes_hint"]

# (name, module, suffixes): each as its module's FORMAT declares it (a test holds them equal).
_TABLE: tuple[tuple[str, str, tuple[str, ...]], ...] = (
    ("text", "text", (".txt", ".text")),
    ("json", "json_report", (".json",)),
    ("html", "html", (".html", ".htm")),
    ("speedscope", "speedscope", (".speedscope.json",)),
    ("collapsed", "collapsed", (".collapsed", ".folded")),
)
_MODULES = {name: module for name, module, _ in _TABLE}

FORMATS: tuple[str, ...] = tuple(_MODULES)

# Longest suffix first, so that "x.speedscope.json" is not taken for plain JSON.
_SUFFIX_FORMATS: tuple[tuple[str, str], ...] = tuple(
    sorted(((suffix, name) for name, _, suffixes in _TABLE for suffix in suffixes), key=lambda p: -len(p[0]))
)


def format_for_path(path: str) -> str | None:
    """The format a file name implies, or None when its suffix says nothing."""
    lowered = path.lower()
    for suffix, name in _SUFFIX_FORMATS:
        if lowered.endswith(suffix):
            return name
    return None


def suffixes_hint() -> str:
    """The suffix that names each format, as a sentence: ".txt, .json, ... or .collapsed"."""
    suffixes = [suffixes[0] for _, _, suffixes in _TABLE]
    return f"{', '.join(suffixes[:-1])} or {suffixes[-1]}"


def declared_format(name: str) -> ReportFormat:
    """The FORMAT that the format's module declares, the module imported on first use."""
    module = _MODULES.get(name)
    if module is None:
        raise ValueError(f"unknown report format {name!r} (choose from {', '.join(FORMATS)})")
    declared: ReportFormat = importlib.import_module(f"kulvo.reports.{module}").FORMAT
    return declared


def renderer(name: str) -> Renderer:
    return declared_format(name).render


def render(profile: Profile, name: str, options: RenderOptions | None = None) -> str:
    from kulvo.reports.report_format import RenderOptions

    return renderer(name)(profile, options or RenderOptions())


def __getattr__(name: str) -> Any:
    # The renderers' shared types are imported on first use, with the model they name.
    if name in ("RenderOptions", "ReportFormat", "Renderer"):
        from kulvo.reports import report_format

        return getattr(report_format, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


class _ProfileReports:
    """`Profile.render` and `Profile.save` draw through this."""

    def render(self, profile: Profile, format: str, *, color: bool, width_chars: int) -> str:
        from kulvo.reports.report_format import RenderOptions

        return render(profile, format, RenderOptions(color=color, width_chars=width_chars))

    def format_for_path(self, path: str) -> str | None:
        return format_for_path(path)


def plug_into_model() -> None:
    """`Profile.render` and `Profile.save` draw through these formats from now on."""
    from kulvo import model

    model.use_reports(_ProfileReports())
