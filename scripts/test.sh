#!/usr/bin/env bash
# Builds everything and runs the whole test suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/bootstrap.sh"

build="$root/build"
cmake -S "$root" -B "$build" -G Ninja -DKAVREN_BUILD_TESTS=ON -DKAVREN_BUILD_APPS=ON >/dev/null
cmake --build "$build" -j2
ctest --test-dir "$build" --output-on-failure -j2
