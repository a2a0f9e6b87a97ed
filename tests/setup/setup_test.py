#!/usr/bin/python3
"""The installer as a user meets it: tallykeysetup.exe runs for real under
Wine (in a 64-bit prefix of its own with WOW64, Chinese code page) on an X
server, and our driver presses its buttons and reads its status line and
message boxes.

Installer: one build's installer (TALLYKEY_ARCH); an i686 one runs as on
64-bit Windows, so its files land in syswow64 and its keys in the 32-bit
registry view. Current browsers' way to the key is checked as each browser
finds it: the registry key, the manifest it names, the host started with
the browser's arguments. BothArchitectures: the i686 and the x86_64
installers on one machine.

Environment: TALLYKEY_ARCH, TALLYKEY_BIN and TALLYKEY_SETUP (the build under
test), TALLYKEY_WIN64_BIN and TALLYKEY_WIN64_SETUP (BothArchitectures only),
TALLYKEY_SIMKEY (native simkey), TALLYKEY_WINE (tools/wine.sh),
TALLYKEY_WINE_DIR (the prefix folder), TALLYKEY_ARTIFACTS (screenshots);
DISPLAY must name an X server.
"""
import filecmp
import hashlib
import hmac
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from winetools import ARCH, WINE, Arch, windows_path  # noqa: E402
from winetools import wine as wine_run  # noqa: E402
from hostlookup import BROWSERS, HOST_FILES, find_host, host_folder, host_keys_left, use_host  # noqa: E402

SIMKEY = os.environ["TALLYKEY_SIMKEY"]
WINE_DIR = os.environ["TALLYKEY_WINE_DIR"]
ARTIFACTS = os.environ.get("TALLYKEY_ARTIFACTS", tempfile.gettempdir())
PLUGIN_SUBKEY = "MozillaPlugins\\@bhrbkey.cn/tallykeyplugin"
PLUGIN_KEY = "HKLM\\SOFTWARE\\" + PLUGIN_SUBKEY
CLSID = "{1A23B247-C9CF-43F5-A7AE-6B1FF4BDB52A}"
LIBID = "{4CA564D7-4F81-4C2C-9429-6609A57D26A5}"
CLASS_KEY = "HKLM\\SOFTWARE\\Classes\\CLSID\\" + CLSID
# Chinese code page (936) for the GBK texts; set for Wine only, not for the
# helper scripts, as no such Linux locale exists here.
WINE_LOCALE = {"TALLYKEY_WINE_LOCALE": "zh_CN.UTF-8"}
ENV = dict(os.environ, **WINE_LOCALE)
DIGEST_KEY = "000102030405060708090a0b0c0d0e0f"
DLLS = ("tallykey.dll", "nptallykey.dll")

INSTALLED = "安装成功!"
UNINSTALLED = "卸载成功!"


def wine(*args, env=None, **kwargs):
    return wine_run(*args, env={**WINE_LOCALE, **(env or {})}, **kwargs)


# Keys the installer's keys hang from, none of which a fresh prefix has, and
# its record of those it made.
PARENT_KEYS = ("Google", "Google\\Chrome", "Google\\Chrome\\NativeMessagingHosts", "Microsoft\\Edge",
               "Microsoft\\Edge\\NativeMessagingHosts", "Mozilla", "Mozilla\\NativeMessagingHosts",
               "MozillaPlugins", "Tallykey")


def parent_keys_left(arch):
    """Which of PARENT_KEYS exist in an architecture's view."""
    return [key for key in PARENT_KEYS if arch.reg_query("HKLM\\SOFTWARE\\" + key).returncode == 0]


