"""A UDP relay on loopback that loses a seeded share of the datagrams between one client and the server."""
import random
import select
import socket
import threading
import time


class LossyRelay(threading.Thread):
    """Clients send to self.port; each datagram, either way, is dropped with the given probability. Replies
    go to the last client heard, from whichever server port answered. Runs until finish(), at most 300 s."""

    def __init__(self, server_port, loss, seed):
        super().__init__(daemon=True)
        self.server, self.loss, self.random = ("127.0.0.1", server_port), loss, random.Random(seed)
        self.front, self.back = (socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(2))
        for sock in (self.front, self.back):
            sock.bind(("127.0.0.1", 0))
        self.port, self.client, self.done, self.dropped = self.front.getsockname()[1], None, threading.Event(), 0

    def run(self):
        deadline = time.monotonic() + 300
        while not self.done.is_set() and time.monotonic() < deadline:
            for sock in select.select([self.front, self.back], [], [], 0.1)[0]:
                datagram, sender = sock.recvfrom(65536)
                if sock is self.front:
                    self.client, to, out = sender, self.server, self.back
                else:
                    self.server, to, out = sender, self.client, self.front
                if self.random.random() < self.loss:
                    self.dropped += 1
                elif to is not None:
                    out.sendto(datagram, to)

    def finish(self):
        self.done.set()
        self.join()
        self.front.close()
        self.back.close()
