#!/usr/bin/env python3
"""Measures Corvane on loopback against peers run in the same session; every figure is a ratio to a peer.

Usage: bench.py --exe Corvane.exe --native corvane-serve --wineprefix DIR --tools DIR [--quick]
                [--sections 123456] [--rounds N] [--mib N] [--delay-mib N] [--clients-mib N]

1. Lock-step, one atftp client, blksize 1428 and 512 (no option): the native runner against an ideal
   lock-step server (tools/ideal-server: one receive and one send per block, the file in memory), over IPv4
   (127.0.0.1) and IPv6 (::1, where the runner grants 1408 and the ideal server is asked for as much).
2. Windows: atftp with windowsize 4, 16 and 64 and in lock-step, from the native runner and from atftpd 0.8,
   on loopback and through tools/relay delaying every datagram by 0.5 ms each way, over IPv4 and IPv6 (blocks
   of 1408; atftpd reads an IPv6 socket on its standard input, as from inetd); the relay's own ceiling, in each
   family, is atftpd at windowsize 64 through it without delay.
3. 1, 4 and 16 atftp clients at once from Corvane.exe under Wine, the native runner and in.tftpd; CPU is
   cpuacct.usage of a cgroup per server (in.tftpd's children and Wine's server included).
4. Where the time of 4 lock-step clients goes: the server thread's busy share, its waits per block, the
   receive queue of port 6051, the clients' CPU and each client's round trip, against 1 client and in.tftpd.
5. DATA datagrams per block through a relay that sends 5 % of the datagrams twice, lock-step and windowed.
6. A forged sender on a shared network, against the native runner and in.tftpd in the same run: the bytes a
   server sends towards a silent forged source per byte it sent (a request without options, with blksize
   1428, with windowsize 64 and one blind ACK 0, and with blind ACK 0s every 110 ms for 10 s; each from a
   127.0.0.x of its own, all at once, 65 s, 20 s with --quick), and how long a newcomer waits to be served
   behind 64 requests with timeout 255 and during a flood of 10,000 requests a second from one address.
Speeds and amplifications are reported, never judged. Run it in a network namespace of its own (scripts/bench.sh does)."""

import argparse
import multiprocessing
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HOST, CORVANE_PORT, TFTPD_PORT, ATFTPD_PORT, IDEAL_PORT, RELAY_PORT = "127.0.0.1", 6051, 6970, 6972, 6973, 6971
HOST6, IDEAL6_PORT, ATFTPD6_PORT = "::1", 6974, 6975   # the IPv6 rows' peers; the runner answers both families on 6051
WINE = "/usr/lib/wine/wine64"
CGROUPS = "/sys/fs/cgroup/cpuacct"
LISTENING = re.compile(rb"TFTP: 'Listening' on port 6051")


class Cgroup:
    """A cpuacct cgroup of its own: processes moved in are counted with every child they fork."""

    def __init__(self, name):
        self.path = os.path.join(CGROUPS, "corvane-bench-%d-%s" % (os.getpid(), name))   # this run's own
        os.makedirs(self.path, exist_ok=True)

    def add(self, pid):
        with open(os.path.join(self.path, "cgroup.procs"), "w") as f:
            f.write(str(pid))

    def seconds(self):
        with open(os.path.join(self.path, "cpuacct.usage")) as f:
            return int(f.read()) / 1e9

    def kill(self):
        """Kills every process left in the cgroup (a forking server's children), by its id; True once none of
        them exists any more (a killed child leaves the cgroup at once, and /proc once it has been reaped)."""
        killed = set()
        for _ in range(200):
            with open(os.path.join(self.path, "cgroup.procs")) as f:
                pids = [int(pid) for pid in f.read().split()]
            for pid in pids:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            killed.update(pids)
            killed = {pid for pid in killed if os.path.exists("/proc/%d" % pid)}
            if not pids and not killed:
                return True
            time.sleep(0.05)
        return False

    def remove(self):
        for _ in range(50):
            with open(os.path.join(self.path, "cgroup.procs")) as f:
                pids = f.read().split()
            for pid in pids:
                try:
                    with open(os.path.join(CGROUPS, "cgroup.procs"), "w") as root:
                        root.write(pid)
                except OSError:
                    pass
            try:
                os.rmdir(self.path)
                return
            except OSError:
                time.sleep(0.1)


def udp_sockets():
    """The lines of /proc/net/udp and /proc/net/udp6 (IPv4 and IPv6 sockets, a dual-stack one among the latter),
    split into fields; the header lines left out."""
    lines = []
    for table in ("/proc/net/udp", "/proc/net/udp6"):
        with open(table) as f:
            lines += [line.split() for line in f.readlines()[1:]]
    return lines


def wait_port(port, timeout=30):
    """Waits until a UDP socket of either family is bound to the port."""
    wanted = ":%04X" % port
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if any(fields[1].endswith(wanted) for fields in udp_sockets()):
            return True
        time.sleep(0.05)
    return False


