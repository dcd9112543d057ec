#!/usr/bin/env bash
# For developers, not CI: the README's two commands on a new, minimal Debian 12.
# Builds a minimal Debian 12 root (mmdebstrap --variant=apt, plus git and ca-certificates),
# clones this repository's committed HEAD into it, runs scripts/demo.sh and then scripts/test.sh
# inside it, and prints how long each took and which packages the bootstrap had to add.
# usage: sudo scripts/fresh-machine.sh [--keep] [ROOT_FOLDER]
#   ROOT_FOLDER  where the root is built (default: a new folder under /var/tmp); removed at the
#                end unless --keep
set -euo pipefail
project=$(cd "$(dirname "$0")/.." && pwd)
keep=0
if [ "${1:-}" = "--keep" ]; then
  keep=1
  shift
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "fresh-machine: run as root (it mounts /proc, /sys and /dev into the new root)" >&2
  exit 2
fi
target=${1:-$(mktemp -d /var/tmp/kavren-fresh.XXXXXX)}

if ! command -v mmdebstrap >/dev/null; then
  echo "fresh-machine: installing mmdebstrap"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq mmdebstrap >/dev/null
fi

mounted=()
cleanup() {
  local m
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    m=${mounted[i]}
    umount -R "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true
  done
  if [ "$keep" = 0 ]; then
    rm -rf --one-file-system "$target"
  else
    echo "fresh-machine: the root is kept in $target"
  fi
}
trap cleanup EXIT

seconds_since() { echo $(($(date +%s) - $1)); }

started=$(date +%s)
echo "fresh-machine: a minimal Debian 12 root in $target"
mmdebstrap --quiet --variant=apt --include=git,ca-certificates bookworm "$target"
echo "fresh-machine: root made in $(seconds_since "$started") s"

# The root a mount of its own, as on a machine or in a container: the package's install test
# makes its mount namespace private, which a chroot whose / is a plain folder refuses.
mount --bind "$target" "$target"
mount --make-private "$target"
mounted+=("$target")
for fs in proc sys dev; do
  mkdir -p "$target/$fs"
  case $fs in
    proc) mount -t proc proc "$target/proc" ;;
    sys) mount --rbind /sys "$target/sys" ;;
    dev) mount --rbind /dev "$target/dev" ;;
  esac
  mounted+=("$target/$fs")
done
cp /etc/resolv.conf "$target/etc/resolv.conf"
git clone --quiet "$project" "$target/root/kavren"

inside() {
  chroot "$target" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    bash -c "cd /root/kavren && $1"
}
installed() { inside "dpkg-query -W -f='\${Package}\n' | sort"; }

installed >"$target/root/packages-before"
status=0
times=()
for command in "scripts/demo.sh" "scripts/test.sh"; do
  step=$(date +%s)
  if inside "$command"; then result=passed; else result=failed status=1; fi
  times+=("$command: $result in $(seconds_since "$step") s")
done
installed >"$target/root/packages-after"

echo "== fresh-machine summary"
printf '%s\n' "${times[@]}"
echo "packages added by the bootstrap ($(comm -13 "$target/root/packages-before" \
  "$target/root/packages-after" | wc -l) in all, with what they pulled in); asked for by name:"
inside "sed -n '/_packages=(/,/^)/p' scripts/bootstrap.sh | sed 's/#.*//' | tr -s ' \n' '\n' \
  | grep -v -e '_packages=(' -e '^)' -e '^$' | sort" >"$target/root/asked"
comm -12 "$target/root/asked" "$target/root/packages-after" | comm -23 - "$target/root/packages-before" |
  tr '\n' ' '
echo
exit "$status"
