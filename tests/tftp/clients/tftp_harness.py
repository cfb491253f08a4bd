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

HOST = "127.0.0.1"
PORT = 6051
SERVER = (HOST, PORT)
WINE_LOADER = "/usr/lib/wine/wine64"

OP_RRQ, OP_WRQ, OP_DATA, OP_ACK, OP_ERROR, OP_OACK = 1, 2, 3, 4, 5, 6

LISTENING = re.compile(r"^TFTP: 'Listening' on port 6051, protocol UDP at (.+)$")
STATISTICS = re.compile(
    r"^TFTP: Transferred (-?\d+) blocks of (\d+) data bytes in (\d+\.\d{3}) seconds\.$")
SANITIZER_MARKERS = ("Sanitizer", "runtime error:")

ENTRY_LINE = "Entering CTFTPServer::Entry()."
DOWN_LINE = "CTFTPServer::Entry() is down!"


# ---- packets -------------------------------------------------------------------------------

def rrq(name, mode=b"octet", options=()):
    """A read request; options is a flat sequence of names and values."""
    return struct.pack("!H", OP_RRQ) + name + b"\0" + mode + b"\0" + b"".join(o + b"\0" for o in options)


def wrq(name, mode=b"octet"):
    return struct.pack("!H", OP_WRQ) + name + b"\0" + mode + b"\0"


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


# ---- the client ----------------------------------------------------------------------------

class Client:
    """One UDP endpoint on 127.0.0.1 that talks to the server; every receive has a time-out."""

    def __init__(self, timeout=5.0):
        self.timeout = timeout
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((HOST, 0))
        self.sock.settimeout(timeout)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        self.sock.close()

    def send(self, packet):
        self.sock.sendto(packet, SERVER)

    def recv(self, timeout=None):
        """The next datagram from the server; raises AssertionError when none comes in time."""
        self.sock.settimeout(self.timeout if timeout is None else timeout)
        try:
            packet, source = self.sock.recvfrom(65536)
        except socket.timeout:
            raise AssertionError("no reply from the server within %.1f s" % self.sock.gettimeout())
        if source != SERVER:
            raise AssertionError("reply came from %s:%d, not from the server's port" % source)
        return packet

    def request(self, packet, timeout=None):
        self.send(packet)
        return self.recv(timeout)

    def quiet_for(self, seconds):
        """True when nothing arrives within the given time."""
        self.sock.settimeout(seconds)
        try:
            self.sock.recvfrom(65536)
        except socket.timeout:
            return True
        return False

    def fetch(self, name, options=(), mode=b"octet"):
        """Downloads a whole file in lock-step; returns (data, block size, blocks)."""
        reply = self.request(rrq(name, mode, options))
        block_size = 512
        if reply[:2] == struct.pack("!H", OP_OACK):
            block_size = int(reply[10:-1])
            reply = self.request(ack(0))
        chunks = []
        expected = 1
        limit = 1 + (1 << 20)  # far more blocks than any test file has
        for _ in range(limit):
            if data_block(reply) != expected & 0xFFFF:
                raise AssertionError("expected DATA %d, got %s" % (expected & 0xFFFF, describe(reply)))
            chunks.append(reply[4:])
            if len(reply) - 4 < block_size:
                self.send(ack(expected))
                return b"".join(chunks), block_size, expected
            reply = self.request(ack(expected))
            expected += 1
        raise AssertionError("transfer did not end within %d blocks" % limit)


# ---- the server ----------------------------------------------------------------------------

def server_binary():
    path = os.environ.get("CORVANE_SERVER")
    if not path:
        raise RuntimeError("CORVANE_SERVER must name corvane-serve or Corvane.exe")
    return path


def under_wine():
    return server_binary().lower().endswith(".exe")


def make_tree(root, files):
    """Writes files (relative name -> bytes) below root; a value of None makes a directory."""
    for name, content in files.items():
        path = os.path.join(root, name)
        if content is None:
            os.makedirs(path, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)


