#!/usr/bin/python3
"""Assembles the page library: OUT/tallykey.js (the classic script pages load
beside the extension packages) and OUT/package/, the npm package `tallykey`
(npm pack makes its archive): the library, its WebHID module, the
WebAssembly core built by the wasm configuration (WASM_DIR), the TypeScript
declarations and a README. The version comes from VERSION.

Usage: package.py OUT WASM_DIR
"""
import json
import os
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CORE = ("tallykey-core.js", "tallykey-core.wasm")


def main():
    out, wasm_dir = sys.argv[1], sys.argv[2]
    version = open(os.path.join(HERE, "..", "VERSION")).read().strip()
    missing = [name for name in CORE if not os.path.exists(os.path.join(wasm_dir, name))]
    if missing:
        sys.exit(f"package.py: {', '.join(missing)} not in {wasm_dir}: build the wasm configuration first "
                 "(cmake --preset wasm && cmake --build --preset wasm, or tools/build.sh)")
    library = open(os.path.join(HERE, "tallykey.js")).read().replace("@VERSION@", version)
    package = os.path.join(out, "package")
    shutil.rmtree(package, ignore_errors=True)
    os.makedirs(package)
    for folder in (out, package):
        with open(os.path.join(folder, "tallykey.js"), "w") as f:
            f.write(library)
    for name in ("tallykey-webhid.js", "tallykey.d.ts", "README.md"):
        shutil.copy(os.path.join(HERE, name), package)
    for name in CORE:
        shutil.copy(os.path.join(wasm_dir, name), package)
    files = ["tallykey.js", "tallykey-webhid.js", *CORE, "tallykey.d.ts"]
    manifest = {
        "name": "tallykey",
        "version": version,
        "description": "The Tallykey USB key's eight methods for web pages: through the Tallykey extension "
                       "and native host, or through WebHID with nothing installed",
        "license": "UNLICENSED",
        # ES modules throughout; tallykey.js is a classic script as well.
        "type": "module",
        "main": "tallykey.js",
        "types": "tallykey.d.ts",
        "exports": {".": {"types": "./tallykey.d.ts", "default": "./tallykey.js"}, "./package.json": "./package.json"},
        "files": files,
        # Loading the library defines globalThis.Tallykey.
        "sideEffects": ["./tallykey.js"],
    }
    with open(os.path.join(package, "package.json"), "w") as f:
        json.dump(manifest, f, indent=2)
        f.write("\n")


if __name__ == "__main__":
    main()
