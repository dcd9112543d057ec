#!/usr/bin/env bash
# Prints what goes against the source layout, and fails when anything does:
#  - a function in apps/ longer than 60 lines, from its first line to its closing brace
#    (universal-ctags finds them);
#  - an include that runs against the stage order below: a file includes its own folder and
#    the folders before it, never a later one nor a sibling.
# usage: scripts/layout-check.sh [SOURCE_ROOT]
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"
max_lines=60

# The stages, first to last; folders on one line are siblings, which include none of each other.
stages=(
  "host"
  "unidata meter"
  "plugin runtime"
  "apps/common"
  "apps/host/support"
  "apps/host/config"
  "apps/host/round"
  "apps/host/link"
  "apps/host/poll"
  "apps/host/gateway"
  "apps/host/history"
  "apps/host/sinks"
  "apps/host/sinks/console apps/host/sinks/mqtt apps/host/sinks/http"
  "apps/host/pipeline"
  "apps/host apps/sim"
)
declare -A rank
for i in "${!stages[@]}"; do
  for folder in ${stages[$i]}; do rank[$folder]=$i; done
done

problems=0
report() {
  echo "$1"
  problems=$((problems + 1))
}

# Includes against the order.
while IFS= read -r file; do
  from=$(dirname "$file")
  [ -n "${rank[$from]+set}" ] || continue
  while IFS=: read -r line target; do
    to=$(dirname "$target")
    if [ "$to" = "$from" ]; then continue; fi
    if [ -z "${rank[$to]+set}" ]; then
      report "$file:$line: includes $target, which is in no stage"
    elif ((rank[$to] > rank[$from])); then
      report "$file:$line: includes $target: $to comes after $from"
    elif ((rank[$to] == rank[$from])); then
      report "$file:$line: includes $target: $to and $from are siblings"
    fi
  done < <(grep -n '^#include "[^"]*/' "$file" | sed 's/^\([0-9]*\):#include "\([^"]*\)".*/\1:\2/')
done < <(find host unidata meter plugin runtime apps -name '*.h' -o -name '*.cpp' | sort)

# Functions too long.
if ! command -v ctags > /dev/null || ! ctags --version 2> /dev/null | grep -q Universal; then
  echo "layout-check: needs universal-ctags (scripts/bootstrap.sh installs it)"
  echo "0 passed, 1 failed"
  exit 1
fi
# One awk over ctags' lines (name, file, pattern, then fields such as line:N and end:N).
while IFS= read -r problem; do
  report "$problem"
done < <(ctags -R -f - --sort=no --languages=C++ --kinds-C++=f --fields=+ne apps |
  awk -F'\t' -v max="$max_lines" '$1 !~ /^__anon/ {
    start = ""; end = ""
    for (i = 4; i <= NF; i++) {
      if ($i ~ /^line:[0-9]+$/) start = substr($i, 6)
      else if ($i ~ /^end:[0-9]+$/) end = substr($i, 5)
    }
    if (start != "" && end != "" && end - start + 1 > max)
      printf "%s:%d: function %s is %d lines (at most %d)\n", $2, start, $1, end - start + 1, max
  }')

if ((problems == 0)); then
  echo "layout: every include follows the stage order, every function in apps/ is at most $max_lines lines"
  echo "1 passed, 0 failed"
else
  echo "layout: $problems problems"
  echo "0 passed, 1 failed"
  exit 1
fi
