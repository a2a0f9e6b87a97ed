#!/usr/bin/python3
"""Checks of built Windows binaries, as a browser or the system loader meets them.

  pe_check.py imports --machine i386|amd64 FILE...
      every import is a system DLL; never hid.dll or setupapi.dll, which the
      product binds at run time; the files are built for the given machine.
  pe_check.py exports FILE NAME...
      the file exports exactly these names, undecorated, in this order of ordinals.
  pe_check.py resources FILE TYPE:ID...
      the file carries these resources (TYPE a name such as TYPELIB, or a number).
  pe_check.py version FILE --block B --translation LANG,CP --file-version V
                      --product-version V --string KEY=VALUE...
      the version resource: fixed part (a DLL for 32-bit Windows) and strings.
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


def check_exports(args):
    pe = pefile.PE(args.file, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]])
    symbols = sorted(pe.DIRECTORY_ENTRY_EXPORT.symbols, key=lambda e: e.ordinal)
    names = [e.name.decode() if e.name else f"#{e.ordinal}" for e in symbols]
    ordinals = [e.ordinal for e in symbols]
    print(f"{args.file}: exports {', '.join(f'{o}:{n}' for o, n in zip(ordinals, names))}")
    failures = [] if names == args.names else [f"{args.file}: exports {names}, expected {args.names}"]
    if args.ordinals and ordinals != list(range(1, len(names) + 1)):
        failures.append(f"{args.file}: ordinals {ordinals}, expected 1 to {len(names)}")
    return failures


def check_resources(args):
    pe = pefile.PE(args.file)
    present = set()
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        type_name = str(kind.name) if kind.name else str(kind.id)
        for entry in kind.directory.entries:
            present.add(f"{type_name}:{entry.name if entry.name else entry.id}")
    print(f"{args.file}: resources {', '.join(sorted(present))}")
    return [f"{args.file}: no resource {want}" for want in args.resources if want not in present]


def version_of(text):
    parts = [int(p) for p in text.split(".")]
    return (parts[0] << 16 | parts[1], parts[2] << 16 | parts[3])


def check_version(args):
    failures = []
    pe = pefile.PE(args.file)
    fixed = pe.VS_FIXEDFILEINFO[0]
    expect = {
        "file version": ((fixed.FileVersionMS, fixed.FileVersionLS), version_of(args.file_version)),
        "product version": ((fixed.ProductVersionMS, fixed.ProductVersionLS), version_of(args.product_version)),
        "file type (DLL)": (fixed.FileType, 2),
        "file OS (32-bit Windows)": (fixed.FileOS, 4),
    }
    for what, (got, wanted) in expect.items():
        if got != wanted:
            failures.append(f"{args.file}: {what} is {got}, expected {wanted}")
    strings, translations = {}, []
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                strings[table.LangID.decode()] = {k.decode(): v.decode() for k, v in table.entries.items()}
        elif info.Key == b"VarFileInfo":
            for var in info.Var:
                translations.extend(var.entry.values())
    if list(strings) != [args.block]:
        failures.append(f"{args.file}: string blocks {list(strings)}, expected [{args.block}]")
    wanted = dict(item.split("=", 1) for item in args.string)
    if strings.get(args.block) != wanted:
        failures.append(f"{args.file}: strings {strings.get(args.block)}, expected {wanted}")
    lang, codepage = (int(x, 0) for x in args.translation.split(","))
    if translations != [f"0x{lang:04x} 0x{codepage:04x}"]:
        failures.append(f"{args.file}: translation {translations}, expected 0x{lang:04x} 0x{codepage:04x}")
    print(f"{args.file}: version {args.file_version} / {args.product_version}, {strings}")
    return failures


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="check", required=True)
    p = sub.add_parser("imports")
    p.add_argument("--machine", choices=MACHINES, required=True)
    p.add_argument("files", nargs="+")
    p = sub.add_parser("exports")
    p.add_argument("--ordinals", action="store_true", help="ordinals 1..n in the order given")
    p.add_argument("file")
    p.add_argument("names", nargs="+")
    p = sub.add_parser("resources")
    p.add_argument("file")
    p.add_argument("resources", nargs="+")
    p = sub.add_parser("version")
    p.add_argument("file")
    p.add_argument("--block", required=True)
    p.add_argument("--translation", required=True)
    p.add_argument("--file-version", required=True)
    p.add_argument("--product-version", required=True)
    p.add_argument("--string", action="append", default=[])
    args = parser.parse_args()
    failures = {"imports": check_imports, "exports": check_exports, "resources": check_resources,
                "version": check_version}[args.check](args)
    for failure in failures:
        print("FAIL:", failure)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
