"""The sampler inside a whole process: exit without stop(), fork, signals."""

import sys
import time

import pytest
from support import run_python

BUSY_WITHOUT_STOP = """
import sys, time
from kulvo._core import PySampler
sampler = PySampler(interval_ms={interval_ms})
sampler.start()
deadline = time.perf_counter() + 0.15
while time.perf_counter() < deadline:
    pass  # the main thread keeps the lock, so the sampler is often waiting for it
{ending}
"""


class TestExitWithoutStop:
    @pytest.mark.parametrize(
        "ending, status",
        [("", 0), ("sys.exit(3)", 3), ("del sampler", 0), ("import os; os.environ['X'] = '1'", 0)],
        ids=["falls off the end", "sys.exit", "released first", "plain statement"],
    )
    @pytest.mark.slow
    def test_exits_with_the_programs_status_and_a_clean_stderr(self, ending, status):
        for _ in range(20 if ending == "" else 5):
            done = run_python(BUSY_WITHOUT_STOP.format(interval_ms=1, ending=ending), timeout=30)
            assert (done.returncode, done.stderr) == (status, "")

    def test_an_uncaught_exception_exits_1_with_only_its_traceback(self):
        done = run_python(BUSY_WITHOUT_STOP.format(interval_ms=1, ending="raise ValueError('boom')"))
        assert done.returncode == 1
        assert done.stderr.startswith("Traceback (most recent call last):")
        assert done.stderr.rstrip().endswith("ValueError: boom")
        assert "kulvo" not in done.stderr

    @pytest.mark.slow
    def test_exit_waits_at_most_about_one_interval(self):
        code = BUSY_WITHOUT_STOP.format(interval_ms=1500, ending="print(time.time(), flush=True)")
        done = run_python(code, timeout=30)
        exited = time.time()
        assert (done.returncode, done.stderr) == (0, "")
        assert exited - float(done.stdout) < 1.5 + 1.0

    def test_two_samplers_and_a_daemon_thread_using_one(self):
        done = run_python(
            """
            import threading, time
            from kulvo._core import PySampler
            first, second = PySampler(interval_ms=1), PySampler(interval_ms=2)
            first.start(); second.start()
            def watcher():
                while True:
                    second.mem_spike_flag()
                    time.sleep(0.001)
            threading.Thread(target=watcher, daemon=True).start()
            deadline = time.perf_counter() + 0.2
            while time.perf_counter() < deadline:
                pass
            """
        )
        assert (done.returncode, done.stderr) == (0, "")


@pytest.mark.skipif(sys.platform != "linux", reason="fork and /proc are Linux-specific here")
class TestFork:
    def test_child_stops_promptly_without_the_parents_samples(self):
        done = run_python(
            """
            import os, time
            from kulvo._core import PySampler
            sampler = PySampler(interval_ms=5)
            sampler.start()
            time.sleep(0.2)
            pid = os.fork()
            if pid == 0:
                began = time.monotonic()
                result = sampler.stop()
                took = time.monotonic() - began
                ok = result["sample_count"] == 0 and result["samples"] == [] and took < 1.0
                os._exit(0 if ok else 1)
            _, status = os.waitpid(pid, 0)
            time.sleep(0.1)
            result = sampler.stop()
            print(os.waitstatus_to_exitcode(status), result["sample_count"] > 40)
            """,
            timeout=30,
        )
        assert done.returncode == 0, done.stderr
        assert done.stdout.split() == ["0", "True"]

    def test_child_can_release_the_instance_and_run_a_sampler_of_its_own(self):
        done = run_python(
            """
            import os, time
            from kulvo._core import PySampler
            sampler = PySampler(interval_ms=5)
            sampler.start()
            time.sleep(0.05)
            pid = os.fork()
            if pid == 0:
                del sampler
                mine = PySampler(interval_ms=5)
                mine.start()
                time.sleep(0.1)
                result = mine.stop()
                os._exit(0 if result["sample_count"] > 5 else 1)
            _, status = os.waitpid(pid, 0)
            print(os.waitstatus_to_exitcode(status), sampler.is_running(), sampler.stop()["sample_count"] > 10)
            """,
            timeout=30,
        )
        assert done.returncode == 0, done.stderr
        assert done.stdout.split() == ["0", "True", "True"]

    def test_multiprocessing_fork_workers_exit_cleanly(self):
        done = run_python(
            """
            import multiprocessing as mp, time
            from kulvo._core import PySampler
            def work(n):
                return sum(range(n))
            if __name__ == "__main__":
                sampler = PySampler(interval_ms=2)
                sampler.start()
                with mp.get_context("fork").Pool(2) as pool:
                    print(sum(pool.map(work, [10000] * 8)))
                print(sampler.stop()["sample_count"] > 0)
            """,
            timeout=60,
        )
        assert done.returncode == 0, done.stderr
        assert done.stdout.split() == [str(8 * sum(range(10000))), "True"]


