#!/bin/bash
# Bytes the host writes to storage per stored round, polling the simulator at 1 s.
#
# usage: bench/host_writes.sh BUILD [METERS [SECONDS]]
#
# Starts kavren-sim (units 1 to METERS, default 1) and kavren-host (a history in a scratch
# folder, its console to /dev/null) from BUILD, and reads the host's write_bytes from
# /proc/PID/io after SECONDS/2 (default 300) and after SECONDS (default 600). Prints the bytes per
# round stored over the second half (the steady state: the recent rounds at their working size)
# and over the whole run. Run two builds side by side to compare them; write_bytes counts each
# 4 KiB page the process makes dirty, the log's, the file's and the wal-index's. The log is
# checkpointed into the file at the half and at the end (by sqlite3, whose bytes are added): a
# run shorter than the host's own checkpoint cycle would otherwise never count the file's pages.
set -euo pipefail
build=$(cd "${1:?usage: bench/host_writes.sh BUILD [METERS [SECONDS]]}" && pwd)
meters=${2:-1}
seconds=${3:-600}
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
"$build/kavren-sim" --tcp 0 --port-file port --unit "1-$meters" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s port ] && break; sleep 0.1; done
[ -s port ] || { echo "the simulator did not start" >&2; exit 1; }
list=""
for i in $(seq 1 "$meters"); do list+="${list:+,}{\"name\":\"m$i\",\"unit\":$i}"; done
printf '{"interval":1,"database":"h.db","links":[{"tcp":"127.0.0.1:%s","meters":[%s]}]}\n' \
    "$(cat port)" "$list" >host.json
"$build/kavren-host" --config host.json --quiet-plugin >/dev/null 2>&1 &
host=$!
pids+=($host)
# The bytes a process has written: write_bytes of /proc/PID/io.
written() { awk '$1 == "write_bytes:" {print $2}' "/proc/${1:-$host}/io"; }
stored() { sqlite3 h.db "SELECT count(*) FROM records"; }
# What a checkpoint writes: the subshell's own count, which takes sqlite3's once it has exited.
checkpoint() {
    (sqlite3 h.db "PRAGMA wal_checkpoint(PASSIVE)" >/dev/null && written $BASHPID)
}
sleep $((seconds / 2))
copied1=$(checkpoint)
bytes1=$(written) rounds1=$(stored)
sleep $((seconds - seconds / 2))
bytes2=$(written) rounds2=$(stored)
copied2=$(checkpoint)
steady=$(((bytes2 - bytes1 + copied2) / (rounds2 - rounds1)))
echo "host_bytes_written_per_round meters $meters steady $steady" \
    "whole_run $(((bytes2 + copied1 + copied2) / rounds2)) rounds $rounds2"
