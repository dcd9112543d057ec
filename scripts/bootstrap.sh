#!/usr/bin/env bash
# Installs the Debian packages this project builds and tests with, when they are missing.
# Safe to run again: installs nothing when everything is there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config binutils
  libboost-dev libjsoncpp-dev             # the plug-in: date_time, lexical_cast, settings JSON
  libgtest-dev libgmock-dev               # tests
  libmodbus-dev libsqlite3-dev libcli11-dev  # reference host and meter simulator
  mbpoll                                  # an independent Modbus master, for checking the simulator
  libmosquitto-dev mosquitto openssl      # MQTT publishing; the real broker and TLS certificates for its tests
  libbenchmark-dev bc time                # benchmarks and their figures
  clang libclang-rt-14-dev clang-format   # fuzzing, sanitizers, formatting check
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "bootstrap: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
