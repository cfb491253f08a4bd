"""Drives the whole program: Corvane.exe in a Wine prefix of its own (registry, service manager, event log),
or the native runner corvane-serve; serves a boot directory and fetches from it with real TFTP clients."""
import os
import pathlib
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

WINE, WINESERVER = "/usr/lib/wine/wine64", "/usr/lib/wine/wineserver64"
APPID, SERVICE = "{552356EC-14D6-4A40-9F34-09CFC70BC685}", "ZetCorvane"
MACHINE_APPID, USER_APPID = r"HKCR\AppID", r"HKCU\Software\Classes\AppID"
SERVICES = r"HKLM\System\CurrentControlSet\Services"
EVENT_SOURCE = SERVICES + r"\EventLog\Application\ZetCorvane"
SERVER = os.environ["CORVANE_SERVER"]
UNDER_WINE = SERVER.lower().endswith(".exe")


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def wait_until(condition, timeout):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)
    return True


class Prefix:
    """Its services log the eventlog and service channels (Wine discards a service's own output)."""

    def __init__(self):
        self.path = os.environ["CORVANE_HOST_PREFIX"]
        self.log = pathlib.Path(self.path + ".log")
        self.env = dict(os.environ, WINEPREFIX=self.path, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")

    def wine(self, *args, debug=None, extra_env=None, timeout=120, check=False):
        env = dict(self.env, **(extra_env or {}), **({"WINEDEBUG": debug} if debug else {}))
        proc = subprocess.run([WINE, *args], env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
        out, err = (text.decode("utf-8", "replace").replace("\r", "") for text in (proc.stdout, proc.stderr))
        if check and proc.returncode != 0:
            raise AssertionError(f"wine {args}: {proc.returncode} {out}{err}")
        return proc.returncode, out, err

    def quiet(self, *command, log=subprocess.DEVNULL, env=None):
        subprocess.run(command, env=env or self.env, stdin=subprocess.DEVNULL, stdout=log, stderr=log, timeout=300)

    def up(self):
        self.down()
        if not os.path.exists(os.path.join(self.path, "system.reg")):
            self.quiet(WINE, "wineboot", "--init")
            self.quiet(WINESERVER, "-w")
        self.quiet(WINESERVER, "-p")
        with open(self.log, "wb") as log:
            self.quiet(WINE, "wineboot", log=log, env=dict(self.env, WINEDEBUG="-all,+eventlog,+service"))
        # The relay channel, when a case turns it on, shows only the message boxes.
        self.wine("reg", "add", r"HKCU\Software\Wine\Debug", "/v", "RelayInclude", "/t", "REG_SZ",
                  "/d", "user32.MessageBoxW", "/f", check=True)

    def down(self):
        self.quiet(WINESERVER, "-k")

    def wait_log(self, offset, pattern, timeout=20):
        """The log after offset, once it matches pattern or the time is up."""
        def read():
            return self.log.read_bytes()[offset:].decode("utf-8", "replace").replace("\r", "")
        wait_until(lambda: re.search(pattern, read()), timeout)
        return read()

    def tree(self, key):
        """{lower-cased subkey path relative to key ("" for key): {value: (type, data)}}, None when missing."""
        rc, out, _ = self.wine("reg", "query", key, "/s")
        if rc != 0:
            return None
        keys, current, base = {}, None, len(key.partition("\\")[2])
        for line in out.split("\n"):
            if line.startswith("HKEY_"):
                current = keys.setdefault(line.partition("\\")[2][base:].lstrip("\\").lower(), {})
            elif m := re.match(r"^    (.*?)    (REG_\w+)    ?(.*)$", line):
                current[m.group(1)] = (m.group(2), m.group(3))
        return keys

    def delete_keys(self, *keys):
        for key in keys:
            self.wine("reg", "delete", key, "/f")

    def service_state(self, name=SERVICE):
        """The service's state number as text ("1" stopped, "4" running), None without a service entry."""
        m = re.search(r"STATE\s+:\s+(\d+)", self.wine("sc", "query", name)[1])
        return m and m.group(1)


class Server:
    """Serves boot_dir from a copy of the program placed there (under Wine on drive if given); traces go to a file."""

    def __init__(self, boot_dir, prefix=None, drive=None):
        self.boot, self.prefix = pathlib.Path(boot_dir), prefix
        self.program = self.boot / os.path.basename(SERVER)
        shutil.copy2(SERVER, self.program)
        self.path = f"{drive}\\{self.program.name}" if drive else windows_path(self.program)
        self.trace = self.boot.parent / (self.boot.name + ".trace")
        self.process = None

    def start(self, wait_line=r"^TFTP: 'Listening' on port 6051"):
        if UNDER_WINE:
            self.prefix.wine(self.path, "/RegServer", check=True)
            command, env = [WINE, self.path], self.prefix.env
        else:
            command, env = [self.program], None
        with open(self.trace, "wb") as out:
            self.process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                            stderr=subprocess.STDOUT)
        try:
            return self.wait_line(wait_line, 0, timeout=60)
        except AssertionError:  # a server that never came up must not outlive its test either
            self.process.kill()
            raise

    def lines(self, since=0):
        return self.trace.read_bytes().decode("latin-1").replace("\r", "").split("\n")[since:-1]

    def wait_line(self, pattern, since, timeout=20):
        def matches():
            return [line for line in self.lines(since) if re.search(pattern, line)]
        wait_until(lambda: self.process.poll() is not None or matches(), timeout)
        assert matches(), f"no trace line {pattern!r} in {self.lines(since)[-20:]}"
        return matches()[0]

    def stop(self):
        """TerminateProcess under Wine, as on Windows (a Unix signal can leave Wine's server holding port
        6051); SIGTERM natively, where the runner must end cleanly and without a sanitizer report."""
        if self.process is None:
            return
        if UNDER_WINE:
            self.prefix.wine("taskkill", "/F", "/IM", self.program.name)
            self.prefix.wine(self.path, "/UnregServer")
        elif self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            rc = self.process.wait(30)
        except subprocess.TimeoutExpired:   # a server that does not stop must not outlive its test
            self.process.kill()
            rc = f"no end within 30 s: {self.process.wait(30)}"
        self.process = None
        output = "\n".join(self.lines())
        if not UNDER_WINE and (rc != 0 or "Sanitizer" in output or "runtime error:" in output or
                               not output.endswith("CTFTPServer::Entry() is down!")):
            raise AssertionError(f"the runner ended with {rc}:\n{output[-3000:]}")


def fetch(client, name, *arguments, port=6051, host="127.0.0.1"):
    """(exit status, fetched bytes) of one real client's download from host (IPv4 or IPv6); arguments go to the
    client as given."""
    out = pathlib.Path(tempfile.mktemp(prefix="corvane-fetched-"))
    url_host = f"[{host}]" if ":" in host else host
    command = {"curl": ["curl", "-sS", "--max-time", "120", *arguments, "-o", out, f"tftp://{url_host}:{port}/{name}"],
               "tftp-hpa": ["tftp", *(["-6"] if ":" in host else []), "-m", "binary", *arguments, host, str(port), "-c",
                            "get", name, out],
               "atftp": ["atftp", *arguments, "--get", "-r", name, "-l", out, host, str(port)]}[client]
    rc = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, timeout=300).returncode
    data = out.read_bytes() if out.exists() else b""
    out.unlink(missing_ok=True)
    return rc, data


