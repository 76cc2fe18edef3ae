#!/usr/bin/env bash
# Builds the program (optimised, no sanitizers) and the benchmark, and prints
# the table of figures, the program's beside those of a plain pyserial script
# (bench/plain_monitor.py: Debian's /usr/bin/python3 with python3-serial,
# which this script does not install). Takes about four minutes, most of it
# the latency bursts, which must be more than 750 ms apart to count as passes.
#
#   bench/run-bench.sh [bursts] [idle seconds]     (defaults 200 and 20)
#
# Environment: BUILD_DIR (default <repo>/build-bench), JOBS (default 2).
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$repo/build-bench}"
jobs="${JOBS:-2}"
cmake -S "$repo" -B "$build/program" -DCMAKE_BUILD_TYPE=Release -DCABLETEST_BUILD_TESTS=OFF >/dev/null
cmake --build "$build/program" --target cabletest -j"$jobs" >/dev/null
cmake -S "$repo/bench" -B "$build/bench" >/dev/null
cmake --build "$build/bench" -j"$jobs" >/dev/null
"$build/bench/cabletest-bench" "$build/program/cabletest" "$@"
