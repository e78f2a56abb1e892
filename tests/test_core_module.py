"""The module kulvo._core as Python sees it: attributes, class, constructor, access rules."""

import threading
import time
import weakref

import pytest
from support import run_python

import kulvo
import kulvo._core as core
from kulvo._core import PySampler


class TestModule:
    def test_version_and_exports(self):
        assert core.__version__ == "0.1.0-dev"
        assert core.__all__ == ["__version__", "PySampler"]
        assert core.__doc__ == "Kulvo profiler core extension module."
        assert kulvo.PySampler is PySampler

    def test_printed_by_the_documented_one_liner(self):
        done = run_python("import kulvo._core as c; print(c.__version__, c.__all__)")
        assert done.returncode == 0
        assert done.stdout == "0.1.0-dev ['__version__', 'PySampler']\n"

    def test_importing_again_gives_the_same_module(self):
        import importlib
        import sys

        assert importlib.import_module("kulvo._core") is core
        del sys.modules["kulvo._core"]
        try:
            assert importlib.import_module("kulvo._core").PySampler is PySampler
        finally:
            sys.modules["kulvo._core"] = core

    def test_no_module_level_functions(self):
        assert [name for name in vars(core) if callable(getattr(core, name)) and name != "PySampler"] == []


class TestClass:
    def test_names(self):
        assert PySampler.__module__ == "builtins"
        assert PySampler.__name__ == "PySampler"
        assert PySampler.__qualname__ == "PySampler"
        assert PySampler.__bases__ == (object,)

    def test_class_docstring_and_signature(self):
        assert PySampler.__text_signature__ == "(*, interval_ms=50, top_n=20)"
        lines = PySampler.__doc__.split("\n")
        assert "sampler" in lines[0]
        assert lines[1:] == [
            "",
            "Usage from Python::",
            "",
            "    s = kulvo._core.PySampler()",
            "    s.start()",
            "    # ... code under profiling ...",
            "    result = s.stop()   # returns a dict with all profiling data",
        ]

    def test_method_docstrings(self):
        assert PySampler.start.__doc__ == "Start the background sampling thread."
        assert PySampler.mem_spike_flag.__doc__ == (
            "Return `True` if a memory spike has been detected since the last\ncall to `notify_snapshot_taken()`."
        )
        assert PySampler.notify_snapshot_taken.__doc__ == (
            "Clear the memory spike flag after the Python watcher has taken a\ntracemalloc snapshot."
        )
        assert PySampler.is_running.__doc__ == "Return `True` if the sampler thread is currently running."
        assert PySampler.stop.__doc__ == "\n".join(
            [
                "Stop the sampler, run analysis, and return a profile-result dict.",
                "",
                "The returned dict contains:",
                "",
                "- ``sample_count`` \u2014 number of samples collected",
                "- ``wall_time_ms`` \u2014 wall-clock duration in milliseconds",
                "- ``samples`` \u2014 list of per-sample dicts",
                "- ``spike_events`` \u2014 list of detected spike dicts",
                "- ``hot_paths`` \u2014 list of top-N frame dicts",
                "",
                "Releases the GIL while joining the sampler thread to prevent",
                "deadlocks with the sampler's own brief GIL acquisitions (stack",
                "capture).",
            ]
        )
        for name in ("start", "stop", "mem_spike_flag", "notify_snapshot_taken", "is_running"):
            assert getattr(PySampler, name).__text_signature__ == "($self)"

    def test_methods_in_order(self):
        methods = [name for name in vars(PySampler) if not name.startswith("__")]
        assert methods == ["start", "stop", "mem_spike_flag", "notify_snapshot_taken", "is_running"]

    def test_no_instance_dict_and_no_weak_references(self):
        sampler = PySampler()
        with pytest.raises(AttributeError):
            sampler.anything = 1
        with pytest.raises(TypeError):
            weakref.ref(sampler)

    def test_methods_take_no_arguments(self):
        sampler = PySampler()
        with pytest.raises(TypeError):
            sampler.start(1)
        with pytest.raises(TypeError):
            sampler.is_running(x=1)


