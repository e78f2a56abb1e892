"""Numbers and names as the reports print them."""

from __future__ import annotations

import functools
import math
import os
import re
import sys
import sysconfig
from collections.abc import Mapping, Sequence

from kulvo.samples import PROCESS_ROOT_FILE, THREAD_ROOT_FILE

_MIB = 1024 * 1024
# What reports call files that are no files to their reader: a notebook's cells, by the names
# the notebook gives them ("In[4]"). The notebook magic fills it; a saved profile keeps the paths.
_FILE_TITLES: dict[str, str] = {}
_PACKAGE_DIRECTORIES = ("site-packages", "dist-packages")


def format_bytes(value: float | None) -> str:
    if value is None:
        return "n/a"
    sign = "-" if value < 0 else ""
    value = abs(value)
    for unit, size in (("GiB", 1024**3), ("MiB", _MIB), ("KiB", 1024)):
        if value >= size:
            return f"{sign}{value / size:.1f} {unit}"
    return f"{sign}{value:.0f} B"


def format_signed_bytes(value: float) -> str:
    text = format_bytes(value)
    return text if value < 0 else "+" + text


def format_duration_ms(value_ms: float) -> str:
    # Each unit is chosen by the value as it will be printed, so rounding never shows
    # "60 s" under minutes, "60.00 s" or "1000 ms".
    if round(value_ms / 10) >= 6000:
        minutes, seconds = divmod(round(value_ms / 1000), 60)
        return f"{minutes} min {seconds} s"
    if round(value_ms) >= 1000:
        return f"{value_ms / 1000:.2f} s"
    return f"{value_ms:.0f} ms"


def format_percent(value: float | None) -> str:
    return "n/a" if value is None else f"{value:.1f} %"


def format_spike_value(kind: str, value: float) -> str:
    return format_percent(value) if kind == "cpu" else format_bytes(value)


def import_roots() -> tuple[str, ...]:
    """The directories modules are imported from (the standard library, site-packages and the
    rest of sys.path), longest first, so that the innermost one names a file."""
    return _import_roots(tuple(sys.path))


@functools.lru_cache(maxsize=4)
def _import_roots(search_path: tuple[str, ...]) -> tuple[str, ...]:
    paths = sysconfig.get_paths()
    candidates = [*search_path, paths["stdlib"], paths["platstdlib"], paths["purelib"], paths["platlib"]]
    roots = {os.path.abspath(path) for path in candidates if path and os.path.isabs(path)}
    # "/" or a home directory on sys.path would make every path look like a module's.
    return tuple(sorted((root for root in roots if root.count(os.sep) > 2), key=len, reverse=True))


def _below(path: str, directory: str) -> bool:
    return path.startswith(directory.rstrip(os.sep) + os.sep)


def program_command(argv: Sequence[str], *, whole_path: bool = False) -> str:
    """The profiled program's command line as a title: a package's `__main__.py` as the `-m`
    that ran it, else the script (its file name only, unless `whole_path`)."""
    if not argv:
        return "python"
    script = argv[0]
    if os.path.basename(script) == "__main__.py" and os.path.dirname(script):
        program = f"-m {os.path.basename(os.path.dirname(script))}"
    else:
        program = script if whole_path else os.path.basename(script)
    return " ".join([program, *argv[1:]])


def title_files(titles: Mapping[str, str]) -> None:
    """Reports from now on show each file of `titles` by its title."""
    _FILE_TITLES.update(titles)


def short_path(file: str, cwd: str | None = None, roots: Sequence[str] | None = None) -> str:
    """A file name as a user reads it: `package/module.py` for an installed package or the
    standard library, relative to the working directory for the user's own files, else in full;
    a notebook cell by its name."""
    if file in _FILE_TITLES:
        return _FILE_TITLES[file]
    if not os.path.isabs(file):
        return file
    cwd = cwd if cwd is not None else os.getcwd()
    # A script's own directory below the working directory is on sys.path too; the working
    # directory says more there. A virtual environment inside it is still a package's home.
    bases = [cwd] + [
        root
        for root in (import_roots() if roots is None else roots)
        if not _below(root, cwd) or os.path.basename(root) in _PACKAGE_DIRECTORIES
    ]
    base = max((b for b in bases if _below(file, b)), key=len, default=None)
    return file if base is None else os.path.relpath(file, base)


# Control characters (C0, DEL, C1), line and paragraph separators, bidirectional overrides, and
# lone surrogates (names decoded from bytes that were not UTF-8).
_UNPRINTABLE = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\u202a-\u202e\u2066-\u2069\ud800-\udfff]")


def printable(text: str) -> str:
    """`text` with the characters that act on a terminal written as escapes (`\\x1b`, `\\n`):
    a name taken from a program or a file cannot retitle the terminal, clear it, move its
    cursor or break a line of a report."""
    return _UNPRINTABLE.sub(lambda match: repr(match.group())[1:-1], text)


def location(file: str, line: int) -> str:
    """`file:line` as the reports show a source line; a thread's root frame by its kernel id, a
    process's by its id."""
    if file == THREAD_ROOT_FILE:
        return f"tid {line}"
    if file == PROCESS_ROOT_FILE:
        return f"pid {line}"
    return f"{printable(short_path(file))}:{line}"


def truncate_left(text: str, width: int) -> str:
    """Keeps the end of a long name (the file's own name), marking the cut with an ellipsis."""
    if width <= 0:
        return ""
    if len(text) <= width:
        return text
    return "…" + text[len(text) - width + 1 :]


def truncate_right(text: str, width: int) -> str:
    if width <= 0:
        return ""
    if len(text) <= width:
        return text
    return text[: width - 1] + "…"


def cpu_scale_top(readings: Sequence[float]) -> float:
    """The top of a CPU chart: the highest reading rounded up to a quarter of a core, so that a
    light load is not drawn flat and a busy single thread leaves no room above 100 %. The top
    1 % of readings may stand above it, clipped: a reading over a millisecond or two can show
    several cores' worth of rounding and would squash the rest."""
    if not readings:
        return 25.0
    ordered = sorted(readings)
    high = ordered[(len(ordered) - 1) * 99 // 100]
    return max(25.0, 25.0 * math.ceil(high / 25.0))
