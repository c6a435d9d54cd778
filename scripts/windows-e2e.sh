#!/usr/bin/env bash
# End-to-end cases of the Windows kelvane-cli under Wine against the Linux receiver emulator:
# the emulator's pseudo-terminal is mapped as COM1 in a private Wine prefix
# (HKLM\Software\Wine\Ports), and where COM1 points is checked before any byte is written
# (by default Wine's COM1 is the machine's first serial port).
# Usage: scripts/windows-e2e.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
win=$(realpath "$1")
linux=$(realpath "$2")
cli=$win/bin/kelvane-cli.exe
receiver=$linux/receiver/kelvane-receiver
samples=$linux/receiver/kelvane-samples
export WINEPREFIX=$win/wine-e2e WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d)
rx=
cleanup() {
  [ -n "$rx" ] && kill "$rx" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
"$samples" "$work" >/dev/null
cd "$work"
failed=0

# Starts the emulator with the given arguments and maps COM1 to its pseudo-terminal.
start() {
  rm -f com1
  "$receiver" --link "$work/com1" "$@" >rx.log 2>&1 &
  rx=$!
  for _ in $(seq 50); do [ -e com1 ] && break; sleep 0.1; done
  local pty
  pty=$(readlink -f com1)
  wineserver -k 2>/dev/null || true
  wineserver -w
  wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$pty" /f >/dev/null 2>&1
  wineserver -w
  wine cmd /c exit >/dev/null 2>&1 # Wine maps the ports as it starts
  local now
  now=$(readlink "$WINEPREFIX/dosdevices/com1" || true)
  if [ "$now" != "$pty" ]; then
    echo "windows-e2e: COM1 is $now, not the emulator's $pty: nothing written" >&2
    exit 1
  fi
}

check() { # name, expected status, command...
  local name=$1 want=$2
  shift 2
  local got=0
  timeout 120 wine "$cli" --port COM1 --timeout 20 "$@" >out.txt 2>err.txt || got=$?
  wait "$rx" 2>/dev/null || true
  rx=
  if [ "$got" = "$want" ]; then
    echo "ok   $name"
  else
    echo "FAIL $name: status $got, wanted $want"
    cat out.txt err.txt rx.log
    failed=1
  fi
}

start accept --save got.bin
check "download of a program image" 0 download sample.bin
start accept --save got.sdx
check "download of an SDX list" 0 download --sdx channels.sdx
start temu card.sgn
check "download of a Temu file" 0 download --temu card.sgn
start serve sample.bin
check "upload" 0 --force upload 'back.bin'
cmp -s -n "$(stat -c %s sample.bin)" back.bin sample.bin || { echo "FAIL upload: the image differs"; failed=1; }
start accept --save got.bin
check "download with --json" 0 --json download sample.bin
grep -q '"event":"end"' out.txt || { echo "FAIL --json: no end event"; failed=1; }
exit "$failed"
