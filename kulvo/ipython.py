"""Profile a cell or a statement in IPython or Jupyter:

    %load_ext kulvo

    %%kulvo [--interval-ms N] [--top N] [--memory] [--leave-out-waiting] [-o FILE [--format FMT]]
    the cell's code

    %kulvo [options] [--] statement

In a notebook the html report shows in the cell's output, in a frame of its own; in terminal
IPython the text report prints. With -o the report is written to FILE instead. Stacks start at
the cell's code: IPython's frames and kulvo's are left out. A cell that raises shows its report,
then the exception; the value of a cell's last expression is its output, as without the magic.

IPython is imported only when the extension is loaded (`kulvo.load_ipython_extension`).
"""

from __future__ import annotations

import argparse
import ast
import html
import io
import os
import shlex
import sys
import threading
from dataclasses import dataclass, replace
from types import CodeType
from typing import Any

from kulvo.api import PROFILER_FRAMES, Recording, root_at
from kulvo.cli.common import (
    UsageError,
    add_report_options,
    add_sampling_options,
    check_sampling_options,
    make_parser,
    resolve_format,
    stream_options,
    write_report,
)
from kulvo.model import Profile
from kulvo.reports import RenderOptions, render
from kulvo.reports.units import title_files
from kulvo.stack_cut import ProfilerFrames

# The options that take a value: on a `%kulvo` line the statement starts at the first word that
# is neither an option nor such a value.
_OPTIONS_WITH_VALUE = frozenset({"--interval-ms", "--top", "-o", "--output", "--format"})
INLINE_HEIGHT_PX = 640


def load_ipython_extension(shell: Any) -> None:
    def kulvo(line: str, cell: str | None = None) -> Any:
        __tracebackhide__ = True  # IPython leaves this frame out of the cell's traceback
        return run_magic(shell, line, cell)

    kulvo.__doc__ = __doc__
    shell.register_magic_function(kulvo, magic_kind="line_cell", magic_name="kulvo")


def _parser() -> argparse.ArgumentParser:
    parser = make_parser(prog="%kulvo", add_help=False)
    add_sampling_options(parser)
    add_report_options(parser)
    return parser


def split_line(line: str) -> tuple[list[str], str]:
    """The option words at the start of a `%kulvo` line, and the statement after them."""
    stream = io.StringIO(line)
    lexer = shlex.shlex(stream, posix=True)
    lexer.whitespace_split = True
    lexer.commenters = ""
    words: list[str] = []
    wants_value = False
    while True:
        start = stream.tell()
        try:
            word = lexer.get_token()
        except ValueError:  # an unclosed quote: the statement's, not an option's
            return words, line[start:].strip()
        if word is None:
            return words, ""
        if wants_value:
            words.append(word)
            wants_value = False
        elif word == "--":
            return words, line[stream.tell() :].strip()
        elif word.startswith("-") and word != "-":
            words.append(word)
            wants_value = word in _OPTIONS_WITH_VALUE
        else:
            return words, line[start:].strip()


def parse_magic(line: str, cell: str | None) -> tuple[argparse.Namespace, str]:
    """The options and the code to profile, or UsageError."""
    if cell is None:
        words, code = split_line(line)
        if not code:
            raise UsageError("nothing to profile: give a statement after the options, or use %%kulvo on a cell")
    else:
        try:
            words, code = shlex.split(line), cell
        except ValueError as error:
            raise UsageError(f"cannot read the options: {error}") from None
    options = _parser().parse_args(words)
    check_sampling_options(options)
    if options.format is not None and options.output is None:
        raise UsageError("--format names the format of the -o file; without -o the report shows here")
    options.format = resolve_format(options.format, options.output)
    return options, code


@dataclass(frozen=True)
class CellCode:
    body: CodeType
    last_expression: CodeType | None  # evaluated apart: its value is the cell's output


def cell_number(shell: Any) -> int:
    """The number of the cell running. IPython 9 counts the next cell from the start of this one
    on; the result of the cell running has its own number."""
    running = getattr(getattr(shell, "displayhook", None), "exec_result", None)
    number = getattr(running, "execution_count", None)
    return number if isinstance(number, int) else int(shell.execution_count)


def compile_cell(shell: Any, source: str) -> CellCode:
    """Compiles as IPython does: its syntax (`%magic`, `!command`) transformed, the source kept
    for tracebacks, the cell numbered as the one running."""
    transformed = shell.transform_cell(source)
    filename = shell.compile.cache(transformed, cell_number(shell), raw_code=source)
    tree = shell.compile.ast_parse(transformed, filename=filename)
    last = None
    if tree.body and isinstance(tree.body[-1], ast.Expr):
        last = shell.compile(ast.Expression(tree.body.pop().value), filename, "eval")
    return CellCode(shell.compile(tree, filename, "exec"), last)


