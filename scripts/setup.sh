#!/usr/bin/env bash
# Installs what tarvex needs (system packages, a virtual environment) and builds it into .venv.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/packages.sh g++ make cmake ninja-build libgtest-dev

python=${PYTHON:-python3}
[ -x .venv/bin/python ] || "$python" -m venv .venv
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q ".[test,examples]"
