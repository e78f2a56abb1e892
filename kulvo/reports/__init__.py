"""The report formats: one module per format, each declaring its `FORMAT` (name, file suffixes,
renderer). The list of formats, the suffix table and the CLI's messages derive from these."""

from __future__ import annotations

from kulvo import model
from kulvo.model import Profile
from kulvo.reports import collapsed, html, json_report, speedscope, text
from kulvo.reports.report_format import Renderer, RenderOptions, ReportFormat

__all__ = ["FORMATS", "RenderOptions", "ReportFormat", "format_for_path", "render", "renderer", "suffixes_hint"]

_REGISTERED: tuple[ReportFormat, ...] = (
    text.FORMAT,
    json_report.FORMAT,
    html.FORMAT,
    speedscope.FORMAT,
    collapsed.FORMAT,
)
_BY_NAME = {report.name: report for report in _REGISTERED}

FORMATS: tuple[str, ...] = tuple(_BY_NAME)

# Longest suffix first, so that "x.speedscope.json" is not taken for plain JSON.
_SUFFIX_FORMATS: tuple[tuple[str, str], ...] = tuple(
    sorted(((suffix, report.name) for report in _REGISTERED for suffix in report.suffixes), key=lambda p: -len(p[0]))
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
    suffixes = [report.suffixes[0] for report in _REGISTERED]
    return f"{', '.join(suffixes[:-1])} or {suffixes[-1]}"


def renderer(name: str) -> Renderer:
    report = _BY_NAME.get(name)
    if report is None:
        raise ValueError(f"unknown report format {name!r} (choose from {', '.join(FORMATS)})")
    return report.render


def render(profile: Profile, name: str, options: RenderOptions | None = None) -> str:
    return renderer(name)(profile, options or RenderOptions())


class _ProfileReports:
    """`Profile.render` and `Profile.save` draw through this."""

    def render(self, profile: Profile, format: str, *, color: bool, width_chars: int) -> str:
        return render(profile, format, RenderOptions(color=color, width_chars=width_chars))

    def format_for_path(self, path: str) -> str | None:
        return format_for_path(path)


model.use_reports(_ProfileReports())
