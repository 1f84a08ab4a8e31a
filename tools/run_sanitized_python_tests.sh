#!/usr/bin/env bash
# Builds the extension modules (_velmora_if and velmora._native) with
# AddressSanitizer and UndefinedBehaviorSanitizer into build-pyasan/ (the
# installed package is left alone), stages the package sources of this tree
# with the instrumented velmora._native, and runs the Python test suite
# against them. The interpreter itself is
# not instrumented, so the ASan runtime is preloaded; a read or write outside a
# caller's buffer, or undefined behaviour, aborts the run and fails the suite.
#
# Usage: bash tools/run_sanitized_python_tests.sh [pytest arguments]
# (default: tests/python)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
python=${PYTHON:-python3}
builddir=build-pyasan

cmake -S . -B "$builddir" -DVELMORA_BUILD_MODULE=ON -DVELMORA_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$builddir" -j "$jobs" --target _velmora_if _native
stage="$builddir/stage"
rm -rf "$stage" && mkdir -p "$stage"
cp -r python/velmora "$stage/velmora"
cp "$builddir"/_native*.so "$stage/velmora/"

libasan=$(gcc -print-file-name=libasan.so)
libstdcxx=$(gcc -print-file-name=libstdc++.so)
for lib in "$libasan" "$libstdcxx"; do
  if ! [ -e "$lib" ]; then
    echo "run_sanitized_python_tests: $lib not found (gcc -print-file-name)" >&2
    exit 1
  fi
done

# The package sources of this tree come with it, staged beside its extension.
export PYTHONPATH="$PWD/$builddir:$PWD/$stage${PYTHONPATH:+:$PYTHONPATH}"
# libstdc++ is preloaded with the runtime so that its interceptor of C++
# exceptions finds the real one (other extensions throw C++ exceptions too).
export LD_PRELOAD="$libasan:$libstdcxx${LD_PRELOAD:+:$LD_PRELOAD}"
# CPython keeps its objects until exit by design, so leak checking is off.
# Requests that ask for impossible amounts of memory must fail as allocation
# failures (the module reports them), not end the process.
# Reports go to files, printed at the end: pytest captures stderr, and a
# process that aborts takes the captured text with it.
reports="$PWD/$builddir/sanitizer-reports"
rm -rf "$reports" && mkdir -p "$reports"
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:allocator_may_return_null=1:log_path=$reports/asan:log_exe_name=0:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan:${UBSAN_OPTIONS:-}"
export VELMORA_SANITIZED=1

# Make sure the instrumented modules are the ones the tests import.
"$python" - "$builddir" "$stage" <<'EOF'
import os, sys
import _velmora_if
import velmora._native as native
for module, folder in ((_velmora_if, sys.argv[1]), (native, os.path.join(sys.argv[2], "velmora"))):
    if os.path.dirname(os.path.abspath(module.__file__)) != os.path.abspath(folder):
        sys.exit(f"run_sanitized_python_tests: imported {module.__file__}, not the sanitized build")
    print(f"sanitized module: {module.__file__}")
EOF

if [ "$#" -eq 0 ]; then set -- tests/python; fi
status=0
"$python" -m pytest -q -p no:cacheprovider "$@" || status=$?
# Requests for impossible amounts of memory leave "failed to allocate" warnings
# (the module reports those requests as failures); any other report is an error.
if compgen -G "$reports/*" >/dev/null; then
  if grep -q -E "ERROR: AddressSanitizer|runtime error:|ERROR: UndefinedBehaviorSanitizer" "$reports"/*; then
    echo "== sanitizer reports ==" >&2
    grep -v -h "failed to allocate 0x" "$reports"/* >&2
    [ "$status" -ne 0 ] || status=1
  fi
fi
exit "$status"
