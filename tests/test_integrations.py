"""kulvo where its users already work: the pytest plugin and the IPython magics."""

from __future__ import annotations

import html
import re
import sys

import pytest
from support import ADDRESS_SANITIZER, run_python

import kulvo
from kulvo.ipython import split_line
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
        # pytest's runner and pluggy are cut: the stacks start at the test function, apart from
        # the odd sample in what the runner calls around it (it sets an environment variable).
        assert not [
            frame for stack in spin.stacks for frame in stack if re.search(r"[/\\](_pytest|pluggy)[/\\]", frame.file)
        ]
        roots = [stack[0].function for stack in spin.stacks]
        assert roots.count("test_spin") >= 0.9 * len(roots) > 0
        assert spin.hot_paths[0].function in ("spin", "test_spin")
        # The slowest test first, with its top function by self time.
        result.stdout.re_match_lines(
            [r".*kulvo.*", r"profiles of 2 tests in profiles", r" +\d+ ms  test_suite.py::test_spin"]
        )
        result.stdout.re_match_lines([r" +\d+ ms  test_suite.py::test_spin", r" +\d+ ms  spin  test_suite.py:\d+$"])

    def test_pytest_code_that_a_test_calls_stays_on_its_stacks(self, pytester: pytest.Pytester):
        pytester.makepyfile(
            test_approx="""
            import time, pytest

            def test_approx():
                deadline = time.perf_counter() + 0.3
                while time.perf_counter() < deadline:
                    assert [0.1 + 0.2] * 50 == pytest.approx([0.3] * 50)
            """
        )
        pytester.runpytest_subprocess("--kulvo=profiles").assert_outcomes(passed=1)
        profile = kulvo.load(pytester.path / "profiles" / profile_file_name("test_approx.py::test_approx"))
        inside = [stack for stack in profile.stacks if stack and stack[0].function == "test_approx"]
        called = [stack for stack in inside if any("_pytest" in frame.file for frame in stack[1:])]
        assert len(called) >= 0.3 * len(inside) > 0

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
        roots = [stack[0].function for stack in session.stacks]
        assert sum(root in ("test_spin", "test_quick") for root in roots) >= 0.9 * len(roots) > 0
        result.stdout.re_match_lines([r"profiles of the session in out", r".*session.json", r" +\d+ ms  spin"])

    def test_a_bad_interval_is_a_usage_error(self, pytester: pytest.Pytester):
        result = pytester.runpytest_subprocess("--kulvo", "--kulvo-interval-ms=0")
        assert result.ret == pytest.ExitCode.USAGE_ERROR
        result.stderr.fnmatch_lines(["*--kulvo-interval-ms: interval_ms must be in*"])

    def test_file_names_keep_apart_ids_that_differ_in_replaced_characters(self):
        first, second = profile_file_name("t.py::test[a/b]"), profile_file_name("t.py::test[a:b]")
        assert first != second
        assert first.startswith("t.py__test_a_b_-") and first.endswith(".json")


@pytest.fixture(scope="module")
def shell():
    interactiveshell = pytest.importorskip("IPython.core.interactiveshell")
    from IPython.testing.tools import default_config

    hooks, main = (sys.displayhook, sys.excepthook), sys.modules["__main__"]
    # The test configuration keeps the history in a temporary file.
    shell = interactiveshell.InteractiveShell.instance(config=default_config())
    shell.run_line_magic("load_ext", "kulvo")
    yield shell
    interactiveshell.InteractiveShell.clear_instance()
    (sys.displayhook, sys.excepthook), sys.modules["__main__"] = hooks, main


def displayed(shell, cell: str):
    from IPython.utils.capture import capture_output

    with capture_output() as captured:
        result = shell.run_cell(cell, store_history=True)
    return result, [output.data for output in captured.outputs]


