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
  if "$bin" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 "$work" >"$work.log" 2>&1; then
    pass=$((pass + 1))
  else
    fail=$((fail + 1)); tail -40 "$work.log"
  fi
  rm -rf "$work" "$work.log"
done
echo "fuzz: $pass passed, $fail failed"
[ "$fail" -eq 0 ]
