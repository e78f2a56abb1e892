"""The typed profile: the records every renderer reads, and the versioned document they are
saved as (`Profile.to_dict` / `Profile.from_dict`).

The model imports no renderer; `kulvo.reports` plugs itself in for `Profile.render` and
`Profile.save` when it is imported, which `import kulvo` does.
"""

from __future__ import annotations

import math
import re
import statistics
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any, Literal, Protocol

SpikeKind = Literal["cpu", "memory"]
SPIKE_KINDS: tuple[SpikeKind, ...] = ("cpu", "memory")
HIDDEN_RSS_MARGIN_BYTES = 10 * 1024 * 1024

DOCUMENT_FORMAT = "kulvo-profile"
DOCUMENT_VERSION = 1


class ProfileFormatError(ValueError):
    """The document is not a kulvo profile this version can read."""


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


class FrameTable:
    """Frames numbered in the order first seen. Equal frames share one Frame object (the many
    samples of one loop hold the same frames) and one number (documents store a stack as a
    list of numbers)."""

    def __init__(self) -> None:
        self.frames: list[Frame] = []
        self._numbers: dict[tuple[str, str, int], int] = {}

    def number(self, file: str, function: str, line: int) -> int:
        key = (file, function, line)
        found = self._numbers.get(key)
        if found is None:
            found = self._numbers[key] = len(self.frames)
            self.frames.append(Frame(file, function, line))
        return found

    def frame(self, file: str, function: str, line: int) -> Frame:
        return self.frames[self.number(file, function, line)]

    def index(self, frame: Frame) -> int:
        return self.number(frame.file, frame.function, frame.line)

    def indices(self, stack: Stack) -> list[int]:
        return [self.index(frame) for frame in stack]


@dataclass(frozen=True)
class Sample:
    """One measurement. A failed reading is None rather than the core's sentinel."""

    timestamp_ms: int
    cpu_percent: float | None
    rss_bytes: int | None
    stack: Stack | None
    # The time the sample stands for: its slot of the interval, and every slot a capture
    # that had to wait (a long call holding the interpreter lock) ran through. 0 where not
    # known (profiles of older kulvo versions): the sample then stands for one interval.
    weight_us: int = 0
    main_thread_waiting: bool = False  # off the CPU: asleep, in a blocking call or a lock wait


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
    notes: tuple[str, ...] = ()  # what the reader should know about how this profile was taken
    # What kulvo itself held of the process's memory at the end (its samples and stack table):
    # part of the peak RSS that is not the program's. None where not known.
    kulvo_bytes: int | None = None


class Reports(Protocol):
    """What `Profile.render` and `Profile.save` need from the report formats."""

    def render(self, profile: Profile, format: str, *, color: bool, width_chars: int) -> str: ...

    def format_for_path(self, path: str) -> str | None: ...


_reports: Reports | None = None


def use_reports(reports: Reports) -> None:
    """Called by `kulvo.reports` when it is imported."""
    global _reports
    _reports = reports


def _loaded_reports() -> Reports:
    if _reports is None:
        raise RuntimeError("the report formats are not loaded: import kulvo first")
    return _reports


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

    def weight_us(self, sample: Sample) -> int:
        """The time `sample` stands for."""
        return sample.weight_us or self.metadata.interval_ms * 1000

    @property
    def weighted_stacks(self) -> list[tuple[Stack, int]]:
        """Each sampled stack with the time it stands for, in microseconds."""
        return [(s.stack, self.weight_us(s)) for s in self.samples if s.stack]

    def spike_count(self, kind: SpikeKind) -> int:
        return sum(1 for e in self.spike_events if e.kind == kind)

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

    # -- reports -----------------------------------------------------------------------

    def render(self, format: str = "text", *, color: bool = False, width_chars: int = 100) -> str:
        return _loaded_reports().render(self, format, color=color, width_chars=width_chars)

    def save(self, path: str, format: str | None = None) -> str:
        """Write the profile in `format` (taken from the file name when None); returns `path`."""
        reports = _loaded_reports()
        chosen = format or reports.format_for_path(path)
        if chosen is None:
            raise ValueError(f"cannot tell the report format from {path!r}; pass format=")
        # Encoded before the file is opened: a report that cannot be written leaves no empty file.
        data = reports.render(self, chosen, color=False, width_chars=100).encode("utf-8", "backslashreplace")
        with open(path, "wb") as stream:
            stream.write(data)
        return path

    # -- the saved document ------------------------------------------------------------

    def to_dict(self) -> dict[str, Any]:
        """The versioned JSON document that `kulvo.load` reads back. Stacks are stored as lists
        of indices into one table of frames, which keeps a long run's file small."""
        return _encode(self)

    @classmethod
    def from_dict(cls, document: Any) -> Profile:
        """Rebuilds a profile from `to_dict()`'s document; raises ProfileFormatError naming what
        is wrong, also for a document of another format or version."""
        if not isinstance(document, Mapping) or document.get("format") != DOCUMENT_FORMAT:
            raise ProfileFormatError("not a kulvo profile")
        version = document.get("version")
        if version != DOCUMENT_VERSION:
            raise ProfileFormatError(
                f"kulvo profile version {version!r} is not supported (this kulvo reads version {DOCUMENT_VERSION})"
            )
        try:
            return _decode(document)
        except ProfileFormatError:
            raise
        except (KeyError, TypeError, ValueError, IndexError, AttributeError) as error:
            raise _damaged(f"{type(error).__name__}: {error!s:.200}") from None


