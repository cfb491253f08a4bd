"""Corvane.exe's switches and registration flows, checked from outside in the registry and the service manager."""
import re
import unittest

from hostenv import APPID, DECOY, E_FAIL, MACHINE_APPID, NOT_FOUND, SERVICE, USER_APPID, HostTestCase

SERVICES = r"HKLM\System\CurrentControlSet\Services"
NEVER_REGISTERED = 2          # ERROR_FILE_NOT_FOUND from opening the AppID key
NOT_STARTED_BY_SCM = 1063     # ERROR_FAILED_SERVICE_CONTROLLER_CONNECT


class SwitchTests(HostTestCase):
    """Each switch after either separator in any case; words that only look like switches start the program,
    which exits with 2 while the program is not registered."""

    def test_machine_and_per_user_switch_spellings(self):
        for register, unregister, root in (
                ("/RegServer", "/UnregServer", MACHINE_APPID), ("-regserver", "-unregserver", MACHINE_APPID),
                ("/REGSERVER", "/UNREGSERVER", MACHINE_APPID), ("--RegServer", "--UnRegServer", MACHINE_APPID),
                ("/RegServer extra", "/UnregServer\textra", MACHINE_APPID),
                ("x/RegServer", "x-UnregServer", MACHINE_APPID),
                ("/RegServerPerUser", "-unregserverperuser", USER_APPID),
                ("-REGSERVERPERUSER", "/UnregServerPerUser", USER_APPID)):
            with self.subTest(register=register, unregister=unregister):
                self.assertEqual(self.run_exe(register)[0], 0)
                self.assert_registered(root)
                self.assertEqual(self.run_exe(unregister)[0], 0)
                self.assert_unregistered(root)
        self.assertIsNone(self.service_config())

    def test_service_spellings(self):
        for spelling in ("/Service", "-service", "/SERVICE", "-sErViCe"):
            with self.subTest(spelling=spelling):
                self.assertEqual(self.run_exe(spelling)[0], 0)
                self.assert_registered(local_service=SERVICE)
                self.assertIsNotNone(self.service_config())
                self.assertEqual(self.run_exe("/UnregServer")[0], 0)
                self.assertIsNone(self.service_config())

    def test_words_that_are_not_switches_start_the_program(self):
        for arguments in ("", "/RegServer:", "/RegServerX", "/RegServer,", "/Unknown", "RegServer",
                          '"/RegServer"', "/Servic", "/ServiceX"):
            with self.subTest(arguments=arguments):
                self.assertEqual(self.run_exe(arguments)[0], NEVER_REGISTERED)
        self.assert_unregistered()
        self.assert_unregistered(USER_APPID)
        self.assertIsNone(self.service_config())

    def test_unregserverperuser_is_not_unregserver(self):
        self.assertEqual(self.run_exe("/RegServer")[0], 0)
        self.assertEqual(self.run_exe("/RegServerPerUser")[0], 0)
        self.assertEqual(self.run_exe("/UnregServerPerUser")[0], 0)
        self.assert_unregistered(USER_APPID)
        self.assert_registered(MACHINE_APPID)

    def test_registration_switches_win_over_service(self):
        self.assertEqual(self.run_exe("/Service /RegServer")[0], 0)
        self.assert_registered()
        self.assertIsNone(self.service_config())
        # The first matching candidate wins: only "RegServer" runs.
        self.assertEqual(self.run_exe("/RegServer /UnregServer")[0], 0)
        self.assert_registered()


