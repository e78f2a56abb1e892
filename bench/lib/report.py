"""Writes bench/README.md, bench/RESULTS.md, bench/results/summary.json and the charts
from one run's results. Can be rerun alone: python bench/lib/report.py RESULTS.json"""

from __future__ import annotations

import json
import os
import sys

import truth_report
from common import fmt_num, fmt_ratio

GOALS = {
    "A": {"50": 1.01, "10": 1.02, "1": 1.05},
    "C": {"kulvo:50": 1.01, "kulvo:10": 1.03},
    "capture_depth10_us": 30.0,
    "analysis_ms": 100.0,
    "convert_ratio": 1.5,
    "accuracy_pp": 3.0,
    "idle_rate": 0.05,
}

LABEL = {
    "none-b": "unprofiled again (A/A)",
    "kulvo:1": "kulvo 1 ms",
    "kulvo:10": "kulvo 10 ms",
    "kulvo:50": "kulvo 50 ms",
    "pyinstrument": "pyinstrument",
    "cprofile": "cProfile",
    "yappi": "yappi",
    "py-spy": "py-spy",
    "tracemalloc": "tracemalloc alone",
    "kulvo-mem": "kulvo.profile(memory=True)",
    "kulvo-mem-direct": "kulvo watcher, parts put together",
    "memray": "memray",
    "scalene": "Scalene (CPU+memory)",
}


def med(s):
    return None if not s else s.get("median")


def verdict_le(value, goal, unit="×", digits=3):
    if value is None:
        return "not measured"
    if value <= goal:
        return f"**met** ({value:.{digits}f}{unit} ≤ {goal}{unit})"
    over = value - goal
    return f"**missed** by {over:.{digits}f}{unit} ({value:.{digits}f}{unit} against ≤ {goal}{unit})"


def machine_block(r) -> str:
    m = r["machine"]
    pys = ", ".join(f"{k}: CPython {v}" for k, v in m["pythons"].items())
    load = r["load"]
    loads = "; ".join(f"{k} {v[0]:.2f}/{v[1]:.2f}/{v[2]:.2f}" for k, v in load.items())
    return (
        f"- Machine: {m['cpu']}, {m['cores']} cores, {m['memory_gib']} GiB, Linux {m['kernel']} "
        f"(a shared virtual machine: other engineers' builds and tests ran at the same time)\n"
        f"- Interpreters: {pys}; switch interval {m['switch_interval_s'] * 1000:.0f} ms\n"
        f"- kulvo commit: `{m['commit']}`, run on {m['date']}, {r['duration_s'] // 60} min\n"
        f"- Load average (1/5/15 min): {loads}\n"
        f"- Command: `{r['command']}`" + (" (a smoke run: numbers are not meaningful)" if r["quick"] else "")
    )


# --- charts -------------------------------------------------------------------------------


