#!/usr/bin/env bash
# Checks the house style and the bug-prone patterns: ruff, clang-format, then clang-tidy over src/tarvex: scripts/lint.sh [BUILD-DIR].
#
# clang-tidy takes its compile commands from BUILD-DIR (default build/asan:
# the build of scripts/sanitize.sh compiles every layer, the module's
# included). Any finding fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/asan}
bash scripts/packages.sh clang-format clang-tidy
[ -x .venv/bin/ruff ] || bash scripts/setup.sh

.venv/bin/ruff check --quiet .
git ls-files '*.cpp' '*.hpp' ':!third_party' | xargs clang-format --dry-run --Werror

if [ ! -f "$build/compile_commands.json" ]; then
  echo "lint.sh: $build/compile_commands.json is missing: configure that build first (scripts/sanitize.sh)" >&2
  exit 1
fi
mkdir -p build
git ls-files 'src/tarvex/*.cpp' | xargs -P "$(nproc)" -n 2 clang-tidy -p "$build" --quiet >build/tidy.log 2>&1 || true
if grep -q -E '(warning|error):' build/tidy.log; then
  grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' build/tidy.log >&2
  exit 1
fi
echo "lint: ruff, clang-format and clang-tidy ($(git ls-files 'src/tarvex/*.cpp' | wc -l) sources) found nothing"
