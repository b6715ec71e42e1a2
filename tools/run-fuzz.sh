#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given number of seconds
# (default 10), starting from the campaigns' kept corpus (fuzz/corpus/) with the dictionaries
# (fuzz/dict/). Crash inputs are kept in build-fuzz/crashes/.
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
  log="build-fuzz/$name.log"
  status=0
  # New inputs go to the build folder; the kept corpus of the campaigns is read, never written.
  kept=()
  [[ -d fuzz/corpus/$name ]] && kept=("fuzz/corpus/$name")
  dict=()
  [[ -f fuzz/dict/$name.dict ]] && dict=(-dict="fuzz/dict/$name.dict")
  "$target" -max_total_time="$seconds" -print_final_stats=1 "${dict[@]}" \
    -artifact_prefix="build-fuzz/crashes/$name-" "build-fuzz/corpus/$name" "${kept[@]}" >"$log" 2>&1 || status=$?
  grep -E 'stat::number_of_executed_units|ERROR|SUMMARY' "$log" || true
  if [[ $status -ne 0 ]]; then
    echo "fuzz target $name failed (exit $status); the input is in build-fuzz/crashes/"
    tail -n 40 "$log"
    exit 1
  fi
done
