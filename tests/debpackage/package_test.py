#!/usr/bin/python3
"""The Debian package as users get it.

  package_test.py Contents    what dpkg-deb -x unpacks, its control data, lintian
  package_test.py Installed   dpkg -i on this machine, current browsers finding
                              the system-wide host, dpkg -r (root only: it
                              changes the machine; exits 77, skipped, otherwise)

Environment: TALLYKEY_DEB (the package), TALLYKEY_SIMKEY (simkey),
TALLYKEY_PROVIDERS (the folder with the simulated hidapi), TALLYKEY_VERSION_FILE.
"""
import hashlib
import hmac
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from nmframes import answers, frame  # noqa: E402

DEB = os.environ["TALLYKEY_DEB"]
SIMKEY = os.environ["TALLYKEY_SIMKEY"]
PROVIDERS = os.environ["TALLYKEY_PROVIDERS"]
VERSION = open(os.environ["TALLYKEY_VERSION_FILE"]).read().strip()
HOST = "/usr/lib/tallykey/tallykey-host"
NAME = "cn.bhrbkey.tallykey"
CHROMIUM_ORIGIN = "chrome-extension://pgnbhekmmiaohikllppepfnhpobocnpb/"
FIREFOX_ID = "tallykey@bhrbkey.cn"
DIGEST_KEY = "000102030405060708090a0b0c0d0e0f"
# Where each browser looks for a system-wide host, and the family of manifest it reads.
BROWSER_PLACES = {
    "chromium": ("/etc/chromium/native-messaging-hosts", "chromium"),
    "chrome": ("/etc/opt/chrome/native-messaging-hosts", "chromium"),
    "firefox": ("/usr/lib/mozilla/native-messaging-hosts", "firefox"),
}
BROWSER_NAMES = ("chromium", "firefox")  # the browsers package_test.mjs drives
BROWSER_TEST = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "browser",
                            "package_test.mjs")


def digest_through(host, message, root="/"):
    """A handshake and a keyed digest from the host program, against a
    simulated key through the simulated hidapi."""
    folder = tempfile.mkdtemp(prefix="tallykey-deb-")
    try:
        devices = os.path.join(folder, "devices")
        subprocess.run([SIMKEY, "--dir", devices, "add-key", "key", "--password", "pw", "--digest-key", DIGEST_KEY],
                       check=True, capture_output=True)
        frames = frame({"id": 1, "method": "hello", "origin": "https://bank.example"}) + frame(
            {"id": 2, "method": "HMAC_MD5", "args": ["pw", message], "origin": "https://bank.example", "consent": True})
        env = dict(os.environ, TALLYKEY_SIMKEY_DIR=devices, LD_LIBRARY_PATH=PROVIDERS,
                   XDG_STATE_HOME=os.path.join(folder, "state"))
        return answers(subprocess.run([os.path.join(root, host.lstrip("/")), CHROMIUM_ORIGIN], input=frames,
                                      capture_output=True, env=env, timeout=60, check=True).stdout)
    finally:
        shutil.rmtree(folder)


def expected(message):
    return [{"id": 1, "result": {"host": VERSION, "access": "ask"}},
            {"id": 2, "result": hmac.new(bytes.fromhex(DIGEST_KEY), message.encode(), hashlib.md5).hexdigest()}]


