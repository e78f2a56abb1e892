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
traces. Their total then stays a bounded share of the run instead of growing with its square.

A program that keeps hundreds of thousands of new blocks a second outgrows that budget for
good: listing every live block once costs about as much as tracing them did. When memory keeps
growing like that and the watcher started tracemalloc itself, it opens a window instead: it
clears tracemalloc's traces, lets the program run on, and snapshots what was allocated since
and is still live once that snapshot would use up what is left of a smaller budget,
`WINDOW_SHARE` of the run. Clearing frees traces that tracemalloc.stop() would free at the
end anyway, so it is not charged to the budget. The lines that allocate during steady growth
are the same in any stretch of it, so the window names them at a bounded cost. A program that
traces on its own keeps its traces: it gets snapshots within the budget, or a note saying there
were none.
"""

from __future__ import annotations

import gc
import os
import resource
import threading
import time
import tracemalloc
from _tracemalloc import _get_traces
from typing import TYPE_CHECKING, Protocol

from kulvo._native import group_traces
from kulvo._native import top_growth as native_top_growth
from kulvo.model import AllocationSite, MemorySnapshot

if TYPE_CHECKING:
    from kulvo._native import LineTotals

# The core's step: peak resident growth that raises its flag between two samples.
FLAG_STEP_BYTES = 10 * 1024 * 1024
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
# Windows repeat what the first one showed, so they get a smaller share of the run. One opens
# once this much of that budget is free, checks its snapshot's predicted cost this often, and
# lasts no longer than this: growth that stops is not waited for to the end.
WINDOW_SHARE = 0.05
MIN_WINDOW_COST_S = 0.030
WINDOW_POLL_S = 0.020
MAX_WINDOW_S = 0.500
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

WINDOWS_NOTE = (
    "memory grew too fast to list every live block within {share_percent:.0f} % of the run: from {time_ms} ms "
    "on, each memory snapshot shows only what was allocated in a short window before it and still live "
    "(snapshots took {spent_ms} ms in all, clearing the traces between them {clearing_ms} ms)"
)


class SpikeFlag(Protocol):
    """The part of kulvo._native.Sampler that the watcher uses."""

    def mem_spike_flag(self) -> bool: ...

    def notify_snapshot_taken(self) -> None: ...

    def wait_mem_spike(self, timeout_s: float, /) -> bool: ...

    def stop_mem_wait(self) -> None: ...


def line_totals() -> LineTotals:
    """The live traced blocks per allocating line, kulvo's and the import system's left out,
    held natively. Raises RuntimeError when tracemalloc is not tracing."""
    # tracemalloc's raw traces, the list take_snapshot() wraps: grouping them natively
    # leaves out a Python object per trace and the Python loop over them. The totals stay
    # native too: every object made here is itself traced, which makes it slow to allocate.
    # The list holds a tuple per live block: a collection while it exists would walk them all.
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


def peak_rss_bytes() -> int:
    """The process's peak resident size so far, as the core reads it (getrusage, KiB on Linux)."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def no_totals() -> LineTotals:
    """Totals with no line: what a window that cleared the traces grows from."""
    return group_traces([], IGNORED_FILES, IGNORED_PREFIXES)


