#!/usr/bin/env bash
# Installs what tarvex needs (system packages, a virtual environment) and builds it into .venv, again only when a source changed.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}

PYTHON=$python bash scripts/packages.sh g++ make cmake ninja-build libgtest-dev python3-venv python3-dev

# A .venv left half-made (an interrupted or failed creation: no interpreter,
# no pip) is made afresh rather than reused.
if [ -e .venv ] && ! .venv/bin/python -m pip --version >/dev/null 2>&1; then
  echo "setup.sh: .venv is broken (no working interpreter or pip): making it afresh" >&2
  rm -rf .venv
fi
if [ ! -e .venv ]; then
  "$python" -m venv .venv || { rm -rf .venv; exit 1; }
fi

# The module is rebuilt only when what goes into it changed: a hash of the
# sources and build files, kept in .venv beside the installed module.
stamp=$(.venv/bin/python - <<'PY'
import hashlib, pathlib, sys
digest = hashlib.sha256(sys.version.encode())
paths = [pathlib.Path(p) for p in ("CMakeLists.txt", "pyproject.toml", "README.md")]
for top in ("cmake", "src", "third_party"):
    paths += sorted(p for p in pathlib.Path(top).rglob("*") if p.is_file())
for path in paths:
    digest.update(str(path).encode() + b"\0" + path.read_bytes())
print(digest.hexdigest())
PY
)
if [ "$(cat .venv/tarvex-sources.sha256 2>/dev/null)" != "$stamp" ]; then
  .venv/bin/python -m pip install -q --upgrade pip
  # Once .venv holds the build backend (the test extra brings it), builds run
  # in it: the same CMake and paths each time, so build/py only recompiles
  # what changed.
  isolation=()
  .venv/bin/python -c "import scikit_build_core" 2>/dev/null && isolation=(--no-build-isolation)
  .venv/bin/python -m pip install -q "${isolation[@]}" --config-settings=build-dir=build/py ".[test,examples]"
  echo "$stamp" >.venv/tarvex-sources.sha256
fi
