#!/usr/bin/env python3
"""Runs kelvane-cli in the test guest (started by run.sh) against kelvane-receiver on the host
ends of its serial ports: one line per check, then "N passed, M failed". Every wait is bounded."""

import argparse
import base64
import json
import os
import re
import shlex
import signal
import socket
import subprocess
import sys
import time

BY_ID = "/dev/serial/by-id/usb-QEMU_QEMU_USB_SERIAL_KV000001-if00-port0"
SAMPLE = "/samples/sample.bin"
HEADER = 64  # the plain header block in front of the sample image's data
CLI = "kelvane-cli --quiet --timeout 30"
FTDI = {"driver": "usb-serial", "id": "ftdi", "bus": "xhci.0", "chardev": "usb",
        "always-plugged": True, "serial": "KV000001"}
# Seconds from the unplug to kelvane-cli's exit: about 0.1 s on a quiet host; the emulated
# guest gets slow when the host is loaded (up to 2 s seen), which is not the tool's delay.
GONE_WITHIN = 3.0


class Failed(Exception):
    pass


def expect(condition, what):
    if not condition:
        raise Failed(what)


class Lines:
    """A line-oriented Unix socket; every read has a deadline."""

    def __init__(self, path, wait):
        deadline = time.monotonic() + wait
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise Failed(f"cannot connect to {os.path.basename(path)}")
                time.sleep(0.1)
        self.buffer = b""

    def send(self, line):
        self.sock.settimeout(10)
        self.sock.sendall(line + b"\n")

    def readline(self, timeout):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise Failed(f"no answer within {timeout:.0f} s")
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                raise Failed("connection closed")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line


class Qmp:
    def __init__(self, path):
        self.lines = Lines(path, 10)
        self.lines.readline(10)
        self.events = []
        self.cmd("qmp_capabilities")

    def _next(self, timeout):
        message = json.loads(self.lines.readline(timeout))
        if "event" in message:
            self.events.append(message)
        return message

    def cmd(self, name, **arguments):
        self.lines.send(json.dumps({"execute": name, "arguments": arguments}).encode())
        while True:
            message = self._next(10)
            if "error" in message:
                raise Failed(f"{name}: {message['error'].get('desc')}")
            if "return" in message:
                return message["return"]

    def wait_event(self, event, device, timeout):
        deadline = time.monotonic() + timeout
        while True:
            for e in self.events:
                if e["event"] == event and e.get("data", {}).get("device") == device:
                    self.events.remove(e)
                    return
            left = deadline - time.monotonic()
            expect(left > 0, f"no {event} for {device} within {timeout} s")
            try:
                self._next(left)
            except Failed:
                pass


class Guest:
    """Runs shell scripts in the guest through its control port."""

    def __init__(self, path, boot_wait):
        self.lines = Lines(path, 10)
        self.serial = 0
        while self.lines.readline(boot_wait) != b"READY":
            pass

    def sh(self, script, timeout=60):
        self.serial += 1
        self.lines.send(f"{self.serial} ".encode() + base64.b64encode(script.encode()))
        while True:
            fields = self.lines.readline(timeout + 15).split(b" ", 2)
            if fields[0] == str(self.serial).encode():
                break
        output = base64.b64decode(fields[2]) if len(fields) > 2 else b""
        return int(fields[1]), output.decode(errors="replace")

    def uptime(self):
        return float(self.sh("cut -d' ' -f1 /proc/uptime")[1])


class Receiver:
    """kelvane-receiver on the host end of a guest port."""

    running = []

    def __init__(self, program, pty, *arguments):
        self.process = subprocess.Popen([program, "--device", pty, "--pace", *arguments],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        text=True, start_new_session=True)
        Receiver.running.append(self)
        time.sleep(0.5)  # the device open and set up before the guest speaks

    def finish(self, timeout=30):
        try:
            output, _ = self.process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.stop()
            raise Failed(f"the receiver did not end within {timeout} s")
        return self.process.returncode, output.strip()

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(5)

    @classmethod
    def stop_all(cls):
        for r in cls.running:
            r.stop()


def as_user(user, command):
    return command if user is None else f"su -s /bin/sh {user} -c {shlex.quote('cd && ' + command)}"


