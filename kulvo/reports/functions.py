"""Sampled time by function and by line: self time (it was executing) beside inclusive time (it
was on the stack). A function or line counts once per sample however deep a recursion goes, so
no share is above 100 %.

Samples taken while the main thread waited (asleep, in a blocking call) count as time spent
where it waited, unless the reader leaves waiting out: the shares are then of working time.
"""

from __future__ import annotations

from collections import Counter
from collections.abc import Iterable
from dataclasses import dataclass

from kulvo.model import Frame, Profile, Sample

FunctionKey = tuple[str, str]  # (file, function)


@dataclass(frozen=True)
class FunctionTime:
    file: str
    function: str
    line: int  # where most of its self time went (else its inclusive time)
    self_us: int
    total_us: int

    @property
    def frame(self) -> Frame:
        return Frame(self.file, self.function, self.line)


@dataclass(frozen=True)
class LineTime:
    frame: Frame
    self_us: int
    total_us: int


@dataclass(frozen=True)
class TimeShares:
    """Where the sampled time went. Shares are of `sampled_us`: the time of the samples that
    caught the profiled code, less the waiting ones when waiting is left out."""

    functions: tuple[FunctionTime, ...]  # most self time first, then most inclusive time
    lines: tuple[LineTime, ...]  # lines that were executing, most self time first
    sampled_us: int
    waiting_us: int  # of every sample, with a stack or not
    run_us: int  # the time of every sample
    waiting_left_out: bool

    def percent(self, time_us: int) -> float:
        return 100.0 * time_us / self.sampled_us if self.sampled_us else 0.0

    @property
    def waiting_percent(self) -> float:
        return 100.0 * self.waiting_us / self.run_us if self.run_us else 0.0


def _ranked(times: Counter[Frame]) -> list[tuple[Frame, int]]:
    return sorted(times.items(), key=lambda item: (-item[1], item[0].file, item[0].function, item[0].line))


def time_shares(
    profile: Profile, *, leave_out_waiting: bool = False, samples: Iterable[Sample] | None = None
) -> TimeShares:
    """Self and inclusive time by function of `samples` (all of the profile's by default)."""
    self_by_line: Counter[Frame] = Counter()
    total_by_line: Counter[Frame] = Counter()
    total_by_function: Counter[FunctionKey] = Counter()
    sampled_us = waiting_us = run_us = 0
    for sample in profile.samples if samples is None else samples:
        weight_us = profile.weight_us(sample)
        run_us += weight_us
        if sample.main_thread_waiting:
            waiting_us += weight_us
            if leave_out_waiting:
                continue
        if not sample.stack:
            continue
        sampled_us += weight_us
        self_by_line[sample.stack[-1]] += weight_us
        for frame in set(sample.stack):
            total_by_line[frame] += weight_us
        for key in {(frame.file, frame.function) for frame in sample.stack}:
            total_by_function[key] += weight_us

    self_by_function: Counter[FunctionKey] = Counter()
    line_of: dict[FunctionKey, int] = {}
    # Ranked lines come most time first, so the first line seen of a function is its busiest.
    for frame, time_us in _ranked(self_by_line):
        self_by_function[(frame.file, frame.function)] += time_us
        line_of.setdefault((frame.file, frame.function), frame.line)
    for frame, _ in _ranked(total_by_line):
        line_of.setdefault((frame.file, frame.function), frame.line)

    functions = sorted(
        (
            FunctionTime(file, function, line_of[(file, function)], self_by_function[(file, function)], total_us)
            for (file, function), total_us in total_by_function.items()
        ),
        key=lambda f: (-f.self_us, -f.total_us, f.file, f.function),
    )
    return TimeShares(
        functions=tuple(functions),
        lines=tuple(LineTime(frame, time_us, total_by_line[frame]) for frame, time_us in _ranked(self_by_line)),
        sampled_us=sampled_us,
        waiting_us=waiting_us,
        run_us=run_us,
        waiting_left_out=leave_out_waiting,
    )