class Build:
    """One architecture's deliverables: its installer, and its test helpers
    (dialog driver, stand-in browser, browser-side host, substitute hid.dll
    and setupapi.dll) in its bin folder."""

    def __init__(self, arch, bin_dir, setup):
        self.arch, self.bin, self.setup = arch, bin_dir, setup
        self.system_dir = arch.system_dir(WINE_DIR)

    def driver(self, *args, desktop=None):
        """The driver, in the default desktop or in a named virtual one
        (a program sees only the windows of its own desktop)."""
        program = [os.path.join(self.bin, "setupdriver.exe")]
        if desktop:
            program = ["explorer", "/desktop=" + desktop] + program
        done = wine(*program, *args)
        output = done.stdout.replace("\r", "").strip()
        # Every command but status always prints: silence is the driver (or
        # Wine) failing, and its exit code and errors say how.
        if not output and args[0] != "status":
            raise AssertionError(f"setupdriver {args}: no output, exit {done.returncode}: {done.stderr[-800:]}")
        return output

    def start(self, trace):
        """The installer, with Wine tracing every module load into the file
        trace: it shows which registration tool the installer started."""
        process = subprocess.Popen([WINE, "run", self.setup], env=dict(ENV, TALLYKEY_WINEDEBUG="+loaddll"),
                                   stderr=trace)
        if self.driver("wait") != "ready":
            process.kill()
            process.wait()
            raise AssertionError(f"the {self.arch.name} installer's dialog did not appear")
        return process

    def run_action(self, button):
        """Starts the installer, presses one button, closes it; the status
        line and the registration tools it started."""
        with tempfile.TemporaryFile() as trace:
            process = self.start(trace)
            try:
                status = self.driver("click", str(button))
                self.driver("key", "escape")
                process.wait(timeout=30)
            finally:
                if process.poll() is None:  # a failed step must not leave the dialog running
                    process.kill()
                    process.wait()
            trace.seek(0)
            loaded = re.findall(r'Loaded L"([^"]*regsvr32\.exe)"', trace.read().decode(errors="replace"))
        return status, {path.replace("\\\\", "\\").lower() for path in loaded}

    def installed_files(self):
        return [name for name in DLLS if os.path.exists(os.path.join(self.system_dir, name))]

    def plugin_path(self):
        """The plug-in's Path value, as a browser of this architecture reads it."""
        result = self.arch.reg_query(PLUGIN_KEY, "/v", "Path")
        match = re.search(r"REG_SZ\s+(.*)", result.stdout.replace("\r", ""))
        return match.group(1).strip() if match else None

    def digests_of_installed_components(self, password, message):
        """What a page gets from the installed control (a VBScript through this
        architecture's cscript) and from the installed plug-in (loaded from its
        Path value by this architecture's browser-side host), against a
        simulated key: (digest from the control, from the plug-in)."""
        folder = tempfile.mkdtemp(prefix="tallykey-installed-")
        try:
            for name in ("hid.dll", "setupapi.dll", "setupapi_wine.dll", "nphost.exe"):
                shutil.copy(os.path.join(self.bin, name), folder)
            shutil.copy(os.path.join(self.system_dir, "cscript.exe"), folder)
            devices = os.path.join(folder, "devices")
            subprocess.run([SIMKEY, "--dir", devices, "add-key", "key", "--serial", "0a1b2c3d4e5f6071",
                            "--password", password, "--digest-key", DIGEST_KEY], check=True)
            env = {"TALLYKEY_SIMKEY_DIR": devices}
            script = os.path.join(folder, "page.vbs")
            with open(script, "w", newline="\r\n") as f:
                f.write('Set key = CreateObject("Tallykey.UsbKey")\nDim sn, digest\nr = key.GetSN(sn)\n'
                        f'h = key.HMAC_MD5("{password}", "{message}", {len(message)}, digest)\n'
                        'WScript.Echo key.FindKeys() & " " & r & " " & sn & " " & h & " " & digest\n')
            out = wine(os.path.join(folder, "cscript.exe"), "//nologo", windows_path(script), env=env).stdout
            control = out.replace("\r", "").strip()
            plugin_out = wine(os.path.join(folder, "nphost.exe"), self.plugin_path() or "(no Path value)",
                                  "FindKeys", f"HMAC_MD5({password},{message})", env=env).stdout
            plugin = re.findall(r'-> (?:int |string )?"?([^"\r\n]*)"?', plugin_out)
            return control, plugin
        finally:
            shutil.rmtree(folder)


THIS = Build(ARCH, os.environ["TALLYKEY_BIN"], os.environ["TALLYKEY_SETUP"])


def expected_digest(message):
    return hmac.new(bytes.fromhex(DIGEST_KEY), message.encode(), hashlib.md5).hexdigest()


def host_works(test, build, browser, message):
    """The browser finds this build's host and gets the right digest."""
    used = use_host(browser, build.bin, message, DIGEST_KEY)
    test.assertIsNotNone(used, (build.arch.name, browser))
    test.assertEqual(used["host"], f"C:\\{build.arch.program_files}\\Tallykey\\tallykey-host.exe")
    test.assertEqual(used["view"], build.arch.name, browser)
    test.assertEqual(used["answers"][1:], [{"id": 2, "result": expected_digest(message)}], browser)


