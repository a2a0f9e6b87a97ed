#!/usr/bin/env bash
# Benchmark (not a test): tallykey-server's verifications per second with
# each store against the bare database's single-use take (the goal: at
# least 0.8 of it), issue and verify latency with 1, 8 and 64 clients, and
# a page's sign-in to the server's verdict in Chromium and Firefox against
# the key's mandated waits.
#
#   tools/bench-server.sh [COUNT] [REPEAT]     (after tools/build.sh)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
node server/bench.mjs "${1:-3000}"
echo
export TALLYKEY_BROWSER_BUILD=$root/build/linux/browser
export TALLYKEY_HOST=$root/build/linux/bin/tallykey-host
export TALLYKEY_SIMKEY=$root/build/linux/bin/simkey
export LD_LIBRARY_PATH=$root/build/linux/bin
(cd tests/browser && node signin_bench.mjs "${2:-10}")
