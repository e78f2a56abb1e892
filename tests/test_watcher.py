"""The memory watcher, driven by a stand-in for the sampler's spike flag."""

from __future__ import annotations

import gc
import os
import sys
import threading
import time
import tracemalloc

import pytest

import kulvo
from kulvo import watcher
from kulvo._native import Sampler, group_traces
from kulvo.model import AllocationSite
from kulvo.watcher import MemoryWatcher, top_growth

MIB = 1024 * 1024


class FakeFlag:
    """The flag half of the sampler: raised by the test, cleared by the watcher."""

    def __init__(self, sticky: bool = False) -> None:
        self.raised = threading.Event()
        self.released = threading.Event()
        self.sticky = sticky  # a flag that never clears, as under steady growth
        self.notifications = 0
        self.wait_timeouts_s: list[float] = []

    def mem_spike_flag(self) -> bool:
        return self.raised.is_set()

    def notify_snapshot_taken(self) -> None:
        self.notifications += 1
        if not self.sticky:
            self.raised.clear()

    def wait_mem_spike(self, timeout_s: float, /) -> bool:
        self.wait_timeouts_s.append(timeout_s)
        deadline = time.monotonic() + timeout_s
        while not (self.released.is_set() or self.raised.is_set()) and time.monotonic() < deadline:
            time.sleep(0.002)
        if self.sticky:
            time.sleep(0.005)  # re-raised once per sampler cycle
        return self.raised.is_set() and not self.released.is_set()

    def stop_mem_wait(self) -> None:
        self.released.set()


