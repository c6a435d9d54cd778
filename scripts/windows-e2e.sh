#!/usr/bin/env bash
# End-to-end cases of the Windows kelvane-cli under Wine against the Linux receiver emulator:
# the emulator's pseudo-terminal is mapped as COM1 (and COM2) in a private Wine prefix
# (HKLM\Software\Wine\Ports), and where COM1 points is checked before any byte is written
# (by default Wine's COM1 is the machine's first serial port).
# When WINDOWS_BUILD_DIR/packages holds the installer (scripts/windows.sh package), it is
# installed silently into the prefix first and the installed programs are the ones tried.
# Usage: scripts/windows-e2e.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
scripts=$PWD/scripts
win=$(realpath "$1")
linux=$(realpath "$2")
export KELVANE_WINDOWS_BIN=$win/bin
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
setup=$(ls "$win"/packages/kelvane-*-windows-x64-setup.exe 2>/dev/null | tail -n1 || true)
if [ -n "$setup" ]; then
  wineserver -k 2>/dev/null || true
  installed=$WINEPREFIX/drive_c/Program\ Files/Kelvane
  rm -rf "$installed"
  if timeout 300 wine "$setup" /S && [ -f "$installed/kelvane-cli.exe" ]; then
    echo "ok   $(basename "$setup") installed silently"
    KELVANE_WINDOWS_BIN=$installed
    if "$scripts/windows.sh" shot "$(realpath --relative-to="$scripts/.." "$win")" \
      "$installed/kelvane.exe" kelvane-installed; then
      echo "ok   the installed kelvane.exe shows its window"
    else
      echo "FAIL the installed kelvane.exe shows no window"
      failed=1
    fi
  else
    echo "FAIL $(basename "$setup") did not install"
    failed=1
  fi
fi
cli=$KELVANE_WINDOWS_BIN/kelvane-cli.exe
# The Windows programs alone first, on the receiver emulator's named pipe (no COM port).
"$scripts/windows-e2e-pipe.sh" "$win" || failed=1

# COM1 and COM2 are mapped once, to links in the work folder that each case's emulator points
# at its pseudo-terminal. Wine's mount manager maps the ports as its server starts, removing
# and making each port's link anew: a port opened meanwhile is missing. So the server is
# started once, persistent, and the cases begin only once both ports are mapped.
map_ports() {
  wineserver -k 2>/dev/null || true
  wineserver -w
  for n in 1 2; do
    wine reg add 'HKLM\Software\Wine\Ports' /v COM$n /t REG_SZ /d "$work/com$n" /f >/dev/null 2>&1
  done
  wineserver -w
  rm -f "$WINEPREFIX/dosdevices/com1" "$WINEPREFIX/dosdevices/com2"
  # Its messages (it lists its objects when a pseudo-terminal it opened hangs up) are not ours.
  wineserver -p 2>/dev/null
  wine cmd /c exit >/dev/null 2>&1
  for _ in $(seq 300); do
    [ "$(readlink "$WINEPREFIX/dosdevices/com1")" = "$work/com1" ] &&
      [ "$(readlink "$WINEPREFIX/dosdevices/com2")" = "$work/com2" ] && return
    sleep 0.1
  done
  echo "windows-e2e: COM1 and COM2 are not mapped to the emulator's links: nothing written" >&2
  exit 1
}