@pytest.mark.skipif(not hasattr(__import__("signal"), "sigtimedwait"), reason="needs sigtimedwait")
def test_process_directed_signals_reach_the_thread_that_waits_for_them():
    done = run_python(
        """
        import os, signal, threading, time
        from kulvo._core import PySampler
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1})
        sampler = PySampler(interval_ms=1)
        sampler.start()
        received = 0
        for _ in range(50):
            os.kill(os.getpid(), signal.SIGUSR1)
            if signal.sigtimedwait({signal.SIGUSR1}, 2.0) is not None:
                received += 1
        sampler.stop()
        print(received)
        """,
        timeout=60,
    )
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout.strip() == "50"


# Both samplers: the documented one and the package's, which reads stacks where the main
# thread is and falls back to reading them from its own thread.
SAMPLERS = {
    "PySampler": "from kulvo._core import PySampler as Sampler",
    "package sampler": "from kulvo._native import Sampler",
}

TRACEMALLOC_RESTARTED = """
import time, tracemalloc
{import_sampler}
sampler = Sampler(interval_ms=1)
sampler.start()
deadline = time.monotonic() + 0.7
while time.monotonic() < deadline:
    tracemalloc.start()
    garbage = [object() for _ in range(100)]
    tracemalloc.stop()
sampler.stop()
print("done")
"""

# The program holds a lock while it stops the sampler; its garbage's finalizers take that
# lock. A collection run on the sampler thread would wait for the lock for ever.
FINALIZERS_TAKE_A_HELD_LOCK = """
import gc, threading, time
{import_sampler}
lock = threading.RLock()
finalized_on = set()
class Cycle:
    def __init__(self):
        self.me = self
    def __del__(self):
        finalized_on.add(threading.current_thread().name)
        with lock:
            pass
sampler = Sampler(interval_ms=1)
sampler.start()
gc.disable()
garbage = [Cycle() for _ in range(2000)]
del garbage
gc.set_threshold(5)
with lock:
    gc.enable()
    time.sleep(0.05)
    sampler.stop()
gc.collect()
print(sorted(finalized_on))
"""


@pytest.mark.parametrize("import_sampler", SAMPLERS.values(), ids=SAMPLERS.keys())
class TestProgramsThatMeetTheSamplerThread:
    def test_tracemalloc_started_and_stopped_in_a_loop(self, import_sampler):
        for _ in range(3):
            done = run_python(TRACEMALLOC_RESTARTED.format(import_sampler=import_sampler), timeout=60)
            assert (done.returncode, done.stdout, done.stderr) == (0, "done\n", "")

    def test_finalizers_never_run_on_the_sampler_thread(self, import_sampler):
        for _ in range(3):
            done = run_python(FINALIZERS_TAKE_A_HELD_LOCK.format(import_sampler=import_sampler), timeout=30)
            assert (done.returncode, done.stdout, done.stderr) == (0, "['MainThread']\n", "")
