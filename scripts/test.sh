#!/usr/bin/env bash
# Builds and runs every test. --sanitize address|thread runs them in a sanitizer build instead.
set -euo pipefail
cd "$(dirname "$0")/.."
san=""
if [ "${1:-}" = "--sanitize" ]; then san="${2:?address or thread}"; fi
bash scripts/deps.sh
dir=build
[ -n "$san" ] && dir="build-$san"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_SANITIZE="$san" -DKORVANE_AREAS="" >/dev/null
cmake --build "$dir" -j2
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
ctest --test-dir "$dir" -j2 --output-on-failure --timeout 600
