#!/usr/bin/env bash
# How long kavren-host takes from SIGTERM to its exit with 200 meters (5 TCP links of 40) at
# 1 s, MQTT to a local mosquitto and the HTTP side on: prints one line per run, in ms.
# usage: bench/stop_time.sh BUILD_DIR [RUNS]
set -euo pipefail
build=$(realpath "$1")
runs=${2:-5}
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
printf 'listener 0 %s/broker.sock\nallow_anonymous true\n' "$work" >"$work/broker.conf"
mosquitto -c "$work/broker.conf" >"$work/broker.log" 2>&1 &
links=""
for link in 1 2 3 4 5; do
  "$build/kavren-sim" --tcp 0 --port-file "$work/sim$link.port" --unit 1-40 >/dev/null 2>&1 &
done
for link in 1 2 3 4 5; do
  while [ ! -s "$work/sim$link.port" ]; do sleep 0.05; done
  meters=""
  for unit in $(seq 1 40); do
    meters+="${meters:+, }{\"name\": \"l$link-m$unit\", \"unit\": $unit}"
  done
  links+="${links:+, }{\"tcp\": \"127.0.0.1:$(cat "$work/sim$link.port")\", \"meters\": [$meters]}"
done
echo "{\"interval\": 1, \"links\": [$links]}" >"$work/host.json"
for run in $(seq 1 "$runs"); do
  rm -f "$work/history.db"* "$work/http.port"
  "$build/kavren-host" --config "$work/host.json" --db "$work/history.db" --quiet-plugin \
    --mqtt "mqtt+unix://$work/broker.sock" --http 127.0.0.1:0 --http-port-file "$work/http.port" \
    >/dev/null 2>"$work/host.log" &
  host=$!
  while [ ! -s "$work/http.port" ]; do sleep 0.05; done
  sleep 5  # every meter polled a few times, the broker connected
  start=$(date +%s%N)
  kill -TERM "$host"
  status=0
  wait "$host" || status=$?
  end=$(date +%s%N)
  echo "run $run: $(((end - start) / 1000000)) ms from SIGTERM to exit, status $status"
done
