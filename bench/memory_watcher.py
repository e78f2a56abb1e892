"""The memory watcher's cost: `--memory` against tracemalloc alone and the unprofiled run.

    python bench/memory_watcher.py [--reps 5] [--seconds 1.0] [--workloads a,b] [--no-blocks | --blocks-only]

Each run is a fresh interpreter timing profiler start -> workload -> profiler stop, as in
RESULTS.md section 1; conditions rotate from repetition to repetition and each ratio is taken
within a repetition. `kulvo --memory` is `kulvo.profile(memory=True)` at the default interval,
what `kulvo run --memory` does; `kulvo+tracemalloc` is the sampler alone with tracemalloc on,
which separates the watcher's own part from the sampler's. Then one snapshot's cost against the number of live blocks,
in parts: tracemalloc's copy of its traces, kulvo's grouping, and the Snapshot API's grouping
for comparison. Needs kulvo (and docutils and pandas for those workloads) in the running interpreter.
Writes bench/results/memory_watcher.json and prints the tables in Markdown.
"""

from __future__ import annotations

import argparse
import importlib
import json
import math
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "lib"))

# kulvo+tracemalloc: the sampler without the watcher, tracemalloc on around it.
CONDITIONS = ["none", "tracemalloc", "kulvo+tracemalloc", "kulvo-memory"]
WORKLOADS = ["alloc_growth", "records", "json_docs", "docutils", "pandas"]

_kept: list[object] = []


def alloc_growth(scale: int) -> None:
    import workloads

    workloads.alloc_growth(scale)


def records(scale: int) -> None:
    """Many small objects kept, as a program that loads rows into dicts does."""
    for unit in range(scale):
        _kept.append([{"id": unit * 1000 + i, "name": f"row {i}", "tags": [i, i + 1], "score": i / 7} for i in range(1000)])


def json_docs(scale: int) -> None:
    """json round trips whose parsed documents are kept."""
    import json as json_module

    text = json_module.dumps([{"key": f"k{i}", "values": list(range(i % 20)), "nested": {"n": i}} for i in range(400)])
    for _ in range(scale):
        _kept.append(json_module.loads(text))


def docutils(scale: int) -> None:
    """A reStructuredText document built to HTML with docutils, the results kept."""
    from docutils.core import publish_string

    sections = []
    for i in range(40):
        sections.append(
            f"Section {i}\n{'=' * (8 + len(str(i)))}\n\nSome *emphasis*, ``code`` and a list:\n\n"
            + "".join(f"- item {j} with a `link <https://example.org/{i}/{j}>`_\n" for j in range(10))
            + "\n.. note:: a note\n\n   with text.\n\n"
        )
    source = "\n".join(sections)
    for _ in range(scale):
        _kept.append(publish_string(source, writer_name="html"))


def pandas_frames(scale: int) -> None:
    """Rows parsed into pandas DataFrames, a column derived and a summary taken, the frames kept."""
    import pandas

    for unit in range(scale):
        rows = [{"id": unit * 1000 + i, "city": f"city {i % 37}", "amount": i * 0.25} for i in range(1000)]
        frame = pandas.DataFrame.from_records(rows)
        frame["label"] = frame["city"] + " #" + frame["id"].astype(str)
        _kept.append((frame, frame.groupby("city")["amount"].sum()))


OWN = {
    "alloc_growth": alloc_growth,
    "records": records,
    "json_docs": json_docs,
    "docutils": docutils,
    "pandas": pandas_frames,
}


# Imported before the clock starts: an import under tracing says nothing about the watcher.
LIBRARIES = {"docutils": "docutils.core", "pandas": "pandas"}


def child(workload: str, condition: str, scale: int) -> None:
    body = OWN[workload]
    if workload in LIBRARIES:
        importlib.import_module(LIBRARIES[workload])
    facts: dict[str, object] = {}
    started = time.perf_counter()
    if condition == "tracemalloc":
        import tracemalloc

        tracemalloc.start()
        body(scale)
        tracemalloc.stop()
    elif condition == "kulvo+tracemalloc":
        import tracemalloc

        import kulvo

        tracemalloc.start()
        with kulvo.profile():
            body(scale)
        tracemalloc.stop()
    elif condition == "kulvo-memory":
        import kulvo

        with kulvo.profile(memory=True) as profiler:
            body(scale)
        snapshots = profiler.profile.memory_snapshots
        notes = profiler.profile.metadata.notes
        facts = {
            "snapshots": len(snapshots),
            "snapshot_ms": sum(s.duration_ms for s in snapshots),
            "windows": any("window" in note for note in notes),
            "top_site": next((f"{os.path.basename(s.top_sites[0].file)}:{s.top_sites[0].line}" for s in snapshots if s.top_sites), None),
        }
    else:
        body(scale)
    wall_s = time.perf_counter() - started
    print("RESULT " + json.dumps({"wall_s": wall_s, **facts}))


