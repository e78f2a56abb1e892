"""The accuracy benchmark's section of bench/RESULTS.md, written between two markers so that
either benchmark can rewrite its own part of the file and keep the other's."""

from __future__ import annotations

import os

BEGIN = "<!-- accuracy through kulvo run: written by bench/truth.sh -->"
END = "<!-- end of the accuracy section -->"
SHARE_GOAL_PP = 3.0
PYSPY_GOAL_PP = 5.0
IDLE_RATE_GOAL = 0.95
BUSY_RATE_GOAL = 0.90
CPU_GOAL_PERCENT = (95.0, 105.0)
RATE_INTERVAL_MS = 1
CPU_INTERVAL_MS = 10
NOT_PHASES = ("busy", "idle")  # programs run for the rate and the CPU reading only


def kept_block(text: str) -> str:
    """The section as it stands in `text`, markers included, or ""."""
    start, end = text.find(BEGIN), text.find(END)
    return text[start : end + len(END)] + "\n" if 0 <= start < end else ""


def splice(text: str, block: str) -> str:
    """`text` with its section replaced by `block`, or `block` appended."""
    old = kept_block(text)
    if old:
        return text.replace(old, block)
    return text.rstrip("\n") + "\n\n" + block if text else block


def write(results: dict, path: str) -> None:
    text = ""
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            text = f.read()
    with open(path, "w", encoding="utf-8") as f:
        f.write(splice(text, section(results)))


def _pp(value: float) -> str:
    return f"{value:+.1f}"


def _verdict(ok: bool) -> str:
    return "**met**" if ok else "**missed**"


def top_functions(kulvo: dict[str, float], pyspy: dict[str, float], n: int) -> list[str]:
    """The n functions with the largest self share on either side."""
    names = set(kulvo) | set(pyspy)
    return sorted(names, key=lambda f: -max(kulvo.get(f, 0.0), pyspy.get(f, 0.0)))[:n]


def split_tables(versions: dict) -> tuple[list[str], list[str]]:
    out, verdicts = [], []
    worst: dict[str, list] = {v: [0.0, 0, 0, ""] for v in versions}  # worst |diff|, within, cells, where
    # Sums and worst of |difference| where both kulvo and py-spy have the cell.
    beside: dict[str, list] = {v: [0.0, 0.0, 0.0, 0.0, 0] for v in versions}
    programs = [p for p in next(iter(versions.values()))["split"] if p not in NOT_PHASES]
    for program in programs:
        out += [f"#### {program}", "", "| phase | interval | " + " | ".join(versions) + " |",
                "| --- | --- |" + " --- |" * len(versions)]
        by_interval = next(iter(versions.values()))["split"][program]
        phases = list(next(iter(by_interval.values()))["truth"])
        for phase in phases:
            for ms in by_interval:
                cells = []
                for v, data in versions.items():
                    cell = data["split"].get(program, {}).get(ms)
                    if not cell or cell["reported"].get(phase) is None:
                        cells.append("n/a")
                        continue
                    got, truth = cell["reported"][phase], cell["truth"][phase]
                    diff = got - truth
                    w = worst[v]
                    w[1] += abs(diff) <= SHARE_GOAL_PP
                    w[2] += 1
                    if abs(diff) > w[0]:
                        w[0], w[3] = abs(diff), f"{program} {phase} at {ms} ms"
                    spied = (cell.get("py-spy") or {}).get(phase)
                    if spied is None:
                        cells.append(f"{got:.1f} (truth {truth:.1f}, {_pp(diff)})")
                        continue
                    b = beside[v]
                    b[0] += abs(diff)
                    b[1] += abs(spied)
                    b[2] = max(b[2], abs(diff))
                    b[3] = max(b[3], abs(spied))
                    b[4] += 1
                    cells.append(f"{got:.1f} (truth {truth:.1f}, {_pp(diff)}; py-spy {_pp(spied)})")
                out.append(f"| `{phase}` | {ms} ms | " + " | ".join(cells) + " |")
        samples = [" / ".join(str(data["split"].get(program, {}).get(ms, {}).get("samples", "n/a"))
                              for ms in by_interval) for data in versions.values()]
        out += [f"| samples at {' / '.join(by_interval)} ms | | " + " | ".join(samples) + " |", ""]
    for v, (w, within, cells, where) in worst.items():
        verdict = (f"{v}: {_verdict(within == cells and cells > 0)} ({within} of {cells} within "
                   f"{SHARE_GOAL_PP:.0f} points; worst {w:.1f} points, {where}")
        kulvo_sum, spied_sum, kulvo_worst, spied_worst, both = beside[v]
        if both:
            verdict += (f"; against py-spy on the same cells, mean difference {kulvo_sum / both:.1f} / "
                        f"{spied_sum / both:.1f} points, worst {kulvo_worst:.1f} / {spied_worst:.1f}: as close as "
                        f"py-spy {_verdict(kulvo_sum <= spied_sum)}")
        verdicts.append(verdict + ")")
    return out, verdicts


