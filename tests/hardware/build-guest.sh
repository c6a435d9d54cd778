#!/usr/bin/env bash
# Builds the test guest into OUT: the kernel as an ELF image (vmlinux: QEMU boots it directly,
# without the minutes of decompression an emulated CPU would spend), an initramfs of
# busybox, udev, the serial and virtio drivers and kelvane-cli with its libraries, the
# receiver emulator for the host ends (host/) and the sample files (samples/).
# Usage: build-guest.sh CLI_DEB RECEIVER_DEB VMLINUZ OUT
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cli_deb=$1 receiver_deb=$2 vmlinuz=$3 out=$4
version=${vmlinuz##*/vmlinuz-}
modules=/lib/modules/$version
rm -rf "$out"
mkdir -p "$out/host" "$out/samples"
root=$out/root

# The kernel: the first xz, gzip or zstd stream in the compressed image that unpacks to an ELF.
python3 - "$vmlinuz" "$out/vmlinux" <<'EOF'
import gzip, lzma, sys, zlib
data = open(sys.argv[1], "rb").read()
def unpack(magic, at):
    if magic.startswith(b"\xfd7zXZ"):
        return lzma.LZMADecompressor().decompress(data[at:])
    if magic.startswith(b"\x1f\x8b"):
        return zlib.decompressobj(16 + zlib.MAX_WBITS).decompress(data[at:])
    import subprocess
    return subprocess.run(["zstd", "-dc"], input=data[at:], capture_output=True).stdout
for magic in (b"\xfd7zXZ\x00", b"\x1f\x8b\x08", b"\x28\xb5\x2f\xfd"):
    at = data.find(magic)
    while at >= 0:
        try:
            elf = unpack(magic, at)
            if elf.startswith(b"\x7fELF"):
                open(sys.argv[2], "wb").write(elf)
                sys.exit(0)
        except Exception:
            pass
        at = data.find(magic, at + 1)
sys.exit("no ELF kernel found in " + sys.argv[1])
EOF

dpkg-deb -x "$cli_deb" "$out/cli"
dpkg-deb -x "$receiver_deb" "$out/receiver"
cp "$out/receiver/usr/bin/kelvane-receiver" "$out/receiver/usr/bin/kelvane-samples" "$out/host/"
"$out/host/kelvane-samples" "$out/samples" >/dev/null

mkdir -p "$root"/{bin,sbin,etc,proc,sys,dev,tmp,run,root,var/lock,usr/bin,lib/systemd,home/tech,home/visitor}
cp /bin/busybox "$root/bin/busybox"
cp "$here/init" "$root/init"
chmod 755 "$root/init"

# A program and the libraries the dynamic loader names for it, at the same paths.
with_libs() {
  local program=$1 target=$2
  cp "$program" "$root$target"
  ldd "$program" | grep -o '/[^ ]*' | while read -r lib; do
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
}
with_libs "$out/cli/usr/bin/kelvane-cli" /usr/bin/kelvane-cli
with_libs /bin/udevadm /bin/udevadm
ln -s /bin/udevadm "$root/lib/systemd/systemd-udevd"
mkdir -p "$root/usr/lib/udev/rules.d"
# Device groups and modes, and the stable names under /dev/serial and /dev/virtio-ports.
cp /usr/lib/udev/rules.d/{50-udev-default,60-serial}.rules "$root/usr/lib/udev/rules.d/"
cp -r "$out/samples" "$root/samples"

# Drivers, each after those it needs (modules.dep), listed in load order for the init.
python3 - "$modules" "$root" ftdi_sio xhci-pci virtio_console virtio_pci <<'EOF'
import os, shutil, sys
modules, root, wanted = sys.argv[1], sys.argv[2], sys.argv[3:]
deps = {}
for line in open(os.path.join(modules, "modules.dep")):
    name, _, rest = line.partition(":")
    deps[name] = rest.split()
by_name = {os.path.basename(p).split(".ko")[0].replace("-", "_"): p for p in deps}
order = []
def add(path):
    if path in order:
        return
    for d in deps[path]:
        add(d)
    order.append(path)
for w in wanted:
    add(by_name[w.replace("-", "_")])
dest = os.path.join(root, "lib/modules")
os.makedirs(dest, exist_ok=True)
with open(os.path.join(root, "modules.list"), "w") as listing:
    for path in order:
        shutil.copy(os.path.join(modules, path), dest)
        listing.write(os.path.basename(path) + "\n")
EOF

cat >"$root/etc/passwd" <<'EOF'
root:x:0:0:root:/root:/bin/sh
tech:x:1000:1000:in dialout:/home/tech:/bin/sh
visitor:x:1001:1001:not in dialout:/home/visitor:/bin/sh
EOF
cat >"$root/etc/group" <<'EOF'
root:x:0:
dialout:x:20:tech
tech:x:1000:
visitor:x:1001:
EOF

(cd "$root" && find . | cpio -o -H newc -R 0:0 --quiet | gzip -1) >"$out/initrd.gz"
rm -rf "$root" "$out/cli" "$out/receiver"
echo "build-guest.sh: guest for kernel $version, initramfs $(du -h "$out/initrd.gz" | cut -f1)"
