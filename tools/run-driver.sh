#!/usr/bin/env bash
# The driver's main job on its built-in default device: installs what is missing, builds, starts
# the device simulator and the server, and shows live values from a Modbus/TCP and a serial RTU
# site for a while (seconds as the first argument, default 20). See tools/demo.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
exec bash tools/demo.sh "$@"