class Contents(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="tallykey-unpacked-")
        subprocess.run(["dpkg-deb", "-x", DEB, cls.root], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root)

    def field(self, name):
        return subprocess.run(["dpkg-deb", "-f", DEB, name], check=True, capture_output=True, text=True).stdout.strip()

    def test_control_data(self):
        self.assertEqual(os.path.basename(DEB), f"tallykey-host_{VERSION}_amd64.deb")
        self.assertEqual((self.field("Package"), self.field("Version"), self.field("Architecture")),
                         ("tallykey-host", VERSION, "amd64"))
        depends = [d.split()[0] for d in self.field("Depends").split(", ")]
        # hidapi is loaded at run time, so no tool would have found it.
        self.assertIn("libhidapi-hidraw0", depends)
        self.assertIn("libc6", depends)

    def test_the_host_and_how_browsers_find_it(self):
        host = os.path.join(self.root, HOST.lstrip("/"))
        self.assertTrue(os.access(host, os.X_OK))
        for browser, (folder, family) in BROWSER_PLACES.items():
            if browser == "chrome":
                continue  # made by postinst: /etc/opt belongs to no package
            path = os.path.join(self.root, folder.lstrip("/"), NAME + ".json")
            if os.path.islink(path):
                path = os.path.join(self.root, os.readlink(path).lstrip("/"))
            with open(path) as f:
                manifest = json.load(f)
            self.assertEqual((manifest["name"], manifest["path"], manifest["type"]), (NAME, HOST, "stdio"), browser)
            if family == "firefox":
                self.assertEqual(manifest["allowed_extensions"], [FIREFOX_ID])
            else:
                self.assertEqual(manifest["allowed_origins"], [CHROMIUM_ORIGIN])
        self.assertEqual(digest_through(HOST, "unpacked", self.root), expected("unpacked"))

    def test_udev_rule_gives_the_seat_the_key(self):
        with open(os.path.join(self.root, "usr/lib/udev/rules.d/70-tallykey.rules")) as f:
            rules = [line for line in f.read().splitlines() if line and not line.startswith("#")]
        self.assertEqual(len(rules), 1)
        for clause in ('SUBSYSTEM=="hidraw"', 'KERNELS=="0003:0111:0111.*"', 'TAG+="uaccess"'):
            self.assertIn(clause, rules[0])

    def test_extension_and_library_for_page_developers(self):
        share = os.path.join(self.root, "usr/share/tallykey")
        with open(os.path.join(share, "tallykey.js")) as f:
            self.assertIn(f'const VERSION = "{VERSION}";', f.read())
        # connectHid() loads these from beside the library.
        for name in ("tallykey-webhid.js", "tallykey-core.js", "tallykey-core.wasm"):
            self.assertGreater(os.path.getsize(os.path.join(share, name)), 0, name)
        for family, archive, id_check in (
                ("chromium", f"tallykey-{VERSION}-chromium.zip", lambda m: "key" in m),
                ("firefox", f"tallykey-{VERSION}-firefox.xpi",
                 lambda m: m["browser_specific_settings"]["gecko"]["id"] == FIREFOX_ID)):
            with zipfile.ZipFile(os.path.join(share, archive)) as z:
                manifest = json.loads(z.read("manifest.json"))
                unpacked = os.path.join(share, family)
                files = [os.path.relpath(os.path.join(parent, name), unpacked)
                         for parent, _, names in os.walk(unpacked) for name in names]
                self.assertEqual(sorted(z.namelist()), sorted(files))
            self.assertEqual(manifest["version"], VERSION)
            self.assertTrue(id_check(manifest), family)
        self.assertTrue(os.path.exists(os.path.join(share, "example.html")))

    def test_lintian_reports_no_error_nor_warning(self):
        result = subprocess.run(["lintian", DEB], capture_output=True, text=True)
        findings = [line for line in result.stdout.splitlines() if line.startswith(("E:", "W:"))]
        self.assertEqual(findings, [], result.stdout)

    def test_the_host_is_built_hardened(self):
        host = os.path.join(self.root, HOST.lstrip("/"))
        dynamic = subprocess.run(["readelf", "-d", "-W", host], check=True, capture_output=True, text=True).stdout
        self.assertRegex(dynamic, r"\(FLAGS\)\s+BIND_NOW")
        self.assertRegex(dynamic, r"\(FLAGS_1\)\s+Flags: NOW PIE")
        segments = subprocess.run(["readelf", "-l", "-W", host], check=True, capture_output=True, text=True).stdout
        self.assertIn("GNU_RELRO", segments)
        imports = subprocess.run(["nm", "-D", host], check=True, capture_output=True, text=True).stdout
        self.assertIn("__stack_chk_fail", imports, "stack protector")
        self.assertRegex(imports, r"__\w+_chk@", "_FORTIFY_SOURCE")


