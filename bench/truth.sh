#!/usr/bin/env bash
# The accuracy benchmark on its own: programs whose split of time is measured inside
# themselves, and pyperformance programs against py-spy, all profiled through `kulvo run`
# on every CPython from 3.10 up that pyenv provides. Rewrites the accuracy section of
# bench/RESULTS.md; the raw figures go to bench/out/.
#
#   bash bench/truth.sh            the full run (about 30 minutes)
#   bash bench/truth.sh --quick    a smoke run: one interpreter, short runs
#
# Environment: KULVO_BENCH_VENV (default /tmp/kulvo-bench-venv) names the virtualenvs'
# prefix; each interpreter gets "$KULVO_BENCH_VENV-truth-3.N".
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
# shellcheck source=lib/venv.sh
source bench/lib/venv.sh
VENV=${KULVO_BENCH_VENV:-/tmp/kulvo-bench-venv}

minors=(10 11 12 13)
case " $* " in *" --quick "*) minors=(11) ;; esac

# One abi3 wheel serves every interpreter, so it is built once.
WHEELS=$ROOT/bench/out/wheel
rm -rf "$WHEELS"
builder=$(newest "${minors[0]}")
echo "=== building the kulvo wheel with $builder"
quiet_pip "$builder" -m pip wheel --no-deps --wheel-dir "$WHEELS" "$ROOT"
wheel=$(ls "$WHEELS"/kulvo-*.whl)

pythons=()
for minor in "${minors[@]}"; do
    python=$(newest "$minor")
    if [ -z "$python" ]; then
        echo "=== no CPython 3.$minor: skipped"
        continue
    fi
    echo "=== virtualenv $VENV-truth-3.$minor ($python)"
    setup_venv "$python" "$VENV-truth-3.$minor" "$wheel" bench/requirements-truth.txt
    pythons+=(--python "$VENV-truth-3.$minor/bin/python")
done

echo "=== load: $(cat /proc/loadavg)"
exec "$VENV-truth-3.${minors[0]}/bin/python" bench/truth.py "${pythons[@]}" --command "bash bench/truth.sh" "$@"
