"""The spikes a person would call spikes, and what ran during each.

The core reports every run of samples above its threshold, with the stack of its peak sample.
On a flat load, one noisy CPU reading makes a spike of no length, and at a short interval a
couple of readings make one of a millisecond; those are left out of the reports. A single
reading is kept when it covers at least half an interval (samples fall at random points of
their slots, and a reading over a millisecond or two is mostly rounding) and stands well clear
of the readings on both sides of it (a burst between two idle samples), not when the load
around it merely wavers. A CPU
spike's peak stack is the one sampled at its peak reading, which covers the interval before
it and may already show the program at rest; what ran is the stacks sampled inside the spike,
by time.
"""

from __future__ import annotations

import bisect
import math
from dataclasses import dataclass

from kulvo.model import Profile, SpikeEvent
from kulvo.reports.functions import TimeShares, time_shares

MIN_CPU_SPIKE_MS = 10
# How far above both neighbouring readings a spike of one sample must reach to be more than noise.
SINGLE_SAMPLE_MARGIN_PERCENT = 50.0


@dataclass(frozen=True)
class Spike:
    event: SpikeEvent
    during: TimeShares | None  # for a CPU spike: the time of the stacks sampled inside it


@dataclass(frozen=True)
class Spikes:
    shown: tuple[Spike, ...]
    left_out: int  # CPU spikes too short to tell from noise

    def count(self, kind: str) -> int:
        return sum(1 for spike in self.shown if spike.event.kind == kind)


def _neighbours(readings: list[tuple[int, float]], time_ms: int) -> list[tuple[int, float]]:
    """The (time, CPU) readings just before and just after `time_ms`."""
    at = bisect.bisect_left(readings, (time_ms, -math.inf))
    after = at + 1 if at < len(readings) and readings[at][0] == time_ms else at
    return readings[max(0, at - 1) : at] + readings[after : after + 1]


def is_noise(profile: Profile, event: SpikeEvent, readings: list[tuple[int, float]]) -> bool:
    """A CPU spike shorter than a person would notice, or a single reading within reach of its
    neighbours. Each reading covers the interval before it; `readings` are (time, CPU) in order."""
    if event.kind != "cpu":
        return False
    interval_ms = profile.metadata.interval_ms
    if event.duration_ms + interval_ms < MIN_CPU_SPIKE_MS:
        return True
    if event.duration_ms >= interval_ms:
        return False
    neighbours = _neighbours(readings, event.start_ms)
    before = [time_ms for time_ms, _ in neighbours if time_ms < event.start_ms]
    covered_ms = event.start_ms - before[0] if before else interval_ms
    clearance = event.peak_value - max((value for _, value in neighbours), default=0.0)
    return 2 * covered_ms < interval_ms or clearance < SINGLE_SAMPLE_MARGIN_PERCENT


def spikes(profile: Profile) -> Spikes:
    shown = []
    columns = profile.columns
    readings = sorted((t, cpu) for t, cpu in zip(columns.timestamp_ms, columns.cpu_percent) if cpu is not None)
    for event in profile.spike_events:
        if is_noise(profile, event, readings):
            continue
        during = None
        if event.kind == "cpu":
            inside = columns.where([event.start_ms <= t <= event.end_ms for t in columns.timestamp_ms])
            during = time_shares(profile, samples=inside)
        shown.append(Spike(event, during))
    return Spikes(tuple(shown), len(profile.spike_events) - len(shown))
