#!/usr/bin/python3
"""The plug-in in a real NPAPI engine: QtWebKit loads nptallykey.so from its
plug-in folder for an <embed> of our MIME type, and page scripts call the
eight methods against simulated keys.

Environment: QTWEBKIT_PLUGIN_PATH (the plug-in folder), LD_LIBRARY_PATH (the
simulated hidapi), TALLYKEY_SIMKEY (the simkey tool).
With TALLYKEY_TEST_PROVIDER_MISSING=1 only the checks for missing system
functions run (the loader path then holds an unusable hidapi).
"""
import hashlib
import hmac
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from qtbrowser import CALL_SCRIPT, Browser, ScriptError  # noqa: E402

SIMKEY = os.environ.get("TALLYKEY_SIMKEY", "simkey")
PROVIDER_MISSING = os.environ.get("TALLYKEY_TEST_PROVIDER_MISSING") == "1"
SERIAL = "0a1b2c3d4e5f6071"
VALUE = "00112233445566778899aabbccddeeff"

PAGE = """<html><body>
<embed id="key" type="application/bhrb-usbkey" width="1" height="1">
<object id="second" type="application/bhrb-usbkey" width="1" height="1"></object>
%s
</body></html>""" % CALL_SCRIPT


BROWSER = None


def md5(text):
    return hashlib.md5(text.encode()).hexdigest()


def keyed(value_hex, message_bytes):
    return hmac.new(bytes.fromhex(value_hex), message_bytes, hashlib.md5).hexdigest()


class PluginTest(unittest.TestCase):
    def setUp(self):
        self.devices = tempfile.mkdtemp(prefix="tallykey-qtwebkit-")
        os.environ["TALLYKEY_SIMKEY_DIR"] = self.devices
        self.browser = BROWSER

    def tearDown(self):
        shutil.rmtree(self.devices, ignore_errors=True)

    def simkey(self, *args):
        return subprocess.run([SIMKEY, "--dir", self.devices, *args], check=True, capture_output=True,
                              text=True).stdout

    def add_key(self, name="key", serial=SERIAL, *options):
        self.simkey("add-key", name, "--serial", serial, *options)

    def show(self, name="key"):
        return dict(line.split(" ", 1) for line in self.simkey("show", name).splitlines())

    def js(self, expression):
        return self.browser.call(expression)