def charts(r, out_dir) -> list[str]:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    os.makedirs(out_dir, exist_ok=True)
    made = []

    ov = r.get("overhead")
    if ov and ov.get("per_workload"):
        conds = [c for c in ["none-b", "kulvo:50", "kulvo:10", "kulvo:1", "py-spy", "pyinstrument", "cprofile",
                             "yappi"] if c in ov["overall"]]
        fig, ax = plt.subplots(figsize=(11, 5.2))
        workloads = list(ov["per_workload"])
        markers = "os^vD<>phx*"
        for i, w in enumerate(workloads):
            ys = [med(ov["per_workload"][w].get(c)) for c in conds]
            ax.scatter([j + (i - len(workloads) / 2) * 0.03 for j in range(len(conds))], ys, s=22,
                       marker=markers[i % len(markers)], label=w.replace("pyperf:", ""), alpha=0.75)
        meds = [med(ov["overall"][c]) for c in conds]
        ax.bar(range(len(conds)), [m - 1 if m else 0 for m in meds], bottom=1, color="#cccccc", zorder=0,
               width=0.6, label="median over workloads")
        for j, m in enumerate(meds):
            if m:
                ax.text(j, m * 1.03, f"{m:.3f}×", ha="center", fontsize=8)
        ax.set_yscale("log")
        ax.set_xticks(range(len(conds)), [LABEL[c].replace(" (", "\n(") for c in conds], fontsize=8)
        ax.set_ylabel("slowdown (profiled / unprofiled wall time, log)")
        ax.axhline(1.0, color="black", lw=0.8)
        ax.set_title(f"Overhead on CPython {r['machine']['pythons'].get('main')}: "
                     f"median of {r['config']['reps']} alternating runs per workload")
        ax.legend(fontsize=7, ncol=2, loc="upper left")
        fig.tight_layout()
        path = os.path.join(out_dir, "overhead.png")
        fig.savefig(path, dpi=110)
        plt.close(fig)
        made.append(path)

    acc = r.get("accuracy")
    if acc:
        fig, axes = plt.subplots(1, len(acc), figsize=(12, 4.4), sharey=True)
        for ax, (prog, d) in zip(axes, acc.items()):
            t0 = d["targets"][0]
            conds = ["truth"] + list(d["share"])
            vals = [med(d["truth"][t0])] + [med(d["share"][c][t0]) for c in d["share"]]
            lo = [0] + [(med(d["share"][c][t0]) or 0) - (d["share"][c][t0].get("min") or 0) for c in d["share"]]
            hi = [0] + [(d["share"][c][t0].get("max") or 0) - (med(d["share"][c][t0]) or 0) for c in d["share"]]
            colors = ["black"] + ["#1f77b4"] * 3 + ["#ff7f0e", "#2ca02c"]
            ax.bar(range(len(conds)), [v or 0 for v in vals], yerr=[lo, hi], color=colors[: len(conds)], capsize=3)
            truth = med(d["truth"][t0])
            if truth:
                ax.axhspan(truth - 3, truth + 3, color="green", alpha=0.12, label="truth ± 3 pp")
            ax.set_xticks(range(len(conds)), ["truth"] + [LABEL[c] for c in d["share"]], rotation=40, ha="right",
                          fontsize=8)
            ax.set_title(f"{prog}: share of {t0}()", fontsize=10)
            ax.set_ylim(0, 100)
        axes[0].set_ylabel("% of the driver's time")
        axes[0].legend(fontsize=8)
        fig.suptitle("Accuracy: share given to the first function (median, bars show min–max)")
        fig.tight_layout()
        path = os.path.join(out_dir, "accuracy.png")
        fig.savefig(path, dpi=110)
        plt.close(fig)
        made.append(path)

    fid = r.get("fidelity")
    if fid:
        fig, axes = plt.subplots(1, 3, figsize=(13, 4.2))
        keys = list(fid)
        ratios = [med(fid[k]["rate_ratio"]) or 0 for k in keys]
        axes[0].bar(range(len(keys)), [x * 100 for x in ratios],
                    color=["#2ca02c" if k.startswith("idle") else "#d62728" for k in keys])
        axes[0].axhspan(95, 105, color="green", alpha=0.12, label="±5% of requested")
        axes[0].set_xticks(range(len(keys)), [k.replace(":", "\n") + " ms" for k in keys], fontsize=8)
        axes[0].set_ylabel("achieved / requested rate (%)")
        axes[0].set_title("Achieved sample rate")
        axes[0].legend(fontsize=8)
        for ax, ms in zip(axes[1:], ("1", "10")):
            for k, color in ((f"idle:{ms}", "#2ca02c"), (f"cpu:{ms}", "#d62728")):
                if k not in fid:
                    continue
                h = fid[k]["hist"]
                total = sum(h.values()) + fid[k]["hist_over"]
                xs = [int(x) for x in h]
                ax.bar([x + (0.2 if k.startswith("cpu") else -0.2) for x in xs],
                       [100 * v / total for v in h.values()], width=0.4, color=color,
                       label=k.split(":")[0] + " main thread")
            ax.set_title(f"Gaps between samples at {ms} ms")
            ax.set_xlabel("gap (ms, timestamps are whole ms)")
            ax.set_ylabel("% of gaps")
            ax.legend(fontsize=8)
        fig.tight_layout()
        path = os.path.join(out_dir, "fidelity.png")
        fig.savefig(path, dpi=110)
        plt.close(fig)
        made.append(path)

    cap, b = r.get("capture"), r.get("B")
    if cap:
        fig, axes = plt.subplots(1, 2, figsize=(12, 4.4))
        ax = axes[0]
        depths = [int(d) for d in cap["cycle_us"]]
        for key, label, color in (("hook_us", "one capture, as the core does it", "#1f77b4"),
                                  ("kept_state_us", "one capture, thread state kept", "#2ca02c"),
                                  ("cycle_us", "sampler thread CPU per sample", "#ff7f0e")):
            if key not in cap:
                continue
            ys = [med(cap[key].get(str(d))) for d in depths]
            if any(ys):
                ax.plot(depths, ys, "o-", label=label, color=color)
                for d, y in zip(depths, ys):
                    if y:
                        ax.annotate(f"{y:.0f} µs", (d, y), textcoords="offset points", xytext=(5, -12), fontsize=8)
        ax.axhline(GOALS["capture_depth10_us"], color="green", ls="--", lw=0.8, label="30 µs (goal at depth 10)")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("stack depth (frames)")
        ax.set_ylabel("µs")
        ax.set_title("Capture cost against stack depth")
        ax.legend(fontsize=8)
        ax = axes[1]
        if b and "10000" in b:
            sizes = [n for n in ("10000", "100000") if n in b]
            parts = [("spikes_ms", "detect_\nspikes"), ("hot_paths_ms", "aggregate_\nhot_paths"),
                     ("convert_ms", "result_to_py"), ("conv_plain_ms", "plain C API\nloop (same\noutput)"),
                     ("free_ms", "freeing the\nrecords")]
            width = 0.8 / len(sizes)
            for i, n in enumerate(sizes):
                vals = [med(b[n][key]) or 0 for key, _ in parts]
                xs = [j + (i - (len(sizes) - 1) / 2) * width for j in range(len(parts))]
                ax.bar(xs, vals, width=width * 0.95, label=f"{int(n):,} samples × 30 frames")
                for x, v in zip(xs, vals):
                    ax.text(x, v * 1.08, f"{v:.0f}" if v >= 10 else f"{v:.1f}", ha="center", fontsize=7)
            ax.axhline(GOALS["analysis_ms"], color="green", ls="--", lw=0.8, label="100 ms (analysis goal)")
            ax.set_yscale("log")
            ax.set_xticks(range(len(parts)), [p[1] for p in parts], fontsize=8)
            ax.set_ylabel("ms (log)")
            ax.set_title("stop() after the join, by stage")
            ax.legend(fontsize=8)
        fig.tight_layout()
        path = os.path.join(out_dir, "cost_model.png")
        fig.savefig(path, dpi=110)
        plt.close(fig)
        made.append(path)

    mem = r.get("memory")
    if mem and mem.get("per_workload"):
        d = mem["per_workload"].get("alloc_growth", {})
        conds = [c for c in d if med(d[c])]
        fig, ax = plt.subplots(figsize=(8, 4))
        vals = [med(d[c]) for c in conds]
        ax.bar(range(len(conds)), vals, color=["#1f77b4" if c.startswith("kulvo") else "#999999" for c in conds])
        for j, v in enumerate(vals):
            ax.text(j, v * 1.02, f"{v:.2f}×", ha="center", fontsize=8)
        ax.set_xticks(range(len(conds)), [LABEL[c] for c in conds], rotation=20, ha="right", fontsize=8)
        ax.set_ylabel("slowdown on alloc_growth")
        ax.axhline(1.0, color="black", lw=0.8)
        ax.set_title("Memory-tracking overhead (allocation-growth workload)")
        fig.tight_layout()
        path = os.path.join(out_dir, "memory_watcher.png")
        fig.savefig(path, dpi=110)
        plt.close(fig)
        made.append(path)
    return made


