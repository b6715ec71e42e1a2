#!/usr/bin/env bash
# A fuzz campaign: runs each fuzz target (or the ones named) for SECONDS over its kept corpus in
# fuzz/corpus/<target>/ with its dictionary fuzz/dict/<target>.dict, then minimises the corpus
# (libFuzzer -merge) and keeps the result in fuzz/corpus/<target>/ for committing. Each run's
# executions, coverage and corpus size are appended to fuzz/campaign.log, whose totals say how
# far each target has been run. Crash inputs stay in build-fuzz/crashes/.
#
# Usage: bash tools/fuzz-campaign.sh SECONDS [TARGET...]      (seeds: tools/fuzz-seeds.py)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: fuzz-campaign.sh SECONDS [TARGET...]}
shift
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQMB_FUZZ=ON >/dev/null
cmake --build build-fuzz
mkdir -p build-fuzz/crashes build-fuzz/campaign
targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
  for t in build-fuzz/fuzz/fuzz_*; do [[ -x "$t" && -f "$t" ]] && targets+=("$(basename "$t")"); done
fi
for name in "${targets[@]}"; do
  target=build-fuzz/fuzz/$name
  kept=fuzz/corpus/$name
  found=build-fuzz/campaign/$name
  mkdir -p "$kept" "$found"
  dict=()
  [[ -f fuzz/dict/$name.dict ]] && dict=(-dict="fuzz/dict/$name.dict")
  log=build-fuzz/campaign/$name.log
  echo "--- $name (${seconds}s)"
  status=0
  # -timeout is wall-clock time: generous, so that an input of a campaign run at low priority on a
  # busy machine is not taken for a hang.
  "$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=120 "${dict[@]}" \
    -artifact_prefix="build-fuzz/crashes/$name-" "$found" "$kept" >"$log" 2>&1 || status=$?
  if [[ $status -ne 0 ]]; then
    echo "$name failed (exit $status); the input is in build-fuzz/crashes/"
    tail -n 40 "$log"
    exit 1
  fi
  executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  # Minimise: the smallest set of inputs with the same coverage replaces the kept corpus.
  merged=build-fuzz/campaign/$name.merged
  rm -rf "$merged" && mkdir -p "$merged"
  "$target" -merge=1 "$merged" "$kept" "$found" >"$log.merge" 2>&1
  rm -rf "$kept" && mv "$merged" "$kept" && rm -rf "$found"
  files=$(ls "$kept" | wc -l)
  line="$(date -u +%Y-%m-%dT%H:%M:%SZ) $name seconds=$seconds executions=$executed coverage=$coverage corpus=$files"
  echo "$line" | tee -a fuzz/campaign.log
done
# Totals so far, per target.
awk '{ split($4, e, "="); total[$2] += e[2] } END { for (t in total) printf "%-20s %d executions in all\n", t, total[t] }' \
  fuzz/campaign.log | sort
