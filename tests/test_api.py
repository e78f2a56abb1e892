"""kulvo.profile as a context manager and a decorator, and saving and loading profiles."""

from __future__ import annotations

import ast
import asyncio
import ctypes
import errno
import graphlib
import inspect
import itertools
import json
import os
import platform
import queue
import re
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time
import tracemalloc
import warnings
from collections.abc import Callable, Iterator
from datetime import datetime
from pathlib import Path
from typing import Any

import pytest

import kulvo
from kulvo import _native, api, sampling, storage

MIB = 1024 * 1024


def spin(seconds: float, clock: Callable[[], float] = time.perf_counter) -> int:
    total = 0
    deadline = clock() + seconds
    while clock() < deadline:
        total += sum(range(100))
    return total


class TestContextManager:
    def test_the_profile_of_the_block(self):
        with kulvo.profile(interval_ms=5, top_n=7) as profiler:
            spin(0.15)
        profile = profiler.profile
        assert isinstance(profile, kulvo.Profile)
        assert profile.sample_count == len(profile.samples) > 5
        assert profile.wall_time_ms >= 150
        assert len(profile.hot_paths) <= 7
        assert "spin" in {h.function for h in profile.hot_paths}
        stacks = [s.stack for s in profile.samples if s.stack]
        assert stacks and all(stack[-1].function in ("spin", "<genexpr>") for stack in stacks[2:-2])

    def test_metadata_describes_the_run(self):
        before = datetime.now().astimezone()
        with kulvo.profile(interval_ms=20) as profiler:
            pass
        meta = profiler.profile.metadata
        assert meta.kulvo_version == kulvo.__version__
        assert meta.python_version == platform.python_version()
        assert meta.argv == tuple(sys.argv)
        assert (meta.interval_ms, meta.top_n, meta.memory) == (20, 20, False)
        assert 0 < meta.kulvo_bytes < 1024 * 1024  # a short run's samples and stack table
        started = datetime.fromisoformat(meta.start_time)
        assert abs((started - before).total_seconds()) < 5

    def test_the_profile_is_not_there_while_the_block_runs(self):
        with kulvo.profile() as profiler, pytest.raises(RuntimeError, match="once the profiled block has ended"):
            _ = profiler.profile

    def test_an_exception_in_the_block_still_leaves_a_profile(self):
        profiler = kulvo.profile(interval_ms=5)
        with pytest.raises(ZeroDivisionError), profiler:
            spin(0.03)
            _ = 1 / 0
        assert profiler.profile.sample_count > 0

    def test_output_saves_the_profile(self, tmp_path):
        target = tmp_path / "block.json"
        with kulvo.profile(interval_ms=5, output=str(target)) as profiler:
            spin(0.03)
        assert kulvo.load(target) == profiler.profile

    def test_a_profiler_can_be_used_again_after_its_block(self):
        profiler = kulvo.profile(interval_ms=5)
        with profiler:
            spin(0.02)
        first = profiler.profile
        with profiler:
            spin(0.02)
        assert profiler.profile is not first

    def test_a_profiler_cannot_be_entered_twice_at_once(self):
        profiler = kulvo.profile(interval_ms=5)
        with profiler, pytest.raises(RuntimeError, match="already running"):
            profiler.__enter__()

    def test_wall_time_is_the_blocks_own_not_the_samplers_last_interval(self):
        with kulvo.profile(interval_ms=400) as profiler:
            time.sleep(0.02)
        assert 20 <= profiler.profile.wall_time_ms < 200

    def test_in_another_thread_it_warns_and_keeps_no_stacks(self):
        seen: dict = {}

        @kulvo.profile(interval_ms=5)
        def decorated() -> None:
            pass

        def worker() -> None:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                with kulvo.profile(interval_ms=5) as profiler:
                    spin(0.03)
                decorated()
            seen.update(profile=profiler.profile, caught=caught)

        thread = threading.Thread(target=worker)
        thread.start()
        thread.join()
        assert [w.category for w in seen["caught"]] == [RuntimeWarning] * 2
        assert "main thread" in str(seen["caught"][0].message)
        assert [w.filename for w in seen["caught"]] == [__file__] * 2  # where the user's code asked
        profile = seen["profile"]
        assert profile.sample_count > 0 and profile.hot_paths == ()
        assert all(s.stack is None for s in profile.samples)

    @pytest.mark.parametrize(
        "settings",
        [{"interval_ms": 0}, {"interval_ms": 10_001}, {"interval_ms": 2.5}, {"interval_ms": True}, {"top_n": 0}],
    )
    def test_invalid_settings_are_refused_before_anything_runs(self, settings):
        with pytest.raises(ValueError, match="interval_ms|top_n"):
            kulvo.profile(**settings)


def sleep_then_work(rounds: int, phase_s: float) -> None:
    for _ in range(rounds):
        time.sleep(phase_s)  # the main thread gives the interpreter lock up here
        spin(phase_s)


