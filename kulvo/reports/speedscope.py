"""A sampled profile in speedscope's file format.

Each sample weighs the time it stands for: its slot of the interval, and the slots that a
capture held up by a long call ran through, so that such a call counts for its length.
"""

from __future__ import annotations

import json
from typing import Any

from kulvo.model import FrameTable, Profile
from kulvo.reports.report_format import RenderOptions, ReportFormat

SCHEMA_URL = "https://www.speedscope.app/file-format-schema.json"


def profile_name(profile: Profile) -> str:
    argv = profile.metadata.argv
    return " ".join(argv) if argv else "kulvo profile"


def to_document(profile: Profile) -> dict[str, Any]:
    table = FrameTable()
    samples: list[list[int]] = []
    weights: list[float] = []
    for stack, weight_us in profile.weighted_stacks:
        samples.append(table.indices(stack))
        weights.append(weight_us / 1000)

    name = profile_name(profile)
    frames = [{"name": f.function, "file": f.file, "line": f.line} for f in table.frames]
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
