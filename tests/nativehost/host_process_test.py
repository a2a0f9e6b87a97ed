#!/usr/bin/python3
"""The built tallykey-host as a browser starts it: a process fed native-
messaging frames on its standard input, answering on its standard output,
against a simulated key. Natively, and under Wine for win32 and win64
(TALLYKEY_ARCH), where the origin policy comes from the registry.

Environment: TALLYKEY_HOST (the host program), TALLYKEY_ARCH ("native",
"win32" or "win64"), TALLYKEY_SIMKEY (native simkey tool), TALLYKEY_WINE
(Windows only), LD_LIBRARY_PATH with the simulated providers (native).
"""
import hashlib
import hmac
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

HOST = os.environ["TALLYKEY_HOST"]
ARCH_NAME = os.environ.get("TALLYKEY_ARCH", "native")
SIMKEY = os.environ["TALLYKEY_SIMKEY"]
WINDOWS = ARCH_NAME != "native"
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from nmframes import answers, frame  # noqa: E402
if WINDOWS:
    from winetools import WINE, Arch, wine  # noqa: E402
POLICY_KEY = "HKLM\\SOFTWARE\\Policies\\Tallykey"
DIGEST_KEY = "000102030405060708090a0b0c0d0e0f"


class HostProcess(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="tallykey-host-")
        self.devices = os.path.join(self.folder, "devices")
        subprocess.run([SIMKEY, "--dir", self.devices, "add-key", "key", "--serial", "0a1b2c3d4e5f6071",
                        "--password", "pw", "--digest-key", DIGEST_KEY], check=True, capture_output=True)

    def tearDown(self):
        shutil.rmtree(self.folder)

    def run_host(self, data, timeout=60):
        env = dict(os.environ, TALLYKEY_SIMKEY_DIR=self.devices, XDG_STATE_HOME=os.path.join(self.folder, "state"))
        command = [WINE, "run", HOST] if WINDOWS else [HOST]
        return subprocess.run(command, input=data, capture_output=True, env=env, timeout=timeout)

    def request(self, id_, method, *args, origin="https://bank.example"):
        return frame({"id": id_, "method": method, "args": list(args), "origin": origin})

    def test_requests_in_turn_and_an_end_when_the_input_closes(self):
        # Lengths whose bytes a text-mode stream would mangle: 0x0A (line
        # feed, which Windows would expand) and 0x1A (its end-of-file mark).
        padded = json.dumps({"id": 2, "method": "HMAC_MD5", "args": ["pw", "challenge"],
                             "origin": "https://bank.example"})
        padded_to_0a1a = padded[:-1] + " " * (0x0A1A - len(padded)) + "}"
        data = (frame({"id": 1, "method": "hello"}) + frame(padded_to_0a1a.encode())
                + frame(b"not json") + frame(b"") + self.request(3, "GetSN") + self.request(4, "FindKeys", 7))
        result = self.run_host(data)
        self.assertEqual(result.returncode, 0, result.stderr)
        digest = hmac.new(bytes.fromhex(DIGEST_KEY), b"challenge", hashlib.md5).hexdigest()
        got = answers(result.stdout)
        self.assertEqual(got[0], {"id": 1, "result": {"host": open(VERSION_FILE).read().strip()}})
        self.assertEqual(got[1], {"id": 2, "result": digest})
        self.assertEqual([a.get("error") for a in got[2:4]], ["bad-request", "bad-request"])
        self.assertEqual(got[4:], [{"id": 3, "result": "0a1b2c3d4e5f6071"}, {"id": 4, "result": 1}])

    def test_a_frame_over_one_mebibyte_ends_the_host(self):
        data = self.request(1, "FindKeys") + struct.pack("<I", 1024 * 1024 + 1) + b"{}" + self.request(2, "GetSN")
        result = self.run_host(data)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"a frame longer than 1048576 bytes", result.stderr)
        self.assertEqual(answers(result.stdout), [{"id": 1, "result": 1}])

    def test_origins_outside_the_policy_are_refused(self):
        refused = self.request(1, "GetSN", origin="http://bank.example")
        result = self.run_host(refused + self.request(2, "GetSN", origin="http://localhost:8000"))
        self.assertEqual([a.get("error", a.get("result")) for a in answers(result.stdout)],
                         ["origin-refused", "0a1b2c3d4e5f6071"])

    @unittest.skipUnless(WINDOWS, "the Linux list lives in /etc, which tests leave alone")
    def test_the_administrators_list_from_the_registry(self):
        arch = Arch(ARCH_NAME)
        wine(arch.tool("reg"), "add", POLICY_KEY, "/v", "Origins", "/t", "REG_MULTI_SZ",
             "/d", "https://bank.example\\0http://intranet:8080", "/f", check=True)
        try:
            data = (self.request(1, "GetSN") + self.request(2, "GetSN", origin="https://other.example")
                    + self.request(3, "GetSN", origin="http://intranet:8080"))
            result = self.run_host(data)
        finally:
            wine(arch.tool("reg"), "delete", POLICY_KEY, "/f")
        self.assertEqual([a.get("error", a.get("result")) for a in answers(result.stdout)],
                         ["0a1b2c3d4e5f6071", "origin-refused", "0a1b2c3d4e5f6071"])

    @unittest.skipIf(WINDOWS, "registration with manifest files is Linux's; Windows uses the registry")
    def test_install_and_uninstall_for_the_user(self):
        home = os.path.join(self.folder, "home")
        os.makedirs(home)
        env = dict(os.environ, HOME=home)
        identity = json.load(open(IDENTITY_FILE))
        result = subprocess.run([HOST, "install", "--user"], capture_output=True, env=env)
        self.assertEqual(result.returncode, 0, result.stderr)
        places = {".config/chromium/NativeMessagingHosts": False, ".config/google-chrome/NativeMessagingHosts": False,
                  ".mozilla/native-messaging-hosts": True}
        for folder, firefox in places.items():
            with open(os.path.join(home, folder, identity["hostName"] + ".json")) as f:
                manifest = json.load(f)
            allowed = ({"allowed_extensions": [identity["firefoxId"]]} if firefox else
                       {"allowed_origins": [f"chrome-extension://{identity['chromiumId']}/"]})
            self.assertEqual(manifest, {"name": identity["hostName"], "description": manifest["description"],
                                        "path": os.path.realpath(HOST), "type": "stdio", **allowed})
        result = subprocess.run([HOST, "uninstall", "--user"], capture_output=True, env=env)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual([files for _, _, files in os.walk(home) if files], [])
        self.assertEqual(subprocess.run([HOST, "install", "--everyone"], capture_output=True).returncode, 2)


ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
IDENTITY_FILE = os.path.join(ROOT, "extension", "identity.json")
VERSION_FILE = os.path.join(ROOT, "VERSION")

if __name__ == "__main__":
    unittest.main(verbosity=2)