def time_share(profile: kulvo.Profile, function: str) -> float:
    """The main thread's share: a thread another test left running is sampled too."""
    rows = [(s.stack, profile.weight_us(s)) for s in profile.samples if s.stack and not s.other_thread]
    on_stack = [w for stack, w in rows if any(f.function == function for f in stack)]
    return sum(on_stack) / sum(w for _, w in rows)


class TestWhereTheTimeGoes:
    def test_work_between_releases_of_the_lock_is_seen(self):
        # Sampled only when the main thread lets the lock go, the work would hardly show.
        with kulvo.profile(interval_ms=2) as p:
            sleep_then_work(rounds=40, phase_s=0.01)
        assert 0.2 < time_share(p.profile, "spin") < 0.8
        # Asleep is told apart from working.
        waiting = [s for s in p.profile.samples if s.main_thread_waiting]
        asleep = [s for s in waiting if s.stack and s.stack[-1].function == "sleep_then_work"]
        assert len(asleep) > 0.5 * len(waiting) > 0

        # Two waits a few microseconds of running apart are two places: the short one must not
        # stand in for the long one that follows it.
        def short_wait() -> None:
            time.sleep(0.001)

        def long_wait() -> None:
            time.sleep(0.007)

        with kulvo.profile(interval_ms=1) as waits:
            for _ in range(40):
                short_wait()
                long_wait()
        assert time_share(waits.profile, "short_wait") < 0.3

    def test_weights_add_up_to_the_profiled_time(self, monkeypatch):
        with kulvo.profile(interval_ms=5) as p:
            spin(0.2)
        total_ms = sum(p.profile.weight_us(s) for s in p.profile.samples) / 1000
        assert 0.7 * p.profile.wall_time_ms < total_ms < 1.5 * p.profile.wall_time_ms + 10

        # A run three times as long as the ring holds keeps its beginning: the rate halves.
        def first_phase() -> None:
            spin(0.3)

        def second_phase() -> None:
            spin(0.3)

        monkeypatch.setattr(sampling, "RING_CAPACITY", 200)
        with kulvo.profile(interval_ms=1) as long:
            first_phase()
            second_phase()
        samples = long.profile.samples
        assert len(samples) <= 200
        assert min(s.timestamp_ms for s in samples) < 50
        assert 0.35 < time_share(long.profile, "first_phase") < 0.65
        total_ms = sum(long.profile.weight_us(s) for s in samples) / 1000
        assert 0.8 * long.profile.wall_time_ms < total_ms < 1.2 * long.profile.wall_time_ms
        assert any("the rate was lowered to one sample every 4 ms" in n for n in long.profile.metadata.notes)

    def test_the_work_of_greenlets_it_switches_to_is_the_blocks(self):
        greenlet = pytest.importorskip("greenlet")
        main = greenlet.getcurrent()

        # On the thread's CPU clock: a wall-clock spin that a busy machine preempts loses more of
        # a long spin than of a short one, and the true split would drift below 2:1.
        def twice() -> None:
            while True:
                spin(0.002, time.thread_time)
                once.switch()

        def once_more() -> None:
            while True:
                spin(0.001, time.thread_time)
                main.switch()

        twice_greenlet, once = greenlet.greenlet(twice), greenlet.greenlet(once_more)
        # 0.9 s: the stack is copied about once per 4 ms tick of running, so the shares rest on
        # some 200 copies (a 0.3 s run's 75 missed the window one time in thirty or so).
        with kulvo.profile(interval_ms=1) as p:
            for _ in range(300):
                twice_greenlet.switch()
        # Each greenlet's frames are a chain of their own, without the block's frame on it.
        assert sum(1 for s in p.profile.samples if s.stack) >= 0.95 * len(p.profile.samples)
        assert 0.55 < time_share(p.profile, "twice") < 0.8
        assert 0.2 < time_share(p.profile, "once_more") < 0.45

    def test_a_worker_that_wakes_and_sleeps_in_its_task_shows_the_task(self):
        # Between its two waits the worker runs for some microseconds only: the second wait
        # is the task's (about 4 ms of each 6), not the queue's.
        tasks: queue.SimpleQueue[float | None] = queue.SimpleQueue()

        def nap(seconds: float) -> None:
            time.sleep(seconds)

        def worker() -> None:
            while (seconds := tasks.get()) is not None:
                nap(seconds)

        thread = threading.Thread(target=worker, name="napper")
        with kulvo.profile(interval_ms=1) as p:
            thread.start()
            for _ in range(60):
                tasks.put(0.004)
                time.sleep(0.006)
            tasks.put(None)
            thread.join()
        in_worker = [s for s in p.profile.samples if s.stack and s.stack[0].function == "napper"]
        napping = sum(s.weight_us for s in in_worker if s.stack[-1].function == "nap")
        assert 0.5 < napping / sum(s.weight_us for s in in_worker) < 0.85

    def test_other_threads_are_sampled_under_their_names_or_noted(self):
        stop = threading.Event()
        idle = threading.Thread(target=stop.wait, name="idle")
        with kulvo.profile(interval_ms=5) as alone:
            spin(0.02)
        idle.start()
        try:
            with kulvo.profile(interval_ms=5, threads="main") as beside:
                brief = threading.Thread(target=spin, args=(0.1,))
                brief.start()
                brief.join()
            with kulvo.profile(interval_ms=2) as every:
                # Started and ended inside the run: threading has forgotten it by the end.
                worker = threading.Thread(target=spin, args=(0.3,), name="short-lived")
                worker.start()
                worker.join()
        finally:
            stop.set()
            idle.join()
        assert not any("other thread" in note for note in alone.profile.metadata.notes)
        # The idle thread, and one that ran for 0.1 s and ended before the profile did.
        note = next(note for note in beside.profile.metadata.notes if "other thread" in note)
        found = re.match(r"2 other thread\(s\) ran, for ([0-9.]+) s of CPU", note)
        assert found and 0.01 <= float(found.group(1)) < 0.3, note  # a busy machine gives it less CPU
        assert not any("other thread" in note for note in every.profile.metadata.notes)
        working_s: dict[str, float] = {}
        worker_in_spin_s = 0.0
        for sample in every.profile.samples:
            if not sample.stack:  # a moment between the run's start and the program's first line
                continue
            thread = sample.stack[0]
            assert thread.file == "<thread>"
            if not sample.main_thread_waiting:
                working_s[thread.function] = working_s.get(thread.function, 0.0) + sample.weight_us / 1e6
            if thread.function == "short-lived" and "spin" in {f.function for f in sample.stack[-2:]}:
                worker_in_spin_s += sample.weight_us / 1e6
        # The idle thread waited throughout, the main thread joined. The worker ran for about 0.3 s.
        assert set(working_s) <= {"MainThread", "short-lived"}
        assert 0.15 < working_s["short-lived"] < 0.5
        # Nearly all of it in `spin`: the rest is threading's own start and end of the thread.
        assert worker_in_spin_s > 0.9 * working_s["short-lived"]
        assert any(s.stack[0].function == "idle" and s.main_thread_waiting for s in every.profile.samples)
        assert every.profile.sample_count == sum(1 for s in every.profile.samples if not s.other_thread)
        assert every.profile.render().count("short-lived") == 1

    def test_a_short_function_without_a_loop_or_a_call_has_its_own_time(self, monkeypatch):
        # Its time shows only when the stack is read at the sample's moment: the main thread
        # checks for requests only at function entries, backward jumps and after calls. And
        # only when the main thread is held still for the read: read over several system
        # calls while it runs on, the stack is seen around calls and returns far too often.
        def leaf(x: int) -> int:
            y = x * 3 + 1
            y = (y ^ 0x5A5A) * 7
            return y % 1_000_003

        def caller(seconds: float) -> None:
            deadline = time.perf_counter() + seconds
            while time.perf_counter() < deadline:
                for i in range(1000):
                    leaf(i)

        counts: dict[str, int] = {}
        real_note = api.reused_copies_note

        def note_seeing_counts(sampler: Any, *, interval_ms: int) -> str | None:
            counts.update(sampler.hold_counts())
            return real_note(sampler, interval_ms=interval_ms)

        monkeypatch.setattr(api, "reused_copies_note", note_seeing_counts)
        with kulvo.profile(interval_ms=1) as p:
            kicks = [signal.SIGURG, *range(signal.SIGRTMIN, signal.SIGRTMAX + 1)]
            during = [n for n in kicks if signal.getsignal(n) is not signal.SIG_DFL]
            caller(0.3)
        assert _native.stacks_readable()
        assert during == []  # held by a C handler: the program's signals are its own
        own = [w for stack, w in p.profile.weighted_stacks if stack[-1].function == "leaf"]
        assert sum(own) / sum(w for _, w in p.profile.weighted_stacks) > 0.15
        # The timer's copies come at the kernel's tick: a read that finds no new copy reuses one,
        # and says so, as each of the others takes a copy of its own or reads in place.
        assert counts["copied"] > 0
        unshared = counts["running"] - counts["reused"] - counts["uncopied"] - counts["blocked"]
        assert 0 <= unshared <= counts["copied"], counts
        note = next((n for n in p.profile.metadata.notes if "reuse a recent copy" in n), None)
        assert (note is not None) == (counts["reused"] * 4 >= counts["running"]), (note, counts)
        if note is not None:
            assert f"on {counts['running'] - counts['reused']:,} separate readings" in note

    def test_a_phase_that_has_ended_is_not_sampled_again(self):
        # At 1 ms several samples share one copy of the running stack; they must take the
        # newest, or the phase before a switch goes on drawing samples after it.
        def spin_until(deadline: float) -> None:
            while time.perf_counter() < deadline:
                for _ in range(200):
                    pass

        def first(seconds: float) -> None:
            spin_until(time.perf_counter() + seconds)

        def second(seconds: float) -> None:
            spin_until(time.perf_counter() + seconds)

        with kulvo.profile(interval_ms=1) as p:
            first(0.15)
            second(0.15)
        phases = [{f.function for f in s.stack or ()} & {"first", "second"} for s in p.profile.samples]
        switched = next(i for i, found in enumerate(phases) if "second" in found)
        assert any("first" in found for found in phases[:switched])
        assert not any("first" in found for found in phases[switched:])

    def test_a_system_call_draws_no_samples_and_a_c_sleep_is_not_interrupted(self):
        # A signal sent from another CPU reaches a thread that runs Python at its next system
        # call on a virtual machine, and ends a C sleep that has just begun with EINTR. The
        # main thread's own CPU-clock timer does neither.
        libc = ctypes.CDLL(None, use_errno=True)

        def work() -> int:
            return sum(i * i for i in range(40))

        def with_getpid(seconds: float) -> None:
            deadline = time.perf_counter() + seconds
            while time.perf_counter() < deadline:
                work()
                os.getpid()

        interrupted = 0
        with kulvo.profile(interval_ms=1) as p:
            with_getpid(0.6)
            for _ in range(150):
                spin(0.0002)
                if libc.poll(None, 0, 1) != 0 and ctypes.get_errno() == errno.EINTR:
                    interrupted += 1
        stacks = p.profile.weighted_stacks
        inside = [(stack, w) for stack, w in stacks if any(f.function == "with_getpid" for f in stack)]
        own = sum(w for stack, w in inside if stack[-1].function == "with_getpid")
        # Its own lines (the loop, the clock, getpid) take about a fifth; drawn to getpid, over 90 %.
        assert own / sum(w for _, w in inside) < 0.5
        assert interrupted == 0

    def test_stacks_read_from_memory_match_the_interpreters_frames(self):
        # Each call compares a read of the caller's stack with the interpreter's own frames:
        # deep enough to span several of the interpreter's frame chunks, in a generator, a
        # coroutine and a class's __init__, and in generated code whose names are not ASCII.
        def deep(n: int) -> bool:
            return deep(n - 1) if n else _native.stacks_readable()

        def generator() -> Iterator[bool]:
            yield _native.stacks_readable()

        async def coroutine() -> bool:
            return _native.stacks_readable()

        class Made:
            def __init__(self) -> None:
                # From 3.13 a call site, once specialised, calls this through a shim frame
                # of the interpreter's own, which no stack shows.
                self.readable = _native.stacks_readable()

        generated: dict[str, Any] = {"_native": _native}
        exec("def fünf():\n    return _native.stacks_readable()\ndef 函数():\n    return fünf()\n", generated)
        assert _native.stacks_unreadable_why() is None
        assert deep(600)
        assert next(generator())
        assert asyncio.run(coroutine())
        assert all([Made().readable for _ in range(50)])
        assert generated["函数"]()

    def test_a_deep_stack_is_sampled_whole(self):
        # Two functions calling each other 3,000 deep, over many of the interpreter's frame
        # chunks, copied by the main thread itself from 3.11: every sample at the bottom shows
        # them alternating all the way down.
        def ping(n: int) -> int:
            return pong(n - 1) if n else spin(0.3)

        def pong(n: int) -> int:
            return ping(n - 1) if n else spin(0.3)

        limit = sys.getrecursionlimit()
        sys.setrecursionlimit(10_000)
        try:
            with kulvo.profile(interval_ms=1) as p:
                ping(3000)
        finally:
            sys.setrecursionlimit(limit)
        bottom = [s.stack for s in p.profile.samples if s.stack and s.stack[-1].function == "spin"]
        assert len(bottom) > 20
        for stack in bottom:
            assert [f.function for f in stack if f.function in ("ping", "pong")] == ["ping", "pong"] * 1500 + ["ping"]

    def test_code_compiled_again_where_the_last_was_freed_shows_its_own_lines(self):
        # Two versions of one function, each compiled as the other is freed: the new code
        # object, its names and its line table land where the last ones were, and only the
        # line of the call differs.
        versions = [
            "def work(seconds):\n    x = 0\n    spin(seconds)\n",
            "def work(seconds):\n    x = 0\n\n    spin(seconds)\n",
        ]
        truth_s = [0.0, 0.0]
        with kulvo.profile(interval_ms=1) as p:
            for i in range(300):
                names: dict[str, Any] = {"spin": spin}
                exec(compile(versions[i % 2], "generated.py", "exec"), names)
                started = time.perf_counter()
                names["work"](0.004)
                truth_s[i % 2] += time.perf_counter() - started
                names.clear()  # no cycle left: freed at once
        by_line = {3: 0.0, 4: 0.0}
        for stack, weight in p.profile.weighted_stacks:
            for frame in stack:
                if frame.function == "work":
                    by_line[frame.line] = by_line.get(frame.line, 0.0) + weight
        # A sample as `work` is entered, before its first instruction, shows its `def` line,
        # as the interpreter's own frame does there: rare, and the same in both versions.
        assert set(by_line) <= {1, 3, 4}
        assert by_line.get(1, 0.0) < 0.05 * sum(by_line.values())
        share_of_3 = by_line[3] / (by_line[3] + by_line[4])
        assert abs(share_of_3 - truth_s[0] / sum(truth_s)) < 0.15

    def test_stacks_read_as_the_thread_runs_on_are_ones_it_had(self):
        # With kulvo's signal taken, stacks are read while the main thread runs on. Frames read
        # one by one as an exception unwinds three of them and a `finally` calls the leaf where
        # they were would show the leaf under a function that raised (3.11: a third of the
        # samples, with the two threads on CPUs of their own).
        def leaf() -> int:
            n = 0
            for i in range(60):
                n += i * i
            return n

        def raiser3() -> None:
            leaf()
            raise ValueError

        def raiser2() -> None:
            raiser3()

        def raiser1() -> None:
            raiser2()

        def with_finally() -> None:
            try:
                raiser1()
            except ValueError:
                pass
            finally:
                leaf()

        def at_depth(depth: int) -> None:  # the frames then lie across page boundaries too
            return with_finally() if depth == 0 else at_depth(depth - 1)

        cpus = sorted(os.sched_getaffinity(0))
        previous = signal.signal(signal.SIGURG, lambda *_: None)
        try:
            os.sched_setaffinity(0, {cpus[0]})  # the sampler thread starts on this CPU
            with kulvo.profile(interval_ms=1) as p:
                os.sched_setaffinity(0, {cpus[-1]})  # and the main thread runs on another
                deadline = time.perf_counter() + 0.6
                while time.perf_counter() < deadline:
                    for depth in range(48):
                        at_depth(depth)
        finally:
            os.sched_setaffinity(0, cpus)
            signal.signal(signal.SIGURG, previous)
        calls = {"with_finally": {"raiser1", "leaf"}, "raiser1": {"raiser2"}, "raiser2": {"raiser3"}}
        calls |= {"raiser3": {"leaf"}, "leaf": set()}
        bad = total = 0.0
        for stack, weight in p.profile.weighted_stacks:
            names = [frame.function for frame in stack if frame.function in calls]
            # Instructions the compiler gave no line (an exception handler's set-up) show the line before.
            assert all(frame.line > 0 for frame in stack if frame.function in calls)
            total += weight
            bad += weight if any(callee not in calls[caller] for caller, callee in itertools.pairwise(names)) else 0
        # A program that repeats one short pattern of calls can still meet the check at the
        # same point of it now and then.
        assert bad / total < 0.01

    def test_a_program_that_takes_or_blocks_the_signal_keeps_it_and_a_note_says_so(self):
        calls: list[int] = []
        previous = signal.getsignal(signal.SIGURG)
        try:
            with kulvo.profile(interval_ms=1) as blocked:
                signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGURG})
                spin(0.2)
                pending = signal.sigpending()
                signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGURG})
            with kulvo.profile(interval_ms=1) as during:
                spin(0.05)
                signal.signal(signal.SIGURG, lambda number, _: calls.append(number))
                spin(0.1)
            with kulvo.profile(interval_ms=1) as after:
                spin(0.05)
        finally:
            signal.signal(signal.SIGURG, signal.SIG_DFL if previous is None else previous)
        # Not sent while blocked (one sent as the mask changed is dropped), and said.
        assert signal.SIGURG not in pending
        assert any("the main thread blocked kulvo's signal (SIGURG)" in note for note in blocked.profile.metadata.notes)
        assert calls == []  # kulvo let the signal go before the program's handler went on
        assert any(note.startswith("the program took kulvo's signal") for note in during.profile.metadata.notes)
        assert any(note.startswith("the program uses kulvo's signal") for note in after.profile.metadata.notes)
        assert after.profile.samples

    def test_stacks_not_read_from_memory_are_noted_with_why(self, monkeypatch):
        monkeypatch.setattr(sampling, "stacks_unreadable_why", lambda: "kulvo knows no memory layout for CPython 3.99")
        with kulvo.profile(interval_ms=2) as p:
            spin(0.05)
        assert p.profile.samples
        assert p.profile.metadata.notes[0].startswith(
            "stacks are not read from memory (kulvo knows no memory layout for CPython 3.99); "
        )

    @pytest.mark.skipif(sys.version_info >= (3, 13), reason="from 3.13 no signal is needed")
    def test_the_programs_signals_are_left_alone_and_a_fallback_is_noted(self, monkeypatch):
        # The signal is for a sampler that cannot read the main thread's stack from memory.
        monkeypatch.setattr(sampling, "stacks_unreadable_why", lambda: "a test's reason")
        previous = signal.signal(signal.SIGURG, lambda *_: None)
        try:
            with kulvo.profile(interval_ms=2) as taken:
                spin(0.05)
            assert signal.getsignal(signal.SIGURG) is not signal.SIG_DFL  # still the program's
        finally:
            signal.signal(signal.SIGURG, previous)
        assert taken.profile.metadata.notes[0].startswith(
            "stacks are not read from memory (a test's reason); the program uses kulvo's signal (SIGURG)"
        )
        assert taken.profile.samples
        # A wakeup fd set during the run: every kick would write to it, so they stop.
        reader, writer = socket.socketpair()
        with reader, writer:
            reader.setblocking(False)
            writer.setblocking(False)
            with kulvo.profile(interval_ms=1) as woken:
                spin(0.05)
                signal.set_wakeup_fd(writer.fileno())
                spin(0.2)
                signal.set_wakeup_fd(-1)
            with pytest.raises(BlockingIOError):
                reader.recv(1024)
            monkeypatch.setattr(sampling, "stacks_unreadable_why", _native.stacks_unreadable_why)
            with kulvo.profile(interval_ms=2) as later:
                spin(0.02)
        assert any("set a signal wakeup fd" in note for note in woken.profile.metadata.notes)
        assert not any("wakeup fd" in note for note in later.profile.metadata.notes)  # that run's alone
        assert signal.set_wakeup_fd is sampling._set_wakeup_fd  # the watch ends with the run

    @pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
    def test_a_forked_child_knows_its_own_main_thread(self):
        # threading keeps the parent's kernel id for the thread that survives a fork: aimed
        # there, the child's reads found no thread, so nothing in it was ever waiting.
        pid = os.fork()
        if pid == 0:
            try:
                stop = threading.Event()
                helper = threading.Thread(target=stop.wait, name="helper")
                helper.start()
                with kulvo.profile(interval_ms=2) as profiler:
                    time.sleep(0.1)
                    spin(0.1)
                stop.set()
                helper.join()
                samples = profiler.profile.samples
                roots = {s.stack[0].line for s in samples if s.stack and s.stack[0].function == "MainThread"}
                waited = any(s.main_thread_waiting and not s.other_thread for s in samples)
                os._exit(0 if waited and roots == {os.getpid()} else 1)
            finally:
                os._exit(2)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0


