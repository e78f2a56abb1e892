"""Programs whose split of time is known by construction and measured while they run.

Each driver alternates its parts until a deadline and times every part with
perf_counter, so the truth for a run is that run's own measured split, not an assumption.
Part sizes are fixed once from a short calibration at start-up (untimed)."""

from __future__ import annotations

import random
import time

_UNIT = 10_000  # loop iterations in one unit of pure-Python work


def _loop(units: int) -> int:
    x = 1
    for _ in range(units * _UNIT):
        x = (x * 48271) % 2147483647
    return x


def heavy_a(units: int) -> int:
    x = 1
    for _ in range(units * _UNIT):
        x = (x * 48271) % 2147483647
    return x


def light_b(units: int) -> int:
    x = 1
    for _ in range(units * _UNIT):
        x = (x * 48271) % 2147483647
    return x


def py_part(units: int) -> int:
    x = 1
    for _ in range(units * _UNIT):
        x = (x * 48271) % 2147483647
    return x


def c_sort(data: list, times: int) -> None:
    # sorted() of floats runs entirely in C and keeps the interpreter lock throughout.
    for _ in range(times):
        sorted(data)


def cpu_phase(units: int) -> int:
    x = 1
    for _ in range(units * _UNIT):
        x = (x * 48271) % 2147483647
    return x


def sleep_phase(seconds: float) -> None:
    time.sleep(seconds)


def _units_for(ms: float) -> int:
    t0 = time.perf_counter()
    _loop(5)
    per_unit = (time.perf_counter() - t0) / 5
    return max(1, round(ms / 1000 / per_unit))


def split_py(seconds: float) -> dict:
    """Two pure-Python functions, 70% and 30% of the time: 14 ms then 6 ms per round."""
    a_units, b_units = _units_for(14.0), _units_for(6.0)
    spent = {"heavy_a": 0.0, "light_b": 0.0}
    clock = time.perf_counter
    start = clock()
    deadline = start + seconds
    while clock() < deadline:
        t0 = clock()
        heavy_a(a_units)
        t1 = clock()
        light_b(b_units)
        t2 = clock()
        spent["heavy_a"] += t1 - t0
        spent["light_b"] += t2 - t1
    total = clock() - start
    return {name: value / total for name, value in spent.items()}


def split_c(seconds: float) -> dict:
    """70% pure Python, 30% inside sorted() on 50,000 floats (a C call holding the GIL)."""
    rng = random.Random(3)
    data = [rng.random() for _ in range(50_000)]
    t0 = time.perf_counter()
    sorted(data)
    one_sort = time.perf_counter() - t0
    sorts = max(1, round(0.006 / one_sort))
    py_units = _units_for(14.0)
    spent = {"py_part": 0.0, "c_sort": 0.0}
    clock = time.perf_counter
    start = clock()
    deadline = start + seconds
    while clock() < deadline:
        t0 = clock()
        py_part(py_units)
        t1 = clock()
        c_sort(data, sorts)
        t2 = clock()
        spent["py_part"] += t1 - t0
        spent["c_sort"] += t2 - t1
    total = clock() - start
    return {name: value / total for name, value in spent.items()}


def sleep_half(seconds: float) -> dict:
    """Half busy, half asleep: 10 ms of pure Python, then a 10 ms sleep."""
    cpu_units = _units_for(10.0)
    spent = {"cpu_phase": 0.0, "sleep_phase": 0.0}
    clock = time.perf_counter
    start = clock()
    deadline = start + seconds
    while clock() < deadline:
        t0 = clock()
        cpu_phase(cpu_units)
        t1 = clock()
        sleep_phase(0.010)
        t2 = clock()
        spent["cpu_phase"] += t1 - t0
        spent["sleep_phase"] += t2 - t1
    total = clock() - start
    return {name: value / total for name, value in spent.items()}


PROGRAMS = {
    "split_py": (split_py, ["heavy_a", "light_b"]),
    "split_c": (split_c, ["py_part", "c_sort"]),
    "sleep_half": (sleep_half, ["cpu_phase", "sleep_phase"]),
}
