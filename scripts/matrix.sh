#!/usr/bin/env bash
# Builds tarvex and runs its Python tests on every CPython 3.11+ that pyenv provides.
#
#   bash scripts/matrix.sh            every 3.11+ release pyenv knows
#   bash scripts/matrix.sh 3.12.1     only the versions named
#
# Each version gets its own .venv-<version> and build directory (build/matrix/<version>);
# the logs are kept in build/matrix/<version>.log. Exits non-zero when any version fails
# to build or to pass, or when no interpreter is found.
set -uo pipefail
cd "$(dirname "$0")/.."

pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
if [ $# -gt 0 ]; then
  versions=("$@")
elif command -v pyenv >/dev/null 2>&1; then
  mapfile -t versions < <(pyenv versions --bare)
else
  mapfile -t versions < <(ls "$pyenv_root/versions" 2>/dev/null)
fi

# Plain releases only: the module needs the interpreter lock, so free-threaded (3.13t) and
# other variant builds are left out.
selected=()
for version in "${versions[@]}"; do
  [[ $version =~ ^3\.(1[1-9]|[2-9][0-9])\.[0-9]+$ ]] && selected+=("$version")
done
if [ ${#selected[@]} -eq 0 ]; then
  echo "no CPython 3.11 or later found under $pyenv_root/versions" >&2
  exit 1
fi

mkdir -p build/matrix
failed=0
rows=()
for version in "${selected[@]}"; do
  python="$pyenv_root/versions/$version/bin/python3"
  venv=".venv-$version"
  log="build/matrix/$version.log"
  echo "== CPython $version" >&2
  : >"$log"
  build=ok
  tests="-"
  if [ ! -x "$python" ]; then
    build="no interpreter"
  elif ! { [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"; } >>"$log" 2>&1 ||
       ! "$venv/bin/python" -m pip install -q --upgrade pip >>"$log" 2>&1 ||
       ! "$venv/bin/python" -m pip install -q -C build-dir="build/matrix/$version" ".[test]" \
           >>"$log" 2>&1; then
    build=failed
  fi
  if [ "$build" = ok ]; then
    # The installed module is tested, not a build tree.
    if "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python >>"$log" 2>&1; then
      tests=$(grep -E '^[0-9]+ passed' "$log" | tail -1)
    else
      tests="FAILED: $(grep -E '[0-9]+ (passed|failed|error)' "$log" | tail -1)"
    fi
  fi
  [ "$build" = ok ] && [[ $tests != FAILED* ]] || failed=1
  rows+=("$(printf '%-10s %-16s %s' "$version" "$build" "$tests")")
done

printf '\n%-10s %-16s %s\n' "CPython" "build" "tests"
printf '%s\n' "${rows[@]}"
exit $failed
