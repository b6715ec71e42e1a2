#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the benchmarks, the fuzzers and the tools need,
# and generates the locales the tests format under.
# Idempotent: when everything is present already it touches nothing and needs no network.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  g++ clang clang-format libclang-rt-14-dev
  qt6-base-dev qt6-serialport-dev libqt6serialport6 qt6-qpa-plugins libxkbcommon-dev
  libgtest-dev libgmock-dev libbenchmark-dev libmodbus-dev libsystemd-dev strace
  dbus dbus-daemon dbus-bin systemd python3 python3-dbus python3-gi python3-pymodbus python3-serial
  python3-serial-asyncio socat xvfb xauth xdotool at-spi2-core locales
  libmosquitto-dev libtomlplusplus-dev mosquitto mosquitto-clients python3-paho-mqtt openssl
)
# Locales the time-text tests format under besides C (they skip, saying so, where one is missing).
test_locales=(en_US.UTF-8 de_DE.UTF-8)

SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]} == 0)); then
  echo "setup: all ${#packages[@]} packages present"
else
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${packages[@]}"
fi

# `locale -a` spells UTF-8 as utf8.
absent=()
for l in "${test_locales[@]}"; do
  locale -a 2>/dev/null | grep -qx "${l%%.*}.utf8" || absent+=("$l")
done
if ((${#absent[@]} == 0)); then
  echo "setup: all ${#test_locales[@]} test locales present"
else
  echo "setup: generating ${absent[*]}"
  for l in "${absent[@]}"; do
    # Uncomment the locale's line in /etc/locale.gen, or add it.
    if grep -q "^# *$l UTF-8" /etc/locale.gen; then
      $SUDO sed -i "s/^# *$l UTF-8/$l UTF-8/" /etc/locale.gen
    elif ! grep -q "^$l UTF-8" /etc/locale.gen; then
      echo "$l UTF-8" | $SUDO tee -a /etc/locale.gen >/dev/null
    fi
  done
  $SUDO locale-gen
fi
