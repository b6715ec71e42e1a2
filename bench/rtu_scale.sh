#!/usr/bin/env bash
# 100 Modbus RTU sites of 10 points on pseudo-terminals against a libmodbus RTU client, in one run
# (see bench/scale.sh).
# Usage: bench/rtu_scale.sh [BUILD_DIR] [SECONDS] [SITES]     (defaults: build, 60, 100)
exec bash "$(dirname "$0")/scale.sh" rtu "$@"
