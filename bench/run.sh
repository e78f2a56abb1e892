#!/usr/bin/env bash
# kulvo's benchmarks in one command: prepares its own virtualenvs, installs kulvo from this
# checkout and the peer profilers, builds the bench-only hook, runs everything and writes
# bench/README.md, bench/RESULTS.md, bench/results/summary.json and bench/charts/*.png.
#
#   bash bench/run.sh             the full run
#   bash bench/run.sh --quick     a smoke run
#
# Environment: KULVO_BENCH_VENV (default /tmp/kulvo-bench-venv) and KULVO_BENCH_VENV310;
# KULVO_BENCH_PY311 / KULVO_BENCH_PY310 pick the interpreters (default: pyenv's newest).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

# shellcheck source=lib/venv.sh
source bench/lib/venv.sh

PY311=${KULVO_BENCH_PY311:-$(newest 11)}
PY310=${KULVO_BENCH_PY310:-$(newest 10)}
VENV=${KULVO_BENCH_VENV:-/tmp/kulvo-bench-venv}
VENV310=${KULVO_BENCH_VENV310:-${VENV}-310}
[ -n "$PY311" ] || { echo "no CPython 3.11 found (set KULVO_BENCH_PY311)"; exit 1; }

echo "=== virtualenv $VENV ($PY311)"
setup_venv "$PY311" "$VENV" "$ROOT" bench/requirements.txt bench/requirements-charts.txt
py310_args=()
if [ -n "$PY310" ]; then
    echo "=== virtualenv $VENV310 ($PY310)"
    if setup_venv "$PY310" "$VENV310" "$ROOT" bench/requirements.txt; then
        py310_args=(--python310 "$VENV310/bin/python")
    else
        echo "=== CPython 3.10 setup failed: the 3.10 comparison is skipped"
    fi
fi

echo "=== bench hook"
# The main build with the extension off and the hook on: _kulvo_bench links the engine
# library and compiles the binding sources, exactly as kulvo._core does.
HOOK_BUILD=$VENV/hook-build
hook_args=()
if PATH="$VENV/bin:$PATH" cmake -S . -B "$HOOK_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DKULVO_BUILD_EXTENSION=OFF -DKULVO_BUILD_BENCH_HOOK=ON \
        -DPython_EXECUTABLE="$VENV/bin/python" >"$VENV/hook-configure.log" 2>&1 &&
    PATH="$VENV/bin:$PATH" cmake --build "$HOOK_BUILD" --target _kulvo_bench >"$VENV/hook-build.log" 2>&1; then
    hook_args=(--hook-dir "$HOOK_BUILD/bench/hook")
else
    echo "=== the bench hook did not build (see $VENV/hook-*.log): capture and stop() figures are skipped"
fi

echo "=== load: $(cat /proc/loadavg)"
exec "$VENV/bin/python" bench/run_all.py --python "$VENV/bin/python" "${py310_args[@]}" "${hook_args[@]}" \
    --command "bash bench/run.sh" "$@"
