"""How long kulvo makes a program wait before its first line runs.

A program whose first line prints the monotonic clock is started many times, as `python
prog.py` and as `python -m kulvo run -o X prog.py`; the time from the spawn to that line is the
start-up. kulvo's figure is the difference. `import kulvo` alone is timed the same way. Run it
with the interpreter whose virtualenv has kulvo installed:

    python bench/startup.py [--runs N]
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time


def until_first_line_ms(command: list[str]) -> float:
    began = time.monotonic()
    done = subprocess.run(command, capture_output=True, text=True, check=True)
    return (float(done.stdout.split()[-1]) - began) * 1000


def interleaved_ms(commands: dict[str, list[str]], runs: int) -> dict[str, list[float]]:
    """Each command's times, the commands taking turns: a machine that slows down or speeds up
    during the benchmark weighs on each of them alike."""
    times: dict[str, list[float]] = {name: [] for name in commands}
    for _ in range(runs):
        for name, command in commands.items():
            times[name].append(until_first_line_ms(command))
    return {name: sorted(values) for name, values in times.items()}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--runs", type=int, default=40)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        program = os.path.join(directory, "first_line.py")
        with open(program, "w") as file:
            file.write("import time; print(time.monotonic())\n")
        commands = {
            "python": [sys.executable, program],
            "import kulvo": [sys.executable, "-c", "import kulvo, time; print(time.monotonic())"],
            "kulvo run": [sys.executable, "-m", "kulvo", "run", "-o", os.path.join(directory, "p.json"), program],
        }
        interleaved_ms(commands, 2)  # compiled and cached before the timing
        figures: dict[str, object] = {"cpython": platform.python_version(), "runs": args.runs}
        medians = {}
        for name, times in interleaved_ms(commands, args.runs).items():
            medians[name] = statistics.median(times)
            figures[name] = {"min ms": round(times[0], 1), "median ms": round(medians[name], 1)}
        figures["kulvo adds, median ms"] = round(medians["kulvo run"] - medians["python"], 1)
        figures["import kulvo adds, median ms"] = round(medians["import kulvo"] - medians["python"], 1)
    print(json.dumps(figures, indent=1))


if __name__ == "__main__":
    main()
