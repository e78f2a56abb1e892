"""One measurement in a fresh interpreter. Prints one line `RESULT {json}` at the end.

Modes:
  calibrate --workload W --target S         seconds per unit of W
  run --workload W --scale N --profiler P   the timed region: profiler start, W, stop
  accuracy --program P --seconds S --profiler P
  pairs --rounds R --scale N                sampling-loop overhead, conditions alternated in-process
  fidelity --interval MS --main cpu|idle --seconds S
  cycle --depth D --seconds S               sampler-thread CPU per cycle at stack depth D
  capture --depth D --reps N                capture_main_stack() timed by the bench hook
  stopcost --samples N --depth D            stop()'s stages on synthetic samples (bench hook)

Profilers (in-process unless noted): none, kulvo:MS (the core), profile:MS (the package's
kulvo.profile), kulvo-mem, tracemalloc, pyinstrument, cprofile, yappi, memray; py-spy and
scalene wrap this process from outside and run it with `none`.
"""

from __future__ import annotations

import argparse
import importlib
import itertools
import json
import os
import re
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import workloads  # noqa: E402


def emit(payload: dict) -> None:
    sys.stdout.flush()
    print("RESULT " + json.dumps(payload), flush=True)


# --- profilers ------------------------------------------------------------------------


class Profiler:
    """start()/stop() around the timed region; stop() returns a small dict of facts."""

    def start(self) -> None:
        pass

    def stop(self) -> dict:
        return {}


class Kulvo(Profiler):
    def __init__(self, interval_ms: int):
        import kulvo

        self.sampler = kulvo.PySampler(interval_ms=interval_ms)
        self.result = None

    def start(self):
        self.sampler.start()

    def stop(self):
        t0 = time.perf_counter()
        self.result = self.sampler.stop()
        return {"samples": self.result["sample_count"], "stop_s": time.perf_counter() - t0}


class KulvoProfile(Profiler):
    """The package's sampler as users meet it: `kulvo.profile(interval_ms=...)` around the
    timed region, the profile built at the end (its report is not drawn)."""

    def __init__(self, interval_ms: int):
        import kulvo

        # What making the profile imports, imported here as `import kulvo` once did: a one-time
        # cost of the process (the start-up benchmark's), not the sampling's overhead.
        for module in ("kulvo.core_result", "platform", "datetime"):
            importlib.import_module(module)

        self.profiler = kulvo.profile(interval_ms=interval_ms)

    def start(self):
        self.profiler.__enter__()

    def stop(self):
        self.profiler.__exit__(None, None, None)
        return {"samples": self.profiler.profile.sample_count}


class KulvoMemory(Profiler):
    """The memory watcher. `kulvo-mem` is the package's own (kulvo.profile(memory=True))
    where the package has it; `kulvo-mem-direct` is the same parts put together here:
    tracemalloc on, the sampler at 10 ms, and a thread that polls mem_spike_flag() every
    10 ms and takes a tracemalloc snapshot when it is set. It stops the sampler before
    tracemalloc."""

    def __init__(self, direct: bool = False):
        import kulvo

        self.kulvo = kulvo
        self.snapshots = 0
        self.via = "direct"
        self.cm = None
        if hasattr(kulvo, "profile") and not direct:
            try:
                self.cm = kulvo.profile(memory=True, interval_ms=10)
                self.via = "kulvo.profile(memory=True, interval_ms=10)"
            except TypeError:
                self.cm = None

    def start(self):
        if self.cm is not None:
            self.cm.__enter__()
            return
        import tracemalloc

        tracemalloc.start()
        self.sampler = self.kulvo.PySampler(interval_ms=10)
        self.sampler.start()
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._watch, daemon=True)
        self.thread.start()

    def _watch(self):
        import tracemalloc

        while not self.done.wait(0.010):
            if self.sampler.mem_spike_flag():
                tracemalloc.take_snapshot()
                self.snapshots += 1
                self.sampler.notify_snapshot_taken()

    def stop(self):
        if self.cm is not None:
            self.cm.__exit__(None, None, None)
            return {"via": self.via}
        import tracemalloc

        self.done.set()
        self.thread.join()
        result = self.sampler.stop()
        tracemalloc.stop()
        return {"via": self.via, "snapshots": self.snapshots, "samples": result["sample_count"]}


class Tracemalloc(Profiler):
    def start(self):
        import tracemalloc

        tracemalloc.start()

    def stop(self):
        import tracemalloc

        tracemalloc.stop()
        return {}


class Pyinstrument(Profiler):
    def __init__(self):
        from pyinstrument import Profiler as P

        self.profiler = P(interval=0.001, async_mode="disabled")
        self.session = None

    def start(self):
        self.profiler.start()

    def stop(self):
        self.session = self.profiler.stop()
        return {}


