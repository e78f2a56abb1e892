"""The `kulvo` command, driven in subprocesses on small programs."""

from __future__ import annotations

import json
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from conftest import SPIKY_ALLOCATION_LINE, SPIKY_PROGRAM, kulvo_env

import kulvo

FAST = ("--interval-ms", "5")
# What only making and writing the profile needs, each costing `kulvo run` start-up.
_HEAVY = {"dataclasses", "inspect", "typing", "json", "platform", "kulvo.model", "kulvo.core_result"}


def report_of(stderr: str) -> str:
    """The text report at the end of kulvo's standard error."""
    start = stderr.find("kulvo profile of")
    assert start >= 0, f"no report in: {stderr!r}"
    return stderr[start:]


class TestExitStatus:
    def test_a_clean_run_exits_0_and_leaves_stdout_to_the_program(self, run_kulvo, write_program):
        hello = write_program("hello.py", 'print("hello from the program")\n')
        result = run_kulvo("run", *FAST, "hello.py")
        assert result.returncode == 0
        assert result.stdout == "hello from the program\n"
        assert "Functions by self time" in report_of(result.stderr)
        # With standard error closed there is nowhere for the report, and python still exits 0.
        closed = subprocess.run(
            ["/bin/sh", "-c", '"$@" 2>&-', "sh", sys.executable, "-m", "kulvo", "run", *FAST, "hello.py"],
            cwd=hello.parent,
            capture_output=True,
            text=True,
            timeout=60,
            env=kulvo_env(),
        )
        assert (closed.returncode, closed.stdout) == (0, "hello from the program\n")

    @pytest.mark.parametrize(
        ("statement", "status"),
        [("sys.exit(3)", 3), ("sys.exit()", 0), ("sys.exit(0)", 0), ("raise SystemExit(42)", 42)],
    )
    def test_sys_exit_status_becomes_kulvos(self, run_kulvo, write_program, statement, status):
        write_program("leave.py", f"import sys\n{statement}\n")
        result = run_kulvo("run", *FAST, "leave.py")
        assert result.returncode == status
        report_of(result.stderr)

    def test_sys_exit_with_a_message_prints_it_and_exits_1(self, run_kulvo, write_program):
        write_program("leave.py", 'import sys\nsys.exit("giving up")\n')
        result = run_kulvo("run", *FAST, "leave.py")
        assert result.returncode == 1
        assert result.stderr.startswith("giving up\n")
        report_of(result.stderr)

    def test_an_uncaught_exception_shows_the_programs_traceback_and_exits_1(self, run_kulvo, write_program):
        write_program(
            "boom.py",
            """
            def explode():
                raise ValueError("boom")

            explode()
            """,
        )
        result = run_kulvo("run", *FAST, "boom.py")
        assert result.returncode == 1
        traceback_text = result.stderr[: result.stderr.find("kulvo profile of")]
        assert traceback_text.startswith("Traceback (most recent call last):")
        assert 'boom.py", line 5, in <module>' in traceback_text
        assert "ValueError: boom" in traceback_text
        # The traceback is the program's alone: kulvo's own frames are cut.
        assert "kulvo" not in traceback_text.replace("boom.py", "")
        report_of(result.stderr)

    @pytest.mark.parametrize(
        "call",
        [
            "os.execv(sys.executable, [sys.executable, '-c', 'import sys; sys.exit(5)'])",
            "os.execlp('sh', 'sh', '-c', 'exit 5')",  # through os.execvp, and os.execv in the end
        ],
    )
    def test_a_program_that_execs_gets_its_report_and_the_new_programs_status(
        self, run_kulvo, write_program, tmp_path, call
    ):
        # Run with the signal blocked as well: nothing kulvo sent may be left for the new program.
        write_program(
            "replace.py",
            f"""
            import os, signal, sys, time
            deadline = time.perf_counter() + 0.05
            while time.perf_counter() < deadline:
                pass
            signal.pthread_sigmask(signal.SIG_BLOCK, {{signal.SIGURG}})
            {call}
            """,
        )
        result = run_kulvo("run", "--interval-ms", "1", "-o", str(tmp_path / "exec.json"), "replace.py")
        assert result.returncode == 5
        notes = json.loads((tmp_path / "exec.json").read_text())["metadata"]["notes"]
        assert any(note.startswith("the program replaced itself with os.exec") for note in notes)

    WAITS = """
        import signal, sys, time
        signal.signal(signal.SIGINT, signal.default_int_handler)
        time.sleep(0.1)  # long enough to be sampled before the signal comes
        print("ready", flush=True)
        time.sleep(30)
        """

    def signalled_run(self, tmp_path, signum: int, *args: str) -> tuple[int, str]:
        """Runs `kulvo run ARGS waits.py`, sends `signum` once the program waits; returns the
        exit status and standard error."""
        process = subprocess.Popen(
            [sys.executable, "-m", "kulvo", "run", *FAST, *args, "waits.py"],
            cwd=tmp_path,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env=kulvo_env(),
        )
        try:
            assert process.stdout is not None
            assert process.stdout.readline() == "ready\n"
            # Once it is inside its sleep: CPython 3.14 sometimes leaves a SIGINT that arrives
            # between two statements unanswered until the sleep ends (plain python too).
            time.sleep(0.3)
            process.send_signal(signum)
            _, stderr = process.communicate(timeout=30)
        finally:
            process.kill()
        return process.returncode, stderr

    def test_ctrl_c_ends_kulvo_by_sigint_as_python_with_a_report(self, tmp_path, write_program):
        write_program("waits.py", self.WAITS)
        status, stderr = self.signalled_run(tmp_path, signal.SIGINT)
        assert status == -signal.SIGINT
        assert "KeyboardInterrupt" in stderr
        report_of(stderr)

    def test_sigterm_writes_the_report_then_ends_kulvo_by_the_signal(self, tmp_path, write_program):
        write_program("waits.py", self.WAITS)
        status, _ = self.signalled_run(tmp_path, signal.SIGTERM, "-o", "x.json")
        assert status == -signal.SIGTERM
        assert kulvo.load(tmp_path / "x.json").sample_count > 0

    def test_a_forked_child_that_outlives_the_parent_writes_no_report(self, tmp_path, run_kulvo, write_program):
        write_program(
            "forks.py",
            """
            import os, time
            if os.fork() == 0:
                time.sleep(0.2)
                print("child done", flush=True)
            else:
                time.sleep(0.05)
            """,
        )
        # Standard output is a pipe the child holds: the run returns once the child has ended.
        with_output = run_kulvo("run", *FAST, "-o", "f.json", "forks.py")
        assert (with_output.returncode, with_output.stdout) == (0, "child done\n")
        assert kulvo.load(tmp_path / "f.json").sample_count > 0
        to_stderr = run_kulvo("run", *FAST, "forks.py")
        assert to_stderr.stderr.count("kulvo profile of") == 1

    def test_forking_does_not_count_kulvos_thread_and_sampling_goes_on(self, tmp_path, run_kulvo, write_program):
        write_program(
            "forks_often.py",
            """
            import os, time, warnings
            warnings.simplefilter("always")
            def spin(seconds):
                end = time.perf_counter() + seconds
                while time.perf_counter() < end:
                    pass
            for _ in range(3):
                spin(0.03)
                pid = os.fork()
                if pid == 0:
                    os._exit(0)
                os.waitpid(pid, 0)
            spin(0.03)
            """,
        )
        done = run_kulvo("run", *FAST, "-o", "f.json", "forks_often.py")
        assert done.returncode == 0
        if sys.version_info < (3, 13):  # 3.13 counts threads after the fork's hooks have resumed kulvo's
            assert "multi-threaded" not in done.stderr
        spun_ms = [
            s.timestamp_ms
            for s in kulvo.load(tmp_path / "f.json").samples
            if s.stack and s.stack[-1].function == "spin"
        ]
        assert spun_ms and max(spun_ms) - min(spun_ms) > 60  # sampled before and after the forks

    def test_the_run_lasts_until_the_programs_threads_end(self, run_kulvo, write_program):
        write_program(
            "worker.py",
            """
            import threading, time
            def late():
                time.sleep(0.2)
                print("worker finished", flush=True)
            threading.Thread(target=late).start()
            """,
        )
        result = run_kulvo("run", *FAST, "worker.py")
        assert result.returncode == 0
        assert result.stdout == "worker finished\n"
        report_of(result.stderr)


