"""The `kulvo` command: one module per subcommand."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

from kulvo._core import __version__
from kulvo.cli import run as run_command
from kulvo.cli import view as view_command
from kulvo.cli.common import UsageError, make_parser

EXIT_USAGE = 2


def build_parser() -> argparse.ArgumentParser:
    parser = make_parser(
        prog="kulvo",
        description="A sampling profiler for Python programs: CPU and memory spikes, hot paths, flame graphs.",
    )
    parser.add_argument("--version", action="version", version=f"kulvo {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    run_command.add_parser(commands)
    view_command.add_parser(commands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = list(sys.argv[1:] if argv is None else argv)
    try:
        # `run` takes the program's own arguments verbatim, so it parses its command line itself.
        if args and args[0] == "run":
            return run_command.main(args[1:])
        parsed = build_parser().parse_args(args)
        if parsed.command == "view":
            return view_command.main(parsed)
        build_parser().print_help(sys.stderr)
        return EXIT_USAGE
    except UsageError as error:
        print(f"kulvo: error: {error}", file=sys.stderr)
        return EXIT_USAGE
