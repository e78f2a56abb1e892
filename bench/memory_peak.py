"""`--memory` on allocation-heavy programs beside memray: the lines holding the most at the
peak, the peak resident size and the slowdown. Run it with the interpreter whose virtualenv has
kulvo, memray and the programs' packages (docutils, pygments, black) installed:

    python bench/memory_peak.py [--reps 3] [--programs a,b]

Each repetition runs every program plainly, under `kulvo run`, `kulvo run --memory`, `memray
run` and `memray run --trace-python-allocators`, in rotating order, and reads each process's
CPU time and peak RSS from GNU time. The lines are the innermost Python frame of what was live
at the peak: kulvo's snapshot at the peak, and memray's high-watermark records grouped the same
way, each as a share of its own total at the peak. Plain memray sees Python's small objects only
through the 1 MiB arenas they are carved from, so its lines are those that happened to need a
new arena; the lines are compared with memray's per-object run. Lines in files kulvo leaves out
of its snapshots (the import system's frozen modules, kulvo's own) are left out of memray's
ranking too, and the top lines are the same when those holding at least `TAIL_PERCENT` of the
peak are the same on both sides.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
PROGRAMS_FILE = os.path.join(HERE, "lib", "peak_programs.py")
PROGRAMS = ["four_line", "docutils_html", "pygments_html", "black_format", "json_regex_index"]
CONDITIONS = ["plain", "kulvo", "kulvo-memory", "memray", "memray-objects"]
IGNORED_FILE_PARTS = ("<frozen importlib", "/kulvo/", "<unknown>")
TOP_LINES = 5
# Lines below this share of the peak are a tail whose order is noise on either side.
TAIL_PERCENT = 1.0


def run_measured(command: list[str], directory: str) -> dict:
    """Runs `command` under GNU time and returns its wall time, CPU time and peak RSS. A process
    forked from this one would start with this one's resident size as its peak (the kernel
    keeps the peak across exec); one forked from `time` starts small."""
    figures = os.path.join(directory, "time.txt")
    done = subprocess.run(["/usr/bin/time", "-f", "%e %U %S %M", "-o", figures, *command],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(command)} failed ({done.returncode}):\n{done.stderr[-2000:]}")
    with open(figures) as file:
        wall_s, user_s, system_s, peak_kib = file.read().split()[-4:]
    return {"wall_s": float(wall_s), "cpu_s": float(user_s) + float(system_s), "peak_rss_kib": int(peak_kib)}


def command_for(condition: str, program: str, directory: str) -> list[str]:
    target = [PROGRAMS_FILE, program]
    if condition == "plain":
        return [sys.executable, *target]
    if condition == "kulvo":
        return [sys.executable, "-m", "kulvo", "run", "-o", os.path.join(directory, f"{program}-kulvo.json"), *target]
    if condition == "kulvo-memory":
        out = os.path.join(directory, f"{program}-memory.json")
        return [sys.executable, "-m", "kulvo", "run", "--memory", "-o", out, *target]
    objects = condition == "memray-objects"
    out = os.path.join(directory, f"{program}-{condition}.bin")
    extra = ["--trace-python-allocators"] if objects else []
    return [sys.executable, "-m", "memray", "run", "-f", "-q", *extra, "-o", out, *target]


def kulvo_peak_lines(path: str) -> tuple[dict[tuple[str, int], float], int]:
    import kulvo

    profile = kulvo.load(path)
    peak = next((m for m in profile.memory_snapshots if m.at_peak), None)
    if peak is None:
        return {}, 0
    return {(s.file, s.line): 100 * s.size_bytes / peak.traced_bytes for s in peak.top_sites}, peak.traced_bytes


def memray_peak_lines(path: str) -> tuple[dict[tuple[str, int], float], int]:
    from memray import FileReader

    reader = FileReader(path)
    by_line: dict[tuple[str, int], int] = {}
    total = 0
    for record in reader.get_high_watermark_allocation_records(merge_threads=True):
        stack = record.stack_trace()
        where = (stack[0][1], stack[0][2]) if stack else ("<unknown>", 0)
        by_line[where] = by_line.get(where, 0) + record.size
        total += record.size
    return {line: 100 * size / max(1, total) for line, size in by_line.items()}, total


def compare_lines(kulvo_lines: dict, memray_lines: dict) -> dict:
    def ranked(lines: dict) -> list:
        kept = [(line, share) for line, share in lines.items() if not any(p in line[0] for p in IGNORED_FILE_PARTS)]
        return sorted(kept, key=lambda item: -item[1])[:TOP_LINES]

    memray_top, kulvo_top = ranked(memray_lines), ranked(kulvo_lines)
    rows = [
        {"line": f"{os.path.basename(line[0])}:{line[1]}", "memray_percent": round(share, 1),
         "kulvo_percent": round(kulvo_lines.get(line, 0.0), 1)}
        for line, share in memray_top
    ]
    return {
        "rows": rows,
        "same_lines": {line for line, share in memray_top if share >= TAIL_PERCENT}
        == {line for line, share in kulvo_top if share >= TAIL_PERCENT},
        "kulvo_only": [f"{os.path.basename(line[0])}:{line[1]}" for line, _ in kulvo_top
                       if line not in dict(memray_top)],
        "worst_difference_points": max((abs(r["memray_percent"] - r["kulvo_percent"]) for r in rows), default=0.0),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--programs", default=",".join(PROGRAMS))
    args = parser.parse_args()
    programs = args.programs.split(",")
    results: dict = {"python": platform.python_version(), "programs": {}}
    with tempfile.TemporaryDirectory() as directory:
        for program in programs:
            runs: dict[str, list[dict]] = {c: [] for c in CONDITIONS}
            for rep in range(args.reps):
                order = CONDITIONS[rep % len(CONDITIONS):] + CONDITIONS[:rep % len(CONDITIONS)]
                for condition in order:
                    runs[condition].append(run_measured(command_for(condition, program, directory), directory))
            median = {c: {k: statistics.median(r[k] for r in runs[c]) for k in runs[c][0]} for c in CONDITIONS}
            kulvo_lines, kulvo_total = kulvo_peak_lines(os.path.join(directory, f"{program}-memory.json"))
            memray_lines, memray_total = memray_peak_lines(os.path.join(directory, f"{program}-memray-objects.bin"))
            arena_lines, _ = memray_peak_lines(os.path.join(directory, f"{program}-memray.bin"))
            results["programs"][program] = {
                "median": median,
                "cpu_slowdown": {c: median[c]["cpu_s"] / median["plain"]["cpu_s"] for c in CONDITIONS},
                "peak_rss_with_memory_over_without": median["kulvo-memory"]["peak_rss_kib"] / median["kulvo"]["peak_rss_kib"],
                "peak_bytes": {"kulvo": kulvo_total, "memray": memray_total},
                "lines": compare_lines(kulvo_lines, memray_lines),
                "lines_against_plain_memray": compare_lines(kulvo_lines, arena_lines),
            }
    print(json.dumps(results, indent=1, default=sorted))
    print(f"\n| program | CPU × kulvo --memory / memray / memray per object | peak RSS --memory / without "
          f"| same top {TOP_LINES} | worst share difference |")
    print("| --- | --- | --- | --- | --- |")
    for program, result in results["programs"].items():
        slow, lines = result["cpu_slowdown"], result["lines"]
        print(f"| {program} | {slow['kulvo-memory']:.2f} / {slow['memray']:.2f} / {slow['memray-objects']:.2f} | "
              f"{result['peak_rss_with_memory_over_without']:.3f} | {'yes' if lines['same_lines'] else 'no'} | "
              f"{lines['worst_difference_points']:.1f} |")


if __name__ == "__main__":
    main()
