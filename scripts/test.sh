#!/usr/bin/env bash
# The project's test command: set-up, build, every test; then a second build
# under AddressSanitizer + UndefinedBehaviorSanitizer running the unit tests;
# then the fuzz targets for a fixed number of runs. Non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/setup.sh

echo "== release build and all tests"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j"$jobs"
ctest --test-dir build/release --output-on-failure -j"$jobs"

echo "== sanitizer build (ASan + UBSan), unit tests"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DBF_SANITIZE=ON -DBF_BENCH=OFF >/dev/null
cmake --build build/asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j"$jobs" -L unit

echo "== fuzz targets (clang, libFuzzer, ASan + UBSan)"
cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=Debug -DBF_FUZZ=ON -DBF_TESTS=OFF -DBF_BENCH=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build/fuzz -j"$jobs"
scripts/fuzz.sh build/fuzz

echo "test.sh: all passed"
