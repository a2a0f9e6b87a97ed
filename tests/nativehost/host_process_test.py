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
import time
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

    def start_host(self):
        env = dict(os.environ, TALLYKEY_SIMKEY_DIR=self.devices, XDG_STATE_HOME=os.path.join(self.folder, "state"))
        command = [WINE, "run", HOST] if WINDOWS else [HOST]
        return subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                env=env)

    # A call as the background sends it for an origin the user allowed.
    def request(self, id_, method, *args, origin="https://bank.example", consent=True):
        return frame({"id": id_, "method": method, "args": list(args), "origin": origin, "consent": consent})

    @staticmethod
    def stop_host(process):
        process.stdin.close()
        process.wait(timeout=60)
        process.stdout.close()
        process.stderr.close()

    @staticmethod
    def read_frame(process):
        (length,) = struct.unpack("<I", process.stdout.read(4))
        return json.loads(process.stdout.read(length))

    def read_answer(self, process):
        """The next answer, past the notices that a call waits or runs."""
        while True:
            message = self.read_frame(process)
            if "state" not in message:
                return message

    def hello_access(self, result):
        return [a["result"]["access"] for a in answers(result.stdout)]

    def set_registry_policy(self, *values):
        """The policy key in the 64-bit view, which hosts of both architectures read."""
        reg = Arch("win64").tool("reg")
        wine(reg, "delete", POLICY_KEY, "/f")
        for name, kind, data in values:
            wine(reg, "add", POLICY_KEY, "/v", name, "/t", kind, "/d", data, "/f", check=True)
        self.addCleanup(wine, reg, "delete", POLICY_KEY, "/f")

    def test_requests_in_turn_and_an_end_when_the_input_closes(self):
        # Lengths whose bytes a text-mode stream would mangle: 0x0A (line
        # feed, which Windows would expand) and 0x1A (its end-of-file mark).
        padded = json.dumps({"id": 2, "method": "HMAC_MD5", "args": ["pw", "challenge"],
                             "origin": "https://bank.example", "consent": True})
        padded_to_0a1a = padded[:-1] + " " * (0x0A1A - len(padded)) + "}"
        data = (frame({"id": 1, "method": "hello", "origin": "https://bank.example"}) + frame(padded_to_0a1a.encode())
                + frame(b"not json") + frame(b"") + self.request(3, "GetSN") + self.request(4, "FindKeys", 7))
        result = self.run_host(data)
        self.assertEqual(result.returncode, 0, result.stderr)
        digest = hmac.new(bytes.fromhex(DIGEST_KEY), b"challenge", hashlib.md5).hexdigest()
        got = answers(result.stdout)
        self.assertEqual(got[0], {"id": 1, "result": {"host": open(VERSION_FILE).read().strip(), "access": "ask"}})
        self.assertEqual(got[1], {"id": 2, "result": digest})
        self.assertEqual([a.get("error") for a in got[2:4]], ["bad-request", "bad-request"])
        self.assertEqual(got[4:], [{"id": 3, "result": "0a1b2c3d4e5f6071"}, {"id": 4, "result": 1}])

    def test_notices_and_a_waiting_call_withdrawn_never_runs(self):
        host = self.start_host()
        try:
            def send(payload):
                host.stdin.write(frame(payload))
                host.stdin.flush()

            send({"id": 1, "method": "HMAC_MD5", "args": ["wrong", "m"], "origin": "https://w.example", "consent": True})
            self.assertEqual(self.read_frame(host), {"id": 1, "state": "running", "keyMs": 20200})
            wrong = self.read_frame(host)
            self.assertEqual(wrong["result"], -5)
            self.assertGreaterEqual(wrong["waitMs"], 1000, "how long the next try waits, for the extension's window")
            send({"id": 2, "method": "UpdatePassword", "args": ["pw", "changed"], "origin": "https://w.example",
                  "consent": True, "typed": True})
            self.assertEqual(self.read_frame(host), {"id": 2, "state": "waiting"})
            send({"id": 2, "method": "withdraw"})
            self.assertEqual(self.read_frame(host)["error"], "timeout")
            send({"id": 99, "method": "withdraw"})  # nothing waits by that id: no answer
            send({"id": 3, "method": "HMAC_MD5", "args": ["pw", "m"], "origin": "https://other.example",
                  "consent": True})
            self.assertEqual(self.read_frame(host), {"id": 3, "state": "running", "keyMs": 20200})
            self.assertEqual(len(self.read_frame(host)["result"]), 32)
            time.sleep(1.2)  # past the wait the withdrawn call had
            send({"id": 4, "method": "HMAC_MD5", "args": ["pw", "m"], "origin": "https://other.example",
                  "consent": True})
            self.assertEqual(len(self.read_answer(host)["result"]), 32, "the password was never changed")
        finally:
            self.stop_host(host)

    def key_writes(self):
        shown = subprocess.run([SIMKEY, "--dir", self.devices, "show", "key"], check=True, capture_output=True,
                               text=True).stdout
        return int(next(line.split()[1] for line in shown.splitlines() if line.startswith("feature_writes ")))

    def test_sign_in_and_confirm_are_bound_to_the_origin_the_request_names(self):
        with open(VECTORS_FILE, encoding="utf-8") as f:
            vectors = [v for v in json.load(f)["vectors"] if v["digestKey"] == DIGEST_KEY]
        self.assertGreater(len(vectors), 3)
        requests = b"".join(
            self.request(i, "signIn" if v["purpose"] == "sign-in" else "confirm", "pw",
                         v["challenge"] if v["purpose"] == "sign-in" else v["text"], origin=v["origin"])
            for i, v in enumerate(vectors))
        got = answers(self.run_host(requests).stdout)
        self.assertEqual([a["result"] for a in got], [v["digest"] for v in vectors])
        # Malformed challenges and texts, and a hand-built sign-in through the
        # raw call: -11, and the key never hears of them.
        writes = self.key_writes()
        refused = [("signIn", "pw", "00" * 15), ("signIn", "pw", "00" * 33), ("signIn", "pw", "0" * 33),
                   ("confirm", "pw", "x" * 1025), ("HMAC_MD5_HexString", "pw", "F8544B53" + "00" * 32),
                   ("HMAC_MD5_HexString", "wrong", "f8544b43" + "00" * 32)]
        got = answers(self.run_host(b"".join(self.request(i, *call) for i, call in enumerate(refused))).stdout)
        self.assertEqual([a["result"] for a in got], [-11] * len(refused))
        self.assertEqual(self.key_writes(), writes)

    def test_oversized_and_deeply_nested_requests_are_refused_and_the_host_goes_on(self):
        oversized = struct.pack("<I", 2 * 1024 * 1024) + b"[" * (2 * 1024 * 1024)
        deep = frame(b'{"id": 3, "method": "GetSN", "args": ' + b"[" * 100000 + b"]}")
        data = self.request(1, "FindKeys") + oversized + self.request(2, "GetSN") + deep + self.request(4, "GetSN")
        result = self.run_host(data)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(answers(result.stdout), [
            {"id": 1, "result": 1},
            {"id": None, "error": "bad-request", "message": "a request over 1 MiB"},
            {"id": 2, "result": "0a1b2c3d4e5f6071"},
            {"id": None, "error": "bad-request", "message": "a request nested too deeply"},
            {"id": 4, "result": "0a1b2c3d4e5f6071"}])

    def test_origins_outside_the_policy_are_refused_and_the_rest_need_consent(self):
        data = (self.request(1, "GetSN", origin="http://bank.example")
                + self.request(2, "GetSN", origin="http://localhost:8000")
                + self.request(3, "GetSN", origin="https://bank.example", consent=False))
        result = self.run_host(data)
        self.assertEqual([a.get("error", a.get("result")) for a in answers(result.stdout)],
                         ["origin-refused", "0a1b2c3d4e5f6071", "permission-denied"])

    @unittest.skipUnless(WINDOWS, "the Linux settings live in /etc (see the test as another user)")
    def test_the_administrators_settings_from_the_registry(self):
        def accesses(*values):
            self.set_registry_policy(*values)
            origins = ["https://bank.example", "https://other.example", "http://intranet:8080"]
            result = self.run_host(b"".join(frame({"id": n, "method": "hello", "origin": o})
                                            for n, o in enumerate(origins)))
            return self.hello_access(result), result.stderr.decode(errors="replace")

        listed = ("Origins", "REG_MULTI_SZ", "https://bank.example\\0http://intranet:8080")
        self.assertEqual(accesses(listed)[0], ["listed", "ask", "refused"])
        self.assertEqual(accesses(listed, ("PromptForOthers", "REG_DWORD", "0"))[0], ["listed", "refused", "refused"])
        self.assertEqual(accesses(listed, ("PromptForOthers", "REG_DWORD", "1"))[0], ["listed", "ask", "refused"])
        self.assertEqual(accesses(("PromptForOthers", "REG_DWORD", "0"))[0], ["refused", "refused", "refused"])
        # Values of the wrong type allow nothing, and the host says why.
        for broken in [("Origins", "REG_SZ", "https://bank.example"), ("PromptForOthers", "REG_SZ", "0"),
                       ("PromptForOthers", "REG_QWORD", "0"), ("RequirePasswordEntry", "REG_SZ", "1")]:
            got, stderr = accesses(listed, broken) if broken[0] != "Origins" else accesses(broken)
            self.assertEqual(got, ["refused", "refused", "refused"], broken)
            self.assertIn(f"the policy value {broken[0]} is not", stderr)
            self.assertIn("no page may use the key", stderr)
        # Password entry required: a listed page's own password is refused,
        # one the extension's window took is not.
        self.set_registry_policy(listed, ("RequirePasswordEntry", "REG_DWORD", "1"))
        call = {"method": "HMAC_MD5", "args": ["pw", "m"], "origin": "https://bank.example"}
        got = answers(self.run_host(frame({"id": 1, **call}) + frame({"id": 2, "typed": True, **call})).stdout)
        self.assertEqual(got[0]["error"], "password-entry-required")
        self.assertEqual(len(got[1]["result"]), 32)

    def test_a_wrong_password_holds_up_that_origins_next_password_call(self):
        # The key's own time is measured on an origin that is not held up,
        # and taken out of the wait. Under Wine the ledger is the prefix's
        # user's, shared by runs: an origin of this run's own.
        guesser = f"https://guesser-{os.getpid()}-{int(time.time())}.example"
        host = self.start_host()
        try:
            def call(id_, *args, origin=guesser):
                host.stdin.write(self.request(id_, "HMAC_MD5", *args, origin=origin))
                host.stdin.flush()

            call(0, "pw", "m", origin="https://other.example")  # the host started, the key found
            self.assertEqual(len(self.read_answer(host)["result"]), 32)
            started = time.monotonic()
            call(1, "pw", "m", origin="https://other.example")
            self.assertEqual(len(self.read_answer(host)["result"]), 32)
            key_time = time.monotonic() - started
            call(2, "wrong", "m")
            self.assertEqual(self.read_answer(host)["result"], -5)
            failed = time.monotonic()
            call(3, "pw", "m")
            host.stdin.write(self.request(4, "GetSN", origin=guesser))
            host.stdin.flush()
            # The serial number comes first: only password calls wait.
            self.assertEqual(self.read_answer(host), {"id": 4, "result": "0a1b2c3d4e5f6071"})
            self.assertEqual(len(self.read_answer(host)["result"]), 32)
            waited = time.monotonic() - failed - key_time
            self.assertGreater(waited, 0.85)  # the wait began as the -5 was written
            self.assertLess(waited, 3.0)
            call(5, "wrong", "m")
            self.assertEqual(self.read_answer(host)["result"], -5, "a right password cleared the count")
        finally:
            self.stop_host(host)
        # The count outlives the host: the next host makes this origin wait 1 s
        # (its first failure since the right password), another origin not at all.
        host = self.start_host()
        try:
            call(6, "wrong", "m")
            call(7, "pw", "m", origin="https://other.example")
            self.assertEqual(self.read_answer(host)["id"], 7)
            self.assertEqual(self.read_answer(host), {"id": 6, "result": -5, "waitMs": 2000})
            self.assertGreater(time.monotonic() - failed, 1.0)
        finally:
            self.stop_host(host)
        if WINDOWS:
            ledger = json.loads(wine("cmd", "/c", "type", "%LOCALAPPDATA%\\Tallykey\\.guesses.json").stdout)
        else:
            ledger = json.load(open(os.path.join(self.folder, "state", "tallykey", ".guesses.json")))
            self.assertEqual(list(ledger), [guesser])
        self.assertEqual(ledger[guesser]["failures"], 2)
        self.assertEqual(set(ledger[guesser]), {"failures", "last"})

    @unittest.skipIf(WINDOWS, "Windows reads the registry")
    def test_settings_the_host_cannot_read_allow_nothing(self):
        """As root: the settings file in /etc, readable by root only, and the
        host run as another user; then a folder in its place."""
        if os.getuid() != 0:
            self.skipTest("NOT RUN: needs root to write /etc/tallykey and run the host as another user")
        folder, path = "/etc/tallykey", "/etc/tallykey/allowed-origins.json"
        made = not os.path.exists(folder)
        if os.path.exists(path):
            self.skipTest("NOT RUN: this machine has an administrator's settings file")
        os.makedirs(folder, exist_ok=True)
        self.addCleanup(lambda: shutil.rmtree(folder) if made else
                        (os.path.isdir(path) and os.rmdir(path)) or (os.path.isfile(path) and os.remove(path)))
        hello = frame({"id": 1, "method": "hello", "origin": "https://bank.example"})
        os.chmod(self.folder, 0o755)
        state = os.path.join(self.folder, "nobody-state")
        os.makedirs(state)
        os.chown(state, 65534, 65534)
        with open(path, "w") as f:
            json.dump({"origins": ["https://bank.example"]}, f)
        os.chmod(path, 0o600)
        self.assertEqual(self.hello_access(self.run_host(hello)), ["listed"])
        as_nobody = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", HOST],
                                   input=hello, capture_output=True, timeout=60,
                                   env=dict(os.environ, XDG_STATE_HOME=state))
        self.assertEqual(self.hello_access(as_nobody), ["refused"])
        self.assertIn(b"/etc/tallykey/allowed-origins.json cannot be read: no page may use the key", as_nobody.stderr)
        with open(os.path.join(state, "tallykey", "host.log")) as f:
            self.assertIn("cannot be read: no page may use the key", f.read())
        os.remove(path)
        os.mkdir(path)
        result = self.run_host(hello)
        self.assertEqual(self.hello_access(result), ["refused"])
        self.assertIn(b"is not a file: no page may use the key", result.stderr)
        # A link to nothing may be a list that went missing: nothing allowed either.
        os.rmdir(path)
        os.symlink("/etc/tallykey/moved-away.json", path)
        result = self.run_host(hello)
        self.assertEqual(self.hello_access(result), ["refused"])
        self.assertIn(b"is a link to nothing: no page may use the key", result.stderr)

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

    @unittest.skipIf(WINDOWS, "registration with manifest files is Linux's; Windows uses the registry")
    def test_installing_for_everyone_refuses_a_copy_others_can_change(self):
        # Every user's browsers would run it: a copy anyone but root can
        # replace (in a folder of /tmp, which everyone may write) is refused
        # before anything is written.
        copy = os.path.join(self.folder, "tallykey-host")
        shutil.copy(HOST, copy)
        os.chmod(self.folder, 0o755)
        result = subprocess.run([copy, "install"], capture_output=True, env=dict(os.environ, HOME=self.folder))
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertRegex(result.stderr, rb"is not owned by root|may be written by others than root")
        self.assertEqual(result.stdout, b"")

    @unittest.skipIf(WINDOWS, "Windows paths are UTF-16, always convertible")
    def test_a_path_that_is_not_utf8_is_an_error_not_a_crash(self):
        result = subprocess.run([HOST, "manifest", "firefox", b"/opt/\xff/tallykey-host"], capture_output=True)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn(b"is not UTF-8", result.stderr)
        self.assertEqual(result.stdout, b"")
        # The host itself at such a path, installing for the user.
        folder = os.path.join(self.folder.encode(), b"\xff")
        os.makedirs(folder)
        copy = os.path.join(folder, b"tallykey-host")
        shutil.copy(HOST, copy)
        home = os.path.join(self.folder, "home")
        os.makedirs(home)
        result = subprocess.run([copy, "install", "--user"], capture_output=True, env=dict(os.environ, HOME=home))
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn(b"is not UTF-8", result.stderr)
        self.assertEqual([files for _, _, files in os.walk(home) if files], [])


ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
IDENTITY_FILE = os.path.join(ROOT, "extension", "identity.json")
VECTORS_FILE = os.path.join(ROOT, "tests", "vectors", "sign-in.json")
VERSION_FILE = os.path.join(ROOT, "VERSION")

if __name__ == "__main__":
    unittest.main(verbosity=2)
