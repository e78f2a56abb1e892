"""A sampled profile in speedscope's file format.

Each sample weighs the time it stands for: its slot of the interval, and the slots that a
capture held up by a long call ran through, so that such a call counts for its length. With
several threads sampled, each thread is a profile of its own.
"""

from __future__ import annotations

import json
from typing import Any

from kulvo.model import Frame, FrameTable, Profile
from kulvo.reports.names import display_name
from kulvo.reports.report_format import RenderOptions, ReportFormat
from kulvo.reports.units import location
from kulvo.samples import root_count

SCHEMA_URL = "https://www.speedscope.app/file-format-schema.json"


def profile_name(profile: Profile) -> str:
    argv = profile.metadata.argv
    return " ".join(argv) if argv else "kulvo profile"


def to_document(profile: Profile) -> dict[str, Any]:
    """One profile per thread (and process) where several were sampled, each named after them,
    its stacks without their root frames; else one."""
    table = FrameTable()
    columns = profile.columns
    # Per distinct stack, shared by the samples that hold it: its thread and its frame indices.
    indices: dict[int, tuple[tuple[Frame, ...], list[int]]] = {}
    by_thread: dict[tuple[Frame, ...], tuple[list[list[int]], list[float]]] = {}
    weights_us = columns.counted_weights_us(profile.metadata.interval_ms * 1000)
    for stack_id, weight_us, other in zip(columns.stack_ids, weights_us, columns.other_thread):
        if not weight_us and other:
            continue
        found = indices.get(stack_id)
        if found is None:
            stack = columns.paths.stack(stack_id) or ()
            roots = stack[: root_count(stack)]
            found = indices[stack_id] = (roots, table.indices(stack[len(roots) :]))
        thread, stack_frames = found
        if stack_frames:
            # The main thread's profile comes first even when its first waits were other threads' time.
            samples, weights = by_thread.setdefault(thread, ([], []))
            if weight_us:
                samples.append(stack_frames)
                weights.append(weight_us / 1000)

    name = profile_name(profile)
    # Named as in the text report; the file stays whole, for tools that open it.
    frames = [{"name": display_name(f), "file": f.file, "line": f.line} for f in table.frames]
    profiles = [
        {
            "type": "sampled",
            "name": " / ".join([*(f"{root.function} ({location(root.file, root.line)})" for root in roots), name]),
            "unit": "milliseconds",
            "startValue": 0,
            "endValue": sum(weights),
            "samples": samples,
            "weights": weights,
        }
        for roots, (samples, weights) in by_thread.items()
    ] or [
        {
            "type": "sampled",
            "name": name,
            "unit": "milliseconds",
            "startValue": 0,
            "endValue": 0,
            "samples": [],
            "weights": [],
        }
    ]
    return {
        "$schema": SCHEMA_URL,
        "shared": {"frames": frames},
        "profiles": profiles,
        "name": name,
        "activeProfileIndex": 0,
        "exporter": f"kulvo {profile.metadata.kulvo_version}",
    }


def render(profile: Profile, options: RenderOptions) -> str:
    return json.dumps(to_document(profile), separators=(",", ":")) + "\n"


FORMAT = ReportFormat(name="speedscope", suffixes=(".speedscope.json",), render=render)
