#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one briefly on its seed corpus.
# Usage: scripts/fuzz.sh [seconds per target, default 20]
set -euo pipefail
cd "$(dirname "$0")/.."
secs="${1:-20}"
bash scripts/deps.sh --fuzz
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_FUZZ=ON \
  -DKORVANE_AREAS="" >/dev/null
cmake --build build-fuzz -j2
# Every sanitizer finding stops its target, and libFuzzer keeps the input that caused it in
# build-fuzz/findings/<target>/ (crash-*, leak-*, timeout-*, oom-*) for a re-run: "<target> <file>".
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:abort_on_error=1:print_stacktrace=1}"
findings=build-fuzz/findings
mkdir -p "$findings"
pass=0; fail=0
for bin in $(find build-fuzz/fuzz -type f -executable -name 'fuzz_*' | sort); do
  name=$(basename "$bin")
  area=$(basename "$(dirname "$bin")")
  short="${name#fuzz_}"
  seeds="fuzz/$area/corpus_$short"
  [ -d "$seeds" ] || seeds="fuzz/$area/corpus_${short#${area}_}"
  [ -d "$seeds" ] || seeds="fuzz/$area/corpus_${short##*_}"
  work=$(mktemp -d)
  [ -d "$seeds" ] && cp -r "$seeds"/. "$work"/
  echo "== $name ($secs s)"
  mkdir -p "$findings/$name"
  if "$bin" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$findings/$name/" "$work" >"$work.log" 2>&1 &&
      ! grep -q "runtime error:\|ERROR: AddressSanitizer\|ERROR: LeakSanitizer" "$work.log"; then
    pass=$((pass + 1))
    grep -m1 "stat::number_of_executed_units" "$work.log" | sed "s/^/   /" || true
  else
    fail=$((fail + 1)); tail -40 "$work.log"
    echo "   reproducer(s) kept in $findings/$name/: $(ls "$findings/$name" | tr '\n' ' ')"
  fi
  rm -rf "$work" "$work.log"
done
echo "fuzz: $pass passed, $fail failed"
[ "$fail" -eq 0 ]
