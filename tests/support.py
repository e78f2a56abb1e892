"""Helpers shared by the core's test suites."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap


def run_python(code: str, *flags: str, timeout: float = 60.0) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter of the one running the tests."""
    env = dict(os.environ)
    env.pop("PYTHONWARNINGS", None)
    # Through a shell: Linux hands a child the peak resident size of the process that
    # spawned it, and a large test runner would hide the child's own memory growth.
    return subprocess.run(
        ["/bin/sh", "-c", '"$@"; exit $?', "sh", sys.executable, *flags, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )


def innermost(sample: dict) -> str | None:
    stack = sample["stack"]
    return stack[-1]["function"] if stack else None


def packed_result(result: dict) -> dict:
    """A result in the documented dict shape, packed as kulvo._native's stop() returns it: a
    stack table (names, frames, call tree) and one array per sample field."""
    from array import array

    strings: dict[str, int] = {"<other>": 0}
    frames: dict[tuple[int, int, int], int] = {(0, 0, 0): 0}
    nodes: dict[tuple[int, int], int] = {(0, 0): 0}

    def string(text: str) -> int:
        return strings.setdefault(text, len(strings))

    def stack(raw: list[dict] | None) -> int:
        node = 0
        for f in raw or ():
            frame = frames.setdefault((string(f["file"]), string(f["function"]), f["line"]), len(frames))
            node = nodes.setdefault((node, frame), len(nodes))
        return node

    samples = result["samples"]
    packed = {
        "sample_count": result["sample_count"],
        "wall_time_ms": result["wall_time_ms"],
        "kulvo_bytes": 4096,
        "timestamp_ms": array("Q", [s["timestamp_ms"] for s in samples]).tobytes(),
        "cpu_percent": array("d", [s["cpu_percent"] for s in samples]).tobytes(),
        "rss_bytes": array("Q", [s["rss_bytes"] for s in samples]).tobytes(),
        "stack": array("I", [stack(s["stack"]) for s in samples]).tobytes(),
        "weight_us": array("Q", [s.get("weight_us", 0) for s in samples]).tobytes(),
        "main_thread_waiting": bytes(s.get("main_thread_waiting", False) for s in samples),
        "spike_events": [{**e, "peak_stack": stack(e["peak_stack"])} for e in result["spike_events"]],
    }
    packed.update(
        strings=list(strings),
        frame_files=array("i", [f[0] for f in frames]).tobytes(),
        frame_functions=array("i", [f[1] for f in frames]).tobytes(),
        frame_lines=array("i", [f[2] for f in frames]).tobytes(),
        stack_parents=array("I", [n[0] for n in nodes]).tobytes(),
        stack_frames=array("I", [n[1] for n in nodes]).tobytes(),
    )
    return packed


def _address_sanitizer_loaded() -> bool:
    """True in the hardening run that preloads the ASan runtime for an instrumented build."""
    with open("/proc/self/maps") as maps:
        return any("libclang_rt.asan" in line or "/libasan.so" in line for line in maps)


ADDRESS_SANITIZER = _address_sanitizer_loaded()
