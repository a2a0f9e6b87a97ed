#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds the configurations
# (tools/build.sh; the sanitizer and fuzzing ones while the first tests
# run), and runs every CTest suite: native, and both Windows
# builds under Wine; then each fuzzing harness for a short while. On a machine that cannot execute 32-bit code the i686
# runs are skipped, counted and named in the summary; their binary
# inspections still run.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
started=$SECONDS
tools/bootstrap.sh || exit 1
tools/build.sh wasm win32 win64 linux && tools/dist.sh || exit 1
# The linux tests wait on browsers, windows and the key's timings more than
# they compute: the sanitizer and fuzzing builds use what they leave idle,
# at the lowest priority, and are waited for before their own tests.
(nice -n 19 tools/build.sh linux-asan &&
   nice -n 19 cmake --preset fuzz -DTALLYKEY_WERROR=ON >build/fuzz.log 2>&1 &&
   nice -n 19 cmake --build --preset fuzz -- -j"$(nproc)" >>build/fuzz.log 2>&1) >build/background-builds.log 2>&1 &
background_builds=$!

export TALLYKEY_WINE_DIR=${TALLYKEY_WINE_DIR:-$PWD/build/wine}
passed=0
failed=0
skipped=0
notes=()
for preset in linux linux-asan win64 win32; do
  if [ "$preset" = linux-asan ] && ! wait "$background_builds"; then
    cat build/background-builds.log build/fuzz.log >&2
    echo "build linux-asan or fuzz: FAILED" >&2
    exit 1
  fi
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