def run_child(args: list[str]) -> dict:
    done = subprocess.run([sys.executable, __file__, "--child", *args], capture_output=True, text=True, timeout=600)
    for line in done.stdout.splitlines():
        if line.startswith("RESULT "):
            return json.loads(line[len("RESULT ") :])
    raise RuntimeError(f"{args}: {done.stderr[-2000:]}")


def calibrate(workload: str, seconds: float) -> int:
    scale = 1
    while True:
        wall_s = run_child([workload, "none", str(scale)])["wall_s"]
        if wall_s >= seconds / 4 or scale >= 1 << 16:
            return max(1, math.ceil(scale * seconds / wall_s))
        scale *= 2


def overhead(workloads: list[str], reps: int, seconds: float) -> dict:
    results = {}
    for workload in workloads:
        scale = calibrate(workload, seconds)
        walls: dict[str, list[float]] = {c: [] for c in CONDITIONS}
        ratios: dict[str, list[float]] = {c: [] for c in CONDITIONS if c != "none"}
        kulvo_over_tracemalloc: list[float] = []
        facts: list[dict] = []
        for rep in range(reps):
            order = CONDITIONS[rep % len(CONDITIONS) :] + CONDITIONS[: rep % len(CONDITIONS)]
            this_rep = {}
            for condition in order:
                result = run_child([workload, condition, str(scale)])
                this_rep[condition] = result["wall_s"]
                walls[condition].append(result["wall_s"])
                if condition == "kulvo-memory":
                    facts.append(result)
            for condition in ratios:
                ratios[condition].append(this_rep[condition] / this_rep["none"])
            kulvo_over_tracemalloc.append(this_rep["kulvo-memory"] / this_rep["tracemalloc"])
            print(f"  {workload} rep {rep + 1}: " + ", ".join(f"{c} {this_rep[c]:.2f} s" for c in CONDITIONS), flush=True)
        results[workload] = {
            "scale": scale,
            "walls": walls,
            "ratios": ratios,
            "kulvo_over_tracemalloc": kulvo_over_tracemalloc,
            "kulvo_facts": facts,
        }
    return results


