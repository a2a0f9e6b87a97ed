#!/usr/bin/env bash
# Configures and builds the configurations: wasm (the page library's WebHID
# core and the server half's bound-message core, which the linux
# configuration packages), win32 (the shipping target), win64 (shipped, and
# run under Wine by the tests), linux (native tests) and linux-asan, then
# gathers the release (tools/dist.sh). Warnings are errors.
#
#   tools/build.sh                 all of them, and the release
#   tools/build.sh PRESET...       just these, in this order; no release
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
mkdir -p build
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(wasm win32 win64 linux linux-asan)

# The server half's npm packages (server/package-lock.json) build a native
# module for about two minutes on one core: alongside the first
# configurations, and waited for before the linux one compiles the server.
# A stamp marks a finished install: an interrupted one is done again.
server_npm=""
stamp=server/node_modules/.tallykey-installed
if [[ " ${presets[*]} " == *" linux "* ]] && { [ ! -e "$stamp" ] || [ server/package-lock.json -nt "$stamp" ]; }; then
  (cd server && npm ci --no-audit --no-fund --loglevel=error && touch "../$stamp") >build/server-npm.log 2>&1 &
  server_npm=$!
  # A build that fails first does not leave the install running behind it.
  trap '[ -z "$server_npm" ] || { pkill -TERM -P "$server_npm"; kill "$server_npm"; } 2>/dev/null || true' EXIT
fi

for preset in "${presets[@]}"; do
  if [ "$preset" = linux ] && [ -n "$server_npm" ]; then
    if wait "$server_npm"; then
      server_npm=""
      echo "npm ci (server): ok"
    else
      cat build/server-npm.log >&2
      echo "npm ci (server): FAILED" >&2
      exit 1
    fi
  fi
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
[ $# -gt 0 ] || tools/dist.sh
