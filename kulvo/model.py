"""The typed profile: what the core reports, plus the memory snapshots and run metadata.

The core's result dictionary is converted here once; every renderer reads these objects.
"""

from __future__ import annotations

import math
import statistics
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Literal

SpikeKind = Literal["cpu", "memory"]
HIDDEN_RSS_MARGIN_BYTES = 10 * 1024 * 1024


@dataclass(frozen=True)
class Frame:
    """One frame of a sampled stack."""

    file: str
    function: str
    line: int

    @property
    def label(self) -> str:
        return f"{self.function} ({self.file}:{self.line})"


Stack = tuple[Frame, ...]
"""A sampled stack, outermost frame first and the executing frame last."""


@dataclass(frozen=True)
class Sample:
    """One measurement. A failed reading is None rather than the core's sentinel."""

    timestamp_ms: int
    cpu_percent: float | None
    rss_bytes: int | None
    stack: Stack | None


@dataclass(frozen=True)
class SpikeEvent:
    kind: SpikeKind
    start_ms: int
    end_ms: int
    peak_value: float  # percent for "cpu", bytes for "memory"
    threshold: float
    peak_stack: Stack | None

    @property
    def duration_ms(self) -> int:
        return max(0, self.end_ms - self.start_ms)


@dataclass(frozen=True)
class HotPath:
    file: str
    function: str
    line: int
    count: int
    percent: float  # share of the samples with a stack on which this line appears

    @property
    def frame(self) -> Frame:
        return Frame(self.file, self.function, self.line)


@dataclass(frozen=True)
class AllocationSite:
    """Growth of the memory allocated at one source line between two snapshots."""

    file: str
    line: int
    size_bytes: int
    size_diff_bytes: int
    count: int
    count_diff: int


@dataclass(frozen=True)
class MemorySnapshot:
    """A tracemalloc snapshot taken when the core saw resident memory jump."""

    time_ms: int  # same origin as Sample.timestamp_ms, to within a millisecond
    traced_bytes: int
    top_sites: tuple[AllocationSite, ...]
    duration_ms: int = 0  # how long taking and diffing the snapshot kept kulvo busy


@dataclass(frozen=True)
class RunMetadata:
    kulvo_version: str
    python_version: str
    argv: tuple[str, ...]
    start_time: str  # ISO 8601, UTC
    interval_ms: int
    top_n: int
    memory: bool
    rss_at_start_bytes: int | None = None  # resident size in use when profiling began, where known


@dataclass(frozen=True)
class Profile:
    """The result of one profiled run."""

    metadata: RunMetadata
    sample_count: int
    wall_time_ms: int
    samples: tuple[Sample, ...]
    spike_events: tuple[SpikeEvent, ...]
    hot_paths: tuple[HotPath, ...]
    memory_snapshots: tuple[MemorySnapshot, ...] = field(default=())

    # -- summary figures shared by the renderers --------------------------------------

    @property
    def cpu_readings(self) -> list[float]:
        return [s.cpu_percent for s in self.samples if s.cpu_percent is not None]

    @property
    def mean_cpu_percent(self) -> float | None:
        readings = self.cpu_readings
        return statistics.fmean(readings) if readings else None

    @property
    def peak_cpu_percent(self) -> float | None:
        readings = self.cpu_readings
        return max(readings) if readings else None

    @property
    def peak_rss_bytes(self) -> int | None:
        readings = [s.rss_bytes for s in self.samples if s.rss_bytes is not None]
        return max(readings) if readings else None

    @property
    def stacks(self) -> list[Stack]:
        return [s.stack for s in self.samples if s.stack]

    @property
    def hidden_rss_bytes(self) -> int | None:
        """The peak RSS reached before profiling began, when it lies well above the memory in use
        at the start: growth up to it cannot show in peak RSS readings. That peak may be the
        process's own, from earlier in its life, or, on Linux, its parent's, which a new
        program inherits across fork and exec."""
        start = self.metadata.rss_at_start_bytes
        first = next((s.rss_bytes for s in self.samples if s.rss_bytes is not None), None)
        if start is None or first is None or first - start < HIDDEN_RSS_MARGIN_BYTES:
            return None
        return first

    def nearest_snapshot(self, event: SpikeEvent) -> MemorySnapshot | None:
        """The snapshot closest in time to a spike (inside it counts as distance 0)."""

        def distance_ms(snapshot: MemorySnapshot) -> int:
            if snapshot.time_ms < event.start_ms:
                return event.start_ms - snapshot.time_ms
            return max(0, snapshot.time_ms - event.end_ms)

        if not self.memory_snapshots:
            return None
        return min(self.memory_snapshots, key=lambda s: (distance_ms(s), s.time_ms))

    def snapshots_overlapping(self, event: SpikeEvent) -> list[MemorySnapshot]:
        """The memory snapshots kulvo was busy taking during a spike.

        A sample's CPU reading covers the interval before it, so the spike's span starts one
        interval before its first sample.
        """
        window_start_ms = event.start_ms - self.metadata.interval_ms
        return [
            m
            for m in self.memory_snapshots
            if m.time_ms <= event.end_ms and m.time_ms + m.duration_ms >= window_start_ms
        ]

    # -- persistence -------------------------------------------------------------------

    def to_dict(self) -> dict[str, Any]:
        """The versioned JSON document that `kulvo.load` reads back."""
        from kulvo.storage import profile_to_document

        return profile_to_document(self)

    def render(self, format: str = "text", *, color: bool = False, width_chars: int = 100) -> str:
        from kulvo.reports import RenderOptions, render

        return render(self, format, RenderOptions(color=color, width_chars=width_chars))

    def save(self, path: str, format: str | None = None) -> str:
        """Write the profile in `format` (taken from the file name when None); returns `path`."""
        from kulvo.reports import RenderOptions, format_for_path, render

        chosen = format or format_for_path(path)
        if chosen is None:
            raise ValueError(f"cannot tell the report format from {path!r}; pass format=")
        text = render(self, chosen, RenderOptions())
        with open(path, "w", encoding="utf-8") as stream:
            stream.write(text)
        return path


