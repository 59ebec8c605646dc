#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/*_fuzz.cpp) with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz, and runs each for the given number of seconds
# (default 20), one after the other on one core. Fails on any crash, sanitizer report, broken
# invariant, timeout or leak; the input that did it is kept in build-fuzz/artifacts/.
#
#   fuzz/run.sh [seconds]
#
# To replay a finding, under the debugger or after a fix:  build-fuzz/<target> <input file>
# With LBE_FUZZ_TRACE=1 the program fuzzer prints the run as the lines of a scenario test
# (command line, then one PressKey or PushEvent per input event the program took).
# The journal fuzzer's seeds are journals of real saves paused half-way; to write them again:
#   LBE_FUZZ_SEEDS=fuzz/corpus/journal_fuzz build-fuzz/journal_fuzz
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-20}"
# Absolute: the fuzzers change into a folder of their own before they read or write anything.
build="$(pwd)/build-fuzz"

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DLBE_SANITIZE=ON -DLBE_FUZZ=ON \
  -DLBE_WERROR=ON >/dev/null
targets=()
for source in fuzz/*_fuzz.cpp; do
  targets+=("$(basename "$source" .cpp)")
done
cmake --build "$build" -j2 --target "${targets[@]}"

# The fuzzers make their working folders under TMPDIR; tmpfs keeps a save's fsync cheap.
base="${TMPDIR:-/tmp}"
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  base=/dev/shm
fi
work="$(mktemp -d "$base/lbe-fuzz-run.XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/artifacts"

for target in "${targets[@]}"; do
  echo "== $target for $seconds s"
  # New inputs go to the first folder, a scratch copy; the seeds in the repository stay as
  # they are.
  corpus="$work/corpus-$target"
  mkdir -p "$corpus"
  seeds=()
  if [ -d "fuzz/corpus/$target" ]; then
    seeds=("$(pwd)/fuzz/corpus/$target")
  fi
  if ! TMPDIR="$work" "$build/$target" -max_total_time="$seconds" -timeout=10 -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
    "$corpus" "${seeds[@]}" 2>"$work/$target.log"; then
    tail -n 60 "$work/$target.log" >&2
    echo "FAIL: $target found a fault; the input is in build-fuzz/artifacts/" >&2
    exit 1
  fi
  grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec)|_fuzz:' \
    "$work/$target.log" || true
done
echo "All fuzz targets ran ${seconds} s each without a finding."
