"""Shares read back from saved profiles: kulvo's JSON document and py-spy's raw output.

A function is named the same way on both sides: its qualified name, found from its file's
source where the file can be read (kulvo reports bare code names, py-spy qualified ones
on 3.11+ and bare ones before), else the last part of the name the profiler gave."""

from __future__ import annotations

import ast
import functools
import os
import statistics
from collections.abc import Iterable, Iterator

FunctionKey = tuple[str, str]  # (file's base name, qualified function name)
Stack = list[dict]  # outermost first; each {"file", "function", "line"}


def sample_weight(sample: dict) -> float:
    """What one saved sample counts for: its time weight where the profile carries one,
    otherwise one sample each."""
    weight = sample.get("weight_us")
    return 1.0 if weight is None else float(weight)


def sample_rows(document: dict) -> list[dict]:
    """The samples of a saved profile, one dict each, a stack as its list of frame indices
    (outermost first) or None: the document holds one array per field and a stack as the
    index of a call path (its parent path and its frame)."""
    parents, frames = document["stacks"]["parent"], document["stacks"]["frame"]

    def frame_indices(path: int | None) -> list[int] | None:
        indices = []
        while path is not None:
            indices.append(frames[path])
            path = parents[path]
        return indices[::-1] or None

    fields = document["samples"]
    return [dict(zip(fields, row), stack=frame_indices(row_stack))
            for row, row_stack in zip(zip(*fields.values()), fields["stack"])]


def kulvo_stacks(document: dict) -> Iterator[tuple[Stack, float]]:
    """(stack, weight) for every sample of a saved profile that has a stack."""
    frames = document["frames"]
    for sample in sample_rows(document):
        if sample["stack"]:
            yield [frames[i] for i in sample["stack"]], sample_weight(sample)


def driver_samples(document: dict, driver: str, program_file: str) -> list[tuple[dict, set[str]]]:
    """The samples taken inside the driver function of `program_file`, each with the names
    of that file's functions on its stack."""
    frames = document["frames"]
    base = os.path.basename(program_file)
    found = []
    for sample in sample_rows(document):
        names = {frames[i]["function"] for i in sample["stack"] or () if os.path.basename(frames[i]["file"]) == base}
        if driver in names:
            found.append((sample, names))
    return found


def phase_shares(inside: list[tuple[dict, set[str]]], phases: list[str]) -> dict[str, float]:
    """Each phase function's share of the driver's samples, counted once per sample
    wherever it sits on the stack."""
    total = sum(sample_weight(s) for s, _ in inside)
    got = {p: sum(sample_weight(s) for s, names in inside if p in names) for p in phases}
    return {p: (v / total if total else 0.0) for p, v in got.items()}


def pyspy_phase_shares(stacks: Iterable[tuple[list[tuple[str, str, int]], float]], driver: str, phases: list[str],
                       program_file: str) -> dict[str, float]:
    """phase_shares for py-spy's stacks: each phase's share of the samples inside the driver."""
    base = os.path.basename(program_file)
    total = 0.0
    got = dict.fromkeys(phases, 0.0)
    for stack, count in stacks:
        names = {name for file, name, _ in stack if os.path.basename(file) == base}
        if driver in names:
            total += count
            for phase in phases:
                got[phase] += count if phase in names else 0.0
    return {p: (v / total if total else 0.0) for p, v in got.items()}


def sample_rate_per_s(inside: list[tuple[dict, set[str]]]) -> float:
    """Samples per second between the first and the last timestamp."""
    stamps = [s["timestamp_ms"] for s, _ in inside]
    span_ms = stamps[-1] - stamps[0] if len(stamps) > 1 else 0
    return (len(stamps) - 1) / (span_ms / 1000) if span_ms else 0.0