def rate_rows(versions: dict) -> tuple[list[str], list[str], list[str]]:
    def rate(v: str, program: str) -> float | None:
        cell = versions[v]["split"].get(program, {}).get(str(RATE_INTERVAL_MS))
        return cell["rate_per_s"] if cell else None

    def cpu(v: str) -> list | None:
        cell = versions[v]["split"].get("busy", {}).get(str(CPU_INTERVAL_MS))
        return cell["cpu_p5_p95"] + [cell["own_cpu_percent"]] if cell and cell["cpu_p5_p95"] else None

    asked = 1000 / RATE_INTERVAL_MS
    rows, rate_verdicts, cpu_verdicts = [], [], []
    for label, program, goal in (("idle", "idle", IDLE_RATE_GOAL), ("busy", "busy", BUSY_RATE_GOAL)):
        cells = []
        for v in versions:
            r = rate(v, program)
            cells.append("n/a" if r is None else f"{r:.0f}/s ({100 * r / asked:.0f} %)")
            if r is not None:
                rate_verdicts.append(f"{v} {label}: {_verdict(r >= goal * asked)} ({100 * r / asked:.0f} % against "
                                     f"≥ {100 * goal:.0f} %)")
        rows.append(f"| samples per second at {RATE_INTERVAL_MS} ms, main thread {label} | ≥ {goal * asked:.0f}/s | "
                    + " | ".join(cells) + " |")
    cells = []
    low, high = CPU_GOAL_PERCENT
    for v in versions:
        c = cpu(v)
        cells.append("n/a" if c is None else f"{c[0]:.0f}–{c[1]:.0f} % (own {c[2]:.0f} %)")
        if c is not None:
            cpu_verdicts.append(f"{v}: {_verdict(low <= c[0] and c[1] <= high)} ({c[0]:.0f}–{c[1]:.0f} %; the "
                                f"program's own CPU over the run {c[2]:.0f} %)")
    rows.append(f"| CPU per sample, one busy thread at {CPU_INTERVAL_MS} ms, 5th–95th percentile | "
                f"{low:.0f}–{high:.0f} % | " + " | ".join(cells) + " |")
    return rows, rate_verdicts, cpu_verdicts


def pyperf_tables(versions: dict, top_n: int) -> tuple[list[str], list[str]]:
    out, verdicts = [], []
    worst = {v: [0.0, ""] for v in versions}
    benches = list(next(iter(versions.values()))["pyperf"])
    for bench in benches:
        rows: dict[str, float] = {}
        tops = {}
        for v, data in versions.items():
            d = data["pyperf"].get(bench)
            if not d:
                continue
            tops[v] = top_functions(d["kulvo"], d["py-spy"], top_n)
            for f in tops[v]:
                rows[f] = max(rows.get(f, 0.0), d["py-spy"].get(f, 0.0))
                diff = abs(d["kulvo"].get(f, 0.0) - d["py-spy"].get(f, 0.0))
                if "py-spy again" in d:  # a difference inside py-spy's own spread is noise
                    diff = min(diff, max(diff - abs(d["py-spy again"].get(f, 0.0) - d["py-spy"].get(f, 0.0)), 0.0))
                if diff > worst[v][0]:
                    worst[v] = [diff, f"{bench}: {f.split(' (')[0]}"]
        out += [f"#### {bench}", "", "| function (self) | " + " | ".join(versions) + " |",
                "| --- |" + " --- |" * len(versions)]
        for f in sorted(rows, key=lambda f: -rows[f]):
            cells = []
            for v, data in versions.items():
                d = data["pyperf"].get(bench)
                if not d:
                    cells.append("n/a")
                    continue
                k, p = d["kulvo"].get(f, 0.0), d["py-spy"].get(f, 0.0)
                mark = "" if f in tops.get(v, ()) else " ·"
                spread = f", py-spy's spread {abs(d['py-spy again'].get(f, 0.0) - p):.1f}" if "py-spy again" in d else ""
                cells.append(f"{k:.1f} / {p:.1f} ({_pp(k - p)}{spread}){mark}")
            out.append(f"| `{f.split(' (')[0]}` | " + " | ".join(cells) + " |")
        samples = [f"{d['samples']['kulvo']} / {d['samples']['py-spy']}" if (d := data["pyperf"].get(bench)) else "n/a"
                   for data in versions.values()]
        out += ["| samples, kulvo / py-spy | " + " | ".join(samples) + " |", ""]
    for v, (w, where) in worst.items():
        verdicts.append(f"{v}: {_verdict(w <= PYSPY_GOAL_PP)} (worst {w:.1f} points, {where})")
    return out, verdicts


