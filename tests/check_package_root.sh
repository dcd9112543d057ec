#!/bin/sh
# Installs the built Debian package into a throw-away root with dpkg, as on a machine of its own,
# and takes it out again: its maintainer scripts add the system user and enable the service,
# systemd accepts the installed unit, the installed host refuses the unedited configuration with
# one line (and finds its private runtime library), the removal keeps the configuration, and the
# purge leaves nothing but the system user.
#
# The root is an overlay of BASE (default /: this machine, which has what the package depends
# on) in a mount namespace of this script's own: whatever dpkg and the maintainer scripts write
# lands in the overlay's upper folder, which is what is inspected, and all of it goes with the
# namespace. Nothing reaches this machine's service manager: the root's /run is empty.
# scripts/package-root.sh runs the same checks on a new minimal Debian 12 made by mmdebstrap.
#
# usage: check_package_root.sh BUILD_DIR|PACKAGE.deb [BASE]
# Needs root (for the mount namespace). Exits 77 (skipped) where this machine cannot make the
# root; with CI=true that is a failure instead.
set -u
target=$1 base=${2:-/}
failures=0 passes=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; passes=$((passes + 1)); }
skip() {
  if [ "${CI:-}" = true ]; then echo "FAIL: cannot run here, and CI must: $*"; exit 1; fi
  echo "SKIPPED: $*"; exit 77
}

if [ -z "${KAVREN_IN_NAMESPACE:-}" ]; then
  [ "$(id -u)" -eq 0 ] || skip "installing into a throw-away root needs root (mount namespaces)"
  for tool in unshare dpkg dpkg-deb chroot; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
  done
  [ -x "$base/usr/bin/systemd-analyze" ] || skip "$base has no systemd-analyze (package systemd)"
  if dpkg-query --admindir="$base/var/lib/dpkg" -W -f='${Status}' kavren 2>/dev/null |
    grep -q ' installed$'; then
    skip "kavren is installed in $base already: the check starts from a root without it"
  fi
  KAVREN_IN_NAMESPACE=1 exec unshare --mount --propagation private "$0" "$@"
fi

work=$(mktemp -d)
upper="$work/upper" root="$work/root"
# The mounts first (the root shows this machine's /dev), then the folder, never across a mount.
trap 'umount -R "$root" 2>/dev/null; rm -rf --one-file-system "$work"' EXIT
deb=$target
if [ -d "$target" ]; then
  if ! (cd "$target" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1); then
    cat "$work/cpack.log"; echo "0 passed, 1 failed"; exit 1
  fi
  deb=$(ls "$work"/out/kavren_*.deb)
fi
mkdir -p "$upper" "$work/overlay" "$root"
mount -t overlay overlay -o "lowerdir=$base,upperdir=$upper,workdir=$work/overlay" "$root" ||
  skip "cannot mount an overlay of $base here"
mount -t proc proc "$root/proc" && mount --rbind /dev "$root/dev" &&
  mount -t tmpfs tmpfs "$root/run" || { echo "0 passed, 1 failed: mounts in the root"; exit 1; }
inside() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }
in_dpkg() {
  if dpkg --root="$root" "$@" >"$work/dpkg.log" 2>&1; then return 0; fi
  cat "$work/dpkg.log"; return 1
}

if in_dpkg -i "$deb"; then pass "dpkg installed $(basename "$deb")"; else fail "dpkg -i"; fi
warned=$(grep -i 'warn' "$work/dpkg.log")
[ -z "$warned" ] && pass "no warning while installing" || fail "warnings: $warned"
user=$(inside getent passwd kavren)
case "$user" in
  kavren:*:/var/lib/kavren:/usr/sbin/nologin) pass "the system user: $user" ;;
  *) fail "the system user: '$user'" ;;
esac
[ "$(inside stat -c %U "/var/lib/kavren")" = kavren ] && pass "its state folder /var/lib/kavren" ||
  fail "/var/lib/kavren: $(ls -ld "$root/var/lib/kavren" 2>&1)"
wants="$root/etc/systemd/system/multi-user.target.wants/kavren-host.service"
[ "$(readlink "$wants")" = /lib/systemd/system/kavren-host.service ] &&
  pass "kavren-host.service is enabled" || fail "not enabled: $(ls -l "$wants" 2>&1)"
# The unit as installed, its program and its man page there, checked by systemd itself.
if verify=$(inside systemd-analyze verify /lib/systemd/system/kavren-host.service 2>&1) &&
  [ -z "$verify" ]; then
  pass "systemd-analyze verify accepts the installed unit"
else
  fail "systemd-analyze verify: $verify"
fi
# The service's own command as its user: the unedited configuration is refused with one line,
# status 2 (which the unit does not restart).
inside setpriv --reuid=kavren --regid=kavren --init-groups /usr/bin/kavren-host \
  --config /etc/kavren/host.json >"$work/host.out" 2>"$work/host.err"
status=$?
if [ "$status" -eq 2 ] && [ "$(wc -l <"$work/host.err")" -eq 1 ] &&
  grep -q '^kavren-host: /etc/kavren/host.json: the unedited sample configuration: ' \
    "$work/host.err"; then
  pass "the installed host refuses the unedited configuration: $(cat "$work/host.err")"
else
  fail "the installed host on the shipped configuration: status $status: $(cat "$work/host.err")"
fi

if in_dpkg -r kavren; then pass "dpkg removed it"; else fail "dpkg -r"; fi
[ ! -e "$root/usr/bin/kavren-host" ] && [ -f "$root/etc/kavren/host.json" ] &&
  [ -d "$root/var/lib/kavren" ] &&
  pass "the programs are gone, the configuration and the history are kept" ||
  fail "after removal: $(ls -d "$root/usr/bin/kavren-host" "$root/etc/kavren" \
    "$root/var/lib/kavren" 2>&1)"

if in_dpkg -P kavren; then pass "dpkg purged it"; else fail "dpkg -P"; fi
# What the purge leaves: the user and its group in the account files (and their lock), dpkg's
# own records, logs and caches; every other file, and every folder the base did not have, is a leftover.
(cd "$upper" && find . ! -type d) | sed 's#^\./##' | grep -v -E \
  -e '^etc/(passwd|group|shadow|gshadow)-?$' -e '^etc/\.pwd\.lock$' -e '^var/lib/dpkg/' -e '^var/log/dpkg\.log$' \
  -e '^var/cache/(man|debconf)/' >"$work/left"
(cd "$upper" && find . -mindepth 1 -type d) | sed 's#^\./##' | while read -r folder; do
  [ -d "$base/$folder" ] || echo "$folder/"
done >>"$work/left"
[ -s "$work/left" ] && fail "left after the purge: $(tr '\n' ' ' <"$work/left")" ||
  pass "the purge left no file or folder of its own"
# The account files changed by the user alone: without its entries and group memberships they
# are as they were.
for file in passwd group shadow gshadow; do
  [ -f "$upper/etc/$file" ] || continue
  other=$(sed -E -e '/^kavren:/d' -e 's/([:,])kavren(,|$)/\1/' -e 's/,$//' "$upper/etc/$file" |
    diff "$base/etc/$file" -)
  [ -z "$other" ] || fail "/etc/$file changed beyond the kavren user: $other"
done
inside getent passwd kavren >/dev/null && pass "the system user is kept" || fail "user gone"

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
