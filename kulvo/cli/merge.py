"""`kulvo merge A.json B.json ... -o all.json`: profiles of one program's processes, or of its
workers on several machines, as one profile."""

from __future__ import annotations

import argparse
import sys

from kulvo.cli.common import Command, add_report_options, load_profile, resolve_format, write_report

EXIT_WRITE_FAILED = 1


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "profiles", metavar="FILE.json", nargs="+", help="profiles saved by kulvo, the first one's readings kept"
    )
    add_report_options(parser)


def run(args: argparse.Namespace) -> int:
    from kulvo.merge import merge

    format = resolve_format(args.format, args.output)
    profiles = [load_profile(path) for path in args.profiles]
    merged = merge(profiles, [f"merged from {len(profiles)} profiles: {', '.join(args.profiles)}"])
    written = write_report(merged, format, args.output, sys.stdout, leave_out_waiting=args.leave_out_waiting)
    return 0 if written else EXIT_WRITE_FAILED


COMMAND = Command(
    name="merge",
    help="merge saved profiles of several processes into one",
    description=(
        "Merge profiles saved as JSON (kulvo run -o FILE.json) of one program's processes, or of its workers on "
        "several machines, into one profile with a section per process; written in any report format."
    ),
    add_arguments=add_arguments,
    run=run,
)
