"""The text report: summary, hot paths, spikes and sparkline timelines, fitted to a width."""

from __future__ import annotations

from collections.abc import Callable, Sequence

from kulvo.model import AllocationSite, Frame, MemorySnapshot, Profile
from kulvo.reports.functions import ThreadTime, TimeShares, time_shares
from kulvo.reports.names import display_name
from kulvo.reports.report_format import RenderOptions, ReportFormat
from kulvo.reports.spikes import Spike, spikes
from kulvo.reports.units import (
    cpu_scale_top,
    format_bytes,
    format_duration_ms,
    format_percent,
    format_signed_bytes,
    format_spike_value,
    location,
    printable,
    program_command,
    truncate_left,
    truncate_right,
)
from kulvo.samples import NO_PATH

MIN_WIDTH_CHARS = 40
CPU_SPIKES_SHOWN = 5
SPARK_LEVELS = "▁▂▃▄▅▆▇█"
ASCII_SPARK_LEVELS = "_.-:=+*#"
BAR_PARTS = " ▏▎▍▌▋▊▉█"  # eighths of a cell, then a full one
ASCII_BAR_PARTS = "        #"
_ASCII_PUNCTUATION = {ord("–"): "-", ord("…"): "~"}
SPIKE_FRAMES_SHOWN = 3
FUNCTIONS_SHOWN = 15
LINES_SHOWN = 10
ROOTS_SHOWN = 10  # threads or processes
SNAPSHOT_SITES_SHOWN = 3
PEAK_SITES_SHOWN = 5

_STYLES = {
    "heading": "1",
    "bar": "36",
    "cpu": "33",
    "memory": "35",
    "spike": "31",
    "dim": "2",
}


class _Style:
    def __init__(self, enabled: bool) -> None:
        self.enabled = enabled

    def __call__(self, name: str, text: str) -> str:
        if not self.enabled or not text:
            return text
        return f"\x1b[{_STYLES[name]}m{text}\x1b[0m"


def sparkline(values: Sequence[float], low: float, high: float, levels: str = SPARK_LEVELS) -> str:
    if high <= low:
        return levels[0] * len(values)
    top = len(levels) - 1
    return "".join(levels[max(0, min(top, round((v - low) / (high - low) * top)))] for v in values)


def bar(fraction: float, width_chars: int, parts: str = BAR_PARTS) -> str:
    """A horizontal bar in eighths of a cell, padded to `width_chars`."""
    fraction = max(0.0, min(1.0, fraction))
    eighths = round(fraction * width_chars * 8)
    full, part = divmod(eighths, 8)
    text = parts[8] * full + (parts[part] if part else "")
    return text.ljust(width_chars)


def bucket_values(
    points: Sequence[tuple[int, float]], end_ms: int, columns: int, combine: Callable[[list[float]], float]
) -> list[float]:
    """Splits (time, value) points into `columns` equal spans of [0, end_ms].

    An empty span repeats the previous value, so a gap in the samples does not read as a drop.
    """
    if not points or columns <= 0:
        return []
    span_ms = max(end_ms, points[-1][0] + 1) / columns
    buckets: list[list[float]] = [[] for _ in range(columns)]
    for time_ms, value in points:
        buckets[min(columns - 1, int(time_ms / span_ms))].append(value)
    values: list[float] = []
    previous = points[0][1]
    for bucket in buckets:
        previous = combine(bucket) if bucket else previous
        values.append(previous)
    return values


def _mean(values: list[float]) -> float:
    return sum(values) / len(values)


