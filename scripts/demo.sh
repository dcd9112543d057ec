#!/usr/bin/env bash
# The demo: builds what is missing, starts the simulated meter as an RTU slave on a
# pseudo-terminal paced at 9600 bit/s, and polls it with the reference host for a few rounds,
# with the host's page, /metrics and API on 127.0.0.1 at a free port (printed at the start).
# usage: scripts/demo.sh [ROUNDS]   (default 5; 0: until Ctrl-C)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${1:-5}
"$root/scripts/bootstrap.sh" --demo

# The test suite's build folder; a new one is configured without the tests, which need packages
# the demo does not install.
build="$root/build"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DKAVREN_BUILD_APPS=ON -DKAVREN_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 --target kavren-host kavren-sim kavren_m7 >/dev/null

work=$(mktemp -d)
sim=""
host=""
cleanup() {
  [ -n "$host" ] && kill "$host" 2>/dev/null || true
  [ -n "$sim" ] && kill "$sim" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
"$build/kavren-sim" --pty --pty-link "$work/meter" --line-rate 9600 --turnaround-ms 5 &
sim=$!
for _ in $(seq 50); do [ -e "$work/meter" ] && break; sleep 0.1; done
[ -e "$work/meter" ] || { echo "demo: the simulator did not start" >&2; exit 1; }

mkdir -p "$root/out"
# Port 0: the host takes any free port and writes it to the port file.
"$build/kavren-host" --rtu "$work/meter" --name demo-meter --data-id 5169 \
  --settings "$root/docs/example-settings.json" \
  --interval 2 --rounds "$rounds" --db "$root/out/demo-history.db" \
  --http 127.0.0.1:0 --http-port-file "$work/http-port" &
host=$!
for _ in $(seq 100); do [ -s "$work/http-port" ] && break; sleep 0.1; done
if [ -s "$work/http-port" ]; then
  port=$(cat "$work/http-port")
  echo "demo: the page is at http://127.0.0.1:$port/ (metrics: /metrics, API: /api/meters) while the host runs" >&2
fi
status=0
wait "$host" || status=$?
host=""
echo "demo: export the history with: $build/kavren-host export --db $root/out/demo-history.db --meter demo-meter --format csv" >&2
exit "$status"
