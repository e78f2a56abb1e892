"""The spikes a person would call spikes, and what ran during each.

The core reports every run of samples above its threshold, with the stack of its peak sample.
On a flat load, one noisy CPU reading makes a spike of no length, and at a short interval a
couple of readings make one of a millisecond; those are left out of the reports. A single
reading is kept when it stands well clear of the run's usual load (a burst between two idle
samples). A CPU
spike's peak stack is the one sampled at its peak reading, which covers the interval before
it and may already show the program at rest; what ran is the stacks sampled inside the spike,
by time.
"""

from __future__ import annotations

import statistics
from dataclasses import dataclass

from kulvo.model import Profile, SpikeEvent
from kulvo.reports.functions import TimeShares, time_shares

MIN_CPU_SPIKE_MS = 10
# How far above the run's median CPU a spike of one sample must reach to be more than noise.
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


def is_noise(profile: Profile, event: SpikeEvent, median_cpu_percent: float) -> bool:
    """A CPU spike shorter than a person would notice, or a single reading within reach of the
    run's usual load. Each reading covers the interval before it."""
    if event.kind != "cpu":
        return False
    interval_ms = profile.metadata.interval_ms
    if event.duration_ms + interval_ms < MIN_CPU_SPIKE_MS:
        return True
    single = event.duration_ms < interval_ms
    return single and event.peak_value - median_cpu_percent < SINGLE_SAMPLE_MARGIN_PERCENT


def spikes(profile: Profile) -> Spikes:
    shown = []
    readings = profile.cpu_readings
    median_cpu_percent = statistics.median(readings) if readings else 0.0
    for event in profile.spike_events:
        if is_noise(profile, event, median_cpu_percent):
            continue
        during = None
        if event.kind == "cpu":
            inside = [s for s in profile.samples if event.start_ms <= s.timestamp_ms <= event.end_ms]
            during = time_shares(profile, samples=inside)
        shown.append(Spike(event, during))
    return Spikes(tuple(shown), len(profile.spike_events) - len(shown))