def _encode(profile: Profile) -> dict[str, Any]:
    table = FrameTable()
    numbered: dict[int, list[int]] = {}  # samples of one stack share its tuple: numbered once

    def stack(frames: Stack | None) -> list[int] | None:
        if frames is None:
            return None
        found = numbered.get(id(frames))
        if found is None:
            found = numbered[id(frames)] = table.indices(frames)
        return list(found)

    samples = [
        {
            "timestamp_ms": s.timestamp_ms,
            "cpu_percent": s.cpu_percent,
            "rss_bytes": s.rss_bytes,
            "stack": stack(s.stack),
            "weight_us": s.weight_us,
            "main_thread_waiting": s.main_thread_waiting,
        }
        for s in profile.samples
    ]
    spike_events = [
        {
            "kind": e.kind,
            "start_ms": e.start_ms,
            "end_ms": e.end_ms,
            "peak_value": e.peak_value,
            "threshold": e.threshold,
            "peak_stack": stack(e.peak_stack),
        }
        for e in profile.spike_events
    ]
    meta = profile.metadata
    return {
        "format": DOCUMENT_FORMAT,
        "version": DOCUMENT_VERSION,
        "metadata": {
            "kulvo_version": meta.kulvo_version,
            "python_version": meta.python_version,
            "argv": list(meta.argv),
            "start_time": meta.start_time,
            "interval_ms": meta.interval_ms,
            "top_n": meta.top_n,
            "memory": meta.memory,
            "rss_at_start_bytes": meta.rss_at_start_bytes,
            "notes": list(meta.notes),
            "kulvo_bytes": meta.kulvo_bytes,
        },
        "sample_count": profile.sample_count,
        "wall_time_ms": profile.wall_time_ms,
        "frames": [{"file": f.file, "function": f.function, "line": f.line} for f in table.frames],
        "samples": samples,
        "spike_events": spike_events,
        "hot_paths": [
            {"file": h.file, "function": h.function, "line": h.line, "count": h.count, "percent": h.percent}
            for h in profile.hot_paths
        ],
        "memory_snapshots": [
            {
                "time_ms": m.time_ms,
                "traced_bytes": m.traced_bytes,
                "duration_ms": m.duration_ms,
                "top_sites": [
                    {
                        "file": a.file,
                        "line": a.line,
                        "size_bytes": a.size_bytes,
                        "size_diff_bytes": a.size_diff_bytes,
                        "count": a.count,
                        "count_diff": a.count_diff,
                    }
                    for a in m.top_sites
                ],
            }
            for m in profile.memory_snapshots
        ],
    }


# The core's counters, sizes and times are 64-bit; a document claiming more is damaged.
_MAX_NUMBER = 2**63 - 1
# Surrogate code points: U+DC80..U+DCFF stand for undecodable bytes (Python's surrogateescape),
# the others are lone halves of a pair. Neither can be written as UTF-8.
_SURROGATE = re.compile("[\ud800-\udfff]")


def valid_text(text: str) -> str:
    """`text` as valid Unicode: a byte that was not UTF-8 (an escaped surrogate) as `\\xNN`,
    another lone surrogate as `\\uNNNN`, so that every report can be written."""

    def escape(match: re.Match[str]) -> str:
        code = ord(match.group())
        return f"\\x{code - 0xDC00:02x}" if 0xDC80 <= code <= 0xDCFF else f"\\u{code:04x}"

    return _SURROGATE.sub(escape, text)


def _damaged(what: str) -> ProfileFormatError:
    return ProfileFormatError(f"damaged kulvo profile ({what})")


def _text(value: Any, name: str) -> str:
    if not isinstance(value, str):
        raise _damaged(f"{name} is not a string")
    return valid_text(value)