class TestProgramEnvironment:
    def test_child_processes_profile_themselves_and_are_merged_in(self, tmp_path, run_kulvo, write_program):
        write_program(
            "pools.py",
            """
            import multiprocessing, subprocess, sys

            def crunch(n):
                return sum(i * i for i in range(n))

            if __name__ == "__main__":
                for method in ("fork", "spawn", "forkserver"):
                    with multiprocessing.get_context(method).Pool(2) as pool:
                        pool.map(crunch, [300_000] * 4)
                subprocess.run([sys.executable, "-c", "sum(range(2_000_000))"], check=True)
            """,
        )
        result = run_kulvo("run", "--subprocesses", "--interval-ms", "2", "-o", "all.json", "pools.py")
        assert result.returncode == 0, result.stderr
        profile = kulvo.load(str(tmp_path / "all.json"))
        # The program, two workers of each pool and the -c child; multiprocessing's helpers (its
        # resource tracker, the fork server itself) run none of the program's code and are left out.
        processes = {s.stack[0].line: s.stack[0] for s in profile.samples if s.stack}
        assert len(processes) >= 6 and {p.file for p in processes.values()} == {"<process>"}
        working = [s for s in profile.samples if s.stack and s.other_thread and not s.main_thread_waiting]
        crunching = {s.stack[0].line for s in working if any(f.function == "crunch" for f in s.stack)}
        # One worker of each pool at least: on a busy machine a pool's first worker may take every task.
        assert len(crunching) >= 3
        # Six of the seven children at least: a pool's worker that its pool's exit terminates while
        # its interpreter still starts has run none of the program's code and has nothing to write.
        notes = " ".join(profile.metadata.notes)
        merged = re.search(r"(\d+) child process\(es\) profiled themselves", notes)
        assert merged and int(merged.group(1)) >= 6 and "left no profile" not in notes, notes

    def test_a_script_gets_its_own_argv_even_when_it_looks_like_kulvos(self, tmp_path, run_kulvo, write_program):
        write_program("args.py", "import json, sys\nprint(json.dumps(sys.argv))\n")
        result = run_kulvo("run", *FAST, "args.py", "--memory", "-o", "x.html", "-m", "plain")
        assert result.returncode == 0, result.stderr
        assert json.loads(result.stdout) == ["args.py", "--memory", "-o", "x.html", "-m", "plain"]
        assert not (tmp_path / "x.html").exists()

    @pytest.mark.parametrize(
        "program",
        [["--", "args.py"], ["-m", "args"]],
        ids=["after --", "-m module"],
    )
    def test_everything_after_the_program_is_the_programs(self, tmp_path, run_kulvo, write_program, program):
        write_program("args.py", "import json, sys\nprint(json.dumps(sys.argv))\n")
        result = run_kulvo("run", *FAST, *program, "--top", "0", "-o", "x.html", "--", "-m")
        assert result.returncode == 0, result.stderr
        argv = json.loads(result.stdout)
        assert Path(argv[0]).name == "args.py" and argv[1:] == ["--top", "0", "-o", "x.html", "--", "-m"]
        assert not (tmp_path / "x.html").exists()

    def test_a_script_runs_as_main_from_its_own_directory(self, tmp_path, run_kulvo, write_program):
        write_program("app/helper.py", "VALUE = 'sibling module'\n")
        write_program(
            "app/main.py",
            """
            import os, pickle, sys
            import helper

            class Point:
                pass

            # Pickling a class of __main__ needs sys.modules["__main__"] to be this module.
            pickle.loads(pickle.dumps(Point()))
            print(__name__, helper.VALUE, sys.path[0], os.path.isabs(__file__), sep="|")
            """,
        )
        result = run_kulvo("run", *FAST, "app/main.py")
        assert result.returncode == 0, result.stderr
        name, value, path0, absolute = result.stdout.strip().split("|")
        assert (name, value, absolute) == ("__main__", "sibling module", "True")
        assert Path(path0) == (tmp_path / "app").resolve()

    def test_the_report_is_made_beside_the_programs_modules_named_as_the_standard_librarys(
        self, tmp_path, run_kulvo, write_program
    ):
        for name in ("json", "platform", "dataclasses"):
            write_program(f"app/{name}.py", "raise RuntimeError('not the standard library')\n")
        write_program("app/main.py", "print('ran')\n")
        result = run_kulvo("run", *FAST, "-o", "out.json", "app/main.py")
        assert (result.returncode, result.stdout) == (0, "ran\n"), result.stderr
        assert kulvo.load(str(tmp_path / "out.json")).metadata.argv == ("app/main.py",)

    def test_the_program_starts_before_the_analysis_and_reports_are_imported(self, run_kulvo, write_program):
        # Start-up: what the profile's making needs is imported after the program, not before it.
        first = write_program("first.py", f"import sys; print(sorted({_HEAVY!r} & set(sys.modules)))\n")
        # Those the interpreter's own start imports here (a .pth file's) are not kulvo's doing.
        plain = subprocess.run([sys.executable, str(first)], capture_output=True, text=True, check=True)
        result = run_kulvo("run", *FAST, "first.py")
        assert result.returncode == 0, result.stderr
        assert result.stdout == plain.stdout
        assert "kulvo profile of first.py" in result.stderr

    def test_arguments_that_are_not_utf8_reach_the_program_and_every_report(self, tmp_path, run_kulvo, write_program):
        write_program("args.py", "import sys\nprint(ascii(sys.argv[1:]))\n")
        for output in ("r.html", "r.txt", "r.json"):
            result = run_kulvo("run", *FAST, "-o", output, "args.py", os.fsdecode(b"\xff"))
            assert (result.returncode, result.stdout) == (0, "['\\udcff']\n"), result.stderr
        assert "args.py \\xff" in (tmp_path / "r.txt").read_text()
        assert run_kulvo("view", "r.json", "-o", "r2.html").returncode == 0
        assert "\\xff" in (tmp_path / "r2.html").read_text()

    def test_a_module_runs_with_m_like_python_m(self, tmp_path, run_kulvo, write_program):
        write_program("pkg/__init__.py", "")
        write_program(
            "pkg/tool.py",
            "import json, sys\nprint(json.dumps([__name__, __package__, sys.argv, sys.path[0]]))\n",
        )
        result = run_kulvo("run", *FAST, "-m", "pkg.tool", "one", "--two")
        assert result.returncode == 0, result.stderr
        name, package, argv, path0 = json.loads(result.stdout)
        assert (name, package) == ("__main__", "pkg")
        assert argv[1:] == ["one", "--two"] and argv[0].endswith(os.path.join("pkg", "tool.py"))
        assert Path(path0) == tmp_path

    def test_a_package_runs_its_main_module(self, run_kulvo, write_program):
        write_program("suite/__init__.py", "")
        write_program("suite/__main__.py", "print('package main', __name__)\n")
        result = run_kulvo("run", *FAST, "-m", "suite", "--check")
        assert result.returncode == 0, result.stderr
        assert result.stdout == "package main __main__\n"
        assert report_of(result.stderr).startswith("kulvo profile of -m suite --check\n")

    def test_the_installed_command_runs(self, tmp_path, write_program):
        command = Path(sys.executable).with_name("kulvo")
        if not command.exists():
            pytest.skip("no kulvo command beside this interpreter")
        write_program("hello.py", "print('hi')\n")
        result = subprocess.run(
            [str(command), "run", *FAST, "hello.py"], cwd=tmp_path, capture_output=True, text=True, env=kulvo_env()
        )
        assert result.returncode == 0 and result.stdout == "hi\n"


