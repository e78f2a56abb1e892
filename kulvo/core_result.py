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
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Literal

from kulvo.model import Frame, HotPath, MemorySnapshot, Profile, RunMetadata, SpikeEvent
from kulvo.samples import NO_PATH, THREAD_ROOT_FILE, CallPaths, SampleColumns
from kulvo.stack_cut import ProfilerFrames, StackRoot, ThreadRoots

_NO_OWN_FRAMES = ProfilerFrames()


def _array(result: Mapping[str, Any], key: str, code: Literal["i", "I", "Q", "B"]) -> memoryview[int]:
    """One of the core's packed per-record arrays, read in place."""
    return memoryview(result[key]).cast(code)


# How far down a stack the cut has got: (root frames seen, inside the profiled code, the path
# of the frames kept, kulvo busy inside, kulvo busy anywhere on the stack).
_CutState = tuple[int, bool, int, bool, bool]


class _CutTree:
    """The core's call tree with each stack cut to the profiled code, node by node: a node's
    cut follows from its parent's and its own frame, each node is cut once, and a stack is
    never walked whole. The kept frames go into `paths`.

    Cut with a `root`: the frames outside it (up to and, unless kept, including its
    `occurrence`-th frame) and the frames of the profiler's `own` files are left out. Without
    the root on it, a stack is wholly outside the profiled code: kulvo's set-up or teardown,
    or other code running while a profiled generator or coroutine was suspended; unless it is
    another stack altogether (see `adopt`).
    """

    def __init__(
        self, result: Mapping[str, Any], root: StackRoot | None, own: ProfilerFrames, with_stacks: bool
    ) -> None:
        names: Sequence[str] = result["strings"]
        self._frames = [
            Frame(names[file], names[function], line)
            for file, function, line in zip(
                _array(result, "frame_files", "i"),
                _array(result, "frame_functions", "i"),
                _array(result, "frame_lines", "i"),
            )
        ]
        # What the cut needs of each core frame, looked up once per frame rather than per node.
        # Without a root every stack is inside from its outermost frame and kept whole.
        self._is_root = [root is not None and (f.file, f.function) == (root.file, root.function) for f in self._frames]
        self._is_own = [f.file in own.files for f in self._frames]
        self._is_host = (
            [f.file.startswith(own.host_directories) for f in self._frames] if own.host_directories else None
        )
        self._kept = [root is None or not own_file for own_file in self._is_own]
        self._is_leading = [root is not None and f.file in own.leading_files for f in self._frames]
        self._is_busy = [root is not None and (f.file, f.function) in own.busy for f in self._frames]
        self._occurrence = 0 if root is None else root.occurrence
        self._keep_root = root is not None and root.keep
        self._frame_ids = [NO_PATH] * len(self._frames)  # per core frame: its number in `paths`
        self._parents = _array(result, "stack_parents", "I")
        self._node_frames = _array(result, "stack_frames", "I")
        self._root = root
        self._with_stacks = with_stacks
        self._states: dict[int, _CutState] = {0: (0, root is None, NO_PATH, False, False)}  # node 0: no stack
        self._outermost_frames: dict[int, int] = {}
        self.paths = CallPaths()

    def outermost(self, node: int) -> int:
        """The core frame at the outer end of the node's stack."""
        chain = []
        while node not in self._outermost_frames:
            chain.append(node)
            parent = self._parents[node]
            if parent == 0:
                self._outermost_frames[node] = self._node_frames[node]
                break
            node = parent
        outermost = self._outermost_frames[node]
        for visited in chain:
            self._outermost_frames[visited] = outermost
        return outermost

    def meets_root(self, node: int) -> bool:
        """Whether the root's function is on the node's stack, at any depth of a recursion."""
        return self._root is None or self._state(node)[0] > 0

    def adopt(self, node: int, outermost_inside: set[int]) -> int:
        """The path of a stack without the root that is still the profiled code's own: a
        greenlet's (greenlet, gevent) that the profiled code switched to has a chain of frames
        of its own, whose outermost frame is that of no stack with the root's function on it,
        and no frame of kulvo's. NO_PATH for any other."""
        frames = []
        while node != 0:
            frames.append(self._node_frames[node])
            node = self._parents[node]
        if not frames or frames[-1] in outermost_inside or any(self._is_own[f] or self._is_busy[f] for f in frames):
            return NO_PATH
        path = NO_PATH
        for core_frame in reversed(frames):
            frame_id = self._frame_ids[core_frame]
            if frame_id == NO_PATH:
                frame_id = self._number_frame(core_frame)
            path = self.paths.child(path, frame_id)
        return path

    def thread_path(self, node: int, roots: ThreadRoots) -> int | None:
        """The path of another thread's stack, whose outermost core frame names the thread: that
        frame as the thread's root, the frames of kulvo's own files left out. None for a thread of
        kulvo's own, or one running the host's code."""
        frames = []
        while node != 0:
            frames.append(self._node_frames[node])
            node = self._parents[node]
        if not frames or self._frames[frames[-1]].file != THREAD_ROOT_FILE:
            return None
        if self._is_host is not None and any(self._is_host[frame] for frame in frames):
            return None
        marker = self._frames[frames.pop()]
        name = roots.name(int(marker.function), marker.line)
        if name.startswith("kulvo-"):
            return None
        path = self.paths.child(NO_PATH, self.paths.frames.number(THREAD_ROOT_FILE, name, marker.line))
        for core_frame in reversed(frames):
            if self._is_own[core_frame]:
                continue
            frame_id = self._frame_ids[core_frame]
            if frame_id == NO_PATH:
                frame_id = self._number_frame(core_frame)
            path = self.paths.child(path, frame_id)
        return path

    def cut(self, node: int) -> tuple[int, bool]:
        """The path of the node's stack as cut (NO_PATH for none), and whether kulvo was busy
        starting or stopping a profiler when it was sampled."""
        if not self._with_stacks or node == 0:
            return NO_PATH, False
        _, inside, path, busy_inside, busy_anywhere = self._state(node)
        if self._root is None or inside:
            return path, busy_inside
        return NO_PATH, busy_anywhere or self._is_own[self._node_frames[node]]

    def _state(self, node: int) -> _CutState:
        states = self._states
        unseen = []
        while node not in states:
            unseen.append(node)
            node = self._parents[node]
        seen, inside, path, busy_inside, busy_anywhere = states[node]
        # Read once here: this loop runs once per node of the tree.
        node_frames, is_busy, is_root, kept = self._node_frames, self._is_busy, self._is_root, self._kept
        is_leading = self._is_leading
        frame_ids, child = self._frame_ids, self.paths.child
        for node in reversed(unseen):
            core_frame = node_frames[node]
            busy = is_busy[core_frame]
            busy_anywhere = busy_anywhere or busy
            if not inside and is_root[core_frame]:
                seen += 1
                inside = seen == self._occurrence
                if not (inside and self._keep_root):
                    states[node] = (seen, inside, path, busy_inside, busy_anywhere)
                    continue
            if inside:
                busy_inside = busy_inside or busy
                if kept[core_frame] and not (path == NO_PATH and is_leading[core_frame]):
                    frame_id = frame_ids[core_frame]
                    if frame_id == NO_PATH:
                        frame_id = self._number_frame(core_frame)
                    path = child(path, frame_id)
            states[node] = (seen, inside, path, busy_inside, busy_anywhere)
        return seen, inside, path, busy_inside, busy_anywhere

    def _number_frame(self, core_frame: int) -> int:
        frame = self._frames[core_frame]
        self._frame_ids[core_frame] = self.paths.frames.number(frame.file, frame.function, frame.line)
        return self._frame_ids[core_frame]


