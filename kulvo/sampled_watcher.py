"""The memory watcher on sampled allocations, used wherever the program's frames can be read.

Hooks on Python's object and memory allocators (kulvo._native) count every allocated byte and
keep one in about `SAMPLE_INTERVAL_BYTES` of them, each with the line that allocated it, as
tcmalloc samples its heap. A snapshot then costs in proportion to the allocating lines, not
to the live blocks, and copies nothing of the program's size, so it needs no budget. The hooks
also keep what was live when the estimated sum was highest: that becomes the snapshot "at the
peak", which names the lines holding the memory even when the program freed it long before
it ended. Blocks that C code takes from malloc directly (NumPy's arrays, for one) are not seen.
"""

from __future__ import annotations

import time
from typing import TYPE_CHECKING

from kulvo._native import sampled_line_totals, start_allocation_sampling, stop_allocation_sampling
from kulvo.model import MemorySnapshot
from kulvo.watcher import IGNORED_FILES, IGNORED_PREFIXES, MemoryWatcher, peak_rss_bytes, top_growth

if TYPE_CHECKING:
    from kulvo._native import LineTotals

# A mean of 16 KiB between sampled bytes: a 10 MiB peak is about 640 samples, enough to put
# each line's share within a few points, and a program allocating a gigabyte a second takes
# 64,000 samples a second, each a few hundred nanoseconds.
SAMPLE_INTERVAL_BYTES = 16 * 1024
# The lines the snapshot at the peak keeps: enough for a long tail, still a small document.
PEAK_SITES = 20

HOOKS_REPLACED_NOTE = (
    "the program put its own allocator hooks over kulvo's during the run (tracemalloc.start(), for "
    "one): allocations it made after that may be missing from the memory snapshots"
)


class SampledMemoryWatcher(MemoryWatcher):
    """A MemoryWatcher whose snapshots come from sampled allocations, with one more at the peak."""

    _sampling = False

    def begin_tracing(self) -> None:
        """Starts the sampling; RuntimeError where this interpreter's frames cannot be read."""
        start_allocation_sampling(SAMPLE_INTERVAL_BYTES)
        self._sampling = True
        self._previous = self._current_totals()[0]
        self._peak_rss_at_snapshot_bytes = peak_rss_bytes()
        self._tracing_since_s = time.monotonic()

    def stop_polling(self, end_s: float | None = None) -> list[MemorySnapshot]:
        snapshots = super().stop_polling(end_s)
        _, at_peak, _, peak_time_ns, peak_bytes, held_bytes = sampled_line_totals(IGNORED_FILES, IGNORED_PREFIXES)
        self.kulvo_bytes = held_bytes
        self._stop_sampling()
        if peak_bytes > 0:
            snapshots.append(
                MemorySnapshot(
                    time_ms=self._ms_since_origin(peak_time_ns / 1e9),
                    traced_bytes=peak_bytes,
                    top_sites=top_growth(at_peak, None, PEAK_SITES),
                    at_peak=True,
                )
            )
            snapshots.sort(key=lambda snapshot: snapshot.time_ms)
        return snapshots

    def end_tracing(self) -> None:
        self._stop_sampling()

    def _stop_sampling(self) -> None:
        if self._sampling and not stop_allocation_sampling():
            self.note = "; ".join(note for note in (self.note, HOOKS_REPLACED_NOTE) if note)
        self._sampling = False

    def _source_alive(self) -> bool:
        return self._sampling

    def _source_bytes(self) -> int:
        return 1  # a snapshot costs what the last one did

    def _current_totals(self) -> tuple[LineTotals, int]:
        live, _, live_bytes, _, _, _ = sampled_line_totals(IGNORED_FILES, IGNORED_PREFIXES)
        return live, live_bytes