# --- markdown -----------------------------------------------------------------------------


def section_a(r) -> str:
    a, cap, fid = r.get("A"), r.get("capture"), r.get("fidelity")
    lines = ["## A. The sampling loop", ""]
    if a:
        lines += [
            f"Workload: `cpu_mix` (recursive Fibonacci and an integer loop, pure Python, "
            f"{med(a['baseline_s']):.2f} s unprofiled). {a['slowdown']['1']['n']} rounds in one process; each round "
            "runs the workload once unprofiled and once under each interval, in an order that rotates from round "
            "to round; a round's ratio divides by its own unprofiled time. The timed span includes `start()` and "
            "`stop()`.",
            "",
            "| interval | slowdown: median (spread) | samples/s | goal | verdict |",
            "| --- | --- | --- | --- | --- |",
        ]
        ctl = a.get("control")
        if ctl:
            lines.append(f"| none (A/A control: unprofiled again) | {fmt_ratio(ctl, 4)} | | | |")
        for ms in ("50", "10", "1"):
            s = a["slowdown"][ms]
            lines.append(f"| {ms} ms | {fmt_ratio(s, 4)} | {med(a['samples_per_s'][ms]):.0f} | "
                         f"≤ {GOALS['A'][ms]}× | {verdict_le(med(s), GOALS['A'][ms], '×', 4)} |")
        lines.append("")
        if ctl and "q1" in ctl:
            lines.append(
                f"Noise: the A/A control (the same unprofiled workload run twice per round) spreads over "
                f"{ctl['q1']:.3f}–{ctl['q3']:.3f}× between its quartiles, around {med(ctl):.4f}×; a goal margin "
                "narrower than that spread is not resolved by this run, whichever side of the line the median "
                "falls. Load on the machine during this section: "
                f"{a['load'][0][0]:.2f} at the start, {a['load'][1][0]:.2f} at the end (1-minute average).")
            lines.append("")
    if cap:
        lines += [
            "### Cost of one capture",
            "",
            "Two measurements. *Capture*: the core's own `capture_main_stack()`, compiled from `src/python/` into the "
            "bench-only hook (`bench/hook/`), called in a loop on a native thread that has no interpreter thread "
            "state, exactly as the sampler thread calls it, while the main thread waits at the given depth with the "
            f"lock released; median of {r['config']['capture_reps']:,} calls per run. The same loop with a thread "
            "state made once and kept shows what the per-call thread state costs. *Cycle*: a real "
            "`PySampler(interval_ms=1)` with the main thread idle in `Event.wait()` at that depth; the sampler "
            "thread's CPU time (the kernel's per-thread CPU clock of the thread named `kulvo-sampler`) divided by "
            "the samples it took, so it also counts `getrusage`, the clock reads, the sleep and wake-up and the "
            "ring push.",
            "",
            "| depth | frames captured | capture, as the core does it | capture, thread state kept | "
            "sampler CPU per sample (cycle) |",
            "| --- | --- | --- | --- | --- |",
        ]
        for d in ("10", "100", "1000"):
            lines.append(f"| {d} | {cap['frames'].get(d, 'n/a')} | {fmt_num(cap['hook_us'].get(d), 'µs')} | "
                         f"{fmt_num(cap.get('kept_state_us', {}).get(d), 'µs')} | "
                         f"{fmt_num(cap['cycle_us'].get(d), 'µs')} |")
        h10, h1000 = med(cap["hook_us"].get("10")), med(cap["hook_us"].get("1000"))
        k10 = med(cap.get("kept_state_us", {}).get("10"))
        c10 = med(cap["cycle_us"].get("10"))
        lines.append("")
        if h10:
            lines.append(f"Goal ≤ 30 µs at depth 10: {verdict_le(h10, 30.0, ' µs', 1)}.")
        if h10 and h1000:
            slope = (h1000 - h10) / 990
            lines.append(f"Growth with depth: linear, {slope:.2f} µs per extra frame from depth 10 to 1000 "
                         "(`charts/cost_model.png`, a straight line on log-log axes).")
        if h10 and k10:
            lines.append(
                f"A thread state kept for the thread's life would save {h10 - k10:.1f} µs per capture at depth 10: "
                "`PyGILState_Ensure` on a thread without one makes a new thread state every cycle and "
                "`PyGILState_Release` deletes it, and on CPython 3.11 a new thread state's first call also maps "
                "a fresh frame-stack chunk (strace of a 1 s run at 1 ms during development: one `mmap` and one "
                "`munmap` per sample). The bare `PyGILState_Ensure`/`Release` pair costs "
                f"{med(cap.get('gil_round_trip_us')) or 0:.2f} µs.")
        if c10 and h10:
            lines.append(f"The whole cycle costs {c10:.0f} µs of sampler CPU at depth 10, "
                         f"{c10 - h10:.0f} µs more than the capture: `getrusage`, the sleep and wake-up (a virtual "
                         "machine makes timer wake-ups dear) and the ring push.")
        lines.append("")
    if fid and "cpu:1" in fid:
        f1 = fid["cpu:1"]
        lines += [
            "### Achieved rate at 1 ms with a CPU-bound main thread",
            "",
            f"{fmt_num({k: v * 1000 if isinstance(v, float) else v for k, v in f1['rate_ratio'].items()}, 'samples/s', 0)} "
            f"against 1,000 requested (idle main thread: "
            f"{med(fid['idle:1']['rate_ratio']) * 1000:.0f}/s). Gaps between timestamps: median "
            f"{f1['gap_pct'].get('50', f1['gap_pct'].get(50))} ms, 90th percentile "
            f"{f1['gap_pct'].get('90', f1['gap_pct'].get(90))} ms; {100 * f1['gap_zero_share']:.0f}% of the gaps "
            f"are 0 ms. The sampler waits for the interpreter lock until the main thread yields it "
            f"(switch interval {r['machine']['switch_interval_s'] * 1000:.0f} ms); because that wait is longer than "
            "the interval, the loop skips its sleep and asks for the lock again at once, and it usually wins it "
            "back before the main thread has run: samples come in pairs less than 1 ms apart, one wait between "
            "pairs, so half the samples count the same moment a second time.",
            "",
        ]
    return "\n".join(lines)