def frame_files(profile: kulvo.Profile) -> set[str]:
    return {f.file for s in profile.samples if s.stack for f in s.stack}


class TestDecorator:
    def test_every_call_is_profiled_on_its_own(self):
        @kulvo.profile(interval_ms=5)
        def work(seconds: float) -> str:
            spin(seconds)
            return "result"

        assert work.last_profile is None
        assert work(0.03) == "result"
        first = work.last_profile
        assert work(0.03) == "result"
        assert work.last_profile is not first
        assert "spin" in {h.function for h in work.last_profile.hot_paths}
        assert work.__name__ == "work"

    def test_without_parentheses(self):
        @kulvo.profile
        def quick() -> int:
            return 7

        assert quick() == 7
        assert quick.last_profile.metadata.interval_ms == 50

    def test_a_recursive_call_belongs_to_the_outer_profile(self, monkeypatch):
        recordings = []
        original = api.Recording

        def counting(**kwargs):
            recordings.append(kwargs)
            return original(**kwargs)

        monkeypatch.setattr(api, "Recording", counting)

        @kulvo.profile(interval_ms=5)
        def countdown(n: int) -> int:
            return 0 if n == 0 else 1 + countdown(n - 1)

        assert countdown(5) == 5
        assert len(recordings) == 1
        assert countdown.last_profile is not None

    def test_nested_functions_each_start_at_their_own_and_leave_kulvo_out(self):
        @kulvo.profile(interval_ms=2)
        def inner() -> None:
            spin(0.05)

        @kulvo.profile(interval_ms=2)
        def outer() -> None:
            spin(0.03)
            inner()

        outer()
        inner_paths = {h.function for h in inner.last_profile.hot_paths}
        assert inner_paths == {"inner", "spin"}
        assert {"outer", "inner", "spin"} <= {h.function for h in outer.last_profile.hot_paths}
        for profile in (inner.last_profile, outer.last_profile):
            assert frame_files(profile) == {__file__}
            assert all(s.stack for s in profile.samples[1:-1])

    def test_a_coroutine_is_profiled_until_it_returns(self):
        @kulvo.profile(interval_ms=5)
        async def fetch() -> str:
            await asyncio.sleep(0.04)
            spin(0.04)
            return "fetched"

        assert inspect.iscoroutinefunction(fetch)
        assert asyncio.run(fetch()) == "fetched"
        profile = fetch.last_profile
        assert profile.wall_time_ms >= 80
        assert {"fetch", "spin"} <= {h.function for h in profile.hot_paths}
        # Stacks start at the coroutine; below it a sample may catch asyncio.sleep's own frames.
        assert all(s.stack[0].function == "fetch" for s in profile.samples if s.stack)
        assert __file__ in frame_files(profile)
        assert not any(f.startswith(os.path.dirname(kulvo.__file__)) for f in frame_files(profile))

    def test_a_generator_is_profiled_from_its_first_item_to_its_last(self):
        @kulvo.profile(interval_ms=5)
        def numbers(count: int):
            for n in range(count):
                spin(0.02)
                yield n
            return "sent"

        assert inspect.isgeneratorfunction(numbers)
        assert list(numbers(3)) == [0, 1, 2]
        assert {"numbers", "spin"} <= {h.function for h in numbers.last_profile.hot_paths}
        assert numbers.last_profile.wall_time_ms >= 60

    def test_an_async_generator_is_refused(self):
        async def stream():
            yield 1

        with pytest.raises(TypeError, match="async generator"):
            kulvo.profile(stream)

    def test_an_exception_propagates_and_the_profile_is_kept(self):
        @kulvo.profile(interval_ms=5)
        def fails() -> None:
            spin(0.02)
            raise KeyError("missing")

        with pytest.raises(KeyError):
            fails()
        assert fails.last_profile.sample_count > 0


