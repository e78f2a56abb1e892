"""The package's sampler: stacks read where the main thread is, samples weighted by time.

Where it can, the sampler thread reads the main thread's stack from memory, as out-of-process
profilers do: no interpreter lock is taken, and a sample shows the line that was running at
that moment, even inside a short function with no loop and no call. That needs this
interpreter's layout (known for 3.10-3.15, and from 3.13 checked against the one the
interpreter publishes) and a sampler started on the main thread, and it is
checked against the interpreter's own frames before it is used.

A main thread that is on a CPU is held still for the read, as py-spy stops its target: SIGURG
interrupts it wherever it is, and a C handler (nothing in Python, invisible to
`signal.getsignal`) waits until its frames are copied; names are read after it is let go. A
thread that blocks the signal is not sent it. A stack read while its
thread runs on is read over several system calls, and a short call can return between them:
such reads land on call boundaries far more often than by chance and gave callers up to twice
their true share. System calls the signal interrupts resume (SA_RESTART) or are retried by
Python. Where the program has its own handler on SIGURG, reads go ahead while the main thread
runs, and the profile says so.

Otherwise the sampler thread asks the main thread for its stack through a pending call, which
the main thread answers at its next check between bytecodes, reading its own stack in place.
From 3.13 the request alone reaches the main thread. Before 3.13 a pending call posted from another
thread waits for the next forced switch of the interpreter lock (every 5 ms), so the sampler
also sends the main thread SIGURG: handled on the main thread, it makes the
interpreter look at its pending calls at once. The signal's Python handler does nothing;
system calls it interrupts are resumed (SA_RESTART) or retried by Python.

Where that signal cannot be used (profiling from another thread, the signal taken or blocked,
a signal wakeup fd that each signal would write to, also one set during the run), samples are
read at the interpreter lock's hand-overs instead, and the profile says so.
"""

from __future__ import annotations

import os
import signal
import sys
import threading
from collections.abc import Callable

from kulvo._native import Sampler, allow_kicks, hand_over_signal, kick_handler, stacks_unreadable_why

# Not `typing`'s: importing it would cost `kulvo run` start-up, and type checkers take any such name.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

# kulvo's one signal, for holding the main thread still and for kicking it: its default action
# is to ignore it, so one still on its way when the program execs, or after the handler is gone
# at shutdown, does nothing; and a standard signal does not pile up on a thread that blocks it.
SIGNAL = signal.SIGURG

# How many running samplers kick with the signal, and how many read stacks from memory (those
# hold the main thread still with it).
_kick_users = 0
_memory_readers = 0

_AT_HAND_OVERS = "stacks are read when the main thread lets the interpreter lock go"
_AT_CHECKS = (
    "stacks are read where the main thread next checks for requests (a call, a loop's jump), "
    "and a short function with neither shows in its caller"
)
_READ_AS_IT_RUNS = "stacks are read while the main thread runs on, and a short call's time may show in its caller"

# Why kicks stopped during the run, once they have.
_kicks_stopped: str | None = None


class Kick:
    """How one sampler reaches the main thread's stack: from memory, or through requests with
    the signal it uses (0 for none) and, without one, why."""

    def __init__(self, signal_number: int = 0, note: str | None = None, *, stacks_from_memory: bool = False) -> None:
        self.signal_number = signal_number
        self.note = note
        self.stacks_from_memory = stacks_from_memory
        self._counted_as_reader = stacks_from_memory
        self.stopped: str | None = None  # why kicks stopped during this sampler's run, once released

    def release(self) -> None:
        """Gives the signal back once no sampler uses it: its handler is the default again."""
        global _kick_users, _memory_readers
        if self._counted_as_reader:
            self._counted_as_reader = False
            _memory_readers -= 1
        number, self.signal_number = self.signal_number, 0
        if number:
            self.stopped = _kicks_stopped
            _kick_users -= 1
            if _kick_users == 0 and signal.getsignal(number) is kick_handler:
                # The sampler thread has been joined; a kick still on its way is ignored.
                _set_signal(number, signal.SIG_DFL)
        _watch_signal_calls(_memory_readers + _kick_users > 0)

    def stopped_note(self) -> str | None:
        return self.stopped and f"{self.stopped}: {_AT_HAND_OVERS} from then on"


def _wakeup_fd_is_set() -> bool:
    previous = signal.set_wakeup_fd(-1)
    if previous != -1:
        signal.set_wakeup_fd(previous)
    return previous != -1


