#!/usr/bin/env bash
# Configures and builds the configurations: wasm (the page library's WebHID
# core, which the linux configuration packages), win32 (the shipping
# target), win64 (shipped, and run under Wine by the tests), linux (native
# tests) and linux-asan. Warnings are errors.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
mkdir -p build
for preset in wasm win32 win64 linux linux-asan; do
  log=build/$preset.log
  if cmake --preset "$preset" -DTALLYKEY_WERROR=ON >"$log" 2>&1 &&
     cmake --build --preset "$preset" -- -j"$(nproc)" >>"$log" 2>&1; then
    echo "build $preset: ok"
  else
    cat "$log" >&2
    echo "build $preset: FAILED" >&2
    exit 1
  fi
done
tools/dist.sh
