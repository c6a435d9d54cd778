#!/usr/bin/env bash
# Checks the source format, builds Kelvane and runs every test twice: in an ordinary build,
# and in a build with AddressSanitizer and UndefinedBehaviorSanitizer; then builds the Debian
# packages from the ordinary build, checks them with lintian and runs the packaged command line
# on a real kernel's serial drivers in a QEMU guest. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test
export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)
# Objects compiled before are taken from ccache where it is installed.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$PWD"  # paths relative to the checkout: any clone shares the cache
fi

# The C++ sources keep the house format (.clang-format): a file off it fails the run.
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

# Warnings fail the build here: the code stays clean of them.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
  "${launcher[@]}" >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 300

cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKELVANE_SANITIZE=ON \
  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "${launcher[@]}" >/dev/null
cmake --build build-sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-sanitize --output-on-failure -j "$jobs" --timeout 300

if [ -x bench/run.sh ]; then
  bench/run.sh --quick --build build
fi

# The Windows build, its unit tests and window under Wine and the command line against the
# emulator (a few minutes with ccache). Skipped without the prebuilt Qt for Windows: building it takes
# longer than everything else here together.
if [ "${KELVANE_SKIP_WINDOWS:-0}" = 1 ]; then
  echo "test.sh: the Windows part is skipped (KELVANE_SKIP_WINDOWS=1)"
elif ! scripts/windows.sh has-qt; then
  echo "test.sh: the Windows part is skipped: no prebuilt Qt for Windows in the toolchain folder"
else
  # The unit tests under Wine, and the window under Wine on a virtual display with its
  # screenshot in build-windows/screenshots/.
  # Then the installer, installed silently under Wine for the end-to-end cases.
  scripts/windows.sh all build-windows
  scripts/windows-e2e.sh build-windows build
fi

scripts/package.sh build

# The packaged command line on the kernel's own serial drivers (FTDI USB, 16550), in QEMU.
tests/hardware/run.sh build/packages
