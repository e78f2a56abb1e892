"""`kulvo view FILE.json`: renders a saved profile again, in any format."""

from __future__ import annotations

import argparse
import sys

from kulvo.cli.common import Command, add_report_options, load_profile, resolve_format, write_report

EXIT_WRITE_FAILED = 1


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("profile", metavar="FILE.json", help="a profile saved by kulvo")
    add_report_options(parser)


def run(args: argparse.Namespace) -> int:
    format = resolve_format(args.format, args.output)
    profile = load_profile(args.profile)
    return (
        0
        if write_report(profile, format, args.output, sys.stdout, leave_out_waiting=args.leave_out_waiting)
        else EXIT_WRITE_FAILED
    )


COMMAND = Command(
    name="view",
    help="render a saved profile again",
    description="Render a profile saved as JSON (kulvo run -o FILE.json) in any report format.",
    add_arguments=add_arguments,
    run=run,
)
