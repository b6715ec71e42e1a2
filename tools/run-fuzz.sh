#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given number of seconds
# (default 10). Crash inputs are kept in build-fuzz/crashes/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQMB_FUZZ=ON
cmake --build build-fuzz
mkdir -p build-fuzz/crashes
for target in build-fuzz/fuzz/fuzz_*; do
  [[ -x "$target" && -f "$target" ]] || continue
  name=$(basename "$target")
  mkdir -p "build-fuzz/corpus/$name"
  echo "--- $name (${seconds}s)"
  "$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="build-fuzz/crashes/$name-" "build-fuzz/corpus/$name" 2>&1 |
    grep -E 'stat::number_of_executed_units|ERROR|SUMMARY|crash' || true
  # libFuzzer exits non-zero on a crash; PIPESTATUS keeps that from being hidden by grep.
  [[ ${PIPESTATUS[0]} -eq 0 ]] || { echo "fuzz target $name failed"; exit 1; }
done
