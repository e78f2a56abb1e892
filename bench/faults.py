"""Hostile programs under kulvo: does profiling change what they do?

Each case runs small programs many times, under `kulvo run` or `kulvo.profile`, and counts what
a plain run never shows: a program killed by a signal, a report not written, EINTR from C calls,
signals left queued, bytes written to the program's wakeup fd, and how long the main thread
stands still for each read. Run it with the interpreter whose virtualenv has kulvo installed:

    python bench/faults.py [--runs N] [--cases exec,blocked,eintr,deep,wakeup,atexit]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

KULVO = [sys.executable, "-m", "kulvo"]

WORK = """
import time
def work(seconds):
    deadline = time.perf_counter() + seconds
    n = 0
    while time.perf_counter() < deadline:
        n += 1
    return n
"""

EXEC_PROGRAMS = {
    "execv": "os.execv(sys.executable, [sys.executable, '-c', 'pass'])",
    "execve": "os.execve(sys.executable, [sys.executable, '-c', 'pass'], dict(os.environ))",
    "exec of a shell": "os.execv('/bin/sh', ['/bin/sh', '-c', 'true'])",
    "posix_spawn": "os.waitpid(os.posix_spawn('/bin/sh', ['/bin/sh', '-c', 'true'], dict(os.environ)), 0)",
}
BLOCK_ALL = "signal.pthread_sigmask(signal.SIG_BLOCK, set(range(1, signal.SIGRTMAX + 1)) - {9, 19})\n"


def run_program(source: str, args: list[str], directory: str, timeout_s: float = 60) -> subprocess.CompletedProcess[str]:
    path = os.path.join(directory, "program.py")
    with open(path, "w") as file:
        file.write(source)
    return subprocess.run([*args, path], capture_output=True, text=True, timeout=timeout_s, cwd=directory)


def case_exec(runs: int) -> dict[str, object]:
    figures: dict[str, object] = {}
    with tempfile.TemporaryDirectory() as directory:
        report = os.path.join(directory, "exec.json")
        for name, call in EXEC_PROGRAMS.items():
            for blocked in (False, True):
                source = f"import os, signal, sys\n{WORK}\nwork(0.03)\n" + (BLOCK_ALL if blocked else "") + call + "\n"
                killed = written = 0
                for _ in range(runs):
                    if os.path.exists(report):
                        os.remove(report)
                    done = run_program(source, [*KULVO, "run", "--interval-ms", "1", "-o", report], directory)
                    killed += done.returncode < 0 or done.returncode > 128
                    written += os.path.exists(report)
                figures[f"{name}{' (signals blocked)' if blocked else ''}"] = {
                    "runs": runs, "killed": killed, "report written": written}
    return figures


BLOCKED_PROGRAM = WORK + """
import json, signal, kulvo
with kulvo.profile(interval_ms=1) as p:
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGURG, *range(signal.SIGRTMIN, signal.SIGRTMAX + 1)})
    work(1.0)
    pending = sorted(int(s) for s in signal.sigpending())
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGURG, *range(signal.SIGRTMIN, signal.SIGRTMAX + 1)})
print(json.dumps({"pending": pending, "notes": p.profile.metadata.notes}))
"""


def case_blocked(runs: int) -> dict[str, object]:
    queued = with_note = 0
    with tempfile.TemporaryDirectory() as directory:
        for _ in range(runs):
            out = json.loads(run_program(BLOCKED_PROGRAM, [sys.executable], directory).stdout)
            queued += len(out["pending"])
            with_note += any("blocked kulvo's signal" in note for note in out["notes"])
    return {"runs": runs, "signals pending after 1 s blocked": queued, "runs with the note": with_note}


EINTR_PROGRAM = WORK + """
import ctypes, ctypes.util, errno, json, select, time
libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)

class timeval(ctypes.Structure):
    _fields_ = [("tv_sec", ctypes.c_long), ("tv_usec", ctypes.c_long)]

def c_usleep():
    return libc.usleep(200)
def c_poll():
    return libc.poll(None, 0, 1)
def c_select():
    return libc.select(0, None, None, None, ctypes.byref(timeval(0, 200)))
def py_sleep():
    time.sleep(0.0002); return 0
def py_select():
    select.select([], [], [], 0.0002); return 0

counts = {}
for call in (c_usleep, c_poll, c_select, py_sleep, py_select):
    failed = 0
    for _ in range(550):
        work(0.0001)
        try:
            if call() == -1 and ctypes.get_errno() == errno.EINTR:
                failed += 1
        except InterruptedError:
            failed += 1
    counts[call.__name__] = failed
print(json.dumps(counts))
"""


def case_eintr(runs: int) -> dict[str, object]:
    figures: dict[str, object] = {}
    with tempfile.TemporaryDirectory() as directory:
        for interval in ("1", "10"):
            totals: dict[str, int] = {}
            for _ in range(runs):
                done = run_program(EINTR_PROGRAM, [*KULVO, "run", "--interval-ms", interval, "-o", "out.json"], directory)
                for name, failed in json.loads(done.stdout).items():
                    totals[name] = totals.get(name, 0) + failed
            figures[f"{interval} ms"] = {name: f"{failed} of {550 * runs}" for name, failed in totals.items()}
    return figures


DEEP_PROGRAM = """
import json, sys, time
sys.setrecursionlimit(100_000)
DEPTH = int(sys.argv[1]); PROFILE = sys.argv[2] == "kulvo"
def down(n):
    if n:
        return down(n - 1)
    deadline = time.perf_counter() + 0.3
    while time.perf_counter() < deadline:
        pass
