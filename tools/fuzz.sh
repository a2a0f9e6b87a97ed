#!/usr/bin/env bash
# Runs every fuzzing harness: first its committed seeds and regression
# inputs (fuzz/corpus, fuzz/regressions), then SECONDS of fuzzing each
# (default 30) from a working corpus in build/fuzz/work. Builds the "fuzz"
# configuration when needed. A finding is kept in build/fuzz/findings and
# fails the run; turn it into a file under fuzz/regressions once fixed.
#
#   tools/fuzz.sh [SECONDS]
#   tools/fuzz.sh --coverage     each harness's line coverage per product file
#                                (keydevice, keymethods, npplugin, nativehost)
#                                over its seeds, regressions and working corpus
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
harnesses=(device_answers page_arguments md5_hex host_input)

if [ "${1:-}" = --coverage ]; then
  if ! { cmake --preset fuzz-coverage -DTALLYKEY_WERROR=ON && cmake --build --preset fuzz-coverage -- -j"$(nproc)"; } \
       >build/fuzz-coverage.log 2>&1; then
    cat build/fuzz-coverage.log >&2
    echo "fuzz coverage: build FAILED" >&2
    exit 1
  fi
  for harness in "${harnesses[@]}"; do
    binary=$root/build/fuzz-coverage/fuzz/${harness}_fuzzer
    profiles=$root/build/fuzz-coverage/profiles/$harness
    rm -rf "$profiles"
    mkdir -p "$profiles"
    inputs=("$root/fuzz/corpus/$harness")
    for more in "$root/fuzz/regressions/$harness" "$root/build/fuzz/work/$harness"; do
      [ -d "$more" ] && inputs+=("$more")
    done
    (cd "$profiles" && LLVM_PROFILE_FILE="$profiles/%p.profraw" "$binary" -runs=0 "${inputs[@]}") >/dev/null 2>&1
    llvm-profdata merge -sparse "$profiles"/*.profraw -o "$profiles/merged.profdata"
    echo "== $harness (lines covered, per product file)"
    llvm-cov report "$binary" -instr-profile="$profiles/merged.profdata" \
      -ignore-filename-regex='^/usr/' |
      awk '$1 ~ /^(keydevice|keymethods|npplugin|nativehost)\// {
             printf "  %-32s %5d of %5d lines  %s\n", $1, $8 - $9, $8, $10 }'
  done
  exit 0
fi
seconds=${1:-30}

if ! { cmake --preset fuzz -DTALLYKEY_WERROR=ON && cmake --build --preset fuzz -- -j"$(nproc)"; } >build/fuzz.log 2>&1; then
  cat build/fuzz.log >&2
  echo "fuzz: build FAILED" >&2
  exit 1
fi

# One harness: its seeds and regressions, then the timed run. Prints one
# verdict line; fails on a finding.
fuzz_one() {
  local harness=$1
  local binary=$root/build/fuzz/fuzz/${harness}_fuzzer
  local work=$root/build/fuzz/work/$harness
  local findings=$root/build/fuzz/findings/$harness
  mkdir -p "$work" "$findings"
  local log=$root/build/fuzz/$harness.log
  local replay=("$root/fuzz/corpus/$harness")
  [ -d "$root/fuzz/regressions/$harness" ] && replay+=("$root/fuzz/regressions/$harness")
  # Run from the findings folder: libFuzzer writes what it finds there.
  if ! (cd "$findings" && "$binary" -runs=0 "${replay[@]}") >"$log" 2>&1; then
    tail -40 "$log" >&2
    echo "fuzz $harness: a seed or regression input FAILS (log: $log)"
    return 1
  fi
  if (cd "$findings" && "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 "$work" "${replay[@]}") >>"$log" 2>&1; then
    local runs rate
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    echo "fuzz $harness: ${runs:-?} executions in ${seconds} s (${rate:-?}/s), no finding"
  else
    tail -40 "$log" >&2
    echo "fuzz $harness: FINDING (input kept in $findings; log: $log)"
    return 1
  fi
}

# As many harnesses at once as there are cores: each is single-threaded.
# Verdicts are printed in the harnesses' order once all have ended.
verdicts=$root/build/fuzz/verdicts
rm -rf "$verdicts"
mkdir -p "$verdicts"
running=0
for harness in "${harnesses[@]}"; do
  if [ "$running" -ge "$(nproc)" ]; then
    wait -n
    running=$((running - 1))
  fi
  { fuzz_one "$harness" >"$verdicts/$harness" || echo failed >"$verdicts/$harness.failed"; } &
  running=$((running + 1))
done
wait
failed=0
for harness in "${harnesses[@]}"; do
  cat "$verdicts/$harness"
  [ -e "$verdicts/$harness.failed" ] && failed=$((failed + 1))
done
[ "$failed" -eq 0 ]
