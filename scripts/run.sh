#!/usr/bin/env bash
# Sets tarvex up and runs the main job on the bundled Trp-cage data.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python examples/trpcage.py "$@"