class TestIPythonMagics:
    @pytest.mark.parametrize(
        ("line", "options", "statement"),
        [
            (
                "--memory -o out.html --top 3 f('a  b') # it's",
                ["--memory", "-o", "out.html", "--top", "3"],
                "f('a  b') # it's",
            ),
            ("--interval-ms=5 -- -x + 1", ["--interval-ms=5"], "-x + 1"),
            ('rows = "unclosed', [], 'rows = "unclosed'),
        ],
    )
    def test_a_line_splits_into_options_and_the_statement_as_written(self, line, options, statement):
        assert split_line(line) == (options, statement)

    def test_a_cell_shows_its_report_then_its_value(self, shell):
        result, outputs = displayed(shell, "%%kulvo --interval-ms 5\nimport time\ntime.sleep(0.1)\n6 * 7")
        assert result.result == 42
        report = outputs[0]["text/plain"]
        assert report.startswith("kulvo profile of In[")
        assert re.search(r"<module>\s+In\[\d+\]:2", report)  # the cell as IPython names it
        assert "interactiveshell" not in report and "kulvo/ipython.py" not in report
        assert outputs[0]["text/html"].startswith('<iframe class="kulvo-report" srcdoc="')

    def test_a_cell_that_raises_shows_its_report_then_the_exception(self, shell):
        result, outputs = displayed(shell, "%%kulvo\nraise KeyError('missing')")
        assert isinstance(result.error_in_exec, KeyError)
        assert outputs and outputs[0]["text/plain"].startswith("kulvo profile of")

    def test_the_line_magic_gives_the_value_and_writes_the_report(self, shell, tmp_path):
        report = tmp_path / "line.json"
        result, outputs = displayed(shell, f"total = %kulvo --interval-ms 5 -o {report} sum(range(10**5))")
        assert result.success and not outputs
        assert shell.user_ns["total"] == sum(range(10**5))
        assert kulvo.load(report).metadata.argv == (f"In[{shell.execution_count - 1}]", "sum(range(10**5))")

    def test_importing_kulvo_imports_neither_ipython_nor_pytest(self):
        result = run_python("import sys, kulvo; print(sorted({'IPython', 'pytest', '_pytest'} & set(sys.modules)))")
        assert result.returncode == 0, result.stderr
        assert result.stdout == "[]\n"

    @pytest.mark.parametrize(
        "line", ["%kulvo --interval-ms 0 1", "%kulvo --memory", "%%kulvo --format json\n1", "%kulvo --bogus 1"]
    )
    def test_bad_options_are_a_usage_error(self, shell, line):
        from IPython.core.error import UsageError

        result, outputs = displayed(shell, line)
        assert isinstance(result.error_in_exec, UsageError) and not outputs


NOTEBOOK_MEMORY_CELL = """\
%%kulvo --memory --interval-ms 10
import time

def build_rows(count):
    return [b"row" * 100_000 for _ in range(count)]

time.sleep(0.3)
rows = build_rows(600)
time.sleep(0.3)
len(rows)"""


@pytest.mark.slow  # starts a Jupyter kernel
@pytest.mark.skipif(ADDRESS_SANITIZER, reason="ASan's shadow memory hides the cell's memory spike in peak RSS")
def test_a_notebook_shows_the_report_inline():
    nbformat = pytest.importorskip("nbformat")
    nbclient = pytest.importorskip("nbclient")
    cells = ["%load_ext kulvo", NOTEBOOK_MEMORY_CELL, "%%kulvo\nraise ValueError('no such row')"]
    notebook = nbformat.v4.new_notebook(cells=[nbformat.v4.new_code_cell(cell) for cell in cells])
    nbclient.NotebookClient(notebook, timeout=120, kernel_name="python3", allow_errors=True).execute()
    memory, raising = notebook.cells[1].outputs, notebook.cells[2].outputs
    assert [o.output_type for o in memory] == ["display_data", "execute_result"]
    assert memory[1].data["text/plain"] == "600"
    # The spike with the line that allocated its memory (the snapshot nearest to it: the one at
    # the peak when the spike holds it), and the line that held the most at the peak.
    text = memory[0].data["text/plain"]
    grew = r"allocated by .*\n\s+\+[\d.]+ MiB\s+\+\d+ blocks"
    held = r"held at the peak, .*\n\s+[\d.]+ MiB\s+[\d.]+ %"
    assert re.search(rf"memory .* peak [\d.]+ MiB.*\n(.*\n)*?\s+({grew}|{held})\s+In\[2\]:4", text), text
    assert re.search(r"Memory held at the peak .*\n.*\n\s+[\d.]+ MiB\s+[\d.]+ %\s+In\[2\]:4", text), text
    assert "ipykernel_" not in text  # cells by their names, not the kernel's files
    page = html.unescape(
        re.fullmatch(r'<iframe class="kulvo-report" srcdoc="([^"]*)".*', memory[0].data["text/html"]).group(1)
    )
    assert "build_rows" in page and not re.search(r"(src|href)=\"?https?:", page)
    for machinery in ("interactiveshell.py", "ipykernel/", "kulvo/ipython.py"):
        assert machinery not in page and machinery not in text
    assert [o.output_type for o in raising] == ["display_data", "error"] and raising[1].ename == "ValueError"
