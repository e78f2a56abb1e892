"""The html report: one self-contained page that makes no network request.

Charts are inline SVG drawn here; the flame graph is drawn by a small inline script from the
call tree embedded as JSON. Every name that comes from the profiled program is escaped.
"""

from __future__ import annotations

import json
from collections.abc import Sequence
from html import escape
from typing import Any

from kulvo.model import Frame, FrameTable, MemorySnapshot, Profile, Stack
from kulvo.reports.functions import ThreadTime, TimeShares, time_shares
from kulvo.reports.names import display_name
from kulvo.reports.report_format import RenderOptions, ReportFormat
from kulvo.reports.spikes import Spike, spikes
from kulvo.reports.stacks import FlameNode, flame_tree
from kulvo.reports.svg_chart import Band, Marker, line_chart
from kulvo.reports.units import (
    cpu_scale_top,
    format_bytes,
    format_duration_ms,
    format_percent,
    format_signed_bytes,
    format_spike_value,
    location,
    program_command,
    short_path,
)

SPIKE_FRAMES_SHOWN = 4
FUNCTIONS_SHOWN = 15
FUNCTIONS_LISTED = 100
LINES_SHOWN = 10
LINES_LISTED = 50
# The page may run its own inline script and style and nothing else: no request leaves it.
CONTENT_SECURITY_POLICY = "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; img-src data:"
_MIB = 1024 * 1024


def _asset(name: str) -> str:
    from importlib import resources  # here: importing it costs more than a report's start

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
    frames = [[display_name(f), short_path(f.file), f.line, f.file] for f in table.frames]
    return {"frames": frames, "nodes": nodes}


def where(frame: Frame) -> str:
    """The short location, with the full path on hover."""
    return f'<span class="where" title="{escape(frame.file)}">{escape(location(frame.file, frame.line))}</span>'


def _frames_list(stack: Stack | None) -> str:
    if not stack:
        return '<span class="empty">no stack in the profiled code</span>'
    innermost = list(reversed(stack))[:SPIKE_FRAMES_SHOWN]
    items = "".join(f"<li><code>{escape(display_name(f))}</code> {where(f)}</li>" for f in innermost)
    return f'<ul class="frames">{items}</ul>'


def _spike_functions(during: TimeShares) -> str:
    """What ran during a CPU spike: its functions by self time, as shares of the spike."""
    functions = [f for f in during.functions[:SPIKE_FRAMES_SHOWN] if f.self_us]
    if not functions:
        return '<span class="empty">no stack of the profiled code sampled in this span</span>'
    items = "".join(
        f'<li><span class="num">{during.percent(f.self_us):.1f}%</span> '
        f"<code>{escape(display_name(f.frame))}</code> {where(f.frame)}</li>"
        for f in functions
    )
    return f'<ul class="frames">{items}</ul>'


