#!/usr/bin/env bash
# Builds Qt 6 qtbase (Core, Gui, Widgets, Test) for x86_64 Windows with Debian's MinGW-w64 from
# Debian's own qt6-base source package, and packs it as qt6-mingw64-VERSION.tar.xz in WORKDIR
# (its last line of output: the checksum and the path). scripts/windows.sh runs it when the
# prebuilt tarball is missing or does not match. About 35-40 minutes on 2 cores. Needs root (apt-get) and a deb-src entry for Debian's
# archive; the script adds one in /etc/apt/sources.list.d/ from the binary entries it finds.
# Usage: build-qt6-mingw.sh [WORKDIR]   (default /tmp/qt6-mingw-build)
set -euo pipefail
# The cross compiler's tool names and search paths, as the project's own build uses them.
toolchain=$(cd "$(dirname "$0")/.." && pwd)/cmake/mingw-w64.cmake
mkdir -p "${1:-/tmp/qt6-mingw-build}"
work=$(cd "${1:-/tmp/qt6-mingw-build}" && pwd)
cd "$work"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get install -y -qq g++-mingw-w64-x86-64-posix qt6-base-dev qt6-base-dev-tools cmake ninja-build dpkg-dev >/dev/null
if ! apt-get source --download-only qt6-base >/dev/null 2>&1; then
  src=/etc/apt/sources.list.d/qt6-mingw-deb-src.list
  grep -h '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | sed 's/^deb /deb-src /' | sort -u >"$src"
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && sed 's/^Types: deb$/Types: deb-src/' "$f" >"${src%.list}-$(basename "$f")"
  done
  "${sudo_cmd[@]}" apt-get update -qq
  apt-get source --download-only qt6-base >/dev/null
fi
tar xf qt6-base_*.orig.tar.xz
srcdir=$(ls -d qtbase-everywhere-src-* | head -n1)
version=${srcdir#qtbase-everywhere-src-}
prefix=$work/qt6-mingw64-$version
mkdir -p build && cd build
"../$srcdir/configure" -prefix "$prefix" -release -shared -xplatform win32-g++ -qt-host-path /usr \
  -no-opengl -no-dbus -no-feature-tabletevent -no-feature-sql -no-feature-network -no-feature-xml \
  -no-feature-printsupport -no-feature-concurrent -nomake examples -nomake tests \
  -- -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
ninja -j"$(nproc)" >&2
ninja install >&2
cd "$work"
tar cJf "$work/qt6-mingw64-$version.tar.xz" "$(basename "$prefix")"
sha256sum "$work/qt6-mingw64-$version.tar.xz"