class TestReports:
    @pytest.fixture
    def spiky(self, write_program) -> Path:
        return write_program("spiky.py", SPIKY_PROGRAM)

    def test_the_text_report_names_the_programs_hot_path_and_none_of_kulvos_frames(self, run_kulvo, spiky):
        result = run_kulvo("run", *FAST, "spiky.py")
        assert result.returncode == 0
        report = report_of(result.stderr)
        functions = report.split("Functions by self time")[1].split("Spikes")[0]
        assert re.search(r"spin\s+spiky\.py:1[12]", functions)
        assert "<module>  spiky.py" in functions
        assert "target.py" not in report and "_run_code" not in report and "runpy" not in report

    @pytest.mark.parametrize(
        ("file_name", "check"),
        [
            ("out.txt", lambda text: "Functions by self time" in text and "Timeline" in text),
            ("out.json", lambda text: json.loads(text)["format"] == "kulvo-profile"),
            ("out.html", lambda text: text.startswith("<!DOCTYPE html>") and "<svg" in text),
            ("out.speedscope.json", lambda text: json.loads(text)["profiles"][0]["type"] == "sampled"),
            ("out.collapsed", lambda text: re.fullmatch(r"(\S.* \d+\n)+", text) is not None),
        ],
    )
    def test_the_output_file_name_picks_the_format(self, tmp_path, run_kulvo, spiky, file_name, check):
        result = run_kulvo("run", *FAST, "-o", file_name, "spiky.py")
        assert result.returncode == 0, result.stderr
        assert result.stdout == "done\n"
        assert result.stderr == ""
        assert check((tmp_path / file_name).read_text(encoding="utf-8"))

    def test_the_output_path_holds_when_the_program_changes_directory(self, tmp_path, run_kulvo, write_program):
        write_program("wanders.py", "import os\nos.makedirs('elsewhere')\nos.chdir('elsewhere')\n")
        result = run_kulvo("run", *FAST, "-o", "report.json", "wanders.py")
        assert result.returncode == 0, result.stderr
        assert (tmp_path / "report.json").exists()
        assert not (tmp_path / "elsewhere" / "report.json").exists()

    def test_format_overrides_the_file_name(self, tmp_path, run_kulvo, spiky):
        result = run_kulvo("run", *FAST, "--format", "collapsed", "-o", "stacks.txt", "spiky.py")
        assert result.returncode == 0
        lines = (tmp_path / "stacks.txt").read_text().splitlines()
        assert lines
        for line in lines:
            stack, count = line.rsplit(" ", 1)
            assert count.isdigit()
            assert re.fullmatch(r"<module> \((\S+/)?spiky\.py:\d+\)", stack.split(";")[0])

    def test_a_format_without_output_goes_to_stderr(self, run_kulvo, spiky):
        result = run_kulvo("run", *FAST, "--format", "json", "spiky.py")
        assert result.stdout == "done\n"
        assert json.loads(result.stderr)["metadata"]["argv"] == ["spiky.py"]

    def test_memory_spike_shows_where_the_memory_was_allocated(self, saved_profile):
        profile = kulvo.load(saved_profile)
        memory_spikes = [e for e in profile.spike_events if e.kind == "memory"]
        assert memory_spikes, "the 48 MiB allocation made no memory spike:\n" + profile.render("text")
        snapshot = profile.nearest_snapshot(memory_spikes[0])
        assert snapshot is not None
        top = snapshot.top_sites[0]
        assert (Path(top.file).name, top.line) == ("spiky.py", SPIKY_ALLOCATION_LINE)
        assert top.size_diff_bytes >= 48 * 1024 * 1024


