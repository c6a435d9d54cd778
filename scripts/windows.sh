#!/usr/bin/env bash
# The Windows build: cross-compiles kelvane.exe, kelvane-cli.exe, kelvane-receiver.exe,
# kelvane-samples.exe and the unit tests for x86_64 Windows with MinGW-w64 against the prebuilt
# Qt for Windows, and runs the tests under Wine.
#
# Usage: scripts/windows.sh [build|test|package|all] [BUILD_DIR]   (default: build, build-windows)
#   build    unpack and check Qt, configure and build
#   test     build, then run the unit tests under Wine in a private Wine prefix
#   package  build, then the installer and the portable zip into BUILD_DIR/packages/
#   all      build, test and package
#   shot     BUILD_DIR EXE [NAME]: the screenshot of EXE's window (no build)
#   has-qt   succeeds when the Qt for Windows tarball is there with its checksum (no build)
#
# Qt for Windows is qt6-mingw64-6.4.2.tar.xz in the toolchain folder: shared/toolchains/ beside
# the checkout (or beside the main checkout of a git worktree), or $KELVANE_TOOLCHAINS. When the
# tarball is missing or its checksum does not match, scripts/build-qt6-mingw.sh builds the same
# Qt from Debian's source package (30-40 minutes).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
what=${1:-build}
build=${2:-build-windows}
qt_version=6.4.2
qt_sha256=cf47a02af4d1e1ad78cec49308ba69b1d27a8ddbb610a43d80ddef77269ee2e3
qt_name=qt6-mingw64-$qt_version

toolchains() {
  if [ -n "${KELVANE_TOOLCHAINS:-}" ]; then echo "$KELVANE_TOOLCHAINS"; return; fi
  local common
  common=$(git rev-parse --path-format=absolute --git-common-dir 2>/dev/null || true)
  for dir in "$root/../shared/toolchains" "${common:+$(dirname "$common")/../shared/toolchains}"; do
    [ -n "$dir" ] && [ -d "$dir" ] && { (cd "$dir" && pwd); return; }
  done
  echo "$root/../shared/toolchains"
}

has_qt() {
  local tarball
  tarball=$(toolchains)/$qt_name.tar.xz
  [ -f "$tarball" ] && echo "$qt_sha256  $tarball" | sha256sum -c --quiet - >/dev/null 2>&1
}
if [ "$what" = has-qt ]; then has_qt; exit; fi

scripts/deps.sh windows

# Qt for Windows, unpacked into the build folder once per checksum.
unpack_qt() {
  local dir tarball stamp=$build/$qt_name/.sha256
  dir=$(toolchains)
  tarball=$dir/$qt_name.tar.xz
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$qt_sha256" ]; then return; fi
  if [ ! -f "$tarball" ] || ! echo "$qt_sha256  $tarball" | sha256sum -c --quiet - 2>/dev/null; then
    echo "windows.sh: $tarball is missing or does not match its checksum; building Qt for Windows" >&2
    tarball=$(scripts/build-qt6-mingw.sh "$root/$build/qt-source" | tail -n1 | awk '{print $2}')
  fi
  mkdir -p "$build"
  rm -rf "${build:?}/$qt_name"
  tar xJf "$tarball" -C "$build"
  echo "$qt_sha256" >"$stamp"
}

# Wine in a prefix of its own inside the build folder: nothing of the user's Wine is touched,
# and its COM ports are only what the tests map.
export WINEPREFIX=$root/$build/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine_ready() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "windows.sh: creating the Wine prefix" >&2
    wineboot --init >/dev/null 2>&1 || true
    wineserver -w || true
  fi
  # COM1, the port the window opens as it starts, leads nowhere: Wine's COM1 is the machine's
  # first serial port otherwise. The link is made here too, for a server that starts before
  # Wine's mount manager has made it anew.
  local nowhere=$WINEPREFIX/no-serial-port
  if ! grep -qF "$nowhere" "$WINEPREFIX/system.reg"; then
    wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$nowhere" /f >/dev/null 2>&1
    wineserver -w
  fi
  ln -sfn "$nowhere" "$WINEPREFIX/dosdevices/com1"
}

# The header-only libraries the programs use (the JSON one), in a folder of their own: the
# build machine's /usr/include must not reach the cross compiler.
stage_headers() {
  local deps=$build/deps
  [ -f "$deps/share/cmake/nlohmann_json/nlohmann_jsonConfig.cmake" ] && return
  mkdir -p "$deps/include" "$deps/share/cmake"
  cp -r /usr/include/nlohmann "$deps/include/"
  cp -r /usr/share/cmake/nlohmann_json "$deps/share/cmake/"
}

build_all() {
  unpack_qt
  stage_headers
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}
  local launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${KELVANE_WINDOWS_CONFIG:-Release}" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DKELVANE_QT_WINDOWS="$root/$build/$qt_name" \
    -DKELVANE_WINDOWS_DEPS="$root/$build/deps" \
    -DQT_HOST_PATH=/usr -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "${launcher[@]}" >/dev/null
  # With the DLLs beside the programs (target windows-runtime), so that they run from there.
  nice cmake --build "$build" -j "$(nproc)"
}

run_tests() {
  wine_ready
  QT_QPA_PLATFORM=offscreen ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 120
  wine "$build/bin/kelvane.exe" --version
  window_shot
}

# The window under Wine on a virtual X display: once it is shown under its title, a screenshot
# of the screen goes to BUILD_DIR/screenshots/NAME.png, and a screen of one colour fails.
# Arguments: the program (default: the build's kelvane.exe) and NAME (default: kelvane).
window_shot() {
  local exe=${1:-$build/bin/kelvane.exe}
  local png=$root/$build/screenshots/${2:-kelvane}.png
  mkdir -p "$(dirname "$png")"
  rm -f "$png"
  # A Wine server still running from the tests keeps their desktop, which has no display:
  # the window would open on it, unseen.
  wineserver -k 2>/dev/null || true
  wineserver -w
  env -u QT_QPA_PLATFORM xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    wine "$1" >/dev/null 2>&1 &
    shown() { xdotool search --onlyvisible --name "^Kelvane$" 2>/dev/null | head -n1; }
    for _ in $(seq 1200); do [ -n "$(shown)" ] && break; sleep 0.1; done
    # Shown: then its first paint, and the message box that says COM1 leads nowhere.
    sleep 3
    [ -n "$(shown)" ] || { echo "windows.sh: the window did not show under Wine" >&2; exit 1; }
    import -window root "$2"
    wineserver -k' _ "$exe" "$png"
  local colours
  colours=$(identify -format "%k" "$png")
  if [ "$colours" -lt 2 ]; then
    echo "windows.sh: the screenshot of the window is blank ($png)" >&2
    return 1
  fi
  echo "windows.sh: the window under Wine: $png ($colours colours)"
}

case "$what" in
  build) build_all ;;
  test) build_all && run_tests ;;
  # The window of another copy of the programs (an installed one), in the tests' prefix.
  shot) wine_ready && window_shot "$3" "${4:-kelvane}" ;;
  package) build_all && scripts/windows-package.sh "$build" "$build/packages" ;;
  all) build_all && run_tests && scripts/windows-package.sh "$build" "$build/packages" ;;
  *) echo "usage: scripts/windows.sh [build|test|package|all|has-qt] [BUILD_DIR]" >&2; exit 1 ;;
esac
