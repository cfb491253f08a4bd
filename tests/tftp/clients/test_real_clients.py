"""Real TFTP clients (atftp, curl, tftp-hpa) fetch files of several sizes byte for byte."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tftp_harness import HOST, PORT, STATISTICS, PacketCase, ServedTree, pattern_bytes  # noqa: E402

SIZES = [0, 1, 511, 512, 513, 1024, 1300, 1427, 1428, 1429, 2856, 100000, 1000000]
FILES = {"f%d.bin" % size: pattern_bytes(size, size) for size in SIZES}
FILES["fw/boot.bin"] = pattern_bytes(5000, 41)

FOUND_BLKSIZE = "TFTP: Found tftp 'blksize' option extension."
NO_OPTIONS = "TFTP: No tftp option extensions found."

# Each client: its command for (remote name, local file), the block size that the server must use
# for it, and the option trace line that its request must draw (None: neither of the two lines).
# curl asks for tsize before blksize; only the first option counts, so it gets 512-byte blocks.
CLIENTS = {
    "atftp": (lambda name, out: ["atftp", "--get", "-r", name, "-l", out, HOST, str(PORT)], 512, NO_OPTIONS),
    "atftp blksize 1428": (lambda name, out: ["atftp", "--option", "blksize 1428", "--get", "-r", name, "-l", out,
                                              HOST, str(PORT)], 1428, FOUND_BLKSIZE),
    "curl": (lambda name, out: ["curl", "-sS", "--max-time", "60", "-o", out, "tftp://%s:%d/%s" % (HOST, PORT, name)],
             512, None),
    "tftp-hpa": (lambda name, out: ["tftp", "-m", "binary", HOST, str(PORT), "-c", "get", name, out], 512, NO_OPTIONS),
}
TREE = None


def setUpModule():
    global TREE
    missing = [tool for tool in ("atftp", "curl", "tftp") if shutil.which(tool) is None]
    if missing:
        raise RuntimeError("TFTP clients missing (scripts/setup.sh installs them): %s" % missing)
    TREE = ServedTree(FILES)


def tearDownModule():
    TREE.finish()


class RealClients(PacketCase):
    def setUp(self):
        self.out_dir = tempfile.mkdtemp(prefix="corvane-fetched-")
        self.addCleanup(shutil.rmtree, self.out_dir, True)

    def fetch(self, client, name, content):
        command, block_size, option_line = CLIENTS[client]
        out = os.path.join(self.out_dir, "fetched")
        if os.path.exists(out):
            os.remove(out)
        server = TREE.server
        mark = server.mark()
        result = subprocess.run(command(name, out), stdin=subprocess.DEVNULL, capture_output=True,
                                timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr.decode("latin-1"))
        with open(out, "rb") as f:
            self.assertEqual(f.read(), content, "%s fetched different bytes" % name)
        lines = server.lines_until(STATISTICS, mark)
        self.assertEqual(lines[:2], ["TFTP: Received read request", "TFTP: Received RRQ for " + name])
        self.assertEqual(lines[2:-1], [option_line] if option_line else [], lines)
        self.assertStatistics(lines[-1], len(content) // block_size + 1, block_size)

    def test_every_client_fetches_every_file(self):
        for client in CLIENTS:
            for name, content in FILES.items():
                with self.subTest(client=client, file=name):
                    self.fetch(client, name, content)


if __name__ == "__main__":
    unittest.main(verbosity=2)