def take_kick() -> Kick:
    """The signal that lets the sampler reach the main thread, installed, or the reason why
    none is used. Call on the thread that will start and stop the sampler."""
    global _memory_readers
    on_main_thread = threading.current_thread() is threading.main_thread()
    # The reader reads the thread that starts the sampler: it must be the main thread.
    why_not_from_memory = stacks_unreadable_why() if on_main_thread else None
    if on_main_thread and why_not_from_memory is None:
        _memory_readers += 1
        _watch_signal_calls(True)
        return Kick(stacks_from_memory=True)
    kick = _kick_for_requests(on_main_thread)
    if why_not_from_memory is not None:
        kick.note = f"stacks are not read from memory ({why_not_from_memory}); {kick.note or _AT_CHECKS}"
    return kick


def _kick_for_requests(on_main_thread: bool) -> Kick:
    global _kick_users, _kicks_stopped
    if sys.version_info >= (3, 13):
        return Kick()
    if not on_main_thread:
        return Kick(note=f"profiled from a thread other than the main thread: {_AT_HAND_OVERS}")
    if _kick_users:
        _kick_users += 1
        return Kick(SIGNAL)
    if _wakeup_fd_is_set():
        return Kick(note=f"the program set a signal wakeup fd, which kulvo's signal would write to: {_AT_HAND_OVERS}")
    if SIGNAL in signal.pthread_sigmask(signal.SIG_BLOCK, []) or signal.getsignal(SIGNAL) is not signal.SIG_DFL:
        return Kick(note=f"the program uses kulvo's signal (SIGURG): {_AT_HAND_OVERS}")
    _set_signal(SIGNAL, kick_handler)
    _kick_users = 1
    _kicks_stopped = None
    allow_kicks(True)
    _watch_signal_calls(True)
    return Kick(SIGNAL)


def _stop_kicks(why: str) -> None:
    global _kicks_stopped
    if _kick_users and _kicks_stopped is None:
        allow_kicks(False)
        _kicks_stopped = why


# The program's own calls that kicks must give way to, watched while kicks or reads from memory
# are in use: Python's handler writes every signal to the wakeup fd, and a handler the program
# puts on the signal is the program's, which no signal of kulvo's may reach (the sampler thread
# would notice the new handler only at its next read).
_set_wakeup_fd = signal.set_wakeup_fd
_set_signal = signal.signal


def _guarded_set_wakeup_fd(fd: int, /, **kwargs: Any) -> int:
    if fd != -1:
        _stop_kicks("the program set a signal wakeup fd, which kulvo's signal would write to")
    return _set_wakeup_fd(fd, **kwargs)


def _guarded_signal(signalnum: int, handler: Any) -> Any:
    if signalnum == SIGNAL and handler is not kick_handler:
        _stop_kicks("the program took kulvo's signal (SIGURG)")
        if _memory_readers:
            hand_over_signal()
    return _set_signal(signalnum, handler)


def _swap(module: Any, name: str, real: Callable[..., Any], guarded: Callable[..., Any], on: bool) -> None:
    # Left alone where the program has put a wrapper of its own there meanwhile.
    if getattr(module, name) is (real if on else guarded):
        setattr(module, name, guarded if on else real)


def _watch_signal_calls(on: bool) -> None:
    _swap(signal, "set_wakeup_fd", _set_wakeup_fd, _guarded_set_wakeup_fd, on)
    _swap(signal, "signal", _set_signal, _guarded_signal, on)


def unheld_notes(sampler: Sampler) -> list[str]:
    """The profile's notes on reads made while the main thread was not held still."""
    notes = []
    reason = sampler.unheld_reads()
    if reason == "no free signal":
        notes.append(f"the program uses kulvo's signal (SIGURG): {_READ_AS_IT_RUNS}")
    elif reason == "signal taken":
        notes.append(f"the program took kulvo's signal (SIGURG): {_READ_AS_IT_RUNS} from then on")
    counts = sampler.hold_counts()
    running = counts["running"]
    # Below 1 % (glibc blocks every signal for a moment while it starts a thread) the note
    # would say nothing that matters.
    if running and counts["blocked"] * 100 >= running:
        share = 100 * counts["blocked"] / running
        notes.append(
            f"the main thread blocked kulvo's signal (SIGURG) in {share:.1f} % of the reads made while it ran; "
            f"{_READ_AS_IT_RUNS}"
        )
    if running and counts["dropped"] * 100 >= running:
        share = 100 * counts["dropped"] / running
        notes.append(
            f"the main thread's stack changed under {share:.1f} % of the reads made while it ran, at every attempt; "
            "the stack read before stands in for them"
        )
    if running and counts["unanswered"] * 100 >= running:
        share = 100 * counts["unanswered"] / running
        notes.append(f"the main thread could not be held still for {share:.1f} % of the reads made while it ran")
    return notes


