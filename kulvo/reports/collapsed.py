"""The collapsed-stack format read by the usual flame graph tools.

One line per distinct stack: frames outermost first, joined by ';', then a space and the
sampled time of that stack in microseconds. Frames read as in the text report: the qualified
name, then the short path and line.
"""

from __future__ import annotations

from kulvo.model import Frame, Profile
from kulvo.reports.names import display_name
from kulvo.reports.report_format import RenderOptions, ReportFormat
from kulvo.reports.stacks import stack_times
from kulvo.reports.units import location, printable


def frame_label(frame: Frame) -> str:
    # ';' separates frames and a line break ends the record, so neither may appear inside one;
    # other control characters are escaped.
    label = f"{display_name(frame)} ({location(frame.file, frame.line)})"
    return printable(label.replace("\n", " ").replace("\r", " ")).replace(";", ",")


def render(profile: Profile, options: RenderOptions) -> str:
    lines = sorted(
        ";".join(frame_label(f) for f in stack) + f" {time_us}" for stack, time_us in stack_times(profile).items()
    )
    return "".join(line + "\n" for line in lines)


FORMAT = ReportFormat(name="collapsed", suffixes=(".collapsed", ".folded"), render=render)
