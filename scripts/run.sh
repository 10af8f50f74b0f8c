#!/usr/bin/env bash
# Sets tarvex up and runs an example: scripts/run.sh [EXAMPLE] [ARGUMENTS...], by default the main job on Trp-cage.
#
#   bash scripts/run.sh                                         the main job (examples/trpcage.py)
#   bash scripts/run.sh landscape my_protein.pdb --out my.png   any examples/NAME.py with its arguments
#
# Paths in the arguments are taken from the directory the script is called from.
set -euo pipefail
caller=$PWD
top=$(cd "$(dirname "$0")/.." && pwd)
(cd "$top" && bash scripts/setup.sh)
example=trpcage
if [ $# -gt 0 ] && [ -f "$top/examples/$1.py" ]; then
  example=$1
  shift
fi
cd "$caller"
exec "$top/.venv/bin/python" "$top/examples/$example.py" "$@"
