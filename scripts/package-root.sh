#!/usr/bin/env bash
# For developers, not CI: the package's installation, removal and purge with dpkg
# (tests/check_package_root.sh) on a new minimal Debian 12 rather than on this machine.
# mmdebstrap makes the root with what the package depends on, fetched by name from Debian's
# archive (so that its Depends line is checked against the archive too), plus systemd and
# man-db for the unit check; the package itself is then installed with dpkg, as in the test.
# usage: sudo scripts/package-root.sh [PACKAGE.deb]   (default: built by scripts/package.sh)
set -euo pipefail
project=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" -ne 0 ]; then
  echo "package-root: run as root (mmdebstrap and the test's mount namespace need it)" >&2
  exit 2
fi
deb=${1:-}
if [ -z "$deb" ]; then
  deb=$("$project/scripts/package.sh" | tail -n 1)
fi
[ -f "$deb" ] || { echo "package-root: no package $deb" >&2; exit 2; }
deb=$(cd "$(dirname "$deb")" && pwd)/$(basename "$deb")
for tool in mmdebstrap lintian; do
  if ! command -v "$tool" >/dev/null; then
    echo "package-root: installing $tool"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$tool" >/dev/null
  fi
done

echo "package-root: lintian on $(basename "$deb")"
lintian --fail-on error,warning --pedantic --display-info "$deb" 2>/dev/null

target=$(mktemp -d /var/tmp/kavren-package-root.XXXXXX)
trap 'rm -rf --one-file-system "$target"' EXIT
# The Depends line as package names: versions and alternatives left to apt.
depends=$(dpkg-deb -f "$deb" Depends | sed -E 's/\([^)]*\)//g; s/\|[^,]*//g; s/[[:space:]]//g')
started=$SECONDS
echo "package-root: a minimal Debian 12 with systemd, man-db and $depends"
mmdebstrap --quiet --variant=apt --include="systemd,man-db,$depends" bookworm "$target"
echo "package-root: root made in $((SECONDS - started)) s"
"$project/tests/check_package_root.sh" "$deb" "$target"
