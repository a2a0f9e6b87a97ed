#!/usr/bin/python3
"""How current browsers find the Tallykey native host on Windows, done the
way each browser does it in a Wine prefix: the registry key, the manifest
it names, the host started with that browser's arguments. Used by the
installer's tests and by tools/demo.sh.

  hostlookup.py BIN MESSAGE DIGEST_KEY   prints, per browser, what it finds and
                                         the keyed digest the host answers

Environment: TALLYKEY_WINE (tools/wine.sh), TALLYKEY_WINE_DIR (the prefix
folder), TALLYKEY_SIMKEY (native simkey); BIN holds the substitute hid.dll
and setupapi.dll of the installed host's architecture.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from nmframes import answers, frame  # noqa: E402
from winetools import WINE, Arch  # noqa: E402

WINE_DIR = os.environ["TALLYKEY_WINE_DIR"]
SIMKEY = os.environ["TALLYKEY_SIMKEY"]
# The installer's GBK texts need the Chinese code page; the host does not
# care, but runs in the same prefix as the installer.
ENV = dict(os.environ, TALLYKEY_WINE_LOCALE="zh_CN.UTF-8")

HOST_NAME = "cn.bhrbkey.tallykey"
CHROMIUM_ORIGIN = "chrome-extension://pgnbhekmmiaohikllppepfnhpobocnpb/"
FIREFOX_ID = "tallykey@bhrbkey.cn"
# How each browser finds a native host on Windows: the default value of its
# key under HKLM names the manifest. Chrome and Edge read the 32-bit
# registry view first, Firefox the 64-bit one; each falls back to the other.
# Then the arguments each starts the host with.
BROWSERS = {
    "chrome": ("SOFTWARE\\Google\\Chrome\\NativeMessagingHosts", ("win32", "win64"),
               lambda manifest: [CHROMIUM_ORIGIN, "--parent-window=0"]),
    "edge": ("SOFTWARE\\Microsoft\\Edge\\NativeMessagingHosts", ("win32", "win64"),
             lambda manifest: [CHROMIUM_ORIGIN, "--parent-window=0"]),
    "firefox": ("SOFTWARE\\Mozilla\\NativeMessagingHosts", ("win64", "win32"),
                lambda manifest: [manifest, FIREFOX_ID]),
}
HOST_FILES = ("tallykey-host.exe", "tallykey-chromium.json", "tallykey-firefox.json")


def unix_path(path):
    """Where a path on drive C of the prefix is on disk."""
    assert path[:3].upper() == "C:\\", path
    return os.path.join(WINE_DIR, "prefix", "drive_c", *path[3:].split("\\"))


def host_folder(arch):
    return os.path.join(WINE_DIR, "prefix", "drive_c", arch.program_files, "Tallykey")


def host_keys_left():
    """Every key naming the host, in either registry view."""
    left = []
    for folder, _, _ in BROWSERS.values():
        for view in ("win32", "win64"):
            if Arch(view).reg_query(f"HKLM\\{folder}\\{HOST_NAME}").returncode == 0:
                left.append((view, folder))
    return left


def find_host(browser):
    """The manifest a browser finds, as it looks for it: (the registry
    view it was found in, the manifest's Windows path), or None."""
    folder, views, _ = BROWSERS[browser]
    for view in views:
        result = Arch(view).reg_query(f"HKLM\\{folder}\\{HOST_NAME}", "/ve")
        match = re.search(r"REG_SZ\s+(.*)", result.stdout.replace("\r", ""))
        if result.returncode == 0 and match:
            return view, match.group(1).strip()
    return None


def use_host(browser, bin_dir, message, digest_key):
    """Finds the host as the browser does, checks its manifest, and starts it
    with the browser's arguments against a simulated key (the test's
    substitute hid.dll and setupapi.dll beside it for the while): the
    answers to a handshake and a keyed digest."""
    found = find_host(browser)
    if found is None:
        return None
    view, manifest_path = found
    with open(unix_path(manifest_path), encoding="utf-8") as f:
        manifest = json.load(f)
    assert manifest["name"] == HOST_NAME and manifest["type"] == "stdio", manifest
    if browser == "firefox":
        assert manifest["allowed_extensions"] == [FIREFOX_ID] and "allowed_origins" not in manifest, manifest
    else:
        assert manifest["allowed_origins"] == [CHROMIUM_ORIGIN] and "allowed_extensions" not in manifest, manifest
    host = unix_path(manifest["path"])
    substitutes = [os.path.join(os.path.dirname(host), name)
                   for name in ("hid.dll", "setupapi.dll", "setupapi_wine.dll")]
    folder = tempfile.mkdtemp(prefix="tallykey-host-")
    try:
        for name in substitutes:
            shutil.copy(os.path.join(bin_dir, os.path.basename(name)), name)
        devices = os.path.join(folder, "devices")
        subprocess.run([SIMKEY, "--dir", devices, "add-key", "key", "--serial", "0a1b2c3d4e5f6071",
                        "--password", "pw", "--digest-key", digest_key], check=True,
                       capture_output=True)
        # As the extension sends them for a site the user allowed.
        frames = frame({"id": 1, "method": "hello", "origin": "https://bank.example"}) + frame(
            {"id": 2, "method": "HMAC_MD5", "args": ["pw", message], "origin": "https://bank.example", "consent": True})
        args = BROWSERS[browser][2](manifest_path)
        result = subprocess.run([WINE, "run", host, *args], input=frames, capture_output=True, timeout=120,
                                env=dict(ENV, TALLYKEY_SIMKEY_DIR=devices))
        return {"view": view, "manifest": manifest_path, "host": manifest["path"], "answers": answers(result.stdout)}
    finally:
        for name in substitutes:
            os.path.exists(name) and os.remove(name)
        shutil.rmtree(folder)


def main():
    bin_dir, message, digest_key = sys.argv[1:4]
    for browser in BROWSERS:
        used = use_host(browser, bin_dir, message, digest_key)
        if used is None:
            print(f"{browser}: no host found")
            continue
        view = "32-bit" if used["view"] == "win32" else "64-bit"
        answers = {answer.get("id"): answer for answer in used["answers"]}
        print(f"{browser}: {view} registry view -> {used['manifest']} -> {used['host']}: "
              f"host {answers.get(1, {}).get('result', {}).get('host')}, digest {answers.get(2, {}).get('result')}")


if __name__ == "__main__":
    main()
