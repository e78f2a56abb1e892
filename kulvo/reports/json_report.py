"""The json format: the whole profile as the versioned document that `kulvo.load` reads."""

from __future__ import annotations

from kulvo import storage
from kulvo.model import Profile
from kulvo.reports.report_format import RenderOptions, ReportFormat


def render(profile: Profile, options: RenderOptions) -> str:
    return storage.dumps(profile)


FORMAT = ReportFormat(name="json", suffixes=(".json",), render=render)
