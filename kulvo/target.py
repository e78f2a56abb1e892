"""Running a script or module as `__main__`, the way `python script.py` / `python -m` would.

Preparation (finding and compiling the code) is separate from execution, so that a program
that cannot be found is reported before profiling starts.
"""

from __future__ import annotations

import importlib.machinery
import importlib.util
import os
import signal
import sys
import threading
import types

from kulvo.stack_cut import StackRoot

# Not `typing`'s: importing it would cost `kulvo run` start-up, and type checkers take any such name.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

# execute()'s status for a program ended by an uncaught KeyboardInterrupt: Python then ends
# itself by SIGINT, so that its parent (a shell's loop) sees it interrupted.
INTERRUPTED = -signal.SIGINT


class TargetError(Exception):
    """The program cannot be run at all: not found, or not a runnable module."""


class TargetSyntaxError(Exception):
    """The script does not compile; the message reads as Python's own would."""


class Target:
    def __init__(
        self, *, display_name: str, argv: list[str], path0: str, code: types.CodeType, main_globals: dict[str, Any]
    ) -> None:
        self.display_name = display_name
        self.argv = argv  # the program's sys.argv
        self.path0 = path0  # the program's sys.path[0]
        self.code = code
        self.main_globals = main_globals


def _syntax_error(error: Exception) -> TargetSyntaxError:
    """The error as Python's own message would show it."""
    import traceback  # here: only a program that does not compile needs it

    return TargetSyntaxError("".join(traceback.format_exception_only(type(error), error)))


def script_target(path: str, args: list[str]) -> Target:
    if not os.path.exists(path):
        raise TargetError(f"no such file: {path!r}")
    if os.path.isdir(path):
        raise TargetError(f"{path!r} is a directory, not a Python script")
    absolute = os.path.abspath(path)
    try:
        with open(path, "rb") as stream:
            source = stream.read()
    except OSError as error:
        raise TargetError(f"cannot read {path!r}: {error.strerror or error}") from None
    try:
        code = compile(source, absolute, "exec", dont_inherit=True)
    except (SyntaxError, ValueError) as error:
        raise _syntax_error(error) from None
    return Target(
        display_name=path,
        argv=[path, *args],
        path0=os.path.dirname(os.path.realpath(path)),
        code=code,
        main_globals={
            "__name__": "__main__",
            "__file__": absolute,
            "__cached__": None,
            "__package__": None,
            "__spec__": None,
            "__loader__": importlib.machinery.SourceFileLoader("__main__", absolute),
        },
    )


def module_target(name: str, args: list[str]) -> Target:
    # `python -m` searches the working directory first; so does the program once it runs.
    sys.path[0] = os.getcwd()
    found = _find_module(name)
    if found is None:
        raise TargetError(f"no module named {name!r}")
    if found.submodule_search_locations is not None:  # a package runs its __main__
        main_name = f"{name}.__main__"
        main_found = _find_module(main_name)
        if main_found is None:
            raise TargetError(f"no module named {main_name!r}: {name!r} is a package and cannot be run directly")
        found = main_found
    loader = found.loader
    code = None
    if loader is not None and hasattr(loader, "get_code"):
        try:
            code = loader.get_code(found.name)
        except SyntaxError as error:
            raise _syntax_error(error) from None
        except ImportError as error:
            raise TargetError(f"cannot load module {name!r}: {error}") from None
    if code is None:
        raise TargetError(f"module {name!r} has no code to run")
    origin = found.origin or name
    return Target(
        display_name=name,
        argv=[origin, *args],
        path0=sys.path[0],
        code=code,
        main_globals={
            "__name__": "__main__",
            "__file__": found.origin,
            "__cached__": found.cached,
            "__package__": found.parent,
            "__spec__": found,
            "__loader__": loader,
        },
    )


def _find_module(name: str) -> importlib.machinery.ModuleSpec | None:
    if not name or name.startswith("."):
        raise TargetError(f"invalid module name {name!r}")
    try:
        found = importlib.util.find_spec(name)
    except ModuleNotFoundError:
        found = None
    except Exception as error:  # the parent package failed to import
        raise TargetError(f"cannot import {name!r}: {type(error).__name__}: {error}") from None
    return found


def _run_code(code: types.CodeType, main_globals: dict[str, Any]) -> None:
    """The frame under which the program runs; profiles cut every frame from here outwards."""
    exec(code, main_globals)


# The frame that runs the program: reports drop it and its callers, which are kulvo's.
PROGRAM_ROOT = StackRoot(_run_code.__code__.co_filename, _run_code.__code__.co_name, keep=False)


def _wait_for_threads() -> None:
    """Joins the program's non-daemon threads, as the interpreter would before exiting."""
    current = threading.current_thread()
    for thread in threading.enumerate():
        if thread is not current and not thread.daemon and thread.is_alive():
            thread.join()


def _report_exception(error: BaseException) -> None:
    """Shows an uncaught exception through sys.excepthook, without kulvo's own frames."""
    tb = error.__traceback__
    while tb is not None and tb.tb_frame.f_code.co_filename == _run_code.__code__.co_filename:
        tb = tb.tb_next
    # The interpreter's own hook prints the exception's __traceback__, whatever it is passed.
    sys.excepthook(type(error), error.with_traceback(tb), tb)


def _exit_status(error: SystemExit) -> int:
    code = error.code
    if code is None:
        return 0
    if isinstance(code, int):
        return code
    # sys.exit("message") prints the message and exits with status 1, as Python does.
    print(code, file=sys.stderr)
    return 1


def execute(target: Target) -> int:
    """Runs the program as `__main__`; returns the exit status Python would have given it, or
    INTERRUPTED."""
    main_module = types.ModuleType("__main__")
    main_module.__dict__.update(target.main_globals)
    saved_main = sys.modules.get("__main__")
    saved_argv = sys.argv
    sys.modules["__main__"] = main_module
    sys.argv = list(target.argv)
    sys.path[0] = target.path0
    try:
        _run_code(target.code, main_module.__dict__)
        _wait_for_threads()
        return 0
    except SystemExit as error:
        return _exit_status(error)
    except KeyboardInterrupt as error:
        _report_exception(error)
        return INTERRUPTED
    except BaseException as error:
        _report_exception(error)
        return 1
    finally:
        sys.argv = saved_argv
        if saved_main is not None:
            sys.modules["__main__"] = saved_main
        # A program may close or replace its stdout; the report goes to stderr anyway.
        try:  # noqa: SIM105  (not contextlib.suppress: importing contextlib delays every program's start)
            sys.stdout.flush()
        except Exception:
            pass