class TestTerminal:
    """The text report on a terminal: colour unless NO_COLOR is set, fitted to its width."""

    def run_on_a_terminal(self, tmp_path: Path, **env: str) -> str:
        (tmp_path / "quick.py").write_text("import time\ntime.sleep(0.05)\n")
        controller, terminal = os.openpty()
        try:
            subprocess.run(
                [sys.executable, "-m", "kulvo", "run", *FAST, "quick.py"],
                cwd=tmp_path,
                stderr=terminal,
                stdout=subprocess.DEVNULL,
                env=kulvo_env(**env),
                timeout=60,
                check=True,
            )
            os.close(terminal)
            chunks = []
            while True:
                try:
                    chunk = os.read(controller, 65536)
                except OSError:  # the terminal's other end is closed: all is read
                    break
                if not chunk:
                    break
                chunks.append(chunk)
        finally:
            os.close(controller)
        return b"".join(chunks).decode("utf-8").replace("\r\n", "\n")

    def test_colour_on_a_terminal(self, tmp_path):
        assert "\x1b[" in self.run_on_a_terminal(tmp_path)

    def test_no_color_turns_it_off_and_a_status_line_comes_first(self, tmp_path):
        text = self.run_on_a_terminal(tmp_path, NO_COLOR="1")
        assert "\x1b[" not in text and "Functions by self time" in text
        assert text.startswith("kulvo: sampling quick.py every 5 ms until it ends")

    def test_the_report_fits_the_terminal(self, tmp_path):
        text = self.run_on_a_terminal(tmp_path, NO_COLOR="1", COLUMNS="60")
        assert max(len(line) for line in text.splitlines()) <= 60


