#!/usr/bin/env python3
"""Measures download speed and server CPU time of Corvane against tftpd-hpa with atftp on loopback.

Usage: bench.py --exe Corvane.exe --native corvane-serve --wineprefix DIR [--rounds N] [--mib N]

Every server serves the same file from the same directory: Corvane.exe under Wine and the native
runner (both on UDP port 6051, so they take turns) and in.tftpd on 127.0.0.1:6970. Each round
downloads the file once per server and block size (1428 negotiated, 512 without options), in an
order that rotates from round to round. Speeds and CPU times are reported, never judged."""

import argparse
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HOST = "127.0.0.1"
CORVANE_PORT = 6051
TFTPD_PORT = 6970
WINE = "/usr/lib/wine/wine64"
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
LISTENING = re.compile(rb"TFTP: 'Listening' on port 6051")
BLOCK_SIZES = (1428, 512)


def cpu_seconds(pid):
    """User plus system time of a process, all its threads, from /proc."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # fields[0] is the state (field 3 of the file); utime and stime are fields 14 and 15
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def child_pids(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return f.read().split()
    except OSError:
        return []


def wineserver_pid(prefix):
    """The Wine server of the given prefix, found by the WINEPREFIX in its environment."""
    wanted = ("WINEPREFIX=" + os.path.abspath(prefix)).encode()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                if b"wineserver" not in f.read().split(b"\0")[0]:
                    continue
            with open("/proc/%s/environ" % entry, "rb") as f:
                if wanted in f.read().split(b"\0"):
                    return int(entry)
        except OSError:
            continue
    return None


class Served:
    """One server process over the benchmark directory."""

    name = ""
    port = CORVANE_PORT

    def __init__(self, directory):
        self.directory = directory
        self.process = None

    def cpu(self):
        return cpu_seconds(self.process.pid)

    def extra_cpu(self):
        return 0.0

    def stop(self):
        if self.process is not None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(10)
            self.process = None


class CorvaneServed(Served):
    """corvane-serve or Corvane.exe: started, then awaited until its listening line appears."""

    def __init__(self, directory, command, env):
        super().__init__(directory)
        self.command = command
        self.env = env

    def start(self):
        trace = os.path.join(self.directory, "trace-%s.txt" % self.name.split()[0])
        with open(trace, "wb") as out:
            self.process = subprocess.Popen(self.command, cwd=self.directory, env=self.env,
                                            stdin=subprocess.DEVNULL, stdout=out,
                                            stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            with open(trace, "rb") as f:
                if LISTENING.search(f.read()):
                    return
            if self.process.poll() is not None:
                break
            time.sleep(0.05)
        self.stop()
        raise RuntimeError("%s did not start listening (see %s)" % (self.name, trace))


class NativeServed(CorvaneServed):
    name = "corvane-serve (native)"

    def __init__(self, directory, binary):
        target = os.path.join(directory, "corvane-serve")
        shutil.copy2(binary, target)
        super().__init__(directory, [target], dict(os.environ))


class WineServed(CorvaneServed):
    name = "Corvane.exe (Wine)"

    def __init__(self, directory, exe, prefix):
        self.target = os.path.join(directory, "Corvane.exe")
        shutil.copy2(exe, self.target)
        env = dict(os.environ, WINEPREFIX=os.path.abspath(prefix), WINEDEBUG="-all",
                   WINEDLLOVERRIDES="mscoree,mshtml=")
        super().__init__(directory, [WINE, self.target], env)
        self.prefix = prefix
        self.wineserver = None

    def switch(self, name):
        return self.run_windows(self.target, name)

    def run_windows(self, *command):
        return subprocess.run([WINE, *command], env=self.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=120).returncode

    def start(self):
        rc = self.switch("/RegServer")
        if rc != 0:
            raise RuntimeError("Corvane.exe /RegServer ended with exit code %d" % rc)
        super().start()
        self.wineserver = wineserver_pid(self.prefix)

    def extra_cpu(self):
        return cpu_seconds(self.wineserver) if self.wineserver else 0.0

    def stop(self):
        was_running = self.process is not None
        if was_running:
            # TerminateProcess, as on Windows: a Unix signal to the program can leave the Wine
            # server holding its socket, and with it port 6051.
            self.run_windows("taskkill", "/F", "/IM", "Corvane.exe")
        super().stop()
        if was_running:
            self.switch("/UnregServer")


class TftpdServed(Served):
    """tftpd-hpa's in.tftpd in the foreground on its own port; a child process serves each request."""

    name = "in.tftpd (tftpd-hpa)"
    port = TFTPD_PORT

    def start(self):
        self.process = subprocess.Popen(
            ["in.tftpd", "--foreground", "--address", "%s:%d" % (HOST, TFTPD_PORT), "--user", "root",
             "--secure", self.directory],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.5)
        if self.process.poll() is not None:
            raise RuntimeError("in.tftpd ended at once with status %d" % self.process.returncode)



