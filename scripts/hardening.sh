#!/usr/bin/env bash
# The hardening stage of the test command: kulvo's native core under sanitizers,
# memcheck, fuzzing and static analysis. scripts/test-all.sh runs it last:
#
#   bash scripts/hardening.sh WHEEL PYTHON...
#
# Variants, all by default; KULVO_HARDENING="tsan fuzz" (or tsan,fuzz) runs a subset:
#   format    clang-format: every C++ file matches .clang-format
#   tidy      clang-tidy with .clang-tidy over src/engine/, src/python/ and the harnesses, Python headers included
#   tsan      ThreadSanitizer: the engine's GoogleTest suites, the threaded ones repeated
#   asan      ASan + UBSan: the engine's suites with leak detection, then every pytest suite
#             on every interpreter against an instrumented extension (runtime preloaded)
#   valgrind  memcheck of a short sampling program on every interpreter
#   fuzz      libFuzzer: each target for KULVO_FUZZ_SECONDS (default 60) from its seeds
#
# Builds live in build/hardening/; logs in build/hardening/logs/. Prints PASS or FAIL
# per variant and exits non-zero when any failed.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=$ROOT/build/hardening
LOGS=$OUT/logs
mkdir -p "$OUT" "$LOGS"

if [ "$#" -lt 1 ]; then
    echo "usage: bash scripts/hardening.sh WHEEL PYTHON..." >&2
    exit 2
fi
WHEEL=$1
shift
PYTHONS=("$@")
[ "${#PYTHONS[@]}" -gt 0 ] || PYTHONS=("$(command -v python3)")
BUILDER=${PYTHONS[0]}
FUZZ_SECONDS=${KULVO_FUZZ_SECONDS:-60}
ALL_VARIANTS="format tidy tsan asan valgrind fuzz"
SELECTED=" $(echo "${KULVO_HARDENING:-$ALL_VARIANTS}" | tr ',' ' ') "

results=()
failure_lines=()
failed=0
run_variant() {  # run_variant NAME FUNCTION: times it, records PASS or FAIL, never stops the run
    local name=$1 function=$2 began status
    case "$SELECTED" in *" $name "*) ;; *) return 0 ;; esac
    echo
    echo "=== hardening: $name"
    began=$(date +%s)
    "$function" 2>&1 | tee "$LOGS/variant-$name.out"
    status=${PIPESTATUS[0]}
    local took=$(($(date +%s) - began))
    if [ "$status" -eq 0 ]; then
        results+=("PASS  $name (${took}s)")
        echo "=== hardening: $name PASS (${took}s)"
    else
        results+=("FAIL  $name (${took}s)")
        # The failing lines again, under the summary, where a reader of only the end sees them.
        failure_lines+=("--- $name" "$(grep -E '^(--- |FAILED |ERROR |FAIL |missing |.* named no failing case|  \| )|ERROR: [A-Za-z]+Sanitizer|error:|\[  FAILED  \]' \
            "$LOGS/variant-$name.out" | tail -n 24 | sed 's/^/        /')")
        failed=$((failed + 1))
        echo "=== hardening: $name FAIL (${took}s)"
    fi
}

# --- tools ---------------------------------------------------------------------------------
need() {  # need TOOL...: says which one is missing (scripts/test-deps.txt installs them)
    local tool
    for tool in "$@"; do
        if ! command -v "$tool" >/dev/null 2>&1; then
            echo "missing tool: $tool (scripts/test-deps.txt lists the Debian packages)"
            return 1
        fi
    done
}

ARCH=$(uname -m)
JOBS=$(nproc 2>/dev/null || echo 2)

# The symbolizer is started by the instrumented process and inherits LD_PRELOAD: with
# the ASan runtime in it, it deadlocks at exit and keeps the caller's pipes open.
symbolizer() {
    local real wrapper=$OUT/bin/llvm-symbolizer
    real="$(dirname "$(readlink -f "$(command -v clang)")")/llvm-symbolizer"
    [ -x "$real" ] || real=$(command -v llvm-symbolizer || true)
    [ -n "$real" ] || return 1
    mkdir -p "$OUT/bin"
    printf '#!/bin/sh\nunset LD_PRELOAD\nexec %s "$@"\n' "$real" >"$wrapper"
    chmod +x "$wrapper"
    echo "$wrapper"
}

configure() {  # configure DIR CMAKE_ARGS...: a clang build of the given variant
    local dir=$1
    shift
    # --fresh: the interpreters may differ from the last run, and FindPython keeps the
    # previous one's paths in the cache.
    cmake --fresh -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_COMPILER=clang++ -DPython_EXECUTABLE="$BUILDER" "$@" >"$dir.configure.log" 2>&1 ||
        { tail -n 30 "$dir.configure.log"; return 1; }
}

