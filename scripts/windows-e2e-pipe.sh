#!/usr/bin/env bash
# End-to-end cases of the Windows programs alone, under Wine, on the receiver emulator's named
# pipe (no COM port is involved): kelvane-cli.exe against kelvane-receiver.exe, byte for byte
# both ways, and the window's --demo, which starts the receiver on a pipe of its own and opens
# that as COM1.
# Usage: scripts/windows-e2e-pipe.sh WINDOWS_BUILD_DIR   (the programs: $KELVANE_WINDOWS_BIN,
# else WINDOWS_BUILD_DIR/bin)   (Wine prefix: $WINEPREFIX, else
# WINDOWS_BUILD_DIR/wine-e2e)
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${KELVANE_WINDOWS_BIN:-$(realpath "$1")/bin}
export WINEPREFIX=${WINEPREFIX:-$(realpath "$1")/wine-e2e} WINEDEBUG=-all \
  WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d)
rx=
window=
cleanup() {
  for p in $rx $window; do kill "$p" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
failed=0
fail() {
  echo "FAIL $1"
  shift
  for f in "$@"; do [ -f "$f" ] && cat "$f"; done
  failed=1
}
pipe="\\\\.\\pipe\\kelvane-e2e-$$"
wine "$bin/kelvane-samples.exe" . >/dev/null

# The receiver on the pipe; it prints the pipe's name once it serves it.
serve() {
  wine "$bin/kelvane-receiver.exe" --link "$pipe" "$@" >rx.log 2>&1 &
  rx=$!
  for _ in $(seq 300); do grep -qF "$pipe" rx.log && return; sleep 0.1; done
  fail "the receiver did not serve $pipe" rx.log
}

# name, then kelvane-cli's arguments: the command and the receiver must both succeed.
check() {
  local name=$1 got=0 rxgot=0
  shift
  timeout 120 wine "$bin/kelvane-cli.exe" --port "$pipe" --timeout 20 "$@" >out.txt 2>err.txt ||
    got=$?
  wait "$rx" || rxgot=$?
  rx=
  if [ "$got" = 0 ] && [ "$rxgot" = 0 ]; then
    echo "ok   $name"
  else
    fail "$name: status $got, the receiver's $rxgot" out.txt err.txt rx.log
  fi
}

# The receiver checks every byte against the image it expects.
serve accept --expect sample.bin
check "download over the receiver's pipe" download sample.bin
serve serve sample.bin
check "upload over the receiver's pipe" --force upload back.bin
cmp -s -n "$(stat -c %s sample.bin)" back.bin sample.bin || fail "upload over the pipe: the image differs"

# The demo: the window starts the receiver (its first line names the pipe, on the window's
# standard output) and holds the pipe open as COM1, so that another program finds it busy.
QT_QPA_PLATFORM=offscreen wine "$bin/kelvane.exe" --demo >demo.out 2>demo.err &
window=$!
demo=
for _ in $(seq 300); do
  demo=$(grep -ao '\\\\\.\\pipe\\kelvane-demo-[0-9]*' demo.out | head -n1 || true)
  [ -n "$demo" ] && break
  sleep 0.1
done
if [ -z "$demo" ]; then
  fail "kelvane --demo started no receiver" demo.out demo.err
else
  sleep 10 # the window opens COM1 once it is built (no sign of it outside the window)
  got=0
  timeout 60 wine "$bin/kelvane-cli.exe" --port "$demo" --timeout 5 download sample.bin \
    >out.txt 2>err.txt || got=$?
  if [ "$got" = 2 ] && grep -q busy err.txt; then
    echo "ok   kelvane --demo holds its receiver's pipe"
  else
    fail "kelvane --demo: the window does not hold $demo (status $got)" out.txt err.txt demo.err
  fi
fi
kill "$window" 2>/dev/null || true
wait "$window" 2>/dev/null || true
window=
exit "$failed"