class HostCase(unittest.TestCase):
    """Corvane.exe in a directory whose name holds a space and what looks like a switch ("-Service Kit"),
    in a prefix where every registration the program can make is removed before each case."""
    SERVICES_MADE = (SERVICE, "ZetCorvaneDecoy")

    @classmethod
    def setUpClass(cls):
        cls.prefix = Prefix()
        cls.workdir = pathlib.Path(tempfile.mkdtemp(prefix="corvane-")) / "Lab-Service Kit"
        cls.addClassCleanup(shutil.rmtree, cls.workdir.parent, True)
        cls.workdir.mkdir()
        cls.exe = pathlib.Path(shutil.copy(SERVER, cls.workdir / "Corvane.exe"))
        cls.tool = windows_path(os.environ["CORVANE_HOSTTOOL"])
        cls.addClassCleanup(cls.prefix.down)
        cls.prefix.up()
        cls.addClassCleanup(cls.reset)

    def setUp(self):
        self.reset()

    @classmethod
    def reset(cls):
        for name in cls.SERVICES_MADE:
            cls.prefix.wine("sc", "stop", name)
            cls.prefix.wine("sc", "delete", name)
        # A service that was running keeps its entry until its process has gone.
        wait_until(lambda: not any(cls.prefix.service_state(name) for name in cls.SERVICES_MADE), 30)
        keys = [root + "\\" + name for root in (MACHINE_APPID, USER_APPID) for name in (APPID, "Corvane.EXE")] + [EVENT_SOURCE]
        # Seen once on a loaded machine: a key outlived its deletion. Delete until none is left.
        assert wait_until(lambda: cls.prefix.delete_keys(*keys) or not any(map(cls.prefix.tree, keys)), 20), keys

    def run_exe(self, arguments, debug=None, timeout_ms=60000):
        """Runs '"Corvane.exe" arguments'; returns (its full exit code, its output and Wine's debug output)."""
        command = f'"{windows_path(self.exe)}" {arguments}'.rstrip()
        _, out, err = self.prefix.wine(self.tool, "run", str(timeout_ms), debug=debug,
                                       extra_env={"CORVANE_CHILD_CMDLINE": command}, timeout=timeout_ms / 1000 + 60)
        m = re.search(r"exit 0x([0-9A-F]{8})", out)
        self.assertIsNotNone(m, f"{command}: {out}{err}")
        return int(m.group(1), 16), out + err

    def assert_registered(self, root=MACHINE_APPID, local_service=None):
        keys = self.prefix.tree(root) or {}
        expected = {"(Default)": ("REG_SZ", "Corvane"), "LocalService": ("REG_SZ", local_service)}
        if not local_service:
            del expected["LocalService"]
        self.assertEqual(keys.get(APPID.lower()), expected)
        self.assertEqual(keys.get("corvane.exe"), {"AppID": ("REG_SZ", APPID)})

    def event_source(self):  # its values, None without the key
        return (self.prefix.tree(EVENT_SOURCE) or {}).get("")

    def assert_unregistered(self, root=MACHINE_APPID):
        keys = self.prefix.tree(root) or {}
        self.assertFalse({"(Default)", "LocalService"} & set(keys.get(APPID.lower(), {})), keys)
        self.assertNotIn("corvane.exe", keys)
