#!/usr/bin/env bash
# Installs the Debian packages this project builds and tests with, when they are missing.
# Safe to run again: installs nothing when everything is there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config binutils
  libboost-dev libjsoncpp-dev             # the plug-in: date_time, lexical_cast, settings JSON
  libgtest-dev libgmock-dev               # tests
  libmodbus-dev libsqlite3-dev libcli11-dev  # reference host and meter simulator
  libsystemd-dev systemd                  # the service: readiness and watchdog, unit checks
  dpkg-dev help2man                       # the Debian package: shlibdeps, man pages
  mbpoll                                  # an independent Modbus master, for checking the simulator
  libmosquitto-dev mosquitto openssl      # MQTT publishing; the real broker and TLS certificates for its tests
  libbenchmark-dev bc time strace         # benchmarks and their figures
  clang libclang-rt-14-dev clang-format   # fuzzing, sanitizers, formatting check
  universal-ctags                         # the layout check: function lengths
  libcivetweb-dev libjs-dygraphs          # the host's page, metrics and API; the page's plots
  chromium python3-prometheus-client      # tests: the page in a real browser, an independent metrics parser
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
