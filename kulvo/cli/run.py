"""`kulvo run [options] script.py [args...]` / `kulvo run [options] -m module [args...]`.

The program runs as `__main__` with its own argv and sys.path[0]; kulvo exits with the
program's exit status, and writes the report however the program ended.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
from types import FrameType

from kulvo import sampling
from kulvo.api import PROFILER_FRAMES, Recording
from kulvo.cli.common import (
    Command,
    UsageError,
    add_report_options,
    add_sampling_options,
    check_sampling_options,
    is_terminal,
    resolve_format,
    terminal_width,
    write_report,
)
from kulvo.target import (
    INTERRUPTED,
    PROGRAM_ROOT,
    Target,
    TargetError,
    TargetSyntaxError,
    execute,
    module_target,
    script_target,
)

# Not `typing`'s: importing it would cost `kulvo run` start-up, and type checkers take any such name.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import NoReturn, TextIO

    from kulvo.model import Profile

USAGE = (
    "kulvo run [--interval-ms N] [--top N] [--memory] [--threads all|main] [--subprocesses] [-o FILE] [--format FMT]"
    " (script.py | -m module) [args ...]"
)


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_sampling_options(parser)
    add_report_options(parser)
    parser.add_argument(
        "--subprocesses",
        action="store_true",
        help="profile the program's Python child processes too (multiprocessing, subprocess) and merge them in",
    )
    # Everything after the script or the module belongs to the program, options included.
    parser.add_argument(
        "-m", dest="module", nargs=argparse.REMAINDER, help="run a library module as the program, as python -m does"
    )
    parser.add_argument("program", nargs=argparse.REMAINDER, metavar="script.py", help="the script, then its arguments")


def program_argv(args: argparse.Namespace) -> list[str]:
    """The program's command line, as `script.py args...` or `-m module args...`."""
    if args.module is not None:  # also "-mmodule", which leaves the arguments to `program`
        return ["-m", *args.module, *args.program]
    program: list[str] = args.program
    # argparse leaves the "--" that may end kulvo's options in the remainder.
    return program[1:] if program[:1] == ["--"] else program


def prepare_target(program: list[str]) -> Target:
    if not program:
        raise UsageError("nothing to run: give a script or -m module")
    if program[0] == "-m":
        if len(program) < 2:
            raise UsageError("-m needs a module name")
        return module_target(program[1], program[2:])
    if program[0] == "-":
        raise UsageError("reading the program from standard input is not supported; give a script file")
    return script_target(program[0], program[1:])


def run(args: argparse.Namespace) -> int:
    check_sampling_options(args)
    format = resolve_format(args.format, args.output)
    # The program may change directory; the report still goes where the command line said.
    output = os.path.abspath(args.output) if args.output is not None else None
    try:
        target = prepare_target(program_argv(args))
    except TargetError as error:
        raise UsageError(str(error)) from None
    except TargetSyntaxError as error:
        sys.stderr.write(str(error))
        return 1

    # The program may replace sys.stderr; the report still goes to the one kulvo started with.
    report_stream = sys.stderr
    recording = Recording(
        interval_ms=args.interval_ms,
        top_n=args.top,
        memory=args.memory,
        argv=target.argv,
        root=PROGRAM_ROOT,
        own=RUN_FRAMES,
        threads=args.threads,
    )
    report = RunReport(recording, format, output, report_stream, leave_out_waiting=args.leave_out_waiting)
    if args.subprocesses:
        report.follow_children(interval_ms=args.interval_ms, top_n=args.top, threads=args.threads)
    if is_terminal(report_stream):
        # A sign of life for a long run, on a terminal only: never in a pipe or a file. (The
        # report's helpers are imported here: a run in a pipe pays nothing for them at start.)
        from kulvo.reports.units import program_command

        program = program_command(target.argv)
        line = f"kulvo: sampling {program} every {args.interval_ms} ms until it ends (Ctrl-C ends it)"
        width = terminal_width(report_stream)  # 0 where the terminal does not say
        print(line[:width] if width > 0 else line, file=report_stream, flush=True)
    recording.start()
    status = report.run_program(target)
    if status == INTERRUPTED:
        _die_of(signal.SIGINT)
    return status