class Helper:
    """A stand-in browser or file holder, running until stopped."""

    def __init__(self, *args):
        self.ready = tempfile.mktemp(prefix="tallykey-ready-")
        self.process = subprocess.Popen([WINE, "run", os.path.join(THIS.bin, "browserdummy.exe"), args[0],
                                         windows_path(self.ready), *args[1:]], env=ENV)
        for _ in range(200):
            if os.path.exists(self.ready):
                return
            time.sleep(0.05)
        raise RuntimeError("the helper did not start")

    def stop(self):
        self.process.kill()
        self.process.wait()
        os.path.exists(self.ready) and os.remove(self.ready)
        time.sleep(0.3)  # its windows and handles go with the process


driver = THIS.driver


class WineSession(unittest.TestCase):
    """Cases that share one Wine server for the class."""

    @classmethod
    def setUpClass(cls):
        subprocess.run([WINE, "start"], check=True, env=ENV)

    @classmethod
    def tearDownClass(cls):
        subprocess.run([WINE, "stop"], env=ENV)


class Installer(WineSession):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # A prefix that installers before the record was kept used holds the
        # parents they left behind; the cases start from a machine without.
        for arch in (ARCH, ARCH.other()):
            for key in ("Google", "Microsoft\\Edge", "Mozilla", "MozillaPlugins", "Tallykey"):
                wine(arch.tool("reg"), "delete", "HKLM\\SOFTWARE\\" + key, "/f")

    def setUp(self):
        self.process = subprocess.Popen([WINE, "run", THIS.setup], env=ENV)
        self.assertEqual(driver("wait"), "ready")

    def tearDown(self):
        if self.process.poll() is None:
            driver("key", "escape")
            driver("gone")
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
        THIS.run_action(3)  # leave nothing installed for the next case

    def installed_files(self):
        return THIS.installed_files()

    def test_install_then_uninstall(self):
        self.assertEqual(driver("click", "1"), INSTALLED)
        for name in DLLS:
            self.assertTrue(filecmp.cmp(os.path.join(THIS.system_dir, name), os.path.join(THIS.bin, name),
                                        shallow=False), name)
        # A process of either architecture calls its system folder system32.
        self.assertEqual(THIS.plugin_path(), "C:\\windows\\system32\\nptallykey.dll")
        # Where the keys really are: the plug-in key in this architecture's
        # view of HKLM\SOFTWARE (Wow6432Node for i686), the class likewise.
        native = Arch("win64")
        self.assertEqual(native.reg_query(f"HKLM\\{ARCH.software_key}\\{PLUGIN_SUBKEY}").returncode, 0)
        self.assertNotEqual(native.reg_query(f"HKLM\\{ARCH.other().software_key}\\{PLUGIN_SUBKEY}").returncode, 0)
        self.assertIn("tallykey.dll", ARCH.reg_query(CLASS_KEY + "\\InprocServer32").stdout)
        self.assertNotEqual(ARCH.other().reg_query(CLASS_KEY).returncode, 0)

        # Pages through the installed control and the installed plug-in.
        digest = expected_digest("challenge")
        self.assertEqual(THIS.digests_of_installed_components("pw", "challenge"),
                         (f"1 0 0a1b2c3d4e5f6071 0 {digest}", ["1", digest]))

        # Current browsers find the host, each its own way.
        folder = host_folder(ARCH)
        self.assertEqual(sorted(os.listdir(folder)), sorted(HOST_FILES))
        self.assertTrue(filecmp.cmp(os.path.join(folder, "tallykey-host.exe"),
                                    os.path.join(THIS.bin, "tallykey-host.exe"), shallow=False))
        for browser in BROWSERS:
            host_works(self, THIS, browser, "challenge " + browser)

        # Again, over the first installation.
        self.assertEqual(driver("click", "1"), INSTALLED)
        self.assertEqual(driver("click", "3"), UNINSTALLED)
        self.assertEqual(self.installed_files(), [])
        self.assertFalse(os.path.exists(folder))
        self.assertEqual(host_keys_left(), [])
        self.assertNotEqual(ARCH.reg_query(PLUGIN_KEY).returncode, 0)
        self.assertNotEqual(ARCH.reg_query(CLASS_KEY).returncode, 0)
        self.assertNotEqual(ARCH.reg_query("HKCR\\Tallykey.UsbKey").returncode, 0)
        # The parents it made (both installations' worth) went with them.
        self.assertEqual(parent_keys_left(ARCH), [])

    def test_parent_keys_that_were_there_before_stay(self):
        # A real Chrome's own key, empty, and Mozilla's with a value: they
        # were there before, so they stay after uninstall, as does a
        # MozillaPlugins a browser made; what the installer made below them,
        # and Edge's keys, go.
        reg = ARCH.tool("reg")
        before = ("Google\\Chrome", "MozillaPlugins")
        for key in before:
            wine(reg, "add", "HKLM\\SOFTWARE\\" + key, "/f", check=True)
        wine(reg, "add", "HKLM\\SOFTWARE\\Mozilla", "/v", "Owner", "/d", "firefox", "/f", check=True)
        try:
            self.assertEqual(driver("click", "1"), INSTALLED)
            self.assertEqual(parent_keys_left(ARCH), list(PARENT_KEYS))
            self.assertEqual(driver("click", "3"), UNINSTALLED)
            self.assertEqual(parent_keys_left(ARCH), ["Google", "Google\\Chrome", "Mozilla", "MozillaPlugins"])
            self.assertIn("firefox", ARCH.reg_query("HKLM\\SOFTWARE\\Mozilla", "/v", "Owner").stdout)
            # Nothing of this in the other view.
            self.assertEqual(parent_keys_left(ARCH.other()), [])
        finally:
            for key in ("Google", "Mozilla", "MozillaPlugins"):
                wine(reg, "delete", "HKLM\\SOFTWARE\\" + key, "/f")

    def test_the_dialog_as_a_user_sees_it(self):
        # Wine's virtual desktop draws window frames as Windows does; the
        # picture (the README's) is the window after an install, frame and
        # caption included, and nothing around it.
        driver("key", "escape")
        driver("gone")
        desktop = "Tallykey"
        process = subprocess.Popen([WINE, "run", "explorer", f"/desktop={desktop},480x320", THIS.setup], env=ENV)
        try:
            # The desktop must exist before the driver starts, or the
            # driver's own explorer makes it and lives on as its owner.
            for _ in range(80):
                if subprocess.run(["xwininfo", "-name", f"{desktop} - Wine desktop"], capture_output=True).returncode == 0:
                    break
                time.sleep(0.25)
            self.assertEqual(THIS.driver("wait", desktop=desktop), "ready")
            self.assertEqual(THIS.driver("click", "1", desktop=desktop), INSTALLED)
            x, y, width, height, client_width, client_height = map(int, THIS.driver("show", desktop=desktop).split())
            # A frame on each side and a caption above the client area.
            self.assertGreater(width, client_width)
            self.assertGreater(height - client_height, width - client_width + 10)
            shot = os.path.join(ARTIFACTS, "setup-dialog.png")
            subprocess.run(["import", "-window", f"{desktop} - Wine desktop", "-crop", f"{width}x{height}+{x}+{y}",
                            "+repage", shot], check=True, env=ENV, timeout=30)
            size = subprocess.run(["identify", "-format", "%w %h", shot], capture_output=True, text=True, check=True)
            self.assertEqual(size.stdout, f"{width} {height}")
            self.assertEqual(THIS.driver("click", "3", desktop=desktop), UNINSTALLED)
            THIS.driver("key", "escape", desktop=desktop)
            process.wait(timeout=30)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()

    def test_a_regsvr32_beside_the_installer_is_not_run(self):
        # As in a Downloads folder: another program named regsvr32.exe beside
        # the installer. Only the system's own may be started.
        driver("key", "escape")
        driver("gone")
        folder = tempfile.mkdtemp(prefix="tallykey-downloads-")
        try:
            shutil.copy(THIS.setup, folder)
            shutil.copy(os.path.join(THIS.bin, "archprobe.exe"), os.path.join(folder, "regsvr32.exe"))
            planted = Build(ARCH, THIS.bin, os.path.join(folder, os.path.basename(THIS.setup)))
            status, tools = planted.run_action(1)
            self.assertEqual(status, INSTALLED)
            self.assertEqual(tools, {f"c:\\windows\\{ARCH.system_folder}\\regsvr32.exe"})
        finally:
            shutil.rmtree(folder)

    def test_uninstall_with_nothing_installed(self):
        self.assertEqual(self.installed_files(), [])
        self.assertEqual(driver("click", "3"), "Remove file failed! error = 2.")

    def test_a_plugin_key_that_cannot_be_created_fails_registration(self):
        # Under a volatile key no lasting key can be made: the plug-in step fails.
        wine(ARCH.tool("reg"), "delete", "HKLM\\SOFTWARE\\MozillaPlugins", "/f")
        self.assertEqual(driver("volatile-key", "SOFTWARE\\MozillaPlugins"), "created")
        try:
            self.assertEqual(driver("click", "1"), "Register failed! error = 1021.")  # ERROR_CHILD_MUST_BE_VOLATILE
            self.assertEqual(self.installed_files(), list(DLLS))
        finally:
            wine(ARCH.tool("reg"), "delete", "HKLM\\SOFTWARE\\MozillaPlugins", "/f")

    def test_an_earlier_uninstall_failure_stays_on_the_status_line(self):
        self.assertEqual(driver("click", "1"), INSTALLED)
        wine(ARCH.tool("reg"), "delete", PLUGIN_KEY, "/f", check=True)
        self.assertEqual(driver("click", "3"), "Uninstall failed! error = 2.")
        self.assertEqual(self.installed_files(), [])

    def test_a_dll_in_use_is_not_removed(self):
        self.assertEqual(driver("click", "1"), INSTALLED)
        holder = Helper("hold", windows_path(os.path.join(THIS.system_dir, "nptallykey.dll")))
        try:
            self.assertEqual(driver("click", "3"), "Remove file failed! error = 32.")
        finally:
            holder.stop()
        self.assertEqual(self.installed_files(), ["nptallykey.dll"])

    def test_a_host_that_cannot_be_written_fails_registration(self):
        # A file where the host's folder should be: the host cannot be written.
        blocker = host_folder(ARCH)
        with open(blocker, "w") as f:
            f.write("not a folder")
        try:
            self.assertEqual(driver("click", "1"), "Register failed! error = 3.")  # ERROR_PATH_NOT_FOUND
            self.assertEqual(self.installed_files(), list(DLLS))
            self.assertEqual(host_keys_left(), [])
        finally:
            os.remove(blocker)

    def test_a_host_in_use_is_reported_and_the_rest_removed(self):
        self.assertEqual(driver("click", "1"), INSTALLED)
        host = os.path.join(host_folder(ARCH), "tallykey-host.exe")
        holder = Helper("hold", windows_path(host))
        try:
            self.assertEqual(driver("click", "3"), "Uninstall failed! error = 32.")  # ERROR_SHARING_VIOLATION
        finally:
            holder.stop()
        self.assertEqual(os.listdir(host_folder(ARCH)), ["tallykey-host.exe"])
        self.assertEqual(host_keys_left(), [])
        self.assertEqual(self.installed_files(), [])

    def test_an_open_browser_blocks_both_actions(self):
        cases = [
            (("IEFrame", "Chrome_WidgetWin_0"), "请关闭您的IE浏览器，再进行安装操作！"),
            (("MozillaWindowClass",), "请关闭您的FireFox浏览器，再进行安装操作！"),
            (("Chrome_WidgetWin_0",), "请关闭您的Chrome浏览器，再进行安装操作！"),
        ]
        for classes, text in cases:
            browser = Helper("windows", *classes)
            try:
                self.assertEqual(driver("box", "1"), text, classes)
                self.assertEqual(driver("box", "3"), text, classes)
                self.assertEqual(driver("status"), "")
                self.assertEqual(self.installed_files(), [])
            finally:
                browser.stop()

    def test_enter_installs_and_escape_closes(self):
        self.assertEqual(driver("key", "return"), "sent")
        for _ in range(100):
            if driver("status") == INSTALLED:
                break
            time.sleep(0.1)
        self.assertEqual(driver("status"), INSTALLED)
        driver("key", "escape")
        self.assertEqual(driver("gone"), "closed")
        self.process.wait(timeout=10)
        self.assertEqual(self.process.returncode, 0)


