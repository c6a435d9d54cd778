#!/usr/bin/env python3
"""Transfer benchmarks of kelvane-cli against the receiver emulator over pseudo-terminals.

Efficiency is payload bytes / wall time / the payload bound: a 115200 8N1 line carries
11 520 bytes/s, of which 1024 in every 1029-byte block are payload, in either direction,
so the bound is 11 520 x 1024/1029 = 11 464 bytes/s for downloads and uploads alike.
Nothing else (acknowledges, turn-arounds, pauses, start-up) is credited as ideal.

Sections (all by default; --section NAME, repeatable, runs only those):
  line     paced download and upload: efficiency over the whole run of kelvane-cli,
           min / median / max of --runs runs, and the CPU of kelvane-cli and of the
           paced emulator as a share of one core
  cycle    the block cycle of a paced download and upload on the PC side, from the
           timestamps of kelvane-cli --trace: a block's start to the next one's against the
           wire time of a block and its acknowledge, and how the median block's excess over
           it splits into kelvane-cli's answer and the rest (line and receiver)
  window   the window (kelvane) downloading and uploading on a paced line, started by
           KELVANE_BENCH_START under the offscreen platform: its CPU from the start of the
           transfer to its closing box, in % of one core
  unpaced  download and upload over an unpaced pseudo-terminal: throughput
  latency  efficiency at emulator reply delays of 0, 1, 4 and 16 ms (standing for a USB
           adapter's latency timer) against the stop-and-wait bound 89.3 / (89.3 + delay),
           measured over the exchange (from the first protocol byte to the last)
  scale    1, 8, 32 and 64 paced downloads at once by one kelvane-cli with as many --port,
           each against its own emulator: per-transfer efficiency (lowest / median) and
           the CPU of the command (its ports included) and of the emulators
  sdx      SDX conversion of a 64 MiB list by kelvane-cli sdx, the whole process, min /
           median / max of --runs; the list is in the page cache, the results go to the
           disk and are flushed there before the command ends. The flush of as many bytes
           alone is measured beside it and reported apart: it is the disk's cost, not the
           conversion's, and the goal is for the whole process less it. Each run converts
           into an empty folder; one more run replaces the results of the one before, and
           the time the file system takes to free the replaced files is shown apart (on a
           file system mounted with online discard it is large). sdx_bench's in-process
           figure follows when Google Benchmark was found.

  bench/run.sh [--build DIR] [--quick] [--section NAME] [--runs N] [--size BYTES] [--strict]

--quick is a smoke run of seconds (CI); --strict exits 1 when a target is missed.
"""

import argparse
import json
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

LINE_BYTES_PER_SECOND = 11520.0  # 115200 baud, 10 bits a byte
PAYLOAD_BOUND = LINE_BYTES_PER_SECOND * 1024 / 1029
BLOCK_MS = 1029 / LINE_BYTES_PER_SECOND * 1000  # 89.3 ms on the wire
WIRE_CYCLE_MS = 1030 / LINE_BYTES_PER_SECOND * 1000  # a block and its acknowledge: 89.41 ms
ACK = 0x10
HEADER = 64
KiB = 1024
SECTIONS = ("line", "cycle", "window", "unpaced", "latency", "scale", "sdx")

# Goals: (value the figure must reach or stay under, True when higher is better).
GOALS = {
    "download efficiency": (99.0, True),
    "upload efficiency": (99.5, True),
    "download CPU": (0.5, False),
    "upload CPU": (0.3, False),
    "emulator CPU": (2.0, False),
    "unpaced": (20 * LINE_BYTES_PER_SECOND / 1e6, True),
    "scale 32": (99.0, True),
    "scale 64": (99.0, True),
    "sdx": (900.0, True),
    "block cycle": (WIRE_CYCLE_MS + 0.3, False),
    "window CPU": (0.5, False),
    "scale 64 CPU": (8.0, False),
}
SDX_RECORD = 128


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


def make_sdx_list(path, size, seed=1):
    """An SDX list of size bytes: MPG2 records with repeats of the one before, DVB records between."""
    rnd = random.Random(seed)
    count = size // SDX_RECORD
    letters = bytes(65 + i % 26 for i in range(256))
    data = bytearray(rnd.randbytes(count * SDX_RECORD).translate(letters))
    last = None
    for at in range(0, count * SDX_RECORD, SDX_RECORD):
        pick = rnd.randrange(100)
        if pick < 25 and last:
            data[at:at + SDX_RECORD] = last
            continue
        mpg2 = pick >= 40
        fields = b"%s%06d   %c%s%05d" % (b"MPG2" if mpg2 else b"DVB ", 10700 + rnd.randrange(2000),
                                        48 + rnd.randrange(2) if mpg2 else 49, b" " * 26,
                                        rnd.choice((27500, 22000)) if mpg2 else 22000)
        data[at + 29:at + 74] = fields
        if mpg2:
            last = bytes(data[at:at + SDX_RECORD])
    with open(path, "wb") as f:
        f.write(data)


