"""The profile result of stop(): its shape, and its analysis checked against a plain-Python oracle."""

import json
import math
import time

import pytest
from support import run_python

from kulvo._core import PySampler

MIB = 1024 * 1024


def oracle_spikes(samples: list[dict]) -> list[dict]:
    """Spike detection written out plainly: the first quarter's statistics, then maximal runs."""
    if not samples:
        return []
    cutoff = int(samples[-1]["timestamp_ms"] * 0.25)
    window = [s for s in samples if s["timestamp_ms"] <= cutoff]
    if len(window) < 5:
        window = samples

    def threshold(values: list[float], margin: float) -> float:
        # Welford's running update, in the same order of operations as the engine,
        # so that thresholds agree to the last bit.
        count, mean, m2 = 0, 0.0, 0.0
        for x in values:
            count += 1
            delta = x - mean
            mean += delta / count
            m2 += (x - mean) * delta
        sd = math.sqrt(m2 / (count - 1)) if count > 1 else 0.0
        return max(mean + 2.0 * sd, mean + margin, 0.0)

    kinds = [
        ("cpu", threshold([s["cpu_percent"] for s in window if s["cpu_percent"] >= 0.0], 15.0), "cpu_percent"),
        ("memory", threshold([float(s["rss_bytes"]) for s in window if s["rss_bytes"]], 5 * MIB), "rss_bytes"),
    ]
    events = []
    for kind, limit, key in kinds:
        run = None
        for s in samples + [None]:
            value = float(s[key]) if s else -math.inf
            if value > limit:
                if run is None:
                    run = {
                        "kind": kind,
                        "start_ms": s["timestamp_ms"],
                        "end_ms": s["timestamp_ms"],
                        "peak_value": value,
                        "threshold": limit,
                        "peak_stack": s["stack"],
                    }
                else:
                    run["end_ms"] = s["timestamp_ms"]
                    if value > run["peak_value"]:
                        run["peak_value"], run["peak_stack"] = value, s["stack"]
            elif run is not None:
                events.append(run)
                run = None
    return sorted(events, key=lambda e: e["start_ms"])


def oracle_hot_paths(samples: list[dict], top_n: int) -> list[dict]:
    counts: dict[tuple, int] = {}
    stacked = [s for s in samples if s["stack"] is not None]
    for s in stacked:
        for f in s["stack"]:
            key = (f["file"], f["function"], f["line"])
            counts[key] = counts.get(key, 0) + 1
    ranked = sorted(counts.items(), key=lambda item: (-item[1], item[0]))[:top_n]
    return [
        {"file": k[0], "function": k[1], "line": k[2], "count": n, "percent": n / len(stacked) * 100.0}
        for k, n in ranked
    ]


