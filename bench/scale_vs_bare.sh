#!/usr/bin/env bash
# kavren-host with 1000 meters (ten `kavren-sim --tcp --unit 1-100`, ten links of a hundred meters)
# at 1 s against bench/bare_modbus_loop on the same simulators: the host's CPU per meter-round, the
# bare loop's CPU per round, and the host's threads (the most seen, sampled each 0.2 s). Runs are
# interleaved; clients pinned to core 1, simulators to core 0. Prints one line per run.
# usage: bench/scale_vs_bare.sh BUILD_DIR [RUNS] [HOST_ROUNDS] [BARE_ROUNDS]
set -euo pipefail
build=$(realpath "$1")
runs=${2:-3}
host_rounds=${3:-30}
bare_rounds=${4:-3000}
work=$(mktemp -d)
sims=()
trap 'for p in "${sims[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$work"' EXIT
{
  echo '{"interval": 1, "links": ['
  for i in $(seq 10); do
    taskset -c 0 "$build/kavren-sim" --tcp 127.0.0.1:0 --port-file "$work/port-$i" --unit 1-100 \
      >/dev/null 2>&1 &
    sims+=($!)
    for _ in $(seq 200); do [ -s "$work/port-$i" ] && break; sleep 0.02; done
    printf '  {"tcp": "127.0.0.1:%s", "timeout_ms": 1000, "meters": [' "$(cat "$work/port-$i")"
    for u in $(seq 100); do
      printf '{"name": "m%s-%s", "unit": %s}%s' "$i" "$u" "$u" "$([ "$u" -lt 100 ] && echo ,)"
    done
    printf ']}%s\n' "$([ "$i" -lt 10 ] && echo ,)"
  done
  echo ']}'
} >"$work/scale.json"
cpu_of() { awk '{printf "%.6f", $1 + $2}' "$1"; }
for run in $(seq "$runs"); do
  /usr/bin/time -f "%U %S" -o "$work/bare.time" taskset -c 1 "$build/bench/bare_modbus_loop" \
    127.0.0.1 "$(cat "$work/port-1")" "$bare_rounds" 1 >/dev/null
  bare_ms=$(echo "$(cpu_of "$work/bare.time") / $bare_rounds * 1000" | bc -l)
  rm -f "$work/scale.db"*
  /usr/bin/time -f "%U %S" -o "$work/host.time" taskset -c 1 "$build/kavren-host" \
    --config "$work/scale.json" --rounds "$host_rounds" --json --quiet-plugin \
    --db "$work/scale.db" >"$work/scale.out" 2>/dev/null &
  timer=$!
  threads=0
  while kill -0 "$timer" 2>/dev/null; do
    for host in $(pgrep -P "$timer" || true); do
      n=$(ls "/proc/$host/task" 2>/dev/null | wc -l)
      [ "$n" -gt "$threads" ] && threads=$n
    done
    sleep 0.2
  done
  wait "$timer"
  complete=$(grep -c '"complete":true' "$work/scale.out" || true)
  host_ms=$(echo "$(cpu_of "$work/host.time") / (1000 * $host_rounds) * 1000" | bc -l)
  printf 'run %s: host %.4f ms per meter-round, bare %.4f ms per round, ratio %.3f, threads %s, complete %s of %s\n' \
    "$run" "$host_ms" "$bare_ms" "$(echo "$host_ms / $bare_ms" | bc -l)" "$threads" "$complete" \
    "$((1000 * host_rounds))"
done
