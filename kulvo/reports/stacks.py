"""Sampled stacks folded for the flame graph views."""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass, field

from kulvo.model import Frame, Profile, Stack


def stack_counts(profile: Profile) -> Counter[Stack]:
    """How many samples caught each distinct stack."""
    return Counter(s.stack for s in profile.samples if s.stack)


@dataclass
class FlameNode:
    frame: Frame | None  # None for the root
    samples: int = 0
    children: dict[Frame, FlameNode] = field(default_factory=dict)

    def child(self, frame: Frame) -> FlameNode:
        node = self.children.get(frame)
        if node is None:
            node = self.children[frame] = FlameNode(frame)
        return node


def flame_tree(profile: Profile) -> FlameNode:
    """The call tree of the sampled stacks, each node counting the samples that pass it."""
    root = FlameNode(None)
    for stack, count in stack_counts(profile).items():
        root.samples += count
        node = root
        for frame in stack:
            node = node.child(frame)
            node.samples += count
    return root
