"""A sampled profile in speedscope's file format.

Each sample weighs the time until the next sample (the interval for the last one), so a
sample the sampler took late does not make its stack look cheaper than it was.
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
    timeline = profile.samples
    for position, sample in enumerate(timeline):
        if not sample.stack:
            continue
        if position + 1 < len(timeline):
            weight = max(0, timeline[position + 1].timestamp_ms - sample.timestamp_ms)
        else:
            weight = profile.metadata.interval_ms
        samples.append(table.indices(sample.stack))
        weights.append(weight)

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
