"""Corvane.exe's switches and registration flows, checked from outside in the registry and the service manager."""
import re
import unittest

from corvane import APPID, EVENT_SOURCE, MACHINE_APPID, SERVICE, SERVICES, USER_APPID, HostCase, windows_path

E_FAIL, NOT_FOUND = 0x80004005, 0x80070002
NEVER_REGISTERED, NOT_STARTED_BY_SCM = 2, 1063


class RegistrationTests(HostCase):
    def assert_service_entry(self):
        stored = (self.prefix.tree(SERVICES + "\\" + SERVICE) or {}).get("", {})
        self.assertEqual({k: v for k, v in stored.items() if k != "PreshutdownTimeout"}, {
            "Type": ("REG_DWORD", "0x10"), "Start": ("REG_DWORD", "0x2"), "ErrorControl": ("REG_DWORD", "0x1"),
            "ImagePath": ("REG_SZ", f'"{windows_path(self.exe)}"'), "DisplayName": ("REG_SZ", SERVICE),
            "ObjectName": ("REG_SZ", "NT AUTHORITY\\LocalService"), "DependOnService": ("REG_MULTI_SZ", "RPCSS")})
        self.assertEqual(self.prefix.service_state(), "1")

    def test_each_switch(self):
        source = {"EventMessageFile": ("REG_SZ", windows_path(self.exe)), "TypesSupported": ("REG_DWORD", "0x7")}
        for switch, root, check, event_source in (
                ("-REGSERVERPERUSER", USER_APPID, self.assert_registered, None),
                ("/RegServer", MACHINE_APPID, self.assert_registered, source),
                ("/UnregServerPerUser", USER_APPID, self.assert_unregistered, source),
                ("-unregserver", MACHINE_APPID, self.assert_unregistered, None)):
            with self.subTest(switch=switch):
                self.assertEqual(self.run_exe(switch)[0], 0)
                check(root)
                self.assertEqual(self.event_source(), event_source)  # per-user switches leave it alone
        # "Service" (re)creates the entry, also one that another installation changed; "RegServer" removes it.
        for _ in range(2):
            self.assertEqual(self.run_exe("/service")[0], 0)
            self.assert_registered(local_service=SERVICE)
            self.assert_service_entry()
            self.prefix.wine("reg", "add", SERVICES + "\\" + SERVICE, "/v", "ImagePath", "/d", "x.exe", "/f")
        self.assertEqual(self.run_exe("/RegServer")[0], 0)
        self.assert_registered()
        self.assertIsNone(self.prefix.service_state())
        self.assertEqual([self.run_exe(switch)[0] for switch in ("/Service", "/UnregServer")], [0, 0])
        self.assert_unregistered()
        self.assertIsNone(self.prefix.service_state())

    def test_start_without_a_switch(self):
        # The program's own path ("-Service Kit") is no switch: never registered, a start ends with 2.
        self.assertEqual(self.run_exe("")[0], NEVER_REGISTERED)
        self.assertEqual(self.run_exe("/UnregServer")[0], NOT_FOUND)
        self.assert_unregistered()
        self.assertIsNone(self.prefix.service_state())
        self.assertEqual(self.run_exe("-Service")[0], 0)
        # Wine's dispatcher gives up after about ten seconds; a start by hand never starts the service.
        self.assertEqual(self.run_exe("")[0], NOT_STARTED_BY_SCM)
        self.assertEqual(self.prefix.service_state(), "1")

    def test_reregistering_waits_for_a_slow_service_to_stop(self):
        # The running service takes 3 s to stop: its entry must be gone before the new one is created.
        self.prefix.wine("sc", "create", SERVICE, "binPath=", f'"{self.tool}" slow', check=True)
        self.prefix.wine("net", "start", SERVICE, check=True)
        self.assertEqual(self.prefix.service_state(), "4")
        self.assertEqual(self.run_exe("/Service")[0], 0)
        self.assert_service_entry()

    def test_service_manager_failure_tells_its_cause_and_takes_back_the_registration(self):
        message_boxes = re.compile(r'user32\.MessageBoxW\([^)]*L"([^"]*)"[^)]*L"([^"]*)"')
        # Another service already carries the display name "ZetCorvane", so the service manager refuses ours.
        self.prefix.wine("sc", "create", "ZetCorvaneDecoy", "binPath=", "C:\\windows\\notepad.exe",
                         "DisplayName=", SERVICE, check=True)
        # An event source that an earlier registration left is put back as it was.
        self.prefix.wine("reg", "add", EVENT_SOURCE, "/v", "EventMessageFile", "/d", "old.exe", "/f", check=True)
        code, output = self.run_exe("/Service", debug="-all,+relay")
        self.assertEqual(code, E_FAIL)
        self.assertIn("ZetCorvane: CreateServiceW failed: error 1078: Duplicate service name.\n", output)
        self.assertEqual(message_boxes.findall(output), [("Could not start service", SERVICE)])
        # No service, and nothing that the switch wrote: neither the script's AppID entries nor an event source.
        self.assertIsNone(self.prefix.service_state())
        self.assert_unregistered()
        self.assertEqual(self.event_source(), {"EventMessageFile": ("REG_SZ", "old.exe")})
