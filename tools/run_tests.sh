#!/usr/bin/env bash
# Runs every test: the C++ unit tests (GoogleTest, through CTest), then the
# Python tests (pytest over tests/). Works on a fresh clone, from anywhere.
#
# The project is built once, by pip (scikit-build-core, installed into the
# interpreter's environment with pybind11: no isolated build environment), in
# a kept build directory that also holds the C++ unit tests; CTest runs there,
# and pytest runs against the installed package. A run with nothing changed
# compiles nothing. Missing system packages are installed
# with apt-get when run as root; otherwise the script says what to install.
#
# With --sanitize, the same is built with AddressSanitizer and
# UndefinedBehaviorSanitizer (build/asan, its own virtual environment
# build/venv-asan) and every test runs against it: any report fails the run;
# leaks are checked in the C++ tests (the interpreter itself leaks at exit).
#
# Settings (environment):
#   PYTHON         interpreter to install into (default: a virtual environment
#                  in build/venv, made from python3, seeing its site packages)
#   VOK_BUILD_DIR  build directory (default: build/release, the one a plain
#                  `pip install .` keeps too, see pyproject.toml)
#   VOK_CMAKE_DEFINES extra CMake definitions, e.g. "VOK_SANITIZE=ON"
#   VOK_BUILD_JOBS parallel compile jobs (default: 2)
#   VOK_PYTEST_ARGS extra pytest arguments
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
sanitize=0
[ "${1:-}" = "--sanitize" ] && sanitize=1
sanitize_settings=()
jobs="${VOK_BUILD_JOBS:-2}"
if [ "$sanitize" -eq 1 ]; then
  build_dir="${VOK_BUILD_DIR:-build/asan}"
  venv=build/venv-asan
  VOK_CMAKE_DEFINES="VOK_SANITIZE=ON ${VOK_CMAKE_DEFINES:-}"
  # -O1, as the sanitizers' own guides advise: instrumented -O3 code takes
  # several times longer to compile, and finds nothing more.
  sanitize_settings=("--config-settings=cmake.define.CMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG")
else
  build_dir="${VOK_BUILD_DIR:-build/release}"
  venv=build/venv
fi

# --- system packages --------------------------------------------------------
missing=()
command -v g++ >/dev/null || missing+=(g++)
command -v cmake >/dev/null || missing+=(cmake)
command -v ninja >/dev/null || missing+=(ninja-build)
[ -e /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -e /usr/include/zlib.h ] || missing+=(zlib1g-dev)
python3 -c 'import venv, ensurepip' 2>/dev/null || missing+=(python3-venv)
# The report's browser test needs Debian's chromium and its driver: installed
# when root, else that test is skipped and says why.
browser=()
command -v chromium >/dev/null || browser+=(chromium)
command -v chromedriver >/dev/null || browser+=(chromium-driver)
if [ ${#browser[@]} -gt 0 ] && [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
  missing+=("${browser[@]}")
elif [ ${#browser[@]} -gt 0 ]; then
  echo "note: the report's browser test will be skipped; to run it: sudo apt-get install ${browser[*]}" >&2
fi
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    echo "== apt-get install ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "missing system packages; install them first: sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
fi

# --- the interpreter --------------------------------------------------------
# The sanitized build never replaces the package of a given interpreter.
if [ -n "${PYTHON:-}" ] && [ "$sanitize" -eq 0 ]; then
  python="$(command -v "$PYTHON")"
else
  if [ ! -x "$venv/bin/python" ]; then
    echo "== creating $venv"
    "${PYTHON:-python3}" -m venv --system-site-packages "$venv"
    # The sanitized environment sees the plain one's packages (a .pth line
    # puts them after its own), so the test dependencies are installed once.
    if [ "$sanitize" -eq 1 ] && [ -x build/venv/bin/python ]; then
      plain_site=$(build/venv/bin/python -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
      sanitized_site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
      echo "$plain_site" >"$sanitized_site/plain-environment.pth"
    fi
  fi
  python="$PWD/$venv/bin/python"
fi

# --- one build for both test suites ----------------------------------------
# The build requirements (pyproject.toml's [build-system] requires) go into the
# environment itself and pip builds there, without an isolated build
# environment: that one lives at a new temporary path each time, and the
# extension modules, compiled against pybind11's headers there, would be
# compiled again on every run. So a run with nothing changed compiles nothing.
mapfile -t build_requires < <("$python" - <<'EOF'
import re
section = open("pyproject.toml").read().split("[build-system]", 1)[1].split("\n[", 1)[0]
print("\n".join(re.findall(r'"([^"]+)"', section.split("requires", 1)[1].split("]", 1)[0])))
EOF
)
"$python" -m pip install --quiet "${build_requires[@]}"
echo "== building and installing vok with its test dependencies (in $build_dir)"
settings=(--no-build-isolation --config-settings=build-dir="$build_dir"
          --config-settings=build.targets=all --config-settings=cmake.define.VOK_BUILD_TESTS=ON)
for definition in ${VOK_CMAKE_DEFINES:-}; do
  settings+=(--config-settings=cmake.define."$definition")
done
settings+=("${sanitize_settings[@]}")
build_start=$SECONDS
CMAKE_BUILD_PARALLEL_LEVEL="$jobs" "$python" -m pip install --quiet "${settings[@]}" ".[test]"
echo "== built and installed in $((SECONDS - build_start)) s"

cxx_env=()
python_env=()
pytest_args=()
if [ "$sanitize" -eq 1 ]; then
  # Any report ends the process with a failure status.
  ubsan="UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1"
  cxx_env=(env ASAN_OPTIONS=detect_leaks=1 "$ubsan")
  # The interpreter is not instrumented: the runtime is preloaded (with the
  # C++ library, whose exception functions it intercepts), and Python's own
  # allocator is bypassed so that ASan sees every object. The interpreter
  # leaks by design at exit, so leaks are checked in the C++ tests only.
  python_env=(env "LD_PRELOAD=$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)"
              PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 "$ubsan")
  # Capture at the Python level only, so that the report of a process that
  # aborts reaches the terminal. Two kinds of test are left to the plain run:
  # the cluster tests (local Dask clusters of fresh interpreters, which under
  # the sanitizer take minutes to start, while the C++ they drive is the local
  # scan's) and the interrupted variants run, which waits for output that a
  # sanitized build of the whole motif file takes many minutes to reach (the
  # stops of every subcommand are tested on small runs as well).
  pytest_args=(--capture=sys --ignore=tests/scanner/test_dask.py
               --deselect=tests/scanner/test_variants.py::test_ctrl_c_stops_with_130_and_no_output_file)
fi

status=0
echo "== C++ unit tests"
"${cxx_env[@]}" ctest --test-dir "$build_dir" --output-on-failure --parallel "$jobs" || status=1

echo "== Python tests"
pytest_status=0
# shellcheck disable=SC2086  # extra arguments are split on purpose
"${python_env[@]}" "$python" -m pytest -q "${pytest_args[@]}" ${VOK_PYTEST_ARGS:-} tests ||
  pytest_status=$?
# pytest's summary stays the last line; its status 5 (no test ran) fails too.
[ "$pytest_status" -eq 0 ] || status=1
exit "$status"
