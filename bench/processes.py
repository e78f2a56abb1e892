"""`multiprocessing.Pool(4)` mapping pure-Python work under `kulvo run --subprocesses`, with the
fork, spawn and forkserver start methods: how much of the workers' time in their tasks is in the
merged profile. Each task returns its worker's pid, the time it took and the CPU time it took;
the profile's time of each worker in the task function is set against its time in tasks (a
sample stands for the time, not the CPU: four workers on two CPUs run half of it). Run it with
the interpreter whose virtualenv has kulvo installed:

    python bench/processes.py [--tasks N] [--interval-ms N]

The default 160 tasks give each worker 1-2 s of them, so that one sample at 10 ms is about 1 %
of a worker's time: at 40 tasks a worker on 3.14 has some 30 samples, and the figure per worker
moves by 3 points with each one.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile

PROGRAM = """
import json, multiprocessing, sys, time

def crunch(n):
    began, began_cpu = time.perf_counter(), time.thread_time()
    s = 0
    for i in range(n):
        s += i * i
    return multiprocessing.current_process().pid, time.perf_counter() - began, time.thread_time() - began_cpu

if __name__ == "__main__":
    method, tasks = sys.argv[1], int(sys.argv[2])
    with multiprocessing.get_context(method).Pool(4) as pool:
        done = pool.map(crunch, [400_000] * tasks)
    by_pid = {}
    for pid, seconds, cpu_seconds in done:
        wall, cpu = by_pid.get(pid, (0.0, 0.0))
        by_pid[pid] = (wall + seconds, cpu + cpu_seconds)
    with open(sys.argv[3], "w") as out:
        json.dump(by_pid, out)
"""


def one_method(method: str, tasks: int, interval_ms: int, directory: str) -> dict:
    import kulvo

    script = os.path.join(directory, "pool.py")
    with open(script, "w") as file:
        file.write(PROGRAM)
    truth_path, profile_path = os.path.join(directory, "truth.json"), os.path.join(directory, "profile.json")
    subprocess.run([sys.executable, "-m", "kulvo", "run", "--subprocesses", "--interval-ms", str(interval_ms),
                    "-o", profile_path, script, method, str(tasks), truth_path], check=True, capture_output=True)
    with open(truth_path) as file:
        truth = {int(pid): times for pid, times in json.load(file).items()}
    truth_s = {pid: wall for pid, (wall, _) in truth.items()}
    profile = kulvo.load(profile_path)
    interval_us = interval_ms * 1000
    in_crunch_s: dict[int, float] = {}
    for sample in profile.samples:
        stack = sample.stack
        if stack and sample.other_thread and not sample.main_thread_waiting and stack[-1].function == "crunch":
            pid = stack[0].line
            in_crunch_s[pid] = in_crunch_s.get(pid, 0.0) + (sample.weight_us or interval_us) / 1e6
    covered = sum(min(in_crunch_s.get(pid, 0.0), seconds) for pid, seconds in truth_s.items())
    return {
        "workers' time in tasks (s)": round(sum(truth_s.values()), 3),
        "workers' CPU in tasks (s)": round(sum(cpu for _, cpu in truth.values()), 3),
        "in the merged profile (s)": round(sum(in_crunch_s.get(pid, 0.0) for pid in truth_s), 3),
        "covered %": round(100 * covered / sum(truth_s.values()), 1),
        "workers with samples": f"{sum(1 for pid in truth_s if pid in in_crunch_s)} of {len(truth_s)}",
        "one sample, of a worker's time in tasks (%)": round(100 * interval_ms * len(truth_s) / 1000 / sum(truth_s.values()), 1),
        "notes": [note for note in profile.metadata.notes if "child" in note],
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tasks", type=int, default=160)
    parser.add_argument("--interval-ms", type=int, default=10)
    args = parser.parse_args()
    figures: dict[str, object] = {"python": platform.python_version(), "interval_ms": args.interval_ms,
                                  "load": os.getloadavg()[0]}
    for method in ("fork", "spawn", "forkserver"):
        with tempfile.TemporaryDirectory() as directory:
            figures[method] = one_method(method, args.tasks, args.interval_ms, directory)
    print(json.dumps(figures, indent=1))


if __name__ == "__main__":
    main()
