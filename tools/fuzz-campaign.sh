#!/usr/bin/env bash
# A fuzz campaign: runs each fuzz target (or the ones named) for SECONDS over its kept corpus in
# fuzz/corpus/<target>/ with its dictionary fuzz/dict/<target>.dict, then minimises the corpus
# (libFuzzer -merge) and keeps the result in fuzz/corpus/<target>/ for committing. Each run's
# executions, coverage and corpus size are appended to fuzz/campaign.log, whose totals say how
# far each target has been run. Crash inputs stay in build-fuzz/crashes/.
#
# Usage: bash tools/fuzz-campaign.sh SECONDS [TARGET...]      (seeds: tools/fuzz-seeds.py)
#        FUZZ_JOBS=N runs N fuzzers side by side on each target (one a core), all adding their
#        finds to the same corpus; the executions logged are theirs together.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: fuzz-campaign.sh SECONDS [TARGET...]}
shift
jobs=${FUZZ_JOBS:-1}
[[ $jobs =~ ^[1-9][0-9]*$ ]] || { echo "fuzz-campaign: FUZZ_JOBS is a count, not \"$jobs\"" >&2; exit 2; }
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
  # -timeout is wall-clock time: generous, so that an input of a campaign run at low priority on a
  # busy machine is not taken for a hang.
  rm -f "$log".[0-9]*
  pids=()
  for ((job = 1; job <= jobs; ++job)); do
    "$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=120 "${dict[@]}" \
      -artifact_prefix="build-fuzz/crashes/$name-" "$found" "$kept" >"$log.$job" 2>&1 &
    pids+=($!)
  done
  failed=0
  for ((job = 1; job <= jobs; ++job)); do
    status=0
    wait "${pids[job - 1]}" || status=$?
    if [[ $status -ne 0 ]]; then
      echo "$name failed (exit $status); the input is in build-fuzz/crashes/"
      tail -n 40 "$log.$job"
      failed=1
    fi
  done
  [[ $failed -eq 0 ]] || exit 1
  executed=$(cat "$log".[0-9]* | sed -n 's/^stat::number_of_executed_units: *//p' | awk '{ n += $1 } END { print n }')
  coverage=$(for f in "$log".[0-9]*; do grep -o 'cov: [0-9]*' "$f" | tail -1 | cut -d' ' -f2; done | sort -n | tail -1)
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
