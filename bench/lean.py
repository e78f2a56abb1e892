"""kulvo's own memory and the cost of ending a run, measured and written into the
"Lean samples" section of bench/RESULTS.md (the rest of the file is left alone).

    python bench/lean.py --hook-dir DIR [--seconds 105] [--reps 3]

DIR holds the bench hook (_kulvo_bench, built as bench/run.sh builds it); the interpreter
running this script must have kulvo installed. Three measurements, each a median:
- the engine's samples: 100,000 synthetic samples of 60 frames made in the hook, the rise of
  the resident size;
- stop()'s work after the join (analysis, conversion to the documented dict), through
  bench/lib/harness.py stopcost, at 20,000 and 100,000 samples of 30 frames;
- `kulvo run --interval-ms 1 -o FILE.json` of a program that sleeps 60 frames deep: the
  growth of the resident size over the run as sampled, kulvo's own figure, and from the
  program's end to the written report, the time and the process's peak above its last sample;
  the end to the report again for a busy program whose samples hold many distinct stacks.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
MIB = 1024 * 1024
SECTION = "## Lean samples"

SLEEPER = """
import sys, time
def down(n):
    if n:
        return down(n - 1)
    time.sleep(float(sys.argv[1]))
    with open(sys.argv[2], "w") as f:
        f.write(repr(time.time()))
down(60)
"""

# Recursion of random depth through three functions: tens of thousands of distinct stacks.
BUSY = """
import random, sys, time
random.seed(1)
def a(n):
    if n <= 0:
        return sum(range(200))
    r = random.random()
    if r < 0.3:
        return a(n - 1) + 1
    if r < 0.6:
        return b(n - 1) + 2
    return c(n - 1) + 3
def b(n):
    return a(n - 1) if n % 2 else c(n - 2)
def c(n):
    return a(n - 1) + len([i for i in range(20)])
end = time.time() + float(sys.argv[1])
while time.time() < end:
    a(random.randrange(60))
with open(sys.argv[2], "w") as f:
    f.write(repr(time.time()))
