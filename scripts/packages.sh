#!/usr/bin/env bash
# Makes sure the build's tools are there: scripts/packages.sh DEBIAN-PACKAGE... installs the missing ones as root on Debian, else checks the tools.
#
# As root with apt, the named Debian packages that are not installed yet are
# installed. Anywhere else (no apt, another system, an ordinary user) nothing
# is installed: the tools themselves are looked for, and what is missing is
# named, so that the user installs it the way their system does.
set -euo pipefail
python=${PYTHON:-python3}

missing=()
if command -v dpkg-query >/dev/null 2>&1; then
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && exit 0
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    exit 0
  fi
fi

# The tools, whatever installed them.
lacking=()
command -v c++ >/dev/null 2>&1 || command -v g++ >/dev/null 2>&1 || command -v clang++ >/dev/null 2>&1 \
  || lacking+=("a C++20 compiler (g++ 10+ or clang++ 13+)")
command -v cc >/dev/null 2>&1 || command -v gcc >/dev/null 2>&1 || command -v clang >/dev/null 2>&1 \
  || lacking+=("a C compiler (cc)")
command -v make >/dev/null 2>&1 || command -v gmake >/dev/null 2>&1 || lacking+=("make")
if ! command -v cmake >/dev/null 2>&1; then
  lacking+=("CMake 3.24 or later")
elif ! printf '3.24\n%s\n' "$(cmake --version | head -1 | awk '{print $3}')" | sort -V -C; then
  lacking+=("CMake 3.24 or later (found $(cmake --version | head -1 | awk '{print $3}'))")
fi
if ! command -v "$python" >/dev/null 2>&1; then
  lacking+=("Python 3.11 or later ($python)")
else
  "$python" -c 'import sys; sys.exit(sys.version_info < (3, 11))' || lacking+=("Python 3.11 or later (found $("$python" -V))")
  "$python" -c 'import ensurepip, venv' 2>/dev/null || lacking+=("Python's venv module with ensurepip (Debian: python3-venv)")
  "$python" -c 'import os, sysconfig, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
    || lacking+=("Python's headers, Python.h (Debian: python3-dev, Fedora: python3-devel)")
fi
if [ ${#lacking[@]} -gt 0 ]; then
  echo "Cannot build tarvex; missing:" >&2
  printf '  - %s\n' "${lacking[@]}" >&2
  if [ ${#missing[@]} -gt 0 ]; then
    echo "On Debian or Ubuntu: sudo apt-get install ${missing[*]}" >&2
  fi
  exit 1
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "packages.sh: not installed as Debian packages, found as tools anyway: ${missing[*]}" >&2
fi
