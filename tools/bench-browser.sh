#!/usr/bin/env bash
# Benchmark (not a test): a page's call to its result in Chromium and
# Firefox through the extension and the native host, per method, beside the
# plug-in's own time for the same call natively (measured first, as
# tools/bench-plugin.sh does) and the waits the key protocol mandates. The
# goal: at most 5 ms over the plug-in's time.
#
#   tools/bench-browser.sh [REPEAT]     (after tools/build.sh)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
repeat=${1:-5}
export TALLYKEY_BROWSER_BUILD=$root/build/linux/browser
export TALLYKEY_HOST=$root/build/linux/bin/tallykey-host
export TALLYKEY_SIMKEY=$root/build/linux/bin/simkey
export LD_LIBRARY_PATH=$root/build/linux/bin
export TALLYKEY_NULL_HOST=$root/build/linux/bin/nullhost

devices=$(mktemp -d)
trap 'rm -rf "$devices"' EXIT
"$TALLYKEY_SIMKEY" --dir "$devices" add-key key --password pw >/dev/null
plugin_ms="{"
for call in FindKeys GetSN "InitPassword(pw)" "UpdatePassword(pw,pw)" "HMAC_MD5(pw,challenge)" \
            "ResetDigist(pw,00112233445566778899aabbccddeeff)" "HMAC_MD5_HexString(pw,6368616c6c656e6765)" "SetLog()"; do
  line=$(TALLYKEY_SIMKEY_DIR=$devices "$root/build/linux/bin/nphost" "$root/build/linux/plugins/nptallykey.so" \
           --repeat "$repeat" "$call")
  ms=$(sed -nE 's/.*\[([0-9.]+) ms per call\].*/\1/p' <<<"$line")
  plugin_ms+="\"${call%%(*}\": $ms,"
done
export TALLYKEY_PLUGIN_MS="${plugin_ms%,}}"
(cd tests/browser && node bench.mjs "$repeat")
