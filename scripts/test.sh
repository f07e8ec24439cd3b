#!/usr/bin/env bash
# Builds the server and runs the whole test suite three times: a normal build,
# an AddressSanitizer+UBSan build and a ThreadSanitizer build; then a fuzzing
# stage builds the libFuzzer targets and runs each briefly (scripts/fuzz.sh,
# QUARIX_FUZZ_SECONDS per target, 20 by default).
# QUARIX_TEST_BUILDS="normal" (or any subset of "normal address thread fuzz") limits the runs.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-packages.sh

jobs=$(nproc)
builds=${QUARIX_TEST_BUILDS:-"normal address thread fuzz"}
status=0
for kind in $builds; do
    if [ "$kind" = fuzz ]; then
        echo "=== fuzz build (build-fuzz) and fuzzing"
        QUARIX_FUZZ_BUILD_DIR=build-fuzz bash scripts/fuzz.sh "${QUARIX_FUZZ_SECONDS:-20}" || status=1
        continue
    fi
    case "$kind" in
        normal) dir=build-test; sanitizer="" ;;
        address) dir=build-asan; sanitizer=address ;;
        thread) dir=build-tsan; sanitizer=thread ;;
        *) echo "unknown build kind: $kind" >&2; exit 2 ;;
    esac
    echo "=== $kind build ($dir)"
    mkdir -p "$dir"
    # The dashboard's browser test runs in the normal build only (time).
    browser=$([ "$kind" = normal ] && echo ON || echo OFF)
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARIX_SANITIZER="$sanitizer" \
        -DQUARIX_BUILD_BENCH=OFF -DQUARIX_BROWSER_TESTS="$browser" > "$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; exit 1; }
    cmake --build "$dir" -j"$jobs"
    echo "=== $kind tests"
    (
        cd "$dir"
        export QT_QPA_PLATFORM=offscreen
        export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1"
        export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
        export LSAN_OPTIONS="suppressions=$PWD/../tests/sanitizer/lsan.supp"
        export TSAN_OPTIONS="ignore_noninstrumented_modules=1:halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/../tests/sanitizer/tsan.supp"
        ctest --output-on-failure -j"$jobs" --timeout 600
    ) || status=1
done
exit $status
