#!/usr/bin/env bash
# Builds every libFuzzer harness (clang, in build/fuzz) and runs each for a
# fixed time from its stored corpus. Exits non-zero when a harness finds a
# crash, an invariant failure, a leak, a timeout or an out-of-memory input;
# the input is kept in build/fuzz/findings/<harness>/.
#
#   bash fuzz/run_fuzzers.sh [seconds per harness, default 30]
#
# New inputs go to a scratch copy of the corpus, so the stored seeds stay
# small. Needs clang with libFuzzer (Debian: clang); installed when missing
# and run as root.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
seconds="${1:-30}"
build_dir=build/fuzz
jobs="${VOK_BUILD_JOBS:-2}"

if ! command -v clang++ >/dev/null; then
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    echo "== apt-get install clang"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends clang >/dev/null
  else
    echo "clang is missing; install it first: sudo apt-get install clang" >&2
    exit 1
  fi
fi

echo "== building the fuzz harnesses (in $build_dir)"
CXX=clang++ cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVOK_BUILD_FUZZERS=ON >/dev/null
harnesses=()
for source in fuzz/fuzz_*.cpp; do
  harnesses+=("$(basename "$source" .cpp)")
done
cmake --build "$build_dir" --parallel "$jobs" --target "${harnesses[@]}" >/dev/null

failed=()
for harness in "${harnesses[@]}"; do
  scratch="$build_dir/scratch/$harness"
  findings="$build_dir/findings/$harness"
  rm -rf "$scratch" "$findings"
  mkdir -p "$scratch" "$findings"
  log="$build_dir/$harness.log"
  if "$build_dir/fuzz/$harness" "$scratch" "fuzz/corpus/$harness" -max_total_time="$seconds" \
      -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" \
      >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
    echo "$harness: ok, $runs runs, $coverage"
  else
    echo "$harness: FAILED (log $log, input in $findings)"
    tail -30 "$log"
    failed+=("$harness")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing failed: ${failed[*]}"
  exit 1
fi
echo "fuzzing: ${#harnesses[@]} harnesses ran ${seconds} s each without a finding"
