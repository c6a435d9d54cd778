#!/usr/bin/env bash
# Builds Kelvane and starts the window. With --demo, a receiver emulator on a
# pseudo-terminal stands in for the hardware (the user's own settings are not touched).
# Only the three programs the window and its demo start are built, in a folder of their own
# (build-run), without the tests, with no more compiles at once than the machine has cores.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh run
build=build-run
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target kelvane kelvane-receiver kelvane-samples
exec "$build/src/kelvane" "$@"
