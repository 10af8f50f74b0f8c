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
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd "$build" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1 \
  ctest --output-on-failure -j "$(nproc)")

# The interpreter is not instrumented, so the ASan runtime has to be loaded
# before it, and its own allocations at exit are no leak of ours. Python's
# small-object allocator would hide overruns of Python memory from ASan.
asan_runtime=$(g++ -print-file-name=libasan.so)
if [ ! -e "$asan_runtime" ]; then
  echo "the ASan runtime was not found (g++ -print-file-name=libasan.so gave $asan_runtime)" >&2
  exit 1
fi
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0
export PYTHONPATH=$PWD/$build
# The tests must exercise the sanitized module, not an installed one.
LD_PRELOAD=$asan_runtime "$python" - "$PWD/$build" <<'EOF'
import pathlib, sys, tarvex
where = pathlib.Path(tarvex.__file__).resolve()
if where.parent != pathlib.Path(sys.argv[1]).resolve():
    sys.exit(f"imported {where}, not the sanitized build")
print(f"sanitized module: {where}")
EOF
# The leak tests watch resident memory, which ASan's quarantine makes grow by
# design; they run in the normal suite. Everything else runs here.
LD_PRELOAD=$asan_runtime "$python" -m pytest -q -p no:cacheprovider tests/python --ignore=tests/python/test_leaks.py
