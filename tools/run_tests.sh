#!/usr/bin/env bash
# Installs what the tests need and runs every test: the C++ tests (normal and
# AddressSanitizer + UndefinedBehaviorSanitizer builds, through CTest) and the
# Python tests (pytest), against the installed module and against one built
# with the sanitizers; builds the documentation, its examples run, with warnings
# as errors; builds the binary wheel, vendors its OpenMP runtime and runs it from a fresh virtual
# environment without a compiler (tools/wheel_smoke.sh). Exits non-zero if anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! [ -f /usr/include/gtest/gtest.h ] || ! command -v cmake >/dev/null; then
  if [ "$(id -u)" = 0 ]; then SUDO=""; else SUDO="sudo"; fi
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq libgtest-dev cmake g++ >/dev/null
fi
python3 -m pip install -q --disable-pip-version-check ".[test,io,demo,distributed,docs]"

jobs=$(nproc 2>/dev/null || echo 2)

echo "== Lint: ruff (pyflakes and bugbear rules) on the package =="
python3 -m ruff check python/velmora

echo "== C++ tests =="
cmake -S . -B build-tests -DVELMORA_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-tests -j "$jobs"
ctest --test-dir build-tests --output-on-failure -j "$jobs"

echo "== C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer =="
bash tools/run_sanitized_cpp_tests.sh

echo "== Python tests =="
python3 -m pytest -q tests/python

echo "== The binary wheel: built, repaired, installed into a fresh environment, run without a compiler =="
bash tools/wheel_smoke.sh

echo "== Documentation (examples executed, warnings are errors) =="
rm -rf docs/_build docs/_generated docs/generated docs/auto_examples
python3 -m sphinx -W --keep-going -q -b html docs docs/_build/html

echo "== Python tests against the module built with AddressSanitizer + UndefinedBehaviorSanitizer =="
bash tools/run_sanitized_python_tests.sh
