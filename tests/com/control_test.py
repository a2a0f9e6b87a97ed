#!/usr/bin/python3
"""The COM control as its users meet it under Wine: registered and
unregistered with the real regsvr32 (checked with reg query), and called
from VBScript and JScript through a copy of cscript.exe that sits beside the
substitute hid.dll/setupapi.dll.

The registration tool, reg and cscript are those of the build's own
architecture (TALLYKEY_ARCH): a 32-bit control lives in the 32-bit registry
view and is created by 32-bit script hosts.

Environment: TALLYKEY_ARCH (win32 or win64), TALLYKEY_BIN (that build's bin
folder), TALLYKEY_SIMKEY (the native simkey tool), TALLYKEY_WINE (tools/wine.sh).
"""
import hashlib
import hmac
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from winetools import ARCH, wine, windows_path  # noqa: E402

BIN = os.environ["TALLYKEY_BIN"]
SIMKEY = os.environ["TALLYKEY_SIMKEY"]
CLSID = "{1A23B247-C9CF-43F5-A7AE-6B1FF4BDB52A}"
LIBID = "{4CA564D7-4F81-4C2C-9429-6609A57D26A5}"
IID = "{24919A8D-2502-49CA-B37B-C348EE6E708C}"
REGISTRAR_CLSID = "{44EC053A-400F-11D0-9DCD-00A0C90391D3}"
# The type library as the build wrote it, beside the DLL's own resource.
TYPELIB_FILE = os.path.join(BIN, "..", "activex", "tallykey.tlb")
SERIAL = "0a1b2c3d4e5f6071"
reg_query = ARCH.reg_tree
register = ARCH.register


