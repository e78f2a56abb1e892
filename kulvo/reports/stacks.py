"""Sampled stacks folded for the flame graph views."""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass, field

from kulvo.model import Frame, Profile, Stack


def stack_times(profile: Profile) -> Counter[Stack]:
    """The sampled time, in microseconds, of each distinct stack."""
    times: Counter[Stack] = Counter()
    for stack, time_us, _ in profile.stack_totals:
        times[stack] += time_us
    return times


@dataclass
class FlameNode:
    frame: Frame | None  # None for the root
    time_us: int = 0
    children: dict[Frame, FlameNode] = field(default_factory=dict)

    def child(self, frame: Frame) -> FlameNode:
        node = self.children.get(frame)
        if node is None:
            node = self.children[frame] = FlameNode(frame)
        return node


def flame_tree(profile: Profile) -> FlameNode:
    """The call tree of the sampled stacks, each node holding the sampled time that passes it."""
    root = FlameNode(None)
    for stack, time_us in stack_times(profile).items():
        root.time_us += time_us
        node = root
        for frame in stack:
            node = node.child(frame)
            node.time_us += time_us
    return root
