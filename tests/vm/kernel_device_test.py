#!/usr/bin/python3
"""The Linux product on a real kernel HID device, inside the virtual machine
(tools/vm.sh): simkey's uhid mode plugs simulated keys, a mouse and a FIDO
token in as kernel devices with /dev/hidraw nodes, and the host and the
plug-in reach them through the system's own libhidapi-hidraw. Run by
tests/vm/run.sh, which boots the machine; as root in the guest.

Environment: TALLYKEY_BUILD (the linux build folder), TALLYKEY_SOURCE.
"""
import fcntl
import hashlib
import hmac
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

BUILD = os.environ["TALLYKEY_BUILD"]
SOURCE = os.environ["TALLYKEY_SOURCE"]
BIN = os.path.join(BUILD, "bin")
SIMKEY = os.path.join(BIN, "simkey")
HOST = os.path.join(BIN, "tallykey-host")
NPHOST = os.path.join(BIN, "nphost")
PLUGIN = os.path.join(BUILD, "plugins", "nptallykey.so")
sys.path.insert(0, os.path.join(SOURCE, "tests"))
from nmframes import answers, frame  # noqa: E402

ORIGIN = "https://bank.example"
DIGEST_VALUE = "00112233445566778899aabbccddeeff"
SERIAL = "0a1b2c3d4e5f6071"
# The product must meet the system's hidapi, never the simulated one.
PLAIN_ENV = {name: value for name, value in os.environ.items() if name != "LD_LIBRARY_PATH"}


def keyed(value_hex, message):
    return hmac.new(bytes.fromhex(value_hex), message, hashlib.md5).hexdigest()


