"""Start and end of the server process: the port held by another socket, the listening line, a clean stop."""

import os
import shutil
import socket
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tftp_harness import (DOWN_LINE, ENTRY_LINE, LISTENING, PORT, Client, Server, make_tree,  # noqa: E402
                          pattern_bytes, under_wine)

CONTENT = pattern_bytes(3000, 31)
STARTING = "Starting TFTP server"


class StartAndStop(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="corvane-start-")
        self.addCleanup(shutil.rmtree, self.root, True)
        make_tree(self.root, {"boot.bin": CONTENT})
        self.server = Server(self.root)
        self.addCleanup(self.server.remove)
        self.addCleanup(self.server.kill)

    def hold_port(self):
        holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        holder.bind(("0.0.0.0", PORT))
        self.addCleanup(holder.close)
        return holder

    def assertServes(self):
        with Client() as c:
            self.assertEqual(c.fetch(b"boot.bin"), CONTENT)

    def test_listening_line_names_the_boot_directory(self):
        boot_text = self.server.start()
        self.assertEqual(boot_text, self.server.expected_boot_text())
        lines = self.server.lines()
        self.assertLess(lines.index(STARTING), lines.index(ENTRY_LINE))
        self.assertServes()
        after = self.server.stop()
        if not under_wine():
            self.assertIn(DOWN_LINE, after)
            self.assertFalse([line for line in after if line.startswith("TFTP: recv() failed")], after)

    def test_waits_while_another_socket_holds_the_port(self):
        holder = self.hold_port()
        self.server.launch()
        self.server.wait_for(ENTRY_LINE, 0, timeout=60.0)
        time.sleep(1.5)
        self.assertFalse([line for line in self.server.lines() if LISTENING.match(line)])
        holder.close()
        released = time.monotonic()
        self.server.wait_for(LISTENING, 0, timeout=10.0)
        sys.stderr.write("listening %.3f s after the port was released\n" % (time.monotonic() - released))
        self.assertServes()
        self.server.stop()

    def test_boot_directory_longer_than_259_bytes_is_not_served(self):
        deep = os.path.join(self.root, "d" * 100, "e" * 100, "f" * 100)
        make_tree(deep, {"boot.bin": CONTENT})
        server = Server(deep)
        self.addCleanup(server.remove)
        self.addCleanup(server.kill)
        self.assertGreater(len(server.expected_boot_text()), 259)
        if under_wine():
            # The registration itself is made by the copy in a short directory.
            self.assertEqual(self.server.run_switch("/RegServer"), 0)
            self.addCleanup(self.server.run_switch, "/UnregServer")
        server.launch(register=False)
        self.assertNotEqual(server.wait_exit(), 0)
        lines = server.lines()
        refusal = [line for line in lines if line.startswith("TFTP: Boot directory of ")]
        self.assertEqual(len(refusal), 1, lines)
        self.assertTrue(refusal[0].endswith("server not started"), refusal)
        self.assertNotIn(ENTRY_LINE, lines)

    @unittest.skipIf(under_wine(), "Corvane.exe in the foreground is only ever ended from outside")
    def test_stop_while_waiting_for_the_port(self):
        self.hold_port()
        self.server.launch()
        self.server.wait_for(ENTRY_LINE, 0, timeout=60.0)
        time.sleep(0.7)
        after = self.server.stop()
        self.assertIn(DOWN_LINE, after)
        self.assertFalse([line for line in self.server.lines() if LISTENING.match(line)])


if __name__ == "__main__":
    unittest.main(verbosity=2)
