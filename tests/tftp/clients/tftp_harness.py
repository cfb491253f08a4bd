"""Runs a Corvane server over a scratch boot directory and talks TFTP to it on 127.0.0.1:6051."""

import os
import random
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time
import unittest

HOST, PORT = "127.0.0.1", 6051
SERVER = (HOST, PORT)
WINE_LOADER = "/usr/lib/wine/wine64"

OP_RRQ, OP_WRQ, OP_DATA, OP_ACK, OP_ERROR, OP_OACK = 1, 2, 3, 4, 5, 6

LISTENING = re.compile(r"^TFTP: 'Listening' on port 6051, protocol UDP at (.+)$")
STATISTICS = re.compile(r"^TFTP: Transferred (-?\d+) blocks of (\d+) data bytes in (\d+\.\d{3}) seconds\.$")
SANITIZER_MARKERS = ("Sanitizer", "runtime error:")

ENTRY_LINE = "Entering CTFTPServer::Entry()."
DOWN_LINE = "CTFTPServer::Entry() is down!"



def rrq(name, mode=b"octet", options=(), op=OP_RRQ):
    """A read request; options is a flat sequence of names and values."""
    return struct.pack("!H", op) + b"".join(o + b"\0" for o in (name, mode) + tuple(options))


def wrq(name):
    return rrq(name, op=OP_WRQ)


def ack(block):
    return struct.pack("!HH", OP_ACK, block & 0xFFFF)


def data(block, payload):
    return struct.pack("!HH", OP_DATA, block & 0xFFFF) + payload


def error(code, text):
    return struct.pack("!HH", OP_ERROR, code) + text + b"\0"


def oack(block_size):
    return struct.pack("!H", OP_OACK) + b"blksize\0" + str(block_size).encode() + b"\0"


ERR_NOT_FOUND = error(1, b"File does not exist.")
ERR_OPEN_FAILED = error(2, b"File open failed.")
ERR_READ_FAILED = error(2, b"File read failed.")
ERR_NO_NAME = error(4, b"No file name in read request.")
ERR_MODE = error(4, b"Only octet transfer mode supported.")
ERR_WRITE = error(4, b"Write operation not supported.")


def describe(packet):
    """Short text of a packet for failure messages."""
    if len(packet) < 2:
        return "short datagram %r" % packet
    op = struct.unpack("!H", packet[:2])[0]
    if op == OP_DATA and len(packet) >= 4:
        return "DATA %d (%d bytes)" % (struct.unpack("!H", packet[2:4])[0], len(packet))
    return "opcode %d %r" % (op, packet[:64])


def data_block(packet):
    """Block number of a DATA packet, or None for anything else."""
    if len(packet) >= 4 and packet[:2] == b"\0\3":
        return struct.unpack("!H", packet[2:4])[0]
    return None