@pytest.fixture(scope="module")
def spiky_run() -> dict:
    """A quiet start, then a busy stretch, then a 96 MiB allocation, in a fresh process
    (the memory figure is the peak resident size, which earlier tests may have raised)."""
    done = run_python(
        """
        import json, time
        from kulvo._core import PySampler

        def busy(seconds):
            deadline = time.perf_counter() + seconds
            while time.perf_counter() < deadline:
                pass

        sampler = PySampler(interval_ms=20, top_n=5)
        sampler.start()
        time.sleep(0.6)
        busy(0.5)
        block = bytearray(b"x" * (96 * 1024 * 1024))
        time.sleep(0.4)
        print(json.dumps(sampler.stop()))
        """
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


class TestShape:
    def test_keys_in_order_and_types(self, spiky_run):
        assert list(spiky_run) == ["sample_count", "wall_time_ms", "samples", "spike_events", "hot_paths"]
        assert type(spiky_run["sample_count"]) is int and type(spiky_run["wall_time_ms"]) is int
        assert spiky_run["sample_count"] == len(spiky_run["samples"]) > 50
        for sample in spiky_run["samples"]:
            assert list(sample) == ["timestamp_ms", "cpu_percent", "rss_bytes", "stack"]
            assert [type(v) for v in list(sample.values())[:3]] == [int, float, int]
            assert sample["stack"] is None or type(sample["stack"]) is list
            for frame in sample["stack"] or []:
                assert list(frame) == ["file", "function", "line"]
                assert [type(v) for v in frame.values()] == [str, str, int]
        for event in spiky_run["spike_events"]:
            assert list(event) == ["kind", "start_ms", "end_ms", "peak_value", "threshold", "peak_stack"]
            assert event["kind"] in ("cpu", "memory")
            assert [type(event[k]) for k in ("start_ms", "end_ms", "peak_value", "threshold")] == [
                int,
                int,
                float,
                float,
            ]
        for hot in spiky_run["hot_paths"]:
            assert list(hot) == ["file", "function", "line", "count", "percent"]
            assert [type(v) for v in hot.values()] == [str, str, int, int, float]

    def test_no_two_places_share_an_object(self, spiky_run):
        seen = set()
        for event in spiky_run["spike_events"]:
            if event["peak_stack"] is not None:
                seen.add(id(event["peak_stack"]))
                seen.update(id(frame) for frame in event["peak_stack"])
        for sample in spiky_run["samples"]:
            for frame in sample["stack"] or []:
                assert id(frame) not in seen

    def test_stop_without_start(self):
        sampler = PySampler()
        time.sleep(0.05)
        result = sampler.stop()
        assert result == {
            "sample_count": 0,
            "wall_time_ms": result["wall_time_ms"],
            "samples": [],
            "spike_events": [],
            "hot_paths": [],
        }
        assert result["wall_time_ms"] >= 50

    def test_stop_leaves_the_garbage_collector_as_it_found_it(self):
        import gc

        for enabled in (True, False):
            (gc.enable if enabled else gc.disable)()
            sampler = PySampler(interval_ms=1)
            sampler.start()
            time.sleep(0.02)
            sampler.stop()
            assert gc.isenabled() is enabled
        gc.enable()

    def test_a_second_stop_raises(self):
        sampler = PySampler(interval_ms=1)
        sampler.start()
        time.sleep(0.02)
        assert sampler.stop()["sample_count"] > 0
        with pytest.raises(RuntimeError, match="^PySampler has already been stopped$"):
            sampler.stop()


class TestAnalysis:
    def test_the_run_shows_a_cpu_and_a_memory_spike(self, spiky_run):
        kinds = [event["kind"] for event in spiky_run["spike_events"]]
        assert "cpu" in kinds and "memory" in kinds
        memory = [e for e in spiky_run["spike_events"] if e["kind"] == "memory"][-1]
        assert memory["peak_value"] - memory["threshold"] > 80 * MIB
        cpu = max(
            (e for e in spiky_run["spike_events"] if e["kind"] == "cpu"), key=lambda e: e["end_ms"] - e["start_ms"]
        )
        assert cpu["end_ms"] - cpu["start_ms"] >= 300
        inside = [s for s in spiky_run["samples"] if cpu["start_ms"] <= s["timestamp_ms"] <= cpu["end_ms"]]
        assert sum(s["stack"][-1]["function"] == "busy" for s in inside) >= 0.7 * len(inside)

    def test_spike_events_agree_with_a_recomputation_from_the_samples(self, spiky_run):
        assert spiky_run["spike_events"] == oracle_spikes(spiky_run["samples"])

    def test_hot_paths_agree_with_a_recomputation_from_the_samples(self, spiky_run):
        assert spiky_run["hot_paths"] == oracle_hot_paths(spiky_run["samples"], 5)

    def test_recursion_counts_every_occurrence(self):
        def recurse(n):
            if n:
                return recurse(n - 1)
            deadline = time.perf_counter() + 0.2
            while time.perf_counter() < deadline:
                pass

        sampler = PySampler(interval_ms=5, top_n=1000)
        sampler.start()
        recurse(3)
        result = sampler.stop()
        assert result["hot_paths"] == oracle_hot_paths(result["samples"], 1000)
        line = recurse.__code__.co_firstlineno + 2
        hot = [h for h in result["hot_paths"] if h["function"] == "recurse" and h["line"] == line]
        assert hot and hot[0]["percent"] > 200.0


@pytest.mark.slow
def test_allocation_failures_during_stop_never_crash_and_always_stop():
    # Fails one interpreter allocation at a time, at every point of the conversion.
    done = run_python(
        """
        import time, _testcapi
        from kulvo._core import PySampler
        outcomes = {"ok": 0, "panic": 0, "memory": 0}
        for k in range(1, 900, 3):
            sampler = PySampler(interval_ms=1)
            sampler.start()
            time.sleep(0.01)
            try:
                _testcapi.set_nomemory(k, k + 1)
                try:
                    result = sampler.stop()
                finally:
                    _testcapi.remove_mem_hooks()
                assert result["sample_count"] == len(result["samples"])
                outcomes["ok"] += 1
            except MemoryError:
                outcomes["memory"] += 1
            except BaseException as error:
                assert type(error).__name__ == "PanicException", repr(error)
                assert not isinstance(error, Exception)
                assert error.args == ("Python API call failed",)
                outcomes["panic"] += 1
            try:
                sampler.stop()
                raise AssertionError("a second stop() succeeded")
            except RuntimeError as error:
                assert str(error) == "PySampler has already been stopped"
        print(outcomes)
        """,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr[-3000:]
    outcomes = eval(done.stdout)
    assert outcomes["panic"] > 0 and outcomes["ok"] > 0
    assert "Python API call failed" in done.stderr
