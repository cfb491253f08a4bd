#!/usr/bin/env python3
"""Measures Corvane against tftpd-hpa on loopback: concurrent atftp downloads, and a duplicating path.

Usage: bench.py --exe Corvane.exe --native corvane-serve --wineprefix DIR [--rounds N] [--mib N]
                [--old-native OLD-corvane-serve] [--dup-mib N]

Concurrent downloads: 1, 4 and 16 atftp clients at once, each fetching a file of its own (--mib MiB),
with blksize 1428 and with 512-byte blocks (no options), from Corvane.exe under Wine, the native runner
(both on UDP port 6051, so they take turns) and in.tftpd (on 127.0.0.1:6970, a process per client).
Each case prints the aggregate MiB/s, the server's CPU seconds and the ratios to in.tftpd measured in
the same round; every fetched file is compared with its original in the first round.

Duplicating path: tftp-hpa's client, which acknowledges every DATA it receives, duplicates included,
fetches one file through a UDP relay on 127.0.0.1:6971 that sends 5 % of the datagrams in each
direction twice; it reports the DATA datagrams that the server sent per block of the file, for the
native runner and, with --old-native, for an earlier build of it. Speeds are reported, never judged."""

import argparse
import os
import random
import re
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HOST = "127.0.0.1"
CORVANE_PORT = 6051
TFTPD_PORT = 6970
RELAY_PORT = 6971
WINE = "/usr/lib/wine/wine64"
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
LISTENING = re.compile(rb"TFTP: 'Listening' on port 6051")
BLOCK_SIZES = (1428, 512)
CLIENT_COUNTS = (1, 4, 16)


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

    def __init__(self, directory, binary, name=None):
        target = os.path.join(directory, os.path.basename(binary) if name is None else "corvane-serve-old")
        shutil.copy2(binary, target)
        super().__init__(directory, [target], dict(os.environ))
        if name is not None:
            self.name = name


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
    """Samples the CPU time of a server's child processes every few milliseconds while downloads
    run. in.tftpd ignores SIGCHLD, so its children are reaped without their time ever reaching
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


def fetch_at_once(server, block_size, names, out_dir):
    """atftp fetches every named file at once; returns (seconds, server CPU s, Wine server CPU s)."""
    outs = [os.path.join(out_dir, name) for name in names]
    for out in outs:
        if os.path.exists(out):
            os.remove(out)
    commands = [["atftp", "--get", "-r", name, "-l", out, HOST, str(server.port)] for name, out in zip(names, outs)]
    if block_size != 512:
        for command in commands:
            command[1:1] = ["--option", "blksize %d" % block_size]
    sampler = ChildCpuSampler(server.process.pid)
    cpu_before, extra_before = server.cpu(), server.extra_cpu()
    sampler.start()
    started = time.perf_counter()
    clients = [subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE) for command in commands]
    failures = []
    for client in clients:
        try:
            _, err = client.communicate(timeout=600)
        except subprocess.TimeoutExpired:
            client.kill()
            _, err = client.communicate()
        if client.returncode != 0:
            failures.append(err.decode(errors="replace").strip())
    elapsed = time.perf_counter() - started
    children = sampler.finish()
    cpu = server.cpu() - cpu_before + children
    extra = server.extra_cpu() - extra_before
    if failures:
        raise RuntimeError("%d of %d atftp clients failed against %s (blksize %d): %s"
                           % (len(failures), len(clients), server.name, block_size, failures[0]))
    return elapsed, cpu, extra, outs


def same_content(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(1 << 20), fb.read(1 << 20)
            if x != y:
                return False
            if not x:
                return True


class DuplicatingRelay(threading.Thread):
    """Relays one client's datagrams between 127.0.0.1:RELAY_PORT and a server, sending each datagram,
    in either direction, twice with the given probability; counts the DATA datagrams the server sent."""

    def __init__(self, server_port, probability, seed):
        super().__init__(daemon=True)
        self.server = (HOST, server_port)
        self.probability = probability
        self.random = random.Random(seed)
        self.front = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.front.bind((HOST, RELAY_PORT))
        self.back = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.back.bind((HOST, 0))
        self.client = None
        self.data_sent = 0
        self.done = threading.Event()

    def copies(self):
        return 2 if self.random.random() < self.probability else 1

    def run(self):
        while not self.done.is_set():
            ready, _, _ = select.select([self.front, self.back], [], [], 0.1)
            for sock in ready:
                datagram, sender = sock.recvfrom(4096)
                if sock is self.front:
                    self.client = sender
                    for _ in range(self.copies()):
                        self.back.sendto(datagram, self.server)
                elif self.client is not None:
                    self.server = sender  # in.tftpd answers from a port of its transfer's own
                    self.data_sent += datagram[:2] == b"\0\3"
                    for _ in range(self.copies()):
                        self.front.sendto(datagram, self.client)

    def finish(self):
        self.done.set()
        self.join()
        self.front.close()
        self.back.close()


def fetch_duplicated(server, name, size, out_path):
    """tftp-hpa's client fetches a file through the duplicating relay; returns (seconds, DATA per block)."""
    relay = DuplicatingRelay(server.port, 0.05, 5)
    relay.start()
    if os.path.exists(out_path):
        os.remove(out_path)
    started = time.perf_counter()
    try:
        result = subprocess.run(["tftp", "-m", "binary", HOST, str(RELAY_PORT), "-c", "get", name, out_path],
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=300)
    finally:
        elapsed = time.perf_counter() - started
        relay.finish()
    if result.returncode != 0 or os.path.getsize(out_path) != size:
        raise RuntimeError("tftp through the relay from %s failed: %s"
                           % (server.name, (result.stdout + result.stderr).decode(errors="replace")))
    return elapsed, relay.data_sent / (size // 512 + 1)


def write_random(path, mib):
    with open(path, "wb") as f:
        for _ in range(mib):
            f.write(os.urandom(1 << 20))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--exe", required=True, help="Corvane.exe of the win64 build")
    parser.add_argument("--native", required=True, help="corvane-serve of a build without sanitizers")
    parser.add_argument("--wineprefix", required=True, help="Wine prefix to run Corvane.exe in")
    parser.add_argument("--old-native", help="corvane-serve of an earlier build, for the duplicating path")
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--mib", type=int, default=16, help="size of each client's file in MiB")
    parser.add_argument("--dup-mib", type=int, default=1, help="size of the file fetched through the relay")
    args = parser.parse_args()

    size = args.mib << 20
    work = tempfile.mkdtemp(prefix="corvane-bench-")
    served_dir = os.path.join(work, "boot")
    out_dir = os.path.join(work, "fetched")
    os.makedirs(served_dir)
    os.makedirs(out_dir)
    names = ["bench%02d.bin" % i for i in range(max(CLIENT_COUNTS))]
    for name in names:
        write_random(os.path.join(served_dir, name), args.mib)
    write_random(os.path.join(served_dir, "dup.bin"), args.dup_mib)

    tftpd = TftpdServed(served_dir)
    servers = [WineServed(served_dir, args.exe, args.wineprefix), NativeServed(served_dir, args.native), tftpd]
    results = {}
    duplicated = []
    try:
        tftpd.start()
        for round_index in range(args.rounds):
            order = servers[round_index % 3:] + servers[:round_index % 3]
            for server in order:
                if server is not tftpd:
                    server.start()
                try:
                    for block_size in BLOCK_SIZES:
                        for count in CLIENT_COUNTS:
                            elapsed, cpu, extra, outs = fetch_at_once(server, block_size, names[:count], out_dir)
                            if round_index == 0:
                                for name, out in zip(names, outs):
                                    if not same_content(os.path.join(served_dir, name), out):
                                        raise RuntimeError("%s sent %s wrong" % (server.name, name))
                            results.setdefault((server.name, block_size, count), []).append((elapsed, cpu, extra))
                            print("round %d  %-24s blksize %4d  %2d clients  %8.2f MiB/s  cpu %6.2f s  wineserver %6.2f s"
                                  % (round_index + 1, server.name, block_size, count, count * args.mib / elapsed,
                                     cpu, extra), flush=True)
                finally:
                    if server is not tftpd:
                        server.stop()
        dup_servers = [NativeServed(served_dir, args.native), tftpd]
        if args.old_native:
            dup_servers.insert(0, NativeServed(served_dir, args.old_native, "corvane-serve (old)"))
        for server in dup_servers:
            if server is not tftpd:
                server.start()
            try:
                elapsed, per_block = fetch_duplicated(server, "dup.bin", args.dup_mib << 20,
                                                      os.path.join(out_dir, "dup.bin"))
                duplicated.append((server.name, elapsed, per_block))
                print("duplicating path  %-24s %7.2f s  %6.2f DATA datagrams per block" % (server.name, elapsed,
                                                                                            per_block), flush=True)
            finally:
                if server is not tftpd:
                    server.stop()
    finally:
        for server in servers:
            server.stop()
        shutil.rmtree(work, ignore_errors=True)

    print()
    print("Concurrent atftp downloads over loopback, %d MiB per client, %d round(s), medians; CPU/tftpd counts"
          % (args.mib, args.rounds))
    print("the Wine server's seconds with Corvane.exe's")
    print("%-24s %7s %7s %9s %7s %12s %11s %9s" % ("server", "blksize", "clients", "MiB/s", "CPU s",
                                                  "+wineserver", "speed/tftpd", "CPU/tftpd"))
    for block_size in BLOCK_SIZES:
        for count in CLIENT_COUNTS:
            base = results[(tftpd.name, block_size, count)]
            base_speed = statistics.median(count * args.mib / r[0] for r in base)
            base_cpu = statistics.median(r[1] for r in base)
            for server in servers:
                runs = results[(server.name, block_size, count)]
                speed = statistics.median(count * args.mib / r[0] for r in runs)
                cpu = statistics.median(r[1] for r in runs)
                extra = statistics.median(r[2] for r in runs)
                wine = isinstance(server, WineServed)
                print("%-24s %7d %7d %9.2f %7.2f %12s %11.2f %9s"
                      % (server.name, block_size, count, speed, cpu, "%.2f" % extra if wine else "-",
                         speed / base_speed, "%.2f" % ((cpu + extra) / base_cpu) if base_cpu > 0 else "-"))
    print()
    print("tftp-hpa through a path that sends 5 %% of the datagrams twice, a %d MiB file, 512-byte blocks"
          % args.dup_mib)
    for name, elapsed, per_block in duplicated:
        print("%-24s %7.2f s %7.2f DATA datagrams per block" % (name, elapsed, per_block))
    return 0


if __name__ == "__main__":
    sys.exit(main())
