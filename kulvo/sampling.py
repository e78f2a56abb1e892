"""The package's sampler: stacks read where the main thread is, samples weighted by time.

Where it can, the sampler thread reads the main thread's stack from memory, as out-of-process
profilers do: no interpreter lock is taken, and a sample shows the line that was running at
that moment, even inside a short function with no loop and no call. That needs this
interpreter's layout (known for 3.10-3.13) and a sampler started on the main thread, and it is
checked against the interpreter's own frames before it is used.

A main thread that is on a CPU is held still for the read, as py-spy stops its target: a
real-time signal interrupts it wherever it is, and a C handler (nothing in Python, invisible to
`signal.getsignal`) waits until the read is done, tens of microseconds. A stack read while its
thread runs on is read over several system calls, and a short call can return between them:
such reads land on call boundaries far more often than by chance and gave callers up to twice
their true share. System calls the signal interrupts resume (SA_RESTART) or are retried by
Python. Without a free real-time signal, or once the program puts its own handler on kulvo's,
reads go ahead while the main thread runs, and the profile says so.

Otherwise the sampler thread asks the main thread for its stack through a pending call, which
the main thread answers at its next check between bytecodes, reading its own stack in place.
From 3.13 the request alone reaches the main thread. Before 3.13 a pending call posted from another
thread waits for the next forced switch of the interpreter lock (every 5 ms), so the sampler
also sends the main thread a real-time signal: handled on the main thread, it makes the
interpreter look at its pending calls at once. The signal's Python handler does nothing;
system calls it interrupts are resumed (SA_RESTART) or retried by Python.

Where that signal cannot be used (profiling from another thread, every real-time signal
taken or blocked, a signal wakeup fd that each signal would write to), samples are read at
the interpreter lock's hand-overs instead, and the profile says so.
"""

from __future__ import annotations

import os
import signal
import sys
import threading
from dataclasses import dataclass

from kulvo._native import Sampler, kick_handler, stacks_readable

# Signals kulvo has installed its handler on, and how many running samplers use each.
_kick_users: dict[int, int] = {}

_AT_HAND_OVERS = "stacks are read when the main thread lets the interpreter lock go"


@dataclass
class Kick:
    """How one sampler reaches the main thread's stack: from memory, or through requests with
    the signal it uses (0 for none) and, without one, why."""

    signal_number: int = 0
    note: str | None = None
    stacks_from_memory: bool = False

    def release(self) -> None:
        """Gives the signal back once no sampler uses it: its handler is the default again."""
        number, self.signal_number = self.signal_number, 0
        if not number:
            return
        _kick_users[number] -= 1
        if _kick_users[number] == 0:
            del _kick_users[number]
            # Only kulvo's own handler is taken away; the sampler thread has been joined, so
            # no signal of kulvo's is still on its way.
            if signal.getsignal(number) is kick_handler:
                signal.signal(number, signal.SIG_DFL)


def _wakeup_fd_is_set() -> bool:
    previous = signal.set_wakeup_fd(-1)
    if previous != -1:
        signal.set_wakeup_fd(previous)
    return previous != -1


def take_kick() -> Kick:
    """The signal that lets the sampler reach the main thread, installed, or the reason why
    none is used. Call on the thread that will start and stop the sampler."""
    on_main_thread = threading.current_thread() is threading.main_thread()
    # The reader reads the thread that starts the sampler: it must be the main thread.
    if on_main_thread and stacks_readable():
        return Kick(stacks_from_memory=True)
    if sys.version_info >= (3, 13):
        return Kick()
    if not on_main_thread:
        return Kick(note=f"profiled from a thread other than the main thread: {_AT_HAND_OVERS}")
    for number in _kick_users:
        _kick_users[number] += 1
        return Kick(number)
    if _wakeup_fd_is_set():
        return Kick(note=f"the program set a signal wakeup fd, which kulvo's signal would write to: {_AT_HAND_OVERS}")
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, [])
    # From the top: libraries that need a real-time signal usually take the lowest free one.
    for number in range(signal.SIGRTMAX, signal.SIGRTMIN - 1, -1):
        if number in blocked or signal.getsignal(number) is not signal.SIG_DFL:
            continue
        signal.signal(number, kick_handler)
        _kick_users[number] = 1
        return Kick(number)
    return Kick(note=f"no free real-time signal: {_AT_HAND_OVERS}")


def unheld_note(sampler: Sampler) -> str | None:
    """The profile's note when the main thread could not be held still for its reads."""
    reason = sampler.unheld_reads()
    if reason is None:
        return None
    why = "no free real-time signal" if reason == "no free signal" else "the program took kulvo's real-time signal"
    return f"{why}: stacks are read while the main thread runs on, and a short call's time may show in its caller"


def make_sampler(*, interval_ms: int, top_n: int, kick: Kick) -> Sampler:
    """A sampler (not started) that reaches the main thread's stack as `kick` says."""
    return Sampler(
        interval_ms=interval_ms,
        top_n=top_n,
        kick_signal=kick.signal_number,
        stacks_from_memory=kick.stacks_from_memory,
    )


# Samplers that run now. Before a fork each one's thread ends, so that the process forks with
# no thread of kulvo's in the middle of a capture (and 3.12's warning about forking a
# multi-threaded process does not come from kulvo); it continues afterwards in the parent.
# The child has no thread to stop: its copy of the run is the parent's.
_running: set[Sampler] = set()


def running(sampler: Sampler) -> None:
    _running.add(sampler)


def stopping(sampler: Sampler) -> None:
    _running.discard(sampler)


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
