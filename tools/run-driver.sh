#!/usr/bin/env bash
# Installs what is missing, builds the driver and runs its main job.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup-debian.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target qormodbus
exec ./build/qormodbus "$@"
