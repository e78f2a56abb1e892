"""`kulvo.profile`: profile a block of code or every call of a function."""

from __future__ import annotations

import functools
import os
import platform
import sys
import time
from collections.abc import Callable
from datetime import datetime, timezone
from types import FrameType, TracebackType
from typing import Any, TypeVar, overload

from kulvo._core import PySampler, __version__
from kulvo.core_result import StackRoot, profile_from_core
from kulvo.model import Profile, RunMetadata
from kulvo.settings import DEFAULT_INTERVAL_MS, DEFAULT_TOP_N, validate_settings
from kulvo.watcher import MemoryWatcher

F = TypeVar("F", bound=Callable[..., Any])


def current_rss_bytes() -> int | None:
    """The resident set size in use now (Linux), or None where it cannot be read."""
    try:
        with open("/proc/self/statm", encoding="ascii") as statm:
            resident_pages = int(statm.read().split()[1])
        return resident_pages * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):
        return None


class Recording:
    """One run of the sampler (and, with memory=True, the memory watcher).

    `root` marks where the profiled code starts on the stacks. The frames outside it sit on
    every stack and so lead the core's ranking: the core is asked for `outside_frames` more
    hot paths, and those frames are then cut away (see `profile_from_core`).
    """

    def __init__(
        self,
        *,
        interval_ms: int,
        top_n: int,
        memory: bool,
        argv: list[str] | None = None,
        root: StackRoot | None = None,
        outside_frames: int = 0,
    ) -> None:
        validate_settings(interval_ms, top_n)
        self._interval_ms = interval_ms
        self._top_n = top_n
        self._memory = memory
        self._argv = list(sys.argv if argv is None else argv)
        self._root = root
        # A few more for kulvo's own frames on the way in and out.
        self._sampler = PySampler(interval_ms=interval_ms, top_n=top_n + outside_frames + 8)
        self._watcher: MemoryWatcher | None = None
        self._start_time = ""
        self._rss_at_start_bytes: int | None = None

    def start(self) -> None:
        self._start_time = datetime.now(timezone.utc).isoformat(timespec="milliseconds")
        self._rss_at_start_bytes = current_rss_bytes()
        # The watcher is ready before the sampler starts, so that its set-up shows in no sample.
        # Until then the spike flag stays down and the watcher has nothing to do.
        if self._memory:
            self._watcher = MemoryWatcher(self._sampler)
            self._watcher.begin_tracing()
            self._watcher.start_polling()
        # Time zero for the memory snapshots. The sampler's own origin is when its thread
        # starts, a fraction of a millisecond after this.
        origin_s = time.monotonic()
        if self._watcher is not None:
            self._watcher.set_origin(origin_s)
        self._sampler.start()

    def stop(self) -> Profile:
        # The watcher goes first: the flag cannot be read once the sampler has stopped.
        snapshots = self._watcher.stop_polling() if self._watcher is not None else []
        try:
            result = self._sampler.stop()
        finally:
            if self._watcher is not None:
                self._watcher.end_tracing()
        metadata = RunMetadata(
            kulvo_version=__version__,
            python_version=platform.python_version(),
            argv=tuple(self._argv),
            start_time=self._start_time,
            interval_ms=self._interval_ms,
            top_n=self._top_n,
            memory=self._memory,
            rss_at_start_bytes=self._rss_at_start_bytes,
        )
        return profile_from_core(result, metadata, snapshots, root=self._root, top_n=self._top_n)


def stack_depth(frame: FrameType | None) -> int:
    """The number of frames from `frame` outwards."""
    depth = 0
    while frame is not None:
        depth += 1
        frame = frame.f_back
    return depth


class Profiler:
    """What `kulvo.profile()` returns: a context manager and a function decorator.

    As a context manager, the profile of the block is `profiler.profile` once the block
    has ended (also when it raised). As a decorator, every call is profiled on its own and
    the latest call's profile is the wrapper's `last_profile`; with `output`, each profile
    is also saved there.
    """

    def __init__(
        self,
        interval_ms: int = DEFAULT_INTERVAL_MS,
        top_n: int = DEFAULT_TOP_N,
        memory: bool = False,
        output: str | None = None,
        format: str | None = None,
    ) -> None:
        validate_settings(interval_ms, top_n)
        self.interval_ms = interval_ms
        self.top_n = top_n
        self.memory = memory
        self.output = output
        self.format = format
        self._recording: Recording | None = None
        self._profile: Profile | None = None

    @property
    def profile(self) -> Profile:
        if self._profile is None:
            raise RuntimeError("the profile is available once the profiled block has ended")
        return self._profile

    def __enter__(self) -> Profiler:
        # The block runs in the caller's frame: reports start there, not at its callers.
        caller = sys._getframe(1)
        self._start(StackRoot(caller.f_code.co_filename, caller.f_code.co_name, keep=True), caller)
        return self

    def _start(self, root: StackRoot, innermost_outside: FrameType) -> None:
        if self._recording is not None:
            raise RuntimeError("this profiler is already running")
        self._profile = None
        self._recording = Recording(
            interval_ms=self.interval_ms,
            top_n=self.top_n,
            memory=self.memory,
            root=root,
            outside_frames=stack_depth(innermost_outside),
        )
        self._recording.start()

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        recording, self._recording = self._recording, None
        if recording is None:
            return
        self._profile = recording.stop()
        if self.output is not None:
            self._profile.save(self.output, self.format)

    def __call__(self, function: F) -> F:
        settings = dict(
            interval_ms=self.interval_ms, top_n=self.top_n, memory=self.memory, output=self.output, format=self.format
        )
        depth = 0

        @functools.wraps(function)
        def profiled_call(*args: Any, **kwargs: Any) -> Any:
            nonlocal depth
            if depth:  # a recursive call is part of the outer call's profile
                return function(*args, **kwargs)
            profiler = Profiler(**settings)  # type: ignore[arg-type]
            depth += 1
            try:
                # Reports start at the decorated function: this frame and its callers are cut.
                profiler._start(_DECORATOR_ROOT, sys._getframe())
                try:
                    return function(*args, **kwargs)
                finally:
                    profiler.__exit__(None, None, None)
            finally:
                depth -= 1
                if profiler._profile is not None:
                    profiled_call.last_profile = profiler._profile  # type: ignore[attr-defined]

        profiled_call.last_profile = None  # type: ignore[attr-defined]
        return profiled_call  # type: ignore[return-value]


_DECORATOR_ROOT = StackRoot(Profiler.__call__.__code__.co_filename, "profiled_call")


@overload
def profile(interval_ms: F) -> F: ...


@overload
def profile(
    interval_ms: int = DEFAULT_INTERVAL_MS,
    top_n: int = DEFAULT_TOP_N,
    memory: bool = False,
    *,
    output: str | None = None,
    format: str | None = None,
) -> Profiler: ...


def profile(
    interval_ms: Any = DEFAULT_INTERVAL_MS,
    top_n: int = DEFAULT_TOP_N,
    memory: bool = False,
    *,
    output: str | None = None,
    format: str | None = None,
) -> Any:
    """Profiles a block (`with kulvo.profile() as p:`) or a function (`@kulvo.profile()`).

    `interval_ms` is the sampling interval, `top_n` the number of hot paths kept, `memory`
    turns on tracemalloc snapshots at memory spikes. `output` saves each profile to that
    file, in `format` or the one its name implies. `@kulvo.profile` without parentheses
    decorates with the defaults.
    """
    if callable(interval_ms):
        return Profiler()(interval_ms)
    return Profiler(interval_ms=interval_ms, top_n=top_n, memory=memory, output=output, format=format)
