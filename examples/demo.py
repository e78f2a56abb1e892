"""A small program to try `kulvo run` on: a quiet start, a CPU-heavy stretch with one clear hot
path, then a burst of memory.

    kulvo run examples/demo.py
    kulvo run --memory -o report.html examples/demo.py
"""

import time


def wait_for_work(seconds: float) -> None:
    time.sleep(seconds)


def checksum(block: bytes) -> int:
    # The hot path: a byte-at-a-time loop that Python runs slowly.
    total = 0
    for byte in block:
        total = (total * 31 + byte) & 0xFFFFFFFF
    return total


def crunch(seconds: float) -> int:
    block = bytes(range(256)) * 16
    rounds = 0
    deadline = time.perf_counter() + seconds
    while time.perf_counter() < deadline:
        checksum(block)
        rounds += 1
    return rounds


def build_cache(megabytes: int) -> list[bytes]:
    # Filled, not zeroed: untouched zero pages would not count as resident memory.
    return [b"k" * (1024 * 1024) for _ in range(megabytes)]


def main() -> None:
    wait_for_work(0.8)
    rounds = crunch(0.8)
    wait_for_work(0.3)
    cache = build_cache(96)
    wait_for_work(0.3)
    print(f"{rounds} checksum rounds, cache of {len(cache)} MiB")


if __name__ == "__main__":
    main()
