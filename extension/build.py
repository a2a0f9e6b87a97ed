#!/usr/bin/python3
"""Builds the extension for both browser families from one source tree:
OUT/chromium (MV3 with a service worker; its id fixed by "key") and
OUT/firefox (MV3 with background scripts; its id in
browser_specific_settings); each also archived for distribution,
OUT/tallykey-VERSION-chromium.zip and OUT/tallykey-VERSION-firefox.xpi
(unsigned). The page library is pagelib/'s (pagelib/package.py). Version,
host name and ids come from VERSION and extension/identity.json.

Usage: build.py OUT
"""
import json
import os
import re
import shutil
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))


def files_in(folder):
    """Every file under folder, as sorted paths relative to it with '/'."""
    found = []
    for parent, _, names in os.walk(folder):
        for name in names:
            found.append(os.path.relpath(os.path.join(parent, name), folder).replace(os.sep, "/"))
    return sorted(found)


def archive(folder, path):
    # Fixed times and order: the same sources make the same archive.
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name in files_in(folder):
            info = zipfile.ZipInfo(name, date_time=(2026, 1, 1, 0, 0, 0))
            info.external_attr = 0o644 << 16
            with open(os.path.join(folder, name), "rb") as f:
                z.writestr(info, f.read(), zipfile.ZIP_DEFLATED)


def main():
    out = sys.argv[1]
    identity = json.load(open(os.path.join(HERE, "identity.json")))
    version = open(os.path.join(HERE, "..", "VERSION")).read().strip()
    common = {
        "manifest_version": 3,
        "name": "Tallykey",
        "version": version,
        "description": "__MSG_extensionDescription__",
        "default_locale": "en",
        "permissions": ["nativeMessaging", "storage"],
        "options_ui": {"page": "options.html", "open_in_tab": True},
        # Every http page too: one the key refuses must hear so from us.
        "content_scripts": [{
            "matches": ["https://*/*", "http://*/*"],
            "js": ["content.js"],
            "run_at": "document_start",
            "all_frames": True,
            # Documents with an opaque origin (sandboxed, data: and srcdoc
            # frames) too, so that they hear a refusal, not silence.
            "match_about_blank": True,
            "match_origin_as_fallback": True,
        }],
    }
    # The background's scripts, in the order its entry lists them.
    entry = open(os.path.join(HERE, "src", "background.js")).read()
    scripts = json.loads(re.search(r"BACKGROUND_SCRIPTS = (\[[^\]]*\])", entry).group(1))
    families = {
        "chromium": {"key": identity["chromiumKey"], "background": {"service_worker": "background.js"}},
        "firefox": {"background": {"scripts": ["background.js", *scripts]},
                    "browser_specific_settings": {"gecko": {"id": identity["firefoxId"],
                                                            "strict_min_version": "128.0"}}},
    }
    for family, extra in families.items():
        folder = os.path.join(out, family)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        with open(os.path.join(folder, "manifest.json"), "w") as f:
            json.dump({**common, **extra}, f, indent=2)
        sources = os.path.join(HERE, "src")
        for name in files_in(sources):
            os.makedirs(os.path.dirname(os.path.join(folder, name)), exist_ok=True)
            if name.endswith(".js"):
                # The host's name and the version, in the scripts that name them.
                text = open(os.path.join(sources, name)).read()
                with open(os.path.join(folder, name), "w") as f:
                    f.write(text.replace("@HOST_NAME@", identity["hostName"]).replace("@VERSION@", version))
            else:
                shutil.copy(os.path.join(sources, name), os.path.join(folder, name))
        archive(folder, os.path.join(out, f"tallykey-{version}-{family}.{'xpi' if family == 'firefox' else 'zip'}"))


if __name__ == "__main__":
    main()