class CProfile(Profiler):
    def __init__(self):
        import cProfile

        self.profiler = cProfile.Profile()

    def start(self):
        self.profiler.enable()

    def stop(self):
        self.profiler.disable()
        return {}


class Yappi(Profiler):
    def start(self):
        import yappi

        yappi.start()

    def stop(self):
        import yappi

        yappi.stop()
        return {"clock": yappi.get_clock_type()}


class Memray(Profiler):
    def __init__(self, path: str):
        import memray

        if os.path.exists(path):
            os.unlink(path)
        self.tracker = memray.Tracker(path)

    def start(self):
        self.tracker.__enter__()

    def stop(self):
        self.tracker.__exit__(None, None, None)
        return {}


def make_profiler(name: str, out: str | None) -> Profiler:
    if name in ("none", "none-b", "py-spy", "scalene"):
        return Profiler()
    if name.startswith("kulvo:"):
        return Kulvo(int(name.split(":", 1)[1]))
    if name.startswith("profile:"):
        return KulvoProfile(int(name.split(":", 1)[1]))
    if name == "kulvo-mem":
        return KulvoMemory()
    if name == "kulvo-mem-direct":
        return KulvoMemory(direct=True)
    if name == "tracemalloc":
        return Tracemalloc()
    if name == "pyinstrument":
        return Pyinstrument()
    if name == "cprofile":
        return CProfile()
    if name == "yappi":
        return Yappi()
    if name == "memray":
        return Memray(out or f"/tmp/kulvo-bench-memray-{os.getpid()}.bin")
    raise SystemExit(f"unknown profiler {name}")


# --- modes ----------------------------------------------------------------------------


def run_workload(name: str, scale: int, timed) -> None:
    if name.startswith("pyperf:"):
        workloads.run_pyperformance(name.split(":", 1)[1], scale, timed)
    else:
        fn = workloads.OWN[name]
        timed(lambda: fn(scale))


def mode_calibrate(args) -> None:
    scale = 1
    while True:
        spans = []

        def timed(body):
            t0 = time.perf_counter()
            body()
            spans.append(time.perf_counter() - t0)  # noqa: B023  (called within this iteration)

        run_workload(args.workload, scale, timed)
        elapsed = sum(spans)
        if elapsed >= min(0.25, args.target / 2) or scale >= 1 << 20:
            break
        scale *= 2
    emit({"per_unit_s": elapsed / scale, "scale_tried": scale})


def mode_run(args) -> None:
    profiler = make_profiler(args.profiler, args.out)
    spans = []
    facts = {}

    def timed(body):
        t0 = time.perf_counter()
        profiler.start()
        body()
        facts.update(profiler.stop())
        spans.append(time.perf_counter() - t0)

    run_workload(args.workload, args.scale, timed)
    emit({"wall_s": sum(spans), "facts": facts})


def frame_shares_from_kulvo(result: dict, driver: str, targets: list[str], callsites: dict) -> dict:
    stacks = [s["stack"] for s in result["samples"] if s["stack"]]
    inside = [st for st in stacks if any(f["function"] == driver for f in st)]
    n = len(inside) or 1
    innermost = {t: sum(1 for st in inside if st[-1]["function"] == t) / n for t in targets}
    # The hot path of the driver's call line is the share of samples inside that call.
    driver_pct = next(
        (
            h["percent"]
            for h in result["hot_paths"]
            if h["function"] == "mode_accuracy" and h["line"] == callsites["__driver__"]
        ),
        None,
    )
    hot = {}
    for t in targets:
        pct = next(
            (h["percent"] for h in result["hot_paths"] if h["function"] == driver and h["line"] == callsites[t]),
            0.0,
        )
        hot[t] = pct / driver_pct if driver_pct else None
    return {"innermost": innermost, "hot_paths": hot, "samples": len(inside)}


def frame_shares_from_pyinstrument(session, driver: str, targets: list[str]) -> dict:
    root = session.root_frame(trim_stem=False)

    def find(frame, name):
        if frame.function == name:
            return [frame]
        found = []
        for child in frame.children:
            found.extend(find(child, name))
        return found

    drivers = find(root, driver)
    total = sum(f.time for f in drivers) or 1.0
    shares = {}
    for t in targets:
        shares[t] = sum(f.time for d in drivers for f in find(d, t)) / total
    return {"inclusive": shares}


def callsite_lines(driver_fn, targets: list[str]) -> dict:
    import inspect

    lines, first = inspect.getsourcelines(driver_fn)
    sites = {}
    for offset, text in enumerate(lines):
        for t in targets:
            if re.search(rf"\b{t}\(", text) and t not in sites:
                sites[t] = first + offset
    return sites


