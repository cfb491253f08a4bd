"""Packet-level tests of transfers: exact DATA and OACK bytes, resends, stray and short datagrams, takeover."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tftp_harness import (ERR_READ_FAILED, ERR_WRITE, STATISTICS, PacketCase, ServedTree, ack, data,  # noqa: E402
                          error, oack, pattern_bytes, rrq, wrq)

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
READ_FAILED = "TFTP: Read of file failed in ACK handler"


def setUpModule():
    global TREE
    TREE = ServedTree(FILES)
    PacketCase.server = TREE.server


def tearDownModule():
    TREE.finish()


def block(content, number, size=512):
    return data(number, content[(number - 1) * size:number * size])


class TransferCase(PacketCase):
    def at_block_two(self):
        """A new client whose 512-byte transfer of f4000.bin awaits ACK 2; returns it and a trace mark."""
        c = self.client()
        self.assertPacket(c.request(rrq(b"f4000.bin")), block(F4000, 1))
        self.assertPacket(c.request(ack(1)), block(F4000, 2))
        return c, self.server.mark()

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

    def test_whole_multiple_and_empty_file_end_with_a_4_byte_block(self):
        for name, last in ((b"f1024.bin", b"\x00\x03\x00\x03"), (b"empty.bin", b"\x00\x03\x00\x01")):
            with self.subTest(name=name):
                content = FILES[name.decode()]
                c = self.client()
                self.assertPacket(c.request(rrq(name)), block(content, 1))
                self.assertEqual(block(content, len(content) // 512 + 1), last)
                self.finish_from(c, 1, content)

    def test_repeated_final_ack_prints_statistics_again_and_sends_nothing(self):
        c = self.client()
        self.assertPacket(c.request(rrq(b"empty.bin")), b"\x00\x03\x00\x01")
        self.finish_from(c, 1, b"")
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
                self.assertPacket(self.client().request(rrq(b"f1300.bin", mode)), block(FILES["f1300.bin"], 1))


class Options(TransferCase):
    def test_blksize_values_and_spellings(self):
        for name, value, block_size in ((b"blksize", b"1024", 1024), (b"BLKSIZE", b"100", 512),
                                        (b"BlkSize", b"1428", 1428), (b"blksize", b"65464", 1428),
                                        (b"blksize", b"abc", 512), (b"blksize", b"-1024", 512)):
            with self.subTest(option=name, value=value):
                c = self.client()
                mark = self.server.mark()
                reply = c.request(rrq(b"f4000.bin", b"octet", (name, value)))
                self.assertPacket(reply, oack(block_size))
                self.assertEqual(len(reply), 14 if block_size < 1000 else 15)
                self.assertEqual(self.server.lines_until("TFTP: Found tftp 'blksize' option extension.", mark),
                                 ["TFTP: Received read request", "TFTP: Received RRQ for f4000.bin",
                                  "TFTP: Found tftp 'blksize' option extension."])
                # Nothing follows the OACK until ACK 0: DATA 1 must be the very next datagram.
                self.assertPacket(c.request(ack(0)), block(F4000, 1, block_size))
                self.finish_from(c, 1, F4000, block_size)

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
        c, _ = self.at_block_two()
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
        b = self.client()
        a, mark = self.at_block_two()
        self.assertPacket(b.request(wrq(b"boot.bin")), ERR_WRITE)
        self.assertEqual(len(ERR_WRITE), 35)
        self.assertPacket(b.request(data(1, b"firmware")), ERR_WRITE)
        self.assertEqual(self.server.lines_until("TFTP: Received invalid DATA packet", mark),
                         [WRITE_REQUEST, "TFTP: Received invalid DATA packet"])
        self.finish_from(a, 2)

    def test_error_from_the_client_ends_the_transfer(self):
        for packet, text in ((error(0, b"cancelled by user"), "0 packet - cancelled by user"),
                             (error(3, b""), "3 packet - no reason given")):
            with self.subTest(text=text):
                c, mark = self.at_block_two()
                c.send(packet)
                self.assertPacket(c.request(ack(2)), ERR_READ_FAILED)
                self.assertEqual(self.server.lines_until(READ_FAILED, mark),
                                 ["TFTP: Received error " + text, READ_FAILED])

    def test_second_client_takes_over(self):
        b = self.client()
        other = FILES["g4000.bin"]
        a, _ = self.at_block_two()
        self.assertPacket(b.request(rrq(b"g4000.bin")), block(other, 1))
        # A's ACK is matched against B's transfer and answered to A, the most recent sender.
        self.assertPacket(a.request(ack(1)), block(other, 2))
        self.assertPacket(b.request(ack(1)), block(other, 2))
        self.finish_from(b, 2, other)
        self.assertTrue(a.quiet_for(0.2))

    def test_ignored_opcodes_and_empty_datagram_draw_no_reply(self):
        ignored = (b"\x00\x00\x00\x02", oack(1024), b"\x00\x07\x00\x02", b"\xff\xff\x00\x02")
        for packets, traced in ((ignored, []), ((b"",), ["TFTP: Client closed connection"])):
            with self.subTest(packets=packets):
                c, mark = self.at_block_two()
                for packet in packets:
                    c.send(packet)
                self.assertPacket(c.request(ack(2)), block(F4000, 3))
                self.assertPacket(c.request(wrq(b"x")), ERR_WRITE)
                self.assertEqual(self.server.lines_until(WRITE_REQUEST, mark), traced + [WRITE_REQUEST])
                self.finish_from(c, 3)

    def test_datagram_over_2048_bytes_is_a_failed_receive(self):
        c, mark = self.at_block_two()
        oversized = rrq(b"g" * 2040)
        self.assertEqual(len(oversized), 2049)
        c.send(oversized)
        self.assertPacket(c.request(ack(2)), block(F4000, 3))
        lines = self.server.lines(mark)
        self.assertEqual(len(lines), 1, lines)
        self.assertTrue(lines[0].startswith(RECV_FAILED) and lines[0][len(RECV_FAILED):].isdigit(), lines)
        self.finish_from(c, 3)


class ShortDatagrams(TransferCase):
    """Datagrams too short for their fields are ignored. Each follows a datagram of an ignored opcode
    that primes the buffer with bytes completing it into a packet with an effect, should it be read."""

    def test_short_acks_errors_and_read_requests(self):
        ack_prime, error_prime = b"\x00\x09\x00\x02", b"\x00\x09\x00\x00stop\x00"
        rrq_prime = b"\x00\x09g4000.bin\x00octet\x00"
        pairs = [(b"\x01\x04\x00\x02", b"\x00"), (ack_prime, b"\x00\x04"), (ack_prime, b"\x00\x04\x00"),
                 (error_prime, b"\x00\x05"), (error_prime, b"\x00\x05\x00")]
        pairs += [(rrq_prime, short) for short in (b"\x00\x01", b"\x00\x01g40", b"\x00\x01g4000.bin",
                                                   b"\x00\x01g4000.bin\x00oct")]
        for prime, short in pairs:
            with self.subTest(short=short):
                c, _ = self.at_block_two()
                c.send(prime)
                c.send(short)
                self.finish_from(c, 2)

    def test_error_text_without_nul_ends_at_the_datagram(self):
        c, _ = self.at_block_two()
        c.send(b"\x00\x09\x00\x07abcXYZ\x00")
        mark = self.server.mark()
        c.send(b"\x00\x05\x00\x07abc")
        self.assertEqual(self.server.lines_until("TFTP: Received error 7 packet - abc", mark),
                         ["TFTP: Received error 7 packet - abc"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
