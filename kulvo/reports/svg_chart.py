"""Time-series charts as inline SVG, drawn once in Python so they show without script."""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from html import escape

# Drawn at about the size shown when the two charts sit side by side, so text keeps its size.
WIDTH_PX = 660
HEIGHT_PX = 240
MARGIN_LEFT_PX = 70
MARGIN_RIGHT_PX = 16
MARGIN_TOP_PX = 12
MARGIN_BOTTOM_PX = 30
MAX_POINTS = 1500  # more points than pixels only make the file bigger


@dataclass(frozen=True)
class Band:
    """A shaded span of time, such as a spike."""

    start_ms: float
    end_ms: float
    title: str
    css_class: str


@dataclass(frozen=True)
class Marker:
    """A vertical line at one instant, such as a memory snapshot."""

    time_ms: float
    label: str
    title: str


def nice_step(span: float, target_ticks: int = 5) -> float:
    """A round tick step (1, 2 or 5 times a power of ten) giving about `target_ticks` ticks."""
    if span <= 0:
        return 1.0
    raw = span / target_ticks
    power = math.pow(10.0, math.floor(math.log10(raw)))
    for factor in (1, 2, 5, 10):
        if raw <= factor * power:
            return factor * power
    return 10 * power


def downsample(points: Sequence[tuple[float, float]], limit: int = MAX_POINTS) -> list[tuple[float, float]]:
    """At most `limit` points, keeping each bucket's highest value so peaks stay visible."""
    if len(points) <= limit:
        return list(points)
    size = len(points) / limit
    result = []
    for bucket in range(limit):
        chunk = points[int(bucket * size) : max(int(bucket * size) + 1, int((bucket + 1) * size))]
        result.append((chunk[0][0], max(v for _, v in chunk)))
    return result


def time_label(value_ms: float) -> str:
    if value_ms == 0:
        return "0"
    if value_ms >= 1000:
        return f"{value_ms / 1000:g} s"
    return f"{value_ms:g} ms"


def line_chart(
    *,
    css_id: str,
    title: str,
    points: Sequence[tuple[float, float]],
    end_ms: float,
    y_max: float,
    y_label: Callable[[float], str],
    bands: Sequence[Band] = (),
    markers: Sequence[Marker] = (),
    headroom: bool = True,
) -> str:
    """An SVG line chart of (time_ms, value) points over [0, end_ms] x [0, y_max], or a little
    above y_max with `headroom`."""
    plot_w = WIDTH_PX - MARGIN_LEFT_PX - MARGIN_RIGHT_PX
    plot_h = HEIGHT_PX - MARGIN_TOP_PX - MARGIN_BOTTOM_PX
    end_ms = max(end_ms, 1.0)
    y_step = nice_step(y_max, 4)
    # A little headroom, so that a line at its peak does not run along the top edge.
    y_top = max(y_step, math.ceil(y_max * 1.04 / y_step) * y_step) if headroom else y_max

    def x(time_ms: float) -> float:
        return MARGIN_LEFT_PX + min(max(time_ms, 0.0), end_ms) / end_ms * plot_w

    def y(value: float) -> float:
        return MARGIN_TOP_PX + plot_h - min(max(value, 0.0), y_top) / y_top * plot_h

    parts = [
        f'<svg id="{css_id}" class="chart" viewBox="0 0 {WIDTH_PX} {HEIGHT_PX}" role="img" '
        f'aria-label="{escape(title)}">'
    ]
    for band in bands:
        left, right = x(band.start_ms), x(band.end_ms)
        parts.append(
            f'<rect class="band {band.css_class}" x="{left:.1f}" y="{MARGIN_TOP_PX}" '
            f'width="{max(right - left, 2.0):.1f}" height="{plot_h}"><title>{escape(band.title)}</title></rect>'
        )
    for index in range(round(y_top / y_step) + 1):
        tick = index * y_step
        parts.append(
            f'<line class="grid" x1="{MARGIN_LEFT_PX}" x2="{WIDTH_PX - MARGIN_RIGHT_PX}" '
            f'y1="{y(tick):.1f}" y2="{y(tick):.1f}"/>'
            f'<text class="tick" x="{MARGIN_LEFT_PX - 6}" y="{y(tick) + 4:.1f}" text-anchor="end">'
            f"{escape(y_label(tick))}</text>"
        )
    x_step = nice_step(end_ms, 6)
    for index in range(math.floor(end_ms / x_step + 1e-9) + 1):
        tick = index * x_step
        parts.append(
            f'<text class="tick" x="{x(tick):.1f}" y="{HEIGHT_PX - 10}" text-anchor="middle">'
            f"{escape(time_label(tick))}</text>"
        )
    shown = downsample(points)
    if shown:
        line = " ".join(f"{x(t):.1f},{y(v):.1f}" for t, v in shown)
        baseline = y(0.0)
        area = f"{x(shown[0][0]):.1f},{baseline:.1f} {line} {x(shown[-1][0]):.1f},{baseline:.1f}"
        parts.append(f'<polygon class="area" points="{area}"/>')
        parts.append(f'<polyline class="line" points="{line}"/>')
    for marker in markers:
        mx = x(marker.time_ms)
        parts.append(
            f'<g class="marker"><title>{escape(marker.title)}</title>'
            f'<line x1="{mx:.1f}" x2="{mx:.1f}" y1="{MARGIN_TOP_PX}" y2="{MARGIN_TOP_PX + plot_h}"/>'
            f'<text x="{mx + 3:.1f}" y="{MARGIN_TOP_PX + 11}">{escape(marker.label)}</text></g>'
        )
    parts.append(f'<rect class="frame" x="{MARGIN_LEFT_PX}" y="{MARGIN_TOP_PX}" width="{plot_w}" height="{plot_h}"/>')
    parts.append("</svg>")
    return "".join(parts)
