"""What the sampler records: stacks of the main thread, CPU, peak memory, the spike flag."""

import hashlib
import os
import statistics
import sys
import threading
import time

import pytest
from support import innermost, run_python

from kulvo._core import PySampler


def busy(seconds: float) -> None:
    deadline = time.perf_counter() + seconds
    while time.perf_counter() < deadline:
        pass


def profile(target, interval_ms: int = 10, **kwargs) -> dict:
    sampler = PySampler(interval_ms=interval_ms, **kwargs)
    sampler.start()
    try:
        target()
    finally:
        result = sampler.stop()
    return result


class TestStacks:
    def test_busy_function_seen_from_module_to_innermost_frame(self):
        done = run_python(
            """
            import json, time
            from kulvo._core import PySampler

            def busy(seconds):
                deadline = time.perf_counter() + seconds
                while time.perf_counter() < deadline:
                    pass

            sampler = PySampler(interval_ms=10)
            sampler.start()
            busy(0.6)
            print(json.dumps(sampler.stop()))
            """
        )
        assert done.returncode == 0, done.stderr
        import json

        result = json.loads(done.stdout)
        samples = result["samples"]
        assert result["sample_count"] == len(samples) >= 20
        stamps = [s["timestamp_ms"] for s in samples]
        assert stamps == sorted(stamps)
        assert samples[0]["cpu_percent"] == 0.0
        rss = [s["rss_bytes"] for s in samples]
        assert rss == sorted(rss) and rss[0] > 0
        busy_stacks = [s["stack"] for s in samples if s["stack"] and s["stack"][-1]["function"] == "busy"]
        assert len(busy_stacks) >= 0.8 * len(samples)
        for stack in busy_stacks:
            assert stack[0]["function"] == "<module>"
            assert stack[0]["file"] == "<string>"
            assert [f["function"] for f in stack] == ["<module>", "busy"]
        assert result["wall_time_ms"] >= stamps[-1]

    def test_nested_calls_are_outermost_first_with_their_lines(self):
        def inner():
            busy(0.3)

        def outer():
            inner()

        result = profile(outer)
        stacks = [s["stack"] for s in result["samples"] if innermost(s) == "busy"]
        assert stacks
        names = [f["function"] for f in stacks[-1]]
        assert names[-3:] == ["outer", "inner", "busy"]
        assert stacks[-1][-2]["line"] == inner.__code__.co_firstlineno + 1
        assert all(f["file"] == __file__ for f in stacks[-1][-3:])

    def test_a_thousand_frame_recursion_is_captured_whole(self):
        depth_seen = []

        def recurse(n):
            if n == 0:
                busy(0.3)
            else:
                recurse(n - 1)

        limit = sys.getrecursionlimit()
        sys.setrecursionlimit(5000)
        try:
            result = profile(lambda: recurse(1000))
        finally:
            sys.setrecursionlimit(limit)
        for sample in result["samples"]:
            if innermost(sample) == "busy":
                depth_seen.append(sum(f["function"] == "recurse" for f in sample["stack"]))
        assert depth_seen and max(depth_seen) == 1001

    def test_file_names_with_a_lone_surrogate_or_a_nul(self):
        def spin():
            busy(0.2)

        odd = {"lone\udcffsurrogate.py": "lone?surrogate.py", "cut\x00here.py": "cut"}
        for raw, shown in odd.items():
            spin.__code__ = spin.__code__.replace(co_filename=raw)
            result = profile(spin)
            files = {s["stack"][-2]["file"] for s in result["samples"] if innermost(s) == "busy"}
            assert files == {shown}

    def test_frames_of_other_threads_are_not_mixed_in(self):
        stop = threading.Event()
        worker = threading.Thread(target=lambda: stop.wait(5))
        worker.start()
        try:
            result = profile(lambda: busy(0.2))
        finally:
            stop.set()
            worker.join()
        assert all("wait" not in [f["function"] for f in s["stack"]] for s in result["samples"] if s["stack"])


REPLACED = """
import sys, threading, time
from kulvo._core import PySampler

def busy(seconds):
    deadline = time.perf_counter() + seconds
    while time.perf_counter() < deadline:
        pass

real = sys._current_frames
{setup}
sampler = PySampler(interval_ms=5)
sampler.start()
busy(0.3)
result = sampler.stop()
{teardown}
stacks = [s["stack"] for s in result["samples"]]
print(sum(s is None for s in stacks), len(stacks))
print(max(((len(s), s[-1]["function"]) for s in stacks if s), default=(0, "-")))
"""


