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

now() { date +%s.%N; }

echo "1/5 plug-in CPU (Google Benchmark)" >&2
"$build/bench/plugin_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_out="$work/plugin.json" --benchmark_out_format=json >"$work/plugin.txt" 2>&1

echo "2/5 the host against the bare libmodbus loop, pinned, interleaved" >&2
# One simulator serves both; each figure is the median of $runs interleaved runs, and the ratio is
# taken within one placement: on these shared machines only ratios measured together count.
"$build/bench/json_line_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  >"$work/json.txt" 2>&1
json_line_ns=$(awk '/BM_RoundJsonLine_median/ {print $4}' "$work/json.txt")
runs=5
rounds=2000
median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
measure_placement() {  # $1: cores of the simulator, $2: cores of the client; prints "bare host"
  local sim_cpus=$1 client_cpus=$2 port sim_pid bare=() hosted=()
  taskset -c "$sim_cpus" "$sim" --tcp 127.0.0.1:0 --port-file "$work/port" >/dev/null 2>&1 &
  sim_pid=$!; pids+=($sim_pid)
  for _ in $(seq 200); do [ -s "$work/port" ] && break; sleep 0.02; done
  port=$(cat "$work/port"); rm -f "$work/port"
  for _ in $(seq "$runs"); do
    # Both timed the same way: the whole process, its start and end included.
    local t0 t1
    t0=$(now)
    taskset -c "$client_cpus" "$build/bench/bare_modbus_loop" 127.0.0.1 "$port" "$rounds" >/dev/null
    t1=$(now)
    bare+=("$(echo "$rounds / ($t1 - $t0)" | bc -l)")
    rm -f "$work/tcp.db"*
    t0=$(now)
    taskset -c "$client_cpus" "$host" --tcp "127.0.0.1:$port" --interval 0.000001 --rounds "$rounds" \
      --json --quiet-plugin --no-restore --db "$work/tcp.db" >"$work/tcp.out" 2>/dev/null
    t1=$(now)
    hosted+=("$(echo "$rounds / ($t1 - $t0)" | bc -l)")
  done
  kill "$sim_pid" 2>/dev/null || true
  echo "$(printf '%s\n' "${bare[@]}" | median) $(printf '%s\n' "${hosted[@]}" | median)"
}
read -r bare_two host_two < <(measure_placement 0 1)
read -r bare_one host_one < <(measure_placement 0 0)
ratio_two=$(echo "$host_two / $bare_two" | bc -l)
ratio_one=$(echo "$host_one / $bare_one" | bc -l)
complete=$(grep -c '"complete":true' "$work/tcp.out" || true)

echo "3/5 round time on a paced 9600 bit/s pseudo-terminal" >&2
"$sim" --pty --pty-link "$work/meter" --line-rate 9600 >/dev/null 2>&1 & pids+=($!)
for _ in $(seq 100); do [ -e "$work/meter" ] && break; sleep 0.05; done
"$host" --rtu "$work/meter" --interval 0.000001 --rounds 20 --json --quiet-plugin --db "$work/pty.db" >"$work/pty.out" 2>/dev/null
pty_times=$(grep -o '"last_round_ms":[0-9.]*' "$work/pty.out" | cut -d: -f2)
pty_mean=$(echo "$pty_times" | awk '{s+=$1; n++} END {printf "%.2f", s/n}')
pty_min=$(echo "$pty_times" | sort -n | head -1 | awk '{printf "%.2f", $1}')
line_min=$(echo "352 * 10 / 9600 * 1000" | bc -l)
pty_over=$(echo "($pty_mean / $line_min - 1) * 100" | bc -l)

