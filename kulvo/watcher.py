"""The memory watcher: tracemalloc snapshots taken when the core sees resident memory jump.

The core raises its memory-spike flag when the peak resident size grows by 10 MiB or more
between two samples. A daemon thread waits for that flag in native code, without the
interpreter lock, so it costs nothing while memory does not grow. On a rise it groups
tracemalloc's live traces by the line that allocated them (in kulvo._native), diffs that
against the previous snapshot, and keeps only the sites that grew most.

A snapshot costs time in proportion to the live traced blocks (about half a microsecond each,
most of it tracemalloc's own copy of its traces), and under steady growth the flag keeps
rising. So snapshots, the first included, may take at most `SNAPSHOT_SHARE` of the time since
tracing began, or `FREE_SNAPSHOT_S` altogether if that is more. Each one's cost is predicted
from the previous one's, scaled by tracemalloc's own memory, which grows with the number of
traces. Their total then stays a bounded share of the run instead of growing with its square;
a program with so many live blocks that a snapshot would break that budget gets fewer
snapshots, or none, and a note saying so.
"""

from __future__ import annotations

import gc
import os
import threading
import time
import tracemalloc
from _tracemalloc import _get_traces
from typing import Protocol

from kulvo._native import group_traces
from kulvo.model import AllocationSite, MemorySnapshot

# Never less than this apart: a burst of rises is one spike.
MIN_SPACING_S = 0.200
# The most of the time since tracing began that snapshots may take altogether, and what they
# may take in any case: a spike early in a run is still worth a cheap snapshot.
SNAPSHOT_SHARE = 0.10
FREE_SNAPSHOT_S = 0.100
# A snapshot's cost per byte of tracemalloc's own memory before one has been measured: about
# 50 bytes per trace at half a microsecond each, doubled to be on the safe side.
FIRST_COST_S_PER_TRACING_BYTE = 20e-9
# How long one wait for the flag may block; ended early by stop_polling().
WAIT_S = 3600.0
TOP_SITES = 10
MAX_SNAPSHOTS = 50

_KULVO_DIR = os.path.dirname(os.path.abspath(__file__))
# Allocations made by the profiler itself or by the import machinery say nothing about the program.
IGNORED_FILES = frozenset(
    {
        tracemalloc.__file__,
        "<frozen importlib._bootstrap>",
        "<frozen importlib._bootstrap_external>",
        "<unknown>",
    }
)
IGNORED_PREFIXES = (_KULVO_DIR + os.sep,)

STOPPED_NOTE = "the program stopped tracemalloc (seen at {time_ms} ms): no memory snapshots after that"
OVER_BUDGET_NOTE = (
    "memory grew from {time_ms} ms on without a snapshot: with this many live blocks one would have "
    "taken more than {share_percent:.0f} % of the run"
)

LineTotals = dict[tuple[str, int], tuple[int, int]]
"""(file, line) -> (bytes, blocks) allocated there and still alive."""


class SpikeFlag(Protocol):
    """The part of kulvo._native.Sampler that the watcher uses."""

    def mem_spike_flag(self) -> bool: ...

    def notify_snapshot_taken(self) -> None: ...

    def wait_mem_spike(self, timeout_s: float, /) -> bool: ...

    def stop_mem_wait(self) -> None: ...


