#!/usr/bin/env bash
# Lighthouse 12 (from the npm registry, run through npx) against the host's page in Debian's
# chromium: performance, accessibility, best practices and SEO, as a phone (Lighthouse's default
# mobile emulation, throttled) and as a desktop. Not part of the test suite: it needs the npm
# registry. Prints one line per form factor with the four scores and writes them in
# docs/performance.md (its section "The page in Lighthouse", which scripts/benchmarks.sh keeps);
# the reports are left in out/lighthouse/.
# usage: scripts/lighthouse.sh [URL]   (without a URL: a simulator polled by a host of its own,
#        built in build/, on free ports, stopped at the end, over a history of eight days that
#        build/tests/page_history writes, as the page's browser test does)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/out/lighthouse"
mkdir -p "$out"
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# Waits until a file holds something (a port), for at most 10 s.
wait_for_file() {
  for _ in $(seq 100); do
    [ -s "$1" ] && return 0
    sleep 0.1
  done
  echo "lighthouse.sh: $1 was not written; the program's log:" >&2
  cat "$2" >&2
  exit 1
}

url=${1:-}
if [ -z "$url" ]; then
  "$root/build/tests/page_history" "$work/history.db" meter-1 8
  "$root/build/kavren-sim" --tcp 0 --port-file "$work/sim.port" >"$work/sim.log" 2>&1 &
  pids+=($!)
  wait_for_file "$work/sim.port" "$work/sim.log"
  "$root/build/kavren-host" --tcp "127.0.0.1:$(cat "$work/sim.port")" --interval 1 \
    --db "$work/history.db" --quiet-plugin --http 127.0.0.1:0 --http-port-file "$work/http.port" \
    >/dev/null 2>"$work/host.log" &
  pids+=($!)
  wait_for_file "$work/http.port" "$work/host.log"
  url="http://127.0.0.1:$(cat "$work/http.port")/"
  # A few rounds, so that the plots have lines to draw.
  /usr/bin/python3 - "$url" <<'EOF'
import json, sys, time, urllib.request
for _ in range(150):
    with urllib.request.urlopen(sys.argv[1] + "api/meters") as r:
        if json.load(r)["meters"][0]["rounds"]["complete"] >= 5:
            break
    time.sleep(0.2)
EOF
fi

scores=()
for form in mobile desktop; do
  preset=()
  [ "$form" = desktop ] && preset=(--preset=desktop)
  npx --yes lighthouse@12 "$url" "${preset[@]}" --quiet \
    --only-categories=performance,accessibility,best-practices,seo \
    --chrome-path=/usr/bin/chromium \
    --chrome-flags="--headless=new --no-sandbox --disable-gpu --disable-dev-shm-usage" \
    --output=json --output-path="$out/$form.json"
  node -e '
    const r = require(process.argv[1]), c = r.categories;
    console.log(process.argv[2] + ": lighthouse " + r.lighthouseVersion + ", " + r.environment.hostUserAgent.match(/Chrome\/[0-9.]+/)[0] +
      ": performance " + c.performance.score + ", accessibility " + c.accessibility.score +
      ", best practices " + c["best-practices"].score + ", SEO " + c.seo.score);
    for (const k of ["performance", "accessibility", "best-practices", "seo"])
      for (const ref of c[k].auditRefs) {
        const a = r.audits[ref.id];
        if (ref.weight > 0 && a.score !== null && a.score < 1) console.log("  " + k + ": " + a.id + " " + a.score + " " + (a.displayValue || ""));
      }' "$out/$form.json" "$form" | tee "$work/$form.scores"
  # One line per form factor: its scores, then the weighted audits that scored below 1.
  weak=$(tail -n +2 "$work/$form.scores" | sed 's/^  [a-z-]*: //' | paste -sd ';' - | sed 's/;/; /g')
  scores+=("$(head -n 1 "$work/$form.scores")${weak:+ (below 1: $weak)}")
done

# The section in docs/performance.md, replaced whole or put before the fuzzing notes.
against="a host polling the simulator at 1 s, over a history of eight days (a round a minute)"
[ -n "${1:-}" ] && against=$url
/usr/bin/python3 - "$root/docs/performance.md" "$against" "$(date -u '+%Y-%m-%d %H:%M UTC')" \
  "${scores[@]}" <<'SECTION'
import re, sys, textwrap
path, against, when, lines = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
wrap = lambda text, first="", rest="": "\n".join(
    textwrap.wrap(text, 100, initial_indent=first, subsequent_indent=rest, break_on_hyphens=False))
section = ("## The page in Lighthouse\n\n" +
           wrap("Measured by `scripts/lighthouse.sh` on " + when + " (not by the test suite: it "
                "fetches Lighthouse from the npm registry), against " + against + ", in Debian's "
                "chromium: Lighthouse's mobile emulation (throttled network and CPU) and its desktop "
                "preset, on this shared machine. Scores from 0 to 1:") + "\n\n" +
           "".join(wrap(l, "- ", "  ") + "\n" for l in lines) + "\n")
text = open(path).read()
if "## The page in Lighthouse" in text:
    text = re.sub(r"^## The page in Lighthouse\n.*?(?=^## )", lambda m: section, text,
                  flags=re.S | re.M)
else:
    text = text.replace("## Running longer fuzzing", section + "## Running longer fuzzing")
open(path, "w").write(text)
SECTION
