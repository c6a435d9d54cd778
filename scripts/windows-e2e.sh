#!/usr/bin/env bash
# End-to-end cases of the Windows kelvane-cli under Wine against the Linux receiver emulator:
# the emulator's pseudo-terminal is mapped as COM1 in a private Wine prefix
# (HKLM\Software\Wine\Ports), and where COM1 points is checked before any byte is written
# (by default Wine's COM1 is the machine's first serial port).
# Usage: scripts/windows-e2e.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
scripts=$PWD/scripts
win=$(realpath "$1")
linux=$(realpath "$2")
cli=$win/bin/kelvane-cli.exe
receiver=$linux/receiver/kelvane-receiver
samples=$linux/receiver/kelvane-samples
export WINEPREFIX=$win/wine-e2e WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d)
rx=
rx2=
cleanup() {
  [ -n "$rx" ] && kill "$rx" 2>/dev/null || true
  [ -n "$rx2" ] && kill "$rx2" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
"$samples" "$work" >/dev/null
cd "$work"
failed=0
# The Windows programs alone first, on the receiver emulator's named pipe (no COM port).
"$scripts/windows-e2e-pipe.sh" "$win" || failed=1

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

# Two ports in the one process: COM1 and COM2, each with an emulator of its own.
rm -f com1 com2
"$receiver" --link "$work/com1" accept --save got1.bin >rx.log 2>&1 &
rx=$!
"$receiver" --link "$work/com2" accept --save got2.bin >rx2.log 2>&1 &
rx2=$!
for _ in $(seq 50); do [ -e com1 ] && [ -e com2 ] && break; sleep 0.1; done
wineserver -k 2>/dev/null || true
wineserver -w
for n in 1 2; do
  wine reg add 'HKLM\Software\Wine\Ports' /v COM$n /t REG_SZ /d "$(readlink -f com$n)" /f >/dev/null 2>&1
done
wineserver -w
wine cmd /c exit >/dev/null 2>&1
for n in 1 2; do
  if [ "$(readlink "$WINEPREFIX/dosdevices/com$n" || true)" != "$(readlink -f com$n)" ]; then
    echo "windows-e2e: COM$n is not the emulator's: nothing written" >&2
    kill "$rx2" 2>/dev/null || true
    exit 1
  fi
done
got=0
timeout 120 wine "$cli" --port COM1 --port COM2 --timeout 20 download sample.bin >out.txt 2>err.txt || got=$?
wait "$rx" "$rx2" 2>/dev/null || true
rx=
rx2=
if [ "$got" = 0 ] && cmp -s got1.bin got2.bin; then
  echo "ok   download on two ports at once"
else
  echo "FAIL download on two ports at once: status $got"
  cat out.txt err.txt rx.log rx2.log
  failed=1
fi
exit "$failed"
