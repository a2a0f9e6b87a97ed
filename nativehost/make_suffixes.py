#!/usr/bin/python3
"""Turns Debian's public suffix list (package publicsuffix) into a C++
table for the host: every rule in the ASCII form that browsers report
hosts in (punycode labels), sorted bytewise for a binary search, with its
"*." and "!" marks kept.

Usage: make_suffixes.py LIST OUT.cpp
"""
import sys


def ascii_label(label):
    return label if label.isascii() else "xn--" + label.encode("punycode").decode("ascii")


def rules(text):
    found = set()
    for line in text.splitlines():
        rule = line.strip().split(" ")[0]
        if not rule or rule.startswith("//"):
            continue
        mark = "!" if rule.startswith("!") else ""
        rule = rule[len(mark):].lower()
        found.add(mark + ".".join(ascii_label(label) if label != "*" else label for label in rule.split(".")))
    return sorted(found, key=lambda r: r.encode("ascii"))


def main():
    source, out = sys.argv[1], sys.argv[2]
    table = rules(open(source, encoding="utf-8").read())
    if len(table) < 1000:
        sys.exit(f"make_suffixes.py: {source} holds only {len(table)} rules; is it the public suffix list?")
    with open(out, "w") as f:
        f.write("// Generated from the public suffix list by make_suffixes.py; do not edit.\n")
        f.write('#include "sites.h"\n\nnamespace NATIVEHOST {\n\n')
        f.write("const char* const PUBLIC_SUFFIX_RULES[] = {\n")
        for rule in table:
            f.write(f'    "{rule}",\n')
        f.write("};\n")
        f.write(f"const size_t PUBLIC_SUFFIX_RULE_COUNT = {len(table)};\n\n}} // namespace NATIVEHOST\n")


if __name__ == "__main__":
    main()
