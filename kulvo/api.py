"""`kulvo.profile`: profile a block of code or every call of a function."""

from __future__ import annotations

import functools
import os
import sys
import threading
import time
import warnings
from collections.abc import Callable, Iterator
from types import FrameType, TracebackType

from kulvo import sampling
from kulvo._core import __version__
from kulvo.sampling import Kick, make_sampler, pacing_notes, reused_copies_note, take_kick, unheld_notes
from kulvo.settings import DEFAULT_INTERVAL_MS, DEFAULT_TOP_N, validate_settings
from kulvo.stack_cut import ProfilerFrames, StackRoot, ThreadRoots
from kulvo.threads import DEFAULT_THREADS, ThreadWatch, validate_threads
from kulvo.unicode_text import valid_text

# Not `typing`'s: importing it would cost `kulvo run` start-up, and type checkers take any such name.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, TypeVar, overload

    from kulvo.model import Profile
    from kulvo.watcher import MemoryWatcher

    F = TypeVar("F", bound=Callable[..., Any])
else:

    def overload(function: object) -> object:
        """typing's, which only marks the signatures below for type checkers."""
        return function


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

    `root` marks where the profiled code starts on the stacks; the frames outside it, and
    kulvo's own, are cut away (see `profile_from_core`). Without `with_stacks` the samples
    keep their readings but no stacks.
    """

    def __init__(
        self,
        *,
        interval_ms: int,
        top_n: int,
        memory: bool,
        argv: list[str] | None = None,
        root: StackRoot | None = None,
        own: ProfilerFrames | None = None,
        with_stacks: bool = True,
        threads: str = DEFAULT_THREADS,
    ) -> None:
        validate_settings(interval_ms, top_n)
        validate_threads(threads)
        self._interval_ms = interval_ms
        self._top_n = top_n
        self._memory = memory
        # Arguments that were not UTF-8 show their bytes escaped, so that every report can be written.
        self._argv = [valid_text(arg) for arg in (sys.argv if argv is None else argv)]
        self._root = root
        self._own = PROFILER_FRAMES if own is None else own
        self._with_stacks = with_stacks
        # The signal is taken here, on the thread that will stop the sampler and give it back.
        self._kick: Kick = take_kick() if with_stacks else Kick()
        all_threads = threads == "all" and self._kick.stacks_from_memory
        try:
            self._sampler = make_sampler(interval_ms=interval_ms, top_n=top_n, kick=self._kick, all_threads=all_threads)
        except BaseException:
            self._kick.release()  # a bad argument: no run will give it back
            raise
        self._all_threads = all_threads
        self._threads = ThreadWatch()
        self._watcher: MemoryWatcher | None = None
        self._start_epoch_s = 0.0
        self._rss_at_start_bytes: int | None = None
        self._origin_s = 0.0
        self._pid = os.getpid()
        self._extra_notes: list[str] = []

    def _threads_note(self) -> str | None:
        """The stacks are the main thread's only: say so when the program had other threads."""
        count, cpu_s = self._threads.others()
        if self._all_threads or not count:
            return None
        return (
            f"{count} other thread(s) ran, for {cpu_s:.2f} s of CPU in all; only the main thread's stacks are "
            "sampled (--threads all samples every thread)"
        )

    def add_note(self, note: str) -> None:
        """A note for the profile this recording's stop() makes."""
        self._extra_notes.append(note)

    @property
    def in_forked_child(self) -> bool:
        """True in a process forked while recording: the sampler runs in the parent only, and
        the profile is the parent's to report."""
        return os.getpid() != self._pid

    def start(self) -> None:
        self._pid = os.getpid()
        self._start_epoch_s = time.time()
        self._rss_at_start_bytes = current_rss_bytes()
        self._threads.start()
        # The watcher is ready before the sampler starts, so that its set-up shows in no sample.
        # Until then the spike flag stays down and the watcher has nothing to do.
        if self._memory:
            self._watcher = self._begin_watching()
            self._watcher.start_polling()
        # Time zero for the memory snapshots. The sampler's own origin is when its thread
        # starts, a fraction of a millisecond after this.
        self._origin_s = time.monotonic()
        if self._watcher is not None:
            self._watcher.set_origin(self._origin_s)
        self._sampler.start()
        sampling.running(self._sampler)

    def _begin_watching(self) -> MemoryWatcher:
        # Imported only with memory: tracemalloc and the rest.
        from kulvo.sampled_watcher import SampledMemoryWatcher
        from kulvo.watcher import MemoryWatcher

        sampled = SampledMemoryWatcher(self._sampler)
        try:
            sampled.begin_tracing()
            return sampled
        except RuntimeError as error:
            self._extra_notes.append(
                f"memory snapshots come from tracemalloc, which slows the program more: allocations cannot be "
                f"sampled ({error})"
            )
        traced = MemoryWatcher(self._sampler)
        traced.begin_tracing()
        return traced

    def stop(self) -> Profile:
        # The profiled code's own wall time: the core's figure runs until its thread ends, which
        # can be most of an interval later.
        end_s = time.monotonic()
        wall_time_ms = round((end_s - self._origin_s) * 1000)
        if self.in_forked_child:
            raise RuntimeError("a recording cannot be stopped in a process forked while it ran")
        # The watcher goes first: the flag cannot be read once the sampler has stopped.
        snapshots = self._watcher.stop_polling(end_s) if self._watcher is not None else []
        watcher_note = self._watcher.note if self._watcher is not None else None
        try:
            sampling.stopping(self._sampler)
            result = self._sampler.stop()
        finally:
            self._kick.release()
            if self._watcher is not None:
                self._watcher.end_tracing()
            self._threads.stop()
        # Imported once the sampler has stopped: `kulvo run` would pay for them before the program.
        import platform
        from datetime import datetime, timezone

        from kulvo.core_result import profile_from_core
        from kulvo.model import RunMetadata

        metadata = RunMetadata(
            kulvo_version=__version__,
            python_version=platform.python_version(),
            argv=tuple(self._argv),
            start_time=datetime.fromtimestamp(self._start_epoch_s, timezone.utc).isoformat(timespec="milliseconds"),
            interval_ms=self._interval_ms,
            top_n=self._top_n,
            memory=self._memory,
            rss_at_start_bytes=self._rss_at_start_bytes,
            pid=self._pid,
            notes=tuple(
                note
                for note in (
                    self._kick.note,
                    self._kick.stopped_note(),
                    *unheld_notes(self._sampler),
                    reused_copies_note(self._sampler, interval_ms=self._interval_ms),
                    *pacing_notes(self._sampler, interval_ms=self._interval_ms, wall_time_ms=wall_time_ms),
                    self._threads_note(),
                    watcher_note,
                    *self._extra_notes,
                )
                if note
            ),
        )
        return profile_from_core(
            result,
            metadata,
            snapshots,
            root=self._root,
            own=self._own,
            top_n=self._top_n,
            wall_time_ms=wall_time_ms,
            with_stacks=self._with_stacks,
            threads=self._thread_roots(),
            watcher_bytes=self._watcher.kulvo_bytes if self._watcher is not None else 0,
        )

    def _thread_roots(self) -> ThreadRoots | None:
        if not self._all_threads:
            return None
        main = threading.main_thread()
        return ThreadRoots(self._threads.names(), (main.ident or 0, self._threads.main_native_id))


