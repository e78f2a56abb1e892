"""A main thread that waits on a thread pool's futures: is the wait counted as waiting?

The main thread works 20 ms of its own, then submits 40 tasks of 1 ms of pure-Python work to
four workers and waits for them, twenty times, under `kulvo.profile` at the given interval.
Reported: the share of the run the main thread was active (not waiting), and the share of that
active time whose stack is inside `wait` (the pool's futures) or inside its own work. Run it
with the interpreter whose virtualenv has kulvo installed, with `--load 2` for two CPU-bound
processes beside it:

    python bench/pool_wait.py [--interval-ms N] [--runs N] [--load N]
"""

from __future__ import annotations

import argparse
import json
import platform
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor, wait

import kulvo


def task(ms: float) -> int:
    deadline = time.perf_counter() + ms / 1000
    n = 0
    while time.perf_counter() < deadline:
        n += 1
    return n


def own_work(seconds: float) -> None:
    deadline = time.perf_counter() + seconds
    while time.perf_counter() < deadline:
        pass


def program() -> None:
    with ThreadPoolExecutor(4) as pool:
        for _ in range(20):
            own_work(0.02)
            wait([pool.submit(task, 1) for _ in range(40)])


def one_run(interval_ms: int) -> dict[str, float]:
    with kulvo.profile(interval_ms=interval_ms, threads="main") as p:  # the main thread's wait alone
        program()
    profile = p.profile
    weighted = list(zip(profile.weighted_stacks, profile.samples))
    total = sum(w for (_, w), _ in weighted)
    active = [(stack, w) for (stack, w), sample in weighted if not sample.main_thread_waiting]
    active_us = sum(w for _, w in active)

    def share(function: str) -> float:
        return 100 * sum(w for stack, w in active if any(f.function == function for f in stack)) / active_us

    return {"active %": 100 * active_us / total, "wait % of active": share("wait"), "own work % of active": share("own_work")}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--interval-ms", type=int, default=1)
    parser.add_argument("--runs", type=int, default=4)
    parser.add_argument("--load", type=int, default=0)
    args = parser.parse_args()
    burners = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(args.load)]
    try:
        runs = [one_run(args.interval_ms) for _ in range(args.runs)]
    finally:
        for burner in burners:
            burner.kill()
    figures = {"python": platform.python_version(), "interval_ms": args.interval_ms, "load": args.load,
               "wait % of active, per run": [round(r["wait % of active"], 1) for r in runs],
               "active %, per run": [round(r["active %"], 1) for r in runs]}
    print(json.dumps(figures))


if __name__ == "__main__":
    main()
