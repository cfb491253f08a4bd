"""A transfer of more than 65536 blocks: block numbers roll over to 0 and the statistics count stays whole."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tftp_harness import (STATISTICS, Client, PacketCase, ServedTree, ack, data_block, describe,  # noqa: E402
                          pattern_bytes, rrq)

SIZE = 65536 * 512 + 100
BLOCKS = SIZE // 512 + 1  # 65537: numbered 1 to 65535, then 0, then 1
# Where a client repeats its previous ACK: in the middle of the signed range (DATA 0x8000, after
# ACK 0x7FFF), at the wrap (DATA 0, after ACK 0xFFFF) and just after it (DATA 1 again, after ACK 0).
PROBES = (32768, 65536, 65537)
TREE = None


def setUpModule():
    global TREE
    TREE = ServedTree({"big.bin": pattern_bytes(SIZE, 21)})


def tearDownModule():
    TREE.finish()


class Rollover(PacketCase):
    def test_more_than_65536_blocks(self):
        with open(TREE.path("big.bin"), "rb") as f:
            content = f.read()
        server = TREE.server
        resent = {}
        with Client() as c:
            mark = server.mark()
            reply = c.request(rrq(b"big.bin"))
            for n in range(1, BLOCKS + 1):
                if data_block(reply) != n & 0xFFFF or reply[4:] != content[(n - 1) * 512:n * 512]:
                    self.fail("sequence %d: expected DATA %d with its bytes, got %s"
                              % (n, n & 0xFFFF, describe(reply)))
                if n in PROBES:
                    c.send(ack(n - 1))
                    try:
                        resent[n] = c.recv(timeout=2.0) == reply
                    except AssertionError:
                        resent[n] = False
                if n < BLOCKS:
                    reply = c.request(ack(n))
            c.send(ack(BLOCKS))
            line = server.wait_for(STATISTICS, mark, timeout=30.0)
        self.assertStatistics(line, BLOCKS, 512)
        self.assertEqual(len(server.lines(mark)), 4, server.lines(mark)[-5:])
        for n in PROBES:
            with self.subTest(sequence=n, data_block=n & 0xFFFF):
                self.assertTrue(resent[n], "a repeated ACK %d did not bring DATA %d again"
                                % ((n - 1) & 0xFFFF, n & 0xFFFF))


if __name__ == "__main__":
    unittest.main(verbosity=2)