# kulvo's own work while a profile runs: making, starting and stopping a recording, whatever
# these call (a dataclass's generated `__init__`, the standard library). A sample inside one of
# them is left out. The decorator's wrappers are not among them: they call the profiled code.
_BUSY_CODE = (
    Recording.__init__.__code__,
    Recording.start.__code__,
    Recording.stop.__code__,
)
_BUSY_PROFILER_METHODS = ("__enter__", "__exit__", "_start", "begin", "end")

# The profiler's frames on the stacks it samples: the decorator's wrappers are left out, and a
# sample taken while a recording starts or stops is kulvo's time, not the program's.
PROFILER_FRAMES = ProfilerFrames(
    files=frozenset(
        {
            Recording.start.__code__.co_filename,
            sampling.take_kick.__code__.co_filename,
            ThreadWatch.start.__code__.co_filename,
        }
    ),
    busy=frozenset((code.co_filename, code.co_name) for code in _BUSY_CODE)
    | frozenset((Recording.start.__code__.co_filename, name) for name in _BUSY_PROFILER_METHODS),
)


def frames_outwards(frame: FrameType | None) -> Iterator[FrameType]:
    while frame is not None:
        yield frame
        frame = frame.f_back


def root_at(frame: FrameType, *, keep: bool) -> StackRoot:
    """The root that finds `frame` on the sampled stacks, which name frames by file and function
    only: it is the n-th frame of that name counted from the outside."""
    code = frame.f_code
    occurrence = sum(
        1
        for f in frames_outwards(frame)
        if f.f_code.co_name == code.co_name and f.f_code.co_filename == code.co_filename
    )
    return StackRoot(code.co_filename, code.co_name, keep=keep, occurrence=occurrence)


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
        threads: str = DEFAULT_THREADS,
    ) -> None:
        validate_settings(interval_ms, top_n)
        validate_threads(threads)
        self.interval_ms = interval_ms
        self.threads = threads
        self.top_n = top_n
        self.memory = memory
        self.output = output
        self.format = format
        self._recording: Recording | None = None
        self._profile: Profile | None = None
        self._forked_inside = False

    @property
    def profile(self) -> Profile:
        if self._forked_inside:
            raise RuntimeError("this process was forked inside the profiled block: the profile is the parent's")
        if self._profile is None:
            raise RuntimeError("the profile is available once the profiled block has ended")
        return self._profile

    def __enter__(self) -> Profiler:
        # The block runs in the caller's frame: reports start there, not at its callers.
        self._start(root_at(sys._getframe(1), keep=True), warning_stacklevel=3)
        return self

    def _start(self, root: StackRoot, *, warning_stacklevel: int) -> None:
        if self._recording is not None:
            raise RuntimeError("this profiler is already running")
        on_main_thread = threading.current_thread() is threading.main_thread()
        if not on_main_thread:
            warnings.warn(
                "kulvo samples the main thread's stack: a profile started in another thread has "
                "CPU and memory readings but no stacks",
                RuntimeWarning,
                stacklevel=warning_stacklevel,
            )
        self._profile = None
        self._forked_inside = False
        self._recording = Recording(
            interval_ms=self.interval_ms,
            top_n=self.top_n,
            memory=self.memory,
            root=root,
            with_stacks=on_main_thread,
            threads=self.threads,
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
        self._forked_inside = recording.in_forked_child
        if self._forked_inside:  # the parent reports, and writes `output`
            return
        self._profile = recording.stop()
        if self.output is not None:
            self._profile.save(self.output, self.format)

    def __call__(self, function: F) -> F:
        import inspect  # here: `kulvo run` never needs it, and it costs its start-up

        if inspect.isasyncgenfunction(function):
            raise TypeError(
                f"kulvo.profile cannot decorate the async generator {function.__qualname__}; "
                "profile the code that consumes it with `with kulvo.profile():`"
            )
        settings = dict(
            interval_ms=self.interval_ms,
            top_n=self.top_n,
            memory=self.memory,
            output=self.output,
            format=self.format,
            threads=self.threads,
        )
        # The wrapper frames of this function's calls that are running: a call made inside one
        # (recursion) belongs to that call's profile.
        running: set[int] = set()

        def begin(wrapper_frame: FrameType) -> Profiler | None:
            if any(id(frame) in running for frame in frames_outwards(wrapper_frame.f_back)):
                return None
            profiler = Profiler(**settings)  # type: ignore[arg-type]
            # Reports start at the decorated function: the wrapper and its callers are cut.
            profiler._start(root_at(wrapper_frame, keep=False), warning_stacklevel=4)
            running.add(id(wrapper_frame))
            return profiler

        def end(profiler: Profiler | None, wrapper_frame: FrameType) -> None:
            if profiler is None:
                return
            running.discard(id(wrapper_frame))
            try:
                profiler.__exit__(None, None, None)
            finally:
                if profiler._profile is not None:
                    setattr(wrapper, "last_profile", profiler._profile)

        wrapper: Callable[..., Any]
        if inspect.iscoroutinefunction(function):
            # Profiled from the first step to the end, suspensions included.
            async def profiled_coroutine(*args: Any, **kwargs: Any) -> Any:
                frame = sys._getframe()
                profiler = begin(frame)
                try:
                    return await function(*args, **kwargs)
                finally:
                    end(profiler, frame)

            wrapper = profiled_coroutine
        elif inspect.isgeneratorfunction(function):
            # Profiled from the first item to the last, the consumer's time between them included.
            def profiled_generator(*args: Any, **kwargs: Any) -> Any:
                frame = sys._getframe()
                profiler = begin(frame)
                try:
                    return (yield from function(*args, **kwargs))
                finally:
                    end(profiler, frame)

            wrapper = profiled_generator
        else:

            def profiled_call(*args: Any, **kwargs: Any) -> Any:
                frame = sys._getframe()
                profiler = begin(frame)
                try:
                    return function(*args, **kwargs)
                finally:
                    end(profiler, frame)

            wrapper = profiled_call

        functools.update_wrapper(wrapper, function)
        setattr(wrapper, "last_profile", None)
        return wrapper  # type: ignore[return-value]


@overload
def profile(interval_ms: F) -> F: ...


@overload
def profile(  # noqa: F811  (the linter does not take the stand-in above for typing's overload)
    interval_ms: int = DEFAULT_INTERVAL_MS,
    top_n: int = DEFAULT_TOP_N,
    memory: bool = False,
    *,
    output: str | None = None,
    format: str | None = None,
    threads: str = DEFAULT_THREADS,
) -> Profiler: ...


def profile(  # noqa: F811
    interval_ms: Any = DEFAULT_INTERVAL_MS,
    top_n: int = DEFAULT_TOP_N,
    memory: bool = False,
    *,
    output: str | None = None,
    format: str | None = None,
    threads: str = DEFAULT_THREADS,
) -> Any:
    """Profiles a block (`with kulvo.profile() as p:`) or a function (`@kulvo.profile()`).

    `interval_ms` is the sampling interval, `top_n` the number of hot paths kept, `memory`
    turns on tracemalloc snapshots at memory spikes. `output` saves each profile to that
    file, in `format` or the one its name implies. `threads` is "all" (every Python thread's
    stacks, each under its thread's name) or "main" (the main thread's only). `@kulvo.profile`
    without parentheses decorates with the defaults.
    """
    if callable(interval_ms):
        return Profiler()(interval_ms)
    return Profiler(interval_ms=interval_ms, top_n=top_n, memory=memory, output=output, format=format, threads=threads)
