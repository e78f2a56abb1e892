"""Lines that make a cheap system call: does the profile give them their share of the time?

Two programs, each under `kulvo run` (and, with --pyspy, under `py-spy record` in its default
blocking mode) at 1 and 10 ms, on both CPUs and pinned to one (`taskset -c 0`, so the sampler
thread shares the program's CPU):
- `getpid`: a loop of `os.getpid()` beside about 2 µs of Python work, 4 s;
- `logging`: pyperformance's logging workload (`logger.warning` into a StringIO), 8 s, whose
  only system call per record is `self.process = os.getpid()` in `LogRecord.__init__`.

Reported: the line's share of the samples inside the workload, against its true share, which the
program measures in the same process once its run is over: `timeit` of the statement over the
time of one turn of the loop (one `logger.warning` call). For the loop, a second truth: the time
the loop saves per turn without the line (best of 5 × 100,000 turns each way). A profiler whose
samples land at the thread's next kernel entry gives that line many times its share. Run it with
the interpreter whose virtualenv has kulvo (and py-spy) installed:

    python bench/syscall_line.py [--runs N] [--pyspy] [--programs getpid,logging]
"""

from __future__ import annotations

import argparse
import inspect
import io
import json
import logging
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time
import timeit

BENCH = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(BENCH, "lib"))

import truth_shares as shares  # noqa: E402
from common import loadavg, save_raw  # noqa: E402

SECONDS = {"getpid": 4.0, "logging": 8.0}
WORKLOAD = {"getpid": "getpid_loop", "logging": "log_warnings"}
WORK_TURNS = 40  # about 2 µs of pure Python beside each getpid


# --- the programs, run as the profiled child ---------------------------------------------------


def getpid_loop(seconds: float) -> int:
    deadline = time.perf_counter() + seconds
    turns = x = 0
    while True:
        os.getpid()
        for i in range(WORK_TURNS):
            x += i
        turns += 1
        if turns % 64 == 0 and time.perf_counter() > deadline:
            return turns


def loop_without_getpid(turns: int) -> None:
    x = 0
    for _ in range(turns):
        for i in range(WORK_TURNS):
            x += i


def loop_with_getpid(turns: int) -> None:
    x = 0
    for _ in range(turns):
        os.getpid()
        for i in range(WORK_TURNS):
            x += i


def line_of(function, text: str) -> int:
    lines, first = inspect.getsourcelines(function)
    return next(first + k for k, line in enumerate(lines) if text in line)


def best_s(statement, number: int) -> float:
    return min(timeit.repeat(statement, number=number, repeat=5)) / number


def run_getpid(seconds: float) -> dict:
    started = time.perf_counter()
    turns = getpid_loop(seconds)
    turn_s = (time.perf_counter() - started) / turns
    with_s = best_s(lambda: loop_with_getpid(100_000), 1) / 100_000
    without_s = best_s(lambda: loop_without_getpid(100_000), 1) / 100_000
    return {"file": os.path.abspath(__file__), "function": "getpid_loop", "line": line_of(getpid_loop, "os.getpid()"),
            "truth %": 100 * best_s(os.getpid, 200_000) / turn_s,
            "difference truth %": 100 * (with_s - without_s) / with_s}


def run_logging(seconds: float) -> dict:
    stream = io.StringIO()
    logger = logging.getLogger("bench_syscall_line")
    logger.propagate = False
    logger.addHandler(logging.StreamHandler(stream))
    calls, elapsed_s = log_warnings(logger, stream, seconds)
    record = logging.LogRecord("bench", logging.WARNING, __file__, 1, "important: %s", ("x",), None)

    def store() -> None:
        record.process = os.getpid()

    call_s = elapsed_s / calls
    return {"file": logging.__file__, "function": "__init__",
            "line": line_of(logging.LogRecord.__init__, "self.process = os.getpid()"),
            "truth %": 100 * best_s(store, 200_000) / call_s}


def log_warnings(logger: logging.Logger, stream: io.StringIO, seconds: float) -> tuple[int, float]:
    started = time.perf_counter()
    deadline = started + seconds
    calls = 0
    while time.perf_counter() < deadline:
        for _ in range(100):
            logger.warning("important: %s", "some important information to be logged")
        calls += 100
        stream.seek(0)
        stream.truncate()
    return calls, time.perf_counter() - started


