"""Qualified names (`Vector.__init__`, `main.<locals>.<listcomp>`) for the bare function names
that stacks record, found in the source: the innermost definition of that name around the
line. The source is read when a report is drawn; a file that cannot be read or parsed, or no
definition that fits (the file changed since), leaves the name bare."""

from __future__ import annotations

import ast
import functools
import linecache
from dataclasses import dataclass

from kulvo.model import Frame

MODULE = "<module>"


@dataclass(frozen=True)
class _Definition:
    name: str
    first_line: int
    last_line: int
    qualified: str
    is_class: bool

    @property
    def inner_prefix(self) -> str:
        return self.qualified + ("." if self.is_class else ".<locals>.")


_Scope = ast.FunctionDef | ast.AsyncFunctionDef | ast.ClassDef


# Every file of a large program (sympy's stacks name hundreds): with fewer, a report drawn in
# several passes parses the same files again and again.
@functools.lru_cache(maxsize=4096)
def _definitions(file: str) -> tuple[_Definition, ...]:
    source = "".join(linecache.getlines(file))
    if not source:
        return ()
    try:
        tree = ast.parse(source, file)
    except (SyntaxError, ValueError, RecursionError):
        return ()
    found: list[_Definition] = []
    pending: list[tuple[ast.AST, str]] = [(tree, "")]
    while pending:
        node, prefix = pending.pop()
        for child in ast.iter_child_nodes(node):
            if isinstance(child, _Scope):
                last_line = child.end_lineno or child.lineno
                is_class = isinstance(child, ast.ClassDef)
                # The code's first line, where a sample at its entry lands, is its first decorator's.
                first_line = min([child.lineno] + [d.lineno for d in child.decorator_list])
                definition = _Definition(child.name, first_line, last_line, prefix + child.name, is_class)
                found.append(definition)
                pending.append((child, definition.inner_prefix))
            else:
                pending.append((child, prefix))
    return tuple(found)


@functools.lru_cache(maxsize=1 << 16)
def qualified_name(file: str, function: str, line: int) -> str:
    if function == MODULE:
        return function
    around = [d for d in _definitions(file) if d.first_line <= line <= d.last_line]
    if function.startswith("<"):
        # A comprehension, generator expression or lambda: named after the scope it is in.
        scope = max(around, key=lambda d: d.first_line, default=None)
        return function if scope is None else scope.inner_prefix + function
    named = [d for d in around if d.name == function]
    return max(named, key=lambda d: d.first_line).qualified if named else function


def display_name(frame: Frame) -> str:
    return qualified_name(frame.file, frame.function, frame.line)
