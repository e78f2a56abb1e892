"""`pytest --kulvo[=DIR]`: a profile of each test (or of the whole session), written to DIR, and
the slowest tests summed up at the end.

pytest loads this module through its entry point wherever kulvo is installed; nothing is
profiled unless --kulvo is given. Under pytest-xdist each worker profiles the tests it runs and
writes their files itself; the controller reads the slowest back for the summary.
"""

from __future__ import annotations

import hashlib
import re
import sys
import time
from collections.abc import Generator, Iterable
from pathlib import Path

import pytest

from kulvo.api import PROFILER_FRAMES, Recording, frames_outwards
from kulvo.model import Profile, ProfileFormatError
from kulvo.reports.functions import time_shares
from kulvo.reports.units import format_bytes, format_duration_ms, location, short_path
from kulvo.settings import DEFAULT_TOP_N, validate_settings
from kulvo.stack_cut import ProfilerFrames, StackRoot
from kulvo.storage import load

DEFAULT_DIRECTORY = "kulvo-profiles"
# Most tests take milliseconds: the command line's default interval would miss them.
DEFAULT_INTERVAL_MS = 5
SLOWEST_SHOWN = 5
FUNCTIONS_SHOWN = 3
_NAME_CHARS_KEPT = 120


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("kulvo", "profiling with kulvo")
    group.addoption(
        "--kulvo",
        nargs="?",
        const=DEFAULT_DIRECTORY,
        default=None,
        metavar="DIR",
        help=f"profile each test and write its profile to DIR as JSON (default {DEFAULT_DIRECTORY}); "
        "write --kulvo=DIR, as a bare --kulvo takes a following path for DIR",
    )
    group.addoption(
        "--kulvo-session", action="store_true", help="with --kulvo: one profile of the whole session, not one per test"
    )
    group.addoption(
        "--kulvo-memory",
        action="store_true",
        help="with --kulvo: sample allocations: the lines holding memory at its peak and at each jump",
    )
    group.addoption(
        "--kulvo-interval-ms",
        type=int,
        default=DEFAULT_INTERVAL_MS,
        metavar="N",
        help=f"with --kulvo: the sampling interval in milliseconds (default {DEFAULT_INTERVAL_MS})",
    )


def pytest_configure(config: pytest.Config) -> None:
    directory = config.getoption("kulvo")
    if directory is None:
        return
    interval_ms = config.getoption("kulvo_interval_ms")
    try:
        validate_settings(interval_ms, DEFAULT_TOP_N)
    except ValueError as error:
        raise pytest.UsageError(f"--kulvo-interval-ms: {error}") from None
    # Absolute before pytest-xdist hands the options to its workers, which may start elsewhere.
    path = Path(config.invocation_params.dir, directory).resolve()
    config.option.kulvo = str(path)
    try:
        path.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise pytest.UsageError(f"--kulvo: cannot create {directory!r} ({error.strerror or error})") from None
    config.pluginmanager.register(
        ProfilingPlugin(
            path,
            interval_ms=interval_ms,
            memory=config.getoption("kulvo_memory"),
            session_wide=config.getoption("kulvo_session"),
            worker_id=getattr(config, "workerinput", {}).get("workerid"),
        ),
        "kulvo-profiling",
    )


def profile_file_name(nodeid: str) -> str:
    """The file of one test's profile: its id made safe for a file name, with a hash of the id
    that keeps two ids apart when they differ only in the characters replaced."""
    readable = re.sub(r"[^A-Za-z0-9_.-]+", "_", nodeid.replace("::", "__"))[:_NAME_CHARS_KEPT]
    digest = hashlib.sha1(nodeid.encode("utf-8", "surrogatepass"), usedforsecurity=False).hexdigest()[:8]
    return f"{readable}-{digest}.json"


def session_file_name(worker_id: str | None) -> str:
    return "session.json" if worker_id is None else f"session-{worker_id}.json"


def _pytest_files() -> frozenset[str]:
    """The files of pytest and pluggy loaded now: their frames between the runner and the test
    are left out of the stacks; pytest's code that a test calls is kept."""
    return frozenset(
        file
        for name, module in list(sys.modules.items())
        if name.split(".")[0] in ("pytest", "_pytest", "pluggy") and (file := getattr(module, "__file__", None))
    )


def _runner_call_root() -> StackRoot:
    """Where a test's call starts on the stacks: inside pytest's runner, below any runner frame
    already running (a test that runs pytest in-process)."""
    from _pytest import runner

    code = runner.pytest_runtest_call.__code__
    running = sum(frame.f_code is code for frame in frames_outwards(sys._getframe()))
    return StackRoot(code.co_filename, code.co_name, keep=False, occurrence=running + 1)