def totals(lines: dict[tuple[str, int], tuple[int, int]]):
    """Native line totals from {(file, line): (size, count)}, through traces as tracemalloc's."""
    traces = []
    for (file, line), (size, count) in lines.items():
        traces += [(0, size // count + (size % count if i == 0 else 0), ((file, line),), 1) for i in range(count)]
    return group_traces(traces, frozenset(), ())


def wait_until(condition, timeout_s: float = 5.0) -> bool:
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.005)
    return False


@pytest.fixture
def make_watcher():
    started: list[MemoryWatcher] = []

    def make(flag: FakeFlag, origin_s: float | None = None) -> MemoryWatcher:
        memory_watcher = MemoryWatcher(flag)
        memory_watcher.begin_tracing()
        memory_watcher.start_polling()
        memory_watcher.set_origin(time.monotonic() if origin_s is None else origin_s)
        started.append(memory_watcher)
        return memory_watcher

    yield make
    for memory_watcher in started:
        memory_watcher.stop_polling()
        memory_watcher.end_tracing()


class TestSnapshots:
    def test_a_raised_flag_gets_a_snapshot_of_what_grew_and_is_cleared(self, make_watcher):
        flag = FakeFlag()
        memory_watcher = make_watcher(flag)
        # Small: the stand-in flag needs no real growth, and the test runner's peak RSS is
        # inherited by the processes that later tests start.
        blob = [b"w" * (64 * 1024) for _ in range(32)]
        line = sys._getframe().f_lineno - 1
        flag.raised.set()
        assert wait_until(lambda: flag.notifications == 1)
        assert not flag.mem_spike_flag()
        (snapshot,) = memory_watcher.stop_polling()
        top = snapshot.top_sites[0]
        assert (top.file, top.line) == (__file__, line)
        assert top.size_diff_bytes >= 2 * MIB and top.count_diff >= 32
        del blob

    def test_no_flag_no_snapshot_and_one_long_wait(self, make_watcher):
        flag = FakeFlag()
        memory_watcher = make_watcher(flag)
        time.sleep(0.1)
        assert memory_watcher.stop_polling() == []
        assert flag.notifications == 0 and memory_watcher.note is None
        # Nothing grew: the thread blocked once, and stop_polling() ended that wait.
        assert flag.wait_timeouts_s == [watcher.WAIT_S]

    def test_a_jump_just_before_stopping_is_still_caught(self, make_watcher):
        flag = FakeFlag()
        memory_watcher = make_watcher(flag)
        memory_watcher._stop.set()  # the thread will not poll again
        time.sleep(0.03)
        flag.raised.set()
        end_s = time.monotonic()
        time.sleep(0.02)  # the profiled code ended before its recording stops
        (snapshot,) = memory_watcher.stop_polling(end_s)
        assert flag.notifications == 1
        assert snapshot.time_ms <= round((end_s - memory_watcher._origin_s) * 1000)

    def test_growth_the_flag_never_showed_is_caught_at_stop(self, make_watcher, monkeypatch):
        # The sampler's cycles can split a jump into steps that each stay below the flag's.
        peak = [100 * MIB]
        monkeypatch.setattr(watcher, "peak_rss_bytes", lambda: peak[0])
        short, enough = make_watcher(FakeFlag()), make_watcher(FakeFlag())
        blob = [b"w" * (64 * 1024) for _ in range(32)]
        line = sys._getframe().f_lineno - 1
        peak[0] += watcher.FLAG_STEP_BYTES - 1
        assert short.stop_polling() == []
        peak[0] += 1
        (snapshot,) = enough.stop_polling()
        assert (snapshot.top_sites[0].file, snapshot.top_sites[0].line) == (__file__, line)
        del blob

    def test_snapshot_times_count_from_the_origin(self, make_watcher):
        flag = FakeFlag()
        memory_watcher = make_watcher(flag, origin_s=time.monotonic() - 5.0)
        flag.raised.set()
        assert wait_until(lambda: flag.notifications == 1)
        (snapshot,) = memory_watcher.stop_polling()
        assert 5000 <= snapshot.time_ms < 10_000
        assert snapshot.duration_ms >= 0

    def test_steady_growth_is_snapshotted_at_a_bounded_rate(self, make_watcher, monkeypatch):
        monkeypatch.setattr(watcher, "MIN_SPACING_S", 0.1)
        flag = FakeFlag(sticky=True)
        memory_watcher = make_watcher(flag)
        flag.raised.set()
        time.sleep(0.35)
        count = len(memory_watcher.stop_polling())
        # One straight away, then one per 100 ms at most, and the last one at stop.
        assert 2 <= count <= 6

    def test_snapshots_wait_for_their_share_of_the_run_and_growth_left_over_gets_a_note(
        self, make_watcher, monkeypatch
    ):
        monkeypatch.setattr(watcher, "MIN_SPACING_S", 0.0)
        flag = FakeFlag(sticky=True)
        memory_watcher = make_watcher(flag)
        monkeypatch.setattr(watcher, "SNAPSHOT_SHARE", 1e-9)  # one would take longer than this test
        monkeypatch.setattr(watcher, "FREE_SNAPSHOT_S", 0.0)
        flag.raised.set()
        time.sleep(0.1)
        assert memory_watcher.stop_polling() == []
        assert flag.notifications > 1  # the flag kept rising, and was cleared each time
        assert memory_watcher.note is not None and "without a snapshot" in memory_watcher.note

    @pytest.fixture
    def growth_past_the_budget(self, monkeypatch):
        """Full snapshots never fit; windows always do, and close after 150 ms."""
        monkeypatch.setattr(watcher, "SNAPSHOT_SHARE", 1e-9)
        monkeypatch.setattr(watcher, "FREE_SNAPSHOT_S", 0.0)
        monkeypatch.setattr(watcher, "MIN_SPACING_S", 0.0)
        monkeypatch.setattr(watcher, "WINDOW_SHARE", 1e9)
        monkeypatch.setattr(watcher, "MAX_WINDOW_S", 0.15)

    def test_growth_past_the_budget_gets_windows_that_show_only_what_they_saw_allocated(
        self, make_watcher, growth_past_the_budget
    ):
        flag = FakeFlag(sticky=True)
        memory_watcher = make_watcher(flag)
        before = [bytes(4096) for _ in range(256)]
        flag.raised.set()
        assert wait_until(lambda: memory_watcher._window_since_s is not None)
        during = [bytes(4096) for _ in range(256)]
        line = sys._getframe().f_lineno - 1
        assert wait_until(lambda: len(memory_watcher.snapshots) >= 1)
        snapshots = memory_watcher.stop_polling()
        assert (snapshots[0].top_sites[0].file, snapshots[0].top_sites[0].line) == (__file__, line)
        assert snapshots[0].traced_bytes >= 2 * 256 * 4096  # the cleared blocks still count
        assert not [site for s in snapshots for site in s.top_sites if site.line == line - 6]
        assert tracemalloc.get_object_traceback(before[0]) is None  # the window cleared its trace
        assert memory_watcher.note is not None and "window" in memory_watcher.note
        del during

    def test_a_program_that_traces_keeps_its_traces_past_the_budget(self, make_watcher, growth_past_the_budget):
        tracemalloc.start()
        try:
            before = [bytes(4096) for _ in range(256)]
            flag = FakeFlag(sticky=True)
            memory_watcher = make_watcher(flag)
            flag.raised.set()
            time.sleep(0.2)
            assert memory_watcher.stop_polling() == []
            assert tracemalloc.get_object_traceback(before[0]) is not None
            assert memory_watcher.note is not None and "without a snapshot" in memory_watcher.note
        finally:
            tracemalloc.stop()

    def test_the_number_of_snapshots_is_capped(self, make_watcher, monkeypatch):
        monkeypatch.setattr(watcher, "MIN_SPACING_S", 0.0)
        monkeypatch.setattr(watcher, "MAX_SNAPSHOTS", 3)
        flag = FakeFlag(sticky=True)
        memory_watcher = make_watcher(flag)
        flag.raised.set()
        assert wait_until(lambda: flag.notifications >= 3)
        time.sleep(0.05)
        assert len(memory_watcher.stop_polling()) == 3


class TestTracing:
    def test_tracemalloc_stops_only_if_the_watcher_started_it(self):
        first = MemoryWatcher(FakeFlag())
        first.begin_tracing()
        assert tracemalloc.is_tracing()
        first.stop_polling()
        assert tracemalloc.is_tracing()  # still on until end_tracing
        first.end_tracing()
        assert not tracemalloc.is_tracing()

        tracemalloc.start()
        try:
            second = MemoryWatcher(FakeFlag())
            second.begin_tracing()
            second.stop_polling()
            second.end_tracing()
            assert tracemalloc.is_tracing()
        finally:
            tracemalloc.stop()

    def test_a_program_that_stops_tracemalloc_ends_the_snapshots_and_owns_tracing(self, make_watcher):
        flag = FakeFlag()
        memory_watcher = make_watcher(flag)
        tracemalloc.stop()
        flag.raised.set()
        assert memory_watcher.stop_polling() == []
        assert memory_watcher.note is not None and "stopped tracemalloc" in memory_watcher.note
        tracemalloc.start()  # the program traces again, on its own
        try:
            memory_watcher.end_tracing()
            assert tracemalloc.is_tracing()
        finally:
            tracemalloc.stop()

    def test_a_program_that_traces_keeps_its_frame_limit_and_sites_are_innermost_lines(self, make_watcher):
        tracemalloc.start(8)
        try:
            flag = FakeFlag()
            memory_watcher = make_watcher(flag)

            def allocate() -> list[bytes]:
                return [bytes(4096) for _ in range(256)]

            line = allocate.__code__.co_firstlineno + 1
            kept = allocate()
            flag.raised.set()
            assert wait_until(lambda: len(memory_watcher.snapshots) == 1)
            (snapshot,) = memory_watcher.stop_polling()
            memory_watcher.end_tracing()
            assert tracemalloc.is_tracing() and tracemalloc.get_traceback_limit() == 8
            assert (snapshot.top_sites[0].file, snapshot.top_sites[0].line) == (__file__, line)
            assert len(kept) == 256
        finally:
            tracemalloc.stop()

    def test_kulvos_own_allocations_are_left_out(self):
        tracemalloc.start()
        try:
            before = watcher.line_totals()
            # Allocations inside the kulvo package: a rendered report is kept alive here.
            kept = [kulvo.Profile(kulvo.RunMetadata("v", "p", (), "t", 1, 1, False), 0, 0, (), (), ()).render("html")]
            after = watcher.line_totals()
        finally:
            tracemalloc.stop()
        kulvo_dir = os.path.dirname(kulvo.__file__)
        assert kept and gc.isenabled()  # paused while grouping, then on again
        files = {site.file for site in top_growth(after, None, limit=10_000)}
        assert not [file for file in files if file.startswith(kulvo_dir) or file == tracemalloc.__file__]
        assert __file__ in {site.file for site in top_growth(after, before)}


class TestTopGrowth:
    def test_sites_that_grew_most_come_first(self):
        previous = totals({("a.py", 1): (100, 1), ("b.py", 2): (5000, 5)})
        current = totals(
            {("a.py", 1): (9100, 10), ("b.py", 2): (1000, 1), ("c.py", 3): (3000, 3), ("d.py", 4): (50, 1)}
        )
        assert top_growth(current, previous) == (
            AllocationSite("a.py", 1, 9100, 9000, 10, 9),
            AllocationSite("c.py", 3, 3000, 3000, 3, 3),
            AllocationSite("d.py", 4, 50, 50, 1, 1),
        )

    def test_crumbs_and_the_limit(self):
        lines = {("big.py", n): (MIB * (n + 1), 1) for n in range(20)}
        current = totals({**lines, ("crumb.py", 1): (64, 1)})
        sites = top_growth(current, None, limit=5)
        assert [site.line for site in sites] == [19, 18, 17, 16, 15]
        assert "crumb.py" not in {site.file for site in top_growth(current, None, limit=50)}

    def test_equal_growth_is_ordered_by_file_and_line(self):
        current = totals({("b.py", 1): (10, 1), ("a.py", 2): (10, 1), ("a.py", 1): (10, 1)})
        assert [(site.file, site.line) for site in top_growth(current, None)] == [("a.py", 1), ("a.py", 2), ("b.py", 1)]

    def test_nothing_grew(self):
        assert top_growth(totals({("a.py", 1): (10, 1)}), totals({("a.py", 1): (10, 1)})) == ()

    def test_a_file_name_that_comes_back_as_another_object_is_the_same_line(self):
        # A window clears tracemalloc's interned names; the same file may come back as a new string.
        name = "".join(["sa", "me.py"])
        previous = totals({(name, 1): (100, 1)})
        current = totals({("same" + ".py"[:3], 1): (150, 2)})
        assert top_growth(current, previous) == (AllocationSite("same.py", 1, 150, 50, 2, 1),)

    def test_anything_but_line_totals_is_refused(self):
        with pytest.raises(TypeError):
            top_growth({("a.py", 1): (1, 1)}, None)  # type: ignore[arg-type]
        with pytest.raises(TypeError):
            top_growth(totals({}), object())  # type: ignore[arg-type]


class TestGroupTraces:
    def test_a_program_that_turned_collection_off_keeps_it_off(self):
        tracemalloc.start()
        gc.disable()
        try:
            watcher.line_totals()
            assert not gc.isenabled()
        finally:
            gc.enable()
            tracemalloc.stop()

    def test_traces_add_up_by_their_innermost_line_and_ignored_files_drop_out(self):
        shared = (("a.py", 1), ("main.py", 9))
        traces = [
            (0, 100, shared, 2),
            (0, 50, shared, 2),
            (0, 7, (("a.py", 1), ("other.py", 3)), 2),  # another traceback, the same line
            (1, 30, (("b.py", 2),), 1),
            (0, 99, (("/lib/kulvo/x.py", 5), ("a.py", 1)), 2),
            (0, 99, (("<unknown>", 0),), 1),
        ]
        grouped = group_traces(traces, frozenset({"<unknown>"}), ("/lib/kulvo/",))
        assert top_growth(grouped, None) == (
            AllocationSite("a.py", 1, 157, 157, 3, 3),
            AllocationSite("b.py", 2, 30, 30, 1, 1),
        )

    def test_totals_hold_each_file_name_once_until_freed(self):
        # The traces are gone once grouped: the totals alone keep the name alive, and give it back.
        file = "".join(["held", ".py"])
        before = sys.getrefcount(file)
        grouped = totals({(file, 1): (10, 2), (file, 2): (10, 1)})
        assert sys.getrefcount(file) == before + 1
        assert top_growth(grouped, grouped) == ()
        del grouped
        assert sys.getrefcount(file) == before

    @pytest.mark.parametrize(
        "trace",
        [(0, 1), (0, "1", (("a.py", 1),), 1), (0, 1, (), 0), (0, 1, ((b"a.py", 1),), 1), (0, 1, (("a.py", 1.5),), 1)],
    )
    def test_malformed_traces_are_refused(self, trace):
        with pytest.raises(TypeError):
            group_traces([trace], frozenset(), ())


class TestNativeWait:
    def test_a_wait_times_out_is_ended_by_stop_mem_wait_and_refuses_bad_timeouts(self):
        sampler = Sampler(interval_ms=10)
        sampler.start()
        try:
            started_s = time.monotonic()
            assert sampler.wait_mem_spike(0.05) is False
            assert time.monotonic() - started_s >= 0.04
            results: list[bool] = []
            waiter = threading.Thread(target=lambda: results.append(sampler.wait_mem_spike(60.0)))
            waiter.start()
            time.sleep(0.05)
            sampler.stop_mem_wait()
            waiter.join(5.0)
            assert results == [False]
            assert sampler.wait_mem_spike(60.0) is False  # ended for good
            for bad in (-1.0, float("nan"), 1e12):
                with pytest.raises(ValueError):
                    sampler.wait_mem_spike(bad)
        finally:
            sampler.stop()
        assert sampler.wait_mem_spike(60.0) is False  # stopped: no flag to wait for
