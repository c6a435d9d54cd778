#!/usr/bin/env bash
# Builds the Debian packages kelvane, kelvane-cli and kelvane-receiver into build/packages/
# and checks them with lintian; fails on any lintian error or warning.
# Usage: scripts/package.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
scripts/deps.sh package

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)"

out="$build/packages"
rm -rf "$out"
(cd "$build" && cpack -G DEB -B "$PWD/packages" >/dev/null)
rm -rf "$out/_CPack_Packages"
ls -1 "$out"/*.deb

# -E: experimental tags too, -v: say what is checked, -I: informational tags, -L +pedantic:
# the pedantic ones as well. Informational and pedantic tags are shown; errors and warnings
# fail the check.
report=$(lintian -EvIL +pedantic --fail-on error,warning "$out"/*.deb) || {
  status=$?
  printf '%s\n' "$report"
  echo "package.sh: lintian found errors or warnings" >&2
  exit "$status"
}
printf '%s\n' "$report" | grep -v -e '^N: ' -e '^$' || true
echo "package.sh: lintian accepts $(ls "$out"/*.deb | wc -l) packages"

# The Windows installer and portable zip beside them, when the Windows build was made
# (scripts/windows.sh) or KELVANE_WINDOWS=1 asks for it.
if [ -d build-windows/bin ] || [ "${KELVANE_WINDOWS:-0}" = 1 ]; then
  scripts/windows.sh build build-windows
  scripts/windows-package.sh build-windows "$out"
fi
