#!/usr/bin/env bash
# Installs the Debian packages this project builds and tests with, when they are missing.
# Safe to run again: installs nothing when everything is there.
# usage: scripts/bootstrap.sh [--demo | --test]
#   --demo  what the demo needs: the plug-in, the host and the simulator, built and run
#   --test  (the default) everything: the demo's set, the test suite, the package, the benchmarks
set -euo pipefail

demo_packages=(
  build-essential cmake ninja-build pkg-config
  libboost-dev libjsoncpp-dev                # the plug-in: date_time, lexical_cast, settings JSON;
                                             # the host's page, metrics and API: Asio and Beast
  libmodbus-dev libsqlite3-dev libcli11-dev  # reference host and meter simulator
  libsystemd-dev                             # the service: readiness and watchdog
  libmosquitto-dev libssl-dev                # MQTT publishing; its TLS files checked with OpenSSL
  libjs-dygraphs                             # the page's plots
  zlib1g-dev                                 # the host's compressed replies
)
test_packages=(
  binutils file tzdata                    # library checks; CPack's file type probe; zone rules
  libgtest-dev libgmock-dev               # tests
  systemd                                 # unit checks (systemd-analyze)
  dpkg-dev help2man lintian               # the Debian package: shlibdeps, man pages, its checks
  mbpoll                                  # an independent Modbus master, for checking the simulator
  mosquitto openssl                       # the real broker and TLS certificates for MQTT tests
  libbenchmark-dev bc time strace         # benchmarks and their figures
  clang libclang-rt-14-dev clang-format   # fuzzing, sanitizers, formatting check
  universal-ctags                         # the layout check: function lengths
  chromium python3-prometheus-client      # the page in a real browser, an independent metrics parser
  chromium-driver python3-selenium        # the page driven through WebDriver
  fonts-wqy-microhei                      # Chinese alarm texts in the page's screenshots
  prometheus                              # promtool: the metrics, the scrape config and alert rules
  libfaketime                             # a system clock that jumps, for the history's retention
)

case "${1:---test}" in
  --demo) packages=("${demo_packages[@]}") ;;
  --test) packages=("${demo_packages[@]}" "${test_packages[@]}") ;;
  *) echo "usage: $0 [--demo | --test]" >&2; exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
echo "bootstrap: installing ${#missing[@]} packages and what they need: ${missing[*]}"
started=$SECONDS
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# Of apt's and dpkg's hundreds of lines, a few: how much is fetched, then each stage once. All
# of them go to a log, shown only when the installation fails.
apt_progress() {
  awk '
    / newly installed, / { count = $3 }
    /^Need to get / {
      size = $0; sub(/^Need to get /, "", size); sub(/ of archives\.$/, "", size)
      printf "bootstrap: %s packages in all, %s to download\n", count, size; fflush()
    }
    /^Unpacking / && !unpacking++ { print "bootstrap: unpacking..."; fflush() }
    /^Setting up / && !setting_up++ { print "bootstrap: setting up..."; fflush() }'
}
echo "bootstrap: updating the package lists..."
if ! { $sudo apt-get update -qq &&
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends \
    -o Dpkg::Use-Pty=0 "${missing[@]}"; } 2>&1 | tee "$log" | apt_progress; then
  cat "$log" >&2
  echo "bootstrap: installing the packages failed (apt-get's output above)" >&2
  exit 1
fi
echo "bootstrap: done in $((SECONDS - started)) s"
