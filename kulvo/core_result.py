"""What `kulvo._native.Sampler.stop()` returns, turned into the typed profile once: the run's
stack table (names, frames and the call tree) and one packed array per sample field.
Each distinct stack is read, and cut, once, and shared by every sample that holds it.

Stacks may be cut to the profiled code: the frames outside it (the command line's, or the
caller's of a profiled block) belong to whoever started the profiler, and kulvo's own
frames and the samples it took of itself starting or stopping are left out.
"""

from __future__ import annotations

import dataclasses
import itertools
import math
from collections import Counter
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal

from kulvo.model import (
    Frame,
    FrameTable,
    HotPath,
    MemorySnapshot,
    Profile,
    RunMetadata,
    SampleColumns,
    SpikeEvent,
    Stack,
)


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


_Cut = tuple["Stack | None", bool]  # a stack as cut, and whether kulvo was busy in it


def _array(result: Mapping[str, Any], key: str, code: Literal["i", "I", "Q", "B"]) -> memoryview[int]:
    """One of the core's packed per-record arrays, read in place."""
    return memoryview(result[key]).cast(code)


class _CoreStacks:
    """The core's call tree as Stacks, each node's stack built and cut once."""

    def __init__(self, result: Mapping[str, Any], table: FrameTable, cut: Callable[[Stack | None], _Cut]) -> None:
        names: Sequence[str] = result["strings"]
        self._frames = [
            table.frame(names[file], names[function], line)
            for file, function, line in zip(
                _array(result, "frame_files", "i"),
                _array(result, "frame_functions", "i"),
                _array(result, "frame_lines", "i"),
            )
        ]
        self._parents = _array(result, "stack_parents", "I")
        self._node_frames = _array(result, "stack_frames", "I")
        self._cut = cut
        self._done: dict[int, _Cut] = {}

    def stack(self, node: int) -> Stack | None:
        frames: list[Frame] = []
        while node:
            frames.append(self._frames[self._node_frames[node]])
            node = self._parents[node]
        return tuple(reversed(frames)) or None

    def cut(self, node: int) -> _Cut:
        done = self._done.get(node)
        if done is None:
            done = self._done[node] = self._cut(self.stack(node))
        return done


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


def rank_hot_paths(stack_totals: Iterable[tuple[Stack, int, int]], top_n: int | None = None) -> list[HotPath]:
    """The lines on which the most sampled time was spent, from (stack, time, samples) of each
    distinct stack: a line counts once per sample, however often it recurs on the stack; ties
    go by file, function and line. `count` is the number of samples, `percent` the share of the
    sampled time."""
    times: Counter[Frame] = Counter()
    counts: Counter[Frame] = Counter()
    total = 0
    for stack, weight, samples in stack_totals:
        total += weight
        for frame in set(stack):
            times[frame] += weight
            counts[frame] += samples
    ranked = sorted(times.items(), key=lambda item: (-item[1], item[0].file, item[0].function, item[0].line))
    return [
        HotPath(frame.file, frame.function, frame.line, counts[frame], 100.0 * time / total if total else 0.0)
        for frame, time in ranked[:top_n]
    ]


def _sample_columns(result: Mapping[str, Any], stacks: _CoreStacks) -> SampleColumns:
    """The samples as columns, without the ones taken while kulvo was busy. Nothing here is
    made per sample but list entries: a full ring is 100,000 samples."""
    nodes = _array(result, "stack", "I")
    cut_stacks: list[Stack | None] = []
    column_of_node: dict[int, int] = {}  # -1: the node's samples are left out
    for node in set(nodes):
        stack, kulvo_busy = stacks.cut(node)
        column_of_node[node] = -1 if kulvo_busy else len(cut_stacks)
        if not kulvo_busy:
            cut_stacks.append(stack)
    stack_ids = list(map(column_of_node.__getitem__, nodes))
    kept = [stack_id >= 0 for stack_id in stack_ids] if -1 in column_of_node.values() else None

    def column(values: Iterable[Any]) -> list[Any]:
        return list(values) if kept is None else list(itertools.compress(values, kept))

    return SampleColumns(
        timestamp_ms=column(_array(result, "timestamp_ms", "Q")),
        cpu_percent=[
            cpu if math.isfinite(cpu) and cpu >= 0 else None
            for cpu in column(memoryview(result["cpu_percent"]).cast("d"))
        ],
        rss_bytes=[rss if rss > 0 else None for rss in column(_array(result, "rss_bytes", "Q"))],
        stacks=cut_stacks,
        stack_ids=column(stack_ids),
        weight_us=column(_array(result, "weight_us", "Q")),
        main_thread_waiting=[bool(waiting) for waiting in column(_array(result, "main_thread_waiting", "B"))],
    )


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
    """Builds the typed profile from what `kulvo._native.Sampler.stop()` returns.

    With a `root`, the frames outside it (the command line's, or the caller's of a profiled
    block) and the profiler's `own` frames are cut from the stacks, the samples kulvo took of
    itself starting or stopping are dropped, and the hot paths are ranked again over what is
    left, cut to `top_n`. `wall_time_ms` replaces the core's figure (which ends when the sampler
    thread does) with the package's own measure of the profiled code. Without `with_stacks`
    the stacks are dropped: they are not those of the profiled code.
    """
    stacks = _CoreStacks(result, FrameTable(), lambda stack: _profiled_part(stack if with_stacks else None, root, own))
    samples = _sample_columns(result, stacks)
    events = [
        SpikeEvent(
            kind=raw["kind"],
            start_ms=int(raw["start_ms"]),
            end_ms=int(raw["end_ms"]),
            peak_value=float(raw["peak_value"]),
            threshold=float(raw["threshold"]),
            peak_stack=stacks.cut(int(raw["peak_stack"]))[0],
        )
        for raw in result["spike_events"]
    ]

    profile = Profile(
        metadata=dataclasses.replace(metadata, kulvo_bytes=int(result["kulvo_bytes"])),
        sample_count=len(samples),
        wall_time_ms=int(result["wall_time_ms"]) if wall_time_ms is None else wall_time_ms,
        samples=samples,
        spike_events=tuple(events),
        hot_paths=(),
        memory_snapshots=tuple(memory_snapshots),
    )
    # Ranked here rather than by the core: by time, on the stacks as cut, a line once per sample.
    return dataclasses.replace(profile, hot_paths=tuple(rank_hot_paths(profile.stack_totals, top_n)))
