#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the benchmarks, the fuzzers and the tools need.
# Idempotent: when everything is present already it touches nothing and needs no network.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  g++ clang clang-format libclang-rt-14-dev
  qt6-base-dev qt6-serialport-dev libqt6serialport6 qt6-qpa-plugins libxkbcommon-dev
  libgtest-dev libgmock-dev libbenchmark-dev libmodbus-dev strace
  dbus dbus-daemon dbus-bin systemd python3 python3-dbus python3-pymodbus python3-serial
  python3-serial-asyncio socat xvfb xauth xdotool
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]} == 0)); then
  echo "setup: all ${#packages[@]} packages present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${packages[@]}"
