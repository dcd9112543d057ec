#!/usr/bin/env bash
# Runs every benchmark and writes the figures to docs/performance.md, with the machine, the
# commands and the date. Figures are measured, never asserted.
# usage: scripts/benchmarks.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/bootstrap.sh"
build="$root/build-bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKAVREN_BUILD_BENCH=ON -DKAVREN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
host="$build/kavren-host"
sim="$build/kavren-sim"
work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

# tcp_sim FILE ARGS...: a simulator on a free port; sets $port to the port it wrote to FILE.
tcp_sim() {
  local file=$1; shift
  "$sim" --tcp 0 --port-file "$file" "$@" >/dev/null 2>&1 & pids+=($!)
  for _ in $(seq 100); do [ -s "$file" ] && break; sleep 0.05; done
  port=$(cat "$file")
}
now() { date +%s.%N; }

echo "1/4 plug-in CPU (Google Benchmark)" >&2
"$build/bench/plugin_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_out="$work/plugin.json" --benchmark_out_format=json >"$work/plugin.txt" 2>&1

echo "2/4 rounds per second over TCP loopback" >&2
tcp_sim "$work/tcp.port"
rounds=3000
t0=$(now)
"$host" --tcp "127.0.0.1:$port" --interval 0.000001 --rounds "$rounds" --json --quiet-plugin --db "$work/tcp.db" >"$work/tcp.out" 2>/dev/null
t1=$(now)
host_rate=$(echo "$rounds / ($t1 - $t0)" | bc -l)
complete=$(grep -c '"complete":true' "$work/tcp.out" || true)
mb_rounds=100
t0=$(now)
for _ in $(seq "$mb_rounds"); do
  for block in "1 6" "257 7" "273 30" "309 1" "4097 30" "8193 16" "8449 16"; do
    set -- $block
    mbpoll -m tcp -p "$port" -a 1 -t 4 -r "$1" -c "$2" -1 127.0.0.1 >/dev/null
  done
done
t1=$(now)
mbpoll_rate=$(echo "$mb_rounds / ($t1 - $t0)" | bc -l)

echo "3/4 round time on a paced 9600 bit/s pseudo-terminal" >&2
"$sim" --pty --pty-link "$work/meter" --line-rate 9600 >/dev/null 2>&1 & pids+=($!)
for _ in $(seq 100); do [ -e "$work/meter" ] && break; sleep 0.05; done
"$host" --rtu "$work/meter" --interval 0.000001 --rounds 20 --json --quiet-plugin --db "$work/pty.db" >"$work/pty.out" 2>/dev/null
pty_times=$(grep -o '"last_round_ms":[0-9.]*' "$work/pty.out" | cut -d: -f2)
pty_mean=$(echo "$pty_times" | awk '{s+=$1; n++} END {printf "%.2f", s/n}')
pty_min=$(echo "$pty_times" | sort -n | head -1 | awk '{printf "%.2f", $1}')
line_min=$(echo "352 * 10 / 9600 * 1000" | bc -l)
pty_over=$(echo "($pty_mean / $line_min - 1) * 100" | bc -l)

echo "4/4 one host, 100 simulated meters (10 TCP links x 10 units)" >&2
config="$work/scale.json"
{
  echo '{"interval": 1, "links": ['
  for i in $(seq 10); do
    tcp_sim "$work/scale-$i.port" --unit 1-10
    [ "$i" -eq 1 ] && first_port=$port
    printf '  {"tcp": "127.0.0.1:%s", "timeout_ms": 1000, "meters": [' "$port"
    for u in $(seq 10); do printf '{"name": "m%s-%s", "unit": %s}%s' "$i" "$u" "$u" "$([ "$u" -lt 10 ] && echo ,)"; done
    printf ']}%s\n' "$([ "$i" -lt 10 ] && echo ,)"
  done
  echo ']}'
} >"$config"
scale_rounds=30
/usr/bin/time -f "%U %S %M %e" -o "$work/scale.time" \
  "$host" --config "$config" --rounds "$scale_rounds" --json --quiet-plugin --db "$work/scale.db" >"$work/scale.out" 2>/dev/null
read -r user sys maxrss wall <"$work/scale.time"
scale_complete=$(grep -c '"complete":true' "$work/scale.out" || true)
scale_total=$((100 * scale_rounds))
echo '{"links": [{"tcp": "127.0.0.1:'"$first_port"'", "meters": [{"name": "m1-1", "unit": 1}]}]}' >"$work/one.json"
/usr/bin/time -f "%M" -o "$work/one.time" "$host" --config "$work/one.json" --rounds 3 --interval 1 --json --quiet-plugin \
  --db "$work/one.db" >/dev/null 2>&1 || true
