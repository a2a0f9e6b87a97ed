#!/usr/bin/env bash
# Benchmark (not a test): time per plug-in method call against a simulated
# key, with 0, 16 and 128 other HID devices present, beside the waits the
# key protocol mandates (50 ms after each request, 500 ms after setting a
# password). Runs the native build and the Windows DLL under Wine.
#
#   tools/bench-plugin.sh [REPEAT]     (after tools/build.sh)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
repeat=${1:-5}
export TALLYKEY_WINE_DIR=$root/build/wine
export TALLYKEY_SIMKEY_DIR=$root/build/bench/devices
simkey=$root/build/linux/bin/simkey
value=00112233445566778899aabbccddeeff

# method call, mandated wait in ms (the calls that exchange with the key
# succeed; a call that checked a password identifies the key once more)
calls=(
  "FindKeys|0"
  "GetSN|50"
  "InitPassword(pw)|150"         # refused (-5) after identify and verify: a key with a password
  "UpdatePassword(pw,pw)|650"
  "HMAC_MD5(pw,challenge)|200"
  "ResetDigist(pw,$value)|200"
  "HMAC_MD5_HexString(pw,6368616c6c656e6765)|200"
  "SetLog()|0"
)

devices() {
  rm -rf "$TALLYKEY_SIMKEY_DIR"
  local i
  for ((i = 0; i < $1; i++)); do
    "$simkey" add-hid "hid$(printf %03d "$i")" --vid 046d --pid "$(printf %04x "$i")" --product "Device $i"
  done
  "$simkey" add-key zkey --password pw
}

run() {  # platform, call
  local args=("--repeat" "$repeat" "$2")
  if [ "$1" = linux ]; then
    LD_LIBRARY_PATH=$root/build/linux/bin "$root/build/linux/bin/nphost" "$root/build/linux/plugins/nptallykey.so" "${args[@]}"
  else
    tools/wine.sh run "$root/build/win64/bin/nphost.exe" nptallykey.dll "${args[@]}" | tr -d '\r'
  fi
}

tools/wine.sh start
trap 'tools/wine.sh stop' EXIT
printf '%-8s %-6s %-44s %10s %10s %7s\n' platform others call "ms/call" "mandated" ratio
for platform in linux wine64; do
  for others in 0 16 128; do
    devices "$others"
    for entry in "${calls[@]}"; do
      call=${entry%|*}
      mandated=${entry#*|}
      line=$(run "$platform" "$call")
      ms=$(sed -nE 's/.*\[([0-9.]+) ms per call\].*/\1/p' <<<"$line")
      ratio=$(awk -v m="$ms" -v w="$mandated" 'BEGIN { if (w > 0) printf "%.2f", m / w; else print "-" }')
      printf '%-8s %-6s %-44s %10s %10s %7s\n' "$platform" "$others" "$call" "$ms" "$mandated" "$ratio"
    done
  done
done