class _Report:
    def __init__(self, profile: Profile, options: RenderOptions) -> None:
        self.profile = profile
        self.width = max(MIN_WIDTH_CHARS, options.width_chars)
        self.cut = options.cut_to_width
        self.style = _Style(options.color)
        self.spark_levels = SPARK_LEVELS if options.unicode else ASCII_SPARK_LEVELS
        self.bar_parts = BAR_PARTS if options.unicode else ASCII_BAR_PARTS
        self.lines: list[str] = []
        self.shares = time_shares(profile, leave_out_waiting=options.leave_out_waiting)
        self.spikes_found = spikes(profile)

    def fit(self, line: str, width: int = 0) -> str:
        """`line` cut to the width (or `width`) where lines are cut."""
        return truncate_right(line, width or self.width) if self.cut else line

    def add(self, line: str = "") -> None:
        self.lines.append(line)

    def heading(self, text: str) -> None:
        self.add()
        self.add(self.style("heading", text))

    # -- sections --------------------------------------------------------------------

    def summary(self) -> None:
        p, meta = self.profile, self.profile.metadata
        target = program_command(meta.argv)
        self.add(self.style("heading", self.fit(printable(f"kulvo profile of {target}"))))
        about = f"  kulvo {meta.kulvo_version}, Python {meta.python_version}, started {meta.start_time}"
        self.add(self.style("dim", self.fit(printable(about))))
        pairs = [
            ("wall time", format_duration_ms(p.wall_time_ms)),
            ("samples", f"{p.sample_count} every {meta.interval_ms} ms"),
            ("CPU", f"mean {format_percent(p.mean_cpu_percent)}"),
            ("peak", format_percent(p.peak_cpu_percent)),
            ("peak RSS", format_bytes(p.peak_rss_bytes)),
            ("spikes", f"{self.spikes_found.count('cpu')} CPU, {self.spikes_found.count('memory')} memory"),
            ("sampled", format_duration_ms(self.shares.run_us / 1000)),
            ("waiting", f"{format_percent(self.shares.waiting_percent)} (main thread)"),
        ]
        cells = [f"{name:<10}{value}" for name, value in pairs]
        hidden = p.hidden_rss_bytes
        column_width = max(len(cell) for cell in cells) + 2
        if 2 + 2 * column_width <= self.width:
            for left, right in zip(cells[::2], cells[1::2], strict=True):
                self.add(f"  {left:<{column_width}}{right}")
        else:
            for cell in cells:
                self.add(self.fit(f"  {cell}"))
        if meta.kulvo_bytes is not None:
            self.note(2, f"(of the peak RSS, {format_bytes(meta.kulvo_bytes)} is kulvo's own: its samples and records)")
        if hidden is not None:
            self.note(2, f"(RSS shows growth beyond {format_bytes(hidden)} only: the peak before the run)")
        for note in meta.notes:
            self.note(2, f"(note: {printable(note)})")

    def processes(self) -> None:
        """Each process's share of the sampled time, in a profile of several processes."""
        self._roots("Processes", "process", self.shares.processes)

    def threads(self) -> None:
        """Each thread's share of the sampled time, in a profile of several threads."""
        self._roots("Threads", "thread", self.shares.threads)

    def _roots(self, heading: str, kind: str, roots: Sequence[ThreadTime]) -> None:
        if not roots:
            return
        self.heading(heading)
        waiting = "waiting left out" if self.shares.waiting_left_out else "waiting included"
        if self.shares.waiting_while_others_worked_us and not self.shares.waiting_left_out:
            waiting += " while nothing else worked"
        self.note(2, f"(shares of the sampled time by {kind}, the main thread's {waiting}; the others' as they worked)")
        name_width = min(max(len(printable(root.name)) for root in roots), self.width // 2)
        for root in roots[:ROOTS_SHOWN]:
            share = self.shares.percent(root.time_us) if self.shares.sampled_us else 0.0
            name = truncate_right(printable(root.name), name_width).ljust(name_width)
            where = location(root.root.file, root.root.line)
            waited = f"waiting {root.waiting_percent:5.1f} % of its time"
            self.add(self.fit(f"  {share:5.1f} %  {name}  {self.style('dim', f'{where:<10}  {waited}')}"))
        if len(roots) > ROOTS_SHOWN:
            self.note(2, f"({len(roots) - ROOTS_SHOWN} more not listed here)")

    def functions(self) -> None:
        shares = self.shares
        self.heading("Functions by self time")
        if not shares.functions:
            self.add("  no stacks were sampled")
            return
        self._shares_note()
        rows = [(f.self_us, f.total_us, f.frame) for f in shares.functions[:FUNCTIONS_SHOWN]]
        self._time_table(rows)

    def hot_lines(self) -> None:
        shares = self.shares
        if not shares.lines:
            return
        self.heading("Hot lines")
        self._time_table([(line.self_us, line.total_us, line.frame) for line in shares.lines[:LINES_SHOWN]])

    def _shares_note(self) -> None:
        shares, p = self.shares, self.profile
        sampled = format_duration_ms(shares.sampled_us / 1000)
        if shares.waiting_left_out:
            who = "the threads worked; the main thread's" if shares.threads else "the main thread worked; its"
            what = f"shares of the {sampled} {who} {shares.waiting_percent:.1f} % waiting left out"
        else:
            what = f"shares of {sampled} sampled, waiting included"
            if shares.waiting_while_others_worked_us:
                theirs = format_duration_ms(shares.waiting_while_others_worked_us / 1000)
                what += f" but for the main thread's {theirs} while {shares.others} worked"
        without_stack = sum(1 for stack_id in p.columns.stack_ids if stack_id == NO_PATH)
        if without_stack:
            what += f"; {without_stack} of {p.sample_count} samples had no stack"
        self.note(2, f"({what})")

    def _time_table(self, rows: Sequence[tuple[int, int, Frame]]) -> None:
        """Rows of (self time, inclusive time, frame): self share with a bar, inclusive share, name."""
        fixed = 2 + 7 + 2 + 2 + 7 + 2
        # The bar gives way first on a narrow terminal: the names matter more.
        bar_width = max(4, min(20, self.width // 5, self.width - fixed - 24))
        label_width = self.width - fixed - bar_width
        self.add(self.style("dim", f"  {'self':>7}  {'':<{bar_width}}  {'total':>7}  function"))
        function_width = max(len(printable(display_name(frame))) for _, _, frame in rows)
        for self_us, total_us, frame in rows:
            self_share = self.shares.percent(self_us)
            label = self._frame_label(frame, label_width, function_width)
            self.add(
                f"  {self_share:5.1f} %  {self.style('bar', bar(self_share / 100, bar_width, self.bar_parts))}"
                f"  {self.shares.percent(total_us):5.1f} %  {label}"
            )

    def _frame_label(self, frame: Frame, width: int, function_width: int = 0) -> str:
        """`function  file:line` in at most `width` characters, cutting the function name's end
        and the path's start (the file's own name is the useful part). Function names are
        padded to `function_width`, so that the locations of a table line up."""
        where = location(frame.file, frame.line)
        function = printable(display_name(frame)).ljust(min(function_width, width // 2))
        if self.cut and len(function) + 2 + len(where) > width:
            function = truncate_right(function, max(min(len(function), width // 2), width - len(where) - 2))
            where = truncate_left(where, width - len(function) - 2)
        if not where:
            return self.fit(function, width)
        return f"{function}  {self.style('dim', where)}"

    def note(self, indent: int, text: str) -> None:
        self.add(self.style("dim", self.fit(" " * indent + text)))

    def spikes(self) -> None:
        self.heading("Spikes")
        if not self.spikes_found.shown:
            self.add("  none found")
        # A terminal holds a few: the longest CPU spikes, in time order, and every memory spike.
        cpu = [spike for spike in self.spikes_found.shown if spike.event.kind == "cpu"]
        longest = sorted(cpu, key=lambda spike: -spike.event.duration_ms)[:CPU_SPIKES_SHOWN]
        for spike in self.spikes_found.shown:
            if spike.event.kind != "cpu" or any(spike is kept for kept in longest):
                self._spike(spike)
        if len(cpu) > len(longest):
            self.note(2, f"({len(cpu) - len(longest)} shorter CPU spike(s) not listed here; the html report shows all)")
        if self.spikes_found.left_out:
            self.note(2, f"({self.spikes_found.left_out} CPU spike(s) of a few ms or of one noisy reading left out)")

    def _spike(self, spike: Spike) -> None:
        event = spike.event
        kind = "CPU" if event.kind == "cpu" else "memory"
        span = f"{format_duration_ms(event.start_ms)} – {format_duration_ms(event.end_ms)}"
        figures = (
            f"peak {format_spike_value(event.kind, event.peak_value)}, "
            f"threshold {format_spike_value(event.kind, event.threshold)}"
        )
        span_width = max(20, len(span) + 2)  # long spans ("1 min 5 s – 2 min 10 s") push the figures on
        if 2 + 7 + span_width + len(figures) <= self.width:
            self.add(f"  {self.style('spike', f'{kind:<7}')}{span:<{span_width}}{figures}")
        else:
            self.add(f"  {self.style('spike', f'{kind:<7}')}{span}")
            self.add(self.fit(f"         {figures}"))
        if spike.during is not None:
            self._spike_functions(spike.during)
        elif event.peak_stack:
            innermost = list(reversed(event.peak_stack))[:SPIKE_FRAMES_SHOWN]
            function_width = max(len(printable(display_name(frame))) for frame in innermost)
            for depth, frame in enumerate(innermost):
                marker = "at" if depth == 0 else "  "
                self.add(f"         {marker} {self._frame_label(frame, self.width - 12, function_width)}")
        if event.kind == "cpu":
            busy_ms = sum(m.duration_ms for m in self.profile.snapshots_overlapping(event))
            if busy_ms:
                self.note(9, f"(kulvo spent {busy_ms} ms taking memory snapshots in this span)")
        if event.kind == "memory":
            snapshot = self.profile.nearest_snapshot(event)
            if snapshot is not None:
                self._snapshot(snapshot)
            elif not self.profile.metadata.memory:
                self.note(9, "(profile with --memory to see where it was allocated)")

    def _spike_functions(self, during: TimeShares) -> None:
        """What ran during a CPU spike: its functions by self time, as shares of the spike."""
        functions = during.functions[:SPIKE_FRAMES_SHOWN]
        if not functions or not functions[0].self_us:
            self.note(9, "(no stack of the profiled code was sampled in this span)")
            return
        function_width = max(len(printable(display_name(f.frame))) for f in functions if f.self_us)
        for function in functions:
            if function.self_us:
                label = self._frame_label(function.frame, self.width - 18, function_width)
                self.add(f"         {during.percent(function.self_us):5.1f} %  {label}")

    def _snapshot(self, snapshot: MemorySnapshot) -> None:
        if snapshot.at_peak:
            held = format_bytes(snapshot.traced_bytes)
            self.add(f"         held at the peak, {format_duration_ms(snapshot.time_ms)} ({held} allocated by Python):")
        else:
            self.add(f"         allocated by {format_duration_ms(snapshot.time_ms)}:")
        if not snapshot.top_sites:
            self.note(11, "no traced allocation grew")
        for site in snapshot.top_sites[:SNAPSHOT_SITES_SHOWN]:
            self._site(snapshot, site, 11)

    def _site(self, snapshot: MemorySnapshot, site: AllocationSite, indent: int) -> None:
        if snapshot.at_peak:
            share_percent = 100 * site.size_bytes / max(1, snapshot.traced_bytes)
            amount = f"{format_bytes(site.size_bytes):>10} {share_percent:5.1f} %"
        else:
            amount = f"{format_signed_bytes(site.size_diff_bytes):>10} {site.count_diff:+7d} blocks"
        where = location(site.file, site.line)
        if self.cut:
            where = truncate_left(where, self.width - len(amount) - indent - 2)
        self.add(self.fit(" " * indent + amount) + (f"  {self.style('dim', where)}" if where else ""))

    def memory_at_peak(self) -> None:
        peak = next((m for m in self.profile.memory_snapshots if m.at_peak), None)
        if peak is None:
            return
        self.heading(f"Memory held at the peak  {format_duration_ms(peak.time_ms)}")
        held = format_bytes(peak.traced_bytes)
        self.note(2, f"({held} allocated by Python code and live then, from sampled allocations)")
        for site in peak.top_sites[:PEAK_SITES_SHOWN]:
            self._site(peak, site, 2)

    def timelines(self) -> None:
        p = self.profile
        end_ms = p.end_ms
        self.heading(f"Timeline  0 – {format_duration_ms(end_ms)}")
        cpu_points = p.cpu_timeline
        rss_points = [(time_ms, float(rss)) for time_ms, rss in p.rss_timeline]
        if not cpu_points and not rss_points:
            self.add("  no readings")
            return
        cpu_high = cpu_scale_top([v for _, v in cpu_points])
        cpu_scale = f"0 – {cpu_high:.0f} %"
        rss_scale = (
            f"{format_bytes(min(v for _, v in rss_points))} – {format_bytes(max(v for _, v in rss_points))}"
            if rss_points
            else ""
        )
        columns = min(max(len(cpu_points), len(rss_points)), self.width - 9 - max(len(cpu_scale), len(rss_scale)))
        if cpu_points:
            line = sparkline(bucket_values(cpu_points, end_ms, columns, _mean), 0.0, cpu_high, self.spark_levels)
            self.add(f"  CPU  {self.style('cpu', line)}  {cpu_scale}")
        if rss_points:
            values = bucket_values(rss_points, end_ms, columns, max)
            line = sparkline(values, min(values), max(values), self.spark_levels)
            self.add(f"  RSS  {self.style('memory', line)}  {rss_scale}")


def render(profile: Profile, options: RenderOptions) -> str:
    report = _Report(profile, options)
    report.summary()
    report.processes()
    report.threads()
    report.functions()
    report.hot_lines()
    report.spikes()
    report.memory_at_peak()
    report.timelines()
    text = "\n".join(report.lines) + "\n"
    return text if options.unicode else text.translate(_ASCII_PUNCTUATION)


FORMAT = ReportFormat(name="text", suffixes=(".txt", ".text"), render=render)
