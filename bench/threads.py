"""Many threads under `kulvo run` and `py-spy record`, side by side.

pool: a main thread that submits pure-Python work and I/O to a pool of four threads and waits on
the futures. Reported: each profiler's top self shares over every thread, with the same idle
rule on both sides: every sample (py-spy --idle; kulvo's rows of waiting threads kept), and
without idle samples (py-spy's own rule; kulvo's rows of waiting threads dropped); the worst
difference of each, and the thread names kulvo found.

busy: eight threads of pure-Python work of a fixed size, timed whole plain, under kulvo at the
interval and under py-spy at the same rate, in turn. Reported: the median slowdown of each.

Run it with the interpreter whose virtualenv has kulvo installed:

    python bench/threads.py --py-spy PATH [--seconds S] [--interval-ms N] [--reps N]
"""

from __future__ import annotations

import argparse
import collections
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib"))

from common import pyspy_self_shares

PROGRAMS = {
    "pool": """
import sys, time
from concurrent.futures import ThreadPoolExecutor

def crunch(n):
    s = 0
    for i in range(n):
        s += i * i
    return s

def parse(n):
    words = []
    for i in range(n):
        words.append(str(i).zfill(8)[::-1])
    return len(words)

def fetch(seconds):
    time.sleep(seconds)
    return seconds

end = time.perf_counter() + float(sys.argv[1])
with ThreadPoolExecutor(4) as pool:
    while time.perf_counter() < end:
        futures = [pool.submit(crunch, 30000), pool.submit(parse, 8000), pool.submit(fetch, 0.004)]
        futures += [pool.submit(crunch, 15000) for _ in range(2)]
        for future in futures:
            future.result()
""",
    "busy": """
import sys, threading

def spin(n):
    s = 0
    for i in range(n):
        s += i % 7
    return s

threads = [threading.Thread(target=spin, args=(int(sys.argv[1]),), name=f"busy-{i}") for i in range(8)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
""",
}


def shares(counts: collections.Counter[str]) -> dict[str, float]:
    total = sum(counts.values())
    return {name: 100 * value / total for name, value in counts.items()} if total else {}


def kulvo_pool(script: str, seconds: float, interval_ms: int, out: str) -> tuple[dict, dict, list[str]]:
    """Self shares with every sample, and without the waiting ones; the threads' names."""
    import kulvo
    from kulvo.reports.names import qualified_name

    subprocess.run([sys.executable, "-m", "kulvo", "run", "-o", out, "--interval-ms", str(interval_ms), script,
                    str(seconds)], check=True, capture_output=True)
    profile = kulvo.load(out)
    every: collections.Counter[str] = collections.Counter()
    working: collections.Counter[str] = collections.Counter()
    threads = set()
    interval_us = interval_ms * 1000
    for sample in profile.samples:
        if not sample.stack:
            continue
        leaf = sample.stack[-1]
        # Named as py-spy names them: qualified from 3.11, bare before.
        name = qualified_name(leaf.file, leaf.function, leaf.line) if sys.version_info >= (3, 11) else leaf.function
        every[name] += sample.weight_us or interval_us
        if not sample.main_thread_waiting:
            working[name] += sample.weight_us or interval_us
        if sample.stack[0].file == "<thread>":
            threads.add(sample.stack[0].function)
    return shares(every), shares(working), sorted(threads)


def timed(command: list[str]) -> float:
    started = time.perf_counter()
    subprocess.run(command, check=True, capture_output=True)
    return time.perf_counter() - started


def busy(py_spy: str, script: str, work: int, interval_ms: int, reps: int, out: str) -> dict[str, float]:
    plain = [sys.executable, script, str(work)]
    conditions = {
        "plain": plain,
        "kulvo": [sys.executable, "-m", "kulvo", "run", "-o", out + ".json", "--interval-ms", str(interval_ms),
                  script, str(work)],
        "py-spy": [py_spy, "record", "--rate", str(1000 // interval_ms), "--format", "raw", "-o", out + ".txt", "--",
                   *plain],
    }
    times: dict[str, list[float]] = {name: [] for name in conditions}
    for rep in range(reps):
        names = list(conditions)
        for name in names[rep % 3:] + names[:rep % 3]:  # each condition first in turn
            times[name].append(timed(conditions[name]))
    return {
        "plain s": round(statistics.median(times["plain"]), 3),
        "kulvo slowdown": round(statistics.median(k / p for k, p in zip(times["kulvo"], times["plain"])), 3),
        "py-spy slowdown": round(statistics.median(s / p for s, p in zip(times["py-spy"], times["plain"])), 3),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--py-spy", required=True)
    parser.add_argument("--seconds", type=float, default=5.0, help="the pool program's length")
    parser.add_argument("--interval-ms", type=int, default=10)
    parser.add_argument("--reps", type=int, default=5, help="timed runs of each condition of the busy program")
    parser.add_argument("--busy-work", type=int, default=3_000_000, help="loop turns per busy thread")
    args = parser.parse_args()
    figures: dict[str, object] = {"python": platform.python_version(), "interval_ms": args.interval_ms,
                                  "load": os.getloadavg()[0]}
    with tempfile.TemporaryDirectory() as directory:
        scripts = {}
        for name, source in PROGRAMS.items():
            scripts[name] = os.path.join(directory, f"{name}_program.py")
            with open(scripts[name], "w") as file:
                file.write(source)
        every, working, threads = kulvo_pool(scripts["pool"], args.seconds, args.interval_ms,
                                             os.path.join(directory, "k.json"))
        figures["pool"] = {"threads named by kulvo": threads}
        for idle, kulvo_shares in ((True, every), (False, working)):
            spy_shares = pyspy_self_shares(args.py_spy, 1000 // args.interval_ms,
                                           [sys.executable, scripts["pool"], str(args.seconds)],
                                           os.path.join(directory, "s.txt"), idle)
            top = sorted(spy_shares, key=lambda f: -spy_shares[f])[:10]
            rows = {f: [round(kulvo_shares.get(f, 0.0), 1), round(spy_shares[f], 1)] for f in top}
            figures["pool"]["every sample" if idle else "idle left out"] = {
                "top self shares, kulvo / py-spy": rows,
                "worst difference (points)": round(max(abs(a - b) for a, b in rows.values()), 1),
            }
        figures["busy"] = busy(args.py_spy, scripts["busy"], args.busy_work, args.interval_ms, args.reps,
                               os.path.join(directory, "busy"))
    print(json.dumps(figures, indent=1))


if __name__ == "__main__":
    main()
