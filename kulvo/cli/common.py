"""What the subcommands share: their shape, argument errors, report formats and writing the report."""

from __future__ import annotations

import argparse
import os
import sys

from kulvo.reports import FORMATS, format_for_path, suffixes_hint
from kulvo.settings import DEFAULT_INTERVAL_MS, DEFAULT_TOP_N, MAX_INTERVAL_MS, MIN_INTERVAL_MS
from kulvo.threads import DEFAULT_THREADS, THREAD_CHOICES

# Not `typing`'s: importing it would cost `kulvo run` start-up, and type checkers take any such name.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any, NoReturn, TextIO

    from kulvo.model import Profile
    from kulvo.reports import RenderOptions

DEFAULT_WIDTH_CHARS = 100
_UNICODE_PROBE = "█▁…–"


class UsageError(Exception):
    """A bad command line: reported as one line, exit status 2."""


class Command:
    """One subcommand: `add_arguments` fills its parser, `run` gets the parsed arguments and
    returns the exit status."""

    def __init__(
        self,
        *,
        name: str,
        help: str,
        description: str,
        add_arguments: Callable[[argparse.ArgumentParser], None],
        run: Callable[[argparse.Namespace], int],
        usage: str | None = None,
    ) -> None:
        self.name = name
        self.help = help
        self.description = description
        self.add_arguments = add_arguments
        self.run = run
        self.usage = usage


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


_THEME_MADE_AT_ONCE = hasattr(argparse.HelpFormatter, "_set_color") and not isinstance(
    vars(argparse.HelpFormatter).get("_theme"), property
)


class HelpFormatter(argparse.HelpFormatter):
    """argparse's, given the width it would ask shutil for: argparse makes a formatter for
    every option, and importing shutil then costs `kulvo run` a few milliseconds of start-up."""

    def __init__(self, prog: str, indent_increment: int = 2, max_help_position: int = 24, width: int | None = None):
        if width is None:
            # As shutil.get_terminal_size: standard output's terminal, else 80 columns.
            width = terminal_width(sys.__stdout__, fallback=80) - 2  # type: ignore[arg-type]
        super().__init__(prog, indent_increment, max_help_position, width)

    # 3.14's argparse colours its help, and each formatter it makes (one for every option added)
    # imports _colorize, and with it dataclasses and inspect, even to format without colour
    # (3.15 looks its theme up lazily itself). Without colour the theme is empty strings
    # throughout, given here; with colour, argparse's own is looked up when text is first
    # formatted: for help and errors only.
    if _THEME_MADE_AT_ONCE:

        def _set_color(self, color: bool) -> None:
            if color:
                vars(self).pop("_theme", None)
                vars(self).pop("_decolor", None)
                self._color_asked = True
            else:
                vars(self).pop("_color_asked", None)
                self._theme = _NoColors()
                self._decolor = _same_text

        def __getattr__(self, name: str) -> Any:
            if name in ("_theme", "_decolor") and vars(self).pop("_color_asked", False):
                argparse.HelpFormatter._set_color(self, True)  # type: ignore[attr-defined]
                return getattr(self, name)
            raise AttributeError(name)


class _NoColors:
    """argparse's theme without colour: every part of it empty."""

    def __getattr__(self, name: str) -> str:
        return ""


def _same_text(text: str) -> str:
    return text


def make_parser(**kwargs: object) -> Parser:
    return Parser(formatter_class=HelpFormatter, **kwargs)  # type: ignore[arg-type]


def add_sampling_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--interval-ms",
        type=int,
        default=DEFAULT_INTERVAL_MS,
        metavar="N",
        help=f"sampling interval in milliseconds, {MIN_INTERVAL_MS} to {MAX_INTERVAL_MS}"
        f" (default {DEFAULT_INTERVAL_MS})",
    )
    parser.add_argument(
        "--top",
        type=int,
        default=DEFAULT_TOP_N,
        metavar="N",
        help=f"number of hot paths to report (default {DEFAULT_TOP_N})",
    )
    parser.add_argument(
        "--memory",
        action="store_true",
        help="sample allocations: the lines holding memory at its peak and at each jump",
    )
    parser.add_argument(
        "--threads",
        choices=THREAD_CHOICES,
        default=DEFAULT_THREADS,
        help=f"whose stacks to sample: every Python thread's, or the main thread's (default {DEFAULT_THREADS})",
    )