class Client:
    """One UDP endpoint on 127.0.0.1 that talks to the server; every receive has a time-out."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((HOST, 0))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        self.sock.close()

    def send(self, packet):
        self.sock.sendto(packet, SERVER)

    def recv(self, timeout=5.0):
        """The next datagram from the server; raises AssertionError when none comes in time."""
        self.sock.settimeout(timeout)
        try:
            packet, source = self.sock.recvfrom(65536)
        except socket.timeout:
            raise AssertionError("no reply from the server within %.1f s" % self.sock.gettimeout())
        if source != SERVER:
            raise AssertionError("reply came from %s:%d, not from the server's port" % source)
        return packet

    def request(self, packet):
        self.send(packet)
        return self.recv()

    def quiet_for(self, seconds):
        """True when nothing arrives within the given time."""
        self.sock.settimeout(seconds)
        try:
            self.sock.recvfrom(65536)
        except socket.timeout:
            return True
        return False

    def fetch(self, name):
        """Downloads a whole file in 512-byte blocks, in lock-step; returns its bytes."""
        reply = self.request(rrq(name))
        chunks = []
        limit = 1 + (1 << 20)  # far more blocks than any test file has
        for expected in range(1, limit + 1):
            if data_block(reply) != expected & 0xFFFF:
                raise AssertionError("expected DATA %d, got %s" % (expected & 0xFFFF, describe(reply)))
            chunks.append(reply[4:])
            if len(reply) - 4 < 512:
                self.send(ack(expected))
                return b"".join(chunks)
            reply = self.request(ack(expected))
        raise AssertionError("transfer did not end within %d blocks" % limit)



def server_binary():
    if not os.environ.get("CORVANE_SERVER"):
        raise RuntimeError("CORVANE_SERVER must name corvane-serve or Corvane.exe")
    return os.environ["CORVANE_SERVER"]


def under_wine():
    return server_binary().lower().endswith(".exe")


def make_tree(root, files):
    """Writes files (relative name -> bytes) below root; a value of None makes a directory."""
    for name, content in files.items():
        path = os.path.join(root, name)
        os.makedirs(path if content is None else os.path.dirname(path), exist_ok=True)
        if content is not None:
            with open(path, "wb") as f:
                f.write(content)


class Server:
    """corvane-serve natively, Corvane.exe under Wine, serving boot_dir; its output goes to files
    (read incrementally) so that no pipe is ever held by a Wine server that the program may start."""

    def __init__(self, boot_dir):
        self.boot_dir = boot_dir
        self.work_dir = tempfile.mkdtemp(prefix="corvane-run-")
        self.trace_path = os.path.join(self.work_dir, "stdout.txt")
        self.stderr_path = os.path.join(self.work_dir, "stderr.txt")
        self.wine = under_wine()
        self.registered, self.process = False, None
        self._lines, self._pending, self._offset = [], b"", 0
        binary = server_binary()
        self.program = os.path.join(boot_dir, os.path.basename(binary))
        shutil.copy2(binary, self.program)

    def _env(self):
        env = dict(os.environ)
        if self.wine:
            env.setdefault("WINEDEBUG", "-all")
            env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
            if "WINEPREFIX" not in env:
                raise RuntimeError("WINEPREFIX must name the Wine prefix of the build")
        return env

    def _command(self, *args):
        return ([WINE_LOADER, self.program] if self.wine else [self.program]) + list(args)

    def run_switch(self, switch, timeout=120):
        """Runs the program once with a command-line switch (Windows build only); returns its exit code."""
        with open(os.path.join(self.work_dir, "switch.txt"), "ab") as out:
            return subprocess.run(self._command(switch), stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=subprocess.STDOUT, env=self._env(), timeout=timeout).returncode

    def launch(self, register=True):
        """Starts serving without waiting; Corvane.exe, which serves only when registered, is first
        registered unless `register` is false."""
        if self.wine and register:
            rc = self.run_switch("/RegServer")
            if rc != 0:
                raise AssertionError("Corvane.exe /RegServer ended with exit code %d" % rc)
            self.registered = True
        with open(self.trace_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.process = subprocess.Popen(self._command(), stdin=subprocess.DEVNULL, stdout=out,
                                            stderr=err, env=self._env(), cwd=self.work_dir)

    def start(self, timeout=60.0):
        """Starts serving and waits for the listening line; returns the boot directory it names."""
        self.launch()
        return LISTENING.match(self.wait_for(LISTENING, 0, timeout)).group(1)

    def expected_boot_text(self):
        """The boot directory as the listening line must name it, closing separator included."""
        return "Z:" + self.boot_dir.replace("/", "\\") + "\\" if self.wine else self.boot_dir + "/"

    def _end(self):
        """SIGTERM natively; under Wine TerminateProcess (taskkill), as a Unix signal there can leave
        the Wine server holding port 6051 for good."""
        if self.wine:
            subprocess.run([WINE_LOADER, "taskkill", "/F", "/IM", os.path.basename(self.program)],
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           env=self._env(), timeout=60)
        else:
            self.process.send_signal(signal.SIGTERM)

    def _wait_or_kill(self, timeout):
        """The exit status, or None after killing a process that did not end in time."""
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(10)
            return None
        finally:
            self.process = None
            self.unregister()

    def stop(self, timeout=20.0):
        """Ends the server, natively checking a clean exit without sanitizer reports; returns the
        trace lines written after the stop request."""
        if self.process is None:
            return []
        mark = self.mark()
        self._end()
        rc = self._wait_or_kill(timeout)
        if rc is None:
            raise AssertionError("the server did not end within %.0f s of the stop request" % timeout)
        errors = self._checked_stderr()
        if rc != 0 and not self.wine:
            raise AssertionError("the server ended with status %d after SIGTERM:\n%s" % (rc, errors))
        return self.lines(mark)

    def wait_exit(self, timeout=60.0):
        """Waits for the server to end on its own; returns its status (natively sanitizer-checked)."""
        try:
            rc = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("the server did not end on its own within %.0f s" % timeout)
        self._checked_stderr()
        return rc

    def _checked_stderr(self):
        """The server's standard error; natively, a sanitizer report in it fails the test."""
        with open(self.stderr_path, "rb") as f:
            errors = f.read().decode("latin-1")
        if not self.wine and any(marker in errors for marker in SANITIZER_MARKERS):
            raise AssertionError("sanitizer report from the server:\n" + errors)
        return errors

    def kill(self):
        """Ends the server without any check (clean-up after a failure)."""
        if self.process is not None:
            if self.wine:
                self._end()
            self._wait_or_kill(10)
        self.unregister()

    def unregister(self):
        if self.registered:
            self.registered = False
            self.run_switch("/UnregServer")

    def remove(self):
        shutil.rmtree(self.work_dir, ignore_errors=True)

    def _refresh(self):
        with open(self.trace_path, "rb") as f:
            f.seek(self._offset)
            chunk = f.read()
        self._offset += len(chunk)
        pieces = (self._pending + chunk).split(b"\n")
        self._pending = pieces.pop()
        for piece in pieces:
            self._lines.append(piece.rstrip(b"\r").decode("latin-1"))

    def mark(self):
        """Position after the trace lines written so far."""
        self._refresh()
        return len(self._lines)

    def lines(self, since=0):
        self._refresh()
        return self._lines[since:]

    def wait_for(self, expected, since=0, timeout=10.0):
        """Waits for a trace line after `since` that equals a text or matches a compiled pattern."""
        deadline = time.monotonic() + timeout
        while True:
            for line in self.lines(since):
                if expected.match(line) if hasattr(expected, "match") else line == expected:
                    return line
            ended = self.process is not None and self.process.poll() is not None
            if ended or time.monotonic() > deadline:
                raise AssertionError("%s while waiting for trace line %r; lines: %r" % (
                    "the server ended (status %d)" % self.process.returncode if ended
                    else "%.1f s passed" % timeout,
                    getattr(expected, "pattern", expected), self.lines(since)[-20:]))
            time.sleep(0.02)

    def lines_until(self, expected, since, timeout=10.0):
        """The trace lines after `since` up to and including the awaited one."""
        last, lines = self.wait_for(expected, since, timeout), self.lines(since)
        return lines[:lines.index(last) + 1]



