"""A profile's samples and their stacks, held the way a full ring is cheap to keep, convert and
save: each distinct frame once, each distinct stack once as a call path (its parent path and
its innermost frame), and the samples as one list per field.

`kulvo.model` re-exports these; a stack is read as a tuple of Frames, made when first asked for.
"""

from __future__ import annotations

import bisect
import itertools
from collections import Counter
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any, overload

NO_PATH = -1
"""The path of no stack (or an empty one), and the parent of an outermost frame's path."""

THREAD_ROOT_FILE = "<thread>"
"""The file of the frame each thread's stacks start at, in a profile of several threads; its
function is the thread's name and its line the thread's kernel id."""

PROCESS_ROOT_FILE = "<process>"
"""The file of the frame each process's stacks start at, in a profile of several processes; its
function is the process's command line and its line the process's id."""

ROOT_FILES = (PROCESS_ROOT_FILE, THREAD_ROOT_FILE)
"""Frames that name where a stack ran rather than code: outermost, a process's, then a thread's."""


def root_count(stack: Sequence[Frame]) -> int:
    """How many of the stack's outermost frames name its process and thread rather than code."""
    return next((i for i, frame in enumerate(stack) if frame.file not in ROOT_FILES), len(stack))


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


class CallPaths:
    """Distinct stacks as a tree. Path n is its parent's stack (`parents[n]`, NO_PATH for none)
    with the frame `frame_ids[n]` of `frames` called from it; a parent is numbered before its
    children, and stacks that share their outer frames share those paths. Paths are added when
    first needed, by `child` and `number`, and never change."""

    def __init__(self) -> None:
        self.frames = FrameTable()
        self.parents: list[int] = []
        self.frame_ids: list[int] = []
        self._numbers: dict[tuple[int, int], int] = {}
        self._stacks: dict[int, Stack] = {}

    def __len__(self) -> int:
        return len(self.parents)

    def child(self, parent: int, frame_id: int) -> int:
        """The path of frame number `frame_id` called from `parent`."""
        key = (parent, frame_id)
        found = self._numbers.get(key)
        if found is None:
            found = self._numbers[key] = len(self.parents)
            self.parents.append(parent)
            self.frame_ids.append(frame_id)
        return found

    def extend(self, parents: Sequence[int], frame_ids: Sequence[int]) -> None:
        """Appends paths read back, in their order; each parent must come before its child."""
        start = len(self.parents)
        self.parents.extend(parents)
        self.frame_ids.extend(frame_ids)
        for path, key in enumerate(zip(parents, frame_ids), start):
            self._numbers.setdefault(key, path)

    def number(self, stack: Stack | None) -> int:
        """The path of `stack`, added frame by frame where new; NO_PATH for None or ()."""
        path = NO_PATH
        for frame in stack or ():
            path = self.child(path, self.frames.index(frame))
        return path

    def stack(self, path: int) -> Stack | None:
        """The frames of `path`, outermost first; None for NO_PATH. Made once per path."""
        if path == NO_PATH:
            return None
        made = self._stacks.get(path)
        if made is None:
            frames = self.frames.frames
            reversed_frames = []
            node = path
            while node != NO_PATH:
                reversed_frames.append(frames[self.frame_ids[node]])
                node = self.parents[node]
            made = self._stacks[path] = tuple(reversed(reversed_frames))
        return made


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
    # Off the CPU: asleep, in a blocking call or a lock wait (the row's thread, despite the name).
    main_thread_waiting: bool = False
    # A thread other than the main one at that moment: its time is the moment's, and the
    # readings are the main sample's before it (None here).
    other_thread: bool = False


