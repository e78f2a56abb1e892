"""The html report: one self-contained page that makes no network request.

Charts are inline SVG drawn here; the flame graph is drawn by a small inline script from the
call tree embedded as JSON. Every name that comes from the profiled program is escaped.
"""

from __future__ import annotations

import json
from html import escape
from importlib import resources
from typing import Any

from kulvo.model import FrameTable, MemorySnapshot, Profile, SpikeEvent, Stack
from kulvo.reports.report_format import RenderOptions, ReportFormat
from kulvo.reports.stacks import FlameNode, flame_tree
from kulvo.reports.svg_chart import Band, Marker, line_chart
from kulvo.reports.units import (
    format_bytes,
    format_duration_ms,
    format_percent,
    format_signed_bytes,
    format_spike_value,
    location,
    short_path,
)

SPIKE_FRAMES_SHOWN = 4
# The page may run its own inline script and style and nothing else: no request leaves it.
CONTENT_SECURITY_POLICY = "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; img-src data:"
_MIB = 1024 * 1024


def _asset(name: str) -> str:
    return resources.files("kulvo.reports").joinpath("assets").joinpath(name).read_text(encoding="utf-8")


def script_json(value: Any) -> str:
    """JSON that is safe inside a <script> element: no '<', '>' or '&' can end or bend it."""
    text = json.dumps(value, separators=(",", ":"))
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


def flame_data(root: FlameNode) -> dict[str, Any]:
    """The call tree flattened (parents first, siblings largest first): no nesting to overflow."""
    table = FrameTable()
    nodes: list[list[int]] = []
    pending: list[tuple[FlameNode, int]] = [(root, -1)]
    while pending:
        node, parent = pending.pop()
        index = -1 if node.frame is None else table.index(node.frame)
        position = len(nodes)
        nodes.append([index, parent, node.time_us])
        children = sorted(node.children.values(), key=lambda c: (-c.time_us, c.frame.label if c.frame else ""))
        pending.extend((child, position) for child in reversed(children))
    frames = [[f.function, short_path(f.file), f.line] for f in table.frames]
    return {"frames": frames, "nodes": nodes}


def _frames_list(stack: Stack | None) -> str:
    if not stack:
        return '<span class="empty">no stack in the profiled code</span>'
    innermost = list(reversed(stack))[:SPIKE_FRAMES_SHOWN]
    items = "".join(
        f'<li><code>{escape(f.function)}</code> <span class="meta mono">{escape(location(f.file, f.line))}</span></li>'
        for f in innermost
    )
    return f'<ul class="frames">{items}</ul>'


