#!/usr/bin/env bash
# The documentation's table of configuration fields is made by kavren-host from its own table
# (--help-fields-markdown). This puts it between the markers <!-- fields:begin --> and
# <!-- fields:end --> of the configuration reference, or with --check fails, showing the
# difference, when the committed table is not what the program prints.
# usage: scripts/fields-table.sh [--check] KAVREN_HOST [DOCUMENT]
set -euo pipefail
check=0
if [ "${1:-}" = "--check" ]; then
  check=1
  shift
fi
host=${1:?usage: $0 [--check] KAVREN_HOST [DOCUMENT]}
root=$(cd "$(dirname "$0")/.." && pwd)
doc=${2:-$root/docs/configuration.md}

for marker in "<!-- fields:begin -->" "<!-- fields:end -->"; do
  if [ "$(grep -cxF "$marker" "$doc")" != 1 ]; then
    echo "$doc: needs the line $marker once" >&2
    exit 1
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$host" --help-fields-markdown > "$work/table.md"
awk -v table="$work/table.md" '
  $0 == "<!-- fields:end -->" { skip = 0 }
  !skip { print }
  $0 == "<!-- fields:begin -->" {
    print ""
    while ((getline line < table) > 0) print line
    print ""
    skip = 1
  }' "$doc" > "$work/doc.md"

if [ "$check" = 1 ]; then
  if ! diff -u "$doc" "$work/doc.md"; then
    echo "$doc: the table of fields is not the program's; run scripts/fields-table.sh $host" >&2
    exit 1
  fi
else
  cat "$work/doc.md" > "$doc"
fi