def rank_hot_paths(paths: CallPaths, totals: Mapping[int, tuple[int, int]], top_n: int | None = None) -> list[HotPath]:
    """The lines on which the most sampled time was spent, from the (time, samples) of each
    sampled path: a line counts once per sample, however often it recurs on the stack; ties go
    by file, function and line. `count` is the number of samples, `percent` the share of the
    sampled time."""
    times: Counter[int] = Counter()  # per frame number
    counts: Counter[int] = Counter()
    total = 0
    parents, frame_ids = paths.parents, paths.frame_ids
    for path, (time_us, samples) in totals.items():
        if path == NO_PATH:
            continue
        total += time_us
        on_stack = set()
        while path != NO_PATH:
            on_stack.add(frame_ids[path])
            path = parents[path]
        for frame_id in on_stack:
            times[frame_id] += time_us
            counts[frame_id] += samples
    frames = paths.frames.frames
    ranked = sorted(times, key=lambda frame_id: (-times[frame_id], *_frame_order(frames[frame_id])))
    return [
        HotPath(
            frames[frame_id].file,
            frames[frame_id].function,
            frames[frame_id].line,
            counts[frame_id],
            100.0 * times[frame_id] / total if total else 0.0,
        )
        for frame_id in ranked[:top_n]
    ]