# Before and after the program, the main thread runs this module's and target.py's code.
RUN_FRAMES = PROFILER_FRAMES.replace(
    files=PROFILER_FRAMES.files | {run.__code__.co_filename, execute.__code__.co_filename}
)


class RunReport:
    """The run's report, written once: when the program ends, or when SIGTERM ends it first.

    Python's default for SIGTERM is to die on the spot, which lost the report: kulvo writes it,
    then dies of the signal itself, so that whoever sent it still sees the program killed by it.
    A process the program forked writes no report; the run is the parent's.
    """

    def __init__(
        self, recording: Recording, format: str, output: str | None, stream: TextIO | None, *, leave_out_waiting: bool
    ) -> None:
        self._recording = recording
        self._leave_out_waiting = leave_out_waiting
        self._format = format
        self._output = output
        self._stream = stream
        self._written = False
        self._writing = False
        self._terminated = False
        self._children_directory: str | None = None
        # kulvo's own module path. The program's (its script's directory first) may hold a
        # json.py or a platform.py, which the report's imports after the program must not take.
        self._kulvo_path = list(sys.path)

    def follow_children(self, *, interval_ms: int, top_n: int, threads: str) -> None:
        """The program's Python children profile themselves; the report merges them in."""
        import tempfile  # here, as below: only a run that follows its children needs them

        from kulvo import children

        self._children_directory = tempfile.mkdtemp(prefix="kulvo-children-")
        children.follow(self._children_directory, children.ChildSettings(interval_ms, top_n, threads))

    def _profile(self) -> Profile:
        profile = self._recording.stop()
        directory = self._children_directory
        if directory is None:
            return profile
        import shutil

        from kulvo import children
        from kulvo.merge import merge

        try:
            found = children.collect(directory)
        finally:
            shutil.rmtree(directory, ignore_errors=True)
        return merge([profile, *found.profiles], found.notes())

    def write(self) -> None:
        if self._written or self._recording.in_forked_child:
            return
        self._written = self._writing = True
        program_path = list(sys.path)
        sys.path[:] = self._kulvo_path
        try:
            write_report(
                self._profile(),
                self._format,
                self._output,
                self._stream,
                leave_out_waiting=self._leave_out_waiting,
            )
        finally:
            sys.path[:] = program_path
            self._writing = False
            if self._terminated:  # SIGTERM came while the report was being written
                _die_of(signal.SIGTERM)

    def _on_sigterm(self, signum: int, frame: FrameType | None) -> None:
        self._terminated = True
        if self._writing:
            return
        try:
            self.write()
        finally:
            _die_of(signum)

    def _on_exec(self, how: str) -> None:
        self._recording.add_note(f"the program replaced itself with {how}: the profile ends there")
        self.write()

    def run_program(self, target: Target) -> int:
        """Runs the program. The report is written when it ends, when SIGTERM ends it first, and
        just before it execs: nothing of the process is left after an exec."""
        previous = signal.signal(signal.SIGTERM, self._on_sigterm)
        undo_exec = sampling.on_exec(self._on_exec)
        try:
            try:
                return execute(target)
            finally:
                self.write()
        finally:
            undo_exec()
            if previous is not None:  # None: a handler installed from outside Python, left alone
                signal.signal(signal.SIGTERM, previous)


def _die_of(signum: int) -> NoReturn:
    signal.signal(signum, signal.SIG_DFL)
    os.kill(os.getpid(), signum)
    os._exit(128 + signum)  # only if the signal could not end the process


COMMAND = Command(
    name="run",
    help="run a Python program under the profiler",
    description="Run a Python program under the profiler and report where its time and memory went.",
    usage=USAGE,
    add_arguments=add_arguments,
    run=run,
)
