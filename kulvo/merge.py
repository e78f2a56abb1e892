"""Profiles of several processes as one: a child process that profiled itself beside its parent
(`kulvo run --subprocesses`), or the workers of one program on several machines (`kulvo merge`).

Each process's stacks start at a frame naming it (its command line and id), on one timeline that
begins with the first profile's start. The CPU and memory readings, spikes and snapshots are the
first profile's: readings of different processes at one moment are not one process's figure. The
other processes' samples count as other threads' do: a worker's waiting is its own share, not
the program's. Their notes follow the first profile's, each marked with its processes.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Sequence
from datetime import datetime

from kulvo.core_result import rank_hot_paths
from kulvo.model import Frame, Profile, Sample, SampleColumns
from kulvo.reports.units import location, program_command
from kulvo.samples import PROCESS_ROOT_FILE


def process_root(profile: Profile, index: int) -> Frame:
    """The frame that names the process of `profile`, the `index`-th of the merge."""
    pid = profile.metadata.pid
    return Frame(PROCESS_ROOT_FILE, program_command(profile.metadata.argv), pid if pid is not None else index + 1)


def _start_ms(profile: Profile) -> float:
    try:
        return datetime.fromisoformat(profile.metadata.start_time).timestamp() * 1000
    except ValueError:
        return 0.0


def merge(profiles: Sequence[Profile], notes: Sequence[str] = ()) -> Profile:
    """One profile of `profiles`, the first one's readings kept (see the module's description)."""
    if not profiles:
        raise ValueError("nothing to merge")
    first = profiles[0]
    origin_ms = _start_ms(first)
    samples: list[Sample] = []
    end_ms = first.end_ms
    # The other processes' own notes (a share unobserved, a signal blocked), each once, under
    # the processes that gave it: without them a worker's missing samples are unexplained.
    process_notes: dict[str, list[str]] = {}
    for index, profile in enumerate(profiles):
        root = process_root(profile, index)
        for note in profile.metadata.notes if index else ():
            process_notes.setdefault(note, []).append(f"{root.function} ({location(root.file, root.line)})")
        offset_ms = round(_start_ms(profile) - origin_ms) if index else 0
        end_ms = max(end_ms, offset_ms + profile.end_ms)
        for sample in profile.samples:
            samples.append(
                Sample(
                    timestamp_ms=max(0, sample.timestamp_ms + offset_ms),
                    cpu_percent=sample.cpu_percent if index == 0 else None,
                    rss_bytes=sample.rss_bytes if index == 0 else None,
                    stack=(root, *sample.stack) if sample.stack else None,
                    weight_us=sample.weight_us or profile.metadata.interval_ms * 1000,
                    main_thread_waiting=sample.main_thread_waiting,
                    other_thread=sample.other_thread or index > 0,
                )
            )
    samples.sort(key=lambda sample: sample.timestamp_ms)  # stable: each moment's rows stay together
    columns = SampleColumns.from_samples(samples)
    merged = dataclasses.replace(
        first,
        metadata=dataclasses.replace(
            first.metadata,
            notes=(
                *first.metadata.notes,
                *notes,
                *(f"{', '.join(names)}: {note}" for note, names in process_notes.items()),
            ),
        ),
        sample_count=sum(profile.sample_count for profile in profiles),
        wall_time_ms=end_ms,
        samples=columns,
        hot_paths=(),
    )
    totals = columns.path_totals(first.metadata.interval_ms * 1000)
    return dataclasses.replace(merged, hot_paths=tuple(rank_hot_paths(columns.paths, totals, first.metadata.top_n)))
