#!/usr/bin/env bash
# The demo: builds what is missing, starts the simulated meter as an RTU slave on a
# pseudo-terminal paced at 9600 bit/s, and polls it with the reference host for a few rounds.
# usage: scripts/demo.sh [ROUNDS]   (default 5)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${1:-5}
"$root/scripts/bootstrap.sh"

build="$root/build"
cmake -S "$root" -B "$build" -G Ninja -DKAVREN_BUILD_APPS=ON >/dev/null
cmake --build "$build" -j2 --target kavren-host kavren-sim kavren_m7 >/dev/null

work=$(mktemp -d)
trap 'kill "$sim" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
"$build/kavren-sim" --pty --pty-link "$work/meter" --line-rate 9600 --turnaround-ms 5 &
sim=$!
for _ in $(seq 50); do [ -e "$work/meter" ] && break; sleep 0.1; done
[ -e "$work/meter" ] || { echo "demo: the simulator did not start" >&2; exit 1; }

mkdir -p "$root/out"
"$build/kavren-host" --rtu "$work/meter" --name demo-meter --data-id 5169 \
  --settings "$root/docs/example-settings.json" \
  --interval 2 --rounds "$rounds" --db "$root/out/demo-history.db"
