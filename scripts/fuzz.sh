#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang and runs each for a while: scripts/fuzz.sh [seconds].
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}

bash scripts/packages.sh clang-14 libclang-rt-14-dev

build=build/fuzz
CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEX_FUZZ=ON \
  -DTARVEX_PYTHON=OFF -DTARVEX_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=detect_leaks=1
status=0
for source in tests/fuzz/*.cpp; do
  target=$(basename "$source" .cpp)
  # The corpus grows from run to run on the same machine; crash inputs land
  # beside it, named by libFuzzer, for replaying with "$build/$target" FILE.
  corpus=$build/corpus/$target
  mkdir -p "$corpus" "$build/crashes"
  echo "== $target, ${seconds}s"
  if ! "$build/$target" "$corpus" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
      -print_final_stats=1 -artifact_prefix="$build/crashes/$target-" 2>"$build/$target.log"; then
    status=1
    tail -n 60 "$build/$target.log" >&2
    echo "!! $target failed; the log is $build/$target.log" >&2
    continue
  fi
  grep -E '^(stat::number_of_executed_units|stat::new_units_added)|^#[0-9]+ +DONE' "$build/$target.log" || true
done
exit "$status"
