"""The accuracy benchmark: what `kulvo run` reports against the truth.

Known-split programs (bench/lib/truth_programs.py) measure their own split of time; each is
profiled with `kulvo run -o X.json` at 1 and 10 ms and its phases' shares are read back from
the saved profile. pyperformance's go, raytrace, richards and deltablue run under `kulvo run`
and under `py-spy record` at the same rate, and their per-function self shares are compared.
Every interpreter given with --python runs everything. Normally started by bench/truth.sh.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
LIB = os.path.join(BENCH, "lib")
sys.path.insert(0, LIB)

import truth_report  # noqa: E402
import truth_shares as shares  # noqa: E402
from common import HarnessError, loadavg, machine, save_raw  # noqa: E402
from truth_programs import PROGRAMS  # noqa: E402

PROGRAM_FILE = os.path.join(LIB, "truth_programs.py")
DRIVER_FILE = os.path.join(LIB, "pyperf_driver.py")
WORKLOAD_FUNCTION = "until_deadline"  # in DRIVER_FILE: on the stack of every sample of the workload itself
PYPERF = ["go", "raytrace", "richards", "deltablue"]
INTERVALS_MS = [1, 10]
PYPERF_INTERVAL_MS = 10
TOP_FUNCTIONS = 10


def log(msg: str) -> None:
    print(f"[{time.strftime('%H:%M:%S')}] {msg}", flush=True)


class Runner:
    def __init__(self, args: argparse.Namespace, tmp: str):
        self.args = args
        self.tmp = tmp
        self.errors: list[str] = []

    def seconds_for(self, interval_ms: int) -> float:
        """Long enough for the asked number of samples at the requested rate."""
        return round(self.args.samples * interval_ms / 1000 * 1.1, 1)

    def command(self, cmd: list[str], timeout_s: float) -> None:
        if self.args.pin:
            cmd = ["taskset", "-c", "0", *cmd]  # the program, its sampler (kulvo's thread or py-spy) on one CPU
        proc = subprocess.run(cmd, capture_output=True, text=True, cwd=self.tmp, timeout=timeout_s)
        if proc.returncode != 0:
            raise HarnessError(f"{' '.join(cmd)} -> exit {proc.returncode}: {proc.stderr[-1500:]}")

    def kulvo(self, python: str, script: str, script_args: list[str], interval_ms: int, seconds: float) -> dict:
        out = os.path.join(self.tmp, "profile.json")
        self.command([python, "-m", "kulvo", "run", "-o", out, "--interval-ms", str(interval_ms), script,
                      *script_args], timeout_s=seconds * 4 + 120)
        with open(out) as f:
            return json.load(f)

    def pyspy(self, python: str, script: str, script_args: list[str], rate_hz: int, seconds: float,
              idle: bool = False) -> list[str]:
        out = os.path.join(self.tmp, "pyspy.txt")
        # Blocking (the process is paused while read) and Python frames only; --function
        # gives each frame its def line, which names the function unambiguously. --idle keeps
        # the samples of a waiting thread, for shares of the wall time.
        py_spy = os.path.join(os.path.dirname(python), "py-spy")
        self.command([py_spy, "record", "--rate", str(rate_hz), "--format", "raw", "--function", "-o", out,
                      *(["--idle"] if idle else []), "--", python, script, *script_args],
                     timeout_s=seconds * 4 + 120)
        with open(out) as f:
            return f.readlines()

    def safe(self, what: str, fn, *a):
        try:
            return fn(*a)
        except (HarnessError, OSError, ValueError, KeyError, subprocess.TimeoutExpired) as e:
            self.errors.append(f"{what}: {str(e)[:600]}")
            log(f"FAILED {what}: {str(e)[:300]}")
            return None

    # --- the runs ----------------------------------------------------------------------------

    def known_split(self, python: str, program: str, interval_ms: int) -> dict:
        driver, phases, _ = PROGRAMS[program]
        seconds = self.seconds_for(interval_ms)
        truth_path = os.path.join(self.tmp, "truth.json")
        doc = self.kulvo(python, PROGRAM_FILE, [program, str(seconds), truth_path], interval_ms, seconds)
        with open(truth_path) as f:
            truth = json.load(f)
        inside = shares.driver_samples(doc, driver, PROGRAM_FILE)
        # py-spy on the same program under the same conditions, against that run's own truth.
        spied = shares.pyspy_stacks(self.pyspy(python, PROGRAM_FILE, [program, str(seconds), truth_path],
                                               1000 // interval_ms, seconds, idle=True))
        with open(truth_path) as f:
            spied_truth = json.load(f)
        spied_shares = shares.pyspy_phase_shares(spied, driver, phases, PROGRAM_FILE)
        return {
            "truth": {p: 100 * truth["shares"][p] for p in phases},
            "own_cpu_percent": truth["cpu_percent"],
            "reported": {p: 100 * v for p, v in shares.phase_shares(inside, phases).items()},
            "py-spy": {p: 100 * (v - spied_truth["shares"][p]) for p, v in spied_shares.items()},
            "samples": len(inside),
            "rate_per_s": shares.sample_rate_per_s(inside),
            "cpu_p5_p95": shares.cpu_percentiles(inside),
        }

    def against_pyspy(self, python: str, bench: str, interval_ms: int = PYPERF_INTERVAL_MS) -> dict:
        seconds = self.seconds_for(interval_ms)
        doc = self.kulvo(python, DRIVER_FILE, [bench, str(seconds)], interval_ms, seconds)
        sources = shares.source_paths(doc)
        found = {"kulvo": labelled(shares.self_shares(shares.kulvo_self_stacks(doc), WORKLOAD_FUNCTION, sources)),
                 "samples": {"kulvo": doc["sample_count"]}}
        # With --pyspy-spread, py-spy runs twice: how far it moves from itself is the noise a
        # difference from kulvo must stand out of.
        for side in ("py-spy", "py-spy again") if self.args.pyspy_spread else ("py-spy",):
            raw = list(shares.pyspy_stacks(
                self.pyspy(python, DRIVER_FILE, [bench, str(seconds)], 1000 // interval_ms, seconds)))
            found[side] = labelled(shares.self_shares(raw, WORKLOAD_FUNCTION, sources))
            found["samples"][side] = int(sum(count for _, count in raw))
        return found


def labelled(by_key: dict) -> dict[str, float]:
    return {f"{name} ({file})": 100 * share for (file, name), share in by_key.items()}


def median_of(runs: list[dict], path: list[str]):
    """The median over repetitions of one figure (or of each of a pair), None when no run had it."""
    values = []
    for run in runs:
        v = run
        for key in path:
            v = v.get(key) if isinstance(v, dict) else None
        if v is not None:
            values.append(v)
    if not values:
        return None
    if isinstance(values[0], (list, tuple)):
        return [statistics.median(x[i] for x in values) for i in range(len(values[0]))]
    return statistics.median(values)


def run_version(runner: Runner, python: str) -> dict:
    a = runner.args
    split: dict = {}
    for program in a.programs:
        for ms in a.intervals:
            if program == "idle" and ms != 1:
                continue  # the idle program is there for the 1 ms rate only
            log(f"{program} at {ms} ms ({runner.seconds_for(ms)} s), load {loadavg()[0]}")
            runs = [r for r in (runner.safe(f"{python} {program} {ms} ms", runner.known_split, python, program, ms)
                                for _ in range(a.reps)) if r]
            if runs:
                _, phases, _ = PROGRAMS[program]
                split.setdefault(program, {})[str(ms)] = {
                    "truth": {p: median_of(runs, ["truth", p]) for p in phases},
                    "reported": {p: median_of(runs, ["reported", p]) for p in phases},
                    "py-spy": {p: median_of(runs, ["py-spy", p]) for p in phases},  # differences from truth
                    **{k: median_of(runs, [k]) for k in ("samples", "rate_per_s", "cpu_p5_p95", "own_cpu_percent")},
                    "runs": len(runs),
                    # Every run's figures, for the spread between runs beside the medians.
                    "each": [{k: run[k] for k in ("truth", "reported", "py-spy")} for run in runs],
                }
    pyperf: dict = {}
    sides = ("kulvo", "py-spy", "py-spy again") if a.pyspy_spread else ("kulvo", "py-spy")
    for bench in a.pyperf:
        for ms in a.pyperf_intervals:
            # The default interval keeps the bare name, as earlier results have it.
            key = bench if ms == PYPERF_INTERVAL_MS else f"{bench} at {ms} ms"
            log(f"{bench}: kulvo and py-spy at {ms} ms, load {loadavg()[0]}")
            runs = [r for r in (runner.safe(f"{python} {bench}", runner.against_pyspy, python, bench, ms)
                                for _ in range(a.reps)) if r]
            if runs:
                names = {n for r in runs for side in sides for n in r[side]}
                pyperf[key] = {side: {n: median_of(runs, [side, n]) or 0.0 for n in names} for side in sides}
                pyperf[key]["samples"] = {side: median_of(runs, ["samples", side]) for side in sides}
    return {"split": split, "pyperf": pyperf}


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--python", action="append", required=True, help="an interpreter with kulvo, py-spy and "
                   "pyperformance installed; repeat for each version")
    p.add_argument("--quick", action="store_true", help="a smoke run: few samples, fewer programs")
    p.add_argument("--reps", type=int, default=1, help="runs per program and interval (median reported)")
    p.add_argument("--command", default="python bench/truth.py", help="the command line to record in the report")
    p.add_argument("--no-report", action="store_true", help="leave bench/RESULTS.md alone")
    p.add_argument("--load", type=int, default=0, metavar="N",
                   help="run N CPU-bound processes beside every program, kulvo's and py-spy's alike")
    p.add_argument("--intervals", default=",".join(map(str, INTERVALS_MS)),
                   help="comma-separated intervals in ms for the known-split programs")
    p.add_argument("--pyperf", help="comma-separated pyperformance benchmarks instead of the usual four")
    p.add_argument("--pyperf-intervals", default=str(PYPERF_INTERVAL_MS),
                   help="comma-separated intervals in ms for the pyperformance comparison")
    p.add_argument("--pyspy-spread", action="store_true", help="run py-spy twice per cell, for its own spread")
    p.add_argument("--no-split", action="store_true", help="leave out the known-split programs")
    p.add_argument("--programs", help="comma-separated known-split programs instead of them all")
    p.add_argument("--no-pyperf", action="store_true", help="leave out the pyperformance comparison")
    p.add_argument("--pin", action="store_true",
                   help="run every program and its sampler (kulvo's thread, py-spy) on one CPU with taskset")
    args = p.parse_args()
    args.samples = 300 if args.quick else 2000
    if args.programs:
        args.programs = args.programs.split(",")
        unknown = set(args.programs) - set(PROGRAMS)
        if unknown:
            p.error(f"no such known-split program: {', '.join(sorted(unknown))}")
    else:
        args.programs = ["work10_sleep10", "work20_sort", "busy", "idle"] if args.quick else list(PROGRAMS)
    args.programs = [] if args.no_split else args.programs
    args.pyperf = args.pyperf.split(",") if args.pyperf else PYPERF[:1] if args.quick else PYPERF
    args.pyperf = [] if args.no_pyperf else args.pyperf
    args.pyperf_intervals = [int(ms) for ms in args.pyperf_intervals.split(",")]
    args.intervals = [int(ms) for ms in args.intervals.split(",")]

    pythons = {}
    for python in args.python:
        version = subprocess.run([python, "-c", "import platform; print(platform.python_version())"],
                                 capture_output=True, text=True, check=True).stdout.strip()
        pythons[version] = python
    results = {"machine": machine(pythons), "quick": args.quick,
               "command": args.command + (" --quick" if args.quick else ""),
               "config": {"samples": args.samples, "reps": args.reps, "intervals_ms": args.intervals,
                          "pyperf_interval_ms": PYPERF_INTERVAL_MS, "top_functions": TOP_FUNCTIONS},
               "load": {"start": loadavg()}, "versions": {}}
    if args.load:
        results["command"] += f" --load {args.load}"
    if args.pin:
        results["command"] += " --pin"
    started = time.time()
    burners = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(args.load)]
    try:
        run_all(args, pythons, results)
    finally:
        for burner in burners:
            burner.kill()
    kind = "truth" + ("-load" if args.load else "") + ("-pin" if args.pin else "")
    raw = save_raw(results, kind, args.quick, started, results.pop("errors"))
    log(f"raw results: {raw} ({results['duration_s']} s)")
    if not args.no_report:
        truth_report.write(results, os.path.join(BENCH, "RESULTS.md"))
        log("wrote the accuracy section of bench/RESULTS.md")


def run_all(args: argparse.Namespace, pythons: dict[str, str], results: dict) -> None:
    with tempfile.TemporaryDirectory(prefix="kulvo-truth-") as tmp:
        runner = Runner(args, tmp)
        for version, python in pythons.items():
            log(f"=== CPython {version}")
            results["versions"][version] = run_version(runner, python)
        results["errors"] = runner.errors


if __name__ == "__main__":
    main()