def section_b(r) -> str:
    b = r.get("B")
    if not b or "skipped" in b:
        return "## B. stop() of a full ring\n\nNot measured: the bench hook was not built.\n"
    lines = [
        "## B. stop() of a full ring",
        "",
        "A real run needs 100 s at 1 ms to fill the ring, so the bench hook (`bench/hook/`, a separate "
        "extension built from the core's engine library and binding sources) builds synthetic samples shaped like a real "
        "capture (every frame owns its strings; 30 frames drawn from a call tree with 5 shared outer paths and "
        "500 distinct inner lines; CPU and memory series with bursts so that spike events exist) and runs what "
        "`stop()` runs after the join, timing each stage: `detect_spikes`, `aggregate_hot_paths`, "
        "`result_to_py`, and freeing the engine records. The join itself costs at most one interval plus one "
        "cycle and is not included. Peak memory is the rise of the process's peak resident size "
        "(`VmHWM`, reset through `/proc/self/clear_refs` just before) over the resident size with the samples "
        f"already in memory. Medians of {r['config']['stop_reps']} runs, 10,000 and 100,000 alternating, each in "
        "a fresh interpreter.",
        "",
        "| samples × 30 frames | analysis (spikes + hot paths) | of which hot paths | conversion `result_to_py` | "
        "freeing records | whole stop body | peak memory above the ring | engine samples before stop |",
        "| --- | --- | --- | --- | --- | --- | --- | --- |",
    ]
    base = b.get("interpreter_rss_mib") or 0
    for n in ("10000", "100000"):
        if n not in b:
            continue
        x = b[n]
        ring = (med(x["ring_mib"]) or 0) - base
        lines.append(
            f"| {int(n):,} | {fmt_num(x['analysis_ms'], 'ms')} | {med(x['hot_paths_ms']):.1f} ms | "
            f"{fmt_num(x['convert_ms'], 'ms', 0)} | {med(x['free_ms']):.0f} ms | {med(x['total_ms']):.0f} ms | "
            f"{med(x['peak_mib']):.0f} MiB | ≈ {ring:.0f} MiB |"
        )
    lines += ["", "Conversion against the plain C API loop (same tree: key objects made once, lists allocated "
              "at their final size, `PyDict_SetItem` per field), run alternately on the same prepared result, "
              f"{r['config']['conv_reps']} pairs per run:", "",
              "| samples × 30 frames | `result_to_py` | plain loop | ratio | goal | verdict |",
              "| --- | --- | --- | --- | --- | --- |"]
    for n in ("10000", "100000"):
        if n not in b:
            continue
        x = b[n]
        lines.append(f"| {int(n):,} | {med(x['conv_core_ms']):.0f} ms | {med(x['conv_plain_ms']):.0f} ms | "
                     f"{fmt_ratio(x['conv_ratio'], 2)} | ≤ 1.5× | {verdict_le(med(x['conv_ratio']), 1.5, '×', 2)} |")
    if "100000" in b:
        an = med(b["100000"]["analysis_ms"])
        lines += ["", f"Analysis goal (< 100 ms for 100,000 × 30): {verdict_le(an, 100.0, ' ms', 1)}."]
    return "\n".join(lines) + "\n"


