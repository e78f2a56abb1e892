"""The names of the program's threads over a run. The sampler knows a thread by its ident and
kernel id; `threading` knows its name, but forgets a thread once it has ended. While a run
lasts, each thread that starts is noted as it starts, so that one that has ended by the time
the profile is made is still named."""

from __future__ import annotations

import threading
from typing import Any, ClassVar

THREAD_CHOICES = ("all", "main")
DEFAULT_THREADS = "all"
MAIN_THREAD_NAME = "MainThread"


def validate_threads(threads: object) -> None:
    if threads not in THREAD_CHOICES:
        raise ValueError(f"threads must be one of {', '.join(map(repr, THREAD_CHOICES))}, got {threads!r}")


class ThreadNames:
    """Every thread seen from `start()` to `stop()`: those alive at the start and those started
    meanwhile. Runs may overlap; the hook on `threading.Thread` stays while any of them runs."""

    _noting: ClassVar[list[ThreadNames]] = []
    _original: ClassVar[Any] = None

    def __init__(self) -> None:
        self._threads: list[threading.Thread] = []

    def start(self) -> None:
        self._threads = list(threading.enumerate())
        if not ThreadNames._noting:
            ThreadNames._original = threading.Thread._bootstrap_inner  # type: ignore[attr-defined]
            threading.Thread._bootstrap_inner = _noted_bootstrap  # type: ignore[attr-defined]
        ThreadNames._noting.append(self)

    def stop(self) -> None:
        if self in ThreadNames._noting:
            ThreadNames._noting.remove(self)
            if not ThreadNames._noting:
                threading.Thread._bootstrap_inner = ThreadNames._original  # type: ignore[attr-defined]
        self._threads.extend(threading.enumerate())

    def _note(self, thread: threading.Thread) -> None:
        self._threads.append(thread)

    def names(self) -> dict[tuple[int, int], str]:
        """Names by (ident, kernel id), and by (ident, 0) for a kernel id the sampler did not
        know; the latest thread of an ident wins where idents were reused."""
        named: dict[tuple[int, int], str] = {}
        for thread in self._threads:
            if thread.ident is not None:
                named[(thread.ident, thread.native_id or 0)] = thread.name
                named[(thread.ident, 0)] = thread.name
        return named


def _noted_bootstrap(self: threading.Thread) -> None:
    # Runs on the new thread, before its target: its ident and kernel id are set by then.
    for names in ThreadNames._noting:
        names._note(self)
    ThreadNames._original(self)