class Registration(unittest.TestCase):
    dll = os.path.join(BIN, "tallykey.dll")

    def tearDown(self):
        register(self.dll, undo=True)

    def expected_class_keys(self, path):
        key = "CLSID\\" + CLSID
        return {
            key: {"(Default)": "UsbKey Class"},
            key + "\\InprocServer32": {"(Default)": path},
            key + "\\ProgID": {"(Default)": "Tallykey.UsbKey.1"},
            key + "\\Programmable": {},
            key + "\\TypeLib": {"(Default)": LIBID},
            key + "\\VersionIndependentProgID": {"(Default)": "Tallykey.UsbKey"},
        }

    def assert_registered(self, path):
        self.assertEqual(reg_query("HKCR\\CLSID\\" + CLSID), self.expected_class_keys(path))
        self.assertEqual(reg_query("HKCR\\Tallykey.UsbKey"), {
            "Tallykey.UsbKey": {"(Default)": "UsbKey Class"},
            "Tallykey.UsbKey\\CLSID": {"(Default)": CLSID},
            "Tallykey.UsbKey\\CurVer": {"(Default)": "Tallykey.UsbKey.1"},
        })
        self.assertEqual(reg_query("HKCR\\Tallykey.UsbKey.1"), {
            "Tallykey.UsbKey.1": {"(Default)": "UsbKey Class"},
            "Tallykey.UsbKey.1\\CLSID": {"(Default)": CLSID},
        })
        typelib = reg_query("HKCR\\TypeLib\\" + LIBID)
        self.assertIsNotNone(typelib)
        self.assertEqual(typelib["TypeLib\\" + LIBID + "\\1.0"]["(Default)"], "tallykey 1.0 Type Library")
        self.assertEqual(typelib["TypeLib\\" + LIBID + "\\1.0\\0\\" + ARCH.typelib_platform]["(Default)"], path)
        self.assertIsNotNone(reg_query("HKCR\\Interface\\" + IID))
        # The class lives in this architecture's view only.
        self.assertIsNone(ARCH.other().reg_tree("HKCR\\CLSID\\" + CLSID))

    def assert_unregistered(self):
        self.assertIsNone(reg_query("HKCR\\CLSID\\" + CLSID))
        self.assertIsNone(reg_query("HKCR\\Tallykey.UsbKey"))
        self.assertIsNone(reg_query("HKCR\\Tallykey.UsbKey.1"))
        self.assertIsNone(reg_query("HKCR\\TypeLib\\" + LIBID))
        # Never removed. Asked for its default value, not a listing of its
        # hundreds of subkeys, which failed once in CI while other tests
        # used the same prefix.
        self.assertEqual(ARCH.reg_query("HKCR\\CLSID", "/ve").returncode, 0)

    def test_register_and_unregister(self):
        self.assertEqual(register(self.dll), 0)
        self.assert_registered(windows_path(self.dll))
        # Again: the same state, and stale entries under the class key are gone.
        wine(ARCH.tool("reg"), "add", "HKCR\\CLSID\\" + CLSID + "\\InprocServer32", "/v", "ThreadingModel", "/d", "Both", "/f",
             check=True)
        wine(ARCH.tool("reg"), "add", "HKCR\\CLSID\\" + CLSID + "\\Stale", "/f", check=True)
        self.assertEqual(register(self.dll), 0)
        self.assert_registered(windows_path(self.dll))
        self.assertEqual(register(self.dll, undo=True), 0)
        self.assert_unregistered()

    def test_unregister_removes_foreign_subkeys_too(self):
        self.assertEqual(register(self.dll), 0)
        wine(ARCH.tool("reg"), "add", "HKCR\\CLSID\\" + CLSID + "\\InprocServer32", "/v", "ThreadingModel", "/d", "Both", "/f",
             check=True)
        self.assertEqual(register(self.dll, undo=True), 0)
        self.assert_unregistered()

    def test_unregister_twice_or_with_nothing_registered(self):
        self.assertEqual(register(self.dll, undo=True), 0)
        self.assertEqual(register(self.dll, undo=True), 0)
        self.assert_unregistered()
        self.assertEqual(ARCH.reg_query("HKCR\\CLSID").returncode, 0)

    def test_path_with_a_single_quote(self):
        folder = tempfile.mkdtemp(prefix="tallykey it's ")
        try:
            dll = os.path.join(folder, "tallykey.dll")
            shutil.copy(self.dll, dll)
            self.assertEqual(register(dll), 0)
            self.assertEqual(reg_query("HKCR\\CLSID\\" + CLSID + "\\InprocServer32"),
                             {"CLSID\\" + CLSID + "\\InprocServer32": {"(Default)": windows_path(dll)}})
            self.assertEqual(register(dll, undo=True), 0)
        finally:
            shutil.rmtree(folder)

    def test_type_library_from_a_tlb_beside_the_dll(self):
        # A DLL whose type library resource cannot be found: registration
        # falls back to the .tlb beside it, and fails without one.
        folder = tempfile.mkdtemp(prefix="tallykey-tlb-")
        try:
            dll = os.path.join(folder, "tallykey.dll")
            with open(self.dll, "rb") as f:
                data = f.read()
            resource_type = "TYPELIB".encode("utf-16-le")
            self.assertEqual(data.count(resource_type), 1)
            with open(dll, "wb") as f:
                f.write(data.replace(resource_type, "TYPELIX".encode("utf-16-le")))
            self.assertNotEqual(register(dll), 0)
            self.assertIsNone(reg_query("HKCR\\TypeLib\\" + LIBID))
            shutil.copy(TYPELIB_FILE, os.path.join(folder, "tallykey.tlb"))
            self.assertEqual(register(dll), 0)
            typelib = reg_query("HKCR\\TypeLib\\" + LIBID)
            self.assertEqual(typelib["TypeLib\\" + LIBID + "\\1.0\\0\\" + ARCH.typelib_platform]["(Default)"],
                             windows_path(os.path.join(folder, "tallykey.tlb")))
            self.assertEqual(register(dll, undo=True), 0)
            self.assert_unregistered()
        finally:
            shutil.rmtree(folder)

    def test_no_registrar_writes_nothing(self):
        server = "HKCR\\CLSID\\" + REGISTRAR_CLSID + "\\InprocServer32"
        original = reg_query(server)["CLSID\\" + REGISTRAR_CLSID + "\\InprocServer32"]["(Default)"]
        reg = ARCH.tool("reg")
        wine(reg, "add", server, "/ve", "/d", "C:\\windows\\system32\\no-such-registrar.dll", "/f", check=True)
        try:
            self.assertNotEqual(register(self.dll), 0)
        finally:
            wine(reg, "add", server, "/ve", "/d", original, "/f", check=True)
        self.assert_unregistered()
        self.assertEqual(register(self.dll), 0)  # and with the registrar back, it works