class FlowStateTests(HostTestCase):
    """The registry and the service entry after each flow, and the flows' exit codes."""

    FOREIGN = MACHINE_APPID + r"\{0C0A0000-0000-4000-8000-00000000C0DE}"

    def setUp(self):
        super().setUp()
        self.registry.add_key(self.FOREIGN)

    def tearDown(self):
        self.registry.delete_keys([self.FOREIGN])

    def assert_service_entry(self):
        config = self.service_config()
        self.assertIsNotNone(config, "no service entry")
        self.assertEqual(config["binary"], f'"{self.win_exe}"')
        self.assertEqual(config["state"], "1")           # installed, not started
        # The entry as the service manager stores it (Wine's QueryServiceConfigW leaves out dependencies).
        stored = self.registry.tree(SERVICES + "\\" + SERVICE)[""]
        self.assertEqual(stored, {
            "Type": ("REG_DWORD", "0x10"),               # own process
            "Start": ("REG_DWORD", "0x2"),               # automatic start
            "ErrorControl": ("REG_DWORD", "0x1"),
            "ImagePath": ("REG_SZ", f'"{self.win_exe}"'),
            "DisplayName": ("REG_SZ", SERVICE),
            "ObjectName": ("REG_SZ", "LocalSystem"),
            "DependOnService": ("REG_MULTI_SZ", "RPCSS"),
            "PreshutdownTimeout": stored.get("PreshutdownTimeout"),   # Wine's own default
        })

    def test_regserver(self):
        self.assertEqual(self.run_exe("/RegServer")[0], 0)
        self.assert_registered()
        self.assertIsNone(self.service_config())

    def test_service_twice_recreates_the_entry(self):
        self.assertEqual(self.run_exe("/Service")[0], 0)
        self.assert_registered(local_service=SERVICE)
        self.assert_service_entry()
        # Change the entry: the second run must delete it and create it anew, not keep it.
        self.prefix.wine(self.tool, "config", SERVICE, r"C:\windows\notepad.exe", check=True)
        self.assertEqual(self.service_config()["binary"], r"C:\windows\notepad.exe")
        self.assertEqual(self.run_exe("/Service")[0], 0)
        self.assert_registered(local_service=SERVICE)
        self.assert_service_entry()

    def test_regserver_after_service_removes_the_service(self):
        self.assertEqual(self.run_exe("/Service")[0], 0)
        self.assertEqual(self.run_exe("/RegServer")[0], 0)
        self.assertIsNone(self.service_config())
        self.assert_registered()

    def test_unregserver_after_service_removes_everything_but_appid(self):
        self.assertEqual(self.run_exe("/Service")[0], 0)
        self.assertEqual(self.run_exe("/UnregServer")[0], 0)
        self.assertIsNone(self.service_config())
        self.assert_unregistered()
        self.assertIn("{0c0a0000-0000-4000-8000-00000000c0de}", self.registry.tree(MACHINE_APPID))

    def test_unregserver_when_never_registered_changes_nothing(self):
        before = self.registry.tree(MACHINE_APPID)
        self.assertIn("{0c0a0000-0000-4000-8000-00000000c0de}", before)
        self.assertEqual(self.run_exe("/UnregServer")[0], NOT_FOUND)
        self.assertEqual(self.registry.tree(MACHINE_APPID), before)

    def test_per_user_switches_write_the_current_users_classes(self):
        self.assertEqual(self.run_exe("/RegServerPerUser")[0], 0)
        self.assert_registered(USER_APPID)
        self.assertIsNone(self.service_config())
        # The script's entries do not go to the machine's classes (the flow itself only opens the AppID key
        # there, which Wine, without a merged view, creates empty).
        machine = self.registry.tree(MACHINE_APPID)
        self.assertNotIn("(Default)", machine.get(APPID.lower(), {}))
        self.assertNotIn("corvane.exe", machine)

        self.assertEqual(self.run_exe("/UnregServerPerUser")[0], 0)
        self.assert_unregistered(USER_APPID)
        self.assertIsNotNone(self.registry.tree(USER_APPID), "AppID itself is never removed")


class StartTests(HostTestCase):
    """A start without a switch: the exit code tells why nothing is served."""

    def test_start_before_registration_exits_with_2(self):
        self.assertEqual(self.run_exe("")[0], NEVER_REGISTERED)

    def test_start_by_hand_after_service_fails_at_the_dispatcher(self):
        self.assertEqual(self.run_exe("-Service")[0], 0)
        # Wine's dispatcher gives up after about ten seconds.
        self.assertEqual(self.run_exe("", timeout_ms=60000)[0], NOT_STARTED_BY_SCM)
        self.assertEqual(self.service_config()["state"], "1", "a start by hand must not start the service")


class InstallFailureTests(HostTestCase):
    """Failures of the service manager: a message box captioned with the service name, E_FAIL, and the
    AppID entries kept."""

    RELAY = "-all,+relay"

    def message_boxes(self, stderr):
        return re.findall(r'user32\.MessageBoxW\([^)]*L"([^"]*)"[^)]*L"([^"]*)"', stderr)

    def test_create_service_failure_shows_its_message(self):
        # Another service already carries the display name "ZetCorvane", so the service manager refuses ours.
        self.prefix.wine(self.tool, "create", DECOY, SERVICE, r"C:\windows\notepad.exe", check=True)
        code, stderr = self.run_exe("/Service", debug=self.RELAY)
        self.assertEqual(code, E_FAIL)
        self.assertEqual(self.message_boxes(stderr), [("Could not start service", SERVICE)])
        self.assertIsNone(self.service_config())
        self.assert_registered(local_service=SERVICE)

    def test_successful_flows_show_no_message(self):
        for arguments in ("/Service", "/Service", "/RegServer", "/UnregServer", "/UnregServer"):
            with self.subTest(arguments=arguments):
                code, stderr = self.run_exe(arguments, debug=self.RELAY)
                self.assertIn(code, (0, NOT_FOUND))
                self.assertEqual(self.message_boxes(stderr), [])


if __name__ == "__main__":
    unittest.main()
