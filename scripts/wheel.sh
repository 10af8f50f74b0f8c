#!/usr/bin/env bash
# Builds the sdist, then the wheel from it without network, checks it is a manylinux wheel and runs it from a bare venv.
#
#   bash scripts/wheel.sh      the wheel lands in wheelhouse/
#
# Needs the set-up (.venv with scikit-build-core and auditwheel: scripts/setup.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
py=$top/.venv/bin/python
work=$top/build/wheel
rm -rf "$work" && mkdir -p "$work" wheelhouse

"$py" -c "import scikit_build_core.build as b; b.build_sdist('$work/dist')" >/dev/null
sdist=$(ls "$work"/dist/tarvex-*.tar.gz)
tar tzf "$sdist" >"$work/sdist.txt"
for file in LICENSE third_party/luajit/COPYRIGHT; do
  grep -q "/$file\$" "$work/sdist.txt" || { echo "the sdist lacks $file" >&2; exit 1; }
done
if grep -q "/third_party/luajit/src/lj_vm.S\$" "$work/sdist.txt"; then
  echo "the sdist holds LuaJIT's generated files" >&2
  exit 1
fi

# The sdist is unpacked and built where it is, without network (a network
# namespace of its own when the system lets us make one); nothing may be
# written beside its files.
mkdir -p "$work/src"
tar xzf "$sdist" -C "$work/src"
src=$(ls -d "$work"/src/tarvex-*)
touch "$work/unpacked"
offline=()
if unshare -n true 2>/dev/null; then
  offline=(unshare -n)
else
  echo "wheel.sh: cannot cut the network here (unshare -n); building with --no-index only" >&2
fi
start=$(date +%s)
CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} "${offline[@]}" "$py" -m pip wheel -q \
  --no-build-isolation --no-index --no-deps "$src" -w "$work/built"
echo "wheel.sh: offline build of the sdist took $(( $(date +%s) - start )) s"
written=$(find "$src" -newer "$work/unpacked" | head -5)
if [ -n "$written" ]; then
  echo "the build wrote into the source tree:" >&2
  echo "$written" >&2
  exit 1
fi

# auditwheel names the manylinux tag the wheel is consistent with; a wheel
# that needs a library outside the manylinux set would have it grafted in,
# which tarvex must never need.
wheel=$(ls "$work"/built/tarvex-*.whl)
"$py" -m auditwheel show "$wheel" >"$work/show.txt" 2>&1
cat "$work/show.txt"
tag=$(grep -o '"manylinux_[0-9]*_[0-9]*_[a-z0-9_]*"' "$work/show.txt" | head -1 | tr -d '"')
[ -n "$tag" ] || { echo "auditwheel gives no manylinux tag" >&2; exit 1; }
if grep -q "external shared libraries" "$work/show.txt"; then
  echo "the wheel needs shared libraries outside the manylinux set" >&2
  exit 1
fi
PATH="$top/.venv/bin:$PATH" "$py" -m auditwheel repair --plat "$tag" -w "$work/repaired" "$wheel" >"$work/repair.txt" 2>&1 || { cat "$work/repair.txt" >&2; exit 1; }
repaired=$(ls "$work"/repaired/tarvex-*.whl)
if "$py" -m zipfile -l "$repaired" | grep -q "\.libs/"; then
  echo "auditwheel grafted libraries into the wheel" >&2
  exit 1
fi
cp "$repaired" wheelhouse/
echo "wheel.sh: $(basename "$repaired"), $(( $(stat -c %s "$repaired") / 1024 )) KiB"

# A venv with nothing but the wheel, used from outside the checkout: the three
# cost forms give one set of statistics.
"$py" -m venv --without-pip "$work/venv"
"$py" -m pip --python "$work/venv/bin/python" install -q --no-index --no-deps "$repaired"
# The README's Use example first, from the top of the checkout (it reads data/).
"$py" - <<'EOF' >"$work/use.py"
import re
readme = open("README.md").read()
print(re.search(r"^## Use\n\n```python\n(.*?)^```", readme, re.S | re.M).group(1))
EOF
"$work/venv/bin/python" "$work/use.py"
echo "wheel.sh: the README's Use example ran from the wheel"
cd "$work"
"$work/venv/bin/python" - "$top/data" <<'EOF'
import json, pathlib, sys
import tarvex

assert pathlib.Path(tarvex.__file__).is_relative_to(sys.prefix), tarvex.__file__
trpcage = json.loads((pathlib.Path(sys.argv[1]) / "1l2y_ca.json").read_text())
seq, models = trpcage["sequence"], trpcage["models"]

def contacts(seq, coords):                      # -1 per pair of non-neighbours within 7.8
    n = len(coords)
    return -float(sum(1 for i in range(n) for j in range(i + 2, n)
                      if sum((a - b) ** 2 for a, b in zip(coords[i], coords[j])) <= 7.8 ** 2))

lua = ("contacts", """
function contacts(seq, c)
  local total = 0
  for i = 1, #c do for j = i + 2, #c do
    local dx, dy, dz = c[i][1] - c[j][1], c[i][2] - c[j][2], c[i][3] - c[j][3]
    if dx * dx + dy * dy + dz * dz <= 7.8 * 7.8 then total = total - 1 end
  end end
  return total
end""")
table = {a: {b: -1.0 for b in set(seq)} for a in set(seq)}

results = []
for name, cost in [("table", table), ("Lua", lua), ("Python", contacts)]:
    tarvex.seed(1)
    results.append(tarvex.stats(seq, models, cost, sample_size=300, kmin=2))
    print(f"wheel.sh: stats with a {name} cost from the wheel: {results[-1]}")
assert results[0] == results[1] == results[2], "the three cost forms disagree"
EOF