class _Page:
    def __init__(self, profile: Profile) -> None:
        self.profile = profile
        self.end_ms = max([profile.wall_time_ms] + [s.timestamp_ms for s in profile.samples])
        self.snapshot_numbers = {id(m): n for n, m in enumerate(profile.memory_snapshots, start=1)}

    def header(self) -> str:
        meta = self.profile.metadata
        target = " ".join(meta.argv) or "python"
        return (
            f'<header><h1>kulvo profile <span class="target">{escape(target)}</span></h1>'
            f'<p class="meta">kulvo {escape(meta.kulvo_version)} · Python {escape(meta.python_version)}'
            f" · started {escape(meta.start_time)} · every {meta.interval_ms} ms"
            f"{' · memory snapshots on' if meta.memory else ''}</p>"
            + "".join(f'<p class="meta">note: {escape(note)}</p>' for note in meta.notes)
            + "</header>"
        )

    def cards(self) -> str:
        p = self.profile
        cards = [
            ("wall time", format_duration_ms(p.wall_time_ms)),
            ("samples", str(p.sample_count)),
            ("interval", f"{p.metadata.interval_ms} ms"),
            ("mean CPU", format_percent(p.mean_cpu_percent)),
            ("peak CPU", format_percent(p.peak_cpu_percent)),
            ("peak RSS", format_bytes(p.peak_rss_bytes)),
            ("spikes", f"{p.spike_count('cpu')} CPU · {p.spike_count('memory')} memory"),
        ]
        body = "".join(
            f'<div class="card"><div class="label">{escape(label)}</div><div class="value">{escape(value)}</div></div>'
            for label, value in cards
        )
        return f'<section class="cards">{body}</section>'

    def _bands(self, kind: str) -> list[Band]:
        return [
            Band(
                e.start_ms,
                e.end_ms,
                f"{kind} spike {e.start_ms}–{e.end_ms} ms, peak {format_spike_value(e.kind, e.peak_value)}",
                e.kind,
            )
            for e in self.profile.spike_events
            if e.kind == kind
        ]

    def charts(self) -> str:
        p = self.profile
        cpu_points = [(float(s.timestamp_ms), s.cpu_percent) for s in p.samples if s.cpu_percent is not None]
        rss_points = [(float(s.timestamp_ms), s.rss_bytes / _MIB) for s in p.samples if s.rss_bytes is not None]
        cpu_chart = line_chart(
            css_id="cpu-chart",
            title="CPU percent over time",
            points=cpu_points,
            end_ms=self.end_ms,
            y_max=max([100.0] + [v for _, v in cpu_points]),
            y_label=lambda v: f"{v:g} %",
            bands=self._bands("cpu"),
        )
        markers = [
            Marker(m.time_ms, f"S{n}", f"memory snapshot {n} at {m.time_ms} ms")
            for n, m in enumerate(p.memory_snapshots, start=1)
        ]
        rss_chart = line_chart(
            css_id="rss-chart",
            title="Peak resident memory over time",
            points=rss_points,
            end_ms=self.end_ms,
            y_max=max([1.0] + [v for _, v in rss_points]),
            y_label=lambda v: f"{v:g} MiB",
            bands=self._bands("memory"),
            markers=markers,
        )
        hidden = p.hidden_rss_bytes
        hidden_note = (
            f" Peak RSS was already {escape(format_bytes(hidden))} before the run began (the process's"
            " earlier peak, or on Linux its parent's, carried over exec): growth below that does not show."
            if hidden is not None
            else ""
        )
        return (
            '<div class="charts"><section><h2>CPU</h2>'
            '<p class="hint">Percent of one core, per sample; shaded spans are CPU spikes.</p>'
            f"{cpu_chart}</section>"
            "<section><h2>Memory</h2>"
            '<p class="hint">Peak resident set size; shaded spans are memory spikes, dashed lines '
            f"memory snapshots.{hidden_note}</p>"
            f"{rss_chart}</section></div>"
        )

    def spikes(self) -> str:
        events = self.profile.spike_events
        if not events:
            return '<section><h2>Spikes</h2><p class="empty">No spikes found.</p></section>'
        rows = "".join(self._spike_row(e) for e in events)
        return (
            '<section><h2>Spikes</h2><table><thead><tr><th>kind</th><th class="num">when</th>'
            '<th class="num">peak</th><th class="num">threshold</th><th>peak stack, innermost first</th>'
            f"<th>snapshot</th></tr></thead><tbody>{rows}</tbody></table></section>"
        )

    def _spike_row(self, event: SpikeEvent) -> str:
        snapshot_cell = ""
        if event.kind == "cpu":
            busy = self.profile.snapshots_overlapping(event)
            if busy:
                names = ", ".join(f"S{self.snapshot_numbers[id(m)]}" for m in busy)
                busy_ms = sum(m.duration_ms for m in busy)
                snapshot_cell = f'<span class="empty">kulvo took {names} here ({busy_ms} ms)</span>'
        if event.kind == "memory":
            snapshot = self.profile.nearest_snapshot(event)
            if snapshot is not None:
                number = self.snapshot_numbers[id(snapshot)]
                snapshot_cell = f'<a href="#snapshot-{number}">S{number}</a> at {snapshot.time_ms} ms'
                if snapshot.top_sites:
                    top = snapshot.top_sites[0]
                    snapshot_cell += (
                        f'<br><span class="mono">{escape(format_signed_bytes(top.size_diff_bytes))} '
                        f"{escape(location(top.file, top.line))}</span>"
                    )
                later = [
                    m
                    for m in self.profile.memory_snapshots
                    if m is not snapshot and event.start_ms <= m.time_ms <= event.end_ms
                ]
                if later:
                    links = ", ".join(
                        f'<a href="#snapshot-{self.snapshot_numbers[id(m)]}">S{self.snapshot_numbers[id(m)]}</a>'
                        for m in later
                    )
                    snapshot_cell += f'<br><span class="empty">also during the spike: {links}</span>'
            elif not self.profile.metadata.memory:
                snapshot_cell = '<span class="empty">profile with --memory</span>'
        return (
            f'<tr><td><span class="kind {event.kind}">{event.kind}</span></td>'
            f'<td class="num">{event.start_ms}–{event.end_ms} ms</td>'
            f'<td class="num">{escape(format_spike_value(event.kind, event.peak_value))}</td>'
            f'<td class="num">{escape(format_spike_value(event.kind, event.threshold))}</td>'
            f"<td>{_frames_list(event.peak_stack)}</td><td>{snapshot_cell}</td></tr>"
        )

    def hot_paths(self) -> str:
        hot_paths = self.profile.hot_paths
        if not hot_paths:
            return '<section><h2>Hot paths</h2><p class="empty">No stacks were sampled.</p></section>'
        rows = "".join(
            f'<tr><td class="num">{rank}</td>'
            f'<td class="share"><div class="bar" title="{h.percent:.1f}% of the sampled time">'
            f'<div style="width:{min(100.0, h.percent):.2f}%"></div></div></td>'
            f'<td class="num">{h.percent:.1f}%</td><td class="num">{h.count}</td>'
            f"<td><code>{escape(h.function)}</code></td>"
            f'<td class="where">{escape(location(h.file, h.line))}</td></tr>'
            for rank, h in enumerate(hot_paths, start=1)
        )
        return (
            "<section><h2>Hot paths</h2>"
            '<p class="hint">Source lines by the share of sampled stacks they appear on.</p>'
            '<table class="hot-paths"><thead><tr><th class="num">#</th><th>share</th><th class="num">%</th>'
            '<th class="num">samples</th><th>function</th><th>where</th></tr></thead>'
            f"<tbody>{rows}</tbody></table></section>"
        )

    def flame_graph(self) -> str:
        return (
            "<section><h2>Flame graph</h2>"
            '<div class="flame-toolbar"><button id="flame-reset" type="button">Reset zoom</button>'
            '<span id="flame-details"></span></div>'
            '<div id="flame" data-drawn="0"></div></section>'
        )

    def snapshots(self) -> str:
        snapshots = self.profile.memory_snapshots
        if not snapshots:
            note = (
                "No memory jump of 10 MiB or more was seen."
                if self.profile.metadata.memory
                else "Memory snapshots were not taken: profile with --memory (or memory=True) to see them."
            )
            return f'<section><h2>Memory snapshots</h2><p class="empty">{note}</p></section>'
        body = "".join(self._snapshot(n, m) for n, m in enumerate(snapshots, start=1))
        return (
            "<section><h2>Memory snapshots</h2>"
            '<p class="hint">tracemalloc snapshots taken when resident memory jumped, with the source '
            "lines whose allocations grew most since the previous snapshot.</p>"
            f"{body}</section>"
        )

    def _snapshot(self, number: int, snapshot: MemorySnapshot) -> str:
        heading = (
            f'<h3 id="snapshot-{number}">S{number} at {snapshot.time_ms} ms · '
            f"{escape(format_bytes(snapshot.traced_bytes))} traced</h3>"
        )
        if not snapshot.top_sites:
            return f'<div class="snapshot">{heading}<p class="empty">No traced allocation grew.</p></div>'
        rows = "".join(
            f'<tr><td class="num">{escape(format_signed_bytes(a.size_diff_bytes))}</td>'
            f'<td class="num">{a.count_diff:+d}</td><td class="num">{escape(format_bytes(a.size_bytes))}</td>'
            f'<td class="num">{a.count}</td><td class="where">{escape(location(a.file, a.line))}</td></tr>'
            for a in snapshot.top_sites
        )
        return (
            f'<div class="snapshot">{heading}<table class="sites"><thead><tr><th class="num">grew by</th>'
            '<th class="num">blocks</th><th class="num">size now</th><th class="num">blocks now</th>'
            f"<th>where</th></tr></thead><tbody>{rows}</tbody></table></div>"
        )


def render(profile: Profile, options: RenderOptions) -> str:
    page = _Page(profile)
    flame_json = script_json(flame_data(flame_tree(profile)))
    title = " ".join(profile.metadata.argv[:1]) or "python"
    return "".join(
        [
            '<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">',
            f'<meta http-equiv="Content-Security-Policy" content="{CONTENT_SECURITY_POLICY}">',
            '<meta name="viewport" content="width=device-width, initial-scale=1">',
            f"<title>kulvo profile: {escape(title)}</title>",
            f"<style>{_asset('report.css')}</style>",
            f"<script>{_asset('errors.js')}</script>",
            "</head><body>",
            '<pre id="kulvo-errors" data-count="0" hidden></pre>',
            page.header(),
            page.cards(),
            page.charts(),
            page.spikes(),
            page.flame_graph(),
            page.hot_paths(),
            page.snapshots(),
            f'<script type="application/json" id="kulvo-flame-data">{flame_json}</script>',
            f"<script>{_asset('flame.js')}</script>",
            "</body></html>\n",
        ]
    )


FORMAT = ReportFormat(name="html", suffixes=(".html", ".htm"), render=render)
