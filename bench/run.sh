#!/usr/bin/env bash
# Transfer benchmarks against the receiver emulator; see run.py for the options.
exec python3 "$(dirname "$0")/run.py" "$@"
