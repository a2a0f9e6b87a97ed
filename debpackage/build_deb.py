#!/usr/bin/python3
"""Builds tallykey-host_<version>_amd64.deb from the built host, extension
and page library:

  /usr/lib/tallykey/tallykey-host                  the host (stripped)
  /usr/lib/tallykey/NAME.json                      its manifest for the Chromium family,
  /etc/chromium/native-messaging-hosts/NAME.json   linked where Chromium looks (and
                                                   Chrome, by a link postinst makes
                                                   in /etc/opt, which no package owns)
  /usr/lib/mozilla/native-messaging-hosts/NAME.json its manifest for Firefox
  /usr/lib/udev/rules.d/70-tallykey.rules          the key's node for the seat's user
  /usr/share/tallykey/                             extension (unpacked and archived),
                                                   page library, example page
  /usr/share/doc/tallykey-host/                    copyright, changelog (a native
                                                   package: the version is VERSION)

The manifests' text comes from the host itself ("manifest" command), the
version from VERSION, the library dependencies from dpkg-shlibdeps; hidapi
is bound at run time, so its package is named here.

Usage: build_deb.py --host HOST --browser BROWSER_BUILD --example PAGE --out DIR
"""
import argparse
import email.utils
import gzip
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
HOST_NAME = "cn.bhrbkey.tallykey"
INSTALLED_HOST = "/usr/lib/tallykey/tallykey-host"
# The manifests, and the links to them where a browser looks for
# system-wide hosts. Links, not copies: removing the package removes them,
# as it would not remove a configuration file in /etc.
MANIFESTS = (("usr/lib/tallykey", "chromium"), ("usr/lib/mozilla/native-messaging-hosts", "firefox"))
LINKS = (("etc/chromium/native-messaging-hosts", "usr/lib/tallykey"),)
RUNTIME_DEPENDS = "libhidapi-hidraw0"


def put(root, path, data, mode=0o644):
    target = os.path.join(root, path)
    os.makedirs(os.path.dirname(target), mode=0o755, exist_ok=True)
    with open(target, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())
    os.chmod(target, mode)


def shlib_depends(binary):
    """What dpkg-shlibdeps finds the binary needs, in a scratch source tree."""
    scratch = tempfile.mkdtemp(prefix="tallykey-shlibdeps-")
    try:
        os.makedirs(os.path.join(scratch, "debian"))
        with open(os.path.join(scratch, "debian", "control"), "w") as f:
            f.write("Source: tallykey\n\nPackage: tallykey-host\nArchitecture: amd64\n")
        out = subprocess.run(["dpkg-shlibdeps", "-O", "-e" + os.path.abspath(binary)], cwd=scratch, check=True,
                             capture_output=True, text=True).stdout
        return out.strip().split("=", 1)[1]
    finally:
        shutil.rmtree(scratch)


def changelog(version):
    stamp = int(os.environ.get("SOURCE_DATE_EPOCH", time.time()))
    return (f"tallykey-host ({version}) unstable; urgency=medium\n\n"
            f"  * Release {version}.\n\n"
            f" -- Tallykey <support@bhrbkey.cn>  {email.utils.formatdate(stamp)}\n").replace("-0000", "+0000")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--browser", required=True)
    parser.add_argument("--example", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    version = open(os.path.join(HERE, "..", "VERSION")).read().strip()

    root = tempfile.mkdtemp(prefix="tallykey-deb-")
    try:
        os.chmod(root, 0o755)
        host = os.path.join(root, INSTALLED_HOST.lstrip("/"))
        os.makedirs(os.path.dirname(host), mode=0o755)
        subprocess.run(["strip", "--strip-unneeded", "--remove-section=.comment", "--remove-section=.note",
                        "-o", host, args.host], check=True)
        os.chmod(host, 0o755)
        for folder, family in MANIFESTS:
            text = subprocess.run([args.host, "manifest", family, INSTALLED_HOST], check=True,
                                  capture_output=True).stdout
            put(root, f"{folder}/{HOST_NAME}.json", text)
        for folder, target in LINKS:
            os.makedirs(os.path.join(root, folder), mode=0o755)
            os.symlink(f"/{target}/{HOST_NAME}.json", os.path.join(root, folder, f"{HOST_NAME}.json"))
        with open(os.path.join(HERE, "70-tallykey.rules"), "rb") as f:
            put(root, "usr/lib/udev/rules.d/70-tallykey.rules", f.read())

        share = "usr/share/tallykey"
        for family in ("chromium", "firefox"):
            unpacked = os.path.join(args.browser, family)
            for parent, _, names in sorted(os.walk(unpacked)):
                for name in sorted(names):
                    relative = os.path.relpath(os.path.join(parent, name), unpacked)
                    with open(os.path.join(parent, name), "rb") as f:
                        put(root, f"{share}/{family}/{relative}", f.read())
        for name in (f"tallykey-{version}-chromium.zip", f"tallykey-{version}-firefox.xpi"):
            with open(os.path.join(args.browser, name), "rb") as f:
                put(root, f"{share}/{name}", f.read())
        # The page library with its WebHID module and core, as they lie together.
        for name in ("tallykey.js", "tallykey-webhid.js", "tallykey-core.js", "tallykey-core.wasm"):
            with open(os.path.join(args.browser, "package", name), "rb") as f:
                put(root, f"{share}/{name}", f.read())
        with open(args.example, "rb") as f:
            put(root, f"{share}/example.html", f.read())

        doc = "usr/share/doc/tallykey-host"
        with open(os.path.join(HERE, "copyright"), "rb") as f:
            put(root, f"{doc}/copyright", f.read())
        put(root, f"{doc}/changelog.gz", gzip.compress(changelog(version).encode(), 9, mtime=0))

        for folder, dirs, _ in os.walk(root):
            for name in dirs:
                os.chmod(os.path.join(folder, name), 0o755)
        size_kib = 0
        md5sums = []
        for folder, _, files in os.walk(root):
            for name in sorted(files):
                path = os.path.join(folder, name)
                if os.path.islink(path):
                    continue
                size_kib += (os.path.getsize(path) + 1023) // 1024
                with open(path, "rb") as f:
                    md5sums.append(f"{hashlib.md5(f.read()).hexdigest()}  {os.path.relpath(path, root)}\n")
        depends = ", ".join([shlib_depends(host), RUNTIME_DEPENDS])
        control = open(os.path.join(HERE, "control.in")).read()
        control = (control.replace("@VERSION@", version).replace("@INSTALLED_SIZE@", str(size_kib))
                   .replace("@DEPENDS@", depends))
        put(root, "DEBIAN/control", control)
        for script in ("postinst", "postrm"):
            with open(os.path.join(HERE, script), "rb") as f:
                put(root, f"DEBIAN/{script}", f.read(), 0o755)
        put(root, "DEBIAN/md5sums", "".join(sorted(md5sums, key=lambda line: line.split("  ", 1)[1])))
        os.chmod(os.path.join(root, "DEBIAN"), 0o755)

        os.makedirs(args.out, exist_ok=True)
        package = os.path.join(args.out, f"tallykey-host_{version}_amd64.deb")
        subprocess.run(["dpkg-deb", "--root-owner-group", "-Zxz", "--build", root, package], check=True,
                       stdout=subprocess.DEVNULL)
        print(package)
    finally:
        shutil.rmtree(root)


if __name__ == "__main__":
    sys.exit(main())
