"""Is every sampled stack one the program could have had?

A program with a known call graph (exceptions that unwind three frames before a `finally`
calls a leaf, a class's `__init__`, a generator, a coroutine, recursion) runs under
`kulvo run --interval-ms 1` many times; every sampled stack is checked, caller by callee,
against the calls the program makes. A *bad* stack has a call the program never makes (the
leaf shown under a function that raised); a *phantom* frame is one of the program's frames
with a name it does not define or no line. Runs with the main thread copied or held for each
read, and with the signal taken by the program, so that stacks are read while it runs on.
Run it with the interpreter whose virtualenv has kulvo installed:

    python bench/stack_integrity.py [--runs N] [--seconds S]
"""

from __future__ import annotations

import argparse
import itertools
import os
import platform
import subprocess
import sys
import tempfile

import kulvo

PROGRAM = """
import asyncio, os, signal, sys, time

# The main thread on a CPU of its own, the sampler thread on another: reads then truly
# overlap the program's calls and returns.
if len(os.sched_getaffinity(0)) > 1:
    os.sched_setaffinity(0, {max(os.sched_getaffinity(0))})
if sys.argv[2] == "unheld":
    signal.signal(signal.SIGURG, lambda *_: None)  # kulvo's signal: reads go on as it runs

def leaf():
    n = 0
    for i in range(60):
        n += i * i
    return n

def raiser3():
    leaf()
    raise ValueError

def raiser2():
    raiser3()

def raiser1():
    raiser2()

def with_finally():
    try:
        raiser1()
    except ValueError:
        pass
    finally:
        leaf()

class Made:
    def __init__(self):
        self.n = leaf()

def generator():
    for _ in range(3):
        yield leaf()

async def coroutine():
    leaf()
    await asyncio.sleep(0)
    return leaf()

def recurse(depth):
    return leaf() if depth == 0 else recurse(depth - 1)

def main(seconds):
    loop = asyncio.new_event_loop()
    deadline = time.perf_counter() + seconds
    while time.perf_counter() < deadline:
        with_finally()
        Made()
        sum(generator())
        loop.run_until_complete(coroutine())
        recurse(12)
    loop.close()

main(float(sys.argv[1]))
"""

# Caller -> callees, as the program calls them (the coroutine through asyncio's frames).
CALLS = {
    "<module>": {"main"},
    "main": {"with_finally", "__init__", "generator", "coroutine", "recurse"},
    "with_finally": {"raiser1", "leaf"},
    "raiser1": {"raiser2"},
    "raiser2": {"raiser3"},
    "raiser3": {"leaf"},
    "__init__": {"leaf"},
    "generator": {"leaf"},
    "coroutine": {"leaf"},
    "recurse": {"recurse", "leaf"},
    "leaf": set(),
}


def check_run(python: str, mode: str, seconds: float, directory: str) -> dict[str, float]:
    program = os.path.join(directory, "program.py")
    report = os.path.join(directory, "profile.json")
    with open(program, "w") as file:
        file.write(PROGRAM)
    subprocess.run(
        [python, "-m", "kulvo", "run", "--interval-ms", "1", "-o", report, program, str(seconds), mode],
        check=True,
        capture_output=True,
        cwd=directory,
        timeout=seconds * 10 + 60,
    )
    total = bad = phantom = 0.0
    bad_samples = phantom_samples = 0
    for stack, weight in kulvo.load(report).weighted_stacks:
        total += weight
        ours = [frame for frame in stack if frame.file == program]
        names = [frame.function for frame in ours]
        if any(frame.function not in CALLS or frame.line < 1 for frame in ours):
            phantom += weight
            phantom_samples += 1
        elif any(callee not in CALLS[caller] for caller, callee in itertools.pairwise(names)):
            bad += weight
            bad_samples += 1
    return {"bad": bad_samples, "bad_share": bad / total if total else 0.0,
            "phantom": phantom_samples, "phantom_share": phantom / total if total else 0.0}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--seconds", type=float, default=1.0)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        for mode in ("held", "unheld"):
            results = [check_run(sys.executable, mode, args.seconds, directory) for _ in range(args.runs)]
            bad_runs = sum(1 for r in results if r["bad"])
            phantom_runs = sum(1 for r in results if r["phantom"])
            print(
                f"CPython {platform.python_version()}, {mode}: bad stacks in {bad_runs} of {args.runs} runs "
                f"({sum(r['bad'] for r in results)} samples, worst {100 * max(r['bad_share'] for r in results):.1f} % "
                f"of a run's time); phantom frames in {phantom_runs} runs "
                f"({sum(r['phantom'] for r in results)} samples)",
                flush=True,
            )


if __name__ == "__main__":
    main()
