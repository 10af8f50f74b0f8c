#!/usr/bin/env bash
# Sets tarvex up and runs every test: C++ and Python suites, both again under the sanitizers, the linters, then the fuzzers.
set -euo pipefail
cd "$(dirname "$0")/.."

# In CI (CI=true) a compiler warning fails the module's and the tests' builds.
werror=OFF
if [ "${CI:-}" = true ]; then
  werror=ON
  export CMAKE_ARGS="${CMAKE_ARGS:-} -DTARVEX_WERROR=ON"
fi
bash scripts/setup.sh

cmake -S . -B build/tests -G Ninja -DTARVEX_PYTHON=OFF -DTARVEX_TESTS=ON -DTARVEX_WERROR=$werror >/dev/null
cmake --build build/tests -j "$(nproc)"
(cd build/tests && ctest --output-on-failure -j "$(nproc)")

.venv/bin/python -m pytest -q tests/python

# The sdist built offline into a manylinux wheel, run from a bare venv.
bash scripts/wheel.sh

# The same suites under AddressSanitizer, UndefinedBehaviorSanitizer and
# LeakSanitizer, then half a minute of each fuzz target.
bash scripts/sanitize.sh
bash scripts/lint.sh build/asan
bash scripts/fuzz.sh 30