class SampleColumns(Sequence[Sample]):
    """A profile's samples held as one list per field rather than one object per sample: a full
    ring is 100,000 samples, and the saved document and the summaries read whole fields. A
    Sample is made when one is asked for. `stack_ids` holds each sample's path in `paths`."""

    __slots__ = (
        "cpu_percent",
        "main_thread_waiting",
        "other_thread",
        "paths",
        "rss_bytes",
        "stack_ids",
        "timestamp_ms",
        "weight_us",
    )

    def __init__(
        self,
        *,
        timestamp_ms: Sequence[int],
        cpu_percent: Sequence[float | None],
        rss_bytes: Sequence[int | None],
        paths: CallPaths,
        stack_ids: Sequence[int],
        weight_us: Sequence[int],
        main_thread_waiting: Sequence[bool],
        other_thread: Sequence[bool] | None = None,
    ) -> None:
        if other_thread is None:
            other_thread = [False] * len(stack_ids)
        lengths = {len(timestamp_ms), len(cpu_percent), len(rss_bytes), len(stack_ids), len(weight_us)}
        if len(lengths | {len(main_thread_waiting), len(other_thread)}) != 1:
            raise ValueError("sample columns of different lengths")
        self.timestamp_ms = timestamp_ms
        self.cpu_percent = cpu_percent
        self.rss_bytes = rss_bytes
        self.paths = paths
        self.stack_ids = stack_ids
        self.weight_us = weight_us
        self.main_thread_waiting = main_thread_waiting
        self.other_thread = other_thread

    @classmethod
    def from_samples(cls, samples: Iterable[Sample]) -> SampleColumns:
        listed = list(samples)
        paths = CallPaths()
        # Samples of one stack usually share its tuple: numbered once per tuple.
        path_of_tuple: dict[int, int] = {}
        stack_ids = []
        for sample in listed:
            found = path_of_tuple.get(id(sample.stack))
            if found is None:
                found = path_of_tuple[id(sample.stack)] = paths.number(sample.stack)
            stack_ids.append(found)
        return cls(
            timestamp_ms=[s.timestamp_ms for s in listed],
            cpu_percent=[s.cpu_percent for s in listed],
            rss_bytes=[s.rss_bytes for s in listed],
            paths=paths,
            stack_ids=stack_ids,
            weight_us=[s.weight_us for s in listed],
            main_thread_waiting=[s.main_thread_waiting for s in listed],
            other_thread=[s.other_thread for s in listed],
        )

    def __len__(self) -> int:
        return len(self.stack_ids)

    @overload
    def __getitem__(self, index: int) -> Sample: ...

    @overload
    def __getitem__(self, index: slice) -> SampleColumns: ...

    def __getitem__(self, index: int | slice) -> Sample | SampleColumns:
        if isinstance(index, slice):
            return self._with(lambda column: column[index])
        return Sample(
            self.timestamp_ms[index],
            self.cpu_percent[index],
            self.rss_bytes[index],
            self.paths.stack(self.stack_ids[index]),
            self.weight_us[index],
            self.main_thread_waiting[index],
            self.other_thread[index],
        )

    def where(self, keep: Sequence[bool]) -> SampleColumns:
        """The samples for which `keep` holds True, in order."""
        return self._with(lambda column: list(itertools.compress(column, keep)))

    def _with(self, select: Any) -> SampleColumns:
        return SampleColumns(
            timestamp_ms=select(self.timestamp_ms),
            cpu_percent=select(self.cpu_percent),
            rss_bytes=select(self.rss_bytes),
            paths=self.paths,
            stack_ids=select(self.stack_ids),
            weight_us=select(self.weight_us),
            main_thread_waiting=select(self.main_thread_waiting),
            other_thread=select(self.other_thread),
        )

    def __iter__(self) -> Iterator[Sample]:
        fields = zip(self.timestamp_ms, self.cpu_percent, self.rss_bytes, self.sample_stacks(), self.weight_us)
        flags = zip(self.main_thread_waiting, self.other_thread)
        for (timestamp_ms, cpu, rss, stack, weight_us), (waiting, other) in zip(fields, flags):
            yield Sample(timestamp_ms, cpu, rss, stack, weight_us, waiting, other)

    def sample_stacks(self) -> Iterator[Stack | None]:
        """Each sample's stack, oldest first, without making the samples."""
        return map(self.paths.stack, self.stack_ids)

    def counted_weights_us(self, default_weight_us: int) -> list[int]:
        """The time each sample counts for in the stacks' times (a weight of 0 counting as
        `default_weight_us`). Another thread's waiting counts for nothing, as idle threads' do by
        default in profilers that sample every thread. The main thread's waiting counts only for
        the part of its time in which no other thread or process worked: that time is already
        theirs, and a program that waits on its workers would otherwise lead with the wait."""
        weights_us = [weight_us or default_weight_us for weight_us in self.weight_us]
        if not any(self.other_thread):
            return weights_us
        rows = list(zip(self.timestamp_ms, weights_us, self.main_thread_waiting, self.other_thread))
        worked = _union(
            [
                (end_ms * 1000 - weight_us, end_ms * 1000)
                for end_ms, weight_us, waiting, other in rows
                if other and not waiting
            ]
        )
        return [
            (0 if other else weight_us - _overlap_us(worked, end_ms * 1000 - weight_us, end_ms * 1000))
            if waiting
            else weight_us
            for end_ms, weight_us, waiting, other in rows
        ]

    def path_totals(self, default_weight_us: int) -> dict[int, tuple[int, int]]:
        """Per path sampled (NO_PATH included): its samples' counted time in microseconds (see
        `counted_weights_us`) and the number of samples that counted."""
        times_us: dict[int, int] = {}
        counts: Counter[int] = Counter()
        for stack_id, weight_us in zip(self.stack_ids, self.counted_weights_us(default_weight_us)):
            if weight_us:
                times_us[stack_id] = times_us.get(stack_id, 0) + weight_us
                counts[stack_id] += 1
        return {path: (time_us, counts[path]) for path, time_us in times_us.items()}

    def stack_totals(self, default_weight_us: int) -> list[tuple[Stack, int, int]]:
        """Each distinct sampled stack with its samples' time in microseconds and their number;
        samples without a stack left out."""
        totals = self.path_totals(default_weight_us)
        return [
            (stack, time_us, count) for path, (time_us, count) in totals.items() if (stack := self.paths.stack(path))
        ]

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Sequence) or isinstance(other, (str, bytes)):
            return NotImplemented
        return len(self) == len(other) and all(mine == theirs for mine, theirs in zip(self, other))

    def __hash__(self) -> int:
        return hash(tuple(self))

    def __repr__(self) -> str:
        return f"SampleColumns({list(self)!r})"


def _union(spans_us: list[tuple[int, int]]) -> list[tuple[int, int]]:
    """`spans_us` (start, end) as the fewest disjoint spans, in order."""
    merged: list[tuple[int, int]] = []
    for start_us, end_us in sorted(spans_us):
        if merged and start_us <= merged[-1][1]:
            merged[-1] = (merged[-1][0], max(merged[-1][1], end_us))
        else:
            merged.append((start_us, end_us))
    return merged


def _overlap_us(spans_us: list[tuple[int, int]], start_us: int, end_us: int) -> int:
    """How much of start…end the disjoint, ordered `spans_us` cover."""
    covered_us = 0
    for span_start_us, span_end_us in spans_us[max(0, bisect.bisect_right(spans_us, (start_us,)) - 1) :]:
        if span_start_us >= end_us:
            break
        covered_us += max(0, min(end_us, span_end_us) - max(start_us, span_start_us))
    return covered_us
