#!/bin/sh
# Installs what building and testing need and is not there yet: with apt-get
# when running as root, otherwise by printing the command to run.
#   scripts/ensure-deps.sh [bench|coverage|fuzz]
set -eu

packages=""
need() { packages="$packages $1"; }

command -v cmake >/dev/null 2>&1 || need cmake
command -v make >/dev/null 2>&1 || need make
command -v g++ >/dev/null 2>&1 || need g++
[ -f /usr/include/gtest/gtest.h ] || need libgtest-dev
command -v octave-cli >/dev/null 2>&1 || need octave
command -v mkoctfile >/dev/null 2>&1 || need liboctave-dev
# The test that no call holds an extra copy reads peak memory off /usr/bin/time.
[ -x /usr/bin/time ] || need time
if [ "${1:-}" = bench ]; then
    [ -f /usr/include/benchmark/benchmark.h ] || need libbenchmark-dev
    [ -f /usr/include/boost/math/special_functions/lambert_w.hpp ] || need libboost-dev
fi
if [ "${1:-}" = coverage ]; then
    command -v gcovr >/dev/null 2>&1 || need gcovr
fi
# The fuzz target: clang, and libFuzzer with the sanitizer runtimes.
if [ "${1:-}" = fuzz ]; then
    command -v clang++ >/dev/null 2>&1 || need clang
    runtime=$(clang++ -print-runtime-dir 2>/dev/null || true)
    [ -f "$runtime/libclang_rt.fuzzer-x86_64.a" ] || need libclang-rt-dev
fi

[ -z "$packages" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages. Install them with:" >&2
    echo "  sudo apt-get install -y$packages" >&2
    exit 1
fi

echo "Installing:$packages"
export DEBIAN_FRONTEND=noninteractive
# shellcheck disable=SC2086
if ! apt-get install -y $packages; then
    apt-get update
    apt-get install -y $packages
fi
