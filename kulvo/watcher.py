"""The memory watcher: tracemalloc snapshots taken when the core sees resident memory jump.

The core raises its memory-spike flag when the peak resident size grows by 10 MiB or more
between two samples. A daemon thread polls that flag; on a jump it takes a tracemalloc
snapshot, diffs it by source line against the previous one, keeps the sites that grew most,
and clears the flag.

A snapshot costs CPU time, and holds the interpreter lock while it is grouped by line, so
the watcher keeps only the previous snapshot's per-line totals and spaces snapshots out.
"""

from __future__ import annotations

import fnmatch
import os
import threading
import time
import tracemalloc
from typing import Protocol

from kulvo.model import AllocationSite, MemorySnapshot

POLL_INTERVAL_S = 0.010
# While the program keeps growing, one snapshot per this span is enough; the flag stays up
# meanwhile, and the next snapshot covers all the growth since the last one.
MIN_SPACING_S = 0.200
TOP_SITES = 10
MAX_SNAPSHOTS = 50

_KULVO_DIR = os.path.dirname(os.path.abspath(__file__))
# Allocations made by the profiler itself or by the import machinery say nothing about the program.
_IGNORED_FILES = (
    tracemalloc.__file__,
    os.path.join(_KULVO_DIR, "*"),
    "<frozen importlib._bootstrap>",
    "<frozen importlib._bootstrap_external>",
    "<unknown>",
)

LineTotals = dict[tuple[str, int], tuple[int, int]]
"""(file, line) -> (bytes, blocks) allocated there and still alive."""


class SpikeFlag(Protocol):
    """The part of PySampler that the watcher uses."""

    def mem_spike_flag(self) -> bool: ...

    def notify_snapshot_taken(self) -> None: ...


def _ignored(file: str) -> bool:
    return any(fnmatch.fnmatchcase(file, pattern) for pattern in _IGNORED_FILES)


def line_totals(snapshot: tracemalloc.Snapshot) -> LineTotals:
    totals: LineTotals = {}
    for stat in snapshot.statistics("lineno"):
        frame = stat.traceback[0]
        if not _ignored(frame.filename):
            totals[(frame.filename, frame.lineno)] = (stat.size, stat.count)
    return totals


def top_growth(current: LineTotals, previous: LineTotals, limit: int = TOP_SITES) -> tuple[AllocationSite, ...]:
    """The source lines whose allocated size grew most between two snapshots.

    Lines that grew by less than a thousandth of the total growth are crumbs that any span
    of time leaves, and are dropped.
    """
    grown = []
    for key, (size, count) in current.items():
        old_size, old_count = previous.get(key, (0, 0))
        if size > old_size:
            grown.append(AllocationSite(key[0], key[1], size, size - old_size, count, count - old_count))
    total_bytes = sum(site.size_diff_bytes for site in grown)
    grown = [site for site in grown if site.size_diff_bytes * 1000 >= total_bytes]
    grown.sort(key=lambda site: (-site.size_diff_bytes, site.file, site.line))
    return tuple(grown[:limit])


class MemoryWatcher:
    """Runs beside a started sampler; `stop_polling()` it before stopping the sampler."""

    def __init__(self, sampler: SpikeFlag) -> None:
        self._sampler = sampler
        self._origin_s = time.monotonic()
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        self._started_tracing = False
        self._previous: LineTotals | None = None
        self._last_snapshot_s = 0.0
        self.snapshots: list[MemorySnapshot] = []

    def begin_tracing(self) -> None:
        """Starts tracemalloc and takes the first snapshot. Call it before the sampler starts,
        so that this work shows neither in the samples nor as growth in the first diff."""
        if not tracemalloc.is_tracing():
            tracemalloc.start()
            self._started_tracing = True
        self._previous = line_totals(tracemalloc.take_snapshot())

    def set_origin(self, origin_s: float) -> None:
        """`origin_s` is the time.monotonic() reading taken as the profile's time zero."""
        self._origin_s = origin_s

    def start_polling(self) -> None:
        self._thread = threading.Thread(target=self._run, name="kulvo-memory-watcher", daemon=True)
        self._thread.start()

    def stop_polling(self) -> list[MemorySnapshot]:
        """Stops the thread and returns the snapshots; call it while the sampler still runs."""
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
            self._thread = None
        # A jump in the last poll interval still gets its snapshot.
        self._poll_once(final=True)
        self._previous = None
        return self.snapshots

    def end_tracing(self) -> None:
        """Stops tracemalloc if the watcher started it. Freeing its traces takes a while, so
        call it once the sampler has stopped, where the cost shows in no sample."""
        if self._started_tracing and tracemalloc.is_tracing():
            tracemalloc.stop()
        self._started_tracing = False

    def _give_up_tracing(self) -> None:
        """The program stopped tracemalloc: no more snapshots. Tracing is the program's from now
        on, so a later start of its own is left running at the end."""
        self._previous = None
        self._started_tracing = False

    def _run(self) -> None:
        while not self._stop.wait(POLL_INTERVAL_S):
            self._poll_once()

    def _poll_once(self, final: bool = False) -> None:
        if self._previous is None or len(self.snapshots) >= MAX_SNAPSHOTS:
            return
        if not tracemalloc.is_tracing():
            self._give_up_tracing()
            return
        if not self._sampler.mem_spike_flag():
            return
        started_s = time.monotonic()
        if not final and started_s - self._last_snapshot_s < MIN_SPACING_S:
            return
        try:
            current = line_totals(tracemalloc.take_snapshot())
        except RuntimeError:  # the program stopped tracemalloc (checked here: it may do so any time)
            self._give_up_tracing()
            return
        finished_s = time.monotonic()
        self.snapshots.append(
            MemorySnapshot(
                time_ms=self._ms_since_origin(started_s),
                traced_bytes=tracemalloc.get_traced_memory()[0],
                top_sites=top_growth(current, self._previous),
                duration_ms=int((finished_s - started_s) * 1000),
            )
        )
        self._previous = current
        self._last_snapshot_s = finished_s
        self._sampler.notify_snapshot_taken()

    def _ms_since_origin(self, instant_s: float) -> int:
        return max(0, int((instant_s - self._origin_s) * 1000))