def mode_accuracy(args) -> None:
    import accuracy_programs

    driver_fn, targets = accuracy_programs.PROGRAMS[args.program]
    profiler = make_profiler(args.profiler, args.out)
    profiler.start()
    truth = driver_fn(args.seconds)
    facts = profiler.stop()
    payload = {"truth": truth, "facts": facts}
    if isinstance(profiler, Kulvo):
        import inspect

        sites = callsite_lines(driver_fn, targets)
        # The caller's line that called the driver: the one line of this function that does.
        src, first = inspect.getsourcelines(mode_accuracy)
        sites["__driver__"] = first + next(i for i, line in enumerate(src) if "truth = driver_fn(" in line)
        payload["kulvo"] = frame_shares_from_kulvo(profiler.result, driver_fn.__name__, targets, sites)
    if isinstance(profiler, Pyinstrument):
        payload["pyinstrument"] = frame_shares_from_pyinstrument(profiler.session, driver_fn.__name__, targets)
    emit(payload)


def mode_pairs(args) -> None:
    """Sampling-loop overhead: every round runs the workload once per condition, in an
    order that rotates from round to round; ratios are taken within a round."""
    import kulvo

    # "none-b" is a second unprofiled run per round: the A/A control that shows the noise.
    conditions = ["none", "none-b"] + [f"kulvo:{ms}" for ms in args.intervals]
    fn = workloads.OWN[args.workload]
    fn(max(1, args.scale // 10))  # warm-up
    rounds = []
    for r in range(args.rounds):
        order = conditions[r % len(conditions) :] + conditions[: r % len(conditions)]
        times = {}
        samples = {}
        for cond in order:
            sampler = kulvo.PySampler(interval_ms=int(cond.split(":")[1])) if cond.startswith("kulvo") else None
            t0 = time.perf_counter()
            if sampler:
                sampler.start()
            fn(args.scale)
            if sampler:
                samples[cond] = sampler.stop()["sample_count"]
            times[cond] = time.perf_counter() - t0
        rounds.append({"times": times, "samples": samples, "order": order})
    emit({"rounds": rounds})


def _busy_until(deadline: float) -> None:
    x = 1
    while time.perf_counter() < deadline:
        for _ in range(2000):
            x = (x * 48271) % 2147483647


def mode_fidelity(args) -> None:
    import kulvo

    sampler = kulvo.PySampler(interval_ms=args.interval)
    t0 = time.perf_counter()
    sampler.start()
    if args.main == "cpu":
        _busy_until(t0 + args.seconds)
    else:
        threading.Event().wait(args.seconds)
    result = sampler.stop()
    wall = time.perf_counter() - t0
    ts = [s["timestamp_ms"] for s in result["samples"]]
    gaps = [b - a for a, b in itertools.pairwise(ts)]
    span_ms = (ts[-1] - ts[0]) if len(ts) > 1 else 0
    emit(
        {
            "samples": result["sample_count"],
            "wall_s": wall,
            "span_ms": span_ms,
            "rate_per_s": (len(ts) - 1) / (span_ms / 1000) if span_ms else 0.0,
            "gaps_ms": gaps,
        }
    )


def sampler_tid() -> int | None:
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                if f.read().strip() == "kulvo-sampler":
                    return int(tid)
        except OSError:
            pass
    return None


def thread_cpu_ns(tid: int) -> int:
    # The kernel's per-thread CPU clock for a thread id: ((~tid) << 3) | CPUCLOCK_PERTHREAD | CPUCLOCK_SCHED.
    return time.clock_gettime_ns(((~tid) << 3) | 4 | 2)


def at_depth(depth: int, fn):
    """Calls fn with `depth` frames of this function on the stack (plus the caller's)."""
    if depth <= 1:
        return fn()
    return at_depth(depth - 1, fn)


def mode_cycle(args) -> None:
    import kulvo

    sys.setrecursionlimit(max(10_000, args.depth * 4))

    def idle():
        sampler = kulvo.PySampler(interval_ms=1)
        sampler.start()
        time.sleep(0.2)  # let the thread start and name itself
        tid = sampler_tid()
        c0, t0 = thread_cpu_ns(tid), time.perf_counter()
        threading.Event().wait(args.seconds)
        c1, t1 = thread_cpu_ns(tid), time.perf_counter()
        result = sampler.stop()
        ts = [s["timestamp_ms"] for s in result["samples"]]
        in_window = sum(1 for t in ts if ts[0] + 200 <= t <= ts[0] + 200 + (t1 - t0) * 1000)
        depth = max((len(s["stack"]) for s in result["samples"] if s["stack"]), default=0)
        return {"cpu_ns": c1 - c0, "window_s": t1 - t0, "samples": in_window, "frames": depth}

    out = at_depth(args.depth - 2, idle)  # minus the module and mode_cycle frames
    out["cpu_us_per_cycle"] = out["cpu_ns"] / 1000 / max(1, out["samples"])
    emit(out)


def mode_capture(args) -> None:
    import _kulvo_bench as hook

    sys.setrecursionlimit(max(10_000, args.depth * 4))
    hook.capture_many(20)  # warm-up
    times, frames = at_depth(args.depth - 2, lambda: hook.capture_many(args.reps))
    times.sort()
    kept, _ = at_depth(args.depth - 2, lambda: hook.capture_many(args.reps, True))
    kept.sort()
    gil = sorted(hook.gil_round_trip_many(args.reps))
    emit({"frames": frames, "median_us": times[len(times) // 2] / 1000, "p90_us": times[int(len(times) * 0.9)] / 1000,
          "kept_state_median_us": kept[len(kept) // 2] / 1000, "gil_round_trip_us": gil[len(gil) // 2] / 1000})


def _status_kb(key: str) -> int:
    with open("/proc/self/status") as f:
        return int(re.search(rf"^{key}:\s+(\d+)", f.read(), re.M).group(1))


def mode_stopcost(args) -> None:
    """stop()'s work after the join, on N synthetic samples of D frames: the stages' times
    and the peak memory above the resident size held before it (engine samples included)."""
    import gc

    import _kulvo_bench as hook

    hook.make_samples(args.samples, args.depth, args.seed)
    rss_before = _status_kb("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets the peak resident size to the current one
    timings, result = hook.stop_body(20)
    peak = _status_kb("VmHWM")
    rss_after = _status_kb("VmRSS")
    t0 = time.perf_counter()
    del result
    gc.collect()
    drop_s = time.perf_counter() - t0
    # The conversion alone, against the plain C API loop, alternating.
    conv = {"core_ns": [], "plain_ns": []}
    hook.make_samples(args.samples, args.depth, args.seed)
    hook.prepare_result(20)
    for i in range(args.conv_reps):
        order = ("core", "plain") if i % 2 == 0 else ("plain", "core")
        for which in order:
            ns, obj = hook.time_result_to_py() if which == "core" else hook.time_plain_to_py()
            conv[f"{which}_ns"].append(ns)
            del obj
            gc.collect()
    emit(
        {
            "timings_ns": timings,
            "rss_before_kb": rss_before,
            "peak_kb": peak,
            "rss_after_kb": rss_after,
            "drop_result_s": drop_s,
            "conv": conv,
        }
    )


def main() -> None:
    p = argparse.ArgumentParser()
    sub = p.add_subparsers(dest="mode", required=True)
    c = sub.add_parser("calibrate")
    c.add_argument("--workload", required=True)
    c.add_argument("--target", type=float, default=1.0)
    r = sub.add_parser("run")
    r.add_argument("--workload", required=True)
    r.add_argument("--scale", type=int, required=True)
    r.add_argument("--profiler", default="none")
    r.add_argument("--out")
    a = sub.add_parser("accuracy")
    a.add_argument("--program", required=True)
    a.add_argument("--seconds", type=float, default=3.0)
    a.add_argument("--profiler", default="none")
    a.add_argument("--out")
    pr = sub.add_parser("pairs")
    pr.add_argument("--workload", default="cpu_mix")
    pr.add_argument("--scale", type=int, required=True)
    pr.add_argument("--rounds", type=int, default=11)
    pr.add_argument("--intervals", type=int, nargs="+", default=[1, 10, 50])
    f = sub.add_parser("fidelity")
    f.add_argument("--interval", type=int, required=True)
    f.add_argument("--main", choices=["cpu", "idle"], required=True)
    f.add_argument("--seconds", type=float, default=5.0)
    cy = sub.add_parser("cycle")
    cy.add_argument("--depth", type=int, required=True)
    cy.add_argument("--seconds", type=float, default=3.0)
    ca = sub.add_parser("capture")
    ca.add_argument("--depth", type=int, required=True)
    ca.add_argument("--reps", type=int, default=500)
    sc = sub.add_parser("stopcost")
    sc.add_argument("--samples", type=int, required=True)
    sc.add_argument("--depth", type=int, default=30)
    sc.add_argument("--seed", type=int, default=1)
    sc.add_argument("--conv-reps", type=int, default=3)
    args = p.parse_args()
    {
        "calibrate": mode_calibrate,
        "run": mode_run,
        "accuracy": mode_accuracy,
        "pairs": mode_pairs,
        "fidelity": mode_fidelity,
        "cycle": mode_cycle,
        "capture": mode_capture,
        "stopcost": mode_stopcost,
    }[args.mode](args)


if __name__ == "__main__":
    main()