def check_sampling_options(args: argparse.Namespace) -> None:
    if not MIN_INTERVAL_MS <= args.interval_ms <= MAX_INTERVAL_MS:
        raise UsageError(
            f"--interval-ms must be between {MIN_INTERVAL_MS} and {MAX_INTERVAL_MS}, got {args.interval_ms}"
        )
    if args.top < 1:
        raise UsageError(f"--top must be at least 1, got {args.top}")


def add_report_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "-o", "--output", metavar="FILE", help="write the report to FILE instead of the standard streams"
    )
    parser.add_argument(
        "--format",
        choices=FORMATS,
        help="report format (default: from the output file name, else text)",
    )
    parser.add_argument(
        "--leave-out-waiting",
        action="store_true",
        help="shares of the time the main thread worked: leave its waiting (asleep, in I/O, on a lock) out",
    )


def resolve_format(explicit: str | None, output: str | None) -> str:
    if explicit is not None:
        return explicit
    if output is None:
        return "text"
    implied = format_for_path(output)
    if implied is None:
        raise UsageError(f"cannot tell the report format from {output!r}: name it {suffixes_hint()}, or pass --format")
    return implied


def is_terminal(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def use_color(stream: TextIO) -> bool:
    """Colour only on a terminal, and never when NO_COLOR is set (https://no-color.org)."""
    if os.environ.get("NO_COLOR") or os.environ.get("TERM") == "dumb":
        return False
    return is_terminal(stream)


def _columns_asked() -> int | None:
    columns = os.environ.get("COLUMNS", "")
    return int(columns) if columns.isdigit() and int(columns) > 0 else None


def terminal_width(stream: TextIO, fallback: int = DEFAULT_WIDTH_CHARS) -> int:
    """$COLUMNS, else the stream's terminal's width, else `fallback`."""
    asked = _columns_asked()
    if asked is not None:
        return asked
    try:
        if stream.isatty():
            return os.get_terminal_size(stream.fileno()).columns
    except (AttributeError, ValueError, OSError):
        pass
    return fallback


def can_encode(stream: TextIO, text: str) -> bool:
    try:
        text.encode(getattr(stream, "encoding", None) or "utf-8")
    except (UnicodeEncodeError, LookupError):
        return False
    return True


def stream_options(stream: TextIO) -> RenderOptions:
    from kulvo.reports import RenderOptions  # here, as in write_report: `kulvo run` needs them at its end

    return RenderOptions(
        color=use_color(stream),
        width_chars=terminal_width(stream),
        unicode=can_encode(stream, _UNICODE_PROBE),
        cut_to_width=is_terminal(stream),
    )


def load_profile(path: str) -> Profile:
    """A saved profile; a UsageError naming what is wrong with the file."""
    from kulvo.storage import ProfileFormatError, load

    try:
        return load(path)
    except FileNotFoundError:
        raise UsageError(f"no such file: {path!r}") from None
    except IsADirectoryError:
        raise UsageError(f"{path!r} is a directory, not a profile") from None
    except OSError as error:
        raise UsageError(f"cannot read {path!r}: {error.strerror or error}") from None
    except ProfileFormatError as error:
        raise UsageError(f"{path}: {error}") from None


def write_report(
    profile: Profile, format: str, output: str | None, stream: TextIO | None, *, leave_out_waiting: bool
) -> bool:
    """Writes the report to `output`, or to `stream` when there is none (a process started
    with standard error closed has none: the report is then not written, as Python writes no
    traceback there).

    If `output` cannot be written, says so and writes the report to standard error, so that
    the run is not lost. Returns False in that case.
    """
    import dataclasses

    from kulvo.reports import RenderOptions, render

    if output is not None:
        text = render(profile, format, RenderOptions(leave_out_waiting=leave_out_waiting))
        try:
            # Encoded before the file is opened: a report that cannot be written leaves no empty file.
            data = text.encode("utf-8", "backslashreplace")
            with open(output, "wb") as file:
                file.write(data)
            if stream is not None and is_terminal(stream):
                print(f"kulvo: report written to {output}", file=stream)
            return True
        except OSError as error:
            reason = error.strerror or str(error)
            print(f"kulvo: cannot write the report to {output!r} ({reason}); writing it here instead", file=sys.stderr)
            stream = sys.stderr
    if stream is None:
        return output is None
    options = stream_options(stream) if format == "text" else RenderOptions()
    stream.write(render(profile, format, dataclasses.replace(options, leave_out_waiting=leave_out_waiting)))
    stream.flush()
    return output is None