def block_costs(counts: list[int], snapshot_api_up_to: int, repeats: int = 7) -> list[dict]:
    """One snapshot's parts against the number of live blocks, in this process: the median of
    `repeats` measurements of each part, as one snapshot varies by a third with the load."""
    import gc
    import tracemalloc
    from _tracemalloc import _get_traces

    from kulvo._native import group_traces
    from kulvo.watcher import IGNORED_FILES, IGNORED_PREFIXES, line_totals, top_growth

    rows = []
    for count in counts:
        tracemalloc.start()
        # Blocks from 100 lines' worth of places: distinct tracebacks, as a program has.
        blocks = [[object() for _ in range(count // 100)] for _ in range(100)]
        live = len(_get_traces())
        parts: dict[str, list[float]] = {"copy_ms": [], "group_ms": [], "free_ms": [], "watcher_snapshot_ms": []}
        for _ in range(repeats):
            gc.disable()  # as the watcher does around the copy
            t0 = time.perf_counter()
            traces = _get_traces()
            t1 = time.perf_counter()
            group_traces(traces, IGNORED_FILES, IGNORED_PREFIXES)
            t2 = time.perf_counter()
            del traces
            t3 = time.perf_counter()
            gc.enable()
            top_growth(line_totals(), None)
            t4 = time.perf_counter()
            for key, seconds in zip(parts, (t1 - t0, t2 - t1, t3 - t2, t4 - t3)):
                parts[key].append(seconds * 1000)
        row: dict = {"live_blocks": live, "repeats": repeats}
        row.update({key: statistics.median(values) for key, values in parts.items()})
        # tracemalloc's own floor: what any snapshot through its public interface costs.
        row["tracemalloc_part_ms"] = statistics.median(c + f for c, f in zip(parts["copy_ms"], parts["free_ms"]))
        if count <= snapshot_api_up_to:
            t5 = time.perf_counter()
            tracemalloc.take_snapshot().statistics("lineno")
            row["snapshot_api_ms"] = (time.perf_counter() - t5) * 1000
        tracemalloc.stop()
        del blocks
        rows.append(row)
        print(f"  {row}", flush=True)
    return rows


def median_range(values: list[float]) -> str:
    return f"{statistics.median(values):.2f}× ({min(values):.2f}–{max(values):.2f})"


def markdown(results: dict) -> str:
    lines = [
        f"- Python {results['python']}, kulvo commit `{results['commit']}`, {results['reps']} repetitions, "
        f"load average at start {results['load_start']}, at end {results['load_end']}",
    ]
    if results["overhead"]:
        lines += [
        "",
        "| workload | unprofiled | tracemalloc alone | kulvo's sampler and tracemalloc | kulvo --memory "
        "| kulvo --memory / tracemalloc alone | snapshots per run (time in them) | windows in | first top site |",
        "| --- | --- | --- | --- | --- | --- | --- | --- | --- |",
    ]
    for workload, row in results["overhead"].items():
        facts = row["kulvo_facts"]
        snaps = statistics.median(f["snapshots"] for f in facts)
        snap_ms = statistics.median(f["snapshot_ms"] for f in facts)
        windows = sum(1 for f in facts if f.get("windows"))
        sites = sorted({f.get("top_site") or "–" for f in facts})
        lines.append(
            f"| {workload} | {statistics.median(row['walls']['none']):.2f} s | "
            f"{median_range(row['ratios']['tracemalloc'])} | {median_range(row['ratios']['kulvo+tracemalloc'])} | "
            f"{median_range(row['ratios']['kulvo-memory'])} | "
            f"**{median_range(row['kulvo_over_tracemalloc'])}** | {snaps:g} ({snap_ms:g} ms) | "
            f"{windows} of {len(facts)} runs | {', '.join(f'`{s}`' for s in sites)} |"
        )
    if results.get("blocks"):
        lines += [
            "",
            "| live blocks | tracemalloc's copy of its traces | kulvo's grouping | freeing the copy "
            "| tracemalloc's part (copy + free) | whole watcher snapshot | `take_snapshot().statistics('lineno')` |",
            "| --- | --- | --- | --- | --- | --- | --- |",
        ]
        for row in results["blocks"]:
            api = f"{row['snapshot_api_ms']:.0f} ms" if "snapshot_api_ms" in row else "–"
            lines.append(
                f"| {row['live_blocks']:,} | {row['copy_ms']:.0f} ms | {row['group_ms']:.0f} ms | "
                f"{row['free_ms']:.0f} ms | {row['tracemalloc_part_ms']:.0f} ms | "
                f"{row['watcher_snapshot_ms']:.0f} ms | {api} |"
            )
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--child", nargs=3, metavar=("WORKLOAD", "CONDITION", "SCALE"), help=argparse.SUPPRESS)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=1.0, help="unprofiled length of each workload")
    parser.add_argument("--workloads", default=",".join(WORKLOADS))
    parser.add_argument("--no-blocks", action="store_true", help="leave out the snapshot cost per live blocks")
    parser.add_argument("--blocks-only", action="store_true", help="only the snapshot cost per live blocks")
    args = parser.parse_args()
    if args.child:
        child(args.child[0], args.child[1], int(args.child[2]))
        return
    commit = subprocess.run(["git", "-C", HERE, "rev-parse", "--short", "HEAD"], capture_output=True, text=True)
    results: dict = {
        "python": sys.version.split()[0],
        "commit": commit.stdout.strip(),
        "reps": args.reps,
        "load_start": os.getloadavg(),
    }
    results["overhead"] = {} if args.blocks_only else overhead(args.workloads.split(","), args.reps, args.seconds)
    if not args.no_blocks:
        results["blocks"] = block_costs([10_000, 100_000, 1_000_000], snapshot_api_up_to=1_000_000)
    results["load_end"] = os.getloadavg()
    results["load_start"] = "/".join(f"{v:.2f}" for v in results["load_start"])
    results["load_end"] = "/".join(f"{v:.2f}" for v in results["load_end"])
    os.makedirs(os.path.join(HERE, "results"), exist_ok=True)
    with open(os.path.join(HERE, "results", "memory_watcher.json"), "w") as out:
        json.dump(results, out, indent=1)
    print(markdown(results))


if __name__ == "__main__":
    main()
