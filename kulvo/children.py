"""Following the program's child processes (`kulvo run --subprocesses`): each Python child
profiles itself and leaves its profile in a directory the parent names; the parent merges what
it finds into its own (`kulvo.merge`).

A child is reached two ways. A new interpreter (multiprocessing's spawn and forkserver, a
`subprocess` running Python) inherits the directory in its environment, and the `.pth` file that
kulvo installs starts its profile while the interpreter starts. A fork (multiprocessing's fork,
a fork server's workers) starts a fresh profile just after the fork. A child writes its profile
when it exits, when multiprocessing ends it (its finalizers) or terminates it (SIGTERM); one
killed otherwise leaves only a mark that it started, and the parent's note names it.
"""

from __future__ import annotations

import atexit
import contextlib
import json
import os
import signal
import sys
import threading
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from kulvo.api import Recording
    from kulvo.model import Profile

ENV_DIRECTORY = "KULVO_CHILDREN_DIR"
ENV_SETTINGS = "KULVO_CHILDREN_SETTINGS"
# How long the parent waits, at its end, for children that started but have not written yet.
FINISH_WAIT_S = 1.0


@dataclass(frozen=True)
class ChildSettings:
    interval_ms: int
    top_n: int
    threads: str


def follow(directory: str, settings: ChildSettings) -> None:
    """From now on, Python children of this process (and theirs) profile themselves into
    `directory`."""
    os.environ[ENV_DIRECTORY] = directory
    os.environ[ENV_SETTINGS] = json.dumps(settings.__dict__)
    _finish_multiprocessing_children()


def start_in_child(*, forked: bool = False) -> None:
    """Starts this process's profile if a parent follows its children: from the `.pth` file as
    the interpreter starts, or just after a fork. Never fails: a child runs unprofiled rather
    than not at all."""
    with contextlib.suppress(Exception):
        _start(forked)


_recording: Recording | None = None
_finished = False


# multiprocessing's own helpers (they outlive the program and run none of its code); their
# forks, a fork server's workers, are followed all the same.
_HELPERS = ("multiprocessing.resource_tracker", "multiprocessing.forkserver")


def _start(forked: bool) -> None:
    global _recording, _finished
    directory = os.environ.get(ENV_DIRECTORY)
    if not directory or not os.path.isdir(directory):
        return
    _finish_multiprocessing_children()
    if not forked and any(helper in arg for arg in getattr(sys, "orig_argv", ()) for helper in _HELPERS):
        return
    from kulvo.api import Recording  # here: a process that is not followed never imports it

    settings = ChildSettings(**json.loads(os.environ[ENV_SETTINGS]))
    argv = list(sys.argv) if sys.argv and sys.argv != [""] else list(getattr(sys, "orig_argv", []))[1:]
    recording = Recording(
        interval_ms=settings.interval_ms, top_n=settings.top_n, memory=False, argv=argv, threads=settings.threads
    )
    with open(_path(directory, os.getpid(), ".started"), "w", encoding="utf-8") as mark:
        json.dump({"argv": argv}, mark)
    _recording, _finished = recording, False
    recording.start()
    atexit.register(_finish)
    # A spawned multiprocessing child keeps the finalizers it starts with; its forks get theirs
    # below, after the fork's clearing.
    if not forked and "--multiprocessing-fork" in getattr(sys, "orig_argv", ()):
        _register_finalizer(None)
    # A fork inherits its parent's handler, which may be the run's own: a child dies of SIGTERM
    # as it would without kulvo. A handler that wrote the profile first was tried: a pool
    # worker blocked on the pool's lock then missed the terminate() now and then, and hung.
    if getattr(signal.getsignal(signal.SIGTERM), "__module__", "").startswith("kulvo."):
        signal.signal(signal.SIGTERM, signal.SIG_DFL)


class _AfterFork:
    """The key multiprocessing keeps its after-fork callbacks under (held weakly)."""


_AFTER_FORK = _AfterFork()


_after_fork_registered = False


def _finish_multiprocessing_children() -> None:
    """A multiprocessing fork clears the finalizers it inherited as it starts, and ends with
    os._exit once its own have run: atexit never runs there. Its after-fork callbacks run after
    that clearing, and register the finalizer that writes its profile."""
    global _after_fork_registered
    if _after_fork_registered:
        return
    _after_fork_registered = True
    from multiprocessing import util

    util.register_after_fork(_AFTER_FORK, _register_finalizer)


