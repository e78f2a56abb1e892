"""What is cut from the sampled stacks: where the profiled code starts, the profiler's own frames,
and how the sampled threads are named. Tuples rather than dataclasses: `kulvo run` makes these
before the program starts, and importing `dataclasses` (with `inspect`) would delay it."""

from __future__ import annotations

from collections.abc import Mapping
from typing import NamedTuple


class StackRoot(NamedTuple):
    """Where the profiled code starts on every stack: the `occurrence`-th frame of this (file,
    function) counted from the outside, kept or not. Frames outside it belong to whoever started
    the profiler; profiles nested in a recursion share (file, function) and differ in occurrence."""

    file: str
    function: str
    keep: bool = False
    occurrence: int = 1


class ProfilerFrames(NamedTuple):
    """How the profiler's own frames look on the stacks: every frame of `files` is left out of
    stacks and hot paths. A sample is left out altogether when it was taken inside one of
    `busy` (the profiler starting or stopping), or outside the root with kulvo's own code
    running (setting up or tearing down the run)."""

    files: frozenset[str] = frozenset()
    busy: frozenset[tuple[str, str]] = frozenset()
    # Frames of these files are left out only between the root and the first frame of another
    # file: a test runner's hooks around a test, but not the runner's code the test calls.
    leading_files: frozenset[str] = frozenset()
    # Where the code that hosts the profiled code lives (a notebook's kernel): another thread
    # running code from one of these directories is the host's, and left out.
    host_directories: tuple[str, ...] = ()


class ThreadRoots(NamedTuple):
    """How the sampled threads are named: by (ident, kernel id), or (ident, 0) where the kernel id
    is not known; and the main thread's (ident, kernel id)."""

    names: Mapping[tuple[int, int], str]
    main: tuple[int, int]

    def name(self, ident: int, native_id: int) -> str:
        found = self.names.get((ident, native_id)) or self.names.get((ident, 0))
        return found if found is not None else f"thread {native_id or ident}"
