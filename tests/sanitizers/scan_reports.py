"""Reads sanitizer and memcheck logs of the hardening runs and decides what fails.

    python3 scan_reports.py asan LOG_DIR        ASan/UBSan/LSan logs (log_path=LOG_DIR/asan)
    python3 scan_reports.py valgrind LOG...     memcheck logs

Any memory error or undefined behaviour fails, wherever it shows. Leaks, and
memcheck's uninitialised-value reports, fail when kulvo's own code made the
allocation (or the use): the interpreter has its own at exit (threads still running,
immortal interned strings, int.from_bytes on 3.11), listed here as noise and not failed.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

OURS = re.compile(r"_core\.abi3\.so|_native\.abi3\.so|libkulvo\.so|kulvo::|sampler_thread_main|PyInit__core")
# kulvo's allocator hooks pass every allocation of Python's on: a leak under them is the
# interpreter's as much as it would be without them.
PASS_THROUGH = re.compile(r"kulvo::py::\(anonymous namespace\)::hook_(malloc|calloc|realloc)\b")
# Python bytecode running: what it allocates is the program's, even when kulvo's call
# started it (start() imports threading, whose module code then runs).
EVALUATION = re.compile(r"_PyEval_EvalFrameDefault|PyEval_EvalCode|_PyEval_Vector")


def is_ours(block: list[str]) -> bool:
    """From the innermost frame out, a frame of kulvo's code comes before any bytecode."""
    for line in block[1:]:
        if PASS_THROUGH.search(line):
            continue
        if OURS.search(line):
            return True
        if EVALUATION.search(line):
            return False
    return False


def frames(block: list[str], count: int = 4) -> str:
    """The innermost function names of a report, for a one-line summary."""
    names = []
    for line in block[1:]:
        match = re.search(r"(?:#\d+ 0x[0-9a-f]+ in |(?:at|by) 0x[0-9A-F]+: )(\S+)", line)
        if match:
            names.append(match.group(1))
        if len(names) == count:
            break
    return " < ".join(names)


def blocks_of(text: str, starts: re.Pattern[str]) -> list[list[str]]:
    """Reports that start at a line matching `starts` and run to the next blank line."""
    found: list[list[str]] = []
    current: list[str] | None = None
    for line in text.splitlines():
        if starts.search(line):
            current = [line]
            found.append(current)
        elif current is not None:
            if not line.strip():
                current = None
            else:
                current.append(line)
    return found


def scan_asan(log_dir: Path) -> int:
    failures = 0
    noise = 0
    logs = sorted(log_dir.glob("asan.*"))
    for log in logs:
        text = log.read_text(errors="replace")
        for marker in ("ERROR: AddressSanitizer", "runtime error:", "ERROR: ThreadSanitizer"):
            if marker in text:
                failures += 1
                print(f"FAIL {log.name}: {marker}")
                print(text[text.index(marker) - 200 if text.index(marker) > 200 else 0 :][:6000])
                break
        for leak in blocks_of(text, re.compile(r"^(Direct|Indirect) leak of")):
            if is_ours(leak):
                failures += 1
                print(f"FAIL {log.name}: leak through kulvo's code")
                print("\n".join(leak[:40]))
            else:
                noise += 1
                print(f"  interpreter's own ({log.name}): {leak[0]} {frames(leak)}")
    print(f"sanitizer logs: {len(logs)}, failures: {failures}, interpreter leaks not attributed to kulvo: {noise}")
    return failures


MEMCHECK_START = re.compile(
    r"^(Invalid (read|write|free)|Mismatched free|Source and destination overlap|Syscall param|"
    r"Conditional jump|Use of uninitialised|.*are (definitely|possibly) lost in loss record|"
    r"Argument .* of function .* has a fishy)"
)
ALWAYS_FAILS = re.compile(r"^(Invalid|Mismatched|Source and destination|Syscall param .* unaddressable|Argument)")


def scan_valgrind(logs: list[Path]) -> int:
    failures = 0
    noise = 0
    for log in logs:
        raw = log.read_text(errors="replace")
        if "ERROR SUMMARY" not in raw:
            failures += 1
            print(f"FAIL {log.name}: memcheck did not finish")
            continue
        text = "\n".join(re.sub(r"^==\d+== ?", "", line) for line in raw.splitlines())
        for report in blocks_of(text, MEMCHECK_START):
            if ALWAYS_FAILS.search(report[0]) or is_ours(report):
                failures += 1
                print(f"FAIL {log.name}: {report[0]}")
                print("\n".join(report[:60]))
            else:
                noise += 1
                print(f"  interpreter's own ({log.name}): {report[0]} {frames(report)}")
        summary = re.findall(r"ERROR SUMMARY: .*", text)
        print(f"{log.name}: {summary[-1] if summary else ''}")
    print(f"memcheck logs: {len(logs)}, failures: {failures}, interpreter reports not attributed to kulvo: {noise}")
    return failures


def main(argv: list[str]) -> int:
    if len(argv) >= 2 and argv[0] == "asan":
        return 1 if scan_asan(Path(argv[1])) else 0
    if len(argv) >= 2 and argv[0] == "valgrind":
        return 1 if scan_valgrind([Path(a) for a in argv[1:]]) else 0
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
