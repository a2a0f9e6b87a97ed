#!/usr/bin/env bash
# Figures for the Linux product on a real kernel HID device, measured in the
# virtual machine (tools/vm.sh); see tools/bench-kernel-device.py.
#
#   tools/bench-kernel-device.sh [REPS] [OLD_BUILD]
#
# OLD_BUILD: the linux build folder of an older tree to compare the key
# finder with, e.g. the edge before the Linux transport:
#   git worktree add /tmp/oldedge b7cb17f && cd /tmp/oldedge &&
#   cmake --preset linux && cmake --build build/linux --target nptallykey nphost
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
exec tools/vm.sh env TALLYKEY_BUILD="$PWD/build/linux" TALLYKEY_SOURCE="$PWD" \
  TALLYKEY_BENCH_REPS="${1:-15}" TALLYKEY_OLD_BUILD="${2:+$(realpath "$2")}" \
  /usr/bin/python3 tools/bench-kernel-device.py
