#!/bin/sh
# Builds the fuzz target with clang and runs it for a bounded time:
#   fuzz/run.sh BUILD_DIR [SECONDS]      (default 60 seconds)
# The checked-in seeds are replayed first, then libFuzzer mutates for the
# rest of the time. What it learns is kept in BUILD_DIR/corpus for the next
# run; an input that fails is written to BUILD_DIR/artifacts/, and
#   BUILD_DIR/gateway_fuzzer FILE
# replays it (GATEWAY_FUZZER_VERBOSE=1 prints each call's outcome).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$1
seconds=${2:-60}

if ! command -v clang++ >/dev/null 2>&1; then
    echo "fuzz: clang++ is missing; scripts/ensure-deps.sh fuzz installs it" >&2
    exit 1
fi
mkdir -p "$build"
# Warnings fail the build: this is one of the project's own checks.
cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DPGMEX_WERROR=ON \
    >"$build/configure.log" 2>&1 || { cat "$build/configure.log" >&2; exit 1; }
cmake --build "$build" -j 2 >"$build/build.log" 2>&1 || { cat "$build/build.log" >&2; exit 1; }

mkdir -p "$build/corpus" "$build/artifacts"
log="$build/fuzz.log"
status=0
"$build/gateway_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/" \
    "$build/corpus" "$here/corpus" >"$log" 2>&1 || status=$?

# libFuzzer's last status line and final statistics, then the tally.
grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)' "$log" || true
grep -E '^stat::(number_of_executed_units|peak_rss_mb)|^gateway_fuzzer:' "$log" || true
if [ "$status" -ne 0 ]; then
    tail -n 60 "$log" >&2
    echo "fuzz: FAILED (status $status); the input is in $build/artifacts/" >&2
    exit 1
fi
echo "fuzz: ${seconds} s, no finding"