class TestView:
    @pytest.mark.parametrize("format", ["text", "json", "html", "speedscope", "collapsed"])
    def test_view_renders_every_format_to_stdout(self, run_kulvo, saved_profile, format):
        result = run_kulvo("view", str(saved_profile), "--format", format)
        assert result.returncode == 0, result.stderr
        assert result.stdout and result.stderr == ""

    def test_view_as_json_gives_back_the_saved_document(self, run_kulvo, saved_profile):
        result = run_kulvo("view", str(saved_profile), "--format", "json")
        assert json.loads(result.stdout) == json.loads(saved_profile.read_text())

    def test_view_writes_the_format_of_the_output_name(self, tmp_path, run_kulvo, saved_profile):
        result = run_kulvo("view", str(saved_profile), "-o", "again.html")
        assert result.returncode == 0 and result.stdout == ""
        assert (tmp_path / "again.html").read_text().startswith("<!DOCTYPE html>")

    def test_waiting_can_be_left_out_of_the_shares(self, tmp_path, run_kulvo, saved_profile):
        document = json.loads(saved_profile.read_text())
        waiting = document["samples"]["main_thread_waiting"]
        waiting[::2] = [True] * len(waiting[::2])
        (tmp_path / "waits.json").write_text(json.dumps(document))
        result = run_kulvo("view", "waits.json", "--leave-out-waiting", "-o", "waits.txt")
        assert result.returncode == 0, result.stderr
        assert "the main thread worked; its" in (tmp_path / "waits.txt").read_text()
        assert "waiting included" in run_kulvo("view", "waits.json").stdout

    def test_merge_gives_each_profile_a_process_of_its_own(self, tmp_path, run_kulvo, saved_profile):
        document = json.loads(saved_profile.read_text())
        document["metadata"].update(
            pid=4242, argv=["worker.py", "--shard", "2"], notes=["3.0 % of the run is in no sample"]
        )
        (tmp_path / "worker.json").write_text(json.dumps(document))
        result = run_kulvo("merge", str(saved_profile), "worker.json", "-o", "all.json")
        assert result.returncode == 0, result.stderr
        merged = kulvo.load(str(tmp_path / "all.json"))
        roots = {s.stack[0] for s in merged.samples if s.stack}
        assert {(r.file, r.function) for r in roots} == {
            ("<process>", "spiky.py"),
            ("<process>", "worker.py --shard 2"),
        }
        assert 4242 in {r.line for r in roots} and merged.sample_count == 2 * document["sample_count"]
        parent_notes = kulvo.load(str(saved_profile)).metadata.notes
        assert merged.metadata.notes[: len(parent_notes)] == parent_notes
        assert merged.metadata.notes[-1] == "worker.py --shard 2 (pid 4242): 3.0 % of the run is in no sample"
        assert re.search(r"Processes\n.*\n +\d+\.\d % +(spiky\.py|worker\.py)", run_kulvo("view", "all.json").stdout)
        assert run_kulvo("merge", "all.json", "missing.json").returncode == 2


