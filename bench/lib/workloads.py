"""Workloads for the overhead runs. Each takes a scale (units of work) and returns nothing
useful; a unit is small (a few ms) so that calibration can hit a target duration."""

from __future__ import annotations

import json
import os
import random
import sys


def fib(n: int) -> int:
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def recursion(scale: int) -> None:
    """Call-heavy: naive recursive Fibonacci, ~22 frames deep at the bottom."""
    for _ in range(scale):
        fib(20)


def numeric(scale: int) -> None:
    """A pure-Python numeric loop: LCG, float arithmetic, no calls in the body."""
    x = 12345
    acc = 0.0
    for _ in range(scale):
        for _ in range(20000):
            x = (x * 1103515245 + 12345) & 0x7FFFFFFF
            acc += (x % 1000) * 0.5 - acc * 1e-6


def strings_json(scale: int) -> None:
    """String formatting, splitting and joining, and a JSON round trip per unit."""
    rng = random.Random(7)
    words = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"]
    for _ in range(scale):
        records = [
            {"id": i, "name": " ".join(rng.choice(words) for _ in range(4)), "score": i * 0.25, "tags": words[i % 5 :]}
            for i in range(150)
        ]
        text = json.dumps(records)
        back = json.loads(text)
        line = ";".join(f"{r['id']}:{r['name'].upper()}" for r in back)
        parts = [p.split(":")[1].lower().replace(" ", "_") for p in line.split(";")]
        assert len(parts) == 150


_grown: list = []


def alloc_growth(scale: int) -> None:
    """Allocation growth: every unit keeps ~0.5 MB of new small objects alive."""
    _grown.clear()
    for u in range(scale):
        chunk = [(i, str(u * 1000 + i), [i] * 8) for i in range(2000)]
        chunk.append(bytes(200_000))
        _grown.append(chunk)


def cpu_mix(scale: int) -> None:
    """The sampling-loop workload: recursion and a numeric loop, half each."""
    for _ in range(scale):
        fib(18)
        x = 1
        for _ in range(6000):
            x = (x * 48271) % 2147483647


OWN = {
    "recursion": recursion,
    "numeric": numeric,
    "strings_json": strings_json,
    "alloc_growth": alloc_growth,
    "cpu_mix": cpu_mix,
}


# --- pyperformance programs ----------------------------------------------------------
# pyperformance ships each benchmark as a script driven by pyperf.Runner. A stand-in
# Runner calls the benchmark's function `scale` times inside our timed region instead
# of spawning pyperf's worker processes.


def pyperformance_script(name: str) -> str:
    import pyperformance

    base = os.path.join(os.path.dirname(pyperformance.__file__), "data-files", "benchmarks")
    path = os.path.join(base, f"bm_{name}", "run_benchmark.py")
    if not os.path.exists(path):
        raise FileNotFoundError(path)
    return path


def run_pyperformance(name: str, scale: int, timed) -> None:
    """Runs bm_<name> with `timed(fn)` wrapped around the benchmark calls."""
    import argparse
    import runpy

    import pyperf

    class StandInRunner:
        def __init__(self, *args, add_cmdline_args=None, **kwargs):
            self.argparser = argparse.ArgumentParser()
            self.metadata = {}

        def parse_args(self, args=None):
            return self.argparser.parse_args([])

        def bench_func(self, name, func, *args, inner_loops=None, **kwargs):
            def body():
                for _ in range(scale):
                    func(*args)

            timed(body)

        def bench_time_func(self, name, func, *args, inner_loops=None, **kwargs):
            timed(lambda: func(scale, *args))

    real = pyperf.Runner
    pyperf.Runner = StandInRunner
    saved_argv = sys.argv
    sys.argv = [pyperformance_script(name)]
    try:
        runpy.run_path(pyperformance_script(name), run_name="__main__")
    finally:
        pyperf.Runner = real
        sys.argv = saved_argv
