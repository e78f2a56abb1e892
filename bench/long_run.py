"""Does a long run keep its beginning, and its shares?

A program of three phases times each one itself: `opening` runs only in the first tenth of
the run, then `steady_a` and `steady_b` take turns in 70/30 bursts of pure-Python work. It
is profiled at 1 ms twice: for 110 s with kulvo's ring as shipped (100,000 samples, 100 s at
1 ms), and for three times the span of a ring made ten times smaller. Each phase's share of
the profile is set beside its true share, with the profile's notes. Run it with the
interpreter whose virtualenv has kulvo installed:

    python bench/long_run.py [--seconds S] [--short-seconds S]
"""

from __future__ import annotations

import argparse
import json
import platform
import subprocess
import sys

PROGRAM = """
import json, sys, time
import kulvo
from kulvo import sampling

seconds, ring = float(sys.argv[1]), int(sys.argv[2])
sampling.RING_CAPACITY = ring
spent = {"opening": 0.0, "steady_a": 0.0, "steady_b": 0.0}

def work(until):
    n = 0
    while time.perf_counter() < until:
        n += 1
    return n

def opening(s):
    work(time.perf_counter() + s)

def steady_a(s):
    work(time.perf_counter() + s)

def steady_b(s):
    work(time.perf_counter() + s)

def timed(phase, s):
    began = time.perf_counter()
    phase(s)
    spent[phase.__name__] += time.perf_counter() - began

with kulvo.profile(interval_ms=1) as p:
    end = time.perf_counter() + seconds
    opening_end = time.perf_counter() + seconds / 10
    while time.perf_counter() < opening_end:
        timed(opening, 0.01)
    while time.perf_counter() < end:
        timed(steady_a, 0.007)
        timed(steady_b, 0.003)
total = sum(spent.values())
weighted = p.profile.weighted_stacks
observed = sum(w for _, w in weighted)
shares = {name: 100 * sum(w for s, w in weighted if any(f.function == name for f in s)) / observed for name in spent}
print(json.dumps({
    "truth": {name: 100 * t / total for name, t in spent.items()},
    "profile": shares,
    "samples": len(p.profile.samples),
    "first_sample_ms": min(s.timestamp_ms for s in p.profile.samples),
    "heaviest_sample_ms": max(p.profile.weight_us(s) for s in p.profile.samples) / 1000,
    "notes": list(p.profile.metadata.notes),
}))
"""


def run(seconds: float, ring: int) -> dict:
    done = subprocess.run([sys.executable, "-c", PROGRAM, str(seconds), str(ring)], capture_output=True, text=True,
                          timeout=seconds * 3 + 60)
    if done.returncode != 0:
        raise SystemExit(done.stderr[-2000:])
    return json.loads(done.stdout)


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--seconds", type=float, default=110.0, help="the run with the ring as shipped")
    p.add_argument("--short-seconds", type=float, default=30.0, help="the run three times a 10,000-sample ring")
    args = p.parse_args()
    figures = {"python": platform.python_version()}
    for label, seconds, ring in (("shipped ring", args.seconds, 100_000), ("small ring", args.short_seconds, 10_000)):
        result = run(seconds, ring)
        worst = max(abs(result["profile"][name] - truth) for name, truth in result["truth"].items())
        figures[f"{label}, {seconds:.0f} s"] = {**result, "worst_points": round(worst, 2)}
    print(json.dumps(figures, indent=1))


if __name__ == "__main__":
    main()