class FailedWaits(WineSession):
    """A test build of this architecture's installer whose wait for the
    registration tool, or whose query of its exit code, fails on demand
    (the calls wrapped at link time): each failure is reported on the status
    line with its code."""

    def act(self, point, button):
        process = subprocess.Popen([WINE, "run", os.path.join(THIS.bin, "tallykeysetup-failpoints.exe")],
                                   env=dict(ENV, TALLYKEY_TEST_FAIL=point))
        try:
            self.assertEqual(driver("wait"), "ready")
            status = driver("click", str(button))
            driver("key", "escape")
            process.wait(timeout=30)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
        return status

    def test_a_failed_wait_a_timeout_and_a_failed_exit_code_are_reported(self):
        try:
            # Uninstalling does not look at the tool's exit code (unregistering
            # what is not there is no failure), and a timeout is taken as one.
            for point, code, uninstalled in (("wait-failed", 6, "Uninstall failed! error = 6."),
                                             ("wait-timeout", 258, UNINSTALLED),
                                             ("exit-code", 5, "Uninstall failed! error = 5.")):
                self.assertEqual(self.act("none", 1), INSTALLED, "without a failure point it installs")
                self.assertEqual(self.act(point, 3), uninstalled, point)
                self.assertEqual(self.act(point, 1), f"Register failed! error = {code}.", point)
        finally:
            THIS.run_action(3)