def line_totals() -> LineTotals:
    """The live traced blocks per allocating line, kulvo's and the import system's left out.
    Raises RuntimeError when tracemalloc is not tracing."""
    # tracemalloc's raw traces, the list take_snapshot() wraps: grouping them natively
    # leaves out a Python object per trace and the Python loop over them. The list holds a
    # tuple per live block: a collection while it exists would walk them all.
    collecting = gc.isenabled()
    gc.disable()
    try:
        traces = _get_traces()
        if not tracemalloc.is_tracing():  # checked after: the program may stop it at any time
            raise RuntimeError("tracemalloc is not tracing")
        return group_traces(traces, IGNORED_FILES, IGNORED_PREFIXES)
    finally:
        if collecting:
            gc.enable()


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
        self._tracing_since_s = 0.0
        self._spent_s = 0.0  # in snapshots so far
        self._last_snapshot_s = 0.0
        # The last snapshot's duration over tracemalloc's memory then.
        self._cost_s_per_tracing_byte = FIRST_COST_S_PER_TRACING_BYTE
        self._pending_since_s: float | None = None  # the first rise not covered by a snapshot
        self.snapshots: list[MemorySnapshot] = []
        self.note: str | None = None  # why snapshots ended early, for the report

    def begin_tracing(self) -> None:
        """Starts tracemalloc and takes the first snapshot. Call it before the sampler starts,
        so that this work shows neither in the samples nor as growth in the first diff.
        A program that already traces keeps its tracing: its frame limit and its traces."""
        if not tracemalloc.is_tracing():
            tracemalloc.start()
            self._started_tracing = True
        self._previous = line_totals()
        self._tracing_since_s = time.monotonic()

    def set_origin(self, origin_s: float) -> None:
        """`origin_s` is the time.monotonic() reading taken as the profile's time zero."""
        self._origin_s = origin_s

    def start_polling(self) -> None:
        self._thread = threading.Thread(target=self._run, name="kulvo-memory-watcher", daemon=True)
        self._thread.start()

    def stop_polling(self) -> list[MemorySnapshot]:
        """Stops the thread and returns the snapshots; call it while the sampler still runs."""
        self._stop.set()
        self._sampler.stop_mem_wait()
        if self._thread is not None:
            self._thread.join()
            self._thread = None
        if self._previous is not None and not tracemalloc.is_tracing():
            self._give_up_tracing()
        # Growth since the last snapshot, or a jump the thread had no time to see, still counts.
        if self._sampler.mem_spike_flag():
            self._note_rise()
        if self._pending_since_s is not None and time.monotonic() >= self._next_due_s():
            self._snapshot()
        if self._pending_since_s is not None and self._previous is not None and len(self.snapshots) < MAX_SNAPSHOTS:
            self.note = OVER_BUDGET_NOTE.format(
                time_ms=self._ms_since_origin(self._pending_since_s), share_percent=SNAPSHOT_SHARE * 100
            )
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
        if self._previous is not None:
            self.note = STOPPED_NOTE.format(time_ms=self._ms_since_origin(time.monotonic()))
        self._previous = None
        self._started_tracing = False

    def _run(self) -> None:
        while not self._stop.is_set() and self._previous is not None and len(self.snapshots) < MAX_SNAPSHOTS:
            # Blocks while nothing grows; with growth not yet snapshotted, only until it is due.
            pending = self._pending_since_s is not None
            timeout_s = min(WAIT_S, max(0.0, self._next_due_s() - time.monotonic())) if pending else WAIT_S
            if self._sampler.wait_mem_spike(timeout_s):
                self._note_rise()
            if self._stop.is_set():
                return
            if self._pending_since_s is not None and time.monotonic() >= self._next_due_s():
                self._snapshot()

    def _note_rise(self) -> None:
        # Cleared at once: the next rise is new growth, whether or not this one gets its
        # snapshot straight away.
        self._sampler.notify_snapshot_taken()
        if self._pending_since_s is None:
            self._pending_since_s = time.monotonic()

    def _next_due_s(self) -> float:
        """When the snapshots so far and the next one's predicted cost fit in the budget."""
        spent_after_s = self._spent_s + self._cost_s_per_tracing_byte * tracemalloc.get_tracemalloc_memory()
        if spent_after_s <= FREE_SNAPSHOT_S:
            within_budget_s = 0.0
        else:
            within_budget_s = self._tracing_since_s + spent_after_s / SNAPSHOT_SHARE
        return max(self._last_snapshot_s + MIN_SPACING_S, within_budget_s)

    def _snapshot(self) -> None:
        if self._previous is None or len(self.snapshots) >= MAX_SNAPSHOTS:
            return
        started_s = time.monotonic()
        try:
            current = line_totals()
        except RuntimeError:  # the program stopped tracemalloc (checked here: it may do so any time)
            self._give_up_tracing()
            return
        traced_bytes = tracemalloc.get_traced_memory()[0]
        finished_s = time.monotonic()
        self.snapshots.append(
            MemorySnapshot(
                time_ms=self._ms_since_origin(started_s),
                traced_bytes=traced_bytes,
                top_sites=top_growth(current, self._previous),
                duration_ms=int((finished_s - started_s) * 1000),
            )
        )
        self._previous = current
        self._last_snapshot_s = finished_s
        self._spent_s += finished_s - started_s
        self._cost_s_per_tracing_byte = (finished_s - started_s) / max(1, tracemalloc.get_tracemalloc_memory())
        self._pending_since_s = None

    def _ms_since_origin(self, instant_s: float) -> int:
        return max(0, int((instant_s - self._origin_s) * 1000))