class TestConstructor:
    def test_defaults_build_an_idle_sampler(self):
        sampler = PySampler()
        assert sampler.is_running() is False
        assert sampler.mem_spike_flag() is False
        assert sampler.stop()["sample_count"] == 0

    @pytest.mark.parametrize("interval_ms", [1, 10000, True])
    def test_accepted_intervals(self, interval_ms):
        PySampler(interval_ms=interval_ms).stop()

    @pytest.mark.parametrize(
        "interval_ms, shown", [(0, "0"), (10001, "10001"), (False, "0"), (2**64 - 1, "18446744073709551615")]
    )
    def test_interval_outside_the_range(self, interval_ms, shown):
        with pytest.raises(ValueError) as raised:
            PySampler(interval_ms=interval_ms)
        assert str(raised.value) == f"interval_ms must be in [1, 10000], got {shown}"

    @pytest.mark.parametrize("value", [-1, 2**64])
    def test_out_of_range_integers_raise_the_interpreters_overflow_error(self, value):
        with pytest.raises(OverflowError):
            PySampler(interval_ms=value)
        with pytest.raises(OverflowError):
            PySampler(top_n=value)

    @pytest.mark.parametrize("value", [50.0, "50", None, [1]])
    def test_non_integers_are_refused_with_the_parameter_named(self, value):
        with pytest.raises(TypeError) as raised:
            PySampler(interval_ms=value)
        assert str(raised.value).startswith("argument 'interval_ms': ")
        assert isinstance(raised.value.__cause__, TypeError)
        assert str(raised.value.__cause__) in str(raised.value)

    def test_index_protocol_and_int_subclasses_are_accepted(self):
        class Index:
            def __index__(self):
                return 7

        class MyInt(int):
            pass

        PySampler(interval_ms=Index(), top_n=MyInt(3)).stop()

    def test_a_non_type_error_from_index_passes_unchanged(self):
        class Broken:
            def __index__(self):
                raise KeyError("nope")

        with pytest.raises(KeyError):
            PySampler(top_n=Broken())

    def test_both_conversions_run_before_validation(self):
        with pytest.raises(TypeError) as raised:
            PySampler(interval_ms=0, top_n="x")
        assert str(raised.value).startswith("argument 'top_n': ")

    def test_interval_conversion_error_wins(self):
        with pytest.raises(TypeError) as raised:
            PySampler(interval_ms=1.5, top_n="x")
        assert str(raised.value).startswith("argument 'interval_ms': ")

    def test_positional_arguments(self):
        with pytest.raises(TypeError) as one:
            PySampler(10)
        assert str(one.value) == "PySampler.__new__() takes 0 positional arguments but 1 was given"
        with pytest.raises(TypeError) as two:
            PySampler(10, 20)
        assert str(two.value) == "PySampler.__new__() takes 0 positional arguments but 2 were given"

    def test_unexpected_keyword_is_named_before_any_conversion(self):
        with pytest.raises(TypeError) as raised:
            PySampler(interval_ms="bad", interval=10)
        assert str(raised.value) == "PySampler.__new__() got an unexpected keyword argument 'interval'"

    def test_top_n_zero_reports_no_hot_paths(self):
        sampler = PySampler(interval_ms=1, top_n=0)
        sampler.start()
        time.sleep(0.05)
        result = sampler.stop()
        assert result["sample_count"] > 0
        assert result["hot_paths"] == []

    def test_subclasses_construct_through_their_own_class(self):
        class Tagged(PySampler):
            pass

        sampler = Tagged(interval_ms=5)
        assert type(sampler) is Tagged
        sampler.start()
        assert sampler.is_running() is True
        assert sampler.stop()["sample_count"] >= 0


class TestLifecycle:
    def test_start_twice_starts_one_thread(self):
        sampler = PySampler(interval_ms=5)
        assert sampler.start() is None
        assert sampler.start() is None
        assert sampler.is_running() is True
        assert _sampler_threads() == 1
        sampler.stop()

    def test_a_stopped_sampler_stays_stopped(self):
        sampler = PySampler()
        first = sampler.stop()
        assert first["sample_count"] == 0
        for call in (sampler.stop, sampler.start):
            with pytest.raises(RuntimeError, match="^PySampler has already been stopped$"):
                call()
        assert sampler.is_running() is False
        assert sampler.mem_spike_flag() is False
        assert sampler.notify_snapshot_taken() is None

    def test_stop_right_after_start(self):
        sampler = PySampler(interval_ms=10000)
        sampler.start()
        result = sampler.stop()
        assert result["sample_count"] <= 1
        assert _sampler_threads_once_gone(within_s=1.0) == 0

    @pytest.mark.slow
    def test_conflicting_calls_during_stop_fail_at_once(self):
        sampler = PySampler(interval_ms=2000)
        sampler.start()
        time.sleep(0.1)  # the sampler thread now sleeps for most of two seconds
        stopper = threading.Thread(target=sampler.stop)
        stopper.start()
        time.sleep(0.3)
        assert stopper.is_alive(), "stop() should still be joining"
        began = time.monotonic()
        for call in (sampler.is_running, sampler.mem_spike_flag, sampler.notify_snapshot_taken):
            with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                call()
        for call in (sampler.start, sampler.stop):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                call()
        assert time.monotonic() - began < 0.5  # none of them waited for the join
        stopper.join()
        assert sampler.is_running() is False

    def test_releasing_a_running_sampler_returns_at_once_and_the_thread_ends(self):
        sampler = PySampler(interval_ms=300)
        sampler.start()
        time.sleep(0.05)
        assert _sampler_threads() == 1
        began = time.monotonic()
        del sampler
        assert time.monotonic() - began < 0.1
        assert _sampler_threads_once_gone(within_s=3.0) == 0


def _sampler_threads_once_gone(within_s: float) -> int:
    """The count after waiting up to within_s for it to reach zero.

    A joined thread's task stays listed in /proc for a moment: the kernel wakes the
    joiner before it has removed the exiting task.
    """
    deadline = time.monotonic() + within_s
    while _sampler_threads() and time.monotonic() < deadline:
        time.sleep(0.01)
    return _sampler_threads()


def _sampler_threads() -> int:
    """Operating-system threads of this process named kulvo-sampler."""
    import os

    count = 0
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as comm:
                count += comm.read().strip() == "kulvo-sampler"
        except (FileNotFoundError, ProcessLookupError):
            # A thread that exits between the listing and the read.
            pass
    return count
