"""A sampled profile in speedscope's file format.

Each sample weighs the time it stands for: its slot of the interval, and the slots that a
capture held up by a long call ran through, so that such a call counts for its length.
"""

from __future__ import annotations

import json
from typing import Any

from kulvo.model import FrameTable, Profile
from kulvo.reports.names import display_name
from kulvo.reports.report_format import RenderOptions, ReportFormat

SCHEMA_URL = "https://www.speedscope.app/file-format-schema.json"


def profile_name(profile: Profile) -> str:
    argv = profile.metadata.argv
    return " ".join(argv) if argv else "kulvo profile"


def to_document(profile: Profile) -> dict[str, Any]:
    table = FrameTable()
    columns = profile.columns
    # One list of frame indices per distinct stack, shared by the samples that hold it.
    indices: dict[int, list[int]] = {}
    interval_us = profile.metadata.interval_ms * 1000
    samples: list[list[int]] = []
    weights: list[float] = []
    for stack_id, weight_us in zip(columns.stack_ids, columns.weight_us):
        stack_frames = indices.get(stack_id)
        if stack_frames is None:
            stack = columns.paths.stack(stack_id)
            stack_frames = indices[stack_id] = table.indices(stack) if stack else []
        if stack_frames:
            samples.append(stack_frames)
            weights.append((weight_us or interval_us) / 1000)

    name = profile_name(profile)
    # Named as in the text report; the file stays whole, for tools that open it.
    frames = [{"name": display_name(f), "file": f.file, "line": f.line} for f in table.frames]
    return {
        "$schema": SCHEMA_URL,
        "shared": {"frames": frames},
        "profiles": [
            {
                "type": "sampled",
                "name": name,
                "unit": "milliseconds",
                "startValue": 0,
                "endValue": sum(weights),
                "samples": samples,
                "weights": weights,
            }
        ],
        "name": name,
        "activeProfileIndex": 0,
        "exporter": f"kulvo {profile.metadata.kulvo_version}",
    }


def render(profile: Profile, options: RenderOptions) -> str:
    return json.dumps(to_document(profile), separators=(",", ":")) + "\n"


FORMAT = ReportFormat(name="speedscope", suffixes=(".speedscope.json",), render=render)