echo "4/5 one host, 1000 simulated meters (10 TCP links x 100 units) at 1 s" >&2
config="$work/scale.json"
{
  echo '{"interval": 1, "links": ['
  for i in $(seq 10); do
    "$sim" --tcp 127.0.0.1:0 --port-file "$work/port-$i" --unit 1-100 >/dev/null 2>&1 & pids+=($!)
    for _ in $(seq 200); do [ -s "$work/port-$i" ] && break; sleep 0.02; done
    port=$(cat "$work/port-$i")
    printf '  {"tcp": "127.0.0.1:%s", "timeout_ms": 1000, "meters": [' "$port"
    for u in $(seq 100); do printf '{"name": "m%s-%s", "unit": %s}%s' "$i" "$u" "$u" "$([ "$u" -lt 100 ] && echo ,)"; done
    printf ']}%s\n' "$([ "$i" -lt 10 ] && echo ,)"
  done
  echo ']}'
} >"$config"
scale_rounds=30
/usr/bin/time -f "%U %S %M %e" -o "$work/scale.time" \
  "$host" --config "$config" --rounds "$scale_rounds" --json --quiet-plugin --db "$work/scale.db" >"$work/scale.out" 2>/dev/null
read -r user sys maxrss wall <"$work/scale.time"
scale_complete=$(grep -c '"complete":true' "$work/scale.out" || true)
scale_total=$((1000 * scale_rounds))
cpu_per_meter_round=$(echo "($user + $sys) / $scale_total * 1000" | bc -l)
echo "+ the same 1000 meters against the bare loop on the same simulators, pinned, interleaved" >&2
"$root/bench/scale_vs_bare.sh" "$build" "$runs" 30 3000 >"$work/vs_bare.txt" 2>&1 || true
vs_bare() { awk -v f="$1" '$1 == "run" {gsub(",", "", $f); print $f}' "$work/vs_bare.txt" | median; }
vs_host_ms=$(vs_bare 4)
vs_bare_ms=$(vs_bare 9)
vs_ratio=$(vs_bare 14)
vs_threads=$(awk '$1 == "run" {gsub(",", "", $16); print $16}' "$work/vs_bare.txt" | sort -n | tail -1)
echo "5/5 futex calls of the same host (strace, a separate run: strace slows it)" >&2
futex_rounds=10
rm -f "$work/scale.db"*
strace -f -c -e trace=futex -o "$work/futex.txt" \
  "$host" --config "$config" --rounds "$futex_rounds" --json --quiet-plugin --db "$work/scale.db" >/dev/null 2>&1 || true
futex_calls=$(awk '$NF == "futex" {print $4}' "$work/futex.txt")
futex_per_meter_round=$(echo "${futex_calls:-0} / (1000 * $futex_rounds)" | bc -l)

