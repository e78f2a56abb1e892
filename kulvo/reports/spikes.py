"""The spikes a person would call spikes, and what ran during each.

The core reports every run of samples above its threshold, with the stack of its peak sample.
On a flat load, one noisy CPU reading makes a spike of no length, and at a short interval a
couple of readings make one of a millisecond; those are left out of the reports. A CPU
spike's peak stack is the one sampled at its peak reading, which covers the interval before
it and may already show the program at rest; what ran is the stacks sampled inside the spike,
by time.
"""

from __future__ import annotations

from dataclasses import dataclass

from kulvo.model import Profile, SpikeEvent
from kulvo.reports.functions import TimeShares, time_shares

MIN_CPU_SPIKE_MS = 10


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


def is_noise(profile: Profile, event: SpikeEvent) -> bool:
    """A CPU spike of a single sample, or shorter than a person would notice."""
    return event.kind == "cpu" and event.duration_ms < max(profile.metadata.interval_ms, MIN_CPU_SPIKE_MS)


def spikes(profile: Profile) -> Spikes:
    shown = []
    for event in profile.spike_events:
        if is_noise(profile, event):
            continue
        during = None
        if event.kind == "cpu":
            inside = [s for s in profile.samples if event.start_ms <= s.timestamp_ms <= event.end_ms]
            during = time_shares(profile, samples=inside)
        shown.append(Spike(event, during))
    return Spikes(tuple(shown), len(profile.spike_events) - len(shown))