build() {  # build DIR
    cmake --build "$1" -j "$JOBS" >"$1.build.log" 2>&1 || { tail -n 40 "$1.build.log"; return 1; }
}

# A run that failed without a line the variant looks for (a crash, the interpreter's fatal
# error, a signal) shows where its log ends; the summary repeats these "  | " lines.
log_end() {  # log_end LOG STATUS WHAT
    echo "$3 exited with $2 and named no failing case; its log ends:"
    tail -n 15 "$1" | sed 's/^/  | /'
}

python_version() {
    "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'
}

# --- format ---------------------------------------------------------------------------------
cpp_files() {
    if git -C "$ROOT" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git -C "$ROOT" ls-files -- '*.cpp' '*.hpp' '*.h' '*.cc'
    else
        find src tests -name '*.cpp' -o -name '*.hpp' -o -name '*.h' -o -name '*.cc'
    fi
}

# The product and its tests must match; anything else (bench/) is reported, not failed.
variant_format() {
    need clang-format || return 1
    local checked=() others=() file
    while IFS= read -r file; do
        case "$file" in src/* | tests/*) checked+=("$file") ;; *) others+=("$file") ;; esac
    done < <(cpp_files)
    echo "clang-format $(clang-format --version | grep -o '[0-9][0-9.]*' | head -n 1) on ${#checked[@]} files"
    if [ "${#others[@]}" -gt 0 ] && ! clang-format --dry-run -Werror "${others[@]}" >/dev/null 2>&1; then
        echo "note, not failed: not formatted outside src/ and tests/:"
        for file in "${others[@]}"; do
            clang-format --dry-run -Werror "$file" >/dev/null 2>&1 || echo "  $file"
        done
    fi
    clang-format --dry-run -Werror "${checked[@]}"
}

# --- tidy -----------------------------------------------------------------------------------
variant_tidy() {
    need clang clang++ clang-tidy || return 1
    local dir=$OUT/tidy files
    # Configured only: the compile commands of every target, the extension's with the
    # Python include directory, the fuzz drivers' with their flags.
    configure "$dir" -DKULVO_BUILD_EXTENSION=ON -DKULVO_BUILD_TESTS=ON -DKULVO_FUZZ=ON -DKULVO_SANITIZE=address || return 1
    mapfile -t files < <(ls src/engine/*.cpp src/python/*.cpp tests/cpp/concurrency/*.cpp tests/cpp/fuzz/*.cpp)
    echo "clang-tidy $(clang-tidy --version | grep -o 'version [0-9.]*') on ${#files[@]} files"
    # Each file on its own process; any warning is an error (.clang-tidy), so any output fails.
    printf '%s\n' "${files[@]}" |
        xargs -P "$JOBS" -n 1 clang-tidy -p "$dir" --quiet >"$LOGS/tidy.log" 2>&1
    local status=$?
    grep -E 'warning:|error:' "$LOGS/tidy.log" | sort -u
    if [ "$status" -ne 0 ] || grep -qE 'warning:|error:' "$LOGS/tidy.log"; then
        return 1
    fi
    echo "no findings"
}

# --- tsan -----------------------------------------------------------------------------------
variant_tsan() {
    need clang++ || return 1
    local dir=$OUT/tsan sym
    configure "$dir" -DKULVO_SANITIZE=thread -DKULVO_BUILD_TESTS=ON -DKULVO_BUILD_EXTENSION=OFF || return 1
    build "$dir" || return 1
    sym=$(symbolizer) || return 1
    # Without address-space randomisation: TSan's fixed shadow layout does not fit every
    # kernel's randomised mappings.
    local status=0 suite
    for suite in "engine_tests" "engine_thread_tests --gtest_repeat=20"; do
        # shellcheck disable=SC2086
        TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 external_symbolizer_path=$sym" \
            setarch "$ARCH" -R "$dir/tests/cpp/"$suite >"$LOGS/tsan-${suite%% *}.log" 2>&1 || status=1
        grep -E '^\[  (PASSED|FAILED) |WARNING: ThreadSanitizer|SUMMARY: ThreadSanitizer' "$LOGS/tsan-${suite%% *}.log" | sort | uniq -c
        [ "$status" -eq 0 ] || { grep -B2 -A40 'WARNING: ThreadSanitizer' "$LOGS/tsan-${suite%% *}.log" | head -n 120; break; }
    done
    return "$status"
}

# --- asan -----------------------------------------------------------------------------------
ASAN_COMMON="detect_stack_use_after_return=1:check_initialization_order=1:strict_string_checks=1"
UBSAN_COMMON="print_stacktrace=1:halt_on_error=1"

asan_engine() {
    local dir=$1 sym=$2 suite status=0
    for suite in engine_tests engine_thread_tests; do
        ASAN_OPTIONS="$ASAN_COMMON:detect_leaks=1" UBSAN_OPTIONS="$UBSAN_COMMON" ASAN_SYMBOLIZER_PATH=$sym \
            "$dir/tests/cpp/$suite" >"$LOGS/asan-$suite.log" 2>&1 || status=1
        grep -E '^\[  (PASSED|FAILED) |ERROR: (Address|Leak)Sanitizer|runtime error:' "$LOGS/asan-$suite.log" | sort | uniq -c
        if [ "$status" -ne 0 ]; then
            grep -A40 -E 'ERROR: |runtime error:|\[  FAILED  \]' "$LOGS/asan-$suite.log" | head -n 120 ||
                log_end "$LOGS/asan-$suite.log" "$status" "$suite"
            break
        fi
    done
    return "$status"
}

# The pytest suites against the instrumented extension (the library and both modules), with the ASan runtime preloaded
# into every Python process the tests start. PYTHONMALLOC=malloc hands the interpreter's
# objects to ASan's allocator, so an early DECREF becomes a use-after-free report.
# Leak detection stays on, but a process's exit code does not depend on it (exitcode=0:
# the interpreter leaks at exit when threads still run); scan_reports.py fails on leaks
# with a frame of kulvo's code, and on every ASan or UBSan error (those also abort).
asan_pytest() {
    local python=$1 dir=$2 sym=$3 runtime=$4 version venv site logs status
    version=$(python_version "$python")
    venv=$OUT/venv-asan-$version
    logs=$OUT/asan-logs-$version
    rm -rf "$logs"
    mkdir -p "$logs"
    "$python" -m venv --clear "$venv" &&
        "$venv/bin/pip" install --quiet "$WHEEL" -r "$ROOT/tests/requirements.txt" >"$LOGS/asan-pip-$version.log" 2>&1 ||
        { tail -n 20 "$LOGS/asan-pip-$version.log"; return 1; }
    site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
    [ -f "$site/kulvo/libkulvo.so" ] || { echo "no kulvo/libkulvo.so in $site"; return 1; }
    cp "$dir/libkulvo.so" "$dir/_core.abi3.so" "$dir/_native.abi3.so" "$site/kulvo/"
    echo "--- pytest on Python $version (instrumented extension)"
    # Chromium cannot start with the ASan runtime preloaded; those tests render HTML and
    # never load the extension.
    (cd "$OUT" && env LD_PRELOAD="$runtime" PYTHONMALLOC=malloc ASAN_SYMBOLIZER_PATH="$sym" \
        ASAN_OPTIONS="$ASAN_COMMON:detect_leaks=1:exitcode=0:abort_on_error=1:log_path=$logs/asan" \
        UBSAN_OPTIONS="$UBSAN_COMMON:log_path=$logs/asan" \
        "$venv/bin/python" -m pytest -q -p no:cacheprovider --rootdir "$ROOT" -c "$ROOT/pyproject.toml" \
        --ignore="$ROOT/tests/test_html_browser.py" "$ROOT/tests") >"$LOGS/asan-pytest-$version.log" 2>&1
    status=$?
    tail -n 3 "$LOGS/asan-pytest-$version.log"
    if [ "$status" -ne 0 ]; then
        grep -E '^(FAILED|ERROR) ' "$LOGS/asan-pytest-$version.log" | head -n 40 ||
            log_end "$LOGS/asan-pytest-$version.log" "$status" pytest
    fi
    "$BUILDER" "$ROOT/tests/sanitizers/scan_reports.py" asan "$logs" >"$LOGS/asan-scan-$version.log" 2>&1 ||
        { status=1; grep -A60 '^FAIL' "$LOGS/asan-scan-$version.log" | head -n 150; }
    tail -n 1 "$LOGS/asan-scan-$version.log"
    return "$status"
}

variant_asan() {
    need clang clang++ || return 1
    local dir=$OUT/asan sym runtime python status=0
    configure "$dir" -DKULVO_SANITIZE=address -DKULVO_BUILD_TESTS=ON -DKULVO_BUILD_EXTENSION=ON || return 1
    build "$dir" || return 1
    sym=$(symbolizer) || return 1
    runtime=$(clang -print-file-name="libclang_rt.asan-$ARCH.so")
    [ -f "$runtime" ] || { echo "no ASan runtime at $runtime (libclang-rt-*-dev)"; return 1; }
    asan_engine "$dir" "$sym" || status=1
    for python in "${PYTHONS[@]}"; do
        asan_pytest "$python" "$dir" "$sym" "$runtime" || status=1
    done
    return "$status"
}

# --- valgrind -------------------------------------------------------------------------------
# A plain build with debug information, so that reports name kulvo's functions; loaded
# from an overlay package that holds only kulvo._core and the library it is made by.
variant_valgrind() {
    need valgrind clang++ || return 1
    local dir=$OUT/valgrind overlay=$OUT/valgrind-overlay python version status=0 log_prefix
    # DWARF 4: memcheck 3.19 cannot read all of the DWARF 5 that clang emits by default.
    configure "$dir" -DKULVO_BUILD_TESTS=OFF -DKULVO_BUILD_EXTENSION=ON -DCMAKE_CXX_FLAGS=-gdwarf-4 || return 1
    build "$dir" || return 1
    rm -rf "$overlay"
    mkdir -p "$overlay/kulvo"
    : >"$overlay/kulvo/__init__.py"
    cp "$dir/libkulvo.so" "$dir/_core.abi3.so" "$overlay/kulvo/"
    for python in "${PYTHONS[@]}"; do
        version=$(python_version "$python")
        log_prefix=$LOGS/memcheck-$version
        rm -f "$log_prefix".*.log
        echo "--- memcheck on Python $version"
        if ! PYTHONPATH=$overlay PYTHONMALLOC=malloc valgrind --tool=memcheck --fair-sched=yes --error-limit=no \
            --suppressions="$ROOT/tests/sanitizers/valgrind-python.supp" --leak-check=full \
            --show-leak-kinds=definite --errors-for-leak-kinds=definite --num-callers=40 \
            --log-file="$log_prefix.%p.log" "$python" "$ROOT/tests/sanitizers/valgrind_workload.py"; then
            echo "the workload failed under memcheck"
            status=1
        fi
        "$BUILDER" "$ROOT/tests/sanitizers/scan_reports.py" valgrind "$log_prefix".*.log >"$LOGS/memcheck-scan-$version.log" 2>&1 ||
            { status=1; grep -A60 '^FAIL' "$LOGS/memcheck-scan-$version.log" | head -n 150; }
        tail -n 1 "$LOGS/memcheck-scan-$version.log"
    done
    return "$status"
}

# --- fuzz -----------------------------------------------------------------------------------
variant_fuzz() {
    need clang++ || return 1
    local dir=$OUT/fuzz target status=0 sym
    configure "$dir" -DKULVO_SANITIZE=address -DKULVO_FUZZ=ON -DKULVO_BUILD_TESTS=OFF -DKULVO_BUILD_EXTENSION=OFF || return 1
    build "$dir" || return 1
    sym=$(symbolizer) || return 1
    mkdir -p "$OUT/fuzz-artifacts"
    for target in analysis ringbuf line_table; do
        # New inputs go to a scratch corpus; the seeds in the repository are only read.
        mkdir -p "$OUT/fuzz-corpus/$target"
        echo "--- fuzz_$target for ${FUZZ_SECONDS}s"
        ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="$UBSAN_COMMON" ASAN_SYMBOLIZER_PATH=$sym \
            "$dir/tests/cpp/fuzz/fuzz_$target" -max_total_time="$FUZZ_SECONDS" -timeout=10 -rss_limit_mb=2048 \
            -print_final_stats=1 -artifact_prefix="$OUT/fuzz-artifacts/$target-" \
            "$OUT/fuzz-corpus/$target" "$ROOT/tests/cpp/fuzz/corpus/$target" >"$LOGS/fuzz-$target.log" 2>&1 ||
            { status=1; grep -B5 -A40 -E 'invariant failed|ERROR: |runtime error:|deadly signal' "$LOGS/fuzz-$target.log" | head -n 100; }
        grep -E '^Done |stat::number_of_executed_units|stat::new_units_added' "$LOGS/fuzz-$target.log"
    done
    return "$status"
}

echo "hardening: wheel $(basename "$WHEEL"); interpreters: ${PYTHONS[*]}"
run_variant format variant_format
run_variant tidy variant_tidy
run_variant tsan variant_tsan
run_variant asan variant_asan
run_variant valgrind variant_valgrind
run_variant fuzz variant_fuzz

echo
echo "=== hardening summary"
printf '  %s\n' "${results[@]}"
echo "hardening: $((${#results[@]} - failed)) passed, $failed failed"
[ "$failed" -eq 0 ] || printf '%s\n' "${failure_lines[@]}"
[ "$failed" -eq 0 ]
