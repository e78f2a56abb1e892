"""Allocation-heavy programs for bench/memory_peak.py: `python peak_programs.py NAME`.

Each keeps what it builds until it ends, or frees it first (four_line), so that the peak has
lines to name. Inputs are the running interpreter's own standard library, so nothing is
downloaded.
"""

from __future__ import annotations

import os
import sys
import sysconfig
import time

STDLIB = sysconfig.get_paths()["stdlib"]


def stdlib_sources(limit_bytes: int) -> list[str]:
    """Standard-library modules' text, in a fixed order, up to about `limit_bytes`."""
    texts: list[str] = []
    total = 0
    for directory, subdirectories, files in os.walk(STDLIB):
        subdirectories[:] = sorted(d for d in subdirectories if d not in ("test", "site-packages", "idlelib"))
        for name in sorted(files):
            if name.endswith(".py") and total < limit_bytes:
                with open(os.path.join(directory, name), encoding="utf-8", errors="replace") as source:
                    texts.append(source.read())
                total += len(texts[-1])
    return texts


def four_line() -> None:
    kept = [str(i) * 3 + "x" for i in range(600_000)]
    time.sleep(0.3)
    del kept


def docutils_html() -> None:
    from docutils.core import publish_string

    sections = []
    for n in range(120):
        rows = "\n".join(f"   * - {n}.{i}\n     - ``value {i}``\n     - *emphasis* {i}" for i in range(12))
        sections.append(
            f"Section {n}\n{'=' * (8 + len(str(n)))}\n\nSome **text** with a `link <https://example.org/{n}>`_.\n\n"
            f".. list-table::\n\n{rows}\n"
        )
    html = publish_string("\n\n".join(sections), writer_name="html", settings_overrides={"report_level": 5})
    time.sleep(0.1)
    print(len(html))


def pygments_html() -> None:
    from pygments import highlight
    from pygments.formatters import HtmlFormatter
    from pygments.lexers import PythonLexer

    source = "\n".join(stdlib_sources(1_000_000))
    tokens = list(PythonLexer().get_tokens(source))
    html = highlight(source, PythonLexer(), HtmlFormatter(linenos=True))
    time.sleep(0.1)
    print(len(tokens), len(html))


def black_format() -> None:
    import black

    mode = black.Mode()
    formatted = []
    for text in stdlib_sources(300_000):
        try:
            formatted.append(black.format_str(text, mode=mode))
        except Exception:  # a module black cannot parse: left as it is
            formatted.append(text)
    time.sleep(0.1)
    print(sum(map(len, formatted)))


def json_regex_index() -> None:
    import json
    import re

    word = re.compile(r"[A-Za-z_][A-Za-z0-9_]{2,}")
    definition = re.compile(r"^\s*(?:def|class)\s+(\w+)", re.MULTILINE)
    index: dict[str, list[tuple[int, int]]] = {}
    definitions: dict[str, list[int]] = {}
    for number, text in enumerate(stdlib_sources(8_000_000)):
        for match in word.finditer(text):
            index.setdefault(match.group(), []).append((number, match.start()))
        for match in definition.finditer(text):
            definitions.setdefault(match.group(1), []).append(number)
    encoded = json.dumps({"index": index, "definitions": definitions})
    decoded = json.loads(encoded)
    time.sleep(0.1)
    print(len(encoded), len(decoded["index"]))


PROGRAMS = {f.__name__: f for f in (four_line, docutils_html, pygments_html, black_format, json_regex_index)}

if __name__ == "__main__":
    PROGRAMS[sys.argv[1]]()
