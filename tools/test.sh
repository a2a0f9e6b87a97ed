#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds the configurations
# (tools/build.sh), and runs every CTest suite: native, and both Windows
# builds under Wine; then each fuzzing harness for a short while. On a machine that cannot execute 32-bit code the i686
# runs are skipped, counted and named in the summary; their binary
# inspections still run.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
started=$SECONDS
tools/bootstrap.sh || exit 1
tools/build.sh || exit 1

export TALLYKEY_WINE_DIR=${TALLYKEY_WINE_DIR:-$PWD/build/wine}
passed=0
failed=0
skipped=0
notes=()
for preset in linux linux-asan win64 win32; do
  echo "== tests: $preset"
  select=()
  if [ "$preset" = win32 ] && ! tools/wine.sh can-run-32 build/win32/bin/archprobe.exe; then
    count=$(cd build/win32 && ctest -N -L wine | sed -n 's/^Total Tests: //p')
    skipped=$((skipped + count))
    notes+=("win32: not run: this machine cannot execute 32-bit code ($count suites skipped; the binary inspections ran)")
    select=(-LE wine)
  fi
  (cd "build/$preset" && ctest --output-on-failure -j2 "${select[@]}" 2>&1) | tee "build/$preset-tests.log"
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "build/$preset-tests.log" | tail -1)
  if [ -z "$summary" ]; then
    failed=$((failed + 1))
    notes+=("$preset: ctest gave no summary")
    continue
  fi
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
  bad=$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$summary")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
done
# Each fuzzing harness: its seeds and regression inputs, then a short run.
echo "== fuzzing"
tools/fuzz.sh "${TALLYKEY_FUZZ_SECONDS:-30}" 2>&1 | tee build/fuzz-tests.log
fuzzed=$(grep -c '^fuzz .*: .*no finding$' build/fuzz-tests.log)
passed=$((passed + fuzzed))
if [ "$fuzzed" -ne 4 ]; then
  failed=$((failed + 4 - fuzzed))
  notes+=("fuzzing: $((4 - fuzzed)) of 4 harnesses failed (build/fuzz-tests.log)")
fi
echo
for note in "${notes[@]}"; do
  echo "$note"
done
echo "$passed passed, $failed failed, $skipped skipped ($((SECONDS - started)) s)"
[ "$failed" -eq 0 ]
