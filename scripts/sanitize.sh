#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# (no recovery) in a fresh virtual environment and runs the whole test suite
# under it. Fails if a test fails or if a sanitizer reports anything, in the
# test process or in any process it starts.
#
# Usage: scripts/sanitize.sh [pytest arguments...]
# Environment:
#   PYTHON                 interpreter for the venv (default: python3.13)
#   KESTREL_SANITIZE_VENV  reuse this venv instead of a temporary one
#                          (the build itself is incremental in build/sanitize)
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

PY=${PYTHON:-}
if [ -z "$PY" ]; then
  for p in python3.13 /usr/local/bin/python3.13 "$HOME"/.pyenv/versions/3.13*/bin/python3.13; do
    if "$p" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; then
      PY=$("$p" -c 'import sys; print(sys.executable)'); break
    fi
  done
fi
[ -n "$PY" ] || { echo "sanitize: no python3.13 found (set PYTHON)" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
venv=${KESTREL_SANITIZE_VENV:-$work/venv}
[ -x "$venv/bin/python" ] || "$PY" -m venv "$venv"
vpy="$venv/bin/python"

echo "sanitize: building with KESTREL_SANITIZE=ON in $venv"
"$vpy" -m pip install --quiet --upgrade pip
"$vpy" -m pip install --quiet "numpy>=2.0" "scikit-build-core>=0.10" cmake ninja
# Its own build directory, so the instrumented objects never mix with a
# normal build's; not stripped, so that reports name functions and lines.
KESTREL_SANITIZE=ON SKBUILD_BUILD_DIR=build/sanitize SKBUILD_INSTALL_STRIP=false \
  "$vpy" -m pip install --quiet --no-build-isolation ".[test]"
built=$SECONDS

so=$("$vpy" - <<'EOF'
import importlib.util, pathlib
found = importlib.util.find_spec("kestrel")
print(next(pathlib.Path(found.submodule_search_locations[0]).glob("_native*.so")))
EOF
)
# The interpreter is not instrumented: the ASan runtime the module was linked
# against must be loaded first, and libstdc++ with it so that ASan's
# interception of C++ throws finds the real one.
asan_rt=$(ldd "$so" | awk '/libasan/ {print $3}')
stdcxx_rt=$(ldd "$so" | awk '/libstdc\+\+/ {print $3}')
[ -n "$asan_rt" ] || { echo "sanitize: $so is not linked against ASan" >&2; exit 2; }

logs="$work/reports"
mkdir -p "$logs"
export LD_PRELOAD="$asan_rt${stdcxx_rt:+ $stdcxx_rt}"
# CPython keeps memory alive until exit on purpose: leak detection is off here
# (tests/test_leaks.py measures growth instead). An impossible allocation must
# reach the engine as std::bad_alloc (MemoryError), as it does without ASan.
# ASan reports go to files, so that those of child processes are seen too.
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:halt_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:log_path=$logs/asan"
# Next to ASan, GCC's UBSan runtime ignores log_path and always writes to
# standard error: see below.
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# Python objects through malloc, so ASan sees them too.
export PYTHONMALLOC=malloc
export PYTHONFAULTHANDLER=1
export KESTREL_SANITIZED=1

echo "sanitize: running the test suite under $LD_PRELOAD"
# Python-level output is captured per test as usual, but what native code
# writes to file descriptor 2 (the engine's check reports, UBSan reports,
# fatal-error tracebacks) goes to a file that survives a process that dies.
set +e
PYTHONPATH="$PWD/scripts${PYTHONPATH:+:$PYTHONPATH}" \
  "$vpy" -m pytest -p no:cacheprovider -p sanitize_trace --capture=sys "$@" \
  2>"$logs/native-stderr.txt"
status=$?
set -e
finished=$SECONDS

err="$logs/native-stderr.txt"
pattern='runtime error:|Sanitizer|Fatal Python error'
found=0
for f in $(find "$logs" -name 'asan.*' -type f | sort); do
  echo "==== sanitizer report $f"
  cat "$f"
  found=1
done
first=$(grep -n -m1 -E "$pattern" "$err" | cut -d: -f1 || true)
if [ -n "$first" ]; then
  echo "==== native standard error, from the first report on"
  head -n "$first" "$err" | grep '^\[sanitize: test\]' | tail -n 1 || true
  tail -n "+$first" "$err" | grep -v '^\[sanitize: test\]' | head -n 200
  found=1
elif [ $status -ne 0 ]; then
  echo "==== last lines of native standard error"
  tail -n 40 "$err"
fi
if [ $found -ne 0 ] && [ $status -eq 0 ]; then status=1; fi
echo "sanitize: build $((built - started)) s, tests $((finished - built)) s, total $((finished - started)) s, status $status"
exit $status