def _integer(value: Any, name: str, low: int = 0) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= _MAX_NUMBER:
        raise _damaged(f"{name} is not an integer from {low} to 2**63-1")
    return value


def _signed(value: Any, name: str) -> int:
    return _integer(value, name, low=-_MAX_NUMBER)


def _flag(value: Any, name: str) -> bool:
    if not isinstance(value, bool):
        raise _damaged(f"{name} is not true or false")
    return value


def _real(value: Any, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise _damaged(f"{name} is not a finite number")
    return float(value)


def _decode(document: Mapping[str, Any]) -> Profile:
    frames = [
        Frame(_text(f["file"], "file"), _text(f["function"], "function"), _signed(f["line"], "line"))
        for f in document["frames"]
    ]

    def stack(indices: list[int] | None) -> Stack | None:
        if indices is None:
            return None
        if any(isinstance(i, bool) or not isinstance(i, int) or i < 0 for i in indices):
            raise _damaged("bad frame index")
        return tuple(frames[i] for i in indices)

    def optional(value: Any, read: Callable[[Any, str], Any], name: str) -> Any:
        return None if value is None else read(value, name)

    meta = document["metadata"]
    metadata = RunMetadata(
        kulvo_version=_text(meta["kulvo_version"], "kulvo_version"),
        python_version=_text(meta["python_version"], "python_version"),
        argv=tuple(_text(a, "argv") for a in meta["argv"]),
        start_time=_text(meta["start_time"], "start_time"),
        interval_ms=_integer(meta["interval_ms"], "interval_ms", low=1),
        top_n=_integer(meta["top_n"], "top_n"),
        memory=_flag(meta["memory"], "memory"),
        rss_at_start_bytes=optional(meta.get("rss_at_start_bytes"), _integer, "rss_at_start_bytes"),
        notes=tuple(_text(n, "notes") for n in meta.get("notes", ())),
        kulvo_bytes=optional(meta.get("kulvo_bytes"), _integer, "kulvo_bytes"),
    )
    samples = tuple(
        Sample(
            timestamp_ms=_integer(s["timestamp_ms"], "timestamp_ms"),
            cpu_percent=optional(s["cpu_percent"], _real, "cpu_percent"),
            rss_bytes=optional(s["rss_bytes"], _integer, "rss_bytes"),
            stack=stack(s["stack"]),
            weight_us=_integer(s.get("weight_us", 0), "weight_us"),
            main_thread_waiting=_flag(s.get("main_thread_waiting", False), "main_thread_waiting"),
        )
        for s in document["samples"]
    )
    events = []
    for e in document["spike_events"]:
        if e["kind"] not in SPIKE_KINDS:
            raise _damaged(f"unknown spike kind {e['kind']!r:.40}")
        events.append(
            SpikeEvent(
                kind=e["kind"],
                start_ms=_integer(e["start_ms"], "start_ms"),
                end_ms=_integer(e["end_ms"], "end_ms"),
                peak_value=_real(e["peak_value"], "peak_value"),
                threshold=_real(e["threshold"], "threshold"),
                peak_stack=stack(e["peak_stack"]),
            )
        )
    hot_paths = tuple(
        HotPath(
            _text(h["file"], "file"),
            _text(h["function"], "function"),
            _signed(h["line"], "line"),
            _integer(h["count"], "count"),
            _real(h["percent"], "percent"),
        )
        for h in document["hot_paths"]
    )
    snapshots = tuple(
        MemorySnapshot(
            time_ms=_integer(m["time_ms"], "time_ms"),
            traced_bytes=_integer(m["traced_bytes"], "traced_bytes"),
            duration_ms=_integer(m["duration_ms"], "duration_ms"),
            top_sites=tuple(
                AllocationSite(
                    file=_text(a["file"], "file"),
                    line=_signed(a["line"], "line"),
                    size_bytes=_integer(a["size_bytes"], "size_bytes"),
                    size_diff_bytes=_signed(a["size_diff_bytes"], "size_diff_bytes"),
                    count=_integer(a["count"], "count"),
                    count_diff=_signed(a["count_diff"], "count_diff"),
                )
                for a in m["top_sites"]
            ),
        )
        for m in document["memory_snapshots"]
    )
    return Profile(
        metadata=metadata,
        sample_count=_integer(document["sample_count"], "sample_count"),
        wall_time_ms=_integer(document["wall_time_ms"], "wall_time_ms"),
        samples=samples,
        spike_events=tuple(events),
        hot_paths=hot_paths,
        memory_snapshots=snapshots,
    )