def overhead_table(ov, title) -> list[str]:
    conds = [c for c in ["none-b", "kulvo:50", "kulvo:10", "kulvo:1", "py-spy", "pyinstrument", "cprofile", "yappi",
                         "tracemalloc", "kulvo-mem", "memray", "scalene"] if c in ov["overall"]]
    lines = [title, "", "| workload | unprofiled | " + " | ".join(LABEL[c] for c in conds) + " |",
             "| --- | --- |" + " --- |" * len(conds)]
    for w, d in ov["per_workload"].items():
        cells = []
        for c in conds:
            s = d.get(c)
            cells.append(f"{med(s):.3f}× ({s['min']:.3f}–{s['max']:.3f})" if s and med(s) else "n/a")
        lines.append(f"| {w} | {med(ov['baseline_s'][w]):.2f} s | " + " | ".join(cells) + " |")
    lines.append("| **median over workloads** | | " +
                 " | ".join(f"**{med(ov['overall'][c]):.3f}×**" if med(ov["overall"][c]) else "n/a" for c in conds)
                 + " |")
    return lines


def results_md(r) -> str:
    out = ["# kulvo beside the profilers people use", "",
           "Every figure below was measured in one run of the command shown, against a baseline measured in the "
           "same run; conditions alternate from repetition to repetition (ABAB…), and each cell is the median "
           "with its range. The sampling loop and `stop()` figures are in [README.md](README.md).", "",
           machine_block(r), ""]
    if r.get("errors"):
        out += ["Runs that failed (left out of the figures):", ""] + [f"- {e[:300]}" for e in r["errors"]] + [""]

    ov = r.get("overhead")
    if ov:
        out += ["## 1. Overhead", "",
                "Each run is a fresh interpreter. The timed span, measured inside the process, is profiler start → "
                "workload → profiler stop (no report rendering). py-spy records from outside at its default 100 Hz "
                "with `record --nonblocking` and runs as root. pyinstrument at its default 1 ms interval, cProfile "
                "and yappi (its default CPU clock) with their defaults. The pyperformance programs run their own "
                "benchmark functions from pyperformance's package, called `N` times by a stand-in for "
                "`pyperf.Runner` so that no worker processes are spawned. Workloads are sized to about "
                f"{r['config']['seconds']} s unprofiled.", ""]
        out += overhead_table(ov, f"### CPython {r['machine']['pythons'].get('main')}")
        out += ["", "![overhead](charts/overhead.png)", ""]
        for c, goal in GOALS["C"].items():
            out.append(f"- {LABEL[c]}: median over workloads {verdict_le(med(ov['overall'].get(c)), goal)}")
        ctl = ov["overall"].get("none-b")
        if ctl and med(ctl):
            per = [ov["per_workload"][w]["none-b"] for w in ov["per_workload"] if "q1" in ov["per_workload"][w].get("none-b", {})]
            widths = sorted(x["q3"] - x["q1"] for x in per)
            out.append(
                f"- Noise floor: the A/A column (unprofiled, run again) has a median over workloads of "
                f"{med(ctl):.3f}×"
                + (f" and a typical interquartile width of {widths[len(widths) // 2]:.3f}× per workload" if widths else "")
                + ". Differences smaller than that are not resolved by these runs; the in-process alternating "
                "rounds in [README.md](README.md) section A are the finer measurement of kulvo's own overhead.")
            out.append(
                "- py-spy never takes the interpreter lock and stays close to the A/A column. kulvo's sampler makes "
                "the main thread hand the lock over and take it back at every sample; on a 2-core machine that "
                "other jobs keep busy, taking it back can mean waiting for a core, which is the likely reason "
                "kulvo's columns sit above the control by more than its own CPU per sample (section 4) explains. "
                "Compare the load averages above with another run before reading these as kulvo's floor.")
        out += ["", "Context: the Scalene paper's Table 3 (ten pyperformance benchmarks on CPython 3.10) reports "
                "median slowdowns of py-spy 1.02×, pyinstrument 1.69×, cProfile 1.73×, yappi 3.2× and memray "
                "3.98×. Its benchmarks, run lengths and machine differ from these, so compare the ordering and "
                "the rough size, not the digits.", ""]
    o10 = r.get("overhead_py310")
    if o10:
        out += overhead_table(o10, f"### pyperformance programs on CPython {r['machine']['pythons'].get('py310')} "
                                   f"({o10['per_workload'] and len(next(iter(o10['raw_ratios'].values()))['kulvo:10'])} "
                                   "repetitions)")
        out.append("")

    acc = r.get("accuracy")
    if acc:
        out += ["## 2. Accuracy", "",
                "Three programs whose split is fixed by construction; each run times its own parts with "
                "`perf_counter`, so the truth is that run's measured split of the driver's wall time. "
                "`split_py`: two pure-Python functions, 14 ms and 6 ms per round. `split_c`: 14 ms of pure Python, "
                "then about 6 ms in `sorted()` of 50,000 floats, a C call that holds the interpreter lock. "
                "`sleep_half`: 10 ms of pure Python, then `time.sleep(0.01)`. Shares are of the samples (or time) "
                "inside the driver function. kulvo: the innermost frame of each sample (its hot path for the "
                "driver's call line gives the same figure to within a sample, shown in brackets). pyinstrument "
                "(1 ms): the time of the function's frames. py-spy (100 Hz, `--idle` so that sleeping counts): "
                f"the innermost frame of each sample. {r['config']['accuracy_seconds']} s per run.", ""]
        for prog, d in acc.items():
            t = d["targets"]
            out += [f"### {prog}", "",
                    f"| profiler | {t[0]} % | {t[1]} % | worst error of the two, pp | within 3 pp? |",
                    "| --- | --- | --- | --- | --- |",
                    f"| truth (measured) | {med(d['truth'][t[0]]):.1f} | {med(d['truth'][t[1]]):.1f} | | |"]
            for c, shares in d["share"].items():
                e = d["abs_error_pp"][c]
                hp = d["hot_path_share"].get(c, {})
                extra = [f" [{med(hp[x]):.1f}]" if hp and med(hp.get(x)) is not None else "" for x in t]
                if med(shares[t[0]]) is None:
                    out.append(f"| {LABEL[c]} | n/a | n/a | n/a | |")
                    continue
                out.append(f"| {LABEL[c]} | {med(shares[t[0]]):.1f}{extra[0]} | {med(shares[t[1]]):.1f}{extra[1]} | "
                           f"{med(e):.1f} (max {e['max']:.1f}) | {'yes' if med(e) <= 3 else '**no**'} |")
            out.append("")
        out += ["![accuracy](charts/accuracy.png)", ""]
        out += accuracy_explanation(r)

    fid = r.get("fidelity")
    if fid:
        out += ["## 3. Sampling fidelity", "",
                f"`PySampler` at each interval for {r['config']['fidelity_seconds']} s with the main thread idle "
                "(`Event.wait`) or CPU-bound (a pure-Python loop). Achieved rate = (samples − 1) / (last − first "
                "timestamp); timestamps are whole milliseconds.", "",
                "| main thread | interval | achieved / requested | gap p10 / p50 / p90 / p99 / max (ms) | "
                "0 ms gaps | goal (idle: within 5%) |",
                "| --- | --- | --- | --- | --- | --- |"]
        for k, v in fid.items():
            m, ms = k.split(":")
            g = v["gap_pct"]
            gp = " / ".join(str(g.get(str(p), g.get(p))) for p in (10, 50, 90, 99)) + f" / {v['gap_max']}"
            ratio = med(v["rate_ratio"])
            goal = ""
            if m == "idle" and ratio is not None:
                miss = abs(1 - ratio)
                goal = "**met**" if miss <= 0.05 else f"**missed** by {100 * (miss - 0.05):.1f} pp ({100 * (1 - ratio):.1f}% short)"
            out.append(f"| {m} | {ms} ms | {fmt_ratio({k2: 100 * x if isinstance(x, float) else x for k2, x in v['rate_ratio'].items()}, 1).replace('×', '%')} | "
                       f"{gp} | {100 * (v['gap_zero_share'] or 0):.0f}% | {goal} |")
        out += ["", "![fidelity](charts/fidelity.png)", ""]
        out += fidelity_explanation(r)

    out += ["## 4. Cost model", ""]
    cap, b = r.get("capture"), r.get("B")
    if cap:
        out += ["| depth | one capture (hook) | sampler CPU per sample |", "| --- | --- | --- |"]
        for d in ("10", "100", "1000"):
            out.append(f"| {d} | {fmt_num(cap['hook_us'].get(d), 'µs')} | {fmt_num(cap['cycle_us'].get(d), 'µs')} |")
        out.append("")
    if b and "10000" in b:
        out += ["| samples × 30 frames | analysis | conversion | conversion, plain loop | whole stop body | "
                "peak memory above the ring |", "| --- | --- | --- | --- | --- | --- |"]
        for n in ("10000", "100000"):
            if n in b:
                x = b[n]
                out.append(f"| {int(n):,} | {med(x['analysis_ms']):.1f} ms | {med(x['convert_ms']):.0f} ms | "
                           f"{med(x['conv_plain_ms']):.0f} ms | {med(x['total_ms']):.0f} ms | "
                           f"{med(x['peak_mib']):.0f} MiB |")
        out.append("")
    out += ["How these are measured: see [README.md](README.md) sections A and B.", "",
            "![cost model](charts/cost_model.png)", ""]

    mem = r.get("memory")
    if mem and mem.get("per_workload"):
        d = mem["per_workload"]["alloc_growth"]
        fails = mem.get("failures", {}).get("alloc_growth", {})
        out += ["## 5. The memory watcher", "",
                "The allocation-growth workload (keeps about 0.5 MB of new small objects per unit, "
                f"{med(mem['baseline_s']['alloc_growth']):.2f} s unprofiled), in fresh interpreters, alternating. "
                "`kulvo.profile(memory=True)` is the package's watcher (10 ms sampler; tracemalloc; a thread that "
                "blocks until the flag rises and then groups tracemalloc's traces by line in native code, its "
                "snapshots spaced by their cost). *Parts put together* is the same with the core alone: tracemalloc "
                "on, `PySampler(interval_ms=10)`, a thread polling the flag every 10 ms and taking a plain "
                "snapshot; it stops the sampler before tracemalloc. memray through `memray.Tracker`; Scalene as "
                "`scalene run` (CPU and memory, its default).", "",
                "| profiler | slowdown: median (range) | runs that crashed |", "| --- | --- | --- |"]
        for c in mem["per_workload"]["alloc_growth"]:
            out.append(f"| {LABEL[c]} | {fmt_ratio(d[c])} | {fails.get(c, 0)} of {mem.get('runs', '?')} |")
        if "kulvo-mem" in fails and "kulvo-mem" not in d:
            out.append(f"| {LABEL['kulvo-mem']} | n/a | {fails['kulvo-mem']} of {mem.get('runs', '?')} |")
        out += ["", "![memory watcher](charts/memory_watcher.png)", ""]
        tm, km = med(d.get("tracemalloc")), med(d.get("kulvo-mem-direct"))
        if tm and km:
            out += [f"tracemalloc alone costs {tm:.2f}×; the snapshots and the sampler bring it to {km:.2f}×. "
                    "`take_snapshot()` copies every live traced block, and on a workload that grows steadily the "
                    "flag rises every 10 MiB.", ""]
        kp = med(d.get("kulvo-mem"))
        if kp and km and kp > 1.3 * km:
            out += [f"The package's watcher costs {kp:.2f}×, {kp / km:.1f} times the parts put together: on each "
                    "flag it also filters the snapshot and diffs it against the previous one by source line "
                    "(`compare_to`), and the slowdown grows with the number of live traced blocks.", ""]
        if mem.get("rework"):
            import memory_watcher

            out += ["### `--memory` against tracemalloc alone", "",
                    "From `bench/memory_watcher.py`: each run a fresh interpreter timing start → workload → stop, "
                    "conditions rotated, ratios within a repetition, median (range). `kulvo --memory` is "
                    "`kulvo.profile(memory=True)` at the default interval, as `kulvo run --memory`; the sampler alone "
                    "with tracemalloc on separates the watcher's own part from the sampler's. Workloads: "
                    "`alloc_growth` as above; `records` keeps rows as dicts; `json_docs` keeps parsed JSON "
                    "documents; `docutils` builds a reStructuredText document to HTML. Then one snapshot's parts "
                    "against the number of live blocks.", "",
                    memory_watcher.markdown(mem["rework"]), ""]
        if fails.get("kulvo-mem"):
            out += ["**`kulvo.profile(memory=True)` crashed** (SIGSEGV) in "
                    f"{fails['kulvo-mem']} of {mem.get('runs', '?')} runs. The crash is in the sampler thread: "
                    "`PyGILState_Ensure` → `PyThreadState_New` → tracemalloc's raw allocator hook "
                    "(`traceback_new`), while the main thread runs `tracemalloc.stop()`. The package stops the "
                    "watcher (and tracemalloc) before the sampler, and the core makes a new thread state, with a "
                    "raw allocation outside the lock, on every sample. Stopping the sampler first, or a sampler "
                    "thread that keeps one thread state for its life, avoids it (the parts-put-together row stops "
                    "the sampler first and did not crash).", ""]
    out += ["## Method notes", "",
            "- Ratios are taken within a repetition (profiled run / unprofiled run of the same repetition), then "
            "the median over repetitions; the order of conditions rotates each repetition.",
            "- Raw per-run numbers go to `bench/results/summary.json` (`raw_ratios`, `slowdown_raw`), written by each "
            "run and not kept in git.",
            "- Nothing here is tuned to pass: workload sizes come from a calibration run to a target duration, "
            "and the accuracy programs' part sizes from their own start-up calibration.", ""]
    return "\n".join(out)


