"""Runs every kulvo benchmark and writes bench/README.md, bench/RESULTS.md and the charts.

Normally started by bench/run.sh, which prepares the virtualenvs first. Every figure is a
ratio or a count measured in this run against its own baseline; repetitions alternate
the conditions so that a noisy neighbour hits all of them alike.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import shutil
import subprocess
import sys
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(BENCH, "lib"))

from common import HARNESS, HarnessError, loadavg, machine, rotated, run_harness, save_raw, summary  # noqa: E402

OWN_WORKLOADS = ["recursion", "numeric", "strings_json", "alloc_growth"]
PYPERF_WORKLOADS = ["chaos", "deltablue", "go", "nbody", "raytrace", "richards"]
# "none-b" runs unprofiled a second time: the A/A control that shows the noise floor.
OVERHEAD_CONDITIONS = ["none", "none-b", "kulvo:1", "kulvo:10", "kulvo:50", "pyinstrument", "cprofile", "yappi",
                       "py-spy"]
ACCURACY_CONDITIONS = ["kulvo:1", "kulvo:10", "kulvo:50", "pyinstrument", "py-spy"]
MEMORY_CONDITIONS = ["none", "none-b", "kulvo:10", "tracemalloc", "kulvo-mem-direct", "kulvo-mem", "memray",
                     "scalene"]
DEPTHS = [10, 100, 1000]
INTERVALS = [1, 10, 50]


def log(msg: str) -> None:
    print(f"[{time.strftime('%H:%M:%S')}] {msg}", flush=True)


class Runner:
    def __init__(self, args):
        self.args = args
        self.py = args.python
        self.tmp = os.path.join(BENCH, "out", "tmp")
        os.makedirs(self.tmp, exist_ok=True)
        self.env = {"PYTHONPATH": args.hook_dir} if args.hook_dir else {}
        self.errors: list[str] = []

    def pyspy_path(self, python: str) -> str:
        return os.path.join(os.path.dirname(python), "py-spy")

    def harness(self, python: str, cond: str, mode_args: list[str], idle: bool = False) -> dict:
        """One harness run under `cond`; py-spy and Scalene wrap the process from outside."""
        if cond == "py-spy":
            out = os.path.join(self.tmp, f"pyspy-{os.getpid()}-{time.monotonic_ns()}.txt")
            wrap = [self.pyspy_path(python), "record", "--nonblocking", "-r", "100", "-f", "raw", "-o", out]
            if idle:
                wrap.append("--idle")
            payload = run_harness(python, mode_args + ["--profiler", "none"], wrap=wrap + ["--"], env=self.env)
            payload["pyspy_file"] = out
            return payload
        if cond == "scalene":
            out = os.path.join(self.tmp, f"scalene-{os.getpid()}.json")
            import subprocess

            cmd = [python, "-m", "scalene", "run", "-o", out, HARNESS, "---"] + mode_args + ["--profiler", "none"]
            proc = subprocess.run(cmd, capture_output=True, text=True, env={**os.environ, **self.env}, timeout=900)
            for line in reversed(proc.stdout.splitlines()):
                if line.startswith("RESULT "):
                    return json.loads(line[7:])
            raise HarnessError(f"scalene: exit {proc.returncode}: {proc.stderr[-2000:]}")
        extra = ["--out", os.path.join(self.tmp, f"memray-{os.getpid()}.bin")] if cond == "memray" else []
        return run_harness(python, mode_args + ["--profiler", cond] + extra, env=self.env)

    def safe(self, what: str, fn, *a, **kw):
        try:
            return fn(*a, **kw)
        except (HarnessError, OSError, ValueError, KeyError) as e:
            self.errors.append(f"{what}: {str(e)[:600]}")
            log(f"FAILED {what}: {str(e)[:300]}")
            return None

    # --- A: the sampling loop ------------------------------------------------------------

    def sampling_loop(self) -> dict:
        a = self.args
        cal = run_harness(self.py, ["calibrate", "--workload", "cpu_mix", "--target", str(a.pair_seconds)])
        scale = max(1, round(a.pair_seconds / cal["per_unit_s"]))
        log(f"A: cpu_mix scale {scale}, {a.pair_rounds} rounds")
        load0 = loadavg()
        res = run_harness(self.py, ["pairs", "--workload", "cpu_mix", "--scale", str(scale),
                                    "--rounds", str(a.pair_rounds), "--intervals", *map(str, INTERVALS)],
                          timeout=7200)
        ratios = {ms: [] for ms in INTERVALS}
        samples = {ms: [] for ms in INTERVALS}
        base, control = [], []
        for r in res["rounds"]:
            base.append(r["times"]["none"])
            control.append(r["times"]["none-b"] / r["times"]["none"])
            for ms in INTERVALS:
                ratios[ms].append(r["times"][f"kulvo:{ms}"] / r["times"]["none"])
                samples[ms].append(r["samples"][f"kulvo:{ms}"] / r["times"][f"kulvo:{ms}"])
        return {
            "workload": "cpu_mix",
            "scale": scale,
            "baseline_s": summary(base),
            "slowdown": {ms: summary(v) for ms, v in ratios.items()},
            "control": summary(control),
            "slowdown_raw": {ms: v for ms, v in ratios.items()},
            "samples_per_s": {ms: summary(v) for ms, v in samples.items()},
            "load": [load0, loadavg()],
        }

    def capture_cost(self) -> dict:
        a = self.args
        hook, cycle = {d: [] for d in DEPTHS}, {d: [] for d in DEPTHS}
        kept, gil = {d: [] for d in DEPTHS}, []
        frames = {}
        for rep in range(a.reps):
            for d in rotated(DEPTHS, rep):
                if a.hook_dir:
                    r = self.safe(f"capture depth {d}", run_harness, self.py,
                                  ["capture", "--depth", str(d), "--reps", str(a.capture_reps)], env=self.env)
                    if r:
                        hook[d].append(r["median_us"])
                        kept[d].append(r["kept_state_median_us"])
                        gil.append(r["gil_round_trip_us"])
                        frames[d] = r["frames"]
                r = self.safe(f"cycle depth {d}", run_harness, self.py,
                              ["cycle", "--depth", str(d), "--seconds", str(a.cycle_seconds)])
                if r:
                    cycle[d].append(r["cpu_us_per_cycle"])
        return {
            "hook_us": {d: summary(v) for d, v in hook.items()},
            "kept_state_us": {d: summary(v) for d, v in kept.items()},
            "gil_round_trip_us": summary(gil),
            "cycle_us": {d: summary(v) for d, v in cycle.items()},
            "frames": frames,
        }

    # --- B: stop() of a full ring ----------------------------------------------------------

    def stop_cost(self) -> dict:
        a = self.args
        out = {}
        sizes = [10_000] + ([100_000] if not a.quick else [])
        per = {n: {"spikes_ms": [], "hot_paths_ms": [], "analysis_ms": [], "convert_ms": [], "free_ms": [],
                   "total_ms": [], "peak_mib": [], "ring_mib": [], "retained_mib": [], "conv_core_ms": [],
                   "conv_plain_ms": [], "conv_ratio": []} for n in sizes}
        if not a.hook_dir:
            return {"skipped": "bench hook not built"}
        base_rss = None
        for rep in range(a.stop_reps):
            for n in rotated(sizes, rep):
                r = self.safe(f"stopcost {n}", run_harness, self.py,
                              ["stopcost", "--samples", str(n), "--depth", "30", "--seed", str(rep + 1),
                               "--conv-reps", str(a.conv_reps)], env=self.env)
                if not r:
                    continue
                t = {k: v / 1e6 for k, v in r["timings_ns"].items()}
                p = per[n]
                p["spikes_ms"].append(t["spikes_ns"])
                p["hot_paths_ms"].append(t["hot_paths_ns"])
                p["analysis_ms"].append(t["spikes_ns"] + t["hot_paths_ns"])
                p["convert_ms"].append(t["convert_ns"])
                p["free_ms"].append(t["free_ns"])
                p["total_ms"].append(t["total_ns"])
                p["peak_mib"].append((r["peak_kb"] - r["rss_before_kb"]) / 1024)
                p["retained_mib"].append((r["rss_after_kb"] - r["rss_before_kb"]) / 1024)
                p["ring_mib"].append(r["rss_before_kb"] / 1024)
                for c, pl in zip(r["conv"]["core_ns"], r["conv"]["plain_ns"]):
                    p["conv_core_ms"].append(c / 1e6)
                    p["conv_plain_ms"].append(pl / 1e6)
                    p["conv_ratio"].append(c / pl)
        # The resident size of a harness that made no samples, to isolate the ring's share.
        r = self.safe("stopcost 0", run_harness, self.py, ["stopcost", "--samples", "1", "--depth", "30",
                                                           "--conv-reps", "1"], env=self.env)
        if r:
            base_rss = r["rss_before_kb"] / 1024
        for n in sizes:
            out[n] = {k: summary(v) for k, v in per[n].items()}
        out["interpreter_rss_mib"] = base_rss
        return out

    # --- C.1 overhead ------------------------------------------------------------------

    def overhead(self, python: str, workloads: list[str], conditions: list[str], reps: int, seconds: float) -> dict:
        scales = {}
        for w in workloads:
            cal = self.safe(f"calibrate {w}", run_harness, python, ["calibrate", "--workload", w, "--target",
                                                                   str(seconds)])
            if cal:
                scales[w] = max(1, math.ceil(seconds / cal["per_unit_s"]))
        times = {w: {c: [] for c in conditions} for w in scales}
        failures = {w: {c: 0 for c in conditions} for w in scales}
        ratios = {w: {c: [] for c in conditions if c != "none"} for w in scales}
        for rep in range(reps):
            log(f"overhead rep {rep + 1}/{reps} ({os.path.basename(os.path.dirname(os.path.dirname(python)))}), "
                f"load {loadavg()}")
            for w in scales:
                got = {}
                for c in rotated(conditions, rep):
                    r = self.safe(f"{w} under {c}", self.harness, python, c,
                                  ["run", "--workload", w, "--scale", str(scales[w])])
                    if r:
                        got[c] = r["wall_s"]
                        times[w][c].append(r["wall_s"])
                    else:
                        failures[w][c] += 1
                if "none" in got:
                    for c, t in got.items():
                        if c != "none":
                            ratios[w][c].append(t / got["none"])
        per_workload = {w: {c: summary(v) for c, v in cs.items()} for w, cs in ratios.items()}
        overall = {}
        for c in conditions:
            if c == "none":
                continue
            meds = [per_workload[w][c]["median"] for w in per_workload if per_workload[w][c].get("median")]
            overall[c] = summary(meds)
        return {"scales": scales, "per_workload": per_workload, "overall": overall,
                "baseline_s": {w: summary(times[w]["none"]) for w in times},
                "raw_ratios": ratios, "failures": failures, "runs": reps}

    # --- C.2 accuracy ------------------------------------------------------------------

    def accuracy(self) -> dict:
        a = self.args
        sys.path.insert(0, os.path.join(BENCH, "lib"))
        import accuracy_programs

        results = {}
        for prog, (_, targets) in accuracy_programs.PROGRAMS.items():
            per = {c: {t: [] for t in targets} for c in ACCURACY_CONDITIONS}
            per_hot = {c: {t: [] for t in targets} for c in ACCURACY_CONDITIONS if c.startswith("kulvo")}
            err = {c: [] for c in ACCURACY_CONDITIONS}
            truth = {t: [] for t in targets}
            for rep in range(a.reps):
                for c in rotated(ACCURACY_CONDITIONS, rep):
                    r = self.safe(f"accuracy {prog} {c}", self.harness, self.py, c,
                                  ["accuracy", "--program", prog, "--seconds", str(a.accuracy_seconds)], idle=True)
                    if not r:
                        continue
                    if c.startswith("kulvo"):
                        got = r["kulvo"]["innermost"]
                        for t in targets:
                            if r["kulvo"]["hot_paths"].get(t) is not None:
                                per_hot[c][t].append(100 * r["kulvo"]["hot_paths"][t])
                    elif c == "pyinstrument":
                        got = r["pyinstrument"]["inclusive"]
                    else:
                        got = pyspy_shares(r["pyspy_file"], prog, targets)
                    for t in targets:
                        per[c][t].append(100 * got[t])
                        truth[t].append(100 * r["truth"][t])
                    err[c].append(max(abs(100 * got[t] - 100 * r["truth"][t]) for t in targets))
            results[prog] = {
                "targets": targets,
                "truth": {t: summary(v) for t, v in truth.items()},
                "share": {c: {t: summary(v) for t, v in ts.items()} for c, ts in per.items()},
                "hot_path_share": {c: {t: summary(v) for t, v in ts.items()} for c, ts in per_hot.items()},
                "abs_error_pp": {c: summary(v) for c, v in err.items()},
            }
        return results

    # --- C.3 fidelity ------------------------------------------------------------------

    def fidelity(self) -> dict:
        a = self.args
        conds = [(ms, m) for m in ("idle", "cpu") for ms in INTERVALS]
        rates = {f"{m}:{ms}": [] for ms, m in conds}
        gaps = {f"{m}:{ms}": [] for ms, m in conds}
        for rep in range(a.reps):
            for ms, m in rotated(conds, rep):
                r = self.safe(f"fidelity {m} {ms}", run_harness, self.py,
                              ["fidelity", "--interval", str(ms), "--main", m, "--seconds", str(a.fidelity_seconds)])
                if r:
                    rates[f"{m}:{ms}"].append(r["rate_per_s"] / (1000 / ms))
                    gaps[f"{m}:{ms}"].extend(r["gaps_ms"])
        out = {}
        for key in rates:
            g = sorted(gaps[key])
            ms = int(key.split(":")[1])
            hist = {}
            for v in g:
                hist[v] = hist.get(v, 0) + 1
            out[key] = {
                "rate_ratio": summary(rates[key]),
                "gap_count": len(g),
                "gap_pct": {p: g[min(len(g) - 1, int(len(g) * p / 100))] for p in (1, 10, 50, 90, 99)} if g else {},
                "gap_max": g[-1] if g else None,
                "gap_zero_share": (sum(1 for v in g if v == 0) / len(g)) if g else None,
                "gap_mean": (sum(g) / len(g)) if g else None,
                "hist": {str(k): v for k, v in sorted(hist.items()) if k <= max(ms * 3, 20)},
                "hist_over": sum(v for k, v in hist.items() if k > max(ms * 3, 20)),
            }
        return out

    # --- C.5 memory watcher ------------------------------------------------------------

    def memory_watcher(self) -> dict:
        a = self.args
        result = self.overhead(self.py, ["alloc_growth"], MEMORY_CONDITIONS, a.reps, a.seconds)
        # --memory against tracemalloc alone on more workloads, and a snapshot's cost per live block.
        command = [self.py, os.path.join(BENCH, "memory_watcher.py"), "--reps", str(a.reps), "--seconds",
                   str(a.seconds)] + (["--no-blocks"] if a.quick else [])
        done = self.safe("memory_watcher.py", subprocess.run, command)
        if done is not None and done.returncode == 0:
            with open(os.path.join(BENCH, "results", "memory_watcher.json")) as f:
                result["rework"] = json.load(f)
        return result


def pyspy_shares(path: str, driver: str, targets: list[str]) -> dict:
    """Shares from py-spy's collapsed stacks: the innermost Python frame of each stack
    inside the driver, weighted by its count."""
    inside = 0
    counts = {t: 0 for t in targets}
    with open(path) as f:
        for line in f:
            line = line.rstrip("\n")
            if not line:
                continue
            stack, _, n = line.rpartition(" ")
            frames = [fr.split(" (")[0] for fr in stack.split(";")]
            if driver not in frames:
                continue
            inside += int(n)
            if frames[-1] in counts:
                counts[frames[-1]] += int(n)
    os.unlink(path)
    return {t: (counts[t] / inside if inside else 0.0) for t in targets}


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--quick", action="store_true", help="a smoke run: tiny durations, one repetition")
    p.add_argument("--python", default=sys.executable, help="interpreter with kulvo and the peers (3.11)")
    p.add_argument("--python310", default=None, help="a 3.10 interpreter with kulvo and the peers")
    p.add_argument("--hook-dir", default=None, help="directory holding the built _kulvo_bench module")
    p.add_argument("--reps", type=int, default=None, help="alternating repetitions (default 5)")
    p.add_argument("--sections", default="A,B,overhead,accuracy,fidelity,memory,py310")
    p.add_argument("--command", default="bash bench/run.sh", help="the command line to record in the reports")
    p.add_argument("--no-report", action="store_true")
    args = p.parse_args()

    q = args.quick
    args.reps = args.reps or (1 if q else 5)
    args.pair_rounds = 3 if q else 15
    args.pair_seconds = 0.3 if q else 2.0
    args.capture_reps = 200 if q else 1000
    args.cycle_seconds = 0.5 if q else 2.0
    args.stop_reps = 1 if q else 5
    args.conv_reps = 1 if q else 3
    args.seconds = 0.2 if q else 1.0
    args.accuracy_seconds = 1.0 if q else 3.0
    args.fidelity_seconds = 0.5 if q else 4.0
    sections = set(args.sections.split(","))

    runner = Runner(args)
    pythons = {"main": args.python}
    if args.python310:
        pythons["py310"] = args.python310
    results = {"machine": machine(pythons), "quick": q, "command": args.command + (" --quick" if q else ""),
               "config": {k: v for k, v in vars(args).items() if k not in ("python", "python310", "hook_dir")},
               "load": {"start": loadavg()}}
    started = time.time()
    log(f"machine: {results['machine']}")

    if "A" in sections:
        log("A: sampling-loop overhead (in-process alternating rounds)")
        results["A"] = runner.safe("A", runner.sampling_loop)
        log("A: capture cost per depth")
        results["capture"] = runner.capture_cost()
    if "fidelity" in sections:
        log("fidelity: achieved rate and gaps")
        results["fidelity"] = runner.fidelity()
    if "B" in sections:
        log("B: stop() cost on synthetic full rings")
        results["B"] = runner.stop_cost()
    if "overhead" in sections:
        workloads = OWN_WORKLOADS + [f"pyperf:{b}" for b in (PYPERF_WORKLOADS[:1] if q else PYPERF_WORKLOADS)]
        if q:
            workloads = ["numeric", "pyperf:nbody"]
        log(f"C.1: overhead, {len(workloads)} workloads x {len(OVERHEAD_CONDITIONS)} conditions")
        results["overhead"] = runner.overhead(args.python, workloads, OVERHEAD_CONDITIONS, args.reps, args.seconds)
        results["load"]["after_overhead"] = loadavg()
    if "py310" in sections and args.python310:
        workloads = [f"pyperf:{b}" for b in (PYPERF_WORKLOADS[:1] if q else PYPERF_WORKLOADS)]
        log("C.1: pyperformance programs on 3.10")
        results["overhead_py310"] = runner.overhead(args.python310, workloads, OVERHEAD_CONDITIONS,
                                                    max(1, min(args.reps, 3)), args.seconds)
    if "accuracy" in sections:
        log("C.2: accuracy")
        results["accuracy"] = runner.accuracy()
    if "memory" in sections:
        log("C.5: memory watcher")
        results["memory"] = runner.memory_watcher()
    raw = save_raw(results, "results", q, started, runner.errors)
    log(f"raw results: {raw} ({results['duration_s']} s)")
    shutil.rmtree(runner.tmp, ignore_errors=True)
    if not args.no_report:
        import report

        report.write_all(results, BENCH)
        log("wrote bench/README.md, bench/RESULTS.md, bench/results/summary.json, bench/charts/*.png")


if __name__ == "__main__":
    main()
