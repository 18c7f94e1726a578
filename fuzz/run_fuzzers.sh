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

# libFuzzer and the sanitizer runtimes come in their own package on Debian
# (libclang-rt-<version>-dev), which clang does not pull in.
has_fuzzer_runtime() {
  command -v clang++ >/dev/null &&
    [ -e "$(clang++ -print-resource-dir)/lib/linux/libclang_rt.fuzzer-x86_64.a" ]
}
if ! has_fuzzer_runtime; then
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    echo "== apt-get install clang libclang-rt-dev"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends clang libclang-rt-dev >/dev/null
  fi
  if ! has_fuzzer_runtime; then
    echo "clang with libFuzzer is missing; install it first: sudo apt-get install clang libclang-rt-dev" >&2
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
# Only a failed build's output is shown.
if ! build_log=$(cmake --build "$build_dir" --parallel "$jobs" --target "${harnesses[@]}" 2>&1); then
  echo "$build_log" | grep -v '^\[' | tail -40
  echo "building the fuzz harnesses failed"
  exit 1
fi

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