class ServedTree:
    """A scratch directory with the boot directory `boot/` (and files beside it) served by one
    server process for a whole test module (setUpModule to tearDownModule)."""

    def __init__(self, boot_files, outside_files=None):
        self.root = tempfile.mkdtemp(prefix="corvane-tree-")
        self.boot = os.path.join(self.root, "boot")
        os.makedirs(self.boot)
        make_tree(self.boot, boot_files)
        make_tree(self.root, outside_files or {})
        self.server = Server(self.boot)
        try:
            self.boot_text = self.server.start()
        except BaseException:
            self.finish(check=False)
            raise

    def path(self, name):
        return os.path.join(self.boot, name)

    def finish(self, check=True):
        """Stops the server (checking its exit when asked) and removes the scratch directories."""
        try:
            self.server.stop() if check else self.server.kill()
        finally:
            self.server.remove()
            shutil.rmtree(self.root, ignore_errors=True)


class PacketCase(unittest.TestCase):
    """Cases that talk packets to the server of the module's tree (set as `server` by setUpModule)."""
    server = None

    def client(self):
        c = Client()
        self.addCleanup(c.close)
        return c

    def assertPacket(self, actual, expected):
        self.assertEqual(actual, expected, "got %s, expected %s" % (describe(actual), describe(expected)))

    def assertStatistics(self, line, blocks, block_size):
        match = STATISTICS.match(line)
        self.assertEqual(match and (int(match.group(1)), int(match.group(2))), (blocks, block_size), line)


def pattern_bytes(size, seed):
    """Reproducible file content in which every block differs from its neighbours."""
    return random.Random(seed).randbytes(size)
