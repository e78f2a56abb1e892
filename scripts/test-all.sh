#!/usr/bin/env bash
# Installs what the tests need and runs every suite: the wheel is built once and its
# pytest suites run on every CPython from 3.10 up that pyenv provides and on 3.14 and 3.15
# from Debian unstable (what abi3 promises), then the engine's GoogleTest suites and the
# hardening variants.
#
#   bash scripts/test-all.sh            everything
#   KULVO_SKIP_HARDENING=1 bash ...     the quick loop: wheel, lint, pytest, ctest
#   KULVO_SKIP_DEBIAN_ROOT=1 bash ...   without 3.14 and 3.15
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=$ROOT/build/test-all
mkdir -p "$OUT"

passed=0
failed=0
failed_names=()
stage() {  # stage NAME COMMAND...: runs one suite, counts it, never stops the run
    local name=$1
    shift
    echo
    echo "=== $name"
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        failed_names+=("$name")
        echo "=== $name FAILED"
    fi
}

# --- system packages -------------------------------------------------------------------
debian_packages=(libgtest-dev cmake ninja-build)
# shellcheck source=/dev/null
[ -f scripts/test-deps.txt ] && mapfile -t -O "${#debian_packages[@]}" debian_packages < <(grep -v '^#' scripts/test-deps.txt | grep .)
missing=()
for package in "${debian_packages[@]}"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "=== installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# --- interpreters: the newest patch release of each CPython 3.10+ -------------------------
interpreters=()
if command -v pyenv >/dev/null 2>&1; then
    versions_dir="$(pyenv root)/versions"
    for minor in $(ls "$versions_dir" | grep -E '^3\.[0-9]+\.[0-9]+$' | cut -d. -f1,2 | sort -u -t. -k2,2n); do
        [ "${minor#3.}" -ge 10 ] || continue
        newest=$(ls "$versions_dir" | grep -E "^${minor//./\\.}\.[0-9]+$" | sort -t. -k3,3n | tail -n 1)
        interpreters+=("$versions_dir/$newest/bin/python3")
    done
fi
[ "${#interpreters[@]}" -gt 0 ] || interpreters=("$(command -v python3)")
builder=${interpreters[0]}
echo "=== interpreters: ${interpreters[*]}"

# --- one wheel ---------------------------------------------------------------------------
rm -rf "$OUT/dist"
if ! "$builder" -m pip wheel --quiet --no-deps --wheel-dir "$OUT/dist" "$ROOT"; then
    echo "=== building the wheel FAILED"
    echo "suites: 0 passed, 1 failed"
    exit 1
fi
wheel=$(ls "$OUT"/dist/kulvo-*.whl)
echo "=== wheel: $(basename "$wheel")"

tools=$OUT/venv-tools
tools_ready=""
make_tools() {  # abi3audit and the linters pinned in scripts/lint-requirements.txt, once per run
    [ -n "$tools_ready" ] && return 0
    "$builder" -m venv --clear "$tools" &&
        "$tools/bin/pip" install --quiet --upgrade abi3audit -r "$ROOT/scripts/lint-requirements.txt" &&
        tools_ready=1
}

check_wheel() {
    case "$(basename "$wheel")" in
        *-cp310-abi3-*.whl) ;;
        *) echo "wheel is not tagged cp310-abi3"; return 1 ;;
    esac
    make_tools && "$tools/bin/abi3audit" --strict --report "$wheel"
}
stage "abi3audit" check_wheel

lint() {  # the settings are in pyproject.toml; the same checks run as pre-commit hooks
    make_tools &&
        "$tools/bin/ruff" check "$ROOT" &&
        "$tools/bin/ruff" format --check "$ROOT" &&
        (cd "$ROOT" && "$tools/bin/mypy")
}
stage "ruff and mypy --strict" lint

run_pytest() {  # run_pytest PYTHON
    local python=$1 version venv
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    venv=$OUT/venv-$version
    "$python" -m venv --clear "$venv" &&
        "$venv/bin/pip" install --quiet "$wheel" -r "$ROOT/tests/requirements.txt" &&
        # Run from outside the source tree, so that `import kulvo` finds the installed wheel.
        (cd "$OUT" && "$venv/bin/python" -m pytest -q -p no:cacheprovider --rootdir "$ROOT" -c "$ROOT/pyproject.toml" "$ROOT/tests")
}
for python in "${interpreters[@]}"; do
    stage "pytest on $("$python" -c 'import sys; print("Python %d.%d" % sys.version_info[:2])')" run_pytest "$python"
done

# CPython releases newer than this Debian's C library allows (3.14, 3.15): Debian unstable's,
# in a Debian root of their own (scripts/debian-root.sh), against the same wheel.
newer=()
for minor in 3.14 3.15; do
    have=""
    for python in "${interpreters[@]}"; do
        [ "$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" = "$minor" ] && have=1
    done
    [ -n "$have" ] || newer+=("$minor")
done
if [ "${#newer[@]}" -gt 0 ] && [ -z "${KULVO_SKIP_DEBIAN_ROOT:-}" ]; then
    stage "pytest on Python ${newer[*]} (Debian unstable root)" bash scripts/debian-root.sh "$wheel" "${newer[@]}"
fi

run_ctest() {
    cmake -S "$ROOT" -B "$OUT/cpp" -G Ninja -DKULVO_BUILD_TESTS=ON -DKULVO_BUILD_EXTENSION=OFF >/dev/null &&
        cmake --build "$OUT/cpp" &&
        ctest --test-dir "$OUT/cpp" --output-on-failure
}
stage "ctest" run_ctest

if [ -z "${KULVO_SKIP_HARDENING:-}" ] && [ -f scripts/hardening.sh ]; then
    stage "hardening" bash scripts/hardening.sh "$wheel" "${interpreters[@]}"
fi

echo
[ "$failed" -eq 0 ] || echo "failed: ${failed_names[*]}"
echo "suites: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
