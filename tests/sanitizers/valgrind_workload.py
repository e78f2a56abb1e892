"""A short profiled program for the memcheck run: 1 ms sampling across nested calls,
a memory spike, a CPU-bound stretch, then stop() and a walk over the whole result."""

import sys
import time

from kulvo._core import PySampler


def leaf(n: int) -> int:
    return sum(i * i for i in range(n))


def middle(depth: int) -> int:
    if depth:
        return middle(depth - 1)
    return leaf(2000)


def outer(rounds: int) -> int:
    return sum(middle(8) for _ in range(rounds))


def main() -> None:
    # Memcheck runs one thread at a time: a short switch interval lets the sampler take
    # the interpreter lock while the main thread computes, so samples have deep stacks.
    sys.setswitchinterval(0.001)
    sampler = PySampler(interval_ms=1, top_n=5)
    sampler.start()
    sampler.start()  # a second start is a no-op
    time.sleep(0.02)  # a quiet baseline
    outer(40)
    spike = bytearray(48 * 1024 * 1024)  # touched page by page: a real rise of the peak
    spike[::4096] = b"x" * len(spike[::4096])
    time.sleep(0.02)
    flag = sampler.mem_spike_flag()
    sampler.notify_snapshot_taken()
    outer(20)
    result = sampler.stop()
    del spike
    samples = result["samples"]
    assert result["sample_count"] == len(samples) > 0, result["sample_count"]
    frames = sum(len(sample["stack"] or ()) for sample in samples)
    names = {frame["function"] for sample in samples for frame in sample["stack"] or ()}
    assert {"outer", "middle"} <= names, f"no nested frame was sampled: {sorted(names)}"
    print(
        f"samples={len(samples)} frames={frames} spikes={len(result['spike_events'])} "
        f"hot_paths={len(result['hot_paths'])} mem_flag={flag} functions={sorted(names)}"
    )
    # A released running sampler: its thread is detached and must still end cleanly.
    released = PySampler(interval_ms=1)
    released.start()
    outer(5)
    del released


if __name__ == "__main__":
    main()
