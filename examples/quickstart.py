"""A small program with a quiet start, a CPU-heavy stretch and a large allocation."""

import time

import kulvo


def quiet(seconds: float) -> None:
    time.sleep(seconds)


def crunch(seconds: float) -> int:
    total = 0
    deadline = time.perf_counter() + seconds
    while time.perf_counter() < deadline:
        total += sum(i * i for i in range(1000))
    return total


def grow() -> list[bytes]:
    # Filled, not zeroed: untouched zero pages would not count as resident.
    return [b"x" * (1024 * 1024) for _ in range(64)]


def main() -> None:
    sampler = kulvo.PySampler(interval_ms=10)
    sampler.start()
    quiet(0.4)
    crunch(0.6)
    blocks = grow()
    quiet(0.2)
    result = sampler.stop()
    del blocks
    print(f"{result['sample_count']} samples over {result['wall_time_ms']} ms")
    for event in result["spike_events"]:
        print(f"{event['kind']} spike {event['start_ms']}-{event['end_ms']} ms, peak {event['peak_value']:.1f}")
    for hot in result["hot_paths"][:5]:
        print(f"{hot['percent']:5.1f}%  {hot['function']} ({hot['file']}:{hot['line']})")


if __name__ == "__main__":
    main()
