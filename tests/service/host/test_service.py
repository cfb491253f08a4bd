"""Corvane.exe as the ZetCorvane service: started, controlled and stopped by the service manager, with an event
for every transfer."""
import os
import re
import shutil
import socket
import time
import unittest

from corvane import SERVICE, HostCase, fetch, wait_until, windows_path

LIFE_CYCLE = ("Service started", "Service stopped", "Bad service request")


def ask_and_answer(request, answer):  # a read request from a port of its own, its first reply answered
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as client:
        client.settimeout(20)
        client.sendto(b"\0\1" + request, ("127.0.0.1", 6051))
        server = client.recvfrom(2048)[1]
        client.sendto(b"\0\5" + answer, server)


class ServiceModeTests(HostCase):
    def test_service_serves_records_and_stops(self):
        (self.workdir / "boot.bin").write_bytes(content := os.urandom(70000))
        self.assertEqual(self.run_exe("/Service")[0], 0)
        start = self.prefix.log.stat().st_size
        self.prefix.wine("net", "start", SERVICE, check=True)
        self.assertTrue(wait_until(lambda: self.prefix.service_state() == "4", 20))
        # The service binds its port a moment after it reports RUNNING.
        self.assertTrue(wait_until(lambda: fetch("curl", "boot.bin") == (0, content), 20))
        # A control code outside 1 to 5 is written to the log; interrogate (4) reaches the handler silently.
        self.prefix.wine(self.tool, "control", SERVICE, "200", check=True)
        self.prefix.wait_log(start, r'L"Bad service request"')
        self.prefix.wine(self.tool, "control", SERVICE, "4", check=True)
        self.assertEqual(fetch("tftp-hpa", "boot.bin"), (0, content))
        fetch("tftp-hpa", "missing.bin")
        ask_and_answer(b"boot.bin\0octet\0", b"\0\0cancelled\0")
        ask_and_answer(b"boot.bin\0octet\0tsize\0000\0blksize\0001428\0", b"\0\10size known\0")
        # An event per transfer, its ten insertion strings one a line: (type, file name, ERROR code) of each.
        records = r'(trace|warn):eventlog:ReportEventW L"127\.0\.0\.1:\d+"\n.*L"(.*)"\n(?:.*\n){6}.*L"(.*)"\n.*\n'
        self.assertEqual(re.findall(records, self.prefix.wait_log(start, f"(?:{records}.*){{5}}"))[:5], [
            ("trace", "boot.bin", "0"), ("trace", "boot.bin", "0"), ("warn", "missing.bin", "1"),
            ("warn", "boot.bin", "0"), ("trace", "boot.bin", "8")])

        # A flood of bad requests: a burst of events, then a few a second; the next event after it comes after
        # the count of those left out. The socket's queue may lose part of the flood, whatever the pauses.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as flood:
            for i in range(3000):
                flood.sendto(b"\0\1missing%d.bin\0octet\0" % i, ("127.0.0.1", 6051))
                time.sleep(0.05 if i % 100 == 99 else 0)
        left_out_event = r'ReportEventW L"(\d+)"\n(?=\S+ReportEventW L"127\.0\.0\.1:)'
        self.assertTrue(wait_until(lambda: fetch("curl", "boot.bin")[0] == 0 and re.search(
            left_out_event, self.prefix.wait_log(start, left_out_event, timeout=1)), 60))
        log = self.prefix.wait_log(start, left_out_event)
        events = len(re.findall(r'ReportEventW L"127\.0\.0\.1:\d+"\n', log)) - 5
        left_out = sum(int(n) for n in re.findall(left_out_event, log))
        self.assertTrue(10 <= events <= 60 and 100 <= left_out <= 3001 - events, (events, left_out))

        self.prefix.wine("net", "stop", SERVICE, check=True)
        log = self.prefix.wait_log(start, r"SetServiceStatus \S+ 0x10 0x1 ")
        # (thread, event text, status report) in order; no transfer records, no reports of Wine's shared-process services
        history = [h for h in re.findall(r'^(\w+):trace:(?:eventlog:ReportEventW.*?L"([^"]*)"|service:SetServiceStatus '
                                         r'\S+ (0x10 (?:\S+ ){5}\S+))', log, re.M) if h[2] or h[1] in LIFE_CYCLE]
        # Reports carry only the stop control, no checkpoints or hints, exit code 0. The stop event comes
        # before the last report: after STOPPED the process may be ended at any time.
        self.assertEqual([event or status for _, event, status in history], [
            "0x10 0x2 0x1 0 0 0 0", "Service started", "0x10 0x4 0x1 0 0 0 0", "Bad service request",
            "0x10 0x3 0x1 0 0 0 0", "Service stopped", "0x10 0x1 0x1 0 0 0 0"])
        # The service thread reports its own states; the handler runs on the dispatcher's (main) thread.
        service, handler = history[0][0], history[3][0]
        self.assertEqual([thread for thread, _, _ in history], [service] * 3 + [handler] * 2 + [service] * 2)
        self.assertNotEqual(service, handler)

    def test_a_service_that_cannot_start_reports_why_and_its_hresult(self):
        # The boot directory's name is outside the ANSI code page: no directory that a best-fit conversion of the
        # name might reach is ever served, the server does not start.
        odd = self.workdir.parent / "b\u03bfot"
        odd.mkdir()
        exe = windows_path(shutil.copy(self.exe, odd))
        self.addCleanup(self.prefix.wine, exe, "/UnregServer")
        self.assertEqual(self.prefix.wine(exe, "/Service")[0], 0)
        start = self.prefix.log.stat().st_size
        self.prefix.wine("sc", "start", SERVICE)
        self.assertTrue(wait_until(lambda: self.prefix.service_state() == "1", 30))
        query = self.prefix.wine("sc", "query", SERVICE)[1]
        self.assertRegex(query, r"WIN32_EXIT_CODE\s+: 1066\s.*\n\s+SERVICE_EXIT_CODE\s+: 2147500037\s+\(0x80004005\)")
        # The error event: its code, then its text (Wine's event log keeps nothing, its debug channel shows both).
        self.assertRegex(self.prefix.wait_log(start, "Service stopped"), r'err:eventlog:ReportEventW L"ZetCorvane error: '
                         r'1113"\n\w+:err:eventlog:ReportEventW L"Boot directory name has characters outside the ANSI code '
                         r'page \(error 1113\), server not started"')
