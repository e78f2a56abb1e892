"""Runs one pyperformance benchmark's own workload over and over for a given time, for a
profiler that wraps the command line (`kulvo run`, `py-spy record`):

    pyperf_driver.py NAME SECONDS

Every sample of the workload has `until_deadline` on its stack; samples without it (start-up,
and the benchmark script's own imports, which run inside `drive` before its loop) are left out
of the comparison."""

from __future__ import annotations

import sys
import time

import workloads


def drive(name: str, seconds: float) -> None:
    deadline = time.perf_counter() + seconds

    def until_deadline(body) -> None:
        while time.perf_counter() < deadline:
            body()

    workloads.run_pyperformance(name, 1, until_deadline)


if __name__ == "__main__":
    drive(sys.argv[1], float(sys.argv[2]))
