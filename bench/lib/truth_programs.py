"""Programs that measure their own split of time, to be profiled from outside:

    kulvo run -o PROFILE.json truth_programs.py PROGRAM SECONDS TRUTH.json

Each program repeats its phases until SECONDS have passed, timing every phase with
perf_counter, and writes each phase's share of the measured total to TRUTH.json. A phase
is one function of this file, so a profile's share for it is the share of the samples
(or sample time) whose stack holds that function. Phase sizes come from a short untimed
calibration at start-up."""

from __future__ import annotations

import asyncio
import json
import os
import random
import selectors
import subprocess
import sys
import threading
import time
from collections.abc import Callable

clock = time.perf_counter


def spin(iterations: int) -> int:
    x = 1
    for _ in range(iterations):
        x = (x * 48271) % 2147483647
    return x


def iterations_for(ms: float) -> int:
    """Loop iterations that take about `ms` here: the fastest of a few timed tries."""
    trial = 50_000
    fastest = min(_timed(spin, trial) for _ in range(3))
    return max(1, round(trial * ms / 1000 / fastest))


def _timed(fn: Callable, arg: object) -> float:
    t0 = clock()
    fn(arg)
    return clock() - t0


# --- phases: each is the function whose samples are counted for it ------------------------


def work(iterations: int) -> None:
    spin(iterations)


def light_work(iterations: int) -> None:
    spin(iterations)


def nap(seconds: float) -> None:
    time.sleep(seconds)


def sort_floats(data: list) -> None:
    # sorted() of floats runs in C from start to end and keeps the interpreter lock.
    sorted(data)


def read_reply(pipe: subprocess.Popen) -> None:
    # os.read blocks with the interpreter lock released until the echo arrives.
    os.write(pipe.stdin.fileno(), b"?")
    os.read(pipe.stdout.fileno(), 1)


def idle_wait(seconds: float) -> None:
    threading.Event().wait(seconds)


Phase = tuple[Callable, object]


def alternate(seconds: float, phases: list[Phase]) -> dict[str, float]:
    """The driver: runs the phases in turn until the deadline; returns each one's share."""
    spent = {fn.__name__: 0.0 for fn, _ in phases}
    start = clock()
    deadline = start + seconds
    while clock() < deadline:
        for fn, arg in phases:
            spent[fn.__name__] += _timed(fn, arg)
    total = clock() - start
    return {name: value / total for name, value in spent.items()}


# --- asyncio: 4 tasks compute, then yield with sleep(0) --------------------------------------


class TimedSelector(selectors.DefaultSelector):  # type: ignore[misc,valid-type]
    spent_s = 0.0

    def select(self, timeout=None):
        t0 = clock()
        try:
            return super().select(timeout)
        finally:
            TimedSelector.spent_s += clock() - t0


def compute(iterations: int) -> None:
    spin(iterations)


def run_tasks(seconds: float, iterations: int) -> dict[str, float]:
    """The asyncio driver: the selector's own time is the `select` phase."""
    spent = {"compute": 0.0}

    async def task(deadline: float) -> None:
        while clock() < deadline:
            spent["compute"] += _timed(compute, iterations)
            await asyncio.sleep(0)

    async def main(deadline: float) -> None:
        await asyncio.gather(*(task(deadline) for _ in range(4)))

    loop = asyncio.SelectorEventLoop(TimedSelector())
    start = clock()
    try:
        loop.run_until_complete(main(start + seconds))
    finally:
        loop.close()
    total = clock() - start
    return {"compute": spent["compute"] / total, "select": TimedSelector.spent_s / total}


# --- the programs ---------------------------------------------------------------------------


def delayed_echo() -> subprocess.Popen:
    """A child that answers each byte 10 ms later: a pipe that delivers after 10 ms."""
    code = "import os, time\nwhile os.read(0, 1):\n    time.sleep(0.010)\n    os.write(1, b'!')\n"
    return subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)


def sort_data() -> list:
    rng = random.Random(11)
    return [rng.random() for _ in range(200_000)]


# name: (driver function's name, phase names, body(seconds) -> truth)
PROGRAMS: dict[str, tuple[str, list[str], Callable[[float], dict[str, float]]]] = {
    "work3_sleep3": ("alternate", ["work", "nap"], lambda s: alternate(s, [(work, iterations_for(3)), (nap, 0.003)])),
    "work10_sleep10": ("alternate", ["work", "nap"], lambda s: alternate(s, [(work, iterations_for(10)), (nap, 0.010)])),
    "work20_sleep20": ("alternate", ["work", "nap"], lambda s: alternate(s, [(work, iterations_for(20)), (nap, 0.020)])),
    "work1_read_pipe": ("alternate", ["work", "read_reply"],
                        lambda s: alternate(s, [(work, iterations_for(1)), (read_reply, delayed_echo())])),
    "work20_sort": ("alternate", ["work", "sort_floats"],
                    lambda s: alternate(s, [(work, iterations_for(20)), (sort_floats, sort_data())])),
    "two_functions_70_30": ("alternate", ["work", "light_work"],
                            lambda s: alternate(s, [(work, iterations_for(14)), (light_work, iterations_for(6))])),
    "asyncio_4_tasks": ("run_tasks", ["compute", "select"], lambda s: run_tasks(s, iterations_for(1))),
    # For the achieved rate and the CPU reading: the main thread busy, or idle.
    "busy": ("alternate", ["work"], lambda s: alternate(s, [(work, iterations_for(5))])),
    "idle": ("alternate", ["idle_wait"], lambda s: alternate(s, [(idle_wait, 0.1)])),
}


if __name__ == "__main__":
    name, seconds, out = sys.argv[1], float(sys.argv[2]), sys.argv[3]
    wall_s, cpu_s = clock(), time.process_time()
    shares = PROGRAMS[name][2](seconds)
    # The process's own CPU over the run: what a per-sample CPU reading should average to,
    # below 100 % for a busy thread when other jobs share the cores.
    cpu_percent = 100 * (time.process_time() - cpu_s) / (clock() - wall_s)
    with open(out, "w") as f:
        json.dump({"shares": shares, "cpu_percent": cpu_percent}, f)
