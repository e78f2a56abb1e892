"""What is cut from the sampled stacks: where the profiled code starts, the profiler's own frames,
and how the sampled threads are named. Plain classes: `kulvo run` makes these before the program
starts, and importing `dataclasses` or `typing` for them would delay it."""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Mapping


class StackRoot:
    """Where the profiled code starts on every stack: the `occurrence`-th frame of this (file,
    function) counted from the outside, kept or not. Frames outside it belong to whoever started
    the profiler; profiles nested in a recursion share (file, function) and differ in occurrence."""

    __slots__ = ("file", "function", "keep", "occurrence")

    def __init__(self, file: str, function: str, keep: bool = False, occurrence: int = 1) -> None:
        self.file = file
        self.function = function
        self.keep = keep
        self.occurrence = occurrence

    def __repr__(self) -> str:
        return f"StackRoot({self.file!r}, {self.function!r}, keep={self.keep}, occurrence={self.occurrence})"


class ProfilerFrames:
    """How the profiler's own frames look on the stacks: every frame of `files` is left out of
    stacks and hot paths. A sample is left out altogether when it was taken inside one of
    `busy` (the profiler starting or stopping), or outside the root with kulvo's own code
    running (setting up or tearing down the run).

    `leading_files`: frames of these files are left out only between the root and the first
    frame of another file (a test runner's hooks around a test, but not the runner's code the
    test calls). `host_directories`: where the code that hosts the profiled code lives (a
    notebook's kernel); another thread running code from one of them is the host's, and left out.
    """

    __slots__ = ("busy", "files", "host_directories", "leading_files")

    def __init__(
        self,
        files: frozenset[str] = frozenset(),
        busy: frozenset[tuple[str, str]] = frozenset(),
        leading_files: frozenset[str] = frozenset(),
        host_directories: tuple[str, ...] = (),
    ) -> None:
        self.files = files
        self.busy = busy
        self.leading_files = leading_files
        self.host_directories = host_directories

    def replace(
        self,
        *,
        files: frozenset[str] | None = None,
        host_directories: tuple[str, ...] | None = None,
    ) -> ProfilerFrames:
        """A copy with these fields changed."""
        return ProfilerFrames(
            self.files if files is None else files,
            self.busy,
            self.leading_files,
            self.host_directories if host_directories is None else host_directories,
        )


class ThreadRoots:
    """How the sampled threads are named: by (ident, kernel id), or (ident, 0) where the kernel id
    is not known; and the main thread's (ident, kernel id)."""

    __slots__ = ("main", "names")

    def __init__(self, names: Mapping[tuple[int, int], str], main: tuple[int, int]) -> None:
        self.names = names
        self.main = main

    def name(self, ident: int, native_id: int) -> str:
        found = self.names.get((ident, native_id)) or self.names.get((ident, 0))
        return found if found is not None else f"thread {native_id or ident}"