class OneLineErrors:
    def assert_one_line_error(self, result: subprocess.CompletedProcess, *fragments: str) -> None:
        assert result.returncode == 2, result.stderr
        lines = result.stderr.strip().splitlines()
        assert len(lines) == 1, result.stderr
        assert lines[0].startswith("kulvo: error: ")
        for fragment in fragments:
            assert fragment in lines[0]


class TestRunBadInput(OneLineErrors):
    def test_a_missing_script(self, run_kulvo):
        self.assert_one_line_error(run_kulvo("run", "nowhere.py"), "no such file", "nowhere.py")

    def test_a_directory_instead_of_a_script(self, tmp_path, run_kulvo):
        (tmp_path / "folder").mkdir()
        self.assert_one_line_error(run_kulvo("run", "folder"), "directory")

    def test_a_missing_module(self, run_kulvo):
        self.assert_one_line_error(run_kulvo("run", "-m", "no_such_module_here"), "no module named")

    def test_a_package_without_main(self, run_kulvo, write_program):
        write_program("bare/__init__.py", "")
        self.assert_one_line_error(run_kulvo("run", "-m", "bare"), "cannot be run directly")

    @pytest.mark.parametrize("interval", ["0", "10001", "-5", "fast"])
    def test_an_invalid_interval(self, run_kulvo, write_program, interval):
        write_program("ok.py", "print('should not run')\n")
        result = run_kulvo("run", "--interval-ms", interval, "ok.py")
        self.assert_one_line_error(result, "interval-ms")
        assert result.stdout == ""

    def test_an_invalid_top(self, run_kulvo, write_program):
        write_program("ok.py", "")
        self.assert_one_line_error(run_kulvo("run", "--top", "0", "ok.py"), "--top")

    def test_an_unknown_format(self, run_kulvo, write_program):
        write_program("ok.py", "")
        self.assert_one_line_error(run_kulvo("run", "--format", "xml", "ok.py"), "xml")

    def test_an_output_name_that_implies_no_format(self, run_kulvo, write_program):
        write_program("ok.py", "")
        self.assert_one_line_error(run_kulvo("run", "-o", "report.dat", "ok.py"), "report.dat", "--format")

    def test_nothing_to_run(self, run_kulvo):
        self.assert_one_line_error(run_kulvo("run", "--memory"), "nothing to run")
        self.assert_one_line_error(run_kulvo("run", "-m"), "-m needs a module")

    def test_no_command(self, run_kulvo):
        result = run_kulvo()
        assert result.returncode == 2
        assert "usage: kulvo" in result.stderr

    def test_a_syntax_error_is_reported_like_python_does(self, run_kulvo, write_program):
        write_program("broken.py", "def nope(:\n")
        result = run_kulvo("run", "broken.py")
        assert result.returncode == 1
        assert "SyntaxError" in result.stderr and "broken.py" in result.stderr
        assert "Traceback" not in result.stderr

    def test_an_unwritable_output_falls_back_to_stderr(self, tmp_path, run_kulvo, write_program):
        write_program("ok.py", "print('ran')\n")
        result = run_kulvo("run", *FAST, "-o", str(tmp_path / "missing" / "dir" / "out.json"), "ok.py")
        assert result.returncode == 0
        assert result.stdout == "ran\n"
        notice, _, report = result.stderr.partition("\n")
        assert "cannot write the report" in notice and "out.json" in notice
        assert json.loads(report)["format"] == "kulvo-profile"


