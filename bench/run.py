#!/usr/bin/env python3
"""Transfer benchmarks of kelvane-cli against the receiver emulator over a pseudo-terminal.

Paced (the emulator no faster than a 115200 8N1 line): efficiency = ideal line time / wall
time, and the CPU time of kelvane-cli / wall time. Unpaced: throughput over the
pseudo-terminal. Also the SDX conversion rate from sdx_bench. Prints one table.

  bench/run.sh [--build DIR] [--quick] [--size BYTES] [--strict]

--quick uses a small image and runs in seconds (a smoke run for CI); --strict exits 1 when
a target is missed.
"""

import argparse
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

LINE_BYTES_PER_SECOND = 11520.0  # 115200 baud, 10 bits a byte
ACK_PAUSE_SECONDS = 0.001        # the upload's pause before each block's acknowledge
HEADER = 64

TARGET_EFFICIENCY = 97.0  # percent
TARGET_CPU = 5.0          # percent of one core
TARGET_UNPACED = 20.0     # times the line rate


def make_image(path, size, seed=7):
    """A plain program image of size bytes: a valid header, then pseudo-random data."""
    rnd = random.Random(seed)
    data_len = size - HEADER
    header = bytearray(HEADER)
    header[0:4] = b"\x55\xAA\x55\xAA"
    header[4:6] = b"\x00\x01"
    header[12:16] = data_len.to_bytes(4, "big")
    header[16:20] = b"\x00\x00\x01\x05"
    header[20:24] = b"\x00\x02\x0A\x03"
    header[26:28] = b"\x12\x05"
    header[32:45] = b"BENCH RECEIVR"
    with open(path, "wb") as f:
        f.write(header)
        f.write(rnd.randbytes(data_len))


def receiver_summary(text):
    m = re.search(r"(\w+) (ok|FAILED): sent (\d+) bytes, received (\d+) bytes, (\d+) blocks", text)
    if not m:
        return None
    return {"ok": m.group(2) == "ok", "sent": int(m.group(3)), "received": int(m.group(4)),
            "blocks": int(m.group(5))}