def cpu_percentiles(inside: list[tuple[dict, set[str]]], low: int = 5, high: int = 95) -> tuple[float, float] | None:
    """The low and high percentiles of the per-sample CPU readings (failed readings left out)."""
    readings = [s["cpu_percent"] for s, _ in inside if s["cpu_percent"] is not None]
    if len(readings) < 2:
        return None
    cuts = statistics.quantiles(readings, n=100, method="inclusive")
    return cuts[low - 1], cuts[high - 1]


# --- per-function self shares ------------------------------------------------------------------


@functools.cache
def _functions_in(path: str) -> tuple[tuple[int, int, int, str], ...]:
    """(first line, def line, last line, qualified name) of every def in a source file."""
    try:
        with open(path, encoding="utf-8") as f:
            tree = ast.parse(f.read())
    except (OSError, SyntaxError, ValueError):
        return ()
    found = []

    def visit(node: ast.AST, prefix: str) -> None:
        for child in ast.iter_child_nodes(node):
            if isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
                name = prefix + child.name
                if not isinstance(child, ast.ClassDef):
                    first = min([child.lineno] + [d.lineno for d in child.decorator_list])
                    found.append((first, child.lineno, child.end_lineno or child.lineno, name))
                    visit(child, name + ".<locals>.")
                else:
                    visit(child, name + ".")
            else:
                visit(child, prefix)

    visit(tree, "")
    return tuple(found)


def function_key(file: str, function: str, line: int, sources: dict[str, str]) -> FunctionKey:
    """The qualified name of the def holding `line` (its innermost one), where the file is
    among `sources` (base name -> path) and the def has the reported name; for a line that
    no def of that name holds (a frame saved without its line), the one def of that name."""
    base = os.path.basename(file)
    bare = function.rsplit(".", 1)[-1]
    defs = _functions_in(sources.get(base, ""))
    holders = [f for f in defs if f[0] <= line <= f[2]]
    if holders:
        qualified = max(holders, key=lambda f: f[1])[3]
        if qualified.rsplit(".", 1)[-1] == bare:
            return base, qualified
    named = [f[3] for f in defs if f[3].rsplit(".", 1)[-1] == bare]
    return base, named[0] if len(named) == 1 else bare


def self_shares(stacks: Iterable[tuple[list[tuple[str, str, int]], float]], driver: str,
                sources: dict[str, str]) -> dict[FunctionKey, float]:
    """Each function's share of the innermost frames of the samples that have `driver`
    (a bare function name) on their stack."""
    inside = 0.0
    got: dict[FunctionKey, float] = {}
    for stack, weight in stacks:
        if not any(fn.rsplit(".", 1)[-1] == driver for _, fn, _ in stack):
            continue
        inside += weight
        key = function_key(*stack[-1], sources)
        got[key] = got.get(key, 0.0) + weight
    return {k: v / inside for k, v in got.items()} if inside else {}


def kulvo_self_stacks(document: dict) -> Iterator[tuple[list[tuple[str, str, int]], float]]:
    for stack, weight in kulvo_stacks(document):
        yield [(f["file"], f["function"], int(f["line"])) for f in stack], weight


def pyspy_stacks(lines: Iterable[str]) -> Iterator[tuple[list[tuple[str, str, int]], float]]:
    """Stacks of py-spy's raw format ("name (file:line);... count"), leaving out frames
    without a line, which are the interpreter's own shims rather than Python code."""
    for line in lines:
        stack_text, _, count = line.rstrip("\n").rpartition(" ")
        if not stack_text:
            continue
        stack = []
        for frame in stack_text.split(";"):
            name, _, where = frame.rpartition(" (")
            file, colon, number = where.rstrip(")").rpartition(":")
            if colon and number.isdigit():
                stack.append((file, name, int(number)))
        if stack:
            yield stack, float(count)


def source_paths(document: dict) -> dict[str, str]:
    """Base name -> path of every file that kulvo's frames name."""
    return {os.path.basename(f["file"]): f["file"] for f in document["frames"]}