@unittest.skipIf(PROVIDER_MISSING, "needs the simulated providers")
class Methods(PluginTest):
    def test_counts_keys_only(self):
        self.assertEqual(self.js("key.FindKeys()"), 0)
        self.simkey("add-hid", "mouse", "--vid", "046d", "--pid", "c077", "--product", "USB Mouse")
        self.assertEqual(self.js("key.FindKeys()"), 0)
        self.add_key("a")
        self.assertEqual(self.js("key.FindKeys()"), 1)
        self.add_key("b", "1111111111111111")
        self.assertEqual(self.js("key.FindKeys()"), 2)
        self.assertEqual(self.js("key.FindKeys('ignored', 1)"), 2)

    def test_serial(self):
        self.add_key()
        self.assertEqual(self.js("key.GetSN()"), SERIAL)
        self.assertEqual(self.js("key.GetSN(1, 'two', null)"), SERIAL)

    def test_first_password_once(self):
        self.add_key()
        self.assertEqual(self.js("key.InitPassword()"), -11)
        self.assertEqual(self.show()["password"], "blank")
        self.assertEqual(self.js("key.InitPassword('first')"), 0)
        self.assertEqual(self.show()["password_digest"], md5("first"))
        self.assertEqual(self.js("key.InitPassword('second')"), -5)
        self.assertEqual(self.js("key.InitPassword()"), -5)
        self.assertEqual(self.show()["password_digest"], md5("first"))

    def test_change_password(self):
        self.add_key("key", SERIAL, "--password", "old")
        self.assertEqual(self.js("key.UpdatePassword('wrong', 'new')"), -5)
        self.assertEqual(self.show()["password_digest"], md5("old"))
        self.assertEqual(self.js("key.UpdatePassword('old')"), -11)
        self.assertEqual(self.js("key.UpdatePassword('old', 'new')"), 0)
        self.assertEqual(self.show()["password_digest"], md5("new"))
        # Passwords are digested as their UTF-8 bytes; the empty one too.
        self.assertEqual(self.js("key.UpdatePassword('new', '\u00e9t\u00e9')"), 0)
        self.assertEqual(self.show()["password_digest"], md5("\u00e9t\u00e9"))
        self.assertEqual(self.js("key.UpdatePassword('\u00e9t\u00e9', '')"), 0)
        self.assertEqual(self.show()["password_digest"], md5(""))

    def test_keyed_digests_after_a_reset(self):
        self.add_key("key", SERIAL, "--password", "pw")
        self.assertEqual(self.js("key.ResetDigist('pw', '%s')" % VALUE.upper()), 0)
        self.assertEqual(self.show()["digest_key"], VALUE)
        self.assertEqual(self.js("key.HMAC_MD5('pw', 'challenge')"), keyed(VALUE, b"challenge"))
        self.assertEqual(self.js("key.HMAC_MD5('pw', '')"), keyed(VALUE, b""))
        self.assertEqual(self.js("key.HMAC_MD5('pw', 'caf\u00e9')"), keyed(VALUE, "caf\u00e9".encode()))
        self.assertEqual(self.js("key.HMAC_MD5('pw', '%s')" % ("m" * 61)), keyed(VALUE, b"m" * 61))
        self.assertEqual(self.js("key.HMAC_MD5('pw', '%s')" % ("m" * 62)), -11)
        self.assertEqual(self.js("key.HMAC_MD5('wrong', 'challenge')"), -5)

    def test_hex_messages(self):
        self.add_key("key", SERIAL, "--password", "pw", "--digest-key", VALUE)
        self.assertEqual(self.js("key.HMAC_MD5_HexString('pw', '0A0b')"), keyed(VALUE, b"\x0a\x0b"))
        self.assertEqual(self.js("key.HMAC_MD5_HexString('pw', '%s')" % ("aB" * 61)), keyed(VALUE, b"\xab" * 61))
        for bad in ["", "a", "abc", "zz", "0g", "a b", "0x0a", "aB" * 62]:
            self.assertEqual(self.js("key.HMAC_MD5_HexString('pw', '%s')" % bad), -11, bad)
        self.assertEqual(self.js("key.HMAC_MD5_HexString('wrong', 'zz')"), -5)

    def test_reset_value_checked_after_the_password(self):
        self.add_key("key", SERIAL, "--password", "pw")
        for bad in [VALUE[:31], VALUE + "0", VALUE[:30] + "zz"]:
            self.assertEqual(self.js("key.ResetDigist('pw', '%s')" % bad), -11, bad)
            self.assertEqual(self.js("key.ResetDigist('wrong', '%s')" % bad), -5, bad)
        self.assertEqual(self.show()["digest_key"], "0" * 32)

    def test_arguments_must_be_strings(self):
        self.add_key("key", SERIAL, "--password", "pw")
        for call in ["key.HMAC_MD5(1, 'm')", "key.HMAC_MD5('pw', 2)", "key.HMAC_MD5('pw')", "key.HMAC_MD5()",
                     "key.UpdatePassword('pw', null)", "key.UpdatePassword(undefined, 'x')",
                     "key.ResetDigist('pw', {})", "key.HMAC_MD5_HexString('pw', true)", "key.SetLog(5)",
                     "key.SetLog()"]:
            self.assertEqual(self.js(call), -11, call)
        self.assertEqual(self.show()["password_digest"], md5("pw"))

    def test_no_key_and_two_keys(self):
        calls = ["key.GetSN()", "key.InitPassword('p')", "key.UpdatePassword('a', 'b')", "key.HMAC_MD5('p', 'm')",
                 "key.ResetDigist('p', '%s')" % VALUE, "key.HMAC_MD5_HexString('p', '00')",
                 "key.UpdatePassword()"]
        for call in calls:
            self.assertEqual(self.js(call), -2, call)
        self.add_key("a")
        self.add_key("b", "2222222222222222")
        for call in calls:
            self.assertEqual(self.js(call), -3, call)
        self.assertEqual(self.show("a")["feature_writes"], "0")  # neither key was opened for a command

    def test_open_and_operation_failures(self):
        self.add_key("key", SERIAL, "--password", "pw", "--identify-length", "20")
        self.assertEqual(self.js("key.GetSN()"), -4)
        # The arguments are checked before the key is opened or the password proved.
        refused = ["key.UpdatePassword('x')", "key.HMAC_MD5('wrong', '%s')" % ("m" * 62),
                   "key.HMAC_MD5_HexString('wrong', '%s')" % ("ab" * 62)]
        for call in refused:
            self.assertEqual(self.js(call), -11, call)
        self.simkey("set", "key", "--identify-length", "21")
        writes = self.show("key")["feature_writes"]
        for call in refused:
            self.assertEqual(self.js(call), -11, call)
        self.assertEqual(self.show("key")["feature_writes"], writes)
        self.simkey("set", "key", "--fault", "digest-length-15")
        self.assertEqual(self.js("key.HMAC_MD5('pw', 'm')"), -6)
        self.simkey("set", "key", "--clear-faults", "--fault", "verify-zero")
        self.assertEqual(self.js("key.HMAC_MD5('pw', 'm')"), -5)

    def test_a_key_held_elsewhere_is_not_there(self):
        self.add_key()
        ready = os.path.join(self.devices, "held.ready")
        holder = subprocess.Popen([SIMKEY, "--dir", self.devices, "hold", "key", "--ready", ready, "--seconds", "60"])
        try:
            for _ in range(200):
                if os.path.exists(ready):
                    break
                time.sleep(0.05)
            self.assertEqual(self.js("key.FindKeys()"), 0)
            self.assertEqual(self.js("key.GetSN()"), -2)
        finally:
            holder.kill()
            holder.wait()
        self.assertEqual(self.js("key.GetSN()"), SERIAL)

    def test_unknown_names_are_refused(self):
        self.add_key()
        for name in ["getsn", "GETSN", "findkeys", "Hmac_Md5", "NoSuchMethod"]:
            self.assertEqual(self.js("typeof key.%s" % name), "undefined", name)
            with self.assertRaises(ScriptError, msg=name):
                self.js("key.%s()" % name)
        self.assertEqual(self.js("typeof key.GetSN"), "function")

    def test_two_instances_share_one_object(self):
        self.add_key()
        log = os.path.join(self.devices, "shared.log")
        self.assertEqual(self.js("key.SetLog('%s')" % log), 0)
        self.assertEqual(self.js("second.GetSN()"), SERIAL)
        self.assertEqual(self.js("key.GetSN()"), self.js("second.GetSN()"))
        self.assertEqual(self.js("second.SetLog('')"), 0)
        with open(log, newline="") as f:
            self.assertIn("MyNPInvokeFunctionPtr GetSN argCount = 0\n", f.read())