class _Page:
    def __init__(self, profile: Profile, options: RenderOptions) -> None:
        self.profile = profile
        self.shares = time_shares(profile, leave_out_waiting=options.leave_out_waiting)
        self.spikes_found = spikes(profile)
        self.end_ms = profile.end_ms
        self.snapshot_numbers = {id(m): n for n, m in enumerate(profile.memory_snapshots, start=1)}

    def header(self) -> str:
        meta = self.profile.metadata
        target = program_command(meta.argv, whole_path=True)
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
            ("spikes", f"{self.spikes_found.count('cpu')} CPU · {self.spikes_found.count('memory')} memory"),
            ("sampled", format_duration_ms(self.shares.run_us / 1000)),
            ("main thread waiting", format_percent(self.shares.waiting_percent)),
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
            for e in (spike.event for spike in self.spikes_found.shown)
            if e.kind == kind
        ]

    def charts(self) -> str:
        p = self.profile
        cpu_points = [(float(time_ms), cpu) for time_ms, cpu in p.cpu_timeline]
        rss_points = [(float(time_ms), rss / _MIB) for time_ms, rss in p.rss_timeline]
        cpu_chart = line_chart(
            css_id="cpu-chart",
            title="CPU percent over time",
            points=cpu_points,
            end_ms=self.end_ms,
            y_max=cpu_scale_top([v for _, v in cpu_points]),
            headroom=False,
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
            '<p class="hint">Percent of one core, per sample, scaled to the readings; shaded spans are CPU'
            " spikes.</p>"
            f"{cpu_chart}</section>"
            "<section><h2>Memory</h2>"
            '<p class="hint">Peak resident set size; shaded spans are memory spikes, dashed lines '
            f"memory snapshots.{hidden_note}</p>"
            f"{rss_chart}</section></div>"
        )

    def spikes(self) -> str:
        found = self.spikes_found
        noise = (
            f'<p class="hint">{found.left_out} CPU spike(s) of a few ms or of one noisy reading left out.</p>'
            if found.left_out
            else ""
        )
        if not found.shown:
            return f'<section><h2>Spikes</h2><p class="empty">No spikes found.</p>{noise}</section>'
        rows = "".join(self._spike_row(spike) for spike in found.shown)
        return (
            '<section><h2>Spikes</h2><table><thead><tr><th>kind</th><th class="num">when</th>'
            '<th class="num">peak</th><th class="num">threshold</th>'
            "<th>what ran: CPU by self time in the span, memory at its peak</th>"
            f"<th>snapshot</th></tr></thead><tbody>{rows}</tbody></table>{noise}</section>"
        )

    def _spike_row(self, spike: Spike) -> str:
        event = spike.event
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
                    amount = (
                        f"{format_bytes(top.size_bytes)} held at the peak by"
                        if snapshot.at_peak
                        else format_signed_bytes(top.size_diff_bytes)
                    )
                    snapshot_cell += (
                        f'<br><span class="mono">{escape(amount)} {escape(location(top.file, top.line))}</span>'
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
        what_ran = _frames_list(event.peak_stack) if spike.during is None else _spike_functions(spike.during)
        return (
            f'<tr><td><span class="kind {event.kind}">{event.kind}</span></td>'
            f'<td class="num">{event.start_ms}–{event.end_ms} ms</td>'
            f'<td class="num">{escape(format_spike_value(event.kind, event.peak_value))}</td>'
            f'<td class="num">{escape(format_spike_value(event.kind, event.threshold))}</td>'
            f"<td>{what_ran}</td><td>{snapshot_cell}</td></tr>"
        )

    def _shares_hint(self) -> str:
        shares = self.shares
        sampled = format_duration_ms(shares.sampled_us / 1000)
        if shares.waiting_left_out:
            who = "the threads" if shares.threads else "the main thread"
            return (
                f"Shares of the {sampled} {who} worked; the {shares.waiting_percent:.1f} % the main thread waited"
                " is left out."
            )
        if shares.waiting_while_others_worked_us:
            theirs = format_duration_ms(shares.waiting_while_others_worked_us / 1000)
            return (
                f"Shares of {sampled} sampled, the main thread's waiting ({shares.waiting_percent:.1f} %) included"
                f" but for the {theirs} while {shares.others} worked."
            )
        return f"Shares of {sampled} sampled, the main thread's waiting ({shares.waiting_percent:.1f} %) included."

    def _time_rows(self, rows: Sequence[tuple[int, int, Frame]], full_bar_us: int) -> str:
        shares = self.shares
        return "".join(
            f'<tr><td class="share"><div class="bar" title="{shares.percent(self_us):.1f}% self">'
            f'<div style="width:{100 * self_us / full_bar_us if full_bar_us else 0:.2f}%"></div></div></td>'
            f'<td class="num">{shares.percent(self_us):.1f}%</td>'
            f'<td class="num">{escape(format_duration_ms(self_us / 1000))}</td>'
            f'<td class="num">{shares.percent(total_us):.1f}%</td>'
            f"<td><code>{escape(display_name(frame))}</code></td><td>{where(frame)}</td></tr>"
            for self_us, total_us, frame in rows
        )

    def _time_table(self, css_class: str, rows: Sequence[tuple[int, int, Frame]], shown: int) -> str:
        """The first `shown` rows, the rest folded away; the bars are scaled to the first row."""
        full_bar_us = max((self_us for self_us, _, _ in rows), default=0)
        head = (
            f'<table class="{css_class}"><thead><tr><th>self</th><th class="num">self %</th>'
            '<th class="num">self time</th><th class="num">total %</th><th>function</th><th>where</th></tr></thead>'
        )
        table = f"{head}<tbody>{self._time_rows(rows[:shown], full_bar_us)}</tbody></table>"
        if len(rows) > shown:
            table += (
                f"<details><summary>{len(rows) - shown} more</summary>{head}"
                f"<tbody>{self._time_rows(rows[shown:], full_bar_us)}</tbody></table></details>"
            )
        return table

    def processes(self) -> str:
        """Each process's share of the sampled time, in a profile of several processes."""
        return self._roots("Processes", "process", "id", self.shares.processes)

    def threads(self) -> str:
        """Each thread's share of the sampled time, in a profile of several threads."""
        return self._roots("Threads", "thread", "kernel id", self.shares.threads)

    def _roots(self, heading: str, kind: str, id_heading: str, roots: Sequence[ThreadTime]) -> str:
        shares = self.shares
        if not roots:
            return ""
        rows = "".join(
            f'<tr><td class="num">{shares.percent(root.time_us):.1f}%</td>'
            f'<td class="num">{escape(format_duration_ms(root.time_us / 1000))}</td>'
            f'<td class="num">{root.waiting_percent:.1f}%</td>'
            f"<td><code>{escape(root.name)}</code></td>"
            f"<td>{escape(location(root.root.file, root.root.line))}</td></tr>"
            for root in roots
        )
        return (
            f'<section><h2>{heading}</h2><p class="hint">Shares of the sampled time by {kind}; the main thread\'s'
            " waiting as in the functions below, the others' only while they worked. Waiting: of its own time.</p>"
            f'<table class="threads"><thead><tr><th class="num">share</th><th class="num">time</th>'
            f'<th class="num">waiting</th><th>{kind}</th><th>{id_heading}</th></tr></thead><tbody>{rows}</tbody>'
            "</table></section>"
        )

    def functions(self) -> str:
        shares = self.shares
        if not shares.functions:
            return '<section><h2>Functions by self time</h2><p class="empty">No stacks were sampled.</p></section>'
        rows = [(f.self_us, f.total_us, f.frame) for f in shares.functions[:FUNCTIONS_LISTED]]
        return (
            "<section><h2>Functions by self time</h2>"
            f'<p class="hint">Self: the function was running (bars against the first row); total: it was on the'
            " stack, counted once however"
            f" deep it recursed. {escape(self._shares_hint())}</p>"
            f"{self._time_table('functions', rows, FUNCTIONS_SHOWN)}</section>"
        )

    def hot_lines(self) -> str:
        lines = self.shares.lines[:LINES_LISTED]
        if not lines:
            return ""
        rows = [(line.self_us, line.total_us, line.frame) for line in lines]
        return (
            '<section><h2>Hot lines</h2><p class="hint">The source lines that were running, by self time.</p>'
            f"{self._time_table('lines', rows, LINES_SHOWN)}</section>"
        )

    def flame_graph(self) -> str:
        return (
            "<section><h2>Flame graph</h2>"
            '<div class="flame-toolbar"><button id="flame-reset" type="button">Reset zoom</button>'
            '<input id="flame-search" type="search" placeholder="Search functions and files" aria-label="Search">'
            '<span id="flame-found"></span>'
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
            '<p class="hint">Snapshots of the live allocations of Python code, taken when resident memory jumped, with '
            "the source lines whose allocations grew most since the previous snapshot, and the lines that "
            "held the most when the program held most (at the peak).</p>"
            f"{body}</section>"
        )

    def _snapshot(self, number: int, snapshot: MemorySnapshot) -> str:
        what = "held at the peak" if snapshot.at_peak else "traced"
        heading = (
            f'<h3 id="snapshot-{number}">S{number} at {snapshot.time_ms} ms · '
            f"{escape(format_bytes(snapshot.traced_bytes))} {what}</h3>"
        )
        if not snapshot.top_sites:
            return f'<div class="snapshot">{heading}<p class="empty">No traced allocation grew.</p></div>'
        if snapshot.at_peak:
            held = "".join(
                f'<tr><td class="num">{escape(format_bytes(a.size_bytes))}</td>'
                f'<td class="num">{100 * a.size_bytes / max(1, snapshot.traced_bytes):.1f} %</td>'
                f'<td class="num">{a.count}</td><td>{where(Frame(a.file, "", a.line))}</td></tr>'
                for a in snapshot.top_sites
            )
            return (
                f'<div class="snapshot">{heading}<table class="sites"><thead><tr><th class="num">held</th>'
                '<th class="num">share</th><th class="num">blocks</th>'
                f"<th>where</th></tr></thead><tbody>{held}</tbody></table></div>"
            )
        rows = "".join(
            f'<tr><td class="num">{escape(format_signed_bytes(a.size_diff_bytes))}</td>'
            f'<td class="num">{a.count_diff:+d}</td><td class="num">{escape(format_bytes(a.size_bytes))}</td>'
            f'<td class="num">{a.count}</td><td>{where(Frame(a.file, "", a.line))}</td></tr>'
            for a in snapshot.top_sites
        )
        return (
            f'<div class="snapshot">{heading}<table class="sites"><thead><tr><th class="num">grew by</th>'
            '<th class="num">blocks</th><th class="num">size now</th><th class="num">blocks now</th>'
            f"<th>where</th></tr></thead><tbody>{rows}</tbody></table></div>"
        )


def render(profile: Profile, options: RenderOptions) -> str:
    page = _Page(profile, options)
    flame_json = script_json(flame_data(flame_tree(profile)))
    title = program_command(profile.metadata.argv[:1])
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
            page.processes(),
            page.threads(),
            page.functions(),
            page.charts(),
            page.flame_graph(),
            page.hot_lines(),
            page.spikes(),
            page.snapshots(),
            f'<script type="application/json" id="kulvo-flame-data">{flame_json}</script>',
            f"<script>{_asset('flame.js')}</script>",
            "</body></html>\n",
        ]
    )


FORMAT = ReportFormat(name="html", suffixes=(".html", ".htm"), render=render)