def flush_seconds(folder, sizes):
    """Seconds the disk takes to flush freshly written files of these sizes (the fsyncs alone)."""
    took = 0.0
    for i, size in enumerate(sizes):
        path = os.path.join(folder, "flush-%d.bin" % i)
        with open(path, "wb") as f:
            f.write(os.urandom(size))
            f.flush()
            began = time.monotonic()
            os.fsync(f.fileno())
            took += time.monotonic() - began
        os.remove(path)
    return took


def read_trace(path):
    """The transfer lines of a kelvane-cli trace: (seconds, "in" or "out", bytes)."""
    events = []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 3 and parts[1] in ("in", "out"):
                events.append((float(parts[0]), parts[1], bytes(int(h, 16) for h in parts[3:])))
    return events


def block_cycles(events, direction):
    """Per block of the steady state, in ms: (cycle, PC's part). The cycle runs from a block's
    start to the next one's: on a download from kelvane-cli's write of a block to its write of
    the next, on an upload from its acknowledge (10) to the next. The PC's part is the time
    kelvane-cli takes to answer: on a download from reading the receiver's 10 to writing the
    next block, on an upload from reading a block's last bytes to writing its 10. The rest of
    the cycle over the wire time is the line's and the receiver's."""
    starts, pcs = [], []
    if direction == "download":
        # The first write after an acknowledge starts the next block.
        sent, acked = None, None
        for t, way, data in events:
            if way == "out" and sent is None and len(data) > 1:
                sent = t
                starts.append(t)
                pcs.append(t - acked if acked is not None else None)
            elif way == "in" and sent is not None and ACK in data:
                acked, sent = t, None
    else:
        last = None
        for t, way, data in events:
            if way == "in":
                last = t
            elif way == "out" and data == bytes([ACK]) and last is not None:
                starts.append(t)
                pcs.append(t - last)
                last = None
    # The header's exchange is no block; the last block ends the exchange.
    return [(1000 * (starts[i + 1] - starts[i]), 1000 * pcs[i + 1]) for i in range(1, len(starts) - 1)]