@pytest.fixture(scope="module")
def profile() -> kulvo.Profile:
    with kulvo.profile(interval_ms=5) as profiler:
        spin(0.05)
    return profiler.profile


class TestSaveAndLoad:
    def test_json_round_trip_is_exact(self, tmp_path, profile):
        path = profile.save(str(tmp_path / "p.json"))
        assert kulvo.load(path) == profile

    def test_to_dict_is_the_saved_document(self, tmp_path, profile):
        path = profile.save(str(tmp_path / "p.json"))
        assert json.loads((tmp_path / "p.json").read_text()) == profile.to_dict()
        assert profile.to_dict()["version"] == 3 and path.endswith("p.json")

    def test_save_takes_the_format_from_the_name_or_the_argument(self, tmp_path, profile):
        assert profile.save(str(tmp_path / "p.html"))
        assert (tmp_path / "p.html").read_text().startswith("<!DOCTYPE html>")
        profile.save(str(tmp_path / "p.out"), format="collapsed")
        assert (tmp_path / "p.out").read_text().endswith("\n")
        with pytest.raises(ValueError, match="cannot tell the report format"):
            profile.save(str(tmp_path / "p.out"))

    def test_load_refuses_other_files(self, tmp_path, profile):
        (tmp_path / "other.json").write_text(profile.render("speedscope"))
        with pytest.raises(kulvo.ProfileFormatError, match="not a kulvo profile"):
            kulvo.load(tmp_path / "other.json")
        (tmp_path / "cut.json").write_text(profile.render("json")[:100])
        with pytest.raises(kulvo.ProfileFormatError, match="truncated"):
            kulvo.load(tmp_path / "cut.json")

    def test_load_refuses_a_huge_file_before_reading_it(self, tmp_path):
        with open(tmp_path / "huge.json", "wb") as huge:
            huge.truncate(storage.MAX_PROFILE_BYTES + 1)  # sparse: nothing is written
        with pytest.raises(kulvo.ProfileFormatError, match="larger than 256 MiB"):
            kulvo.load(tmp_path / "huge.json")


