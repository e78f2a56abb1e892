"""The `kulvo` command: one module per subcommand, each declaring its `COMMAND`."""

from __future__ import annotations

import sys
from collections.abc import Sequence

from kulvo._core import __version__
from kulvo.cli import merge, run, view
from kulvo.cli.common import Command, HelpFormatter, Parser, UsageError, make_parser

EXIT_USAGE = 2

COMMANDS: tuple[Command, ...] = (run.COMMAND, view.COMMAND, merge.COMMAND)


def build_parser(argv: Sequence[str] = ()) -> Parser:
    """The whole command line's parser; a command named first in `argv` gets its options, the
    others only their names and help (each option made costs `kulvo run` start-up)."""
    named = argv[0] if argv and argv[0] in {command.name for command in COMMANDS} else None
    parser = make_parser(
        prog="kulvo",
        description="A sampling profiler for Python programs: CPU and memory spikes, hot paths, flame graphs.",
    )
    parser.add_argument("--version", action="version", version=f"kulvo {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    for command in COMMANDS:
        subparser = commands.add_parser(
            command.name,
            help=command.help,
            description=command.description,
            usage=command.usage,
            formatter_class=HelpFormatter,
        )
        if named in (None, command.name):
            command.add_arguments(subparser)
        subparser.set_defaults(run=command.run)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    arguments = sys.argv[1:] if argv is None else argv
    parser = build_parser(arguments)
    try:
        args = parser.parse_args(arguments)
        if args.command is None:
            parser.print_help(sys.stderr)
            return EXIT_USAGE
        status: int = args.run(args)
        return status
    except UsageError as error:
        print(f"kulvo: error: {error}", file=sys.stderr)
        return EXIT_USAGE
