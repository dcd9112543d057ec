#!/usr/bin/env bash
# The history's write-ahead log beside an export whose reader stalls: a host storing about 200
# rounds a second (10 meters at 0.05 s over TCP), `kavren-host export ... | (head -c 65536;
# sleep 25; cat)`, the log's size printed every second during the stall and after it.
# usage: bench/stalled_export.sh BUILD_DIR [STALL_SECONDS]
set -euo pipefail
build=$(realpath "$1")
stall=${2:-25}
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
"$build/kavren-sim" --tcp 0 --port-file "$work/sim.port" --unit 1-10 >/dev/null 2>&1 &
while [ ! -s "$work/sim.port" ]; do sleep 0.05; done
meters=""
for unit in $(seq 1 10); do meters+="${meters:+, }{\"name\": \"m$unit\", \"unit\": $unit}"; done
echo "{\"interval\": 0.05, \"links\": [{\"tcp\": \"127.0.0.1:$(cat "$work/sim.port")\", \"meters\": [$meters]}]}" >"$work/host.json"
"$build/kavren-host" --config "$work/host.json" --db "$work/history.db" --quiet-plugin \
  >/dev/null 2>"$work/host.log" &
wal() { stat -c %s "$work/history.db-wal" 2>/dev/null || echo 0; }
sleep 20  # about 400 rounds of m1 to export
echo "before the export: WAL $(wal) bytes"
("$build/kavren-host" export --db "$work/history.db" --meter m1 --format jsonl |
  (head -c 65536 >/dev/null; sleep "$stall"; cat >/dev/null)) &
export_job=$!
for second in $(seq 1 "$stall"); do
  sleep 1
  [ $((second % 5)) -eq 0 ] && echo "stalled ${second} s: WAL $(wal) bytes"
done
wait "$export_job"
echo "export ended"
for second in 1 2 3 5; do
  sleep 1
  echo "+${second} s: WAL $(wal) bytes"
done
echo "rounds a second: $(grep -c . "$work/host.log" >/dev/null; sqlite3 "$work/history.db" \
  "SELECT round(count(*) / ((max(t_ms) - min(t_ms)) / 1000.0)) FROM records" 2>/dev/null || echo '?')"