def run_transfer(bins, receiver_args, cli_args, env):
    """One transfer: returns wall seconds, CPU seconds of kelvane-cli, the emulator's summary."""
    rx = subprocess.Popen([bins["receiver"], "--timeout", "30"] + receiver_args,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    pty = rx.stdout.readline().strip()
    if not pty:
        rx.kill()
        raise RuntimeError("the emulator did not start: " + rx.stderr.read())
    start = time.monotonic()
    cli = subprocess.Popen([bins["cli"], "--quiet", "--port", pty] + cli_args,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    _, status, usage = os.wait4(cli.pid, 0)
    wall = time.monotonic() - start
    cli.returncode = os.waitstatus_to_exitcode(status)
    out, err = cli.communicate()
    rx_out, rx_err = rx.communicate(timeout=60)
    if cli.returncode != 0:
        raise RuntimeError("kelvane-cli %s exited %d: %s" % (" ".join(cli_args), cli.returncode,
                                                            (out + err).decode(errors="replace")))
    summary = receiver_summary(rx_out)
    if not summary or not summary["ok"]:
        raise RuntimeError("the emulator reported: " + rx_out + rx_err)
    return wall, usage.ru_utime + usage.ru_stime, summary


def ideal_seconds(summary, upload):
    """Every byte of both directions, one after the other as stop-and-wait runs, at the line
    rate; the upload adds its own pause before each acknowledge."""
    t = (summary["sent"] + summary["received"]) / LINE_BYTES_PER_SECOND
    if upload:
        t += summary["blocks"] * ACK_PAUSE_SECONDS
    return t


def sdx_rate(bins, work):
    if not bins.get("sdx_bench"):
        return None
    out = subprocess.run([bins["sdx_bench"], "--benchmark_format=json", "--benchmark_min_time=0.2"],
                         capture_output=True, text=True, cwd=work)
    if out.returncode != 0:
        raise RuntimeError("sdx_bench failed: " + out.stderr)
    rates = [b.get("bytes_per_second") for b in json.loads(out.stdout)["benchmarks"]]
    rates = [r for r in rates if r]
    return max(rates) / 1e6 if rates else None


def machine():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return "%s, %d cores" % (model, os.cpu_count() or 0)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(here, "..", "build"), help="build directory")
    ap.add_argument("--quick", action="store_true", help="small image, a smoke run of seconds")
    ap.add_argument("--size", type=int, help="image size in bytes (default 2 MiB, 32 KiB with --quick)")
    ap.add_argument("--strict", action="store_true", help="exit 1 when a target is missed")
    args = ap.parse_args()

    build = os.path.abspath(args.build)
    bins = {"cli": os.path.join(build, "cli", "kelvane-cli"),
            "receiver": os.path.join(build, "receiver", "kelvane-receiver"),
            "sdx_bench": os.path.join(build, "bench", "sdx_bench")}
    for key in ("cli", "receiver"):
        if not os.access(bins[key], os.X_OK):
            print("bench: %s not built (looked in %s)" % (os.path.basename(bins[key]), build), file=sys.stderr)
            return 2
    if not os.access(bins["sdx_bench"], os.X_OK):
        bins["sdx_bench"] = None

    size = args.size or (32 * 1024 if args.quick else 2 * 1024 * 1024)
    work = tempfile.mkdtemp(prefix="kelvane-bench-")
    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(work, "config"), QT_QPA_PLATFORM="offscreen")
    rows = []
    missed = []

    def row(name, value, unit, target=None, meets=None):
        mark = "" if meets is None else ("ok" if meets else "MISSED")
        if meets is False:
            missed.append(name)
        rows.append((name, value, unit, target or "", mark))

    try:
        image = os.path.join(work, "image.bin")
        make_image(image, size)
        saved = os.path.join(work, "saved.bin")
        upload = os.path.join(work, "upload.bin")
        data = size - HEADER

        # Each direction: the emulator's command, the CLI's, and the file that must come out
        # equal to the image.
        directions = [
            ("download", ["accept", "--save", saved, "--length", str(data)], ["download", image], saved, False),
            ("upload", ["serve", image], ["--force", "upload", upload], upload, True),
        ]
        for paced in (True, False):
            pace = ["--pace"] if paced else []
            for name, rx_args, cli_args, result, is_upload in directions:
                wall, cpu, s = run_transfer(bins, pace + rx_args, cli_args, env)
                got = open(result, "rb").read()
                # An uploaded file ends with the filler of its last block.
                if (got[:size] if is_upload else got) != open(image, "rb").read():
                    raise RuntimeError("%s: what crossed the line differs from the image" % name)
                if paced:
                    eff = 100.0 * ideal_seconds(s, is_upload) / wall
                    row("%s efficiency, paced" % name, "%.1f" % eff, "%", ">= %g %%" % TARGET_EFFICIENCY,
                        eff >= TARGET_EFFICIENCY)
                    row("%s CPU, paced" % name, "%.2f" % (100.0 * cpu / wall), "% core",
                        "<= %g %%" % TARGET_CPU, 100.0 * cpu / wall <= TARGET_CPU)
                    row("%s wall time, paced" % name, "%.1f" % wall, "s")
                else:
                    rate = size / wall
                    row("%s unpaced" % name, "%.3f" % (rate / 1e6), "MB/s",
                        ">= %.3f MB/s (20x line)" % (TARGET_UNPACED * LINE_BYTES_PER_SECOND / 1e6),
                        rate >= TARGET_UNPACED * LINE_BYTES_PER_SECOND)

        sdx = sdx_rate(bins, work)
        row("SDX conversion", "%.1f" % sdx if sdx else "n/a", "MB/s" if sdx else "")
    except (RuntimeError, subprocess.TimeoutExpired) as e:
        print("bench: %s" % e, file=sys.stderr)
        return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print("Kelvane transfer benchmarks: image %d bytes%s; %s; %s" %
          (size, " (quick)" if args.quick else "", machine(), time.strftime("%Y-%m-%d")))
    width = max(len(r[0]) for r in rows)
    for name, value, unit, target, mark in rows:
        print("  %-*s  %10s %-7s %-26s %s" % (width, name, value, unit, target, mark))
    if args.quick and missed:
        print("  (a quick run is dominated by start-up; targets apply to the full run)")
    return 1 if (args.strict and missed) else 0


if __name__ == "__main__":
    sys.exit(main())
