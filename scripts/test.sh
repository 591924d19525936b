#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds Tarnwick and runs every test: a normal build, then AddressSanitizer + UndefinedBehaviorSanitizer,
# then ThreadSanitizer for the threaded parts, then each fuzz target for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
tarnwick_install_packages
jobs="$(nproc)"

echo "== Layering, licence lines and formatting"
bash scripts/check-layers.sh
bash scripts/check-licence.sh
bash scripts/check-format.sh

echo "== Build and test"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 300

echo "== Package: menu entry, AppStream description, lintian"
bash scripts/lint-package.sh build

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE=address,undefined -DBUILD_TESTING=ON
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 600

echo "== ThreadSanitizer (threaded parts)"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE=thread -DBUILD_TESTING=ON
cmake --build build-tsan -j"$jobs"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build-tsan --output-on-failure -j"$jobs" --timeout 600 -L threaded

echo "== Fuzzing (bounded)"
# Each target's time; longer runs between releases: FUZZ_SECONDS=600 bash scripts/test.sh
fuzz_seconds="${FUZZ_SECONDS:-30}"
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DTARNWICK_FUZZ=ON -DBUILD_TESTING=OFF
cmake --build build-fuzz -j"$jobs" --target tarnwick_fuzzers
for fuzzer in build-fuzz/fuzz/*_fuzzer; do
  [ -x "$fuzzer" ] || continue
  name="$(basename "$fuzzer" _fuzzer)"
  work="$(mktemp -d)"
  cp -r "fuzz/corpus/$name/." "$work/" 2>/dev/null || true
  echo "-- $name: $fuzz_seconds s"
  "$fuzzer" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$work" 2>&1 | tail -n 3
  rm -rf "$work"
done
echo "All tests passed in $((SECONDS / 60)) min $((SECONDS % 60)) s on $jobs cores."