def _frame_order(frame: Frame) -> tuple[str, str, int]:
    return frame.file, frame.function, frame.line


def _sample_columns(
    result: Mapping[str, Any], tree: _CutTree, with_root: bool, roots: ThreadRoots | None
) -> tuple[SampleColumns, int]:
    """The samples as columns, without the ones taken while kulvo was busy. Nothing here is
    made per sample but list entries: a full ring is 100,000 samples."""
    nodes = _array(result, "stack", "I")
    path_of_node: dict[int, int] = {}
    busy_nodes = False
    outside: list[int] = []
    for node in set(nodes):
        path, kulvo_busy = tree.cut(node)
        path_of_node[node] = _LEFT_OUT if kulvo_busy else path
        busy_nodes = busy_nodes or kulvo_busy
        if path == NO_PATH and not kulvo_busy and node != 0:
            outside.append(node)
    if outside and with_root:
        outermost_inside = {tree.outermost(node) for node in path_of_node if node != 0 and tree.meets_root(node)}
        for node in outside:
            path_of_node[node] = tree.adopt(node, outermost_inside)
    stack_ids = list(map(path_of_node.__getitem__, nodes))
    kept = [stack_id != _LEFT_OUT for stack_id in stack_ids] if busy_nodes else None

    def column(values: Iterable[Any]) -> list[Any]:
        return list(values) if kept is None else list(itertools.compress(values, kept))

    columns = SampleColumns(
        timestamp_ms=column(_array(result, "timestamp_ms", "Q")),
        cpu_percent=[
            cpu if math.isfinite(cpu) and cpu >= 0 else None
            for cpu in column(memoryview(result["cpu_percent"]).cast("d"))
        ],
        rss_bytes=[rss if rss > 0 else None for rss in column(_array(result, "rss_bytes", "Q"))],
        paths=tree.paths,
        stack_ids=column(stack_ids),
        weight_us=column(_array(result, "weight_us", "Q")),
        main_thread_waiting=[bool(waiting) for waiting in column(_array(result, "main_thread_waiting", "B"))],
    )
    if roots is None or "other_threads" not in result:
        return columns, len(columns)
    return _with_other_threads(columns, column(_array(result, "other_threads", "I")), result, tree, roots), len(columns)


