#!/usr/bin/env bash
# The demo: builds what is missing, starts the simulated meter as an RTU slave on a
# pseudo-terminal paced at 9600 bit/s, and polls it with the reference host for a few rounds,
# with the host's page, /metrics and API on 127.0.0.1 at a free port (printed just before the
# rounds).
# usage: scripts/demo.sh [ROUNDS]   (default 5; 0: until Ctrl-C)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${1:-5}
case "$rounds" in
  '' | *[!0-9]*) echo "usage: $0 [ROUNDS]   (default 5; 0: until Ctrl-C)" >&2; exit 2 ;;
esac
"$root/scripts/bootstrap.sh" --demo

work=$(mktemp -d)
sim=""
host=""
reader=""
cleanup() {
  [ -n "$host" ] && kill "$host" 2>/dev/null || true
  [ -n "$sim" ] && kill "$sim" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The test suite's build folder; a new one is configured without the tests, which need packages
# the demo does not install.
build="$root/build"
if [ ! -f "$build/CMakeCache.txt" ]; then
  echo "demo: configuring $build (the programs only, without the tests)"
  cmake -S "$root" -B "$build" -G Ninja -DKAVREN_BUILD_APPS=ON -DKAVREN_BUILD_TESTS=OFF >/dev/null
fi
# Of the build's line per step, one a quarter; all of it when the build fails.
build_progress() {
  awk '/^\[[0-9]+\/[0-9]+\] / {
      step = $1; gsub(/[][]/, "", step); split(step, n, "/")
      if (!started++) {
        printf "demo: building the plug-in, the host and the simulator: %d steps (a first build " \
               "takes a few minutes on 2 cores)\n", n[2]; fflush()
      }
      quarter = int(4 * n[1] / n[2])
      if (quarter > shown) { shown = quarter; printf "demo: build %d%% (%d of %d steps)\n",
                             25 * quarter, n[1], n[2]; fflush() }
    }'
}
started=$SECONDS
if ! cmake --build "$build" -j2 --target kavren-host kavren-sim kavren_m7 2>&1 |
  tee "$work/build.log" | build_progress; then
  cat "$work/build.log" >&2
  echo "demo: the build failed (its output above)" >&2
  exit 1
fi
if grep -q '^\[[0-9]*/[0-9]*\] ' "$work/build.log"; then
  echo "demo: built in $((SECONDS - started)) s"
fi

"$build/kavren-sim" --pty --pty-link "$work/meter" --line-rate 9600 --turnaround-ms 5 &
sim=$!
for _ in $(seq 50); do [ -e "$work/meter" ] && break; sleep 0.1; done
[ -e "$work/meter" ] || { echo "demo: the simulator did not start" >&2; exit 1; }

if [ "$rounds" -eq 0 ]; then
  how_long="until Ctrl-C"
  hint="it stays up until Ctrl-C"
else
  how_long="$rounds round$([ "$rounds" -eq 1 ] || echo s)"
  how_long+=" (scripts/demo.sh 20: 20 rounds, scripts/demo.sh 0: until Ctrl-C)"
  hint="up while the host runs; scripts/demo.sh 0 keeps it running"
fi
echo "demo: the host polls the simulated meter every 2 s, $how_long"
echo "demo: the plug-in's own diagnostic lines (its settings lines, \"rvSize is N\" each round)" \
  "are left out with --quiet-plugin; without it the host logs them as \"kavren_m7: ...\""

# The rounds go through a pipe read here, so that the page's address is the last line before
# them. Port 0: the host takes any free port and writes it to the port file.
mkfifo "$work/rounds"
mkdir -p "$root/out"
"$build/kavren-host" --rtu "$work/meter" --name demo-meter --data-id 5169 \
  --settings "$root/docs/example-settings.json" --quiet-plugin \
  --interval 2 --rounds "$rounds" --db "$root/out/demo-history.db" \
  --http 127.0.0.1:0 --http-port-file "$work/http-port" >"$work/rounds" &
host=$!
{
  for _ in $(seq 100); do
    [ -s "$work/http-port" ] || ! kill -0 "$host" 2>/dev/null && break
    sleep 0.1
  done
  if [ -s "$work/http-port" ]; then
    port=$(cat "$work/http-port")
    echo "demo: the page is at http://127.0.0.1:$port/ (metrics: /metrics, API: /api/meters)," \
      "$hint"
  fi
  cat
} <"$work/rounds" &
reader=$!
status=0
wait "$host" || status=$?
host=""
wait "$reader" || true
echo "demo: export the history with: $build/kavren-host export --db $root/out/demo-history.db --meter demo-meter --format csv" >&2
exit "$status"