def task_cpu_seconds(pid):
    """CPU time so far of all threads of a running process, from the scheduler's accounts."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
            total += int(f.read().split()[0])
    return total / 1e9


def cpu_seconds(usage):
    return usage.ru_utime + usage.ru_stime


def efficiency(payload, seconds):
    return 100.0 * payload / seconds / PAYLOAD_BOUND


def spread(values, fmt="%.1f"):
    """min / median / max of the values."""
    return " / ".join(fmt % v for v in (min(values), statistics.median(values), max(values)))


class Bench:
    def __init__(self, args):
        self.args = args
        build = os.path.abspath(args.build)
        self.cli = os.path.join(build, "cli", "kelvane-cli")
        self.receiver = os.path.join(build, "receiver", "kelvane-receiver")
        sdx = os.path.join(build, "bench", "sdx_bench")
        self.sdx_bench = sdx if os.access(sdx, os.X_OK) else None
        self.work = tempfile.mkdtemp(prefix="kelvane-bench-")
        self.env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(self.work, "config"), QT_QPA_PLATFORM="offscreen")
        self.images = {}
        self.missed = []
        self.lines = []

    # --- output -----------------------------------------------------------------------

    def say(self, text=""):
        self.lines.append(text)
        print(text, flush=True)

    def judge(self, goal, value):
        """"ok" or "MISSED" against a goal (informational in a quick run)."""
        target, higher = GOALS[goal]
        meets = value >= target if higher else value <= target
        if not meets and not self.args.quick:
            self.missed.append(goal)
        return ("%s %g" % (">=" if higher else "<=", target), "ok" if meets else "MISSED")

    # --- running ----------------------------------------------------------------------

    def image(self, size):
        if size not in self.images:
            path = os.path.join(self.work, "image-%d.bin" % size)
            make_image(path, size)
            self.images[size] = path
        return self.images[size]

    def start_receiver(self, args):
        rx = subprocess.Popen([self.receiver, "--timeout", "60"] + args, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, env=self.env)
        pty = rx.stdout.readline().strip()
        if not pty:
            rx.kill()
            raise RuntimeError("the emulator did not start: " + rx.stderr.read())
        return rx, pty

    def start_cli(self, pty, args, tag):
        log = open(os.path.join(self.work, "cli-%s.log" % tag), "w+b")
        return subprocess.Popen([self.cli, "--quiet", "--port", pty] + args, stdout=log, stderr=log, env=self.env), log

    def finish_receiver(self, rx):
        out = rx.stdout.read()
        err = rx.stderr.read()
        _, status, usage = os.wait4(rx.pid, 0)
        rx.returncode = os.waitstatus_to_exitcode(status)
        if rx.returncode != 0:
            raise RuntimeError("the emulator failed: " + out + err)
        return out, usage

    def transfer(self, direction, size, paced=True, extra=(), trace=None):
        """One transfer; returns a dict of wall, exchange seconds and CPU seconds of both sides."""
        image = self.image(size)
        result = os.path.join(self.work, "result.bin")
        if os.path.exists(result):
            os.remove(result)
        pace = ["--pace"] if paced else []
        if direction == "download":
            rx_args, cli_args = ["accept", "--save", result, "--length", str(size - HEADER)], ["download", image]
        else:
            rx_args, cli_args = ["serve", image], ["--force", "upload", result]
        if trace:
            cli_args = ["--trace", trace] + cli_args
        rx_started = time.monotonic()
        rx, pty = self.start_receiver(pace + list(extra) + rx_args)
        started = time.monotonic()
        cli, log = self.start_cli(pty, cli_args, direction)
        _, status, cli_usage = os.wait4(cli.pid, 0)
        wall = time.monotonic() - started
        cli.returncode = os.waitstatus_to_exitcode(status)
        rx_out, rx_usage = self.finish_receiver(rx)
        rx_wall = time.monotonic() - rx_started
        if cli.returncode != 0:
            log.seek(0)
            raise RuntimeError("kelvane-cli %s exited %d: %s" % (" ".join(cli_args), cli.returncode,
                                                                log.read().decode(errors="replace")))
        log.close()
        got = open(result, "rb").read()
        want = open(image, "rb").read()
        # An uploaded file ends with the filler of its last block.
        if (got[:size] if direction == "upload" else got) != want:
            raise RuntimeError("%s: what crossed the line differs from the image" % direction)
        m = re.search(r"([\d.]+) s from (08|the ready byte)", rx_out)
        return {"wall": wall, "exchange": float(m.group(1)) if m else wall, "cpu": cpu_seconds(cli_usage),
                "rx_cpu": cpu_seconds(rx_usage), "rx_wall": rx_wall}

    # --- sections ---------------------------------------------------------------------

    def section_line(self):
        size = self.args.size or (16 * KiB if self.args.quick else 1024 * KiB)
        runs = self.args.runs or (1 if self.args.quick else 3)
        self.say("Paced line (%d KiB image, %d runs each; min / median / max)" % (size // KiB, runs))
        self.say("  %-38s %-26s %-10s %s" % ("measure", "figure", "goal", ""))
        for direction in ("download", "upload"):
            rs = [self.transfer(direction, size) for _ in range(runs)]
            eff = [efficiency(size, r["wall"]) for r in rs]
            cpu = [100.0 * r["cpu"] / r["wall"] for r in rs]
            rx_cpu = [100.0 * r["rx_cpu"] / r["rx_wall"] for r in rs]
            self.row("%s efficiency, whole run" % direction, spread(eff) + " %", direction + " efficiency",
                     statistics.median(eff))
            self.row("%s efficiency, exchange only" % direction,
                     spread([efficiency(size, r["exchange"]) for r in rs]) + " %")
            self.row("%s CPU of kelvane-cli" % direction, spread(cpu, "%.2f") + " % core", direction + " CPU",
                     statistics.median(cpu))
            self.row("%s CPU time of kelvane-cli" % direction, spread([r["cpu"] for r in rs], "%.3f") + " s")
            self.row("%s CPU of the paced emulator" % direction, spread(rx_cpu, "%.2f") + " % core", "emulator CPU",
                     max(rx_cpu))
            self.row("%s wall time" % direction, spread([r["wall"] for r in rs]) + " s")

    def section_cycle(self):
        size = 16 * KiB if self.args.quick else 128 * KiB
        runs = self.args.runs or (1 if self.args.quick else 3)
        self.say("Block cycle on the paced line, PC side, from kelvane-cli --trace (%d KiB image, %d runs):"
                 % (size // KiB, runs))
        self.say("  a block's start to the next one's, over the wire time of a block and its acknowledge")
        self.say("  (%.2f ms); the mean of each run (min / median / max), then the median block's split of" % WIRE_CYCLE_MS)
        self.say("  what lies over the wire time: kelvane-cli's answer and the rest (line and receiver)")
        for direction in ("download", "upload"):
            means, rows = [], []
            for i in range(runs):
                trace = os.path.join(self.work, "trace-%s-%d.txt" % (direction, i))
                self.transfer(direction, size, trace=trace)
                got = block_cycles(read_trace(trace), direction)
                if not got:
                    raise RuntimeError("%s: no block cycles in the trace" % direction)
                means.append(statistics.mean(c for c, _ in got))
                rows += got
            self.row("%s block cycle" % direction, spread(means, "%.2f") + " ms", "block cycle",
                     statistics.median(means))
            cycle = statistics.median(c for c, _ in rows)
            pc = statistics.median(p for _, p in rows)
            self.row("  median block", "%.2f ms = %.2f + %.3f + %.3f" % (cycle, WIRE_CYCLE_MS, pc,
                                                                     cycle - WIRE_CYCLE_MS - pc))

    def section_window(self):
        size = 16 * KiB if self.args.quick else 256 * KiB
        runs = self.args.runs or (1 if self.args.quick else 3)
        window = os.path.join(os.path.dirname(self.cli), "..", "src", "kelvane")
        self.say("The window, paced (%d KiB image, %d runs each; CPU over the transfer, from its start to its"
                 % (size // KiB, runs))
        self.say("  box, min / median / max)")
        if not os.access(window, os.X_OK):
            self.say("  (kelvane not built)")
            return
        for direction in ("download", "upload"):
            cpu = [self.window_transfer(window, direction, size) for _ in range(runs)]
            self.row("%s CPU of the window" % direction, spread(cpu, "%.2f") + " % core", "window CPU",
                     statistics.median(cpu))

    def window_transfer(self, window, direction, size):
        """One transfer by the window, started by KELVANE_BENCH_START; its CPU in % of a core."""
        image = self.image(size)
        result = os.path.join(self.work, "window-result.bin")
        if os.path.exists(result):
            os.remove(result)
        if direction == "download":
            rx_args, start = ["accept", "--save", result, "--length", str(size - HEADER)], "download " + image
        else:
            rx_args, start = ["serve", image], "upload " + result
        rx, pty = self.start_receiver(["--pace"] + rx_args)
        config = os.path.join(self.work, "window-config")
        shutil.rmtree(config, ignore_errors=True)
        os.makedirs(os.path.join(config, "Kelvane"))
        with open(os.path.join(config, "Kelvane", "Kelvane.ini"), "w") as f:
            f.write("[Startup]\nComPort=1\n\n[Ports]\nCOM1=%s\n" % pty)
        env = dict(self.env, XDG_CONFIG_HOME=config, KELVANE_BENCH_START=start)
        win = subprocess.Popen([window], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env)
        said = []
        try:
            began = None
            for line in win.stderr:
                said.append(line)
                if line.startswith("bench: started"):
                    began = (time.monotonic(), task_cpu_seconds(win.pid))
                elif line.startswith("bench: ended"):
                    break
            ended = (time.monotonic(), task_cpu_seconds(win.pid))
        finally:
            win.terminate()
            try:
                win.wait(10)
            except subprocess.TimeoutExpired:
                win.kill()
                win.wait()
        self.finish_receiver(rx)
        box = "".join(said)
        if began is None or ("complete" not in box.lower() and "completed" not in box.lower()):
            raise RuntimeError("the window's %s did not complete: %s" % (direction, box[-2000:]))
        got = open(result, "rb").read()
        if got[:size] != open(self.image(size), "rb").read():
            raise RuntimeError("window %s: what crossed the line differs from the image" % direction)
        return 100.0 * (ended[1] - began[1]) / (ended[0] - began[0])

    def section_unpaced(self):
        size = 64 * KiB if self.args.quick else 2048 * KiB
        runs = self.args.runs or (1 if self.args.quick else 3)
        self.say("Unpaced pseudo-terminal (%d KiB image, %d runs each; min / median / max)" % (size // KiB, runs))
        for direction in ("download", "upload"):
            rates = [size / self.transfer(direction, size, paced=False)["wall"] / 1e6 for _ in range(runs)]
            self.row("%s throughput" % direction, spread(rates, "%.2f") + " MB/s", "unpaced", statistics.median(rates))

    def section_latency(self):
        size = 8 * KiB if self.args.quick else 64 * KiB
        runs = self.args.runs or (1 if self.args.quick else 3)
        delays = (0, 16) if self.args.quick else (0, 1, 4, 16)
        self.say("Reply delay (%d KiB image, %d runs each, efficiency over the exchange, min / median / max)"
                 % (size // KiB, runs))
        self.say("  %-8s %-10s %-24s %-24s" % ("delay", "bound", "download", "upload"))
        for delay in delays:
            figures = []
            for direction in ("download", "upload"):
                rs = [self.transfer(direction, size, extra=["--reply-delay", str(delay)]) for _ in range(runs)]
                figures.append(spread([efficiency(size, r["exchange"]) for r in rs]) + " %")
            bound = 100.0 * BLOCK_MS / (BLOCK_MS + delay)
            self.say("  %-8s %-10s %-24s %-24s" % ("%d ms" % delay, "%.1f %%" % bound, figures[0], figures[1]))

    def section_scale(self):
        size = 8 * KiB if self.args.quick else 256 * KiB
        levels = (1, 4) if self.args.quick else (1, 8, 32, 64)
        self.say("Scale: N paced downloads at once by one kelvane-cli with N --port, each against its own")
        self.say("  emulator (%d KiB image each). Efficiency per transfer over the exchange (08 to the final" % (size // KiB))
        self.say("  verdict); the whole run is the command's, which starts N transfers at once. CPU in % of one")
        self.say("  core: the command with whatever it runs for its ports, and the emulators summed")
        self.say("  %-4s %-22s %-12s %-14s %-14s %s" % ("N", "exchange low/median", "whole run",
                                                    "kelvane-cli", "emulators", ""))
        image = self.image(size)
        for n in levels:
            rxs = [self.start_receiver(["--pace", "accept"]) for _ in range(n)]
            ports = [a for _, pty in rxs for a in ("--port", pty)]
            log = open(os.path.join(self.work, "cli-scale-%d.log" % n), "w+b")
            began = time.monotonic()
            cli = subprocess.Popen([self.cli, "--quiet"] + ports + ["download", image], stdout=log, stderr=log,
                                   env=self.env)
            _, status, usage = os.wait4(cli.pid, 0)
            span = time.monotonic() - began
            if os.waitstatus_to_exitcode(status) != 0:
                log.seek(0)
                raise RuntimeError("the scale run of %d ports exited %d: %s" % (
                    n, os.waitstatus_to_exitcode(status), log.read().decode(errors="replace")[-2000:]))
            log.close()
            outs, rx_cpu = [], 0.0
            for rx, _ in rxs:
                out, rx_usage = self.finish_receiver(rx)
                outs.append(out)
                rx_cpu += cpu_seconds(rx_usage)
            exchanges = [float(m.group(1)) for o in outs for m in [re.search(r"([\d.]+) s from 08", o)] if m]
            if len(exchanges) != n:
                raise RuntimeError("scale %d: %d of the emulators saw a complete download" % (n, len(exchanges)))
            ex = sorted(efficiency(size, t) for t in exchanges)
            cli_cpu = 100.0 * cpu_seconds(usage) / span
            marks = []
            if "scale %d" % n in GOALS:
                goal, verdict = self.judge("scale %d" % n, ex[0])
                marks.append("lowest %s %%: %s" % (goal, verdict))
            if "scale %d CPU" % n in GOALS:
                goal, verdict = self.judge("scale %d CPU" % n, cli_cpu)
                marks.append("CPU %s %%: %s" % (goal, verdict))
            mark = ", ".join(marks)
            self.say("  %-4d %-22s %-12s %-14s %-14s %s" % (
                n, "%.1f / %.1f %%" % (ex[0], statistics.median(ex)), "%.1f %%" % efficiency(size, span),
                "%.1f %%" % cli_cpu, "%.1f %%" % (100.0 * rx_cpu / span), mark))

    def section_sdx(self):
        size = (4 if self.args.quick else 64) * KiB * KiB
        runs = self.args.runs or (1 if self.args.quick else 3)
        listing = os.path.join(self.work, "list.sdx")
        make_sdx_list(listing, size)

        def convert(out):
            began = time.monotonic()
            cli = subprocess.Popen([self.cli, "--quiet", "sdx", listing, out], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE, env=self.env)
            err = cli.stderr.read()
            _, status, usage = os.wait4(cli.pid, 0)
            wall = time.monotonic() - began
            if os.waitstatus_to_exitcode(status) != 0:
                raise RuntimeError("kelvane-cli sdx exited %d: %s" % (os.waitstatus_to_exitcode(status), err.decode()))
            flush = flush_seconds(self.work, [os.path.getsize(os.path.join(out, name))
                                              for name in ("satcodx.tm0", "satcodx.tm1")])
            return wall, cpu_seconds(usage), flush

        walls, cpus, flushes = [], [], []
        out = None
        for i in range(runs):
            # Into an empty folder; the one before goes first, outside the measure.
            if out:
                shutil.rmtree(out)
            out = os.path.join(self.work, "sdx-%d" % i)
            os.makedirs(out)
            wall, cpu, flush = convert(out)
            walls.append(wall)
            cpus.append(cpu)
            flushes.append(flush)
        # Once more into the last folder: the results of the run before are replaced.
        again = convert(out)
        self.say("SDX conversion (%d MiB list, %d runs; min / median / max)" % (size // KiB // KiB, runs))
        rates = [size / w / 1e6 for w in walls]
        net = [size / max(w - f, 1e-6) / 1e6 for w, f in zip(walls, flushes)]
        self.row("whole process, flush included", spread(rates, "%.0f") + " MB/s")
        self.row("flush of as many bytes alone", spread([1000.0 * f for f in flushes], "%.0f") + " ms")
        self.row("whole process less that flush", spread(net, "%.0f") + " MB/s", "sdx", statistics.median(net))
        self.row("CPU time of the process", spread([1000.0 * c for c in cpus], "%.0f") + " ms")
        self.row("replacing earlier results, less the flush", "%.0f MB/s" % (size / max(again[0] - again[2], 1e-6) / 1e6))
        if not self.sdx_bench:
            self.say("  (sdx_bench not built: Google Benchmark not found)")
            return
        done = subprocess.run([self.sdx_bench, "--benchmark_format=json", "--benchmark_min_time=0.2"],
                              capture_output=True, text=True, cwd=self.work)
        if done.returncode != 0:
            raise RuntimeError("sdx_bench failed: " + done.stderr)
        for b in json.loads(done.stdout)["benchmarks"]:
            if b.get("bytes_per_second"):
                flushed = "Unflushed" not in b["name"]
                self.row("in process (sdx_bench), %s" % ("flushed" if flushed else "without the flush"),
                         "%.0f MB/s" % (b["bytes_per_second"] / 1e6))

    def row(self, name, figure, goal=None, value=None):
        target, verdict = self.judge(goal, value) if goal else ("", "")
        self.say("  %-38s %-26s %-10s %s" % (name, figure, target, verdict))


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
    ap.add_argument("--quick", action="store_true", help="small images, one run: a smoke run of seconds")
    ap.add_argument("--section", action="append", choices=SECTIONS, help="run only this section (repeatable)")
    ap.add_argument("--runs", type=int, help="runs per figure (default 3, 1 with --quick)")
    ap.add_argument("--size", type=int, help="image size in bytes of the line section (default 1 MiB)")
    ap.add_argument("--strict", action="store_true", help="exit 1 when a goal is missed")
    args = ap.parse_args()

    bench = Bench(args)
    for binary in (bench.cli, bench.receiver):
        if not os.access(binary, os.X_OK):
            print("bench: %s not built (looked in %s)" % (os.path.basename(binary), os.path.abspath(args.build)),
                  file=sys.stderr)
            return 2
    began = time.monotonic()
    print("Kelvane transfer benchmarks%s; %s; %s" % (" (quick: small images, goals not enforced)" if args.quick else "",
                                                     machine(), time.strftime("%Y-%m-%d")), flush=True)
    try:
        for name in args.section or SECTIONS:
            getattr(bench, "section_" + name)()
    except (RuntimeError, subprocess.TimeoutExpired) as e:
        print("bench: %s" % e, file=sys.stderr)
        return 1
    finally:
        shutil.rmtree(bench.work, ignore_errors=True)
    print("(%.0f s)" % (time.monotonic() - began))
    if bench.missed:
        print("missed: " + ", ".join(bench.missed))
    return 1 if (args.strict and bench.missed) else 0


if __name__ == "__main__":
    sys.exit(main())