def last_progress(text):
    found = re.findall(r"(\d+)k/(\d+)K", text)
    return f"{found[-1][0]}k of {found[-1][1]}K" if found else "no progress line"


def message(text, word=""):
    """The line of kelvane-cli's output holding word (else its last), progress lines left out."""
    lines = [l.strip() for l in text.replace("\r", "\n").splitlines()
             if l.strip() and not re.search(r"\d+k/\d+K", l)]
    return next((l for l in lines if word in l), lines[-1] if lines else "")


class Run:
    def __init__(self, options):
        self.options = options
        self.passed = 0
        self.failed = 0
        self.host = os.path.join(options.guest, "host")
        self.sample = open(os.path.join(options.guest, "samples", "sample.bin"), "rb").read()
        self.guest = None
        self.qmp = None
        self.ports = {}  # label -> guest device
        self.ptys = {}  # label -> host end
        self.usb = "/dev/ttyUSB0"

    def check(self, name, body):
        try:
            detail = body()
            print(f"PASS {name}" + (f": {detail}" if detail else ""), flush=True)
            self.passed += 1
            return True
        except Failed as e:
            print(f"FAIL {name}: {e}", flush=True)
        except Exception as e:  # a fault of the harness counts as a failure, never a hang
            print(f"FAIL {name}: {type(e).__name__}: {e}", flush=True)
        self.failed += 1
        return False

    def receiver(self, label, *arguments):
        return Receiver(os.path.join(self.host, "kelvane-receiver"), self.ptys[label], *arguments)

    def latency_file(self):
        return f"/sys/bus/usb-serial/devices/{os.path.basename(self.usb)}/latency_timer"

    # --- the guest ---------------------------------------------------------------------------

    def boot(self):
        started = time.monotonic()
        self.qmp = Qmp(os.path.join(self.options.run, "qmp.sock"))
        self.guest = Guest(os.path.join(self.options.run, "ctl.sock"), 240)
        for chardev in self.qmp.cmd("query-chardev"):
            if chardev["filename"].startswith("pty:"):
                self.ptys[chardev["label"]] = chardev["filename"][4:]
        _, listing = self.guest.sh(
            "for t in /sys/class/tty/ttyS*; do echo ${t##*/} $(cat $t/type) "
            "$(readlink -f $t/device); done")
        for line in listing.splitlines():
            name, kind, device = line.split(" ", 2)
            if kind != "0":
                self.ports["pci" if "/pci" in device else "isa"] = "/dev/" + name
        self.ports["usb"] = self.usb
        expect(set(self.ptys) >= {"usb", "isa", "pci"}, f"host ends: {self.ptys}")
        expect(set(self.ports) == {"usb", "isa", "pci"}, f"guest ports: {listing}")
        return (f"{time.monotonic() - started:.1f} s; "
                + ", ".join(f"{self.ports[l]} <-> {self.ptys[l]}" for l in ("usb", "isa", "pci")))

    def unplug(self):
        self.qmp.cmd("device_del", id="ftdi")
        self.qmp.wait_event("DEVICE_DELETED", "ftdi", 10)

    def replug(self):
        self.qmp.cmd("device_add", **FTDI)
        status, node = self.guest.sh(
            f"for i in $(seq 150); do [ -e {BY_ID} ] && break; sleep 0.1; done; readlink -f {BY_ID}")
        expect(status == 0 and node.strip().startswith("/dev/ttyUSB"),
               f"{BY_ID} is not back within 15 s")
        self.usb = node.strip()
        return self.usb

    # --- transfers ---------------------------------------------------------------------------

    def download(self, label, port=None, user=None):
        rx_file = os.path.join(self.options.run, f"got-{label}.bin")
        if os.path.exists(rx_file):
            os.remove(rx_file)
        rx = self.receiver(label, "accept", "--save", rx_file, "--length",
                           str(len(self.sample) - HEADER))
        started = time.monotonic()
        status, out = self.guest.sh(
            as_user(user, f"{CLI} --port {port or self.ports[label]} download {SAMPLE}"), 90)
        seconds = time.monotonic() - started
        rx_status, rx_out = rx.finish()
        self.expect_both(label, status, out, rx_status, rx_out)
        got = open(rx_file, "rb").read()
        expect(got == self.sample, f"received {len(got)} bytes, not the {len(self.sample)} sent")
        return f"{len(got)} bytes byte-exact, {len(got) / seconds:.0f} bytes/s"

    def upload(self, label):
        rx = self.receiver(label, "serve", os.path.join(self.options.guest, "samples", "sample.bin"))
        started = time.monotonic()
        status, out = self.guest.sh(
            f"{CLI} --force --port {self.ports[label]} upload /tmp/up.bin", 90)
        seconds = time.monotonic() - started
        rx_status, rx_out = rx.finish()
        self.expect_both(label, status, out, rx_status, rx_out)
        _, encoded = self.guest.sh("base64 /tmp/up.bin; rm -f /tmp/up.bin")
        got = base64.b64decode(encoded)
        size = len(self.sample)
        expect(got[:size] == self.sample and set(got[size:]) <= {0xFF},
               f"{len(got)} bytes read back differ from the {size}-byte image served")
        return f"{size} bytes byte-exact (+{len(got) - size} filler), {len(got) / seconds:.0f} bytes/s"

    def expect_both(self, label, status, out, rx_status, rx_out):
        """Both ends ended well; a failure says what each end saw, and for a 16550 what its
        driver counted, so that a lost byte can be placed on the tool, the kernel or the host."""
        if status == 0 and rx_status == 0:
            return
        counts = ""
        if label != "usb":
            line = os.path.basename(self.ports[label])[len("ttyS"):]
            _, table = self.guest.sh(f"grep '^{line}:' /proc/tty/driver/serial")
            counts = f"; the guest's driver: {table.strip()}"
        raise Failed(f"kelvane-cli status {status}: {out.strip()}; receiver status {rx_status}: "
                     f"{rx_out}{counts}")

    # --- the checks --------------------------------------------------------------------------

    def ports_text(self):
        status, out = self.guest.sh("kelvane-cli ports")
        expect(status == 0, f"status {status}: {out}")
        usb = (f"{self.usb}  QEMU USB SERIAL, QEMU, 0403:6001, serial KV000001\n"
               f"  stable path: {BY_ID}\n  access: yes\n  latency timer: ")
        expect(usb in out, f"no adapter entry like {usb!r} in:\n{out}")
        listed = re.findall(r"^(/dev/\S+)", out, re.M)
        expected = [self.usb, self.ports["isa"], self.ports["pci"]]
        expect(sorted(listed) == sorted(expected), f"devices {listed}, expected {expected}")
        return "ttyUSB0 with its facts and stable path, " + ", ".join(expected[1:]) + " only"

    def ports_json(self):
        status, out = self.guest.sh("kelvane-cli ports --json")
        expect(status == 0, f"status {status}: {out}")
        devices = {d["path"]: d for d in json.loads(out)["devices"]}
        expect(sorted(devices) == sorted(self.ports.values()), f"devices {sorted(devices)}")
        usb = devices[self.usb]
        want = {"vendorId": "0403", "productId": "6001", "manufacturer": "QEMU",
                "serialNumber": "KV000001", "byId": BY_ID, "accessible": True,
                "group": "dialout"}
        wrong = {k: usb.get(k) for k, v in want.items() if usb.get(k) != v}
        expect(not wrong, f"ttyUSB0 has {wrong}")
        expect(isinstance(usb.get("latencyTimerMs"), int), f"latencyTimerMs {usb.get('latencyTimerMs')}")
        for label in ("isa", "pci"):
            d = devices[self.ports[label]]
            expect(d["byId"] is None and d["vendorId"] is None, f"{label}: {d}")
        return f"byId {usb['byId']}, latencyTimerMs {usb['latencyTimerMs']}"

    def low_latency_and_usb_download(self):
        """The download over the adapter, watching its latency timer while the port is open."""
        latency = self.latency_file()
        rx_file = os.path.join(self.options.run, "got-usb.bin")
        rx = self.receiver("usb", "accept", "--save", rx_file, "--length",
                           str(len(self.sample) - HEADER))
        started = time.monotonic()
        status, out = self.guest.sh(f"""
echo 16 > {latency}; echo "before: $(cat {latency})"
{CLI} --port {self.usb} download {SAMPLE} > /tmp/dl.out 2>&1 &
pid=$!
for i in $(seq 100); do [ "$(cat {latency})" = 1 ] && break; sleep 0.1; done
echo "open: $(cat {latency})"
wait $pid; echo "status: $?"
echo "after: $(cat {latency})"
cat /tmp/dl.out""", 90)
        seconds = time.monotonic() - started
        rx_status, rx_out = rx.finish()
        values = dict(re.findall(r"^(before|open|after|status): (\S+)", out, re.M))
        self.check("low-latency request while open, given back on close", lambda: (
            expect(values.get("before") == "16" and values.get("open") == "1"
                   and values.get("after") == "16", f"latency timer {values}")
            or f"latency timer {values['before']} -> {values['open']} ms while open -> "
               f"{values['after']} ms after"))

        def exact():
            expect(values.get("status") == "0", f"kelvane-cli: {out.strip()}")
            expect(rx_status == 0, f"receiver status {rx_status}: {rx_out}")
            got = open(rx_file, "rb").read()
            expect(got == self.sample, f"received {len(got)} bytes, not {len(self.sample)}")
            return f"{len(got)} bytes byte-exact, {len(got) / seconds:.0f} bytes/s"
        self.check(f"download over {self.usb} (FTDI, ftdi_sio)", exact)

    def refused(self):
        status, out = self.guest.sh(as_user("visitor", f"{CLI} --port {self.usb} download {SAMPLE}"))
        expect(status == 2, f"status {status}, not 2: {out.strip()}")
        for part in ("permission denied", "dialout", "sudo usermod -aG dialout $USER"):
            expect(part in out, f"no {part!r} in: {out.strip()}")
        _, listing = self.guest.sh(as_user("visitor", "kelvane-cli ports"))
        advice = "access: no; sudo usermod -aG dialout $USER"
        expect(advice in listing, f"ports does not say {advice!r}")
        return message(out, "permission denied")

    def busy(self):
        port = self.ports["isa"]
        status, out = self.guest.sh(f"""
{CLI} --port {port} download {SAMPLE} > /tmp/hold.out 2>&1 &
holder=$!
for i in $(seq 50); do ls -l /proc/$holder/fd 2>/dev/null | grep -q {port} && break; sleep 0.1; done
echo "holder: $holder"
kelvane-cli --timeout 5 --port {port} download {SAMPLE}; echo "status: $?"
kill $holder; wait""")
        holder = re.search(r"holder: (\d+)", out).group(1)
        expect("status: 2" in out, f"not status 2: {out.strip()}")
        for part in ("busy", f"kelvane-cli (process {holder})"):
            expect(part in out, f"no {part!r} in: {out.strip()}")
        return message(out, "busy")

    def pulled(self, mid_transfer):
        """Unplugs the adapter while kelvane-cli waits for the receiver, or mid-download. The
        time counts from the kernel's disconnect to kelvane-cli's exit, both on the kernel's
        clock; the emulated USB controller's own delay before it is printed beside it."""
        rx = self.receiver("usb", "accept") if mid_transfer else None
        self.guest.sh(f"""rm -f /tmp/pull.*
(kelvane-cli --timeout 30 --port {self.usb} download {SAMPLE} > /tmp/pull.out 2>&1
 echo $? > /tmp/pull.status; echo "kelvane-cli ended" > /dev/kmsg) &""")
        if mid_transfer:  # some blocks through first
            self.guest.sh("for i in $(seq 100); do grep -q '[1-9][0-9]k/' /tmp/pull.out && break; "
                          "sleep 0.1; done")
        else:
            time.sleep(2)
        try:
            self.guest.sh('echo "unplugging" > /dev/kmsg')
            self.qmp.cmd("device_del", id="ftdi")
            _, out = self.guest.sh(
                "for i in $(seq 100); do [ -s /tmp/pull.status ] && break; sleep 0.1; done; "
                "cat /tmp/pull.status; dmesg | grep -e unplugging -e 'USB disconnect' "
                "-e 'kelvane-cli ended' | tail -3; cat /tmp/pull.out")
        finally:
            self.qmp.wait_event("DEVICE_DELETED", "ftdi", 10)
            if rx:
                rx.stop()
        status = out.split("\n", 1)[0].strip()
        expect(status, f"kelvane-cli did not end within 10 s of the unplug: {out}")
        expect(status == "2", f"status {status}, not 2: {out.strip()}")
        times = {}
        for stamp, event in re.findall(r"^\[\s*([\d.]+)\] (unplugging|usb .*USB disconnect|"
                                       r"kelvane-cli ended)", out, re.M):
            times[event.split()[-1]] = float(stamp)
        expect(set(times) == {"unplugging", "disconnect", "ended"}, f"kernel log: {out}")
        seconds = times["ended"] - times["disconnect"]
        text = out.split("\n", 1)[1]
        expect("lost" in text, f"no message of the lost line: {text.strip()}")
        expect(seconds <= GONE_WITHIN, f"ended {seconds:.2f} s after the kernel's disconnect")
        got = f", got to {last_progress(text)}" if mid_transfer else ""
        return (f"status 2 {seconds:.2f} s after the disconnect (the emulator took "
                f"{times['disconnect'] - times['unplugging']:.2f} s to disconnect){got}: "
                f"{message(text, 'lost')}")

    def assignment_survives_replug(self):
        """COM3 assigned by the stable path in [Ports] follows the adapter to a new ttyUSB."""
        self.guest.sh(f"mkdir -p /home/tech/.config/Kelvane && printf '[Ports]\\nCOM3={BY_ID}\\n' "
                      "> /home/tech/.config/Kelvane/Kelvane.ini && chown -R tech /home/tech")
        # The old node held open keeps its number taken: the adapter comes back as another.
        self.guest.sh(f"sleep 300 < {self.usb} > /dev/null 2>&1 & echo $! > /tmp/keep.pid")
        before = self.usb
        self.unplug()
        after = self.replug()
        try:
            expect(after != before, f"came back as {after} again")
            _, listing = self.guest.sh(as_user("tech", "kelvane-cli ports"))
            com3 = next((l for l in listing.splitlines() if l.startswith("COM3:")), "")
            expect(BY_ID in com3 and os.path.basename(after) in com3, f"COM3 line: {com3!r}")
            moved = self.download("usb", port="COM3", user="tech")
        finally:
            self.guest.sh("kill $(cat /tmp/keep.pid)")
        return f"{before} -> {after}; {com3.split(';')[0]}; --port COM3: {moved}"

    def run(self):
        """False when the guest did not boot (nothing else was checked)."""
        if not self.check("guest boots (Debian kernel, TCG)", self.boot):
            for log in ("kernel.log", "qemu.log"):
                path = os.path.join(self.options.run, log)
                if os.path.exists(path):
                    tail = open(path, errors="replace").readlines()[-15:]
                    print(f"--- last lines of {log}:\n" + "".join(tail), end="", flush=True)
            return False
        self.check("ports lists the adapter and the two 16550s", self.ports_text)
        self.check("ports --json", self.ports_json)
        self.low_latency_and_usb_download()
        self.check(f"download over {self.ports['isa']} (16550 on ISA, 8250)",
                   lambda: self.download("isa"))
        self.check(f"download over {self.ports['pci']} (16550 on PCI, 8250_pci) as a dialout "
                   "member", lambda: self.download("pci", user="tech"))
        for label in ("usb", "isa", "pci"):
            self.check(f"upload over {self.ports[label]}", lambda: self.upload(label))
        self.check("refused for a user outside dialout, with the advice", self.refused)
        self.check("busy port names the program holding it", self.busy)
        self.check("adapter pulled while waiting for the receiver", lambda: self.pulled(False))
        if not self.check("plugged back: same by-id path", self.replug):
            return
        self.check("adapter pulled mid-download", lambda: self.pulled(True))
        if not self.check("plugged back again", self.replug):
            return
        self.check("--port by the stable path", lambda: self.download("usb", port=BY_ID))
        self.check("--port auto", lambda: self.download("usb", port="auto"))
        self.check("[Ports] assignment by stable path survives a replug",
                   self.assignment_survives_replug)
        return True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--run", required=True)
    parser.add_argument("--guest", required=True)
    options = parser.parse_args()
    run = Run(options)

    def stopped(*_):
        print("FAIL the run ended by a signal (time limit)", flush=True)
        run.failed += 1
        sys.exit(1)
    signal.signal(signal.SIGTERM, stopped)
    booted = True
    try:
        booted = run.run()
    finally:
        Receiver.stop_all()
        print(f"{run.passed} passed, {run.failed} failed", flush=True)
    # 3: the guest did not boot, which run.sh tries once more.
    return 3 if not booted else 0 if run.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