def leaves(n):
    # 20,000 calls of a deep recursion, as the issue's program: time spent walking up and down.
    return n if n < 2 else leaves(n - 1) + 0
if PROFILE:
    from kulvo.api import Recording
    recording = Recording(interval_ms=1, top_n=10, memory=False)
    recording.start()
start = time.perf_counter()
down(DEPTH)
for _ in range(3):
    leaves(DEPTH)
elapsed = time.perf_counter() - start
counts = recording._sampler.hold_counts() if PROFILE else {}
if PROFILE:
    recording.stop()
print(json.dumps({"elapsed_s": elapsed, **counts}))
"""


def case_deep(runs: int) -> dict[str, object]:
    figures: dict[str, object] = {}
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "deep.py")
        with open(path, "w") as file:
            file.write(DEEP_PROGRAM)
        for depth in (1000, 20000):
            rows: dict[str, list[dict[str, float]]] = {"plain": [], "kulvo": []}
            for _ in range(max(3, runs // 10)):
                for mode in rows:
                    done = subprocess.run([sys.executable, path, str(depth), mode], capture_output=True, text=True)
                    rows[mode].append(json.loads(done.stdout))
            plain = sorted(r["elapsed_s"] for r in rows["plain"])[len(rows["plain"]) // 2]
            profiled = sorted(r["elapsed_s"] for r in rows["kulvo"])[len(rows["kulvo"]) // 2]
            figures[f"depth {depth}"] = {
                "plain s (median)": round(plain, 3),
                "kulvo at 1 ms s (median)": round(profiled, 3),
                "slowdown": round(profiled / plain, 2),
                "hold p50 µs": [r["hold_p50_us"] for r in rows["kulvo"]],
                "hold p99 µs": [r["hold_p99_us"] for r in rows["kulvo"]],
                "hold max µs": [r["hold_max_us"] for r in rows["kulvo"]],
                "copies by the thread": [r["copied"] for r in rows["kulvo"]],
                "read as it ran": [r["uncopied"] + r["unanswered"] for r in rows["kulvo"]],
            }
    return figures


WAKEUP_PROGRAM = WORK + """
import asyncio, json, signal, socket, kulvo
from kulvo import sampling
sampling.stacks_readable = lambda: False  # the path without stacks read from memory
reader, writer = socket.socketpair()
reader.setblocking(False); writer.setblocking(False)
with kulvo.profile(interval_ms=1) as p:
    work(0.2)
    signal.set_wakeup_fd(writer.fileno())
    work(1.0)
    signal.set_wakeup_fd(-1)
try:
    written = len(reader.recv(1 << 20))
except BlockingIOError:
    written = 0
print(json.dumps({"bytes": written, "notes": p.profile.metadata.notes}))
"""

ATEXIT_PROGRAM = WORK + """
import atexit
def late():
    from kulvo.api import Recording
    recording = Recording(interval_ms=1, top_n=10, memory=False)
    recording.start()   # never stopped: the sampler runs into the interpreter's shutdown
    work(0.02)
atexit.register(late)
from kulvo import sampling
sampling.stacks_readable = lambda: False
work(0.02)
"""


def case_wakeup(runs: int) -> dict[str, object]:
    if sys.version_info >= (3, 13):
        return {"skipped": "from 3.13 no signal is sent without stacks read from memory"}
    total = noted = 0
    with tempfile.TemporaryDirectory() as directory:
        for _ in range(runs):
            out = json.loads(run_program(WAKEUP_PROGRAM, [sys.executable], directory).stdout)
            total += out["bytes"]
            noted += any("wakeup fd" in note for note in out["notes"])
    return {"runs": runs, "bytes written to the wakeup fd": total, "runs with the note": noted}


def case_atexit(runs: int) -> dict[str, object]:
    deaths = 0
    with tempfile.TemporaryDirectory() as directory:
        for _ in range(runs):
            done = run_program(ATEXIT_PROGRAM, [sys.executable], directory)
            deaths += done.returncode != 0
    return {"runs": runs, "deaths": deaths}


CASES = {
    "exec": case_exec,
    "blocked": case_blocked,
    "eintr": case_eintr,
    "deep": case_deep,
    "wakeup": case_wakeup,
    "atexit": case_atexit,
}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--cases", default=",".join(CASES))
    args = parser.parse_args()
    print(f"Python {sys.version.split()[0]}, {args.runs} runs per case, load {os.getloadavg()[0]:.2f}")
    for name in args.cases.split(","):
        began = time.monotonic()
        figures = CASES[name](args.runs)
        print(f"{name} ({time.monotonic() - began:.0f} s): {json.dumps(figures, ensure_ascii=False)}", flush=True)


if __name__ == "__main__":
    main()
