#!/usr/bin/python3
"""Checks of built Windows binaries, as a browser or the system loader meets them.

  pe_check.py imports --machine i386|amd64 FILE...
      every import is a system DLL; never hid.dll or setupapi.dll, which the
      product binds at run time; the files are built for the given machine.
  pe_check.py exports FILE NAME...
      the file exports exactly these names, undecorated, in this order of ordinals.
  pe_check.py resources FILE TYPE:ID...
      the file carries these resources (TYPE a name such as TYPELIB, or a number).
  pe_check.py setup FILE CONTROL_DLL PLUGIN_DLL HOST_EXE
      the installer's resources: types, ids and language 2052, the dialog
      template, the banner bitmap, the embedded DLLs byte for byte, the manifest.
  pe_check.py version FILE --block B --translation LANG,CP --file-version V
                      --product-version V --string KEY=VALUE...
      the version resource: fixed part (a DLL for 32-bit Windows) and strings.
"""
import argparse
import re
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


CHINESE_PRC = 2052
DIALOG_CLASSES = {0x80: "button", 0x81: "edit", 0x82: "static"}


def resource_data(pe, type_key, id_):
    """{language: bytes} of one resource."""
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if (str(kind.name) if kind.name else kind.id) != type_key:
            continue
        for entry in kind.directory.entries:
            if entry.id == id_:
                return {lang.id: pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
                        for lang in entry.directory.entries}
    return {}


def parse_dialog(data):
    """The fields of an extended dialog template that the installer fixes."""
    pos = 0

    def word():
        nonlocal pos
        value = int.from_bytes(data[pos:pos + 2], "little")
        pos += 2
        return value

    def dword():
        nonlocal pos
        value = int.from_bytes(data[pos:pos + 4], "little")
        pos += 4
        return value

    def short():
        value = word()
        return value - 0x10000 if value >= 0x8000 else value

    def text():
        nonlocal pos
        end = pos
        while data[end:end + 2] != b"\0\0":
            end += 2
        value = data[pos:end].decode("utf-16-le")
        pos = end + 2
        return value

    def sz_or_ord():
        nonlocal pos
        first = int.from_bytes(data[pos:pos + 2], "little")
        if first == 0:
            pos += 2
            return ""
        if first == 0xFFFF:
            pos += 2
            return word()
        return text()

    version, signature = word(), word()
    assert (version, signature) == (1, 0xFFFF), "not an extended dialog template"
    dialog = {"helpId": dword(), "exStyle": dword(), "style": dword()}
    count = word()
    dialog["rect"] = (short(), short(), short(), short())
    dialog["menu"], dialog["class"], dialog["caption"] = sz_or_ord(), sz_or_ord(), text()
    dialog["pointSize"], dialog["weight"] = word(), word()
    dialog["italic"], dialog["charset"] = data[pos], data[pos + 1]
    pos += 2
    dialog["font"] = text()
    items = []
    for _ in range(count):
        pos = (pos + 3) & ~3
        item = {"helpId": dword(), "exStyle": dword(), "style": dword()}
        item["rect"] = (short(), short(), short(), short())
        item["id"] = dword()
        if item["id"] >= 0x80000000:
            item["id"] -= 0x100000000
        cls = sz_or_ord()
        item["class"] = DIALOG_CLASSES.get(cls, cls) if isinstance(cls, int) else cls.lower()
        item["text"] = sz_or_ord()
        pos += word()
        items.append(item)
    dialog["items"] = items
    return dialog


# Window styles the template must carry (bits looked at, value).
WS_POPUP, WS_CAPTION, WS_SYSMENU, WS_BORDER, WS_TABSTOP = 0x80000000, 0x00C00000, 0x00080000, 0x00800000, 0x00010000
DS_MODALFRAME, DS_CENTER, DS_SETFONT = 0x80, 0x800, 0x40
SS_BITMAP, SS_CENTERIMAGE = 0x0E, 0x200
ES_AUTOHSCROLL, ES_READONLY = 0x80, 0x800
BS_TYPEMASK = 0x0F


