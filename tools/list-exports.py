#!/usr/bin/python3
"""Prints the exported names of a PE file, one a line, sorted.

Used to (re)generate simkey/win/setupapi-exports.txt from Wine's setupapi.dll:
the simulated setupapi.dll forwards every one of them that it does not
implement to the system's copy.
"""
import sys

import pefile

pe = pefile.PE(sys.argv[1], fast_load=True)
pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]])
names = sorted(e.name.decode() for e in pe.DIRECTORY_ENTRY_EXPORT.symbols if e.name)
print("\n".join(names))