class Installed(unittest.TestCase):
    def installed(self):
        return subprocess.run(["dpkg-query", "-W", "-f=${Status}", "tallykey-host"], capture_output=True,
                              text=True).stdout

    def setUp(self):
        if "installed" in self.installed() or "config-files" in self.installed():
            subprocess.run(["dpkg", "--purge", "tallykey-host"], check=True, capture_output=True)

    def tearDown(self):
        subprocess.run(["dpkg", "--purge", "tallykey-host"], capture_output=True)

    def test_install_use_and_remove(self):
        subprocess.run(["dpkg", "-i", DEB], check=True, capture_output=True)
        self.assertEqual(self.installed(), "install ok installed")
        for browser, (folder, _) in BROWSER_PLACES.items():
            with open(os.path.join(folder, NAME + ".json")) as f:
                self.assertEqual(json.load(f)["path"], HOST, browser)
        self.assertEqual(digest_through(HOST, "installed"), expected("installed"))

        # Real browsers with the packaged extension find the system-wide host.
        env = dict(os.environ, TALLYKEY_BROWSER_BUILD="/usr/share/tallykey", LD_LIBRARY_PATH=PROVIDERS)
        result = subprocess.run(["node", "--test", "--test-concurrency=1", BROWSER_TEST], env=env,
                                capture_output=True, text=True, timeout=300,
                                cwd=os.path.dirname(BROWSER_TEST))
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn(f"# pass {len(BROWSER_NAMES)}\n", result.stdout)

        files = subprocess.run(["dpkg", "-L", "tallykey-host"], check=True, capture_output=True,
                               text=True).stdout.split()
        subprocess.run(["dpkg", "-r", "tallykey-host"], check=True, capture_output=True)
        # Only the maintainer scripts stay known to dpkg until a purge; nothing on disk.
        self.assertIn(self.installed(), ("deinstall ok config-files", "deinstall ok not-installed"))
        left = [path for path in files if os.path.isfile(path) or os.path.islink(path)]
        left += [os.path.join(folder, NAME + ".json") for folder, _ in BROWSER_PLACES.values()
                 if os.path.lexists(os.path.join(folder, NAME + ".json"))]
        self.assertEqual(left, [])
        self.assertFalse(os.path.exists("/usr/lib/tallykey"))

    def test_the_host_will_not_write_over_the_package(self):
        subprocess.run(["dpkg", "-i", DEB], check=True, capture_output=True)
        before = {place: os.readlink(os.path.join(folder, NAME + ".json"))
                  for place, (folder, _) in BROWSER_PLACES.items()
                  if os.path.islink(os.path.join(folder, NAME + ".json"))}
        for command in ("install", "uninstall"):
            result = subprocess.run([HOST, command], capture_output=True, text=True)
            self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
            self.assertIn("the tallykey-host package installs the host", result.stderr)
        after = {place: os.readlink(os.path.join(folder, NAME + ".json"))
                 for place, (folder, _) in BROWSER_PLACES.items()
                 if os.path.islink(os.path.join(folder, NAME + ".json"))}
        self.assertEqual(after, before)

    def test_an_administrators_own_files_and_folders_are_left_alone(self):
        chrome = "/etc/opt/chrome/native-messaging-hosts"
        made = [folder for folder in ("/etc/opt", "/etc/opt/chrome", chrome) if not os.path.isdir(folder)]
        own = os.path.join(chrome, NAME + ".json")
        self.assertFalse(os.path.lexists(own), "a file of this machine's own is in the way of the test")
        try:
            # Their own manifest: kept, and reported.
            os.makedirs(chrome, exist_ok=True)
            with open(own, "w") as f:
                f.write('{"administrator": true}')
            result = subprocess.run(["dpkg", "-i", DEB], check=True, capture_output=True, text=True)
            self.assertIn(f"{own} is not this package's", result.stderr)
            subprocess.run(["dpkg", "--purge", "tallykey-host"], check=True, capture_output=True)
            with open(own) as f:
                self.assertEqual(json.load(f), {"administrator": True})
            os.unlink(own)
            # Folders that were there before: kept after the package's own link goes.
            subprocess.run(["dpkg", "-i", DEB], check=True, capture_output=True)
            self.assertTrue(os.path.islink(own))
            subprocess.run(["dpkg", "--purge", "tallykey-host"], check=True, capture_output=True)
            self.assertFalse(os.path.lexists(own))
            self.assertTrue(os.path.isdir(chrome))
        finally:
            if os.path.isfile(own) and not os.path.islink(own):
                os.unlink(own)
            for folder in reversed(made):
                if os.path.isdir(folder) and not os.listdir(folder):
                    os.rmdir(folder)


if __name__ == "__main__":
    if sys.argv[1:] == ["Installed"] and os.geteuid() != 0:
        print("SKIPPED: installing the package changes the machine; runs as root only (as in CI)")
        sys.exit(77)
    unittest.main(verbosity=2)
