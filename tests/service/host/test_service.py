"""Corvane.exe as the ZetCorvane service: started, controlled and stopped by the service manager."""
import os
import re
import unittest

from corvane import SERVICE, HostCase, fetch, wait_until


class ServiceModeTests(HostCase):
    def test_service_serves_and_stops(self):
        self.content = os.urandom(70000)
        (self.workdir / "boot.bin").write_bytes(self.content)
        self.assertEqual(self.run_exe("/Service")[0], 0)
        start = self.prefix.log.stat().st_size
        self.prefix.wine("net", "start", SERVICE, check=True)
        self.assertTrue(wait_until(lambda: self.prefix.service_state() == "4", 20))
        # The service binds its port a moment after it reports RUNNING.
        self.assertTrue(wait_until(lambda: fetch("curl", "boot.bin") == (0, self.content), 20))
        # A control code outside 1 to 5 is written to the log; interrogate (4) reaches the handler silently.
        self.prefix.wine(self.tool, "control", SERVICE, "200", check=True)
        self.prefix.wait_log(start, r'L"Bad service request"')
        self.prefix.wine(self.tool, "control", SERVICE, "4", check=True)
        self.assertEqual(fetch("curl", "boot.bin"), (0, self.content))
        self.prefix.wine("net", "stop", SERVICE, check=True)
        log = self.prefix.wait_log(start, r"SetServiceStatus \S+ 0x10 0x1 ")

        # (thread, event text, status report) in the order they were made
        history = re.findall(r'^(\w+):trace:(?:eventlog:ReportEventW.*?L"([^"]*)"|service:SetServiceStatus \S+ '
                             r'((?:\S+ ){6}\S+))', log, re.M)
        # Reports carry only the stop control, no checkpoints or hints, exit code 0. The stop event comes
        # before the last report: after STOPPED the process may be ended at any time.
        self.assertEqual([event or status for _, event, status in history], [
            "0x10 0x2 0x1 0 0 0 0", "Service started", "0x10 0x4 0x1 0 0 0 0", "Bad service request",
            "0x10 0x3 0x1 0 0 0 0", "Service stopped", "0x10 0x1 0x1 0 0 0 0"])
        # The service thread reports its own states; the handler runs on the dispatcher's (main) thread.
        service, handler = history[0][0], history[3][0]
        self.assertEqual([thread for thread, _, _ in history], [service] * 3 + [handler] * 2 + [service] * 2)
        self.assertNotEqual(service, handler)

