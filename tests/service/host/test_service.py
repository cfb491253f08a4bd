"""Corvane.exe as the ZetCorvane service: started, controlled and stopped by the service manager, with an event
for every transfer."""
import os
import re
import shutil
import socket
import time
import unittest

from corvane import SERVICE, HostCase, fetch, wait_until, windows_path

LIFE_CYCLE = {"Service started", "Service stopped", "Bad service request"}


def ask_and_answer(request, answer):
    """Sends a read request from a port of its own and answers the server's first reply with an ERROR packet."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as client:
        client.settimeout(20)
        client.sendto(b"\0\1" + request, ("127.0.0.1", 6051))
        server = client.recvfrom(2048)[1]
        client.sendto(b"\0\5" + answer, server)


class ServiceModeTests(HostCase):
    def start_service(self):
        self.assertEqual(self.run_exe("/Service")[0], 0)
        start = self.prefix.log.stat().st_size
        self.prefix.wine("net", "start", SERVICE, check=True)
        self.assertTrue(wait_until(lambda: self.prefix.service_state() == "4", 20))
        return start

    def test_service_serves_records_and_stops(self):
        self.content = os.urandom(70000)
        (self.workdir / "boot.bin").write_bytes(self.content)
        start = self.start_service()
        # The service binds its port a moment after it reports RUNNING.
        self.assertTrue(wait_until(lambda: fetch("curl", "boot.bin") == (0, self.content), 20))
        # A control code outside 1 to 5 is written to the log; interrogate (4) reaches the handler silently.
        self.prefix.wine(self.tool, "control", SERVICE, "200", check=True)
        self.prefix.wait_log(start, r'L"Bad service request"')
        self.prefix.wine(self.tool, "control", SERVICE, "4", check=True)
        self.assertEqual(fetch("tftp-hpa", "boot.bin"), (0, self.content))
        fetch("tftp-hpa", "missing.bin")
        ask_and_answer(b"boot.bin\0octet\0", b"\0\0cancelled\0")
        ask_and_answer(b"boot.bin\0octet\0tsize\0000\0blksize\0001428\0", b"\0\10size known\0")
        # One event per transfer: the first insertion string is the client, the rest follow on lines of their own.
        records = r'(trace|warn):eventlog:ReportEventW L"127\.0\.0\.1:\d+"\n(?:\w+:\1:eventlog:ReportEventW L".*"\n){9}'
        log = self.prefix.wait_log(start, f"(?:{records}.*){{5}}")
        kinds = [(m.group(1), m.group(0).split("\n")[1].split('L"')[1][:-1], m.group(0).split("\n")[8].split('"')[1])
                 for m in re.finditer(records, log)]
        self.assertEqual([(kind, name) for kind, name, _ in kinds], [
            ("trace", "boot.bin"), ("trace", "boot.bin"), ("warn", "missing.bin"), ("warn", "boot.bin"),
            ("warn", "boot.bin")])
        self.assertEqual([code for _, _, code in kinds][2:], ["1", "0", "8"])

        self.prefix.wine("net", "stop", SERVICE, check=True)
        log = self.prefix.wait_log(start, r"SetServiceStatus \S+ 0x10 0x1 ")
        # (thread, event text, status report) in the order they were made, the transfer records left aside
        history = [h for h in re.findall(r'^(\w+):trace:(?:eventlog:ReportEventW.*?L"([^"]*)"|service:SetServiceStatus '
                                         r'\S+ ((?:\S+ ){6}\S+))', log, re.M) if h[2] or h[1] in LIFE_CYCLE]
        # Reports carry only the stop control, no checkpoints or hints, exit code 0. The stop event comes
        # before the last report: after STOPPED the process may be ended at any time.
        self.assertEqual([event or status for _, event, status in history], [
            "0x10 0x2 0x1 0 0 0 0", "Service started", "0x10 0x4 0x1 0 0 0 0", "Bad service request",
            "0x10 0x3 0x1 0 0 0 0", "Service stopped", "0x10 0x1 0x1 0 0 0 0"])
        # The service thread reports its own states; the handler runs on the dispatcher's (main) thread.
        service, handler = history[0][0], history[3][0]
        self.assertEqual([thread for thread, _, _ in history], [service] * 3 + [handler] * 2 + [service] * 2)
        self.assertNotEqual(service, handler)

    def test_a_flood_writes_a_few_dozen_events(self):
        (self.workdir / "boot.bin").write_bytes(b"x" * 1000)
        start = self.start_service()
        self.assertTrue(wait_until(lambda: fetch("curl", "boot.bin")[0] == 0, 20))
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as flood:
            for i in range(3000):
                flood.sendto(b"\0\1missing%d.bin\0octet\0" % i, ("127.0.0.1", 6051))
                if i % 100 == 99:
                    time.sleep(0.05)  # what the socket's queue holds, whatever the server's speed
        # Once the flood is over, the next transfer's event is written, after the count of those left out.
        left_out_event = r'ReportEventW L"(\d+)"\n(?=\S+ReportEventW L"127\.0\.0\.1:)'
        self.assertTrue(wait_until(lambda: fetch("curl", "boot.bin")[0] == 0 and re.search(
            left_out_event, self.prefix.wait_log(start, left_out_event, timeout=1)), 60))
        log = self.prefix.wait_log(start, left_out_event)
        events = len(re.findall(r'ReportEventW L"127\.0\.0\.1:\d+"\n', log))
        left_out = sum(int(n) for n in re.findall(left_out_event, log))
        # The socket's queue may lose part of the flood: what arrived is written or counted, never all written.
        self.assertTrue(10 <= events <= 60 and 100 <= left_out <= 3002 - events, (events, left_out))

    def test_a_service_that_cannot_start_reports_its_hresult(self):
        # The boot directory's name is outside the ANSI code page: the server does not start.
        odd = self.workdir.parent / "b\u03bfot"
        odd.mkdir()
        exe = shutil.copy(self.exe, odd)
        self.addCleanup(self.prefix.wine, windows_path(exe), "/UnregServer")
        self.assertEqual(self.prefix.wine(windows_path(exe), "/Service")[0], 0)
        self.prefix.wine("sc", "start", SERVICE)
        self.assertTrue(wait_until(lambda: self.prefix.service_state() == "1", 30))
        query = self.prefix.wine("sc", "query", SERVICE)[1]
        self.assertRegex(query, r"WIN32_EXIT_CODE\s+: 1066\s.*\n\s+SERVICE_EXIT_CODE\s+: 2147500037\s+\(0x80004005\)")