def section(r: dict) -> str:
    versions = r["versions"]
    m = r["machine"]
    cfg = r["config"]
    load = "; ".join(f"{k} {v[0]:.2f}" for k, v in r["load"].items())
    out = [BEGIN, "## Accuracy through `kulvo run`, per interpreter", "",
           f"- Command: `{r['command']}`" + (" (a smoke run: numbers are not meaningful)" if r["quick"] else ""),
           f"- kulvo commit `{m['commit']}`, run on {m['date']}, {r['duration_s'] // 60} min; CPython "
           + ", ".join(versions) + f"; {m['cores']} cores, shared; load (1 min) {load}",
           f"- Every run lasts long enough for {cfg['samples']:,} samples at the requested rate; "
           f"{cfg['reps']} run(s) per cell, median.", ""]
    if r.get("errors"):
        out += ["Runs that failed (left out):", ""] + [f"- {e[:300]}" for e in r["errors"]] + [""]
    split, split_verdicts = split_tables(versions)
    rates, rate_verdicts, cpu_verdicts = rate_rows(versions)
    pyperf, pyperf_verdicts = pyperf_tables(versions, cfg["top_functions"])
    out += ["### Known-split programs", "",
            "Each program repeats its phases and times each one with `perf_counter` inside the program; the truth "
            "is each phase's share of the measured total. It runs under `kulvo run -o X.json --interval-ms N`; "
            "the reported share of a phase is the share of the samples inside the driver whose stack holds the "
            "phase's function (weighted by the per-sample time weight where the saved profile has one, else "
            "counted). Cells: reported % (truth %, difference in points). Programs: `work3_sleep3`, "
            "`work10_sleep10`, `work20_sleep20`: pure-Python work then `time.sleep`, in ms; `work1_read_pipe`: "
            "1 ms of work then `os.read` of a pipe that a child process answers 10 ms later; `work20_sort`: 20 ms "
            "of work then one `sorted()` of 200,000 floats (C, holding the interpreter lock); "
            "`two_functions_70_30`: two Python functions, 14 and 6 ms; `asyncio_4_tasks`: four tasks that compute "
            "about 1 ms and `await asyncio.sleep(0)`, with the event loop's selector timed (`select`).", ""]
    out += split
    out += ["### Sample rate and CPU reading", "",
            "From the same runs: `busy` is a main thread in a pure-Python loop, `idle` one waiting in "
            "`Event.wait`. Rate = (samples − 1) / (last − first timestamp). *Own* is the process CPU time over the "
            "wall time of the run, measured by the program: on a shared machine a busy thread gets less than a "
            "whole core, and the readings should centre on that figure.", "",
            "| measure | goal | " + " | ".join(versions) + " |", "| --- | --- |" + " --- |" * len(versions)]
    out += rates + [""]
    out += ["### pyperformance against py-spy", "",
            f"Each benchmark's own workload in a loop (`bench/lib/pyperf_driver.py`), once under `kulvo run "
            f"--interval-ms {cfg['pyperf_interval_ms']}` and once under `py-spy record --rate "
            f"{1000 // cfg['pyperf_interval_ms']} --format raw --function` (blocking, Python frames only). Self "
            "share: the innermost frame's function, over the samples inside the workload's loop (not the "
            "start-up or the benchmark's imports); functions are named by "
            "their qualified name from the source. Cells: kulvo % / py-spy % (difference in points); the rows are "
            f"each version's top {cfg['top_functions']} by the larger of the two shares (· marks a row outside "
            "that version's top). A bare name (no class) is a frame saved without a usable line, which its name "
            "alone does not place in one def.", ""]
    out += pyperf
    out += ["### Verdicts", "",
            f"- Known-split shares within {SHARE_GOAL_PP:.0f} points at 1 and 10 ms: " + "; ".join(split_verdicts),
            f"- pyperformance self shares within {PYSPY_GOAL_PP:.0f} points of py-spy (top {cfg['top_functions']}): "
            + "; ".join(pyperf_verdicts),
            f"- Rate at {RATE_INTERVAL_MS} ms (idle ≥ {100 * IDLE_RATE_GOAL:.0f} %, busy ≥ "
            f"{100 * BUSY_RATE_GOAL:.0f} % of requested): " + "; ".join(rate_verdicts),
            f"- CPU per sample at {CPU_INTERVAL_MS} ms, 5th–95th percentile within "
            f"{CPU_GOAL_PERCENT[0]:.0f}–{CPU_GOAL_PERCENT[1]:.0f} %: " + "; ".join(cpu_verdicts), "", END]
    return "\n".join(out) + "\n"
