#!/usr/bin/env bash
# Tests kelvane-cli on the serial drivers of a real Linux kernel: boots Debian's kernel in QEMU
# (no KVM needed) with an emulated FTDI USB adapter and two 16550 UARTs whose host ends are
# pseudo-terminals, runs kelvane-cli inside the guest from the kelvane-cli package and
# kelvane-receiver from the kelvane-receiver package on each host end.
# Usage: tests/hardware/run.sh [PACKAGES_DIR]   (default: build/packages, as scripts/package.sh
# leaves them). Prints one line per check and ends with "N passed, M failed".
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cd "$here/../.."
scripts/deps.sh hardware
packages=$(cd "${1:-build/packages}" && pwd)
work=$PWD/build/hardware
mkdir -p "$work"

deb() {
  local found=("$packages"/"$1"_*.deb)
  [ -f "${found[0]}" ] || { echo "run.sh: no $1 package in $packages (run scripts/package.sh)" >&2; exit 2; }
  echo "${found[0]}"
}
cli_deb=$(deb kelvane-cli)
receiver_deb=$(deb kelvane-receiver)

# The newest installed Debian kernel that has its modules.
kernel=
for image in $(ls -1v /boot/vmlinuz-* 2>/dev/null | tac); do
  version=${image#/boot/vmlinuz-}
  if [ -f "/lib/modules/$version/modules.dep" ]; then kernel=$image; break; fi
done
[ -n "$kernel" ] || { echo "run.sh: no kernel with modules under /boot (linux-image-amd64)" >&2; exit 2; }

# Everything below is cached by the content it is made from.
key=$(cat "$cli_deb" "$receiver_deb" "$kernel" "$here/build-guest.sh" "$here/init" /bin/busybox \
  /bin/udevadm | sha256sum | cut -c1-16)
guest=$work/guest-$key
if [ ! -f "$guest/initrd.gz" ]; then
  rm -rf "$work"/guest-*
  "$here/build-guest.sh" "$cli_deb" "$receiver_deb" "$kernel" "$guest.tmp" >&2
  mv "$guest.tmp" "$guest"
fi

run=$work/run
qemu_pid=
checks_pid=
finish() {
  [ -z "$checks_pid" ] || kill "$checks_pid" 2>/dev/null || true
  [ -z "$qemu_pid" ] || kill -9 "$qemu_pid" 2>/dev/null || true
}
trap finish EXIT
trap 'exit 130' INT TERM HUP

# Boots the guest and runs the checks; the status of checks.py (3: the guest did not boot).
attempt() {
  rm -rf "$run"
  mkdir -p "$run"
  # Kernel messages go to a file through a virtio console; the guest's commands and their
  # answers go through a virtio serial port; the ports under test carry only the test's bytes.
  qemu-system-x86_64 -machine pc -accel tcg -m 512 -nodefaults -display none -no-reboot \
    -kernel "$guest/vmlinux" -initrd "$guest/initrd.gz" -append "console=hvc0 panic=-1" \
    -device virtio-serial-pci,id=vs \
    -chardev file,id=klog,path="$run/kernel.log" -device virtconsole,chardev=klog \
    -chardev socket,id=ctl,path="$run/ctl.sock",server=on,wait=off \
    -device virtserialport,chardev=ctl,name=kv.ctl \
    -device qemu-xhci,id=xhci \
    -chardev pty,id=usb -device usb-serial,id=ftdi,bus=xhci.0,chardev=usb,always-plugged=on,serial=KV000001 \
    -chardev pty,id=isa -device isa-serial,chardev=isa \
    -chardev pty,id=pci -device pci-serial,chardev=pci \
    -qmp unix:"$run/qmp.sock",server=on,wait=off >"$run/qemu.log" 2>&1 &
  qemu_pid=$!
  timeout -k 5 600 python3 -B "$here/checks.py" --run "$run" --guest "$guest" &
  checks_pid=$!
  local status=0
  wait "$checks_pid" || status=$?
  checks_pid=
  if [ "$status" = 3 ]; then
    if kill -0 "$qemu_pid" 2>/dev/null; then
      echo "run.sh: QEMU was still running"
    else
      local qemu_status=0
      wait "$qemu_pid" || qemu_status=$?
      echo "run.sh: QEMU had ended with status $qemu_status"
    fi
  fi
  kill -9 "$qemu_pid" 2>/dev/null || true
  wait "$qemu_pid" 2>/dev/null || true
  qemu_pid=
  return "$status"
}

# An emulated guest that does not come up at all is started once more; every other
# failure stands.
status=0
attempt || status=$?
if [ "$status" = 3 ]; then
  echo "run.sh: the guest did not boot; starting it once more"
  status=0
  attempt || status=$?
fi
exit "$status"
