#!/usr/bin/env bash
# Installs what is missing, builds every target and runs the tests: every one but those labelled
# "long", which CI runs too.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup-debian.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build
# The tests labelled "long" (the soak, the fault matrices: minutes each) are left out unless
# asked for; CI runs them after this (bash tools/run-tests.sh -L long runs only them).
if [[ " $* " == *" -L "* || " $* " == *" -LE "* ]]; then
  ctest --test-dir build --output-on-failure --timeout 600 "$@"
else
  ctest --test-dir build --output-on-failure --timeout 600 -LE long "$@"
fi