@dataclass
class Outcome:
    profile: Profile
    value: Any = None
    error: BaseException | None = None


# This module's frames lie between IPython's and the cell's.
MAGIC_FRAMES = ProfilerFrames(files=PROFILER_FRAMES.files | {__file__}, busy=PROFILER_FRAMES.busy)

# The kernel's packages: its own threads (messages, heartbeat, history) run their code.
KERNEL_PACKAGES = ("IPython", "ipykernel", "jupyter_client", "zmq", "tornado", "traitlets", "debugpy")


def kernel_directories() -> tuple[str, ...]:
    found = []
    for name in KERNEL_PACKAGES:
        file = getattr(sys.modules.get(name), "__file__", None)
        if file:
            found.append(os.path.dirname(file) + os.sep)
    return tuple(found)


def run_profiled(code: CellCode, shell: Any, options: argparse.Namespace, title: list[str]) -> Outcome:
    __tracebackhide__ = True
    recording = Recording(
        interval_ms=options.interval_ms,
        top_n=options.top,
        memory=options.memory,
        argv=title,
        # The cell's code runs right below this frame: IPython's frames are outside it.
        root=root_at(sys._getframe(), keep=False),
        own=MAGIC_FRAMES.replace(host_directories=kernel_directories()),
        with_stacks=threading.current_thread() is threading.main_thread(),
        threads=options.threads,
    )
    value: Any = None
    error: BaseException | None = None
    # Looked up before the start: they are IPython properties, whose frames would sit in the
    # cell's report.
    global_ns, user_ns = shell.user_global_ns, shell.user_ns
    recording.start()
    try:
        exec(code.body, global_ns, user_ns)
        if code.last_expression is not None:
            value = eval(code.last_expression, global_ns, user_ns)
    except BaseException as raised:  # the report first, then the exception (KeyboardInterrupt too)
        error = raised
    return Outcome(recording.stop(), value, error)


def run_magic(shell: Any, line: str, cell: str | None) -> Any:
    __tracebackhide__ = True
    from IPython.core.error import UsageError as IPythonUsageError

    try:
        options, source = parse_magic(line, cell)
    except UsageError as error:
        raise IPythonUsageError(str(error)) from None
    title = [f"In[{cell_number(shell)}]"] + ([] if cell is not None else [source])
    outcome = run_profiled(compile_cell(shell, source), shell, options, title)
    title_cells(shell)
    show(outcome.profile, options)
    if outcome.error is not None:
        raise outcome.error
    return outcome.value


def title_cells(shell: Any) -> None:
    """Reports name the notebook's cells as IPython's tracebacks do, not by the temporary files
    the kernel compiles them from. (IPython 8 keeps the map of those files to cell numbers.)"""
    cells = getattr(shell.compile, "_filename_map", None)
    if isinstance(cells, dict):
        title_files({file: f"In[{number}]" for file, number in cells.items() if isinstance(number, int)})


def show(profile: Profile, options: argparse.Namespace) -> None:
    if options.output is not None:
        waiting = options.leave_out_waiting
        if write_report(profile, options.format, options.output, sys.stderr, leave_out_waiting=waiting):
            print(f"kulvo: report written to {options.output}")
        return
    from IPython.display import display

    display(InlineReport(profile, leave_out_waiting=options.leave_out_waiting))


def inline_html(report: str) -> str:
    """The html report in a frame of its own: its ids, styles and scripts cannot meet another
    report's, or the notebook's, on one page. The frame grows to the report's height."""
    return (
        f'<iframe class="kulvo-report" srcdoc="{html.escape(report, quote=True)}" '
        f'style="width: 100%; height: {INLINE_HEIGHT_PX}px; border: 0" '
        "onload=\"this.style.height = this.contentDocument.documentElement.scrollHeight + 'px'\"></iframe>"
    )


class InlineReport:
    """What the magic displays: the html report where the front end shows html, else the text
    report."""

    def __init__(self, profile: Profile, *, leave_out_waiting: bool = False) -> None:
        self.profile = profile
        self.leave_out_waiting = leave_out_waiting

    def _repr_mimebundle_(self, include: object = None, exclude: object = None) -> dict[str, str]:
        waiting = self.leave_out_waiting
        return {
            "text/plain": render(self.profile, "text", replace(stream_options(sys.stdout), leave_out_waiting=waiting)),
            "text/html": inline_html(render(self.profile, "html", RenderOptions(leave_out_waiting=waiting))),
        }