@unittest.skipIf(PROVIDER_MISSING, "needs the simulated providers")
class Trace(PluginTest):
    def read(self, path):
        with open(path, newline="") as f:
            return f.read().splitlines(keepends=True)

    def test_trace_lines(self):
        self.add_key()
        first = os.path.join(self.devices, "first.log")
        second = os.path.join(self.devices, "second.log")
        self.assertEqual(self.js("key.SetLog('%s')" % first), 0)
        self.assertEqual(self.read(first), ["SetLog start\n"])
        self.js("key.FindKeys(1, 2)")
        self.assertEqual(self.js("key.NoSuch ? 1 : 0"), 0)
        lines = self.read(first)
        self.assertIn("MyNPInvokeFunctionPtr FindKeys argCount = 2\n", lines)
        self.assertIn("MyNPHasPropertyFunctionPtr NoSuch\n", lines)
        # Every line is one of the fixed trace lines.
        fixed = ("SetLog start", "MyNPHasMethodFunctionPtr ", "MyNPInvokeFunctionPtr ", "MyNPHasPropertyFunctionPtr ",
                 "MyNPGetPropertyFunctionPtr ", "MyNPAllocateFunctionPtr", "MyNPDeallocateFunctionPtr",
                 "NPP_GetValue variable = ")
        for line in lines:
            self.assertTrue(line.startswith(fixed) and line.endswith("\n"), line)

        # A refused SetLog writes both its lines to the file as it was.
        self.assertEqual(self.js("key.SetLog(7)"), -11)
        self.assertEqual(self.read(first)[-2:], ["SetLog start\n", "SetLog start\n"])
        # A new file starts with the second line of the call that named it.
        self.assertEqual(self.js("key.SetLog('%s')" % second), 0)
        self.assertEqual(self.read(first)[-1], "SetLog start\n")
        self.assertEqual(self.read(second), ["SetLog start\n"])
        # The empty name stops tracing: its second line goes nowhere.
        self.assertEqual(self.js("key.SetLog('')"), 0)
        before = self.read(second)
        self.assertEqual(before[-2:], ["MyNPInvokeFunctionPtr SetLog argCount = 1\n", "SetLog start\n"])
        self.assertEqual(before.count("SetLog start\n"), 2)
        self.js("key.GetSN()")
        self.assertEqual(self.read(second), before)

    def test_unwritable_trace_file_is_ignored(self):
        self.add_key()
        self.assertEqual(self.js("key.SetLog('%s')" % os.path.join(self.devices, "missing", "x.log")), 0)
        self.assertEqual(self.js("key.GetSN()"), SERIAL)
        self.assertEqual(self.js("key.SetLog('')"), 0)


@unittest.skipUnless(PROVIDER_MISSING, "runs without the simulated providers")
class ProviderMissing(PluginTest):
    def test_every_key_method_answers_minus_one(self):
        self.add_key()
        for call in ["key.FindKeys()", "key.GetSN()", "key.InitPassword('p')", "key.UpdatePassword('a', 'b')",
                     "key.HMAC_MD5('p', 'm')", "key.ResetDigist('p', '%s')" % VALUE,
                     "key.HMAC_MD5_HexString('p', '00')", "key.UpdatePassword()"]:
            self.assertEqual(self.js(call), -1, call)
        self.assertEqual(self.js("key.SetLog('')"), 0)


if __name__ == "__main__":
    BROWSER = Browser(PAGE)
    unittest.main(verbosity=2)
