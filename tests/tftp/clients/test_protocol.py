"""Packet-level tests of transfers: exact DATA and OACK bytes, resends, stray and short datagrams, takeover."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tftp_harness import (ERR_READ_FAILED, ERR_WRITE, STATISTICS, Client, ServedTree, ack, data,  # noqa: E402
                          describe, error, oack, pattern_bytes, rrq, wrq)

FILES = {
    "f1300.bin": pattern_bytes(1300, 1),
    "f1024.bin": pattern_bytes(1024, 2),
    "empty.bin": b"",
    "f4000.bin": pattern_bytes(4000, 3),
    "g4000.bin": pattern_bytes(4000, 4),
}
F4000 = FILES["f4000.bin"]
TREE = None

RECV_FAILED = "TFTP: recv() failed: error "
WRITE_REQUEST = "TFTP: Received unsupported write request"


def setUpModule():
    global TREE
    TREE = ServedTree(FILES)


def tearDownModule():
    TREE.finish()


def block(content, number, size=512):
    return data(number, content[(number - 1) * size:number * size])


class TransferCase(unittest.TestCase):
    def setUp(self):
        self.server = TREE.server

    def client(self):
        c = Client()
        self.addCleanup(c.close)
        return c

    def assertPacket(self, actual, expected):
        self.assertEqual(actual, expected, "got %s, expected %s" % (describe(actual), describe(expected)))

    def assertStatistics(self, line, blocks, block_size):
        match = STATISTICS.match(line)
        self.assertIsNotNone(match, line)
        self.assertEqual((int(match.group(1)), int(match.group(2))), (blocks, block_size), line)

    def at_block_two(self, c):
        """Starts a 512-byte transfer of f4000.bin and brings it to DATA 2 (awaiting ACK 2)."""
        self.assertPacket(c.request(rrq(b"f4000.bin")), block(F4000, 1))
        self.assertPacket(c.request(ack(1)), block(F4000, 2))

    def finish_from(self, c, number, content=F4000, size=512):
        """Acknowledges DATA `number` onwards to the end; checks every block and the statistics line."""
        mark = self.server.mark()
        last = len(content) // size + 1
        for n in range(number, last):
            self.assertPacket(c.request(ack(n)), block(content, n + 1, size))
        c.send(ack(last))
        self.assertStatistics(self.server.wait_for(STATISTICS, mark), last, size)


class DataBlocks(TransferCase):
    def test_1300_bytes_go_out_as_516_516_280(self):
        content = FILES["f1300.bin"]
        c = self.client()
        mark = self.server.mark()
        replies = [c.request(rrq(b"f1300.bin")), c.request(ack(1)), c.request(ack(2))]
        self.assertEqual([len(r) for r in replies], [516, 516, 280])
        for n, reply in enumerate(replies, 1):
            self.assertPacket(reply, block(content, n))
        c.send(ack(3))
        lines = self.server.lines_until(STATISTICS, mark)
        self.assertEqual(lines[:3], ["TFTP: Received read request", "TFTP: Received RRQ for f1300.bin",
                                     "TFTP: No tftp option extensions found."])
        self.assertEqual(len(lines), 4, lines)
        self.assertStatistics(lines[3], 3, 512)

    def test_whole_multiple_ends_with_4_byte_block(self):
        content = FILES["f1024.bin"]
        c = self.client()
        self.assertPacket(c.request(rrq(b"f1024.bin")), block(content, 1))
        self.assertPacket(c.request(ack(1)), block(content, 2))
        self.assertPacket(c.request(ack(2)), b"\x00\x03\x00\x03")
        mark = self.server.mark()
        c.send(ack(3))
        self.assertStatistics(self.server.wait_for(STATISTICS, mark), 3, 512)

    def test_empty_file_is_one_4_byte_block(self):
        c = self.client()
        self.assertPacket(c.request(rrq(b"empty.bin")), b"\x00\x03\x00\x01")
        mark = self.server.mark()
        c.send(ack(1))
        self.assertStatistics(self.server.wait_for(STATISTICS, mark), 1, 512)

    def test_repeated_final_ack_prints_statistics_again_and_sends_nothing(self):
        c = self.client()
        self.assertPacket(c.request(rrq(b"empty.bin")), b"\x00\x03\x00\x01")
        mark = self.server.mark()
        c.send(ack(1))
        self.server.wait_for(STATISTICS, mark)
        again = self.server.mark()
        c.send(ack(1))
        # The write request is answered; an answer to the repeated ACK would arrive first.
        self.assertPacket(c.request(wrq(b"x")), ERR_WRITE)
        lines = self.server.lines_until(WRITE_REQUEST, again)
        self.assertEqual(len(lines), 2, lines)
        self.assertStatistics(lines[0], 1, 512)

    def test_mode_octet_in_any_case_or_with_more_letters(self):
        for mode in (b"OCTET", b"Octet", b"octets"):
            with self.subTest(mode=mode):
                c = self.client()
                self.assertPacket(c.request(rrq(b"f1300.bin", mode)), block(FILES["f1300.bin"], 1))


class Options(TransferCase):
    def negotiate(self, options, block_size):
        c = self.client()
        mark = self.server.mark()
        reply = c.request(rrq(b"f4000.bin", b"octet", options))
        self.assertPacket(reply, oack(block_size))
        self.assertEqual(len(reply), 14 if block_size < 1000 else 15)
        self.assertEqual(self.server.lines_until("TFTP: Found tftp 'blksize' option extension.", mark),
                         ["TFTP: Received read request", "TFTP: Received RRQ for f4000.bin",
                          "TFTP: Found tftp 'blksize' option extension."])
        # Nothing follows the OACK until ACK 0: DATA 1 must be the very next datagram.
        self.assertPacket(c.request(ack(0)), block(F4000, 1, block_size))
        self.finish_from(c, 1, F4000, block_size)

    def test_blksize_1024(self):
        self.negotiate((b"blksize", b"1024"), 1024)

    def test_capitals_and_100_give_512(self):
        self.negotiate((b"BLKSIZE", b"100"), 512)

    def test_mixed_case_1428(self):
        self.negotiate((b"BlkSize", b"1428"), 1428)

    def test_65464_gives_1428(self):
        self.negotiate((b"blksize", b"65464"), 1428)

    def test_letters_give_512(self):
        self.negotiate((b"blksize", b"abc"), 512)

    def test_negative_gives_512(self):
        self.negotiate((b"blksize", b"-1024"), 512)

    def test_only_the_first_option_counts(self):
        c = self.client()
        mark = self.server.mark()
        self.assertPacket(c.request(rrq(b"f4000.bin", b"octet", (b"tsize", b"0", b"blksize", b"1024"))),
                          block(F4000, 1))
        self.finish_from(c, 1)
        lines = self.server.lines(mark)
        self.assertEqual(lines[:2], ["TFTP: Received read request", "TFTP: Received RRQ for f4000.bin"])
        self.assertEqual(len(lines), 3, lines)


class Resends(TransferCase):
    def test_duplicate_ack_resends_the_current_block_byte_for_byte(self):
        c = self.client()
        self.at_block_two(c)
        third = c.request(ack(2))
        self.assertPacket(third, block(F4000, 3))
        for _ in range(2):
            self.assertPacket(c.request(ack(2)), third)
        # An ACK two blocks back and one ahead are ignored: DATA 4 is the next answer.
        c.send(ack(1))
        c.send(ack(4))
        self.finish_from(c, 3)

    def test_repeated_ack_0_after_oack_resends_data_1(self):
        c = self.client()
        self.assertPacket(c.request(rrq(b"f4000.bin", b"octet", (b"blksize", b"1024"))), oack(1024))
        first = c.request(ack(0))
        self.assertPacket(first, block(F4000, 1, 1024))
        self.assertPacket(c.request(ack(0)), first)
        self.assertPacket(c.request(ack(1)), block(F4000, 2, 1024))
        c.send(ack(0))  # no longer the previous block: ignored
        self.finish_from(c, 2, F4000, 1024)

    def test_ack_0_without_oack_is_ignored(self):
        c = self.client()
        self.assertPacket(c.request(rrq(b"f4000.bin")), block(F4000, 1))
        c.send(ack(0))
        self.finish_from(c, 1)


class StrayPackets(TransferCase):
    def test_write_request_and_data_during_a_transfer(self):
        a, b = self.client(), self.client()
        self.at_block_two(a)
        mark = self.server.mark()
        self.assertPacket(b.request(wrq(b"boot.bin")), ERR_WRITE)
        self.assertEqual(len(ERR_WRITE), 35)
        self.assertPacket(b.request(data(1, b"firmware")), ERR_WRITE)
        self.assertEqual(self.server.lines_until("TFTP: Received invalid DATA packet", mark),
                         [WRITE_REQUEST, "TFTP: Received invalid DATA packet"])
        self.finish_from(a, 2)

    def test_error_from_the_client_ends_the_transfer(self):
        c = self.client()
        self.at_block_two(c)
        mark = self.server.mark()
        c.send(error(0, b"cancelled by user"))
        self.assertPacket(c.request(ack(2)), ERR_READ_FAILED)
        self.assertEqual(self.server.lines_until("TFTP: Read of file failed in ACK handler", mark),
                         ["TFTP: Received error 0 packet - cancelled by user",
                          "TFTP: Read of file failed in ACK handler"])

    def test_error_without_text(self):
        c = self.client()
        self.at_block_two(c)
        mark = self.server.mark()
        c.send(error(3, b""))
        self.assertPacket(c.request(ack(2)), ERR_READ_FAILED)
        self.assertEqual(self.server.lines_until("TFTP: Read of file failed in ACK handler", mark)[0],
                         "TFTP: Received error 3 packet - no reason given")

    def test_second_client_takes_over(self):
        a, b = self.client(), self.client()
        other = FILES["g4000.bin"]
        self.at_block_two(a)
        self.assertPacket(b.request(rrq(b"g4000.bin")), block(other, 1))
        # A's ACK is matched against B's transfer and answered to A, the most recent sender.
        self.assertPacket(a.request(ack(1)), block(other, 2))
        self.assertPacket(b.request(ack(1)), block(other, 2))
        self.finish_from(b, 2, other)
        self.assertTrue(a.quiet_for(0.2))

    def test_ignored_opcodes_draw_no_reply_and_no_trace(self):
        c = self.client()
        self.at_block_two(c)
        mark = self.server.mark()
        for packet in (b"\x00\x00\x00\x02", oack(1024), b"\x00\x07\x00\x02", b"\xff\xff\x00\x02"):
            c.send(packet)
        self.assertPacket(c.request(ack(2)), block(F4000, 3))
        self.assertPacket(c.request(wrq(b"x")), ERR_WRITE)
        self.assertEqual(self.server.lines_until(WRITE_REQUEST, mark), [WRITE_REQUEST])
        self.finish_from(c, 3)

    def test_empty_datagram(self):
        c = self.client()
        self.at_block_two(c)
        mark = self.server.mark()
        c.send(b"")
        self.assertPacket(c.request(ack(2)), block(F4000, 3))
        self.assertPacket(c.request(wrq(b"x")), ERR_WRITE)
        self.assertEqual(self.server.lines_until(WRITE_REQUEST, mark),
                         ["TFTP: Client closed connection", WRITE_REQUEST])
        self.finish_from(c, 3)

    def test_datagram_over_2048_bytes_is_a_failed_receive(self):
        c = self.client()
        self.at_block_two(c)
        mark = self.server.mark()
        oversized = rrq(b"g" * 2040)
        self.assertEqual(len(oversized), 2049)
        c.send(oversized)
        self.assertPacket(c.request(ack(2)), block(F4000, 3))
        lines = self.server.lines(mark)
        self.assertEqual(len(lines), 1, lines)
        self.assertTrue(lines[0].startswith(RECV_FAILED) and lines[0][len(RECV_FAILED):].isdigit(), lines)
        self.finish_from(c, 3)


class ShortDatagrams(TransferCase):
    """Datagrams too short for their fields are ignored. Before each one the packet buffer is
    primed (by a datagram of an ignored opcode) with bytes that would complete it into a packet
    with an effect, so a server that read past the received bytes would answer."""

    def test_short_acks(self):
        c = self.client()
        self.at_block_two(c)
        for prime, short in ((b"\x01\x04\x00\x02", b"\x00"),
                             (b"\x00\x09\x00\x02", b"\x00\x04"),
                             (b"\x00\x09\x00\x02", b"\x00\x04\x00")):
            c.send(prime)
            c.send(short)
        self.finish_from(c, 2)

    def test_short_errors(self):
        c = self.client()
        self.at_block_two(c)
        for prime, short in ((b"\x00\x09\x00\x00stop\x00", b"\x00\x05"),
                             (b"\x00\x09\x00\x00stop\x00", b"\x00\x05\x00")):
            c.send(prime)
            c.send(short)
        self.finish_from(c, 2)

    def test_read_requests_without_closing_nul(self):
        c = self.client()
        self.at_block_two(c)
        prime = b"\x00\x09g4000.bin\x00octet\x00"
        for short in (b"\x00\x01", b"\x00\x01g40", b"\x00\x01g4000.bin", b"\x00\x01g4000.bin\x00oct"):
            c.send(prime)
            c.send(short)
        self.finish_from(c, 2)

    def test_error_text_without_nul_ends_at_the_datagram(self):
        c = self.client()
        self.at_block_two(c)
        c.send(b"\x00\x09\x00\x07abcXYZ\x00")
        mark = self.server.mark()
        c.send(b"\x00\x05\x00\x07abc")
        self.assertEqual(self.server.lines_until("TFTP: Received error 7 packet - abc", mark),
                         ["TFTP: Received error 7 packet - abc"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
