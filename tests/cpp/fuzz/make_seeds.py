"""Writes the fuzz targets' seed corpora: a few inputs that reach the interesting
paths at once (spikes of both kinds, equal timestamps, failed readings, recursion,
a ring that wraps, line tables of both formats). Rerun after changing an input layout:

    python3 tests/cpp/fuzz/make_seeds.py
"""

from __future__ import annotations

import math
import struct
from pathlib import Path

HERE = Path(__file__).resolve().parent
MIB = 1 << 20


def plain_sample(ts: int, cpu: float | None, rss_bytes: int, depth: int = 0, seed: int = 0) -> bytes:
    cpu_code = 0xFFFF if cpu is None else min(int(cpu * 64), 0xFFFE)
    return struct.pack("<HHHBB", ts, cpu_code, rss_bytes // 65536, depth, seed)


def raw_sample(ts: int, cpu: float, rss_bytes: int, depth: int = 0, seed: int = 0) -> bytes:
    return struct.pack("<QdQBB", ts, cpu, rss_bytes, depth, seed)


def analysis(top_n: int, samples: list[bytes], raw: bool = False) -> bytes:
    return bytes([top_n, 1 if raw else 0]) + b"".join(samples)


def analysis_seeds() -> dict[str, bytes]:
    flat_then_cpu_spike = [plain_sample(50 * i, 10.0 + i % 3, 100 * MIB, 3, i) for i in range(1, 21)]
    for i in (11, 12, 13):
        flat_then_cpu_spike[i - 1] = plain_sample(50 * i, 40.0 + i, 100 * MIB, 5, i)
    memory_ramp = [plain_sample(20 * i, 5.0, (100 + (30 if i > 12 else 0) + i) * MIB, 4, 7) for i in range(24)]
    equal_timestamps = [plain_sample(7, 80.0 if i % 2 else 1.0, (50 + 40 * (i % 2)) * MIB, 2, i) for i in range(12)]
    failed_readings = [
        plain_sample(10 * i, None if i % 4 == 0 else 20.0, 0 if i % 5 == 0 else 64 * MIB) for i in range(30)
    ]
    recursion = [plain_sample(5 * i, 12.0, 80 * MIB, 15, 3 * i) for i in range(16)]
    raw_extremes = [
        raw_sample(0, 0.0, 1, 1, 0),
        raw_sample(1, math.nan, 2**63, 2, 1),
        raw_sample(2**62, 1e300, 2**64 - 1, 3, 2),
        raw_sample(2**64 - 1, -1.0, 0, 0, 3),
    ]
    return {
        "cpu_spike": analysis(5, flat_then_cpu_spike),
        "memory_ramp": analysis(20, memory_ramp),
        "equal_timestamps": analysis(0, equal_timestamps),
        "failed_readings": analysis(3, failed_readings),
        "recursion_unlimited_top_n": analysis(255, recursion),
        "raw_extremes": analysis(2, raw_extremes, raw=True),
    }


def ringbuf_seeds() -> dict[str, bytes]:
    def ring(capacity: int, ops: list[int]) -> bytes:
        return struct.pack("<H", capacity - 1) + bytes(ops)

    return {
        "capacity_one": ring(1, [0, 0, 2, 0, 2, 2]),
        "wrap_then_drain": ring(3, [0] * 5 + [2] + [1] * 2 + [2]),
        "bursts": ring(7, [(40 << 2) | 3, 2, (63 << 2) | 3, 0, 2]),
        "drain_empty": ring(16, [2, 2, 0, 2]),
        "large_capacity": ring(1024, [(63 << 2) | 3] * 20 + [2]),
    }


def line_table_seeds() -> dict[str, bytes]:
    def table(locations: bool, first_line: int, data: bytes) -> bytes:
        return bytes([1 if locations else 0]) + struct.pack("<i", first_line) + data

    # 3.11's table for a function with a try/finally, a comprehension and a call over lines.
    real = bytes.fromhex(
        "f88000f002060512d80c25d00c25d00c25d00c259d45a02199489c48d00c25d10c25d40c258801d80b0cf000010933dd1316907191369436"
        "ad43b001a946ac46d11332e5080dd80c0d8871f103010912f400010912f000010912f000010912f007010933f50600090ed80c0d8871f103"
        "010912f400010912f000010912f000010912f88d05d80c0d8871f103010912f400010912f000010912f000010912f8f8f8e00b0f8834"
    )
    return {
        "locations": table(True, 2, real),
        "locations_long_form_extremes": table(
            True, 2**31 - 2, bytes([0xF0, 0x7E, 0x7F, 0x7F, 0x7F, 0x00, 0x00, 0xE8, 0x7F])
        ),
        "start_line_pairs": table(False, 10, bytes([6, 1, 8, 2, 0, 0x80, 4, 0xFF, 255, 3])),
        "start_line_pairs_overflow": table(False, -(2**31), bytes([2, 0x80, 2, 0x81, 2, 0x7F])),
    }


def write(directory: Path, seeds: dict[str, bytes]) -> None:
    directory.mkdir(parents=True, exist_ok=True)
    for name, data in seeds.items():
        (directory / name).write_bytes(data)


if __name__ == "__main__":
    write(HERE / "corpus" / "analysis", analysis_seeds())
    write(HERE / "corpus" / "ringbuf", ringbuf_seeds())
    write(HERE / "corpus" / "line_table", line_table_seeds())
