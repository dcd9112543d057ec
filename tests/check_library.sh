#!/bin/sh
# Checks the built plug-in as a host would find it: its SONAME, its one exported entry and nothing
# else exported, nothing of the provider classes imported, no link
# to the host runtime or jsoncpp, and every symbol it leaves open provided by the host runtime,
# jsoncpp or the system libraries.
# usage: check_library.sh kavren_m7.so libsmd_runtime.so libjsoncpp.so
set -eu
plugin=$1 runtime=$2 jsoncpp=$3
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

soname=$(readelf -d "$plugin" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "kavren_m7.so" ] && pass "SONAME $soname" || fail "SONAME is '$soname'"

needed=$(readelf -d "$plugin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
case "$needed" in
  *smd_runtime*|*jsoncpp*) fail "links the host runtime or jsoncpp: $needed" ;;
  *) pass "needs only: $needed" ;;
esac

if nm -D --defined-only "$plugin" | grep -qE '^[0-9a-f]+ T get_providers$'; then
  pass "get_providers is a defined, unmangled function"
else
  fail "get_providers is not exported as a plain function"
fi

# Nothing else is offered for a host to bind to (no type information, no template code of
# Boost or the standard library that could stand in for the host's own copies). The toolchain
# adds no symbol of its own to a library linked with an export list, so the list is exactly one.
exported=$(nm -D --defined-only "$plugin" | awk '{print $NF}' | tr '\n' ' ')
[ "$exported" = "get_providers " ] && pass "exports get_providers alone" \
  || fail "exports more than get_providers: $(echo "$exported" | wc -w) symbols: $exported"

# The provider classes are defined wholly in the plug-in: none of their parts is taken from the
# host, which need not export them.
from_host=$(nm -D --undefined-only "$plugin" | awk '{print $NF}' | c++filt | grep -E 'Provider' || true)
[ -z "$from_host" ] && pass "takes nothing of the provider classes from the host" \
  || fail "imports provider parts from the host: $from_host"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
system_libs=$(ldd "$plugin" | sed -n 's/.*=> \(\/[^ ]*\) .*/\1/p')
for lib in "$runtime" "$jsoncpp" $system_libs; do
  nm -D --defined-only "$lib" | awk '{print $NF}' | sed 's/@.*//'
done | sort -u > "$tmp/provided"
nm -D --undefined-only "$plugin" | awk '$1 == "U" {print $2}' | sed 's/@.*//' | sort -u > "$tmp/open"
comm -23 "$tmp/open" "$tmp/provided" > "$tmp/unresolved"
if [ -s "$tmp/unresolved" ]; then
  fail "symbols nobody provides:"; c++filt < "$tmp/unresolved" | sed 's/^/    /'
else
  pass "$(wc -l < "$tmp/open") open symbols, all provided by the host runtime, jsoncpp or the system"
fi
host_open=$(comm -12 "$tmp/open" "$(nm -D --defined-only "$runtime" | awk '{print $NF}' | sort -u > "$tmp/runtime"; echo "$tmp/runtime")" | wc -l)
[ "$host_open" -gt 0 ] && pass "$host_open of them are the host framework's" || fail "no host symbol is open"

if [ "$failures" -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; exit 1; fi