class TestMemory:
    def test_a_large_allocation_is_snapshotted_at_its_line(self, tmp_path):
        # In a fresh process: a large allocation would raise the test runner's own peak RSS,
        # which the processes it starts later inherit.
        program = tmp_path / "grows.py"
        program.write_text(
            textwrap.dedent(
                """
                import json, time
                import kulvo

                with kulvo.profile(interval_ms=5, memory=True) as profiler:
                    time.sleep(0.05)
                    blob = b"m" * (48 * 1024 * 1024)
                    time.sleep(0.05)
                print(json.dumps(profiler.profile.to_dict()))
                """
            )
        )
        done = subprocess.run(
            ["/bin/sh", "-c", '"$@"; exit $?', "sh", sys.executable, str(program)],
            capture_output=True,
            text=True,
            timeout=60,
        )
        assert done.returncode == 0, done.stderr
        profile = kulvo.Profile.from_dict(json.loads(done.stdout))
        snapshots = profile.memory_snapshots
        assert snapshots, "no snapshot for a 48 MiB allocation:\n" + profile.render("text")
        sites = [(site.file, site.line) for snapshot in snapshots for site in snapshot.top_sites[:1]]
        assert (str(program), 7) in sites
        first = snapshots[0]
        assert 40 <= first.time_ms <= profile.wall_time_ms
        assert first.traced_bytes >= 48 * MIB

    def test_what_was_held_at_the_peak_is_named_after_it_was_freed(self, tmp_path):
        program = tmp_path / "peak.py"
        program.write_text(
            textwrap.dedent(
                """
                import json, time
                import kulvo

                def build():
                    return [str(i) * 3 + "x" for i in range(300_000)]

                with kulvo.profile(interval_ms=5, memory=True) as profiler:
                    kept = build()
                    small = [bytes(100) for _ in range(20_000)]
                    del kept
                    time.sleep(0.05)
                print(json.dumps(profiler.profile.to_dict()))
                """
            )
        )
        done = subprocess.run([sys.executable, str(program)], capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        profile = kulvo.Profile.from_dict(json.loads(done.stdout))
        peaks = [snapshot for snapshot in profile.memory_snapshots if snapshot.at_peak]
        assert len(peaks) == 1, profile.render("text")
        peak = peaks[0]
        # 300,000 strings of about 60 bytes and their list: about 20 MiB, nearly all of it build()'s.
        assert 14 * MIB <= peak.traced_bytes <= 30 * MIB
        top = peak.top_sites[0]
        assert (top.file, top.line) == (str(program), 6)
        assert top.size_bytes >= 0.8 * peak.traced_bytes
        assert "Memory held at the peak" in profile.render("text")
        assert not tracemalloc.is_tracing()

    @pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
    def test_a_forked_child_samples_nothing_of_the_parents_and_may_sample_its_own(self):
        from kulvo import _native

        with kulvo.profile(interval_ms=5, memory=True):
            pid = os.fork()
            if pid == 0:  # the child: its own sampling starts afresh, and nothing of the parent's is kept
                try:
                    _native.start_allocation_sampling(1024)
                    kept = [bytes(100) for _ in range(1000)]
                    live = _native.sampled_line_totals(frozenset(), ())[2]
                    _native.stop_allocation_sampling()
                    os._exit(0 if 50_000 <= live <= 200_000 and kept else 1)
                finally:
                    os._exit(2)
            _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0

    def test_a_program_that_traces_keeps_its_tracing_and_hooks_put_over_kulvos_are_noted(self):
        def build() -> list[str]:
            return [str(i) * 20 for i in range(100_000)]

        tracemalloc.start()
        try:
            with kulvo.profile(interval_ms=5, memory=True) as profiler:
                kept = build()
            assert tracemalloc.is_tracing()
        finally:
            tracemalloc.stop()
        peak = next(m for m in profiler.profile.memory_snapshots if m.at_peak)
        assert (peak.top_sites[0].file, peak.top_sites[0].line) == (__file__, build.__code__.co_firstlineno + 1)
        del kept

        with kulvo.profile(interval_ms=5, memory=True) as profiler:
            tracemalloc.start()  # its hooks wrap kulvo's until the run ends
        try:
            assert any("allocator hooks over kulvo's" in note for note in profiler.profile.metadata.notes)
        finally:
            tracemalloc.stop()

    def test_without_memory_there_are_no_snapshots(self):
        with kulvo.profile(interval_ms=5) as profiler:
            blob = b"m" * MIB
            time.sleep(0.03)
        del blob
        assert profiler.profile.memory_snapshots == ()
        assert not tracemalloc.is_tracing()


class TestPackageLayout:
    def test_no_import_circle_among_the_packages_modules(self):
        """Every import counts, also one inside a function: the model must not reach back to
        the renderers or the storage that import it."""
        root = Path(kulvo.__file__).parent
        modules = {
            ".".join(("kulvo", *path.relative_to(root).with_suffix("").parts)).removesuffix(".__init__"): path
            for path in root.rglob("*.py")
        }
        graph: dict[str, set[str]] = {}
        for name, path in modules.items():
            imported: set[str] = set()
            for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
                if isinstance(node, ast.Import):
                    imported.update(alias.name for alias in node.names)
                elif isinstance(node, ast.ImportFrom) and node.module:
                    # `from package import module` imports the module; `from module import name`, the module.
                    for alias in node.names:
                        submodule = f"{node.module}.{alias.name}"
                        imported.add(submodule if submodule in modules else node.module)
            graph[name] = {m for m in imported if m in modules and m != name}
        assert "kulvo.reports" not in graph["kulvo.model"]
        list(graphlib.TopologicalSorter(graph).static_order())  # raises CycleError naming the circle

    def test_the_packages_names_load_on_first_use(self):
        # `import kulvo` alone loads none of them (`kulvo run` starts the program sooner), yet
        # every exported name and module is there when asked for.
        program = (
            "import sys, kulvo; before = 'kulvo.model' in sys.modules;"
            "print(before, all(getattr(kulvo, n) for n in kulvo.__all__), kulvo.model.Profile is kulvo.Profile)"
        )
        done = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, check=True)
        assert done.stdout.split() == ["False", "True", "True"]

    def test_both_native_modules_share_one_copy_of_the_engine(self):
        # Each module with an engine of its own would have its own signal state, timers and
        # list of sampler threads; both are entry points into the one library beside them.
        import kulvo._core

        modules = {name: Path(sys.modules[name].__file__ or "") for name in ("kulvo._core", "kulvo._native")}
        library = Path(kulvo.__file__).parent / "libkulvo.so"
        mapped = {line.split()[-1] for line in Path("/proc/self/maps").read_text().splitlines() if "/" in line}
        assert str(library.resolve()) in mapped
        for path in modules.values():
            assert path.stat().st_size * 10 < library.stat().st_size