class ChildCpuSampler(threading.Thread):
    """Samples the CPU time of a server's child processes every few milliseconds while a download
    runs. in.tftpd ignores SIGCHLD, so its children are reaped without their time ever reaching
    the listener's accounts; the last sample of a child falls within 10 ms of its end."""

    def __init__(self, parent):
        super().__init__(daemon=True)
        self.parent = parent
        self.seen = {}
        self.done = threading.Event()

    def run(self):
        while not self.done.wait(0.01):
            self.sample()

    def sample(self):
        for child in child_pids(self.parent):
            try:
                self.seen[child] = cpu_seconds(int(child))
            except OSError:
                pass

    def finish(self):
        """Waits (boundedly) for the children to end, stops sampling; returns their CPU seconds."""
        deadline = time.monotonic() + 10
        while child_pids(self.parent) and time.monotonic() < deadline:
            time.sleep(0.005)
        self.done.set()
        self.join()
        return sum(self.seen.values())


def download(server, block_size, out_path, expected_size):
    """One atftp download; returns (seconds, server CPU seconds, Wine server CPU seconds)."""
    if os.path.exists(out_path):
        os.remove(out_path)
    command = ["atftp", "--get", "-r", "bench.bin", "-l", out_path, HOST, str(server.port)]
    if block_size != 512:
        command[1:1] = ["--option", "blksize %d" % block_size]
    sampler = ChildCpuSampler(server.process.pid)
    cpu_before, extra_before = server.cpu(), server.extra_cpu()
    sampler.start()
    started = time.perf_counter()
    result = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, timeout=600)
    elapsed = time.perf_counter() - started
    children = sampler.finish()
    cpu = server.cpu() - cpu_before + children
    extra = server.extra_cpu() - extra_before
    if result.returncode != 0 or os.path.getsize(out_path) != expected_size:
        raise RuntimeError("atftp from %s (blksize %d) failed: %s"
                           % (server.name, block_size, result.stderr.decode(errors="replace")))
    return elapsed, cpu, extra


def same_content(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(1 << 20), fb.read(1 << 20)
            if x != y:
                return False
            if not x:
                return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--exe", required=True, help="Corvane.exe of the win64 build")
    parser.add_argument("--native", required=True, help="corvane-serve of a build without sanitizers")
    parser.add_argument("--wineprefix", required=True, help="Wine prefix to run Corvane.exe in")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--mib", type=int, default=64, help="size of the downloaded file in MiB")
    args = parser.parse_args()

    size = args.mib << 20
    work = tempfile.mkdtemp(prefix="corvane-bench-")
    served_dir = os.path.join(work, "boot")
    os.makedirs(served_dir)
    source = os.path.join(served_dir, "bench.bin")
    with open(source, "wb") as f:
        for _ in range(args.mib):
            f.write(os.urandom(1 << 20))
    out_path = os.path.join(work, "fetched.bin")

    tftpd = TftpdServed(served_dir)
    servers = [WineServed(served_dir, args.exe, args.wineprefix), NativeServed(served_dir, args.native),
               tftpd]
    results = {(s.name, b): [] for s in servers for b in BLOCK_SIZES}
    try:
        tftpd.start()
        for round_index in range(args.rounds):
            order = servers[round_index % 3:] + servers[:round_index % 3]
            for server in order:
                if server is not tftpd:
                    server.start()
                try:
                    for block_size in BLOCK_SIZES:
                        elapsed, cpu, extra = download(server, block_size, out_path, size)
                        if round_index == 0 and not same_content(source, out_path):
                            raise RuntimeError("%s sent different bytes" % server.name)
                        results[(server.name, block_size)].append((elapsed, cpu, extra))
                        print("round %d  %-24s blksize %4d  %7.2f MiB/s  cpu %6.2f s  wineserver %6.2f s"
                              % (round_index + 1, server.name, block_size, args.mib / elapsed, cpu, extra),
                              flush=True)
                finally:
                    if server is not tftpd:
                        server.stop()
    finally:
        for server in servers:
            server.stop()
        shutil.rmtree(work, ignore_errors=True)

    scale = 64.0 / args.mib  # CPU seconds are reported per 64 MiB
    print()
    print("atftp downloads of a %d MiB file over loopback, %d rounds, medians" % (args.mib, args.rounds))
    print("%-24s %7s %9s %13s %14s %9s %9s" % ("server", "blksize", "MiB/s", "CPU s/64MiB",
                                               "+wineserver s", "speed/tftpd", "CPU/tftpd"))
    for block_size in BLOCK_SIZES:
        base = results[(tftpd.name, block_size)]
        base_speed = statistics.median(args.mib / r[0] for r in base)
        base_cpu = statistics.median(r[1] for r in base) * scale
        for server in servers:
            runs = results[(server.name, block_size)]
            speed = statistics.median(args.mib / r[0] for r in runs)
            cpu = statistics.median(r[1] for r in runs) * scale
            extra = statistics.median(r[2] for r in runs) * scale
            print("%-24s %7d %9.2f %13.2f %14s %11.2f %9s"
                  % (server.name, block_size, speed, cpu, "%.2f" % extra if isinstance(server, WineServed)
                     else "-", speed / base_speed, "%.2f" % (cpu / base_cpu) if base_cpu > 0 else "-"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
