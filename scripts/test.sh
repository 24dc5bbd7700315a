#!/bin/sh
# Installs what is missing, then builds and runs every test twice: in the
# normal build with warnings as errors, and under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh
jobs=$(nproc)

run_build() {
    dir=$1
    shift
    echo "== $dir"
    cmake -S . -B "$dir" -DSTILLSIFT_WERROR=ON -DSTILLSIFT_TESTS=ON "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
    (cd "$dir" && ctest --output-on-failure --no-tests=error -j"$jobs")
}

run_build build
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_build build-sanitize -DCMAKE_BUILD_TYPE=Debug -DSTILLSIFT_SANITIZE=ON -DSTILLSIFT_BENCH=OFF