class ProfilingPlugin:
    def __init__(
        self, directory: Path, *, interval_ms: int, memory: bool, session_wide: bool, worker_id: str | None
    ) -> None:
        self.directory = directory
        self.interval_ms = interval_ms
        self.memory = memory
        self.session_wide = session_wide
        self.worker_id = worker_id
        self.started_s = time.time()
        # Call durations from the test reports, which reach the controller under pytest-xdist.
        self.durations_s: dict[str, float] = {}
        self._own: ProfilerFrames | None = None

    def _recording(self, argv: list[str]) -> Recording:
        if self._own is None:
            self._own = ProfilerFrames(
                files=PROFILER_FRAMES.files, busy=PROFILER_FRAMES.busy, leading_files=_pytest_files()
            )
        return Recording(
            interval_ms=self.interval_ms,
            top_n=DEFAULT_TOP_N,
            memory=self.memory,
            argv=argv,
            root=_runner_call_root(),
            own=self._own,
        )

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_call(self, item: pytest.Item) -> Generator[None, None, None]:
        if self.session_wide:
            yield
            return
        recording = self._recording(["pytest", item.nodeid])
        recording.start()
        yield
        self._save(item, recording.stop(), profile_file_name(item.nodeid))

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtestloop(self, session: pytest.Session) -> Generator[None, None, None]:
        # The controller of pytest-xdist runs no test: its workers profile theirs.
        if not self.session_wide or session.config.pluginmanager.has_plugin("dsession"):
            yield
            return
        recording = self._recording(["pytest", *session.config.invocation_params.args])
        recording.start()
        yield
        self._save(session, recording.stop(), session_file_name(self.worker_id))

    def _save(self, node: pytest.Item | pytest.Session, profile: Profile, name: str) -> None:
        try:
            profile.save(str(self.directory / name), "json")
        except OSError as error:
            node.warn(pytest.PytestWarning(f"kulvo could not write {name} ({error.strerror or error})"))

    def pytest_runtest_logreport(self, report: pytest.TestReport) -> None:
        if report.when == "call":
            self.durations_s[report.nodeid] = report.duration

    def pytest_terminal_summary(self, terminalreporter: pytest.TerminalReporter) -> None:
        if self.worker_id is not None:
            return
        shown = self.directory
        with_profiles = (
            self._session_profiles() if self.session_wide else self._test_profiles(self.durations_s, SLOWEST_SHOWN)
        )
        terminalreporter.write_sep("-", "kulvo")
        count = len(self.durations_s)
        what = "the session" if self.session_wide else f"{count} test{'' if count == 1 else 's'}"
        terminalreporter.write_line(f"profiles of {what} in {short_path(str(shown))}")
        for title, profile in with_profiles:
            for line in summary_lines(title, profile):
                terminalreporter.write_line(line)

    def _fresh(self, path: Path) -> Profile | None:
        """The profile in `path` if this run wrote it (older files may lie in the directory)."""
        try:
            if path.stat().st_mtime < self.started_s - 1:
                return None
            return load(str(path))
        except (OSError, ProfileFormatError):
            return None

    def _test_profiles(self, durations_s: dict[str, float], count: int) -> Iterable[tuple[str, Profile]]:
        slowest = sorted(durations_s, key=lambda nodeid: -durations_s[nodeid])[:count]
        for nodeid in slowest:
            profile = self._fresh(self.directory / profile_file_name(nodeid))
            if profile is not None:
                yield f"{format_duration_ms(durations_s[nodeid] * 1000):>9}  {nodeid}", profile

    def _session_profiles(self) -> Iterable[tuple[str, Profile]]:
        for path in sorted(self.directory.glob("session*.json")):
            profile = self._fresh(path)
            if profile is not None:
                yield f"{format_duration_ms(profile.wall_time_ms):>9}  {path.name}", profile


def summary_lines(title: str, profile: Profile) -> list[str]:
    """A test's line in the summary, then its top functions by self time and its memory spikes."""
    lines = [title]
    busiest = [f for f in time_shares(profile).functions if f.self_us][:FUNCTIONS_SHOWN]
    for function in busiest:
        where = location(function.file, function.line)
        lines.append(f"{format_duration_ms(function.self_us / 1000):>20}  {function.function}  {where}")
    for event in profile.spike_events:
        if event.kind != "memory":
            continue
        innermost = event.peak_stack[-1] if event.peak_stack else None
        where = f" in {innermost.function} {location(innermost.file, innermost.line)}" if innermost else ""
        peak = format_bytes(event.peak_value)
        line = f"{'':>11}memory spike to {peak} at {format_duration_ms(event.start_ms)}{where}"
        snapshot = profile.nearest_snapshot(event)
        if snapshot is not None and snapshot.top_sites:
            site = snapshot.top_sites[0]
            line += f"; allocated at {location(site.file, site.line)} (+{format_bytes(site.size_diff_bytes)})"
        lines.append(line)
    return lines