def accuracy_explanation(r) -> list[str]:
    fid = r.get("fidelity") or {}
    lines = ["### Where kulvo misses, and why", ""]
    per = {}
    for ms in ("1", "10", "50"):
        ci, cc = fid.get(f"idle:{ms}"), fid.get(f"cpu:{ms}")
        if ci and cc and med(ci["rate_ratio"]) and med(cc["rate_ratio"]):
            per[ms] = (med(cc["rate_ratio"]) * 1000 / int(ms), med(ci["rate_ratio"]) * 1000 / int(ms))
    lines.append(
        "kulvo counts samples, and a sample is taken only once the sampler thread holds the interpreter lock. "
        "While the main thread runs Python code the sampler first waits for it, up to the 5 ms switch interval; "
        "when the main thread releases the lock on its own (a sleep, a blocking call) the sampler gets it at "
        "once. Two biases follow, both visible in `sleep_half`:")
    lines.append("")
    lines.append("- *Rate*: busy stretches get fewer samples per second than idle ones. From the fidelity runs: "
                 + "; ".join(f"{ms} ms: {rc:.0f}/s busy against {ri:.0f}/s idle" for ms, (rc, ri) in per.items())
                 + ".")
    lines.append("- *Phase*: after a wait the sample is taken at the moment the main thread lets the lock go, "
                 "which in `sleep_half` is the first instant of `sleep_phase`; the next wake-up comes one "
                 "interval after the cycle began, so the samples lock onto the program's own rhythm and keep "
                 "landing in the sleep. This is why the error stays large at 10 and 50 ms, where busy and idle "
                 "rates are nearly equal.")
    lines += ["",
              "`split_c` adds a C call that keeps the lock (`sorted()`): no sample can be taken inside it, and "
              "the one taken right after it lands in whatever runs next. At 50 ms a run has only "
              f"{int(r['config']['accuracy_seconds'] * 20)} samples, so one sample is "
              f"{100 / (r['config']['accuracy_seconds'] * 20):.1f} pp. Remedies on the core's side: weight each "
              "sample by the time since the previous one (the timestamps are already there), add a random jitter "
              "to each sleep so that samples cannot lock onto the program's rhythm, or read the main thread's "
              "stack without the interpreter lock, as py-spy does from outside.", ""]
    return lines


