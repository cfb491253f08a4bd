"""Corvane.exe serving files: as the ZetCorvane service started by the service manager, and in the foreground."""
import os
import queue
import re
import subprocess
import threading
import time
import unittest

from hostenv import SERVICE, WINE, HostTestCase

BOOT_FILE = "boot.bin"
BOOT_SIZE = 70000             # 137 blocks of 512 bytes (curl asks for tsize first, so no blksize), the last one short
RUNNING, STOPPED = "4", "1"


class ServingTestCase(HostTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.content = os.urandom(BOOT_SIZE)
        (cls.workdir / BOOT_FILE).write_bytes(cls.content)

    def fetch(self, timeout=15):
        """Fetches the boot file with curl until it arrives whole or time runs out; returns the bytes."""
        target = self.workdir / "fetched.bin"
        deadline = time.monotonic() + timeout
        while True:
            target.unlink(missing_ok=True)
            subprocess.run(["curl", "-s", "--max-time", "5", "-o", str(target),
                            f"tftp://127.0.0.1:6051/{BOOT_FILE}"], stdin=subprocess.DEVNULL, timeout=30)
            data = target.read_bytes() if target.exists() else b""
            if data == self.content or time.monotonic() > deadline:
                break
            time.sleep(0.3)
        target.unlink(missing_ok=True)
        return data

    def state(self):
        config = self.service_config()
        return config["state"] if config else None


class ServiceModeTests(ServingTestCase):
    def events(self, log):
        return re.findall(r'trace:eventlog:ReportEventW.*?L"([^"]*)"', log)

    def history(self, log):
        """The service's events and status reports in order, as (thread, what, detail); a status report's
        detail is (service type, state, controls accepted, exit code, specific code, checkpoint, wait hint)."""
        entries = []
        for line in log.splitlines():
            m = re.match(r'^(\w+):trace:eventlog:ReportEventW.*?L"([^"]*)"', line)
            if m:
                entries.append((m.group(1), "event", m.group(2)))
            m = re.match(r"^(\w+):trace:service:SetServiceStatus \S+ (\S+) (\S+) (\S+) (\S+) (\S+) (\S+) (\S+)", line)
            if m:
                entries.append((m.group(1), "status", m.groups()[1:]))
        return entries

    def net(self, verb):
        rc, out, err = self.prefix.wine("net", verb, SERVICE, timeout=60)
        self.assertEqual(rc, 0, out + err)

    def test_service_serves_and_stops(self):
        self.assertEqual(self.run_exe("/Service")[0], 0)
        start = self.prefix.log_size()
        self.net("start")
        self.assertTrue(self.wait_until(lambda: self.state() == RUNNING, 20), self.service_config())
        self.assertEqual(self.fetch(), self.content)

        # A control code outside 1 to 5 is written to the log and changes nothing.
        self.prefix.wine(self.tool, "control", SERVICE, "200", check=True)
        log = self.prefix.wait_log(start, r'L"Bad service request"')
        self.assertEqual(self.events(log), ["Service started", "Bad service request"])
        # Interrogate reaches the handler too, and writes nothing.
        self.prefix.wine(self.tool, "control", SERVICE, "4", check=True)
        self.assertEqual(self.state(), RUNNING)
        self.assertEqual(self.fetch(), self.content)

        self.net("stop")
        self.assertTrue(self.wait_until(lambda: self.state() == STOPPED, 20))
        self.assertEqual(self.service_config()["exitcode"], "0x00000000")
        log = self.prefix.wait_log(start, r"SetServiceStatus \S+ 0x10 0x1 ")

        # Status reports carry only the stop control and no checkpoints or hints; the exit code stays 0.
        def report(state):
            return ("status", ("0x10", state, "0x1", "0", "0", "0", "0"))
        history = self.history(log)
        self.assertEqual([entry[1:] for entry in history], [
            report("0x2"),                           # START_PENDING
            ("event", "Service started"),
            report("0x4"),                           # RUNNING
            ("event", "Bad service request"),
            report("0x3"),                           # STOP_PENDING
            # The event comes before the last report: after STOPPED the process may be ended at any time.
            ("event", "Service stopped"),
            report("0x1"),                           # STOPPED, exit code 0
        ])
        # The service thread reports its own states; the handler runs on the dispatcher's (main) thread.
        service_thread, handler_thread = history[0][0], history[3][0]
        self.assertNotEqual(service_thread, handler_thread)
        self.assertEqual([entry[0] for entry in history], [service_thread] * 3 + [handler_thread] * 2 +
                         [service_thread] * 2)

    def test_regserver_stops_and_removes_a_running_service(self):
        self.assertEqual(self.run_exe("/Service")[0], 0)
        start = self.prefix.log_size()
        self.net("start")
        self.assertTrue(self.wait_until(lambda: self.state() == RUNNING, 20))
        self.assertEqual(self.run_exe("/RegServer")[0], 0)
        self.assertTrue(self.wait_until(lambda: self.service_config() is None, 20), self.service_config())
        self.assert_registered()
        log = self.prefix.wait_log(start, r'L"Service stopped"')
        self.assertEqual(self.events(log), ["Service started", "Service stopped"])


class ForegroundTests(ServingTestCase):
    def test_foreground_serves_and_prints_trace_lines(self):
        self.assertEqual(self.run_exe("/RegServer")[0], 0)
        lines = queue.Queue()
        proc = subprocess.Popen([WINE, self.win_exe], env=self.prefix.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        reader = threading.Thread(target=lambda: [lines.put(raw.decode("latin-1").rstrip("\r\n"))
                                                  for raw in proc.stdout], daemon=True)
        reader.start()
        seen = []

        def wait_line(pattern, timeout=20):
            deadline = time.monotonic() + timeout
            while time.monotonic() < deadline:
                try:
                    line = lines.get(timeout=0.2)
                except queue.Empty:
                    continue
                seen.append(line)
                if re.search(pattern, line):
                    return line
            self.fail(f"no line matching {pattern!r}; saw {seen}")

        try:
            listening = wait_line(r"^TFTP: 'Listening' on port 6051, protocol UDP at ")
            self.assertTrue(listening.endswith(str(self.workdir).replace("/", "\\") + "\\"), listening)
            self.assertEqual(self.fetch(), self.content)
            wait_line(r"^TFTP: Transferred 137 blocks of 512 data bytes in \d+\.\d{3} seconds\.$")
            self.assertEqual(seen[:2], ["Starting TFTP server", "Entering CTFTPServer::Entry()."])
            self.assertIn(f"TFTP: Received RRQ for {BOOT_FILE}", seen)
        finally:
            # TerminateProcess, as on Windows: a Unix signal to the program can leave the Wine
            # server holding its socket, and with it port 6051.
            self.prefix.wine("taskkill", "/F", "/IM", "Corvane.exe")
            try:
                proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout=15)
            reader.join(timeout=15)
            proc.stdout.close()


if __name__ == "__main__":
    unittest.main()
