#!/bin/sh
# Installs what is missing, then builds and runs every test twice: in the
# normal build with warnings as errors, and under AddressSanitizer and
# UndefinedBehaviorSanitizer; then runs each fuzz target for FUZZ_SECONDS
# (default 30).
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

# Each libFuzzer target for a bounded time on the seed corpus in fuzz/corpus;
# new inputs it finds go to the build directory, not the repository. A crash
# fails the run and leaves its input as build-fuzz/crash-*.
fuzz_seconds=${FUZZ_SECONDS:-30}
echo "== build-fuzz"
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DSTILLSIFT_WERROR=ON -DSTILLSIFT_FUZZ=ON \
    -DSTILLSIFT_TESTS=OFF -DSTILLSIFT_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$jobs" --target fuzz_ppm fuzz_options
for target in ppm options; do
    found=build-fuzz/found-$target
    mkdir -p "$found"
    # Messages of rejected options go to standard error by the thousand:
    # closed for the target; the fuzzer's own report still shows.
    build-fuzz/fuzz/fuzz_$target -max_total_time="$fuzz_seconds" -close_fd_mask=2 \
        -artifact_prefix=build-fuzz/ "$found" "fuzz/corpus/$target"
done