class Server:
    """One server process in a cgroup of its own, on its own port."""

    def __init__(self, name, port, command, directory, env=None, host=HOST):
        self.name, self.port, self.command, self.directory, self.env = name, port, command, directory, env
        self.host, self.stdin = host, subprocess.DEVNULL   # the address clients ask; what the process reads
        self.process, self.cgroup = None, Cgroup(re.sub(r"\W", "", name))

    def start(self):
        if self.process is not None:
            return
        log = open(os.path.join(self.directory, "..", re.sub(r"\W", "", self.name) + ".log"), "wb")
        self.log = log.name
        self.process = subprocess.Popen(self.command, cwd=self.directory, env=self.env, stdin=self.stdin,
                                        stdout=log, stderr=subprocess.STDOUT)
        self.cgroup.add(self.process.pid)   # before the first request, so every child is counted
        self.ready()

    def ready(self):
        if not wait_port(self.port) or self.process.poll() is not None:
            raise RuntimeError("%s did not start (see %s)" % (self.name, self.log))

    def stop(self):
        if self.process is not None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(10)
            self.process = None


class InetdServer(Server):
    """A server that reads its requests from a socket on its standard input, as inetd starts it: atftpd 0.8
    over IPv6 (its --bind-address takes IPv4 only: given ::1, it listens on 0.0.0.0), on [host]:port."""

    def start(self):
        if self.process is not None:
            return
        family = socket.AF_INET6 if ":" in self.host else socket.AF_INET
        sock = socket.socket(family, socket.SOCK_DGRAM)
        try:
            if family == socket.AF_INET6:
                sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            sock.bind((self.host, self.port))
            self.stdin = sock
            super().start()
        finally:
            sock.close()   # the server has its own copy
            self.stdin = subprocess.DEVNULL

    def ready(self):
        """Asks for a file that is not there until an answer comes (30 s at most): atftpd started this way
        let an atftp client's first request wait 5 s for its resend (measured), a probe's never."""
        deadline = time.monotonic() + 30
        probe = socket.socket(socket.AF_INET6 if ":" in self.host else socket.AF_INET, socket.SOCK_DGRAM)
        try:
            probe.settimeout(0.2)
            while time.monotonic() < deadline and self.process.poll() is None:
                probe.sendto(rrq("no-such-file"), (self.host, self.port))
                try:
                    probe.recvfrom(65536)
                    return
                except socket.timeout:
                    continue
        finally:
            probe.close()
        raise RuntimeError("%s did not answer (see %s)" % (self.name, self.log))


class Over:
    """A server as reached over another address (the runner's one socket over IPv6): its own name, the same
    process, port and cgroup."""

    def __init__(self, server, host, name):
        self.server, self.host, self.name = server, host, name

    def __getattr__(self, attribute):
        return getattr(self.server, attribute)


class CorvaneServer(Server):
    def ready(self):
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and self.process.poll() is None:
            with open(self.log, "rb") as f:
                if LISTENING.search(f.read()):
                    return
            time.sleep(0.05)
        raise RuntimeError("%s did not start listening (see %s)" % (self.name, self.log))