class _FrameTable:
    """Interns frames, so that the many samples of one loop share their Frame objects."""

    def __init__(self) -> None:
        self._frames: dict[tuple[str, str, int], Frame] = {}

    def frame(self, file: str, function: str, line: int) -> Frame:
        key = (file, function, line)
        found = self._frames.get(key)
        if found is None:
            found = self._frames[key] = Frame(file, function, line)
        return found

    def stack(self, raw: Sequence[Mapping[str, Any]] | None) -> Stack | None:
        if not raw:
            return None
        return tuple(self.frame(f["file"], f["function"], int(f["line"])) for f in raw)


@dataclass(frozen=True)
class StackRoot:
    """Where the profiled code starts on every stack: the outermost frame of this (file,
    function), kept or not. Frames outside it belong to whoever started the profiler."""

    file: str
    function: str
    keep: bool = False


def _strip_outside(stack: Stack | None, root: StackRoot | None) -> tuple[Stack | None, Stack]:
    """Splits off the frames outside `root`; returns (the remaining stack or None, the frames
    removed). A stack without the root frame lies wholly outside the profiled code."""
    if stack is None or root is None:
        return stack, ()
    for index, frame in enumerate(stack):
        if frame.file == root.file and frame.function == root.function:
            cut = index if root.keep else index + 1
            return (stack[cut:] or None), stack[:cut]
    return None, stack


def profile_from_core(
    result: Mapping[str, Any],
    metadata: RunMetadata,
    memory_snapshots: Iterable[MemorySnapshot] = (),
    *,
    root: StackRoot | None = None,
    top_n: int | None = None,
) -> Profile:
    """Builds the typed profile from the dictionary that `PySampler.stop()` returns.

    With a `root`, the frames outside it (the command line's, or the caller's of a profiled
    block) are cut from the stacks and the hot paths, so that reports show the profiled
    code; `top_n` then cuts the hot paths to the number asked for.
    """
    table = _FrameTable()
    outside_frames: set[Frame] = set()

    samples: list[Sample] = []
    for raw in result["samples"]:
        stack, removed = _strip_outside(table.stack(raw["stack"]), root)
        outside_frames.update(removed)
        cpu = float(raw["cpu_percent"])
        rss = int(raw["rss_bytes"])
        samples.append(
            Sample(
                timestamp_ms=int(raw["timestamp_ms"]),
                cpu_percent=cpu if math.isfinite(cpu) and cpu >= 0 else None,
                rss_bytes=None if rss <= 0 else rss,
                stack=stack,
            )
        )

    events: list[SpikeEvent] = []
    for raw in result["spike_events"]:
        peak_stack, removed = _strip_outside(table.stack(raw["peak_stack"]), root)
        events.append(
            SpikeEvent(
                kind=raw["kind"],
                start_ms=int(raw["start_ms"]),
                end_ms=int(raw["end_ms"]),
                peak_value=float(raw["peak_value"]),
                threshold=float(raw["threshold"]),
                peak_stack=peak_stack,
            )
        )

    hot_paths = [
        HotPath(h["file"], h["function"], int(h["line"]), int(h["count"]), float(h["percent"]))
        for h in result["hot_paths"]
    ]
    if root is not None:
        # The outside frames sit on every stack and so lead the core's ranking; drop them and
        # restate the shares over the samples that still have a stack.
        with_stack = sum(1 for s in samples if s.stack)
        hot_paths = [
            HotPath(h.file, h.function, h.line, h.count, 100.0 * h.count / with_stack if with_stack else 0.0)
            for h in hot_paths
            if h.frame not in outside_frames
        ]
    if top_n is not None:
        hot_paths = hot_paths[:top_n]

    return Profile(
        metadata=metadata,
        sample_count=int(result["sample_count"]),
        wall_time_ms=int(result["wall_time_ms"]),
        samples=tuple(samples),
        spike_events=tuple(events),
        hot_paths=tuple(hot_paths),
        memory_snapshots=tuple(memory_snapshots),
    )
