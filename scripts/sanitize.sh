#!/usr/bin/env bash
# Builds tarvex with AddressSanitizer and UndefinedBehaviorSanitizer and runs the C++ and Python tests on it.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] || bash scripts/setup.sh

build=build/asan
python=$PWD/.venv/bin/python
# Optimised but with line information, so that a report names the source line
# without making the exhaustive tests crawl.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEX_SANITIZE=ON -DTARVEX_TESTS=ON \
  -DTARVEX_PYTHON=ON -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" -j "$(nproc)"

# Any report ends the process with a failure: undefined behaviour does not
# recover, and LeakSanitizer checks every unit test process on exit.
(cd "$build" && ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j "$(nproc)")

# The interpreter is not instrumented, so the ASan runtime has to be loaded
# before it, and its own allocations at exit are no leak of ours. The C++
# runtime comes with it: ASan binds its exception interceptor when it starts,
# and without libstdc++ already loaded the first C++ throw aborts the process.
preload=()
for library in libasan.so libstdc++.so; do
  path=$(g++ -print-file-name="$library")
  if [ ! -e "$path" ]; then
    echo "$library was not found (g++ -print-file-name=$library gave $path)" >&2
    exit 1
  fi
  preload+=("$(readlink -f "$path")")
done
export LD_PRELOAD="${preload[*]}"
# Python's small-object allocator would hide overruns of Python memory from ASan.
export PYTHONMALLOC=malloc
export PYTHONPATH=$PWD/$build
# pytest captures standard error and loses it when a report aborts the
# process, so reports go to files (one per process), shown at the end. A
# request beyond memory raises MemoryError, as it does without ASan.
reports=$PWD/$build/reports
rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:log_path=$reports/asan
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan

status=0
# The tests must exercise the sanitized module, not an installed one.
"$python" -c '
import pathlib, sys, tarvex
where = pathlib.Path(tarvex.__file__).resolve()
if where.parent != pathlib.Path(sys.argv[1]).resolve():
    sys.exit(f"imported {where}, not the sanitized build")
print(f"sanitized module: {where}")
' "$PWD/$build" || status=1

# The whole suite runs here (about a minute), except the tests marked no_asan,
# which ASan itself defeats (resident-memory gauges, address-space limits);
# they run in the normal suite.
if [ "$status" -eq 0 ]; then
  "$python" -m pytest -q -p no:cacheprovider -m "not no_asan" tests/python || status=1
fi
unset LD_PRELOAD
for report in "$reports"/*; do
  [ -e "$report" ] || continue
  echo "== $report" >&2
  cat "$report" >&2
  status=1
done
exit "$status"