def check_setup(args):
    failures = []
    pe = pefile.PE(args.file)
    wanted = {("FILE", 102), ("FILE", 115), ("FILE", 116), (2, 104), (5, 101), (24, 1)}
    present = set()
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        key = str(kind.name) if kind.name else kind.id
        for entry in kind.directory.entries:
            present.add((key, entry.id))
            langs = [lang.id for lang in entry.directory.entries]
            if langs != [CHINESE_PRC]:
                failures.append(f"resource {key}:{entry.id} languages {langs}, expected [2052]")
    if present != wanted:
        failures.append(f"resources {sorted(map(str, present))}, expected {sorted(map(str, wanted))}")

    for id_, built in ((102, args.control), (115, args.plugin), (116, args.host)):
        with open(built, "rb") as f:
            if resource_data(pe, "FILE", id_).get(CHINESE_PRC) != f.read():
                failures.append(f"FILE {id_} differs from {built}")

    bitmap = resource_data(pe, 2, 104).get(CHINESE_PRC, b"")
    width, height, planes, bits, compression = (int.from_bytes(bitmap[4:8], "little", signed=True),
                                                 int.from_bytes(bitmap[8:12], "little", signed=True),
                                                 int.from_bytes(bitmap[12:14], "little"),
                                                 int.from_bytes(bitmap[14:16], "little"),
                                                 int.from_bytes(bitmap[16:20], "little"))
    if (width, abs(height), bits, compression) != (265, 116, 24, 0):
        failures.append(f"bitmap {width}x{height} {bits} bits compression {compression}, expected 265x116 24 bits")

    manifest = resource_data(pe, 24, 1).get(CHINESE_PRC, b"").decode("utf-8", "replace")
    # The 32-bit installer is elevated by its name; the 64-bit one must ask.
    elevation = re.findall(r'requestedExecutionLevel level="(\w+)"', manifest)
    wanted_elevation = ["requireAdministrator"] if pe.FILE_HEADER.Machine == 0x8664 else []
    if 'manifestVersion="1.0"' not in manifest or "dependency" in manifest or elevation != wanted_elevation:
        failures.append(f"manifest: {manifest!r}")

    dialog = parse_dialog(resource_data(pe, 5, 101).get(CHINESE_PRC, b""))
    style = dialog["style"]
    for name, bit in (("WS_POPUP", WS_POPUP), ("WS_CAPTION", WS_CAPTION), ("WS_SYSMENU", WS_SYSMENU),
                      ("DS_MODALFRAME", DS_MODALFRAME), ("DS_CENTER", DS_CENTER), ("DS_SETFONT", DS_SETFONT)):
        if style & bit != bit:
            failures.append(f"dialog style lacks {name}")
    expect = {"rect": (0, 0, 193, 139), "caption": "晴港卫士控件安装", "pointSize": 9, "font": "宋体", "menu": "",
              "class": ""}
    for field, value in expect.items():
        if dialog[field] != value:
            failures.append(f"dialog {field} is {dialog[field]!r}, expected {value!r}")
    items = [(i["id"], i["class"], i["text"], i["rect"]) for i in dialog["items"]]
    expected_items = [(-1, "static", 104, (7, 7, 179, 79)), (1000, "edit", "", (7, 96, 179, 14)),
                      (1, "button", "安装", (7, 118, 50, 14)), (3, "button", "卸载", (71, 118, 50, 14)),
                      (2, "button", "关闭", (135, 118, 50, 14))]
    if items != expected_items:
        failures.append(f"dialog controls {items}, expected {expected_items}")
    else:
        static, edit, *buttons = dialog["items"]
        if static["style"] & (SS_BITMAP | SS_CENTERIMAGE) != SS_BITMAP | SS_CENTERIMAGE:
            failures.append("the picture is not a centred bitmap")
        need = WS_BORDER | ES_READONLY | ES_AUTOHSCROLL | WS_TABSTOP
        if edit["style"] & need != need:
            failures.append("the status line is not a bordered, read-only, scrolling tab stop")
        for button in buttons:
            if button["style"] & BS_TYPEMASK != 0 or not button["style"] & WS_TABSTOP:
                failures.append(f"button {button['id']} is not a plain push button with a tab stop")
    print(f"{args.file}: resources {sorted(map(str, present))}; dialog {dialog['caption']} {items}")
    return failures


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
    p = sub.add_parser("setup")
    p.add_argument("file")
    p.add_argument("control")
    p.add_argument("plugin")
    p.add_argument("host")
    p = sub.add_parser("version")
    p.add_argument("file")
    p.add_argument("--block", required=True)
    p.add_argument("--translation", required=True)
    p.add_argument("--file-version", required=True)
    p.add_argument("--product-version", required=True)
    p.add_argument("--string", action="append", default=[])
    args = parser.parse_args()
    failures = {"imports": check_imports, "exports": check_exports, "resources": check_resources,
                "setup": check_setup, "version": check_version}[args.check](args)
    for failure in failures:
        print("FAIL:", failure)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
