"""A UDP relay on loopback (IPv4 or IPv6) that loses a seeded share of the datagrams between one client and the server."""
import random
import select
import socket
import threading
import time


class LossyRelay:
    """While entered, clients send to self.port; each datagram, either way, is dropped with the given
    probability. Requests go to the server's port, other datagrams to the port that the server last answered from,
    replies to the last client heard; at most 300 s."""

    def __init__(self, server_port, loss, seed, host="127.0.0.1"):
        self.server = (host, server_port)
        self.peers, self.loss, self.random = [None, self.server], loss, random.Random(seed)
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.socks = [socket.socket(family, socket.SOCK_DGRAM) for _ in range(2)]
        for sock in self.socks:
            sock.bind((host, 0))
        self.port, self.done, self.thread = self.socks[0].getsockname()[1], threading.Event(), None

    def __enter__(self):
        self.thread = threading.Thread(target=self.relay, daemon=True)
        self.thread.start()
        return self

    def relay(self):
        deadline = time.monotonic() + 300
        while not self.done.is_set() and time.monotonic() < deadline:
            ready = select.select(self.socks, [], [], 0.1)[0]
            for side in (0, 1):   # side 0 faces the client, 1 the server
                if self.socks[side] in ready:
                    datagram, self.peers[side] = self.socks[side].recvfrom(65536)
                    # A request goes to the well-known port, everything else where the server last answered from.
                    to = self.server if side == 0 and datagram[:2] == b"\0\1" else self.peers[1 - side]
                    if self.random.random() >= self.loss and to:
                        self.socks[1 - side].sendto(datagram, to)

    def __exit__(self, *_):
        self.done.set()
        self.thread.join()
        for sock in self.socks:
            sock.close()
