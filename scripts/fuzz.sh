#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang, AddressSanitizer and UBSan
# (CMake option QUARIX_FUZZ, nothing else of the tree is built), then for each
# target:
#   1. replays its regression inputs, fuzz/<target>/regressions/: one run over
#      the files, which fails on any crash;
#   2. fuzzes it for the given time, starting from its seeds
#      (fuzz/<target>/corpus/) and its regressions.
# New inputs the fuzzer keeps go to <build>/fuzz-corpus/<target>/ (kept for the
# next local run); a crashing input goes to <build>/fuzz-crashes/<target>/ and
# is printed in base64, so that a CI log is enough to reproduce it. Once the
# fault is mended, the input belongs in fuzz/<target>/regressions/.
#
#   bash scripts/fuzz.sh [seconds per target]      (default 30, or $QUARIX_FUZZ_SECONDS)
#   QUARIX_FUZZ_TARGETS="calibration_expression"   only these targets
#   QUARIX_FUZZ_BUILD_DIR=build-fuzz               the build folder
#
# Exit status 0 when every replay and every fuzzing run ended without a crash.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-${QUARIX_FUZZ_SECONDS:-30}}
dir=${QUARIX_FUZZ_BUILD_DIR:-build-fuzz}
targets=${QUARIX_FUZZ_TARGETS:-"calibration_expression block_messages configuration record_conversion"}

# clang, its sanitizer and libFuzzer runtimes, and llvm-symbolizer for
# readable stack traces; Qt and the build tools as for the server.
bash scripts/install-packages.sh cmake ninja-build qtbase5-dev libqt5websockets5-dev \
    clang libclang-rt-14-dev llvm-14

mkdir -p "$dir"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DQUARIX_FUZZ=ON \
    > "$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; exit 1; }
cmake --build "$dir" --target fuzz_targets -j"$(nproc)"

export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan.supp:print_suppressions=0"

# Longest input per target: what the server accepts (calibration expressions
# up to 4096 characters), or enough for any structure the target reads.
max_len() {
    case "$1" in
        calibration_expression) echo 4096 ;;
        block_messages) echo 8192 ;;
        configuration) echo 16384 ;;
        *) echo 65536 ;;
    esac
}

# Prints a crashing input: its size, and the bytes in base64 up to 16 KiB.
show_input() {
    local file=$1
    echo "    $file ($(stat -c %s "$file") bytes)"
    if [ "$(stat -c %s "$file")" -le 16384 ]; then
        base64 -w 100 "$file" | sed 's/^/      /'
    fi
}

status=0
summary=()
for target in $targets; do
    exe="$dir/fuzz/fuzz_$target"
    if [ ! -x "$exe" ]; then
        echo "=== fuzz_$target: not built (no fuzz/$target in this tree)"
        summary+=("$target: not built")
        continue
    fi
    logs="$dir/fuzz-logs"
    work="$dir/fuzz-corpus/$target"
    crashes="$dir/fuzz-crashes/$target"
    mkdir -p "$logs" "$work" "$crashes"
    options=(-timeout=10 -rss_limit_mb=2048 -max_len="$(max_len "$target")" -close_fd_mask=1)
    for dict in fuzz/"$target"/*.dict; do
        [ -f "$dict" ] && options+=(-dict="$dict")
    done

    regressions=()
    if [ -d "fuzz/$target/regressions" ]; then
        mapfile -t regressions < <(find "fuzz/$target/regressions" -type f ! -name '*.md' | sort)
    fi
    if [ ${#regressions[@]} -gt 0 ]; then
        echo "=== fuzz_$target: replaying ${#regressions[@]} regression inputs"
        if ! "$exe" "${options[@]}" "${regressions[@]}" > "$logs/$target-replay.log" 2>&1; then
            tail -n 60 "$logs/$target-replay.log"
            echo "!!! fuzz_$target: a regression input fails again (log: $logs/$target-replay.log)"
            status=1
            summary+=("$target: REGRESSION FAILS")
            continue
        fi
    fi

    echo "=== fuzz_$target: fuzzing for $seconds s"
    seeds=()
    for seed in "fuzz/$target/corpus" "fuzz/$target/regressions"; do
        [ -d "$seed" ] && seeds+=("$seed")
    done
    result=0
    "$exe" "${options[@]}" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$crashes/" \
        "$work" "${seeds[@]}" > "$logs/$target.log" 2>&1 || result=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$logs/$target.log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$logs/$target.log")
    added=$(sed -n 's/^stat::new_units_added: *//p' "$logs/$target.log")
    corpus=$(find "$work" -type f | wc -l)
    if [ "$result" -ne 0 ]; then
        grep -v '^"' "$logs/$target.log" | tail -n 80
        echo "!!! fuzz_$target: the fuzzer found a fault (status $result; log: $logs/$target.log). Input:"
        sed -n 's/.*Test unit written to //p' "$logs/$target.log" | while read -r file; do
            [ -f "$file" ] && show_input "$file"
        done
        status=1
        summary+=("$target: FAULT FOUND, ${runs:-?} runs")
    else
        echo "    ${runs:-?} runs (${rate:-?}/s), $added new inputs, corpus $corpus inputs"
        summary+=("$target: ok, ${runs:-?} runs in $seconds s, corpus $corpus")
    fi
done

echo "=== fuzzing summary"
printf '    %s\n' "${summary[@]}"
exit $status
