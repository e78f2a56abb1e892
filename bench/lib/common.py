"""Running harness subprocesses, summary statistics and the machine description."""

from __future__ import annotations

import json
import os
import platform
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
HARNESS = os.path.join(HERE, "harness.py")


class HarnessError(RuntimeError):
    pass


def run_harness(python: str, args: list[str], wrap: list[str] | None = None, env: dict | None = None,
                timeout: float = 900) -> dict:
    """Runs harness.py in a fresh interpreter (optionally under `wrap`, e.g. py-spy) and
    returns its RESULT payload."""
    cmd = (wrap or []) + [python, HARNESS] + args
    full_env = dict(os.environ)
    full_env.update(env or {})
    proc = subprocess.run(cmd, capture_output=True, text=True, env=full_env, timeout=timeout)
    for line in reversed(proc.stdout.splitlines()):
        if line.startswith("RESULT "):
            return json.loads(line[len("RESULT "):])
    raise HarnessError(f"{' '.join(cmd)} -> exit {proc.returncode}\n{proc.stdout[-2000:]}\n{proc.stderr[-3000:]}")


def pyspy_self_shares(py_spy: str, rate: int, command: list[str], out: str, idle: bool = False) -> dict[str, float]:
    """`command` under `py-spy record` at `rate`: each function's share of the samples in which
    it was running, in percent."""
    subprocess.run([py_spy, "record", "--rate", str(rate), "--format", "raw", "--function", "-o", out,
                    *(["--idle"] if idle else []), "--", *command], check=True, capture_output=True)
    counts: dict[str, int] = {}
    with open(out) as file:
        for line in file:
            stack, _, count = line.rstrip("\n").rpartition(" ")
            name = stack.split(";")[-1].rpartition(" (")[0]
            if name:
                counts[name] = counts.get(name, 0) + int(count)
    total = sum(counts.values())
    return {name: 100 * value / total for name, value in counts.items()} if total else {}


def summary(values: list[float]) -> dict:
    """Median with the spread: quartiles (when n >= 4), min and max, n."""
    values = sorted(v for v in values if v is not None)
    if not values:
        return {"median": None, "n": 0}
    out = {"median": statistics.median(values), "min": values[0], "max": values[-1], "n": len(values)}
    if len(values) >= 4:
        q = statistics.quantiles(values, n=4, method="inclusive")
        out["q1"], out["q3"] = q[0], q[2]
    return out


def fmt_ratio(s: dict, digits: int = 3) -> str:
    if not s or s.get("median") is None:
        return "n/a"
    spread = f"IQR {s['q1']:.{digits}f}–{s['q3']:.{digits}f}, " if "q1" in s else ""
    return f"{s['median']:.{digits}f}× ({spread}range {s['min']:.{digits}f}–{s['max']:.{digits}f}, n={s['n']})"


def fmt_num(s: dict, unit: str, digits: int = 1) -> str:
    if not s or s.get("median") is None:
        return "n/a"
    spread = f"IQR {s['q1']:.{digits}f}–{s['q3']:.{digits}f}, " if "q1" in s else ""
    return f"{s['median']:.{digits}f} {unit} ({spread}range {s['min']:.{digits}f}–{s['max']:.{digits}f}, n={s['n']})"


def loadavg() -> list[float]:
    return [round(x, 2) for x in os.getloadavg()]


def machine(pythons: dict[str, str]) -> dict:
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    mem_kb = 0
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal"):
                mem_kb = int(line.split()[1])
    versions = {}
    for label, exe in pythons.items():
        try:
            versions[label] = subprocess.run([exe, "-c", "import sys; print(sys.version.split()[0])"],
                                             capture_output=True, text=True).stdout.strip()
        except OSError:
            versions[label] = "unavailable"
    try:
        commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True,
                                cwd=os.path.dirname(os.path.dirname(HERE))).stdout.strip()
    except OSError:  # a machine without git, or a copy of bench/ outside the checkout
        commit = "unknown"
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "memory_gib": round(mem_kb / 1024 / 1024, 1),
        "kernel": platform.release(),
        "pythons": versions,
        "switch_interval_s": sys.getswitchinterval(),
        "commit": commit,
        "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
    }


def save_raw(results: dict, name: str, quick: bool, started: float, errors: list[str]) -> str:
    """Closes a run's results (end load, duration, failed runs) and writes them to
    bench/out/NAME-<time>.json; returns the path."""
    results["load"]["end"] = loadavg()
    results["duration_s"] = round(time.time() - started)
    results["errors"] = errors
    out = os.path.join(os.path.dirname(HERE), "out")
    os.makedirs(out, exist_ok=True)
    path = os.path.join(out, f"{name}-{time.strftime('%Y%m%d-%H%M%S')}{'-quick' if quick else ''}.json")
    with open(path, "w") as f:
        json.dump(results, f, indent=1, default=str)
    return path


def rotated(items: list, k: int) -> list:
    k %= len(items)
    return items[k:] + items[:k]
