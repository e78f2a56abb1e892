"""The program's threads over a run: their names and CPU time. The sampler knows a thread by its
ident and kernel id; `threading` knows its name, but forgets a thread once it has ended. While a
run lasts, each thread that starts is noted as it starts, and its CPU time as it ends, so that
one that has ended by the time the profile is made is still named and counted."""

from __future__ import annotations

import threading
import time

THREAD_CHOICES = ("all", "main")
DEFAULT_THREADS = "all"
MAIN_THREAD_NAME = "MainThread"

# Not `typing`'s: importing it would cost `kulvo run` start-up, and type checkers take any such name.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, ClassVar


def validate_threads(threads: object) -> None:
    if threads not in THREAD_CHOICES:
        raise ValueError(f"threads must be one of {', '.join(map(repr, THREAD_CHOICES))}, got {threads!r}")


class ThreadWatch:
    """Every thread seen from `start()` to `stop()` (those alive at the start and those started
    meanwhile), with the CPU time each used in between. Runs may overlap; the hook on
    `threading.Thread` stays while any of them runs. kulvo's own threads are not counted."""

    _watching: ClassVar[list[ThreadWatch]] = []
    _original: ClassVar[Any] = None

    def __init__(self) -> None:
        self._threads: list[threading.Thread] = []
        self._cpu_at_start_s: dict[int, float] = {}  # by kernel id
        self._cpu_at_end_s: dict[int, float] = {}  # of threads that ended during the run
        self.main_native_id = 0

    def start(self) -> None:
        main = threading.main_thread()
        # threading keeps the parent's kernel id for the thread that survives a fork (CPython
        # before 3.13.4), as the sampler, started on this thread, does not.
        self.main_native_id = threading.get_native_id() if main is threading.current_thread() else main.native_id or 0
        self._threads = list(threading.enumerate())
        self._cpu_at_start_s = {t.native_id: _cpu_s(t.native_id) for t in self._threads if t.native_id}
        if not ThreadWatch._watching:
            ThreadWatch._original = threading.Thread._bootstrap_inner  # type: ignore[attr-defined]
            threading.Thread._bootstrap_inner = _watched_bootstrap  # type: ignore[attr-defined]
        ThreadWatch._watching.append(self)

    def stop(self) -> None:
        if self in ThreadWatch._watching:
            ThreadWatch._watching.remove(self)
            if not ThreadWatch._watching:
                threading.Thread._bootstrap_inner = ThreadWatch._original  # type: ignore[attr-defined]
        self._threads.extend(threading.enumerate())
        for thread in threading.enumerate():
            if thread.native_id and thread.native_id not in self._cpu_at_end_s:
                self._cpu_at_end_s[thread.native_id] = _cpu_s(thread.native_id)

    def names(self) -> dict[tuple[int, int], str]:
        """Names by (ident, kernel id), and by (ident, 0) for a kernel id the sampler did not
        know; the latest thread of an ident wins where idents were reused."""
        named: dict[tuple[int, int], str] = {}
        for thread in self._threads:
            if thread.ident is not None:
                named[(thread.ident, thread.native_id or 0)] = thread.name
                named[(thread.ident, 0)] = thread.name
        return named

    def others(self) -> tuple[int, float]:
        """How many threads other than the main one ran during the run, and their CPU time
        then, in seconds."""
        main = threading.main_thread()
        seen = {t.native_id for t in self._threads if t is not main and t.native_id}
        seen -= {t.native_id for t in self._threads if t.name.startswith("kulvo-")}
        cpu_s = sum(max(0.0, self._cpu_at_end_s.get(i, 0.0) - self._cpu_at_start_s.get(i, 0.0)) for i in seen)
        return len(seen), cpu_s


def _cpu_s(native_id: int) -> float:
    """A thread's CPU time so far, in seconds (0 when it cannot be read: not Linux, or gone)."""
    try:
        with open(f"/proc/self/task/{native_id}/schedstat", encoding="ascii") as schedstat:
            return int(schedstat.read().split()[0]) / 1e9
    except (OSError, ValueError, IndexError):
        return 0.0


def _watched_bootstrap(self: threading.Thread) -> None:
    # Runs on the new thread, before its target: its ident and kernel id are set by then.
    for watch in ThreadWatch._watching:
        watch._threads.append(self)
    try:
        ThreadWatch._original(self)
    finally:
        for watch in ThreadWatch._watching:
            if self.native_id:
                watch._cpu_at_end_s[self.native_id] = time.thread_time()
