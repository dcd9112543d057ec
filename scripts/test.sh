#!/usr/bin/env bash
# Builds everything and runs the whole test suite four ways:
#   build/           the normal build (g++), every test;
#   build-sanitize/  the same with AddressSanitizer and UndefinedBehaviorSanitizer (g++, stops at
#                    the first report, alignment checks included);
#   build-tsan/      the host and simulator tests with ThreadSanitizer (g++): the link threads, the
#                    history, the gateways and the other sinks share no data unguarded (the
#                    slow-client timing case of the HTTP test and the minute of 200 meters
#                    publishing to MQTT are left to the other builds: this one runs ~10x slower);
#   build-fuzz/      the libFuzzer targets (clang), each for a short bounded run.
# Every build runs, whatever an earlier one did. A test that fails is run once more: passing then,
# it is reported as flaky in the summary; failing again, it fails the run. One summary line per build at the end;
# the exit status is non-zero when any build or test failed.
# The test builds keep line tables only (-g1): a sanitizer's report still names each frame's file
# and line, and the builds take about a third less time than with full debug information. The
# ASan/UBSan and TSan builds compile at -Og: their tests wait on sockets and timers far more than
# they compute, and -Og halves the time of a build with sanitizers.
# usage: scripts/test.sh [--quick]   (--quick: the normal build only)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/bootstrap.sh" --test || exit 1

summaries=()
failed_builds=0

# Names of the tests a ctest log reports as failed.
failed_tests() {
  sed -n 's/^[[:space:]]*[0-9][0-9]* - \([^ ]*\) (.*/\1/p' "$1" | sort -u | tr '\n' ' '
}

configure_and_test() {
  local name=$1 dir=$2
  shift 2
  local log="$root/$dir/ctest.log" rerun="$root/$dir/ctest-rerun.log"
  echo "== $name ($dir)"
  if ! cmake -S "$root" -B "$root/$dir" -G Ninja \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=${optimise:--O2} -g1 -DNDEBUG" "$@" >/dev/null ||
    ! cmake --build "$root/$dir" -j2 ${targets:+--target $targets}; then
    summaries+=("$name: the build failed")
    failed_builds=$((failed_builds + 1))
    return
  fi
  ctest --test-dir "$root/$dir" --output-on-failure -j2 ${tests:+-R "$tests"} \
    ${exclude:+-E "$exclude"} 2>&1 | tee "$log"
  local total
  total=$(sed -n 's/.* tests failed out of \([0-9]*\)$/\1/p' "$log" | tail -n 1)
  if [ -z "$total" ]; then
    summaries+=("$name: ctest did not run (see $log)")
    failed_builds=$((failed_builds + 1))
    return
  fi
  local first_failures
  first_failures=$(failed_tests "$log")
  if [ -z "$first_failures" ]; then
    summaries+=("$name: $total/$total passed")
    return
  fi
  echo "== $name: running again what failed: $first_failures"
  ctest --test-dir "$root/$dir" --output-on-failure --rerun-failed 2>&1 | tee "$rerun"
  local still_failing flaky="" test
  still_failing=$(failed_tests "$rerun")
  for test in $first_failures; do
    case " $still_failing " in *" $test "*) ;; *) flaky+="$test " ;; esac
  done
  local count_failing
  count_failing=$(wc -w <<<"$still_failing")
  local line="$name: $((total - count_failing))/$total passed"
  [ -n "$still_failing" ] && line+="; failed twice: ${still_failing% }"
  [ -n "$flaky" ] && line+="; flaky (failed once, then passed): ${flaky% }"
  summaries+=("$line")
  [ -n "$still_failing" ] && failed_builds=$((failed_builds + 1))
  return 0
}

# The normal build installs under /usr, as the Debian package does: its test builds the package.
configure_and_test normal build -DKAVREN_BUILD_TESTS=ON -DKAVREN_BUILD_APPS=ON \
  -DCMAKE_INSTALL_PREFIX=/usr
if [ "${1:-}" != "--quick" ]; then
  optimise=-Og ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    configure_and_test sanitizers build-sanitize -DKAVREN_SANITIZE=address,undefined \
    -DKAVREN_BUILD_TESTS=ON -DKAVREN_BUILD_APPS=ON
  targets="kavren_m7 kavren-host kavren-sim host_parts_test end_to_end_test fault_recovery_test data_path_test service_test host_checks_test link_exchange_test framing_test pipeline_test mqtt_parts_test mqtt_test mqtt_misbehaving_test http_parts_test http_test history_parts_test gateway_parts_test gateway_test reload_test" \
    tests="host_parts|end_to_end|fault_recovery|data_path|service|host_checks|link_exchange|framing|pipeline|mqtt|http|history_parts|gateway|reload" \
    exclude="mqtt_load" \
    optimise=-Og TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    GTEST_FILTER="-HttpHost.SlowClientsDelayNeitherRoundsNorOtherClients" \
    configure_and_test threads build-tsan -DKAVREN_SANITIZE=thread -DKAVREN_BUILD_TESTS=ON \
    -DKAVREN_BUILD_APPS=ON
  targets=kavren_fuzz_targets \
    configure_and_test fuzz build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DKAVREN_BUILD_FUZZ=ON \
    -DKAVREN_SANITIZE=address,undefined -DKAVREN_BUILD_TESTS=OFF -DKAVREN_BUILD_APPS=ON \
    -DKAVREN_FUZZ_SECONDS=10
fi

echo "== summary"
printf '%s\n' "${summaries[@]}"
[ "$failed_builds" -eq 0 ]
