#!/usr/bin/env bash
# Install the test dependencies and run every test: the C++ unit tests
# (GoogleTest, through ctest) and the Python tests (pytest).
# Run from anywhere; works on a fresh clone. Needs a C++20 compiler, CMake,
# Ninja and GoogleTest (Debian: libgtest-dev).
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
python="${PYTHON:-python3}"
jobs="${VOK_BUILD_JOBS:-2}"

echo "== installing vok with its test dependencies"
"$python" -m pip install --quiet ".[test]"

echo "== building and running the C++ unit tests"
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release -DVOK_BUILD_TESTS=ON
cmake --build build/tests --parallel "$jobs"
ctest --test-dir build/tests --output-on-failure --parallel "$jobs"

echo "== running the Python tests"
"$python" -m pytest -q
