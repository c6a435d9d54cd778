#!/usr/bin/env bash
# Builds Kelvane and starts the window. With --demo, a receiver emulator on a
# pseudo-terminal stands in for the hardware (the user's own settings are not touched).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh run
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
exec build/src/kelvane "$@"
