"""`kulvo run [options] script.py [args...]` / `kulvo run [options] -m module [args...]`.

The program runs as `__main__` with its own argv and sys.path[0]; kulvo exits with the
program's exit status, and writes the report however the program ended.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any

from kulvo.api import MAX_INTERVAL_MS, MIN_INTERVAL_MS, Recording, stack_depth
from kulvo.cli.common import UsageError, add_report_options, make_parser, resolve_format, write_report
from kulvo.target import PROGRAM_ROOT, Target, TargetError, TargetSyntaxError, execute, module_target, script_target

USAGE = "kulvo run [--interval-ms N] [--top N] [--memory] [-o FILE] [--format FMT] (script.py | -m module) [args ...]"
# Options of kulvo's own that take a value: the program's command line starts after them.
_OPTIONS_WITH_VALUE = frozenset({"--interval-ms", "--top", "-o", "--output", "--format"})


def add_parser(commands: Any) -> None:
    # Listed for `kulvo --help`; the real parsing happens in `main`, which keeps the
    # program's arguments away from argparse.
    commands.add_parser("run", help="run a Python program under the profiler", usage=USAGE, add_help=False)


def option_parser() -> argparse.ArgumentParser:
    parser = make_parser(
        prog="kulvo run",
        usage=USAGE,
        description="Run a Python program under the profiler and report where its time and memory went.",
    )
    parser.add_argument(
        "--interval-ms",
        type=int,
        default=50,
        metavar="N",
        help=f"sampling interval in milliseconds, {MIN_INTERVAL_MS} to {MAX_INTERVAL_MS} (default 50)",
    )
    parser.add_argument("--top", type=int, default=20, metavar="N", help="number of hot paths to report (default 20)")
    parser.add_argument("--memory", action="store_true", help="take tracemalloc snapshots when resident memory jumps")
    add_report_options(parser)
    return parser


def split_argv(argv: list[str]) -> tuple[list[str], list[str]]:
    """Splits the command line into kulvo's options and the program with its arguments."""
    index = 0
    while index < len(argv):
        arg = argv[index]
        if arg == "--":
            return argv[:index], argv[index + 1 :]
        if arg == "-m":
            return argv[:index], argv[index:]
        if arg.startswith("-m") and not arg.startswith("--"):  # -mmodule, as python accepts
            return argv[:index], ["-m", arg[2:], *argv[index + 1 :]]
        if arg == "-" or not arg.startswith("-"):
            return argv[:index], argv[index:]
        index += 2 if arg in _OPTIONS_WITH_VALUE else 1
    return argv, []


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


def main(argv: list[str]) -> int:
    own, program = split_argv(argv)
    args = option_parser().parse_args(own)
    if not MIN_INTERVAL_MS <= args.interval_ms <= MAX_INTERVAL_MS:
        raise UsageError(
            f"--interval-ms must be between {MIN_INTERVAL_MS} and {MAX_INTERVAL_MS}, got {args.interval_ms}"
        )
    if args.top < 1:
        raise UsageError(f"--top must be at least 1, got {args.top}")
    format = resolve_format(args.format, args.output)
    # The program may change directory; the report still goes where the command line said.
    output = os.path.abspath(args.output) if args.output is not None else None
    try:
        target = prepare_target(program)
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
        outside_frames=stack_depth(sys._getframe()),
    )
    recording.start()
    try:
        status = execute(target)
    finally:
        profile = recording.stop()
        write_report(profile, format, output, report_stream)
    return status
