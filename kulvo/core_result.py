"""The dictionary that `PySampler.stop()` returns, turned into the typed profile once.

Stacks may be cut to the profiled code: the frames outside it (the command line's, or the
caller's of a profiled block) belong to whoever started the profiler.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from kulvo.model import Frame, FrameTable, HotPath, MemorySnapshot, Profile, RunMetadata, Sample, SpikeEvent, Stack


@dataclass(frozen=True)
class StackRoot:
    """Where the profiled code starts on every stack: the outermost frame of this (file,
    function), kept or not. Frames outside it belong to whoever started the profiler."""

    file: str
    function: str
    keep: bool = False


def _stack(table: FrameTable, raw: Sequence[Mapping[str, Any]] | None) -> Stack | None:
    if not raw:
        return None
    return tuple(table.frame(f["file"], f["function"], int(f["line"])) for f in raw)


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
    table = FrameTable()
    outside_frames: set[Frame] = set()

    samples: list[Sample] = []
    for raw in result["samples"]:
        stack, removed = _strip_outside(_stack(table, raw["stack"]), root)
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
        peak_stack, removed = _strip_outside(_stack(table, raw["peak_stack"]), root)
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
