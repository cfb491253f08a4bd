"""Drives Corvane.exe, the registry and the service manager in a Wine prefix kept for these tests, whose
services.exe logs the eventlog and service channels: the service's own output Wine discards."""
import os
import pathlib
import re
import shutil
import subprocess
import tempfile
import time
import unittest

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver64"
APPID = "{552356EC-14D6-4A40-9F34-09CFC70BC685}"
SERVICE = "ZetCorvane"
DECOY = "ZetCorvaneDecoy"
E_FAIL = 0x80004005
NOT_FOUND = 0x80070002

MACHINE_APPID = r"HKCR\AppID"
USER_APPID = r"HKCU\Software\Classes\AppID"


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


class Prefix:
    def __init__(self):
        self.path = os.environ["CORVANE_HOST_PREFIX"]
        self.log_path = pathlib.Path(self.path + ".log")
        self.env = dict(os.environ, WINEPREFIX=self.path, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")

    def wine(self, *args, timeout=60, debug=None, extra_env=None, check=False):
        env = dict(self.env)
        if debug:
            env["WINEDEBUG"] = debug
        env.update(extra_env or {})
        proc = subprocess.run([WINE, *args], env=env, stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=timeout)
        out, err = (text.decode("utf-8", "replace").replace("\r", "") for text in (proc.stdout, proc.stderr))
        if check and proc.returncode != 0:
            raise AssertionError(f"wine {args} failed with {proc.returncode}: {out}{err}")
        return proc.returncode, out, err

    def quiet(self, *command, timeout=60):
        subprocess.run(command, env=self.env, timeout=timeout, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def up(self):
        """Creates the prefix once, then starts its server and services with the debug log."""
        self.down()
        if not os.path.exists(os.path.join(self.path, "system.reg")):
            self.quiet(WINE, "wineboot", "--init", timeout=300)
            self.quiet(WINESERVER, "-w", timeout=300)
        # Neither the server nor services.exe may hold the test runner's pipes: wineboot, which starts
        # the services, is the first program of the new server and writes to the log file.
        self.quiet(WINESERVER, "-p")
        with open(self.log_path, "wb") as log:
            env = dict(self.env, WINEDEBUG="-all,+eventlog,+service")
            subprocess.run([WINE, "wineboot"], env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                           timeout=120)
        # The relay channel, when a test turns it on, shows only the message-box calls.
        self.wine("reg", "add", r"HKCU\Software\Wine\Debug", "/v", "RelayInclude", "/t", "REG_SZ",
                  "/d", "user32.MessageBoxW", "/f", check=True)

    def down(self):
        self.quiet(WINESERVER, "-k")

    def log_size(self):
        return self.log_path.stat().st_size

    def log_since(self, offset):
        return self.log_path.read_bytes()[offset:].decode("utf-8", "replace").replace("\r", "")

    def wait_log(self, offset, pattern, timeout=20):
        """Waits (bounded) until the log after offset matches pattern; returns the text after offset."""
        deadline = time.monotonic() + timeout
        while True:
            text = self.log_since(offset)
            if re.search(pattern, text) or time.monotonic() > deadline:
                return text
            time.sleep(0.2)


class Registry:
    """Reads keys from outside the program, through Wine's reg tool."""

    def __init__(self, prefix):
        self.prefix = prefix

    def tree(self, key):
        """{lower-cased name relative to key ("" for key): {value name: (type, data)}}, or None when missing."""
        rc, out, _ = self.prefix.wine("reg", "query", key, "/s")
        if rc != 0:
            return None
        keys, current = {}, None
        for line in out.split("\n"):
            if line.startswith("HKEY_"):
                rest = line.partition("\\")[2]
                relative = rest[len(key.partition("\\")[2]):].lstrip("\\").lower()
                current = keys.setdefault(relative, {})
            else:
                m = re.match(r"^    (.*?)    (REG_\w+)    ?(.*)$", line)
                if m and current is not None:
                    current[m.group(1)] = (m.group(2), m.group(3))
        return keys

    def delete_keys(self, keys):
        """Deletes keys, with their subkeys, in one call; missing keys are no error."""
        lines = ["REGEDIT4", ""] + [f"[-{expand_root(k)}]" for k in keys] + [""]
        with tempfile.NamedTemporaryFile("w", suffix=".reg", delete=False) as reg:
            reg.write("\r\n".join(lines))
        try:
            self.prefix.wine("reg", "import", windows_path(reg.name), check=True)
        finally:
            os.unlink(reg.name)

    def add_key(self, key):
        self.prefix.wine("reg", "add", key, "/f", check=True)


def expand_root(key):
    short, _, rest = key.partition("\\")
    full = {"HKCR": "HKEY_CLASSES_ROOT", "HKCU": "HKEY_CURRENT_USER", "HKLM": "HKEY_LOCAL_MACHINE"}[short]
    return full + "\\" + rest


class HostTestCase(unittest.TestCase):
    """Brings up the prefix, puts Corvane.exe in a directory whose name has a space, and removes every
    registration the program can make before the class, before each case and after the class."""

    @classmethod
    def setUpClass(cls):
        cls.prefix = Prefix()
        cls.registry = Registry(cls.prefix)
        cls.tool = windows_path(os.environ["CORVANE_HOSTTOOL"])
        cls.workdir = pathlib.Path(tempfile.mkdtemp(prefix="corvane host "))
        try:
            cls.exe = cls.workdir / "Corvane.exe"
            shutil.copy(os.environ["CORVANE_EXE"], cls.exe)
            cls.win_exe = windows_path(cls.exe)
            cls.prefix.up()
            cls.reset_registration()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            cls.reset_registration()
        finally:
            cls.prefix.down()
            shutil.rmtree(cls.workdir, ignore_errors=True)

    def setUp(self):
        self.reset_registration()

    @classmethod
    def reset_registration(cls):
        _, out, _ = cls.prefix.wine(cls.tool, "remove", SERVICE, DECOY)
        cls.registry.delete_keys([root + "\\" + name for root in (MACHINE_APPID, USER_APPID)
                                  for name in (APPID, "Corvane.EXE")])
        # A service that was running when it was removed keeps its entry until its process has gone.
        if "removed" in out:
            cls.wait_until(lambda: cls.service_config() is None and cls.service_config(DECOY) is None, 20)

    @staticmethod
    def wait_until(condition, timeout):
        deadline = time.monotonic() + timeout
        while not condition():
            if time.monotonic() > deadline:
                return False
            time.sleep(0.2)
        return True

    def run_exe(self, arguments, timeout_ms=30000, debug=None):
        """Runs Corvane.exe with the exact command line '"exe" arguments'; returns (exit code, stderr)."""
        command = f'"{self.win_exe}" {arguments}'.rstrip()
        rc, out, err = self.prefix.wine(self.tool, "run", str(timeout_ms), timeout=timeout_ms / 1000 + 60,
                                        debug=debug, extra_env={"CORVANE_CHILD_CMDLINE": command})
        m = re.search(r"exit 0x([0-9A-F]{8})", out)
        self.assertIsNotNone(m, f"no exit code for {command!r}: rc {rc} {out}{err}")
        return int(m.group(1), 16), err

    @classmethod
    def service_config(cls, name=SERVICE):
        """The service entry's configuration and status as a dict, or None when there is no entry."""
        rc, out, _ = cls.prefix.wine(cls.tool, "query", name)
        if rc != 0:
            return None
        return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)

    # What the registry holds for the program; root is MACHINE_APPID or USER_APPID.
    def assert_registered(self, root=MACHINE_APPID, local_service=None):
        keys = self.registry.tree(root)
        self.assertIsNotNone(keys, f"{root} missing")
        values = keys.get(APPID.lower())
        self.assertIsNotNone(values, f"{root}\\{APPID} missing")
        self.assertEqual(values.get("(Default)"), ("REG_SZ", "Corvane"))
        if local_service is None:
            self.assertNotIn("LocalService", values)
        else:
            self.assertEqual(values.get("LocalService"), ("REG_SZ", local_service))
        self.assertEqual(keys.get("corvane.exe"), {"AppID": ("REG_SZ", APPID)})

    def assert_unregistered(self, root=MACHINE_APPID):
        keys = self.registry.tree(root) or {}
        self.assertNotIn(APPID.lower(), keys)
        self.assertNotIn("corvane.exe", keys)
