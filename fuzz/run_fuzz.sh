#!/bin/sh
# A bounded fuzzing run: the target over its seed corpus for SECONDS, new inputs kept in a scratch
# folder. Exits non-zero when the target found a crash (the input is left in ARTIFACTS).
# usage: run_fuzz.sh TARGET SEEDS SECONDS ARTIFACTS
set -eu
target=$1 seeds=$2 seconds=$3 artifacts=$4
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$artifacts"
"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$artifacts/" "$scratch" "$seeds"