class TestViewBadInput(OneLineErrors):
    def test_view_of_a_missing_file(self, run_kulvo):
        self.assert_one_line_error(run_kulvo("view", "gone.json"), "no such file")

    def test_view_of_a_file_that_is_not_json(self, tmp_path, run_kulvo):
        (tmp_path / "notes.json").write_text("these are not the droids\n")
        self.assert_one_line_error(run_kulvo("view", "notes.json"), "not a kulvo profile")

    def test_view_of_a_truncated_profile(self, tmp_path, run_kulvo, saved_profile):
        text = saved_profile.read_text()
        (tmp_path / "cut.json").write_text(text[: len(text) // 2])
        self.assert_one_line_error(run_kulvo("view", "cut.json"), "truncated")

    def test_view_of_another_tools_json(self, tmp_path, run_kulvo, saved_profile):
        other = run_kulvo("view", str(saved_profile), "--format", "speedscope").stdout
        (tmp_path / "other.json").write_text(other)
        self.assert_one_line_error(run_kulvo("view", "other.json"), "not a kulvo profile")

    def test_view_of_a_profile_from_another_version(self, tmp_path, run_kulvo, saved_profile):
        document = json.loads(saved_profile.read_text())
        document["version"] = 99
        (tmp_path / "future.json").write_text(json.dumps(document))
        self.assert_one_line_error(run_kulvo("view", "future.json"), "version 99")

    @pytest.mark.parametrize(
        ("text", "message"),
        [
            ('{"format": "kulvo-profile", "frames": ' + "[" * 100_000 + "]" * 100_000 + "}", "nested too deeply"),
            ('{"format": "kulvo-profile", "version": ' + "9" * 5000 + "}", "integer of 5000 digits"),
        ],
    )
    def test_view_of_a_hostile_file(self, tmp_path, run_kulvo, text, message):
        (tmp_path / "hostile.json").write_text(text)
        self.assert_one_line_error(run_kulvo("view", "hostile.json"), message)

    def test_view_of_a_binary_file(self, tmp_path, run_kulvo):
        (tmp_path / "blob.json").write_bytes(bytes(range(256)))
        self.assert_one_line_error(run_kulvo("view", "blob.json"), "not a kulvo profile")