_finalized_pid = 0  # the process whose finalizer is registered


def _register_finalizer(_: object) -> None:
    global _finalized_pid
    if _finalized_pid == os.getpid():
        return
    _finalized_pid = os.getpid()
    from multiprocessing import util

    util.Finalize(None, _finish, exitpriority=-1000)
    _finish_on_terminate()


def _finish_on_terminate() -> None:
    """A pool's terminate() ends its workers with SIGTERM. A handler in Python cannot be relied on
    there: one that comes just before the main thread blocks on the pool's lock is never run, and
    the worker hangs. So a thread of kulvo's takes the signal (blocked in every other thread),
    writes the profile and lets the signal end the process as it would have. Not where the
    program handles SIGTERM itself."""
    if (
        signal.getsignal(signal.SIGTERM) is not signal.SIG_DFL
        or threading.current_thread() is not threading.main_thread()
    ):
        return
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})
    threading.Thread(target=_finish_when_terminated, name="kulvo-terminate", daemon=True).start()


def _finish_when_terminated() -> None:
    signal.sigwait({signal.SIGTERM})
    try:
        _finish()
    finally:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGTERM})
        os.kill(os.getpid(), signal.SIGTERM)


_finish_lock = threading.Lock()


def _finish() -> None:
    global _finished
    with _finish_lock:  # the exit's finalizer and a terminate() may come together
        recording = _recording
        if recording is None or _finished or recording.in_forked_child:
            return
        _finished = True
        directory = os.environ.get(ENV_DIRECTORY)
        profile = recording.stop()
        if directory and os.path.isdir(directory):
            final = _path(directory, os.getpid(), ".json")
            profile.save(final + ".partial", "json")
            os.replace(final + ".partial", final)  # the parent never reads a half-written file


def _after_fork_in_child() -> None:
    if os.environ.get(ENV_DIRECTORY):
        start_in_child(forked=True)


os.register_at_fork(after_in_child=_after_fork_in_child)


def _path(directory: str, pid: int, suffix: str) -> str:
    return os.path.join(directory, f"{pid}{suffix}")


@dataclass(frozen=True)
class Children:
    """What the children left: their profiles, and those that started but left none."""

    profiles: tuple[Profile, ...]
    missing: tuple[tuple[int, str], ...]  # (pid, command line)

    def notes(self) -> list[str]:
        notes = []
        if self.profiles:
            notes.append(
                f"{len(self.profiles)} child process(es) profiled themselves and are merged in, each under its "
                "command line and id; CPU and memory readings are this process's"
            )
        if self.missing:
            listed = ", ".join(f"{pid} ({command})" for pid, command in self.missing[:5])
            more = f" and {len(self.missing) - 5} more" if len(self.missing) > 5 else ""
            notes.append(
                f"{len(self.missing)} child process(es) started but left no profile (killed, or still running): "
                f"{listed}{more}"
            )
        if not self.profiles and not self.missing:
            notes.append("no Python child process was seen")
        return notes


def collect(directory: str) -> Children:
    """The children's profiles in `directory`, waiting a moment for those still writing."""
    from kulvo.reports.units import program_command
    from kulvo.storage import ProfileFormatError, load

    deadline = time.monotonic() + FINISH_WAIT_S
    while _any_unfinished(directory) and time.monotonic() < deadline:
        time.sleep(0.02)
    profiles = []
    missing = []
    for pid, argv in sorted(_started(directory).items()):
        try:
            profiles.append(load(_path(directory, pid, ".json")))
        except (OSError, ProfileFormatError):
            missing.append((pid, program_command(argv)))
    return Children(tuple(profiles), tuple(missing))


def _started(directory: str) -> dict[int, list[str]]:
    started = {}
    for name in os.listdir(directory):
        pid, _, suffix = name.partition(".")
        if suffix == "started" and pid.isdigit():
            with contextlib.suppress(OSError, ValueError), open(os.path.join(directory, name), encoding="utf-8") as f:
                started[int(pid)] = [str(arg) for arg in json.load(f).get("argv", [])]
    return started


def _any_unfinished(directory: str) -> bool:
    return any(not os.path.exists(_path(directory, pid, ".json")) for pid in _started(directory))
