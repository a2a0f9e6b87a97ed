#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds the three
# configurations, and runs every CTest suite (native, under Wine, and the
# inspections of the i686 binaries).
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
tools/bootstrap.sh || exit 1
tools/build.sh || exit 1

export TALLYKEY_WINE_DIR=${TALLYKEY_WINE_DIR:-$PWD/build/wine}
passed=0
failed=0
for preset in linux linux-asan win64 win32; do
  echo "== tests: $preset"
  (cd "build/$preset" && ctest --output-on-failure -j2 2>&1) | tee "build/$preset-tests.log"
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "build/$preset-tests.log" | tail -1)
  if [ -z "$summary" ]; then
    failed=$((failed + 1))
    continue
  fi
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
  bad=$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$summary")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
done
echo
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
