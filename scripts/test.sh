#!/usr/bin/env bash
# Sets tarvex up and runs every test: C++ and Python suites, both again under the sanitizers, then the fuzzers.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

cmake -S . -B build/tests -G Ninja -DTARVEX_PYTHON=OFF -DTARVEX_TESTS=ON >/dev/null
cmake --build build/tests -j "$(nproc)"
(cd build/tests && ctest --output-on-failure -j "$(nproc)")

.venv/bin/python -m pytest -q tests/python

# The sdist built offline into a manylinux wheel, run from a bare venv.
bash scripts/wheel.sh

# The same suites under AddressSanitizer, UndefinedBehaviorSanitizer and
# LeakSanitizer, then half a minute of each fuzz target.
bash scripts/sanitize.sh
bash scripts/fuzz.sh 30
