#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time,
# starting from the committed seed corpus. The corpus grows in a temporary
# folder, so the committed seeds stay small; a crash input is kept in the
# artifacts folder and the script fails.
#
#   fuzz/run-fuzzers.sh [target...]        (default: all three)
#
# Environment:
#   FUZZ_SECONDS  run time of each target (default 60)
#   BUILD_DIR     build folder (default <repo>/build-fuzz)
#   ARTIFACTS     where crash inputs go (default $BUILD_DIR/fuzz-artifacts)
#   CXX           the clang++ to use (default clang++)
#   JOBS          parallel build jobs (default 2)
#   KEEP_CORPUS   set to a folder to keep the grown corpora there
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${FUZZ_SECONDS:-60}"
build="${BUILD_DIR:-$repo/build-fuzz}"
artifacts="${ARTIFACTS:-$build/fuzz-artifacts}"
cxx="${CXX:-clang++}"
jobs="${JOBS:-2}"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(keydecode sim_script portname)
fi

cmake -S "$repo" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCABLETEST_FUZZ=ON \
    -DCABLETEST_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
for t in "${targets[@]}"; do
    cmake --build "$build" --target "fuzz_$t" -j"$jobs"
done

mkdir -p "$artifacts"
work="$(mktemp -d "${TMPDIR:-/tmp}/cabletest-fuzz.XXXXXX")"
trap 'rm -rf "$work"' EXIT

failed=()
for t in "${targets[@]}"; do
    corpus="$work/$t"
    mkdir -p "$corpus"
    cp "$repo/fuzz/corpus/$t/"* "$corpus/"
    echo "==== fuzz_$t for ${seconds} s"
    # -timeout: one input taking a second is a hang in these pure functions.
    if ! "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=1024 \
        -max_len=4096 -print_final_stats=1 -artifact_prefix="$artifacts/$t-" \
        "$corpus" 2>"$work/$t.log"; then
        failed+=("$t")
        tail -n 40 "$work/$t.log"
    else
        grep -E '^stat::(number_of_executed_units|peak_rss_mb)|DONE' "$work/$t.log" || true
    fi
    if [ -n "${KEEP_CORPUS:-}" ]; then
        mkdir -p "$KEEP_CORPUS/$t"
        cp "$corpus/"* "$KEEP_CORPUS/$t/"
    fi
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzzing found a fault in: ${failed[*]}; inputs in $artifacts" >&2
    echo "keep each as a regression input under tests/fuzz_regressions/<target>/" >&2
    exit 1
fi
echo "all fuzz targets ran ${seconds} s without a fault"
