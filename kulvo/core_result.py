"""The dictionary that `PySampler.stop()` returns, turned into the typed profile once.

Stacks may be cut to the profiled code: the frames outside it (the command line's, or the
caller's of a profiled block) belong to whoever started the profiler, and kulvo's own
frames and the samples it took of itself starting or stopping are left out.
"""

from __future__ import annotations

import dataclasses
import math
from collections import Counter
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from kulvo.model import Frame, FrameTable, HotPath, MemorySnapshot, Profile, RunMetadata, Sample, SpikeEvent, Stack


@dataclass(frozen=True)
class StackRoot:
    """Where the profiled code starts on every stack: the `occurrence`-th frame of this (file,
    function) counted from the outside, kept or not. Frames outside it belong to whoever started
    the profiler; profiles nested in a recursion share (file, function) and differ in occurrence."""

    file: str
    function: str
    keep: bool = False
    occurrence: int = 1


@dataclass(frozen=True)
class ProfilerFrames:
    """How the profiler's own frames look on the stacks: every frame of `files` is left out of
    stacks and hot paths. A sample is left out altogether when it was taken inside one of
    `busy` (the profiler starting or stopping), or outside the root with kulvo's own code
    running (setting up or tearing down the run)."""

    files: frozenset[str] = frozenset()
    busy: frozenset[tuple[str, str]] = frozenset()


def _stack(table: FrameTable, raw: Sequence[Mapping[str, Any]] | None) -> Stack | None:
    if not raw:
        return None
    return tuple(table.frame(f["file"], f["function"], int(f["line"])) for f in raw)


def _root_index(stack: Stack, root: StackRoot) -> int | None:
    seen = 0
    for index, frame in enumerate(stack):
        if frame.file == root.file and frame.function == root.function:
            seen += 1
            if seen == root.occurrence:
                return index
    return None


def _profiled_part(stack: Stack | None, root: StackRoot | None, own: ProfilerFrames) -> tuple[Stack | None, bool]:
    """The frames of the profiled code on one sampled stack, and whether kulvo was busy
    starting or stopping a profiler when it was taken."""
    if stack is None or root is None:
        return stack, False
    index = _root_index(stack, root)
    # No root: wholly outside the profiled code, in kulvo's own set-up or teardown, or while
    # the profiled generator or coroutine was suspended and other code ran.
    inside = stack if index is None else stack[index if root.keep else index + 1 :]
    busy = any((frame.file, frame.function) in own.busy for frame in inside)
    if index is None:
        return None, busy or stack[-1].file in own.files
    return tuple(frame for frame in inside if frame.file not in own.files) or None, busy


def rank_hot_paths(stacks: Iterable[tuple[Stack, int]], top_n: int | None = None) -> list[HotPath]:
    """The lines on which the most sampled time was spent, from (stack, time) pairs: a line counts
    once per sample, however often it recurs on the stack; ties go by file, function and line.
    `count` is the number of samples, `percent` the share of the sampled time."""
    times: Counter[Frame] = Counter()
    counts: Counter[Frame] = Counter()
    total = 0
    for stack, weight in stacks:
        total += weight
        on_stack = set(stack)
        counts.update(on_stack)
        for frame in on_stack:
            times[frame] += weight
    ranked = sorted(times.items(), key=lambda item: (-item[1], item[0].file, item[0].function, item[0].line))
    return [
        HotPath(frame.file, frame.function, frame.line, counts[frame], 100.0 * time / total if total else 0.0)
        for frame, time in ranked[:top_n]
    ]


def profile_from_core(
    result: Mapping[str, Any],
    metadata: RunMetadata,
    memory_snapshots: Iterable[MemorySnapshot] = (),
    *,
    root: StackRoot | None = None,
    own: ProfilerFrames = ProfilerFrames(),
    top_n: int | None = None,
    wall_time_ms: int | None = None,
    with_stacks: bool = True,
) -> Profile:
    """Builds the typed profile from the dictionary that `PySampler.stop()` returns.

    With a `root`, the frames outside it (the command line's, or the caller's of a profiled
    block) and the profiler's `own` frames are cut from the stacks, the samples kulvo took of
    itself starting or stopping are dropped, and the hot paths are ranked again over what is
    left, cut to `top_n`. `wall_time_ms` replaces the core's figure (which ends when the sampler
    thread does) with the package's own measure of the profiled code. Without `with_stacks`
    the stacks are dropped: they are not those of the profiled code.
    """
    table = FrameTable()

    def cut(raw: Sequence[Mapping[str, Any]] | None) -> tuple[Stack | None, bool]:
        return _profiled_part(_stack(table, raw) if with_stacks else None, root, own)

    samples: list[Sample] = []
    for raw in result["samples"]:
        stack, kulvo_busy = cut(raw["stack"])
        if kulvo_busy:
            continue
        cpu = float(raw["cpu_percent"])
        rss = int(raw["rss_bytes"])
        samples.append(
            Sample(
                timestamp_ms=int(raw["timestamp_ms"]),
                cpu_percent=cpu if math.isfinite(cpu) and cpu >= 0 else None,
                rss_bytes=None if rss <= 0 else rss,
                stack=stack,
                weight_us=int(raw.get("weight_us", 0)),
                main_thread_waiting=bool(raw.get("main_thread_waiting", False)),
            )
        )

    events = [
        SpikeEvent(
            kind=raw["kind"],
            start_ms=int(raw["start_ms"]),
            end_ms=int(raw["end_ms"]),
            peak_value=float(raw["peak_value"]),
            threshold=float(raw["threshold"]),
            peak_stack=cut(raw["peak_stack"])[0],
        )
        for raw in result["spike_events"]
    ]

    profile = Profile(
        metadata=metadata,
        sample_count=len(samples),
        wall_time_ms=int(result["wall_time_ms"]) if wall_time_ms is None else wall_time_ms,
        samples=tuple(samples),
        spike_events=tuple(events),
        hot_paths=(),
        memory_snapshots=tuple(memory_snapshots),
    )
    # Ranked here rather than by the core: by time, on the stacks as cut, a line once per sample.
    return dataclasses.replace(profile, hot_paths=tuple(rank_hot_paths(profile.weighted_stacks, top_n)))
