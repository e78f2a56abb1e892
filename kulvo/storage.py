"""The saved-profile JSON document: writing it, and reading it back with `kulvo.load`.

Stacks are stored as lists of indices into one table of frames, which keeps a long run's
file small. The document carries a format name and a version; a reader refuses any other.
"""

from __future__ import annotations

import json
from collections.abc import Mapping
from pathlib import Path
from typing import Any

from kulvo.model import (
    AllocationSite,
    Frame,
    HotPath,
    MemorySnapshot,
    Profile,
    RunMetadata,
    Sample,
    SpikeEvent,
    Stack,
)

FORMAT_NAME = "kulvo-profile"
FORMAT_VERSION = 1


class ProfileFormatError(ValueError):
    """The file is not a kulvo profile this version can read."""


# -- writing ---------------------------------------------------------------------------


class _FrameIndex:
    def __init__(self) -> None:
        self.frames: list[Frame] = []
        self._index: dict[Frame, int] = {}

    def encode(self, stack: Stack | None) -> list[int] | None:
        if stack is None:
            return None
        indices = []
        for frame in stack:
            index = self._index.get(frame)
            if index is None:
                index = self._index[frame] = len(self.frames)
                self.frames.append(frame)
            indices.append(index)
        return indices


def profile_to_document(profile: Profile) -> dict[str, Any]:
    index = _FrameIndex()
    samples = [
        {
            "timestamp_ms": s.timestamp_ms,
            "cpu_percent": s.cpu_percent,
            "rss_bytes": s.rss_bytes,
            "stack": index.encode(s.stack),
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
            "peak_stack": index.encode(e.peak_stack),
        }
        for e in profile.spike_events
    ]
    meta = profile.metadata
    return {
        "format": FORMAT_NAME,
        "version": FORMAT_VERSION,
        "metadata": {
            "kulvo_version": meta.kulvo_version,
            "python_version": meta.python_version,
            "argv": list(meta.argv),
            "start_time": meta.start_time,
            "interval_ms": meta.interval_ms,
            "top_n": meta.top_n,
            "memory": meta.memory,
            "rss_at_start_bytes": meta.rss_at_start_bytes,
        },
        "sample_count": profile.sample_count,
        "wall_time_ms": profile.wall_time_ms,
        "frames": [{"file": f.file, "function": f.function, "line": f.line} for f in index.frames],
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


def dumps(profile: Profile) -> str:
    return json.dumps(profile_to_document(profile), separators=(",", ":")) + "\n"


# -- reading ---------------------------------------------------------------------------


def profile_from_document(document: Any) -> Profile:
    """Rebuilds a profile; raises ProfileFormatError naming what is wrong."""
    if not isinstance(document, Mapping) or document.get("format") != FORMAT_NAME:
        raise ProfileFormatError("not a kulvo profile")
    version = document.get("version")
    if version != FORMAT_VERSION:
        raise ProfileFormatError(
            f"kulvo profile version {version!r} is not supported (this kulvo reads version {FORMAT_VERSION})"
        )
    try:
        return _decode(document)
    except ProfileFormatError:
        raise
    except (KeyError, TypeError, ValueError, IndexError) as error:
        raise ProfileFormatError(f"damaged kulvo profile ({type(error).__name__}: {error})") from None


def _decode(document: Mapping[str, Any]) -> Profile:
    frames = [Frame(str(f["file"]), str(f["function"]), int(f["line"])) for f in document["frames"]]

    def stack(indices: list[int] | None) -> Stack | None:
        if indices is None:
            return None
        if any(not isinstance(i, int) or i < 0 for i in indices):
            raise ProfileFormatError("damaged kulvo profile (bad frame index)")
        return tuple(frames[i] for i in indices)

    def optional_number(value: Any, kind: type) -> Any:
        return None if value is None else kind(value)

    meta = document["metadata"]
    metadata = RunMetadata(
        kulvo_version=str(meta["kulvo_version"]),
        python_version=str(meta["python_version"]),
        argv=tuple(str(a) for a in meta["argv"]),
        start_time=str(meta["start_time"]),
        interval_ms=int(meta["interval_ms"]),
        top_n=int(meta["top_n"]),
        memory=bool(meta["memory"]),
        rss_at_start_bytes=optional_number(meta.get("rss_at_start_bytes"), int),
    )
    samples = tuple(
        Sample(
            timestamp_ms=int(s["timestamp_ms"]),
            cpu_percent=optional_number(s["cpu_percent"], float),
            rss_bytes=optional_number(s["rss_bytes"], int),
            stack=stack(s["stack"]),
        )
        for s in document["samples"]
    )
    events = []
    for e in document["spike_events"]:
        if e["kind"] not in ("cpu", "memory"):
            raise ProfileFormatError(f"damaged kulvo profile (unknown spike kind {e['kind']!r})")
        events.append(
            SpikeEvent(
                kind=e["kind"],
                start_ms=int(e["start_ms"]),
                end_ms=int(e["end_ms"]),
                peak_value=float(e["peak_value"]),
                threshold=float(e["threshold"]),
                peak_stack=stack(e["peak_stack"]),
            )
        )
    hot_paths = tuple(
        HotPath(str(h["file"]), str(h["function"]), int(h["line"]), int(h["count"]), float(h["percent"]))
        for h in document["hot_paths"]
    )
    snapshots = tuple(
        MemorySnapshot(
            time_ms=int(m["time_ms"]),
            traced_bytes=int(m["traced_bytes"]),
            duration_ms=int(m["duration_ms"]),
            top_sites=tuple(
                AllocationSite(
                    file=str(a["file"]),
                    line=int(a["line"]),
                    size_bytes=int(a["size_bytes"]),
                    size_diff_bytes=int(a["size_diff_bytes"]),
                    count=int(a["count"]),
                    count_diff=int(a["count_diff"]),
                )
                for a in m["top_sites"]
            ),
        )
        for m in document["memory_snapshots"]
    )
    return Profile(
        metadata=metadata,
        sample_count=int(document["sample_count"]),
        wall_time_ms=int(document["wall_time_ms"]),
        samples=samples,
        spike_events=tuple(events),
        hot_paths=hot_paths,
        memory_snapshots=snapshots,
    )


def loads(text: str) -> Profile:
    try:
        document = json.loads(text)
    except json.JSONDecodeError as error:
        raise ProfileFormatError(f"not a kulvo profile: invalid or truncated JSON ({error})") from None
    return profile_from_document(document)


def load(path: str | Path) -> Profile:
    """Reads a profile saved as JSON by `Profile.save` or `kulvo run -o FILE.json`."""
    try:
        with open(path, encoding="utf-8") as stream:
            text = stream.read()
    except UnicodeDecodeError:
        raise ProfileFormatError("not a kulvo profile: not UTF-8 text") from None
    return loads(text)