def reused_copies_note(sampler: Sampler, *, interval_ms: int) -> str | None:
    """The profile's note on samples of the running main thread that reuse a copy of its stack.

    The thread copies its own stack on a timer that the kernel fires at its tick (every 4 ms at
    250 Hz), so at a shorter interval several samples share one copy: the shares then carry the
    noise of the copies' count, not of the samples'."""
    counts = sampler.hold_counts()
    running, reused = counts["running"], counts["reused"]
    # A quarter: below that the copies come about as often as the samples.
    if not running or reused * 4 < running:
        return None
    return (
        f"the main thread's stack is copied at the kernel's timer tick, more rarely than every {interval_ms} ms: "
        f"{100 * reused / running:.0f} % of the samples taken while it ran reuse a recent copy, so its running "
        f"time rests on {running - reused:,} separate readings of its stack, not {running:,}"
    )


def pacing_notes(sampler: Sampler, *, interval_ms: int, wall_time_ms: int) -> list[str]:
    """The profile's notes on time no sample stands for and on a rate lowered to keep the whole run."""
    notes = []
    pacing = sampler.pacing()
    unobserved_percent = 100 * pacing["unobserved_us"] / 1000 / wall_time_ms if wall_time_ms > 0 else 0.0
    if unobserved_percent >= 0.5:
        notes.append(
            f"{unobserved_percent:.1f} % of the run is in no sample: kulvo's sampler thread got a CPU late "
            "(a busy machine), and that time is left out rather than given to the stack found after it"
        )
    if pacing["halvings"]:
        lowered_ms = interval_ms << pacing["halvings"]
        notes.append(
            f"the run outlasted {RING_CAPACITY:,} samples: the rate was lowered to one sample every "
            f"{lowered_ms:,} ms, merging neighbouring samples, so that the profile covers the whole run"
        )
    return notes


# Samples a run keeps; a longer run lowers its rate instead of losing its beginning.
RING_CAPACITY = 100_000


def make_sampler(*, interval_ms: int, top_n: int, kick: Kick, all_threads: bool = False) -> Sampler:
    """A sampler (not started) that reaches the main thread's stack as `kick` says; with
    `all_threads`, where stacks are read from memory, every other Python thread's too."""
    return Sampler(
        interval_ms=interval_ms,
        top_n=top_n,
        kick_signal=kick.signal_number,
        stacks_from_memory=kick.stacks_from_memory,
        ring_capacity=RING_CAPACITY,
        all_threads=all_threads and kick.stacks_from_memory,
    )


# Called, newest first, just before the program replaces itself with exec: a run writes its
# report then, since nothing of the process is left after it.
_before_exec: list[Callable[[str], None]] = []


def on_exec(callback: Callable[[str], None]) -> Callable[[], None]:
    """Runs `callback(how)` just before the program execs; returns what undoes that."""
    _before_exec.append(callback)
    return lambda: _before_exec.remove(callback) if callback in _before_exec else None


def _exec_after_kulvo(real: Callable[..., Any]) -> Callable[..., Any]:
    def exec_after_kulvo(*args: Any, **kwargs: Any) -> Any:
        for callback in reversed(list(_before_exec)):
            callback(f"os.{real.__name__}")
        # No thread of kulvo's is left to signal the new program; if the exec fails, the run goes on.
        _pause_all()
        try:
            return real(*args, **kwargs)
        finally:
            _resume_all()

    exec_after_kulvo.__name__ = real.__name__
    exec_after_kulvo.__doc__ = real.__doc__
    return exec_after_kulvo


# The rest of the os.exec* family calls these two through the module. Watched while a sampler runs.
_EXEC_CALLS = {name: (getattr(os, name), _exec_after_kulvo(getattr(os, name))) for name in ("execv", "execve")}


def _watch_exec_calls(on: bool) -> None:
    for name, (real, guarded) in _EXEC_CALLS.items():
        _swap(os, name, real, guarded, on)


# Samplers that run now. Before a fork each one's thread ends, so that the process forks with
# no thread of kulvo's in the middle of a capture (and 3.12's warning about forking a
# multi-threaded process does not come from kulvo); it continues afterwards in the parent.
# The child has no thread to stop: its copy of the run is the parent's.
_running: set[Sampler] = set()


def running(sampler: Sampler) -> None:
    _running.add(sampler)
    _watch_exec_calls(True)


def stopping(sampler: Sampler) -> None:
    _running.discard(sampler)
    if not _running:
        _watch_exec_calls(False)


def _pause_all() -> None:
    for sampler in list(_running):
        sampler.pause()


def _resume_all() -> None:
    # 3.12 counts the threads between fork() and this hook. 3.13 counts them after its hooks,
    # so there kulvo's thread is counted: resuming later (at the main thread's next check
    # between bytecodes) would leave the run unsampled for as long as the parent then blocks,
    # in waitpid() say, and a true profile matters more than the warning.
    for sampler in list(_running):
        sampler.resume()


def _forget_all() -> None:
    _running.clear()


os.register_at_fork(before=_pause_all, after_in_parent=_resume_all, after_in_child=_forget_all)
