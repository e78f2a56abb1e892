"""Fixtures for the package's tests: running the real `kulvo` command on small programs."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from collections.abc import Callable
from pathlib import Path

import pytest

RunKulvo = Callable[..., subprocess.CompletedProcess]
WriteProgram = Callable[[str, str], Path]

# A program with a quiet stretch, a busy function and a 48 MiB allocation, short enough to
# run many times: the reports have a hot path, a CPU spike and a memory spike to show.
SPIKY_PROGRAM = """\
import time


def idle():
    time.sleep(0.25)


def spin():
    deadline = time.perf_counter() + 0.25
    total = 0
    while time.perf_counter() < deadline:
        total += sum(range(200))
    return total


def grow():
    return b"m" * (48 * 1024 * 1024)


idle()
spin()
blob = grow()
time.sleep(0.1)
print("done")
"""
SPIKY_HOT_LINES = (11, 12)  # spin()'s loop
SPIKY_ALLOCATION_LINE = 17  # grow()'s 48 MiB


def kulvo_env(**overrides: str) -> dict[str, str]:
    env = dict(os.environ)
    for name in ("COLUMNS", "NO_COLOR", "PYTHONWARNINGS", "PYTHONPATH"):
        env.pop(name, None)
    env.update(overrides)
    return env


def run_kulvo_in(
    cwd: Path, *args: str, env: dict[str, str] | None = None, timeout: float = 60.0
) -> subprocess.CompletedProcess:
    """Runs `python -m kulvo ARGS` with the interpreter under test, in `cwd`.

    It starts from a shell that forks, not straight from pytest: on Linux a program's peak RSS
    starts at its parent's when the parent spawns it, which would hide the memory growth of
    the small programs profiled here.
    """
    return subprocess.run(
        ["/bin/sh", "-c", '"$@"; exit $?', "sh", sys.executable, "-m", "kulvo", *args],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env if env is not None else kulvo_env(),
    )


@pytest.fixture
def run_kulvo(tmp_path: Path) -> RunKulvo:
    """Runs the kulvo command in the test's own directory."""

    def run(*args: str, **kwargs: object) -> subprocess.CompletedProcess:
        return run_kulvo_in(tmp_path, *args, **kwargs)  # type: ignore[arg-type]

    return run


@pytest.fixture
def write_program(tmp_path: Path) -> WriteProgram:
    """Writes a small program (dedented) under the test's directory and returns its path."""

    def write(name: str, source: str) -> Path:
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(source), encoding="utf-8")
        return path

    return write


@pytest.fixture(scope="session")
def saved_profile(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """One profile of the spiky program, saved as JSON with memory snapshots, for the suites
    that only need to read one."""
    directory = tmp_path_factory.mktemp("saved")
    (directory / "spiky.py").write_text(SPIKY_PROGRAM, encoding="utf-8")
    result = run_kulvo_in(directory, "run", "--memory", "--interval-ms", "10", "-o", "profile.json", "spiky.py")
    assert result.returncode == 0, result.stderr
    return directory / "profile.json"
