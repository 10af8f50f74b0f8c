#!/usr/bin/env bash
# Sets tarvex up and runs every test: the C++ core's unit tests, then the Python suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

cmake -S . -B build/tests -G Ninja -DTARVEX_PYTHON=OFF -DTARVEX_TESTS=ON >/dev/null
cmake --build build/tests -j "$(nproc)"
(cd build/tests && ctest --output-on-failure -j "$(nproc)")

.venv/bin/python -m pytest -q tests/python
