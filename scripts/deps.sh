#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the window need, when missing.
# Usage: scripts/deps.sh [build|test|run|package|hardware|windows]
set -euo pipefail

# run: what the window and its demo need to build (no test library).
packages=(g++ cmake ninja-build pkg-config qt6-base-dev qt6-qpa-plugins libgl-dev
          nlohmann-json3-dev)
[ "${1:-build}" = run ] || packages+=(libgtest-dev libgmock-dev libbenchmark-dev)
case "${1:-build}" in
  test) packages+=(python3 clang-format git pandoc appstream desktop-file-utils) ;;
  package) packages+=(pandoc dpkg-dev fakeroot file lintian appstream desktop-file-utils) ;;
  # tests/hardware/run.sh: a Debian kernel booted in QEMU with busybox and udev in its initramfs
  hardware) packages=(qemu-system-x86 linux-image-amd64 busybox-static udev cpio python3) ;;
  # The Windows build (scripts/windows.sh): the cross compiler, the host tools of the same Qt,
  # Wine to run the tests, NSIS and zip for the installer, a virtual display for the window, and
  # xdotool and ImageMagick to find it there and take its screenshot.
  windows) packages+=(qt6-base-dev-tools g++-mingw-w64-x86-64-posix wine64 wine nsis zip xvfb xauth
                      xz-utils ccache xdotool imagemagick) ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
