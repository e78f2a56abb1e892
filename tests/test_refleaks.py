"""Reference and memory leaks of the core across many sampler life cycles.

A profiler that leaks one reference per sample grows its host by thousands of objects
a minute. Each check runs several rounds of identical work after a warm-up and judges
the smallest growth of any round: caches and free lists fill up once and then now and
then, but a leak grows every round by at least one object per sample (or per cycle).
"""

from __future__ import annotations

import gc
import sys
import time
from dataclasses import dataclass

import pytest
from support import ADDRESS_SANITIZER

from kulvo._core import PySampler

pytestmark = pytest.mark.slow

ROUNDS = 4
CYCLES_PER_ROUND = 40
PAGE = 4096


def leaf() -> None:
    time.sleep(0.0005)


def spin(seconds: float) -> int:
    total = 0
    deadline = time.perf_counter() + seconds
    while time.perf_counter() < deadline:
        total += 1
    return total


def nested(depth: int) -> None:
    """Quiet, then busy: deep stacks in every sample and, often, a CPU spike with a peak stack."""
    if depth:
        nested(depth - 1)
        return
    for _ in range(8):
        leaf()
    spin(0.004)


def one_cycle() -> int:
    sampler = PySampler(interval_ms=1)
    sampler.start()
    nested(6)
    result = sampler.stop()
    return result["sample_count"]


def one_long_run() -> int:
    sampler = PySampler(interval_ms=1)
    sampler.start()
    for _ in range(CYCLES_PER_ROUND):
        nested(6)
    result = sampler.stop()
    return result["sample_count"]


@dataclass
class Census:
    objects: int  # objects the cycle collector tracks
    blocks: int  # pymalloc blocks in use; always 0 under PYTHONMALLOC=malloc
    total_refs: int | None  # debug interpreters only
    refcounts: dict[str, int]  # of objects that every sample or every cycle touches
    vm_bytes: int
    rss_bytes: int


# Objects whose reference counts a capture or a conversion takes and must give back:
# the sampled functions' code objects and names, the class (each instance holds it),
# None (stands for a missing stack; not immortal before 3.12).
WATCHED = {
    "nested.__code__": nested.__code__,
    "leaf.__code__": leaf.__code__,
    "nested.__code__.co_filename": nested.__code__.co_filename,
    "nested.__code__.co_name": nested.__code__.co_name,
    "PySampler": PySampler,
    "None": None,
}


def census() -> Census:
    gc.collect()
    with open("/proc/self/statm") as statm:
        vm_pages, rss_pages = (int(field) for field in statm.read().split()[:2])
    return Census(
        objects=len(gc.get_objects()),
        blocks=sys.getallocatedblocks(),
        total_refs=sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None,
        refcounts={name: sys.getrefcount(obj) for name, obj in WATCHED.items()},
        vm_bytes=vm_pages * PAGE,
        rss_bytes=rss_pages * PAGE,
    )


@dataclass
class Round:
    samples: int
    cycles: int
    before: Census
    after: Census

    def growth(self, field: str) -> int:
        return getattr(self.after, field) - getattr(self.before, field)

    def refcount_growth(self, name: str) -> int:
        return self.after.refcounts[name] - self.before.refcounts[name]


def run_rounds(work, cycles: int) -> list[Round]:
    # The sampler takes the interpreter lock once per cycle: a short switch interval
    # lets it in during the busy part as well, so every round has plenty of samples.
    previous_interval = sys.getswitchinterval()
    sys.setswitchinterval(0.0005)
    try:
        for _ in range(cycles):  # warm-up: free lists, caches, interned names
            work()
        rounds = []
        for _ in range(ROUNDS):
            before = census()
            samples = sum(work() for _ in range(cycles))
            rounds.append(Round(samples, cycles, before, census()))
        return rounds
    finally:
        sys.setswitchinterval(previous_interval)


def assert_no_leak(rounds: list[Round], cycles_per_round: int) -> None:
    samples = min(r.samples for r in rounds)
    # Enough samples per round that one leaked object per sample stands far above the noise.
    assert samples >= 100, f"too few samples to judge: {[r.samples for r in rounds]}"
    per_sample_bound = samples // 2
    # With several cycles a round, a leak of one reference per cycle (one PySampler or
    # one result) is caught too; a single cycle's worth is within the noise.
    refcount_bound = cycles_per_round // 2 if cycles_per_round >= 4 else per_sample_bound
    smallest = min

    failures = []
    objects = smallest([r.growth("objects") for r in rounds])
    if objects >= per_sample_bound:
        failures.append(f"tracked objects grew by at least {objects} per round ({samples} samples)")
    if rounds[0].before.blocks:  # pymalloc in use
        blocks = smallest([r.growth("blocks") for r in rounds])
        if blocks >= per_sample_bound:
            failures.append(f"allocated blocks grew by at least {blocks} per round ({samples} samples)")
    if rounds[0].before.total_refs is not None:
        refs = smallest([r.growth("total_refs") for r in rounds])
        if refs >= per_sample_bound:
            failures.append(f"total reference count grew by at least {refs} per round ({samples} samples)")
    # An immortal object (None; from 3.14 sys._is_immortal says which) cannot leak, and a
    # wheel built with 3.13's headers counts its references on 3.14 without uncounting them.
    is_immortal = getattr(sys, "_is_immortal", lambda _: False)
    for name in (name for name, obj in WATCHED.items() if not is_immortal(obj)):
        grown = smallest([r.refcount_growth(name) for r in rounds])
        if grown >= refcount_bound:
            failures.append(f"sys.getrefcount({name}) grew by at least {grown} per round")
    if not ADDRESS_SANITIZER:  # its quarantine holds on to freed memory by design
        # Each sampler reserves its whole ring at once (several MiB of address space):
        # one sampler kept alive per cycle adds that much every time.
        vm = smallest([r.growth("vm_bytes") for r in rounds])
        if vm >= 64 * 1024 * 1024:
            failures.append(f"address space grew by at least {vm >> 20} MiB per round")
        rss = smallest([r.growth("rss_bytes") for r in rounds])
        if rss >= 16 * 1024 * 1024:
            failures.append(f"resident memory grew by at least {rss >> 20} MiB per round")
    assert not failures, "; ".join(failures)


def test_start_stop_cycles_leak_nothing():
    """Many samplers, each started, sampled and stopped, each result dropped."""
    assert_no_leak(run_rounds(one_cycle, CYCLES_PER_ROUND), CYCLES_PER_ROUND)


def test_long_runs_with_large_results_leak_nothing():
    """Few samplers with many samples each: the conversion of large results."""
    assert_no_leak(run_rounds(one_long_run, 1), 1)


def test_released_running_samplers_leak_nothing():
    """Samplers dropped while their thread runs: the release path detaches the thread,
    which must still free the ring and the flags it shares."""

    def release_running() -> int:
        sampler = PySampler(interval_ms=1)
        sampler.start()
        nested(3)
        del sampler
        return 0

    def settled_cycle() -> int:
        release_running()
        time.sleep(0.003)  # the detached thread sees the stop request within one interval
        return one_cycle()

    assert_no_leak(run_rounds(settled_cycle, CYCLES_PER_ROUND // 2), CYCLES_PER_ROUND // 2)