class TestReplacedCurrentFrames:
    def run(self, setup: str, teardown: str = "") -> tuple[int, int, str]:
        done = run_python(REPLACED.format(setup=setup, teardown=teardown))
        assert done.returncode == 0, done.stderr
        assert done.stderr == ""
        counts, deepest = done.stdout.splitlines()
        missing, total = map(int, counts.split())
        assert total > 10
        return missing, total, deepest

    def test_without_the_main_thread_the_deepest_other_stack_is_taken(self):
        setup = """
ready = threading.Barrier(3)
done = threading.Event()
def nest(n):
    if n == 0:
        ready.wait()
        done.wait()
    else:
        nest(n - 1)
threads = [threading.Thread(target=nest, args=(n,)) for n in (3, 5)]
for t in threads:
    t.start()
ready.wait()
main_ident = threading.main_thread().ident
sys._current_frames = lambda: {k: v for k, v in real().items() if k != main_ident}
"""
        teardown = "done.set()\nfor t in threads: t.join()"
        missing, _total, deepest = self.run(setup, teardown)
        assert missing == 0
        assert "'wait'" in deepest
        # nest(5) has six nest frames under the thread's own bootstrap frames
        assert deepest == str((eval(deepest)[0], "wait"))

    @pytest.mark.parametrize(
        "replacement",
        [
            "lambda: [1, 2, 3]",
            "lambda: 1 / 0",
            "lambda: {threading.main_thread().ident: 'not a frame', 7: 42, 'x': None}",
            "lambda: {threading.main_thread().ident: sys}",
        ],
        ids=["list", "raises", "non-frame values", "frame-like module"],
    )
    def test_unusable_results_leave_samples_without_stacks(self, replacement):
        missing, total, _ = self.run(f"sys._current_frames = {replacement}")
        assert missing == total

    def test_an_audit_hook_refusing_current_frames_leaves_no_stacks_and_no_output(self):
        setup = """
def refuse(event, args):
    if event == "sys._current_frames":
        raise RuntimeError("not here")
sys.addaudithook(refuse)
"""
        missing, total, _ = self.run(setup)
        assert missing == total


def test_threading_imported_late_keeps_the_real_main_thread():
    # Loads the extension alone, so that nothing has imported threading before start().
    import kulvo._core

    done = run_python(
        f"""
        import importlib.machinery, importlib.util, sys, time
        assert "threading" not in sys.modules
        path = {kulvo._core.__file__!r}
        loader = importlib.machinery.ExtensionFileLoader("kulvo._core", path)
        core = loader.load_module() if sys.version_info < (3, 12) else None
        if core is None:
            found = importlib.util.spec_from_file_location("kulvo._core", path, loader=loader)
            core = importlib.util.module_from_spec(found)
            loader.exec_module(core)
        assert "threading" not in sys.modules

        def busy(seconds):
            deadline = time.perf_counter() + seconds
            while time.perf_counter() < deadline:
                pass

        sampler = core.PySampler(interval_ms=5)
        sampler.start()
        busy(0.3)
        result = sampler.stop()
        import threading
        found = sum(1 for s in result["samples"] if s["stack"] and s["stack"][-1]["function"] == "busy")
        print(found, result["sample_count"], threading.main_thread() is threading.current_thread())
        """,
        "-S",
    )
    assert done.returncode == 0, done.stderr
    found, total, is_main = done.stdout.split()
    assert is_main == "True"
    assert int(found) >= 0.8 * int(total) > 0


class TestResources:
    def test_two_threads_busy_outside_the_lock_use_two_cores(self):
        data = b"x" * (8 * 1024 * 1024)
        stop = threading.Event()

        def hash_forever():
            while not stop.is_set():
                hashlib.sha256(data).digest()  # releases the GIL while hashing

        workers = [threading.Thread(target=hash_forever) for _ in range(2)]
        for worker in workers:
            worker.start()
        time.sleep(0.1)
        sampler = PySampler(interval_ms=50)
        sampler.start()
        time.sleep(0.1)
        cpu_before, wall_before = _process_cpu_seconds(), time.monotonic()
        time.sleep(1.0)
        cpu_after, wall_after = _process_cpu_seconds(), time.monotonic()
        time.sleep(0.1)
        result = sampler.stop()
        stop.set()
        for worker in workers:
            worker.join()
        # What the process really used meanwhile; on a loaded machine it may be below 200.
        used_percent = (cpu_after - cpu_before) / (wall_after - wall_before) * 100.0
        cpu = [s["cpu_percent"] for s in result["samples"][3:-2]]
        assert statistics.median(cpu) == pytest.approx(used_percent, abs=25.0)
        if used_percent > 170.0:
            assert statistics.median(cpu) > 150.0

    def test_a_large_allocation_raises_the_flag_once_until_cleared(self):
        # A fresh process: the flag follows the peak resident size, which earlier tests may have raised.
        done = run_python(
            """
            import time
            from kulvo._core import PySampler
            sampler = PySampler(interval_ms=100)
            sampler.start()
            time.sleep(0.25)
            seen = [sampler.mem_spike_flag()]
            block = bytearray(b"x" * (64 * 1024 * 1024))  # filled, so resident
            time.sleep(0.35)
            seen += [sampler.mem_spike_flag(), sampler.mem_spike_flag()]  # reading does not clear it
            seen += [sampler.notify_snapshot_taken(), sampler.mem_spike_flag()]
            time.sleep(0.3)
            seen.append(sampler.mem_spike_flag())  # no new rise, no new flag
            rss = [s["rss_bytes"] for s in sampler.stop()["samples"]]
            print(seen, rss[-1] - rss[0] >= 64 * 1024 * 1024)
            """
        )
        assert done.returncode == 0, done.stderr
        assert done.stdout.strip() == "[False, True, True, None, False, False] True"


def _process_cpu_seconds() -> float:
    times = os.times()
    return times.user + times.system
