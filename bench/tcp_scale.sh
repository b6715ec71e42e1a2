#!/usr/bin/env bash
# 100 Modbus/TCP sites of 10 points against a libmodbus client, in one run (see bench/scale.sh).
# Usage: bench/tcp_scale.sh [BUILD_DIR] [SECONDS] [SITES]     (defaults: build, 60, 100)
exec bash "$(dirname "$0")/scale.sh" tcp "$@"