# Starts an emulator with the given arguments on port n (COM1 by default, else --comN first),
# and checks that the port leads to its pseudo-terminal before any byte is written. The
# emulator stays until the program has closed the port (10 s at the most): a pseudo-terminal
# that goes away drops what the program has not read yet, and under Wine on a busy machine
# the program can take longer than the emulator's usual wait to read the last answer.
start() {
  local n=1 log=rx.log
  [ "${1:-}" = --com2 ] && { n=2 log=rx2.log; shift; }
  rm -f "com$n"
  "$receiver" --link "$work/com$n" --linger 10000 "$@" >"$log" 2>&1 &
  if [ "$n" = 1 ]; then rx=$!; else rx2=$!; fi
  for _ in $(seq 100); do [ -e "com$n" ] && break; sleep 0.1; done
  if [ "$(readlink "$WINEPREFIX/dosdevices/com$n")" != "$work/com$n" ] ||
    [[ "$(readlink "com$n")" != /dev/pts/* ]]; then
    echo "windows-e2e: COM$n does not lead to the emulator's pseudo-terminal: nothing written" >&2
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

map_ports
start accept --save got.bin --expect sample.bin
check "download of a program image" 0 download sample.bin
start accept --save got.sdx
check "download of an SDX list" 0 download --sdx channels.sdx
start temu card.sgn
check "download of a Temu file" 0 download --temu card.sgn
start serve sample.bin
check "upload" 0 --force upload 'back.bin'
cmp -s -n "$(stat -c %s sample.bin)" back.bin sample.bin || { echo "FAIL upload: the image differs"; failed=1; }
start accept --save got.bin --expect sample.bin
check "download with --json" 0 --json download sample.bin
grep -q '"event":"end"' out.txt || { echo "FAIL --json: no end event"; failed=1; }

# Two ports in the one process: COM1 and COM2, each with an emulator of its own.
start accept --save got1.bin
start --com2 accept --save got2.bin
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

# Ctrl-C: Wine turns SIGINT to a console program's process into its CTRL_C_EVENT. Runs the
# command line with the arguments given and interrupts it once it has reported the event
# given (JSON); sets got to its status.
interrupt() {
  local event=$1
  shift
  got=0
  set -m # a job of its own, so that SIGINT is not ignored in it
  wine "$cli" --json --port COM1 --timeout 20 "$@" >out.txt 2>err.txt &
  local pid=$!
  set +m
  for _ in $(seq 300); do grep -q "\"event\":\"$event\"" out.txt && break; sleep 0.1; done
  kill -INT "$pid" 2>/dev/null || true
  wait "$pid" || got=$?
  wait "$rx" 2>/dev/null || true
  rx=
}
stop_result() { # name, condition status
  if [ "$got" = 6 ] && [ "$2" = 0 ] && grep -q '"status_name":"stopped"' out.txt; then
    echo "ok   $1"
  else
    echo "FAIL $1: status $got"
    cat out.txt err.txt rx.log
    ls -A . "$temp"
    failed=1
  fi
}

# A stopped download sends the end of data and removes the converted list's folder.
temp=$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local/Temp
mkdir -p "$temp"
start accept --ack-delay 500
interrupt progress download --sdx channels.sdx
ok=0
grep -q 'the PC ended the data after' rx.log && [ -z "$(ls -A "$temp")" ] || ok=1
stop_result "Ctrl-C stops a download" "$ok"

# An upload stopped part way, before the image's header has come or in its blocks, leaves the
# file it would replace as it was, and nothing beside it.
for when in start progress; do
  echo "keep me" >keep.bin
  if [ "$when" = start ]; then
    start serve sample.bin --ignore-ready 1000
  else
    start serve sample.bin --stall-block 3 --stall-seconds 30
  fi
  interrupt "$when" --force upload keep.bin
  ok=0
  [ "$(cat keep.bin)" = "keep me" ] && [ -z "$(ls -A | grep -F .part)" ] || ok=1
  stop_result "Ctrl-C stops an upload (at its $when event)" "$ok"
done

if [ -n "$setup" ]; then
  # The uninstaller goes on from a copy of itself after the one started has returned.
  timeout 120 wine "$KELVANE_WINDOWS_BIN/uninstall.exe" /S || true
  for _ in $(seq 300); do [ -e "$KELVANE_WINDOWS_BIN" ] || break; sleep 0.1; done
  if [ ! -e "$KELVANE_WINDOWS_BIN" ]; then
    echo "ok   uninstalled silently"
  else
    echo "FAIL the uninstaller left $KELVANE_WINDOWS_BIN"
    failed=1
  fi
fi
exit "$failed"
