#!/usr/bin/python3
"""Checks of built Windows binaries, as a browser or the system loader meets them.

  pe_check.py imports --machine i386|amd64 FILE...
      every import is a system DLL; never hid.dll or setupapi.dll, which the
      product binds at run time; the files are built for the given machine.
"""
import argparse
import sys

import pefile

# What a statically linked mingw program may import: the system's own DLLs.
SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll", "ole32.dll",
    "oleaut32.dll", "msvcrt.dll", "comctl32.dll", "comdlg32.dll", "version.dll", "shlwapi.dll",
    "uuid.dll", "rpcrt4.dll", "ws2_32.dll", "bcrypt.dll", "ntdll.dll",
}
RUN_TIME_BOUND = {"hid.dll", "setupapi.dll"}
MACHINES = {"i386": 0x14C, "amd64": 0x8664}


def imports(path):
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    names = [entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
    return pe.FILE_HEADER.Machine, names


def check_imports(args):
    failures = []
    for path in args.files:
        machine, names = imports(path)
        if machine != MACHINES[args.machine]:
            failures.append(f"{path}: machine 0x{machine:x}, expected {args.machine}")
        for name in names:
            if name in RUN_TIME_BOUND:
                failures.append(f"{path}: imports {name}, which must be bound at run time")
            elif name not in SYSTEM_DLLS and not name.startswith("api-ms-win-"):
                failures.append(f"{path}: imports {name}, not a system DLL")
        print(f"{path}: {', '.join(sorted(names))}")
    return failures


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="check", required=True)
    p = sub.add_parser("imports")
    p.add_argument("--machine", choices=MACHINES, required=True)
    p.add_argument("files", nargs="+")
    args = parser.parse_args()
    failures = {"imports": check_imports}[args.check](args)
    for failure in failures:
        print("FAIL:", failure)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