def _with_other_threads(
    columns: SampleColumns, sets: Sequence[int], result: Mapping[str, Any], tree: _CutTree, roots: ThreadRoots
) -> SampleColumns:
    """The main thread's samples, each followed by a row for every other thread at that moment
    (its time is the sample's, `main_thread_waiting` says whether it waited; no CPU or memory
    reading of its own). With other threads in the profile, every stack starts at its thread's
    root."""
    starts = _array(result, "thread_set_starts", "I")
    thread_stacks = _array(result, "thread_stacks", "I")
    waiting = _array(result, "thread_waiting", "B")
    paths = tree.paths
    node_paths: dict[int, int | None] = {}
    set_paths: dict[int, list[tuple[int, bool]]] = {0: []}

    def thread_paths(set_id: int) -> list[tuple[int, bool]]:
        found = set_paths.get(set_id)
        if found is None:
            found = set_paths[set_id] = []
            for entry in range(starts[set_id], starts[set_id + 1]):
                node = thread_stacks[entry]
                if node not in node_paths:
                    node_paths[node] = tree.thread_path(node, roots)
                path = node_paths[node]
                if path is not None:
                    found.append((path, bool(waiting[entry])))
        return found

    rows_of_sample = [thread_paths(set_id) for set_id in sets]
    if not any(rows_of_sample):
        return columns
    main_root = paths.child(NO_PATH, paths.frames.number(THREAD_ROOT_FILE, roots.name(*roots.main), roots.main[1]))
    rooted: dict[int, int] = {NO_PATH: NO_PATH}

    def rooted_path(path: int) -> int:
        chain = []
        while path not in rooted:
            chain.append(path)
            path = paths.parents[path]
        for unrooted in reversed(chain):
            parent = paths.parents[unrooted]
            rooted[unrooted] = paths.child(
                main_root if parent == NO_PATH else rooted[parent], paths.frame_ids[unrooted]
            )
        return rooted[chain[0]] if chain else rooted[path]

    timestamps, cpu, rss, stack_ids, weights, waits, others = [], [], [], [], [], [], []
    for i, thread_rows in enumerate(rows_of_sample):
        timestamps.append(columns.timestamp_ms[i])
        cpu.append(columns.cpu_percent[i])
        rss.append(columns.rss_bytes[i])
        stack_id = columns.stack_ids[i]
        stack_ids.append(stack_id if stack_id < 0 else rooted_path(stack_id))
        weights.append(columns.weight_us[i])
        waits.append(columns.main_thread_waiting[i])
        others.append(False)
        for path, thread_waiting in thread_rows:
            timestamps.append(columns.timestamp_ms[i])
            cpu.append(None)
            rss.append(None)
            stack_ids.append(path)
            weights.append(columns.weight_us[i])
            waits.append(thread_waiting)
            others.append(True)
    return SampleColumns(
        timestamp_ms=timestamps,
        cpu_percent=cpu,
        rss_bytes=rss,
        paths=paths,
        stack_ids=stack_ids,
        weight_us=weights,
        main_thread_waiting=waits,
        other_thread=others,
    )


_LEFT_OUT = NO_PATH - 1  # a sample kulvo took of itself


def profile_from_core(
    result: Mapping[str, Any],
    metadata: RunMetadata,
    memory_snapshots: Iterable[MemorySnapshot] = (),
    *,
    root: StackRoot | None = None,
    own: ProfilerFrames = _NO_OWN_FRAMES,
    top_n: int | None = None,
    wall_time_ms: int | None = None,
    with_stacks: bool = True,
    threads: ThreadRoots | None = None,
    watcher_bytes: int = 0,
) -> Profile:
    """Builds the typed profile from what `kulvo._native.Sampler.stop()` returns.

    With a `root`, the frames outside it (the command line's, or the caller's of a profiled
    block) and the profiler's `own` frames are cut from the stacks, the samples kulvo took of
    itself starting or stopping are dropped, and the hot paths are ranked again over what is
    left, cut to `top_n`. `wall_time_ms` replaces the core's figure (which ends when the sampler
    thread does) with the package's own measure of the profiled code. Without `with_stacks`
    the stacks are dropped: they are not those of the profiled code. `watcher_bytes`, what the
    memory watcher held, counts as kulvo's own memory with the core's.
    """
    tree = _CutTree(result, root, own, with_stacks)
    samples, moments = _sample_columns(result, tree, root is not None and with_stacks, threads if with_stacks else None)
    events = [
        SpikeEvent(
            kind=raw["kind"],
            start_ms=int(raw["start_ms"]),
            end_ms=int(raw["end_ms"]),
            peak_value=float(raw["peak_value"]),
            threshold=float(raw["threshold"]),
            peak_stack=tree.paths.stack(tree.cut(int(raw["peak_stack"]))[0]),
        )
        for raw in result["spike_events"]
    ]

    profile = Profile(
        metadata=dataclasses.replace(metadata, kulvo_bytes=int(result["kulvo_bytes"]) + watcher_bytes),
        sample_count=moments,
        wall_time_ms=int(result["wall_time_ms"]) if wall_time_ms is None else wall_time_ms,
        samples=samples,
        spike_events=tuple(events),
        hot_paths=(),
        memory_snapshots=tuple(memory_snapshots),
    )
    # Ranked here rather than by the core: by time, on the stacks as cut, a line once per sample.
    totals = samples.path_totals(metadata.interval_ms * 1000)
    return dataclasses.replace(profile, hot_paths=tuple(rank_hot_paths(tree.paths, totals, top_n)))
