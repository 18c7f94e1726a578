#!/usr/bin/env bash
# Checks the distributions: `python -m build` makes an sdist and, from that
# sdist, a wheel (the way pip installs an sdist: the extension modules are
# compiled once, in an isolated build environment); the wheel is installed in
# a new virtual environment, where `vok-scan --version` must print the
# package's version and a scan of the bundled data must find its sites.
# Also checks that the sdist holds no build output and that nothing is
# compiled with -march=native (the wheel must run on any x86-64 CPU; the
# AVX2 kernels are chosen at run time).
#
# Works on a fresh clone, from anywhere; leaves build/dist and its
# environments build/venv-dist-build and build/venv-dist-check.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
out=build/dist
builder_venv=build/venv-dist-build
check_venv=build/venv-dist-check
rm -rf "$out" "$check_venv"
mkdir -p "$out"

if [ ! -x "$builder_venv/bin/python" ]; then
  python3 -m venv "$builder_venv"
fi
"$builder_venv/bin/python" -m pip install --quiet build

echo "== python -m build (sdist, then a wheel from it)"
CMAKE_BUILD_PARALLEL_LEVEL="${VOK_BUILD_JOBS:-2}" "$builder_venv/bin/python" -m build --outdir "$out" . \
  >"$out/build.log" 2>&1 || { tail -n 40 "$out/build.log"; echo "python -m build failed" >&2; exit 1; }
sdist=("$out"/vok-*.tar.gz)
wheel=("$out"/vok-*.whl)
[ -f "${sdist[0]}" ] && [ -f "${wheel[0]}" ] || { echo "missing sdist or wheel in $out" >&2; exit 1; }
echo "   $(basename "${sdist[0]}") ($(du -k "${sdist[0]}" | cut -f1) KiB), $(basename "${wheel[0]}") ($(du -k "${wheel[0]}" | cut -f1) KiB)"

echo "== the sdist holds the sources and no build output"
members="$out/sdist-members.txt"
tar -tzf "${sdist[0]}" | sed 's#^[^/]*/##' >"$members"
for needed in pyproject.toml CMakeLists.txt python/vokscan/__init__.py src/binding/CMakeLists.txt; do
  grep -qx "$needed" "$members" || { echo "sdist lacks $needed" >&2; exit 1; }
done
if grep -E '^(build|dist|_skbuild)/|\.so$|\.o$' "$members" | head -n 5 | grep -q .; then
  echo "sdist holds build output:" >&2
  grep -E '^(build|dist|_skbuild)/|\.so$|\.o$' "$members" | head -n 5 >&2
  exit 1
fi

echo "== no -march=native (the build's compile lines, and the sdist's build files)"
grep -q -- ' -c .*\.cpp' "$out/build.log" || { echo "the build log shows no compile line" >&2; exit 1; }
if grep -q -- '-march=native' "$out/build.log"; then
  echo "-march=native in a compile line" >&2
  exit 1
fi
tmp_sdist="$(mktemp -d)"
trap 'rm -rf "$tmp_sdist"' EXIT
tar -xzf "${sdist[0]}" -C "$tmp_sdist"
if grep -rl --include=CMakeLists.txt --include='*.cmake' --include=pyproject.toml -e '-march=native' "$tmp_sdist"; then
  echo "-march=native in a build file of the sdist" >&2
  exit 1
fi

echo "== installing the wheel in a new environment"
python3 -m venv "$check_venv"
"$check_venv/bin/python" -m pip install --quiet "${wheel[0]}"

echo "== smoke test"
expected="$("$check_venv/bin/python" -c 'import importlib.metadata as m; print(m.version("vok"))')"
printed="$("$check_venv/bin/vok-scan" --version)"
[ "$printed" = "vok-scan $expected" ] ||
  { echo "vok-scan --version printed '$printed', the metadata says $expected" >&2; exit 1; }
module_version="$("$check_venv/bin/python" -c 'import vokscan; print(vokscan.__version__)')"
[ "$module_version" = "$expected" ] ||
  { echo "vokscan.__version__ is '$module_version', the metadata says $expected" >&2; exit 1; }
data=examples/data
hits="$("$check_venv/bin/vok-scan" --quiet --cutoffs "$data/cutoffs.prf" \
        "$data/jaspar_core_vertebrates.transfac" "$data/lambda_virus.fa" | tail -n +2 | wc -l)"
[ "$hits" -gt 0 ] || { echo "the scan of the bundled data found no site" >&2; exit 1; }
"$check_venv/bin/python" - "$data" <<'PY'
import sys
import vok, vokscan
data = sys.argv[1]
calc = vok.VokCalculator()
calc.add_from_transfac_file(f"{data}/jaspar_core_vertebrates.transfac")
calc.add_from_fasta_file(f"{data}/lambda_virus.fa")
calc.default_css_threshold, calc.default_mss_threshold = 0.9, 0.85
table = vokscan.scan_to_dataframe(f"{data}/jaspar_core_vertebrates.transfac",
                                  f"{data}/lambda_virus.fa", css=0.9, mss=0.85, strand="reversed",
                                  partial_windows=True)
assert len(calc.evaluate()) == len(table) > 0, (len(calc.evaluate()), len(table))
PY
echo "vok-scan $expected from the wheel: $hits sites on the bundled data; the module agrees with the scanner"
echo "distribution check passed"