def fidelity_explanation(r) -> list[str]:
    fid = r.get("fidelity") or {}
    lines = []
    i1 = fid.get("idle:1")
    if i1 and med(i1["rate_ratio"]):
        period_us = 1000 / med(i1["rate_ratio"])
        lines.append(
            f"Idle at 1 ms the mean period is {period_us:.0f} µs instead of 1,000. The loop sleeps for the interval "
            "minus its own cycle, measured from the cycle's start, so every cycle loses the sleep's overshoot "
            "(the kernel's timer slack, 50 µs by default, plus the wake-up on a virtual machine). Sleeping until "
            "an absolute deadline (`clock_nanosleep` with `TIMER_ABSTIME`, the next deadline one interval after "
            "the previous one) would stop the error from accumulating. At 10 and 50 ms the same loss is a small "
            "fraction of the period.")
        lines.append("")
    return lines


def readme_md(r) -> str:
    out = ["# kulvo benchmarks", "",
           "One command sets up its own virtualenvs (CPython 3.11 and 3.10 from pyenv), installs kulvo from this "
           "checkout and the profilers it is compared with (`bench/requirements.txt`), builds the bench-only hook "
           "in `bench/hook/`, runs everything and rewrites this file, [RESULTS.md](RESULTS.md), "
           "`results/summary.json` (raw numbers, not kept in git) and `charts/*.png`:", "",
           "```sh", "bash bench/run.sh            # the full run (about 40 minutes)",
           "bash bench/run.sh --quick    # a smoke run (a few minutes; numbers not meaningful)", "```", "",
           "Options after the command go to `bench/run_all.py` (`--reps N`, `--sections A,B,overhead,accuracy,"
           "fidelity,memory,py310`). The comparison with pyinstrument, cProfile, yappi, py-spy, memray and Scalene "
           "is in [RESULTS.md](RESULTS.md).", "",
           "The accuracy benchmark (programs that time their own phases, and pyperformance programs against py-spy, "
           "all through `kulvo run` on every CPython from 3.10) runs on its own and rewrites only its section of "
           "RESULTS.md: `bash bench/truth.sh` (about 30 minutes; `--quick` for a smoke run).", "",
           "## This run", "", machine_block(r), ""]
    if r.get("errors"):
        out += ["Runs that failed (left out of the figures):", ""] + [f"- {e[:300]}" for e in r["errors"]] + [""]
    out += [section_a(r), "", "![cost model](charts/cost_model.png)", "", section_b(r)]
    return "\n".join(out)


def write_all(results: dict, bench_dir: str) -> None:
    r = json.loads(json.dumps(results, default=str))  # keys as strings, as when read back
    os.makedirs(os.path.join(bench_dir, "results"), exist_ok=True)
    with open(os.path.join(bench_dir, "results", "summary.json"), "w") as f:
        json.dump(r, f, indent=1)
    charts(r, os.path.join(bench_dir, "charts"))
    with open(os.path.join(bench_dir, "README.md"), "w") as f:
        f.write(readme_md(r))
    path = os.path.join(bench_dir, "RESULTS.md")
    text = results_md(r)
    if os.path.exists(path):
        # The accuracy benchmark (bench/truth.sh) writes its own section: keep it.
        with open(path, encoding="utf-8") as f:
            kept = truth_report.kept_block(f.read())
        text = truth_report.splice(text, kept) if kept else text
    with open(path, "w") as f:
        f.write(text)


if __name__ == "__main__":
    with open(sys.argv[1]) as f:
        data = json.load(f)
    write_all(data, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
