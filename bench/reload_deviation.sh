#!/usr/bin/env bash
# How far the poll schedule of the meters that stay strays while kavren-host reloads its
# configuration 100 times in a row: two simulators on TCP, three meters at 0.5 s; each reload
# adds a meter to the first link and removes one from the second, or back. Prints the gaps
# between consecutive stored rounds of an unchanged meter, in ms, over the reloads and over as
# long a stretch without reloads before them.
# A reload is sent every PACE_MS (150 by default), or as soon as the one before is applied if
# that takes longer: the stretch across the reloads holds enough rounds to judge.
# usage: bench/reload_deviation.sh BUILD_DIR [RELOADS] [PACE_MS]
set -euo pipefail
build=$(realpath "$1")
reloads=${2:-100}
pace_ms=${3:-150}
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
for sim in a b; do
  "$build/kavren-sim" --tcp 0 --port-file "$work/$sim.port" --unit 1-2 >/dev/null 2>&1 &
done
for sim in a b; do while [ ! -s "$work/$sim.port" ]; do sleep 0.05; done; done
link() {  # $1: simulator, then name:unit pairs
  local port meters="" pair
  port=$(cat "$work/$1.port"); shift
  for pair in "$@"; do meters+="${meters:+, }{\"name\": \"${pair%:*}\", \"unit\": ${pair#*:}}"; done
  echo "{\"tcp\": \"127.0.0.1:$port\", \"meters\": [$meters]}"
}
echo "{\"interval\": 0.5, \"links\": [$(link a a1:1), $(link b b1:1 b2:2)]}" >"$work/one.json"
echo "{\"interval\": 0.5, \"links\": [$(link a a1:1 a2:2), $(link b b1:1)]}" >"$work/two.json"
cp "$work/one.json" "$work/host.json"
"$build/kavren-host" --config "$work/host.json" --db "$work/history.db" --quiet-plugin --json \
  >/dev/null 2>"$work/host.log" &
host=$!
now_ms() { echo $(($(date +%s%N) / 1000000)); }
sleep 2  # the links connected, a few rounds stored
quiet_from=$(now_ms)
sleep 30
reloads_from=$(now_ms)
for i in $(seq 1 "$reloads"); do
  if [ $((i % 2)) -eq 1 ]; then cp "$work/two.json" "$work/host.json"; else cp "$work/one.json" "$work/host.json"; fi
  kill -HUP "$host"
  # The next only once this one is applied: its summary of what it committed is logged.
  while [ "$(grep -c 'reload: history:' "$work/host.log")" -lt "$i" ]; do sleep 0.01; done
  while [ "$(now_ms)" -lt $((reloads_from + i * pace_ms)) ]; do sleep 0.01; done
done
reloads_to=$(now_ms)
sleep 1
kill -TERM "$host"
wait "$host" || true
echo "reloads: $reloads in $(((reloads_to - reloads_from) / 1000)) s; failed: $(grep -c 'reload: not applied' "$work/host.log" || true)"
python3 - "$work/history.db" "$quiet_from" "$reloads_from" "$reloads_to" <<'PY'
import sqlite3, sys
db, quiet_from, reloads_from, reloads_to = sys.argv[1], *map(int, sys.argv[2:])
rows = sqlite3.connect(db).execute(
    "SELECT device, t_ms FROM records WHERE origin = 'round' AND device IN ('a1', 'b1') "
    "ORDER BY device, t_ms").fetchall()
def gaps(start, end):
    out = []
    for device in ("a1", "b1"):
        t = [ms for d, ms in rows if d == device and start <= ms <= end]
        out += [b - a for a, b in zip(t, t[1:])]
    return sorted(out)
for name, (start, end) in (("without reloads", (quiet_from, reloads_from)),
                           ("across reloads", (reloads_from, reloads_to))):
    g = gaps(start, end)
    dev = sorted(abs(x - 500) for x in g)
    pick = lambda v, q: v[min(len(v) - 1, int(q * len(v)))]
    print(f"{name}: {len(g)} gaps, median {pick(g, 0.5)} ms, shortest {g[0]} ms, "
          f"longest {g[-1]} ms; deviation from 500 ms: median {pick(dev, 0.5)} ms, "
          f"99th percentile {pick(dev, 0.99)} ms, largest {dev[-1]} ms")
PY