"""

# Runs a command and reports when it ended and its peak resident size, apart from every
# other process this benchmark started.
WRAPPER = """
import resource, subprocess, sys, time
subprocess.run(sys.argv[1:], check=True, capture_output=True)
print(time.time(), resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
"""

RING = """
import re, sys
sys.path.insert(0, sys.argv[1])
import _kulvo_bench as hook
def rss_kb():
    with open("/proc/self/status") as f:
        return int(re.search(r"^VmRSS:\\s+(\\d+)", f.read(), re.M).group(1))
before = rss_kb()
hook.make_samples(100_000, 60)
print((rss_kb() - before) * 1024)
"""


def run_json(args: list[str], env: dict[str, str]) -> dict:
    out = subprocess.run(args, capture_output=True, text=True, env=env, check=True).stdout
    return json.loads(next(line for line in out.splitlines() if line.startswith("RESULT ")).removeprefix("RESULT "))


def ring_bytes(hook_dir: str) -> int:
    out = subprocess.run([sys.executable, "-c", RING, hook_dir], capture_output=True, text=True, check=True)
    return int(out.stdout)


def stop_cost(hook_dir: str, samples: int, seed: int) -> dict:
    env = dict(os.environ, PYTHONPATH=hook_dir)
    harness = os.path.join(BENCH, "lib", "harness.py")
    args = [sys.executable, harness, "stopcost", "--samples", str(samples), "--depth", "30", "--seed", str(seed)]
    result = run_json(args + ["--conv-reps", "1"], env)
    timings = result["timings_ns"]
    return {
        "analysis_ms": (timings["spikes_ns"] + timings["hot_paths_ns"]) / 1e6,
        "stop_ms": timings["total_ns"] / 1e6,
        "peak_above_mib": (result["peak_kb"] - result["rss_before_kb"]) / 1024,
    }


def run_to_report(source: str, seconds: float, workdir: str) -> dict:
    """`kulvo run --interval-ms 1` of `source`, which runs for `seconds` and writes when it ended."""
    program = os.path.join(workdir, "program.py")
    ended = os.path.join(workdir, "ended")
    report = os.path.join(workdir, "report.json")
    with open(program, "w") as f:
        f.write(source)
    kulvo = [sys.executable, "-m", "kulvo", "run", "--interval-ms", "1", "-o", report, program, str(seconds), ended]
    # Run elsewhere than the checkout, whose kulvo/ (without the built modules) would shadow the installed one.
    out = subprocess.run([sys.executable, "-c", WRAPPER, *kulvo], check=True, capture_output=True, text=True, cwd=workdir)
    done, peak_kb = out.stdout.split()
    with open(ended) as f:
        program_end = float(f.read())
    with open(report) as f:
        profile = json.load(f)
    rss = [rss for rss in profile["samples"]["rss_bytes"] if rss]
    return {
        "samples": profile["sample_count"],
        "stacks": len(set(profile["samples"]["stack"])),
        "growth_mib": (max(rss) - rss[0]) / MIB,
        "kulvo_mib": profile["metadata"]["kulvo_bytes"] / MIB,
        "end_to_report_s": float(done) - program_end,
        "peak_above_last_mib": (int(peak_kb) * 1024 - rss[-1]) / MIB,
    }


def median(rows: list[dict], key: str) -> float:
    return statistics.median(row[key] for row in rows)


def write_section(lines: list[str]) -> None:
    path = os.path.join(BENCH, "RESULTS.md")
    with open(path) as f:
        text = f.read()
    section = "\n".join([SECTION, "", *lines, ""])
    found = re.search(rf"^{re.escape(SECTION)}\n.*?(?=^## |\Z)", text, re.M | re.S)
    if found:
        rest = text[found.end() :]
        text = text[: found.start()] + section + ("\n" + rest if rest else "")  # one blank line before the next
    else:
        text = text.rstrip() + "\n\n" + section
    with open(path, "w") as f:
        f.write(text)


def main() -> None:
    p = argparse.ArgumentParser()
    p.add_argument("--hook-dir", required=True)
    p.add_argument("--seconds", type=float, default=105.0)
    p.add_argument("--reps", type=int, default=3)
    args = p.parse_args()
    with tempfile.TemporaryDirectory() as workdir:
        sleeper = run_to_report(SLEEPER, args.seconds, workdir)
        busy = run_to_report(BUSY, args.seconds, workdir)
    ring = statistics.median(ring_bytes(args.hook_dir) for _ in range(args.reps)) / MIB
    stops = {n: [stop_cost(args.hook_dir, n, seed) for seed in range(1, args.reps + 1)] for n in (20_000, 100_000)}
    load = os.getloadavg()[0]
    lines = [
        f"Measured by `python bench/lean.py` on Python {sys.version.split()[0]}, "
        f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, load average {load:.1f} on this machine; "
        f"medians of {args.reps} runs (the sleeping and the busy program: one run of {args.seconds:.0f} s each).",
        "",
        "| measure | figure | goal |",
        "| --- | --- | --- |",
        f"| 100,000 samples × 60 frames held by the engine | {ring:.1f} MiB | ≤ 30 MiB |",
    ]
    for n, goal in ((20_000, "≤ 200 ms, ≤ 160 MiB"), (100_000, "≤ 1 s")):
        rows = stops[n]
        lines.append(
            f"| stop() of {n:,} × 30 (analysis, documented dict) | {median(rows, 'stop_ms'):.0f} ms, "
            f"{median(rows, 'peak_above_mib'):.0f} MiB above the samples | {goal} |"
        )
    lines += [
        f"| analysis of 100,000 × 30 (spikes and hot paths) | {median(stops[100_000], 'analysis_ms'):.1f} ms "
        "| < 100 ms |",
        f"| `kulvo run --interval-ms 1` of a program asleep 60 frames deep, {sleeper['samples']:,} samples: "
        f"resident size growth over the run | {sleeper['growth_mib']:.1f} MiB (kulvo's own: "
        f"{sleeper['kulvo_mib']:.1f} MiB) | ≤ 30 MiB |",
        f"| the same, the program's end to the written JSON report | {sleeper['end_to_report_s']:.1f} s, "
        f"{sleeper['peak_above_last_mib']:.0f} MiB above the last sample | ≤ 1 s, ≤ 100 MiB |",
        f"| the same for a busy recursive program, {busy['samples']:,} samples of {busy['stacks']:,} distinct stacks "
        f"| {busy['end_to_report_s']:.1f} s, {busy['peak_above_last_mib']:.0f} MiB above the last sample "
        "| ≤ 1 s, ≤ 100 MiB |",
    ]
    write_section(lines)
    print("\n".join(lines))


if __name__ == "__main__":
    main()
