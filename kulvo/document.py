"""The saved profile as a versioned JSON document: `Profile.to_dict` writes the current version,
`Profile.from_dict` reads it and the earlier ones.

Version 3 adds rows for the threads other than the main one (`other_thread`). Version 2 stores
each distinct frame once, each distinct call path once (its parent path and its innermost
frame), and the samples as one array per field, a sample's stack as the index of its call path.
Version 1 stored the samples as one object each, a stack as a list of frame indices: a full ring
made that 6 million numbers and 100,000 objects to write.
"""

from __future__ import annotations

import operator
import sys
from collections.abc import Callable, Mapping, Sequence
from typing import Any

from kulvo import model
from kulvo.document_fields import damaged, flag, flags, integer, integers, real, reals, records, signed, text, texts
from kulvo.model import (
    SPIKE_KINDS,
    AllocationSite,
    Frame,
    HotPath,
    MemorySnapshot,
    Profile,
    ProfileFormatError,
    RunMetadata,
    Sample,
    SampleColumns,
    SpikeEvent,
    Stack,
)
from kulvo.samples import NO_PATH, CallPaths

DOCUMENT_FORMAT = "kulvo-profile"
DOCUMENT_VERSION = 3
READABLE_VERSIONS = (1, 2, 3)


def encode(profile: Profile) -> dict[str, Any]:
    columns = profile.columns
    paths = columns.paths
    # Numbered first: a spike's stack may add paths (in a profile built by hand).
    peak_paths = [paths.number(e.peak_stack) for e in profile.spike_events]
    spike_events = [
        {
            "kind": e.kind,
            "start_ms": e.start_ms,
            "end_ms": e.end_ms,
            "peak_value": e.peak_value,
            "threshold": e.threshold,
            "peak_stack": _path_or_null(path),
        }
        for e, path in zip(profile.spike_events, peak_paths)
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
            "pid": meta.pid,
        },
        "sample_count": profile.sample_count,
        "wall_time_ms": profile.wall_time_ms,
        "frames": [{"file": f.file, "function": f.function, "line": f.line} for f in paths.frames.frames],
        "stacks": {"parent": _paths_or_null(paths.parents), "frame": list(paths.frame_ids)},
        "samples": {
            "timestamp_ms": list(columns.timestamp_ms),
            "cpu_percent": list(columns.cpu_percent),
            "rss_bytes": list(columns.rss_bytes),
            "stack": _paths_or_null(columns.stack_ids),
            "weight_us": list(columns.weight_us),
            "main_thread_waiting": list(columns.main_thread_waiting),
            "other_thread": list(columns.other_thread),
        },
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
                "at_peak": m.at_peak,
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


def _path_or_null(path: int) -> int | None:
    return None if path == NO_PATH else path


def _paths_or_null(paths: Sequence[int]) -> list[int | None]:
    return _nulls_as(list(paths), None, NO_PATH)


def _nulls_as(values: list[Any], replacement: Any, null: Any = None) -> list[Any]:
    """`values` with each `null` in them replaced, copied only where there is one."""
    return [replacement if value == null else value for value in values] if null in values else values


def decode(document: Any) -> Profile:
    """The profile of a document of any readable version; ProfileFormatError names what is wrong."""
    if not isinstance(document, Mapping) or document.get("format") != DOCUMENT_FORMAT:
        raise ProfileFormatError("not a kulvo profile")
    version = document.get("version")
    if isinstance(version, bool) or version not in READABLE_VERSIONS:
        readable = " and ".join(map(str, READABLE_VERSIONS))
        raise ProfileFormatError(f"kulvo profile version {version!r} is not supported (this kulvo reads {readable})")
    try:
        frames = [
            Frame(text(f["file"], "file"), text(f["function"], "function"), signed(f["line"], "line"))
            for f in document["frames"]
        ]
        if version == 1:
            stack = _frame_lists(frames)
            samples: Sequence[Sample] = tuple(_version_1_samples(document["samples"], stack))
        else:
            paths = _call_paths(frames, document["stacks"])
            stack = _path_stacks(paths)
            samples = _version_2_samples(document["samples"], paths)
        return _profile(document, samples, stack)
    except ProfileFormatError:
        raise
    except (KeyError, TypeError, ValueError, IndexError, AttributeError) as error:
        raise damaged(f"{type(error).__name__}: {error!s:.200}") from None


_StackReader = Callable[[Any], "Stack | None"]


def _frame_lists(frames: list[Frame]) -> _StackReader:
    """Version 1: a stack is a list of frame indices, outermost first."""

    def stack(indices: Any) -> Stack | None:
        if indices is None:
            return None
        if any(isinstance(i, bool) or not isinstance(i, int) or i < 0 for i in indices):
            raise damaged("bad frame index")
        return tuple(frames[i] for i in indices)

    return stack


def _version_1_samples(rows: Any, stack: _StackReader) -> list[Sample]:
    return [
        Sample(
            timestamp_ms=integer(s["timestamp_ms"], "timestamp_ms"),
            cpu_percent=None if s["cpu_percent"] is None else real(s["cpu_percent"], "cpu_percent"),
            rss_bytes=None if s["rss_bytes"] is None else integer(s["rss_bytes"], "rss_bytes"),
            stack=stack(s["stack"]),
            weight_us=integer(s.get("weight_us", 0), "weight_us"),
            main_thread_waiting=flag(s.get("main_thread_waiting", False), "main_thread_waiting"),
        )
        for s in rows
    ]