class KernelDevices(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.exists("/dev/uhid"):
            raise unittest.SkipTest("no /dev/uhid: not inside the virtual machine")
        os.makedirs("/etc/tallykey", exist_ok=True)
        with open("/etc/tallykey/allowed-origins.json", "w") as policy:
            json.dump([ORIGIN], policy)

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="tallykey-vm-")
        self.devices = os.path.join(self.folder, "devices")
        self.ready = os.path.join(self.folder, "ready")
        os.makedirs(self.devices)
        self.server = subprocess.Popen([SIMKEY, "--dir", self.devices, "uhid", "--ready", self.ready])

    def tearDown(self):
        self.server.terminate()
        self.server.wait(timeout=10)
        shutil.rmtree(self.folder)

    def simkey(self, *args):
        return subprocess.run([SIMKEY, "--dir", self.devices, *args], check=True, capture_output=True,
                              text=True).stdout

    def plugged(self, *names, timeout=30):
        """Waits until exactly these devices have kernel nodes: {name: (node, sysfs)}."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                with open(self.ready) as listing:
                    nodes = {line.split()[0]: line.split()[1:] for line in listing if line.strip()}
                if sorted(nodes) == sorted(names):
                    return nodes
            except FileNotFoundError:
                pass
            time.sleep(0.05)
        self.fail(f"the devices {names} never all had nodes")

    def opens(self, name):
        shown = dict(line.split(" ", 1) for line in self.simkey("show", name).splitlines())
        return int(shown["preparsed_data_gets"])

    def host(self, *calls, timeout=60):
        """Each call is (method, args...); the answers' result or error, in order."""
        data = frame({"id": 0, "method": "hello", "origin": ORIGIN})
        for number, (method, *args) in enumerate(calls, 1):
            data += frame({"id": number, "method": method, "args": list(args), "origin": ORIGIN})
        env = dict(PLAIN_ENV, XDG_STATE_HOME=os.path.join(self.folder, "state"))
        done = subprocess.run([HOST], input=data, capture_output=True, env=env, timeout=timeout)
        replies = {reply["id"]: reply for reply in answers(done.stdout)}
        return [replies[n].get("result", replies[n].get("error")) for n in range(1, len(calls) + 1)]

    def plugin(self, *calls):
        done = subprocess.run([NPHOST, PLUGIN, *calls], capture_output=True, text=True, env=PLAIN_ENV, timeout=60,
                              check=True)
        return [line.split(" -> ", 1)[1] for line in done.stdout.splitlines()]

    def test_the_eight_methods_with_none_one_and_two_keys(self):
        self.simkey("add-hid", "mouse", "--vid", "046d", "--pid", "c077", "--product", "USB Optical Mouse",
                    "--usage-page", "1")
        self.simkey("add-hid", "fido", "--vid", "1050", "--pid", "0407", "--product", "Security Key",
                    "--usage-page", "f1d0")
        self.plugged("mouse", "fido")
        self.assertEqual(self.host(("FindKeys",), ("GetSN",)), [0, -2])
        self.assertEqual(self.plugin("FindKeys", "GetSN"), ["int 0", "int -2"])

        self.simkey("add-key", "key", "--serial", SERIAL)
        self.plugged("mouse", "fido", "key")
        challenge_hex = b"challenge".hex()
        # The wrong password last: the call after it would wait a second.
        results = self.host(("FindKeys",), ("GetSN",), ("InitPassword", "pw"), ("UpdatePassword", "pw", "new"),
                            ("ResetDigist", "new", DIGEST_VALUE), ("HMAC_MD5", "new", "challenge"),
                            ("HMAC_MD5_HexString", "new", challenge_hex), ("SetLog", ""),
                            ("UpdatePassword", "wrong", "x"))
        self.assertEqual(results, [1, SERIAL, 0, 0, 0, keyed(DIGEST_VALUE, b"challenge"),
                                   keyed(DIGEST_VALUE, b"challenge"), 0, -5])
        # The plug-in on the same key: the password the host set, the digest it reset.
        self.assertEqual(self.plugin("GetSN", "HMAC_MD5(new,message)", "InitPassword(x)"),
                         [f'string "{SERIAL}"', f'string "{keyed(DIGEST_VALUE, b"message")}"', "int -5"])

        self.simkey("add-key", "second")
        self.plugged("mouse", "fido", "key", "second")
        self.assertEqual(self.host(("FindKeys",), ("GetSN",)), [2, -3])
        self.assertEqual(self.plugin("FindKeys", "GetSN"), ["int 2", "int -3"])
        # Finding keys opened no other device, ever.
        self.assertEqual((self.opens("mouse"), self.opens("fido")), (0, 0))

    def test_a_key_unplugged_mid_command_fails_in_bounded_time(self):
        self.simkey("add-key", "key", "--password", "pw")
        self.plugged("key")
        env = dict(PLAIN_ENV, XDG_STATE_HOME=os.path.join(self.folder, "state"))
        host = subprocess.Popen([HOST], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
        host.stdin.write(frame({"id": 0, "method": "hello", "origin": ORIGIN}) +
                         frame({"id": 1, "method": "UpdatePassword", "args": ["pw", "new"], "origin": ORIGIN}))
        host.stdin.flush()
        time.sleep(0.3)  # inside the key's half-second wait after the new password
        started = time.monotonic()
        self.simkey("remove", "key")
        host.stdin.close()
        output = host.stdout.read()
        host.wait(timeout=30)
        took = time.monotonic() - started
        (answer,) = [reply for reply in answers(output) if reply["id"] == 1]
        self.assertLess(answer["result"], 0, answer)
        self.assertLess(took, 15, "the host must not wait on a device that is gone")

    def test_a_key_another_process_holds_is_not_there(self):
        self.simkey("add-key", "key", "--serial", SERIAL)
        node, _ = self.plugged("key")["key"]
        with open(node, "rb+", buffering=0) as held:
            fcntl.flock(held, fcntl.LOCK_EX)
            self.assertEqual(self.host(("FindKeys",), ("GetSN",)), [0, -2])
            self.assertEqual(self.plugin("GetSN"), ["int -2"])
        self.assertEqual(self.host(("FindKeys",), ("GetSN",)), [1, SERIAL])

    def test_a_second_process_sees_no_key_until_the_first_is_done(self):
        # The key answers busy for about four seconds, all of it inside the
        # plug-in's one call, which holds the key the whole time.
        self.simkey("add-key", "key", "--serial", SERIAL, "--busy", "80")
        self.plugged("key")
        first = subprocess.Popen([NPHOST, PLUGIN, "GetSN"], stdout=subprocess.PIPE, text=True, env=PLAIN_ENV)
        try:
            deadline = time.monotonic() + 30
            while self.opens("key") == 0 and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertEqual(self.host(("FindKeys",), ("GetSN",)), [0, -2])
            self.assertIsNone(first.poll(), "the first call ended before the second process looked")
            output, _ = first.communicate(timeout=60)
        finally:
            if first.poll() is None:
                first.kill()
                first.wait()
        self.assertEqual(output.split(" -> ")[-1].strip(), f'string "{SERIAL}"')
        self.assertEqual(self.host(("FindKeys",), ("GetSN",)), [1, SERIAL])

    def test_the_package_udev_rule_tags_the_key_and_nothing_else(self):
        shutil.copy(os.path.join(SOURCE, "debpackage", "70-tallykey.rules"), "/etc/udev/rules.d/70-tallykey.rules")
        self.simkey("add-key", "key")
        self.simkey("add-hid", "mouse", "--vid", "046d", "--pid", "c077", "--usage-page", "1")
        self.simkey("add-hid", "lookalike", "--vid", "0111", "--pid", "0112", "--product", "www.bhrbkey.cn")
        nodes = self.plugged("key", "mouse", "lookalike")
        for name, tagged in (("key", True), ("mouse", False), ("lookalike", False)):
            done = subprocess.run(["udevadm", "test", nodes[name][1]], capture_output=True, text=True, timeout=120)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertIn(f"DEVNAME={nodes[name][0]}", done.stdout)
            tags = [line for line in done.stdout.splitlines() if line.startswith("TAGS=")]
            self.assertEqual(any("uaccess" in line.split(":") for line in tags), tagged, f"{name}: {tags}")


if __name__ == "__main__":
    unittest.main(verbosity=2)