one_rss=$(cat "$work/one.time" 2>/dev/null | tail -1)
cpu_per_meter_round=$(echo "($user + $sys) / $scale_total * 1000" | bc -l)
rss_per_meter=$(echo "($maxrss - ${one_rss:-0}) / 99" | bc -l)

plugin_rows=$(python3 - "$work/plugin.json" <<'PY' 2>/dev/null || grep -E '^BM_' "$work/plugin.txt"
import json, sys
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("aggregate_name") in ("mean", "stddev"):
        print(f'| {b["run_name"]} | {b["aggregate_name"]} | {b["cpu_time"]:.1f} ns |')
PY
)

cpu_model=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')
cat >"$root/docs/performance.md" <<MD
# Performance

Measured by \`scripts/benchmarks.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'), on $(nproc) cores of
${cpu_model:-an unknown CPU}, $(free -g | awk '/Mem:/ {print $2}') GiB, $(. /etc/os-release; echo "$PRETTY_NAME"),
$(g++ --version | head -1), Release build. These are measurements, not tests: nothing fails on them.

## CPU inside the plug-in

\`build-bench/bench/plugin_bench --benchmark_repetitions=5\`: the built \`kavren_m7.so\` loaded
with dlopen, a back-end that keeps nothing, the plug-in's lines discarded. A complete round is
RefreshStatus, seven replies, RoundDone and the six limit reports. Goal: under 10 µs per round.

| benchmark | | CPU |
|---|---|---|
$plugin_rows

## Rounds per second over TCP loopback

\`kavren-host --tcp 127.0.0.1:PORT --interval 0.000001 --rounds $rounds --json\` against
\`kavren-sim --tcp PORT\`: $(printf '%.0f' "$host_rate") rounds/s ($complete of $rounds rounds complete),
each round seven requests and its SQLite row. The same seven reads by \`mbpoll -1\` (a new process
and connection per read, as a shell loop does): $(printf '%.1f' "$mbpoll_rate") rounds/s over $mb_rounds rounds; that
figure is mostly the start of 7 processes and connections per round, which is what a polling
script pays.

## Round time on a paced 9600 bit/s line

\`kavren-sim --pty --line-rate 9600\` (turnaround 0: the meter replies after the 3.5-character
silence) and \`kavren-host --rtu\`, 20 rounds back to back. The line's minimum is 303 characters
of frames and 14 silences of 3.5 characters, 352 character times of 10 bits: $(printf '%.1f' "$line_min") ms.
Measured: mean $pty_mean ms, fastest $pty_min ms per round, $(printf '%.2f' "$pty_over") % over the
minimum (goal: within 3 %). The host times a round from its first request to the last byte of
the last reply, so the silence after that reply (3.6 ms) is not in its figure: a round can take
as little as 363.0 ms, just under the line's 366.7. With a meter turnaround T longer than the silence,
each of the seven replies starts T after its request instead, and the minimum grows by
7 × (T − 3.65 ms).

## One host, 100 meters

Ten \`kavren-sim --tcp PORT --unit 1-10\`, one \`kavren-host --config\` with ten links of ten meters,
$scale_rounds rounds at 1 s: $scale_complete of $scale_total meter rounds complete. CPU $user s user +
$sys s system in ${wall} s: $(printf '%.3f' "$cpu_per_meter_round") ms of CPU per meter and round (plug-in, libmodbus,
SQLite and output together). Peak memory ${maxrss} KiB against ${one_rss:-?} KiB for one meter:
about $(printf '%.0f' "$rss_per_meter") KiB per meter.

## Running longer fuzzing

\`scripts/test.sh\` gives each libFuzzer target 10 s. A longer run of one target, for example
an hour, keeps new inputs in a corpus folder of its own:

    cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DKAVREN_BUILD_FUZZ=ON -DKAVREN_SANITIZE=address,undefined -DKAVREN_BUILD_TESTS=OFF
    cmake --build build-fuzz
    mkdir -p corpus-driver && build-fuzz/fuzz/driver_sequence_fuzz -max_total_time=3600 corpus-driver fuzz/corpus/driver

A crash leaves its input as \`crash-*\`; it becomes a regression test (a seed in \`fuzz/corpus\`
and a case in the unit tests).
MD
echo "wrote $root/docs/performance.md" >&2
