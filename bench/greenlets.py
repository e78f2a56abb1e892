"""Greenlet and gevent programs under `kulvo run` and `py-spy record`, side by side.

Two greenlets that switch to each other, and two gevent workers that yield to the hub, each
doing pure-Python work of a known 2:1 and about 1:1 split. Reported: the share of samples with
a stack, and the top self shares of both profilers with their differences. Needs greenlet and
gevent in the interpreter's virtualenv, and a py-spy:

    python bench/greenlets.py --py-spy PATH [--seconds S] [--interval-ms N]
"""

from __future__ import annotations

import argparse
import collections
import json
import os
import platform
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib"))

from common import pyspy_self_shares

# Pure-Python work both programs share.
CRUNCH = """
def crunch(n):
    s = 0
    for i in range(n):
        s += i * i
    return s
"""

PROGRAMS = {
    "greenlet": CRUNCH + """
import sys, time
from greenlet import greenlet, getcurrent

def twice():
    while True:
        crunch(20000)
        once.switch()

def once_more():
    while True:
        crunch_half(10000)
        main.switch()

def crunch_half(n):
    return crunch(n)

main = getcurrent()
first, once = greenlet(twice), greenlet(once_more)
end = time.perf_counter() + float(sys.argv[1])
while time.perf_counter() < end:
    first.switch()
""",
    "gevent": CRUNCH + """
import sys, time
import gevent

def hashy(n):
    s = 0
    for i in range(n):
        s = (s * 31 + i) & 0xFFFFFFFF
    return s

def worker_a(end):
    while time.perf_counter() < end:
        crunch(3000)
        gevent.sleep(0)

def worker_b(end):
    while time.perf_counter() < end:
        hashy(2000)
        gevent.sleep(0)

end = time.perf_counter() + float(sys.argv[1])
gevent.joinall([gevent.spawn(worker_a, end), gevent.spawn(worker_b, end)])
""",
}


def shares(counts: collections.Counter[str]) -> dict[str, float]:
    total = sum(counts.values())
    return {name: 100 * value / total for name, value in counts.items()} if total else {}


def kulvo_side(script: str, seconds: float, interval_ms: int, out: str) -> tuple[dict[str, float], float]:
    import kulvo

    subprocess.run([sys.executable, "-m", "kulvo", "run", "-o", out, "--interval-ms", str(interval_ms), script,
                    str(seconds)], check=True, capture_output=True)
    profile = kulvo.load(out)
    counts: collections.Counter[str] = collections.Counter()
    for stack, weight in profile.weighted_stacks:
        if stack:
            counts[stack[-1].function] += weight
    with_stack = sum(1 for s in profile.samples if s.stack) / max(1, len(profile.samples))
    return shares(counts), 100 * with_stack


def pyspy_side(py_spy: str, script: str, seconds: float, interval_ms: int, out: str) -> dict[str, float]:
    return pyspy_self_shares(py_spy, 1000 // interval_ms, [sys.executable, script, str(seconds)], out)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--py-spy", required=True)
    parser.add_argument("--seconds", type=float, default=4.0)
    parser.add_argument("--interval-ms", type=int, default=10)
    args = parser.parse_args()
    figures: dict[str, object] = {"python": platform.python_version(), "interval_ms": args.interval_ms}
    with tempfile.TemporaryDirectory() as directory:
        for name, source in PROGRAMS.items():
            script = os.path.join(directory, f"{name}_program.py")
            with open(script, "w") as file:
                file.write(source)
            kulvo_shares, with_stack_percent = kulvo_side(script, args.seconds, args.interval_ms,
                                                          os.path.join(directory, "k.json"))
            spy_shares = pyspy_side(args.py_spy, script, args.seconds, args.interval_ms,
                                    os.path.join(directory, "s.txt"))
            top = sorted(set(kulvo_shares) | set(spy_shares),
                         key=lambda f: -max(kulvo_shares.get(f, 0), spy_shares.get(f, 0)))[:10]
            rows = {f: [round(kulvo_shares.get(f, 0.0), 1), round(spy_shares.get(f, 0.0), 1)] for f in top}
            figures[name] = {
                "samples with a stack %": round(with_stack_percent, 1),
                "top self shares, kulvo / py-spy": rows,
                "worst difference (points)": round(max(abs(a - b) for a, b in rows.values()), 1),
            }
    print(json.dumps(figures, indent=1))


if __name__ == "__main__":
    main()