class BothArchitectures(unittest.TestCase):
    """The i686 and the x86_64 installer on one 64-bit machine: each works
    alone and beside the other, and each uninstall removes only its own."""

    @classmethod
    def setUpClass(cls):
        assert ARCH.is_32bit, "run with the i686 build as TALLYKEY_ARCH"
        cls.builds = (THIS, Build(Arch("win64"), os.environ["TALLYKEY_WIN64_BIN"], os.environ["TALLYKEY_WIN64_SETUP"]))
        subprocess.run([WINE, "start"], check=True, env=ENV)

    @classmethod
    def tearDownClass(cls):
        for build in cls.builds:
            build.run_action(3)
        subprocess.run([WINE, "stop"], env=ENV)

    def act(self, build, button, status):
        """One action of one installer; it must report status and start only
        the registration tool of its own architecture."""
        got, tools = build.run_action(button)
        self.assertEqual(got, status, build.arch.name)
        self.assertEqual(tools, {f"c:\\windows\\{build.arch.system_folder}\\regsvr32.exe"}, build.arch.name)

    def assert_works(self, build, browsers=()):
        digest = expected_digest(build.arch.name)
        self.assertEqual(build.digests_of_installed_components("pw", build.arch.name),
                         (f"1 0 0a1b2c3d4e5f6071 0 {digest}", ["1", digest]), build.arch.name)
        for browser in browsers:
            host_works(self, build, browser, build.arch.name)

    def assert_removed(self, build):
        self.assertEqual(build.installed_files(), [], build.arch.name)
        self.assertFalse(os.path.exists(host_folder(build.arch)), build.arch.name)
        self.assertNotEqual(build.arch.reg_query(CLASS_KEY).returncode, 0, build.arch.name)
        self.assertNotEqual(build.arch.reg_query(PLUGIN_KEY).returncode, 0, build.arch.name)

    def test_side_by_side_and_each_uninstall_leaves_the_other(self):
        i686, x86_64 = self.builds
        for build in self.builds:
            self.act(build, 1, INSTALLED)
        for build in self.builds:
            self.assert_works(build)
        # Both hosts registered: each browser takes the one of its first view.
        for browser, (_, views, _) in BROWSERS.items():
            self.assertEqual(find_host(browser)[0], views[0], browser)

        self.act(x86_64, 3, UNINSTALLED)
        self.assert_removed(x86_64)
        self.assert_works(i686, BROWSERS)

        self.act(x86_64, 1, INSTALLED)
        self.act(i686, 3, UNINSTALLED)
        self.assert_removed(i686)
        self.assert_works(x86_64, BROWSERS)

        self.act(x86_64, 3, UNINSTALLED)
        self.assertEqual(host_keys_left(), [])
        for build in self.builds:
            self.assertEqual(parent_keys_left(build.arch), [], build.arch.name)
        # Nothing left in either view, shared keys included.
        for build in self.builds:
            self.assert_removed(build)
            for key in ("HKCR\\Tallykey.UsbKey", "HKCR\\Tallykey.UsbKey.1", "HKCR\\TypeLib\\" + LIBID,
                        "HKCR\\Interface\\{24919A8D-2502-49CA-B37B-C348EE6E708C}"):
                self.assertNotEqual(build.arch.reg_query(key).returncode, 0, (build.arch.name, key))


if __name__ == "__main__":
    unittest.main(verbosity=2)