class Scripts(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.cscript = os.path.join(BIN, "cscript.exe")
        if not os.path.exists(cls.cscript):
            shutil.copy(os.path.join(ARCH.system_dir(os.environ["TALLYKEY_WINE_DIR"]), "cscript.exe"), cls.cscript)
        assert register(os.path.join(BIN, "tallykey.dll")) == 0

    @classmethod
    def tearDownClass(cls):
        register(os.path.join(BIN, "tallykey.dll"), undo=True)

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="tallykey-scripts-")
        self.devices = os.path.join(self.folder, "devices")

    def tearDown(self):
        shutil.rmtree(self.folder)

    def simkey(self, *args):
        return subprocess.run([SIMKEY, "--dir", self.devices, *args], check=True, capture_output=True,
                              text=True).stdout

    def show(self):
        return dict(line.split(" ", 1) for line in self.simkey("show", "key").splitlines())

    def script(self, text, kind="vbs", env=None):
        path = os.path.join(self.folder, "page." + kind)
        with open(path, "w", newline="\r\n") as f:
            f.write(text)
        run_env = {"TALLYKEY_SIMKEY_DIR": self.devices, **(env or {})}
        result = wine(self.cscript, "//nologo", windows_path(path), env=run_env)
        return result.stdout.replace("\r", "").splitlines()

    def test_vbscript_calls_all_five(self):
        self.simkey("add-key", "key", "--serial", SERIAL, "--digest-key", "000102030405060708090a0b0c0d0e0f")
        lines = self.script("""
Set key = CreateObject("Tallykey.UsbKey")
WScript.Echo "FindKeys " & key.FindKeys()
Dim sn, digest
r = key.GetSN(sn)
WScript.Echo "GetSN " & r & " " & sn
WScript.Echo "InitPassword " & key.InitPassword("first")
WScript.Echo "InitPassword " & key.InitPassword("again")
WScript.Echo "UpdatePassword " & key.UpdatePassword("wrong", "x")
WScript.Echo "UpdatePassword " & key.UpdatePassword("first", "pw")
r = key.HMAC_MD5("pw", "challenge", 9, digest)
WScript.Echo "HMAC_MD5 " & r & " " & digest
digest = "untouched"
r = key.HMAC_MD5("wrong", "challenge", 9, digest)
WScript.Echo "HMAC_MD5 " & r & " " & digest
""")
        expected = hmac.new(bytes(range(16)), b"challenge", hashlib.md5).hexdigest()
        self.assertEqual(lines, [
            "FindKeys 1", "GetSN 0 " + SERIAL, "InitPassword 0", "InitPassword -5", "UpdatePassword -5",
            "UpdatePassword 0", "HMAC_MD5 0 " + expected, "HMAC_MD5 -5 untouched"])
        self.assertEqual(self.show()["password_digest"], hashlib.md5(b"pw").hexdigest())

    def test_both_progids_and_names_in_another_case(self):
        self.simkey("add-key", "key", "--serial", SERIAL)
        lines = self.script("""
Set a = CreateObject("Tallykey.UsbKey")
Set b = CreateObject("Tallykey.UsbKey.1")
Dim sn
WScript.Echo a.findkeys() & " " & b.FINDKEYS()
r = b.getsn(sn)
WScript.Echo r & " " & sn
""")
        self.assertEqual(lines, ["1 1", "0 " + SERIAL])

    def test_no_key_two_keys_and_no_hid(self):
        page = """
Set key = CreateObject("Tallykey.UsbKey")
Dim sn, digest
sn = "before"
digest = "before"
WScript.Echo key.FindKeys() & " " & key.GetSN(sn) & " " & key.InitPassword("p") & " " & _
    key.UpdatePassword("a", "b") & " " & key.HMAC_MD5("p", "m", 1, digest) & " " & sn & " " & digest
"""
        self.assertEqual(self.script(page), ["0 -2 -2 -2 -2 before before"])
        self.simkey("add-key", "a")
        self.simkey("add-key", "b", "--serial", "1111111111111111")
        self.assertEqual(self.script(page), ["2 -3 -3 -3 -3 before before"])
        missing = self.script(page, env={"TALLYKEY_WINEDLLOVERRIDES": "hid="})
        self.assertEqual(missing, ["-1 -1 -1 -1 -1 before before"])

    def test_jscript(self):
        self.simkey("add-key", "key", "--serial", SERIAL)
        lines = self.script("""
var key = new ActiveXObject("Tallykey.UsbKey");
WScript.Echo("FindKeys " + key.FindKeys());
WScript.Echo("InitPassword " + key.InitPassword("js"));
WScript.Echo("UpdatePassword " + key.UpdatePassword("js", "js2"));
""", kind="js")
        self.assertEqual(lines, ["FindKeys 1", "InitPassword 0", "UpdatePassword 0"])
        self.assertEqual(self.show()["password_digest"], hashlib.md5(b"js2").hexdigest())


if __name__ == "__main__":
    unittest.main(verbosity=2)