def _call_paths(frames: list[Frame], table: Any) -> CallPaths:
    """Version 2's call paths: path n is `parent[n]` (a path, or null) with the frame
    `frame[n]` called from it. A parent comes before its children, so that no path leads back
    to itself and every one ends at an outermost frame."""
    if not isinstance(table, Mapping):
        raise damaged("stacks is not an object of arrays")
    parents = integers(table["parent"], "parent", optional=True)
    frame_indices = integers(table["frame"], "frame", high=len(frames) - 1)
    if len(parents) != len(frame_indices):
        raise damaged("stacks has arrays of different lengths")
    parent_paths = _nulls_as(parents, NO_PATH)
    if not all(map(operator.lt, parent_paths, range(len(parent_paths)))):
        raise damaged("a call path's parent does not come before it")
    paths = CallPaths()
    # Frames listed twice in a document edited by hand are one frame here.
    frame_ids = [paths.frames.index(frame) for frame in frames]
    paths.extend(parent_paths, [frame_ids[index] for index in frame_indices])
    return paths


def _path_stacks(paths: CallPaths) -> _StackReader:
    def stack(path: Any) -> Stack | None:
        return None if path is None else paths.stack(integer(path, "stack", high=len(paths) - 1))

    return stack


def _version_2_samples(fields: Any, paths: CallPaths) -> SampleColumns:
    if not isinstance(fields, Mapping):
        raise damaged("samples is not an object of arrays")
    stack_ids = integers(fields["stack"], "stack", optional=True, high=len(paths) - 1)
    return SampleColumns(
        timestamp_ms=integers(fields["timestamp_ms"], "timestamp_ms"),
        cpu_percent=reals(fields["cpu_percent"], "cpu_percent"),
        rss_bytes=integers(fields["rss_bytes"], "rss_bytes", optional=True),
        paths=paths,
        stack_ids=_nulls_as(stack_ids, NO_PATH),
        weight_us=integers(fields["weight_us"], "weight_us"),
        main_thread_waiting=flags(fields["main_thread_waiting"], "main_thread_waiting"),
        other_thread=flags(fields["other_thread"], "other_thread") if "other_thread" in fields else None,
    )


def _profile(document: Mapping[str, Any], samples: Sequence[Sample], stack: _StackReader) -> Profile:
    """What both versions store alike around the samples."""

    def optional(value: Any, read: Callable[[Any, str], Any], name: str) -> Any:
        return None if value is None else read(value, name)

    meta = document["metadata"]
    metadata = RunMetadata(
        kulvo_version=text(meta["kulvo_version"], "kulvo_version"),
        python_version=text(meta["python_version"], "python_version"),
        argv=texts(meta["argv"], "argv"),
        start_time=text(meta["start_time"], "start_time"),
        interval_ms=integer(meta["interval_ms"], "interval_ms", low=1),
        top_n=integer(meta["top_n"], "top_n"),
        memory=flag(meta["memory"], "memory"),
        rss_at_start_bytes=optional(meta.get("rss_at_start_bytes"), integer, "rss_at_start_bytes"),
        notes=texts(meta.get("notes", []), "notes"),
        kulvo_bytes=optional(meta.get("kulvo_bytes"), integer, "kulvo_bytes"),
        pid=optional(meta.get("pid"), integer, "pid"),
    )
    events = []
    for e in records(document["spike_events"], "spike_events"):
        if e["kind"] not in SPIKE_KINDS:
            raise damaged(f"unknown spike kind {e['kind']!r:.40}")
        events.append(
            SpikeEvent(
                kind=e["kind"],
                start_ms=integer(e["start_ms"], "start_ms"),
                end_ms=integer(e["end_ms"], "end_ms"),
                peak_value=real(e["peak_value"], "peak_value"),
                threshold=real(e["threshold"], "threshold"),
                peak_stack=stack(e["peak_stack"]),
            )
        )
    hot_paths = tuple(
        HotPath(
            text(h["file"], "file"),
            text(h["function"], "function"),
            signed(h["line"], "line"),
            integer(h["count"], "count"),
            real(h["percent"], "percent"),
        )
        for h in records(document["hot_paths"], "hot_paths")
    )
    snapshots = tuple(
        MemorySnapshot(
            time_ms=integer(m["time_ms"], "time_ms"),
            traced_bytes=integer(m["traced_bytes"], "traced_bytes"),
            duration_ms=integer(m["duration_ms"], "duration_ms"),
            at_peak=flag(m.get("at_peak", False), "at_peak"),
            top_sites=tuple(
                AllocationSite(
                    file=text(a["file"], "file"),
                    line=signed(a["line"], "line"),
                    size_bytes=integer(a["size_bytes"], "size_bytes"),
                    size_diff_bytes=signed(a["size_diff_bytes"], "size_diff_bytes"),
                    count=integer(a["count"], "count"),
                    count_diff=signed(a["count_diff"], "count_diff"),
                )
                for a in records(m["top_sites"], "top_sites")
            ),
        )
        for m in records(document["memory_snapshots"], "memory_snapshots")
    )
    return Profile(
        metadata=metadata,
        sample_count=integer(document["sample_count"], "sample_count"),
        wall_time_ms=integer(document["wall_time_ms"], "wall_time_ms"),
        samples=samples,
        spike_events=tuple(events),
        hot_paths=hot_paths,
        memory_snapshots=snapshots,
    )


model.use_document_codec(sys.modules[__name__])