class Server:
    """The program under test serving boot_dir: corvane-serve natively, Corvane.exe under Wine.

    Its standard output goes to a file that is read incrementally, so no pipe is ever held by a
    Wine server that the program may start."""

    def __init__(self, boot_dir):
        self.boot_dir = boot_dir
        self.work_dir = tempfile.mkdtemp(prefix="corvane-run-")
        self.trace_path = os.path.join(self.work_dir, "stdout.txt")
        self.stderr_path = os.path.join(self.work_dir, "stderr.txt")
        self.wine = under_wine()
        self.registered = False
        self.process = None
        self._lines = []
        self._pending = b""
        self._offset = 0
        binary = server_binary()
        self.program = os.path.join(boot_dir, os.path.basename(binary))
        shutil.copy2(binary, self.program)

    # -- process --

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
        """Starts serving, without waiting for anything. Corvane.exe is first registered (it
        serves in the foreground only when registered), unless `register` is false."""
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
        line = self.wait_for(LISTENING, 0, timeout)
        return LISTENING.match(line).group(1)

    def expected_boot_text(self):
        """The boot directory as the listening line must name it, closing separator included."""
        if self.wine:
            return "Z:" + self.boot_dir.replace("/", "\\") + "\\"
        return self.boot_dir + "/"

    def _end(self):
        """Ends the program from outside: SIGTERM natively, TerminateProcess (taskkill) under Wine,
        where a Unix signal to the program can leave the Wine server holding its socket, and with it
        port 6051, for good."""
        if not self.wine:
            self.process.send_signal(signal.SIGTERM)
            return
        subprocess.run([WINE_LOADER, "taskkill", "/F", "/IM", os.path.basename(self.program)],
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env=self._env(), timeout=60)

    def stop(self, timeout=20.0):
        """Ends the server; natively checks a clean exit without sanitizer reports.

        Returns the trace lines written after the stop request."""
        if self.process is None:
            return []
        mark = self.mark()
        self._end()
        try:
            rc = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(10)
            raise AssertionError("the server did not end within %.0f s of the stop request" % timeout)
        finally:
            self.process = None
            self.unregister()
        errors = self._checked_stderr()
        if rc != 0 and not self.wine:
            raise AssertionError("the server ended with status %d after SIGTERM:\n%s" % (rc, errors))
        return self.lines(mark)

    def wait_exit(self, timeout=60.0):
        """Waits for the server to end on its own; returns its exit status (natively after checking
        that no sanitizer reported anything)."""
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
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(10)
            self.process = None
        self.unregister()

    def unregister(self):
        if self.registered:
            self.registered = False
            self.run_switch("/UnregServer")

    def remove(self):
        shutil.rmtree(self.work_dir, ignore_errors=True)

    # -- trace lines --

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
        def matches(line):
            return expected.match(line) if hasattr(expected, "match") else line == expected
        deadline = time.monotonic() + timeout
        while True:
            for line in self.lines(since):
                if matches(line):
                    return line
            if time.monotonic() > deadline:
                raise AssertionError("no trace line %r within %.1f s; lines: %r"
                                     % (getattr(expected, "pattern", expected), timeout,
                                        self.lines(since)[-20:]))
            if self.process is not None and self.process.poll() is not None:
                raise AssertionError("the server ended (status %d) while waiting for %r; lines: %r"
                                     % (self.process.returncode,
                                        getattr(expected, "pattern", expected), self.lines(since)[-20:]))
            time.sleep(0.02)

    def lines_until(self, expected, since, timeout=10.0):
        """The trace lines after `since` up to and including the awaited one."""
        last = self.wait_for(expected, since, timeout)
        lines = self.lines(since)
        return lines[:lines.index(last) + 1]


# ---- a served tree for one test module -----------------------------------------------------

class ServedTree:
    """A scratch directory holding the boot directory `boot/` (and whatever lies beside it), with
    the server started over it. Test modules create one in setUpModule and finish it in
    tearDownModule, so every case of a module shares one server process."""

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
            if check:
                self.server.stop()
            else:
                self.server.kill()
        finally:
            self.server.remove()
            shutil.rmtree(self.root, ignore_errors=True)


def pattern_bytes(size, seed):
    """Reproducible file content in which every block differs from its neighbours."""
    return random.Random(seed).randbytes(size)
