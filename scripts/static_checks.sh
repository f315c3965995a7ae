#!/usr/bin/env bash
# Static checks of the engine's own code:
#  1. a build with the extra warnings of KESTREL_STRICT_WARNINGS (conversions,
#     casts, ...) as errors, on top of -Wall -Wextra -Wpedantic -Wshadow;
#  2. clang-tidy with the committed .clang-tidy over every source file, from
#     that build's compile_commands.json.
# Exits non-zero on any warning or finding.
#
# Usage: scripts/static_checks.sh [source files...]   (default: all of src/)
# Environment:
#   PYTHON      interpreter with NumPy >= 2 installed (default: python3)
#   CLANG_TIDY  clang-tidy binary (default: clang-tidy-19, then clang-tidy);
#               Debian: apt-get install clang-tidy-19
#   JOBS        parallel clang-tidy processes (default: 2)
#   TIDY=0      the warnings build only
set -euo pipefail
cd "$(dirname "$0")/.."

PY=${PYTHON:-python3}
build=build/static
started=$SECONDS

echo "static: strict-warnings build in $build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTREL_STRICT_WARNINGS=ON \
  -DPython_EXECUTABLE="$(command -v "$PY")" >/dev/null
cmake --build "$build"
built=$SECONDS

if [ "${TIDY:-1}" = 0 ]; then
  echo "static: build $((built - started)) s, clang-tidy not requested"
  exit 0
fi
tidy=${CLANG_TIDY:-}
if [ -z "$tidy" ]; then
  for t in clang-tidy-19 clang-tidy; do
    if command -v "$t" >/dev/null 2>&1; then tidy=$t; break; fi
  done
fi
if [ -z "$tidy" ]; then
  echo "static: clang-tidy not found (apt-get install clang-tidy-19); skipped" >&2
  exit 0
fi

if [ $# -gt 0 ]; then files=("$@"); else mapfile -t files < <(find src -name '*.cpp' | sort); fi
echo "static: $("$tidy" --version | grep -m1 -o 'version [0-9.]*') on ${#files[@]} files"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# The compile commands carry GCC-only warning flags that clang does not know.
set +e
printf '%s\n' "${files[@]}" |
  xargs -P "${JOBS:-2}" -n 1 "$tidy" -p "$build" --quiet --extra-arg=-Wno-unknown-warning-option \
  >"$log" 2>&1
status=$?
set -e
grep -E '(warning|error):' "$log" | sort -u || true
findings=$(grep -cE '(warning|error):' "$log" || true)
echo "static: build $((built - started)) s, clang-tidy $((SECONDS - built)) s, $findings findings"
[ "$status" -eq 0 ] && [ "$findings" -eq 0 ]
