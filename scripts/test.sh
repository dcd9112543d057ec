#!/usr/bin/env bash
# Builds everything and runs the whole test suite three ways:
#   build/           the normal build (g++), every test;
#   build-sanitize/  the same with AddressSanitizer and UndefinedBehaviorSanitizer (g++, stops at
#                    the first report, alignment checks included);
#   build-tsan/      the host and simulator tests with ThreadSanitizer (g++): the link threads, the
#                    history and the other sinks share no data unguarded (the slow-client timing
#                    case of the HTTP test is left to the other builds: this one runs ~10x slower);
#   build-fuzz/      the libFuzzer targets (clang), each for a short bounded run.
# usage: scripts/test.sh [--quick]   (--quick: the normal build only)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/bootstrap.sh"

configure_and_test() {
  local dir=$1
  shift
  echo "== $dir"
  cmake -S "$root" -B "$root/$dir" -G Ninja "$@" >/dev/null
  cmake --build "$root/$dir" -j2 ${targets:+--target $targets}
  ctest --test-dir "$root/$dir" --output-on-failure -j2 ${tests:+-R "$tests"}
}

# The normal build installs under /usr, as the Debian package does: its test builds the package.
configure_and_test build -DKAVREN_BUILD_TESTS=ON -DKAVREN_BUILD_APPS=ON -DCMAKE_INSTALL_PREFIX=/usr
if [ "${1:-}" = "--quick" ]; then
  exit 0
fi
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  configure_and_test build-sanitize -DKAVREN_SANITIZE=address,undefined -DKAVREN_BUILD_TESTS=ON -DKAVREN_BUILD_APPS=ON
targets="kavren_m7 kavren-host kavren-sim host_parts_test end_to_end_test fault_recovery_test data_path_test service_test host_checks_test link_exchange_test framing_test pipeline_test mqtt_parts_test mqtt_test http_parts_test http_test" \
  tests="host_parts|end_to_end|fault_recovery|data_path|service|host_checks|link_exchange|framing|pipeline|mqtt|http" \
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  GTEST_FILTER="-HttpHost.SlowClientsDelayNeitherRoundsNorOtherClients" \
  configure_and_test build-tsan -DKAVREN_SANITIZE=thread -DKAVREN_BUILD_TESTS=ON -DKAVREN_BUILD_APPS=ON
configure_and_test build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DKAVREN_BUILD_FUZZ=ON -DKAVREN_SANITIZE=address,undefined \
  -DKAVREN_BUILD_TESTS=OFF -DKAVREN_BUILD_APPS=ON -DKAVREN_FUZZ_SECONDS=10