def child(program: str, seconds: float, truth_path: str) -> None:
    truth = run_getpid(seconds) if program == "getpid" else run_logging(seconds)
    with open(truth_path, "w") as f:
        json.dump(truth, f)


# --- the runs ----------------------------------------------------------------------------------


def line_share(stacks, truth: dict, workload: str) -> float:
    """The share of the samples inside `workload` whose innermost frame is at the line."""
    inside = at_line = 0.0
    for stack, weight in stacks:
        if not any(function.rsplit(".", 1)[-1] == workload for _, function, _ in stack):
            continue
        inside += weight
        file, function, line = stack[-1]
        if (os.path.basename(file) == os.path.basename(truth["file"])
                and function.rsplit(".", 1)[-1] == truth["function"] and line == truth["line"]):
            at_line += weight
    return 100 * at_line / inside if inside else float("nan")


def one_run(profiler: str, program: str, interval_ms: int, pinned: bool, tmp: str) -> dict:
    truth_path, out = os.path.join(tmp, "truth.json"), os.path.join(tmp, "profile.out")
    target = [os.path.abspath(__file__), "--child", program, "--seconds", str(SECONDS[program]), "--truth", truth_path]
    if profiler == "kulvo":
        command = [sys.executable, "-m", "kulvo", "run", "-o", out + ".json", "--interval-ms", str(interval_ms)]
    else:
        py_spy = shutil.which("py-spy", path=os.path.dirname(sys.executable)) or "py-spy"
        command = [py_spy, "record", "--rate", str(1000 // interval_ms), "--format", "raw", "-o", out, "--"]
        command.append(sys.executable)
    command = (["taskset", "-c", "0"] if pinned else []) + command + target
    # From elsewhere than the checkout, so that `-m kulvo` finds the installed package.
    subprocess.run(command, check=True, capture_output=True, timeout=300, cwd=tmp)
    with open(truth_path) as f:
        truth = json.load(f)
    if profiler == "kulvo":
        with open(out + ".json") as f:
            stacks = shares.kulvo_self_stacks(json.load(f))
            share = line_share(stacks, truth, WORKLOAD[program])
    else:
        with open(out) as f:
            share = line_share(shares.pyspy_stacks(f), truth, WORKLOAD[program])
    return {"profiler": profiler, "program": program, "interval_ms": interval_ms, "pinned": pinned,
            "line %": round(share, 2), **{k: round(v, 2) for k, v in truth.items() if k.endswith("%")}}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=2, help="runs per cell")
    parser.add_argument("--pyspy", action="store_true", help="py-spy under the same conditions too")
    parser.add_argument("--programs", default="getpid,logging")
    parser.add_argument("--child", choices=sorted(SECONDS), help=argparse.SUPPRESS)
    parser.add_argument("--seconds", type=float, help=argparse.SUPPRESS)
    parser.add_argument("--truth", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.seconds, args.truth)
        return
    started = time.time()
    results: dict = {"python": platform.python_version(), "load": {"start": loadavg()}, "runs": []}
    profilers = ["kulvo", "py-spy"] if args.pyspy else ["kulvo"]
    with tempfile.TemporaryDirectory() as tmp:
        for program in args.programs.split(","):
            for interval_ms in (1, 10):
                for pinned in (False, True):
                    for _ in range(args.runs):
                        for profiler in profilers:  # in turn, so that the machine's drift weighs on both
                            run = one_run(profiler, program, interval_ms, pinned, tmp)
                            results["runs"].append(run)
                            print(json.dumps(run), flush=True)
    print_summary(results["runs"])
    print("raw figures:", save_raw(results, "syscall-line", False, started, []))


def print_summary(runs: list[dict]) -> None:
    """One line per profiler, program, interval and placement: each run's line share against
    its own truth, and how many runs are within 2 points of it."""
    cells: dict[tuple, list[dict]] = {}
    for run in runs:
        cells.setdefault((run["profiler"], run["program"], run["interval_ms"], run["pinned"]), []).append(run)
    for (profiler, program, interval_ms, pinned), group in cells.items():
        pairs = ", ".join(f"{r['line %']:.1f} / {r['truth %']:.1f}" for r in group)
        within = sum(abs(r["line %"] - r["truth %"]) <= 2 for r in group)
        place = "pinned" if pinned else "two CPUs"
        print(f"{profiler:6} {program:8} {interval_ms:2} ms {place:8}: {pairs} % ({within} of {len(group)} within 2)")


if __name__ == "__main__":
    main()
