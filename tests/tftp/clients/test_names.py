"""Packet-level tests of read requests: refused names, modes and paths, and the names that are served."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tftp_harness import (ERR_MODE, ERR_NO_NAME, ERR_NOT_FOUND, ERR_OPEN_FAILED, STATISTICS,  # noqa: E402
                          PacketCase, ServedTree, pattern_bytes, rrq, under_wine)

BOOT = pattern_bytes(1500, 11)
INNER = pattern_bytes(700, 12)
SECRET = b"outside the boot directory\n"

READ_REQUEST = "TFTP: Received read request"
INVALID_FILE = "TFTP: Received read request for invalid file"

# Names refused before the file system sees them: natively each is (or reaches) a real file, so a
# server that let one through would serve it; under Wine they are devices or lie outside.
UNSAFE = [b"../x", b"..\\x", b"fw/../boot.bin", b"fw/../../x", b"fw\\..\\..\\x", b"/etc/passwd",
          b"\\etc\\passwd", b"\\x", b"C:x", b"a:b", b"boot.bin::$DATA", b"...", b". .", b"..",
          b"fw/. /boot.bin", b"NUL", b"nul.txt", b"CON", b"con ", b"PRN", b"CONOUT$", b"LPT1.txt",
          b"lpt9", b"fw/Nul", b"com1.bin.txt"]
# Serial ports and the console under Wine, where a read may block: asked only once all above are refused.
BLOCKING = [b"COM1", b"AUX", b"aux ", b"CONIN$", b"com9.bin", b"fw/aux"]

FILES = {
    "boot.bin": BOOT,
    "fw/boot.bin": INNER,
    "etc/passwd": b"root:x:0:0\n",
    "adir": None,
    "p%s%n%d.bin": b"percent\n",
}
if not under_wine():
    FILES.update({name.decode(): SECRET for name in UNSAFE + BLOCKING
                  if b"/" not in name and name not in (b"..", b"...", b". .")})
    FILES.update({"...": SECRET, ". .": SECRET, "fw/. /boot.bin": SECRET, "fw/Nul": SECRET,
                  "fw/aux": SECRET})

TREE = None


def setUpModule():
    global TREE
    TREE = ServedTree(FILES, {"x": SECRET})
    PacketCase.server = TREE.server
    if not under_wine():
        os.symlink("../x", TREE.path("link"))
        os.symlink("..", TREE.path("up"))
        os.symlink("/dev/zero", TREE.path("zero"))
        os.symlink("boot.bin", TREE.path("alias.bin"))
        os.mkfifo(TREE.path("pipe"))


def tearDownModule():
    TREE.finish()


def long_file(path_length, tag):
    """Creates a file, in nested directories, whose full path has path_length bytes; returns its name."""
    length = path_length - len(TREE.boot_text)
    parts = []
    while length > 120:
        parts.append(tag * 100)
        length -= 101
    parts.append(tag * length)
    name = "/".join(parts)
    os.makedirs(os.path.dirname(TREE.path(name)), exist_ok=True)
    with open(TREE.path(name), "wb") as f:
        f.write(BOOT)
    return name.encode()


class NameCase(PacketCase):
    def assertRefused(self, name, reply=ERR_NOT_FOUND, last=INVALID_FILE, client=None, mode=b"octet"):
        """The request is answered with `reply`, and traced as the RRQ followed by `last`."""
        c = client or self.client()
        mark = self.server.mark()
        self.assertPacket(c.request(rrq(name, mode)), reply)
        self.assertEqual(self.server.lines_until(last, mark),
                         [READ_REQUEST, "TFTP: Received RRQ for " + name.decode("latin-1"), last])

    def assertServed(self, name, content):
        c = self.client()
        mark = self.server.mark()
        self.assertEqual(c.fetch(name), content)
        self.server.wait_for(STATISTICS, mark)


class RequestErrors(NameCase):
    def test_missing_file_is_a_25_byte_error_1(self):
        self.assertEqual(ERR_NOT_FOUND, b"\x00\x05\x00\x01File does not exist.\x00")
        self.assertRefused(b"nosuch.bin")

    def test_empty_name(self):
        c = self.client()
        mark = self.server.mark()
        self.assertPacket(c.request(rrq(b"")), ERR_NO_NAME)
        self.assertEqual(self.server.lines_until("TFTP: Received read request with invalid file", mark),
                         [READ_REQUEST, "TFTP: Received read request with invalid file"])

    def test_modes_other_than_octet_get_the_40_byte_error(self):
        self.assertEqual(len(ERR_MODE), 40)
        for mode in (b"netascii", b"mail", b"oct", b""):
            with self.subTest(mode=mode):
                self.assertRefused(b"boot.bin", ERR_MODE, "TFTP: Received read request for %s mode" % mode.decode(),
                                   mode=mode)

    def test_directory_fails_to_open(self):
        for name in (b"adir", b"fw"):
            with self.subTest(name=name):
                self.assertRefused(name, ERR_OPEN_FAILED)

    def test_percent_signs_in_names_are_printed_literally(self):
        self.assertServed(b"p%s%n%d.bin", b"percent\n")
        self.assertRefused(b"q%s%s%s%n%x.bin")


class ServedNames(NameCase):
    def test_plain_and_subdirectory_names(self):
        self.assertServed(b"boot.bin", BOOT)
        self.assertServed(b"fw/boot.bin", INNER)

    @unittest.skipUnless(under_wine(), "a backslash separates directories only on Windows")
    def test_subdirectory_name_with_backslash(self):
        self.assertServed(b"fw\\boot.bin", INNER)

    @unittest.skipIf(under_wine(), "symbolic links are made natively")
    def test_link_that_stays_inside(self):
        self.assertServed(b"alias.bin", BOOT)


class UnsafeNames(NameCase):
    def test_unsafe_names_are_answered_as_missing_files(self):
        c = self.client()
        failed = []
        for name in UNSAFE:
            with self.subTest(name=name):
                try:
                    self.assertRefused(name, client=c)
                except AssertionError:
                    failed.append(name)
                    raise
        if failed:
            self.skipTest("device names that may block are not requested while %r get through" % failed)
        for name in BLOCKING:
            with self.subTest(name=name):
                self.assertRefused(name, client=c)

    @unittest.skipIf(under_wine(), "symbolic links and pipes are made natively")
    def test_links_leading_outside_and_special_files(self):
        for name in (b"link", b"up/x", b"zero"):
            with self.subTest(name=name):
                self.assertRefused(name)
        c = self.client()
        c.send(rrq(b"pipe"))
        try:
            reply = c.recv(timeout=3.0)
        except AssertionError:  # stuck opening the pipe: a writer lets the server come back
            os.close(os.open(TREE.path("pipe"), os.O_WRONLY | os.O_NONBLOCK))
            raise AssertionError("an RRQ for a named pipe got no answer: the server blocked in it")
        self.assertPacket(reply, ERR_NOT_FOUND)


class LongPaths(NameCase):
    def test_full_path_that_fits_is_served(self):
        self.assertServed(long_file(259, "s"), BOOT)

    @unittest.skipIf(under_wine(), "Windows opens paths of at most 259 characters")
    def test_longest_full_path_that_fits_is_served(self):
        self.assertServed(long_file(263, "u"), BOOT)

    def test_full_path_that_does_not_fit_is_a_missing_file(self):
        self.assertRefused(long_file(264, "t"))

    def test_name_filling_the_datagram_and_its_cut_trace_line(self):
        packet = rrq(b"n" * 2039)
        self.assertEqual(len(packet), 2048)
        mark = self.server.mark()
        self.assertPacket(self.client().request(packet), ERR_NOT_FOUND)
        # The RRQ line is cut to 511 characters, its line end included, so the next line follows on.
        prefix = "TFTP: Received RRQ for "
        cut = prefix + "n" * (511 - len(prefix))
        self.assertEqual(self.server.lines_until(cut + INVALID_FILE, mark), [READ_REQUEST, cut + INVALID_FILE])


if __name__ == "__main__":
    unittest.main(verbosity=2)
