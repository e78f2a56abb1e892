"""kulvo where its users already work: the pytest plugin."""

from __future__ import annotations

import pytest

import kulvo
from kulvo.pytest_plugin import profile_file_name

pytest_plugins = ["pytester"]

SUITE = """
import time

def spin(seconds):
    deadline = time.perf_counter() + seconds
    total = 0
    while time.perf_counter() < deadline:
        total += sum(range(200))
    return total

def test_spin():
    assert spin(0.3)

def test_quick():
    assert True
"""


class TestPytestPlugin:
    def test_each_test_gets_a_profile_that_starts_at_the_test(self, pytester: pytest.Pytester):
        pytester.makepyfile(test_suite=SUITE)
        result = pytester.runpytest_subprocess("--kulvo=profiles")
        result.assert_outcomes(passed=2)
        spin = kulvo.load(pytester.path / "profiles" / profile_file_name("test_suite.py::test_spin"))
        assert (pytester.path / "profiles" / profile_file_name("test_suite.py::test_quick")).exists()
        assert spin.metadata.argv == ("pytest", "test_suite.py::test_spin")
        # pytest's runner and pluggy are cut: every stack starts at the test function.
        assert spin.stacks and {stack[0].function for stack in spin.stacks} == {"test_spin"}
        assert spin.hot_paths[0].function in ("spin", "test_spin")
        # The slowest test first, with its top function by self time.
        result.stdout.re_match_lines(
            [r".*kulvo.*", r"profiles of 2 tests in profiles", r" +\d+ ms  test_suite.py::test_spin"]
        )
        result.stdout.re_match_lines([r" +\d+ ms  test_suite.py::test_spin", r" +\d+ ms  spin  test_suite.py"])

    def test_off_unless_asked(self, pytester: pytest.Pytester):
        pytester.makepyfile(test_suite=SUITE)
        result = pytester.runpytest_subprocess()
        result.assert_outcomes(passed=2)
        result.stdout.no_re_match_line(r"-+ kulvo -+$")
        assert not (pytester.path / "kulvo-profiles").exists()

    @pytest.mark.slow  # starts two workers
    def test_xdist_workers_write_their_own_files_and_the_controller_sums_up(self, pytester: pytest.Pytester):
        pytester.makepyfile(test_suite=SUITE)
        result = pytester.runpytest_subprocess("-n", "2", "--kulvo=profiles")
        result.assert_outcomes(passed=2)
        assert sorted(p.name for p in (pytester.path / "profiles").iterdir()) == sorted(
            profile_file_name(f"test_suite.py::{name}") for name in ("test_spin", "test_quick")
        )
        result.stdout.re_match_lines([r"profiles of 2 tests in profiles", r" +\d+ ms  test_suite.py::test_spin"])

    def test_one_profile_of_the_session(self, pytester: pytest.Pytester):
        pytester.makepyfile(test_suite=SUITE)
        result = pytester.runpytest_subprocess("--kulvo=out", "--kulvo-session")
        result.assert_outcomes(passed=2)
        assert [p.name for p in (pytester.path / "out").iterdir()] == ["session.json"]
        session = kulvo.load(pytester.path / "out" / "session.json")
        assert {stack[0].function for stack in session.stacks} <= {"test_spin", "test_quick"}
        result.stdout.re_match_lines([r"profiles of the session in out", r".*session.json", r" +\d+ ms  spin"])

    def test_a_bad_interval_is_a_usage_error(self, pytester: pytest.Pytester):
        result = pytester.runpytest_subprocess("--kulvo", "--kulvo-interval-ms=0")
        assert result.ret == pytest.ExitCode.USAGE_ERROR
        result.stderr.fnmatch_lines(["*--kulvo-interval-ms: interval_ms must be in*"])

    def test_file_names_keep_apart_ids_that_differ_in_replaced_characters(self):
        first, second = profile_file_name("t.py::test[a/b]"), profile_file_name("t.py::test[a:b]")
        assert first != second
        assert first.startswith("t.py__test_a_b_-") and first.endswith(".json")