echo "+ publishing to MQTT: the host's CPU per round with and without --mqtt (local mosquitto)" >&2
cat >"$work/mosquitto.conf" <<CONF
listener 0 $work/mqtt.sock
allow_anonymous true
persistence false
user $(id -un)
CONF
mosquitto -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 & pids+=($!)
for _ in $(seq 200); do [ -S "$work/mqtt.sock" ] && break; sleep 0.02; done
"$sim" --tcp 127.0.0.1:0 --port-file "$work/mqtt-sim.port" >/dev/null 2>&1 & pids+=($!)
for _ in $(seq 200); do [ -s "$work/mqtt-sim.port" ] && break; sleep 0.02; done
mqtt_port=$(cat "$work/mqtt-sim.port")
mqtt_rounds=2000
cpu_per_round() {  # extra host options...; prints µs of host CPU per round
  rm -f "$work/mqtt.db"*
  /usr/bin/time -f "%U %S" -o "$work/mqtt.time" "$host" --tcp "127.0.0.1:$mqtt_port" \
    --interval 0.000001 --rounds "$mqtt_rounds" --json --quiet-plugin --no-restore \
    --db "$work/mqtt.db" "$@" >/dev/null 2>&1
  awk -v n="$mqtt_rounds" '{printf "%.2f\n", ($1 + $2) / n * 1e6}' "$work/mqtt.time"
}
plain=() published=()
for _ in $(seq "$runs"); do
  plain+=("$(cpu_per_round)")
  published+=("$(cpu_per_round --mqtt "mqtt+unix://$work/mqtt.sock" --mqtt-client-id bench)")
done
plain_us=$(printf '%s\n' "${plain[@]}" | median)
published_us=$(printf '%s\n' "${published[@]}" | median)
mqtt_extra_us=$(echo "$published_us - $plain_us" | bc -l)

echo "+ draining a backlog to a broker 0, 10 and 100 ms away (the same mosquitto, a delaying relay)" >&2
mkdir -p "$work/drain"
taskset -c 1 "$build/bench/mqtt_drain" "$work/mqtt.sock" "$work/drain" 3 >"$work/drain.txt" 2>/dev/null || true
drain() { awk -v d="$1" -v w="$2" '$1 == "drain" && $2 == d && $4 == w {print $5}' "$work/drain.txt"; }

echo "+ the HTTP side: /metrics for 100 meters, a history request of 10,000 rounds" >&2
mkdir -p "$work/http"
"$build/bench/http_speed" "$work/http" >"$work/http.txt" 2>&1 || true
http_value() { awk -v k="$1" '$1 == k {print $2}' "$work/http.txt"; }

echo "+ the history: a synthetic year, series, rollups and purging, the upgrade (pinned, several minutes)" >&2
mkdir -p "$work/history"
taskset -c 1 "$build/bench/history_bench" "$work/history" >"$work/history.txt" 2>&1 || true
hv() { awk -v k="$1" -v f="$2" '$1 == k {print $f}' "$work/history.txt"; }
series_row() {  # range name
  awk -v k="series_$1_ms" '$1 == k {printf "| %s | %s ms | %s | %s | %.0f kB | %.0f kB (%s ms) |\n", substr(k, 8, length(k) - 10), $2, $4, $6, $8 / 1000, $10 / 1000, $12}' "$work/history.txt"
}
rounds_row() {  # meters
  awk -v m="$1" '$1 == "round_cpu_us" && $3 == m {printf "| %s | %s µs | %s µs | %s µs | %s µs | %s µs | %s µs |\n", m, $5, $7, $9, $13, $11, $15}' "$work/history.txt"
}
writes_row() {  # meters
  awk -v m="$1" '$1 == "bytes_written_per_round" && $3 == m {b[$5] = $7; w[$5] = $9; l[$5] = $11} END {printf "| %s | %s B | %s B | %s B | %s B |\n", m, b[5], l[5], w[5], b[0]}' "$work/history.txt"
}
btree_rows=$(awk '$1 == "synthetic_btree" && $3 + 0 >= 0.1 {printf "%s %s MB, ", $2, $3}' "$work/history.txt" | sed 's/, $//')

plugin_rows=$(python3 - "$work/plugin.json" <<'PY' 2>/dev/null || grep -E '^BM_' "$work/plugin.txt"
import json, sys
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("aggregate_name") in ("mean", "stddev"):
        print(f'| {b["run_name"]} | {b["aggregate_name"]} | {b["cpu_time"]:.1f} ns |')
PY
)

echo "+ SIGTERM with 200 meters, MQTT and HTTP on; the write-ahead log beside a 25 s stalled export" >&2
"$root/bench/stop_time.sh" "$build" 5 >"$work/stop.txt" 2>&1 || true
stop_runs=$(awk '$1 == "run" {printf "%s%s", sep, $3; sep = ", "}' "$work/stop.txt")
stop_median=$(awk '$1 == "run" {print $3}' "$work/stop.txt" | median)
"$root/bench/stalled_export.sh" "$build" 25 >"$work/stalled.txt" 2>&1 || true
"$root/bench/reload_deviation.sh" "$build" 100 >"$work/reload.txt" 2>&1 || true
reload_lines=$(sed 's/^/    /' "$work/reload.txt")
stalled_lines=$(sed 's/^/    /' "$work/stalled.txt")

cpu_model=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')
# The page's Lighthouse scores are written by scripts/lighthouse.sh: kept as they are.
lighthouse_section=$(awk '/^## / { keep = ($0 == "## The page in Lighthouse") } keep' \
  "$root/docs/performance.md" 2>/dev/null || true)
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

## The host against a bare Modbus loop

The reference is \`bench/bare_modbus_loop\`: the same seven \`modbus_read_registers\` calls per
round with libmodbus, nothing decoded or stored. Against it, \`kavren-host --tcp --interval
0.000001 --rounds $rounds --json --db FILE\` (history on disk, JSON lines to a file); both timed as
whole processes. Both against one \`kavren-sim --tcp\`, $runs runs each, interleaved, pinned with \`taskset\`;
the figure is the median. Goals: the host at 0.95 of the bare loop or more with simulator and
client on different cores, 0.75 or more on one core.

| placement | bare loop | host | host / bare |
|---|---|---|---|
| simulator core 0, client core 1 | $(printf '%.0f' "$bare_two") rounds/s | $(printf '%.0f' "$host_two") rounds/s | $(printf '%.2f' "$ratio_two") |
| both on core 0 | $(printf '%.0f' "$bare_one") rounds/s | $(printf '%.0f' "$host_one") rounds/s | $(printf '%.2f' "$ratio_one") |

The last host run completed $complete of $rounds rounds. One JSON line (\`bench/json_line_bench\`,
median of 5): ${json_line_ns:-?} ns; goal under 10 µs.

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

## One host, 1000 meters

Ten \`kavren-sim --tcp --unit 1-100\`, one \`kavren-host --config\` with ten links of a hundred
meters, $scale_rounds rounds at 1 s: $scale_complete of $scale_total meter rounds complete. CPU $user s user +
$sys s system in ${wall} s: $(printf '%.3f' "$cpu_per_meter_round") ms of CPU per meter and round (plug-in, libmodbus,
SQLite with its rollups and the default retention, and output together; goal 0.15 ms or less). Peak memory ${maxrss} KiB. Futex calls (a
separate run of $futex_rounds rounds under \`strace -f -c\`): ${futex_calls:-?}, $(printf '%.2f' "$futex_per_meter_round") per meter and round
(goal: 1 or less).

Against the bare loop on the same simulators (\`bench/scale_vs_bare.sh\`: the host's 1000 meters,
30 rounds, and \`bench/bare_modbus_loop\` for 3000 rounds on one of the ten simulators, $runs runs
interleaved, both pinned to core 1 and the simulators to core 0; medians): the host
$(printf '%.4f' "$vs_host_ms") ms of CPU per meter-round, the bare loop $(printf '%.4f' "$vs_bare_ms") ms per round:
$(printf '%.2f' "$vs_ratio") times (goal: 1.10 or less). The host ran on ${vs_threads:-?} threads at most (goal: 8 or
less): the main thread, the event loop's threads (links, timers, signals), the history's writer,
the console's and the log's writers.

## Publishing to MQTT

The host's CPU per round (user + system, \`/usr/bin/time\`), $mqtt_rounds rounds back to back against
\`kavren-sim\`, with and without \`--mqtt\` to a local \`mosquitto\` on a Unix socket (every round on
\`rounds\` and \`state\`, QoS 1, acknowledged rounds remembered in the history); medians of $runs
interleaved runs each: $(printf '%.1f' "$plain_us") µs without, $(printf '%.1f' "$published_us") µs with: publishing adds
$(printf '%.1f' "$mqtt_extra_us") µs per round (goal: under 10 µs).

### Draining a backlog from a distant broker

\`build-bench/bench/mqtt_drain\`: the sink as the host runs it, a history of stored rounds the
broker has not acknowledged, published to the same \`mosquitto\` through a relay that hands on
every answer of the broker (PUBACK, CONNACK) late; medians of 3 interleaved runs, the program
pinned to core 1. Rounds acknowledged per second, from the sink's start to the last
acknowledgement (each round one QoS 1 message on \`rounds\`):

| broker's answers late by | \`--mqtt-inflight\` 200 (default) | 20 (libmosquitto's own default) | 1000 |
|---|---|---|---|
| 0 ms | $(drain 0 200) rounds/s | | |
| 10 ms | $(drain 10 200) rounds/s | | |
| 100 ms | $(drain 100 200) rounds/s | $(drain 100 20) rounds/s | $(drain 100 1000) rounds/s |

A window of W messages to a broker whose acknowledgements take T delivers at most W / T: 2000
a second at 100 ms with 200, the 200 that 20 allow, which was too few for 200 meters at 1 s
(a round and a state each a second: 400 messages). A broker further away, or more meters, need a
larger \`--mqtt-inflight\` (memory: a round's payload, about 1 KB, per message in flight).

## The host's HTTP side

\`build-bench/bench/http_speed\`: the same code the server runs, without the socket; medians of 20
runs.

| what | goal | measured |
|---|---|---|
| \`/metrics\` for 100 meters (fresh rounds, six limit alarms each) | under 5 ms | $(http_value metrics_100_meters_ms) ms |
| history request of 10,000 rounds of one meter, every record field | under 100 ms | $(http_value history_10000_rounds_ms) ms |
| the same with \`fields=\` the thirteen measurements, frequency and power factors | | $(http_value history_10000_rounds_fields_ms) ms |

Time-range reads use the records' own b-tree, in meter and instant order (schema 3), rather than a
decoded copy of each record: the records stay the one stored form, and a request decodes only
the rows it returns. The figures below compare the former separate time index with none (http_speed
still drops it, which schema 3 does not have: both columns now measure the same file). What it costs per stored round: $(awk '$1 == "store_row_us" {sub(",", "", $6); print $6 " µs to store a row without it, " $9 " with it"}' "$work/http.txt");
$(awk '$1 == "file_bytes_per_row" {sub(",", "", $6); print $6 " bytes per row in the file without it, " $9 " with it"}' "$work/http.txt").

## The history over years

\`build-bench/bench/history_bench\`, pinned to one core with \`taskset\`; it builds what it measures.

**A synthetic year.** One meter: 30 days of rounds at 1 s (2,592,000 rows, one in a thousand a
failed round) with their minutes and hours, and before them 335 days of minutes and hours, as the
defaults keep them (\`raw\` 30d, \`minute\` 400d, \`hour\` forever); built in
$(hv synthetic_built_s 2) s. File (after a checkpoint): $(hv synthetic_file_mb 2) MB (goal: 400 MB
or less; schema 3 took 530.4 MB, schema 2 998.1 MB), of which everything older than 30 days (its minutes and hours) $(hv synthetic_file_mb 4) MB (goal:
under 150 MB). By table and index: ${btree_rows}.

The synthetic record's values come back every 17 rounds (\`tests/apps/synthetic_record.h\`), and a
meter whose rounds come back to earlier states gets bases of its last 32 records, each record
stored against the nearest of them. A meter whose values drift (each a random walk of about
0.05 % a round) keeps bases of one record: $(hv drifting_bytes_per_row 2) bytes per round in the file (goal:
120 B).

**Series** of 1000 points of that meter, for ranges ending at the newest round; medians of 20
interleaved requests, the page cache warm (goal: each under 50 ms). The reply's JSON and its gzip
form, as a browser receives it (compression time apart):

| range | time | step | points | JSON | gzip |
|---|---|---|---|---|---|
$(series_row 1h)
$(series_row 1d)
$(series_row 30d)
$(series_row 1y)

**Rollups and purging per round.** The history's sink fed rounds of chosen instants, one batch
a second for 300 s, on a history holding two hours of rounds; the process's CPU per stored
round, medians of 7 runs of each kind, interleaved: without rollups, with rollups, with rollups
and purging (raw rows kept 2 h, so that rows are removed as fast as they come: with the default
30 days, the same number of rows goes in passes an hour apart instead of 72 s, which costs less
per round). Goal: rollups and purging add under 5 µs per round.

| meters (rounds a batch) | without | with rollups | with rollups and purging | rollups add | both add | both, five batches a commit |
|---|---|---|---|---|---|---|
$(rounds_row 1)
$(rounds_row 20)

The last column is what the default \`commit_interval\` (5 s) makes of rounds at 1 s: five
batches to a transaction.

**Bytes written per stored round.** What the process sends to storage (\`write_bytes\` of
\`/proc/self/io\`: the write-ahead log and the checkpoints into the file), rounds at 1 s handed
over in real time, with rollups and the default retention, from an empty history. Committed every
5 s (\`commit_interval\`'s default): over the 300 s of rounds after 300 s of warm-up (the steady
state), and over the whole 600 s; committed at once (\`0\`), over 60 s
(\`history_bench DIR writes\`). The log is checkpointed into the file at the end of the warm-up
and of the run, so that each figure counts the file's pages too (the host's own checkpoint comes
every 1000 frames, later than these runs); "log only" leaves out the last checkpoint:

| meters | commit_interval 5 s, steady | steady, log only | 5 s, whole run | commit_interval 0 |
|---|---|---|---|---|
$(writes_row 1)
$(writes_row 10)

Goals: 1024 B for one meter, 400 B for ten, at the default \`commit_interval\`. New rounds go to a
ring of slots in the order of storing (a leaf or two a commit for any number of meters) and move
to meter order 256 rounds a meter at a time; the open rollup rows are written when a minute
changes.

Which pages a commit writes: \`bench/commit_pages.py FILE\` reads the write-ahead log a host
killed with SIGKILL leaves and names each commit's pages by b-tree (SQLite's \`dbstat\`): most
commits write one or two pages of \`records_ring\`; a move writes leaves of
\`records_by_meter\` and \`records_by_id\`; a minute's change \`rollups\` and
\`rollups_open\`; a limit alarm that changes the alarms' three b-trees.

**Upgrade.** A history of schema 2 with $(hv upgrade_s 5) rows of two meters
($(hv upgrade_s 11) MB), upgraded in place to schema 5 by the host's start (every record copied,
compact, into the new table, then the swap); median of 2: $(hv upgrade_s 7) s, $(hv upgrade_s 9) s
of CPU (goal: under 15 s). The records then take $(hv upgrade_s 13) MB of pages in use (that file,
made without incremental vacuum, keeps the old records' pages as free pages for later rounds).

**Incremental vacuum.** A history made by this host has \`auto_vacuum = INCREMENTAL\`, so that a
lowered \`max_size\` can give pages back to the file system. Its price, medians of 5 interleaved
runs of 50,000 rounds (records and rollups, batches of 128): $(hv vacuum_store_us 3) µs to store a round
without it, $(hv vacuum_store_us 5) µs with it; $(hv vacuum_remove_us 3) and $(hv vacuum_remove_us 5) µs to
remove one (chunks of 1000); $(hv vacuum_bytes_per_row 3) and $(hv vacuum_bytes_per_row 5) bytes per round in the file.
Drifting rounds (one run, with it): $(hv drifting_bytes_per_row 4) µs to store one, $(hv drifting_bytes_per_row 2) bytes per round in the file.

## Stopping with every sink on

\`bench/stop_time.sh\` starts 200 meters (five simulators on TCP, 40 units each, 1 s interval)
with MQTT to a local mosquitto and the HTTP side on, lets them poll for 5 s, sends SIGTERM and
times the exit: ${stop_runs:-?} ms (median ${stop_median:-?} ms), against the 2 s the host
promises. The HTTP side stops by cancellation on its event loop (its listening sockets closed,
its connections cut): nothing waits for a poll to end.

## The poll schedule across reloads

\`bench/reload_deviation.sh\`: two simulators on TCP, three meters at 0.5 s; 30 s without a
reload, then 100 reloads in a row, one every 150 ms (each adds a meter to the first link and
removes one from the second, or back; the next is sent once the last is applied). The gaps between consecutive stored
rounds of the two meters that stay, and how far they stray from the 0.5 s interval:

${reload_lines}

## A stalled export beside a writing host

\`bench/stalled_export.sh\`: 10 meters at 0.05 s over TCP (about 200 rounds a second stored),
then \`kavren-host export --meter m1 --format jsonl | (head -c 65536; sleep 25; cat)\`, the
write-ahead log's size every 5 s of the stall and after it:

${stalled_lines}

The export holds no snapshot while it waits for its reader (it reads 500 rows at a time), so
the log stays at SQLite's own checkpoint size (1000 pages). With the export in one read
transaction, the log grew from 3.7 to 35 MB in such a run and stayed there.

${lighthouse_section:+$lighthouse_section

}## Running longer fuzzing

\`scripts/test.sh\` gives each libFuzzer target 10 s. A longer run of one target, for example
an hour, keeps new inputs in a corpus folder of its own:

    cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DKAVREN_BUILD_FUZZ=ON -DKAVREN_SANITIZE=address,undefined -DKAVREN_BUILD_TESTS=OFF
    cmake --build build-fuzz
    mkdir -p corpus-driver && build-fuzz/fuzz/driver_sequence_fuzz -max_total_time=3600 corpus-driver fuzz/corpus/driver

A crash leaves its input as \`crash-*\`; it becomes a regression test (a seed in \`fuzz/corpus\`
and a case in the unit tests).
MD
echo "wrote $root/docs/performance.md" >&2
