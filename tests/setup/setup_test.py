#!/usr/bin/python3
"""The installer as a user meets it: tallykeysetup.exe runs for real under
Wine (in a prefix of its own, Chinese code page) on an X server, and our
driver presses its buttons and reads its status line and message boxes.

Environment: TALLYKEY_BIN (win64 bin), TALLYKEY_SETUP (the installer),
TALLYKEY_SIMKEY (native simkey), TALLYKEY_WINE (tools/wine.sh),
TALLYKEY_WINE_DIR (the prefix folder), TALLYKEY_ARTIFACTS (screenshots);
DISPLAY must name an X server.
"""
import filecmp
import os
import shutil
import subprocess
import tempfile
import time
import unittest

BIN = os.environ["TALLYKEY_BIN"]
SETUP = os.environ["TALLYKEY_SETUP"]
SIMKEY = os.environ["TALLYKEY_SIMKEY"]
WINE = os.environ["TALLYKEY_WINE"]
ARTIFACTS = os.environ.get("TALLYKEY_ARTIFACTS", tempfile.gettempdir())
SYSTEM32 = os.path.join(os.environ["TALLYKEY_WINE_DIR"], "prefix", "drive_c", "windows", "system32")
PLUGIN_KEY = "HKLM\\SOFTWARE\\MozillaPlugins\\@bhrbkey.cn/tallykeyplugin"
CLASS_KEY = "HKLM\\SOFTWARE\\Classes\\CLSID\\{1A23B247-C9CF-43F5-A7AE-6B1FF4BDB52A}"
ENV = dict(os.environ, LC_ALL="zh_CN.UTF-8")

INSTALLED = "安装成功!"
UNINSTALLED = "卸载成功!"


def wine(*args, **kwargs):
    return subprocess.run([WINE, "run", *args], capture_output=True, text=True, errors="replace", env=ENV,
                          timeout=120, **kwargs)


def driver(*args):
    return wine(os.path.join(BIN, "setupdriver.exe"), *args).stdout.replace("\r", "").strip()


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Helper:
    """A stand-in browser or file holder, running until stopped."""

    def __init__(self, *args):
        self.ready = tempfile.mktemp(prefix="tallykey-ready-")
        self.process = subprocess.Popen([WINE, "run", os.path.join(BIN, "browserdummy.exe"), args[0],
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


class Installer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        subprocess.run([WINE, "start"], check=True, env=ENV)

    @classmethod
    def tearDownClass(cls):
        subprocess.run([WINE, "stop"], env=ENV)

    def setUp(self):
        self.process = subprocess.Popen([WINE, "run", SETUP], env=ENV)
        self.assertEqual(driver("wait"), "ready")

    def tearDown(self):
        if self.process.poll() is None:
            driver("key", "escape")
            driver("gone")
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
        # Leave nothing installed for the next case.
        cleanup = subprocess.Popen([WINE, "run", SETUP], env=ENV)
        driver("wait")
        driver("click", "3")
        driver("key", "escape")
        cleanup.wait(timeout=30)

    def installed_files(self):
        return [name for name in ("tallykey.dll", "nptallykey.dll") if os.path.exists(os.path.join(SYSTEM32, name))]

    def reg(self, *args):
        return wine("reg", "query", *args)

    def test_install_then_uninstall(self):
        self.assertEqual(driver("click", "1"), INSTALLED)
        for name in ("tallykey.dll", "nptallykey.dll"):
            self.assertTrue(filecmp.cmp(os.path.join(SYSTEM32, name), os.path.join(BIN, name), shallow=False), name)
        path = self.reg(PLUGIN_KEY, "/v", "Path")
        self.assertEqual(path.returncode, 0)
        self.assertIn("REG_SZ    C:\\windows\\system32\\nptallykey.dll", path.stdout)
        self.assertEqual(self.reg(CLASS_KEY + "\\InprocServer32").returncode, 0)
        self.assertIn("tallykey.dll", self.reg(CLASS_KEY + "\\InprocServer32").stdout)
        subprocess.run(["import", "-window", "root", os.path.join(ARTIFACTS, "setup-dialog.png")], check=False)

        self.check_installed_control_works()

        # Again, over the first installation.
        self.assertEqual(driver("click", "1"), INSTALLED)
        self.assertEqual(driver("click", "3"), UNINSTALLED)
        self.assertEqual(self.installed_files(), [])
        self.assertNotEqual(self.reg(PLUGIN_KEY).returncode, 0)
        self.assertNotEqual(self.reg(CLASS_KEY).returncode, 0)
        self.assertNotEqual(self.reg("HKCR\\Tallykey.UsbKey").returncode, 0)

    def check_installed_control_works(self):
        # A page script against a simulated key, through the installed control:
        # cscript runs from a folder with the substitute hid.dll and setupapi.dll.
        folder = tempfile.mkdtemp(prefix="tallykey-installed-")
        try:
            for name in ("hid.dll", "setupapi.dll", "setupapi_wine.dll"):
                shutil.copy(os.path.join(BIN, name), folder)
            shutil.copy(os.path.join(SYSTEM32, "cscript.exe"), folder)
            devices = os.path.join(folder, "devices")
            subprocess.run([SIMKEY, "--dir", devices, "add-key", "key", "--serial", "0a1b2c3d4e5f6071"], check=True)
            script = os.path.join(folder, "page.vbs")
            with open(script, "w", newline="\r\n") as f:
                f.write('Set key = CreateObject("Tallykey.UsbKey")\nDim sn\nr = key.GetSN(sn)\n'
                        'WScript.Echo key.FindKeys() & " " & r & " " & sn\n')
            out = subprocess.run([WINE, "run", os.path.join(folder, "cscript.exe"), "//nologo", windows_path(script)],
                                 capture_output=True, text=True, timeout=60,
                                 env=dict(ENV, TALLYKEY_SIMKEY_DIR=devices)).stdout
            self.assertEqual(out.replace("\r", "").strip(), "1 0 0a1b2c3d4e5f6071")
        finally:
            shutil.rmtree(folder)

    def test_uninstall_with_nothing_installed(self):
        self.assertEqual(self.installed_files(), [])
        self.assertEqual(driver("click", "3"), "Remove file failed! error = 2.")

    def test_a_dll_in_use_is_not_removed(self):
        self.assertEqual(driver("click", "1"), INSTALLED)
        holder = Helper("hold", windows_path(os.path.join(SYSTEM32, "nptallykey.dll")))
        try:
            self.assertEqual(driver("click", "3"), "Remove file failed! error = 32.")
        finally:
            holder.stop()
        self.assertEqual(self.installed_files(), ["nptallykey.dll"])

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


if __name__ == "__main__":
    unittest.main(verbosity=2)
