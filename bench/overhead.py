"""The package's overhead as users meet it: `kulvo.profile` at 50, 10 and 1 ms around
pyperformance programs, against the unprofiled run and an A/A control (the unprofiled run
again), on every interpreter given. Each run is a fresh interpreter; conditions rotate from one
repetition to the next, and each ratio is taken within its repetition. Writes its section of
bench/RESULTS.md.

    python bench/overhead.py --python VENV-3.10/bin/python --python VENV-3.13/bin/python [--reps 7] [--load N]

Each interpreter's environment needs kulvo and pyperformance (bench/requirements-truth.txt).
Run it on a quiet machine: differences of a percent are the point.
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import subprocess
import sys
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(BENCH, "lib"))

from common import loadavg, rotated, run_harness  # noqa: E402

PROGRAMS = ["chaos", "deltablue", "go", "nbody", "raytrace", "richards"]
CONDITIONS = ["none", "none-b", "profile:50", "profile:10", "profile:1"]
GOALS = {"none-b": None, "profile:50": 1.01, "profile:10": 1.02, "profile:1": 1.08}
TITLES = {"none-b": "A/A", "profile:50": "50 ms", "profile:10": "10 ms", "profile:1": "1 ms"}
BEGIN = "<!-- package overhead: written by bench/overhead.py -->"
END = "<!-- end of the package overhead section -->"


def log(message: str) -> None:
    print(f"[{time.strftime('%H:%M:%S')}] {message}", flush=True)


def version_of(python: str) -> str:
    return subprocess.run([python, "-c", "import platform; print(platform.python_version())"],
                          capture_output=True, text=True, check=True).stdout.strip()


def measure(python: str, reps: int, seconds: float) -> dict[str, dict[str, list[float]]]:
    """Ratios to the unprofiled run of the same repetition, per program and condition."""
    scales = {}
    for program in PROGRAMS:
        calibrated = run_harness(python, ["calibrate", "--workload", f"pyperf:{program}", "--target", str(seconds)])
        scales[program] = max(1, round(seconds / calibrated["per_unit_s"]))
    ratios: dict[str, dict[str, list[float]]] = {p: {c: [] for c in CONDITIONS[1:]} for p in PROGRAMS}
    for rep in range(reps):
        log(f"{version_of(python)}: repetition {rep + 1}/{reps}, load {loadavg()}")
        for program in PROGRAMS:
            wall_s = {}
            for condition in rotated(CONDITIONS, rep):
                run = ["run", "--workload", f"pyperf:{program}", "--scale", str(scales[program])]
                wall_s[condition] = run_harness(python, run + ["--profiler", condition])["wall_s"]
            for condition in CONDITIONS[1:]:
                ratios[program][condition].append(wall_s[condition] / wall_s["none"])
    return ratios


def section(results: dict[str, dict[str, dict[str, list[float]]]], reps: int, started: str,
            load_start: list[float]) -> str:
    lines = [
        BEGIN,
        "## The package's overhead against an A/A control",
        "",
        f"Command: `python bench/overhead.py`, {reps} repetitions, {started}; load (1, 5, 15 min) at the start "
        f"{load_start}, at the end {loadavg()}; {os.cpu_count()} cores. `kulvo.profile` (the package's sampler, "
        "stacks read from memory) around each pyperformance program's own workload (about 1 s), against the "
        "unprofiled run; *A/A* is the unprofiled run again. Cells: median ratio over the repetitions; the last row "
        "is the median over programs, with the goal.",
        "",
    ]
    for version, ratios in results.items():
        lines += [f"### CPython {version}", "", "| program | " + " | ".join(TITLES[c] for c in CONDITIONS[1:]) + " |",
                  "| --- |" + " --- |" * (len(CONDITIONS) - 1)]
        medians: dict[str, list[float]] = {c: [] for c in CONDITIONS[1:]}
        for program, by_condition in ratios.items():
            cells = []
            for condition in CONDITIONS[1:]:
                values = by_condition[condition]
                median = statistics.median(values)
                medians[condition].append(median)
                cells.append(f"{median:.3f}× ({min(values):.3f}–{max(values):.3f})")
            lines.append(f"| {program} | " + " | ".join(cells) + " |")
        overall = []
        for condition in CONDITIONS[1:]:
            median = statistics.median(medians[condition])
            goal = GOALS[condition]
            verdict = "" if goal is None else (" met" if median <= goal else " **missed**") + f" (≤ {goal:.2f}×)"
            overall.append(f"**{median:.3f}×**{verdict}")
        lines += ["| **median over programs** | " + " | ".join(overall) + " |", ""]
    lines.append(END)
    return "\n".join(lines) + "\n"


def write_section(text: str) -> None:
    path = os.path.join(BENCH, "RESULTS.md")
    with open(path, encoding="utf-8") as f:
        current = f.read()
    if BEGIN in current and END in current:
        before, _, rest = current.partition(BEGIN)
        _, _, after = rest.partition(END + "\n")
        current = before + text + after
    else:
        current = current.rstrip("\n") + "\n\n" + text
    with open(path, "w", encoding="utf-8") as f:
        f.write(current)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--python", action="append", required=True, help="an interpreter with kulvo and pyperformance")
    parser.add_argument("--reps", type=int, default=7)
    parser.add_argument("--seconds", type=float, default=1.0, help="each workload's unprofiled length")
    parser.add_argument("--no-report", action="store_true")
    parser.add_argument("--load", type=int, default=0, metavar="N", help="N busy processes beside every run")
    args = parser.parse_args()
    started = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    burners = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(args.load)]
    try:
        load_start = loadavg()
        results = {version_of(p): measure(p, args.reps, args.seconds) for p in args.python}
    finally:
        for burner in burners:
            burner.kill()
    text = section(results, args.reps, started, load_start)
    print(text)
    if not args.no_report:
        write_section(text)
    log(f"done on {platform.node()}")


if __name__ == "__main__":
    main()
