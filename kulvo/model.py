"""The typed profile: the records every renderer reads, and the versioned document they are
saved as (`Profile.to_dict` / `Profile.from_dict`).

The model imports no renderer and no codec: `kulvo.reports` plugs itself in for
`Profile.render` and `Profile.save`, and `kulvo.document` for `Profile.to_dict` and
`Profile.from_dict`, when they are imported, which the first call of each does.
"""

from __future__ import annotations

import importlib
import math
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any, Literal, Protocol

# The samples' own types, re-exported: the records every renderer reads are found here.
from kulvo.samples import Frame as Frame
from kulvo.samples import FrameTable as FrameTable
from kulvo.samples import Sample as Sample
from kulvo.samples import SampleColumns as SampleColumns
from kulvo.samples import Stack as Stack

SpikeKind = Literal["cpu", "memory"]
SPIKE_KINDS: tuple[SpikeKind, ...] = ("cpu", "memory")
HIDDEN_RSS_MARGIN_BYTES = 10 * 1024 * 1024


class ProfileFormatError(ValueError):
    """The document is not a kulvo profile this version can read."""


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
    """The live allocations per line, taken when the core saw resident memory jump (growth since
    the snapshot before), or as they stood when the program held most (`at_peak`: everything
    held then, each site's whole size its growth)."""

    time_ms: int  # same origin as Sample.timestamp_ms, to within a millisecond
    traced_bytes: int
    top_sites: tuple[AllocationSite, ...]
    duration_ms: int = 0  # how long taking and diffing the snapshot kept kulvo busy
    at_peak: bool = False


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
    # What kulvo itself held of the process's memory at the end (its samples, stack table and
    # memory records): part of the peak RSS that is not the program's. None where not known.
    kulvo_bytes: int | None = None
    pid: int | None = None  # the profiled process's, where known


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
    # Imported on first use, not with kulvo: a program starts sooner under `kulvo run`.
    if _reports is None:
        importlib.import_module("kulvo.reports").plug_into_model()
    if _reports is None:
        raise RuntimeError("the report formats are not loaded")
    return _reports


class DocumentCodec(Protocol):
    """What `Profile.to_dict` and `Profile.from_dict` need from the saved document's codec."""

    def encode(self, profile: Profile) -> dict[str, Any]: ...

    def decode(self, document: Any) -> Profile: ...


_codec: DocumentCodec | None = None


def use_document_codec(codec: DocumentCodec) -> None:
    """Called by `kulvo.document` when it is imported."""
    global _codec
    _codec = codec


def _loaded_codec() -> DocumentCodec:
    if _codec is None:
        importlib.import_module("kulvo.document")  # it calls use_document_codec
    if _codec is None:
        raise RuntimeError("the document codec is not loaded")
    return _codec


@dataclass(frozen=True)
class Profile:
    """The result of one profiled run."""

    metadata: RunMetadata
    sample_count: int
    wall_time_ms: int
    samples: Sequence[Sample]  # held as SampleColumns, whatever sequence was given
    spike_events: tuple[SpikeEvent, ...]
    hot_paths: tuple[HotPath, ...]
    memory_snapshots: tuple[MemorySnapshot, ...] = field(default=())

    def __post_init__(self) -> None:
        if not isinstance(self.samples, SampleColumns):
            object.__setattr__(self, "samples", SampleColumns.from_samples(self.samples))

    @property
    def columns(self) -> SampleColumns:
        """The samples as the columns they are held in."""
        assert isinstance(self.samples, SampleColumns)
        return self.samples

    # -- summary figures shared by the renderers --------------------------------------

    @property
    def cpu_readings(self) -> list[float]:
        return [cpu for cpu in self.columns.cpu_percent if cpu is not None]

    @property
    def mean_cpu_percent(self) -> float | None:
        readings = self.cpu_readings
        return math.fsum(readings) / len(readings) if readings else None

    @property
    def peak_cpu_percent(self) -> float | None:
        readings = self.cpu_readings
        return max(readings) if readings else None

    @property
    def peak_rss_bytes(self) -> int | None:
        return max((rss for rss in self.columns.rss_bytes if rss is not None), default=None)

    @property
    def end_ms(self) -> int:
        """Where the run's timeline ends: its wall time, or its last sample if that came later."""
        return max(self.wall_time_ms, max(self.columns.timestamp_ms, default=0))

    @property
    def cpu_timeline(self) -> list[tuple[int, float]]:
        """(timestamp_ms, cpu_percent) of each sample with a CPU reading."""
        columns = self.columns
        return [(time_ms, cpu) for time_ms, cpu in zip(columns.timestamp_ms, columns.cpu_percent) if cpu is not None]

    @property
    def rss_timeline(self) -> list[tuple[int, int]]:
        """(timestamp_ms, rss_bytes) of each sample with a resident size reading."""
        columns = self.columns
        return [(time_ms, rss) for time_ms, rss in zip(columns.timestamp_ms, columns.rss_bytes) if rss is not None]

    @property
    def stacks(self) -> list[Stack]:
        return [stack for stack in self.columns.sample_stacks() if stack]

    def weight_us(self, sample: Sample) -> int:
        """The time `sample` stands for."""
        return sample.weight_us or self.metadata.interval_ms * 1000

    @property
    def weighted_stacks(self) -> list[tuple[Stack, int]]:
        """Each sampled stack with the time it counts for, in microseconds: the other threads'
        samples while they waited left out (see `SampleColumns.counted_weights_us`)."""
        columns = self.columns
        weights_us = columns.counted_weights_us(self.metadata.interval_ms * 1000)
        return [
            (stack, weight_us) for stack, weight_us in zip(columns.sample_stacks(), weights_us) if stack and weight_us
        ]

    @property
    def stack_totals(self) -> list[tuple[Stack, int, int]]:
        """Each distinct sampled stack with the time its samples stand for, in microseconds,
        and their number."""
        return self.columns.stack_totals(self.metadata.interval_ms * 1000)

    def spike_count(self, kind: SpikeKind) -> int:
        return sum(1 for e in self.spike_events if e.kind == kind)

    @property
    def hidden_rss_bytes(self) -> int | None:
        """The peak RSS reached before profiling began, when it lies well above the memory in use
        at the start: growth up to it cannot show in peak RSS readings. That peak may be the
        process's own, from earlier in its life, or, on Linux, its parent's, which a new
        program inherits across fork and exec."""
        start = self.metadata.rss_at_start_bytes
        first = next((rss for rss in self.columns.rss_bytes if rss is not None), None)
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
        # Inside the spike, what was held at the peak says most.
        return min(self.memory_snapshots, key=lambda s: (distance_ms(s), not s.at_peak, s.time_ms))

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
        """The versioned JSON document that `kulvo.load` reads back. Each distinct frame and call
        path is stored once and the samples are one array per field, which keeps a long run's
        file small and quick to write."""
        return _loaded_codec().encode(self)

    @classmethod
    def from_dict(cls, document: Any) -> Profile:
        """Rebuilds a profile from `to_dict()`'s document, or from one of an earlier version;
        raises ProfileFormatError naming what is wrong, also for a document of another format
        or an unknown version."""
        return _loaded_codec().decode(document)
