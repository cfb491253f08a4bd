"""Real TFTP clients fetch from the program serving in the foreground (Corvane.exe under Wine from a drive's root,
or the native runner), over IPv4 and IPv6: sizes at a window's boundaries, U-Boot's options, a lossy path, a file past
65535 blocks over both families at once; natively also the start-up limits and IPv4 alone where the system has no IPv6."""
import concurrent.futures
import os
import pathlib
import re
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

from corvane import SERVER, UNDER_WINE, Prefix, Server, fetch
from relay import LossyRelay

SIZES = (0, 1428 * 16, 1428 * 16 + 1)
WINDOW = ("--option", "blksize 1428", "--option", "windowsize 16")
UBOOT = ("--option", "timeout 5", "--option", "tsize 0", *WINDOW)   # the options U-Boot asks for
LARGE = 65536 * 64 + 10   # blocks 1 to 65535, 0 and a last, short 1 of 64 bytes
HOSTS = ("127.0.0.1", "::1")


class ClientTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.prefix = Prefix() if UNDER_WINE else None
        cls.root = pathlib.Path(tempfile.mkdtemp(prefix="corvane-clients-"))
        cls.addClassCleanup(shutil.rmtree, cls.root, True)
        boot = cls.root / "boot"
        boot.mkdir()
        cls.files = {f"f{size}.bin": os.urandom(size) for size in SIZES} | {"large.bin": os.urandom(LARGE)}
        if UNDER_WINE:   # served from a drive's root, as from a USB stick that holds the program and the files
            cls.addClassCleanup(cls.prefix.down), cls.prefix.up()
            drive = pathlib.Path(cls.prefix.path, "dosdevices", "x:")
            drive.unlink(missing_ok=True), drive.symlink_to(boot), cls.addClassCleanup(drive.unlink)
        for name, content in cls.files.items():
            (boot / name).write_bytes(content)
        cls.server = Server(boot, cls.prefix, "X:" if UNDER_WINE else None)
        cls.listening = cls.server.start()
        cls.boot_text = "X:\\" if UNDER_WINE else f"{boot}/"

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def assert_fetched(self, client, name, arguments, block_size=None, port=6051, host=HOSTS[0]):
        mark = len(self.server.lines())
        self.assertTrue(fetch(client, name, *arguments, port=port, host=host) == (0, self.files[name]),
                        f"{client} {arguments} fetched {name} from {host} wrongly")
        if block_size:   # the transfer's record, by file and client: another's may end later
            record = rf"^TFTP: Sent {name} to {re.escape(f'[{host}]' if ':' in host else host)}:\d+: \d+ bytes in (\d+) blocks of (\d+),"
            self.assertEqual(re.match(record, self.server.wait_line(record, mark)).groups(),
                             (str(len(self.files[name]) // block_size + 1), str(block_size)))

    def test_real_clients_at_window_boundaries(self):
        self.assertTrue(self.listening.endswith(" at " + self.boot_text), self.listening)
        # The first failure ends the case: a broken server is not waited on two dozen times. Over IPv6, whose header
        # is 20 bytes longer, the largest block is 1408 bytes.
        for host, block in zip(HOSTS, (1428, 1408)):
            for size in SIZES:
                self.assert_fetched("curl", f"f{size}.bin", ("--tftp-blksize", "1428"), block, host=host)
                self.assert_fetched("tftp-hpa", f"f{size}.bin", (), 512, host=host)
                self.assert_fetched("atftp", f"f{size}.bin", UBOOT, block, host=host)
                with LossyRelay(6051, 0.05, size, host) as relay:   # a path that loses 5 % of the datagrams
                    self.assert_fetched("atftp", f"f{size}.bin", ("--tftp-timeout", "1", *WINDOW), port=relay.port, host=host)

    def test_block_numbers_roll_over_inside_windows_over_both_families_at_once(self):
        arguments = ("--option", "blksize 64", "--option", "windowsize 16")
        with concurrent.futures.ThreadPoolExecutor(len(HOSTS)) as pool:
            fetched = list(pool.map(lambda host: fetch("atftp", "large.bin", *arguments, host=host), HOSTS))
        self.assertTrue(fetched == [(0, self.files["large.bin"])] * len(HOSTS), [rc for rc, _ in fetched])


@unittest.skipIf(UNDER_WINE, "the same start-up code runs natively, without Wine's slow process start")
class StartTests(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="corvane-start-")
        self.addCleanup(shutil.rmtree, self.root, True)

    def directory(self, length):
        """A new directory whose path with its closing '/' has exactly length bytes."""
        path = self.root
        while len(path) + 1 < length:
            path += "/" + "d" * min(200, length - len(path) - 2)
        os.makedirs(path)
        return pathlib.Path(path)

    def test_boot_directory_and_path_lengths(self):
        refused = Server(self.directory(260))
        refused.start(wait_line="server not started")
        self.assertEqual(refused.process.wait(30), 1)
        self.assertEqual(refused.lines(), ["TFTP: Boot directory of 260 bytes is longer than 259 (error 36), "
                                           "server not started"])
        boot = self.directory(259)
        for name in ("abcd", "abcde"):   # the full path fits 264 bytes with its NUL, or does not
            (boot / name).write_bytes(b"x" * 600)
        server = Server(boot)
        server.start()
        try:
            self.assertEqual(fetch("curl", "abcd"), (0, b"x" * 600))
            self.assertNotEqual(fetch("curl", "abcde")[0], 0)
        finally:
            server.stop()

    def test_ipv4_alone_where_the_system_has_no_ipv6(self):
        boot = self.directory(40)
        (boot / "x").write_bytes(b"x" * 600)
        program, trace, out = shutil.copy(SERVER, boot), boot / "trace", boot / "fetched"
        # A network of its own whose IPv6 is disabled: the server, then one IPv4 client, and the server's end.
        script = ('sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.lo.disable_ipv6=1 && ip link set lo up && '
                  '{ "$1" >"$2" 2>&1 & for i in $(seq 100); do grep -q Listening "$2" && break; sleep 0.1; done; '
                  'curl -sS --max-time 20 -o "$3" tftp://127.0.0.1:6051/x; kill $!; wait; }')
        subprocess.run(["unshare", "-n", "sh", "-c", script, "sh", program, trace, out], timeout=60, check=True)
        self.assertEqual(out.read_bytes(), b"x" * 600)
        self.assertRegex(trace.read_text(), r"\nTFTP: IPv6 is not available \(error \d+\), serving IPv4 only\nTFTP: 'Listening'")

    def test_waits_while_another_socket_holds_the_port(self):
        holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        holder.bind(("0.0.0.0", 6051))
        server = Server(self.directory(40))
        try:
            server.start(wait_line=r"^Entering CTFTPServer::Entry\(\)\.$")
            time.sleep(1)
            self.assertFalse([line for line in server.lines() if "Listening" in line])
            holder.close()
            server.wait_line("Listening", 0)
            # An empty datagram is no shut-down; one over the 2048-byte buffer fails the receive (EMSGSIZE), not cut.
            for datagram in (b"", b"\0\1" + b"x" * 2998):
                socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(datagram, ("127.0.0.1", 6051))
            server.wait_line(r"^TFTP: Client closed connection$", 0)
            server.wait_line(r"^TFTP: recv\(\) failed: error 90$", 0)
        finally:
            holder.close()
            server.stop()