def top_growth(current: LineTotals, previous: LineTotals | None, limit: int = TOP_SITES) -> tuple[AllocationSite, ...]:
    """The source lines whose allocated size grew most between two snapshots (or since
    nothing). Lines that grew by less than a thousandth of the total growth are crumbs that
    any span of time leaves, and are dropped."""
    return tuple(AllocationSite(*site) for site in native_top_growth(current, previous, limit))


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
        # In clearing traces for windows: work that tracemalloc.stop() would do at the end
        # anyway, so it is not charged to the snapshots' budget.
        self._clearing_s = 0.0
        self._last_snapshot_s = 0.0
        self._peak_rss_at_snapshot_bytes = 0
        # The last snapshot's duration over tracemalloc's memory then.
        self._cost_s_per_tracing_byte = FIRST_COST_S_PER_TRACING_BYTE
        self._pending_since_s: float | None = None  # the first rise not covered by a snapshot
        self._pending_rises = 0
        self._window_since_s: float | None = None  # when the open window cleared the traces
        self._windows_from_s: float | None = None  # when the first window opened
        self._cleared_bytes = 0  # traced when windows cleared the traces
        self.snapshots: list[MemorySnapshot] = []
        self.note: str | None = None  # why snapshots ended early, for the report
        self.kulvo_bytes = 0  # what the watcher's tracing held at the end: kulvo's, not the program's
        self._end_s: float | None = None

    def begin_tracing(self) -> None:
        """Starts tracemalloc and takes the first snapshot. Call it before the sampler starts,
        so that this work shows neither in the samples nor as growth in the first diff.
        A program that already traces keeps its tracing: its frame limit and its traces."""
        if not tracemalloc.is_tracing():
            tracemalloc.start()
            self._started_tracing = True
        self._previous = line_totals()
        self._peak_rss_at_snapshot_bytes = peak_rss_bytes()
        self._tracing_since_s = time.monotonic()

    def set_origin(self, origin_s: float) -> None:
        """`origin_s` is the time.monotonic() reading taken as the profile's time zero."""
        self._origin_s = origin_s

    def start_polling(self) -> None:
        self._thread = threading.Thread(target=self._run, name="kulvo-memory-watcher", daemon=True)
        self._thread.start()

    def stop_polling(self, end_s: float | None = None) -> list[MemorySnapshot]:
        """Stops the thread and returns the snapshots; call it while the sampler still runs.
        `end_s`, the time.monotonic() reading where the profiled code ended: the snapshots taken
        from then on show the memory as it ended, so they are dated no later."""
        self._end_s = end_s
        self._stop.set()
        self._sampler.stop_mem_wait()
        if self._thread is not None:
            self._thread.join()
            self._thread = None
        if self._previous is not None and not self._source_alive():
            self._give_up_tracing()
        # Growth since the last snapshot, or a jump the thread had no time to see, still counts;
        # so does growth that the sampler's cycles split into steps each below the flag's.
        grown_bytes = peak_rss_bytes() - self._peak_rss_at_snapshot_bytes
        if self._sampler.mem_spike_flag() or grown_bytes >= FLAG_STEP_BYTES:
            self._note_rise()
        # An open window's snapshot was kept within the budget as it grew.
        if self._pending_since_s is not None and (
            self._window_since_s is not None or time.monotonic() >= self._next_due_s()
        ):
            self._snapshot()
        if self._windows_from_s is not None and self.note is None:
            self.note = WINDOWS_NOTE.format(
                share_percent=SNAPSHOT_SHARE * 100,
                time_ms=self._ms_since_origin(self._windows_from_s),
                spent_ms=round(self._spent_s * 1000),
                clearing_ms=round(self._clearing_s * 1000),
            )
        elif self._pending_since_s is not None and self._previous is not None and len(self.snapshots) < MAX_SNAPSHOTS:
            self.note = OVER_BUDGET_NOTE.format(
                time_ms=self._ms_since_origin(self._pending_since_s), share_percent=SNAPSHOT_SHARE * 100
            )
        self._previous = None
        if self._started_tracing and tracemalloc.is_tracing():
            self.kulvo_bytes = tracemalloc.get_tracemalloc_memory()
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
            if self._sampler.wait_mem_spike(self._wait_s()):
                self._note_rise()
            if self._stop.is_set():
                return
            self._act_on_growth()

    def _wait_s(self) -> float:
        """Blocks while nothing grows; otherwise until the next thing to do may be due."""
        if self._pending_since_s is None:
            return WAIT_S
        if self._window_since_s is not None:
            return WINDOW_POLL_S
        now_s = time.monotonic()
        due_s = self._next_due_s()
        if self._may_open_window():
            due_s = min(due_s, self._window_affordable_s())
        return min(WAIT_S, max(0.0, due_s - now_s))

    def _act_on_growth(self) -> None:
        if self._pending_since_s is None:
            return
        now_s = time.monotonic()
        if self._window_since_s is not None:
            # Snapshotted once it no longer fits the windows' budget: it overshoots by what one
            # poll's growth costs, a few milliseconds.
            used_up = now_s < self._affordable_s(self._predicted_cost_s(), WINDOW_SHARE)
            if used_up or now_s - self._window_since_s >= MAX_WINDOW_S:
                self._snapshot()
        elif now_s >= self._next_due_s():
            self._snapshot()
        elif self._may_open_window() and now_s >= self._window_affordable_s():
            self._open_window()

    def _note_rise(self) -> None:
        # Cleared at once: the next rise is new growth, whether or not this one gets its
        # snapshot straight away.
        self._sampler.notify_snapshot_taken()
        self._pending_rises += 1
        if self._pending_since_s is None:
            self._pending_since_s = time.monotonic()

    def _affordable_s(self, cost_s: float, share: float) -> float:
        """From when the snapshots so far and one more of `cost_s` fit in a budget of `share` of
        the time since tracing began (or `FREE_SNAPSHOT_S`, if that is more)."""
        spent_after_s = self._spent_s + cost_s
        if spent_after_s <= FREE_SNAPSHOT_S:
            return 0.0
        return self._tracing_since_s + spent_after_s / share

    def _predicted_cost_s(self) -> float:
        return self._cost_s_per_tracing_byte * self._source_bytes()

    def _next_due_s(self) -> float:
        """When the snapshots so far and the next one's predicted cost fit in the budget."""
        within_budget_s = self._affordable_s(self._predicted_cost_s(), SNAPSHOT_SHARE)
        return max(self._last_snapshot_s + MIN_SPACING_S, within_budget_s)

    def _may_open_window(self) -> bool:
        """Growth goes on past a snapshot's reach (a second rise, or windows already), and the
        traces are the watcher's to clear."""
        return self._started_tracing and (self._pending_rises >= 2 or self._windows_from_s is not None)

    def _window_affordable_s(self) -> float:
        """When enough of the windows' budget is free for a window's snapshot."""
        within_budget_s = self._affordable_s(MIN_WINDOW_COST_S, WINDOW_SHARE)
        return max(self._last_snapshot_s + MIN_SPACING_S, within_budget_s)

    def _open_window(self) -> None:
        started_s = time.monotonic()
        if self._windows_from_s is None:
            self._windows_from_s = started_s
        self._cleared_bytes += tracemalloc.get_traced_memory()[0]
        tracemalloc.clear_traces()
        self._previous = no_totals()
        self._window_since_s = time.monotonic()
        self._clearing_s += self._window_since_s - started_s

    def _snapshot(self) -> None:
        if self._previous is None or len(self.snapshots) >= MAX_SNAPSHOTS:
            return
        started_s = time.monotonic()
        try:
            current, traced_bytes = self._current_totals()
        except RuntimeError:  # the program stopped tracemalloc (checked here: it may do so any time)
            self._give_up_tracing()
            return
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
        self._peak_rss_at_snapshot_bytes = peak_rss_bytes()
        self._last_snapshot_s = finished_s
        self._spent_s += finished_s - started_s
        self._cost_s_per_tracing_byte = (finished_s - started_s) / max(1, self._source_bytes())
        self._pending_since_s = None
        self._pending_rises = 0
        self._window_since_s = None

    # What the snapshots are taken of: tracemalloc's traces here.

    def _source_alive(self) -> bool:
        return tracemalloc.is_tracing()

    def _source_bytes(self) -> int:
        """What a snapshot's cost grows with."""
        return tracemalloc.get_tracemalloc_memory()

    def _current_totals(self) -> tuple[LineTotals, int]:
        """The live totals per line and the traced size; RuntimeError once tracing stopped."""
        current = line_totals()
        # Blocks traced before a window cleared the traces still count: an upper bound, as
        # their frees are no longer seen.
        return current, self._cleared_bytes + tracemalloc.get_traced_memory()[0]

    def _ms_since_origin(self, instant_s: float) -> int:
        if self._end_s is not None:
            instant_s = min(instant_s, self._end_s)
        return max(0, int((instant_s - self._origin_s) * 1000))