class WineServer(CorvaneServer):
    """Corvane.exe under Wine; the prefix's Wine server joins the cgroup, as it carries the sockets."""

    def __init__(self, directory, exe, prefix):
        self.exe = os.path.join(directory, "Corvane.exe")
        shutil.copy2(exe, self.exe)
        env = dict(os.environ, WINEPREFIX=os.path.abspath(prefix), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        super().__init__("Corvane.exe (Wine)", CORVANE_PORT, [WINE, self.exe], directory, env)

    def windows(self, *command):
        return subprocess.run([WINE, *command], env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=120).returncode

    def start(self):
        if self.process is not None:
            return
        if self.windows(self.exe, "/RegServer") != 0:
            raise RuntimeError("Corvane.exe /RegServer failed")
        for pid in wineservers(self.env["WINEPREFIX"]):
            self.cgroup.add(pid)
        super().start()

    def stop(self):
        if self.process is not None:
            # TerminateProcess, as on Windows: a Unix signal can leave Wine's server holding port 6051.
            self.windows("taskkill", "/F", "/IM", "Corvane.exe")
            super().stop()
            self.windows(self.exe, "/UnregServer")


def wineservers(prefix):
    """The Wine server of the given prefix (never another's), found by the WINEPREFIX in its environment."""
    wanted = ("WINEPREFIX=" + prefix).encode()
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                if b"wineserver" not in f.read().split(b"\0")[0]:
                    continue
            with open("/proc/%s/environ" % entry, "rb") as f:
                if wanted in f.read().split(b"\0"):
                    yield entry
        except OSError:
            continue


class Relay:
    """tools/relay in front of a server port: delays datagrams, may send some twice; counts DATA sent."""

    def __init__(self, tools, server_port, delay_us=0, duplicate=0.0, host=HOST):
        self.process = subprocess.Popen([os.path.join(tools, "relay"), str(RELAY_PORT), str(server_port),
                                         str(delay_us), str(duplicate), "5", host], stdout=subprocess.PIPE, text=True)
        if not wait_port(RELAY_PORT):
            raise RuntimeError("the relay did not start")

    def finish(self):
        """Stops the relay; returns the DATA datagrams it carried from the server."""
        self.process.send_signal(signal.SIGTERM)
        out = self.process.communicate(timeout=20)[0]
        return int(re.search(r"data (\d+)", out).group(1))


def same_content(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(1 << 20), fb.read(1 << 20)
            if x != y:
                return False
            if not x:
                return True


class Bench:
    def __init__(self, args, work):
        self.args, self.work = args, work
        self.boot, self.out = os.path.join(work, "boot"), os.path.join(work, "fetched")
        os.makedirs(self.boot)
        os.makedirs(self.out)
        self.clients = Cgroup("clients")

    def file(self, name, mib):
        path = os.path.join(self.boot, name)
        if not os.path.exists(path):
            with open(path, "wb") as f:
                for _ in range(int(mib * 4)):
                    f.write(os.urandom(1 << 18))
        return name

    def fetch(self, server, names, options=(), port=None, client="atftp", sampler=None, timeout=600):
        """Every named file fetched at once, each by its own client, from the server's address (server.host);
        returns (seconds, server CPU s, clients' CPU s), after comparing every fetched file with its original."""
        port = port or server.port
        outs = [os.path.join(self.out, "%d-%s" % (i, name)) for i, name in enumerate(names)]
        commands = []
        for i, (name, out) in enumerate(zip(names, outs)):
            # Clients at once come from addresses of their own (bench.sh puts them on lo), as instruments do.
            host = "10.254.1.%d" % (i + 1) if len(names) > 1 else server.host
            if client == "atftp":
                opts = [a for o in options for a in ("--option", o)]
                commands.append(["atftp", *opts, "--get", "-r", name, "-l", out, host, str(port)])
            else:
                commands.append(["tftp", "-m", "binary", host, str(port), "-c", "get", name, out])
        cpu, client_cpu = server.cgroup.seconds(), self.clients.seconds()
        sampler and sampler.start()
        started = time.perf_counter()
        procs = []
        for command in commands:
            procs.append(subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                          stderr=subprocess.PIPE))
            self.clients.add(procs[-1].pid)
        failures = []
        for proc in procs:
            try:
                err = proc.communicate(timeout=timeout)[1]
            except subprocess.TimeoutExpired:
                proc.kill()
                err = proc.communicate()[1]
            if proc.returncode != 0:
                failures.append(err.decode(errors="replace").strip())
        elapsed = time.perf_counter() - started
        sampler and sampler.finish()
        cpu, client_cpu = server.cgroup.seconds() - cpu, self.clients.seconds() - client_cpu
        if failures:
            raise RuntimeError("%d of %d clients failed against %s %s (server's exit status %s, log %r): %s"
                               % (len(failures), len(procs), server.name, options, server.process.poll(),
                                  open(server.log, "rb").read()[-300:], failures[0]))
        for name, out in zip(names, outs):
            if not same_content(os.path.join(self.boot, name), out):
                raise RuntimeError("%s sent %s wrong %s" % (server.name, name, options))
            os.remove(out)
        return elapsed, cpu, client_cpu

    def median_runs(self, servers, measure):
        """{server name: median of each figure over the rounds}, the servers taking turns in each round."""
        runs = {}
        for _ in range(self.args.rounds):
            for server in servers:
                runs.setdefault(server.name, []).append(measure(server))
        return {name: [statistics.median(r[i] for r in results) for i in range(len(results[0]))]
                for name, results in runs.items()}


class ThreadSampler(threading.Thread):
    """Samples, every 10 ms, the receive queue of port 6051 (bytes held; the runner's socket is a dual-stack one,
    in /proc/net/udp6) while clients run; at the end, the busiest thread of the server's process: its seconds on a
    CPU and waiting for one (schedstat), and its voluntary context switches (each a wait in the receive for a
    datagram)."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid, self.done, self.queue = pid, threading.Event(), []
        self.before = self.threads()

    def threads(self):
        found = {}
        for tid in os.listdir("/proc/%d/task" % self.pid):
            try:
                with open("/proc/%d/task/%s/schedstat" % (self.pid, tid)) as f:
                    running, runnable = (int(n) / 1e9 for n in f.read().split()[:2])
                with open("/proc/%d/task/%s/status" % (self.pid, tid)) as f:
                    waits = int(re.search(r"voluntary_ctxt_switches:\s+(\d+)", f.read()).group(1))
                found[tid] = (running, waits, runnable)
            except OSError:
                pass
        return found

    def run(self):
        wanted = ":%04X" % CORVANE_PORT
        deadline = time.monotonic() + 900
        while not self.done.wait(0.01) and time.monotonic() < deadline:
            for fields in udp_sockets():
                if fields[1].endswith(wanted):
                    self.queue.append(int(fields[4].split(":")[1], 16))

    def finish(self):
        self.done.set()
        self.join()
        after = self.threads()
        tid = max(after, key=lambda t: after[t][0] - self.before.get(t, (0, 0))[0])
        self.busy, self.waits, self.runnable = (after[tid][i] - self.before.get(tid, (0, 0, 0))[i] for i in range(3))


def rrq(name, *options):
    """A read request in mode octet with the given option pairs ("blksize 1428")."""
    return b"\0\1" + name.encode() + b"\0octet\0" + b"".join(o.replace(" ", "\0").encode() + b"\0" for o in options)


ACK0 = b"\0\4\0\0"
OPCODES = {1: "RRQ", 2: "WRQ", 3: "DATA", 4: "ACK", 5: "ERROR", 6: "OACK"}


def granted_block(host, port, name, asked):
    """The blksize a server grants (its OACK) to a read request for the file asking for `asked`; the transfer is
    ended at once with an ERROR to the port that answered."""
    sock = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET, socket.SOCK_DGRAM)
    try:
        sock.settimeout(5)
        sock.sendto(rrq(name, "blksize %d" % asked), (host, port))
        datagram, peer = sock.recvfrom(65536)
        sock.sendto(b"\0\5\0\0enough\0", peer)
    finally:
        sock.close()
    if datagram[:2] != b"\0\6":
        return 512
    fields = datagram[2:].split(b"\0")
    options = {fields[i].lower(): fields[i + 1] for i in range(0, len(fields) - 1, 2)}
    return int(options.get(b"blksize", b"512"))


def on_wire(payload):
    """Bytes of a UDP datagram on Ethernet: 42 bytes of Ethernet, IPv4 and UDP headers, 60 at least."""
    return max(payload + 42, 60)


def forged_socket(address, buffer=16 << 20):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:   # SO_RCVBUFFORCE (root): a window of 64 blocks must never overflow the count
        sock.setsockopt(socket.SOL_SOCKET, 33, buffer)
    except OSError:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, buffer)
    sock.bind((address, 0))
    return sock


def udp_drops(sock):
    """Datagrams the kernel dropped at this socket (full buffer), from /proc/net/udp."""
    inode = str(os.fstat(sock.fileno()).st_ino)
    with open("/proc/net/udp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if fields[9] == inode:
                return int(fields[-1])
    return 0


class ForgedSource(threading.Thread):
    """A forged sender at a 127.0.0.x of its own: sends a request to the server's well-known port, then blind
    ACK 0s there at the given times (it cannot see where the answer came from), never answers, and counts every
    datagram it receives from any server port. Ends at the limit, or once the server has been silent for the
    quiet time and for a second more than twice its longest pause so far (an exponential back-off's next
    resend comes after exactly twice its last pause), counted from the later of the last send and the last
    datagram received."""

    def __init__(self, address, port, request, acks=(), limit=65.0, quiet=10.0):
        super().__init__(daemon=True)
        self.address, self.port, self.request, self.acks = address, port, request, list(acks)
        self.limit, self.quiet = limit, quiet
        self.sent = self.sent_wire = self.sent_datagrams = 0
        self.received = self.received_wire = self.received_datagrams = 0
        self.opcodes, self.ports, self.last, self.drops = {}, set(), None, 0

    def send(self, sock, datagram):
        sock.sendto(datagram, (HOST, self.port))
        self.sent += len(datagram)
        self.sent_wire += on_wire(len(datagram))
        self.sent_datagrams += 1

    def run(self):
        sock = forged_socket(self.address)
        try:
            start = time.monotonic()
            self.send(sock, self.request)
            last_send, last_heard, pause = 0.0, None, 0.0
            acks = list(self.acks)
            while True:
                now = time.monotonic() - start
                while acks and acks[0] <= now:
                    acks.pop(0)
                    self.send(sock, ACK0)
                    last_send = now
                since = max(last_send, last_heard or 0.0)
                if now >= self.limit or (not acks and now - since >= max(self.quiet, 2 * pause + 1)):
                    break
                sock.settimeout(max(0.001, min([0.2, self.limit - now] + [a - now for a in acks[:1]])))
                try:
                    datagram, peer = sock.recvfrom(65536)
                except socket.timeout:
                    continue
                now = time.monotonic() - start
                if last_heard is not None:
                    pause = max(pause, now - last_heard)
                last_heard = self.last = now
                self.received += len(datagram)
                self.received_wire += on_wire(len(datagram))
                self.received_datagrams += 1
                name = OPCODES.get(datagram[1] if len(datagram) > 1 and datagram[0] == 0 else -1, "other")
                self.opcodes[name] = self.opcodes.get(name, 0) + 1
                self.ports.add(peer[1])
            self.drops = udp_drops(sock)
        finally:
            sock.close()

    def what(self):
        kinds = ", ".join("%d %s" % (n, k) for k, n in sorted(self.opcodes.items(), key=lambda kv: -kv[1]))
        note = "%s from %d port%s" % (kinds or "nothing", len(self.ports), "" if len(self.ports) == 1 else "s")
        if self.drops:
            note += " (%d more dropped at the source's socket)" % self.drops
        return note


def newcomer(address, port, name, expected, deadline=10.0, blksize=1428):
    """A real client at its own address: a read request with blksize 1428 (the instrument's), following the
    server's transfer port, acknowledging each DATA in lock-step and resending its last packet after 1 s of
    silence; an ERROR makes it ask again, from a new port, 0.5 s later. Returns (seconds or None, [errors])."""
    start = time.monotonic()
    errors = []
    while time.monotonic() - start < deadline:
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind((address, 0))
        try:
            request = rrq(name, "blksize %d" % blksize)
            last, target = request, (HOST, port)
            sock.sendto(last, target)
            tid, size, block, data, heard = None, 512, 1, bytearray(), time.monotonic()
            while True:
                now = time.monotonic()
                if now - start >= deadline:
                    return None, errors
                sock.settimeout(max(0.001, min(deadline - (now - start), heard + 1.0 - now)))
                try:
                    datagram, peer = sock.recvfrom(65536)
                except socket.timeout:
                    sock.sendto(last, target)
                    heard = time.monotonic()
                    continue
                if tid is None:
                    tid = target = peer
                elif peer != tid:
                    sock.sendto(b"\0\5\0\5Unknown transfer ID.\0", peer)
                    continue
                opcode = datagram[1] if len(datagram) >= 4 else 0
                if opcode == 5:
                    errors.append('ERROR %d "%s"' % (datagram[3], datagram[4:].split(b"\0")[0].decode(errors="replace")))
                    break
                if opcode == 6 and block == 1:
                    fields = datagram[2:].split(b"\0")
                    options = {fields[i].lower(): fields[i + 1] for i in range(0, len(fields) - 1, 2)}
                    size = int(options.get(b"blksize", b"512"))
                    last = ACK0
                elif opcode == 3 and int.from_bytes(datagram[2:4], "big") == block % 65536:
                    data += datagram[4:]
                    last = b"\0\4" + datagram[2:4]
                    block += 1
                    if len(datagram) - 4 < size:
                        sock.sendto(last, target)
                        if bytes(data) != expected:
                            errors.append("wrong content")
                            return None, errors
                        return time.monotonic() - start, errors
                elif opcode != 3:
                    continue
                sock.sendto(last, target)
                heard = time.monotonic()
        finally:
            sock.close()
        time.sleep(min(0.5, max(0.0, deadline - (time.monotonic() - start))))
    return None, errors


def flood(address, port, request, rate, seconds, ports, sent, done):
    """Sends `rate` copies of the request a second for `seconds` from `ports` source ports of one address, in
    turn; never reads; keeps its ports open (silent) until `done` is set, 30 s at most."""
    socks = []
    for _ in range(ports):
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind((address, 0))
        socks.append(sock)
    start, count, failed = time.monotonic(), 0, 0
    while True:
        now = time.monotonic() - start
        if now >= seconds:
            break
        due = min(int(now * rate) + 1, int(seconds * rate))
        while count < due:
            try:
                socks[count % ports].sendto(request, (HOST, port))
            except OSError:
                failed += 1
            count += 1
        time.sleep(0.001)
    sent.value = count - failed
    done.wait(30)
    for sock in socks:
        sock.close()


def forged_section(bench, args, native, tftpd):
    """Section 6: what a forged sender on a shared network can make each server do."""
    limit = 20.0 if args.quick else 65.0
    flood_seconds = 3.0 if args.quick else 5.0
    big = bench.file("forged.bin", 2)
    small, expected = "small.bin", os.urandom(100 * 1024 + 77)   # 72 blocks of 1428, the last one short
    with open(os.path.join(bench.boot, small), "wb") as f:
        f.write(expected)
    servers = (native, tftpd)

    def fresh():
        """Each measurement starts with empty servers: no transfer of an earlier one left in a table."""
        for server in servers:
            server.stop()
            server.cgroup.kill()
        for server in servers:
            server.start()

    section("6. A forged sender on a shared network: native runner against in.tftpd, same run")
    print("A: bytes sent towards a silent forged source per byte it sent (%d s per row at most, all rows at once; "
          "on the wire: +42 B of Ethernet, IPv4 and UDP headers per datagram, 60 B at least; /tftpd: the runner's "
          "ratio on the wire over in.tftpd's; last s: when the last datagram came)" % limit)
    print("B: a newcomer at its own address (blksize 1428, follows the transfer port, asks again 0.5 s after an "
          "ERROR) fetching %d bytes byte-exact" % len(expected))
    print("%-44s %-14s %9s %11s %9s %9s %8s %7s  %s" % ("row", "server", "sent B", "received B", "ratio", "on wire",
                                                      "/tftpd", "last s", "what the source received"))
    fresh()
    window = ("blksize 1428", "windowsize 64")
    rows = (("A1 read request, no options", rrq(big), ()),
            ("A2 read request, blksize 1428", rrq(big, "blksize 1428"), ()),
            ("A3 ...+ windowsize 64, one blind ACK 0", rrq(big, *window), (0.3,)),
            ("A4 ...+ windowsize 64, blind ACK 0 / 110 ms", rrq(big, *window),
             [0.3 + 0.11 * i for i in range(int(10 / 0.11) + 1)]))
    sources = {}
    for r, (label, request, acks) in enumerate(rows):
        for s, server in enumerate(servers):
            sources[label, server.name] = ForgedSource("127.0.0.%d" % (10 + 10 * s + r), server.port, request, acks,
                                                       limit=limit)
    for source in sources.values():
        source.start()
    for source in sources.values():
        source.join(limit + 30)
    for label, request, acks in rows:
        ratios = {}
        for server in servers:
            source = sources[label, server.name]
            ratios[server.name] = (source.received / source.sent, source.received_wire / source.sent_wire)
        for server in servers:
            source = sources[label, server.name]
            ratio, wire = ratios[server.name]
            versus = "" if server is tftpd else "%.1f" % (wire / ratios[tftpd.name][1]) if ratios[tftpd.name][1] else "-"
            print("%-44s %-14s %9d %11d %9.1f %9.1f %8s %7s  %s" % (
                label if server is servers[0] else "", server.name, source.sent, source.received, ratio, wire, versus,
                "%.1f" % source.last if source.last is not None else "-", source.what()), flush=True)

    def served(result):
        seconds, errors = result
        note = ""
        if errors:
            kinds = {}
            for e in errors:
                kinds[e] = kinds.get(e, 0) + 1
            note = " after %s" % ", ".join("%d x %s" % (n, e) for e, n in kinds.items())
        return ("%.2f s" % seconds if seconds is not None else "not served within 10 s") + note

    label = "B1 newcomer, 0.5 s after 64 x timeout 255"
    fresh()
    for s, server in enumerate(servers):
        burst = [forged_socket("127.0.0.%d" % (101 + 80 * s + i), 1 << 20) for i in range(64)]
        try:
            for sock in burst:
                sock.sendto(rrq(big, "timeout 255"), (HOST, server.port))
            time.sleep(0.5)
            result = newcomer("127.0.0.%d" % (50 + s), server.port, small, expected)
            answers = {}
            for sock in burst:
                sock.setblocking(False)
                try:
                    while True:
                        datagram = sock.recv(65536)
                        name = OPCODES.get(datagram[1] if len(datagram) > 1 else -1, "other")
                        answers[name] = answers.get(name, 0) + 1
                except BlockingIOError:
                    pass
        finally:
            for sock in burst:
                sock.close()
        print("%-44s %-14s %s; the burst's sources got %s" % (
            label if s == 0 else "", server.name, served(result),
            ", ".join("%d %s" % (n, k) for k, n in sorted(answers.items())) or "nothing"), flush=True)

    label = "B2 newcomer, 1 s into 10,000 requests/s"
    for s, server in enumerate(servers):
        fresh()
        context = multiprocessing.get_context("fork")
        sent, done = context.Value("q", 0), context.Event()
        flooder = context.Process(target=flood, args=("127.0.0.%d" % (60 + s), server.port, rrq(big), 10000,
                                                      flood_seconds, 200, sent, done), daemon=True)
        cpu = server.cgroup.seconds()
        flooder.start()
        try:
            time.sleep(1.0)
            result = newcomer("127.0.0.%d" % (70 + s), server.port, small, expected)
        finally:
            flooder.join(flood_seconds + 5)   # the flood has ended by itself: its sources stay silent
            done.set()
            flooder.join(10)
            if flooder.is_alive():
                flooder.kill()
                flooder.join(5)
        processes = len(open(os.path.join(server.cgroup.path, "cgroup.procs")).read().split())
        print("%-44s %-14s %s; flood %d requests in %g s from 200 ports; server CPU %.1f s, %d process(es)" % (
            label if s == 0 else "", server.name, served(result), sent.value, flood_seconds,
            server.cgroup.seconds() - cpu, processes), flush=True)
    for server in servers:
        server.stop()
        if not server.cgroup.kill():
            print("warning: processes of %s are still alive" % server.name)


def section(title):
    print("\n== %s   [%s]" % (title, time.strftime("%H:%M:%S")), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--native", required=True)
    parser.add_argument("--wineprefix", required=True)
    parser.add_argument("--tools", required=True, help="ideal-server, relay and atftpd")
    parser.add_argument("--sections", default="123456", help="the sections to run, e.g. 34")
    parser.add_argument("--quick", action="store_true", help="small files, one round, no 16 clients")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--mib", type=float, default=16, help="file size per client")
    parser.add_argument("--delay-mib", type=float, default=4, help="file size through the delaying relay")
    parser.add_argument("--clients-mib", type=float, default=8, help="file size per client when several run at once")
    args = parser.parse_args()
    if args.quick:
        args.rounds, args.mib, args.delay_mib, args.clients_mib = 1, 2, 0.5, 1
    counts = (1, 4) if args.quick else (1, 4, 16)

    work = tempfile.mkdtemp(prefix="corvane-bench-")
    bench = Bench(args, work)
    boot = bench.boot
    shutil.copy2(args.native, os.path.join(boot, "corvane-serve"))
    native = CorvaneServer("corvane-serve", CORVANE_PORT, [os.path.join(boot, "corvane-serve")], boot)
    wine = WineServer(boot, args.exe, args.wineprefix)
    ideal = Server("ideal lock-step", IDEAL_PORT, [os.path.join(args.tools, "ideal-server"), str(IDEAL_PORT), boot], boot)
    atftpd = Server("atftpd 0.8", ATFTPD_PORT, [os.path.join(args.tools, "atftpd"), "--daemon", "--no-fork", "--port",
                    str(ATFTPD_PORT), "--bind-address", HOST, "--user", "root.root", "--logfile", "/dev/null",
                    "--maxthread", "200", boot], boot)
    ideal6 = Server("ideal lock-step IPv6", IDEAL6_PORT, [os.path.join(args.tools, "ideal-server"), str(IDEAL6_PORT),
                    boot, HOST6], boot, host=HOST6)
    atftpd6 = InetdServer("atftpd 0.8 IPv6", ATFTPD6_PORT, [os.path.join(args.tools, "atftpd"), "--user", "root.root",
                          "--logfile", "/dev/null", "--maxthread", "200", "--tftpd-timeout", "3600", boot], boot,
                          host=HOST6)
    native6 = Over(native, HOST6, "corvane-serve IPv6")   # the same process: one socket for both families
    tftpd = Server("in.tftpd", TFTPD_PORT, ["in.tftpd", "--foreground", "--address", "0.0.0.0:%d" % TFTPD_PORT,
                   "--user", "root", "--secure", boot], boot)
    peers = (ideal, atftpd, tftpd, ideal6, atftpd6)
    started = time.monotonic()
    try:
        one = bench.file("one.bin", args.mib)
        delayed = bench.file("delayed.bin", args.delay_mib)
        names = [bench.file("c%02d.bin" % i, args.clients_mib) for i in range(max(counts))]

        if "1" in args.sections:
            section("1. Lock-step, one atftp client, %g MiB, median of %d: native runner / ideal lock-step server"
                    % (args.mib, args.rounds))
            native.start()
            ideal.start()
            ideal6.start()
            block6 = granted_block(HOST6, CORVANE_PORT, one, 1428)
            print("IPv4: client to 127.0.0.1; IPv6: client to ::1, where the runner answers blksize 1428 with %d "
                  "(its OACK), so the ideal server is asked for %d; v6/v4: a server's IPv6 speed over its IPv4 "
                  "speed in the row above" % (block6, block6))
            print("%-8s %12s %12s %8s %14s %7s %13s %12s" % ("blksize", "runner MiB/s", "ideal MiB/s", "ratio",
                                                            "CPU runner/ideal", "family", "runner v6/v4", "ideal v6/v4"))
            for block, options, options6 in ((1428, ("blksize 1428",), ("blksize %d" % block6,)), (512, (), ())):
                def measure(server):
                    return bench.fetch(server, [one], options6 if server is ideal6 else options)
                r = bench.median_runs((native, ideal, native6, ideal6), measure)
                speed = {name: args.mib / r[name][0] for name in r}
                for family, runner, peer in (("IPv4", native, ideal), ("IPv6", native6, ideal6)):
                    line = "%-8d %12.1f %12.1f %8.2f %14.2f %7s" % (
                        block if family == "IPv4" or block == 512 else block6, speed[runner.name], speed[peer.name],
                        speed[runner.name] / speed[peer.name], r[runner.name][1] / r[peer.name][1], family)
                    if family == "IPv6":
                        line += " %13.2f %12.2f" % (speed[native6.name] / speed[native.name],
                                                    speed[ideal6.name] / speed[ideal.name])
                    print(line, flush=True)
            ideal.stop()
            ideal6.stop()

        if "2" in args.sections:
            section("2. Windows, atftp, blksize 1428 (IPv6: 1408), median of %d: native runner against atftpd 0.8"
                    % args.rounds)
            native.start()
            atftpd.start()
            atftpd6.start()
            block6 = granted_block(HOST6, CORVANE_PORT, one, 1428)
            relay = Relay(args.tools, ATFTPD_PORT)
            ceiling = bench.median_runs((atftpd,), lambda s: bench.fetch(s, [one], ("blksize 1428", "windowsize 64"),
                                                                         port=RELAY_PORT))[atftpd.name][0]
            relay.finish()
            direct = bench.median_runs((atftpd,), lambda s: bench.fetch(s, [one], ("blksize 1428", "windowsize 64")))
            print("relay ceiling (atftpd, windowsize 64, through the relay without delay): %.1f MiB/s; direct %.1f MiB/s"
                  % (args.mib / ceiling, args.mib / direct[atftpd.name][0]))
            window6 = ("blksize %d" % block6, "windowsize 64")
            relay = Relay(args.tools, ATFTPD6_PORT, host=HOST6)
            ceiling6 = bench.median_runs((atftpd6,), lambda s: bench.fetch(s, [one], window6, port=RELAY_PORT))
            relay.finish()
            direct6 = bench.median_runs((atftpd6,), lambda s: bench.fetch(s, [one], window6))
            print("relay ceiling over IPv6 (the same, blksize %d, ::1): %.1f MiB/s; direct %.1f MiB/s"
                  % (block6, args.mib / ceiling6[atftpd6.name][0], args.mib / direct6[atftpd6.name][0]))
            print("IPv6 rows: client to ::1, blocks of %d: the runner answers blksize 1428 with %d (its OACK), atftpd "
                  "is asked for %d; atftpd 0.8 serves IPv6 only from a socket handed to it as inetd does (its "
                  "--bind-address takes IPv4 only); v6/v4: a server's IPv6 speed over its IPv4 speed in the row above"
                  % (block6, block6, block6))
            print("%-10s %6s %10s %8s %10s %8s %11s %9s %15s %15s %7s %13s %12s" % (
                "path", "window", "runner", "CPU s", "atftpd", "CPU s", "speed/atftpd", "CPU/atftpd",
                "runner/lockstep", "atftpd/lockstep", "family", "runner v6/v4", "atftpd v6/v4"))
            for path, mib, name in (("loopback", args.mib, one), ("0.5 ms", args.delay_mib, delayed)):
                base = {}
                for window in (1, 4, 16, 64):
                    windowed = ("windowsize %d" % window,) if window > 1 else ()

                    def measure(server):
                        options = ("blksize %d" % (block6 if server is atftpd6 else 1428),) + windowed
                        if path == "loopback":
                            return bench.fetch(server, [name], options)
                        relay = Relay(args.tools, server.port, delay_us=500, host=server.host)
                        try:
                            return bench.fetch(server, [name], options, port=RELAY_PORT)
                        finally:
                            relay.finish()
                    r = bench.median_runs((native, atftpd, native6, atftpd6), measure)
                    speed = {s: mib / r[s][0] for s in r}
                    base = base or dict(speed)
                    for family, runner, peer in (("IPv4", native, atftpd), ("IPv6", native6, atftpd6)):
                        line = "%-10s %6s %10.1f %8.2f %10.1f %8.2f %11.2f %9.2f %15.2f %15.2f %7s" % (
                            path, window if window > 1 else "lock", speed[runner.name], r[runner.name][1],
                            speed[peer.name], r[peer.name][1], speed[runner.name] / speed[peer.name],
                            r[runner.name][1] / r[peer.name][1], speed[runner.name] / base[runner.name],
                            speed[peer.name] / base[peer.name], family)
                        if family == "IPv6":
                            line += " %13.2f %12.2f" % (speed[native6.name] / speed[native.name],
                                                        speed[atftpd6.name] / speed[atftpd.name])
                        print(line, flush=True)
            atftpd6.stop()

        if "3" in args.sections:
            section("3. Clients at once, each its own %g MiB file, median of %d; CPU per cgroup; ratios to in.tftpd"
                    % (args.clients_mib, args.rounds))
            native.stop()
            print("%-20s %7s %7s %9s %7s %12s %10s" % ("server", "blksize", "clients", "MiB/s", "CPU s",
                                                      "speed/tftpd", "CPU/tftpd"))
            results = {}
            for server in (wine, native, tftpd):
                server.start()
                try:
                    for block, options in ((1428, ("blksize 1428",)), (512, ())):
                        for count in counts:
                            results[server.name, block, count] = bench.median_runs(
                                (server,), lambda s: bench.fetch(s, names[:count], options))[server.name]
                finally:
                    server.stop()
            for block in (1428, 512):
                for count in counts:
                    base = results[tftpd.name, block, count]
                    for server in (wine, native, tftpd):
                        r = results[server.name, block, count]
                        print("%-20s %7d %7d %9.1f %7.2f %12.2f %10.2f" % (
                            server.name, block, count, count * args.clients_mib / r[0], r[1], base[0] / r[0], r[1] / base[1]))

        if "4" in args.sections:
            section("4. Where the time of 4 lock-step clients goes (blksize 1428, %g MiB each)" % args.clients_mib)
            native.start()
            tftpd.start()
            blocks = int(args.clients_mib * (1 << 20)) // 1428 + 1
            print("%-16s %7s %8s %11s %8s %9s %8s %11s %11s %s" % (
                "server", "clients", "MiB/s", "round trip", "thread:", "on CPU", "waiting", "in receive",
                "waits/block", "queue bytes, CPU share of the 2 cores"))
            for server, count in ((native, 1), (native, 4), (tftpd, 1), (tftpd, 4)):
                def measure(server):
                    sampler = ThreadSampler(server.process.pid) if server is native else None
                    elapsed, cpu, client_cpu = bench.fetch(server, names[:count], ("blksize 1428",), sampler=sampler)
                    thread = (sampler.busy, sampler.runnable, sampler.waits, statistics.mean(sampler.queue or [0])) \
                        if sampler else (0, 0, 0, 0)
                    return (elapsed, cpu, client_cpu) + thread
                elapsed, cpu, client_cpu, busy, runnable, waits, queue = bench.median_runs((server,), measure)[server.name]
                line = "%-16s %7d %8.1f %8.0f us %8s" % (server.name, count, count * args.clients_mib / elapsed,
                                                         elapsed / blocks * 1e6, "")
                if server is native:
                    line += " %8.0f%% %7.0f%% %10.0f%% %11.2f %8.0f B" % (
                        busy / elapsed * 100, runnable / elapsed * 100, (elapsed - busy - runnable) / elapsed * 100,
                        waits / (count * blocks), queue)
                else:
                    line += " %9s %8s %11s %11s %10s" % ("-", "-", "-", "-", "-")
                print(line + ", clients %.0f%%, server %.0f%%" % (client_cpu / elapsed * 50, cpu / elapsed * 50),
                      flush=True)

        if "5" in args.sections:
            section("5. Through a path that sends 5 % of the datagrams twice: DATA datagrams per block")
            for server in (native, tftpd, atftpd):
                server.start()
            dup = bench.file("dup.bin", min(args.mib, 2))
            size = os.path.getsize(os.path.join(boot, dup))
            for label, client, options, block in (("tftp-hpa, lock-step", "tftp", (), 512),
                                                  ("atftp, windowsize 16", "atftp", ("blksize 1428", "windowsize 16"), 1428)):
                figures = []
                for server in (native, tftpd if client == "tftp" else atftpd):
                    relay = Relay(args.tools, server.port, duplicate=0.05)
                    try:
                        bench.fetch(server, [dup], options, port=RELAY_PORT, client=client, timeout=30)
                        figures.append("%s %.3f" % (server.name, relay.finish() / (size // block + 1)))
                    except RuntimeError:   # atftpd's windows stall on this path (measured): say so, go on
                        figures.append("%s: no complete transfer in 30 s (%.3f before)"
                                       % (server.name, relay.finish() / (size // block + 1)))
                print("%-22s %s" % (label, "   ".join(figures)), flush=True)
            native.stop()

        if "6" in args.sections:
            forged_section(bench, args, native, tftpd)
        section("done")
    finally:
        for server in (native, wine) + peers:
            server.stop()
        tftpd.cgroup.kill()   # in.tftpd's children outlive it (section 6 leaves some waiting 255 s per resend)
        for server in (native, wine) + peers:
            server.cgroup.remove()
        bench.clients.remove()
        shutil.rmtree(work, ignore_errors=True)
    print("\nbenchmark took %.0f s" % (time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
