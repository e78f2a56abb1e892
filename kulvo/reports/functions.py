"""Sampled time by function and by line: self time (it was executing) beside inclusive time (it
was on the stack). A function or line counts once per sample however deep a recursion goes, so
no share is above 100 %.

Samples taken while the main thread waited (asleep, in a blocking call) count as time spent
where it waited, unless the reader leaves waiting out: the shares are then of working time. A
wait while another thread or process of the profile worked is that one's time, not the wait's.
"""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass

from kulvo.model import Frame, Profile, SampleColumns
from kulvo.reports.names import qualified_name
from kulvo.samples import PROCESS_ROOT_FILE, THREAD_ROOT_FILE, root_count

# (file, function, qualified name): methods of different classes that share a name (every
# `__init__` of a file) are different functions.
FunctionKey = tuple[str, str, str]


def _function_key(frame: Frame) -> FunctionKey:
    return frame.file, frame.function, qualified_name(frame.file, frame.function, frame.line)


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
class ThreadTime:
    """A thread's (or a process's) sampled time, in a profile of several: its root frame names it."""

    root: Frame
    time_us: int  # in the shares
    waiting_us: int = 0  # of all its samples, in the shares or not
    sampled_us: int = 0

    @property
    def waiting_percent(self) -> float:
        return 100.0 * self.waiting_us / self.sampled_us if self.sampled_us else 0.0

    @property
    def name(self) -> str:
        return self.root.function


@dataclass(frozen=True)
class TimeShares:
    """Where the sampled time went. Shares are of `sampled_us`: the time of the samples that
    caught the profiled code, less the waiting ones when waiting is left out."""

    functions: tuple[FunctionTime, ...]  # most self time first, then most inclusive time
    lines: tuple[LineTime, ...]  # lines that were executing, most self time first
    sampled_us: int
    waiting_us: int  # the main thread's, with a stack or not
    run_us: int  # the time of every sample
    waiting_left_out: bool
    main_run_us: int = 0  # the time of the main thread's samples
    # The main thread's waiting left out because another thread or process worked meanwhile.
    waiting_while_others_worked_us: int = 0
    threads: tuple[ThreadTime, ...] = ()  # with several threads: each one, most time in the shares first
    processes: tuple[ThreadTime, ...] = ()  # with several processes: each one, alike

    def percent(self, time_us: int) -> float:
        return 100.0 * time_us / self.sampled_us if self.sampled_us else 0.0

    @property
    def others(self) -> str:
        """What else in the profile works while the main thread waits, as notes name it."""
        return "other threads or processes" if self.processes else "other threads"

    @property
    def waiting_percent(self) -> float:
        """The main thread's waiting, of its own time: only the main thread's waiting is sampled."""
        return 100.0 * self.waiting_us / self.main_run_us if self.main_run_us else 0.0


def _root_times(
    file: str, shared_us: Counter[Frame], sampled_us: Counter[Frame], waiting_us: Counter[Frame]
) -> tuple[ThreadTime, ...]:
    roots = sorted((root for root in sampled_us if root.file == file), key=lambda root: (-shared_us[root], root.line))
    return tuple(ThreadTime(root, shared_us[root], waiting_us[root], sampled_us[root]) for root in roots)


def _ranked(times: Counter[Frame]) -> list[tuple[Frame, int]]:
    return sorted(times.items(), key=lambda item: (-item[1], item[0].file, item[0].function, item[0].line))


def time_shares(
    profile: Profile,
    *,
    leave_out_waiting: bool = False,
    idle_threads: bool = False,
    samples: SampleColumns | None = None,
) -> TimeShares:
    """Self and inclusive time by function of `samples` (all of the profile's by default). The
    other threads' waiting, and the main thread's while they worked, count only with
    `idle_threads`: a pool's idle workers would drown the work, and its main thread's wait too."""
    columns = profile.columns if samples is None else samples
    interval_us = profile.metadata.interval_ms * 1000
    # Summed per distinct stack first: a stack's frames are then walked once, not once per sample.
    grouped: Counter[tuple[int, bool, bool]] = Counter()
    counted: Counter[tuple[int, bool, bool]] = Counter()
    rows = zip(
        columns.stack_ids,
        columns.weight_us,
        columns.counted_weights_us(interval_us),
        columns.main_thread_waiting,
        columns.other_thread,
    )
    for stack_id, weight_us, counted_us, waiting, other in rows:
        grouped[(stack_id, waiting, other)] += weight_us or interval_us
        counted[(stack_id, waiting, other)] += counted_us

    self_by_line: Counter[Frame] = Counter()
    total_by_line: Counter[Frame] = Counter()
    total_by_function: Counter[FunctionKey] = Counter()
    by_root: Counter[Frame] = Counter()
    root_sampled: Counter[Frame] = Counter()
    root_waiting: Counter[Frame] = Counter()
    sampled_us = waiting_us = run_us = main_run_us = waiting_while_others_worked_us = 0
    for (stack_id, waiting, other), weight_us in grouped.items():
        stack = columns.paths.stack(stack_id) or ()
        # A process's and a thread's frames are not code: each has a share of its own.
        roots = stack[: root_count(stack)]
        stack = stack[len(roots) :]
        for root in roots:
            root_sampled[root] += weight_us
            root_waiting[root] += weight_us if waiting else 0
        if other and waiting and not idle_threads:
            continue
        run_us += weight_us
        main_run_us += 0 if other else weight_us
        if waiting:
            waiting_us += 0 if other else weight_us
            if leave_out_waiting:
                continue
            if not idle_threads and not other:
                waiting_while_others_worked_us += weight_us - counted[(stack_id, waiting, other)]
                weight_us = counted[(stack_id, waiting, other)]
                if not weight_us:
                    continue
        for root in roots:
            by_root[root] += weight_us
        if not stack:
            continue
        sampled_us += weight_us
        self_by_line[stack[-1]] += weight_us
        for frame in set(stack):
            total_by_line[frame] += weight_us
        for key in {_function_key(frame) for frame in stack}:
            total_by_function[key] += weight_us

    self_by_function: Counter[FunctionKey] = Counter()
    line_of: dict[FunctionKey, int] = {}
    # Ranked lines come most time first, so the first line seen of a function is its busiest.
    for frame, time_us in _ranked(self_by_line):
        self_by_function[_function_key(frame)] += time_us
        line_of.setdefault(_function_key(frame), frame.line)
    for frame, _ in _ranked(total_by_line):
        line_of.setdefault(_function_key(frame), frame.line)

    functions = sorted(
        (
            FunctionTime(key[0], key[1], line_of[key], self_by_function[key], total_us)
            for key, total_us in total_by_function.items()
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
        main_run_us=main_run_us,
        waiting_while_others_worked_us=waiting_while_others_worked_us,
        threads=_root_times(THREAD_ROOT_FILE, by_root, root_sampled, root_waiting),
        processes=_root_times(PROCESS_ROOT_FILE, by_root, root_sampled, root_waiting),
    )
