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
while IFS=$'\t' read -r name file rest; do
  start=$(grep -o 'line:[0-9]*' <<< "$rest" | head -1 | cut -d: -f2)
  end=$(grep -o 'end:[0-9]*' <<< "$rest" | head -1 | cut -d: -f2)
  [ -n "$start" ] && [ -n "$end" ] || continue
  lines=$((end - start + 1))
  if ((lines > max_lines)); then
    report "$file:$start: function $name is $lines lines (at most $max_lines)"
  fi
done < <(ctags -R -f - --languages=C++ --kinds-C++=f --fields=+ne apps | grep -v '^__anon')

if ((problems == 0)); then
  echo "layout: every include follows the stage order, every function in apps/ is at most $max_lines lines"
  echo "1 passed, 0 failed"
else
  echo "layout: $problems problems"
  echo "0 passed, 1 failed"
  exit 1
fi
