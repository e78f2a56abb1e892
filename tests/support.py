"""Helpers shared by the core's test suites."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap


def run_python(code: str, *flags: str, timeout: float = 60.0) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter of the one running the tests."""
    env = dict(os.environ)
    env.pop("PYTHONWARNINGS", None)
    # Through a shell: Linux hands a child the peak resident size of the process that
    # spawned it, and a large test runner would hide the child's own memory growth.
    return subprocess.run(
        ["/bin/sh", "-c", '"$@"; exit $?', "sh", sys.executable, *flags, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )


def innermost(sample: dict) -> str | None:
    stack = sample["stack"]
    return stack[-1]["function"] if stack else None
