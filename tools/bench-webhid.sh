#!/usr/bin/env bash
# Time per call through WebHID against the same call through the extension
# and the native host, in one run of real Chromium in the virtual machine
# (tools/vm.sh) against a uhid key; see tools/webhid-walk.mjs.
#
#   tools/bench-webhid.sh [REPS]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
exec tools/vm.sh env TALLYKEY_BROWSER_BUILD="$PWD/build/linux/browser" \
  TALLYKEY_HOST="$PWD/build/linux/bin/tallykey-host" TALLYKEY_SIMKEY="$PWD/build/linux/bin/simkey" \
  node tools/webhid-walk.mjs bench "${1:-15}"
