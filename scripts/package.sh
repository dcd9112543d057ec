#!/usr/bin/env bash
# Builds the Debian package kavren_<version>_<arch>.deb into out/: a release build installed
# under /usr, with its systemd unit, its configuration in /etc/kavren and man pages.
# usage: scripts/package.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/bootstrap.sh"
build="$root/build-package"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DKAVREN_BUILD_TESTS=OFF -DKAVREN_BUILD_APPS=ON >/dev/null
cmake --build "$build" -j2
mkdir -p "$root/out"
(cd "$build" && cpack -G DEB -B "$root/out/package" >/dev/null)
mv "$root"/out/package/kavren_*.deb "$root/out/"
rm -rf "$root/out/package"
ls "$root"/out/kavren_*.deb
