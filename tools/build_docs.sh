#!/usr/bin/env bash
# Builds the manual (MkDocs with Material and mkdocstrings) into build/site
# with `mkdocs build --strict`: any warning fails the build, a broken relative
# link or anchor included. Works on a fresh clone, from anywhere.
#
# The command reference is rendered by the package's own argument parsers, so
# the manual needs the package installed, compiled modules and all. The wheel
# comes from the kept build directory (build/release) through the test
# environment (build/venv) when tools/run_tests.sh made one, so nothing is
# compiled again; otherwise it is built here first. The manual's tools and
# that wheel go into their own environment, build/venv-docs.
#
# The relative links of README.md are checked too (the manual links are
# checked by the strict build). Arguments are passed to `mkdocs build`
# (e.g. --site-dir DIR).
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
venv=build/venv-docs
wheels=build/docs-wheel

if [ ! -x "$venv/bin/python" ]; then
  echo "== creating $venv"
  python3 -m venv "$venv"
fi
python="$PWD/$venv/bin/python"
builder="$python"
[ -x build/venv/bin/python ] && builder="$PWD/build/venv/bin/python"

# The build requirements of pyproject.toml, installed where the wheel is built
# (no isolated build environment: its new temporary path would make the
# extension modules compile again).
mapfile -t build_requires < <("$builder" - <<'PY'
import re
section = open("pyproject.toml").read().split("[build-system]", 1)[1].split("\n[", 1)[0]
print("\n".join(re.findall(r'"([^"]+)"', section.split("requires", 1)[1].split("]", 1)[0])))
PY
)
"$builder" -m pip install --quiet "${build_requires[@]}"

echo "== the vok wheel, from build/release"
rm -rf "$wheels"
CMAKE_BUILD_PARALLEL_LEVEL="${VOK_BUILD_JOBS:-2}" "$builder" -m pip wheel --quiet --no-deps \
  --no-build-isolation --config-settings=build-dir=build/release -w "$wheels" .
wheel=("$wheels"/vok-*.whl)

echo "== installing it with the docs extra into $venv"
"$python" -m pip install --quiet --force-reinstall --no-deps "${wheel[0]}"
"$python" -m pip install --quiet "${wheel[0]}[docs]"

echo "== the front page's relative links"
broken=0
while read -r target; do
  [ -e "$target" ] || { echo "README.md links to $target, which does not exist" >&2; broken=1; }
done < <(grep -o '](\([^)#:]*\)' README.md | sed 's/^](//' | sort -u)
[ "$broken" -eq 0 ]

echo "== mkdocs build --strict"
NO_MKDOCS_2_WARNING=1 "$venv/bin/mkdocs" build --strict "$@"
